// The quality-control rules without a module, and the reference images the
// build put next to the programs.
#include "flash/qc_rules.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "app/file_io.h"
#include "app/text_helpers.h"
#include "cartfs/fat.h"
#include "flash_rig.h"
#include "packages/flash_image.h"

namespace ostrel::test {
namespace {

TEST(QcRules, ProgressFollowsTheMarksOfEachGenerationAndStep) {
  struct Case {
    Generation generation;
    int step;
    uint32_t marks;
    uint16_t sectors;
    int expected;
  } cases[] = {
      // Ostrel III: three marks a sector in step 1, two in step 2.
      {OstrelIII, 0, 768, 256, 100},
      {OstrelIII, 0, 767, 256, 99},
      {OstrelIII, 0, 384, 256, 50},
      {OstrelIII, 1, 511, 256, 99},
      {OstrelIII, 1, 6, 2, 100},
      // Ostrel IV: 384 and 256 marks whatever its size.
      {OstrelIV, 0, 192, 59999, 50},
      {OstrelIV, 0, 383, 16384, 99},
      {OstrelIV, 1, 128, 32768, 50},
      // Extra marks never take the bar past its end.
      {OstrelIV, 0, 1000, 16384, 100},
      {OstrelIII, 0, 10, 0, 0},
      {OstrelI, 0, 10, 128, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(qcMarkProgress(c.generation, c.step, c.marks, c.sectors), c.expected)
        << int(c.generation) << " step " << c.step << " marks " << c.marks;
}

TEST(QcRules, RepliesEndTheStepAsTheModuleReports) {
  using O = QcStepScan::Outcome;
  struct Case {
    const char* what;
    std::vector<Bytes> replies;
    uint8_t serial;
    O outcome;
    uint32_t marks;
    std::string code;
  } cases[] = {
      {"marks then Z n", {{'['}, {'['}, {'\\'}, {'Z', 7}}, 7, O::Passed, 3, ""},
      {"D0 after a backslash", {{'['}, {'\\'}, {0xD0}}, 7, O::Failed, 2, "1001"},
      {"D0 after brackets", {{'['}, {'\\'}, {'['}, {0xD0}}, 7, O::Failed, 3, "1020"},
      {"Z with another serial number", {{'['}, {'Z', 8}}, 7, O::Unexpected, 1, ""},
      {"Z and its number in two replies", {{'\\', 'Z'}, {7}}, 7, O::Passed, 1, ""},
      {"marks run together", {{'[', '[', '\\'}, {'['}}, 7, O::Running, 4, ""},
      {"a number that looks like a mark", {{'['}, {'Z', '['}}, '[', O::Passed, 1, ""},
      {"nothing after the end counts", {{'Z', 7, '[', 0xD0}}, 7, O::Passed, 0, ""},
  };
  for (const Case& c : cases) {
    QcStepScan scan;
    for (const Bytes& r : c.replies) scanQcReply(scan, r, c.serial);
    EXPECT_EQ(scan.outcome, c.outcome) << c.what;
    EXPECT_EQ(scan.marks, c.marks) << c.what;
    EXPECT_EQ(std::string(qcFailureCode(scan)), c.code) << c.what;
  }
}

// QC Auto looks for its image in the program's folder first, then beside the
// executable, in the installation's data folder and in the user's data folder.
TEST(QcRules, ReferenceImageFolders) {
  using Folders = std::vector<std::string>;
  const char* old = std::getenv("XDG_DATA_HOME");
  const std::string saved = old ? old : "";
  setenv("XDG_DATA_HOME", "/home/op/.local/share", 1);
  EXPECT_EQ(dataFolders("/home/op/.local/share/ostrel/", "/usr/bin/ostrel-fm"),
            (Folders{"/home/op/.local/share/ostrel/", "/usr/bin/", "/usr/share/ostrel/"}));
  EXPECT_EQ(
      dataFolders("/opt/ostrel/bin", "/opt/ostrel/bin/ostrel-cli"),
      (Folders{"/opt/ostrel/bin/", "/opt/ostrel/share/ostrel/", "/home/op/.local/share/ostrel/"}));
  if (old)
    setenv("XDG_DATA_HOME", saved.c_str(), 1);
  else
    unsetenv("XDG_DATA_HOME");
}

// What the build wrote: S-record files that load, with a FAT of one entry
// over the whole image and pattern sectors that test every data bit.
TEST(QcReferenceImages, EveryImageLoadsWithItsFatAndATestPattern) {
  struct Image {
    const char* name;
    uint16_t cartridgeSectors;
  } images[] = {{"QC_16M.HX", 256}, {"QC_8M.HX", 128}, {"QC_8M_OST3.HX", 128}};
  for (const Image& im : images) {
    SCOPED_TRACE(im.name);
    std::vector<uint8_t> text;
    ASSERT_EQ(readWholeFile(std::string(OSTREL_QC_IMAGE_DIR "/") + im.name, text, 64 << 20),
              FileReadResult::Ok);
    const FlashImageLoad load = convertSRecords(text, im.cartridgeSectors);
    ASSERT_TRUE(load.fault.empty()) << load.fault;
    ASSERT_GE(load.blockCount, 3u);
    ASSERT_LE(load.blockCount, im.cartridgeSectors);

    const std::span<const uint8_t> fat(load.image.data() + 65536, 65536);
    EXPECT_EQ(fat[4] << 8 | fat[5], im.cartridgeSectors);
    CartridgeCatalogue catalogue;
    const FatParseResult parsed = parseFatSector(fat, im.cartridgeSectors, catalogue);
    ASSERT_TRUE(parsed.signatureRecognised);
    ASSERT_EQ(parsed.declaredCount, 1);
    const FatEntry& entry = catalogue.entries[0];
    EXPECT_EQ(entry.kind, 2);
    EXPECT_FALSE(fatText(entry.brand).empty());
    EXPECT_EQ(entry.startSector, 0);
    EXPECT_EQ(entry.sectorCount, load.blockCount);

    int patternSectors = 0, blankSectors = 0;
    for (uint32_t s = 0; s < load.blockCount; ++s) {
      if (s == 1) continue;
      const uint8_t* d = load.image.data() + size_t(s) * 65536;
      uint8_t any = 0, all = 0xFF;
      bool differsFromLoop = false;
      for (uint32_t i = 0; i < 65536; ++i) {
        any |= d[i];
        all &= d[i];
        differsFromLoop = differsFromLoop || (d[i] & uint8_t(i)) != d[i];
      }
      if (all == 0xFF) {
        ++blankSectors;
        continue;
      }
      ++patternSectors;
      EXPECT_EQ(any, 0xFF) << "sector " << s << ": a data bit is never 1";
      EXPECT_EQ(all, 0x00) << "sector " << s << ": a data bit is never 0";
      EXPECT_TRUE(differsFromLoop) << "sector " << s << " would survive a missing erase";
    }
    EXPECT_GE(patternSectors, 2);
    EXPECT_EQ(blankSectors, 1);  // one sector the plan erases without writing
  }
}

}  // namespace
}  // namespace ostrel::test
