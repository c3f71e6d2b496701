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
# 1.0.1: the same launcher with bytes appended, so that its file differs.
cp "$exe" "$work/new.exe" && printf 'a later build' >>"$work/new.exe"
build_msi "$exe" 1.0.0 1765000000 "$work/old.msi" && build_msi "$work/new.exe" 1.0.1 1765000000 "$work/new.msi" || exit 1
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
image() { q reg query "$svc\\quorvel-client" /v ImagePath | grep -qxF "    ImagePath    REG_SZ    \"C:\\Program Files\\quorvel-client\\quorvel_launcher.exe\" -action=service"; }
state() { q sc query quorvel-client | grep -q "STATE *: $1 "; }
source_key() { q reg query "$svc\\EventLog\\Application\\quorvel-client" | tr '\n' '|' |
  grep -qF 'EventMessageFile    REG_EXPAND_SZ    C:\Program Files\quorvel-client\quorvel_launcher.exe|    TypesSupported    REG_DWORD    0x7|'; }
launcher() { cmp -s "$1" "$C/Program Files/quorvel-client/quorvel_launcher.exe"; }
logged() { tr -d '\r' <"$C/log.txt" | grep -qF "$1"; }
table() { msiinfo export "$work/old.msi" "$1" | tr -d '\r' | grep -qxF "$2"; }
# Wine's log leaves out a type 19 action's message: the refusing action
# is seen ending the installation, its text is checked in the table.
refused() { logged "$1. Return value 0" && nothing; }
nothing() { ! q sc query quorvel-client | grep -q STATE && [ ! -e "$C/Program Files/quorvel-client" ] && value Install_Dir "" && ! source_key; }
client_in() { mkdir -p "$C/ProgramData/Quorvel/service/bin/v$1" && cp "$client" "$C/ProgramData/Quorvel/service/bin/v$1/quorvel_client.exe"; }
T=$'\t'
rows=(
  "recovery: sc.exe failure, then failureflag, deferred as LocalSystem|true|0|table CustomAction 'QuorvelRecovery${T}3122${T}QUORVEL_SC${T}failure quorvel-client reset= 86400 actions= restart/60000/restart/60000/\"\"/0${T}' && table CustomAction 'QuorvelRecoveryFlag${T}3122${T}QUORVEL_SC${T}failureflag quorvel-client 1${T}'"
  "messages: each refusal says what to do|true|0|table CustomAction \"QuorvelClientMissing\${T}19\${T}\${T}START=1, but the client [QUORVEL_CLIENT_DIR]quorvel_client.exe is not there. Install the client first, or install without START=1 and start the service once the client is in place.\${T}\""
  "ACL: the three ProgramData folders locked, nothing inherited|true|0|[ \$(msiinfo export \$work/old.msi MsiLockPermissionsEx | grep -cF 'CreateFolder${T}D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)') = 3 ]"
  "recovery on: Wine's sc.exe has no failureflag (exit 1): 1627, all rolled back|msi /i old.msi|91|refused QuorvelRecoveryFlag"
  "ACTIVEVERSION empty: 1603|msi /i old.msi RECOVERY=0 ACTIVEVERSION=|67|refused QuorvelVersionEmpty"
  "ACTIVEVERSION of 16 characters|msi /i old.msi RECOVERY=0 ACTIVEVERSION=1234567890123456|67|refused QuorvelVersionLong"
  "ACTIVEVERSION with a separator|msi /i old.msi RECOVERY=0 ACTIVEVERSION=3/x|67|refused QuorvelVersionPath"
  "START=1, no client: names the path, nothing left|q reg add \$key /v ActiveVersion /d 7 /f /reg:64; msi /i old.msi RECOVERY=0 START=1|67|refused QuorvelClientMissing && logged 'QUORVEL_CLIENT_DIR = C:\\ProgramData\\Quorvel\\service\\bin\\v7\\' && value ActiveVersion 7"
  "quiet install: quoted, Install_Dir, ActiveVersion untouched|msi /i old.msi RECOVERY=0|0|image && value Install_Dir 'C:\\Program Files\\quorvel-client\\' && value ActiveVersion 7 && state 1 && source_key"
  "uninstall: service and launcher gone, clients and ActiveVersion kept|client_in 7; msi /x old.msi|0|nothing && value ActiveVersion 7 && [ -e \$C/ProgramData/Quorvel/service/bin/v7/quorvel_client.exe ]"
  "START=1 with the client|msi /i old.msi RECOVERY=0 START=1|0|state 4 && image"
  "upgrade to 1.0.1: one service, new file, running again|msi /i new.msi RECOVERY=0|0|state 4 && image && launcher \$work/new.exe && value ActiveVersion 7 && [ \$(q reg query \$svc /s | grep -c 'quorvel_launcher.exe\" -action=service') = 1 ]"
  "downgrade refused|msi /i old.msi RECOVERY=0|67|logged 'LaunchConditions. Return value 0' && launcher \$work/new.exe"
  "ACTIVEVERSION=3 written|msi /x new.msi; msi /i new.msi RECOVERY=0 ACTIVEVERSION=3|0|value ActiveVersion 3 && image"
  "uninstall leaves the ActiveVersion the package wrote|msi /x new.msi|0|nothing && value ActiveVersion 3"
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
