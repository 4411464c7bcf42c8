// Sector commands end to end against the module simulator (NOR flash: a
// missing erase corrupts data): what a successful write leaves in the flash
// must be the sector byte for byte, on every generation.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "common/sim_generations.h"
#include "common/temp_dir.h"
#include "flash_rig.h"

namespace ostrel::test {
namespace {

// The physical sector a logical one lands in (the same number before Ostrel IV).
uint32_t physicalOf(const SimRig& rig, uint16_t logical) {
  return rig.form->ModuleGeneration == OstrelIV ? rig.form->MappingTable.words[logical] : logical;
}

TEST(SectorSim, WrittenSectorsAreByteExactAndReadBack) {
  for (const auto& g : allGenerations()) {
    SCOPED_TRACE(g.name);
    SimRig rig(g.config);
    // A neighbour with content, to see that block erases keep it.
    const Bytes neighbour = sectorPattern(7);
    rig.module->flash().program(7, 0, neighbour);
    const uint16_t sectors[] = {6, 0, 6};  // 0 is a boot block on Ostrel II; 6 is rewritten
    for (size_t i = 0; i < std::size(sectors); ++i) {
      const uint16_t s = sectors[i];
      const Bytes data = sectorPattern(uint32_t(100 + i));
      rig.plan(s, data, true, uint16_t(i));
      ASSERT_TRUE(rig.form->Function_ProgramSector(s, false, false)) << i;
      EXPECT_EQ(rig.flash(physicalOf(rig, s)), data) << i;
      rig.form->Function_ReadSector(s, false);
      EXPECT_EQ(rig.readBack(), data) << i;
      EXPECT_TRUE(rig.form->StaticText_Status2.text.empty());
    }
    if (g.config.generation != SimGeneration::Ost4) {
      EXPECT_EQ(rig.flash(7), neighbour);
    }
    EXPECT_EQ(rig.violations(), "");
  }
}

TEST(SectorSim, WritesRecoveredByARetryAreByteExact) {
  struct Case {
    const char* what;
    SimConfig config;
    bool wrongSumOnce;
    std::optional<SimFaults::ChunkNack> nack;
  } cases[] = {
      {"Ostrel I wrong report", SimConfig::ostrel1(), true, {}},
      {"Ostrel II wrong report", SimConfig::fromTypeCode(0x80), true, {}},
      {"Ostrel III lost chunk", SimConfig::fromTypeCode(0x84), false,
       SimFaults::ChunkNack{9, 5, SimRepeat::Once}},
      {"Ostrel IV lost last chunk", SimConfig::fromTypeCode(0x89), false,
       SimFaults::ChunkNack{0, 15, SimRepeat::Once}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SimRig rig(c.config);
    if (c.wrongSumOnce) rig.module->faults().wrongSum = SimRepeat::Once;
    rig.module->faults().chunkNack = c.nack;
    const Bytes old = sectorPattern(1000), data = sectorPattern(1001);
    rig.module->flash().program(9, 0, old);
    rig.plan(9, data, true, 3);
    ASSERT_TRUE(rig.form->Function_ProgramSector(9, false, false));
    EXPECT_EQ(rig.flash(physicalOf(rig, 9)), data);
  }
}

// A chunk the module never takes leaves it waiting for that chunk: the host
// gives up on the sector, but what it sends next must reach the module as a
// command, not go into the chunk and be dropped (an Ostrel III then waits its
// erase's 200 s, on every further pass). The next write is as quick as on a
// module that never failed.
TEST(SectorSim, AChunkNeverTakenLeavesTheModuleTakingCommands) {
  for (const auto& g : allGenerations()) {
    if (g.config.generation != SimGeneration::Ost3 && g.config.generation != SimGeneration::Ost4)
      continue;
    SCOPED_TRACE(g.name);
    // The even sector of a block whose partner the plan erases too: an Ostrel
    // III erases the block at once, without reading the partner first.
    auto timedWrite = [](SimRig& rig, uint16_t sector, uint16_t block) {
      rig.plan(uint16_t(sector + 1), sectorPattern(sector + 1u), true, uint16_t(block + 1));
      rig.plan(sector, sectorPattern(sector), true, block);
      const uint32_t start = rig.clock.tick();
      const bool ok = rig.form->Function_ProgramSector(sector, false, false);
      return std::make_pair(ok, rig.clock.tick() - start);
    };
    uint32_t fresh = 0, physical = 0;  // where sector 8 lands
    {
      SimRig rig(g.config);
      timedWrite(rig, 8, 0);
      physical = physicalOf(rig, 8);
      fresh = timedWrite(rig, 12, 2).second;
    }
    SimRig rig(g.config);
    rig.module->faults().chunkNack = SimFaults::ChunkNack{physical, 6, SimRepeat::Always};
    const auto [failed, failing] = timedWrite(rig, 8, 0);
    EXPECT_FALSE(failed);
    EXPECT_LT(failing, 200000u);
    rig.module->faults().chunkNack.reset();
    const auto [ok, next] = timedWrite(rig, 12, 2);
    EXPECT_TRUE(ok);
    EXPECT_LE(next, fresh + 1000) << "a fresh module took " << fresh << " ms";
    EXPECT_EQ(rig.flash(physicalOf(rig, 12)), sectorPattern(12));
  }
}

// A block erase whose partner cannot be written back: the partner's content
// must survive in memory, the operation must fail, and the next
// write to the block must put the kept content back, never a re-read of the
// half-restored sector.
TEST(SectorSim, PartnerThatCannotBeWrittenBackIsKeptAndRestoredByTheNextWrite) {
  struct Case {
    const char* what;
    SimConfig config;
    uint16_t partner;  // physical sector whose write-back fails
    std::function<bool(SimRig&)> operation;
  };
  const Bytes fat = sectorPattern(11);
  const Case cases[] = {
      // Every FAT rewrite on an Ostrel III erases the block of sectors 0 and 1.
      {"Ostrel III FAT write", SimConfig::fromTypeCode(0x84), 0,
       [&](SimRig& rig) {
         rig.form->FlashImage.SetSize(2 * 65536);
         std::copy(fat.begin(), fat.end(), rig.form->FlashImage.Memory() + 65536);
         rig.form->BlockTable[1] = {1, 1, byteSum(fat), byteXor(fat), 0};
         return rig.form->Function_ProgramSector(1, false, false);
       }},
      // On an Ostrel IV a sector erase, then a write allocated into the same block.
      {"Ostrel IV block erase", SimConfig::fromTypeCode(0x89), 4,
       [&](SimRig& rig) {
         if (rig.form->KeptSectors.empty()) return rig.form->Erase_Flash(1, 5);
         for (uint16_t p = 0; p <= 4; ++p) rig.form->MappingTable.physicalSectorInUse[p] = 1;
         rig.plan(20, fat, false, 0);
         return rig.form->Function_ProgramSector(20, false, false) &&
                rig.form->MappingTable.words[20] == 5 && rig.flash(5) == fat;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SimRig rig(c.config);
    TempDir dir;
    rig.host.programDir = dir.slash();
    rig.form->ModuleIdentity = {0, 0, 0, 1, 0x12, 0x34, 0x56, 0x78};
    const Bytes partner = sectorPattern(c.partner + 500);
    rig.module->flash().program(c.partner, 0, partner);
    rig.module->faults().chunkNack = SimFaults::ChunkNack{c.partner, 5, SimRepeat::Always};

    EXPECT_FALSE(c.operation(rig));
    const auto& log = rig.form->Memo1.lines;
    EXPECT_TRUE(c.config.generation == SimGeneration::Ost4 ||
                std::find(log.begin(), log.end(), "Fault code:0030") != log.end());
    ASSERT_EQ(rig.form->KeptSectors.size(), 1u);
    EXPECT_EQ(rig.form->KeptSectors[0].data, partner);
    // Past this connection the burn's journal holds the partner: no file of its own.
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    EXPECT_NE(rig.flash(c.partner), partner);  // the cartridge copy is damaged

    rig.module->faults().chunkNack.reset();
    EXPECT_TRUE(c.operation(rig));
    EXPECT_EQ(rig.flash(c.partner), partner);
    EXPECT_TRUE(rig.form->KeptSectors.empty());
    if (c.config.generation == SimGeneration::Ost3) {
      EXPECT_EQ(rig.flash(1), fat);
    }
  }
}

TEST(SectorSim, Ost4FatSectorAndTableSectors) {
  SimRig rig(SimConfig::fromTypeCode(0x89));
  const Bytes fat = sectorPattern(1), low = sectorPattern(60000), high = sectorPattern(60001);
  rig.form->FlashImage.SetSize(2 * 65536);
  std::copy(fat.begin(), fat.end(), rig.form->FlashImage.Memory() + 65536);
  rig.form->MappingImage.Write(low);
  rig.form->MappingImage.Write(high);
  rig.form->BlockTable[1] = {1, 1, 0, 0, 0};
  ASSERT_TRUE(rig.form->Function_ProgramSector(1, false, true));
  ASSERT_TRUE(rig.form->Function_ProgramSector(60000, true, false));
  ASSERT_TRUE(rig.form->Function_ProgramSector(60001, true, false));
  EXPECT_EQ(rig.flash(rig.form->MappingTable.words[1]), fat);
  EXPECT_EQ(rig.flash(60000), low);
  EXPECT_EQ(rig.flash(60001), high);
  rig.form->Function_ReadSector(1, false);
  EXPECT_EQ(rig.readBack(), fat);
  rig.form->Function_ReadSector(60001, true);
  EXPECT_EQ(rig.readBack(), high);
  EXPECT_EQ(rig.violations(), "");
}

TEST(SectorSim, Ost4LostThirdChunkIsRewrittenAfterTheSevenSecondPause) {
  SimRig rig(SimConfig::fromTypeCode(0x89));
  rig.module->faults().chunkNack = SimFaults::ChunkNack{0, 2, SimRepeat::Once};
  const Bytes data = sectorPattern(33);
  rig.plan(12, data, false, 0);
  const uint32_t start = rig.clock.tick();
  ASSERT_TRUE(rig.form->Function_ProgramSector(12, false, false));
  EXPECT_GE(rig.clock.tick() - start, 8000u);
  const auto& lines = rig.form->Memo1.lines;
  EXPECT_NE(std::find(lines.begin(), lines.end(), "send_write_pkg_no_response,pkg: 8192"),
            lines.end());
  EXPECT_EQ(rig.form->MappingTable.words[12], 0);
  EXPECT_EQ(rig.flash(0), data);
}

TEST(SectorSim, Ost12WrongReportEndsWith0031AndTheSectorLine) {
  for (const auto& config : {SimConfig::ostrel1(), SimConfig::fromTypeCode(0x80)}) {
    SimRig rig(config);
    rig.module->faults().wrongSum = SimRepeat::Always;
    rig.plan(0x1F, sectorPattern(31), true, 0);
    EXPECT_FALSE(rig.form->Function_ProgramSector(0x1F, false, false));
    EXPECT_EQ(rig.form->StaticText_Status2.text, "Fault code:0031");
    EXPECT_EQ(rig.form->Memo1.lines.back(), "Error sector No. : 1F");
  }
}

TEST(SectorSim, Ost12ReadWithWrongReportLogsBothChecksums) {
  SimRig rig(SimConfig::ostrel1());
  const Bytes data = sectorPattern(5);
  rig.module->flash().program(5, 0, data);
  rig.module->faults().wrongSum = SimRepeat::Always;
  rig.form->Function_ReadSector(5, false);
  EXPECT_EQ(rig.form->ReadBuffer.Size(), 0u);
  char computed[8], reported[8];
  std::snprintf(computed, sizeof computed, "%02X %02X", byteSum(data), byteXor(data));
  std::snprintf(reported, sizeof reported, "%02X %02X", uint8_t(byteSum(data) + 1),
                uint8_t(byteXor(data) ^ 1));
  const auto& lines = rig.form->Memo1.lines;
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[lines.size() - 4], "Fault code:0055");
  EXPECT_EQ(lines[lines.size() - 3], "Error sector No. : 05");
  EXPECT_EQ(lines[lines.size() - 2], std::string("CheckSum (File Manager): ") + computed);
  EXPECT_EQ(lines[lines.size() - 1], std::string("CheckSum (Cartridge)   : ") + reported);
}

// The elapsed time of a chip erase is measured by the host, so it lies a
// little above the module's own erase time.
uint32_t loggedMs(const std::string& line, const std::string& prefix) {
  EXPECT_TRUE(line.starts_with(prefix)) << line;
  EXPECT_TRUE(line.ends_with(" ms")) << line;
  return uint32_t(std::stoul(line.substr(prefix.size())));
}

TEST(SectorSim, ChipEraseTimingAgainstTheStandardTime) {
  struct Case {
    const char* what;
    SimConfig config;
    uint16_t chipStart;
    uint32_t eraseMs;
    bool ok;
    const char* chipLine;
    const char* standardLine;
  } cases[] = {
      {"Ostrel I too fast", SimConfig::ostrel1(), 0, 20000, false,
       "Chip 0: ", "Standard time is 33600 ms"},
      {"Ostrel I in time", SimConfig::ostrel1(), 0, 40000, true, "Chip 0: ", nullptr},
      {"Ostrel I chip 1", SimConfig::ostrel1(), 64, 40000, true, "Chip 1: ", nullptr},
      {"Ostrel II chip 1 too fast", SimConfig::fromTypeCode(0x81), 128, 20000, false,
       "Chip 1: ", "Standard time is 25200 ms"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SimRig rig(c.config);
    rig.module->faults().chipEraseMs = c.eraseMs;
    rig.module->flash().program(c.chipStart, 0, sectorPattern(1));
    rig.form->Memo1.clear();
    EXPECT_EQ(rig.form->Erase_Flash(0, c.chipStart), c.ok);
    const auto& lines = rig.form->Memo1.lines;
    ASSERT_EQ(lines.size(), c.ok ? 1u : 3u);
    const uint32_t ms = loggedMs(lines[0], c.chipLine);
    EXPECT_GE(ms, c.eraseMs);
    EXPECT_LT(ms, c.eraseMs + 1000);
    if (!c.ok) {
      EXPECT_EQ(lines[1], c.standardLine);
      EXPECT_EQ(lines[2], "Fault code:0090");
      EXPECT_TRUE(rig.form->StaticText_Status2.text.find("0090") == std::string::npos);  // log only
    }
    EXPECT_EQ(rig.flash(c.chipStart), Bytes(65536, 0xFF));
  }
}

TEST(SectorSim, WholeCartridgeEraseOnTwoChips) {
  SimConfig config = SimConfig::fromTypeCode(0x81);
  SimRig rig(config);
  rig.form->TwoChipFlash = true;
  rig.form->ChipStartSector = {0, 128};
  rig.module->flash().program(3, 0, sectorPattern(3));
  rig.module->flash().program(200, 0, sectorPattern(200));
  EXPECT_TRUE(rig.form->Function_Erase());
  EXPECT_EQ(rig.flash(3), Bytes(65536, 0xFF));
  EXPECT_EQ(rig.flash(200), Bytes(65536, 0xFF));
  EXPECT_EQ(rig.form->StaticText_Status1.text, "Erase OK!");
  const uint32_t ms = loggedMs(rig.form->StaticText_EraseTime.text, "");
  EXPECT_GE(ms, 2 * 26000u);
}

}  // namespace
}  // namespace ostrel::test
