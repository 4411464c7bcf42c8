// Catalogue rows, the directory tree, the list of a node, the totals and the
// per-directory limit, from catalogue contents.
#include "cartfs/catalogue_view.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "cartfs/catalogue_check.h"

namespace ostrel {
namespace {

FatEntry entry(std::string_view brand, uint16_t start, uint16_t count, std::string_view path = "",
               std::string_view version = "V1", uint8_t kind = 2) {
  FatEntry e;
  e.kind = kind;
  setFatText(e.brand, brand);
  setFatText(e.version, version);
  setFatText(e.versionExtra, "EU");
  e.startSector = start;
  e.sectorCount = count;
  std::copy(path.begin(), path.end(), e.pathField.begin() + 1);
  return e;
}

std::unique_ptr<CartridgeCatalogue> catalogue(const std::vector<FatEntry>& entries) {
  auto c = std::make_unique<CartridgeCatalogue>();
  c->header.entryCount = uint16_t(entries.size());
  std::copy(entries.begin(), entries.end(), c->entries.begin());
  return c;
}

struct RowWant {
  std::string name;
  uint8_t units;
  uint8_t depth;
  std::vector<uint16_t> entries;
};

TEST(CatalogueView, RowsFromCatalogueContents) {
  struct Case {
    const char* what;
    std::vector<FatEntry> entries;
    CatalogueSide side;
    std::vector<RowWant> rows;
  };
  const Case cases[] = {
      {"aliases with different paths: one row on the cartridge",
       {entry("OBDII", 0, 4), entry("Arvo", 4, 6, "EU"), entry("Arvo II", 4, 6, "ASIA")},
       CatalogueSide::Cartridge,
       {{"OBDII", 4, 0, {1}}, {"Arvo / Arvo II", 6, 1, {2, 3}}}},
      {"aliases with different paths: two rows in the selection",
       {entry("Arvo", 4, 6, "EU"), entry("Arvo II", 4, 6, "ASIA"), entry("Arvo III", 4, 7, "EU")},
       CatalogueSide::Selection,
       {{"Arvo / Arvo III", 7, 1, {1, 3}}, {"Arvo II", 6, 1, {2}}}},
      {"300 sectors show 44 units; empty slots are skipped",
       {entry("Big", 10, 300), entry("Gone", 20, 1, "", "V1", 0), entry("Small", 20, 2)},
       CatalogueSide::Cartridge,
       {{"Big", 44, 0, {1}}, {"Small", 2, 0, {3}}}},
      {"more than four levels keep the first four",
       {entry("Deep", 1, 1, "A\\B\\C\\D\\E\\F")},
       CatalogueSide::Cartridge,
       {{"Deep", 1, 4, {1}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto rows = buildCatalogueRows(*catalogue(c.entries), c.side);
    ASSERT_EQ(rows.size(), c.rows.size());
    for (std::size_t r = 0; r < rows.size(); ++r) {
      EXPECT_EQ(rows[r].name, c.rows[r].name);
      EXPECT_EQ(rows[r].units, c.rows[r].units);
      EXPECT_EQ(rows[r].depth, c.rows[r].depth);
      EXPECT_EQ(rows[r].entries, c.rows[r].entries);
    }
  }
  const auto deep = buildCatalogueRows(*catalogue({entry("Deep", 1, 1, "A\\B\\C\\D\\E")}),
                                       CatalogueSide::Cartridge);
  EXPECT_EQ(deep[0].directories[3], "D");
  EXPECT_EQ(deep[0].versionText, "V1 EU");
}

// A cartridge with software at several depths, one piece newly added.
struct Cartridge {
  std::unique_ptr<CartridgeCatalogue> entries =
      catalogue({entry("OBDII", 0, 4), entry("Arvo", 4, 10, "EU"),
                 entry("Bram", 14, 20, "EU\\Vans"), entry("Corvenne", 34, 5, "EU\\Vans\\Old"),
                 entry("Dalen", 39, 3, "ASIA"), entry("Eskel", 42, 7, "EU\\Vans")});
  std::vector<CatalogueRow> rows = buildCatalogueRows(*entries, CatalogueSide::Cartridge);
  std::vector<DirectoryNode> tree = buildDirectoryTree(rows, false);
};

TEST(CatalogueView, TreeAndListsOfEachNode) {
  Cartridge c;
  std::vector<std::string> names;
  for (const auto& n : c.tree) names.push_back(n.name);
  EXPECT_EQ(names, (std::vector<std::string>{"ROOT", "EU", "Vans", "Old", "ASIA"}));  // first use
  std::array<bool, 257> newlyAdded{};
  newlyAdded[4] = true;  // Corvenne, two levels below EU

  struct ItemWant {
    std::string caption, detail, space, hidden;
    bool highlighted;
  };
  const struct {
    std::vector<std::string> path;
    std::vector<ItemWant> items;
  } cases[] = {
      {{},
       {{"[EU]", "3 files (+1)", "42Units", "\\EU", true},
        {"[ASIA]", "1 files", "3Units", "\\ASIA", false},
        {"OBDII", "V1 EU", "4Units", "0000", false}}},
      {{"EU", "Vans"},
       {{"[Old]", "0 files (+1)", "5Units", "\\EU\\Vans\\Old", true},
        {"Bram", "V1 EU", "20Units", "0002", false},
        {"Eskel", "V1 EU", "7Units", "0005", false}}},
      {{"EU", "Vans", "Old"}, {{"Corvenne", "V1 EU", "5Units", "0003", true}}},
  };
  for (const auto& k : cases) {
    const int node = findNode(c.tree, k.path);
    EXPECT_EQ(nodePath(c.tree, node), k.path);
    const auto items = catalogueItems(c.rows, c.tree, node, CatalogueSide::Cartridge, newlyAdded);
    ASSERT_EQ(items.size(), k.items.size()) << k.path.size();
    for (std::size_t i = 0; i < items.size(); ++i) {
      SCOPED_TRACE(k.items[i].caption);
      EXPECT_EQ(items[i].caption, k.items[i].caption);
      EXPECT_EQ(items[i].detail, k.items[i].detail);
      EXPECT_EQ(items[i].space, k.items[i].space);
      EXPECT_EQ(items[i].hidden, k.items[i].hidden);
      EXPECT_EQ(items[i].highlighted, k.items[i].highlighted);
    }
  }
  // A path that no longer exists ends at its deepest existing node.
  EXPECT_EQ(nodePath(c.tree, findNode(c.tree, std::vector<std::string>{"EU", "Gone", "X"})),
            std::vector<std::string>{"EU"});
  EXPECT_TRUE(buildDirectoryTree({}, false).empty());
  EXPECT_EQ(buildDirectoryTree({}, true).size(), 1u);
}

TEST(CatalogueView, TotalsCountAliasesOnceAndSelectionsAsOften) {
  Cartridge c;
  EXPECT_EQ(usedSectorCount(*c.entries, 256), 4 + 10 + 20 + 5 + 3 + 7);
  // A directory and a software item inside it: that software counts twice.
  const std::vector<std::string> selected = {"\\EU\\Vans", "0002"};
  EXPECT_EQ(selectedUnits(c.rows, selected), (20 + 5 + 7) + 20);
  EXPECT_EQ(selectedUnits(c.rows, std::vector<std::string>{"00FF", "\\NOWHERE"}), 0);
}

TEST(CatalogueView, FiftySoftwarePerDirectory) {
  auto rowsIn = [](std::size_t n, std::string_view path, uint16_t start) {
    std::vector<FatEntry> e;
    for (std::size_t i = 0; i < n; ++i) e.push_back(entry("S", uint16_t(start + i), 1, path));
    return buildCatalogueRows(*catalogue(e), CatalogueSide::Selection);
  };
  struct Case {
    std::size_t onCartridge, selected;
    bool softwareItems;  // else the directory item is selected
    bool over;
  };
  const Case cases[] = {
      {49, 2, false, true}, {48, 2, false, false}, {49, 2, true, true},
      {48, 2, true, false}, {0, 51, false, true},  {0, 50, false, false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(std::to_string(k.onCartridge) + "+" + std::to_string(k.selected));
    const auto cartridge = rowsIn(k.onCartridge, "EU\\Vans", 100);
    const auto selection = rowsIn(k.selected, "EU\\Vans", 0);
    std::vector<std::string> hidden;
    if (k.softwareItems)
      for (std::size_t i = 0; i < k.selected; ++i) hidden.push_back("000" + std::to_string(i));
    else
      hidden.push_back("\\EU");
    const std::vector<std::string> node = {"EU", "Vans"};
    const auto over = directoriesOverLimit(cartridge, selection, hidden, node);
    ASSERT_EQ(over.size(), k.over ? 1u : 0u);
    if (k.over) {
      EXPECT_EQ(over[0].shownPath, " [EU\\Vans]");
    }
  }
  // A software item counts towards the selected node, not its own path.
  const auto cartridge = rowsIn(50, "", 100);
  const auto selection = rowsIn(1, "", 0);
  const std::vector<std::string> item = {"0000"};
  EXPECT_EQ(directoriesOverLimit(cartridge, selection, item, std::vector<std::string>{"EU"}).size(),
            0u);
  EXPECT_EQ(directoriesOverLimit(cartridge, selection, item, std::vector<std::string>{}).size(),
            1u);
}

}  // namespace
}  // namespace ostrel
