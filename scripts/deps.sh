#!/usr/bin/env bash
# Installs the Debian packages the project builds and runs with, but only the
# ones that are missing, so that a machine that has them all is left alone and
# needs no network. Usage: scripts/deps.sh [package...] -- with names, those
# packages instead of the project's own list (the Windows build and the
# package check bring their extra tools this way).
set -euo pipefail

packages=(
  cmake ninja-build g++ clang clang-format libclang-rt-14-dev pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libtiff-dev libjpeg-dev libudev-dev
  xvfb xauth fonts-noto-cjk imagemagick qt6-translations-l10n
  ser2net python3-serial
)

if (($#)); then packages=("$@"); fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  if [ "$(id -u)" != 0 ]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
