#!/usr/bin/env bash
# Benchmark of relaySvr, side by side with the floor relay (bench/floor-relay.cpp:
# the least a relay with the same routing can do, without and with its log)
# and haproxy (TCP mode, one thread).
#
#   bench/run.sh [--duration SEC] [--reps N] [--only LIST] [--out FILE]
#                [--build-dir DIR] [--strace-count N] [--churn-strace-count N]
#   bench/run.sh --smoke
#
# The full run builds relaySvr, relay-loadgen and relay-floor (Release) when
# needed, installs haproxy, strace and taskset with apt-get when they are
# missing, and measures each scenario closed loop with fresh servers: the
# server on core 0, the load generator on core 1 (taskset). Each measurement
# runs --reps times for --duration seconds (default 3 × 2.5 s), the servers
# taking turns, and the median is reported. relaySvr and the floor --log write
# their log to a file, as in service. At the end it prints one Markdown table
# (and, with --out, writes it to FILE as well); every figure is also given as
# a ratio to the floor without log. A full run takes about 5 minutes.
#
# Scenarios (--only takes a comma-separated list of them):
#   a         1 pair × 64 B: system calls per round trip (strace -c -f)
#   a0        1 pair × 64 B, server and load generator on the same core
#   b         64 pairs × 64 B
#   c         16 pairs × 4096 B
#   churn     a connection per round trip (connect, request, answer, close),
#             16 at a time: round trips/s, CPU and system calls per cycle
#   d, scale  16 pairs × 64 B with no idle connection, beside 5,000 idle
#             requesters + 5,000 idle devices, then beside 9,900 + 9,900
#             (memory per idle connection, accept speed); one pass for both
#   features  64 pairs × 64 B, relaySvr with its optional settings all on
#             (status server scraped once a second) vs all off
#
# --smoke runs relaySvr and the floor for one short scenario each (1 s, no
# pinning, no haproxy, no strace) and exits non-zero unless round trips
# happened on both.
#
# Everything the script starts is stopped by PID; its temporary directory and
# the PID files of the relaySvr copies it ran are removed on exit.

set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# relay_wait_until, relay_listen_port, relay_exited
# shellcheck source=../scripts/relay-lib.sh source-path=SCRIPTDIR
. "$ROOT/scripts/relay-lib.sh"

BUILD_DIR="$ROOT/build-bench"
# 3 runs of 2.5 s per figure keep a full run to about 5 minutes.
DURATION=2.5
REPS=3
OUT=""
SMOKE=0
ONLY="a,a0,b,c,churn,d,scale,features"
# System call counts per round trip are steady from a few thousand on.
STRACE_COUNT=5000
CHURN_STRACE_COUNT=2000
# Idle connections of scenario d, per side (requesters, devices).
IDLE_D=5000
# The descriptor limit is 20,000 per process and cannot be raised here: the
# server's 9,900 + 9,900 idle, 32 active connections, its listener and a few
# files stay below it. The load generator splits them over two processes.
IDLE_SCALE=9900
SCALE_PAIRS=16
SMOKE_PAIRS=4
# Deadlines: a server must listen, and a holding process must have all its
# idle connections accepted, within these many seconds.
LISTEN_WAIT_S=10
STRACE_ATTACH_WAIT_S=30
HOLD_WAIT_S=120
# Holding processes are stopped by PID long before this; it bounds them if not.
HOLD_MAX_S=1800
# The status server of the features scenario is asked at most once a second
# for this long in total per run.
SCRAPE_MAX_S=600

usage() {
    sed -n '2,39p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
}

while [ $# -gt 0 ]; do
    case "$1" in
        --duration) DURATION=${2:?--duration needs a value}; shift 2 ;;
        --reps) REPS=${2:?--reps needs a value}; shift 2 ;;
        --only) ONLY=${2:?--only needs a value}; shift 2 ;;
        --out) OUT=${2:?--out needs a value}; shift 2 ;;
        --build-dir) BUILD_DIR=${2:?--build-dir needs a value}; shift 2 ;;
        --strace-count) STRACE_COUNT=${2:?--strace-count needs a value}; shift 2 ;;
        --churn-strace-count) CHURN_STRACE_COUNT=${2:?--churn-strace-count needs a value}; shift 2 ;;
        --smoke) SMOKE=1; shift ;;
        -h|--help) usage; exit 0 ;;
        *) echo "run.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
    esac
done
if ! [[ "$DURATION" =~ ^[0-9]+([.][0-9]+)?$ ]] || ! awk -v d="$DURATION" 'BEGIN{exit !(d>0 && d<=120)}'; then
    echo "run.sh: --duration must be a number of seconds in (0, 120]" >&2; exit 2
fi
if ! [[ "$REPS" =~ ^[1-9][0-9]?$ ]]; then
    echo "run.sh: --reps must be in 1..99" >&2; exit 2
fi
for n in "$STRACE_COUNT" "$CHURN_STRACE_COUNT"; do
    if ! [[ "$n" =~ ^[1-9][0-9]*$ ]] || [ "$n" -gt 1000000 ]; then
        echo "run.sh: --strace-count and --churn-strace-count must be in 1..1000000" >&2; exit 2
    fi
done
for s in ${ONLY//,/ }; do
    case "$s" in a|a0|b|c|churn|d|scale|features) ;; *) echo "run.sh: unknown scenario $s" >&2; exit 2 ;; esac
