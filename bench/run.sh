#!/usr/bin/env bash
# Benchmark of relaySvr, side by side with haproxy (TCP mode, one thread).
#
#   bench/run.sh [--duration SEC] [--out FILE] [--build-dir DIR] [--strace-count N]
#   bench/run.sh --smoke
#
# The full run builds relaySvr and relay-loadgen (Release) when needed, installs
# haproxy, strace and taskset with apt-get when they are missing, and measures
# each scenario with a fresh server: the server (relaySvr or haproxy) on core 0,
# the load generator on core 1. relaySvr's log goes to a file, as it would in
# service. At the end it prints one Markdown table and, with --out, writes it
# to FILE as well.
#
# --smoke runs relaySvr alone for one short scenario (1 s, no pinning, no
# haproxy, no strace) and exits non-zero unless round trips happened.
#
# Everything the script starts is stopped by PID; its temporary directory and
# the PID files of the relaySvr copies it ran are removed on exit.

set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR="$ROOT/build-bench"
DURATION=10
OUT=""
SMOKE=0
STRACE_COUNT=20000
IDLE_REQ=5000
IDLE_DEV=5000

usage() {
    sed -n '2,17p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
}

while [ $# -gt 0 ]; do
    case "$1" in
        --duration) DURATION=${2:?--duration needs a value}; shift 2 ;;
        --out) OUT=${2:?--out needs a value}; shift 2 ;;
        --build-dir) BUILD_DIR=${2:?--build-dir needs a value}; shift 2 ;;
        --strace-count) STRACE_COUNT=${2:?--strace-count needs a value}; shift 2 ;;
        --smoke) SMOKE=1; shift ;;
        -h|--help) usage; exit 0 ;;
        *) echo "run.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
    esac
done
if ! [[ "$DURATION" =~ ^[0-9]+([.][0-9]+)?$ ]] || ! awk -v d="$DURATION" 'BEGIN{exit !(d>0 && d<=600)}'; then
    echo "run.sh: --duration must be a number of seconds in (0, 600]" >&2; exit 2
fi
if ! [[ "$STRACE_COUNT" =~ ^[1-9][0-9]*$ ]] || [ "$STRACE_COUNT" -gt 1000000 ]; then
    echo "run.sh: --strace-count must be in 1..1000000" >&2; exit 2
fi

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
    for _ in $(seq 1 100); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
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
log "building relaySvr and relay-loadgen"
cmake --build "$BUILD_DIR" -j2 --target relaySvr relay-loadgen >"$TMP/build.log" 2>&1 \
    || { cat "$TMP/build.log" >&2; die "build failed"; }
SERVER_BIN="$BUILD_DIR/relaySvr"
LOADGEN="$BUILD_DIR/bench/relay-loadgen"
[ -x "$SERVER_BIN" ] || die "no server binary at $SERVER_BIN"
[ -x "$LOADGEN" ] || die "no load generator at $LOADGEN"

# Both sides hold thousands of sockets in the idle scenarios.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
CLK_TCK=$(getconf CLK_TCK)

if [ "$SMOKE" = 0 ]; then
    SERVER_CPU=(taskset -c 0)
    LOADGEN_CPU=(taskset -c 1)
else
    SERVER_CPU=()
    LOADGEN_CPU=()
fi

# ---------------------------------------------------------------- helpers
USED_PORTS=" "
free_port() {  # a port in 20000..32767 that no socket uses and that this run has not handed out
    local p hex
    for _ in $(seq 1 200); do
        p=$((20000 + RANDOM % 12768))
        hex=$(printf '%04X' "$p")
        case "$USED_PORTS" in *" $p "*) continue ;; esac
        if ! awk -v h="$hex" 'NR > 1 { split($2, a, ":"); if (a[2] == h) found = 1 } END { exit !found }' \
                /proc/net/tcp /proc/net/tcp6 2>/dev/null; then
            USED_PORTS="$USED_PORTS$p "
            echo "$p"
            return 0
        fi
    done
    die "no free port found"
}

