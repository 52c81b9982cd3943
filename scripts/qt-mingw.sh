#!/usr/bin/env bash
# Builds Qt for 64-bit Windows with MinGW-w64 (posix threads) from Debian's
# own qt6-base source package, of exactly the host Qt's version: the host's
# moc, rcc and uic write code for their own version, and they are the tools
# the Windows build runs. Core, Gui, Widgets and Test, the qwindows and
# qoffscreen platforms, the windowsvista style and the GIF, ICO and JPEG
# image plugins.
#
# The result is installed into a cache folder outside the work tree, keyed by
# the Qt version, the compiler's version and this script's own text, so a
# second run costs nothing and every build of the project on this machine
# shares it. The last line printed is the prefix.
#
# Usage: scripts/qt-mingw.sh            (build when missing; print the prefix)
#        scripts/qt-mingw.sh --prefix   (print the prefix only, build nothing)
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"

bash scripts/deps.sh qt6-base-dev qt6-base-dev-tools g++-mingw-w64-x86-64-posix \
  binutils-mingw-w64-x86-64 cmake ninja-build dpkg-dev

deb_version="$(dpkg-query -W -f='${Version}' qt6-base-dev)"
qt_version="${deb_version%%+*}"
qt_version="${qt_version#*:}"
gcc_version="$(dpkg-query -W -f='${Version}' g++-mingw-w64-x86-64-posix)"
key="$(printf '%s\n%s\n' "$deb_version" "$gcc_version" | cat - "$0" | sha256sum | cut -c1-12)"
prefix="${XDG_CACHE_HOME:-$HOME/.cache}/tavorin/qt-$qt_version-mingw-$key"

if [ "${1:-}" = --prefix ]; then
  echo "$prefix"
  exit 0
fi
# The stamp is written last: a build that was cut short is never taken for
# a whole one.
if [ -f "$prefix/.tavorin-complete" ]; then
  echo "$prefix"
  exit 0
fi

sudo_cmd=()
if [ "$(id -u)" != 0 ]; then sudo_cmd=(sudo); fi

# Source packages come from the archive the machine already uses: a deb-src
# twin of each of its Debian entries, only when there is none yet.
if ! apt-get source --print-uris "qt6-base=$deb_version" >/dev/null 2>&1; then
  echo "Enabling Debian's source packages"
  list=/etc/apt/sources.list.d/tavorin-deb-src.sources
  tmp="$(mktemp)"
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && [ "$f" != "$list" ] || continue
    # One deb822 stanza after another; only stanzas of Debian's archive
    # that hold binary packages are copied.
    awk 'BEGIN { RS = ""; ORS = "\n\n" }
         /Types:[^\n]*deb([ \n]|$)/ && /debian/ {
           sub(/Types:[^\n]*/, "Types: deb-src"); print }' "$f" >>"$tmp"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    # One-line entries: "deb [options] URI suite components".
    awk '$1 == "deb" && /debian/ {
           sub(/^deb /, ""); uri_etc = $0
           print "Types: deb-src"
           n = split(uri_etc, w, " "); i = 1
           if (w[1] ~ /^\[/) { while (w[i] !~ /\]$/) i++; i++ }
           print "URIs: " w[i]; print "Suites: " w[i + 1]
           comps = ""; for (j = i + 2; j <= n; j++) comps = comps " " w[j]
           print "Components:" comps; print "" }' "$f" >>"$tmp"
  done
  if [ ! -s "$tmp" ]; then
    echo "qt-mingw: no Debian archive among the machine's package sources" >&2
    exit 1
  fi
  "${sudo_cmd[@]}" install -m 0644 "$tmp" "$list"
  rm -f "$tmp"
  "${sudo_cmd[@]}" apt-get update -qq
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/tavorin-qt.XXXXXX")"
trap 'rm -rf "$work"' EXIT
cd "$work"
echo "Fetching qt6-base $deb_version"
# --download-only, then dpkg-source -x: Debian's patches are applied as the
# package's own build applies them.
apt-get source --download-only -qq "qt6-base=$deb_version"
dpkg-source -x --no-check ./qt6-base_*.dsc src >/dev/null

# The compilers by their posix names; the runtime stays shared (libstdc++,
# libgcc, winpthreads as DLLs), as every program built against this Qt uses
# it.
mkdir -p "$prefix"
cat >"$prefix/mingw-posix.cmake" <<'EOF'
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF

# -no-feature-direct2d1_1 rather than -no-direct2d: in this version the
# qwindows plugin's DirectWrite font database is built only with Direct2D.
# Debian's source drops the wintab sources, hence no tablet events.
configure_line=(-prefix "$prefix" -release -shared -nomake examples -nomake tests
  -qt-host-path /usr -no-dbus -no-opengl -no-icu -no-feature-direct2d1_1
  -qt-zlib -qt-libpng -qt-libjpeg -qt-pcre -qt-freetype -qt-harfbuzz
  -qt-doubleconversion -gif -ico -no-feature-sql -no-feature-network
  -no-feature-xml -no-feature-concurrent -no-feature-printsupport
  -no-feature-vulkan -no-feature-zstd -no-feature-tabletevent
  -no-feature-androiddeployqt)
mkdir build
cd build
echo "Configuring Qt $qt_version for Windows"
../src/configure "${configure_line[@]}" -- -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$prefix/mingw-posix.cmake" \
  -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake >configure.log 2>&1 ||
  { tail -40 configure.log >&2; exit 1; }
echo "Building Qt $qt_version for Windows (about 20 minutes on 2 cores)"
nice cmake --build . --parallel "$(nproc)" >build.log 2>&1 || { tail -40 build.log >&2; exit 1; }
cmake --install . --strip >/dev/null

# Where the source came from and how it was configured, for the licence
# texts that travel with the Windows program.
{
  echo "Qt $qt_version for Windows, built from Debian's source package qt6-base $deb_version"
  echo "(apt-get source qt6-base=$deb_version; https://sources.debian.org/src/qt6-base/$deb_version/)"
  echo "with MinGW-w64 GCC $gcc_version (posix threads), configured as:"
  echo "  configure ${configure_line[*]}"
} >"$prefix/SOURCE.txt"
# Qt's own licence texts and Debian's copyright file, which names every
# third-party part built into these DLLs (zlib, libpng, libjpeg, PCRE2,
# FreeType, HarfBuzz …) with its licence.
mkdir -p "$prefix/licenses"
cp "$work"/src/LICENSES/*.txt "$prefix/licenses/"
cp "$work"/src/debian/copyright "$prefix/licenses/debian-copyright.txt"
touch "$prefix/.tavorin-complete"
cd "$root"
echo "$prefix"
