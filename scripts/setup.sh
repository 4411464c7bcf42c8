#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the GUI need.
# Idempotent, and quiet but for naming what it installs; run as root (or with sudo) on Debian 12.
set -euo pipefail
packages=(
  build-essential binutils cmake ninja-build g++ clang-14 libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev libudev-dev xvfb xauth x11-apps netpbm
  fonts-droid-fallback fonts-wqy-microhei fonts-ipafont-gothic qt6-translations-l10n
  socat srecord inotify-tools ccache time python3
  help2man desktop-file-utils
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  echo "setup.sh: installing ${#missing[@]} Debian packages: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
