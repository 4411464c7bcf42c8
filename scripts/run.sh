#!/usr/bin/env bash
# The program's main job: software onto the cartridge.
# With a display: the customer window. With no module on /dev/ttyACM* or
# /dev/ttyUSB*, a simulated Ostrel module (ostrel-sim, demo cartridge) is
# started first and found through the virtual-port folder; the sample
# packages wait in the folder the LOAD dialog opens.
# Without a display (or under CI): a sample package is installed onto a
# simulated module's demo cartridge through ostrel-cli, the catalogue is
# printed before and after, and a picture is saved of the window (on a
# virtual display) listing the new software. A real module is never
# written to this way.
#   OSTREL_SIM_TYPE=8B bash scripts/run.sh   # simulate an Ostrel IV instead of an Ostrel III
#   OSTREL_PACKAGE=europe bash scripts/run.sh  # another sample package (samples/*.json)
set -euo pipefail
cd "$(dirname "$0")/.."
sim_pid=""
work="$(mktemp -d)"
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Every stage says what it does: on a fresh machine the packages and the
# build take minutes. On a terminal the build shows ninja's own [n/m] line;
# otherwise a line at every tenth of its steps.
stage() { echo "run.sh: $*"; }
stage "checking the Debian packages the build needs (scripts/setup.sh; installing them can take minutes)"
scripts/setup.sh
stage "configuring the build (cmake --preset release)"
cmake --preset release >"$work/configure.log" 2>&1 || { cat "$work/configure.log" >&2; exit 1; }
targets=(ostrel-fm ostrel-sim ostrel-cli ostrel_samples)
stage "building ${targets[*]} (only what changed is rebuilt)"
if [ -t 1 ]; then
  cmake --build --preset release --target "${targets[@]}"
else
  cmake --build --preset release --target "${targets[@]}" 2>&1 | tee "$work/build.log" | {
    shown=-1
    while IFS= read -r line; do
      [[ "$line" =~ ^\[([0-9]+)/([0-9]+)\] ]] || continue
      done_steps=${BASH_REMATCH[1]} steps=${BASH_REMATCH[2]}
      if ((done_steps * 10 / steps > shown)); then
        shown=$((done_steps * 10 / steps))
        echo "run.sh:   $done_steps of $steps build steps done"
      fi
    done
  } || { tail -40 "$work/build.log" >&2; exit 1; }
fi
bin=build/release
type="${OSTREL_SIM_TYPE:-84}"
data="${XDG_DATA_HOME:-$HOME/.local/share}/ostrel"
mkdir -p "$data"
window=1
{ [ -z "${DISPLAY:-}" ] || [ -n "${CI:-}" ]; } && window=""

# start_sim CARTRIDGE [--reset]: a simulated module with the demo cartridge;
# sets link to its terminal's name in the virtual-port folder.
start_sim() {
  "$bin/sim/ostrel-sim" --type "$type" --preset demo --quick --name "demo-$$" \
    --cartridge "$@" >"$work/sim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 50); do grep -q '^link:' "$work/sim.log" 2>/dev/null && break; sleep 0.1; done
  link="$(sed -n 's/^link: //p' "$work/sim.log")"
  [ -n "$link" ] || { cat "$work/sim.log" >&2; exit 1; }
  echo "Simulated module: $(head -1 "$work/sim.log" | sed 's/^ostrel-sim: //')"
}

if [ -n "$window" ]; then
  window_port=()
  if ! compgen -G "/dev/ttyACM*" >/dev/null && ! compgen -G "/dev/ttyUSB*" >/dev/null; then
    echo "No module attached."
    start_sim "$data/demo-$type.cart"  # kept between runs, like a real cartridge
    window_port=(--port "$link")  # this simulator, whatever others run about
  fi
  # The LOAD dialog opens in the program's folder.
  cp "$bin"/samples/*.bn "$bin/app/gui/"
  echo "The sample packages (LOAD) are in $bin/app/gui/: $(cd "$bin/samples" && echo *.bn)"
  "$bin/app/gui/ostrel-fm" "${window_port[@]}"
  exit 0
fi

package="${OSTREL_PACKAGE:-legacy_path}"
start_sim "$data/job-$type.cart" --reset  # the demo cartridge afresh on every run
cli=("$bin/app/cli/ostrel-cli" --port "$link" --quiet)

echo
echo "== On the cartridge: ostrel-cli list --rows"
"${cli[@]}" list --rows | tee "$work/before.txt"
echo
echo "== Installing samples/$package.json: ostrel-cli --yes install $package.bn"
echo "   (the customer build: the package is loaded, placed, burned and checked;"
echo "    --yes answers the program's questions, such as software already there)"
"${cli[@]}" --yes install "$bin/samples/$package.bn" | tee "$work/after.txt"
echo
echo "== New on the cartridge:"
diff "$work/before.txt" "$work/after.txt" | sed -n 's/^> /   /p' | grep -v 'space:' || true

mkdir -p screenshots
shot="$PWD/screenshots/ostrel-fm.png"
echo
stage "opening the customer window on a virtual display, on this simulator's port"
# The window looks at this run's simulator only: another one about would
# show another cartridge.
xvfb-run -a -s "-screen 0 1024x768x24" "$bin/app/gui/ostrel-fm" --port "$link" \
  --screenshot "$shot" --after 3000 >"$work/window.out" 2>&1 || true
if grep -q "^status: Device EXIST" "$work/window.out"; then
  echo "The customer window found the module at $link and listed its catalogue"
  echo "with the new software; its picture: $shot"
else
  echo "The window did not find the module at $link:" >&2
  cat "$work/window.out" >&2
  exit 1
fi
