#!/usr/bin/env bash
# Conversions as a user runs them: whole processes, file to file, side by
# side with the platform's tools, in alternating runs. Prints the median time
# of each side, their ratio and each side's peak resident memory, after
# checking that both sides wrote the same bytes.
#   S-record to image: `ostrel-pkg srec2bin` against
#     `objcopy -I srec -O binary --gap-fill 0xff IN OUT && sync OUT` and
#     `srec_cat IN -fill 0xFF 0 END -o OUT -binary && sync OUT` (ostrel-pkg
#     flushes its output to the disk before it ends, so the others do too),
#     on 16 MiB of random bytes from address 0 in 32-byte S3 records, and on
#     the same with three 1 MiB gaps, none at the end;
#   package to image: `ostrel-pkg unpack` of a 200 MiB package against
#     copying the package file with `dd bs=1M conv=fsync`.
#   bash bench/convert_compare.sh [BUILD_DIR] [RUNS]      # default build/release, 7
#   OLD_PKG=/path/to/an/older/ostrel-pkg bash bench/convert_compare.sh   # a third column
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/release}"
runs="${2:-7}"
pkg="$(realpath "$build/packages/ostrel-pkg")"
[ -x "$pkg" ] || { echo "no $pkg: build the release preset first" >&2; exit 2; }
for tool in objcopy srec_cat python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "needs $tool (scripts/setup.sh)" >&2; exit 2; }
done
work="$(mktemp -d "${TMPDIR:-/tmp}/ostrel-convert-XXXXXX")"
trap 'rm -rf "$work"' EXIT
cd "$work"

# The inputs and what each conversion must give. Random bytes from a fixed
# draw; records as objcopy writes them (S0 header, CR LF, S7 end).
python3 - <<'EOF'
import random
draw = random.Random(1)
image = draw.randbytes(16 << 20)
def srecords(gaps, path):
    lines = ['S0070000722E7333B2']
    for a in range(0, len(image), 32):
        if any(g <= a < g + (1 << 20) for g in gaps):
            continue
        record = bytes([37]) + a.to_bytes(4, 'big') + image[a:a + 32]
        lines.append('S3' + record.hex().upper() + '%02X' % (~sum(record) & 0xFF))
    lines.append('S70500000000FA')
    open(path, 'w', newline='').write('\r\n'.join(lines) + '\r\n')
    expected = bytearray(image)
    for g in gaps:
        expected[g:g + (1 << 20)] = b'\xff' * (1 << 20)
    open(path + '.expected', 'wb').write(expected)
srecords([], 'dense.s3')
srecords([2 << 20, 7 << 20, 12 << 20], 'gaps.s3')
# 200 MiB of random blocks, block 1 an empty catalogue; unpacked, block 1 is blank.
package = bytearray(random.Random(2).randbytes(200 << 20))
package[65536:131072] = b'\xa1\x1e' + bytes(65534)
open('package.img', 'wb').write(package)
package[65536:131072] = b'\xff' * 65536
open('package.expected', 'wb').write(package)
EOF
"$pkg" pack package.img -o package.bn >/dev/null
rm package.img

# run NAME OUT COMMAND...: one timed run; appends "seconds KiB" to NAME.times.
run() {
  local name="$1" out="$2"
  shift 2
  rm -f "$out"
  local start end
  start=$(date +%s%N)
  /usr/bin/time -f "%M" -o "$name.rss" "$@" >/dev/null 2>"$name.err" ||
    { echo "$name failed:" >&2; cat "$name.err" >&2; exit 1; }
  end=$(date +%s%N)
  echo "$(( (end - start) / 1000 )) $(tail -1 "$name.rss")" >>"$name.times"
}
# median FILE COLUMN
median() { sort -n -k"$2" "$1" | awk -v c="$2" '{v[NR] = $c} END {print v[int((NR + 1) / 2)]}'; }

sides=(ours objcopy srec_cat)
[ -n "${OLD_PKG:-}" ] && sides+=(older)
for input in dense gaps; do
  size=$(stat -c %s "$input.s3.expected")
  for ((i = 0; i < runs; i++)); do
    run "$input-ours" "$input.ours" "$pkg" srec2bin "$input.s3" -o "$input.ours"
    run "$input-objcopy" "$input.objcopy" sh -c \
      "objcopy -I srec -O binary --gap-fill 0xff $input.s3 $input.objcopy && sync $input.objcopy"
    run "$input-srec_cat" "$input.srec_cat" sh -c \
      "srec_cat $input.s3 -fill 0xFF 0 $size -o $input.srec_cat -binary && sync $input.srec_cat"
    [ -n "${OLD_PKG:-}" ] && run "$input-older" "$input.older" "$OLD_PKG" srec2bin "$input.s3" -o "$input.older"
  done
  for side in "${sides[@]}"; do
    cmp -s "$input.$side" "$input.s3.expected" || { echo "$input: $side wrote another image" >&2; exit 1; }
  done
done
for ((i = 0; i < runs; i++)); do
  run unpack-ours package.ours "$pkg" unpack package.bn -o package.ours
  run unpack-dd package.dd dd if=package.bn of=package.dd bs=1M conv=fsync status=none
  [ -n "${OLD_PKG:-}" ] && run unpack-older package.older "$OLD_PKG" unpack package.bn -o package.older
done
cmp -s package.ours package.expected || { echo "unpack wrote another image" >&2; exit 1; }
cmp -s package.dd package.bn || { echo "dd copied another file" >&2; exit 1; }
[ -z "${OLD_PKG:-}" ] || cmp -s package.older package.expected || { echo "the older unpack wrote another image" >&2; exit 1; }

# row WHAT OURS REFERENCE: medians of time (microseconds) and peak memory (KiB).
row() {
  awk -v what="$1" -v t="$(median "$2.times" 1)" -v rt="$(median "$3.times" 1)" \
    -v m="$(median "$2.times" 2)" -v rm="$(median "$3.times" 2)" 'BEGIN {
      ratio = t <= rt ? sprintf("%.2fx faster", rt / t) : sprintf("%.2fx the time", t / rt)
      printf "| %s | %.3f s | %.3f s | %s | %.1f MiB | %.1f MiB |\n", what, t / 1e6, rt / 1e6, ratio,
        m / 1024, rm / 1024
    }'
}
echo "Whole processes, median of $runs alternating runs, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo '| conversion | ostrel-pkg | reference | ostrel-pkg against it | ostrel-pkg peak RSS | reference peak RSS |'
echo '|---|---|---|---|---|---|'
row 'srec2bin 16 MiB, against objcopy --gap-fill 0xff + sync' dense-ours dense-objcopy
row 'srec2bin 16 MiB with three 1 MiB gaps, against objcopy' gaps-ours gaps-objcopy
row 'srec2bin 16 MiB, against srec_cat -fill 0xFF + sync' dense-ours dense-srec_cat
row 'srec2bin 16 MiB with gaps, against srec_cat' gaps-ours gaps-srec_cat
row 'unpack of a 200 MiB package, against dd conv=fsync of the package' unpack-ours unpack-dd
if [ -n "${OLD_PKG:-}" ]; then
  echo
  echo "The same for $OLD_PKG (reference column: the older program):"
  echo
  row 'srec2bin 16 MiB' dense-ours dense-older
  row 'srec2bin 16 MiB with gaps' gaps-ours gaps-older
  row 'unpack of 200 MiB' unpack-ours unpack-older
fi