done
want() { case ",$ONLY," in *",$1,"*) return 0 ;; *) return 1 ;; esac; }
T_MARK=0
took() { log "($(( SECONDS - T_MARK )) s)"; T_MARK=$SECONDS; }

log() { printf '[bench] %s\n' "$*" >&2; }
die() { printf 'run.sh: %s\n' "$*" >&2; exit 1; }

# ---------------------------------------------------------------- cleanup
TMP=$(mktemp -d /tmp/relay-bench.XXXXXX) || die "cannot create a temporary directory"
PIDS=()        # every process started here
PIDFILES=()    # /var/run/<copy>.pid of every relaySvr copy started here

stop_pid() {   # stop_pid PID SIGNAL: signal one of our processes and reap it
    local pid=$1 sig=$2
    kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null; forget_pid "$pid"; return 0; }
    kill -"$sig" "$pid" 2>/dev/null
    if ! relay_wait_until 10 relay_exited "$pid"; then
        log "process $pid ignored SIG$sig for 10 s; killing it"
        kill -KILL "$pid" 2>/dev/null
    fi
    wait "$pid" 2>/dev/null
    forget_pid "$pid"
}

forget_pid() { # drop a reaped PID from PIDS, so that cleanup never signals a reused PID
    local keep=() p
    for p in "${PIDS[@]+"${PIDS[@]}"}"; do [ "$p" = "$1" ] || keep+=("$p"); done
    PIDS=("${keep[@]+"${keep[@]}"}")
}

# shellcheck disable=SC2317  # called through the EXIT trap
cleanup() {
    local pid f
    for pid in "${PIDS[@]+"${PIDS[@]}"}"; do
        kill -0 "$pid" 2>/dev/null && stop_pid "$pid" TERM
    done
    for f in "${PIDFILES[@]+"${PIDFILES[@]}"}"; do rm -f "$f"; done
    rm -rf "$TMP"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# ---------------------------------------------------------------- tools
APT_UPDATED=0
apt_install() {
    if [ "$APT_UPDATED" = 0 ]; then
        apt-get update -qq >"$TMP/apt.log" 2>&1 || { cat "$TMP/apt.log" >&2; die "apt-get update failed"; }
        APT_UPDATED=1
    fi
    log "installing $*"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >"$TMP/apt.log" 2>&1 \
        || { cat "$TMP/apt.log" >&2; die "apt-get install $* failed"; }
}
need_cmd() {   # need_cmd COMMAND PACKAGE
    command -v "$1" >/dev/null 2>&1 || apt_install "$2"
    command -v "$1" >/dev/null 2>&1 || die "$1 is still missing after installing $2"
}

need_cmd cmake cmake
need_cmd g++ g++
need_cmd pkg-config pkg-config
pkg-config --exists libevent_core || apt_install libevent-dev
if [ "$SMOKE" = 0 ]; then
    need_cmd haproxy haproxy
    need_cmd strace strace
    need_cmd taskset util-linux
fi

# ---------------------------------------------------------------- build
if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
    log "configuring $BUILD_DIR (Release)"
    cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DRELAY_BUILD_BENCH=ON \
        -DRELAY_BUILD_TESTS=OFF -DRELAY_BUILD_TOOLS=OFF >"$TMP/cmake.log" 2>&1 \
        || { cat "$TMP/cmake.log" >&2; die "cmake configure failed"; }
fi
BUILD_TYPE=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$BUILD_DIR/CMakeCache.txt")
[ "$BUILD_TYPE" = Release ] || log "warning: $BUILD_DIR is a ${BUILD_TYPE:-default} build, not Release"
log "building relaySvr, relay-loadgen and relay-floor"
cmake --build "$BUILD_DIR" -j2 --target relaySvr relay-loadgen relay-floor >"$TMP/build.log" 2>&1 \
    || { cat "$TMP/build.log" >&2; die "build failed"; }
SERVER_BIN="$BUILD_DIR/relaySvr"
LOADGEN="$BUILD_DIR/bench/relay-loadgen"
FLOOR_BIN="$BUILD_DIR/bench/relay-floor"
for f in "$SERVER_BIN" "$LOADGEN" "$FLOOR_BIN"; do [ -x "$f" ] || die "no binary at $f"; done

# Every side holds thousands of sockets in the idle scenarios.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true

if [ "$SMOKE" = 0 ]; then
    SERVER_CPU=(taskset -c 0)
    LG_PINNED=(taskset -c 1)
else
    SERVER_CPU=()
    LG_PINNED=()
fi
LG_CPU=("${LG_PINNED[@]+"${LG_PINNED[@]}"}")

# ---------------------------------------------------------------- servers
USED_PORTS=" "
free_port() {  # a free port that this run has not handed out yet
    local p
    # shellcheck disable=SC2086  # USED_PORTS is a blank-separated list
    p=$(relay_free_port $USED_PORTS) || die "no free port found"
    USED_PORTS="$USED_PORTS$p "
    echo "$p"
}

# Done waiting: PID listens on PORT (the first of its ports but EXCEPT), or is gone.
listening_or_gone() { relay_exited "$1" || [ "$(relay_listen_port "$1" "${3:-}")" = "$2" ]; }

# The table's columns, and the servers behind them. Instances of one run are
# kept by kind: S_PID[kind] and so on.
COLS=(relaySvr relaySvr-quiet floor floor-log haproxy)
declare -A COL_TITLE=([relaySvr]="relaySvr" [relaySvr-quiet]="relaySvr LogLevel=errors"
    [floor]="floor" [floor-log]="floor --log" [haproxy]="haproxy")
declare -A S_PID S_PORT S_BACKEND S_DIR S_STATUS S_VARIANT
RUN_NO=0

# The features scenario's DeviceNetworks: 99 networks that no benchmark peer
# is in, then the one they all are in, so that a match has the whole list to go
# through.
device_networks() {
    local i list=""
    for i in $(seq 0 98); do list+="10.0.$i.0/24,"; done
    echo "${list}127.0.0.0/8"
}

# start_server KIND [VARIANT]: KIND is relaySvr, relaySvr-quiet (LogLevel=errors),
# relaySvr-features (every optional setting on), floor, floor-log or haproxy;
# VARIANT "idle" gives haproxy room for 19,900 connections and has it connect
# to the backend only once the client has sent data, so that an idle client
# costs it one descriptor, as it does the relays.
start_server() {
    local kind=$1 variant=${2:-plain} dir port pid except=""
    RUN_NO=$((RUN_NO + 1))
    dir="$TMP/$kind-$RUN_NO"
    mkdir -p "$dir"
    port=$(free_port)
    S_PORT[$kind]=$port
    S_DIR[$kind]=$dir
    S_VARIANT[$kind]=$variant
    S_STATUS[$kind]=""
    case "$kind" in
    relaySvr*)
        local name="relaySvr-bench-$$-$RUN_NO"
        cp "$SERVER_BIN" "$dir/$name"
        printf '[SvrTarn]\nPort=%s\n' "$port" >"$dir/relaySvr.ini"
        case "$kind" in
        relaySvr-quiet) printf 'LogLevel=errors\n' >>"$dir/relaySvr.ini" ;;
        relaySvr-features)
            S_STATUS[$kind]=$(free_port)
            except=${S_STATUS[$kind]}
            printf 'StatusPort=%s\nDeviceNetworks=%s\nKeepAlive=60\nAckTimeout=30\n' \
                "${S_STATUS[$kind]}" "$(device_networks)" >>"$dir/relaySvr.ini" ;;
        esac
        PIDFILES+=("/var/run/$name.pid")
        (cd "$dir" && exec "${SERVER_CPU[@]+"${SERVER_CPU[@]}"}" "./$name" >"$dir/server.log" 2>&1) &
        ;;
    floor|floor-log)
        local flag=()
        [ "$kind" = floor-log ] && flag=(--log)
        "${SERVER_CPU[@]+"${SERVER_CPU[@]}"}" "$FLOOR_BIN" "$port" "${flag[@]+"${flag[@]}"}" >"$dir/server.log" 2>&1 &
        ;;
    haproxy)
        S_BACKEND[$kind]=$(free_port)
        local maxconn=9000 lazy="" limits=""
        if [ "$variant" = idle ]; then
            # haproxy reserves two descriptors per connection; "no strict-limits"
            # lets it run with the 20,000 there are, which the idle clients fit.
            maxconn=19900
            limits="    no strict-limits"
            lazy="    tcp-request inspect-delay 24h
    tcp-request content accept if { req.len gt 0 }"
        fi
        cat >"$dir/haproxy.cfg" <<EOF
