#!/usr/bin/env bash
# Builds Ombrix.dll with MinGW-w64 and runs the link library's Windows tests
# under Wine, against scanners played on Linux pseudo-terminals; then prints
# the reply latency and the idle-wait CPU under Wine beside the same figures
# natively. Usage: scripts/windows.sh [build-dir]   (default build-mingw)
#
# Installs what it needs when it is missing (MinGW-w64 with posix threads,
# Wine, GoogleTest's sources, Python for the scanner peer) and uses a private
# Wine prefix inside the build directory.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
build="${1:-build-mingw}"

packages=(g++-mingw-w64-x86-64-posix wine64 wine googletest python3 cmake ninja-build
  binutils-mingw-w64-x86-64)
bash scripts/deps.sh "${packages[@]}"

# A prefix of our own: nothing of the user's Wine set-up is touched, and the
# COM links the tests make go nowhere else. Made before any dosdevices link;
# the null display driver gives real windows without an X server.
mkdir -p "$build"
export WINEPREFIX="$root/$build/wine-prefix"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Making the Wine prefix in $WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  wineserver -w
fi
# One server for the whole run: a program then starts in a fraction of a
# second instead of seconds.
wineserver -p </dev/null >/dev/null 2>&1
trap 'wineserver -k 2>/dev/null || true' EXIT
# Wine's own background processes start with the first program and outlive
# it; started here, detached from any pipe, they cannot hold open the output
# of the first test program that a caller waits to read to its end.
wine cmd /c exit </dev/null >/dev/null 2>&1 || true

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-wine.cmake" >/dev/null
cmake --build "$build" -j2
ctest --test-dir "$build" --output-on-failure --timeout 120 -j2

# The figures: natively from the test build when there is one, else from a
# small build of the library and the figures program alone.
native=build
if [ ! -f "$native/CMakeCache.txt" ]; then
  native=build-win-posix
  bash scripts/deps.sh
  cmake -S . -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTAVORIN_BUILD_APP=OFF >/dev/null
fi
cmake --build "$native" --target link_figures -j2 >/dev/null
here="$("$native/bin/link_figures")"
wine_figures="$(cmake/wine-run.sh "$build/bin/link_figures.exe" | tr -d '\r')"
echo
printf '%-52s %12s %-10s %12s %-10s\n' "Figure" "native" "target" "Wine" "target"
paste -d'|' <(echo "$here") <(echo "$wine_figures") |
  awk -F'|' '{
    n = ($3 <= $4) ? "holds" : "MISSED"; w = ($7 <= $8) ? "holds" : "MISSED";
    printf "%-52s %8.3f %-3s <=%-7s %8.3f %-3s <=%-7s %s / %s\n",
           $1, $3, $2, $4, $7, $6, $8, n, w }'