wait_listen() {  # wait_listen PORT PID: until a socket listens on PORT (read from /proc/net/tcp)
    local port=$1 pid=$2 hex
    hex=$(printf '%04X' "$port")
    for _ in $(seq 1 200); do
        if awk -v h="$hex" 'NR > 1 && $4 == "0A" { split($2, a, ":"); if (a[2] == h) found = 1 } END { exit !found }' \
                /proc/net/tcp; then
            return 0
        fi
        kill -0 "$pid" 2>/dev/null || return 1
        sleep 0.05
    done
    return 1
}

SERVER_PID=""
SERVER_KIND=""
SERVER_PORT=""
BACKEND_PORT=""
SERVER_LOG=""
RUN_NO=0

start_relay() {
    RUN_NO=$((RUN_NO + 1))
    local name="relaySvr-bench-$$-$RUN_NO" dir="$TMP/relay-$RUN_NO"
    mkdir -p "$dir"
    cp "$SERVER_BIN" "$dir/$name"
    SERVER_PORT=$(free_port)
    printf '[SvrTarn]\nPort=%s\n' "$SERVER_PORT" >"$dir/relaySvr.ini"
    SERVER_LOG="$dir/relaySvr.log"
    PIDFILES+=("/var/run/$name.pid")
    (cd "$dir" && exec "${SERVER_CPU[@]}" "./$name" >"$SERVER_LOG" 2>&1) &
    SERVER_PID=$!
    PIDS+=("$SERVER_PID")
    SERVER_KIND=relaySvr
    wait_listen "$SERVER_PORT" "$SERVER_PID" || { tail -5 "$SERVER_LOG" >&2; die "relaySvr did not listen on port $SERVER_PORT"; }
}

start_haproxy() {
    RUN_NO=$((RUN_NO + 1))
    local dir="$TMP/haproxy-$RUN_NO"
    mkdir -p "$dir"
    SERVER_PORT=$(free_port)
    BACKEND_PORT=$(free_port)
    cat >"$dir/haproxy.cfg" <<EOF
global
    nbthread 1
    maxconn 9000
defaults
    mode tcp
    timeout connect 5s
    timeout client 120s
    timeout server 120s
frontend fe
    bind 127.0.0.1:$SERVER_PORT
    default_backend be
backend be
    server s1 127.0.0.1:$BACKEND_PORT
EOF
    SERVER_LOG="$dir/haproxy.log"
    "${SERVER_CPU[@]}" haproxy -db -f "$dir/haproxy.cfg" >"$SERVER_LOG" 2>&1 &
    SERVER_PID=$!
    PIDS+=("$SERVER_PID")
    SERVER_KIND=haproxy
    wait_listen "$SERVER_PORT" "$SERVER_PID" || { cat "$SERVER_LOG" >&2; die "haproxy did not listen on port $SERVER_PORT"; }
}

start_server() { if [ "$1" = relaySvr ]; then start_relay; else start_haproxy; fi; }

# stop_server: stops the current server; fails when it had died on its own.
stop_server() {
    local alive=1
    kill -0 "$SERVER_PID" 2>/dev/null || alive=0
    if [ "$SERVER_KIND" = relaySvr ]; then stop_pid "$SERVER_PID" INT; else stop_pid "$SERVER_PID" TERM; fi
    rm -rf "$(dirname "$SERVER_LOG")"
    if [ "$alive" = 0 ]; then
        log "$SERVER_KIND (pid $SERVER_PID) had exited on its own"
        return 1
    fi
    return 0
}

