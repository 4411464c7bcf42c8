// The catalogue panels of the main form and removal, on the demo cartridge of
// the simulator: what a user sees after a FAT read, where the view stays after
// a refresh, and what Delete takes off the cartridge.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "table_rig.h"

namespace ostrel {
namespace {

std::vector<std::string> captions(const ListView& list) {
  std::vector<std::string> out;
  for (const ListItem& item : list.items) out.push_back(item.caption);
  return out;
}

// Selects the tree node with this path, as a click in the tree does.
void openNode(TForm_MAIN& f, const std::vector<std::string>& path) {
  f.TreeView_FAT_OUT.selected = findNode(f.CartridgeTree, path);
  f.TreeView_FAT_OUTChange();
}

void selectItem(ListView& list, const std::string& caption) {
  for (ListItem& item : list.items)
    if (item.caption == caption) item.selected = true;
}

std::vector<std::string> liveBrands(const CartridgeCatalogue& c) {
  std::vector<std::string> out;
  for (std::size_t k = 0; k < c.header.entryCount; ++k)
    if (c.entries[k].kind != 0) out.emplace_back(fatText(c.entries[k].brand));
  return out;
}

TEST(CatalogueViews, DemoCartridgeAfterAReadAndPlaceKeepingRefreshes) {
  TableRig rig(SimConfig::fromTypeCode(0x84), SimPreset::Demo);
  TForm_MAIN& f = *rig.form;
  ASSERT_TRUE(rig.readTables());
  // Fourteen entries, one pair of aliases: thirteen rows.
  EXPECT_EQ(f.CartridgeRows.size(), 13u);
  EXPECT_EQ(captions(f.ListView_FAT_OUT),
            (std::vector<std::string>{"[EUROPE]", "[ASIA]", "[AMERICA]", "OBDII", "Zanfir"}));
  EXPECT_EQ(f.ListView_FAT_OUT.items[0].subItems,
            (std::vector<std::string>{"5 files", "15Units", "\\EUROPE"}));
  EXPECT_EQ(f.StaticText_TotalUseSpace.text, "38Unit");
  EXPECT_EQ(f.StaticText_FreeSpace.text, "218Unit");
  EXPECT_TRUE(f.Button_SelectAll_OUT.enabled);
  EXPECT_FALSE(f.Button_DEL.enabled);

  openNode(f, {"EUROPE", "ITALY"});
  EXPECT_EQ(captions(f.ListView_FAT_OUT), (std::vector<std::string>{"Brenna / Brenna Classic"}));
  // A read keeps the place; after ITALY is gone its parent is shown.
  ASSERT_TRUE(f.Function_ReadFAT());
  EXPECT_EQ(nodePath(f.CartridgeTree, f.TreeView_FAT_OUT.selected),
            (std::vector<std::string>{"EUROPE", "ITALY"}));
  f.CartridgeCatalogue.entries[4].kind = 0;
  f.CartridgeCatalogue.entries[5].kind = 0;
  f.ItemFAT_OUT();
  EXPECT_EQ(nodePath(f.CartridgeTree, f.TreeView_FAT_OUT.selected),
            (std::vector<std::string>{"EUROPE"}));

  // Double-clicking a directory item opens its node.
  f.ListView_FAT_OUT.itemFocused = 0;  // [FRANCE]
  f.ListView_FAT_OUTDblClick();
  EXPECT_EQ(captions(f.ListView_FAT_OUT), (std::vector<std::string>{"Corvenne"}));
  // Newly added software turns its item and every directory above it red.
  f.NewlyAdded[2] = true;
  openNode(f, {});
  EXPECT_TRUE(f.ListView_FAT_OUT.items[0].bold);
  EXPECT_EQ(f.ListView_FAT_OUT.items[0].textColor, Colors::kRed);
  EXPECT_EQ(f.ListView_FAT_OUT.items[0].subItems[0], "3 files (+1)");
  EXPECT_FALSE(f.ListView_FAT_OUT.items[1].bold);
}

TEST(CatalogueViews, RemovalFromTheCartridge) {
  struct Case {
    const char* what;
    uint8_t typeCode;
    std::vector<std::string> node;      // tree node shown
    std::vector<std::string> selected;  // list items selected (none: Delete takes all shown)
    bool answerYes;
    std::vector<std::string> removed;
    bool systemBox;
  };
  const Case cases[] = {
      {"everything shown at the top level: the base software stays",
       0x84,
       {},
       {},
       true,
       {"Corvenne", "Halvard", "Ostmark", "Brenna", "Brenna Classic", "Kestrel Motors", "Sunaga",
        "Taemin", "Rivelle", "Paloma", "Zanfir", "Quellor", "Arvinta"},
       true},
      {"the base software chosen on its own",
       0x84,
       {},
       {"OBDII", "Zanfir"},
       true,
       {"Zanfir"},
       true},
      {"a directory at depth 2 with an alias pair",
       0x84,
       {"EUROPE"},
       {"[ITALY]"},
       true,
       {"Brenna", "Brenna Classic"},
       false},
      {"answered No", 0x84, {"EUROPE"}, {"[ITALY]"}, false, {}, false},
      {"Ostrel IV: a directory",
       0x89,
       {"ASIA"},
       {"[JAPAN]"},
       true,
       {"Kestrel Motors", "Sunaga"},
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TableRig rig(SimConfig::fromTypeCode(c.typeCode), SimPreset::Demo, 1);
    TForm_MAIN& f = *rig.form;
    ASSERT_TRUE(rig.readTables());
    const std::vector<std::string> before = liveBrands(f.CartridgeCatalogue);
    const auto mapping = std::make_unique<MappingTable>(f.MappingTable);
    openNode(f, c.node);
    for (const std::string& s : c.selected) selectItem(f.ListView_FAT_OUT, s);
    rig.host.answers.push_back(c.answerYes ? MsgBoxResult::Yes : MsgBoxResult::No);
    f.Button_DELClick();

    std::vector<std::string> expected;
    for (const std::string& b : before)
      if (std::find(c.removed.begin(), c.removed.end(), b) == c.removed.end())
        expected.push_back(b);
    EXPECT_EQ(liveBrands(f.CartridgeCatalogue), expected);
    EXPECT_EQ(f.FatDirty, c.answerYes);
    ASSERT_FALSE(rig.host.boxes.empty());
    EXPECT_TRUE(rig.host.boxes[0].text.starts_with("Remove"));
    EXPECT_TRUE(rig.host.boxes[0].text.ends_with(" items??"));
    const bool box52 = std::any_of(rig.host.boxes.begin(), rig.host.boxes.end(), [](const auto& b) {
      return b.text == "Cannot remove system file!!";
    });
    EXPECT_EQ(box52, c.systemBox);
    if (c.answerYes) {
      EXPECT_EQ(f.VisibleStep, 3);
      EXPECT_TRUE(f.Button_Program.enabled);
    }
    // Ostrel IV: the removed software's logical sectors are unmapped and planned for release.
    if (c.typeCode == 0x89) {
      for (uint16_t s = 17; s < 23; ++s) {
        EXPECT_EQ(f.MappingTable.words[s], UNMAPPED_SECTOR) << s;
        EXPECT_EQ(f.MappingTable.physicalSectorInUse[mapping->words[s]], 0) << s;
        EXPECT_EQ(f.BlockTable[s].eraseFlag, 1) << s;
      }
      EXPECT_EQ(f.MappingTable.words[23], mapping->words[23]);
    }
  }
}

TEST(CatalogueViews, CustomerBuildWritesTheRemovalAtOnce) {
  for (bool writes : {true, false}) {
    SCOPED_TRACE(writes);
    TableRig rig(SimConfig::fromTypeCode(0x84), SimPreset::Demo, 2);
    TForm_MAIN& f = *rig.form;
    ASSERT_TRUE(rig.readTables());
    int calls = 0;
    f.autoSequence = [&] {
      ++calls;
      EXPECT_TRUE(f.FatDirty);
      return writes;
    };
    selectItem(f.ListView_FAT_OUT, "Zanfir");
    rig.host.answers.push_back(MsgBoxResult::Yes);
    f.Button_DELClick();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(f.StaticText_Status1.text, writes ? "Remove OK!" : "Remove Fail!");
    EXPECT_EQ(f.VisibleStep, writes ? 2 : 3);
    EXPECT_EQ(rig.host.beeps, writes ? 1 : 3);
  }
}

}  // namespace
}  // namespace ostrel
