#!/usr/bin/env bash
# rexx.sh -- runs a REXX script with Regina; the add-on's seven UNZIP...
# functions are registered before the script starts (no RxFuncAdd needed) and
# carried out by tarvune.dll under Wine.
#
# Usage: tools/rexx.sh [--addon FILE] SCRIPT [ARGS...]
#   --addon FILE, or TARVUNE_DLL=FILE: the tarvune.dll to use (an installed
#   copy, say); a folder means the tarvune.dll in it. Default: the build's.
#
# Installs what is missing, builds the add-on, the Windows side (tvbridge.exe)
# and the runner (a native program, built in BUILD_DIR-native), and starts Wine
# (its prefix, wineserver). Progress goes to standard error, so the script's
# output is its own. The exit code is the script's.
set -euo pipefail
. "$(dirname "$0")/build-env.sh"
NATIVE_DIR="${NATIVE_BUILD_DIR:-$BUILD_DIR-native}"

addon="${TARVUNE_DLL:-}"
if [ "${1:-}" = "--addon" ]; then
  [ $# -ge 2 ] || { echo "usage: tools/rexx.sh [--addon FILE] SCRIPT [ARGS...]" >&2; exit 2; }
  addon="$2"; shift 2
fi
[ $# -ge 1 ] || { echo "usage: tools/rexx.sh [--addon FILE] SCRIPT [ARGS...]" >&2; exit 2; }
if [ -n "$addon" ] && [ -d "$addon" ]; then addon="$addon/tarvune.dll"; fi

{
  configure_build "[rexx]"
  echo "[rexx] building the add-on, the Windows side and the runner"
  cmake --build "$BUILD_DIR" -j2 --target tarvune tvbridge >"$BUILD_DIR/rexx-build.log" 2>&1 ||
    { cat "$BUILD_DIR/rexx-build.log"; exit 1; }
  cmake -S "$ROOT/bridge/runner" -B "$NATIVE_DIR" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$NATIVE_DIR" -j2 >"$NATIVE_DIR/build.log" 2>&1 ||
    { cat "$NATIVE_DIR/build.log"; exit 1; }
} >&2

. "$ROOT/tools/wine-env.sh"
wine_env_start >&2
status=0
TARVUNE_DLL="$addon" "$NATIVE_DIR/rexxrun" --bridge "$BUILD_DIR/bin" "$@" || status=$?
exit $status
