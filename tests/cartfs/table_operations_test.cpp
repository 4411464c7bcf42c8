// The main form's table reads and writes against the module simulator in
// virtual time: the simulator's presets write their FAT and mapping table
// with their own code, so every read here checks the program's reader
// against an independent writer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/sim_generations.h"
#include "table_rig.h"

namespace ostrel {
namespace {

constexpr const char* kReading = "Getting Ostrel file allocation table.....";
constexpr const char* kReadOk = "Getting Ostrel file allocation table OK!!";
constexpr const char* kReadFail = "Getting Ostrel file allocation table fail!!";
constexpr const char* kNotExist = "Ostrel file allocation table not EXIST!!";
constexpr const char* kTooOldBox =
    "OBDII Version is too old, please update OBDII version to K47(v4.00) or VelmoII(v1.00) "
    "Fault code:0021";

uint8_t byteSum(const uint8_t* p, size_t n) {
  unsigned s = 0;
  for (size_t i = 0; i < n; ++i) s += p[i];
  return uint8_t(s);
}
uint8_t byteXor(const uint8_t* p, size_t n) {
  uint8_t x = 0;
  for (size_t i = 0; i < n; ++i) x ^= p[i];
  return x;
}
uint16_t be16(const uint8_t* p) {
  return uint16_t(p[0] << 8 | p[1]);
}
std::string logLine(uint16_t start, uint16_t count) {
  char text[64];
  std::snprintf(text, sizeof text, "L:%02X   s:%02X   N:%02X", start, count, start + count);
  return text;
}

// The catalogue holds exactly the given records, field by field.
void expectCatalogue(const CartridgeCatalogue& c, const std::vector<SimFatEntry>& want,
                     uint16_t sectorCount) {
  EXPECT_EQ(c.header.signature, 0xA11E);
  EXPECT_EQ(c.header.formatWord, 512);
  EXPECT_EQ(c.header.sectorCountWord, sectorCount);
  ASSERT_EQ(c.header.entryCount, want.size());
  for (size_t k = 0; k < want.size(); ++k) {
    SCOPED_TRACE(want[k].brand);
    const FatEntry& e = c.entries[k];
    EXPECT_EQ(e.kind, want[k].kind);
    EXPECT_EQ(e.attribute, want[k].attribute);
    EXPECT_EQ(fatText(e.brand), want[k].brand);
    EXPECT_EQ(fatText(e.version), want[k].version);
    EXPECT_EQ(fatText(e.versionExtra), want[k].versionExtra);
    EXPECT_EQ(e.startSector, want[k].startSector);
    EXPECT_EQ(e.sectorCount, want[k].sectorCount);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(e.pathField.data()) + 1), want[k].path);
  }
}

TEST(TableOperations, BlankCartridgeReadsAsAnEmptyCatalogue) {
  for (const auto& g : allGenerations()) {
    SCOPED_TRACE(g.name);
    TableRig rig(g.config, SimPreset::Blank);
    rig.form->CartridgeCatalogue.header.entryCount = 3;
    rig.form->NewlyAdded[3] = true;
    ASSERT_TRUE(rig.readTables());
    if (rig.ost4()) {
      // A fresh table: valid, nothing mapped, no physical sector in use, and
      // no read for a FAT sector that no physical sector holds.
      EXPECT_GE(rig.logIndex("MAPPING TABLE not exist"), 0);
      EXPECT_EQ(rig.form->MappingTable.words[0], UNMAPPED_SECTOR);
      EXPECT_EQ(rig.form->MappingTable.words[65535], mappingChecksum(rig.form->MappingTable));
      for (uint32_t p = 0; p <= g.config.sectorCount; ++p)
        ASSERT_EQ(rig.form->MappingTable.physicalSectorInUse[p], 0) << p;
      EXPECT_FALSE(rig.sentStartsWith({0xA8}));
    }
    EXPECT_EQ(rig.form->CartridgeCatalogue.header.entryCount, 0);
    EXPECT_EQ(rig.form->CartridgeCatalogue.header.sectorCountWord, g.config.sectorCount);
    const long notExist = rig.logIndex(kNotExist), ok = rig.logIndex(kReadOk);
    EXPECT_GE(notExist, 0);
    EXPECT_GT(ok, notExist);
    EXPECT_EQ(rig.form->StaticText_Status2.text, kReadOk);
    EXPECT_EQ(rig.form->StaticText_Status1.text, "");
    EXPECT_FALSE(rig.form->NewlyAdded[3]);
    EXPECT_TRUE(rig.form->FatFreshRead);
    EXPECT_EQ(rig.violations(), "");
  }
}

