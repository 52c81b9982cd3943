#!/usr/bin/env bash
# Runs a Windows program under Wine, in the project's private prefix, with a
# scanner peer (tests/windows/scanner_peer.py) beside it: the peer plays
# scanners on Linux pseudo-terminals that the program reaches as COM ports.
# Each run holds a slot of twelve COM numbers of its own, so that programs
# running side by side never share a port (the links are global to a prefix).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
default_prefix="$HOME/.wine"
case "${1:-}" in
  --default-prefix=*)
    default_prefix="${1#--default-prefix=}"
    shift
    ;;
esac
export WINEPREFIX="${WINEPREFIX:-$default_prefix}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Qt writes its messages and a Qt Test's results to the debugger's channel
# when no console window is attached, as under Wine: they go to the
# streams instead. Wine passes no variable starting with QT_ on, but strips
# the WINE from this one.
export WINEQT_FORCE_STDERR_LOGGING=1

# Wine's background processes, when this run is the one that starts them,
# inherit its output and outlive it; a caller that reads the output to its
# end through a pipe (CTest) would then wait for them. The program writes to
# files instead, shown once it has ended.
out="$(mktemp)"
err="$(mktemp)"
cleanup() { rm -f "$out" "$err"; }
trap cleanup EXIT
run_wine() {
  local status=0
  wine "$@" >"$out" 2>"$err" </dev/null || status=$?
  cat "$out"
  cat "$err" >&2
  return "$status"
}

# Listing a test program's cases needs no peer.
for arg in "$@"; do
  if [ "$arg" = --gtest_list_tests ]; then
    run_wine "$@"
    exit
  fi
done

slots="$WINEPREFIX/tavorin-slots"
mkdir -p "$slots"
slot=-1
for n in $(seq 0 17); do
  exec {lock}>"$slots/$n"
  if flock -n "$lock"; then
    slot=$n
    break
  fi
  exec {lock}>&-
done
if [ "$slot" -lt 0 ]; then
  echo "wine-run: every COM slot is taken" >&2
  exit 1
fi
export TAVORIN_COM_BASE=$((20 + 12 * slot))

portfile="$(mktemp)"
# Debian's interpreter when there is one: the peer needs nothing else.
python=/usr/bin/python3
[ -x "$python" ] || python=python3
"$python" "$here/../tests/windows/scanner_peer.py" "$portfile" &
peer=$!
trap 'kill "$peer" 2>/dev/null || true; wait "$peer" 2>/dev/null || true; rm -f "$portfile"; cleanup' EXIT
for _ in $(seq 1 500); do
  [ -s "$portfile" ] && break
  sleep 0.01
done
TAVORIN_PEER_PORT="$(cat "$portfile")"
export TAVORIN_PEER_PORT
run_wine "$@"
