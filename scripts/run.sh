#!/usr/bin/env bash
# Builds the program and opens the customer window. With no module on
# /dev/ttyACM* or /dev/ttyUSB*, a simulated Ostrel module (ostrel-sim, demo
# cartridge) is started first and found through the virtual-port folder.
# Without a display the window runs under Xvfb and a screenshot is saved.
#   OSTREL_SIM_TYPE=8B bash scripts/run.sh   # simulate an Ostrel IV instead of an Ostrel III
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release --target ostrel-fm ostrel-sim ostrel-cli
bin=build/release

sim_pid=""
cleanup() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true; }
trap cleanup EXIT

if ! compgen -G "/dev/ttyACM*" >/dev/null && ! compgen -G "/dev/ttyUSB*" >/dev/null; then
  type="${OSTREL_SIM_TYPE:-84}"
  data="${XDG_DATA_HOME:-$HOME/.local/share}/ostrel"
  mkdir -p "$data"
  "$bin/sim/ostrel-sim" --type "$type" --preset demo --quick --name "demo-$$" \
    --cartridge "$data/demo-$type.cart" > "$data/sim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 50); do grep -q '^link:' "$data/sim.log" 2>/dev/null && break; sleep 0.1; done
  echo "No module attached: simulating one ($(head -1 "$data/sim.log" | sed 's/^ostrel-sim: //'))"
fi

if [ -n "${DISPLAY:-}" ] && [ -z "${CI:-}" ]; then
  "$bin/app/gui/ostrel-fm"
else
  mkdir -p screenshots
  shot="$PWD/screenshots/ostrel-fm.png"
  xvfb-run -a -s "-screen 0 1024x768x24" "$bin/app/gui/ostrel-fm" --screenshot "$shot" --after 3000 2>/dev/null
  echo "The window was shown on a virtual display; its picture: $shot"
fi
