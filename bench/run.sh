#!/usr/bin/env bash
# run.sh -- builds and runs the benchmarks under Wine, then times the native
# peers (Info-ZIP unzip, Python's zipfile, bsdtar; 7zz and bsdtar for the
# methods beyond deflate) on the same archives and prints one table of
# throughputs and ratios. Not part of CI: run it when the machine is quiet.
# The archives (about 1.4 GB) live in the build folder's bench-data/ while it
# runs and are removed afterwards. bench/select.rex times selection from a
# real REXX loop under Regina, through the bridge.
#
# The programs run from a copy in bench-data/, under a Wine prefix of their
# own there: a run of many minutes neither holds nor stops the build
# folder's Wine session, and a build meanwhile does not change the programs
# under it.
#
#   bench/run.sh [--rounds N] [--tree] [--many] [--methods] [--no-build]
#     --methods   only the methods beyond deflate: Deflate64, bzip2, LZMA,
#                 PPMd, XZ and Zstandard (methods_bench, bench/peers.py)
#     --no-build  runs the programs as they are in the build folder (build
#                 them beforehand); nothing there is configured or built
#   (BUILD_DIR picks the build folder)
#
# The methods' archives are made here by real tools from the same 200 MB of
# text: 7zz -tzip at -mx5 for Deflate, Deflate64, BZip2 and PPMd, at -mx2 for
# LZMA and XZ (-mx5 takes the better part of an hour for them on two cores),
# and zstd at its default level 3, whose stream methods_bench wraps into an
# entry (method 93).
set -euo pipefail
. "$(dirname "$0")/../tools/build-env.sh"
DATA="$RUN_DIR/bench-data"
BIN="$DATA/bin"

say() { printf '[bench] %s\n' "$*"; }

rounds=()
extract_options=()
methods_only=0
build=1
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds=(--rounds "$2"); shift 2 ;;
    --tree | --many) extract_options+=("$1"); shift ;;
    --methods) methods_only=1; shift ;;
    --no-build) build=0; shift ;;
    *) echo "usage: bench/run.sh [--rounds N] [--tree] [--many] [--methods] [--no-build]" >&2; exit 2 ;;
  esac
done

programs=(methods_bench.exe tarvune.dll morvalin.dll)
if [ "$methods_only" = 0 ]; then programs+=(select_bench.exe extract_bench.exe tvbridge.exe); fi
if [ "$build" = 1 ]; then
  configure_run "[bench]"
  targets=(methods_bench)
  if [ "$methods_only" = 0 ]; then targets+=(select_bench extract_bench tvbridge); fi
  cmake --build "$RUN_DIR" -j 2 --target "${targets[@]}" >/dev/null
  if [ "$methods_only" = 0 ]; then build_runner "[bench]" >/dev/null; fi
fi

rm -rf "$DATA"
mkdir -p "$BIN"
for p in "${programs[@]}"; do
  cp "$RUN_DIR/bin/$p" "$BIN/" || { say "$p is not built in $RUN_DIR/bin"; exit 1; }
done
. "$ROOT/tools/wine-env.sh"
export WINEPREFIX="$DATA/wineprefix"
wine_env_start
cleanup() {
  wine_env_stop
  rm -rf "$DATA"
}
trap cleanup EXIT
cd "$DATA"

say "load now: $(cut -d' ' -f1-3 /proc/loadavg) (figures are sound below about 1)"
if [ "$methods_only" = 0 ]; then
  say "making the archives"
  "$WINE" "$BIN/extract_bench.exe" make .
fi

# kind, 7zz's name of the method, level
METHOD_ARCHIVES="deflate:Deflate:5 deflate64:Deflate64:5 bzip2:BZip2:5 lzma:LZMA:2 ppmd:PPMd:5 xz:XZ:2"
say "making the methods' archives from 200 MB of text (7zz and zstd)"
"$WINE" "$BIN/methods_bench.exe" content .
for archive in $METHOD_ARCHIVES; do
  IFS=: read -r kind method level <<<"$archive"
  start=$SECONDS
  7zz a -bd -bso0 -bsp0 -tzip "-mx$level" "-mm=$method" "$kind.zip" large.txt
  say "  $kind.zip: 7zz -mm=$method -mx$level, $(stat -c %s "$kind.zip") bytes in $((SECONDS - start)) s"
done
start=$SECONDS
zstd -q -3 large.txt -o large.txt.zst
"$WINE" "$BIN/methods_bench.exe" pack .
say "  zstd.zip: zstd -3, $(stat -c %s zstd.zip) bytes in $((SECONDS - start)) s"
rm -f large.txt large.txt.zst

if [ "$methods_only" = 0 ]; then
  echo
  say "selection"
  "$WINE" "$BIN/select_bench.exe" .
  echo
  say "selection from a REXX script with Regina, through the bridge"
  "$NATIVE_DIR/rexxrun" --bridge "$BIN" "$ROOT/bench/select.rex" many.zip
  echo
  say "extraction"
  "$WINE" "$BIN/extract_bench.exe" run . --figures figures.txt "${rounds[@]}" "${extract_options[@]}"
fi
echo
say "private memory while one archive extracts each method's entry (a process each)"
for kind in deflate deflate64 bzip2 lzma ppmd xz zstd; do
  "$WINE" "$BIN/methods_bench.exe" memory . "$kind" --figures figures.txt
done
echo
say "the methods beyond deflate against plain loops over their libraries"
"$WINE" "$BIN/methods_bench.exe" run . --figures figures.txt "${rounds[@]}"
echo
say "native peers on the same archives (load now: $(cut -d' ' -f1-3 /proc/loadavg))"
python3 "$ROOT/bench/peers.py" "$DATA" "$DATA/figures.txt"
