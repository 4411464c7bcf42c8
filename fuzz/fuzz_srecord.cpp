// Arbitrary bytes as S-record text: a fault code and no image, or whole
// blocks that end with the last data record and carry its checksum.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "packages/flash_image.h"

using namespace ostrel;

namespace {

constexpr uint64_t kFuzzImageLimit = 64 * kSectorSize;

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const FlashImageLoad r =
      convertSRecords(std::span<const uint8_t>(data, size), 4, {}, kFuzzImageLimit);
  if (!r.fault.empty()) {
    check(r.image.empty());
    return 0;
  }
  check(r.endAddress > 0 && r.endAddress <= kFuzzImageLimit);
  check(r.blockCount == (r.endAddress + kSectorSize - 1) / kSectorSize);
  check(r.image.size() == uint64_t(r.blockCount) * kSectorSize);
  check(r.checksum == imageChecksum(std::span<const uint8_t>(r.image).first(r.endAddress)));
  std::vector<BlockRecord> table(8);
  planImageBlocks(r.image, table);
  return 0;
}
