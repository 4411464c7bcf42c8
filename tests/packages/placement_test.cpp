// First fit and the two compactions as pure rules: where software goes, what
// the new image holds and what the sector plan says afterwards.
#include "packages/placement.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/catalogue_entries.h"

namespace ostrel {
namespace {

using test::catalogue;
using test::Soft;

std::vector<uint16_t> starts(const CartridgeCatalogue& c) {
  std::vector<uint16_t> out;
  for (std::size_t i = 0; i < c.header.entryCount; ++i) out.push_back(c.entries[i].startSector);
  return out;
}

TEST(Placement, FirstFitBehindTheBaseSoftware) {
  const std::vector<Soft> spaced = {{0, 10}, {20, 10}, {30, 10}};
  struct Case {
    const char* what;
    std::vector<Soft> entries;
    uint16_t n;
    bool gap;
    uint32_t start;
  } cases[] = {
      {"the gap behind the base software", spaced, 8, true, 10},
      {"a gap just large enough", spaced, 10, true, 10},
      {"behind the last entry", spaced, 11, false, 40},
      {"only the base software", {{0, 4}}, 3, false, 4},
      {"an entry inside another opens no gap", {{0, 4}, {4, 10}, {6, 1}, {20, 2}}, 5, true, 14},
      {"behind the entry that ends last", {{0, 4}, {4, 20}, {6, 2}}, 5, false, 24},
      {"a one-sector base software leaves sector 1 to the FAT", {{0, 1}, {10, 2}}, 3, true, 2},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    const FirstFit fit = firstFit(*catalogue(k.entries), k.n);
    EXPECT_EQ(fit.gap, k.gap);
    EXPECT_EQ(fit.start, k.start);
  }
  const auto c = catalogue(spaced);
  // A larger base software needs the room of the software right behind it.
  EXPECT_TRUE(baseNeedsRoom(*c, 21));
  EXPECT_FALSE(baseNeedsRoom(*c, 20));
  EXPECT_FALSE(baseNeedsRoom(*catalogue({{0, 4}}), 40));
}

// A byte pattern per sector, independent of the code under test.
std::vector<uint8_t> sectorData(uint32_t tag) {
  std::vector<uint8_t> d(kSectorSize);
  for (std::size_t i = 0; i < d.size(); ++i) d[i] = uint8_t((i * 31 + tag * 7 + 1) % 251);
  return d;
}

TEST(Placement, CompactionsMoveSoftwareAndPlanItsSectors) {
  struct Case {
    const char* what;
    std::vector<Soft> entries;
    uint16_t sectorCount;
    bool descending;
    std::vector<uint16_t> pendingStarts;  // entries planned by an installation not yet written
    std::vector<uint16_t> expectedStarts;
  };
  const Case cases[] = {
      {"ascending", {{0, 4}, {10, 5}, {20, 10}}, 40, false, {}, {0, 4, 9}},
      {"descending", {{0, 4}, {10, 5}, {20, 10}}, 100, true, {}, {0, 85, 90}},
      {"only entry 1, ascending", {{0, 4}}, 40, false, {}, {0}},
      {"only entry 1, descending", {{0, 4}}, 40, true, {}, {0}},
      {"aliases move together",
       {{0, 4}, {10, 3, "A"}, {10, 3, "A2"}, {20, 2}},
       40,
       false,
       {},
       {0, 4, 4, 7}},
      {"pending entry moves without a gap", {{0, 4}, {4, 3}, {9, 2}}, 40, false, {4}, {0, 4, 7}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    auto working = catalogue(k.entries);
    const auto before = *working;
    std::vector<BlockRecord> table(k.sectorCount);
    // The cartridge's sectors hold their software; pending software lives in
    // its planned data only.
    std::vector<uint8_t> backup(std::size_t(k.sectorCount) * kSectorSize, 0xFF);
    std::map<uint16_t, std::vector<uint8_t>> planned;
    for (const Soft& s : k.entries) {
      const bool pending = std::find(k.pendingStarts.begin(), k.pendingStarts.end(), s.start) !=
                           k.pendingStarts.end();
      for (uint16_t f = 0; f < s.count; ++f) {
        const auto data = sectorData(s.start + f);
        if (pending) {
          planned[uint16_t(s.start + f)] = data;
          planSectorWrite(table[s.start + f], data, true, uint16_t(200 + f));
        } else {
          std::copy(data.begin(), data.end(),
                    backup.begin() + ptrdiff_t((s.start + f) * kSectorSize));
        }
      }
    }
    const auto moves = k.descending ? descendingPass(*working, table, k.sectorCount)
                                    : ascendingPass(*working, table);
    EXPECT_EQ(starts(*working), k.expectedStarts);

    std::vector<uint8_t> image(backup.size(), 0xFF);
    const PlannedData plannedData = [&](uint16_t s) -> const uint8_t* {
      auto it = planned.find(s);
      return it == planned.end() ? nullptr : it->second.data();
    };
    ASSERT_TRUE(applyMoves(moves, backup, plannedData, image, table));
    // Every moved sector holds its software's data at the new place and is
    // planned from the new image with its own check values; other places stay blank.
    std::vector<bool> moved(k.sectorCount, false);
    for (const SoftwareMove& m : moves) {
      for (uint16_t f = 0; f < m.count; ++f) {
        const auto want = sectorData(m.from + f);
        const std::vector<uint8_t> got(image.begin() + ptrdiff_t((m.to + f) * kSectorSize),
                                       image.begin() + ptrdiff_t((m.to + f + 1) * kSectorSize));
        EXPECT_TRUE(got == want) << "sector " << m.to + f;
        const BlockRecord& r = table[m.to + f];
        EXPECT_EQ(r.writeFlag, 1);
        EXPECT_EQ(r.eraseFlag, 1);
        EXPECT_EQ(r.source, SectorSource::FlashImage);
        EXPECT_EQ(r.sum, dataCheck(want).sum);
        EXPECT_EQ(r.xorValue, dataCheck(want).xorValue);
        moved[m.to + f] = true;
      }
    }
    for (uint16_t s = 0; s < k.sectorCount; ++s) {
      if (moved[s]) continue;
      ASSERT_TRUE(std::all_of(image.begin() + ptrdiff_t(s * kSectorSize),
                              image.begin() + ptrdiff_t((s + 1) * kSectorSize),
                              [](uint8_t b) { return b == 0xFF; }))
          << "sector " << s;
    }
  }
}

}  // namespace
}  // namespace ostrel