global
    nbthread 1
    maxconn $maxconn
$limits
defaults
    mode tcp
    timeout connect 5s
    timeout client 24h
    timeout server 24h
frontend fe
    bind 127.0.0.1:$port
$lazy
    default_backend be
backend be
    server s1 127.0.0.1:${S_BACKEND[$kind]}
EOF
        "${SERVER_CPU[@]+"${SERVER_CPU[@]}"}" haproxy -db -f "$dir/haproxy.cfg" >"$dir/server.log" 2>&1 &
        ;;
    *) die "unknown server kind $kind" ;;
    esac
    pid=$!
    PIDS+=("$pid")
    S_PID[$kind]=$pid
    relay_wait_until "$LISTEN_WAIT_S" listening_or_gone "$pid" "$port" "$except"
    if ! listening_or_gone "$pid" "$port" "$except" || relay_exited "$pid"; then
        tail -5 "$dir/server.log" >&2
        die "$kind did not listen on port $port"
    fi
}

# stop_server KIND: stops it; fails when it had died on its own.
stop_server() {
    local kind=$1 pid=${S_PID[$1]:-} alive=1
    [ -n "$pid" ] || return 0
    kill -0 "$pid" 2>/dev/null || alive=0
    case "$kind" in relaySvr*) stop_pid "$pid" INT ;; *) stop_pid "$pid" TERM ;; esac
    rm -rf "${S_DIR[$kind]}"
    unset "S_PID[$kind]"
    if [ "$alive" = 0 ]; then
        log "$kind (pid $pid) had exited on its own"
        return 1
    fi
    return 0
}

stop_servers() { local k ok=0; for k in "$@"; do stop_server "$k" || ok=1; done; return $ok; }

# lg_args KIND: the load generator's options for the server of KIND.
lg_args() {
    local kind=$1
    if [ "$kind" = haproxy ]; then
        printf '%s\n' --mode proxy --port "${S_PORT[$kind]}" --backend-port "${S_BACKEND[$kind]}" \
            --server-pid "${S_PID[$kind]}"
        [ "${S_VARIANT[$kind]}" = idle ] && printf '%s\n' --backend-on-data
    else
        printf '%s\n' --mode relay --port "${S_PORT[$kind]}" --server-pid "${S_PID[$kind]}"
    fi
    return 0
}

