#!/usr/bin/env bash
# inflate64.sh -- the Deflate64 decoder against zlib's raw inflate: builds
# inflate64_bench, writes its content (32 MiB of text-like lines, 16 MiB of
# text, random bytes and stretches repeated from 33 to 64 KiB back), has 7zz
# compress it with Deflate64, runs the benchmark under Wine and removes the
# data. Not part of CI: run it when the machine is quiet.
#
#   bench/inflate64.sh [--rounds N]     (BUILD_DIR picks the build folder)
set -euo pipefail
. "$(dirname "$0")/../tools/build-env.sh"
BIN="$RUN_DIR/bin"
DATA="$RUN_DIR/bench-inflate64"

configure_run "[inflate64]"
cmake --build "$RUN_DIR" -j 2 --target inflate64_bench >/dev/null

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

echo "[inflate64] load now: $(cut -d' ' -f1-3 /proc/loadavg) (figures are sound below about 1)"
"$WINE" "$BIN/inflate64_bench.exe" make .
7zz a -bd -bso0 -tzip -mm=Deflate64 deflate64.zip text.txt mixed.bin
"$WINE" "$BIN/inflate64_bench.exe" run deflate64.zip "$@"
