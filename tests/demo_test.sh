#!/usr/bin/env bash
# Runs the first-run demo (tools/demo.sh) on the built programs: it must
# succeed, show the device's answer, and show the server's log of the routed
# request, of the dropped one and of the orderly stop.
# Usage: demo_test.sh SOURCE_DIR BUILD_DIR
set -u
[ -w /var/run/ ] || { echo "SKIP: /var/run is not writable (the server's PID file)"; exit 77; }
out=$(mktemp "${TMPDIR:-/tmp}/relay-demotest.XXXXXX")
trap 'rm -f "$out"' EXIT

bash "$1/tools/demo.sh" --no-build "$2" >"$out" 2>&1
status=$?
cat "$out"

failures=0
[ "$status" = 0 ] || { echo "FAIL: the demo exited with $status"; failures=1; }
for text in \
  "answer from device 23 (6 bytes): 01 17 70 6f 6e 67" \
  "no answer within 1 s: no device with id 24" \
  " ip=127.0.0.23,  id=" \
  "     do... [23]" \
  "     is request: 01 18" \
  "    exit 0" \
  "exit status: 0"; do
  grep -qF -- "$text" "$out" || { echo "FAIL: the demo does not show: $text"; failures=1; }
done
exit $failures
