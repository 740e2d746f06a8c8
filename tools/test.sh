#!/usr/bin/env bash
# test.sh -- installs what is missing, builds everything and runs every test
# under Wine. Usage: tools/test.sh [ctest arguments...]
set -euo pipefail
. "$(dirname "$0")/build-env.sh"

configure_build "[test]"
echo "[test] building"
# Progress is one line per target; the whole output stays in build.log.
set +e
cmake --build "$BUILD_DIR" -j "$(nproc)" 2>&1 | tee "$BUILD_DIR/build.log" |
  grep --line-buffered -E 'error|warning:|Built target'
built=${PIPESTATUS[0]}
set -e
if [ "$built" -ne 0 ]; then
  echo "[test] the build failed; the whole output is in $BUILD_DIR/build.log"
  exit "$built"
fi
build_runner "[test]"

. "$ROOT/tools/wine-env.sh"
wine_env_start
echo "[test] running the tests under Wine"
cd "$BUILD_DIR"
ctest --output-on-failure --timeout 300 "$@"