# loadgen LABEL ARGS...: runs the load generator on the current server; leaves
# its RESULT line in LG_RESULT, or its error in LG_ERROR (and returns 1).
LG_RESULT=""
LG_ERROR=""
loadgen() {
    local label=$1; shift
    local mode_args=(--mode relay --port "$SERVER_PORT")
    [ "$SERVER_KIND" = haproxy ] && mode_args=(--mode proxy --port "$SERVER_PORT" --backend-port "$BACKEND_PORT")
    LG_RESULT=""
    LG_ERROR=""
    "${LOADGEN_CPU[@]}" "$LOADGEN" "${mode_args[@]}" --server-pid "$SERVER_PID" "$@" \
        >"$TMP/lg.out" 2>"$TMP/lg.err"
    local rc=$?
    sed "s/^/[bench]   /" "$TMP/lg.out" >&2
    if [ $rc -ne 0 ]; then
        LG_ERROR="load generator failed (exit $rc): $(tr '\n' ' ' <"$TMP/lg.err")"
        log "$SERVER_KIND, $label: $LG_ERROR"
        return 1
    fi
    LG_RESULT=$(grep '^RESULT ' "$TMP/lg.out" | tail -1)
    [ -n "$LG_RESULT" ] || { LG_ERROR="no RESULT line"; return 1; }
    return 0
}

field() { # field KEY: value of KEY=... in LG_RESULT
    printf '%s\n' "$LG_RESULT" | tr ' ' '\n' | sed -n "s/^$1=//p"
}

# ---------------------------------------------------------------- results
declare -A R   # R[scenario-row|server] = cell text
ROWS=()
FAILED=0
put() { # put ROW SERVER VALUE
    local row=$1
    case " ${ROWS[*]+"${ROWS[*]}"} " in *" $row "*) ;; *) ROWS+=("$row") ;; esac
    R["$row|$2"]=$3
}
declare -A LABEL

fmt_int() { awk -v x="$1" 'BEGIN { s = sprintf("%.0f", x); r = ""; while (length(s) > 3) { r = "," substr(s, length(s) - 2) r; s = substr(s, 1, length(s) - 3) } print s r }'; }

# closed_loop KEY TITLE SERVER ARGS...: one closed-loop measurement, four rows.
closed_loop() {
    local key=$1 title=$2 server=$3; shift 3
    log "$server: $title"
    LABEL[$key.rate]="$title: round trips/s"
    LABEL[$key.p50]="$title: p50 round trip (µs)"
    LABEL[$key.p99]="$title: p99 round trip (µs)"
    LABEL[$key.cpu]="$title: server CPU per round trip (µs)"
    start_server "$server"
    local ok=1
    loadgen "$title" --duration "$DURATION" "$@" || ok=0
    stop_server || { ok=0; LG_ERROR="${LG_ERROR:+$LG_ERROR; }server exited on its own"; }
    if [ "$ok" = 1 ]; then
        local rt ticks
        rt=$(field round_trips)
        ticks=$(field server_ticks)
        put "$key.rate" "$server" "$(fmt_int "$(field rt_per_s)")"
        put "$key.p50" "$server" "$(field p50_us)"
        put "$key.p99" "$server" "$(field p99_us)"
        put "$key.cpu" "$server" "$(awk -v t="$ticks" -v hz="$CLK_TCK" -v n="$rt" 'BEGIN { printf "%.2f", t * 1e6 / hz / n }')"
        CPU_PER_RT["$key|$server"]=$(awk -v t="$ticks" -v hz="$CLK_TCK" -v n="$rt" 'BEGIN { printf "%.6f", t * 1e6 / hz / n }')
    else
        FAILED=1
        local k
        for k in rate p50 p99 cpu; do put "$key.$k" "$server" "FAILED"; done
        ERRORS+=("$server, $title: $LG_ERROR")
    fi
}
declare -A CPU_PER_RT
ERRORS=()

