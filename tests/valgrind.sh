#!/usr/bin/env bash
# Runs the server under valgrind memcheck through two tests: the end-to-end
# exchange of server_test (device 127.0.0.23, requester, request 01 17 ..,
# answer, a dropped extra chunk, both close) and the short random-traffic run
# of robustness_test with resets and reconnects. The tests close every client
# and stop the server with SIGINT; memcheck must then report no error and
# nothing definitely lost.
#
# Usage: tests/valgrind.sh [BUILD_DIR]
#   BUILD_DIR defaults to build-valgrind in the source tree, configured and
#   built when needed. A given BUILD_DIR is used as it is (its relaySvr,
#   tests/server_test and tests/robustness_test must exist). Exits 77
#   (skipped) without valgrind, in a sanitizer build or when /var/run is not
#   writable.
#   RELAY_RANDOM_MS sets the length of the random-traffic run (default 3000).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

command -v valgrind >/dev/null || { echo "SKIP: valgrind is not installed"; exit 77; }
[ -w /var/run/ ] || { echo "SKIP: /var/run is not writable (the server's PID file)"; exit 77; }

if [ $# -ge 1 ]; then
  build=$(cd "$1" && pwd)
else
  build=$root/build-valgrind
  [ -f "$build/CMakeCache.txt" ] ||
    cmake -S "$root" -B "$build" -DRELAY_BUILD_BENCH=OFF -DRELAY_BUILD_TOOLS=OFF >/dev/null
  cmake --build "$build" -j2 --target relaySvr server_test robustness_test >/dev/null
fi
if grep -q '^RELAY_SANITIZE:BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null; then
  echo "SKIP: $build is a sanitizer build; valgrind cannot run it"
  exit 77
fi
server=$build/relaySvr
for f in "$server" "$build/tests/server_test" "$build/tests/robustness_test"; do
  [ -x "$f" ] || { echo "FAIL: $f missing"; exit 1; }
done

state=$(mktemp -d "${TMPDIR:-/tmp}/relaysvr-vg.XXXXXX")
cleanup() {
  # PID files of the copies this run started, and nothing else.
  if [ -f "$state/pidfiles" ]; then
    while read -r f; do rm -f -- "$f"; done <"$state/pidfiles"
  fi
  rm -rf -- "$state"
}
trap cleanup EXIT

# The tests copy this wrapper under a unique name and start it in place of the
# server. It copies the real server next to itself (so the PID file is
# /var/run/<copy name>-vg.pid, unique as well) and replaces itself with
# valgrind running that copy: the process ID, the signals and the exit status
# are the server's.
wrapper=$state/relaySvr-memcheck
cat >"$wrapper" <<EOF
#!/bin/sh
exe="\$0-vg"
cp "$server" "\$exe" || exit 126
echo "/var/run/\${exe##*/}.pid" >>"$state/pidfiles"
exec valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite \\
  --error-exitcode=1 --log-file="$state/memcheck.%p.log" "\$exe" "\$@"
EOF
chmod +x "$wrapper"

started=$SECONDS
status=0
export RELAY_TEST_SERVER=$wrapper RELAY_RANDOM_MS=${RELAY_RANDOM_MS:-3000}
"$build/tests/server_test" --gtest_color=no \
  --gtest_filter='Routing.RequestAnswerAndCloseGiveExactBytesAndLog' || status=1
"$build/tests/robustness_test" --gtest_color=no --gtest_filter='RobustnessRandom.*' || status=1

runs=0
for log in "$state"/memcheck.*.log; do
  [ -f "$log" ] || continue
  runs=$((runs + 1))
  echo "== memcheck ${log##*/}"
  grep -E 'ERROR SUMMARY|definitely lost|indirectly lost|possibly lost|still reachable|All heap blocks|in use at exit' "$log" |
    sed 's/^==[0-9]*== *//'
  if ! grep -q 'ERROR SUMMARY: 0 errors' "$log"; then
    echo "FAIL: memcheck found errors"; cat "$log"; status=1
  fi
  if grep -q 'definitely lost: [1-9]' "$log"; then
    echo "FAIL: memory definitely lost"; status=1
  fi
done
[ "$runs" -ge 2 ] || { echo "FAIL: expected two server runs under memcheck, found $runs"; status=1; }
echo "valgrind: $runs server runs checked in $((SECONDS - started)) s: $([ $status = 0 ] && echo passed || echo FAILED)"
exit $status
