# Shell helpers shared by the demo, the package test and the benchmark.
# Source it:  . "$ROOT/scripts/relay-lib.sh"
# Nothing here starts or stops a process.

# relay_wait_until SECONDS CMD [ARG...]
#   Runs CMD every 0.05 s until it succeeds (status 0) or SECONDS have passed
#   (fractions allowed). Status 0 when CMD succeeded, 1 on the deadline.
relay_wait_until() {
  local seconds=$1 i tries
  shift
  tries=$(awk -v s="$seconds" 'BEGIN { t = int(s * 20); print (t < 1 ? 1 : t) }')
  for ((i = 0; i < tries; i++)); do
    "$@" && return 0
    sleep 0.05
  done
  "$@"
}

# relay_listen_ports PID
#   Prints, one per line, the IPv4 ports on which the process PID listens,
#   read from /proc/net/tcp and matched to the process by socket inode. A
#   probe connection would show in the relay's log; this leaves no trace.
#   Status 1 when the process listens on no IPv4 port.
relay_listen_ports() {
  local inodes hex found=1
  inodes=" $(readlink "/proc/$1/fd/"* 2>/dev/null | sed -n 's/^socket:\[\([0-9]*\)\]$/\1/p' | tr '\n' ' ') "
  for hex in $(awk -v i="$inodes" 'NR > 1 && $4 == "0A" && index(i, " " $10 " ") { sub(/.*:/, "", $2); print $2 }' /proc/net/tcp); do
    echo $((16#$hex))
    found=0
  done
  return $found
}

# relay_listen_port PID [EXCEPT]
#   Prints the first IPv4 port on which PID listens, leaving out the port
#   EXCEPT (for instance the status port, so that the relay port remains).
#   Status 1 when there is none.
relay_listen_port() {
  local p
  for p in $(relay_listen_ports "$1"); do
    [ "$p" = "${2:-}" ] && continue
    echo "$p"
    return 0
  done
  return 1
}

# relay_exited PID: status 0 when no process PID is left.
relay_exited() { ! kill -0 "$1" 2>/dev/null; }

# relay_free_port [EXCEPT...]
#   Prints a TCP port from 20000 to 32767 that no IPv4 or IPv6 socket of this
#   machine uses now (read from /proc/net/tcp and tcp6), other than the ports
#   given. Status 1 when 200 tries found none.
relay_free_port() {
  local p hex try
  for ((try = 0; try < 200; try++)); do
    p=$((20000 + RANDOM % 12768))
    case " $* " in *" $p "*) continue ;; esac
    hex=$(printf '%04X' "$p")
    if ! awk -v h="$hex" 'NR > 1 { split($2, a, ":"); if (a[2] == h) found = 1 } END { exit !found }' \
        /proc/net/tcp /proc/net/tcp6 2>/dev/null; then
      echo "$p"
      return 0
    fi
  done
  return 1
}

# The checks of a test script: relay_fail and relay_skip count what failed
# and what the machine could not run; relay_test_end NAME ends the script
# with status 1 when anything failed, 77 (skipped, for ctest) when a part
# was skipped, else 0.
relay_failures=0 relay_skipped=0
relay_fail() { echo "FAIL: $*"; relay_failures=$((relay_failures + 1)); }
relay_skip() { echo "SKIP: $*"; relay_skipped=$((relay_skipped + 1)); }
relay_test_end() {
  if [ "$relay_failures" != 0 ]; then
    echo "$1: $relay_failures failure(s)"
    exit 1
  fi
  if [ "$relay_skipped" != 0 ]; then
    echo "$1: passed what it ran; $relay_skipped part(s) skipped"
    exit 77
  fi
  echo "$1 passed"
  exit 0
}
