#include "packages/package_builder.h"

#include <gtest/gtest.h>

#include "packages/package_format.h"

namespace ostrel {
namespace {

using Bytes = std::vector<uint8_t>;

PackageSoftware software(std::string_view brand, Bytes data,
                         std::vector<std::string> aliases = {}) {
  PackageSoftware s;
  s.entry.kind = 2;
  setFatText(s.entry.brand, brand);
  for (const std::string& a : aliases) {
    FatEntry alias = s.entry;
    setFatText(alias.brand, a);
    s.aliases.push_back(alias);
  }
  s.data = bytesData(std::move(data));
  return s;
}

Bytes sectors(const SoftwareData& data) {
  Bytes out(data.size);
  for (uint32_t k = 0; uint64_t(k) * 65536 < data.size; ++k)
    EXPECT_TRUE(data.read(k, std::span<uint8_t>(out).subspan(k * 65536ull, 65536)));
  return out;
}

Bytes sectorsOf(uint8_t value, size_t sectors, size_t extra = 0) {
  return Bytes(sectors * 65536 + extra, value);
}

TEST(PackageBuilderTest, SoftwareIsLaidOutBehindTheBaseAndPacksIntoALoadablePackage) {
  Bytes base = sectorsOf(0x11, 3);
  std::fill(base.begin() + 65536, base.begin() + 131072, 0xFF);
  const std::vector<PackageSoftware> pieces = {
      software("OBDII", base),
      software("Corvenne", sectorsOf(0x22, 1, 10), {"Corvenne Classic"}),
      software("Halvard", sectorsOf(0x33, 2)),
  };
  const PackageLayout layout = layOutPackage(pieces);
  ASSERT_EQ(layout.error, "");
  struct Expected {
    const char* brand;
    uint16_t start, count;
    uint8_t fill;
  };
  const Expected expected[] = {{"OBDII", 0, 3, 0x11},
                               {"Corvenne", 3, 2, 0x22},
                               {"Corvenne Classic", 3, 2, 0x22},
                               {"Halvard", 5, 2, 0x33}};

  EXPECT_EQ(layout.blocks, 7u);
  Bytes file;
  PackageWriter writer({1, 2, 3, 4, 5, 6, 7, 8}, 5, layout.blocks, memoryOutput(file));
  ASSERT_EQ(writeLaidOutPackage(layout, pieces, writer), "");
  SpanSource source(file);
  const PackageRead read = readPackage(source, {});
  ASSERT_EQ(read.fault, "");
  ASSERT_EQ(read.catalogue.header.entryCount, 4);
  EXPECT_EQ(read.image.size(), 7 * 65536u);
  for (size_t k = 0; k < 4; ++k) {
    SCOPED_TRACE(expected[k].brand);
    const FatEntry& e = read.catalogue.entries[k];
    EXPECT_EQ(fatText(e.brand), expected[k].brand);
    EXPECT_EQ(e.startSector, expected[k].start);
    EXPECT_EQ(e.sectorCount, expected[k].count);
    // First and last byte of the run: the software's data, not a neighbour's.
    EXPECT_EQ(read.image[e.startSector * 65536], expected[k].fill);
  }
  // Corvenne's short second sector is padded blank.
  EXPECT_EQ(read.image[4 * 65536 + 9], 0x22);
  EXPECT_EQ(read.image[4 * 65536 + 10], 0xFF);
}

TEST(PackageBuilderTest, LayoutsThatCannotBeMadeAreRefused) {
  struct Case {
    const char* name;
    std::vector<PackageSoftware> pieces;
  };
  const Case cases[] = {
      {"base software not first",
       {software("A", sectorsOf(1, 1)), software("OBDII", sectorsOf(1, 1))}},
      {"base software with data in the catalogue sector", {software("OBDII", sectorsOf(1, 2))}},
      {"no data", {software("A", {})}},
      {"more than 256 entries",
       {software("A", sectorsOf(1, 1), std::vector<std::string>(256, "B"))}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const PackageLayout layout = layOutPackage(c.pieces);
    EXPECT_NE(layout.error, "");
    EXPECT_EQ(layout.blocks, 0u);
  }
}

TEST(PackageBuilderTest, PatternsDifferBySectorAndTag) {
  const Bytes a = sectors(patternData("Corvenne", 2)), b = sectors(patternData("Halvard", 1));
  ASSERT_EQ(a.size(), 2 * 65536u);
  EXPECT_FALSE(std::equal(a.begin(), a.begin() + 65536, a.begin() + 65536));
  EXPECT_FALSE(std::equal(b.begin(), b.end(), a.begin()));
  EXPECT_EQ(std::string(a.begin(), a.begin() + 15), "OSTREL PACKAGE|");
  EXPECT_EQ(sectors(patternData("Corvenne", 2)), a);
}

}  // namespace
}  // namespace ostrel
