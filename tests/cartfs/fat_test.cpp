#include "cartfs/fat.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace ostrel {
namespace {

constexpr uint16_t kSectorCount = 100;

FatEntry makeEntry(uint8_t kind, std::string_view brand, uint16_t start, uint16_t count,
                   std::string_view path = "") {
  FatEntry entry;
  entry.kind = kind;
  setFatText(entry.brand, brand);
  entry.startSector = start;
  entry.sectorCount = count;
  std::copy(path.begin(), path.end(), entry.pathField.begin() + 1);
  return entry;
}

std::unique_ptr<CartridgeCatalogue> catalogueOf(const std::vector<FatEntry>& entries) {
  auto catalogue = std::make_unique<CartridgeCatalogue>();
  catalogue->header = {kFatSignatureCurrent, kFatFormatWord, kSectorCount,
                       static_cast<uint16_t>(entries.size())};
  std::copy(entries.begin(), entries.end(), catalogue->entries.begin());
  return catalogue;
}

std::unique_ptr<CartridgeCatalogue> parse(std::span<const uint8_t> bytes,
                                          FatParseResult* result = nullptr,
                                          uint16_t sectorCount = kSectorCount) {
  auto catalogue = std::make_unique<CartridgeCatalogue>();
  const FatParseResult r = parseFatSector(bytes, sectorCount, *catalogue);
  if (result) *result = r;
  return catalogue;
}

void putWord(std::vector<uint8_t>& bytes, std::size_t offset, uint16_t value) {
  bytes[offset] = static_cast<uint8_t>(value >> 8);
  bytes[offset + 1] = static_cast<uint8_t>(value & 0xFF);
}

const LegacyTextConverter kNoConversion = [](std::string_view, std::string&) {
  ADD_FAILURE() << "converter called";
  return false;
};

void randomText(std::mt19937& rng, std::array<char, kFatTextSize>& field) {
  field.fill(0);
  const std::size_t length = rng() % (kFatTextSize + 1);
  for (std::size_t i = 0; i < length; ++i) field[i] = static_cast<char>(1 + rng() % 255);
}

TEST(FatTest, RandomCataloguesSurviveTheRoundTrip) {
  std::mt19937 rng(20260);  // fixed rng start: the run is repeatable
  const std::size_t counts[] = {0, 1, 150, 151, 152, 153, 255, 256, 7, 99, 200};
  for (const std::size_t count : counts) {
    SCOPED_TRACE(count);
    auto catalogue = std::make_unique<CartridgeCatalogue>();
    catalogue->header = {kFatSignatureCurrent, kFatFormatWord, kSectorCount,
                         static_cast<uint16_t>(count)};
    for (std::size_t k = 0; k < count; ++k) {
      FatEntry& e = catalogue->entries[k];
      e.kind = static_cast<uint8_t>(rng());
      e.attribute = static_cast<uint8_t>(rng());
      randomText(rng, e.brand);
      randomText(rng, e.version);
      randomText(rng, e.versionExtra);
      e.startSector = static_cast<uint16_t>(rng());
      e.sectorCount = static_cast<uint16_t>(rng());
      for (auto& b : e.pathField) b = static_cast<uint8_t>(rng());
    }
    const auto sector = serialiseFatSector(*catalogue);
    ASSERT_EQ(sector.size(), kFatSectorSize);
    FatParseResult result;
    const auto back = parse(sector, &result);
    EXPECT_TRUE(result.signatureRecognised);
    EXPECT_EQ(result.declaredCount, count);
    EXPECT_EQ(result.entriesIgnored, 0);
    EXPECT_TRUE(*back == *catalogue);
  }
}

TEST(FatTest, FieldOffsetsAndPlacementOfEntry152) {
  std::vector<uint8_t> sector(kFatSectorSize, 0);
  sector[0] = 0xA1;
  sector[1] = 0x1E;
  putWord(sector, 106, 152);
  for (std::size_t k = 1; k <= 152; ++k) {
    const std::size_t at = k < 152 ? 108 + (k - 1) * 212 : 32768;
    sector[at] = static_cast<uint8_t>(k);                         // kind
    sector[at + 1] = 0x5A;                                        // attribute
    sector[at + 2] = 'B';                                         // brand
    sector[at + 28] = 'V';                                        // version
    sector[at + 54] = 'X';                                        // versionExtra
    putWord(sector, at + 80, static_cast<uint16_t>(0x1000 + k));  // startSector
    putWord(sector, at + 82, 0x0203);                             // sectorCount
    sector[at + 84] = 0x77;                                       // pathField byte 0
    sector[at + 85] = 'P';
    sector[at + 211] = 0x99;  // pathField byte 127
  }
  const auto catalogue = parse(sector);
  ASSERT_EQ(catalogue->header.entryCount, 152);
  for (std::size_t k : {std::size_t{1}, std::size_t{151}, std::size_t{152}}) {
    SCOPED_TRACE(k);
    const FatEntry& e = catalogue->entries[k - 1];
    EXPECT_EQ(e.kind, k);
    EXPECT_EQ(e.attribute, 0x5A);
    EXPECT_EQ(fatText(e.brand), "B");
    EXPECT_EQ(fatText(e.version), "V");
    EXPECT_EQ(fatText(e.versionExtra), "X");
    EXPECT_EQ(e.startSector, 0x1000 + k);
    EXPECT_EQ(e.sectorCount, 0x0203);
    EXPECT_EQ(e.pathField[0], 0x77);
    EXPECT_EQ(e.pathField[1], 'P');
    EXPECT_EQ(e.pathField[127], 0x99);
  }
  // Written back byte for byte: entry 152 at 32768, nothing at 108 + 151 * 212.
  const auto written = serialiseFatSector(*catalogue);
  EXPECT_EQ(written[32768], 152);
  EXPECT_EQ(written[108 + 151 * 212], 0);
  EXPECT_EQ(std::vector<uint8_t>(written.begin() + 6, written.end()),
            std::vector<uint8_t>(sector.begin() + 6, sector.end()));
}

TEST(FatTest, SignaturesAndHeaderWords) {
  struct Case {
    uint8_t b0, b1;
    bool recognised;
  };
  for (const Case c : {Case{0x55, 0xAA, true}, Case{0xA1, 0x1E, true}, Case{0xAA, 0x55, false},
                       Case{0xFF, 0xFF, false}, Case{0x1E, 0xA1, false}}) {
    SCOPED_TRACE(testing::Message() << int(c.b0) << " " << int(c.b1));
    std::vector<uint8_t> sector(kFatSectorSize, 0xFF);
    sector[0] = c.b0;
    sector[1] = c.b1;
    putWord(sector, 2, 0x1234);  // stored format and sector-count words are replaced
    putWord(sector, 4, 0x4321);
    putWord(sector, 106, 1);
    sector[108] = 2;
    FatParseResult result;
    const auto catalogue = parse(sector, &result, 32768);
    EXPECT_EQ(result.signatureRecognised, c.recognised);
    EXPECT_EQ(catalogue->header.entryCount, c.recognised ? 1 : 0);
    EXPECT_EQ(catalogue->header.sectorCountWord, 32768);
    // Whatever was read, the sector is written with 0xA1 0x1E, 512 and the SectorCount,
    // so that a catalogue started on a blank cartridge can be read back.
    const auto written = serialiseFatSector(*catalogue);
    EXPECT_EQ(std::vector<uint8_t>(written.begin(), written.begin() + 6),
              (std::vector<uint8_t>{0xA1, 0x1E, 0x02, 0x00, 0x80, 0x00}));
    EXPECT_TRUE(
        std::all_of(written.begin() + 6, written.begin() + 106, [](uint8_t b) { return b == 0; }));
  }
}

TEST(FatTest, UnsafeCountsAndShortBlocksStayInBounds) {
  struct Case {
    std::size_t bytes;
    uint16_t declared;
    uint16_t taken;
  };
  const Case cases[] = {
      {kFatSectorSize, 300, 256},  // more than the 256 slots
      {kFatSectorSize, 65535, 256},
      {108 + 2 * 212 + 211, 5, 2},  // third entry one byte short
      {108 + 151 * 212, 200, 151},  // block ends before the upper region
      {32768 + 212, 153, 152},
      {107, 3, 0},  // count itself cut off
      {1, 0, 0},
  };
  for (const Case c : cases) {
    SCOPED_TRACE(testing::Message() << c.bytes << " bytes, count " << c.declared);
    std::vector<uint8_t> sector(std::max<std::size_t>(c.bytes, 108), 0x41);
    sector[0] = 0xA1;
    sector[1] = 0x1E;
    putWord(sector, 106, c.declared);
    sector.resize(c.bytes);  // exactly the bytes given: reading past them is a fault
    FatParseResult result;
    const auto catalogue = parse(sector, &result);
    EXPECT_EQ(catalogue->header.entryCount, c.taken);
    if (c.bytes >= 108) {
      EXPECT_EQ(result.declaredCount, c.declared);
      EXPECT_EQ(result.entriesIgnored, c.declared - c.taken);
    }
  }
}

TEST(FatTest, TextsEndAtNulOrFieldEnd) {
  std::vector<uint8_t> sector(kFatSectorSize, 0);
  sector[0] = 0xA1;
  sector[1] = 0x1E;
  putWord(sector, 106, 1);
  std::fill(sector.begin() + 108 + 2, sector.begin() + 108 + 28, 'A');   // brand: no NUL
  std::fill(sector.begin() + 108 + 28, sector.begin() + 108 + 54, 'B');  // version follows
  sector[108 + 54] = 'C';
  sector[108 + 55] = 0;
  sector[108 + 56] = 'D';  // behind the NUL: not part of the text
  const auto catalogue = parse(sector);
  const FatEntry& e = catalogue->entries[0];
  EXPECT_EQ(fatText(e.brand), std::string(26, 'A'));
  EXPECT_EQ(fatText(e.version), std::string(26, 'B'));
  EXPECT_EQ(fatText(e.versionExtra), "C");
  EXPECT_EQ(e.versionExtra[2], 0);
}

TEST(FatTest, PathTextLimitsDependOnKind) {
  FatEntry entry = makeEntry(1, "X", 0, 1);
  std::fill(entry.pathField.begin() + 1, entry.pathField.end(), 'p');
  EXPECT_EQ(fatPathText(entry).size(), 26u);
  entry.kind = 2;
  EXPECT_EQ(fatPathText(entry).size(), 94u);
}

TEST(FatTest, ObdiiVersionVerdicts) {
  struct Case {
    const char* brand;
    const char* version;
    const char* versionExtra;
    ObdiiVerdict verdict;
  };
  const Case cases[] = {
      {"OBDII", "91V3.4", "", ObdiiVerdict::TooOld},
      {"OBDII", "91V3.5", "", ObdiiVerdict::Current},
      {"OBDII", "91V4.0", "", ObdiiVerdict::Current},
      {"OBDII", "91V2.9", "", ObdiiVerdict::TooOld},
      {"OBDII", "51 v3.0", "", ObdiiVerdict::TooOld},
      {"OBDII", "91-2010", "V3.4", ObdiiVerdict::TooOld},  // V only in versionExtra
      {"OBDII", "91-2010", "V3.5", ObdiiVerdict::Current},
      {"OBDII", "91-2010", "", ObdiiVerdict::Current},  // no version number at all
      {"OBDII", "92V3.4", "", ObdiiVerdict::Current},   // not 91/51: never tested
      {"OBDII", "V3.4", "", ObdiiVerdict::Current},
      {"OBDII", "91V3.4V4.0", "", ObdiiVerdict::TooOld},  // the first V counts
      {"OBDII", "91 V34", "", ObdiiVerdict::Current},     // no dot two places after the V
      {"obdii", "91V3.4", "", ObdiiVerdict::NotObdii},    // other letter case is not checked
      {"OBDII2", "91V3.4", "", ObdiiVerdict::NotObdii},
      {"AUDI", "91V3.4", "", ObdiiVerdict::NotObdii},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.brand << " " << c.version << " | " << c.versionExtra);
    FatEntry entry = makeEntry(2, c.brand, 0, 10);
    setFatText(entry.version, c.version);
    setFatText(entry.versionExtra, c.versionExtra);
    EXPECT_EQ(obdiiVersionVerdict(entry), c.verdict);
  }
  // A V in the last byte of version: the digits come from versionExtra.
  FatEntry entry = makeEntry(2, "OBDII", 0, 10);
  setFatText(entry.version, "91" + std::string(23, '-') + "V");
  setFatText(entry.versionExtra, "3.4");
  EXPECT_EQ(obdiiVersionVerdict(entry), ObdiiVerdict::TooOld);
  entry.kind = 0;  // an empty slot is ignored everywhere
  EXPECT_EQ(obdiiVersionVerdict(entry), ObdiiVerdict::NotObdii);
}

