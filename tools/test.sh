#!/usr/bin/env bash
# test.sh -- installs what is missing, builds everything and runs every test
# under Wine. Usage: tools/test.sh [ctest arguments...]
# On a machine that runs no 32-bit programs ctest runs against a 64-bit build
# of the same sources (RUN_DIR); then the 32-bit build's test programs, built
# in BUILD_DIR beside the deliverables, run under 32-bit Wine in an emulated
# i386 root (tools/root32.sh makes it once per machine; tools/test32.sh runs
# them; -R and -E pick among them too). The exit code is non-zero when
# either part failed.
set -euo pipefail
. "$(dirname "$0")/build-env.sh"

# build_all TAG DIR [TARGETS...]: progress is one line per target; the whole
# output stays in DIR/build.log.
build_all() {
  local tag="$1" dir="$2" targets=()
  shift 2
  for t in "$@"; do targets+=(--target "$t"); done
  set +e
  cmake --build "$dir" -j 2 "${targets[@]}" 2>&1 | tee "$dir/build.log" |
    grep --line-buffered -E 'error:|warning:|Error [0-9]|Built target'
  local built=${PIPESTATUS[0]}
  set -e
  if [ "$built" -ne 0 ]; then
    echo "$tag the build failed; the whole output is in $dir/build.log"
    exit "$built"
  fi
}

emulated32=0
if [ "$RUN_DIR" != "$BUILD_DIR" ]; then
  configure_build "[test]"
  # The 32-bit tests run under the emulator unless -R or -E leave none.
  if [ "$TARVUNE_EMULATED32" = 1 ] && [ -n "$("$ROOT/tools/test32.sh" --selected "$@")" ]; then
    emulated32=1
    "$ROOT/tools/root32.sh" setup
    echo "[test] building the 32-bit add-on, uninstaller and test programs"
    build_all "[test]" "$BUILD_DIR" tarvune UTarvune emulated32_programs
  else
    echo "[test] building the 32-bit add-on and uninstaller"
    build_all "[test]" "$BUILD_DIR" tarvune UTarvune
  fi
  echo "[test] checking their images"
  python3 "$ROOT/tools/check_images.py" "$BUILD_DIR/bin/tarvune.dll" "$BUILD_DIR/bin/UTarvune.exe"
fi

configure_run "[test]"
echo "[test] building"
build_all "[test]" "$RUN_DIR"
build_runner "[test]"

. "$ROOT/tools/wine-env.sh"
wine_env_start
echo "[test] running the tests under Wine"
cd "$RUN_DIR"
status=0
ctest --output-on-failure --timeout 300 "$@" || status=$?
if [ "$emulated32" = 1 ]; then
  echo "[test] running the 32-bit build's tests under the emulator"
  "$ROOT/tools/test32.sh" "$@" || status=1
fi
exit "$status"
