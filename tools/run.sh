#!/usr/bin/env bash
# run.sh -- the main job: installs what is missing, builds the add-on, the REXX
# bridge and the sample archive, then runs the example scripts with Regina:
# examples/list.rex lists the sample and examples/extract.rex extracts it
# through the add-on under Wine; the tree it made is shown and checked against
# the sample's sources.
# Usage: tools/run.sh [ARCHIVE [FOLDER [PASSWORD]]]   (default: the sample archive)
#   With arguments, extract.rex runs on them in the current directory.
set -euo pipefail
. "$(dirname "$0")/build-env.sh"
here="$(pwd)"

configure_run "[run]"
echo "[run] building the add-on, the Windows side of the bridge and the sample"
cmake --build "$RUN_DIR" -j2 --target tarvune tvbridge sample_archive >"$RUN_DIR/run-build.log" 2>&1 ||
  { cat "$RUN_DIR/run-build.log"; exit 1; }
build_runner "[run]"

. "$ROOT/tools/wine-env.sh"
wine_env_start
rexx() { "$NATIVE_DIR/rexxrun" --bridge "$RUN_DIR/bin" "$@"; }

if [ $# -gt 0 ]; then
  cd "$here"
  status=0
  rexx "$ROOT/examples/extract.rex" "$@" || status=$?
  exit $status
fi

cd "$RUN_DIR/bin"
rm -rf sample/extracted
echo "[run] regina examples/list.rex sample/sample.zip tarvune"
rexx "$ROOT/examples/list.rex" sample/sample.zip tarvune || true
echo "[run] regina examples/extract.rex sample/sample.zip sample/extracted tarvune"
status=0
rexx "$ROOT/examples/extract.rex" sample/sample.zip sample/extracted tarvune || status=$?
echo "[run] the extracted tree:"
(cd sample/extracted && find . -mindepth 1 | sort | while read -r p; do
   if [ -d "$p" ]; then printf '  %s/\n' "${p#./}"; else printf '  %-28s %7d bytes\n' "${p#./}" "$(stat -c %s "$p")"; fi
 done)
if diff -r sample/extracted sample/sample-src >/dev/null; then
  echo "[run] every extracted file matches its source byte for byte"
else
  echo "[run] the extracted tree differs from the sample's sources"; status=1
fi
exit $status
