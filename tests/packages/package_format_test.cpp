#include "packages/package_format.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <random>

#include "app/text_helpers.h"
#include "packages/package_records.h"

namespace ostrel {
namespace {

using test::append;
using test::Bytes;
using test::catalogueBlock;
using test::encodeRecord;
using test::headerPayload;
using test::TestEntry;
using test::TestRecord;

const LegacyTextConverter kCp1252 = [](std::string_view in, std::string& out) {
  return legacyToUtf8(0, in, out);
};

PackageRead read(const Bytes& file, uint64_t limit = kLargestImageBytes) {
  SpanSource source(file);
  return readPackage(source, kCp1252, {}, limit);
}

Bytes pattern(size_t n, uint32_t tag) {
  Bytes b(n);
  uint32_t x = 2463534242u ^ tag;
  for (auto& v : b) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    v = uint8_t(x);
  }
  return b;
}

// A hand-made package: data records in file order, a catalogue, and the
// damage a case asks for. expected() is the image a reader must return.
struct PackagePlan {
  std::vector<std::pair<uint32_t, Bytes>> data{{2, pattern(300, 2)}, {3, pattern(65536, 3)}};
  Bytes catalogue = catalogueBlock({{2, "Corvenne", 2, 2, "EUROPE\\FRANCE"}}, 1);
  std::optional<uint64_t> declaredSize;
  int checksumDelta = 0;
  Bytes junk;
  uint8_t key = 0x35;
  int form = 0;
  bool badHeaderTrailer = false, badDataTrailer = false, badEndTrailer = false;
  Bytes headerExtra;                    // bytes beyond the 142 the writer puts in a header
  std::vector<TestRecord> before;       // records between the header and the data
  uint64_t limit = kLargestImageBytes;  // the cartridge the reader is given

