#!/usr/bin/env bash
# test.sh -- installs what is missing, builds everything and runs every test
# under Wine. Usage: tools/test.sh [ctest arguments...]
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"
BUILD_DIR="$(mkdir -p "$BUILD_DIR" && cd "$BUILD_DIR" && pwd)"

bash "$ROOT/tools/setup.sh"

echo "[test] configuring in $BUILD_DIR"
cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release >/dev/null
echo "[test] building"
cmake --build "$BUILD_DIR" -j "$(nproc)" 2>&1 | grep -E 'error|warning|Linking|Built target' || true
cmake --build "$BUILD_DIR" -j "$(nproc)" >/dev/null   # fails here if the build failed

. "$ROOT/tools/wine-env.sh"
wine_env_start
echo "[test] running the tests under Wine"
cd "$BUILD_DIR"
ctest --output-on-failure --timeout 300 "$@"
