#!/usr/bin/env bash
# What a status client costs the relay: one pair relaying closed loop while
# one client polls /status in a loop (curl --http1.0, one connection per
# request, as fast as the server answers), beside idle connections, against
# the same pair without the poller. The two runs take turns; the medians are
# reported.
#
#   bench/status-poll.sh [--server BIN] [--build-dir DIR] [--idle N]
#                        [--path P] [--reps N] [--duration SEC]
#
# --server     the relaySvr binary to measure (default: DIR/relaySvr)
# --build-dir  where relay-loadgen is built, and relaySvr unless --server
#              (default build-bench, configured Release when missing)
# --idle       idle connections held beside the pair, half requesters and
#              half devices (default 6000)
# --path       what the poller asks for (default /status)
# --reps       runs of each kind (default 3); --duration their length in
#              seconds (default 2.5)
#
# Server on core 0; load generator and poller on core 1 (taskset). The last
# line gives round trips/s without and with the poller, their ratio, the
# polls per second and the p99 and longest round trip seen while polling (a
# loop pass that holds the server shows there). Everything started here is
# stopped by PID; the temporary directory and the PID file are removed on
# exit.

set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# relay_wait_until, relay_listen_port, relay_exited, relay_free_port
# shellcheck source=../scripts/relay-lib.sh source-path=SCRIPTDIR
. "$ROOT/scripts/relay-lib.sh"

BUILD_DIR="$ROOT/build-bench"
SERVER=""
IDLE=6000
POLL_PATH=/status
REPS=3
DURATION=2.5
# Deadlines: the server must listen, and hold every idle connection, within these.
LISTEN_WAIT_S=10
HOLD_WAIT_S=120
# Bounds the holding process and the poller should the script be stopped hard.
HOLD_MAX_S=1800
POLL_MAX_S=300
# The poller's URLs: more than any run can fetch.
POLL_URLS=10000000

usage() { sed -n '2,25p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; }
die() { printf 'status-poll.sh: %s\n' "$*" >&2; exit 1; }
log() { printf '[poll] %s\n' "$*" >&2; }

while [ $# -gt 0 ]; do
    case "$1" in
        --server) SERVER=${2:?--server needs a value}; shift 2 ;;
        --build-dir) BUILD_DIR=${2:?--build-dir needs a value}; shift 2 ;;
        --idle) IDLE=${2:?--idle needs a value}; shift 2 ;;
        --path) POLL_PATH=${2:?--path needs a value}; shift 2 ;;
        --reps) REPS=${2:?--reps needs a value}; shift 2 ;;
        --duration) DURATION=${2:?--duration needs a value}; shift 2 ;;
        -h|--help) usage; exit 0 ;;
        *) usage >&2; exit 2 ;;
    esac
done
[[ "$IDLE" =~ ^[0-9]+$ ]] && [ "$IDLE" -le 19000 ] || die "--idle must be 0..19000"
[[ "$REPS" =~ ^[1-9]$ ]] || die "--reps must be 1..9"
[[ "$POLL_PATH" =~ ^/[A-Za-z0-9/_.-]*$ ]] || die "--path must be a plain path such as /metrics"
awk -v d="$DURATION" 'BEGIN { exit !(d > 0 && d <= 60) }' || die "--duration must be in (0, 60]"
for c in curl taskset cmake; do command -v "$c" >/dev/null || die "$c is missing (apt-get install curl util-linux cmake)"; done

if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
    cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DRELAY_BUILD_TESTS=OFF \
        -DRELAY_BUILD_TOOLS=OFF >/dev/null || die "cmake configure failed"
fi
cmake --build "$BUILD_DIR" -j2 --target relaySvr relay-loadgen >/dev/null || die "build failed"
LOADGEN="$BUILD_DIR/bench/relay-loadgen"
[ -n "$SERVER" ] || SERVER="$BUILD_DIR/relaySvr"
[ -x "$SERVER" ] || die "no server at $SERVER"
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

