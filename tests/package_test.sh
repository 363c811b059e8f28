#!/usr/bin/env bash
# Checks what an operator gets from `cmake --install` and from the .deb:
#  - the installed files, and that a reinstall keeps an edited configuration;
#  - the one commented sample (relaySvr.ini of the source tree) is valid, sets
#    only Port, and the installed configuration is that sample at
#    LogLevel=connections;
#  - the unit passes `systemd-analyze verify`, and `systemd-analyze security`
#    rates its exposure at most 1.5;
#  - the package holds the same files, the configuration as a conffile, and
#    lintian --pedantic reports no error and no warning;
#  - with the word "host" only, installed into this machine (root only;
#    purged at the end): the user and
#    group relaysvr and the PID file exist; --version, --help, --check and an
#    unknown option answer without touching the PID file or a port; the
#    daemon, started as the unit
#    starts it (user relaysvr, the unit's LimitNOFILE, the packaged
#    configuration on a free port), relays a request between the installed
#    tools, reloads on SIGHUP and stops on SIGINT with "exit 0", status 0;
#    the purge takes the programs, the unit and /etc/relaySvr away;
#  - the manual page shows every log line the program prints, with its level.
# What the machine cannot run is skipped with a message, and the test then
# ends with status 77.
# Usage: package_test.sh BUILD_DIR SOURCE_DIR [host]
set -u
build=$(cd "$1" && pwd) src=$(cd "$2" && pwd) mode=${3:-}
tmp=$(mktemp -d "${TMPDIR:-/tmp}/relay-pkgtest.XXXXXX")

pkg=relaysvr
user=relaysvr
daemon=/usr/sbin/relaySvr
pid_file=/run/relaySvr.pid
unit_name=relaysvr.service
max_exposure=15    # systemd-analyze's scale: 15 is an exposure of 1.5

