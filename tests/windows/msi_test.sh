#!/usr/bin/env bash
# The Windows Installer package through msiexec, one row a step, run in
# order: on Windows itself (Git Bash or MSYS2's bash, on a machine without
# the product, such as a hosted runner), or under Wine in a fresh prefix.
# Rows named "windows: ..." run only on Windows, "wine: ..." only under
# Wine; an expected exit code "A/B" is A under Wine, B on Windows. What
# Wine does not apply (failure actions, file ACLs) the Windows rows read
# back, and the package's tables show.
#   msi_test.sh LAUNCHER TEST_CLIENT [SVCCTL [DIR]]
#       the table, on packages built here around LAUNCHER, or on those in
#       DIR (then LAUNCHER is not read); SVCCTL is by default the
#       quorvel_svcctl.exe beside LAUNCHER
#   msi_test.sh --build-packages DIR LAUNCHER
#       only builds the packages into DIR: wixl, msibuild and faketime are
#       Linux's, and Windows tests what Linux built
source "$(dirname "$0")/../../scripts/lib.sh"
# Each check is a pipeline decided by its last command, often a grep -q
# that stops reading at the first match: the writer still writing then dies
# of SIGPIPE (141), which lib.sh's pipefail would turn into a failed check.
set +o pipefail

# old.msi holds LAUNCHER as 1.0.0, v1.msi and v2.msi the launcher rebuilt
# with 1.0.1 and 1.0.2 in its version record; beside them the three
# launchers (launcher-1.0.N.exe) and old.msi's tables as msiinfo exports
# them (tables/), which the table reads on either host.
build_packages() {
  local dir="$1" exe="$2" v t
  mkdir -p "$dir/tables" && cp "$exe" "$dir/launcher-1.0.0.exe" || return 1
  for v in 1 2; do
    (cd "$ROOT" && cmake --preset windows -B "$dir/b$v" -DQUORVEL_VERSION="1.0.$v.0" >/dev/null &&
      cmake --build "$dir/b$v" --target quorvel_launcher >/dev/null) &&
      cp "$dir/b$v/quorvel_launcher.exe" "$dir/launcher-1.0.$v.exe" &&
      build_msi "$dir/launcher-1.0.$v.exe" "1.0.$v" 1765000000 "$dir/v$v.msi" || return 1
    rm -rf "$dir/b$v"
  done
  build_msi "$exe" 1.0.0 1765000000 "$dir/old.msi" || return 1
  for t in $(msiinfo tables "$dir/old.msi" | grep -v '^_'); do
    msiinfo export "$dir/old.msi" "$t" | tr -d '\r' >"$dir/tables/$t" || return 1
  done
}
if [ "${1:-}" = --build-packages ]; then
  mkdir -p "$2" && build_packages "$(realpath "$2")" "$(realpath "$3")"
  exit
fi
client="$(realpath "$2")" svcctl="$(realpath "${3:-$(dirname "$1")/quorvel_svcctl.exe}")" work="$(mktemp -d)" pkg="${4:-}"
trap 'rm -rf "$work"' EXIT
if [ -n "$pkg" ]; then pkg="$(realpath "$pkg")"; else pkg="$work/pkg"; build_packages "$pkg" "$(realpath "$1")" || exit 1; fi
start_wine
C="$(drive_c)" key='HKLM\SOFTWARE\quorvel-client' svc='HKLM\SYSTEM\CurrentControlSet\Services'
# Windows: the table starts from a machine without the product, and leaves
# none behind, whatever a failed row left.
clean_windows() {
  set +e
  for p in v2 v1 old; do win msiexec /x "C:\\$p.msi" /qn </dev/null >/dev/null 2>&1; done
  win sc delete quorvel-client >/dev/null 2>&1
  win reg delete "$key" /f /reg:64 >/dev/null 2>&1
  rm -rf "$C/ProgramData/Quorvel" "$C/quorvel work" "$C/old.msi" "$C/v1.msi" "$C/v2.msi" "$C/log.txt" "$work"
}
if on_windows; then
  if win sc query quorvel-client >/dev/null 2>&1 || win reg query "$key" /reg:64 >/dev/null 2>&1 ||
     [ -e "$C/ProgramData/Quorvel" ]; then
    echo "msi: this machine has a quorvel-client service, $key or C:\\ProgramData\\Quorvel already"
    exit 1
  fi
  trap clean_windows EXIT