TEST(TableOperations, DemoCartridgeReadsBackEntryByEntry) {
  for (const auto& g : allGenerations()) {
    SCOPED_TRACE(g.name);
    TableRig rig(g.config, SimPreset::Demo);
    rig.form->ObdiiTooOld = true;  // the demo's OBDII is recent: the read clears it
    ASSERT_TRUE(rig.readTables());
    const auto demo = demoCatalogue();
    expectCatalogue(rig.form->CartridgeCatalogue, demo, g.config.sectorCount);
    EXPECT_FALSE(rig.form->ObdiiTooOld);
    EXPECT_TRUE(rig.host.boxes.empty());
    // Each entry logs its brand, then its run.
    long at = rig.lastLogIndex(kReading);
    ASSERT_GE(at, 0);
    for (const auto& e : demo) {
      const auto& l = rig.log();
      ASSERT_LT(size_t(at + 2), l.size()) << e.brand;
      EXPECT_EQ(l[size_t(at + 1)], e.brand);
      EXPECT_EQ(l[size_t(at + 2)], logLine(e.startSector, e.sectorCount));
      at += 2;
    }
    EXPECT_EQ(rig.log()[size_t(at + 1)], kReadOk);
    EXPECT_FALSE(rig.form->Form_Wait.Visible);
    EXPECT_EQ(rig.form->Form_Wait.ProgressBar_Wait.position,
              rig.form->Form_Wait.ProgressBar_Wait.max);
    EXPECT_FALSE(rig.form->OperationRunning);
    EXPECT_EQ(rig.violations(), "");
  }
}

TEST(TableOperations, Ost4ReadsTheFatThroughTheMappingTable) {
  TableRig rig(SimConfig::fromTypeCode(0x89), SimPreset::Demo);
  const uint16_t n = rig.config.sectorCount;
  const uint16_t fatPhysical = demoPhysicalSector(1, n);
  ASSERT_NE(fatPhysical, 1);  // otherwise this test could not tell
  ASSERT_TRUE(rig.form->Function_Read_MAPPING_TABLE());
  // A mapping that no catalogue entry owns is dropped by the FAT read.
  const auto stray = allocatePhysicalSector(rig.form->MappingTable, 28, n);
  ASSERT_TRUE(stray);
  ASSERT_TRUE(rig.form->Function_ReadFAT());
  EXPECT_EQ(rig.form->MappingTable.physicalSectorInUse[*stray], 0);
  EXPECT_TRUE(rig.sentStartsWith(
      {0xA8, uint8_t(fatPhysical >> 8), uint8_t(fatPhysical), 0, 0, 0, 0x10, 0, 1}));
  EXPECT_EQ(rig.form->CartridgeCatalogue.header.entryCount, demoCatalogue().size());
  // Owned logical sectors keep the preset's physical sectors; the free run
  // 26..31 is unmapped; in-use flags follow.
  const auto& t = rig.form->MappingTable;
  for (uint16_t l = 0; l < 44; ++l) {
    const bool owned = l < 26 || l >= 32;
    EXPECT_EQ(t.words[l], owned ? demoPhysicalSector(l, n) : UNMAPPED_SECTOR) << l;
    if (owned) {
      EXPECT_EQ(t.physicalSectorInUse[t.words[l]], 1) << l;
    }
  }
  EXPECT_EQ(t.words[44], UNMAPPED_SECTOR);
}

