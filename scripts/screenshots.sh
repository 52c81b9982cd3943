#!/usr/bin/env bash
# Runs Tavorin_WIN under Xvfb with a virtual scanner attached and writes a
# PNG of each window it opens (main window, connection dialog, terminal,
# progress window, picture viewer), so that anyone can see what a person
# would see. Usage: scripts/screenshots.sh [output directory, default screenshots/]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh

out=$(realpath -m "${1:-screenshots}")
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVORIN_BUILD_APP=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target Tavorin_WIN virtual-scanner Ombrix

log=$(mktemp)
# Paced, so that the progress window can be seen over a running transfer.
"$build/bin/virtual-scanner" --pace >"$log" &
scanner=$!
trap 'kill -TERM $scanner 2>/dev/null || true; wait $scanner 2>/dev/null || true; rm -f "$log"' EXIT
for _ in $(seq 100); do [ -s "$log" ] && break; sleep 0.1; done

mkdir -p "$out" "$build/run"
cd "$build/run"
TAVORIN_SCREENSHOTS="$out" xvfb-run -a -s "-screen 0 1280x1024x24" ../bin/Tavorin_WIN
echo "Screenshots in $out:"
ls "$out"