# loadgen KIND LABEL ARGS...: runs the load generator on the server of KIND;
# leaves its RESULT line in LG_RESULT, or its error in LG_ERROR (and returns 1).
LG_RESULT=""
LG_ERROR=""
loadgen() {
    local kind=$1 label=$2; shift 2
    local args
    mapfile -t args < <(lg_args "$kind")
    LG_RESULT=""
    LG_ERROR=""
    "${LG_CPU[@]+"${LG_CPU[@]}"}" "$LOADGEN" "${args[@]}" "$@" >"$TMP/lg.out" 2>"$TMP/lg.err"
    local rc=$?
    sed "s/^/[bench]   /" "$TMP/lg.out" >&2
    if [ $rc -ne 0 ]; then
        LG_ERROR="load generator failed (exit $rc): $(tr '\n' ' ' <"$TMP/lg.err")"
        log "$kind, $label: $LG_ERROR"
        return 1
    fi
    if ! kill -0 "${S_PID[$kind]}" 2>/dev/null; then
        LG_ERROR="the server exited on its own"; return 1
    fi
    LG_RESULT=$(grep '^RESULT ' "$TMP/lg.out" | tail -1)
    [ -n "$LG_RESULT" ] || { LG_ERROR="no RESULT line"; return 1; }
    return 0
}

field() { # field KEY [LINE]: value of KEY=... in LINE (default LG_RESULT)
    printf '%s\n' "${2-$LG_RESULT}" | tr ' ' '\n' | sed -n "s/^$1=//p"
}

# Server CPU per round trip in µs, from its run time on a CPU (schedstat) or,
# where that is missing, from its clock ticks.
cpu_per_rt() {
    awk -v ns="$(field server_cpu_ns)" -v t="$(field server_ticks)" -v hz="$(field clk_tck)" \
        -v n="$(field round_trips)" 'BEGIN { if (n <= 0) exit 1
            if (ns > 0) printf "%.3f", ns / 1000 / n; else printf "%.3f", t * 1e6 / hz / n }'
}

vmrss() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }

# ---------------------------------------------------------------- results
declare -A R       # R[row|kind] = cell text
declare -A LABEL   # LABEL[row] = first column
declare -A V       # V[key|kind|what] = values of the repetitions, space-separated
ROWS=()
ERRORS=()
FAILED=0
put() { # put ROW KIND VALUE
    local row=$1
    case " ${ROWS[*]+"${ROWS[*]}"} " in *" $row "*) ;; *) ROWS+=("$row") ;; esac
    R["$row|$2"]=$3
}
label() { LABEL[$1]=$2; case " ${ROWS[*]+"${ROWS[*]}"} " in *" $1 "*) ;; *) ROWS+=("$1") ;; esac; }
failed() { # failed KIND WHAT MESSAGE
    FAILED=1
    ERRORS+=("$1, $2: $3")
}

fmt_int() { awk -v x="$1" 'BEGIN { s = sprintf("%.0f", x); r = ""; while (length(s) > 3) { r = "," substr(s, length(s) - 2) r; s = substr(s, 1, length(s) - 3) } print s r }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ a[NR] = $1 } END { if (NR == 0) exit 1; if (NR % 2) print a[(NR + 1) / 2]; else print (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0 && a != "") printf "%.2f", a / b; else print "n/a" }'; }

# record KEY KIND: keeps the figures of one successful run.
record() {
    local k="$1|$2"
    V[$k|cpu]+="$(cpu_per_rt) "
    V[$k|rate]+="$(field rt_per_s) "
    V[$k|p50]+="$(field p50_us) "
    V[$k|p99]+="$(field p99_us) "
}
med() { # med KEY KIND WHAT: median of the repetitions, or nothing
    local vals=${V["$1|$2|$3"]:-}
    [ -n "$vals" ] || return 1
    # shellcheck disable=SC2086  # one word per value
    median $vals
}

# cell_rows KEY KIND WHAT...: the rows KEY.WHAT for KIND from the medians.
cell_rows() {
    local key=$1 kind=$2 w v; shift 2
    for w in "$@"; do
        if v=$(med "$key" "$kind" "$w"); then
            case "$w" in
            cpu) put "$key.$w" "$kind" "$(awk -v x="$v" 'BEGIN { printf "%.2f", x }')" ;;
            *) put "$key.$w" "$kind" "$(fmt_int "$v")" ;;
            esac
        else
            put "$key.$w" "$kind" FAILED
        fi
    done
}

# floor_ratio_row KEY KINDS: the row KEY.ratio, CPU per round trip ÷ the floor's.
floor_ratio_row() {
    local key=$1 kind f v; shift
    f=$(med "$key" floor cpu) || f=""
    for kind in "$@"; do
        if v=$(med "$key" "$kind" cpu) && [ -n "$f" ]; then
            put "$key.ratio" "$kind" "$(ratio "$v" "$f")"
        else
            put "$key.ratio" "$kind" "n/a"
        fi
    done
}

# closed_labels KEY TITLE: labels of the usual rows of a closed-loop scenario.
closed_labels() {
    label "$1.rate" "$2: round trips/s"
    label "$1.p50" "$2: p50 round trip (µs)"
    label "$1.p99" "$2: p99 round trip (µs)"
    label "$1.cpu" "$2: server CPU per round trip (µs)"
    label "$1.ratio" "$2: CPU per round trip ÷ floor's"
}