# syscalls SERVER: system calls of the server per round trip, 1 pair x 64 B.
syscalls() {
    local server=$1 key=s1
    LABEL[$key]="1 pair × 64 B: system calls per round trip (strace -c -f, $(fmt_int "$STRACE_COUNT") round trips)"
    LABEL[$key.by]="1 pair × 64 B: system calls per round trip, by call"
    log "$server: system calls over $STRACE_COUNT round trips (1 pair × 64 B)"
    start_server "$server"
    strace -c -f -p "$SERVER_PID" -o "$TMP/strace.txt" 2>"$TMP/strace.err" &
    local spid=$! ok=1
    PIDS+=("$spid")
    for _ in $(seq 1 100); do
        grep -q 'attached' "$TMP/strace.err" 2>/dev/null && break
        kill -0 "$spid" 2>/dev/null || break
        sleep 0.1
    done
    if ! grep -q 'attached' "$TMP/strace.err" 2>/dev/null; then
        ok=0; LG_ERROR="strace did not attach: $(tr '\n' ' ' <"$TMP/strace.err")"
    else
        loadgen "strace" --pairs 1 --size 64 --count "$STRACE_COUNT" --duration 300 --stall-ms 30000 || ok=0
    fi
    stop_pid "$spid" INT
    stop_server || { ok=0; LG_ERROR="${LG_ERROR:+$LG_ERROR; }server exited on its own"; }
    if [ "$ok" = 1 ]; then
        local calls rt
        calls=$(awk '$NF == "total" { print $4 }' "$TMP/strace.txt")
        rt=$(field round_trips)
        if [ -z "$calls" ]; then
            put "$key" "$server" "FAILED"; FAILED=1; ERRORS+=("$server, strace: no summary")
            return
        fi
        put "$key" "$server" "$(awk -v c="$calls" -v n="$rt" 'BEGIN { printf "%.2f", c / n }')"
        # The calls made at least once every 20 round trips, most frequent first.
        put "$key.by" "$server" "$(awk -v n="$rt" '$1 ~ /^[0-9.]+$/ && $NF != "total" && $4 / n >= 0.05 { printf "%d %s %.2f\n", $4, $NF, $4 / n }' \
            "$TMP/strace.txt" | sort -rn | awk '{ printf "%s%s %s", (NR > 1 ? ", " : ""), $2, $3 }')"
        log "  per round trip: ${R[$key.by|$server]}"
    else
        put "$key" "$server" "FAILED"; put "$key.by" "$server" "FAILED"
        FAILED=1; ERRORS+=("$server, strace: $LG_ERROR")
    fi
}

vmrss() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }

memory() {
    local n=$((IDLE_REQ + IDLE_DEV)) lg_pid ok=1 rss0 rss1=0
    LABEL[m.base]="memory: relaySvr VmRSS, no connection (KiB)"
    LABEL[m.idle]="memory: relaySvr VmRSS, $(fmt_int $n) idle connections (KiB)"
    LABEL[m.per]="memory: KiB per idle connection"
    log "relaySvr: memory with no connection and with $n idle connections"
    start_relay
    sleep 0.5
    rss0=$(vmrss "$SERVER_PID")
    "${LOADGEN_CPU[@]}" "$LOADGEN" --mode relay --port "$SERVER_PORT" --server-pid "$SERVER_PID" \
        --hold --idle-req "$IDLE_REQ" --idle-dev "$IDLE_DEV" --duration 120 >"$TMP/hold.out" 2>"$TMP/hold.err" &
    lg_pid=$!
    PIDS+=("$lg_pid")
    for _ in $(seq 1 600); do
        grep -q '^ready' "$TMP/hold.out" && break
        kill -0 "$lg_pid" 2>/dev/null || break
        sleep 0.1
    done
    if grep -q '^ready' "$TMP/hold.out"; then
        sleep 0.5
        rss1=$(vmrss "$SERVER_PID")
    else
        ok=0; LG_ERROR="idle connections not opened: $(tr '\n' ' ' <"$TMP/hold.err")"
    fi
    stop_pid "$lg_pid" INT
    stop_server || { ok=0; LG_ERROR="${LG_ERROR:+$LG_ERROR; }server exited on its own"; }
    if [ "$ok" = 1 ]; then
        put m.base relaySvr "$(fmt_int "$rss0")"
        put m.idle relaySvr "$(fmt_int "$rss1")"
        put m.per relaySvr "$(awk -v a="$rss0" -v b="$rss1" -v n="$n" 'BEGIN { printf "%.2f", (b - a) / n }')"
    else
        FAILED=1; ERRORS+=("relaySvr, memory: $LG_ERROR")
        put m.base relaySvr FAILED; put m.idle relaySvr FAILED; put m.per relaySvr FAILED
    fi
    for k in m.base m.idle m.per; do put "$k" haproxy "n/a"; done
}

