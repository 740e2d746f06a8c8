#!/usr/bin/env bash
# rexx.sh -- runs a REXX script with Regina; the add-on's seven UNZIP...
# functions are registered before the script starts (no RxFuncAdd needed) and
# carried out by tarvune.dll under Wine.
#
# Usage: tools/rexx.sh [--addon FILE] SCRIPT [ARGS...]
#   --addon FILE, or TARVUNE_DLL=FILE: the tarvune.dll to use (an installed
#   copy, say); a folder means the tarvune.dll in it. Default: the build's.
#
# Installs what is missing, builds the add-on, the Windows side (tvbridge.exe
# beside the stand-in host morvalin.dll), the sample archive and the runner (a
# native program, built in BUILD_DIR-native), and starts Wine (its prefix, a wineserver), which
# it stops again at the end. Run from within the tests (a Wine session of the
# same build folder already going), it builds nothing and uses that session.
# Progress goes to standard error, so the script's output is its own. The exit
# code is the script's.
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

# Inside a running session (the tests), everything is built already.
. "$ROOT/tools/wine-env.sh"
if [ "${TARVUNE_WINE_SESSION:-}" != "$WINEPREFIX" ]; then {
  configure_run "[rexx]"
  echo "[rexx] building the add-on, the Windows side and the sample archive"
  cmake --build "$RUN_DIR" -j2 --target tarvune tvbridge sample_archive >"$RUN_DIR/rexx-build.log" 2>&1 ||
    { cat "$RUN_DIR/rexx-build.log"; exit 1; }
  build_runner "[rexx]"
  wine_env_start
} >&2; fi
status=0
TARVUNE_DLL="$addon" "$NATIVE_DIR/rexxrun" --bridge "$RUN_DIR/bin" "$@" || status=$?
exit $status