# measure KEY KIND LABEL ARGS...: one repetition; records it or notes the failure.
measure() {
    local key=$1 kind=$2 title=$3; shift 3
    if loadgen "$kind" "$title" "$@"; then
        record "$key" "$kind"
        log "  $kind: $(field rt_per_s) round trips/s, $(cpu_per_rt) µs server CPU per round trip"
    else
        failed "$kind" "$title" "$LG_ERROR"
    fi
}

# closed_loop KEY TITLE "KINDS" ARGS...: every server of KINDS runs at once,
# idle but for its turn; each repetition gives every server one turn.
closed_loop() {
    local key=$1 title=$2 kinds=$3 kind; shift 3
    log "$title: ${kinds// /, }; $REPS × ${DURATION} s"
    closed_labels "$key" "$title"
    for kind in $kinds; do start_server "$kind"; done
    for _ in $(seq 1 "$REPS"); do
        for kind in $kinds; do
            measure "$key" "$kind" "$title" --duration "$DURATION" "$@"
        done
    done
    # shellcheck disable=SC2086
    stop_servers $kinds || failed "$kinds" "$title" "a server exited on its own"
    for kind in $kinds; do cell_rows "$key" "$kind" rate p50 p99 cpu; done
    # shellcheck disable=SC2086
    floor_ratio_row "$key" $kinds
}

# ---------------------------------------------------------------- system calls
# strace_count KIND ARGS...: system calls of KIND's server over one counted
# load generator run; leaves "CALLS_PER_RT BY-CALL" in SC_RESULT.
SC_RESULT=""
# shellcheck disable=SC2317  # called through relay_wait_until
strace_attached() { grep -q 'attached' "$1" || relay_exited "$2"; }
strace_count() {
    local kind=$1 spid ok=1 rt calls; shift
    SC_RESULT=""
    start_server "$kind"
    : >"$TMP/strace.err"
    rm -f "$TMP/strace.txt"
    strace -c -f -p "${S_PID[$kind]}" -o "$TMP/strace.txt" 2>"$TMP/strace.err" &
    spid=$!
    PIDS+=("$spid")
    relay_wait_until "$STRACE_ATTACH_WAIT_S" strace_attached "$TMP/strace.err" "$spid"
    if ! grep -q 'attached' "$TMP/strace.err"; then
        relay_exited "$spid" && LG_ERROR="strace exited: " || LG_ERROR="strace did not attach in $STRACE_ATTACH_WAIT_S s: "
        ok=0; LG_ERROR+=$(tr '\n' ' ' <"$TMP/strace.err")
    else
        loadgen "$kind" "strace" --duration 300 --stall-ms 30000 "$@" || ok=0
    fi
    stop_pid "$spid" INT
    stop_server "$kind" || { ok=0; LG_ERROR="${LG_ERROR:+$LG_ERROR; }server exited on its own"; }
    calls=$(awk '$NF == "total" { print $4 }' "$TMP/strace.txt" 2>/dev/null)
    rt=$(field round_trips)
    if [ "$ok" = 0 ] || [ -z "$calls" ] || ! [ "${rt:-0}" -gt 0 ] 2>/dev/null; then
        failed "$kind" "strace" "${LG_ERROR:-no strace summary}"
        return 1
    fi
    # The calls made at least once every 20 round trips, most frequent first.
    SC_RESULT="$(awk -v c="$calls" -v n="$rt" 'BEGIN { printf "%.2f", c / n }') $(
        awk -v n="$rt" '$1 ~ /^[0-9.]+$/ && $NF != "total" && $4 / n >= 0.05 { printf "%d %s %.2f\n", $4, $NF, $4 / n }' \
            "$TMP/strace.txt" | sort -rn | awk '{ printf "%s%s %s", (NR > 1 ? ", " : ""), $2, $3 }')"
    log "  $kind per round trip: $SC_RESULT"
    return 0
}

# syscall_rows KEY TITLE "KINDS" ARGS...: rows KEY.calls, KEY.by, KEY.cratio.
syscall_rows() {
    local key=$1 title=$2 kinds=$3 kind; shift 3
    label "$key.calls" "$title: system calls (strace -c -f)"
    label "$key.by" "$title: system calls, by call"
    label "$key.cratio" "$title: system calls ÷ floor's"
    declare -A calls=()
    for kind in $kinds; do
        if strace_count "$kind" "$@"; then
            calls[$kind]=${SC_RESULT%% *}
            put "$key.calls" "$kind" "${calls[$kind]}"
            put "$key.by" "$kind" "${SC_RESULT#* }"
        else
            put "$key.calls" "$kind" FAILED; put "$key.by" "$kind" FAILED
        fi
    done
    for kind in $kinds; do
        if [ -n "${calls[$kind]:-}" ] && [ -n "${calls[floor]:-}" ]; then
            put "$key.cratio" "$kind" "$(ratio "${calls[$kind]}" "${calls[floor]}")"
        else
            put "$key.cratio" "$kind" "n/a"
        fi
    done
}

