#!/usr/bin/env bash
# Checks what an operator gets from `cmake --install` and from the .deb:
#  - the install layout, and that a reinstall keeps an edited configuration;
#  - the systemd unit passes `systemd-analyze verify` (where available);
#  - the installed program, run as the unit runs it (installed relaySvr.ini,
#    stopped with the unit's KillSignal), ends with status 0, and a second
#    instance ends with a status the unit does not restart on;
#  - the package's contents, conffile and unit, and lintian reports no error;
#  - the manual page documents every log line the program prints.
# Usage: package_test.sh BUILD_DIR SOURCE_DIR
set -u
build=$(cd "$1" && pwd) src=$(cd "$2" && pwd)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/relay-pkgtest.XXXXXX")
name=relaySvr-pkgtest-$$
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill -0 "$p" 2>/dev/null && kill -KILL "$p"; done
  wait 2>/dev/null
  rm -rf "$tmp"
  rm -f "/var/run/$name.pid"
}
trap cleanup EXIT

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
skip() { echo "SKIP: $*"; }
have() { command -v "$1" >/dev/null 2>&1; }
# Polls every 0.1 s, for 10 s at most.
wait_until() { local i; for ((i = 0; i < 100; i++)); do "$@" && return 0; sleep 0.1; done; return 1; }
exited() { ! kill -0 "$1" 2>/dev/null; }
# The port the process listens on, from /proc/net/tcp (no probe connection).
listen_port() {
  local inode addr
  for inode in $(readlink "/proc/$1/fd/"* 2>/dev/null | sed -n 's/^socket:\[\([0-9]*\)\]$/\1/p'); do
    addr=$(awk -v i="$inode" '$4 == "0A" && $10 == i { print $2 }' /proc/net/tcp)
    [ -n "$addr" ] && { echo $((16#${addr##*:})); return 0; }
  done
  return 1
}
up_or_gone() { listen_port "$1" >/dev/null || exited "$1"; }

# --- install ------------------------------------------------------------------
root=$tmp/root
DESTDIR=$root cmake --install "$build" --prefix /usr >"$tmp/install.log" 2>&1 ||
  { cat "$tmp/install.log"; fail "cmake --install"; exit 1; }
expected="usr/bin/relaySvr usr/lib/systemd/system/relaySvr.service etc/relaySvr/relaySvr.ini
  usr/share/doc/relaysvr/examples/relaySvr.ini usr/share/man/man8/relaySvr.8.gz"
[ -x "$build/tools/relay-request" ] && expected+=" usr/bin/relay-request usr/bin/relay-device"
for f in $expected; do [ -e "$root/$f" ] || fail "not installed: /$f"; done

unit=$root/usr/lib/systemd/system/relaySvr.service
key() { sed -n "s/^$1=//p" "$2"; }
exec_start=$(key ExecStart "$unit")
workdir=$(key WorkingDirectory "$unit")
[ -x "$root$exec_start" ] || fail "the unit's ExecStart ($exec_start) is not the installed program"
[ -f "$root$workdir/relaySvr.ini" ] || fail "no relaySvr.ini in the unit's WorkingDirectory ($workdir)"

echo "; edited by the operator" >>"$root/etc/relaySvr/relaySvr.ini"
DESTDIR=$root cmake --install "$build" --prefix /usr >"$tmp/install.log" 2>&1 || fail "second cmake --install"
grep -q "edited by the operator" "$root/etc/relaySvr/relaySvr.ini" ||
  fail "a reinstall overwrote /etc/relaySvr/relaySvr.ini"

# --- systemd-analyze verify -------------------------------------------------------
if have systemd-analyze; then
  # verify needs the program at ExecStart; point it into the install tree.
  mkdir -p "$tmp/unit"
  sed -e "s|^ExecStart=.*|ExecStart=$root$exec_start|" -e "s|^WorkingDirectory=.*|WorkingDirectory=$root$workdir|" \
    "$unit" >"$tmp/unit/relaySvr.service"
  if have man; then
    # Documentation=man:relaySvr(8) is checked against the installed page.
    MANPATH=$root/usr/share/man systemd-analyze verify "$tmp/unit/relaySvr.service" >"$tmp/verify.log" 2>&1
  else
    systemd-analyze verify --man=no "$tmp/unit/relaySvr.service" >"$tmp/verify.log" 2>&1
  fi
  rc=$?
  if [ $rc != 0 ] || grep -q "relaySvr.service" "$tmp/verify.log"; then
    cat "$tmp/verify.log"
    fail "systemd-analyze verify (status $rc)"
  fi
else
  skip "systemd-analyze is not installed"
fi

# --- run as the unit runs it ------------------------------------------------------
if [ -w /var/run/ ]; then
  run=$tmp/run
  mkdir -p "$run"
  cp "$root$exec_start" "$run/$name"
  # The installed configuration, with the port set to 0 (a free one): a
  # listener on any port but the default 5000 shows that the file was read.
  sed 's/^Port=.*/Port=0/' "$root$workdir/relaySvr.ini" >"$run/relaySvr.ini"
  grep -q '^Port=0$' "$run/relaySvr.ini" || fail "no Port line in the installed relaySvr.ini"
  (cd "$run" && exec "./$name") >"$tmp/server.log" 2>&1 &
  pid=$!
  pids+=("$pid")
  wait_until up_or_gone "$pid"
  port=$(listen_port "$pid")
  if [ -z "$port" ] || [ "$port" = 5000 ]; then
    cat "$tmp/server.log"
    fail "the installed program did not listen on a port from the installed relaySvr.ini (${port:-none})"
  fi

  # A second instance: the unit must not restart on its exit status.
  (cd "$run" && exec "./$name") >"$tmp/second.log" 2>&1 &
  second=$!
  pids+=("$second")
  wait_until exited "$second"
  wait "$second"
  status=$?
  prevent=" $(key RestartPreventExitStatus "$unit") "
  [[ $prevent == *" $status "* ]] ||
    fail "a second instance exits with $status, which RestartPreventExitStatus ($prevent) does not name"

  signal=$(key KillSignal "$unit")
  kill -s "${signal#SIG}" "$pid"
  wait_until exited "$pid" || fail "the program did not end on the unit's KillSignal ($signal)"
  wait "$pid"
  status=$?
  [ "$status" = 0 ] || fail "the program's exit status on $signal is $status, not 0"
  [ "$(tail -n 1 "$tmp/server.log")" = "exit 0" ] || { cat "$tmp/server.log"; fail "no \"exit 0\" line on $signal"; }
else
  skip "/var/run is not writable: the installed program is not run"
fi

# --- Debian package ---------------------------------------------------------------
if ! have dpkg-deb || ! have cpack || [ ! -f "$build/CPackConfig.cmake" ]; then
  skip "dpkg-deb or cpack (or the package configuration) is missing"
else
  (cd "$tmp" && cpack --config "$build/CPackConfig.cmake" -B "$tmp/pkg") >"$tmp/cpack.log" 2>&1 ||
    { cat "$tmp/cpack.log"; fail "cpack"; }
  deb=$(ls "$tmp"/pkg/*.deb 2>/dev/null | head -n 1)
  if [ -z "$deb" ]; then
    fail "no .deb built"
  else
    [ "$(dpkg-deb -f "$deb" Package)" = relaysvr ] || fail "package name is not relaysvr"
    dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./||' >"$tmp/contents"
    for f in $expected; do
      grep -qx "$f" "$tmp/contents" || fail "not in the package: /$f"
    done
    grep -q '^usr/local/' "$tmp/contents" && fail "the package installs under /usr/local"
    dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles 2>/dev/null | grep -qx /etc/relaySvr/relaySvr.ini ||
      fail "/etc/relaySvr/relaySvr.ini is not a conffile"
    pkg_exec=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/lib/systemd/system/relaySvr.service | sed -n 's/^ExecStart=//p')
    grep -qx "${pkg_exec#/}" "$tmp/contents" || fail "the package's unit starts $pkg_exec, which it does not hold"
    if have lintian; then
      lintian "$deb" >"$tmp/lintian.log" 2>&1
      cat "$tmp/lintian.log"
      grep -q '^E:' "$tmp/lintian.log" && fail "lintian reports errors"
    else
      skip "lintian is not installed"
    fi
  fi
fi

# --- the manual page documents every log line ----------------------------------------
if have man; then
  MANWIDTH=250 man -l "$root/usr/share/man/man8/relaySvr.8.gz" >"$tmp/man.txt" 2>"$tmp/man.err" || fail "man -l relaySvr.8"
  grep -qiE 'warn|error' "$tmp/man.err" && { cat "$tmp/man.err"; fail "warnings rendering relaySvr.8"; }
  # Every printf/puts text of the program, without its line end, must appear
  # in the page in double quotes, blanks and all.
  grep -h -o -E '(printf|puts)\((stderr, )?"[^"]*"' "$src"/src/*.cpp | sed -E 's/^[^"]*"//; s/"$//; s/\\n$//' |
    {
      missing=0
      while IFS= read -r line; do
        grep -qF "\"$line\"" "$tmp/man.txt" || { echo "FAIL: relaySvr(8) does not show the log line \"$line\""; missing=1; }
      done
      exit $missing
    } || failures=$((failures + 1))
else
  skip "man is not installed: the manual page is not checked"
fi

[ "$failures" = 0 ] && echo "package test passed" || echo "package test: $failures failure(s)"
[ "$failures" = 0 ]
