// The burn journal: what survives an interruption at any byte, and what the
// next connection makes of the cartridge it finds.
#include "flash/burn_journal.h"

#include <gtest/gtest.h>

#include <vector>

namespace ostrel {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes sector(uint8_t fill) {
  return Bytes(65536, fill);
}

void append(Bytes& file, const Bytes& record) {
  file.insert(file.end(), record.begin(), record.end());
}

// A burn of sectors 5 and 6 over software whose sector 6 it overwrites.
Bytes journalOfABurn(bool finished) {
  Bytes file = journalStart(2, 256, {0x12, 0x34, 0x56, 0x78});
  append(file, journalRecord(JournalRecord::OldFat, 1, sector(0x11)));
  append(file, journalRecord(JournalRecord::OldSector, 6, sector(0x66)));
  append(file, journalRecord(JournalRecord::SectorBegins, 5));
  append(file, journalRecord(JournalRecord::SectorBegins, 6));
  append(file, journalRecord(JournalRecord::NewFat, 1, sector(0x22)));
  append(file, journalRecord(JournalRecord::SectorBegins, 1));
  append(file, journalRecord(JournalRecord::FatWritten, 1));
  if (finished) append(file, journalRecord(JournalRecord::Complete, 0));
  return file;
}

TEST(BurnJournal, ATornTailLeavesEveryWholeRecord) {
  const Bytes file = journalOfABurn(true);
  std::size_t lastBegun = 0;
  bool sawOldFat = false;
  // Cut the file at every byte: what decodes only ever grows, and a record is
  // there exactly when all its bytes are.
  std::vector<std::size_t> cuts;
  for (std::size_t cut = 0; cut <= file.size(); ++cut)
    if (cut < 100 || file.size() - cut < 100 || cut % 997 == 0) cuts.push_back(cut);
  for (std::size_t cut : cuts) {
    const auto j = decodeJournal(std::span(file.data(), cut));
    if (!j) continue;
    EXPECT_EQ(j->generation, 2);
    EXPECT_EQ(j->sectorCount, 256);
    EXPECT_GE(j->begun.size(), lastBegun);
    lastBegun = j->begun.size();
    EXPECT_TRUE(j->oldFat.empty() || j->oldFat == sector(0x11));
    sawOldFat = sawOldFat || !j->oldFat.empty();
    EXPECT_EQ(j->complete, cut == file.size());
  }
  EXPECT_TRUE(sawOldFat);
  EXPECT_EQ(lastBegun, 3u);
  Bytes flipped = file;
  flipped[30] ^= 0x01;  // inside the header record
  EXPECT_FALSE(decodeJournal(flipped));
  EXPECT_FALSE(decodeJournal(Bytes{'x', 'y'}));
}

TEST(BurnJournal, VerdictFromTheFatOnTheCartridge) {
  struct Case {
    const char* what;
    std::size_t records;  // how many records after the start were written
    Bytes fatNow;
    BurnVerdict verdict;
  };
  const Bytes oldFat = sector(0x11), newFat = sector(0x22), blank = sector(0xFF);
  const Case cases[] = {
      {"cut before any write", 2, oldFat, BurnVerdict::Intact},
      {"a free sector written", 3, oldFat, BurnVerdict::Intact},
      {"software overwritten under the old FAT", 4, oldFat, BurnVerdict::Damaged},
      {"FAT half written", 6, blank, BurnVerdict::Damaged},
      {"FAT unreadable", 6, {}, BurnVerdict::Damaged},
      {"new FAT on the cartridge", 7, newFat, BurnVerdict::Intact},
      {"complete", 8, newFat, BurnVerdict::Intact},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes file = journalStart(2, 256, {});
    append(file, journalRecord(JournalRecord::OldFat, 1, oldFat));
    append(file, journalRecord(JournalRecord::OldSector, 6, sector(0x66)));
    const Bytes steps[] = {journalRecord(JournalRecord::SectorBegins, 5),
                           journalRecord(JournalRecord::SectorBegins, 6),
                           journalRecord(JournalRecord::NewFat, 1, newFat),
                           journalRecord(JournalRecord::SectorBegins, 1),
                           journalRecord(JournalRecord::FatWritten, 1),
                           journalRecord(JournalRecord::Complete, 0)};
    for (std::size_t i = 0; i + 2 < c.records && i < std::size(steps); ++i) append(file, steps[i]);
    const auto j = decodeJournal(file);
    ASSERT_TRUE(j);
    EXPECT_EQ(judgeBurn(*j, c.fatNow, false), c.verdict);
  }
  // With blocks of two, a write next to software can damage it too.
  Bytes file = journalStart(2, 256, {});
  append(file, journalRecord(JournalRecord::OldFat, 1, oldFat));
  append(file, journalRecord(JournalRecord::OldSector, 6, sector(0x66)));
  append(file, journalRecord(JournalRecord::SectorBegins, 7));
  EXPECT_EQ(judgeBurn(*decodeJournal(file), oldFat, false), BurnVerdict::Intact);
  EXPECT_EQ(judgeBurn(*decodeJournal(file), oldFat, true), BurnVerdict::Damaged);
}

TEST(BurnJournal, Ostrel4TableToRestoreFollowsTheFat) {
  Bytes file = journalStart(3, 16384, {});
  append(file, journalRecord(JournalRecord::OldTable, 0, Bytes(131072, 0x01)));
  append(file, journalRecord(JournalRecord::NewFat, 1, sector(0x22)));
  EXPECT_EQ(tableToRestore(*decodeJournal(file)), Bytes(131072, 0x01));
  append(file, journalRecord(JournalRecord::FatWritten, 1));
  append(file, journalRecord(JournalRecord::NewTable, 0, Bytes(131072, 0x02)));
  EXPECT_EQ(tableToRestore(*decodeJournal(file)), Bytes(131072, 0x02));
}

}  // namespace
}  // namespace ostrel