# ---------------------------------------------------------------- idle connections
# hold KIND NAME REQ DEV: opens REQ idle requesters and DEV idle devices to
# KIND's server in a process of their own and waits until the server holds
# them all; leaves the process's PID in HOLD_PID[NAME] and its "ready" line in
# HOLD_READY.
declare -A HOLD_PID
HOLD_READY=""
# shellcheck disable=SC2317  # called through relay_wait_until
ready_or_gone() { grep -q '^ready' "$1" || relay_exited "$2"; }
hold() {
    local kind=$1 name=$2 req=$3 dev=$4 pid out="$TMP/hold-$2.out"
    HOLD_READY=""
    "${LG_CPU[@]+"${LG_CPU[@]}"}" "$LOADGEN" --mode relay --port "${S_PORT[$kind]}" \
        --server-pid "${S_PID[$kind]}" --hold --idle-req "$req" --idle-dev "$dev" \
        --duration "$HOLD_MAX_S" >"$out" 2>"$TMP/hold-$name.err" &
    pid=$!
    PIDS+=("$pid")
    HOLD_PID[$name]=$pid
    relay_wait_until "$HOLD_WAIT_S" ready_or_gone "$out" "$pid"
    HOLD_READY=$(grep '^ready' "$out")
    if [ -z "$HOLD_READY" ]; then
        LG_ERROR="idle connections not opened: $(tr '\n' ' ' <"$TMP/hold-$name.err")"
        return 1
    fi
    log "  $kind: $HOLD_READY"
    return 0
}

# idle_pass KIND: 16 pairs × 64 B with no idle connection, beside IDLE_D +
# IDLE_D idle connections (scenario d), then beside IDLE_SCALE + IDLE_SCALE
# (scale), all on one server, back to back; memory and accept speed on the way.
idle_pass() {
    local kind=$1 rss0 rss1 rss2 ok=1 acc_s=0 acc_ns=0 n_more=$((IDLE_SCALE - IDLE_D))
    local run=(--pairs "$SCALE_PAIRS" --size 64 --duration "$DURATION")
    log "$kind: 16 pairs × 64 B beside 0, $((2 * IDLE_D)) and $((2 * IDLE_SCALE)) idle connections; $REPS × ${DURATION} s each"
    start_server "$kind" idle
    for _ in $(seq 1 "$REPS"); do measure idle0 "$kind" "16 pairs × 64 B, no idle" "${run[@]}"; done
    rss0=$(vmrss "${S_PID[$kind]}")
    if hold "$kind" a "$IDLE_D" "$IDLE_D"; then
        acc_s=$(field accept_s "$HOLD_READY"); acc_ns=$(field accept_server_cpu_ns "$HOLD_READY")
        rss1=$(vmrss "${S_PID[$kind]}")
        for _ in $(seq 1 "$REPS"); do measure idle1 "$kind" "16 pairs × 64 B, d" "${run[@]}"; done
        if hold "$kind" b "$n_more" "$n_more"; then
            acc_s=$(awk -v a="$acc_s" -v b="$(field accept_s "$HOLD_READY")" 'BEGIN { print a + b }')
            acc_ns=$(awk -v a="$acc_ns" -v b="$(field accept_server_cpu_ns "$HOLD_READY")" 'BEGIN { print a + b }')
            rss2=$(vmrss "${S_PID[$kind]}")
            for _ in $(seq 1 "$REPS"); do measure idle2 "$kind" "16 pairs × 64 B, scale" "${run[@]}"; done
        else
            ok=0; failed "$kind" "scale: idle connections" "$LG_ERROR"
        fi
    else
        ok=0; failed "$kind" "d: idle connections" "$LG_ERROR"
    fi
    [ -n "${HOLD_PID[b]:-}" ] && stop_pid "${HOLD_PID[b]}" INT
    [ -n "${HOLD_PID[a]:-}" ] && stop_pid "${HOLD_PID[a]}" INT
    HOLD_PID=()
    stop_server "$kind" || failed "$kind" "idle connections" "the server exited on its own"
    if [ "$ok" = 1 ]; then
        local n=$((2 * IDLE_SCALE))
        put scale.rss0 "$kind" "$(fmt_int "$rss0")"
        put scale.rss "$kind" "$(fmt_int "$rss2")"
        put scale.per "$kind" "$(awk -v a="$rss0" -v b="$rss2" -v n="$n" 'BEGIN { printf "%.2f", (b - a) / n }')"
        put d.per "$kind" "$(awk -v a="$rss0" -v b="$rss1" -v n="$((2 * IDLE_D))" 'BEGIN { printf "%.2f", (b - a) / n }')"
        put scale.acc "$kind" "$(fmt_int "$(awk -v n="$n" -v s="$acc_s" 'BEGIN { if (s > 0) print n / s; else print 0 }')")"
        put scale.acccpu "$kind" "$(awk -v n="$n" -v c="$acc_ns" 'BEGIN { printf "%.2f", c / 1000 / n }')"
    else
        local r; for r in scale.rss0 scale.rss scale.per d.per scale.acc scale.acccpu; do put "$r" "$kind" FAILED; done
    fi
}