TEST(FatTest, LogLine) {
  EXPECT_EQ(fatEntryLogLine(makeEntry(2, "X", 0x1A, 5)), "L:1A   s:05   N:1F");
  EXPECT_EQ(fatEntryLogLine(makeEntry(2, "X", 0xFFFF, 2)), "L:FFFF   s:02   N:10001");
}

TEST(FatTest, Utf8TestFollowsPositionRule) {
  auto bytes = [](std::initializer_list<int> list) {
    std::vector<uint8_t> v{0};  // position 0 is not text
    for (int b : list) v.push_back(static_cast<uint8_t>(b));
    return v;
  };
  EXPECT_TRUE(isUtf8Positions(bytes({'A', 'b', 0xE4, 0xBD, 0xA0}), 5));
  EXPECT_FALSE(isUtf8Positions(bytes({'A', 0xA0, 'c'}), 3));
  EXPECT_FALSE(isUtf8Positions(bytes({0xC3, 0x28, 0x41}), 3));
  EXPECT_TRUE(isUtf8Positions(bytes({0xC3, 0x28}), 2));
  EXPECT_TRUE(isUtf8Positions(bytes({0xE4, 0xBD}), 2));  // runs past n: counts as well-formed
  EXPECT_TRUE(isUtf8Positions(bytes({0xC3}), 40));       // n beyond the buffer is cut
}

