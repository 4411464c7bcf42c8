// The burn journal as bytes: which files are taken for the connected module,
// and what the verdict is for each state a cut-off burn (or a cartridge
// changed since) can leave.
#include "flash/burn_journal.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "cartfs/fat.h"
#include "flash_rig.h"

namespace ostrel {
namespace {

using Bytes = std::vector<uint8_t>;

// The on-disk format's first bytes, as journals of every version start.
const std::string kMagic = "OSTREL-BURN-JOURNAL-1";

Bytes pattern(uint32_t tag) {
  return test::sectorPattern(tag);
}

// The first chunks of content, the rest erased: a write cut off.
Bytes cutWrite(const Bytes& content, std::size_t chunks) {
  Bytes d(65536, 0xFF);
  std::copy(content.begin(), content.begin() + std::ptrdiff_t(chunks * 4096), d.begin());
  return d;
}

// The first chunks erased, the rest as before: an erase in pieces cut off.
Bytes cutErase(const Bytes& content, std::size_t chunks) {
  Bytes d = content;
  std::fill(d.begin(), d.begin() + std::ptrdiff_t(chunks * 4096), 0xFF);
  return d;
}

using R = JournalRecord;
struct Rec {
  R type;
  uint16_t sector;
  Bytes payload;
};

Bytes fingerprint(const Bytes& sector) {
  return digestPayload(sector);
}

const JournalKey kOst2{OstrelII, 128, {0, 0, 0, 1, 0x12, 0x34, 0x56, 0x78}};
const JournalKey kOst3{OstrelIII, 256, {0, 0, 0, 1, 0x12, 0x34, 0x56, 0x78}};
const JournalKey kOst4{OstrelIV, 16384, {0, 0, 0, 1, 0x12, 0x34, 0x56, 0x78}};

// A journal whose header announces the shape; padded to its reserved size
// unless it is to look cut short.
Bytes journal(const JournalKey& key, uint16_t planned, uint16_t kept, bool fat,
              const std::vector<Rec>& records, bool padded = true) {
  JournalShape shape{key, planned, kept, fat};
  Bytes b = journalStart(shape);
  for (const Rec& r : records) {
    const Bytes rec = journalRecord(r.type, r.sector, r.payload);
    b.insert(b.end(), rec.begin(), rec.end());
  }
  if (padded) b.resize(std::max<std::size_t>(b.size(), journalBytes(shape)), 0);
  return b;
}

// The largest journal a module can leave is what is read at each connection:
// room for the largest burn, and no more than its sectors can fill (an Ostrel
// IV keeps only its identity sectors, whatever its size).
TEST(BurnJournal, TheLargestJournalFitsTheLargestBurnAndNoMore) {
  const struct {
    Generation generation;
    uint16_t sectors;
    uint64_t atMost;
  } cases[] = {{OstrelI, 128, 132ull << 16 | 1 << 20},
               {OstrelII, 256, 260ull << 16 | 1 << 20},
               {OstrelIII, 2048, 2052ull << 16 | 1 << 20},
               {OstrelIV, 59999, 64ull << 20},
               {OstrelIV, 16384, 64ull << 20}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.generation) + "/" + std::to_string(c.sectors));
    const bool ost4 = c.generation == OstrelIV;
    const JournalShape largest{
        {c.generation, c.sectors, {}}, c.sectors, ost4 ? kIdentitySectors : c.sectors, true};
    EXPECT_GE(largestJournal(c.generation, c.sectors), journalBytes(largest));
    EXPECT_LE(largestJournal(c.generation, c.sectors), c.atMost);
  }
}