  Bytes uncut() const {
    Bytes image;
    for (const auto& [block, plain] : data) {
      if (block >= kLargestCartridgeSectors) continue;
      if (image.size() < (block + 1) * 65536ull) image.resize((block + 1) * 65536ull, 0xFF);
      std::copy(plain.begin(), plain.end(), image.begin() + block * 65536ull);
    }
    return image;
  }
  uint64_t end() const { return data.back().first * 65536ull + data.back().second.size(); }
  Bytes expected() const {
    Bytes image = uncut();
    image.resize((data.back().first + 1) * 65536ull);
    return image;
  }
  Bytes file() const {
    const uint64_t size = declaredSize.value_or(end());
    const Bytes image = uncut();
    const uint16_t c = uint16_t(
        test::testChecksum(image, size_t(std::min<uint64_t>(size, image.size()))) + checksumDelta);
    Bytes out = junk;
    Bytes hp = headerPayload(size, c, {1, 2, 3, 4, 5, 6, 7, 8});
    append(hp, headerExtra);
    append(out, encodeRecord({0xD0, form, 0, key, hp, badHeaderTrailer}));
    for (const TestRecord& r : before) append(out, encodeRecord(r));
    for (const auto& [block, plain] : data)
      append(out, encodeRecord({0xD1, form, block, uint8_t(key + 0x11), plain, badDataTrailer}));
    append(out, encodeRecord({0xD9, form, 0, uint8_t(key + 0x22), catalogue, badEndTrailer}));
    return out;
  }
};

TEST(PackageFormatTest, ImageChecksumMatchesHandComputedValues) {
  struct Case {
    Bytes bytes;
    uint16_t expected;
  };
  const Case cases[] = {
      {{}, 0x0000},
      {{0x01, 0x02}, 0x0602},
      {{0xFF}, 0x0000},
      {{0x10, 0x20, 0x30}, 0x6606},
      {Bytes(256, 0x00), 0x8080},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(imageChecksum(c.bytes), c.expected);
    // Fed in two pieces, the weights carry on from the first piece.
    ImageChecksum split;
    const size_t half = c.bytes.size() / 2;
    split.add(std::span<const uint8_t>(c.bytes).first(half));
    split.add(std::span<const uint8_t>(c.bytes).subspan(half));
    EXPECT_EQ(split.value(), c.expected);
  }
  // Blank bytes counted without their bytes: from any offset, over whole
  // blocks and runs of 256 and single bytes.
  struct Blanks {
    size_t before, count;
  };
  const Blanks blanks[] = {{3, 70000},     {0, 3 * 65536}, {256, 2 * 65536 + 300},
                           {65535, 65538}, {5, 255},       {0, 0}};
  for (const Blanks& b : blanks) {
    SCOPED_TRACE(b.before);
    Bytes bytes = pattern(b.before, 7);
    bytes.resize(b.before + b.count, 0xFF);
    ImageChecksum c;
    c.add(std::span<const uint8_t>(bytes).first(b.before));
    c.addBlank(b.count);
    EXPECT_EQ(c.value(), test::testChecksum(bytes, bytes.size()));
  }
}

TEST(PackageFormatTest, HandMadePackagesLoadOrFailWithTheirFaultCode) {
  struct Case {
    const char* name;
    std::function<void(PackagePlan&)> change;
    std::string_view fault;  // empty: loads
  };
  auto huge = [](PackagePlan& s) { s.data = {{2, pattern(10, 1)}}; };
  const Case cases[] = {
      {"plain", [](PackagePlan&) {}, ""},
      {"2 bytes before the first record",
       [](PackagePlan& s) {
         s.junk = {0, 0};
       },
       ""},
      {"4 bytes before",
       [](PackagePlan& s) {
         s.junk = {1, 2, 3, 4};
       },
       ""},
      {"6 bytes before", [](PackagePlan& s) { s.junk = {0, 0, 0, 0, 0, 0}; }, ""},
      {"8 bytes before", [](PackagePlan& s) { s.junk = Bytes(8, 0); }, "0011"},
      {"long form, complement + 1", [](PackagePlan& s) { s.form = 1; }, ""},
      {"long form, complement + 2", [](PackagePlan& s) { s.form = 2; }, ""},
      {"complement + 3 is no marker", [](PackagePlan& s) { s.form = 3; }, "0011"},
      {"key high nibble 0", [](PackagePlan& s) { s.key = 0x05; }, ""},
      {"key high nibble 8", [](PackagePlan& s) { s.key = 0x85; }, ""},
      {"key high nibble 9", [](PackagePlan& s) { s.key = 0x95; }, ""},
      {"key high nibble 15", [](PackagePlan& s) { s.key = 0xFD; }, ""},
      {"HeaderRecord trailer", [](PackagePlan& s) { s.badHeaderTrailer = true; }, "0012"},
      {"DataRecord trailer", [](PackagePlan& s) { s.badDataTrailer = true; }, "0015"},
      {"EndRecord trailer", [](PackagePlan& s) { s.badEndTrailer = true; }, "0016"},
      {"declared size beyond the data", [](PackagePlan& s) { s.declaredSize = s.end() + 1; },
       "0013"},
      {"checksum", [](PackagePlan& s) { s.checksumDelta = 1; }, "0014"},
      {"catalogue signature 55 AA",
       [](PackagePlan& s) { s.catalogue = catalogueBlock({}, 0, 0, 0x55, 0xAA); }, ""},
      {"catalogue signature",
       [](PackagePlan& s) { s.catalogue = catalogueBlock({}, 0, 0, 0x55, 0xAB); }, "0017"},
      {"a short DataRecord fills the start of its block",
       [](PackagePlan& s) {
         s.data = {{2, pattern(65536, 4)}, {3, pattern(100, 5)}};
       },
       ""},
      {"blocks left out read blank",
       [](PackagePlan& s) {
         s.data = {{0, pattern(9, 6)}, {7, pattern(65536, 7)}};
       },
       ""},
      {"last record not the highest block, ending at the declared size",
       [](PackagePlan& s) {
         s.data = {{5, pattern(65536, 8)}, {3, pattern(65536, 9)}};
         s.catalogue = catalogueBlock({{2, "Brenna", 2, 2, ""}}, 1);
       },
       ""},
      {"last record not the highest block, size of the highest",
       [](PackagePlan& s) {
         s.data = {{5, pattern(65536, 8)}, {3, pattern(65536, 9)}};
         s.declaredSize = 6 * 65536ull;
       },
       "0013"},
      {"HeaderRecord payload over 1024 bytes",
       [](PackagePlan& s) { s.headerExtra = pattern(3000, 10); }, ""},
      {"record of another kind",
       [](PackagePlan& s) {
         s.before = {{0xD5, 0, 0, 0x12, Bytes(40, 0)}};
       },
       "0011"},
      {"declared size beyond the largest cartridge",
       [&](PackagePlan& s) {
         huge(s);
         s.declaredSize = kLargestImageBytes + 1;
       },
       "0018"},
      {"declared size past the module's cartridge", [](PackagePlan& s) { s.limit = 3 * 65536; },
       "0018"},
      {"an image that fills the module's cartridge", [](PackagePlan& s) { s.limit = 4 * 65536; },
       ""},

      // Cut away at the end as any block past the declared size, and never
      // held on the way.
      {"block beyond the largest cartridge before good records",
       [](PackagePlan& s) {
         s.form = 1;
         s.data.insert(s.data.begin(), {kLargestCartridgeSectors, pattern(10, 12)});
       },
       ""},
      {"more entries than the loaded catalogue holds",
       [](PackagePlan& s) { s.catalogue = catalogueBlock(std::vector<TestEntry>(257), 257); },
       "0018"},
      {"entries beyond the catalogue block",
       [](PackagePlan& s) {
         s.catalogue = catalogueBlock({{2, "A", 2, 1, ""}}, 2);
       },
       "0017"},
      {"entry beyond the image",
       [](PackagePlan& s) {
         s.catalogue = catalogueBlock({{2, "A", 3, 2, ""}}, 1);
       },
       "0017"},
      {"empty slot beyond the image",
       [](PackagePlan& s) {
         s.catalogue = catalogueBlock({{0, "", 300, 2, ""}}, 1);
       },
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PackagePlan plan;
    c.change(plan);
    const PackageRead r = read(plan.file(), plan.limit);
    EXPECT_EQ(r.fault, c.fault);
    if (!c.fault.empty()) {
      EXPECT_TRUE(r.image.empty());
      continue;
    }
    EXPECT_TRUE(r.image == plan.expected());
    EXPECT_EQ(r.identity, (PackageIdentity{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(r.declaredSize, plan.end());
  }
}

// An EndRecord alone declares no size and reaches none: the image is one
// blank block, as a last block number of 0 gives.
TEST(PackageFormatTest, AnEndRecordAloneIsOneBlankBlock) {
  const PackageRead r = read(encodeRecord({0xD9, 0, 0, 0x57, catalogueBlock({}, 0)}));
  EXPECT_EQ(r.fault, "");
  EXPECT_TRUE(r.image == Bytes(65536, 0xFF));
}

TEST(PackageFormatTest, ASizeMismatchLogsBothPositions) {
  PackagePlan plan;
  plan.data = {{2, pattern(0x20, 1)}};
  plan.declaredSize = 0x30000;
  const PackageRead r = read(plan.file());
  EXPECT_EQ(r.fault, "0013");
  EXPECT_EQ(r.faultLines, (std::vector<std::string>{"00020020", "00030000"}));
}

TEST(PackageFormatTest, EveryCutOrFlippedBitIsAFaultOrReadsTheSame) {
  PackagePlan plan;
  plan.data = {{2, pattern(40, 1)}, {3, pattern(30, 2)}};
  plan.catalogue = catalogueBlock({{2, "Corvenne", 2, 2, "EUROPE"}}, 1);
  const Bytes file = plan.file();
  const PackageRead good = read(file);
  ASSERT_EQ(good.fault, "");
  for (size_t cut = 0; cut < file.size(); ++cut) {
    const PackageRead r = read(Bytes(file.begin(), file.begin() + cut));
    EXPECT_FALSE(r.fault.empty()) << "cut at " << cut;
  }
  for (size_t bit = 0; bit < file.size() * 8; ++bit) {
    Bytes damaged = file;
    damaged[bit / 8] ^= uint8_t(1u << (bit % 8));
    const PackageRead r = read(damaged);
    if (r.fault.empty()) {
      EXPECT_TRUE(r.image == good.image && r.catalogue == good.catalogue) << "bit " << bit;
    }
  }
}

// Whole images through BINtoBN and back: block 1 comes back blank (it
// travels as the catalogue), everything else as it was.
TEST(PackageFormatTest, WrittenPackagesReadBackAsTheirImage) {
  struct Case {
    const char* name;
    uint32_t blocks;
    std::vector<uint32_t> dataBlocks;
  };
  const Case cases[] = {
      {"dense", 4, {0, 2, 3}},
      {"blank blocks left out", 10, {0, 2, 8}},
      {"blank last block", 6, {2}},
      {"only the base software", 2, {0}},
      {"past 256 blocks", 300, {2, 255, 256, 299}},
      {"2048 blocks", 2048, {0, 2, 255, 256, 1000, 2047}},
  };
  const PackageIdentity identity{0, 0, 0, 0x12, 0x4F, 0x53, 0x54, 0x31};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes image(size_t(c.blocks) * 65536, 0xFF);
    for (uint32_t b : c.dataBlocks) {
      const Bytes d = pattern(65536, b);
      std::copy(d.begin(), d.end(), image.begin() + b * 65536ull);
    }
    const Bytes cat =
        catalogueBlock({{2, "Ostmark", 0, uint16_t(c.blocks), "EUROPE\\GERMANY"}}, 1, 65536);
    std::copy(cat.begin(), cat.end(), image.begin() + 65536);

    for (uint32_t draw : {1u, 77u}) {
      if (draw != 1 && c.blocks > 300) break;  // one key draw is enough for the large image
      const Bytes file = writePackage(image, identity, draw);
      ASSERT_FALSE(file.empty());
      const PackageRead r = read(file);
      ASSERT_EQ(r.fault, "");
      Bytes expected = image;
      std::fill(expected.begin() + 65536, expected.begin() + 131072, 0xFF);
      EXPECT_TRUE(r.image == expected);
      EXPECT_EQ(r.identity, identity);
      EXPECT_EQ(r.declaredSize, image.size());
      EXPECT_EQ(r.checksum, test::testChecksum(expected, expected.size()));
      ASSERT_EQ(r.catalogue.header.entryCount, 1);
      EXPECT_EQ(fatText(r.catalogue.entries[0].brand), "Ostmark");

      // Walk the records: keys in range and changing from record to record,
      // the long form exactly for blocks from 256 on, and only the blocks
      // that carry data (plus the last) as DataRecords.
      size_t at = 0;
      int previousKey = -1;
      std::vector<uint32_t> blocks;
      while (at < file.size()) {
        const uint8_t m1 = file[at], m2 = file[at + 1];
        const bool longForm = m2 != uint8_t(0xFF - m1);
        ASSERT_TRUE(!longForm || m2 == 0xFF - m1 + 1) << at;
        const size_t h = longForm ? 7 : 6;
        const uint32_t block = longForm ? file[at + 2] << 8 | file[at + 3] : file[at + 2];
        const uint8_t key = file[at + h - 3];
        const size_t length = (file[at + h - 2] << 8 | file[at + h - 1]) + 1;
        EXPECT_GE(key >> 4, 1);
        EXPECT_LE(key >> 4, 6);
        EXPECT_GE(key & 15, 1);
        EXPECT_LE(key & 15, 14);
        if (previousKey >= 0) {
          EXPECT_NE(key >> 4, previousKey >> 4);
          EXPECT_NE(key & 15, previousKey & 15);
        }
        previousKey = key;
        if (m1 == 0xD1) {
          EXPECT_EQ(longForm, block >= 256);
          blocks.push_back(block);
        }
        at += h + length + 2;
      }
      std::vector<uint32_t> expectedBlocks;
      for (uint32_t b : c.dataBlocks)
        if (b != 1) expectedBlocks.push_back(b);
      if (expectedBlocks.empty() || expectedBlocks.back() != c.blocks - 1)
        expectedBlocks.push_back(c.blocks - 1);
      EXPECT_EQ(blocks, expectedBlocks);
    }
  }
}

TEST(PackageFormatTest, ImagesThatCannotBePackedGiveNothing) {
  const PackageIdentity id{};
  EXPECT_TRUE(writePackage(Bytes(65536, 0xFF), id, 1).empty());  // no catalogue block
  EXPECT_TRUE(writePackage(Bytes(65536 * 2 + 1, 0xFF), id, 1).empty());
  EXPECT_TRUE(writePackage(Bytes(), id, 1).empty());
}

TEST(PackageFormatTest, CataloguePathsAreStoredAsUtf8) {
  struct Case {
    uint8_t kind;
    std::string stored;
    std::string expected;
    uint8_t byte29;
  };
  const Case cases[] = {
      {2, "EUROPE\\FRANCE\\Citro\xEBn", "EUROPE\\FRANCE\\Citro\xC3\xABn", 0},
      {2, "EUROPE\\FRANCE\\Citro\xC3\xABn", "EUROPE\\FRANCE\\Citro\xC3\xABn", 0},
      {1, "ASIA\\M\xFCnchen", "ASIA\\M\xC3\xBCnchen", 0x5A},
      {2, "", "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    PackagePlan plan;
    plan.catalogue = catalogueBlock({{c.kind, "Brenna", 2, 2, c.stored, c.byte29}}, 1);
    const PackageRead r = read(plan.file());
    ASSERT_EQ(r.fault, "");
    const FatEntry& e = r.catalogue.entries[0];
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(e.pathField.data()) + 1), c.expected);
    EXPECT_EQ(e.pathField[29], c.byte29);
  }
}

TEST(PackageFormatTest, EntriesFrom152OnComeFromTheUpperHalf) {
  std::vector<TestEntry> entries(160);
  for (size_t k = 0; k < entries.size(); ++k) {
    std::string brand = "E";
    brand += std::to_string(k + 1);
    entries[k] = {2, brand, 2, 2, ""};
  }
  PackagePlan plan;
  plan.catalogue = catalogueBlock(entries, 160);
  const PackageRead r = read(plan.file());
  ASSERT_EQ(r.fault, "");
  ASSERT_EQ(r.catalogue.header.entryCount, 160);
  EXPECT_EQ(fatText(r.catalogue.entries[150].brand), "E151");
  EXPECT_EQ(fatText(r.catalogue.entries[151].brand), "E152");
  EXPECT_EQ(fatText(r.catalogue.entries[159].brand), "E160");
}

TEST(PackageFormatTest, LoadedEntriesAreShiftedToTheirPackagesPlace) {
  auto package = [](std::vector<std::pair<uint16_t, uint16_t>> runs) {
    auto c = std::make_unique<CartridgeCatalogue>();
    for (size_t k = 0; k < runs.size(); ++k) {
      c->entries[k].kind = 2;
      c->entries[k].startSector = runs[k].first;
      c->entries[k].sectorCount = runs[k].second;
    }
    c->header.entryCount = uint16_t(runs.size());
    return c;
  };
  auto loaded = std::make_unique<CartridgeCatalogue>();
  ASSERT_TRUE(appendLoadedEntries(*loaded, *package({{2, 3}, {5, 1}, {5, 1}}), 0));
  ASSERT_TRUE(appendLoadedEntries(*loaded, *package({{2, 4}}), 6));
  std::vector<uint16_t> starts;
  for (size_t k = 0; k < loaded->header.entryCount; ++k)
    starts.push_back(loaded->entries[k].startSector);
  EXPECT_EQ(starts, (std::vector<uint16_t>{2, 5, 5, 8}));

  // No room, or a start past 16 bits: nothing changes.
  const auto before = std::make_unique<CartridgeCatalogue>(*loaded);
  EXPECT_FALSE(appendLoadedEntries(
      *loaded, *package(std::vector<std::pair<uint16_t, uint16_t>>(253, {2, 1})), 10));
  EXPECT_FALSE(appendLoadedEntries(*loaded, *package({{2, 10}}), 65530));
  EXPECT_TRUE(*loaded == *before);
  EXPECT_TRUE(appendLoadedEntries(*loaded, *package({{2, 10}}), 65524));
}

}  // namespace
}  // namespace ostrel
