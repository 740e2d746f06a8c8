#!/usr/bin/env bash
# run.sh -- the main job: installs what is missing, builds the add-on, the
# stand-in host and the sample archive, then lists and extracts the sample
# through the add-on's REXX functions under Wine, and shows the tree it made.
# Usage: tools/run.sh [tvunzip arguments...]   (default: the sample archive)
set -euo pipefail
. "$(dirname "$0")/build-env.sh"

configure_build "[run]"
echo "[run] building the add-on, the host, tvunzip and the sample"
cmake --build "$BUILD_DIR" -j "$(nproc)" --target tarvune tvunzip sample_archive >/dev/null

. "$ROOT/tools/wine-env.sh"
wine_env_start
cd "$BUILD_DIR/bin"
if [ $# -gt 0 ]; then
  wine tvunzip.exe "$@"
  exit $?
fi

rm -rf sample/extracted
echo "[run] tvunzip -p tarvune -d sample\\extracted sample\\sample.zip"
status=0
wine tvunzip.exe -p tarvune -d 'sample\extracted' 'sample\sample.zip' || status=$?
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
