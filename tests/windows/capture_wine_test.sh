#!/usr/bin/env bash
# tavorin-capture.exe under Wine, run by with-vscanner.sh: an IMGSHP picture
# through the scanner's COM port lands whole in its file, equal to what the
# scanner shipped, with the status and JSON of a success; a port that is not
# there ends with the open's status and a message that names it; the
# messages follow the user's display language.
# Usage: capture_wine_test.sh <wine prefix> <tavorin-capture.exe>
set -euo pipefail
export WINEPREFIX="$1"
exe="$2"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
: "${TAVORIN_VSCANNER_COM:?run by with-vscanner.sh}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
windows() { echo "Z:${1//\//\\}"; }
status=0
fail() {
  echo "FAIL: $*"
  status=1
}
# Runs the tool; its standard output, standard error and status land in
# $work/out, $work/err and $rc.
capture() {
  rc=0
  wine "$exe" "$@" </dev/null >"$work/out" 2>"$work/err" || rc=$?
  tr -d '\r' <"$work/out" >"$work/out.txt"
  tr -d '\r' <"$work/err" >"$work/err.txt"
}

capture --port "COM$TAVORIN_VSCANNER_COM" --line 115200,8,N,1 --ship --json \
  --output "$(windows "$work/picture.jpg")"
[ "$rc" = 0 ] || fail "the picture ended with status $rc: $(cat "$work/err.txt")"
cmp -s "$work/picture.jpg" "$TAVORIN_VSCANNER_SHIPPED_FILE" ||
  fail "the file differs from what the scanner shipped"
size="$(stat -c %s "$TAVORIN_VSCANNER_SHIPPED_FILE" 2>/dev/null || echo 0)"
grep -q "\"bytes\": *$size[,}]" "$work/out.txt" || fail "the JSON does not say $size bytes: $(cat "$work/out.txt")"
[ "$size" -gt 1000 ] || fail "the scanner shipped only $size bytes"

# No such port: the open's status, and the port named. Under Wine the
# display language follows the locale's environment.
LC_ALL=en_US.UTF-8 capture --port COM249 --line 115200,8,N,1 --raw 'BEPLVL?'
[ "$rc" = 11 ] || fail "a missing port ended with status $rc, not 11"
grep -q '^tavorin-capture: .*COM249' "$work/err.txt" ||
  fail "the message does not name the port: $(cat "$work/err.txt")"
grep -q '[^ -~]' "$work/err.txt" && fail "an English display language got: $(cat "$work/err.txt")"
[ "$status" = 0 ] && echo "picture of $size bytes whole; a missing port told"
exit "$status"