// Stand-in for the code-page conversion: each byte 0xA4 becomes "中" (three bytes).
bool fakeLegacyToUtf8(std::string_view in, std::string& out) {
  out.clear();
  for (char c : in) {
    if (static_cast<uint8_t>(c) == 0xA4) {
      out += "\xE4\xB8\xAD";
    } else if (static_cast<uint8_t>(c) == 0xFE) {
      return false;
    } else {
      out.push_back(c);
    }
  }
  return true;
}

TEST(FatTest, LegacyPathConversion) {
  struct Case {
    const char* name;
    std::string path;
    uint8_t byteAfter;  // the byte behind the path's NUL
    std::size_t testLimit, maxWritten;
    PathConversion outcome;
    std::string expected;
  };
  const std::string zhong = "\xE4\xB8\xAD";
  const Case cases[] = {
      {"utf-8 untouched", "EU\\" + zhong, 0, 96, 95, PathConversion::AlreadyUtf8, "EU\\" + zhong},
      {"legacy converted", "EU\\\xA4\xA4", 0, 96, 95, PathConversion::Converted,
       "EU\\" + zhong + zhong},
      // Leftovers behind the terminator do not make a UTF-8 path legacy text.
      {"garbage after NUL", "EU\\" + zhong, 0xA0, 96, 95, PathConversion::AlreadyUtf8,
       "EU\\" + zhong},
      {"converter fails", "\xA4\xFE", 0, 96, 95, PathConversion::ConverterFailed, "\xA4\xFE"},
      // 40 legacy bytes grow to 120: cut at a character boundary inside 94 bytes.
      {"cut to the field", std::string(40, '\xA4'), 0, 96, 95, PathConversion::Converted,
       [&] {
         std::string s;
         for (int i = 0; i < 31; ++i) s += zhong;
         return s;
       }()},
      // A kind-1 entry that stays kind 1 keeps its byte 29.
      {"legacy layout", std::string(20, '\xA4'), 0, 28, 27, PathConversion::Converted,
       zhong + zhong + zhong + zhong + zhong + zhong + zhong + zhong},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FatEntry entry = makeEntry(2, "X", 0, 1, c.path);
    entry.pathField[0] = 0x42;
    entry.pathField[1 + c.path.size() + 1] = c.byteAfter;
    entry.pathField[29] = c.maxWritten == 27 ? 0x33 : entry.pathField[29];
    entry.pathField[127] = 0x66;
    const FatEntry before = entry;
    EXPECT_EQ(convertLegacyPath(entry, c.testLimit, c.maxWritten, fakeLegacyToUtf8), c.outcome);
    const char* text = reinterpret_cast<const char*>(entry.pathField.data()) + 1;
    EXPECT_EQ(std::string(text, strnlen(text, 127)), c.expected);
    EXPECT_EQ(entry.pathField[0], 0x42);
    EXPECT_EQ(entry.pathField[127], 0x66);
    if (c.maxWritten == 27) {
      EXPECT_EQ(entry.pathField[29], 0x33);
    }
    if (c.outcome != PathConversion::Converted) {
      EXPECT_TRUE(entry == before);
    }
  }
}

