#!/usr/bin/env bash
# Builds Tavorin for 64-bit Windows on this machine and tests it under Wine:
# Qt for Windows (scripts/qt-mingw.sh; built once, then taken from its
# cache), Ombrix.dll, Tavorin_WIN.exe and tavorin-capture.exe, the zip and
# the per-user installer a Windows user downloads; then every Windows test
# under Wine, against scanners on Linux pseudo-terminals that the Wine
# prefix knows as COM ports; then the reply latency and the idle-wait CPU
# under Wine beside the same figures natively.
# Usage: scripts/windows.sh [build-dir]   (default build-mingw)
#
# Installs what it needs when it is missing (MinGW-w64 with posix threads,
# Wine and its fonts, NSIS, GoogleTest's sources, Python for the scanner
# peer) and uses a private Wine prefix inside the build directory.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
build="${1:-build-mingw}"

packages=(g++-mingw-w64-x86-64-posix wine64 wine googletest python3 cmake ninja-build
  binutils-mingw-w64-x86-64 nsis librsvg2-bin imagemagick fonts-wine fonts-noto-cjk)
bash scripts/deps.sh "${packages[@]}"
qt="$(bash scripts/qt-mingw.sh | tail -n 1)"

# The Linux side of the tests (the virtual scanner) and of the figures:
# from the test build when there is one, else from a small build of its
# own.
native=build
if [ ! -f "$native/CMakeCache.txt" ]; then
  native=build-win-posix
  bash scripts/deps.sh
  cmake -S . -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTAVORIN_BUILD_APP=OFF >/dev/null
fi
cmake --build "$native" --target virtual-scanner link_figures -j"$(nproc)" >/dev/null

# A prefix of our own (scripts/wine-prefix.sh): nothing of the user's Wine
# set-up is touched, and the COM links the tests make go nowhere else.
mkdir -p "$build"
export WINEPREFIX="$root/$build/wine-prefix"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
bash scripts/wine-prefix.sh "$WINEPREFIX" --null-display
# One server for the whole run: a program then starts in a fraction of a
# second instead of seconds.
wineserver -p </dev/null >/dev/null 2>&1
trap 'wineserver -k 2>/dev/null || true' EXIT
# Wine's own background processes start with the first program and outlive
# it; started here, detached from any pipe, they cannot hold open the output
# of the first test program that a caller waits to read to its end.
wine cmd /c exit </dev/null >/dev/null 2>&1 || true

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$qt/lib/cmake/Qt6/qt.toolchain.cmake" \
  -DQT_CHAINLOAD_TOOLCHAIN_FILE="$root/cmake/mingw-w64-wine.cmake" \
  -DTAVORIN_NATIVE_VSCANNER="$root/$native/bin/virtual-scanner" >/dev/null
cmake --build "$build" -j"$(nproc)"
cmake --build "$build" --target windows_package
ctest --test-dir "$build" --output-on-failure --timeout 300 -j2

here="$("$native/bin/link_figures")"
wine_figures="$(cmake/wine-run.sh "$build/bin/link_figures.exe" | tr -d '\r')"
echo
printf '%-52s %12s %-10s %12s %-10s\n' "Figure" "native" "target" "Wine" "target"
paste -d'|' <(echo "$here") <(echo "$wine_figures") |
  awk -F'|' '{
    n = ($3 <= $4) ? "holds" : "MISSED"; w = ($7 <= $8) ? "holds" : "MISSED";
    printf "%-52s %8.3f %-3s <=%-7s %8.3f %-3s <=%-7s %s / %s\n",
           $1, $3, $2, $4, $7, $6, $8, n, w }'
echo
ls -l "$build"/Tavorin-*-win64.zip "$build"/Tavorin-*-win64-setup.exe