idle_labels() {
    local d_title s_title
    d_title="16 pairs × 64 B beside $(fmt_int "$IDLE_D") idle requesters + $(fmt_int "$IDLE_D") idle devices"
    s_title="16 pairs × 64 B beside $(fmt_int "$IDLE_SCALE") idle requesters + $(fmt_int "$IDLE_SCALE") idle devices"
    label idle0.rate "16 pairs × 64 B, no idle connection: round trips/s"
    label idle0.cpu "16 pairs × 64 B, no idle connection: server CPU per round trip (µs)"
    label idle0.ratio "16 pairs × 64 B, no idle connection: CPU per round trip ÷ floor's"
    label idle1.rate "d: $d_title: round trips/s"
    label idle1.p99 "d: $d_title: p99 round trip (µs)"
    label idle1.cpu "d: $d_title: server CPU per round trip (µs)"
    label idle1.vs0 "d: CPU per round trip, with idle ÷ without"
    label idle1.ratio "d: CPU per round trip ÷ floor's"
    label d.per "d: memory per idle connection (KiB, VmRSS difference ÷ $(fmt_int $((2 * IDLE_D))))"
    label idle2.rate "scale: $s_title: round trips/s"
    label idle2.p99 "scale: $s_title: p99 round trip (µs)"
    label idle2.cpu "scale: $s_title: server CPU per round trip (µs)"
    label idle2.vs0 "scale: CPU per round trip, with idle ÷ without"
    label idle2.ratio "scale: CPU per round trip ÷ floor's"
    label scale.rss0 "scale: server VmRSS, no connection (KiB)"
    label scale.rss "scale: server VmRSS, $(fmt_int $((2 * IDLE_SCALE))) idle connections (KiB)"
    label scale.per "scale: memory per idle connection (KiB)"
    label scale.acc "scale: accept speed while opening them (connections/s; the connecting side is as busy)"
    label scale.acccpu "scale: server CPU per accepted connection (µs)"
}

idle_rows() {
    local kinds=$1 kind a b r
    for kind in $kinds; do
        cell_rows idle0 "$kind" rate cpu
        cell_rows idle1 "$kind" rate p99 cpu
        cell_rows idle2 "$kind" rate p99 cpu
        for r in idle1 idle2; do
            if a=$(med "$r" "$kind" cpu) && b=$(med idle0 "$kind" cpu); then
                put "$r.vs0" "$kind" "$(ratio "$a" "$b")"
            else
                put "$r.vs0" "$kind" "n/a"
            fi
        done
    done
    # shellcheck disable=SC2086
    { floor_ratio_row idle0 $kinds; floor_ratio_row idle1 $kinds; floor_ratio_row idle2 $kinds; }
}

# ---------------------------------------------------------------- features
# A bounded scraper of the status server: GET /metrics once a second, at most
# SCRAPE_MAX_S times; writes "answered asked" to its output file after each.
cat >"$TMP/scrape.sh" <<'EOF'
port=$1 max=$2 out=$3 ok=0 asked=0
for ((asked = 1; asked <= max; asked++)); do
    if { exec 3<>"/dev/tcp/127.0.0.1/$port"; } 2>/dev/null; then
        printf 'GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n' >&3
        if IFS= read -r -t 2 status <&3 && [[ $status == HTTP/1.[01]\ 200* ]]; then
            # Drain the answer, a bounded number of lines with a deadline each.
            for ((n = 0; n < 100000; n++)); do IFS= read -r -t 2 line <&3 || break; done
            ok=$((ok + 1))
        fi
        exec 3<&- 3>&-
    fi
    echo "$ok $asked" >"$out"
    sleep 1
done
EOF

features() {
    local key=feat spid title="64 pairs × 64 B" ok_sum=0 asked_sum=0 on off ok asked
    log "features: relaySvr with every optional setting off and on; $REPS × ${DURATION} s"
    label feat.off "features: $title, relaySvr settings all off: server CPU per round trip (µs)"
    label feat.on "features: $title, StatusPort (scraped once a second) + 100 DeviceNetworks + KeepAlive=60 + AckTimeout=30: server CPU per round trip (µs)"
    label feat.ratio "features: CPU per round trip, on ÷ off"
    label feat.scrapes "features: /metrics scrapes answered"
    start_server relaySvr
    start_server relaySvr-features
    for _ in $(seq 1 "$REPS"); do
        measure "$key" relaySvr "$title, features off" --pairs 64 --size 64 --duration "$DURATION"
        rm -f "$TMP/scrape.out"
        "${LG_CPU[@]+"${LG_CPU[@]}"}" bash "$TMP/scrape.sh" "${S_STATUS[relaySvr-features]}" "$SCRAPE_MAX_S" \
            "$TMP/scrape.out" >/dev/null 2>&1 &
        spid=$!
        PIDS+=("$spid")
        measure "$key" relaySvr-features "$title, features on" --pairs 64 --size 64 --duration "$DURATION"
        stop_pid "$spid" TERM
        if [ -s "$TMP/scrape.out" ]; then
            read -r ok asked <"$TMP/scrape.out"
            ok_sum=$((ok_sum + ok)); asked_sum=$((asked_sum + asked))
        fi
    done
    stop_servers relaySvr relaySvr-features || failed relaySvr features "a server exited on its own"
    if off=$(med "$key" relaySvr cpu); then put feat.off relaySvr "$(awk -v x="$off" 'BEGIN { printf "%.2f", x }')"; else put feat.off relaySvr FAILED; fi
    if on=$(med "$key" relaySvr-features cpu); then put feat.on relaySvr "$(awk -v x="$on" 'BEGIN { printf "%.2f", x }')"; else put feat.on relaySvr FAILED; fi
    put feat.ratio relaySvr "$(ratio "${on:-}" "${off:-}")"
    if [ "$ok_sum" -gt 0 ]; then
        put feat.scrapes relaySvr "$ok_sum of $asked_sum"
    else
        put feat.scrapes relaySvr "n/a"
    fi
}

