#!/usr/bin/env bash
# Checks what an operator gets from `cmake --install` and from the .deb:
#  - the installed files, and that a reinstall keeps an edited configuration;
#  - the systemd unit passes `systemd-analyze verify` (where available);
#  - the installed program, run as the unit runs it (installed relaySvr.ini,
#    stopped with the unit's KillSignal), logs "exit 0" and ends with status 0;
#  - the package holds the same files, the configuration as a conffile, and
#    lintian reports no error;
#  - the manual page documents every log line the program prints.
# Usage: package_test.sh BUILD_DIR SOURCE_DIR
set -u
build=$(cd "$1" && pwd) src=$(cd "$2" && pwd)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/relay-pkgtest.XXXXXX")
name=relaySvr-pkgtest-$$
pid=
cleanup() {
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null && kill -KILL "$pid"
  wait 2>/dev/null
  rm -rf "$tmp" "/var/run/$name.pid"
}
trap cleanup EXIT

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
have() { command -v "$1" >/dev/null 2>&1; }
key() { sed -n "s/^$1=//p" "$2"; }
# relay_wait_until, relay_listen_port, relay_exited
. "$src/scripts/relay-lib.sh"
wait_seconds=10  # the longest any wait takes
wait_until() { relay_wait_until "$wait_seconds" "$@"; }
exited() { relay_exited "$pid"; }
listen_port() { relay_listen_port "$pid"; }
up_or_gone() { listen_port >/dev/null || exited; }

# --- install ------------------------------------------------------------------
root=$tmp/root
install_all() { DESTDIR=$root cmake --install "$build" --prefix /usr >"$tmp/install.log" 2>&1 ||
  { cat "$tmp/install.log"; fail "cmake --install"; exit 1; }; }
install_all
files="usr/bin/relaySvr usr/lib/systemd/system/relaySvr.service etc/relaySvr/relaySvr.ini
  usr/share/doc/relaysvr/examples/relaySvr.ini usr/share/man/man8/relaySvr.8.gz"
[ -x "$build/tools/relay-request" ] && files+=" usr/bin/relay-request usr/bin/relay-device
  usr/share/man/man1/relay-request.1.gz usr/share/man/man1/relay-device.1.gz"
for f in $files; do [ -e "$root/$f" ] || fail "not installed: /$f"; done
echo "; edited by the operator" >>"$root/etc/relaySvr/relaySvr.ini" && install_all
grep -q "edited by the operator" "$root/etc/relaySvr/relaySvr.ini" || fail "a reinstall overwrote /etc/relaySvr/relaySvr.ini"

# --- systemd-analyze verify, on the unit pointed into the install tree --------------
unit=$root/usr/lib/systemd/system/relaySvr.service
exec_start=$(key ExecStart "$unit") workdir=$(key WorkingDirectory "$unit")
if have systemd-analyze; then
  mkdir "$tmp/unit"
  sed -e "s|^ExecStart=|&$root|" -e "s|^WorkingDirectory=|&$root|" "$unit" >"$tmp/unit/relaySvr.service"
  # With man, Documentation=man:relaySvr(8) is checked against the installed page.
  MANPATH=$root/usr/share/man systemd-analyze verify $(have man || echo --man=no) "$tmp/unit/relaySvr.service" >"$tmp/verify.log" 2>&1
  rc=$?; [ $rc = 0 ] && ! grep -q "relaySvr.service" "$tmp/verify.log" || { cat "$tmp/verify.log"; fail "systemd-analyze verify (status $rc)"; }
else
  echo "SKIP: systemd-analyze is not installed"
fi

# --- run as the unit runs it ----------------------------------------------------------
if [ -w /var/run/ ]; then
  mkdir "$tmp/run" && cp "$root$exec_start" "$tmp/run/$name"
  # The installed configuration with the port set to 0 (a free one): a listener
  # on any port but the default 5000 shows that the file was read.
  sed 's/^Port=.*/Port=0/' "$root$workdir/relaySvr.ini" >"$tmp/run/relaySvr.ini"
  (cd "$tmp/run" && exec "./$name") >"$tmp/server.log" 2>&1 &
  pid=$!
  wait_until up_or_gone
  port=$(listen_port)
  [ -n "$port" ] && [ "$port" != 5000 ] || fail "the installed program listens on no port from the installed relaySvr.ini (${port:-none})"
  signal=$(key KillSignal "$unit")
  kill -s "${signal#SIG}" "$pid"
  wait_until exited || { fail "the program did not end on the unit's KillSignal ($signal)"; kill -KILL "$pid"; }
  wait "$pid"; status=$?
  [ "$status" = 0 ] && [ "$(tail -n 1 "$tmp/server.log")" = "exit 0" ] ||
    { cat "$tmp/server.log"; fail "on $signal the program ends with status $status, not 0 after \"exit 0\""; }
else
  echo "SKIP: /var/run is not writable: the installed program is not run"
fi

# --- Debian package ---------------------------------------------------------------
if ! have dpkg-deb || ! have cpack || [ ! -f "$build/CPackConfig.cmake" ]; then
  echo "SKIP: dpkg-deb or cpack (or the package configuration) is missing"
elif ! (cd "$tmp" && cpack --config "$build/CPackConfig.cmake" -B "$tmp/pkg") >"$tmp/cpack.log" 2>&1 ||
  ! deb=$(ls "$tmp"/pkg/*.deb 2>/dev/null); then
  cat "$tmp/cpack.log"
  fail "cpack built no .deb"
else
  dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./||' >"$tmp/contents"
  for f in $files; do grep -qx "$f" "$tmp/contents" || fail "not in the package: /$f"; done
  dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles 2>/dev/null | grep -qx /etc/relaySvr/relaySvr.ini ||
    fail "/etc/relaySvr/relaySvr.ini is not a conffile"
  if have lintian; then
    lintian "$deb" >"$tmp/lintian.log" 2>&1
    grep '^E:' "$tmp/lintian.log" && fail "lintian reports errors"
  else
    echo "SKIP: lintian is not installed"
  fi
fi

# --- the manual page documents every log line ----------------------------------------
if have man; then
  MANWIDTH=250 man -l "$root/usr/share/man/man8/relaySvr.8.gz" >"$tmp/man.txt" 2>"$tmp/man.err" || fail "man -l relaySvr.8"
  grep -qiE 'warn|error' "$tmp/man.err" && { cat "$tmp/man.err"; fail "warnings rendering relaySvr.8"; }
  # Every printf/puts text of the program, without its line end, must appear
  # in the page in double quotes, blanks and all.
  while IFS= read -r line; do
    grep -qF "\"$line\"" "$tmp/man.txt" || fail "relaySvr(8) does not show the log line \"$line\""
  done < <(grep -h -o -E '(printf|puts)\((stderr, )?"[^"]*"' "$src"/src/*.cpp | sed -E 's/^[^"]*"//; s/"$//; s/\\n$//')
else
  echo "SKIP: man is not installed: the manual page is not checked"
fi

[ "$failures" = 0 ] && echo "package test passed" || { echo "package test: $failures failure(s)"; exit 1; }
