#!/usr/bin/env bash
# Installs what is needed, builds from scratch and runs every test.
# Usage: scripts/test.sh [preset]   (release by default; asan and tsan also work)
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-release}"
scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" -j "$(nproc)"
