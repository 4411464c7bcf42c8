// The check a burn's plan passes before anything is written: which software
// staying on the cartridge it would overwrite.
#include "flash/burn_guard.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace ostrel {
namespace {

struct Soft {
  const char* brand;
  uint16_t start, count;
  const char* version = "V1";
};

std::unique_ptr<CartridgeCatalogue> catalogue(const std::vector<Soft>& entries) {
  auto c = std::make_unique<CartridgeCatalogue>();
  c->header.entryCount = uint16_t(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    c->entries[i].kind = 2;
    setFatText(c->entries[i].brand, entries[i].brand);
    setFatText(c->entries[i].version, entries[i].version);
    c->entries[i].startSector = entries[i].start;
    c->entries[i].sectorCount = entries[i].count;
  }
  return c;
}

TEST(BurnGuard, SoftwareThatStaysIsNeverOverwritten) {
  // As last read: the base software, A, B, and X lying over B (a damaged entry).
  const std::vector<Soft> read = {{"OBDII", 0, 4}, {"A", 4, 3}, {"B", 10, 5}, {"X", 12, 6}};
  struct Case {
    const char* what;
    std::vector<Soft> planned;
    std::vector<uint16_t> written, erasedOnly;
    std::vector<OverwrittenSoftware> hits;  // {slot, first, last, sectors}
  };
  const Case cases[] = {
      {"new software in free sectors, and the FAT",
       {{"OBDII", 0, 4}, {"A", 4, 3}, {"B", 10, 5}, {"X", 12, 6}, {"N", 20, 2}},
       {1, 20, 21},
       {},
       {}},
      {"new software in a gap an entry inside another opened",
       {{"OBDII", 0, 4}, {"A", 4, 3}, {"B", 10, 5}, {"X", 12, 6}, {"N", 2, 2}},
       {1, 2, 3},
       {},
       {{1, 2, 3, 2}}},
      {"removed software's sectors released, one of them under software that stays",
       {{"OBDII", 0, 4}, {"A", 4, 3}, {"B", 10, 5}},
       {},
       {14, 15, 16, 17},
       {{3, 14, 14, 1}}},
      {"a compaction moves B down; its old sectors are no longer its own",
       {{"OBDII", 0, 4}, {"A", 4, 3}, {"B", 7, 5}},
       {7, 8, 9, 10, 11},
       {},
       {}},
      {"a compaction moving B onto A",
       {{"OBDII", 0, 4}, {"A", 4, 3}, {"B", 5, 5}},
       {5, 6, 7, 8, 9},
       {},
       {{2, 5, 6, 2}}},
      {"a new base software replaces the old and A moved away",
       {{"OBDII", 0, 6, "V2"}, {"A", 30, 3}, {"B", 10, 5}, {"X", 12, 6}},
       {0, 1, 2, 3, 4, 5, 30, 31, 32},
       {},
       {}},
      {"a new base software grown over A",
       {{"OBDII", 0, 6, "V2"}, {"A", 4, 3}, {"B", 10, 5}, {"X", 12, 6}},
       {0, 2, 3, 4, 5},
       {},
       {{2, 4, 5, 2}}},
      {"an erase alone destroys as much as a write", read, {}, {5}, {{2, 5, 5, 1}}},
  };
  const auto lastRead = catalogue(read);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<BlockRecord> plan(64);
    for (uint16_t s : c.written) plan[s] = {1, 1};
    for (uint16_t s : c.erasedOnly) plan[s] = {0, 1};
    EXPECT_EQ(softwareOverwrittenBy(*lastRead, *catalogue(c.planned), plan), c.hits);
  }
}

}  // namespace
}  // namespace ostrel