TEST(TableOperations, MappingTableWriteThenReadGivesTheSameTable) {
  for (int imageKind : {0, 1}) {
    SCOPED_TRACE(imageKind);
    TableRig rig(SimConfig::fromTypeCode(0x89), SimPreset::Demo);
    const uint16_t n = rig.config.sectorCount;
    ASSERT_TRUE(rig.form->Function_Read_MAPPING_TABLE());
    // Change the table as a program sequence would.
    auto& t = rig.form->MappingTable;
    ASSERT_TRUE(allocatePhysicalSector(t, 26, n));
    ASSERT_TRUE(allocatePhysicalSector(t, 27, n));
    releaseLogicalSector(t, 38, n);
    t.words[65535] = 0x1234;  // stale: the writer recomputes the sum
    rig.form->ImageKind = imageKind;
    auto expected = std::make_unique<MappingTable>(t);
    if (imageKind == 1)
      for (uint16_t i = 0; i < 128; ++i) expected->words[i] = i;

    ASSERT_TRUE(rig.form->Function_Write_Mapping_Table());
    // The cartridge holds the image the simulator's own writer makes of these words.
    const Bytes image = buildMappingTable(
        std::vector<uint16_t>(expected->words.begin(), expected->words.begin() + 65520));
    EXPECT_TRUE(rig.flash(60000) == Bytes(image.begin(), image.begin() + 65536));
    EXPECT_TRUE(rig.flash(60001) == Bytes(image.begin() + 65536, image.end()));

    t.words.fill(7);
    rig.form->Memo1.clear();
    ASSERT_TRUE(rig.form->Function_Read_MAPPING_TABLE());
    EXPECT_EQ(rig.logIndex("MAPPING TABLE not exist"), -1);
    for (size_t i = 0; i < 65535; ++i) ASSERT_EQ(t.words[i], expected->words[i]) << i;
    EXPECT_EQ(t.words[65535], mappingChecksum(*expected));
    std::vector<uint8_t> used(size_t(n) + 1, 0);
    for (uint32_t l = 0; l <= n; ++l)
      if (expected->words[l] <= n) used[expected->words[l]] = 1;
    for (uint32_t p = 0; p <= n; ++p) ASSERT_EQ(t.physicalSectorInUse[p], used[p]) << p;
    EXPECT_EQ(rig.violations(), "");
  }
}

TEST(TableOperations, MappingTableWriteStopsWhenTheFirstSectorFails) {
  TableRig rig(SimConfig::fromTypeCode(0x89), SimPreset::Demo);
  ASSERT_TRUE(rig.form->Function_Read_MAPPING_TABLE());
  const Bytes before = rig.flash(60001);
  rig.module->faults().silenceAfterCommands = 0;
  rig.comm.replug("SIM0");  // counts commands from power-on
  rig.comm.clearLogs();
  EXPECT_FALSE(rig.form->Function_Write_Mapping_Table());
  EXPECT_TRUE(rig.sentStartsWith({0xA0, 0xEA, 0x60}));
  EXPECT_FALSE(rig.sentStartsWith({0xA0, 0xEA, 0x61}));
  EXPECT_EQ(rig.flash(60001), before);
}

// A burn that cannot note the new table in its journal writes no table.
TEST(TableOperations, MappingTableIsNotWrittenWithoutTheBurnsNote) {
  TableRig rig(SimConfig::fromTypeCode(0x89), SimPreset::Demo);
  ASSERT_TRUE(rig.form->Function_Read_MAPPING_TABLE());
  const Bytes before = rig.flash(60000);
  rig.form->onMappingTableWrite = [](std::span<const uint8_t>) { return false; };
  rig.comm.clearLogs();
  EXPECT_FALSE(rig.form->Function_Write_Mapping_Table());
  EXPECT_FALSE(rig.sentStartsWith({0xA0, 0xEA, 0x60}));
  EXPECT_EQ(rig.flash(60000), before);
}

TEST(TableOperations, FailedReadsChangeNothing) {
  for (const auto& g : allGenerations()) {
    SCOPED_TRACE(g.name);
    TableRig rig(g.config, SimPreset::Demo);
    ASSERT_TRUE(rig.readTables());
    auto catalogue = std::make_unique<CartridgeCatalogue>(rig.form->CartridgeCatalogue);
    rig.form->FatFreshRead = false;
    rig.form->NewlyAdded[5] = true;
    rig.form->ObdiiTooOld = true;
    rig.form->ListView_FAT_OUT.items.push_back({});
    const size_t rows = rig.form->ListView_FAT_OUT.items.size();
    rig.comm.pullCable();

    EXPECT_FALSE(rig.form->Function_ReadFAT());
    EXPECT_EQ(rig.form->CartridgeCatalogue, *catalogue);
    EXPECT_FALSE(rig.form->FatFreshRead);
    EXPECT_TRUE(rig.form->NewlyAdded[5]);
    EXPECT_TRUE(rig.form->ObdiiTooOld);
    EXPECT_EQ(rig.form->ListView_FAT_OUT.items.size(), rows);
    EXPECT_EQ(rig.form->StaticText_Status2.text, kReadFail);
    EXPECT_EQ(rig.log().back(), kReadFail);
    EXPECT_FALSE(rig.form->Form_Wait.Visible);
    EXPECT_FALSE(rig.form->OperationRunning);

    if (rig.ost4()) {
      EXPECT_FALSE(rig.form->Function_Read_MAPPING_TABLE());
      EXPECT_EQ(rig.form->StaticText_Status2.text, kReadFail);
      EXPECT_FALSE(rig.form->FatFreshRead);
      for (size_t i = 0; i < 65536; ++i)
        ASSERT_EQ(rig.form->MappingTable.words[i], UNMAPPED_SECTOR) << i;
    }
  }
}