started=()     # PIDs of the processes this test started
installed=     # set while this test has the package installed
cleanup() {
  local p
  for p in "${started[@]}"; do
    kill -0 "$p" 2>/dev/null && kill -KILL "$p"
  done
  wait 2>/dev/null
  if [ -n "$installed" ]; then
    dpkg --purge "$pkg" >"$tmp/cleanup-purge.log" 2>&1 ||
      { cat "$tmp/cleanup-purge.log"; echo "cleanup: dpkg --purge $pkg failed"; }
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

fail() { relay_fail "$@"; }
skip() { relay_skip "$@"; }
have() { command -v "$1" >/dev/null 2>&1; }
key() { sed -n "s/^$1=//p" "$2"; }
# relay_wait_until, relay_listen_port, relay_exited
. "$src/scripts/relay-lib.sh"
wait_seconds=10  # the longest any wait takes
wait_until() { relay_wait_until "$wait_seconds" "$@"; }

# The keys of [SvrTarn], as the server describes its settings (--check in a
# directory without relaySvr.ini: the defaults, one "Key=value" line each).
mkdir "$tmp/empty"
keys=$(cd "$tmp/empty" && "$build/relaySvr" --check 2>/dev/null | sed -n 's/^\([A-Za-z]*\)=.*/\1/p')
[ "$(echo "$keys" | wc -w)" -ge 7 ] || fail "relaySvr --check names only these keys: $keys"

# --- the commented sample -------------------------------------------------------
sample=$src/relaySvr.ini
active=$(grep -vE '^[[:blank:]]*([;#]|$)' "$sample" | tr '\n' ' ')
[ "$active" = "[SvrTarn] Port=5000 " ] ||
  fail "relaySvr.ini sets more than Port=5000 (active lines: $active)"
for k in $keys; do
  grep -qE "^;?$k=" "$sample" || fail "relaySvr.ini does not show the key $k"
done
# Valid as it stands, without a warning, at the default log level.
"$build/relaySvr" --config "$sample" --check --strict >"$tmp/sample-check.out" 2>"$tmp/sample-check.err"
rc=$?
[ "$rc" = 0 ] && [ ! -s "$tmp/sample-check.err" ] && grep -qx "LogLevel=chunks" "$tmp/sample-check.out" ||
  { cat "$tmp/sample-check.out" "$tmp/sample-check.err"; fail "relaySvr --check on relaySvr.ini: status $rc, warnings or not at LogLevel=chunks"; }

# --- install into a scratch root ---------------------------------------------------
root=$tmp/root
install_all() { DESTDIR=$root cmake --install "$build" --prefix /usr >"$tmp/install.log" 2>&1 ||
  { cat "$tmp/install.log"; fail "cmake --install"; exit 1; }; }
install_all
files="usr/sbin/relaySvr usr/lib/systemd/system/$unit_name usr/lib/sysusers.d/relaysvr.conf
  usr/lib/tmpfiles.d/relaysvr.conf etc/relaySvr/relaySvr.ini usr/share/doc/relaysvr/examples/relaySvr.ini
  usr/share/doc/relaysvr/copyright usr/share/doc/relaysvr/changelog.gz usr/share/man/man8/relaySvr.8.gz
  usr/share/lintian/overrides/relaysvr usr/share/doc/relaysvr/examples/prometheus-relaysvr.yml
  usr/share/doc/relaysvr/examples/relaysvr-alerts.yml usr/share/doc/relaysvr/examples/relaysvr-alerts.test.yml"
[ -x "$build/tools/relay-request" ] && files+=" usr/bin/relay-request usr/bin/relay-device usr/bin/relay-status
  usr/share/man/man1/relay-request.1.gz usr/share/man/man1/relay-device.1.gz usr/share/man/man1/relay-status.1.gz"
for f in $files; do [ -e "$root/$f" ] || fail "not installed: /$f"; done
[ -e "$root/usr/bin/relaySvr" ] && fail "relaySvr is installed in /usr/bin as well as /usr/sbin"

config=$root/etc/relaySvr/relaySvr.ini
cmp -s "$config" "$root/usr/share/doc/relaysvr/examples/relaySvr.ini" ||
  fail "the example is not a copy of the installed configuration"
# The installed settings, each once, in place of the sample's commented defaults.
installed_settings="LogLevel=connections AnswerWindow=500 AnswerOrder=arrival MaxConnectionsPerAddress=16"
for s in $installed_settings; do
  [ "$(grep -c "^${s%%=*}=" "$config")" = 1 ] && grep -qx "$s" "$config" ||
    fail "the installed configuration does not set $s, once"
done
diff <(grep -vxE ';(LogLevel=chunks|AnswerWindow=0|AnswerOrder=descriptor|MaxConnectionsPerAddress=0)' "$sample") \
  <(sed -E '/^; Installed setting/,/^[A-Za-z]+=/d' "$config") >"$tmp/config.diff" ||
  { cat "$tmp/config.diff"; fail "the installed configuration is not the sample with $installed_settings"; }

echo "; edited by the operator" >>"$config" && install_all
grep -q "edited by the operator" "$config" || fail "a reinstall overwrote /etc/relaySvr/relaySvr.ini"

# --- the unit ---------------------------------------------------------------------------
unit=$root/usr/lib/systemd/system/$unit_name
packaged=/etc/relaySvr/relaySvr.ini
[ "$(key ExecStart "$unit")" = "$daemon --config $packaged" ] ||
  fail "ExecStart is not $daemon --config $packaged: $(key ExecStart "$unit")"
[ "$(key WorkingDirectory "$unit")" = /etc/relaySvr ] || fail "WorkingDirectory is not /etc/relaySvr"
for setting in Type=notify User=relaysvr Group=relaysvr KillSignal=SIGINT LimitNOFILE=65536 SyslogLevelPrefix=yes \
  FileDescriptorStoreMax=65536 Environment=FDSTORE=65536 \
  "ExecReload=$daemon --config $packaged --check" 'ExecReload=/bin/kill -HUP $MAINPID'; do
  grep -qxF -- "$setting" "$unit" || fail "the unit lacks $setting"
done
grep -qE '@[A-Z_]+@' "$unit" && fail "the unit has a placeholder left: $(grep -E '@[A-Z_]+@' "$unit")"
if have systemd-analyze; then
  # Pointed into the scratch root, so that verify finds the programs there.
  mkdir "$tmp/unit"
  sed -E -e "s#^(Exec[A-Za-z]+=[-+!@:]*)(/usr/s?bin/)#\1$root\2#" -e "s#^WorkingDirectory=#&$root#" \
    "$unit" >"$tmp/unit/$unit_name"
  # With man, Documentation=man:relaySvr(8) is checked against the installed page.
  MANPATH=$root/usr/share/man systemd-analyze verify $(have man || echo --man=no) "$tmp/unit/$unit_name" \
    >"$tmp/verify.log" 2>&1
  rc=$?; [ $rc = 0 ] && ! grep -q "$unit_name" "$tmp/verify.log" ||
    { cat "$tmp/verify.log"; fail "systemd-analyze verify (status $rc)"; }
  systemd-analyze security --offline=true --threshold=$max_exposure "$tmp/unit/$unit_name" \
    >"$tmp/security.log" 2>&1
  rc=$?
  grep -o 'Overall exposure level.*' "$tmp/security.log"
  [ $rc = 0 ] || { cat "$tmp/security.log"; fail "systemd-analyze security: exposure over 1.5 (status $rc)"; }
else
  skip "systemd-analyze is not installed: the unit is not checked"
fi

# --- the manual page shows every log line, with its level ----------------------------
if have man; then
  MANWIDTH=250 man -l "$root/usr/share/man/man8/relaySvr.8.gz" >"$tmp/man.txt" 2>"$tmp/man.err" || fail "man -l relaySvr.8"
  grep -qiE 'warn|error' "$tmp/man.err" && { cat "$tmp/man.err"; fail "warnings rendering relaySvr.8"; }
  # Every text the program prints on standard output, without its line end,
  # must appear in the page in double quotes, blanks and all; where it heads
  # an entry, the entry names its level in brackets and its priority in the
  # journal: "text" [level] <N>. The priority is the level's (errors 3,
  # connections 6) unless the call names one. Texts of conversions only
  # ("%s") pass other text through and are left out.
  { grep -h -o -E '(Print|Log)\(CSvrLog::k[A-Za-z]+, (CSvrLog::kPrio[A-Za-z]+, )?"[^"]*"' "$src"/src/*.cpp |
      sed -E -e 's/^(Print|Log)\(CSvrLog::k([A-Za-z]+), CSvrLog::kPrio([A-Za-z]+), "(.*)"$/\2\t\3\t\4/' \
        -e 's/^(Print|Log)\(CSvrLog::k([A-Za-z]+), "(.*)"$/\2\tLevel\t\3/'
    # The count of lost lines, written by the log itself at every level.
    grep -h -o -E 'format\("relaySvr: [^"]*"' "$src"/src/SvrLog.cpp |
      sed -E 's/^[^"]*"(.*)"$/Errors\tWarning\t\1/'
  } | sed -E 's/\\n$//' >"$tmp/log-texts"
  [ "$(wc -l <"$tmp/log-texts")" -ge 15 ] ||
    fail "found only $(wc -l <"$tmp/log-texts") log texts in src/: the search no longer matches the source"
  while IFS=$'\t' read -r level priority text; do
    level=$(echo "$level" | tr 'A-Z' 'a-z')
    case $priority/$level in
      Error/* | Level/errors) priority=3 ;;
      Warning/*) priority=4 ;;
      Notice/*) priority=5 ;;
      Info/* | Level/connections) priority=6 ;;
      *) priority=7 ;;
    esac
    [[ "$text" =~ ^([[:blank:]]*%[a-z]+)+$ ]] && continue
    grep -qF -- "\"$text\"" "$tmp/man.txt" || { fail "relaySvr(8) does not show the log line \"$text\""; continue; }
    TEXT="\"$text\"" HEAD="\"$text\" [$level] <$priority>" awk '
      { line = $0; sub(/^ +/, "", line) }
      index(line, ENVIRON["TEXT"]) == 1 && index(line, ENVIRON["HEAD"]) != 1 { bad = 1 }
      END { exit bad }' "$tmp/man.txt" ||
      fail "relaySvr(8) does not give the log line \"$text\" its level and priority: [$level] <$priority>"
  done <"$tmp/log-texts"
  for k in $keys; do
    grep -qE "^ +$k \(default" "$tmp/man.txt" || fail "relaySvr(8) does not describe the key $k with its default"
  done
else
  skip "man is not installed: the manual page is not checked"
fi

# --- Debian package ---------------------------------------------------------------
deb=
if ! have dpkg-deb || ! have cpack || [ ! -f "$build/CPackConfig.cmake" ]; then
  skip "dpkg-deb or cpack (or the package configuration) is missing: no package"
elif ! (cd "$tmp" && cpack --config "$build/CPackConfig.cmake" -B "$tmp/pkg") >"$tmp/cpack.log" 2>&1 ||
  ! deb=$(ls "$tmp"/pkg/*.deb 2>/dev/null); then
  cat "$tmp/cpack.log"
  fail "cpack built no .deb"
  deb=
else
  dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./||' >"$tmp/contents"
  for f in $files; do grep -qx "$f" "$tmp/contents" || fail "not in the package: /$f"; done
  dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles 2>/dev/null | grep -qx /etc/relaySvr/relaySvr.ini ||
    fail "/etc/relaySvr/relaySvr.ini is not a conffile"
  if have lintian; then
    lintian --pedantic --display-info "$deb" >"$tmp/lintian.log" 2>&1
    grep -E '^[A-Z]: ' "$tmp/lintian.log"
    grep -qE '^[EW]: ' "$tmp/lintian.log" && fail "lintian reports errors or warnings"
  else
    skip "lintian is not installed: the package is not checked by it"
  fi
fi

# --- installed into this machine ---------------------------------------------------------
# A free TCP port: one that no socket of the machine uses.
free_port() {
  local used p i
  used=" $(sed -n 's/^ *[0-9]*: [0-9A-F]*:\([0-9A-F]*\) .*/\1/p' /proc/net/tcp /proc/net/tcp6 2>/dev/null |
    while read -r h; do echo $((16#$h)); done | tr '\n' ' ') "
  for ((i = 0; i < 100; i++)); do
    p=$((20000 + RANDOM % 40000))
    [[ "$used" == *" $p "* ]] || { echo "$p"; return 0; }
  done
  return 1
}
# State of the PID file that no command-line word may change.
pid_file_state() { stat -c '%i %s %y %U' "$pid_file" 2>/dev/null; cat "$pid_file" 2>/dev/null; }
# Status 0 when some process holds a lock on the PID file.
pid_file_locked() {
  local inode
  inode=$(stat -c %i "$pid_file" 2>/dev/null) || return 1
  grep -qE "^[0-9]+: POSIX +ADVISORY +WRITE +[0-9]+ [0-9a-f]+:[0-9a-f]+:$inode " /proc/locks
}

# Status 0 once PID listens on PORT, or has ended.
listening_or_gone() { [ "$(relay_listen_port "$1")" = "$2" ] || relay_exited "$1"; }
# dpkg, waiting up to 60 s for another dpkg or apt on the machine to finish;
# its standard error in $tmp/dpkg.err.
dpkg_waiting() {
  local i
  for ((i = 0; i < 60; i++)); do
    dpkg "$@" 2>"$tmp/dpkg.err" && return 0
    grep -q "lock" "$tmp/dpkg.err" || return 1
    sleep 1
  done
  return 1
}

machine_test() {
  local version out rc before port run pid nofile uid dev status f
  dpkg_waiting -i "$deb" >"$tmp/dpkg-install.log" ||
    { cat "$tmp/dpkg-install.log" "$tmp/dpkg.err"; fail "dpkg -i $deb"; return; }
  installed=yes
  version=$(dpkg-deb -f "$deb" Version)

  getent passwd "$user" >/dev/null || fail "no user $user"
  getent group "$user" >/dev/null || fail "no group $user"
  [ "$(stat -c %U:%G "$pid_file" 2>/dev/null)" = "$user:$user" ] ||
    fail "$pid_file is not there for $user: $(ls -l "$pid_file" 2>&1)"
  if have systemd-analyze; then
    systemd-analyze verify "/usr/lib/systemd/system/$unit_name" >"$tmp/verify-installed.log" 2>&1 &&
      ! grep -q "$unit_name" "$tmp/verify-installed.log" ||
      { cat "$tmp/verify-installed.log"; fail "systemd-analyze verify on the installed unit"; }
  fi

  # --- the command-line words: an answer, and neither the PID file nor a port
  before=$(pid_file_state)
  tracer=()
  have strace && tracer=(strace -f -qq -e trace=bind,listen,open,openat -o "$tmp/words.trace")
  out=$("${tracer[@]}" "$daemon" --version 2>&1); rc=$?
  [ $rc = 0 ] && [ "$out" = "relaySvr $version" ] || fail "--version: status $rc, \"$out\" (not \"relaySvr $version\")"
  [ -n "${tracer[*]}" ] && cat "$tmp/words.trace" >>"$tmp/words.all"
  out=$("${tracer[@]}" "$daemon" --help 2>&1); rc=$?
  [ $rc = 0 ] && [[ "$out" == *"usage: relaySvr"*"--check"* ]] || fail "--help: status $rc, or no usage"
  [ -n "${tracer[*]}" ] && cat "$tmp/words.trace" >>"$tmp/words.all"
  out=$("${tracer[@]}" "$daemon" --config "$packaged" --check --strict 2>&1); rc=$?
  [ $rc = 0 ] && [[ "$out" == *"LogLevel=connections"*"would start"* ]] ||
    { echo "$out"; fail "--check --strict on the packaged configuration: status $rc"; }
  [ -n "${tracer[*]}" ] && cat "$tmp/words.trace" >>"$tmp/words.all"
  mkdir "$tmp/bad" && sed 's|^;DeviceNetworks=.*|DeviceNetworks=10.0.0.0/33|' /etc/relaySvr/relaySvr.ini >"$tmp/bad/relaySvr.ini"
  out=$(cd "$tmp/bad" && "${tracer[@]}" "$daemon" --check 2>&1); rc=$?
  [ $rc = 1 ] && [[ "$out" == *"10.0.0.0/33"* ]] ||
    { echo "$out"; fail "--check with DeviceNetworks=10.0.0.0/33: status $rc, not 1 with the reason"; }
  [ -n "${tracer[*]}" ] && cat "$tmp/words.trace" >>"$tmp/words.all"
  out=$("${tracer[@]}" "$daemon" -x 2>&1); rc=$?
  [ $rc = 2 ] && [[ "$out" == *"usage: relaySvr"* ]] || { echo "$out"; fail "an unknown option: status $rc, not 2 with the usage"; }
  [ -n "${tracer[*]}" ] && cat "$tmp/words.trace" >>"$tmp/words.all"
  [ "$(pid_file_state)" = "$before" ] || fail "a command-line word changed $pid_file"
  if [ -n "${tracer[*]}" ]; then
    grep -E 'bind\(|listen\(|relaySvr\.pid' "$tmp/words.all" && fail "a command-line word bound, listened or opened the PID file"
  else
    skip "strace is not installed: the command-line words are not traced"
  fi

  # --- the daemon as the unit runs it
  if pid_file_locked; then
    skip "another relaySvr holds the lock on $pid_file: the installed daemon is not run"
    return
  fi
  if ! have setpriv; then
    skip "setpriv is not installed: the installed daemon is not run"
    return
  fi
  port=$(free_port) || { fail "no free port found"; return; }
  # The working directory holds the packaged configuration with that port;
  # the user relaysvr must be able to enter it and read the file.
  run=$tmp/run
  mkdir "$run" && chmod 755 "$tmp" "$run"
  sed "s/^Port=.*/Port=$port/" /etc/relaySvr/relaySvr.ini >"$run/relaySvr.ini" && chmod 644 "$run/relaySvr.ini"
  # The unit's LimitNOFILE, soft and hard; a machine that does not let even
  # root raise its hard limit that far runs the daemon with the hard limit.
  nofile=$(key LimitNOFILE "/usr/lib/systemd/system/$unit_name")
  if ! (ulimit -n "$nofile") 2>/dev/null; then
    echo "note: this machine allows no descriptor limit of $nofile (LimitNOFILE); running with $(ulimit -Hn)"
    nofile=$(ulimit -Hn)
  fi
  (cd "$run" && ulimit -n "$nofile" &&
    exec setpriv --reuid="$user" --regid="$user" --init-groups --no-new-privs \
      --inh-caps=-all --bounding-set=-all "$daemon" --config "$run/relaySvr.ini") >"$tmp/server.log" 2>"$tmp/server.err" &
  pid=$!
  started+=("$pid")
  wait_until listening_or_gone "$pid" "$port"
  if ! [ "$(relay_listen_port "$pid")" = "$port" ]; then
    cat "$tmp/server.log" "$tmp/server.err"
    fail "the installed daemon does not listen on port $port"
    return
  fi
  [ -s "$tmp/server.err" ] && { cat "$tmp/server.err"; fail "the installed daemon warns about the packaged configuration"; }
  uid=$(awk '/^Uid:/ { print $2 }' "/proc/$pid/status")
  [ "$uid" = "$(id -u "$user")" ] || fail "the daemon runs as uid $uid, not $user"
  grep -qE "^Max open files +$nofile +$nofile " "/proc/$pid/limits" ||
    fail "the daemon's descriptor limit is not $nofile: $(grep 'open files' "/proc/$pid/limits")"
  [ "$(cat "$pid_file")" = "$pid" ] || fail "$pid_file does not hold the daemon's PID"

  if [ -x /usr/bin/relay-device ]; then
    /usr/bin/relay-device --port "$port" --id 23 --count 1 --reply "01 17 6f 6b" >"$tmp/device.log" 2>&1 &
    dev=$!
    started+=("$dev")
    wait_until grep -q "ip=127.0.0.23," "$tmp/server.log" || fail "the device did not connect"
    out=$(/usr/bin/relay-request --port "$port" --timeout 5 23 "01 17 68 69" 2>&1); rc=$?
    [ $rc = 0 ] && [[ "$out" == *"01 17 6f 6b"* ]] || { echo "$out"; fail "no answer relayed (relay-request status $rc)"; }
    wait_until relay_exited "$dev" || fail "relay-device did not end after its answer"
  else
    skip "the tools are not in the package: no request is relayed"
  fi

  kill -HUP "$pid"
  wait_until grep -qx "SvrReload ok!" "$tmp/server.log" || fail "no \"SvrReload ok!\" after SIGHUP"
  relay_exited "$pid" && { fail "the daemon ended on SIGHUP"; return; }

  kill -INT "$pid"
  wait_until relay_exited "$pid" || fail "the daemon did not end on SIGINT"
  wait "$pid"; status=$?
  [ "$status" = 0 ] && [ "$(tail -n 1 "$tmp/server.log")" = "exit 0" ] ||
    { cat "$tmp/server.log" "$tmp/server.err"; fail "on SIGINT the daemon ends with status $status, not 0 after \"exit 0\""; }
}

machine_purge() {
  local f
  dpkg_waiting --purge "$pkg" >"$tmp/dpkg-purge.log" ||
    { cat "$tmp/dpkg-purge.log" "$tmp/dpkg.err"; fail "dpkg --purge $pkg"; return; }
  installed=
  for f in $files /etc/relaySvr "${pid_file#/}"; do
    [ -e "/${f#/}" ] && fail "left after the purge: /${f#/}"
  done
  getent passwd "$user" >/dev/null && echo "note: the user $user stays after the purge, as Debian keeps system users"
}

if [ "$mode" != host ]; then
  echo "note: the install into this machine runs as its own test (package_test.sh ... host)"
elif [ -z "$deb" ]; then
  skip "no package: nothing is installed into this machine"
elif [ "$(id -u)" != 0 ] || ! have dpkg; then
  skip "not root (or no dpkg): the package is not installed into this machine"
elif dpkg-query -W -f '${Status}' "$pkg" 2>/dev/null | grep -qv 'not-installed'; then
  skip "$pkg is already on this machine ($(dpkg-query -W -f '${Status}' "$pkg")): left alone"
else
  machine_test
  [ -n "$installed" ] && machine_purge
fi

relay_test_end "package test"
