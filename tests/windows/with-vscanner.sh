#!/usr/bin/env bash
# Runs a command with the virtual scanner (the Linux program) serving on a
# pseudo-terminal that the Wine prefix knows as a COM port, registered the
# way Windows registers a port of a serial driver: scripts/wine-prefix.sh
# names COM5 to COM8 in the prefix's port table before Wine starts, each
# leading to a link in <prefix>/tavorin-ports/ that this script points at
# the scanner's terminal. So the port is in the serial device map, and
# discovery finds it as it finds any port on Windows.
#
# Usage: with-vscanner.sh --prefix=DIR --vscanner=PATH [scanner options] -- COMMAND...
# The command sees TAVORIN_VSCANNER_COM (the COM number),
# TAVORIN_VSCANNER_SHIPPED (the Windows path of the file the scanner keeps
# of the last picture it shipped) and TAVORIN_VSCANNER_SHIPPED_FILE (its
# Linux path).
set -euo pipefail
prefix=""
vscanner=""
options=()
while (($#)); do
  case "$1" in
    --prefix=*) prefix="${1#--prefix=}" ;;
    --vscanner=*) vscanner="${1#--vscanner=}" ;;
    --) shift; break ;;
    *) options+=("$1") ;;
  esac
  shift
done
if [ -z "$prefix" ] || [ ! -x "$vscanner" ]; then
  echo "with-vscanner: the Wine prefix or the native virtual scanner is missing ($vscanner);" \
    "scripts/windows.sh builds both" >&2
  exit 1
fi
ports="$prefix/tavorin-ports"
mkdir -p "$ports"

# One registered port for this run; runs side by side take different ones.
com=0
for n in 5 6 7 8; do
  exec {lock}>"$ports/com$n.lock"
  if flock -n "$lock"; then
    com=$n
    break
  fi
  exec {lock}>&-
done
if [ "$com" = 0 ]; then
  echo "with-vscanner: every registered COM port is in use" >&2
  exit 1
fi

work="$(mktemp -d)"
scanner=""
cleanup() {
  if [ -n "$scanner" ]; then
    kill -TERM "$scanner" 2>/dev/null || true
    wait "$scanner" 2>/dev/null || true
  fi
  rm -f "$ports/com$com"
  rm -rf "$work"
}
trap cleanup EXIT

# The scanner's own port directory is private to this run; its alias there
# is not what Wine reaches.
mkdir -m 0700 "$work/runtime"
XDG_RUNTIME_DIR="$work/runtime" "$vscanner" --no-pace --save-shipped "$work/shipped.bin" \
  "${options[@]}" >"$work/started" 2>"$work/stderr" &
scanner=$!
for _ in $(seq 1 200); do
  [ -s "$work/started" ] && break
  kill -0 "$scanner" 2>/dev/null || break
  sleep 0.025
done
read -r _ device <"$work/started" || true
if [ -z "${device:-}" ] || [ ! -e "$device" ]; then
  echo "with-vscanner: the virtual scanner did not start: $(cat "$work/stderr")" >&2
  exit 1
fi
ln -sfn "$device" "$ports/com$com"

export TAVORIN_VSCANNER_COM="$com"
# Wine's drive Z: is the Linux root.
TAVORIN_VSCANNER_SHIPPED="Z:${work//\//\\}\\shipped.bin"
export TAVORIN_VSCANNER_SHIPPED TAVORIN_VSCANNER_SHIPPED_FILE="$work/shipped.bin"
status=0
"$@" || status=$?
exit "$status"
