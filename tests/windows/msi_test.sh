#!/usr/bin/env bash
# The Windows Installer package through Wine's msiexec, in a fresh prefix:
# one row a step, run in order. What Wine does not apply (failure actions,
# file ACLs) is checked in the package's tables instead.
#   msi_test.sh LAUNCHER TEST_CLIENT
source "$(dirname "$0")/../../scripts/lib.sh"
# Each check is a pipeline decided by its last command, often a grep -q
# that stops reading at the first match: the writer still writing then dies
# of SIGPIPE (141), which lib.sh's pipefail would turn into a failed check.
set +o pipefail
exe="$(realpath "$1")" client="$(realpath "$2")" work="$(mktemp -d)"
# 1.0.1 and 1.0.2: the launcher rebuilt with that version in its version record.
for v in 1 2; do (cd "$ROOT" && cmake --preset windows -B "$work/b$v" -DQUORVEL_VERSION="1.0.$v.0" >/dev/null &&
  cmake --build "$work/b$v" --target quorvel_launcher >/dev/null && build_msi "$work/b$v/quorvel_launcher.exe" "1.0.$v" 1765000000 "$work/v$v.msi") || exit 1; done
build_msi "$exe" 1.0.0 1765000000 "$work/old.msi" || exit 1
start_wine
trap 'stop_wine; rm -rf "$work"' EXIT
C="$WINEPREFIX/drive_c" key='HKLM\SOFTWARE\quorvel-client' svc='HKLM\SYSTEM\CurrentControlSet\Services'
cp "$work"/*.msi "$C/"
# Runs one of Wine's own programs, which start.exe creates: its output
# without \r, its exit code. A new Wine process now and then dies as it starts
# (see the README); ntdll traces the pid of one that started. Without that
# trace it is started again, three times in all; never started fails the row.
q() {
  local rc
  for _ in 1 2 3; do
    rc=0; WINEDEBUG=-all,+process wine "$@" </dev/null >"$work/q.out" 2>"$work/q.err" || rc=$?
    grep -qE ':NtCreateUserProcess .* pid [0-9a-f]+ tid ' "$work/q.err" && { tr -d '\r' <"$work/q.out"; return "$rc"; }
  done
  : >"$work/unstarted"; return 1
}
msi() { rm -f "$C/log.txt"; q msiexec "$1" "C:\\$2" /qn /l*v 'C:\log.txt' "${@:3}" >/dev/null; }
value() { [ "$(q reg query "$key" /v "$1" /reg:64 | awk -v n="$1" '$1 == n { sub(/^ *[^ ]+ +[^ ]+ +/, ""); print }')" = "$2" ]; }
# Wine's InstallServices leaves out the quotes around the path: path and arguments are checked, quoted or not.
image() { q reg query "$svc\\quorvel-client" /v ImagePath | grep -qxE '    ImagePath    REG_(EXPAND_)?SZ    ("?)C:\\Program Files\\quorvel-client\\quorvel_launcher\.exe\2 -action=service'; }
state() { q sc query quorvel-client | grep -q "STATE *: $1 "; }
services() { [ "$(q reg query "$svc" /s | grep -c 'quorvel_launcher.exe"\? -action=service')" = "$1" ]; }
described() { q reg query "$svc\\quorvel-client" /v Description | grep -qxF "    Description    REG_SZ    $1"; }
source_key() { q reg query "$svc\\EventLog\\Application\\quorvel-client" | tr '\n' '|' |
  grep -qF 'EventMessageFile    REG_EXPAND_SZ    C:\Program Files\quorvel-client\quorvel_launcher.exe|    TypesSupported    REG_DWORD    0x7|'; }
launcher() { cmp -s "$1" "$C/Program Files/quorvel-client/quorvel_launcher.exe"; }
logged() { tr -d '\r' <"$C/log.txt" | grep -qF "$1"; }
table() { msiinfo export "$work/old.msi" "$1" | tr -d '\r' | grep -qxF "$2"; }
# No action of a script type (base type 5 JScript, 6 VBScript), on cmd.exe or on [TempFolder], nor immediate with
# the no-impersonate bit (ICE68); never from an empty export.
plain_actions() { msiinfo export "$work/old.msi" CustomAction | tr -d '\r' >"$work/ca" && grep -q '^QuorvelRecovery' "$work/ca" &&
  ! awk -F'\t' 'NR > 3 && ($2 % 8 == 5 || $2 % 8 == 6 || /TempFolder|cmd\.exe/ || int($2 / 2048) % 2 > int($2 / 1024) % 2)' "$work/ca" | grep -q .; }
# Wine's log leaves out a type 19 action's message: the refusing action
# is seen ending the installation, its text is checked in the table.
refused() { logged "$1. Return value 0" && nothing; }
nothing() { ! q sc query quorvel-client | grep -q STATE && [ ! -e "$C/Program Files/quorvel-client" ] && value Install_Dir "" && ! source_key; }
client_in() { mkdir -p "$C/ProgramData/Quorvel/service/bin/v$1" && cp "$client" "$C/ProgramData/Quorvel/service/bin/v$1/quorvel_client.exe"; }
broken_client_in() { client_in "$1" && printf 'not a program' >"$C/ProgramData/Quorvel/service/bin/v$1/quorvel_client.exe"; }
# A service registered by hand (section 1 of the guide), and its registry key to compare with afterwards.
by_hand() { q sc create quorvel-client binPath= '"C:\hand\quorvel_launcher.exe" -action=service' start= auto >/dev/null &&
  q sc description quorvel-client 'registered by hand' >/dev/null && q reg query "$svc\\quorvel-client" /s >"$work/hand"; }
unchanged() { q reg query "$svc\\quorvel-client" /s | cmp -s - "$work/hand" && grep -q 'C:\\hand' "$work/hand"; }
# The launcher's process ends a moment after its stopped report; an upgrade or uninstall that finds its file still
# mapped replaces it only at the next restart (3010). Those rows stop the service and wait for the process to end.
gone() { q sc stop quorvel-client >/dev/null; for _ in $(seq 50); do
  q wmic process get name | tr -d '\0' | grep -q quorvel_launcher || return 0; sleep 0.2; done; return 1; }
# Under Wine a repair does the same without the transitive bit: the bit is checked in the table.
# No failed upgrade: Wine's rollback deletes the service its InstallServices found, and does not put the old launcher back.
T=$'\t' v1="$work/b1/quorvel_launcher.exe" v2="$work/b2/quorvel_launcher.exe"
rows=(
  "recovery: sc.exe failure, then failureflag, deferred as LocalSystem after InstallServices|true|0|table CustomAction 'QuorvelRecovery${T}3122${T}QUORVEL_SC${T}failure quorvel-client reset= 86400 actions= restart/60000/restart/60000/\"\"/0${T}' && table CustomAction 'QuorvelRecoveryFlag${T}3122${T}QUORVEL_SC${T}failureflag quorvel-client 1${T}' && table InstallExecuteSequence 'QuorvelRecoveryFlag${T}NOT Installed AND RECOVERY<>\"0\"${T}5802'"
  "messages: each refusal says what to do|true|0|table CustomAction \"QuorvelClientMissing\${T}19\${T}\${T}START=1, but the client [QUORVEL_CLIENT_DIR]quorvel_client.exe is not there. Install the client first, or install without START=1 and start the service once the client is in place.\${T}\" && table CustomAction \"QuorvelServiceExists\${T}19\${T}\${T}A service named quorvel-client is already registered, and not by this package; it is left as it is. To have the package manage the service, note its settings (sc.exe qc quorvel-client), delete it (sc.exe delete quorvel-client) and install again.\${T}\""
  "ACL: the three folders locked at the launcher's fixed C:\\ProgramData\\Quorvel, nothing inherited|true|0|[ \$(msiinfo export \$work/old.msi MsiLockPermissionsEx | grep -cF 'CreateFolder${T}D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)') = 3 ] && table CustomAction 'QuorvelDataDir${T}51${T}QUORVELDATADIR${T}C:\\ProgramData\\Quorvel\\${T}'"
  "tables: no script action, none on [TempFolder] or cmd.exe; the service row; versioned launcher; public properties secured; the start component transitive, its folder the key path (ICE18)|true|0|plain_actions && table CreateFolder 'QUORVELBINDIR${T}QuorvelServiceStart' && table Component 'QuorvelServiceStart${T}{5E0A7C1D-3B6F-4E21-9A4C-8D2F6B1E7A32}${T}QUORVELBINDIR${T}320${T}CCP_Success AND NOT START=\"0\"${T}' && table ServiceInstall 'QuorvelService${T}quorvel-client${T}quorvel-client${T}16${T}2${T}32769${T}${T}${T}${T}${T}-action=service${T}QuorvelLauncher${T}' && table File 'QuorvelLauncherExe${T}QuorvelLauncher${T}quorvel_launcher.exe${T}$(stat -c %s "$exe")${T}1.0.0.0${T}${T}512${T}1' && ! msiinfo export \$work/old.msi MsiFileHash | grep -q QuorvelLauncherExe && msiinfo export \$work/old.msi Property | grep -qE '^SecureCustomProperties${T}ACTIVEVERSION;RECOVERY;START;'"
  "recovery on: Wine's sc.exe has no failureflag (exit 1): 1627, all rolled back|msi /i old.msi|91|refused QuorvelRecoveryFlag"
  "ACTIVEVERSION empty: 1603|msi /i old.msi RECOVERY=0 ACTIVEVERSION=|67|refused QuorvelVersionEmpty"
  "ACTIVEVERSION with a separator|msi /i old.msi RECOVERY=0 ACTIVEVERSION=3/x|67|refused QuorvelVersionPath"
  "START=1, no client: names the path, nothing left|q reg add \$key /v ActiveVersion /d 7 /f /reg:64; msi /i old.msi RECOVERY=0 START=1|67|refused QuorvelClientMissing && logged 'QUORVEL_CLIENT_DIR = C:\\ProgramData\\Quorvel\\service\\bin\\v7\\' && value ActiveVersion 7"
  "a service registered by hand, START=1, a client that cannot start: refused, the service as it was|by_hand && broken_client_in 7 && msi /i old.msi RECOVERY=0 START=1|67|logged 'QuorvelServiceExists. Return value 0' && unchanged && [ ! -e \"\$C/Program Files/quorvel-client\" ]"
  "START=1, a client that cannot start: fails late (1627 under Wine), all rolled back|q sc delete quorvel-client >/dev/null && msi /i old.msi RECOVERY=0 START=1|91|logged 'StartServices. Return value 0' && nothing"
  "install with the client in place: started, path and arguments, Install_Dir, ActiveVersion untouched|client_in 7 && msi /i old.msi RECOVERY=0|0|state 4 && image && value Install_Dir 'C:\\Program Files\\quorvel-client\\' && value ActiveVersion 7 && source_key"
  "repair (REINSTALL=ALL REINSTALLMODE=omus): stopped to reinstall, running afterwards|state 4 && msi /i old.msi REINSTALL=ALL REINSTALLMODE=omus|0|logged 'StopServices. Return value 1' && state 4 && image"
  "repair with START=0: left stopped|msi /i old.msi REINSTALL=ALL REINSTALLMODE=omus START=0|0|state 1 && image"
  "upgrade to 1.0.1: one service, description kept, the new file, running|gone && q sc description quorvel-client 'set by the administrator' >/dev/null && msi /i v1.msi RECOVERY=0|0|state 4 && image && launcher \$v1 && described 'set by the administrator' && services 1 && value ActiveVersion 7"
  "upgrade to 1.0.2: the same again|gone && msi /i v2.msi RECOVERY=0|0|state 4 && image && launcher \$v2 && described 'set by the administrator' && services 1"
  "downgrade to 1.0.1 refused|msi /i v1.msi RECOVERY=0|67|logged 'LaunchConditions. Return value 0' && launcher \$v2 && state 4"
  "uninstall: service and launcher gone, clients and ActiveVersion kept|gone && msi /x v2.msi|0|nothing && value ActiveVersion 7 && [ -e \$C/ProgramData/Quorvel/service/bin/v7/quorvel_client.exe ]"
  "ACTIVEVERSION=3 written; no client there: not started|msi /i old.msi RECOVERY=0 ACTIVEVERSION=3|0|value ActiveVersion 3 && image && state 1"
  "uninstall leaves the ActiveVersion the package wrote|msi /x old.msi|0|nothing && value ActiveVersion 3"
)
failed=0
for row in "${rows[@]}"; do
  IFS='|' read -r what command want checks <<<"$row"
  rm -f "$work/unstarted"; rc=0; eval "$command" || rc=$?
  if [ "$rc" = "$want" ] && eval "$checks" && [ ! -e "$work/unstarted" ]; then echo "ok   $what"
  else echo "FAIL $what (exit $rc$([ -e "$work/unstarted" ] && echo ', a program Wine never started'))"; failed=$((failed + 1)); fi
done
echo "msi: ${#rows[@]} steps, $failed failed"
[ "$failed" -eq 0 ]
