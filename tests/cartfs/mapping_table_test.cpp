#include "cartfs/mapping_table.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace ostrel {
namespace {

constexpr uint16_t kSectorCount = 100;

std::unique_ptr<MappingTable> freshTable() {
  auto table = std::make_unique<MappingTable>();
  makeFreshMappingTable(*table);
  return table;
}

// The two sector images of a table whose words are given; the checksum word
// is made right unless told otherwise.
std::vector<uint8_t> imageOf(const MappingTable& table, bool fixChecksum = true) {
  std::vector<uint8_t> image(kMappingImageBytes);
  uint32_t sum = 0;
  for (std::size_t i = 0; i < kMappingWordCount; ++i) {
    uint16_t word = table.words[i];
    if (i == kMappingChecksumWord && fixChecksum) word = static_cast<uint16_t>(sum);
    sum += word;
    image[2 * i] = static_cast<uint8_t>(word >> 8);
    image[2 * i + 1] = static_cast<uint8_t>(word & 0xFF);
  }
  return image;
}

std::span<const uint8_t> low(const std::vector<uint8_t>& image) {
  return std::span<const uint8_t>(image).first(65536);
}
std::span<const uint8_t> high(const std::vector<uint8_t>& image) {
  return std::span<const uint8_t>(image).last(65536);
}

TEST(MappingTableTest, FreshTableChecksumCoversSignature) {
  auto table = freshTable();
  const uint32_t expected = 65531u * 0xEA74u + 0x4D4Fu + 0x5256u + 0x414Eu + 0x5445u;
  EXPECT_EQ(table->words[65535], expected % 65536);
  EXPECT_EQ(table->words[0], UNMAPPED_SECTOR);
  // The serialised signature reads "MORVANTE" at bytes 65504..65511 of sector 60001.
  const auto image = encodeMappingTable(*table);
  EXPECT_EQ(std::string(image.begin() + 65536 + 65504, image.begin() + 65536 + 65512), "MORVANTE");
  // A fresh table has logical sector 0 unmapped, so it is not valid by itself.
  EXPECT_FALSE(mappingTableValid(*table));
}

TEST(MappingTableTest, DecodeOutcomes) {
  auto good = freshTable();
  good->words[0] = 7;
  good->words[1] = 3;
  good->words[40000] = 12;  // high half, logical above the sector count
  const auto goodImage = imageOf(*good);
  good->words[kMappingChecksumWord] =
      static_cast<uint16_t>(goodImage[131070] << 8 | goodImage[131071]);

  struct Case {
    const char* name;
    void (*damage)(std::vector<uint8_t>&);
    bool dropLow, dropHigh;
    MappingReadOutcome outcome;
  };
  const Case cases[] = {
      {"valid", [](std::vector<uint8_t>&) {}, false, false, MappingReadOutcome::Valid},
      {"bad signature", [](std::vector<uint8_t>& i) { i[65536 + 65504] = 'm'; }, false, false,
       MappingReadOutcome::FreshStarted},
      {"bad checksum", [](std::vector<uint8_t>& i) { i[131071] ^= 1; }, false, false,
       MappingReadOutcome::FreshStarted},
      {"low half missing", [](std::vector<uint8_t>&) {}, true, false,
       MappingReadOutcome::FreshStarted},
      {"high half missing", [](std::vector<uint8_t>&) {}, false, true,
       MappingReadOutcome::FreshStarted},
      {"blank", [](std::vector<uint8_t>& i) { std::fill(i.begin(), i.end(), 0xFF); }, false, false,
       MappingReadOutcome::Blank},
      {"blank but one byte",
       [](std::vector<uint8_t>& i) {
         std::fill(i.begin(), i.end(), 0xFF);
         i[70000] = 0xFE;
       },
       false, false, MappingReadOutcome::FreshStarted},
      {"blank low half, high half missing",
       [](std::vector<uint8_t>& i) { std::fill(i.begin(), i.end(), 0xFF); }, false, true,
       MappingReadOutcome::FreshStarted},
      {"nothing read", [](std::vector<uint8_t>&) {}, true, true, MappingReadOutcome::NoData},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto image = imageOf(*good);
    c.damage(image);
    auto table = std::make_unique<MappingTable>();
    table->words[5] = 5;  // stale content must not survive
    const auto outcome = decodeMappingTable(c.dropLow ? std::span<const uint8_t>() : low(image),
                                            c.dropHigh ? std::span<const uint8_t>() : high(image),
                                            kSectorCount, *table);
    EXPECT_EQ(outcome, c.outcome);
    auto expected = std::make_unique<MappingTable>();
    if (outcome == MappingReadOutcome::Valid) {
      expected->words = good->words;
      expected->physicalSectorInUse[7] = 1;
      expected->physicalSectorInUse[3] = 1;  // 12 is not marked: logical 40000 > 100
    } else if (outcome != MappingReadOutcome::NoData) {
      makeFreshMappingTable(*expected);
    }
    EXPECT_TRUE(*table == *expected);
  }
}

TEST(MappingTableTest, WordZeroUnmappedIsNotValidEvenWithRightChecksum) {
  auto table = freshTable();
  table->words[1] = 4;
  const auto image = imageOf(*table);
  auto decoded = std::make_unique<MappingTable>();
  EXPECT_EQ(decodeMappingTable(low(image), high(image), kSectorCount, *decoded),
            MappingReadOutcome::FreshStarted);
  EXPECT_EQ(decoded->words[1], UNMAPPED_SECTOR);
}

TEST(MappingTableTest, EncodeIsBigEndianAndIgnoresStoredChecksum) {
  auto table = freshTable();
  table->words[0] = 0x0102;
  table->words[32768] = 0x0A0B;
  table->words[kMappingChecksumWord] = 0x1234;  // stale: recomputed on encoding
  const auto image = encodeMappingTable(*table);
  ASSERT_EQ(image.size(), kMappingImageBytes);
  EXPECT_EQ(image[0], 0x01);
  EXPECT_EQ(image[1], 0x02);
  EXPECT_EQ(image[65536], 0x0A);
  EXPECT_EQ(image[65537], 0x0B);
  auto decoded = std::make_unique<MappingTable>();
  ASSERT_EQ(decodeMappingTable(low(image), high(image), kSectorCount, *decoded),
            MappingReadOutcome::Valid);
  for (std::size_t i = 0; i < kMappingChecksumWord; ++i)
    ASSERT_EQ(decoded->words[i], table->words[i]);
}

TEST(MappingTableTest, WholeImageForcesIdentityOnLowSectorsOnly) {
  auto table = freshTable();
  table->words[5] = 900;
  table->words[128] = 901;
  for (std::size_t i = 0; i < 4; ++i) table->words[kMappingSignatureWord + i] = 0;
  forceIdentityLowSectors(*table);
  for (uint16_t i = 0; i < 128; ++i) ASSERT_EQ(table->words[i], i);
  EXPECT_EQ(table->words[128], 901);
  auto image = encodeMappingTable(*table);
  auto decoded = std::make_unique<MappingTable>();
  EXPECT_EQ(decodeMappingTable(low(image), high(image), kSectorCount, *decoded),
            MappingReadOutcome::Valid);
}

TEST(MappingTableTest, AllocateTakesLowestFreeAndReusesReleased) {
  auto table = freshTable();
  table->physicalSectorInUse[0] = 1;
  table->physicalSectorInUse[2] = 1;
  EXPECT_EQ(allocatePhysicalSector(*table, 10, kSectorCount), 1);
  EXPECT_EQ(allocatePhysicalSector(*table, 11, kSectorCount), 3);
  EXPECT_EQ(table->words[10], 1);
  EXPECT_EQ(table->words[11], 3);
  releaseLogicalSector(*table, 10, kSectorCount);
  EXPECT_EQ(table->words[10], UNMAPPED_SECTOR);
  EXPECT_EQ(table->physicalSectorInUse[1], 0);
  EXPECT_EQ(allocatePhysicalSector(*table, 10, kSectorCount), 1);
}

TEST(MappingTableTest, ReleaseOfUnmappedOrOutOfPoolFreesNothing) {
  auto table = freshTable();
  table->physicalSectorInUse[kSectorCount] = 1;
  table->words[20] = 5000;  // beyond the pool of a 100-sector module
  releaseLogicalSector(*table, 20, kSectorCount);
  releaseLogicalSector(*table, 21, kSectorCount);
  EXPECT_EQ(table->words[20], UNMAPPED_SECTOR);
  EXPECT_EQ(table->physicalSectorInUse[kSectorCount], 1);
}

TEST(MappingTableTest, AllocateWhenFullFailsAndChangesNothing) {
  struct Case {
    uint16_t sectorCount;
    uint16_t expectedLast;  // the last sector handed out before the pool is exhausted
  };
  // Pool 0..SectorCount; never the table sectors or UNMAPPED_SECTOR, even if
  // a module reported a larger count.
  for (const Case c : {Case{3, 3}, Case{59999, 59999}, Case{65535, 59999}}) {
    SCOPED_TRACE(c.sectorCount);
    auto table = freshTable();
    // Everything below the last three pool sectors is taken already.
    std::fill_n(table->physicalSectorInUse.begin(), c.expectedLast - 2, uint8_t{1});
    std::optional<uint16_t> last;
    for (uint16_t logical = 0; logical < 3; ++logical) {
      last = allocatePhysicalSector(*table, logical, c.sectorCount);
      ASSERT_TRUE(last.has_value());
      EXPECT_EQ(*last, c.expectedLast - 2 + logical);
    }
    const auto before = std::make_unique<MappingTable>(*table);
    EXPECT_FALSE(allocatePhysicalSector(*table, 60010, c.sectorCount).has_value());
    EXPECT_TRUE(*table == *before);
  }
  auto table = freshTable();
  EXPECT_FALSE(allocatePhysicalSector(*table, 65520, kSectorCount).has_value());
}

TEST(MappingTableTest, RelocateMovesRunsInBothDirections) {
  struct Case {
    uint16_t start, count, newStart;
  };
  const Case cases[] = {{10, 5, 12}, {12, 5, 10}, {10, 5, 30},
                        {30, 5, 10}, {10, 1, 11}, {10, 8, 9}};
  for (const Case c : cases) {
    SCOPED_TRACE(testing::Message() << c.start << "->" << c.newStart);
    auto table = freshTable();
    for (uint16_t i = 0; i < 64; ++i) table->words[i] = static_cast<uint16_t>(200 + i);
    // Reference: gather the run, clear it, place it.
    std::vector<uint16_t> expected(table->words.begin(), table->words.begin() + 64);
    std::vector<uint16_t> run(expected.begin() + c.start, expected.begin() + c.start + c.count);
    for (int k = 0; k < c.count; ++k) expected[c.start + k] = UNMAPPED_SECTOR;
    for (int k = 0; k < c.count; ++k) expected[c.newStart + k] = run[k];
    ASSERT_TRUE(relocateLogicalRun(*table, c.start, c.count, c.newStart));
    EXPECT_EQ(std::vector<uint16_t>(table->words.begin(), table->words.begin() + 64), expected);
  }
}

TEST(MappingTableTest, RelocateOntoItselfKeepsTheRunAndOutOfRangeIsRefused) {
  auto table = freshTable();
  table->words[10] = 1;
  table->words[11] = 2;
  EXPECT_TRUE(relocateLogicalRun(*table, 10, 2, 10));
  EXPECT_EQ(table->words[10], 1);
  EXPECT_EQ(table->words[11], 2);
  const auto before = std::make_unique<MappingTable>(*table);
  EXPECT_FALSE(relocateLogicalRun(*table, 10, 2, 65519));  // would overwrite the signature
  EXPECT_FALSE(relocateLogicalRun(*table, 65519, 2, 10));
  EXPECT_TRUE(*table == *before);
}

TEST(MappingTableTest, PruningDropsUnownedMappingsOnly) {
  auto table = freshTable();
  table->words[0] = 50;    // owned by run 0..2
  table->words[1] = 51;    // the FAT: kept although no run covers it here
  table->words[2] = 52;    // owned
  table->words[5] = 53;    // unowned: dropped
  table->words[6] = 500;   // unowned, and beyond the pool: dropped
  table->words[150] = 54;  // above SectorCount: never pruned
  table->words[151] = 55;  // above SectorCount, owned: marks 55
  table->words[7] = 55;    // shares 55 with an owned sector: kept
  rebuildPhysicalSectorInUse(*table, kSectorCount);
  const SectorRun runs[] = {{0, 1}, {2, 1}, {151, 1}};
  pruneMappingTable(*table, runs, kSectorCount);
  EXPECT_EQ(table->words[0], 50);
  EXPECT_EQ(table->words[1], 51);
  EXPECT_EQ(table->words[2], 52);
  EXPECT_EQ(table->words[5], UNMAPPED_SECTOR);
  EXPECT_EQ(table->words[6], UNMAPPED_SECTOR);
  EXPECT_EQ(table->words[7], 55);
  EXPECT_EQ(table->words[150], 54);
  EXPECT_EQ(table->words[151], 55);
  EXPECT_EQ(table->physicalSectorInUse[53], 0);
  EXPECT_EQ(table->physicalSectorInUse[54], 0);
  EXPECT_EQ(table->physicalSectorInUse[50], 1);
  // The freed sector is handed out again.
  EXPECT_EQ(allocatePhysicalSector(*table, 3, kSectorCount), 0);
  table->physicalSectorInUse.fill(1);
  table->physicalSectorInUse[53] = 0;
  EXPECT_EQ(allocatePhysicalSector(*table, 3, kSectorCount), 53);
}

}  // namespace
}  // namespace ostrel
