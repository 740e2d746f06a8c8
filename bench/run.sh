#!/usr/bin/env bash
# run.sh -- builds and runs the benchmarks under Wine, then times the native
# peers (Info-ZIP unzip, Python's zipfile, bsdtar) on the same archives and
# prints one table of throughputs and ratios. Not part of CI: run it when the
# machine is quiet. The archives (about 900 MB) live in the build folder's
# bench-data/ while it runs and are removed afterwards. bench/select.rex times
# selection from a real REXX loop under Regina, through the bridge.
#
#   bench/run.sh [--rounds N] [--tree]     (BUILD_DIR picks the build folder)
set -euo pipefail
. "$(dirname "$0")/../tools/build-env.sh"
BIN="$RUN_DIR/bin"
DATA="$RUN_DIR/bench-data"

say() { printf '[bench] %s\n' "$*"; }

configure_run "[bench]"
cmake --build "$RUN_DIR" -j 2 --target select_bench extract_bench tvbridge >/dev/null
build_runner "[bench]" >/dev/null

. "$ROOT/tools/wine-env.sh"
wine_env_start
cleanup() {
  rm -rf "$DATA"
  wine_env_stop
}
trap cleanup EXIT
rm -rf "$DATA"
mkdir -p "$DATA"
cd "$DATA"

say "load now: $(cut -d' ' -f1-3 /proc/loadavg) (figures are sound below about 1)"
say "making the archives"
"$WINE" "$BIN/extract_bench.exe" make .
echo
say "selection"
"$WINE" "$BIN/select_bench.exe" .
echo
say "selection from a REXX script with Regina, through the bridge"
"$NATIVE_DIR/rexxrun" --bridge "$BIN" "$ROOT/bench/select.rex" many.zip
echo
say "extraction"
"$WINE" "$BIN/extract_bench.exe" run . --figures figures.txt "$@"
echo
say "native peers on the same archives"
python3 "$ROOT/bench/peers.py" "$DATA" "$DATA/figures.txt"
