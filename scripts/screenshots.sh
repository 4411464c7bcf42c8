#!/usr/bin/env bash
# Takes the README's pictures of the window on a virtual screen (Xvfb, no
# window manager): the customer window with the demo cartridge of a simulated
# Ostrel III, the engineering window, the fault box of a module that reports
# an unknown type code, and the customer window during a burn at a real link
# speed (23040 bytes/s) in each language and on an 800x600 screen. "wait"
# adds the progress dialog while the catalogue of a slow module is read
# during detection, "erasing" the engineering window during ERASE.
#   bash scripts/screenshots.sh                       # docs/*.png at 1024x768
#   OSTREL_SCREEN=800x600 OSTREL_SHOTS="customer wait" bash scripts/screenshots.sh build/release /tmp/shots
set -euo pipefail
cd "$(dirname "$0")/.."
bin="${1:-build/release}"
out="${2:-docs}"
screen="${OSTREL_SCREEN:-1024x768}"
shots="${OSTREL_SHOTS:-customer engineering fault burning-en burning-zh-TW burning-zh-CN burning-ja burning-800x600}"

for tool in xvfb-run xwd xwininfo xwdtopnm pnmpaste pnmtopng; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run scripts/setup.sh" >&2; exit 1; }
done
if [ "$bin" = build/release ] && [ ! -f build/release/build.ninja ]; then
  cmake --preset release >/dev/null
fi
cmake --build "$bin" --target ostrel-fm ostrel-fm-rd ostrel-sim ostrel_samples >/dev/null
samples="$(cd "$bin/samples" && pwd)"
mkdir -p "$out"
out="$(cd "$out" && pwd)"

work="$(mktemp -d)"
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Runs inside the virtual display: starts the window, waits, saves the screen.
# Xvfb leaves a window that lies wholly inside another one black in the
# root's picture, though the window holds its own: each mapped top-level
# window is pasted over the root's picture, bottom to top.
cat >"$work/capture.sh" <<'CAPTURE'
program="$1" seconds="$2" png="$3" tmp="$(mktemp -d)"
shift 3
"$program" "$@" 2>/dev/null &
app=$!
sleep "$seconds"
xwd -root -silent | xwdtopnm 2>/dev/null >"$tmp/screen.ppm"
xwininfo -root -children | grep -E '^ +0x' | tac | while read -r id rest; do
  xwininfo -id "$id" | grep -q IsViewable || continue
  geometry="$(grep -oE '[0-9]+x[0-9]+\+[0-9]+\+[0-9]+' <<<"$rest" | head -1)" || continue
  IFS='x+' read -r w h x y <<<"$geometry"
  [ "$w" -gt 3 ] && [ "$h" -gt 3 ] || continue
  xwd -id "$id" -silent | xwdtopnm 2>/dev/null >"$tmp/window.ppm" &&
    pnmpaste "$tmp/window.ppm" "$x" "$y" "$tmp/screen.ppm" >"$tmp/next.ppm" 2>/dev/null &&
    mv "$tmp/next.ppm" "$tmp/screen.ppm"
done
pnmtopng <"$tmp/screen.ppm" >"$png"
kill "$app" 2>/dev/null || true
wait "$app" 2>/dev/null || true
rm -rf "$tmp"
CAPTURE

# One shot: a private virtual-port folder, so only this run's module is found.
#   shot NAME SCREEN PROGRAM SECONDS "PROGRAM-ARGS" SIM-ARGS...
shot() {
  local name="$1" size="$2" program="$3" seconds="$4" args="$5"
  shift 5
  local run="$work/$name"
  mkdir -m 0700 -p "$run"
  export XDG_RUNTIME_DIR="$run"
  "$bin/sim/ostrel-sim" --quick --name "$name" --cartridge "$run/cart" "$@" >"$run/sim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 50); do grep -q '^link:' "$run/sim.log" 2>/dev/null && break; sleep 0.1; done
  # Message boxes stay open for the picture.
  # shellcheck disable=SC2086  # the program's arguments are words
  xvfb-run -a -s "-screen 0 ${size}x24" \
    bash "$work/capture.sh" "$bin/app/gui/$program" "$seconds" "$out/$name.png" $args
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  sim_pid=""
  echo "$out/$name.png"
}

# The customer window some sectors into a burn: a sample package is loaded and
# burnt as soon as the module is found (questions answered Yes). The burn is
# cut off by the picture, so the journal it leaves for its module (an ID of
# its own) goes with it.
#   burning NAME SCREEN LANGUAGE PACKAGE
burning() {
  shot "$1" "$2" ostrel-fm 18 "--language $3 --press Button2,Button1 --open $samples/$4" \
    --type 84 --preset demo --throughput 23040 --aux "00 00 00 07" --id "00 01 51 09"
  rm -f "$bin"/app/gui/00015109_*BURN.JOURNAL
}

for s in $shots; do
  demo=(--type 84 --preset demo --aux "00 00 00 07" --id "00 01 51 00")
  case "$s" in
    customer) shot customer "$screen" ostrel-fm 4 "" "${demo[@]}" ;;
    engineering) shot engineering "$screen" ostrel-fm-rd 4 "" "${demo[@]}" ;;
    fault) shot fault "$screen" ostrel-fm 3 "" --type 99 ;;
    # 64 KiB of catalogue at 20 kB/s: the dialog stays up for about three seconds.
    wait) shot wait "$screen" ostrel-fm 2.5 "" --type 84 --preset demo --throughput 20000 ;;
    burning-en) burning burning-en "$screen" 0 europe.bn ;;
    burning-zh-TW) burning burning-zh-TW "$screen" 1 europe.bn ;;
    burning-zh-CN) burning burning-zh-CN "$screen" 2 europe.bn ;;
    burning-ja) burning burning-ja "$screen" 3 europe.bn ;;
    # The smallest screen, with a directory name that carries an accent.
    burning-800x600) burning burning-800x600 800x600 0 legacy_path.bn ;;
    # A chip erase that takes its usual 30 s.
    erasing) shot erasing "$screen" ostrel-fm-rd 12 "--press Button_Erase" --type 84 --preset demo --chip-erase-ms 30000 ;;
    *) echo "unknown shot $s (customer, engineering, fault, wait, burning-en, burning-zh-TW, burning-zh-CN, burning-ja, burning-800x600, erasing)" >&2; exit 2 ;;
  esac
done