TEST(TableOperations, MappingTableWithAMissingHalfStartsAFreshTable) {
  TableRig rig(SimConfig::fromTypeCode(0x89), SimPreset::Demo);
  // Sector 60000 takes the command and 16 chunk requests; 60001 gets no answer.
  rig.module->faults().silenceAfterCommands = 17;
  EXPECT_TRUE(rig.form->Function_Read_MAPPING_TABLE());
  EXPECT_GE(rig.logIndex("MAPPING TABLE not exist"), 0);
  EXPECT_EQ(rig.form->StaticText_Status2.text, kNotExist);
  EXPECT_EQ(rig.form->MappingTable.words[0], UNMAPPED_SECTOR);
  EXPECT_EQ(rig.form->MappingTable.words[65535], mappingChecksum(rig.form->MappingTable));
  EXPECT_TRUE(rig.form->FatFreshRead);
}

// At a real link speed the dialog's bar moves through the sectors as their
// bytes come, never back.
TEST(TableOperations, ReadsHoldTheOperationAndShowProgress) {
  for (bool ost4 : {false, true}) {
    SCOPED_TRACE(ost4);
    SimConfig config = ost4 ? SimConfig::fromTypeCode(0x89) : SimConfig::fromTypeCode(0x84);
    config.timings.throughputBytesPerSec = 23040;
    TableRig rig(config, SimPreset::Demo);
    rig.host.os = {true, 2, 5, 1};  // a host family whose priority is raised
    rig.form->OSVersionCode = rig.form->GetOSVersionInfo();
    struct Seen {
      bool running = false, visible = false;
      std::string label, status1;
      int position = -1;
    } seen;
    rig.clock.schedule(1, [&] {
      seen = {rig.form->OperationRunning, rig.form->Form_Wait.Visible,
              rig.form->Form_Wait.Label_WaitInfo.text, rig.form->StaticText_Status1.text,
              rig.form->Form_Wait.ProgressBar_Wait.position};
    });
    std::vector<int> positions;
    std::function<void()> sample = [&] {
      if (rig.form->Form_Wait.Visible)
        positions.push_back(rig.form->Form_Wait.ProgressBar_Wait.position);
      rig.clock.schedule(250, sample);
    };
    rig.clock.schedule(250, sample);
    rig.form->StaticText_Status2.text = "old";
    ASSERT_TRUE(ost4 ? rig.form->Function_Read_MAPPING_TABLE() : rig.form->Function_ReadFAT());
    EXPECT_TRUE(seen.running);
    EXPECT_TRUE(seen.visible);
    EXPECT_EQ(seen.label, kReading);
    EXPECT_EQ(seen.status1, kReading);
    EXPECT_EQ(seen.position, 10);
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
    EXPECT_GE(std::set<int>(positions.begin(), positions.end()).size(), ost4 ? 10u : 5u);
    EXPECT_EQ(rig.host.priorityCalls, (std::vector<bool>{true, false}));
    EXPECT_FALSE(rig.form->OperationRunning);
    EXPECT_FALSE(rig.form->Form_Wait.Visible);
    if (ost4) {
      EXPECT_EQ(rig.log().front(), "READ MAPPING TABLE!");
      EXPECT_EQ(rig.log().at(1), kReading);
    }
    // Inside another operation the flag stays with that operation.
    rig.form->OperationRunning = true;
    ASSERT_TRUE(ost4 ? rig.form->Function_Read_MAPPING_TABLE() : rig.form->Function_ReadFAT());
    EXPECT_TRUE(rig.form->OperationRunning);
  }
}

