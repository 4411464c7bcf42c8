// The check a burn's plan passes before anything is written: which software
// staying on the cartridge it would overwrite.
#include "flash/burn_guard.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/catalogue_entries.h"

namespace ostrel {
namespace {

using test::catalogue;
using test::Soft;

TEST(BurnGuard, SoftwareThatStaysIsNeverOverwritten) {
  // As last read: the base software, A, B, and X lying over B (a damaged entry).
  const std::vector<Soft> read = {{0, 4, "OBDII"}, {4, 3, "A"}, {10, 5, "B"}, {12, 6, "X"}};
  struct Case {
    const char* what;
    std::vector<Soft> planned;
    std::vector<uint16_t> written, erasedOnly;
    std::vector<OverwrittenSoftware> hits;  // {slot, first, last, sectors}
  };
  const Case cases[] = {
      {"new software in free sectors, and the FAT",
       {{0, 4, "OBDII"}, {4, 3, "A"}, {10, 5, "B"}, {12, 6, "X"}, {20, 2, "N"}},
       {1, 20, 21},
       {},
       {}},
      {"new software in a gap an entry inside another opened",
       {{0, 4, "OBDII"}, {4, 3, "A"}, {10, 5, "B"}, {12, 6, "X"}, {2, 2, "N"}},
       {1, 2, 3},
       {},
       {{1, 2, 3, 2}}},
      {"removed software's sectors released, one of them under software that stays",
       {{0, 4, "OBDII"}, {4, 3, "A"}, {10, 5, "B"}},
       {},
       {14, 15, 16, 17},
       {{3, 14, 14, 1}}},
      {"a compaction moves B down; its old sectors are no longer its own",
       {{0, 4, "OBDII"}, {4, 3, "A"}, {7, 5, "B"}},
       {7, 8, 9, 10, 11},
       {},
       {}},
      {"a compaction moving B onto A",
       {{0, 4, "OBDII"}, {4, 3, "A"}, {5, 5, "B"}},
       {5, 6, 7, 8, 9},
       {},
       {{2, 5, 6, 2}}},
      {"a new base software replaces the old and A moved away",
       {{0, 6, "OBDII", "V2"}, {30, 3, "A"}, {10, 5, "B"}, {12, 6, "X"}},
       {0, 1, 2, 3, 4, 5, 30, 31, 32},
       {},
       {}},
      {"a new base software grown over A",
       {{0, 6, "OBDII", "V2"}, {4, 3, "A"}, {10, 5, "B"}, {12, 6, "X"}},
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
