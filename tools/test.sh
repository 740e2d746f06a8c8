#!/usr/bin/env bash
# test.sh -- installs what is missing, builds everything and runs every test
# under Wine. Usage: tools/test.sh [ctest arguments...]
# On a machine that runs no 32-bit programs the tests run against a 64-bit
# build of the same sources (RUN_DIR); the 32-bit deliverables are still
# built, and their images checked without running them.
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
    grep --line-buffered -E 'error|warning:|Built target'
  local built=${PIPESTATUS[0]}
  set -e
  if [ "$built" -ne 0 ]; then
    echo "$tag the build failed; the whole output is in $dir/build.log"
    exit "$built"
  fi
}

if [ "$RUN_DIR" != "$BUILD_DIR" ]; then
  configure_build "[test]"
  echo "[test] building the 32-bit add-on and uninstaller"
  build_all "[test]" "$BUILD_DIR" tarvune UTarvune
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
ctest --output-on-failure --timeout 300 "$@"
