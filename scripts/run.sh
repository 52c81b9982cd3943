#!/usr/bin/env bash
# Builds everything and starts Tavorin_WIN with two virtual scanners attached,
# so that two slots can be tried without hardware. The scanners send at the
# line speed the program chooses (paced), as a real one would, and stop when
# the program exits.
#
# Without a display (a server, a container) the program runs under Xvfb;
# set TAVORIN_HEADLESS=offscreen to run without any window system at all.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVORIN_BUILD_APP=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target Tavorin_WIN virtual-scanner Ombrix

pids=()
logs=
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  # The scanners' output is only needed while they start.
  if [ -n "$logs" ]; then rm -rf "$logs"; fi
}
trap cleanup EXIT INT TERM

# Each scanner prints one line, "COM<n> <device>", once it is ready.
logs=$(mktemp -d)
n=0
for barcode in TAVORIN-0001 TAVORIN-0002; do
  n=$((n + 1))
  "$build/bin/virtual-scanner" --pace --barcode "$barcode" >"$logs/$n.out" 2>"$logs/$n.err" &
  pids+=($!)
  for _ in $(seq 100); do
    [ -s "$logs/$n.out" ] && break
    if ! kill -0 "${pids[-1]}" 2>/dev/null; then
      cat "$logs/$n.err" >&2
      echo "The virtual scanner did not start." >&2
      exit 1
    fi
    sleep 0.1
  done
  echo "Virtual scanner ready: $(head -n1 "$logs/$n.out") (bar code $barcode)"
done

echo "Starting Tavorin_WIN. In the window: press a slot's 開始待ち button, pick a"
echo "'(COM2xx)' port and press 通信開始; then type a command such as BEPLVL? or IMGSHP6F,"
echo "or press 実行 on the 画像受信(IMGSHP) tab to receive the scanner's picture."

# The program writes Tavorin.ini and received images into its current
# directory; run it from a directory of its own.
mkdir -p "$build/run"
cd "$build/run"
program="../bin/Tavorin_WIN"
if [ -n "${TAVORIN_HEADLESS:-}" ]; then
  QT_QPA_PLATFORM="$TAVORIN_HEADLESS" "$program"
elif [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  "$program"
else
  echo "No display found: running under Xvfb (nothing will be visible)."
  xvfb-run -a "$program"
fi
