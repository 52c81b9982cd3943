#!/usr/bin/env bash
# Builds the Debian package: a build of the program, the link library and
# the virtual scanner with Debian's compiler and hardening flags, installed
# under /usr, packed by CPack (cmake/Packaging.cmake says what goes where).
# Usage: scripts/package.sh [build-dir, default build-pkg]
# The last line printed is the path of the package.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh

# dpkg-buildflags gives the flags and dpkg-shlibdeps the dependencies.
if ! dpkg-query -W -f='${Status}' dpkg-dev 2>/dev/null | grep -q 'install ok installed'; then
  sudo_cmd=()
  if [ "$(id -u)" != 0 ]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends dpkg-dev
fi

build=${1:-build-pkg}
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cppflags=$(dpkg-buildflags --get CPPFLAGS)
# Given on the command line rather than through the environment, which
# CMake reads only when a build directory is first configured.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CFLAGS) $cppflags" \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $cppflags" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  -DCMAKE_SHARED_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  -DTAVORIN_BUILD_APP=ON -DTAVORIN_BUILD_TESTS=OFF -DTAVORIN_BUILD_BENCH=OFF \
  -DTAVORIN_BUILD_FUZZ=OFF -DTAVORIN_ASAN=OFF -DTAVORIN_TSAN=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"

# A package left from an earlier version must not pass for this one.
rm -f "$build"/tavorin_*.deb
(cd "$build" && cpack -G DEB)
shopt -s nullglob
packages=("$build"/tavorin_*.deb)
if ((${#packages[@]} != 1)); then
  echo "cpack did not leave exactly one package in $build" >&2
  exit 1
fi
realpath "${packages[0]}"
