#!/usr/bin/env bash
# Builds everything and starts the program with a virtual scanner attached.
# Until the program exists it builds everything and lists what it built.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"

echo "Built in $build/bin:"
for f in "$build"/bin/*; do
  [ -f "$f" ] && echo "  $(basename "$f")"
done
