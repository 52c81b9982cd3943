#!/usr/bin/env bash
# tavorin-capture.exe under Wine, run by with-vscanner.sh with a scanner
# paced at the line's speed: an IMGSHP picture through the scanner's COM
# port lands whole in its file, equal to what the scanner shipped, with the
# status and JSON of a success; Ctrl+C cancels a run as SIGINT does on
# Linux; a port that is not there ends with the open's status and a message
# that names it; the messages follow the user's display language.
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

# Ctrl+C mid-picture (Wine turns SIGINT to the process into the console's
# Ctrl+C event): the run is cancelled with its status, and neither the
# picture nor its temporary is left. The temporary beside the target shows
# that the picture is arriving, so the handler is surely in place.
out="$work/cancelled"
mkdir "$out"
rc=0
wine "$exe" --port "COM$TAVORIN_VSCANNER_COM" --line 115200,8,N,1 --ship \
  --output "$(windows "$out/picture.jpg")" </dev/null >/dev/null 2>"$work/err" &
launcher=$!
for _ in $(seq 1 200); do
  compgen -G "$out/.ombrix-*" >/dev/null && break
  sleep 0.05
done
pid="$(pgrep -f '^[^ ]*tavorin-capture\.exe --port' | head -n 1)"
if [ -n "$pid" ] && compgen -G "$out/.ombrix-*" >/dev/null; then
  kill -INT "$pid"
else
  fail "the picture never started arriving"
fi
wait "$launcher" || rc=$?
[ "$rc" = 14 ] || fail "Ctrl+C ended the run with status $rc, not 14: $(tr -d '\r' <"$work/err")"
[ -z "$(ls -A "$out")" ] || fail "left behind after Ctrl+C: $(ls -A "$out")"

# No such port: the open's status, and the port named. Under Wine the
# display language follows the locale's environment: English for C.
LC_ALL=C.UTF-8 capture --port COM249 --line 115200,8,N,1 --raw 'BEPLVL?'
[ "$rc" = 11 ] || fail "a missing port ended with status $rc, not 11"
head -n 1 "$work/err.txt" | grep -q '^tavorin-capture: ' &&
  grep -q 'COM249' "$work/err.txt" || fail "the message does not name the port: $(cat "$work/err.txt")"
grep -q '[^ -~]' "$work/err.txt" && fail "an English display language got: $(cat "$work/err.txt")"
[ "$status" = 0 ] && echo "picture of $size bytes whole; Ctrl+C cancelled; a missing port told"
exit "$status"
