#!/usr/bin/env bash
# Several modules at once against one, whole processes: `ostrel-cli --mode 1
# --yes program IMAGE` on one simulated module, then the same command on four
# (`--port` four times: a child ostrel-cli per module), each module an
# `ostrel-sim --quick` Ostrel IV at THROUGHPUT bytes per second in each
# direction. The rounds alternate (one, four, one, four, ...) so both see the
# same load of the machine. Prints the seconds of every round, the mean of
# each and their ratio, and the cores of the machine and its load.
#   bash bench/line_bench.sh [BUILD_DIR] [SECTORS] [ROUNDS]   # build/release, 32, 3
#   THROUGHPUT=0 bash bench/line_bench.sh                      # unlimited line
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/release}"
sectors="${2:-32}"
rounds="${3:-3}"
rate="${THROUGHPUT:-1000000}"
modules=4

cmake --build "$build" --target ostrel-cli ostrel-sim >/dev/null
cli="$PWD/$build/app/cli/ostrel-cli"
sim="$PWD/$build/sim/ostrel-sim"

work="$(mktemp -d)"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -m 700 "$work/ports"
# The program's per-module files (journals) go beside a copy of the program.
cp "$cli" "$work/ostrel-cli"
cli="$work/ostrel-cli"
head -c $((sectors * 65536)) /dev/urandom >"$work/image.bin"

ports=()
for n in $(seq "$modules"); do
  "$sim" --port-dir "$work/ports" --name "m$n" --quick --type 89 --throughput "$rate" \
    --id "BE 0C 00 0$n" --cartridge "$work/cart$n" --preset blank >/dev/null 2>&1 &
  pids+=("$!")
  ports+=(--port "$work/ports/m$n")
done
for n in $(seq "$modules"); do
  for _ in $(seq 100); do [ -L "$work/ports/m$n" ] && break; sleep 0.1; done
done

seconds() {  # runs the command, prints its wall-clock seconds; fails with it
  local start end
  start=$(date +%s.%N)
  "$@" >"$work/out" 2>&1 || { cat "$work/out" >&2; return 1; }
  end=$(date +%s.%N)
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }'
}

one=() four=()
for r in $(seq "$rounds"); do
  one+=("$(seconds "$cli" --port "$work/ports/m1" --mode 1 --yes program "$work/image.bin")")
  four+=("$(seconds "$cli" "${ports[@]}" --mode 1 --yes program "$work/image.bin")")
  echo "round $r: one module ${one[-1]} s, $modules modules ${four[-1]} s"
done
mean() { printf '%s\n' "$@" | awk '{ s += $1 } END { printf "%.2f", s / NR }'; }
m1=$(mean "${one[@]}")
m4=$(mean "${four[@]}")
echo
echo "program of $sectors sectors (Ostrel IV, ostrel-sim --quick, line $rate B/s)"
echo "one module:  $m1 s"
echo "$modules modules: $m4 s  ($(awk -v a="$m4" -v b="$m1" 'BEGIN { printf "%.2f", a / b }') x one)"
echo "cores: $(nproc), load average: $(cut -d' ' -f1-3 /proc/loadavg)"
