// Arbitrary bytes as S-record text, with the largest cartridge's limits: a
// fault code, or whole blocks that end with the last data record and carry
// its checksum, holding only blocks records write into; read in pieces of
// any size, the text gives the same image or the same fault.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "packages/flash_image.h"

using namespace ostrel;

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::span<const uint8_t> text(data, size);
  SpanSource source(text), again(text);
  BlockImage image(kLargestCartridgeSectors), pieces(kLargestCartridgeSectors);
  const FlashImageLoad r = readSRecords(source, image);
  const FlashImageLoad p = readSRecords(again, pieces, {}, 1024 + size % 700);
  check(p.fault == r.fault && p.faultLines == r.faultLines);
  if (!r.fault.empty()) return 0;
  check(r.endAddress > 0 && r.endAddress <= kLargestImageBytes);
  check(r.blockCount == (r.endAddress + kSectorSize - 1) / kSectorSize);
  check(image.blocks() == r.blockCount);
  // A data line of n characters writes into at most two blocks.
  check(image.blocksHeld() <= 2 * (size / 12 + 1));
  check(p.checksum == r.checksum && p.endAddress == r.endAddress);
  // The checksum again, blank blocks byte by byte on another path.
  ImageChecksum c;
  for (uint32_t b = 0; b < r.blockCount; ++b) {
    const size_t n =
        size_t(std::min<uint64_t>(kSectorSize, r.endAddress - uint64_t(b) * kSectorSize));
    const std::span<const uint8_t> block = image.block(b);
    check(block.size() == kSectorSize);
    check(std::equal(block.begin(), block.end(), pieces.block(b).begin()));
    if (block.data() == blankSector().data()) {
      c.add(block.first(1));
      c.addBlank(n - 1);
    } else {
      c.add(block.first(n));
    }
  }
  check(c.value() == r.checksum);
  return 0;
}
