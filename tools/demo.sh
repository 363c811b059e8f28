#!/usr/bin/env bash
# First run of relaySvr, end to end, in one command:
#
#   tools/demo.sh [--no-build] [BUILD_DIR]      (BUILD_DIR defaults to ./build)
#
# Builds relaySvr and the tools if needed, starts a copy of the server in a
# temporary directory with its own relaySvr.ini on a free port, connects a simulated device from 127.0.0.23
# (relay-device), sends a request naming id 23 (relay-request) and shows the
# answer, sends one naming id 24, which no device has (no answer), shows the
# server's log, and stops the server with SIGINT (exit status 0). Exits 0
# when all of that worked.
#
# The server keeps its PID file in /var/run, so this needs the right to write
# there (root, or sudo).
set -u

usage() { sed -n '2,15s/^# \{0,1\}//p' "$0"; }

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# relay_wait_until, relay_listen_port, relay_exited
. "$root/scripts/relay-lib.sh"
build=1
build_dir=
for arg in "$@"; do
  case $arg in
    --no-build) build=0 ;;
    -h|--help) usage; exit 0 ;;
    -*) echo "demo.sh: unknown option $arg" >&2; usage >&2; exit 2 ;;
    *) build_dir=$arg ;;
  esac
done
build_dir=${build_dir:-$root/build}

device_id=23
request_hex="01 17 70 69 6e 67"   # byte 1 = 0x17 = 23; "ping"
answer_hex="01 17 70 6f 6e 67"    # what the device answers; "pong"
wait_seconds=10                   # the longest any wait takes

fail() { echo "demo: $*" >&2; exit 1; }
section() { printf '\n== %s\n' "$*"; }

# --- build ------------------------------------------------------------------
if [ "$build" = 1 ]; then
  if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    section "configuring $build_dir"
    cmake -S "$root" -B "$build_dir" >/dev/null || fail "cmake configure failed"
  fi
  section "building relaySvr, relay-device, relay-request"
  cmake --build "$build_dir" -j2 --target relaySvr relay-device relay-request >/dev/null ||
    fail "build failed (run: cmake --build $build_dir)"
fi
server_bin=$build_dir/relaySvr
device_bin=$build_dir/tools/relay-device
request_bin=$build_dir/tools/relay-request
for f in "$server_bin" "$device_bin" "$request_bin"; do
  [ -x "$f" ] || fail "$f is missing; build first (cmake --build $build_dir)"
done
[ -w /var/run/ ] || fail "relaySvr writes its PID file in /var/run/; run the demo as root (sudo $0)"

# --- clean-up: only what this script started and made ------------------------
work=$(mktemp -d "${TMPDIR:-/tmp}/relay-demo.XXXXXX") || fail "mktemp failed"
name=relaySvr-demo-$$            # a name of its own: its own PID file
server_pid=
device_pid=
cleanup() {
  for pid in $device_pid $server_pid; do
    kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null
  done
  wait 2>/dev/null
  rm -rf "$work"
  rm -f "/var/run/$name.pid"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

log_has() { grep -q -- "$1" "$work/server.log"; }
server_up_or_gone() { relay_listen_port "$server_pid" >/dev/null || relay_exited "$server_pid"; }
device_in_or_gone() { log_has "ip=127.0.0.$device_id," || relay_exited "$device_pid"; }
count_removed() { [ "$(grep -c ' remove$' "$work/server.log")" -ge "$1" ]; }

# --- start the server -------------------------------------------------------
section "starting the server"
cp "$server_bin" "$work/$name" || fail "cannot copy $server_bin"
demo_port=$(relay_free_port) || { echo "demo.sh: no free port found" >&2; exit 1; }
printf '; written by tools/demo.sh\n[SvrTarn]\nPort=%s\n' "$demo_port" >"$work/relaySvr.ini"
(cd "$work" && exec "./$name") >"$work/server.log" 2>"$work/server.err" &
server_pid=$!
relay_wait_until "$wait_seconds" server_up_or_gone
port=$(relay_listen_port "$server_pid") || {
  relay_exited "$server_pid" && { wait "$server_pid"; echo "exit status $?" >&2; }
  cat "$work/server.log" "$work/server.err" >&2
  fail "the server did not start"
}
echo "relaySvr (copy $work/$name, PID $server_pid) listens on port $port (seen in /proc/net/tcp)"
echo "its relaySvr.ini:"
sed 's/^/    /' "$work/relaySvr.ini"

# --- the device -------------------------------------------------------------
section "device $device_id: relay-device --port $port --id $device_id --reply \"$answer_hex\" --count 1"
"$device_bin" --port "$port" --id "$device_id" --reply "$answer_hex" --count 1 >"$work/device.log" 2>&1 &
device_pid=$!
# The request must not come before the server has taken the device in.
relay_wait_until "$wait_seconds" device_in_or_gone
log_has "ip=127.0.0.$device_id," || { cat "$work/device.log" >&2; fail "the server did not accept the device"; }
echo "    connected from 127.0.0.$device_id"

# --- the request ------------------------------------------------------------
section "request: relay-request --port $port $device_id \"$request_hex\""
"$request_bin" --port "$port" --timeout 5 "$device_id" "$request_hex" 2>&1 | sed 's/^/    /'
request_status=${PIPESTATUS[0]}


section "request for id 24, which no device has: relay-request --port $port --timeout 1 24 \"01 18\""
"$request_bin" --port "$port" --timeout 1 24 "01 18" 2>&1 | sed 's/^/    /'
unknown_status=${PIPESTATUS[0]}
echo "    (exit status $unknown_status: relaySvr dropped the request, so no answer came)"

relay_wait_until "$wait_seconds" relay_exited "$device_pid" || kill -TERM "$device_pid" 2>/dev/null
wait "$device_pid" 2>/dev/null
device_pid=
section "what the device printed"
sed 's/^/    /' "$work/device.log"

# All peers have closed; let the server log it before it is stopped.
relay_wait_until "$wait_seconds" count_removed 3

# --- stop -------------------------------------------------------------------
section "stopping the server with SIGINT"
kill -INT "$server_pid"
if ! relay_wait_until "$wait_seconds" relay_exited "$server_pid"; then
  kill -KILL "$server_pid" 2>/dev/null
  echo "the server did not stop on SIGINT; killed" >&2
fi
wait "$server_pid"
server_status=$?
server_pid=
echo "exit status: $server_status"

section "the server's log (standard output)"
sed 's/^/    /' "$work/server.log"
if [ -s "$work/server.err" ]; then
  section "the server's standard error"
  sed 's/^/    /' "$work/server.err"
fi

echo
if [ "$request_status" = 0 ] && [ "$unknown_status" = 1 ] && [ "$server_status" = 0 ]; then
  echo "demo ok: the request reached device $device_id and its answer came back"
  exit 0
fi
echo "demo FAILED: relay-request status $request_status (0 expected) and $unknown_status (1 expected)," \
  "server exit status $server_status (0 expected)" >&2
exit 1