// An Ostrel III cartridge with the given FAT sector in sector 1.
std::unique_ptr<TableRig> rigWithFat(const Bytes& fat) {
  auto rig = std::make_unique<TableRig>(SimConfig::fromTypeCode(0x84), SimPreset::Blank);
  EXPECT_TRUE(rig->module->flash().program(1, 0, fat));
  return rig;
}

TEST(TableOperations, ObdiiVersionWarning) {
  struct Case {
    const char* brand;
    const char* version;
    const char* versionExtra;
    bool flagBefore;
    bool flagAfter;
    bool box;
  } cases[] = {
      {"OBDII", "91 V3.4", "", false, true, true},
      {"OBDII", "51", "V2.9", false, true, true},  // no V in version: versionExtra stands in
      {"OBDII", "91 V3.5", "", true, false, false},
      {"obdii", "91 V3.4", "", true, true, false},  // other letter case is not checked
      {"Corvenne", "91 V1.0", "", false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.brand) + " " + c.version + c.versionExtra);
    const std::vector<SimFatEntry> entries = {{2, 0, c.brand, c.version, c.versionExtra, 0, 4, ""},
                                              {2, 0, "Halvard", "V1.03", "NO", 4, 2, "EUROPE"}};
    auto rig = rigWithFat(buildFatSector(entries, 256));
    rig->form->ObdiiTooOld = c.flagBefore;
    ASSERT_TRUE(rig->form->Function_ReadFAT());
    EXPECT_EQ(rig->form->ObdiiTooOld, c.flagAfter);
    ASSERT_EQ(rig->host.boxes.size(), c.box ? 1u : 0u);
    if (c.box) {
      EXPECT_EQ(rig->host.boxes[0].text, kTooOldBox);
      EXPECT_EQ(rig->host.boxes[0].kind, MsgBoxKind::Warning);
      EXPECT_EQ(rig->host.boxes[0].buttons, MsgBoxButtons::Ok);
    }
    // The read goes on after the warning.
    expectCatalogue(rig->form->CartridgeCatalogue, entries, 256);
  }
}

