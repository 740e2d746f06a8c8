#!/usr/bin/env bash
# test32.sh -- the 32-bit tests on a machine whose kernel runs no 32-bit
# programs: the test programs of the i686 build in BUILD_DIR run whole under
# 32-bit Wine in the emulated i386 root (tools/root32.sh), all in one Wine
# session; then the checks that run natively (a REXX example through the
# 32-bit Windows side, say) run with tools/wine32.sh as their Wine.
#
# Usage: tools/test32.sh [--selected] [-R REGEX] [-E REGEX]
#   -R and -E pick runs by label, as ctest picks tests by name; other ctest
#   arguments are ignored, so tools/test.sh passes on its own. --selected
#   only prints the labels picked, one a line.
#
# The runs are BUILD_DIR/emulated32-runs.txt (made by tests/CMakeLists.txt);
# the cases left out are in tests/emulated32.filter, each with its reason.
# tools/test.sh makes the root and builds the programs (the target
# emulated32_programs) first. Each run's output is in BUILD_DIR/test32/LABEL.log.
# The last line sums up; the exit code is 1 when anything failed or did not run.
set -euo pipefail

SELF="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/$(basename "${BASH_SOURCE[0]}")"
TOP="$(cd "$(dirname "$SELF")/.." && pwd)"
BUILD_DIR="$(cd "${BUILD_DIR:-$TOP/build}" && pwd)"
BIN="$BUILD_DIR/bin"
OUT="$BUILD_DIR/test32"
RUNS="$BUILD_DIR/emulated32-runs.txt"
FILTER="$TOP/tests/emulated32.filter"
RESULTS="$OUT/results.txt"
# The longest a single run may take under the emulator before it is stopped.
RUN_TIMEOUT=600

# selected LABEL: whether -R (TEST32_INCLUDE) and -E (TEST32_EXCLUDE) keep it.
selected() {
  { [ -z "${TEST32_INCLUDE:-}" ] || [[ "$1" =~ $TEST32_INCLUDE ]]; } &&
    { [ -z "${TEST32_EXCLUDE:-}" ] || ! [[ "$1" =~ $TEST32_EXCLUDE ]]; }
}

# left_out PROGRAM: the filter's cases of PROGRAM, as one gtest pattern list.
left_out() {
  local program case list=""
  while read -r program case _; do
    [ "$program" = "$1" ] && list="${list:+$list:}$case"
  done < <(grep -v '^[[:space:]]*\(#\|$\)' "$FILTER")
  printf '%s' "$list"
}

# judge LABEL KIND EXPECT STATUS SECONDS: the verdict on a finished run, from
# its exit status and its log: one line on the terminal (with the failures
# under it) and one line in the results.
judge() {
  local label="$1" kind="$2" expect="$3" status="$4" seconds="$5"
  local log="$OUT/$label.log" passed=0 failed=0 verdict=passed note=""
  if [ "$kind" = gtest ]; then
    # --gtest_brief=1 prints a line for each failed case and the count of
    # those that passed.
    passed="$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*/\1/p' "$log" | tail -n 1)"
    failed="$(grep -c '^\[  FAILED  \] [A-Za-z_].* ([0-9]* ms)' "$log" || true)"
    passed="${passed:-0}" failed="${failed:-0}"
    note="$passed cases"
    if [ "$failed" -gt 0 ]; then
      verdict=FAILED note="$failed of $((passed + failed)) cases failed"
    elif ! grep -q '^\[  PASSED  \]' "$log"; then
      verdict=FAILED note="ended with exit code $status before its summary"
    elif [ "$passed" -eq 0 ]; then
      verdict=FAILED note="no case ran"
    elif [ "$status" -ne 0 ]; then
      verdict=FAILED note="every case passed, but the exit code is $status"
    fi
  elif [ "$expect" != - ]; then
    grep -Pzq -- "$expect" "$log" || verdict=FAILED note="its output does not match what is expected"
  elif [ "$status" -ne 0 ]; then
    verdict=FAILED note="exit code $status"
  fi
  [ "$status" -eq 124 ] && verdict=FAILED note="stopped after $RUN_TIMEOUT s"
  printf '[test32] %-44s %-7s %5s s  %s\n' "$label" "$verdict" "$seconds" "$note"
  if [ "$verdict" = FAILED ]; then
    if grep -q '^\[  FAILED  \] [A-Za-z]' "$log"; then
      grep '^\[  FAILED  \] [A-Za-z]' "$log" | sort -u | sed 's/^/           /'
    else
      tail -n 15 "$log" | sed 's/^/           | /'
    fi
    echo "           the whole output: $log"
  fi
  printf '%s\t%s\t%s\t%s\t%s\n' "$label" "$verdict" "$passed" "$failed" "$seconds" >>"$RESULTS"
}