print_table() {
    local row kind line
    line="| scenario |"; for kind in "${COLS[@]}"; do line+=" ${COL_TITLE[$kind]} |"; done; echo "$line"
    line="|---|"; for _ in "${COLS[@]}"; do line+="---:|"; done; echo "$line"
    for row in "${ROWS[@]}"; do
        line="| ${LABEL[$row]:-$row} |"
        for kind in "${COLS[@]}"; do line+=" ${R[$row|$kind]:-–} |"; done
        echo "$line"
    done
}

report_errors() {
    [ "$FAILED" = 0 ] && return 0
    printf 'run.sh: %s\n' "${ERRORS[@]}" >&2
    return 1
}

# ---------------------------------------------------------------- smoke
if [ "$SMOKE" = 1 ]; then
    DURATION=1 REPS=1
    closed_loop smoke "smoke, $SMOKE_PAIRS pairs × 64 B" "relaySvr floor" --pairs "$SMOKE_PAIRS" --size 64
    print_table
    report_errors || exit 1
    for kind in relaySvr floor; do
        if ! rate=$(med smoke "$kind" rate) || ! awk -v r="$rate" 'BEGIN { exit !(r > 0) }'; then
            die "smoke: no round trip happened on $kind"
        fi
    done
    exit 0
fi

# ---------------------------------------------------------------- full run
LOAD_START=$(cut -d' ' -f1 /proc/loadavg)
HAPROXY_VERSION=$(haproxy -v 2>/dev/null | head -1 | awk '{ print $3 }')
log "$(nproc) cores, $(uname -r); haproxy $HAPROXY_VERSION; $REPS × ${DURATION} s per measurement; load average $LOAD_START"
START=$(date +%s)
T_MARK=$SECONDS
ALL="relaySvr relaySvr-quiet floor floor-log haproxy"
NOQUIET="relaySvr floor floor-log haproxy"

if want a; then
    log "a: system calls over $(fmt_int "$STRACE_COUNT") round trips, 1 pair × 64 B"
    syscall_rows a "a: 1 pair × 64 B, per round trip ($(fmt_int "$STRACE_COUNT") round trips)" "$ALL" \
        --pairs 1 --size 64 --count "$STRACE_COUNT"
    took
fi
if want a0; then
    LG_CPU=("${SERVER_CPU[@]}")
    closed_loop a0 "a0: 1 pair × 64 B, server and load generator on one core" "$ALL" --pairs 1 --size 64
    LG_CPU=("${LG_PINNED[@]}")
    took
fi
want b && { closed_loop b "b: 64 pairs × 64 B" "$ALL" --pairs 64 --size 64; took; }
want c && { closed_loop c "c: 16 pairs × 4096 B" "$NOQUIET" --pairs 16 --size 4096; took; }
if want churn; then
    closed_loop churn "churn: 16 at a time connect, send 64 B, read the answer, close" "$NOQUIET" \
        --pairs 16 --size 64 --churn
    LABEL[churn.rate]="churn: round trips/s (a connection each)"
    LABEL[churn.p50]="churn: p50 cycle, connect to answer (µs)"
    LABEL[churn.p99]="churn: p99 cycle, connect to answer (µs)"
    LABEL[churn.cpu]="churn: server CPU per cycle (µs)"
    LABEL[churn.ratio]="churn: CPU per cycle ÷ floor's"
    syscall_rows churnsc "churn: per cycle ($(fmt_int "$CHURN_STRACE_COUNT") cycles)" "$NOQUIET" \
        --pairs 16 --size 64 --churn --count "$CHURN_STRACE_COUNT"
    took
fi
if want d || want scale; then
    idle_labels
    for kind in $NOQUIET; do idle_pass "$kind"; done
    idle_rows "$NOQUIET"
    took
fi
want features && { features; took; }
LOAD_END=$(cut -d' ' -f1 /proc/loadavg)
ELAPSED=$(( $(date +%s) - START ))
log "done in $ELAPSED s; load average $LOAD_END"

TABLE=$(print_table
    echo
    echo "Closed loop: each pair has one request in flight. Median of $REPS runs of ${DURATION} s per figure, the servers taking turns; server on core 0, load generator on core 1 (taskset; a0: both on core 0). Server CPU = its threads' run time on a CPU (/proc/PID/task/*/schedstat) over the measured window; ÷ floor's = that figure divided by the floor relay's (bench/floor-relay.cpp: one thread, epoll, one recv and one send per hop, same routing as relaySvr). relaySvr and the floor --log write their log to a file; relaySvr LogLevel=errors writes no line per chunk. haproxy $HAPROXY_VERSION in TCP mode, nbthread 1, no logging; in d and scale it connects to its backend once the client has sent data, so that an idle client costs it one descriptor as it does the relays, and its \"idle devices\" are more client connections. The load generator plays requesters and devices on one core; idle connections are held by two more of its processes (20,000 descriptors per process). The whole run took $ELAPSED s. 1-minute load average $LOAD_START at the start, $LOAD_END at the end ($(nproc) cores).$(
    awk -v a="$LOAD_START" -v b="$LOAD_END" 'BEGIN { if (a > 1 || b > 1) printf " Other work ran on the machine during the run: latency and throughput figures are noisy." }')")
printf '%s\n' "$TABLE"
if [ -n "$OUT" ]; then
    printf '%s\n' "$TABLE" >"$OUT" || die "cannot write $OUT"
fi
report_errors || exit 1
exit 0
