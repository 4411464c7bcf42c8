#!/usr/bin/env bash
# Builds the Debian package, installs it, checks the installed programs as the
# tests check an installation, and purges it again.
# Usage: bash scripts/package.sh [--keep]   (as root or through sudo, Debian 12)
#   --keep  leave the package installed; the .deb stays in build/package/.
set -euo pipefail
cd "$(dirname "$0")/.."
keep=false
[ "${1:-}" = "--keep" ] && keep=true
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

scripts/setup.sh
build=build/package
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DOSTREL_TESTS=OFF -DOSTREL_BENCH=OFF >/dev/null
cmake --build "$build"
(cd "$build" && cpack -G DEB >/dev/null)
deb="$(ls -t "$build"/ostrel_*.deb | head -1)"
echo "package: $deb"
dpkg-deb --field "$deb" Package Version Architecture Depends Recommends

if dpkg-query -W -f='${Status}' ostrel 2>/dev/null | grep -q "install ok installed"; then
  echo "ostrel is already installed; purge it first (apt-get purge ostrel)" >&2
  exit 1
fi
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "./$deb" >/dev/null
trap '$keep || DEBIAN_FRONTEND=noninteractive $SUDO apt-get purge -y -qq ostrel >/dev/null' EXIT
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
bash tests/install/installed_programs.sh --installed /usr "$version" "$PWD"
dpkg -L ostrel | grep -c "^/usr/bin/ostrel" | xargs echo "programs installed:"
if ! $keep; then
  trap - EXIT
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get purge -y -qq ostrel >/dev/null
  ! command -v ostrel-cli >/dev/null || { echo "ostrel-cli still there after purge" >&2; exit 1; }
  echo "purged"
fi
