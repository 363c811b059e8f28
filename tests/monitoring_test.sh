#!/usr/bin/env bash
# The monitoring kit of packaging/ as an operator pastes it from README.md:
#  - the scrape job and the alerting rules are each shown whole in a yaml
#    block of their own, so that what is pasted is what is shipped;
#  - with promtool (package prometheus, or RELAY_PROMTOOL=path): the scrape
#    job with the rules named under rule_files is a valid Prometheus
#    configuration, the rules pass `promtool check rules` and their tests
#    pass `promtool test rules`.
# Without promtool those are skipped and the test ends with status 77.
# Usage: monitoring_test.sh SOURCE_DIR
set -u
src=$(cd "$1" && pwd)
# relay_fail, relay_skip, relay_test_end
. "$src/scripts/relay-lib.sh"
tmp=$(mktemp -d "${TMPDIR:-/tmp}/relay-monitoring.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
kit="prometheus-relaysvr.yml relaysvr-alerts.yml relaysvr-alerts.test.yml"

fail() { relay_fail "$@"; }
skip() { relay_skip "$@"; }

# The README's yaml blocks, a file each.
awk -v dir="$tmp" '
  /^```yaml$/ { out = sprintf("%s/block%02d.yml", dir, ++n); printf "" > out; inside = 1; next }
  /^```$/ && inside { inside = 0; close(out); next }
  inside { print > out }' "$src/README.md"
for f in prometheus-relaysvr.yml relaysvr-alerts.yml; do
  found=
  for b in "$tmp"/block*.yml; do
    [ -e "$b" ] && cmp -s "$src/packaging/$f" "$b" && found=yes
  done
  [ -n "$found" ] || fail "README.md does not show packaging/$f whole, in a yaml block of its own"
done

promtool=${RELAY_PROMTOOL:-$(command -v promtool)}
if [ -z "$promtool" ] || [ ! -x "$promtool" ]; then
  skip "promtool is not installed (package prometheus, or RELAY_PROMTOOL=path): the kit is not checked by it"
else
  for f in $kit; do cp "$src/packaging/$f" "$tmp/"; done
  check() {
    timeout 60 "$promtool" "$@" >"$tmp/promtool.out" 2>&1 || { cat "$tmp/promtool.out"; fail "promtool $*"; }
  }
  # prometheus.yml as the README builds it: the scrape job, the rules named.
  { cat "$tmp/prometheus-relaysvr.yml"; printf 'rule_files:\n  - %s\n' "$tmp/relaysvr-alerts.yml"; } \
    >"$tmp/prometheus.yml"
  check check config "$tmp/prometheus.yml"
  check check rules "$tmp/relaysvr-alerts.yml"
  check test rules "$tmp/relaysvr-alerts.test.yml"
fi

relay_test_end "monitoring test"