TEST(FatTest, CompactionDropsEmptySlotsAndUpgradesLegacyEntries) {
  FatEntry legacy = makeEntry(1, "KIND1", 20, 5, "OLD\xA4");
  legacy.pathField[29] = 0x5C;
  legacy.pathField[60] = 0x11;  // outside the legacy path area: kept
  auto catalogue = catalogueOf({makeEntry(2, "OBDII", 0, 10), makeEntry(0, "GONE1", 10, 5), legacy,
                                makeEntry(0, "GONE2", 30, 5), makeEntry(7, "ODDKIND", 40, 5, "EU"),
                                makeEntry(0, "GONE3", 0, 0)});
  compactCatalogue(*catalogue, fakeLegacyToUtf8);
  ASSERT_EQ(catalogue->header.entryCount, 3);
  EXPECT_EQ(fatText(catalogue->entries[0].brand), "OBDII");
  EXPECT_EQ(fatText(catalogue->entries[1].brand), "KIND1");
  EXPECT_EQ(fatText(catalogue->entries[2].brand), "ODDKIND");
  const FatEntry& upgraded = catalogue->entries[1];
  EXPECT_EQ(upgraded.kind, 2);
  EXPECT_EQ(upgraded.pathField[127], 0x5C);
  EXPECT_EQ(upgraded.pathField[29], 0);
  EXPECT_EQ(upgraded.pathField[60], 0x11);
  EXPECT_EQ(fatPathText(upgraded), "OLD\xE4\xB8\xAD");
  EXPECT_EQ(catalogue->entries[2].kind, 7);
  EXPECT_TRUE(catalogue->entries[3] == FatEntry{});
}