else
  trap 'stop_wine; rm -rf "$work"' EXIT
fi
cp "$pkg"/*.msi "$C/"
# Runs a program of this host's Windows: its output without \r, its exit
# code. Under Wine, one that start.exe creates: a new Wine process now and
# then dies as it starts (see the README); ntdll traces the pid of one that
# started. Without that trace it is started again, three times in all;
# never started fails the row.
q() {
  local rc=0
  if on_windows; then
    win "$@" </dev/null >"$work/q.out" 2>"$work/q.err" || rc=$?
    tr -d '\r' <"$work/q.out"
    return "$rc"
  fi
  for _ in 1 2 3; do
    rc=0; WINEDEBUG=-all,+process wine "$@" </dev/null >"$work/q.out" 2>"$work/q.err" || rc=$?
    grep -qE ':NtCreateUserProcess .* pid [0-9a-f]+ tid ' "$work/q.err" && { tr -d '\r' <"$work/q.out"; return "$rc"; }
  done
  : >"$work/unstarted"; return 1
}
# msiexec through svcctl's exit-code, which prints its full exit code (a
# shell sees 8 bits on either host): the row compares that code, so msi
# comes last in a row's command.
msi() { rm -f "$C/log.txt"
  q "$svcctl" exit-code msiexec "$1" "C:\\$2" /qn '/l*v' 'C:\log.txt' "${@:3}" | sed -n 's/^exit code: //p' >"$work/code"
  [ "$(cat "$work/code")" = 0 ]; }
value() { [ "$(q reg query "$key" /v "$1" /reg:64 | awk -v n="$1" '$1 == n { sub(/^ *[^ ]+ +[^ ]+ +/, ""); print }')" = "$2" ]; }
typed() { q reg query "$key" /v "$1" /reg:64 | grep -qxF "    $1    $2    $3"; }
# Wine's InstallServices leaves out the quotes around the path: path and arguments are checked, quoted or not.
image() { q reg query "$svc\\quorvel-client" /v ImagePath | grep -qxE '    ImagePath    REG_(EXPAND_)?SZ    ("?)C:\\Program Files\\quorvel-client\\quorvel_launcher\.exe\2 -action=service'; }
state() { q sc query quorvel-client | grep -q "STATE *: $1 "; }
state_soon() { for _ in $(seq 50); do state "$1" && return 0; sleep 0.2; done; return 1; }
services() { [ "$(q reg query "$svc" /s | grep -c 'quorvel_launcher.exe"\? -action=service')" = "$1" ]; }
described() { q reg query "$svc\\quorvel-client" /v Description | grep -qxF "    Description    REG_SZ    $1"; }
source_key() { q reg query "$svc\\EventLog\\Application\\quorvel-client" >"$work/src" &&
  grep -qxF '    EventMessageFile    REG_EXPAND_SZ    C:\Program Files\quorvel-client\quorvel_launcher.exe' "$work/src" &&
  grep -qxF '    TypesSupported    REG_DWORD    0x7' "$work/src"; }
launcher() { cmp -s "$pkg/launcher-$1.exe" "$C/Program Files/quorvel-client/quorvel_launcher.exe"; }
logged() { tr -d '\0\r' <"$C/log.txt" | grep -qF "$1"; }
# An action that ended the installation: return value 3 in Windows' log, 0 in Wine's. Wine's log leaves out a type 19
# action's message: its text is checked in the table.
ended() { logged "$1. Return value $(if on_windows; then echo 3; else echo 0; fi)"; }
refused() { ended "$1" && nothing; }
table() { grep -qxF "$2" "$pkg/tables/$1"; }
sequenced() { table InstallExecuteSequence "$1$T$2$T$3"; }
# No action of a script type (base type 5 JScript, 6 VBScript), on cmd.exe or on [TempFolder], nor immediate with
# the no-impersonate bit (ICE68); never from an empty export.
plain_actions() { grep -q '^QuorvelRecovery' "$pkg/tables/CustomAction" &&
  ! awk -F'\t' 'NR > 3 && ($2 % 8 == 5 || $2 % 8 == 6 || /TempFolder|cmd\.exe/ || int($2 / 2048) % 2 > int($2 / 1024) % 2)' "$pkg/tables/CustomAction" | grep -q .; }
nothing() { ! q sc query quorvel-client | grep -q STATE && [ ! -e "$C/Program Files/quorvel-client" ] && value Install_Dir "" && ! source_key; }
bin="$C/ProgramData/Quorvel/service/bin"
client_in() { mkdir -p "$bin/v$1" && cp "$client" "$bin/v$1/quorvel_client.exe" && forget "$1"; }
broken_client_in() { client_in "$1" && printf 'not a program' >"$bin/v$1/quorvel_client.exe"; }
# The test client writes record.txt beside itself when it runs: ran VERSION [DIR] waits for it (forget removes it),
# and compares the working directory the launcher gave the client with DIR.
forget() { rm -f "$bin/v$1/record.txt"; }
ran() { for _ in $(seq 50); do [ -s "$bin/v$1/record.txt" ] && break; sleep 0.1; done
  tr -d '\r' <"$bin/v$1/record.txt" 2>/dev/null | if [ -n "${2:-}" ]; then grep -qxF "cwd=$2"; else grep -q '^cwd='; fi; }
# A service registered by hand (section 1 of the guide), and its registry key to compare with afterwards.
by_hand() { q sc create quorvel-client binPath= '"C:\hand\quorvel_launcher.exe" -action=service' start= auto >/dev/null &&
  q sc description quorvel-client 'registered by hand' >/dev/null && q reg query "$svc\\quorvel-client" /s >"$work/hand"; }
unchanged() { q reg query "$svc\\quorvel-client" /s | cmp -s - "$work/hand" && grep -q 'C:\\hand' "$work/hand"; }
# The launcher's process ends a moment after its stopped report; an upgrade or uninstall that finds its file still
# mapped replaces it only at the next restart (3010). Those rows stop the service and wait for the process to end.
# windows-2025 has no wmic; Wine's tasklist lists nothing.
running() { if on_windows; then q tasklist /fi 'imagename eq quorvel_launcher.exe' /nh | grep -qi quorvel_launcher
  else q wmic process get name | tr -d '\0' | grep -q quorvel_launcher; fi; }
gone() { q sc stop quorvel-client >/dev/null; for _ in $(seq 50); do running || return 0; sleep 0.2; done; return 1; }
# Windows only. recovery RESET "ACTION/DELAY ..." FLAG: sc.exe qfailure's reset period and actions in order (RESTART,
# RUN PROCESS or REBOOT, each "-- Delay = N milliseconds."; a NONE entry is no action), and qfailureflag's flag.
recovery() { q sc qfailure quorvel-client >"$work/qf" && grep -qE "RESET_PERIOD \(in seconds\) *: *$1 *\$" "$work/qf" &&
  [ "$(grep -oE '(RESTART|RUN PROCESS|REBOOT) -- Delay = [0-9]+' "$work/qf" | sed 's/ -- Delay = /\//' | tr '\n' ' ')" = "$2 " ] &&
  q sc qfailureflag quorvel-client | grep -qE "FAILURE_ACTIONS_ON_NONCRASH_FAILURES *: *$3 *\$"; }
# sc.exe qc: the path quoted as Windows Installer writes it, automatic start, LocalSystem (no StartName).
configured() { q sc qc quorvel-client >"$work/qc" && grep -qE '^ *START_TYPE *: 2 +AUTO_START' "$work/qc" &&
  grep -qE '^ *BINARY_PATH_NAME *: "C:\\Program Files\\quorvel-client\\quorvel_launcher\.exe" -action=service *$' "$work/qc" &&
  grep -qE '^ *SERVICE_START_NAME *: LocalSystem *$' "$work/qc"; }
# A folder's DACL in SDDL as Get-Acl reads it (ConvertSecurityDescriptorToStringSecurityDescriptor's aliases: FA for
# full control, the read-and-execute mask in hex), owner and group left out: the package's, with or without AI,
# the auto-inherited flag that Windows may set on a DACL it writes.
locked() { [ "$(q powershell -NoProfile -NonInteractive -Command "(Get-Acl -LiteralPath 'C:\\ProgramData\\$1').Sddl" |
  sed -n 's/^.*D:P\(AI\)\{0,1\}(/D:P(/p')" = 'D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)' ]; }
stopped_with() { q sc query quorvel-client >"$work/sq" && grep -qE "WIN32_EXIT_CODE *: $1 " "$work/sq" &&
  grep -qE "SERVICE_EXIT_CODE *: $2 " "$work/sq"; }
# Wine's raw search returns a REG_EXPAND_SZ without its #%: written back, it is a REG_SZ of the same text.
expand_back=REG_EXPAND_SZ; on_windows || expand_back=REG_SZ
T=$'\t'
rec='((NOT Installed AND NOT WIX_UPGRADE_DETECTED AND RECOVERY<>"0") OR RECOVERY="1") AND NOT REMOVE~="ALL"'
found='QUORVEL_FOUND_VERSION AND NOT QUORVEL_FOUND_VERSION << "#" AND NOT QUORVEL_FOUND_VERSION << "[~]"'
undecided='ACTIVEVERSION = "\keep" AND (QUORVEL_FOUND_VERSION << "##" OR QUORVEL_FOUND_VERSION << "#%" OR QUORVEL_FOUND_VERSION << "[~]")'
# Under Wine a repair does the same without the transitive bit: the bit is checked in the table.
# No failed upgrade under Wine: its rollback deletes the service its InstallServices found, and does not put the old
# launcher back.
rows=(
  "recovery: sc.exe failure, then failureflag, deferred as LocalSystem after InstallServices; on a first install unless RECOVERY=0, on any other run only with RECOVERY=1, never on removal|true|0|table CustomAction 'QuorvelRecovery${T}3122${T}QUORVEL_SC${T}failure quorvel-client reset= 86400 actions= restart/60000/restart/60000/\"\"/0${T}' && table CustomAction 'QuorvelRecoveryFlag${T}3122${T}QUORVEL_SC${T}failureflag quorvel-client 1${T}' && sequenced QuorvelRecovery '${rec}' 5801 && sequenced QuorvelRecoveryFlag '${rec}' 5802"
  "messages: each refusal says what to do|true|0|table CustomAction \"QuorvelClientMissing\${T}19\${T}\${T}START=1, but the client [QUORVEL_CLIENT_DIR]quorvel_client.exe is not there. Install the client first, or install without START=1 and start the service once the client is in place.\${T}\" && table CustomAction \"QuorvelServiceExists\${T}19\${T}\${T}A service named quorvel-client is already registered, and not by this package; it is left as it is. To have the package manage the service, note its settings (sc.exe qc quorvel-client), delete it (sc.exe delete quorvel-client) and install again.\${T}\" && table CustomAction 'QuorvelInstallDirUnused${T}19${T}${T}INSTALL_DIR is written by an install, a repair or an upgrade. To change Install_Dir of the installed launcher, repair it with the new folder: msiexec /i <package> REINSTALL=ALL REINSTALLMODE=omus INSTALL_DIR=<folder>${T}'"
  "ACL: the three folders locked at the launcher's fixed C:\\ProgramData\\Quorvel, nothing inherited|true|0|[ \$(grep -cF 'CreateFolder${T}D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)' \"\$pkg/tables/MsiLockPermissionsEx\") = 3 ] && table CustomAction 'QuorvelDataDir${T}51${T}QUORVELDATADIR${T}C:\\ProgramData\\Quorvel\\${T}'"
  "tables: no script action, none on [TempFolder] or cmd.exe; the service row; versioned launcher; public properties secured; the start components transitive, their folder the key path (ICE18)|true|0|plain_actions && table CreateFolder 'QUORVELBINDIR${T}QuorvelServiceStart' && table Component 'QuorvelServiceStart${T}{5E0A7C1D-3B6F-4E21-9A4C-8D2F6B1E7A32}${T}QUORVELBINDIR${T}320${T}NOT START=\"0\" AND (CCP_Success OR (QUORVEL_VERSION_UNDECIDED AND START=\"1\"))${T}' && table Component 'QuorvelServiceStartUndecided${T}{5E0A7C1D-3B6F-4E21-9A4C-8D2F6B1E7A34}${T}QUORVELBINDIR${T}320${T}QUORVEL_VERSION_UNDECIDED AND NOT START=\"0\" AND NOT START=\"1\"${T}' && table ServiceInstall 'QuorvelService${T}quorvel-client${T}quorvel-client${T}16${T}2${T}32769${T}${T}${T}${T}${T}-action=service${T}QuorvelLauncher${T}' && table File 'QuorvelLauncherExe${T}QuorvelLauncher${T}quorvel_launcher.exe${T}$(stat -c %s "$pkg/launcher-1.0.0.exe")${T}1.0.0.0${T}${T}512${T}1' && ! grep -q QuorvelLauncherExe \"\$pkg/tables/MsiFileHash\" && table Property 'SecureCustomProperties${T}ACTIVEVERSION;INSTALL_DIR;RECOVERY;START;WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED'"
  "searches: ActiveVersion a string as stored; a number or binary data (#...) the launcher's default 1; ##, #% or [~] undecided: no early check, the start waiting with START=1, else not; Install_Dir written back on a repair or an upgrade|true|0|table RegLocator 'QuorvelFindActiveVersion${T}2${T}SOFTWARE\\quorvel-client${T}ActiveVersion${T}18' && sequenced QuorvelVersionFound '${found}' 51 && sequenced QuorvelVersionUndecided '${undecided}' 52 && sequenced CCPSearch 'NOT START=\"0\" AND NOT QUORVEL_VERSION_UNDECIDED' 55 && table ServiceControl 'QuorvelServiceStartUndecided${T}quorvel-client${T}1${T}${T}0${T}QuorvelServiceStartUndecided' && table Registry 'regEBB3F2E35AA77A4DED34D035BE9234E1${T}2${T}SOFTWARE\\quorvel-client${T}Install_Dir${T}[QUORVEL_INSTALL_DIR]${T}QuorvelLauncher' && sequenced QuorvelInstallDirKept 'QUORVEL_FOUND_INSTALL_DIR AND (Installed OR WIX_UPGRADE_DETECTED)' 1003"
  "wine: recovery on: Wine's sc.exe has no failureflag (exit 1): 1627, all rolled back|msi /i old.msi|1627|refused QuorvelRecoveryFlag"
  "ACTIVEVERSION empty: 1603|msi /i old.msi RECOVERY=0 ACTIVEVERSION=|1603|refused QuorvelVersionEmpty"
  "ACTIVEVERSION with a separator|msi /i old.msi RECOVERY=0 ACTIVEVERSION=3/x|1603|refused QuorvelVersionPath"
  "ACTIVEVERSION beginning with #: the Registry table would write a number|msi /i old.msi RECOVERY=0 ACTIVEVERSION=#3|1603|refused QuorvelVersionType"
  "START=1, no client: names the path, nothing left|q reg add \$key /v ActiveVersion /d 7 /f /reg:64 >/dev/null && msi /i old.msi RECOVERY=0 START=1|1603|refused QuorvelClientMissing && logged 'QUORVEL_CLIENT_DIR = C:\\ProgramData\\Quorvel\\service\\bin\\v7\\' && value ActiveVersion 7"
  "a service registered by hand, START=1, a client that cannot start: refused, the service as it was|by_hand && broken_client_in 7 && msi /i old.msi RECOVERY=0 START=1|1603|ended QuorvelServiceExists && unchanged && [ ! -e \"\$C/Program Files/quorvel-client\" ]"
  "START=1, a client that cannot start: fails late, all rolled back|q sc delete quorvel-client >/dev/null && msi /i old.msi RECOVERY=0 START=1|1627/1603|ended StartServices && nothing"
  "wine: install with the client in place (RECOVERY=0: Wine's sc.exe has no failureflag): started, path and arguments, Install_Dir, ActiveVersion untouched|client_in 7 && msi /i old.msi RECOVERY=0|0|state 4 && image && value Install_Dir 'C:\\Program Files\\quorvel-client\\' && value ActiveVersion 7 && source_key"
  # Relies on sc.exe's qfailure, qfailureflag and qc output; on Get-Acl's SDDL; on Windows Installer quoting a
  # ServiceInstall path and applying MsiLockPermissionsEx's SDDL to the CreateFolder rows' folders.
  "windows: install with the client in place, RECOVERY not given: the same, the package's recovery, the path quoted, LocalSystem, the folders' ACL|client_in 7 && msi /i old.msi|0|state 4 && image && value Install_Dir 'C:\\Program Files\\quorvel-client\\' && value ActiveVersion 7 && source_key && recovery 86400 'RESTART/60000 RESTART/60000' TRUE && configured && locked Quorvel && locked 'Quorvel\\service' && locked 'Quorvel\\service\\bin'"
  "repair (REINSTALL=ALL REINSTALLMODE=omus): stopped to reinstall, running afterwards; Install_Dir set by hand kept, the client run in it|mkdir -p \"\$C/quorvel work\" && q reg add \$key /v Install_Dir /d 'C:\\quorvel work' /f /reg:64 >/dev/null && forget 7 && state 4 && msi /i old.msi REINSTALL=ALL REINSTALLMODE=omus|0|logged 'StopServices. Return value 1' && state 4 && image && typed Install_Dir REG_SZ 'C:\\quorvel work' && ran 7 'C:\\quorvel work'"
  # Relies on a failed StartServices (error 1920) failing the installation with 1603, and on rollback returning the
  # system to its state before (Microsoft's "Rollback Installation"): RemoveExistingProducts comes after InstallExecute.
  "windows: an upgrade to 1.0.1 that fails late (START=1, ActiveVersion given as 8, whose client is not a program): rolled back to 1.0.0, its ActiveVersion, running|broken_client_in 8 && msi /i v1.msi START=1 ACTIVEVERSION=8|1603|ended StartServices && launcher 1.0.0 && value ActiveVersion 7 && state_soon 4 && image"
  "INSTALL_DIR given to the installed product without a repair: refused|msi /i old.msi 'INSTALL_DIR=C:\\quorvel-work'|1603|ended QuorvelInstallDirUnused && value Install_Dir 'C:\\quorvel work' && state 4"
  "repair with START=0 and INSTALL_DIR: left stopped, Install_Dir written|msi /i old.msi REINSTALL=ALL REINSTALLMODE=omus START=0 'INSTALL_DIR=C:\\quorvel-work'|0|state 1 && image && value Install_Dir 'C:\\quorvel-work'"
  "windows: recovery set by hand (sc.exe failure, failureflag)|q sc failure quorvel-client reset= 3600 actions= restart/5000 >/dev/null && q sc failureflag quorvel-client 0 >/dev/null|0|recovery 3600 RESTART/5000 FALSE"
  "upgrade to 1.0.1, RECOVERY not given (under Wine the recovery actions would fail it): one service, description kept, Install_Dir set by hand as REG_EXPAND_SZ kept, the new file, running|gone && q sc description quorvel-client 'set by the administrator' >/dev/null && q reg add \$key /v Install_Dir /t REG_EXPAND_SZ /d 'C:\\quorvel work' /f /reg:64 >/dev/null && forget 7 && msi /i v1.msi|0|state 4 && image && launcher 1.0.1 && described 'set by the administrator' && services 1 && value ActiveVersion 7 && typed Install_Dir ${expand_back} 'C:\\quorvel work' && ran 7 'C:\\quorvel work'"
  "windows: the recovery set by hand kept by the upgrade|true|0|recovery 3600 RESTART/5000 FALSE"
  "windows: a repair with RECOVERY=1 sets the package's recovery again|msi /i v1.msi REINSTALL=ALL REINSTALLMODE=omus RECOVERY=1|0|recovery 86400 'RESTART/60000 RESTART/60000' TRUE && state 4"
  "upgrade to 1.0.2: the same again|gone && msi /i v2.msi|0|state 4 && image && launcher 1.0.2 && described 'set by the administrator' && services 1"
  "downgrade to 1.0.1 refused|msi /i v1.msi RECOVERY=0|1603|ended LaunchConditions && launcher 1.0.2 && state 4"
  "uninstall: service, launcher and Install_Dir gone, clients and ActiveVersion kept|gone && msi /x v2.msi|0|nothing && value ActiveVersion 7 && [ -e \$bin/v7/quorvel_client.exe ]"
  "ACTIVEVERSION=3 written; no client there: not started|msi /i old.msi RECOVERY=0 ACTIVEVERSION=3|0|value ActiveVersion 3 && image && state 1"
  "uninstall leaves the ActiveVersion the package wrote|msi /x old.msi|0|nothing && value ActiveVersion 3"
  "ActiveVersion a REG_DWORD (3): the client looked for where the launcher runs it, bin\\v1, and started|q reg add \$key /v ActiveVersion /t REG_DWORD /d 3 /f /reg:64 >/dev/null && client_in 1 && msi /i old.msi RECOVERY=0|0|logged 'QUORVEL_CLIENT_DIR = C:\\ProgramData\\Quorvel\\service\\bin\\v1\\' && state_soon 4 && ran 1"
  "ActiveVersion a REG_SZ beginning with # (#8, searched as ##8), no client, START=1: undecided, no early refusal; fails late, all rolled back|gone && msi /x old.msi && q reg add \$key /v ActiveVersion /d '#8' /f /reg:64 >/dev/null && msi /i old.msi RECOVERY=0 START=1|1627/1603|logged 'QUORVEL_VERSION_UNDECIDED = 1' && ! logged QuorvelClientMissing. && ended StartServices && nothing"
  "the same with its client in bin\\v#8: started|client_in '#8' && msi /i old.msi RECOVERY=0 START=1|0|state_soon 4 && ran '#8'"
  "repair without START, undecided: started without waiting|forget '#8' && msi /i old.msi REINSTALL=ALL REINSTALLMODE=omus|0|state_soon 4 && ran '#8'"
  # Relies on StartService returning once the service's ServiceMain has started, and on the ServiceControl table's
  # Wait 0 ("wait only until the SCM reports that this service is in a pending state"). Under Wine the start of a
  # service that stops at once fails StartServices. RECOVERY=0: no restart scheduled by the failure flag.
  "windows: undecided (#9), no client, START not given: installed, the launcher's rule decides: stopped with 1066, service-specific 2|gone && msi /x old.msi && q reg add \$key /v ActiveVersion /d '#9' /f /reg:64 >/dev/null && msi /i old.msi RECOVERY=0|0|state_soon 1 && stopped_with 1066 2 && image"
  "ActiveVersion a REG_EXPAND_SZ (3), START=1: installed and started (on Windows the search gives #%3, undecided; under Wine 3)|gone && msi /x old.msi && q reg add \$key /v ActiveVersion /t REG_EXPAND_SZ /d 3 /f /reg:64 >/dev/null && client_in 3 && msi /i old.msi RECOVERY=0 START=1|0|state_soon 4 && ran 3"
  "uninstall leaves ActiveVersion, its type too|gone && msi /x old.msi|0|nothing && typed ActiveVersion REG_EXPAND_SZ 3"
)
failed=0 skipped=0
for row in "${rows[@]}"; do
  IFS='|' read -r what command want checks <<<"$row"
  case "$what" in
    windows:*) on_windows || { echo "skip $what (Windows only)"; skipped=$((skipped + 1)); continue; } ;;
    wine:*) ! on_windows || { echo "skip $what (Wine only)"; skipped=$((skipped + 1)); continue; } ;;
  esac
  case "$want" in */*) if on_windows; then want="${want#*/}"; else want="${want%/*}"; fi ;; esac
  rm -f "$work/unstarted" "$work/code"; rc=0; eval "$command" || rc=$?
  [ -e "$work/code" ] && rc="$(cat "$work/code")"
  if [ "$rc" = "$want" ] && eval "$checks" && [ ! -e "$work/unstarted" ]; then echo "ok   $what"
  else echo "FAIL $what (exit $rc$([ -e "$work/unstarted" ] && echo ', a program Wine never started'))"; failed=$((failed + 1)); fi
done
echo "msi: ${#rows[@]} steps, $failed failed, $skipped skipped on this host"
[ "$failed" -eq 0 ]
