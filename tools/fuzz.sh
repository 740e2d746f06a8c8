#!/usr/bin/env bash
# fuzz.sh -- a long run of the mutation fuzzer: installs what is missing,
# builds the fault-counting add-on and the fuzzer, and runs them under Wine.
# Inputs that fail are written to <build>/bin/fuzz-failures.
# Usage: tools/fuzz.sh [iterations [seed]]   (default: 1,000,000 iterations, seed 1)
#        tools/fuzz.sh --replay fuzz-failures/<file> [--password pw]   (runs one again)
set -euo pipefail
. "$(dirname "$0")/build-env.sh"
ITERATIONS="${1:-1000000}"
SEED="${2:-1}"

configure_run "[fuzz]"
cmake --build "$RUN_DIR" -j 2 --target hostile_fuzz >/dev/null

. "$ROOT/tools/wine-env.sh"
wine_env_start
cd "$RUN_DIR/bin"
if [ "$ITERATIONS" = --replay ]; then
  "$WINE" hostile_fuzz.exe "$@"
  exit
fi
echo "[fuzz] $ITERATIONS iterations from seed $SEED"
"$WINE" hostile_fuzz.exe "$ITERATIONS" "$SEED"