TMP=$(mktemp -d /tmp/relay-poll.XXXXXX) || die "cannot create a temporary directory"
NAME="relaySvr-poll-$$"
PIDS=()
cleanup() {
    local p
    for p in "${PIDS[@]+"${PIDS[@]}"}"; do
        kill -0 "$p" 2>/dev/null || continue
        kill -INT "$p" 2>/dev/null
        relay_wait_until 10 relay_exited "$p" || kill -KILL "$p" 2>/dev/null
        wait "$p" 2>/dev/null
    done
    rm -f "/var/run/$NAME.pid"
    rm -rf "$TMP"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

PORT=$(relay_free_port) || die "no free port"
SPORT=$(relay_free_port "$PORT") || die "no free port"
cp "$SERVER" "$TMP/$NAME"
printf '[SvrTarn]\nPort=%s\nStatusPort=%s\n' "$PORT" "$SPORT" >"$TMP/relaySvr.ini"
(cd "$TMP" && exec taskset -c 0 "./$NAME" >"$TMP/server.log" 2>&1) &
SPID=$!
PIDS+=("$SPID")
listening() { relay_exited "$SPID" || [ "$(relay_listen_port "$SPID" "$SPORT")" = "$PORT" ]; }
relay_wait_until "$LISTEN_WAIT_S" listening
relay_exited "$SPID" && die "the server did not start: $(tail -3 "$TMP/server.log")"

if [ "$IDLE" -gt 0 ]; then
    taskset -c 1 "$LOADGEN" --mode relay --port "$PORT" --server-pid "$SPID" --hold \
        --idle-req $((IDLE / 2)) --idle-dev $((IDLE - IDLE / 2)) --duration "$HOLD_MAX_S" \
        >"$TMP/hold.out" 2>"$TMP/hold.err" &
    PIDS+=("$!")
    held() { grep -q '^ready' "$TMP/hold.out" || relay_exited "${PIDS[-1]}"; }
    relay_wait_until "$HOLD_WAIT_S" held
    grep -q '^ready' "$TMP/hold.out" || die "idle connections not held: $(cat "$TMP/hold.err")"
fi
log "$(basename "$SERVER"): $IDLE idle connections held; $REPS × ${DURATION} s without and with a poller of $POLL_PATH"

field() { printf '%s\n' "$2" | tr ' ' '\n' | sed -n "s/^$1=//p"; }
run_pair() {  # run_pair: one pair for DURATION; its RESULT line in R
    R=$(taskset -c 1 "$LOADGEN" --mode relay --port "$PORT" --pairs 1 --duration "$DURATION" 2>"$TMP/lg.err" |
        grep '^RESULT ')
    [ -n "$R" ] || die "load generator failed: $(cat "$TMP/lg.err")"
}
med() { tr ' ' '\n' | sed '/^$/d' | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

without="" with="" polls="" p99="" worst=""
for rep in $(seq 1 "$REPS"); do
    run_pair
    without="$without $(field rt_per_s "$R")"
    : >"$TMP/codes"
    taskset -c 1 timeout "$POLL_MAX_S" curl -s --http1.0 -w '%{stderr}%{http_code}\n' \
        "http://127.0.0.1:$SPORT$POLL_PATH?[1-$POLL_URLS]" >/dev/null 2>"$TMP/codes" &
    ppid=$!
    PIDS+=("$ppid")
    sleep 0.2
    start=$(wc -l <"$TMP/codes")
    run_pair
    r=$R
    n=$(( $(wc -l <"$TMP/codes") - start ))
    kill -TERM "$ppid" 2>/dev/null
    wait "$ppid" 2>/dev/null
    with="$with $(field rt_per_s "$r")"
    polls="$polls $(awk -v n="$n" -v d="$(field seconds "$r")" 'BEGIN { printf "%.0f", n / d }')"
    p99="$p99 $(field p99_us "$r")"
    worst="$worst $(field max_us "$r")"
    bad=$(grep -vc '^200$' "$TMP/codes")
    [ "$bad" = 0 ] && bad=""
    log "run $rep: $(echo "$without" | awk '{print $NF}') round trips/s alone, $(field rt_per_s "$r") with the poller" \
        "($n polls, max round trip $(field max_us "$r") µs${bad:+, $bad answers not 200})"
done
w0=$(echo "$without" | med)
w1=$(echo "$with" | med)
printf 'RESULT idle=%s path=%s alone_rt_per_s=%s polled_rt_per_s=%s ratio=%s polls_per_s=%s p99_rt_us_polled=%s max_rt_us_polled=%s\n' \
    "$IDLE" "$POLL_PATH" "$w0" "$w1" "$(awk -v a="$w0" -v b="$w1" 'BEGIN { printf "%.2f", b / a }')" \
    "$(echo "$polls" | med)" "$(echo "$p99" | med)" "$(echo "$worst" | tr ' ' '\n' | sort -g | tail -1)"