TEST(TableOperations, DamagedHeadersStayInsideTheSector) {
  // A sound catalogue of 256 entries on 256 sectors: the base software, then aliases in pairs.
  std::vector<SimFatEntry> many;
  for (int k = 1; k <= 256; ++k)
    many.push_back({2, uint8_t(k), "B" + std::to_string(k), "V1", "",
                    uint16_t(k == 1 ? 0 : 2 + (k - 2) / 2), uint16_t(k == 1 ? 2 : 1), ""});
  struct Case {
    const char* what;
    uint16_t signature;
    uint16_t storedCount;
    size_t taken;
    const char* ignoredLine;
  } cases[] = {
      {"count above 256", 0xA11E, 300, 256,
       "FAT entry count 300, 44 entries ignored: installation and removal refused"},
      {"count 0xFFFF", 0xA11E, 0xFFFF, 256,
       "FAT entry count 65535, 65279 entries ignored: installation and removal refused"},
      {"older signature", 0x55AA, 256, 256, nullptr},
      {"unknown signature", 0x1234, 256, 0, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes fat = buildFatSector(many, 256);
    fat[0] = uint8_t(c.signature >> 8);
    fat[1] = uint8_t(c.signature);
    fat[2] = 0x77;  // format and sector-count words are replaced on reading
    fat[5] = 0x99;
    fat[106] = uint8_t(c.storedCount >> 8);
    fat[107] = uint8_t(c.storedCount);
    auto rig = rigWithFat(fat);
    ASSERT_TRUE(rig->form->Function_ReadFAT());
    const auto& cat = rig->form->CartridgeCatalogue;
    if (c.taken == 0) {
      EXPECT_EQ(cat.header.entryCount, 0);
      EXPECT_GE(rig->logIndex(kNotExist), 0);
      continue;
    }
    expectCatalogue(cat, many, 256);  // entry 152 and on from offset 32768
    EXPECT_EQ(rig->logIndex(kNotExist), -1);
    if (c.ignoredLine) {
      EXPECT_GE(rig->logIndex(c.ignoredLine), 0);
    }
    // Writing back a catalogue whose entries were ignored would lose them.
    EXPECT_EQ(rig->form->catalogueChangeAllowed(), c.ignoredLine == nullptr);
    EXPECT_EQ(rig->host.boxes.size(), c.ignoredLine ? 1u : 0u);
  }
}

// Entries beyond what the FAT sector holds own sectors too: their mappings
// must survive the read on an Ostrel IV.
TEST(TableOperations, Ost4KeepsMappingsWhenFatEntriesWereIgnored) {
  for (uint16_t storedCount : {uint16_t(14), uint16_t(300)}) {
    SCOPED_TRACE(storedCount);
    TableRig rig(SimConfig::fromTypeCode(0x89), SimPreset::Demo);
    const uint16_t n = rig.config.sectorCount;
    ASSERT_TRUE(rig.form->Function_Read_MAPPING_TABLE());
    Bytes fat = rig.flash(demoPhysicalSector(1, n));
    fat[106] = uint8_t(storedCount >> 8);
    fat[107] = uint8_t(storedCount);
    rig.module->flash().erase(demoPhysicalSector(1, n));
    rig.module->flash().program(demoPhysicalSector(1, n), 0, fat);
    const auto stray = allocatePhysicalSector(rig.form->MappingTable, 28, n);
    ASSERT_TRUE(stray);
    ASSERT_TRUE(rig.form->Function_ReadFAT());
    const bool ignored = storedCount > 256;
    EXPECT_EQ(rig.form->MappingTable.words[28], ignored ? *stray : UNMAPPED_SECTOR);
    EXPECT_EQ(rig.form->MappingTable.physicalSectorInUse[*stray], ignored ? 1 : 0);
  }
}

// A mapping table that could not be read or is damaged is not a blank
// cartridge: the FAT read fails instead of showing an empty catalogue that
// the next installation would write over the software still there.
TEST(TableOperations, Ost4MappingTableStatesAndWhatDetectionMakesOfThem) {
  struct Case {
    const char* what;
    SimPreset preset;
    std::function<void(TableRig&)> damage;
    bool mappingRead, fatRead;
  };
  const Case cases[] = {
      {"demo", SimPreset::Demo, [](TableRig&) {}, true, true},
      {"blank", SimPreset::Blank, [](TableRig&) {}, true, true},
      {"signature damaged", SimPreset::Demo,
       [](TableRig& r) { r.module->flash().program(60001, 65504, Bytes{0x0D}); }, true, false},
      {"second sector unreadable", SimPreset::Demo,
       [](TableRig& r) { r.module->faults().silenceAfterCommands = 17; }, true, false},
      {"nothing read", SimPreset::Demo,
       [](TableRig& r) { r.module->faults().silenceAfterCommands = 0; }, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    {
      TableRig rig(SimConfig::fromTypeCode(0x89), c.preset);
      c.damage(rig);
      EXPECT_EQ(rig.form->Function_Read_MAPPING_TABLE(), c.mappingRead);
      rig.form->Memo1.clear();
      EXPECT_EQ(rig.form->Function_ReadFAT(), c.fatRead);
      if (!c.fatRead) {
        EXPECT_EQ(rig.form->StaticText_Status2.text, kReadFail);
      }
      EXPECT_EQ(rig.form->catalogueChangeAllowed(), c.fatRead);
    }
    // Detection: the customer build drops such a module; the engineering
    // builds keep it, with an empty catalogue that may not be changed.
    for (int buildMode : {2, 1}) {
      SCOPED_TRACE(buildMode);
      TableRig rig(SimConfig::fromTypeCode(0x89), c.preset, buildMode);
      rig.comm.ClosePort();
      rig.form->CartridgeCatalogue.header.entryCount = 5;  // left by an earlier module
      c.damage(rig);
      // The identify probe is one more command before the tables.
      if (auto& silence = rig.module->faults().silenceAfterCommands) *silence += 1;
      rig.comm.replug("SIM0");
      rig.form->Function_Detect();
      const bool kept = buildMode != 2;
      EXPECT_EQ(rig.form->Connected, c.fatRead || kept);
      if (!c.fatRead && kept) {
        EXPECT_EQ(rig.form->CartridgeCatalogue.header.entryCount, 0);
        EXPECT_FALSE(rig.form->catalogueChangeAllowed());
        EXPECT_TRUE(rig.form->Button_Erase.enabled);
      }
    }
  }
}

TEST(TableOperations, FatRefreshRoundTripOnEveryGeneration) {
  for (const auto& g : allGenerations()) {
    SCOPED_TRACE(g.name);
    TableRig rig(g.config, SimPreset::Demo);
    ASSERT_TRUE(rig.readTables());
    // "Zanfir" (slot 12) removed, as a removal leaves it.
    rig.form->CartridgeCatalogue.entries[11].kind = 0;
    rig.form->FatDirty = true;
    rig.form->Function_FATRefresh(rig.form->FlashImage, 0);
    ASSERT_GE(rig.form->FlashImage.Size(), 2u * 65536);
    const uint8_t* sector = rig.form->FlashImage.Memory() + 65536;
    EXPECT_EQ(rig.form->BlockTable[1].sum, byteSum(sector, 65536));
    EXPECT_EQ(rig.form->BlockTable[1].xorValue, byteXor(sector, 65536));
    EXPECT_EQ(be16(sector + 106), 13);

    rig.form->BlockTable[1].writeFlag = 1;
    rig.form->BlockTable[1].eraseFlag = 1;
    ASSERT_TRUE(rig.form->Function_ProgramSector(1, false, true));
    if (rig.ost4()) {
      ASSERT_TRUE(rig.form->Function_Write_Mapping_Table());
    }
    auto want = demoCatalogue();
    want.erase(want.begin() + 11);
    auto written = std::make_unique<CartridgeCatalogue>(rig.form->CartridgeCatalogue);
    rig.form->CartridgeCatalogue = {};
    ASSERT_TRUE(rig.readTables());
    EXPECT_EQ(rig.form->CartridgeCatalogue, *written);
    expectCatalogue(rig.form->CartridgeCatalogue, want, g.config.sectorCount);
    EXPECT_EQ(rig.violations(), "");
  }
}

TEST(TableOperations, Ost4RelocatedCatalogueStillFindsItsData) {
  TableRig rig(SimConfig::fromTypeCode(0x89), SimPreset::Demo);
  const uint16_t n = rig.config.sectorCount;
  ASSERT_TRUE(rig.readTables());
  rig.form->Function_FATRefresh(rig.form->FlashImage, 1);
  rig.form->BlockTable[1].writeFlag = 1;
  ASSERT_TRUE(rig.form->Function_ProgramSector(1, false, true));
  ASSERT_TRUE(rig.form->Function_Write_Mapping_Table());
  rig.form->MappingTable.clear();
  ASSERT_TRUE(rig.readTables());

  // Everything but the base software now ends at the top of the logical
  // space, and each run still reads back the data written for it.
  const auto demo = demoCatalogue();
  const auto& cat = rig.form->CartridgeCatalogue;
  ASSERT_EQ(cat.header.entryCount, demo.size());
  EXPECT_EQ(cat.entries[0].startSector, 0);
  const FatEntry& last = cat.entries[demo.size() - 1];
  EXPECT_EQ(last.startSector + last.sectorCount, n);
  for (size_t k : {size_t(1), size_t(5), demo.size() - 1}) {
    SCOPED_TRACE(demo[k].brand);
    const FatEntry& e = cat.entries[k];
    EXPECT_NE(e.startSector, demo[k].startSector);
    for (uint16_t i = 0; i < e.sectorCount; ++i) {
      rig.form->Function_ReadSector(uint16_t(e.startSector + i), false);
      const Bytes want = demoSectorData(k == 5 ? demo[4].brand : demo[k].brand, i,
                                        demo[k].sectorCount, demo[k].startSector + i);
      EXPECT_TRUE(Bytes(rig.form->ReadBuffer.Bytes().begin(), rig.form->ReadBuffer.Bytes().end()) ==
                  want)
          << i;
    }
  }
  EXPECT_EQ(rig.violations(), "");
}

TEST(TableOperations, FatRefreshRelocatesOnlyOnOstrelFour) {
  struct Case {
    Generation generation;
    int relocate;
    uint16_t second, third;
  } cases[] = {{OstrelIV, 1, 80, 90}, {OstrelIV, 0, 10, 30}, {OstrelIII, 1, 10, 30}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.generation) + "/" + std::to_string(c.relocate));
    TableRig rig(SimConfig::fromTypeCode(0x84), SimPreset::Blank);
    rig.form->ModuleGeneration = c.generation;
    rig.form->SectorCount = 100;
    rig.form->ResetBlockTable();
    auto& t = rig.form->MappingTable;
    makeFreshMappingTable(t);
    for (uint16_t l = 0; l < 40; ++l) t.words[l] = uint16_t(500 + l);
    auto& cat = rig.form->CartridgeCatalogue;
    cat = {};
    cat.header.entryCount = 3;
    const std::pair<uint16_t, uint16_t> runs[] = {{0, 10}, {10, 10}, {30, 10}};
    for (int k = 0; k < 3; ++k) {
      cat.entries[size_t(k)].kind = 2;
      setFatText(cat.entries[size_t(k)].brand, "B" + std::to_string(k));
      cat.entries[size_t(k)].startSector = runs[k].first;
      cat.entries[size_t(k)].sectorCount = runs[k].second;
    }
    rig.form->Function_FATRefresh(rig.form->FlashImage, c.relocate);
    EXPECT_EQ(cat.entries[0].startSector, 0);
    EXPECT_EQ(cat.entries[1].startSector, c.second);
    EXPECT_EQ(cat.entries[2].startSector, c.third);
    const uint8_t* sector = rig.form->FlashImage.Memory() + 65536;
    EXPECT_EQ(be16(sector + 108 + 212 + 80), c.second);
    EXPECT_EQ(be16(sector + 108 + 2 * 212 + 80), c.third);
    EXPECT_EQ(be16(sector + 4), 100);
    // The data follow their entries through the table.
    EXPECT_EQ(t.words[c.second], 510);
    EXPECT_EQ(t.words[c.third + 9], 539);
    EXPECT_EQ(t.words[5], 505);
  }
}

