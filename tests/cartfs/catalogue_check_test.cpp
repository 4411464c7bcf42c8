// The judgement of a cartridge's catalogue, the rows it gives its wrong
// entries, the used space and what an Ostrel IV removal may release.
#include "cartfs/catalogue_check.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "cartfs/catalogue_view.h"
#include "common/catalogue_entries.h"

namespace ostrel {
namespace {

using test::catalogue;
using test::Soft;

TEST(CatalogueCheck, DamagedCataloguesTheirRowsAndUsedSpace) {
  struct Case {
    const char* what;
    std::vector<Soft> entries;
    std::vector<WrongEntry> wrong;            // {slot, overlaps, inBaseSectors, pastEnd}
    std::vector<std::vector<uint16_t>> rows;  // the slots of each cartridge row
    uint16_t used;                            // of 256 sectors
  };
  const Case cases[] = {
      {"sound, with aliases of different lengths",
       {{0, 4}, {4, 3}, {4, 5}, {10, 2}, {20, 1, "gone", "V1", 0}},
       {},
       {{1}, {2, 3}, {4}},
       4 + 5 + 2},
      {"an entry inside the base software",
       {{0, 4}, {2, 3}, {10, 1}},
       {{1, 2, false, false}, {2, 1, false, false}},
       {{1}, {2}, {3}},
       5 + 1},
      {"an entry in sector 1 beside a one-sector base",
       {{0, 1}, {1, 2}},
       {{2, 0, true, false}},
       {{1}, {2}},
       3},
      {"an entry at sector 0 when entry 1 lies elsewhere",
       {{4, 2}, {0, 1}},
       {{2, 0, true, false}},
       {{1}, {2}},
       3},
      {"an alias of the base software longer than it: its own row",
       {{0, 4}, {4, 3}, {0, 10}, {10, 2}},
       {{2, 3, false, false}, {3, 2, false, false}},
       {{1}, {2}, {3}, {4}},
       12},
      {"an alias pair under another entry",
       {{0, 4}, {10, 5}, {10, 5}, {12, 1}},
       {{2, 4, false, false}, {3, 4, false, false}, {4, 2, false, false}},
       {{1}, {2}, {3}, {4}},
       9},
      {"an empty entry inside another still opens no gap",
       {{0, 4}, {10, 10}, {15, 0}},
       {{2, 3, false, false}, {3, 2, false, false}},
       {{1}, {2}, {3}},
       14},
      {"entries past the end count only up to it",
       {{0, 4}, {250, 10}, {300, 0}, {255, 1}},
       {{2, 4, false, true}, {3, 0, false, true}, {4, 2, false, false}},
       {{1}, {2}, {3}, {4}},
       4 + 6},
      {"far more than the cartridge holds never wraps",
       {{0, 300}, {4, 300}, {8, 65535}},
       {{1, 2, false, true}, {2, 1, false, true}, {3, 1, false, true}},
       {{1}, {2}, {3}},
       256},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto cat = catalogue(c.entries);
    const CatalogueJudgement j = judgeCatalogue(*cat, 256);
    EXPECT_EQ(j.wrong, c.wrong);
    std::vector<std::vector<uint16_t>> rows;
    for (const CatalogueRow& row :
         buildCatalogueRows(*cat, CatalogueSide::Cartridge, j.wrongSlots()))
      rows.push_back(row.entries);
    EXPECT_EQ(rows, c.rows);
    EXPECT_EQ(usedSectorCount(*cat, 256), c.used);
  }
  const auto cat = catalogue({{0, 4}, {1, 300}});
  EXPECT_EQ(wrongEntryText(judgeCatalogue(*cat, 256).wrong.back(), *cat, 256),
            "starts at sector 1, which only the base software and the FAT may use; shares "
            "sectors with entry 1 without being its alias; runs to sector 300, past the last "
            "sector 255");
}

TEST(CatalogueCheck, Ost4RemovalReleasesOnlyWhatNoOtherEntryUses) {
  struct Case {
    const char* what;
    std::vector<Soft> kept;
    std::vector<SectorRun> removed;
    std::vector<std::pair<uint16_t, uint16_t>> words;  // logical -> physical
    std::vector<LogicalRelease> releases;
  };
  const Case cases[] = {
      {"sound", {{0, 4}}, {{10, 2}}, {{10, 100}, {11, 101}}, {{10, true}, {11, true}}},
      {"over software that stays", {{0, 4}, {10, 5}}, {{12, 5}}, {}, {{15, true}, {16, true}}},
      {"a physical sector another entry maps too",
       {{0, 4}, {10, 2}},
       {{30, 2}},
       {{10, 200}, {11, 201}, {30, 201}, {31, 300}},
       {{30, false}, {31, true}}},
      {"never the FAT's sector", {{0, 1}}, {{1, 2}}, {}, {{2, true}}},
      {"aliases release once", {{0, 4}}, {{20, 1}, {20, 1}}, {}, {{20, true}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto table = std::make_unique<MappingTable>();
    makeFreshMappingTable(*table);
    for (const auto& [logical, physical] : c.words) table->words[logical] = physical;
    EXPECT_EQ(removalReleases(*catalogue(c.kept), c.removed, *table, 16384), c.releases);
  }
}

}  // namespace
}  // namespace ostrel
