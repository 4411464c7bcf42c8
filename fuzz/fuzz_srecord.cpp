// Arbitrary bytes as S-record text, with the largest cartridge's limits: a
// fault code, or whole blocks that end with the last data record and carry
// its checksum, holding only blocks records write into; read in pieces of
// any size, or written out block by block as it is made, the text gives the
// same image or the same fault.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <vector>

#include "packages/flash_image.h"

using namespace ostrel;

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::span<const uint8_t> text(data, size);
  SpanSource source(text), again(text), third(text);
  BlockImage image(kLargestCartridgeSectors), pieces(kLargestCartridgeSectors);
  // The blocks put out; blank ones by count only.
  std::map<uint32_t, std::vector<uint8_t>> out;
  BlockImage spilled(kLargestCartridgeSectors,
                     {[&out](uint32_t block, std::span<const uint8_t> data) {
                        check(data.size() == kSectorSize);
                        if (isBlank(data))
                          out.erase(block);
                        else
                          out[block].assign(data.begin(), data.end());
                        return true;
                      },
                      [&out](uint32_t block, std::span<uint8_t> data) {
                        const auto b = out.find(block);
                        if (b == out.end())
                          std::fill(data.begin(), data.end(), 0xFF);
                        else
                          std::copy(b->second.begin(), b->second.end(), data.begin());
                        return true;
                      }});
  const FlashImageLoad r = readSRecords(source, image);
  const FlashImageLoad p = readSRecords(again, pieces, {}, 1024 + size % 700);
  const FlashImageLoad s = readSRecords(third, spilled);
  check(p.fault == r.fault && p.faultLines == r.faultLines);
  check(s.fault == r.fault && s.faultLines == r.faultLines && spilled.blocksHeld() <= 1);
  if (!r.fault.empty()) return 0;
  check(s.checksum == r.checksum && spilled.putAll(r.blockCount));
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
    const auto put = out.find(b);
    check(put == out.end() ? block.data() == blankSector().data() || isBlank(block)
                           : std::equal(block.begin(), block.end(), put->second.begin()));
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
