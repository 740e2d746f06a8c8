#!/usr/bin/env bash
# rexx.sh -- runs a REXX script with Regina; the add-on's seven UNZIP...
# functions are registered before the script starts (no RxFuncAdd needed) and
# carried out by tarvune.dll under Wine.
#
# Usage: tools/rexx.sh [--addon FILE] SCRIPT [ARGS...]
#   --addon FILE, or TARVUNE_DLL=FILE: the tarvune.dll to use (an installed
#   copy, say); a folder means the tarvune.dll in it. Default: the build's.
#
# The first run installs what is missing, builds the add-on, the Windows side
# (tvbridge.exe beside the stand-in host morvalin.dll), the sample archive and
# the runner (a native program, built in BUILD_DIR-native), and makes the Wine
# prefix. Later runs skip all that while no source they are built from has
# changed since (one look at the files' times), and find Wine's server still
# running: it stays TARVUNE_WINE_LINGER seconds (default 300) after its last
# program, then ends by itself. Run from within the tests (a Wine session of
# the same build folder already going), it builds nothing and uses that
# session. Progress goes to standard error, so the script's output is its
# own. The exit code is the script's.
set -euo pipefail
. "$(dirname "$0")/build-env.sh"

usage() { echo "usage: tools/rexx.sh [--addon FILE] SCRIPT [ARGS...]" >&2; exit 2; }
addon="${TARVUNE_DLL:-}"
if [ "${1:-}" = "--addon" ]; then
  [ $# -ge 2 ] || usage
  addon="$2"; shift 2
fi
[ $# -ge 1 ] || usage
if [ -n "$addon" ] && [ -d "$addon" ]; then addon="$addon/tarvune.dll"; fi

. "$ROOT/tools/wine-env.sh"

# The build is current when the stamp written after the last build of these
# targets is newer than every source, and what they made is all there.
stamp="$RUN_DIR/rexx-build.stamp"
built() {
  local f
  for f in "$RUN_DIR"/bin/{tvbridge.exe,morvalin.dll,tarvune.dll,sample/sample.zip} "$NATIVE_DIR/rexxrun"; do
    [ -f "$f" ] || return 1
  done
  sources_older_than "$stamp"
}

build() {
  touch "$stamp.new"   # sources changed while the build runs count as newer
  configure_run "[rexx]"
  echo "[rexx] building the add-on, the Windows side and the sample archive"
  cmake --build "$RUN_DIR" -j2 --target tarvune tvbridge sample_archive >"$RUN_DIR/rexx-build.log" 2>&1 ||
    { cat "$RUN_DIR/rexx-build.log"; exit 1; }
  build_runner "[rexx]"
  mv "$stamp.new" "$stamp"
}

# The README names the sample as build/bin/sample/sample.zip, the 32-bit
# build's. Where the programs run from another build folder, the sample it
# made is copied there.
sample_in_build_dir() {
  local from="$RUN_DIR/bin/sample" to="$BUILD_DIR/bin/sample"
  [ "$RUN_DIR" != "$BUILD_DIR" ] && [ -f "$from/sample.zip" ] || return 0
  cmp -s "$from/sample.zip" "$to/sample.zip" && return 0
  rm -rf "$to"
  mkdir -p "$to"
  cp -p "$from/sample.zip" "$to/"
  cp -pR "$from/sample-src" "$to/"
}

# Wine for this run and the next ones: the prefix, made once, and a server
# that outlives the script by TARVUNE_WINE_LINGER seconds. A server that is
# already running serves (wineserver then exits with 2). A new one starts
# Wine's background services at its first program: that program runs here,
# with its output away from the script's, which the services would otherwise
# hold open for as long as they run. It also turns off Wine's crash dialog,
# so that a crashing Windows side ends with a message instead of a window.
wine_start() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "[rexx] creating the Wine prefix (about 20 s, once per build folder)"
    "$WINE" wineboot -i >/dev/null 2>&1 </dev/null || true
    wineserver -w >/dev/null 2>&1 || true   # wineboot's own server ends first
  fi
  if wineserver "-p${TARVUNE_WINE_LINGER:-300}" >/dev/null 2>&1; then
    setsid "$WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
      >/dev/null 2>&1 </dev/null || true
  fi
}

if [ "${TARVUNE_WINE_SESSION:-}" != "$WINEPREFIX" ]; then {
  built || build
  sample_in_build_dir
  wine_start
} >&2; else
  sample_in_build_dir >&2
fi
status=0
TARVUNE_DLL="$addon" "$NATIVE_DIR/rexxrun" --bridge "$RUN_DIR/bin" "$@" || status=$?
exit $status