print_table() {
    local row
    echo "| scenario | relaySvr | haproxy |"
    echo "|---|---:|---:|"
    for row in "${ROWS[@]}"; do
        echo "| ${LABEL[$row]} | ${R[$row|relaySvr]:-n/a} | ${R[$row|haproxy]:-n/a} |"
    done
}

# ---------------------------------------------------------------- smoke
if [ "$SMOKE" = 1 ]; then
    log "smoke: relaySvr, 4 pairs × 64 B for 1 s"
    DURATION=1
    closed_loop smoke "smoke, 4 pairs × 64 B" relaySvr --pairs 4 --size 64
    print_table
    if [ "$FAILED" != 0 ]; then
        printf 'run.sh: %s\n' "${ERRORS[@]}" >&2
        exit 1
    fi
    [ "$(field round_trips)" -gt 0 ] 2>/dev/null || die "smoke: no round trip happened"
    exit 0
fi

# ---------------------------------------------------------------- full run
LOAD_START=$(cut -d' ' -f1 /proc/loadavg)
log "$(nproc) cores, $(uname -r); $(haproxy -v 2>/dev/null | head -1); duration ${DURATION} s per scenario; load average $LOAD_START"
START=$(date +%s)
for s in relaySvr haproxy; do syscalls "$s"; done
for s in relaySvr haproxy; do closed_loop s2 "64 pairs × 64 B" "$s" --pairs 64 --size 64; done
for s in relaySvr haproxy; do closed_loop s3 "16 pairs × 4096 B" "$s" --pairs 16 --size 4096; done
# relaySvr without and with idle connections back to back, so that both see the same machine.
closed_loop s4a "16 pairs × 64 B, no idle connection" relaySvr --pairs 16 --size 64
closed_loop s4b "16 pairs × 64 B, after $(fmt_int "$IDLE_REQ") idle requesters + $(fmt_int "$IDLE_DEV") idle devices" \
    relaySvr --pairs 16 --size 64 --idle-req "$IDLE_REQ" --idle-dev "$IDLE_DEV"
closed_loop s4a "16 pairs × 64 B, no idle connection" haproxy --pairs 16 --size 64
LABEL[s4r]="16 pairs × 64 B: CPU per round trip, with idle ÷ without"
if [ -n "${CPU_PER_RT[s4a|relaySvr]:-}" ] && [ -n "${CPU_PER_RT[s4b|relaySvr]:-}" ]; then
    put s4r relaySvr "$(awk -v a="${CPU_PER_RT[s4a|relaySvr]}" -v b="${CPU_PER_RT[s4b|relaySvr]}" 'BEGIN { printf "%.2f", b / a }')"
else
    put s4r relaySvr FAILED
fi
put s4r haproxy "n/a"
memory
LOAD_END=$(cut -d' ' -f1 /proc/loadavg)
log "done in $(( $(date +%s) - START )) s; load average $LOAD_END"

TABLE=$(print_table
    echo
    echo "Closed loop: each pair has one request in flight. ${DURATION} s per scenario; server on core 0, load generator on core 1 (taskset); relaySvr logs to a file; haproxy $(haproxy -v 2>/dev/null | head -1 | awk '{print $3}') in TCP mode, nbthread 1, no logging; CPU = utime+stime of the server over the measured window. The load generator plays requesters and devices on one core. 1-minute load average $LOAD_START at the start, $LOAD_END at the end ($(nproc) cores).$(
    awk -v a="$LOAD_START" -v b="$LOAD_END" 'BEGIN { if (a > 1 || b > 1) printf " Other work ran on the machine during the run: latency and throughput figures are noisy." }')")
printf '%s\n' "$TABLE"
if [ -n "$OUT" ]; then
    printf '%s\n' "$TABLE" >"$OUT" || die "cannot write $OUT"
fi
if [ "$FAILED" != 0 ]; then
    printf 'run.sh: %s\n' "${ERRORS[@]}" >&2
    exit 1
fi
exit 0
