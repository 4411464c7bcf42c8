// The pure rules behind the sector commands.
#include "flash/block_table.h"

#include <gtest/gtest.h>

#include "flash_rig.h"

namespace ostrel::test {
namespace {

TEST(BlockTable, SizedToTheSectorCountAndBoundsChecked) {
  std::vector<BlockRecord> table;
  resetBlockTable(table, 3);
  table[2].writeFlag = 1;
  resetBlockTable(table, 4);
  ASSERT_EQ(table.size(), 4u);
  EXPECT_EQ(table[2], BlockRecord{});
  EXPECT_NE(blockRecordAt(table, 3), nullptr);
  EXPECT_EQ(blockRecordAt(table, 4), nullptr);
}

TEST(BlockTable, PlannedWriteCarriesTheDataCheck) {
  const Bytes data = sectorPattern(3);
  BlockRecord r;
  planSectorWrite(r, data, true, 9);
  EXPECT_EQ(r, (BlockRecord{1, 1, byteSum(data), byteXor(data), 9, SectorSource::PackageImage}));
  planFlashImageWrite(r, data, false);
  EXPECT_EQ(r, (BlockRecord{1, 0, byteSum(data), byteXor(data), 9, SectorSource::FlashImage}));
}

TEST(BlockTable, BlockEraseActionFollowsThePartner) {
  std::vector<BlockRecord> table;
  resetBlockTable(table, 9);
  table[5].eraseFlag = 1;
  table[6].eraseFlag = 1;
  EXPECT_EQ(blockEraseAction(table, 4), BlockEraseAction::EraseBlock);        // odd partner marked
  EXPECT_EQ(blockEraseAction(table, 7), BlockEraseAction::CoveredByPartner);  // even partner marked
  EXPECT_EQ(blockEraseAction(table, 2), BlockEraseAction::SaveAndRestore);
  EXPECT_EQ(blockEraseAction(table, 8),
            BlockEraseAction::SaveAndRestore);  // partner 9 has no record
}

TEST(BlockTable, ChipEraseVerdicts) {
  struct Case {
    uint8_t gen;
    uint16_t start;
    uint32_t ms;
    bool ack;
    bool ok;
    std::vector<std::string> lines;
  } cases[] = {
      {0, 0, 20000, true, false, {"Chip 0: 20000 ms", "Standard time is 33600 ms"}},
      {0, 0, 40000, true, true, {"Chip 0: 40000 ms"}},
      {0, 0, 33600, true, true, {"Chip 0: 33600 ms"}},
      {0, 64, 100, false, false, {"Chip 1: 100 ms"}},
      {1, 128, 25199, true, false, {"Chip 1: 25199 ms", "Standard time is 25200 ms"}},
      {1, 64, 30000, true, true, {}},
  };
  for (const auto& c : cases) {
    const ChipEraseVerdict v = judgeChipErase(Generation(c.gen), c.start, c.ms, c.ack);
    EXPECT_EQ(v.ok, c.ok) << c.ms;
    EXPECT_EQ(v.lines, c.lines) << c.ms;
  }
}

TEST(BlockTable, TextAndCommandHelpers) {
  EXPECT_EQ(hexAtLeast2(0x0A), "0A");
  EXPECT_EQ(hexAtLeast2(0x1234), "1234");
  EXPECT_EQ(ost2BootSubBlockAddresses(),
            (std::array<uint8_t, 8>{0x00, 0x20, 0x40, 0x60, 0x80, 0xA0, 0xC0, 0xE0}));
  EXPECT_EQ(rawSectorCommand(0xA8, 0x1234, 1),
            (std::array<uint8_t, 9>{0xA8, 0x12, 0x34, 0, 0, 0, 0x10, 0x00, 0x01}));
}

}  // namespace
}  // namespace ostrel::test