TEST(FatTest, RelocationPushesSoftwareToTheTop) {
  auto table = std::make_unique<MappingTable>();
  makeFreshMappingTable(*table);
  for (uint16_t l = 0; l < 40; ++l) table->words[l] = static_cast<uint16_t>(1000 + l);
  auto catalogue = catalogueOf(
      {makeEntry(2, "OBDII", 0, 10), makeEntry(2, "A", 10, 10), makeEntry(2, "B", 30, 10)});
  EXPECT_EQ(relocateToTop(*catalogue, *table, kSectorCount), 2);
  EXPECT_EQ(catalogue->entries[0].startSector, 0);
  EXPECT_EQ(catalogue->entries[1].startSector, 80);
  EXPECT_EQ(catalogue->entries[2].startSector, 90);
  for (uint16_t k = 0; k < 10; ++k) {
    EXPECT_EQ(table->words[k], 1000 + k);       // base software stays
    EXPECT_EQ(table->words[80 + k], 1010 + k);  // A's sectors
    EXPECT_EQ(table->words[90 + k], 1030 + k);  // B's sectors
    EXPECT_EQ(table->words[10 + k], UNMAPPED_SECTOR);
    EXPECT_EQ(table->words[30 + k], UNMAPPED_SECTOR);
  }
  EXPECT_EQ(table->words[20], 1020);  // unowned words are left to pruning
}