# run LABEL KIND ENVIRONMENT EXPECT COMMAND...: one run from bin/, its output
# in its log, then the verdict. A COMMAND that is a program of bin/ runs
# under $WINE.
run() {
  local label="$1" kind="$2" environment="$3" expect="$4" program status=0 started=$SECONDS
  local -a vars=() command
  shift 4
  [ "$environment" = - ] || read -r -a vars <<<"$environment"
  program="$1"
  shift
  if [ -f "$BIN/$program.exe" ]; then
    command=("$WINE" "$program.exe" "$@")
  elif [ "$kind" = host ]; then
    command=("$program" "$@")
  else
    command=("$WINE" "$program" "$@")
  fi
  if [ "$kind" = gtest ]; then
    # The filter's cases are taken out of the run's own --gtest_filter, if
    # it has one (POSITIVE-NEGATIVE).
    local skip i given=""
    skip="$(left_out "$program")"
    for i in "${!command[@]}"; do
      case "${command[$i]}" in --gtest_filter=*) given="${command[$i]#--gtest_filter=}"; unset "command[$i]" ;; esac
    done
    if [ -n "$skip" ]; then
      case "$given" in *-*) given="$given:$skip" ;; *) given="${given:-*}-$skip" ;; esac
    fi
    command+=(--gtest_brief=1 ${given:+"--gtest_filter=$given"})
  fi
  (cd "$BIN" && env "${vars[@]}" timeout -k 10 "$RUN_TIMEOUT" "${command[@]}") \
    >"$OUT/$label.log" 2>&1 </dev/null || status=$?
  judge "$label" "$kind" "$expect" "$status" "$((SECONDS - started))"
}

# runs KINDS: every selected run of the kinds named (a regular expression).
runs() {
  local -a f
  while IFS=$'\t' read -r -a f; do
    [ ${#f[@]} -ge 5 ] && [[ "${f[1]}" =~ ^($1)$ ]] && selected "${f[0]}" || continue
    run "${f[@]}"
  done <"$RUNS"
}

# Inside the root's Wine session (tools/root32.sh session).
if [ "${1:-}" = __session ]; then
  runs 'gtest|program'
  exit 0
fi

list_only=0
while [ $# -gt 0 ]; do
  case "$1" in
    --selected) list_only=1 ;;
    -R | --tests-regex) TEST32_INCLUDE="${2:-}"; shift ;;
    -E | --exclude-regex) TEST32_EXCLUDE="${2:-}"; shift ;;
  esac
  shift
done
export TEST32_INCLUDE="${TEST32_INCLUDE:-}" TEST32_EXCLUDE="${TEST32_EXCLUDE:-}"

[ -f "$RUNS" ] || { echo "[test32] no $RUNS: configure and build $BUILD_DIR first (tools/test.sh does)"; exit 1; }
wanted=()
in_session=0
while IFS=$'\t' read -r label kind _; do
  selected "$label" || continue
  wanted+=("$label")
  [ "$kind" = host ] || in_session=$((in_session + 1))
done <"$RUNS"
if [ "$list_only" = 1 ]; then
  [ ${#wanted[@]} -eq 0 ] || printf '%s\n' "${wanted[@]}"
  exit 0
fi
if [ ${#wanted[@]} -eq 0 ]; then
  echo "[test32] no 32-bit run matches the arguments"
  exit 0
fi

rm -rf "$OUT"
mkdir -p "$OUT"
: >"$RESULTS"
started=$SECONDS

# The dialog tests draw windows: a display of our own unless one is set.
xvfb=""
if [ -z "${DISPLAY:-}" ]; then
  n=91
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb=$!
  export DISPLAY=":$n"
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
  trap 'kill "$xvfb" 2>/dev/null || true' EXIT
fi

session=0
if [ "$in_session" -gt 0 ]; then
  echo "[test32] $in_session runs of the 32-bit build under 32-bit Wine in the emulated i386 root (qemu-user)"
  # Time limits in the tests stretch, and figures of the process's memory
  # (the emulator's) are not checked, where TARVUNE_EMULATOR is set.
  (cd "$BIN" && TARVUNE_EMULATOR=qemu-user "$TOP/tools/root32.sh" session /bin/bash "$SELF" __session) ||
    session=$?
fi
# The native checks: every Wine program they start runs in the root.
(
  unset WINELOADER WINEARCH TARVUNE_WINE_SESSION
  export WINE="$TOP/tools/wine32.sh" WINEPREFIX="$BUILD_DIR/wineprefix"
  runs host
)

# The sum: a selected run without a verdict did not run (its session ended).
total_passed=0 total_failed=0 passed_runs=0 failed=()
for label in "${wanted[@]}"; do
  line="$(awk -F'\t' -v l="$label" '$1 == l' "$RESULTS" | tail -n 1)"
  if [ -z "$line" ]; then
    failed+=("$label (did not run: the Wine session ended with exit code $session)")
    continue
  fi
  IFS=$'\t' read -r _ verdict cases_passed cases_failed _ <<<"$line"
  total_passed=$((total_passed + cases_passed))
  total_failed=$((total_failed + cases_failed))
  if [ "$verdict" = passed ]; then passed_runs=$((passed_runs + 1)); else failed+=("$label"); fi
done
left="$(grep -cv '^[[:space:]]*\(#\|$\)' "$FILTER" || true)"
summary="${#wanted[@]} runs, $passed_runs passed; $total_passed cases passed, $total_failed failed; $left cases left out (tests/emulated32.filter); $((SECONDS - started)) s"
if [ ${#failed[@]} -gt 0 ]; then
  printf '[test32] failed: %s\n' "${failed[@]}"
  echo "[test32] 32-bit build under the emulator FAILED: $summary"
  exit 1
fi
echo "[test32] 32-bit build under the emulator passed: $summary"