TEST(BurnJournal, EveryRecordIsCheckedAgainstTheModule) {
  const Bytes fat = pattern(1), old = pattern(6), data = pattern(7);
  const std::vector<Rec> opening = {{R::OldFat, 1, fat},
                                    {R::NewFat, 1, pattern(2)},
                                    {R::NewSector, 5, fingerprint(data)},
                                    {R::OldSector, 6, old},
                                    {R::Ready, 0, {}}};
  auto with = [&](std::vector<Rec> more) {
    std::vector<Rec> all = opening;
    all.insert(all.end(), more.begin(), more.end());
    return journal(kOst3, 1, 1, true, all);
  };
  // A journal written before fingerprints: the header carries the ID alone.
  auto legacy = [&](uint8_t generation, uint16_t count, std::vector<Rec> more) {
    Bytes b(kMagic.begin(), kMagic.end());
    const Bytes header = {generation, uint8_t(count >> 8), uint8_t(count), 0x12, 0x34, 0x56, 0x78};
    more.insert(more.begin(), {R::Header, 0, header});
    for (const Rec& r : more) {
      const Bytes rec = journalRecord(r.type, r.sector, r.payload);
      b.insert(b.end(), rec.begin(), rec.end());
    }
    return b;
  };
  JournalKey otherAux = kOst3, otherCount = kOst3;
  otherAux.identity[3] = 2;
  otherCount.sectorCount = 512;
  // A record cut in its middle, then the zeros of the reserved space.
  std::vector<Rec> begun5 = opening;
  begun5.push_back({R::SectorBegins, 5, {}});
  Bytes torn = journal(kOst3, 1, 1, true, begun5, false);
  const Bytes next = journalRecord(R::SectorBegins, 6, {});
  torn.insert(torn.end(), next.begin(), next.begin() + 5);
  torn.resize(journalBytes({kOst3, 1, 1, true}), 0);

  Bytes headerCut = journal(kOst3, 0, 0, false, {});
  headerCut.resize(40);

  struct Case {
    const char* what;
    Bytes bytes;
    JournalFit fit;
    std::size_t begun = 0;
  };
  const Case cases[] = {
      {"a burn as written", with({{R::SectorBegins, 5, {}}, {R::SectorBegins, 1, {}}}),
       JournalFit::Fits, 2},
      {"a journal of the ID alone",
       legacy(2, 256, {{R::OldSector, 6, old}, {R::SectorBegins, 6, {}}}), JournalFit::Fits, 1},
      {"another auxiliary number", journal(otherAux, 0, 0, false, {}), JournalFit::OtherModule},
      {"another sector count", journal(otherCount, 0, 0, false, {}), JournalFit::OtherModule},
      {"an ID-alone journal of another generation", legacy(3, 256, {}), JournalFit::OtherModule},
      {"an old sector past the module's end", legacy(2, 256, {{R::OldSector, 0xFFFF, old}}),
       JournalFit::Damaged},
      {"a write of a sector past the end", with({{R::SectorBegins, 0xFFFF, {}}}),
       JournalFit::Damaged},
      {"a write the plan does not name", with({{R::SectorBegins, 9, {}}}), JournalFit::Damaged},
      {"a write before the opening ended",
       journal(kOst3, 1, 0, false, {{R::OldFat, 1, fat}, {R::SectorBegins, 5, {}}}),
       JournalFit::Damaged},
      {"an old sector of the wrong length",
       journal(kOst3, 0, 1, false, {{R::OldFat, 1, fat}, {R::OldSector, 6, Bytes(100)}}),
       JournalFit::Damaged},
      {"more old sectors than announced", journal(kOst3, 1, 0, true, opening), JournalFit::Damaged},
      {"a plan after the old sectors",
       journal(kOst3, 1, 1, false,
               {{R::OldFat, 1, fat}, {R::OldSector, 6, old}, {R::NewSector, 5, fingerprint(data)}}),
       JournalFit::Damaged},
      {"a mapping table on an Ostrel III",
       journal(kOst3, 0, 0, false, {{R::OldFat, 1, fat}, {R::OldTable, 0, Bytes(131072)}}),
       JournalFit::Damaged},
      {"a second header", with({{R::Header, 0, Bytes(24)}}), JournalFit::Damaged},
      {"cut inside its header", headerCut, JournalFit::Damaged},
      {"not a journal", Bytes{'O', 'S', 'T'}, JournalFit::NotAJournal},
      {"a record torn at the end", torn, JournalFit::Fits, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const JournalRead r = readJournal(c.bytes, kOst3);
    EXPECT_EQ(r.fit, c.fit) << r.why;
    if (c.fit == JournalFit::Fits) {
      EXPECT_EQ(r.journal.begun.size(), c.begun);
      EXPECT_FALSE(r.journal.cutShort);
    }
  }
}

// A FAT listing software at the given runs.
Bytes fatOf(std::vector<std::pair<uint16_t, uint16_t>> runs) {
  CartridgeCatalogue c;
  for (const auto& [start, count] : runs) {
    FatEntry& e = c.entries[c.header.entryCount++];
    e.kind = 2;
    setFatText(e.brand, std::to_string(start));
    e.startSector = start;
    e.sectorCount = count;
  }
  return serialiseFatSector(c);
}

// What each state of the cartridge makes of a journal. An Ostrel III burn
// writes sector 4 (software whose block partner 5 is software too) and the
// FAT; an Ostrel IV burn writes logical sector 20 and then the table.
TEST(BurnJournal, VerdictFromWhatTheCartridgeHolds) {
  const Bytes oldFat = fatOf({{4, 2}}), newFat = fatOf({{4, 2}, {8, 1}}), a4 = pattern(4),
              a5 = pattern(5), n4 = pattern(40), other = pattern(99), blank(65536, 0xFF);
  const std::vector<Rec> opening = {
      {R::OldFat, 1, oldFat}, {R::NewFat, 1, newFat}, {R::NewSector, 4, fingerprint(n4)},
      {R::OldSector, 4, a4},  {R::OldSector, 5, a5},  {R::Ready, 0, {}}};
  auto burn = [&](std::vector<Rec> after, bool padded = true) {
    std::vector<Rec> all = opening;
    all.insert(all.end(), after.begin(), after.end());
    return journal(kOst3, 1, 2, true, all, padded);
  };
  const Rec begin4{R::SectorBegins, 4, {}}, begin1{R::SectorBegins, 1, {}};

  // Ostrel IV: the old table maps logical 1 to physical 7; the new one maps
  // 1 to 30 and 20 to 31.
  auto table = [](std::map<uint32_t, uint16_t> words) {
    Bytes t(131072);
    for (std::size_t w = 0; w < 65536; ++w) {
      const uint16_t v = words.count(uint32_t(w)) ? words[uint32_t(w)] : 60020;
      t[2 * w] = uint8_t(v >> 8);
      t[2 * w + 1] = uint8_t(v);
    }
    return t;
  };
  const Bytes oldTable = table({{0, 0}, {1, 7}}), newTable = table({{0, 0}, {1, 30}, {20, 31}});
  const Bytes n20 = pattern(20);
  auto half = [](const Bytes& t, int h) {
    return Bytes(t.begin() + h * 65536, t.begin() + (h + 1) * 65536);
  };
  const Bytes ost4Burn = journal(kOst4, 1, 0, true,
                                 {{R::OldFat, 1, oldFat},
                                  {R::OldTable, 0, oldTable},
                                  {R::NewSector, 20, fingerprint(n20)},
                                  {R::Ready, 0, {}},
                                  {R::SectorBegins, 20, {}},
                                  {R::NewFat, 1, newFat},
                                  {R::SectorBegins, 1, {}},
                                  {R::FatWritten, 1, {}},
                                  {R::NewTable, 0, newTable}});

  using T = BurnJudgement::Table;
  struct Case {
    const char* what;
    JournalKey key;
    Bytes journal;
    std::map<uint32_t, Bytes> cartridge;  // sectors not named read blank
    BurnVerdict verdict;
    std::vector<uint16_t> restore{}, unknown{};
    T table = T::None;
  };
  const Case cases[] = {
      {"cut before the first write",
       kOst3,
       burn({}),
       {{1, oldFat}, {4, a4}, {5, a5}},
       BurnVerdict::Intact},
      {"sector 4 written part of the way",
       kOst3,
       burn({begin4}),
       {{1, oldFat}, {4, cutWrite(n4, 5)}, {5, a5}},
       BurnVerdict::Damaged,
       {4}},
      {"its partner erased with the block, not yet written back",
       kOst3,
       burn({begin4}),
       {{1, oldFat}, {4, blank}},
       BurnVerdict::Damaged,
       {4, 5}},
      {"the FAT cut off after the data",
       kOst3,
       burn({begin4, begin1}),
       {{1, cutWrite(newFat, 3)}, {4, n4}, {5, a5}},
       BurnVerdict::Damaged,
       {4, 1}},
      {"the burn got through",
       kOst3,
       burn({begin4, begin1}),
       {{1, newFat}, {4, n4}, {5, a5}},
       BurnVerdict::Intact},
      {"Ostrel II: an erase in sub-blocks cut off in the seventh of eight",
       kOst2,
       journal(kOst2, 1, 2, true,
               [&] {
                 std::vector<Rec> all = opening;
                 all.push_back(begin4);
                 return all;
               }()),
       {{1, oldFat}, {4, cutErase(a4, 13)}, {5, a5}},
       BurnVerdict::Damaged,
       {4}},
      {"an erase in sub-blocks the journal does not announce",
       kOst2,
       journal(kOst2, 1, 2, true, opening),
       {{1, oldFat}, {4, cutErase(a4, 12)}, {5, a5}},
       BurnVerdict::Stale},
      {"a half write the journal does not announce",
       kOst3,
       burn({}),
       {{1, oldFat}, {4, cutWrite(n4, 5)}, {5, a5}},
       BurnVerdict::Stale},
      {"other software where the burn wrote",
       kOst3,
       burn({begin4}),
       {{1, oldFat}, {4, other}, {5, a5}},
       BurnVerdict::Stale},
      {"the FAT of another cartridge",
       kOst3,
       burn({begin4}),
       {{1, other}, {4, a4}, {5, a5}},
       BurnVerdict::Stale},
      {"cut short: the begin of sector 4 lost",
       kOst3,
       burn({}, false),
       {{1, oldFat}, {4, cutWrite(n4, 2)}, {5, a5}},
       BurnVerdict::Damaged,
       {4}},
      {"cut short before the copy of sector 5",
       kOst3,
       journal(kOst3, 1, 2, true, {opening.begin(), opening.begin() + 4}, false),
       {{1, oldFat}, {4, n4}},
       BurnVerdict::Damaged,
       {4},
       {5}},
      {"cut short before the plan",
       kOst3,
       journal(kOst3, 1, 2, true, {opening.begin(), opening.begin() + 2}, false),
       {{1, oldFat}, {4, a4}, {5, a5}},
       BurnVerdict::CannotShow,
       {},
       {4, 5}},
      {"Ostrel IV: cut before the table",
       kOst4,
       ost4Burn,
       {{7, oldFat},
        {60000, half(oldTable, 0)},
        {60001, half(oldTable, 1)},
        {30, newFat},
        {31, n20}},
       BurnVerdict::Intact},
      {"Ostrel IV: table cut after its first half",
       kOst4,
       ost4Burn,
       {{7, oldFat}, {60000, half(newTable, 0)}, {30, newFat}, {31, n20}},
       BurnVerdict::Damaged,
       {},
       {},
       T::New},
      {"Ostrel IV: the first half cut, the FAT not where the new table says",
       kOst4,
       ost4Burn,
       {{7, oldFat}, {60000, cutWrite(half(newTable, 0), 4)}, {60001, half(oldTable, 1)}},
       BurnVerdict::Damaged,
       {},
       {},
       T::Old},
      {"Ostrel IV: a table of another burn",
       kOst4,
       ost4Burn,
       {{7, oldFat}, {60000, half(table({{0, 0}, {1, 9}}), 0)}, {60001, half(oldTable, 1)}},
       BurnVerdict::Stale},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const JournalRead r = readJournal(c.journal, c.key);
    ASSERT_EQ(r.fit, JournalFit::Fits) << r.why;
    const BurnJudgement j = judgeBurn(r.journal, [&](uint32_t s) {
      const auto it = c.cartridge.find(s);
      return it == c.cartridge.end() ? blank : it->second;
    });
    EXPECT_EQ(j.verdict, c.verdict) << j.why;
    EXPECT_EQ(j.restore, c.restore);
    EXPECT_EQ(j.unknown, c.unknown);
    EXPECT_EQ(j.table, c.table);
  }
}

}  // namespace
}  // namespace ostrel
