// Installation end to end in virtual time: packages placed on the demo or a
// blank cartridge of every generation, written, read back; fragmented space
// compacted; and a compacting burn cut off at every sector, which the next
// connection finds intact or repairs.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/prompt_table.h"
#include "cartfs/table_rig.h"
#include "common/sim_generations.h"
#include "flash/burn_journal.h"
#include "sim/flash_store.h"

namespace ostrel {
namespace {

// Data of a loaded package's block, independent of the code under test.
Bytes packageData(const std::string& brand, uint32_t index) {
  Bytes d(65536);
  uint32_t x = 2166136261u;
  for (char c : brand) x = (x ^ uint8_t(c)) * 16777619u;
  x ^= index * 2654435761u;
  for (auto& b : d) {
    x = x * 1664525u + 1013904223u;
    b = uint8_t(x >> 24);
  }
  return d;
}

struct Package {
  std::string brand, version, path;
  uint16_t sectors;
};

// Puts packages into the LoadedCatalogue and PackageImage as loading does.
void loadPackages(TForm_MAIN& f, const std::vector<Package>& packages) {
  for (const Package& p : packages) {
    const uint16_t block = uint16_t(f.PackageImage.Size() / 65536);
    FatEntry& e = f.LoadedCatalogue.entries[f.LoadedCatalogue.header.entryCount++];
    e = FatEntry{};
    e.kind = 2;
    setFatText(e.brand, p.brand);
    setFatText(e.version, p.version);
    std::copy(p.path.begin(), p.path.end(), e.pathField.begin() + 1);
    e.startSector = block;
    e.sectorCount = p.sectors;
    for (uint16_t k = 0; k < p.sectors; ++k) f.PackageImage.Write(packageData(p.brand, k));
  }
  f.ItemFAT_IN();
}

// What each sector of each piece of software must hold: demo software keeps
// the data of its original place, installed software its package's blocks.
using Expected = std::map<std::string, std::vector<Bytes>>;  // by brand + " " + version

Expected expectedSoftware(const std::vector<SimFatEntry>& onCartridge,
                          const std::vector<Package>& packages) {
  Expected want;
  {
    // Aliases share the sectors the first of them was given.
    std::map<uint16_t, SimFatEntry> firstAt;
    for (const SimFatEntry& e : onCartridge) firstAt.emplace(e.startSector, e);
    for (const SimFatEntry& e : onCartridge) {
      const SimFatEntry& owner = firstAt.at(e.startSector);
      for (uint32_t k = 0; k < e.sectorCount; ++k)
        want[e.brand + " " + e.version].push_back(
            demoSectorData(owner.brand, k, owner.sectorCount, owner.startSector + k));
    }
  }
  for (const Package& p : packages)
    for (uint16_t k = 0; k < p.sectors; ++k)
      want[p.brand + " " + p.version].push_back(packageData(p.brand, k));
  return want;
}

// Reads the cartridge's tables and checks every sector of every piece of
// software listed against what it must hold (the FAT sector aside).
void expectCartridge(TableRig& rig, const Expected& want, bool everyOneListed = true) {
  TForm_MAIN& f = *rig.form;
  ASSERT_TRUE(rig.readTables());
  const CartridgeCatalogue& c = f.CartridgeCatalogue;
  std::size_t listed = 0;
  for (std::size_t i = 0; i < c.header.entryCount; ++i) {
    const FatEntry& e = c.entries[i];
    if (e.kind == 0) continue;
    const std::string brand = std::string(fatText(e.brand)) + " " + std::string(fatText(e.version));
    SCOPED_TRACE(brand);
    auto it = want.find(brand);
    ASSERT_NE(it, want.end());
    ASSERT_EQ(it->second.size(), e.sectorCount);
    ++listed;
    for (uint16_t k = 0; k < e.sectorCount; ++k) {
      const uint16_t logical = uint16_t(e.startSector + k);
      if (logical == 1) continue;
      const uint32_t physical = rig.ost4() ? f.MappingTable.words[logical] : logical;
      ASSERT_TRUE(rig.flash(physical) == it->second[k]) << "sector " << logical;
    }
  }
  if (everyOneListed) {
    EXPECT_EQ(listed, want.size());
  }
}

void selectAll(TForm_MAIN& f) {
  for (ListItem& item : f.ListView_FAT_IN.items) item.selected = true;
}

TEST(Install, PackagesOntoTheDemoCartridgeOfEveryGenerationAreByteExact) {
  const std::vector<Package> packages = {{"Nordvik", "V1.00", "EUROPE\\NORDIC", 3},
                                         {"Yarrow", "V2.00", "", 9}};
  for (const auto& g : allGenerations()) {
    SCOPED_TRACE(g.name);
    TableRig rig(g.config, SimPreset::Demo, 1);
    TForm_MAIN& f = *rig.form;
    ASSERT_TRUE(rig.readTables());
    loadPackages(f, packages);
    selectAll(f);
    f.Button_InstallClick();
    // First fit: the 3-sector package takes the gap 26..31, the other goes behind the last.
    EXPECT_EQ(f.CartridgeCatalogue.entries[14].startSector, 26);
    EXPECT_EQ(f.CartridgeCatalogue.entries[15].startSector, 44);
    EXPECT_TRUE(f.NewlyAdded[15] && f.NewlyAdded[16]);
    ASSERT_TRUE(f.Function_Auto());
    expectCartridge(rig, expectedSoftware(demoCatalogue(), packages));
    // The installed packages left the selection side.
    EXPECT_EQ(f.LoadedCatalogue.header.entryCount, 0);
  }
}

TEST(Install, OntoABlankCartridgeTheBaseSoftwareComesFirst) {
  for (const auto& g : allGenerations()) {
    SCOPED_TRACE(g.name);
    TableRig rig(g.config, SimPreset::Blank, 1);
    TForm_MAIN& f = *rig.form;
    ASSERT_TRUE(rig.readTables());
    // Software alone is refused: there is no base software.
    loadPackages(f, {{"Yarrow", "V2.00", "", 2}});
    selectAll(f);
    f.Button_InstallClick();
    EXPECT_EQ(rig.host.boxes.back().text, "Load Cancel!! System file is not exist!!");
    EXPECT_EQ(f.CartridgeCatalogue.header.entryCount, 0);
    // With the base software it goes in first, at sector 0, without a question.
    rig.host.boxes.clear();
    loadPackages(f, {{"OBDII", "91 V4.20", "", 4}});
    selectAll(f);
    f.Button_InstallClick();
    EXPECT_TRUE(rig.host.boxes.empty());
    ASSERT_EQ(f.CartridgeCatalogue.header.entryCount, 2);
    EXPECT_EQ(fatText(f.CartridgeCatalogue.entries[0].brand), "OBDII");
    EXPECT_EQ(f.CartridgeCatalogue.entries[0].startSector, 0);
    EXPECT_EQ(f.CartridgeCatalogue.entries[1].startSector, 4);
    ASSERT_TRUE(f.Function_Auto()) << [&] {
      std::string all;
      for (const auto& l : f.Memo1.lines) all += l + "\n";
      return all;
    }();
    expectCartridge(
        rig, expectedSoftware({}, {{"OBDII", "91 V4.20", "", 4}, {"Yarrow", "V2.00", "", 2}}));
  }
}

TEST(Install, QuestionsAndRefusals) {
  struct Case {
    const char* what;
    Package package;
    std::vector<MsgBoxResult> answers;
    std::string box;  // the first box shown
    bool installed;
  };
  const Case cases[] = {
      {"release too old",
       {"OBDII", "91 V3.4", "", 4},
       {},
       "OBDII Version is too old, can not download Fault code:0020",
       false},
      {"base software kept as other software",
       {"OBDII", "91 V4.20", "", 2},
       {MsgBoxResult::No},
       "OverwriteOBDII ??",
       true},
      {"already there, declined",
       {"Zanfir", "V0.90", "", 1},
       {MsgBoxResult::No},
       "Zanfir has already existed in the module. Do you still want this to be chosen for "
       "downloading??",
       false},
      {"already there, accepted",
       {"Zanfir", "V0.90", "", 1},
       {MsgBoxResult::Yes},
       "Zanfir has already existed in the module. Do you still want this to be chosen for "
       "downloading??",
       true},
      {"not enough space", {"Huge", "V1", "", 250}, {}, "Free space is not enough!!", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TableRig rig(SimConfig::fromTypeCode(0x84), SimPreset::Demo, 1);
    TForm_MAIN& f = *rig.form;
    ASSERT_TRUE(rig.readTables());
    loadPackages(f, {c.package});
    selectAll(f);
    for (MsgBoxResult a : c.answers) rig.host.answers.push_back(a);
    const uint16_t before = f.CartridgeCatalogue.header.entryCount;
    f.Button_InstallClick();
    ASSERT_FALSE(rig.host.boxes.empty());
    EXPECT_EQ(rig.host.boxes.front().text, c.box);
    EXPECT_EQ(f.CartridgeCatalogue.header.entryCount, before + (c.installed ? 1 : 0));
  }
}

// Every question the customer window asks, in every language: the text is
// the language's own, and Yes and No each do the same in all four.
TEST(Install, EveryQuestionDoesTheSameInEveryLanguage) {
  struct Question {
    const char* what;
    std::function<std::string(int)> text;         // from the language's messages
    std::function<void(TForm_MAIN&)> ask;         // brings the question up
    std::function<std::string(TForm_MAIN&)> did;  // what the answer did
  };
  auto install = [](const Package& p) {
    return [p](TForm_MAIN& f) {
      loadPackages(f, {p});
      selectAll(f);
      f.Button_InstallClick();
    };
  };
  auto entries = [](TForm_MAIN& f) {
    return std::to_string(f.CartridgeCatalogue.header.entryCount);
  };
  auto msg = [](int m, int l) { return std::string(promptText(m, l)); };
  const Question questions[] = {
      {"exit after a burn", [&](int l) { return msg(35, l) + msg(60, l); },
       install({"Nordvik", "V1.00", "", 2}),
       [](TForm_MAIN& f) {
         return "step " + std::to_string(f.VisibleStep) +
                (f.Button_Cus_LoadFile.enabled ? " load" : "") + (f.Closed ? " closed" : "");
       }},
      {"overwrite the base software", [&](int l) { return msg(51, l) + "OBDII ??"; },
       install({"OBDII", "91 V4.20", "", 2}),
       [&](TForm_MAIN& f) {
         return entries(f) + " " + std::string(fatText(f.CartridgeCatalogue.entries[0].version));
       }},
      {"software already there", [&](int l) { return "Zanfir" + msg(59, l); },
       install({"Zanfir", "V0.90", "", 1}), entries},
      {"remove", [&](int l) { return msg(47, l) + "1" + msg(50, l); },
       [](TForm_MAIN& f) {
         for (ListItem& item : f.ListView_FAT_OUT.items) item.selected = item.caption == "Zanfir";
         f.Button_DELClick();
       },
       entries},
  };
  for (const Question& q : questions) {
    SCOPED_TRACE(q.what);
    std::map<MsgBoxResult, std::string> didInEnglish;
    for (int language = 0; language < 4; ++language) {
      for (MsgBoxResult answer : {MsgBoxResult::Yes, MsgBoxResult::No}) {
        SCOPED_TRACE(testing::Message() << "language " << language << ", answer Yes "
                                        << (answer == MsgBoxResult::Yes));
        TableRig rig(SimConfig::fromTypeCode(0x84), SimPreset::Demo, 2, language);
        TForm_MAIN& f = *rig.form;
        ASSERT_TRUE(rig.readTables());
        rig.host.answers = {answer};  // later questions: No
        q.ask(f);
        const auto asked =
            std::find_if(rig.host.boxes.begin(), rig.host.boxes.end(),
                         [](const auto& b) { return b.buttons == MsgBoxButtons::YesNo; });
        ASSERT_NE(asked, rig.host.boxes.end());
        EXPECT_EQ(asked->text, q.text(language));
        const std::string did = q.did(f);
        if (language == 0)
          didInEnglish[answer] = did;
        else
          EXPECT_EQ(did, didInEnglish[answer]);
        // Yes to the end question finishes the work; the window stays open.
        if (q.text(0) == msg(35, 0) + msg(60, 0))
          EXPECT_EQ(did, answer == MsgBoxResult::Yes ? "step 4" : "step 2 load");
      }
    }
    EXPECT_NE(didInEnglish[MsgBoxResult::Yes], didInEnglish[MsgBoxResult::No]);
  }
}

// Fragmented free space: the ascending compaction gathers it behind the last
// software; a larger base software makes room through the descending one.
TEST(Install, CompactionKeepsEverySoftwareByteExact) {
  struct Case {
    const char* what;
    SimConfig config;
    Package package;
  };
  const Case cases[] = {
      {"Ostrel III ascending", SimConfig::fromTypeCode(0x84), {"Wide", "V1", "", 214}},
      {"Ostrel II descending", SimConfig::fromTypeCode(0x81), {"OBDII", "91 V4.20", "", 9}},
      {"Ostrel I ascending", SimConfig::ostrel1(), {"Wide", "V1", "", 86}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TableRig rig(c.config, SimPreset::Demo, 1);
    TForm_MAIN& f = *rig.form;
    ASSERT_TRUE(rig.readTables());
    loadPackages(f, {c.package});
    selectAll(f);
    rig.host.answers.push_back(MsgBoxResult::Yes);  // overwrite the base software
    f.Button_InstallClick();
    EXPECT_TRUE(rig.memoHas("Free space adjust finish!!"));
    ASSERT_TRUE(f.Function_Auto());
    Expected want = expectedSoftware(demoCatalogue(), {c.package});
    if (c.package.brand == "OBDII") want.erase("OBDII 91 V4.10");  // replaced
    expectCartridge(rig, want);
  }
}

// A cartridge holding the given software, written the way the simulator's
// demo is (each sector names its software and place).
void makeCartridge(TableRig& rig, const std::vector<SimFatEntry>& entries) {
  for (const SimFatEntry& e : entries)
    for (uint32_t k = 0; k < e.sectorCount; ++k)
      if (e.startSector + k != 1)
        rig.module->flash().program(e.startSector + k, 0,
                                    demoSectorData(e.brand, k, e.sectorCount, e.startSector + k));
  rig.module->flash().program(1, 0, buildFatSector(entries, rig.config.sectorCount));
}

// An Ostrel III cartridge whose free space lies in pieces: installing five
// sectors slides Arvo and Bram down over their own places.
const std::vector<SimFatEntry> kTightOst3 = {{2, 0, "OBDII", "91 V4.10", "", 0, 228, ""},
                                             {2, 0, "Arvo", "V1", "", 230, 8, "EU"},
                                             {2, 0, "Bram", "V1", "", 240, 14, ""}};

// A burn cut off at any point leaves a cartridge that the next connection
// reads with every listed piece of software byte-exact, after the repair it
// offers when software was damaged.
TEST(Install, BurnCutOffAtEverySectorIsFoundIntactOrRepaired) {
  struct Case {
    const char* what;
    SimConfig config;
    std::vector<SimFatEntry> cartridge;  // empty: the demo
    Package package;
  };
  const std::vector<SimFatEntry> tight = {{2, 0, "OBDII", "91 V4.10", "", 0, 100, ""},
                                          {2, 0, "Arvo", "V1", "", 102, 8, "EU"},
                                          {2, 0, "Bram", "V1", "", 112, 14, ""}};
  const std::vector<SimFatEntry> roomy = {{2, 0, "OBDII", "91 V4.10", "", 0, 4, ""},
                                          {2, 0, "Arvo", "V1", "", 6, 3, "EU"},
                                          {2, 0, "Bram", "V1", "", 12, 4, ""}};
  const Case cases[] = {
      // Free space in three pieces of two: everything behind the base software slides down.
      {"Ostrel I, ascending compaction", SimConfig::ostrel1(), tight, {"Cade", "V1", "", 5}},
      {"Ostrel III, ascending compaction",
       SimConfig::fromTypeCode(0x84),
       kTightOst3,
       {"Cade", "V1", "", 5}},
      // A larger base software: everything else goes to the end first.
      {"Ostrel II, descending compaction",
       SimConfig::fromTypeCode(0x81),
       roomy,
       {"OBDII", "91 V4.20", "", 8}},
      {"Ostrel IV, first fit", SimConfig::fromTypeCode(0x89), {}, {"Cade", "V1", "", 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const bool demo = c.cartridge.empty();
    const std::vector<SimFatEntry> before = demo ? demoCatalogue() : c.cartridge;
    // Old and new software may both be found: each must be byte-exact.
    Expected want = expectedSoftware(before, {c.package});
    auto plan = [&](TableRig& rig) {
      if (!demo) makeCartridge(rig, c.cartridge);
      rig.form->ModuleIdentity = rig.config.identity;  // as detection found it
      ASSERT_TRUE(rig.readTables());
      loadPackages(*rig.form, {c.package});
      selectAll(*rig.form);
      rig.host.answers.push_back(MsgBoxResult::Yes);  // overwrite the base software
      rig.form->Button_InstallClick();
    };
    uint64_t burnBytes = 0;
    {
      TableRig rig(c.config, demo ? SimPreset::Demo : SimPreset::Blank, 1);
      plan(rig);
      const uint64_t start = rig.module->hostByteCount();
      ASSERT_TRUE(rig.form->Function_Auto());
      burnBytes = rig.module->hostByteCount() - start;
    }
    int repaired = 0, cuts = 0;
    // A cut in every sector the burn writes (the command bytes of a sector are
    // few: cuts a sector apart land in every sector's data in turn).
    for (uint64_t at = 100; at < burnBytes; at += 65536) {
      SCOPED_TRACE(at);
      ++cuts;
      TableRig rig(c.config, demo ? SimPreset::Demo : SimPreset::Blank, 1);
      TForm_MAIN& f = *rig.form;
      plan(rig);
      rig.module->faults().pullCableAfterHostBytes = rig.module->hostByteCount() + at;
      EXPECT_FALSE(f.Function_Auto());
      // Plugged in again: detection finds the module and judges what the burn left.
      rig.module->faults().pullCableAfterHostBytes.reset();
      rig.comm.replug("SIM0");
      f.Connected = false;
      rig.host.boxes.clear();
      rig.host.answers = {MsgBoxResult::Yes};
      f.Function_Detect();
      ASSERT_TRUE(f.Connected);
      repaired +=
          rig.memoHas("The last burn on this module was interrupted: software may be damaged");
      expectCartridge(rig, want, false);
      EXPECT_TRUE(f.catalogueChangeAllowed());
    }
    EXPECT_GE(cuts, c.package.sectors + 1);  // the new software and the FAT at least
    RecordProperty(c.what,
                   std::to_string(cuts) + " cuts, " + std::to_string(repaired) + " repaired");
  }
}

// ---------------------------------------------------------------- damaged catalogues

// Non-blank sectors of a simulated cartridge (physical), for copying one
// cartridge onto another module and for seeing that nothing changed.
using Sectors = std::map<uint32_t, Bytes>;

Sectors cartridgeOf(const TableRig& rig) {
  Sectors out;
  const FlashStore& flash = rig.module->flash();
  for (uint32_t s = 0; s < flash.capacity(); ++s)
    if (flash.state(s) != SectorState::Erased) out[s] = flash.read(s);
  return out;
}

// The demo cartridge under a FAT whose entries were changed after the fact.
std::vector<SimFatEntry> plantFat(TableRig& rig,
                                  const std::function<void(SimFatEntry&, uint16_t)>& change) {
  std::vector<SimFatEntry> entries = demoCatalogue();
  for (SimFatEntry& e : entries) change(e, rig.config.sectorCount);
  const uint32_t fat = rig.ost4() ? demoPhysicalSector(1, rig.config.sectorCount) : 1;
  EXPECT_TRUE(rig.module->flash().erase(fat));
  EXPECT_TRUE(rig.module->flash().program(fat, 0, buildFatSector(entries, rig.config.sectorCount)));
  return entries;
}

struct Damage {
  const char* what;
  const char* wrongBrand;  // an entry the read must name as wrong
  std::function<void(SimFatEntry&, uint16_t)> change;
};

const std::vector<Damage>& damages() {
  static const std::vector<Damage> list = {
      {"an entry inside the base software", "Corvenne",
       [](SimFatEntry& e, uint16_t) {
         if (e.brand == "Corvenne") e.startSector = 2;
       }},
      {"an alias of the base software over other software", "Zanfir",
       [](SimFatEntry& e, uint16_t) {
         if (e.brand == "Zanfir") e.startSector = 0, e.sectorCount = 10;
       }},
      {"an entry in sector 1 beside a one-sector base software", "Zanfir",
       [](SimFatEntry& e, uint16_t) {
         if (e.brand == "OBDII") e.sectorCount = 1;
         if (e.brand == "Zanfir") e.startSector = 1;
       }},
      {"overlapping entries", "Brenna",
       [](SimFatEntry& e, uint16_t) {
         if (e.brand == "Ostmark") e.sectorCount = 12;
       }},
      // Its units alone would take the used space past the cartridge's size.
      {"an entry past the end", "Arvinta",
       [](SimFatEntry& e, uint16_t sectors) {
         if (e.brand == "Arvinta") e.sectorCount = uint16_t(sectors - 1);
       }},
  };
  return list;
}

// A damaged catalogue is listed with its wrong entries named, and neither an
// installation nor a removal of sound software (in the customer build, which
// writes at once) changes anything on the cartridge.
TEST(Install, DamagedCataloguesChangeNothingOnEveryGeneration) {
  for (const auto& g : allGenerations()) {
    for (const Damage& d : damages()) {
      SCOPED_TRACE(std::string(g.name) + ", " + d.what);
      TableRig rig(g.config, SimPreset::Demo, 2);
      TForm_MAIN& f = *rig.form;
      plantFat(rig, d.change);
      ASSERT_TRUE(rig.readTables());
      EXPECT_EQ(f.CartridgeCatalogueState, TForm_MAIN::CatalogueState::Damaged);
      EXPECT_TRUE(std::any_of(rig.log().begin(), rig.log().end(), [&](const std::string& l) {
        return l.starts_with("FAT entry ") &&
               l.find(std::string("(") + d.wrongBrand + "): ") != l.npos;
      }));
      EXPECT_LE(f.Function_TotalUseSpace(), f.SectorCount);
      EXPECT_EQ(f.Function_FreeSpace() + f.Function_TotalUseSpace(), f.SectorCount);
      const Sectors before = cartridgeOf(rig);

      loadPackages(f, {{"Nordvik", "V1.00", "", 2}});
      selectAll(f);
      rig.host.answers = {MsgBoxResult::Yes, MsgBoxResult::Yes};
      f.Button_InstallClick();
      for (ListItem& item : f.ListView_FAT_OUT.items) item.selected = false;
      rig.host.answers = {MsgBoxResult::Yes, MsgBoxResult::Yes};
      f.Button_DELClick();  // nothing selected: everything listed at the top

      EXPECT_TRUE(cartridgeOf(rig) == before);
      EXPECT_EQ(rig.violations(), "");
      ASSERT_EQ(rig.host.boxes.size(), 2u);
      EXPECT_EQ(rig.host.boxes[0].text, rig.host.boxes[1].text);
      EXPECT_TRUE(
          rig.host.boxes[0].text.starts_with("The cartridge's file allocation table lists"));
    }
  }
}

// The way out: the wrong entry alone can be removed (it shares the base
// software's start sector but gets a row of its own), which changes the FAT
// and releases no sector the software that stays still uses.
TEST(Install, AWrongEntryCanBeRemovedOnEveryGeneration) {
  const Damage& d = damages()[1];
  for (const auto& g : allGenerations()) {
    SCOPED_TRACE(g.name);
    TableRig rig(g.config, SimPreset::Demo, 2);
    TForm_MAIN& f = *rig.form;
    rig.form->ModuleIdentity = rig.config.identity;
    plantFat(rig, d.change);
    ASSERT_TRUE(rig.readTables());
    ASSERT_EQ(f.CartridgeCatalogueState, TForm_MAIN::CatalogueState::Damaged);
    bool found = false;
    for (ListItem& item : f.ListView_FAT_OUT.items) {
      item.selected = item.caption == d.wrongBrand;
      found = found || item.selected;
    }
    ASSERT_TRUE(found);
    rig.host.answers = {MsgBoxResult::Yes};
    f.Button_DELClick();
    EXPECT_EQ(f.StaticText_Status1.text, "Remove OK!") << [&] {
      std::string all;
      for (const auto& l : rig.log()) all += l + "\n";
      return all;
    }();
    EXPECT_EQ(f.CartridgeCatalogueState, TForm_MAIN::CatalogueState::Readable);
    std::vector<SimFatEntry> kept = demoCatalogue();
    std::erase_if(kept, [&](const SimFatEntry& e) { return e.brand == d.wrongBrand; });
    expectCartridge(rig, expectedSoftware(kept, {}));
    EXPECT_EQ(rig.violations(), "");
  }
}

// The last check before a burn: a plan that would write over software that
// stays is stopped before anything is written; a whole-flash image, the
// engineer's explicit program of the cartridge, goes through.
TEST(Install, ABurnOverSoftwareThatStaysIsStoppedUnlessItIsAnImage) {
  const Bytes data = packageData("Stray", 0);
  for (const auto& g : allGenerations()) {
    for (const bool image : {false, true}) {
      SCOPED_TRACE(std::string(g.name) + (image ? ", image" : ", package"));
      TableRig rig(g.config, SimPreset::Demo, 1);
      TForm_MAIN& f = *rig.form;
      ASSERT_TRUE(rig.readTables());
      // Sector 5 holds Corvenne, which the plan leaves in the catalogue.
      MemoryStream& stream = image ? f.FlashImage : f.PackageImage;
      const std::size_t at = image ? 5 * kSectorSize : 0;
      stream.SetSize(at + kSectorSize);
      std::copy(data.begin(), data.end(), stream.Memory() + at);
      if (image)
        planFlashImageWrite(f.BlockTable[5], data, true);
      else
        planSectorWrite(f.BlockTable[5], data, true, 0);
      f.ImageKind = image ? 1 : 0;
      f.ImageBlockCount = f.SectorCount;
      const Sectors before = cartridgeOf(rig);

      EXPECT_EQ(f.Function_Program(), image);
      const uint32_t physical = rig.ost4() && !image ? f.MappingTable.words[5] : 5;
      EXPECT_EQ(rig.flash(physical) == data, image);
      if (!image) {
        EXPECT_TRUE(cartridgeOf(rig) == before);
        EXPECT_TRUE(rig.memoHas("Fault code:0052"));
        EXPECT_TRUE(rig.memoHas(
            "The burn was stopped before anything was written: it would overwrite software that "
            "stays on the cartridge: Corvenne [5]"));
      }
      EXPECT_EQ(rig.violations(), "");
    }
  }
}

// ---------------------------------------------------------------- journals

void putCartridge(TableRig& rig, const Sectors& sectors) {
  rig.module->flash().eraseAll();
  for (const auto& [s, data] : sectors) rig.module->flash().program(s, 0, data);
}

std::vector<std::string> filesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

Bytes readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// What a burn cut off on this computer left: the cartridge and the journal.
struct CutBurn {
  SimConfig config;
  Sectors cartridge;
  Bytes journal;
  std::string name;  // the journal's file name
};

// Plans the package onto the cartridge (empty: the demo) and burns it until
// the cable is pulled pullAt bytes into the burn, or until a write to the
// given physical sector is refused.
CutBurn cutBurn(const SimConfig& config, const std::vector<SimFatEntry>& entries,
                const Package& package, uint64_t pullAt, std::optional<uint32_t> refused = {}) {
  TableRig rig(config, entries.empty() ? SimPreset::Demo : SimPreset::Blank, 2);
  if (!entries.empty()) makeCartridge(rig, entries);
  rig.form->ModuleIdentity = config.identity;
  EXPECT_TRUE(rig.readTables());
  loadPackages(*rig.form, {package});
  selectAll(*rig.form);
  rig.form->autoSequence = [&] {
    if (refused)
      rig.module->faults().chunkNack = SimFaults::ChunkNack{*refused, 3, SimRepeat::Always};
    else
      rig.module->faults().pullCableAfterHostBytes = rig.module->hostByteCount() + pullAt;
    return rig.form->Function_Auto();
  };
  rig.form->Button_InstallClick();
  CutBurn cut;
  cut.config = config;
  cut.cartridge = cartridgeOf(rig);
  for (const std::string& name : filesIn(rig.host.programDir)) {
    cut.name = name;
    cut.journal = readBytes(rig.host.programDir + name);
  }
  return cut;
}

// A journal as this program wrote it before journals were keyed by the
// whole module: the ID alone in its header and its name, no plan.
std::pair<std::string, Bytes> olderJournal(
    const BurnJournal& j, const std::string& id,
    const std::vector<std::pair<JournalRecord, uint16_t>>& extra) {
  Bytes b{'O', 'S', 'T', 'R', 'E', 'L', '-', 'B', 'U', 'R', 'N',
          '-', 'J', 'O', 'U', 'R', 'N', 'A', 'L', '-', '1'};
  auto add = [&](JournalRecord type, uint16_t sector, const Bytes& payload) {
    const Bytes r = journalRecord(type, sector, payload);
    b.insert(b.end(), r.begin(), r.end());
  };
  const auto& key = j.key;
  add(JournalRecord::Header, 0,
      {key.generation, uint8_t(key.sectorCount >> 8), uint8_t(key.sectorCount), key.identity[4],
       key.identity[5], key.identity[6], key.identity[7]});
  add(JournalRecord::OldFat, 1, j.oldFat);
  for (const auto& [s, data] : j.oldSectors) add(JournalRecord::OldSector, s, data);
  for (const auto& [type, s] : extra)
    add(type, s, type == JournalRecord::OldSector ? Bytes(65536) : Bytes());
  for (uint32_t s : j.begun) add(JournalRecord::SectorBegins, uint16_t(s), {});
  return {id + "_BURN.JOURNAL", b};
}

// The journal of a burn cut off on this computer, met at the next start of
// the program by the cartridge it describes, by that cartridge changed on
// another computer, by a second cartridge with the same module ID, and as
// a damaged or cut-short file: a repair is offered only for the first, and
// nothing else ever writes to the cartridge.
TEST(Install, InterruptedBurnJournalIsAppliedOnlyToTheCartridgeItDescribes) {
  const SimConfig ost3 = SimConfig::fromTypeCode(0x84);
  const std::vector<SimFatEntry>& tight = kTightOst3;
  // Cade goes to 9..10: sector 9 shares its block with Arvo's last sector.
  const std::vector<SimFatEntry> roomy = {{2, 0, "OBDII", "91 V4.10", "", 0, 4, ""},
                                          {2, 0, "Arvo", "V1", "", 4, 5, "EU"},
                                          {2, 0, "Bram", "V1", "", 12, 4, ""}};
  const Package cade{"Cade", "V1", "", 5}, small{"Cade", "V1", "", 2};
  const uint64_t midBurn = 12 * 65536 + 777;
  const CutBurn compaction = cutBurn(ost3, tight, cade, midBurn);
  ASSERT_FALSE(compaction.journal.empty());
  const CutBurn partner = cutBurn(ost3, roomy, small, 0, 8);
  ASSERT_FALSE(partner.journal.empty());
  const JournalRead read = readJournal(compaction.journal, {OstrelIII, 256, ost3.identity});
  ASSERT_EQ(read.fit, JournalFit::Fits);

  // On another computer (no journal there) software is removed and other
  // software installed.
  auto changedElsewhere = [](const CutBurn& cut, const std::string& removed) {
    TableRig b(cut.config, SimPreset::Blank, 2);
    putCartridge(b, cut.cartridge);
    b.form->Function_Detect();
    EXPECT_TRUE(b.form->Connected);
    for (ListItem& item : b.form->ListView_FAT_OUT.items) item.selected = item.caption == removed;
    b.host.answers = {MsgBoxResult::Yes};
    b.form->Button_DELClick();
    loadPackages(*b.form, {{"November", "V1", "", 3}});
    selectAll(*b.form);
    b.form->Button_InstallClick();
    EXPECT_TRUE(b.memoHas("Program OK!"));
    return cartridgeOf(b);
  };
  const CutBurn ost4 = cutBurn(SimConfig::fromTypeCode(0x89), {}, small, 65536 + 777);
  ASSERT_FALSE(ost4.journal.empty());
  // A second cartridge with the same module ID, as it was before the burn.
  Sectors twin;
  {
    TableRig t(ost3, SimPreset::Demo, 2);
    twin = cartridgeOf(t);
  }
  const std::string id = "12345678";

  enum class Outcome { Repaired, Stale, Unfit };
  struct Case {
    const char* what;
    const CutBurn& burn;
    std::vector<SimFatEntry> before;     // the software before the burn
    Sectors cartridge;                   // empty: as the burn left it
    std::pair<std::string, Bytes> file;  // empty name: the journal as written
    Outcome outcome;
  };
  const Case cases[] = {
      {"cable pulled mid-compaction", compaction, tight, {}, {}, Outcome::Repaired},
      {"a block partner not written back, the program restarted",
       partner,
       roomy,
       {},
       {},
       Outcome::Repaired},
      {"named by the ID alone, written before this version",
       compaction,
       tight,
       {},
       olderJournal(read.journal, id, {}),
       Outcome::Repaired},
      {"Arvo removed and November installed on another computer",
       compaction,
       tight,
       changedElsewhere(compaction, "Arvo"),
       {},
       Outcome::Stale},
      {"Ostrel IV: Zanfir removed and November installed on another computer",
       ost4,
       demoCatalogue(),
       changedElsewhere(ost4, "Zanfir"),
       {},
       Outcome::Stale},
      {"a second cartridge with the same ID", compaction, tight, twin, {}, Outcome::Stale},
      {"a record of sector FFFF",
       compaction,
       tight,
       {},
       olderJournal(read.journal, id, {{JournalRecord::OldSector, 0xFFFF}}),
       Outcome::Unfit},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TableRig rig(c.burn.config, SimPreset::Blank, 2);
    TForm_MAIN& f = *rig.form;
    putCartridge(rig, c.cartridge.empty() ? c.burn.cartridge : c.cartridge);
    const std::string name = c.file.first.empty() ? c.burn.name : c.file.first;
    writeBytes(rig.host.programDir + name, c.file.first.empty() ? c.burn.journal : c.file.second);
    const Sectors before = cartridgeOf(rig);
    rig.host.answers = {MsgBoxResult::Yes};
    f.Function_Detect();
    ASSERT_TRUE(f.Connected);
    EXPECT_TRUE(f.catalogueChangeAllowed());
    const bool asked = std::any_of(rig.host.boxes.begin(), rig.host.boxes.end(),
                                   [](const auto& b) { return b.buttons == MsgBoxButtons::YesNo; });
    switch (c.outcome) {
      case Outcome::Repaired:
        EXPECT_TRUE(asked);
        expectCartridge(rig, expectedSoftware(c.before, {}));
        EXPECT_TRUE(filesIn(rig.host.programDir).empty());  // no journal, no kept sector
        break;
      case Outcome::Stale:
      case Outcome::Unfit: {
        EXPECT_FALSE(asked);
        EXPECT_TRUE(cartridgeOf(rig) == before);
        ASSERT_EQ(rig.host.boxes.size(), 1u);
        const std::string kept = rig.host.programDir + name + ".KEPT-1";
        EXPECT_EQ(rig.host.boxes[0].text,
                  (c.outcome == Outcome::Stale
                       ? "This cartridge has changed since the burn that was interrupted on this "
                         "computer. That burn's copy was not applied and nothing on the cartridge "
                         "was touched. The journal of that burn is kept in "
                       : "The journal of the last burn on this module is damaged or does not "
                         "belong to it. It was not applied and nothing on the cartridge was "
                         "touched; if that burn was interrupted, software on the cartridge may be "
                         "damaged. The journal is kept in ") +
                      kept + ".");
        EXPECT_EQ(filesIn(rig.host.programDir), std::vector<std::string>{name + ".KEPT-1"});
        break;
      }
    }
  }

  // The journal cut short at a sweep of byte counts: the next connection
  // repairs what it can show, names what it cannot, and never drops a
  // journal while software stays damaged.
  const Expected want = expectedSoftware(tight, {cade});
  std::vector<std::size_t> cuts = {10, 40, 100};
  for (std::size_t k = 1; k < 24; ++k) cuts.push_back(read.journal.validBytes * k / 24);
  cuts.push_back(read.journal.validBytes - 1);
  int repaired = 0, warned = 0;
  for (std::size_t cut : cuts) {
    SCOPED_TRACE(cut);
    TableRig rig(ost3, SimPreset::Blank, 2);
    TForm_MAIN& f = *rig.form;
    putCartridge(rig, compaction.cartridge);
    writeBytes(rig.host.programDir + compaction.name,
               Bytes(compaction.journal.begin(), compaction.journal.begin() + std::ptrdiff_t(cut)));
    rig.host.answers = {MsgBoxResult::Yes};
    f.Function_Detect();
    ASSERT_TRUE(f.Connected);
    // Which software the cartridge now lists that is not what it must be.
    std::vector<std::string> damaged;
    const CartridgeCatalogue& c = f.CartridgeCatalogue;
    for (std::size_t i = 0; i < c.header.entryCount; ++i) {
      const FatEntry& e = c.entries[i];
      const std::string brand = std::string(fatText(e.brand));
      const auto& sectors = want.at(brand + " " + std::string(fatText(e.version)));
      for (uint16_t k = 0; k < e.sectorCount; ++k)
        if (e.startSector + k != 1 && rig.flash(e.startSector + k) != sectors[k]) {
          damaged.push_back(brand);
          break;
        }
    }
    if (damaged.empty()) {
      ++repaired;
      continue;
    }
    ++warned;
    EXPECT_FALSE(filesIn(rig.host.programDir).empty());  // the journal is kept
    ASSERT_FALSE(rig.host.boxes.empty());
    // A journal too short to name anything says so of all the software.
    const std::string& box = rig.host.boxes.back().text;
    if (box.find("software on the cartridge may be damaged") != std::string::npos) continue;
    for (const std::string& brand : damaged)
      EXPECT_NE(box.find(brand), std::string::npos) << brand << " in " << box;
  }
  EXPECT_GT(repaired, 0);
  EXPECT_GT(warned, 0);
  RecordProperty("journal cut short", std::to_string(cuts.size()) + " cuts, " +
                                          std::to_string(repaired) + " byte-exact, " +
                                          std::to_string(warned) + " warned");
}

// A burn that failed with the module still connected is judged and repaired
// before the next one starts: a new journal over it would keep the damaged
// sectors as their old content.
TEST(Install, ABurnThatFailedIsRepairedBeforeTheNextOne) {
  const SimConfig ost3 = SimConfig::fromTypeCode(0x84);
  TableRig rig(ost3, SimPreset::Blank, 1);
  TForm_MAIN& f = *rig.form;
  makeCartridge(rig, kTightOst3);
  f.ModuleIdentity = ost3.identity;
  ASSERT_TRUE(rig.readTables());
  loadPackages(f, {{"Cade", "V1", "", 5}});
  selectAll(f);
  f.Button_InstallClick();
  // Arvo slides down over itself; a write to its old place is refused.
  rig.module->faults().chunkNack = SimFaults::ChunkNack{234, 3, SimRepeat::Always};
  f.Button_AutoClick();
  ASSERT_TRUE(rig.memoHas("Program Fail!"));
  ASSERT_NE(rig.flash(234), demoSectorData("Arvo", 4, 8, 234));

  rig.module->faults().chunkNack.reset();
  rig.host.answers = {MsgBoxResult::Yes};
  f.Button_AutoClick();
  EXPECT_TRUE(rig.memoHas("The last burn on this module was interrupted: software may be damaged"));
  EXPECT_TRUE(rig.memoHas("Nothing new was written: plan the change again"));
  expectCartridge(rig, expectedSoftware(kTightOst3, {}));
  EXPECT_TRUE(filesIn(rig.host.programDir).empty());
  EXPECT_TRUE(f.catalogueChangeAllowed());
}

// A disk without room for the whole journal refuses the burn before the
// first write, naming the folder and the bytes it needs.
TEST(Install, AFullDiskRefusesTheBurnBeforeAnyWrite) {
  TableRig rig(SimConfig::fromTypeCode(0x84), SimPreset::Demo, 2);
  TForm_MAIN& f = *rig.form;
  f.ModuleIdentity = rig.config.identity;
  ASSERT_TRUE(rig.readTables());
  uint64_t asked = 0;
  f.reserveJournalSpace = [&](int, uint64_t bytes) {
    asked = bytes;
    return ENOSPC;
  };
  const Sectors before = cartridgeOf(rig);
  loadPackages(f, {{"Nordvik", "V1.00", "", 3}});
  selectAll(f);
  f.Button_InstallClick();
  EXPECT_TRUE(cartridgeOf(rig) == before);
  EXPECT_TRUE(filesIn(rig.host.programDir).empty());
  // Three sectors' fingerprints, the old and new FAT and what they overwrite.
  EXPECT_GT(asked, 2u * 65536);
  ASSERT_GE(rig.host.boxes.size(), 2u);
  EXPECT_EQ(rig.host.boxes[0].text, "Not enough free space in " + rig.host.programDir +
                                        " for the journal of this burn: " + std::to_string(asked) +
                                        " bytes are needed. Nothing was written to the cartridge.");
  EXPECT_EQ(rig.host.boxes[1].text, "Program Fail!");
}

}  // namespace
}  // namespace ostrel
