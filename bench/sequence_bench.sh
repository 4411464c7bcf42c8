#!/usr/bin/env bash
# Program + Verify of a whole 16 MiB image (the whole 8 MiB cartridge on an
# Ostrel I) on every generation through the serial component and
# `ostrel-sim --instant`, with the default link and the fast link: once on an
# unlimited line, once at the rate of a USB full-speed serial link (1000000 B/s
# in each direction). Prints one table, milliseconds per sector beside the
# floor, default and fast side by side with their ratio, then where the fast
# link's time goes.
#
# Runs that spend nearly all their time waiting (every default-link run, and
# the fast link on the limited line, which waits for the line) run side by
# side; the fast link on an unlimited line keeps the processor busy, so those
# runs come one after another at the end (about 2.5 minutes in all).
# SERIAL=1 runs everything one after another (about 15 minutes).
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
# A run is LINK-THROUGHPUT-GENERATION.
waiting=() busy=()
for throughput in 0 "$rate"; do
  for gen in I II III IV; do
    waiting+=("default-$throughput-$gen")
    if [ "$throughput" = 0 ]; then busy+=("fast-0-$gen"); else waiting+=("fast-$throughput-$gen"); fi
  done
done
start() {
  local run="$1" link throughput gen
  IFS=- read -r link throughput gen <<<"$run"
  "$exe" --csv --link "$link" --sectors "$sectors" --only "$gen" --throughput "$throughput" \
    >"$out/$run" || true
}
pids=()
for run in "${waiting[@]}"; do
  if [ "${SERIAL:-0}" = 1 ]; then
    start "$run"
  else
    start "$run" &
    pids+=("$!")
  fi
done
for pid in "${pids[@]}"; do wait "$pid" || true; done
for run in "${busy[@]}"; do start "$run"; done

for run in "${waiting[@]}" "${busy[@]}"; do
  IFS=- read -r link throughput gen <<<"$run"
  [ -s "$out/$run" ] || echo "Ostrel $gen,$link,0,$throughput,,,,,no output"
  cat "$out/$run"
done | awk -F, '
  # default: "185.0 (floor 170.0)"; fast: the time, on a limited line with
  # how far it lies above the bytes line time.
  function cell(link, t, floor, throughput) {
    if (link == "default") return sprintf("%.1f (floor %.1f)", t, floor)
    if (throughput == 0) return sprintf("%.1f", t)
    return sprintf("%.1f (transfer %+.0f%%)", t, 100 * (t / floor - 1))
  }
  {
    key = $4 SUBSEP $1
    if (!(key in seen)) { seen[key] = 1; order[++rows] = key; gen[key] = $1; line[key] = $4 }
    if ($3 == 0) { fail[key] = fail[key] " " $2 ": " $9; next }
    n[key] = $3
    ms[key, $2, "p"] = $5; ms[key, $2, "v"] = $7
    text[key, $2, "p"] = cell($2, $5, $6, $4); text[key, $2, "v"] = cell($2, $7, $8, $4)
    if ($9 != "ok") fail[key] = fail[key] " " $2 ": " $9
    if ($2 == "fast") {
      split($5 "," $10 "," $11 "," $7 "," $12 "," $13, c, ",")
      part[key, "program"] = parts(c[1], c[2], c[3])
      part[key, "verify"] = parts(c[4], c[5], c[6])
    }
  }
  # total | transfer | other waiting | host turn
  function parts(total, transfer, waiting) {
    return sprintf("%.1f | %.1f | %.1f | %.1f", total, transfer, waiting - transfer, total - waiting)
  }
  END {
    printf "| generation | sectors | line | program default | program fast | default/fast |"
    printf " verify default | verify fast | default/fast | result |\n"
    printf "|---|---|---|---|---|---|---|---|---|---|\n"
    for (i = 1; i <= rows; ++i) {
      k = order[i]
      printf "| %s | %s | %s |", gen[k], n[k] ? n[k] : "-", line[k] == 0 ? "unlimited" : line[k] " B/s"
      for (j = 1; j <= 2; ++j) {
        p = j == 1 ? "p" : "v"
        d = ms[k, "default", p]; f = ms[k, "fast", p]
        dt = d == "" ? "-" : text[k, "default", p]
        ft = f == "" ? "-" : text[k, "fast", p]
        ratio = d > 0 && f > 0 ? sprintf("%.1fx", d / f) : "-"
        printf " %s | %s | %s |", dt, ft, ratio
      }
      printf " %s |\n", k in fail ? substr(fail[k], 2) : "ok"
    }
    printf "\nWhere the fast link'"'"'s time goes, ms/sector:\n\n"
    printf "| generation | line | phase | total | transfer | other waiting | host'"'"'s turn |\n"
    printf "|---|---|---|---|---|---|---|\n"
    for (i = 1; i <= rows; ++i) {
      k = order[i]
      for (j = 1; j <= 2; ++j) {
        phase = j == 1 ? "program" : "verify"
        if (!((k, phase) in part)) continue
        printf "| %s | %s | %s | %s |\n", gen[k], line[k] == 0 ? "unlimited" : line[k] " B/s", phase,
          part[k, phase]
      }
    }
  }'
