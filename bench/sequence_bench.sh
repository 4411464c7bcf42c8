#!/usr/bin/env bash
# Program + Verify of a whole 16 MiB image (the whole 8 MiB cartridge on an
# Ostrel I) on every generation through the serial component and
# `ostrel-sim --instant`: once on an unlimited line, once at the rate of a USB
# full-speed serial link (1000000 B/s in each direction). Prints one table,
# milliseconds per sector beside the protocol's floor.
#
# The eight runs spend nearly all their time waiting for quiet lines, so they
# run side by side (about 3 minutes instead of 12); SERIAL=1 runs them one
# after another.
#   bash bench/sequence_bench.sh [BUILD_DIR] [SECTORS]     # default build/bench, 256
#   SERIAL=1 bash bench/sequence_bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/bench}"
sectors="${2:-256}"
rate=1000000

cmake --build "$build" --target sequence_bench >/dev/null
exe="$build/bench/sequence_bench"

out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
runs=()
for throughput in 0 "$rate"; do
  for gen in I II III IV; do
    runs+=("$throughput-$gen")
  done
done
pids=()
for run in "${runs[@]}"; do
  args=(--csv --sectors "$sectors" --only "${run#*-}" --throughput "${run%%-*}")
  if [ "${SERIAL:-0}" = 1 ]; then
    "$exe" "${args[@]}" >"$out/$run" || true
  else
    "$exe" "${args[@]}" >"$out/$run" &
    pids+=("$!")
  fi
done
for pid in "${pids[@]}"; do wait "$pid" || true; done

for run in "${runs[@]}"; do
  [ -s "$out/$run" ] || echo "Ostrel ${run#*-},0,${run%%-*},,,,,no output"
  cat "$out/$run"
done | awk -F, '
  BEGIN {
    printf "| %-10s | %7s | %-12s | %-22s | %-22s | %-8s |\n", "generation", "sectors", "line",
           "program ms/sector", "verify ms/sector", "result"
    printf "|------------|---------|--------------|------------------------|------------------------|----------|\n"
  }
  {
    line = $3 == 0 ? "unlimited" : $3 " B/s"
    if ($2 == 0) {
      printf "| %-10s | %7s | %-12s | %-22s | %-22s | %-8s |\n", $1, "-", line, "-", "-", $8
      next
    }
    program = sprintf("%.1f (floor %.1f)", $4, $5)
    verify = sprintf("%.1f (floor %.1f)", $6, $7)
    printf "| %-10s | %7d | %-12s | %-22s | %-22s | %-8s |\n", $1, $2, line, program, verify, $8
  }'