TEST(TableOperations, FatRefreshConvertsLegacyPathsInTheBuildLanguage) {
  TableRig rig(SimConfig::fromTypeCode(0x84), SimPreset::Blank);
  auto form =
      std::make_unique<TForm_MAIN>(0, 1, rig.host, rig.clock, rig.comm);  // Traditional Chinese
  form->FormCreate();
  form->ModuleGeneration = OstrelIII;
  form->SectorCount = 256;
  form->ResetBlockTable();
  auto& e = form->CartridgeCatalogue.entries[0];
  form->CartridgeCatalogue.header.entryCount = 1;
  e.kind = 1;
  e.pathField[1] = 0xA4;  // Big5 for U+4E2D
  e.pathField[2] = 0xA4;
  e.pathField[29] = 0x42;
  form->Function_FATRefresh(form->FlashImage, 0);
  EXPECT_EQ(e.kind, 2);
  EXPECT_EQ(e.pathField[127], 0x42);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(e.pathField.data()) + 1), "\xE4\xB8\xAD");
  const uint8_t* stored = form->FlashImage.Memory() + 65536 + 108;
  EXPECT_EQ(stored[0], 2);
  EXPECT_EQ(stored[84 + 1], 0xE4);
}

TEST(TableOperations, DetectionReadsTheDemoCatalogue) {
  struct Case {
    GenCase gen;
    SimPreset preset;
    size_t entries;
  };
  std::vector<Case> cases;
  for (const auto& g : allGenerations())
    cases.push_back({g, SimPreset::Demo, demoCatalogue().size()});
  cases.push_back({{"blank Ostrel IV", SimConfig::fromTypeCode(0x8A)}, SimPreset::Blank, 0});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.gen.name);
    TableRig rig(c.gen.config, c.preset, 2);
    rig.comm.ClosePort();
    rig.form->ModuleGeneration = OstrelI;
    rig.form->SectorCount = 0;
    rig.form->Function_Detect();
    ASSERT_TRUE(rig.form->Connected);
    EXPECT_EQ(rig.form->ModuleGeneration, uint8_t(c.gen.config.generation));
    EXPECT_EQ(rig.form->StaticText_Device_1.text, "Device EXIST");
    if (c.entries)
      expectCatalogue(rig.form->CartridgeCatalogue, demoCatalogue(), c.gen.config.sectorCount);
    EXPECT_EQ(rig.form->CartridgeCatalogue.header.entryCount, c.entries);
    EXPECT_TRUE(rig.form->FatFreshRead);
    EXPECT_FALSE(rig.form->OperationRunning);
    if (rig.ost4()) {
      EXPECT_GE(rig.logIndex("READ MAPPING TABLE!"), 0);
    }
    // An Ostrel IV burn has no check phase: its bar is not offered.
    EXPECT_EQ(rig.form->ProgressBar3.visible, !rig.ost4());
    EXPECT_EQ(rig.form->Label4.visible, !rig.ost4());
  }
}

}  // namespace
}  // namespace ostrel
