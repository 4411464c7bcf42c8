// Loading files from the main form, as the LOAD button runs it: the open
// dialog answered by the scripted host, files on disk, the streams, the
// LoadedCatalogue, the BlockTable and every display.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "app/text_helpers.h"
#include "flash/flash_rig.h"
#include "packages/file_kind.h"
#include "packages/package_format.h"
#include "packages/package_records.h"

namespace ostrel {
namespace {

using test::Bytes;
using test::TestEntry;

struct TempDir {
  TempDir() {
    static int n = 0;
    path = std::filesystem::temp_directory_path() /
           ("ostrel-load-" + std::to_string(::getpid()) + "-" + std::to_string(n++));
    std::filesystem::create_directories(path);
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string file(const std::string& name, const Bytes& bytes) const {
    const std::string p = (path / name).string();
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return p;
  }
  std::filesystem::path path;
};

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Block b of a package's image: a fill that names package and block.
uint8_t fillOf(uint8_t tag, size_t block) {
  return uint8_t(tag * 16 + block);
}

// A package of `blocks` blocks whose blocks 2.. are filled, with the
// catalogue in block 1.
Bytes packageFile(uint8_t tag, size_t blocks, const std::vector<TestEntry>& entries) {
  Bytes image(blocks * 65536, 0xFF);
  for (size_t b = 2; b < blocks; ++b)
    std::fill(image.begin() + b * 65536, image.begin() + (b + 1) * 65536, fillOf(tag, b));
  const Bytes cat = test::catalogueBlock(entries, uint16_t(entries.size()), 65536);
  std::copy(cat.begin(), cat.end(), image.begin() + 65536);
  return writePackage(image, {0, 0, 0, 0, tag, 0xA2, 0xA3, 0xA4}, tag);
}

OpenFileResult chose(std::vector<std::string> files, int filterIndex = 1) {
  return {true, std::move(files), filterIndex};
}

// The lines appear in the log in this order (others may come between).
::testing::AssertionResult logHasInOrder(const TForm_MAIN& form,
                                         const std::vector<std::string>& lines) {
  size_t at = 0;
  for (const std::string& line : form.Memo1.lines)
    if (at < lines.size() && line == lines[at]) ++at;
  if (at == lines.size()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "missing from the log: \"" << lines[at] << "\"";
}

std::vector<std::string> boxTexts(const ScriptedHost& host, MsgBoxKind kind) {
  std::vector<std::string> out;
  for (const auto& b : host.boxes)
    if (b.kind == kind) out.push_back(b.text);
  return out;
}

// Three packages in one dialog, the middle one cut short: the first and last
// load, the last one's entries address its own place in the PackageImage
// even though the first package's image runs on past its last entry.
TEST(LoadTest, MultiFileLoadAppendsPackagesAndSkipsABrokenOne) {
  for (const int mode : {0, 2}) {
    SCOPED_TRACE(mode);
    TempDir dir;
    test::ScriptRig rig(2, 256, mode);
    TForm_MAIN& form = *rig.form;
    const std::string a = dir.file("a.bn", packageFile(0xA, 6,
                                                       {{2, "Corvenne", 2, 2, "EUROPE\\FRANCE"},
                                                        {2, "Corvenne Classic", 2, 2, "EUROPE"},
                                                        {2, "Halvard", 4, 1, ""}}));
    const Bytes b = packageFile(0xB, 4, {{2, "Sunaga", 2, 2, "ASIA\\JAPAN"}});
    // File names are shown by the display rule: no control reaches a control.
    const std::string cut = dir.file("cut\x1B[2J\xE2\x80\xAE.bn", Bytes(b.begin(), b.end() - 100));
    const std::string bFile = dir.file("b\x07\xC2\x9B.bn", b);
    const std::string cutShown = displayText(0, cut), bShown = displayText(0, bFile);
    rig.host.fileAnswers.push_back(chose({a, cut, bFile}));

    // Queued work runs while the load goes on: the window stays responsive.
    int barWhenRun = -1;
    rig.clock.schedule(0, [&] { barWhenRun = form.ProgressBar_LOAD.position; });
    // The LOAD button of each layout, enabled as a detection leaves it.
    form.Button_LoadFile.enabled = form.Button2.enabled = true;
    EXPECT_TRUE(form.Click(mode == 2 ? "Button2" : "Button_LoadFile"));
    EXPECT_GE(barWhenRun, 0);
    EXPECT_LT(barWhenRun, form.ProgressBar_LOAD.max);

    EXPECT_EQ(form.PackageImage.Size(), 10 * 65536u);
    ASSERT_EQ(form.LoadedCatalogue.header.entryCount, 4);
    const uint16_t starts[] = {2, 2, 4, 6 + 2};
    for (int k = 0; k < 4; ++k) EXPECT_EQ(form.LoadedCatalogue.entries[k].startSector, starts[k]);
    EXPECT_EQ(fatText(form.LoadedCatalogue.entries[3].brand), "Sunaga");
    const uint8_t* image = form.PackageImage.Memory();
    EXPECT_EQ(image[8 * 65536], fillOf(0xB, 2));
    EXPECT_EQ(image[9 * 65536 + 65535], fillOf(0xB, 3));
    EXPECT_EQ(image[5 * 65536], fillOf(0xA, 5));
    EXPECT_EQ(image[7 * 65536], 0xFF);  // b's catalogue block

    EXPECT_TRUE(logHasInOrder(
        form, {"Loading.....", a, "Software ID : 0A A2 A3 A4", "Load OK!", "Loading.....", cutShown,
               "Fault code:0016", "Load Fail!", "Loading.....", bShown, "Software ID : 0B A2 A3 A4",
               "Load OK!", "2 files load ok!!"}));
    EXPECT_EQ(form.Edit_FileName.text, bShown);
    EXPECT_EQ(form.StaticText_Status1.text, "Load OK!");
    EXPECT_EQ(form.StaticText_Software_ID.text, "0B A2 A3 A4");
    EXPECT_EQ(form.ProgressBar_LOAD.position, form.ProgressBar_LOAD.max);
    EXPECT_TRUE(form.LoadedFiles);
    EXPECT_EQ(form.VisibleStep, 3);
    EXPECT_TRUE(form.Button_Copy2Card.enabled && form.Button1.enabled);
    EXPECT_TRUE(form.Button_LoadFile.enabled);
    EXPECT_FALSE(form.OperationRunning);
    if (mode == 2) {
      EXPECT_EQ(boxTexts(rig.host, MsgBoxKind::Error),
                (std::vector<std::string>{"Load Fail! " + cutShown}));
      EXPECT_EQ(boxTexts(rig.host, MsgBoxKind::Information),
                (std::vector<std::string>{"Load OK!"}));
    } else {
      EXPECT_TRUE(rig.host.boxes.empty());
    }

    // The module goes: nothing loaded stays.
    form.resetModuleState();
    EXPECT_EQ(form.LoadedCatalogue.header.entryCount, 0);
    EXPECT_FALSE(form.LoadedFiles);
  }
}

TEST(LoadTest, CancelAndFailureBeforeAnyLoadGoBackToStep2) {
  TempDir dir;
  test::ScriptRig rig(2, 256, 2);
  TForm_MAIN& form = *rig.form;
  rig.host.fileAnswers.push_back({});  // cancelled
  form.Function_Load();
  EXPECT_EQ(form.StaticText_Status1.text, "Load Cancel!");
  EXPECT_EQ(boxTexts(rig.host, MsgBoxKind::Information),
            (std::vector<std::string>{"Load Cancel!"}));
  EXPECT_EQ(form.VisibleStep, 2);
  EXPECT_TRUE(form.Panel_STEP2.visible);
  EXPECT_TRUE(form.Button_Cus_LoadFile.enabled && form.Button_LoadFile.enabled);
  EXPECT_FALSE(form.Button_Copy2Card.enabled || form.Button1.enabled ||
               form.Button_Program.enabled);

  const std::string missing = (dir.path / "missing.bn").string();
  rig.host.fileAnswers.push_back(chose({missing}));
  form.Function_Load();
  EXPECT_EQ(form.StaticText_Status1.text, "Load Fail!");
  EXPECT_EQ(form.StaticText_Status2.text, "Fault code:0010");
  EXPECT_TRUE(logHasInOrder(form, {"Fault code:0010", "Load Fail!", "0 files load ok!!"}));
  EXPECT_EQ(form.StaticText_Checksum.text, "00000000");
  EXPECT_EQ(form.StaticText_PROG_Size.text, "00000000");
  EXPECT_EQ(form.VisibleStep, 2);
  EXPECT_EQ(boxTexts(rig.host, MsgBoxKind::Error),
            (std::vector<std::string>{"Load Fail!", "Load Fail!"}));

  // With a package loaded, a failed load leaves its displays alone.
  const std::string good = dir.file("good.bn", packageFile(0xC, 3, {{2, "Taemin", 2, 1, ""}}));
  rig.host.fileAnswers.push_back(chose({good}));
  form.Function_Load();
  const std::string checksum = form.StaticText_Checksum.text;
  EXPECT_NE(checksum, "00000000");
  rig.host.fileAnswers.push_back(chose({missing}));
  form.Function_Load();
  EXPECT_EQ(form.StaticText_Checksum.text, checksum);
  EXPECT_EQ(form.StaticText_Software_ID.text, "0C A2 A3 A4");
  EXPECT_EQ(form.VisibleStep, 3);

  // An S-record file named like a package: the customer build loads
  // packages only and says in words why this one failed.
  const std::string image =
      dir.file("image.bn", Bytes{'S', '1', '0', '5', '0', '0', '0', '0', 'E', 'E', '\n'});
  rig.host.boxes.clear();
  rig.host.fileAnswers.push_back(chose({image}));
  form.Function_Load();
  EXPECT_EQ(form.StaticText_Status2.text, "Fault code:0011");
  EXPECT_EQ(
      boxTexts(rig.host, MsgBoxKind::Error),
      (std::vector<std::string>{
          "Load Fail! " + image + "\nThis file is not a software package (.bn).", "Load Fail!"}));
  EXPECT_EQ(form.ImageKind, 0);
}

TEST(LoadTest, TheFirstBytesTellWhatAFileHolds) {
  const Bytes package = packageFile(0xA, 3, {{2, "Brenna", 2, 1, ""}});
  auto behind = [&](Bytes b) {  // the package behind other bytes
    b.insert(b.end(), package.begin(), package.end());
    return b;
  };
  auto text = [](const char* t) { return Bytes(t, t + std::strlen(t)); };
  const struct {
    Bytes bytes;
    FileKind kind;
  } cases[] = {
      {package, FileKind::Package},
      {behind(Bytes(6, 0x00)), FileKind::Package},  // the reader skips up to three pairs,
      {behind(Bytes(8, 0x00)), FileKind::Other},
      {behind({0xD5, 0x2A, 0, 0, 0, 0}), FileKind::Package},  // and a record of an unknown kind
      {text("S00600004844521B\r\nS1130000"), FileKind::SRecord},
      {text("S3150000000000"), FileKind::SRecord},
      {text("S1"), FileKind::Other},
      {text("S1 13 0000"), FileKind::Other},
      {text("hello\n"), FileKind::Other},
  };
  for (const auto& c : cases) EXPECT_EQ(sniffFileKind(c.bytes), c.kind) << c.bytes.size();
}

// Chosen with the S-record or binary filter, or with the package filter
// while the content says otherwise (engineering builds), an image becomes
// the plan.
TEST(LoadTest, WholeFlashImagesBecomeTheFlashImageWithTheirPlan) {
  struct Case {
    int mode;
    int filter;
    Bytes content;
    uint32_t blocks;
    std::string progSize;
    bool dump;
    const char* note;  // what the log says of a file that is not a package
  };
  Bytes binary(70000, 0x00);
  const Bytes srecord{'S', '3', '0', '6', '0', '0', '0', '2', '0',
                      '0', '0', '0', 'E', 'E', '0', '0', '\n'};
  const Case cases[] = {
      {0, 2, srecord, 3, "0002FFFF", true, nullptr},
      {1, 2, Bytes(srecord.begin(), srecord.end() - 1), 3, "0002FFFF", false, nullptr},
      {1, 3, binary, 2, "0001FFFF", false, nullptr},
      {0, 1, srecord, 3, "0002FFFF", true, "Not a package: read as an S-record image"},
      {1, 1, binary, 2, "0001FFFF", false, "Not a package: read as a binary image"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.mode << "/" << c.filter);
    TempDir dir;
    test::ScriptRig rig(2, 256, c.mode);
    TForm_MAIN& form = *rig.form;
    // A package first: the image load replaces it as the plan.
    rig.host.fileAnswers.push_back(
        chose({dir.file("p.bn", packageFile(0xD, 3, {{2, "Brenna", 2, 1, ""}}))}));
    form.Function_Load();
    ASSERT_EQ(form.LoadedCatalogue.header.entryCount, 1);
    form.FatDirty = true;
    form.BlockTable[5].writeFlag = 1;  // beyond the image: not part of its plan

    const std::string file = dir.file("image", c.content);
    rig.host.fileAnswers.push_back(
        chose({file, (dir.path / "second-is-ignored").string()}, c.filter));
    form.Function_Load();
    EXPECT_TRUE(logHasInOrder(form, {"Load OK!", "1 files load ok!!"}));
    const bool noted =
        std::any_of(form.Memo1.lines.begin(), form.Memo1.lines.end(),
                    [](const std::string& l) { return l.starts_with("Not a package"); });
    EXPECT_EQ(noted, c.note != nullptr);
    if (c.note) EXPECT_TRUE(logHasInOrder(form, {file, c.note, "Load OK!"}));
    EXPECT_EQ(form.ImageKind, 1);
    EXPECT_EQ(form.ImageBlockCount, c.blocks);
    EXPECT_EQ(form.FlashImage.Size(), c.blocks * 65536u);
    EXPECT_EQ(form.StaticText_PROG_Size.text, c.progSize);
    EXPECT_EQ(form.LoadedCatalogue.header.entryCount, 0);
    EXPECT_FALSE(form.FatDirty);
    EXPECT_TRUE(form.Button_Program.enabled && form.Button_Verify.enabled &&
                form.Button_CHECK.enabled && form.Button_Auto.enabled);
    EXPECT_EQ(std::filesystem::exists(file + ".DBG"), c.dump);
    if (c.dump) {
      EXPECT_TRUE(readFile(file + ".DBG") ==
                  Bytes(form.FlashImage.Bytes().begin(), form.FlashImage.Bytes().end()));
    }
    EXPECT_EQ(form.BlockTable[5].writeFlag, 1);
    if (c.content[0] == 'S') {
      // Blocks 0 and 1 blank, block 2 holds one 0xEE: sum and xor by hand.
      Bytes expected(3 * 65536, 0xFF);
      expected[0x20000] = 0xEE;
      EXPECT_EQ(form.StaticText_Checksum.text, upperHex(test::testChecksum(expected, 0x20001), 4));
      EXPECT_EQ(form.BlockTable[0], (BlockRecord{0, 1, 0, 0, 0, SectorSource::FlashImage}));
      EXPECT_EQ(form.BlockTable[1], (BlockRecord{0, 1, 0, 0, 0, SectorSource::FlashImage}));
      EXPECT_EQ(form.BlockTable[2], (BlockRecord{1, 1, 0xEF, 0x11, 0, SectorSource::FlashImage}));
    } else {
      EXPECT_EQ(form.BlockTable[1].writeFlag, 1);
      EXPECT_EQ(form.FlashImage.Memory()[70000], 0xFF);
    }
  }
}

}  // namespace
}  // namespace ostrel
