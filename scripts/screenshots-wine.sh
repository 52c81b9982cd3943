#!/usr/bin/env bash
# Runs Tavorin_WIN.exe under Wine, with Windows' own platform, in a Wine
# desktop on Xvfb, a virtual scanner on one of its COM ports, and writes a
# PNG of each window it opens (main window, connection dialog, terminal,
# progress window, picture viewer), each with the frame Wine draws around
# it, as a Windows user would see them. Usage: scripts/screenshots-wine.sh
# [output directory, default screenshots-wine/]. Builds the Windows program
# first (scripts/windows.sh) when it is not built.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
out="$(realpath -m "${1:-screenshots-wine}")"
build=build-mingw
if [ ! -f "$build/bin/Tavorin_WIN.exe" ] ||
  { [ ! -x build/bin/virtual-scanner ] && [ ! -x build-win-posix/bin/virtual-scanner ]; }; then
  bash scripts/windows.sh "$build"
fi
bash scripts/deps.sh xvfb xauth wine64 wine fonts-wine fonts-noto-cjk locales
vscanner=build/bin/virtual-scanner
[ -x "$vscanner" ] || vscanner=build-win-posix/bin/virtual-scanner

# Code page 932, as a Japanese Windows has it: Wine takes it from a
# Japanese locale, which must exist on this machine.
locales=$(locale -a 2>/dev/null) || locales=
if ! grep -qi '^ja_JP\.utf-\?8$' <<<"$locales"; then
  sudo_cmd=()
  if [ "$(id -u)" != 0 ]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
fi

# A prefix of its own, with Wine's X11 driver (the test prefix has none).
export WINEPREFIX="$root/$build/wine-screens"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export LC_ALL=ja_JP.UTF-8
ports="$WINEPREFIX/tavorin-ports"
bash scripts/wine-prefix.sh "$WINEPREFIX"

work="$(mktemp -d)"
scanner=""
cleanup() {
  [ -n "$scanner" ] && kill -TERM "$scanner" 2>/dev/null || true
  wineserver -k >/dev/null 2>&1 || true
  rm -f "$ports/com5"
  rm -rf "$work"
}
trap cleanup EXIT
# Paced, so that the progress window can be seen over a running transfer.
mkdir -m 0700 "$work/runtime"
XDG_RUNTIME_DIR="$work/runtime" "$vscanner" --pace >"$work/started" &
scanner=$!
for _ in $(seq 100); do [ -s "$work/started" ] && break; sleep 0.1; done
read -r _ device <"$work/started"
ln -sfn "$device" "$ports/com5"

mkdir -p "$out" "$work/run"
cd "$work/run"
TAVORIN_SCREENSHOTS="Z:${out//\//\\}" TAVORIN_SCREENSHOTS_FRAMES=1 TAVORIN_SCREENSHOTS_PORT=5 \
  xvfb-run -a -s "-screen 0 1280x1024x24" \
  wine explorer /desktop=Tavorin,1280x1024 "$root/$build/bin/Tavorin_WIN.exe"
echo "Screenshots in $out:"
ls "$out"
