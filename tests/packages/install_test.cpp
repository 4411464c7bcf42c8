// Installation end to end in virtual time: packages placed on the demo or a
// blank cartridge of every generation, written, read back; fragmented space
// compacted; and a compacting burn cut off at every sector, which the next
// connection finds intact or repairs.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/prompt_table.h"
#include "cartfs/table_rig.h"
#include "common/sim_generations.h"

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
       {{2, 0, "OBDII", "91 V4.10", "", 0, 228, ""},
        {2, 0, "Arvo", "V1", "", 230, 8, "EU"},
        {2, 0, "Bram", "V1", "", 240, 14, ""}},
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

}  // namespace
}  // namespace ostrel
