#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for a bounded time.
# Usage: scripts/fuzz.sh [seconds per target, default 60]
# For a long run: scripts/fuzz.sh 3600 (the corpus in build-fuzz/corpus grows
# across runs).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh

seconds=${1:-60}
build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTAVORIN_BUILD_FUZZ=ON -DTAVORIN_BUILD_TESTS=OFF -DTAVORIN_BUILD_APP=OFF \
  -DTAVORIN_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target fuzz_readers fuzz_telnet -j"$(nproc)"

for target in readers telnet; do
  mkdir -p "$build/corpus/$target"
  "$build/bin/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 "$build/corpus/$target"
done
