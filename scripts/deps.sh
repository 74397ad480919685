#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
# Usage: scripts/deps.sh [extra packages...]
set -euo pipefail
packages=(cmake g++ make pkg-config googletest libgtest-dev libbenchmark-dev libgmp-dev
  libmpfr-dev freeglut3-dev libgl1-mesa-dev libglu1-mesa-dev libx11-dev libpng-dev libopenexr-dev clang
  libclang-rt-14-dev
  xvfb xauth xdotool x11-apps imagemagick parallel "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then exit 0; fi
if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages (run as root to install): ${missing[*]}" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
