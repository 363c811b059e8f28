#!/usr/bin/env bash
# Long robustness runs, too slow for the test suite. They are the robustness
# tests themselves with larger volumes:
#   slow-reader  1 GiB of requests to a device that reads nothing for 10 s,
#                then every byte must arrive; the server's peak VmRSS (the
#                kernel's VmHWM) must stay under 32 MiB. Also 1 GiB of answers
#                to a requester that never reads.
#   churn        100,000 connections of both kinds, a third ended by a reset,
#                a quarter of the pairs cut in mid-transfer; afterwards the
#                server's descriptors must be back to the count before and
#                its VmRSS within 2 MiB of it.
# Each prints its figures on "[ figures  ]" lines and exits non-zero on failure.
#
# Usage: tests/soak.sh [slow-reader|churn|all] [BUILD_DIR]
#   BUILD_DIR defaults to build-soak in the source tree; it is configured
#   (without sanitizers: the memory figures are those of the real server) and
#   built when needed. The volumes can be changed through the variables
#   RELAY_SLOW_READER_MIB, RELAY_SLOW_READER_IDLE_MS and RELAY_CHURN_CYCLES.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mode=${1:-all}
build=${2:-$root/build-soak}

case "$mode" in
  slow-reader|churn|all) ;;
  *) echo "usage: $0 [slow-reader|churn|all] [BUILD_DIR]" >&2; exit 2 ;;
esac
[ -w /var/run/ ] || { echo "soak: /var/run is not writable (the server's PID file)" >&2; exit 77; }

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DRELAY_BUILD_BENCH=OFF -DRELAY_BUILD_TOOLS=OFF >/dev/null
fi
if grep -q '^RELAY_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
  echo "soak: $build is a sanitizer build; its memory figures would be the sanitizer's" >&2
  exit 2
fi
cmake --build "$build" -j2 --target relaySvr robustness_test >/dev/null
test_bin=$build/tests/robustness_test

status=0
run() {
  local name=$1 filter=$2
  shift 2
  echo "== $name"
  local started=$SECONDS
  if env "$@" "$test_bin" --gtest_filter="$filter" --gtest_color=no; then
    echo "== $name: passed in $((SECONDS - started)) s"
  else
    echo "== $name: FAILED"
    status=1
  fi
}

if [ "$mode" = slow-reader ] || [ "$mode" = all ]; then
  run slow-reader 'RobustnessMemory.*' \
    RELAY_SLOW_READER_MIB="${RELAY_SLOW_READER_MIB:-1024}" \
    RELAY_SLOW_READER_IDLE_MS="${RELAY_SLOW_READER_IDLE_MS:-10000}"
fi
if [ "$mode" = churn ] || [ "$mode" = all ]; then
  run churn 'RobustnessChurn.*' RELAY_CHURN_CYCLES="${RELAY_CHURN_CYCLES:-100000}"
fi
exit $status
