#!/usr/bin/env bash
# Whole answers over slow links: for answers of 100, 1,460, 3,000 and
# 4,000 bytes, written in one send or as a 4-byte header and then the body
# (Nagle on), over a veth link into a network namespace that is unlimited or
# rate-limited to 10 Mbit/s, 1 Mbit/s or 256 kbit/s (tc tbf), at MTU 1500
# and 576, counts the answers that reach the requester whole, the share of
# bytes lost, and the mean time from request to the answer's last byte.
#
#   bench/answer-grid.sh [--mode packaged|absent] [--requests N] [--build-dir DIR]
#
# packaged: relaySvr with AnswerWindow=500 (the packaged value); absent: no
# AnswerWindow key (one chunk answers one request). One line per size,
# device kind and MTU, in Markdown. Needs root (the namespace, the veth pair,
# tc); the namespace and the veth pair are made for the run and removed.
# 200 requests per cell take about 5 minutes with the packaged values; cut
# answers each wait 0.7 s for a rest that never comes, so use fewer requests
# with --mode absent.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
MODE=packaged
REQUESTS=200
BUILD_DIR="$ROOT/build"
while [ $# -gt 0 ]; do
    case "$1" in
        --mode) MODE=${2:?--mode needs packaged or absent}; shift 2 ;;
        --requests) REQUESTS=${2:?--requests needs a number}; shift 2 ;;
        --build-dir) BUILD_DIR=${2:?--build-dir needs a directory}; shift 2 ;;
        -h|--help) sed -n '2,18p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "answer-grid.sh: unknown option $1" >&2; exit 2 ;;
    esac
done
case "$MODE" in packaged|absent) ;; *) echo "answer-grid.sh: --mode is packaged or absent" >&2; exit 2 ;; esac
[[ "$REQUESTS" =~ ^[1-9][0-9]{0,3}$ ]] || { echo "answer-grid.sh: --requests must be 1..9999" >&2; exit 2; }
[ "$(id -u)" = 0 ] || { echo "answer-grid.sh: needs root (network namespace, veth, tc)" >&2; exit 1; }

[ -x "$BUILD_DIR/tests/answer_test" ] || WITH_TEST_TOOLS=1 BUILD_DIR="$BUILD_DIR" "$ROOT/scripts/setup"
echo "AnswerWindow: $([ "$MODE" = packaged ] && echo 500 || echo "no key"); $REQUESTS requests per cell"
RELAY_ANSWER_GRID=$MODE RELAY_GRID_REQUESTS=$REQUESTS \
    "$BUILD_DIR/tests/answer_test" --gtest_filter='SlowAnswers.Grid' --gtest_color=no |
    grep -E '^\|'
