#!/usr/bin/env bash
# rexx_start.sh -- how long tools/rexx.sh takes to run a one-line script
# (one UNZIPERRMSG call, so the Windows side starts), as a user starts it
# again and again: the first run (which builds or starts Wine if it must),
# then further runs with nothing changed, beside the runner alone on the same
# script (the Windows side's own start, with Wine's server up). Prints each
# time and one line to compare runs:
#   RESULT rexx_start first=F warm=W runner=R      (seconds; W and R: medians)
#
#   bench/rexx_start.sh [--runs N]     (default 5 warm runs)
set -euo pipefail
. "$(dirname "$0")/../tools/build-env.sh"
runs=5
if [ "${1:-}" = --runs ]; then runs="$2"; fi

script="$(mktemp --suffix=.rex)"
trap 'rm -f "$script"' EXIT
echo "say UNZIPERRMSG(19)" >"$script"

# seconds COMMAND...: runs it with its output dropped and prints its time.
seconds() {
  local start end
  start=$(date +%s%N)
  "$@" >/dev/null 2>&1 </dev/null
  end=$(date +%s%N)
  awk -v ns=$((end - start)) 'BEGIN { printf "%.3f", ns / 1e9 }'
}
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

first=$(seconds "$ROOT/tools/rexx.sh" "$script")
echo "[bench] first run of tools/rexx.sh: $first s"
warm=()
for _ in $(seq "$runs"); do
  t=$(seconds "$ROOT/tools/rexx.sh" "$script")
  warm+=("$t")
  echo "[bench] tools/rexx.sh again: $t s"
done

. "$ROOT/tools/wine-env.sh"
alone=()
for _ in $(seq "$runs"); do
  t=$(seconds "$NATIVE_DIR/rexxrun" --bridge "$RUN_DIR/bin" "$script")
  alone+=("$t")
  echo "[bench] the runner alone: $t s"
done
echo "RESULT rexx_start first=$first warm=$(median "${warm[@]}") runner=$(median "${alone[@]}")"