TEST(FatTest, RelocationCases) {
  struct Case {
    const char* name;
    std::vector<FatEntry> entries;
    std::vector<uint16_t> expectedStarts;
  };
  const Case cases[] = {
      {"already packed", {makeEntry(2, "OBDII", 0, 10), makeEntry(2, "A", 90, 10)}, {0, 90}},
      {"adjacent pair moves as one",
       {makeEntry(2, "OBDII", 0, 10), makeEntry(2, "A", 20, 5), makeEntry(2, "B", 25, 5)},
       {0, 90, 95}},
      {"aliases move together",
       {makeEntry(2, "OBDII", 0, 10), makeEntry(2, "A", 20, 5), makeEntry(2, "A2", 20, 5),
        makeEntry(2, "B", 40, 5)},
       {0, 90, 90, 95}},
      // The group is as long as its longest alias: all of it moves.
      {"aliases of different lengths",
       {makeEntry(2, "OBDII", 0, 10), makeEntry(2, "A", 20, 5), makeEntry(2, "A2", 20, 8)},
       {0, 92, 92}},
      {"slot order does not matter",
       {makeEntry(2, "OBDII", 0, 10), makeEntry(2, "B", 40, 5), makeEntry(2, "A", 20, 5)},
       {0, 95, 90}},
      // An entry sharing the base software's start is an alias of it: never moved.
      {"alias of the base software stays",
       {makeEntry(2, "OBDII", 0, 10), makeEntry(2, "A", 30, 5), makeEntry(2, "OBDII-B", 0, 10)},
       {0, 95, 0}},
      // Overlapping entries share mapping words: they are left where they are.
      {"overlap is not moved",
       {makeEntry(2, "OBDII", 0, 10), makeEntry(2, "A", 20, 10), makeEntry(2, "B", 25, 2)},
       {0, 20, 25}},
      {"only the base software", {makeEntry(2, "OBDII", 0, 10)}, {0}},
      {"software running past the end is not moved",
       {makeEntry(2, "OBDII", 0, 10), makeEntry(2, "A", 50, 60)},
       {0, 50}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto table = std::make_unique<MappingTable>();
    makeFreshMappingTable(*table);
    for (uint16_t l = 0; l <= kSectorCount; ++l) table->words[l] = static_cast<uint16_t>(2000 + l);
    auto catalogue = catalogueOf(c.entries);
    relocateToTop(*catalogue, *table, kSectorCount);
    // Every sector of every entry still maps to its old data.
    for (std::size_t k = 0; k < c.entries.size(); ++k) {
      const FatEntry& moved = catalogue->entries[k];
      EXPECT_EQ(moved.startSector, c.expectedStarts[k]) << "slot " << k + 1;
      for (uint16_t i = 0; i < moved.sectorCount && moved.startSector + i <= kSectorCount; ++i) {
        EXPECT_EQ(table->words[moved.startSector + i], 2000 + c.entries[k].startSector + i)
            << "slot " << k + 1 << " sector " << i;
      }
    }
  }
}

TEST(FatTest, RefreshWritesTheCompactedRelocatedSector) {
  auto table = std::make_unique<MappingTable>();
  makeFreshMappingTable(*table);
  for (uint16_t l = 0; l < 40; ++l) table->words[l] = static_cast<uint16_t>(l + 1);
  auto catalogue = catalogueOf(
      {makeEntry(2, "OBDII", 0, 10), makeEntry(0, "GONE", 10, 10), makeEntry(1, "B", 30, 10)});
  catalogue->header = {kFatSignatureLegacy, 0, 0, 3};
  const FatRefreshResult refreshed =
      refreshFat(*catalogue, table.get(), kSectorCount, kNoConversion);
  ASSERT_EQ(refreshed.sector.size(), kFatSectorSize);
  uint8_t sum = 0, x = 0;
  for (uint8_t b : refreshed.sector) {
    sum = static_cast<uint8_t>(sum + b);
    x ^= b;
  }
  EXPECT_EQ(refreshed.check.sum, sum);
  EXPECT_EQ(refreshed.check.xorValue, x);
  FatParseResult result;
  const auto back = parse(refreshed.sector, &result);
  ASSERT_EQ(back->header.entryCount, 2);
  EXPECT_EQ(back->entries[1].kind, 2);
  EXPECT_EQ(back->entries[1].startSector, 90);
  EXPECT_EQ(table->words[90], 31);
  EXPECT_TRUE(*back == *catalogue);
  EXPECT_EQ(refreshed.sector[0], 0xA1);

  // Without a table (relocate = 0) nothing moves.
  auto plain = catalogueOf({makeEntry(2, "OBDII", 0, 10), makeEntry(2, "B", 30, 10)});
  refreshFat(*plain, nullptr, kSectorCount, kNoConversion);
  EXPECT_EQ(plain->entries[1].startSector, 30);
}

TEST(FatTest, PruningFollowsTheCatalogue) {
  auto table = std::make_unique<MappingTable>();
  makeFreshMappingTable(*table);
  for (uint16_t l = 0; l < 40; ++l) table->words[l] = static_cast<uint16_t>(l);
  rebuildPhysicalSectorInUse(*table, kSectorCount);
  // Slot 2 was removed (kind 0): its sectors lose their mapping.
  const auto catalogue = catalogueOf(
      {makeEntry(2, "OBDII", 0, 10), makeEntry(0, "GONE", 10, 10), makeEntry(2, "B", 30, 10)});
  pruneMappingTable(*table, liveSectorRuns(*catalogue), kSectorCount);
  for (uint16_t l = 0; l < 40; ++l) {
    const bool owned = l < 10 || l >= 30;
    EXPECT_EQ(table->words[l], owned ? l : UNMAPPED_SECTOR) << l;
    EXPECT_EQ(table->physicalSectorInUse[l], owned ? 1 : 0) << l;
  }
}

}  // namespace
}  // namespace ostrel
