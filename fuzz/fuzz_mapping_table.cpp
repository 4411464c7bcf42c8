// Arbitrary bytes as the two mapping-table sectors, then a short program of
// allocate / release / relocate / prune steps; the encoded table must decode
// back to itself and the in-use flags must agree with the words.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include "cartfs/mapping_table.h"

using namespace ostrel;

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

struct Reader {
  const uint8_t* data;
  std::size_t size;
  std::size_t at = 0;
  bool more() const { return at < size; }
  uint8_t byte() { return at < size ? data[at++] : 0; }
  uint16_t word() {
    const uint16_t high = byte();
    return static_cast<uint16_t>(high << 8 | byte());
  }
};

// After decode, each pool sector in use is the word of some logical sector
// 0..sectorCount, and every such word is marked.
void checkFlags(const MappingTable& table, uint16_t sectorCount) {
  std::vector<uint8_t> expected(std::size_t(sectorCount) + 1, 0);
  for (std::size_t logical = 0; logical <= sectorCount && logical < kMappingLogicalLimit;
       ++logical) {
    const uint16_t physical = table.words[logical];
    if (physical != UNMAPPED_SECTOR && physical <= sectorCount) expected[physical] = 1;
  }
  for (std::size_t p = 0; p <= sectorCount; ++p) check(table.physicalSectorInUse[p] == expected[p]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  Reader in{data, size};
  const uint8_t shape = in.byte();
  const uint16_t sectorCount = in.word();
  // Table bytes come from the input, padded or truncated to two sectors; the
  // shape byte can drop either half. A sparse expansion lets short inputs
  // reach valid tables: each input word gives a (position, value) pair.
  std::vector<uint8_t> image(kMappingImageBytes, (shape & 4) ? 0xFF : 0x00);
  if (shape & 8) {
    while (in.more() && in.at + 4 <= size) {
      const uint16_t wordIndex = in.word();
      const uint16_t value = in.word();
      image[2 * std::size_t(wordIndex)] = static_cast<uint8_t>(value >> 8);
      image[2 * std::size_t(wordIndex) + 1] = static_cast<uint8_t>(value);
    }
  } else {
    const std::size_t n = std::min(size - in.at, kMappingImageBytes);
    std::copy(data + in.at, data + in.at + n, image.begin());
    in.at += n;
  }
  if (shape & 16) {
    // Make the stored checksum right so the validity rules past it are reached.
    uint32_t sum = 0;
    for (std::size_t i = 0; i < kMappingChecksumWord; ++i)
      sum += image[2 * i] << 8 | image[2 * i + 1];
    image[2 * kMappingChecksumWord] = static_cast<uint8_t>(sum >> 8);
    image[2 * kMappingChecksumWord + 1] = static_cast<uint8_t>(sum);
  }
  const std::span<const uint8_t> all(image);
  const std::span<const uint8_t> low = (shape & 1) ? std::span<const uint8_t>() : all.first(65536);
  const std::span<const uint8_t> high = (shape & 2) ? std::span<const uint8_t>() : all.last(65536);

  auto table = std::make_unique<MappingTable>();
  const MappingReadOutcome outcome = decodeMappingTable(low, high, sectorCount, *table);
  if (outcome == MappingReadOutcome::NoData) return 0;
  check(mappingTableValid(*table) || outcome == MappingReadOutcome::FreshStarted ||
        outcome == MappingReadOutcome::Blank);
  checkFlags(*table, sectorCount);

  // Round trip: encode, decode, equal.
  const std::vector<uint8_t> encoded = encodeMappingTable(*table);
  auto again = std::make_unique<MappingTable>();
  const std::span<const uint8_t> enc(encoded);
  const MappingReadOutcome second =
      decodeMappingTable(enc.first(65536), enc.last(65536), sectorCount, *again);
  if (outcome == MappingReadOutcome::Valid) {
    check(second == MappingReadOutcome::Valid);
    check(*again == *table);
  }

  // A short program of table operations; the pool never hands out a used,
  // out-of-pool or table sector.
  const uint16_t poolTop = std::min<uint16_t>(sectorCount, kHighestPoolSector);
  std::vector<SectorRun> runs;
  // A bounded program keeps each run short; longer ones add nothing new.
  for (int step = 0; step < 64 && in.more(); ++step) {
    const uint8_t op = in.byte();
    const uint16_t a = in.word();
    switch (op % 4) {
      case 0: {
        const bool wasFree = table->physicalSectorInUse[0] == 0;
        const auto physical = allocatePhysicalSector(*table, a, sectorCount);
        if (physical) {
          check(*physical <= poolTop);
          check(table->words[a] == *physical);
          check(table->physicalSectorInUse[*physical] == 1);
          if (wasFree) check(*physical == 0);
        }
        break;
      }
      case 1:
        releaseLogicalSector(*table, a, sectorCount);
        if (a < kMappingLogicalLimit) check(table->words[a] == UNMAPPED_SECTOR);
        break;
      case 2: {
        const uint16_t count = in.byte();
        const uint16_t to = in.word();
        std::vector<uint16_t> before;
        for (std::size_t k = 0; k < count && a + k < kMappingWordCount; ++k) {
          before.push_back(table->words[a + k]);
        }
        if (relocateLogicalRun(*table, a, count, to) && to != a) {
          for (std::size_t k = 0; k < count; ++k) check(table->words[to + k] == before[k]);
        }
        break;
      }
      default:
        runs.push_back({a, static_cast<uint16_t>(in.byte())});
        pruneMappingTable(*table, runs, sectorCount);
        break;
    }
  }
  for (std::size_t i = 0; i < kMappingSignature.size(); ++i) {
    check(table->words[kMappingSignatureWord + i] == kMappingSignature[i]);
  }
  return 0;
}
