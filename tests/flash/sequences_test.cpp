// Program, Verify, Check, Read and Auto in virtual time against the module
// simulator: what they leave on the cartridge, what they report, and that
// every path leaves the operation frame.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>

#include "app/text_helpers.h"
#include "common/sim_generations.h"
#include "common/temp_dir.h"
#include "flash_rig.h"
#include "link/commands.h"

namespace ostrel::test {
namespace {

// A whole-flash image with data on a few sectors and gaps between them, as
// the S-record and binary loaders plan it: the data lie in the FlashImage;
// sector 5 is a blank block of the image, erased and left blank.
const std::vector<uint16_t> kImageSectors = {0, 2, 3, 7};
constexpr uint16_t kBlankImageSector = 5;

void planImage(SimRig& rig) {
  TForm_MAIN& f = *rig.form;
  f.FlashImage.Clear();
  f.FlashImage.SetSize(8 * 65536);
  for (uint16_t s : kImageSectors) {
    const Bytes data = sectorPattern(s + 40);
    std::copy(data.begin(), data.end(), f.FlashImage.Memory() + size_t(s) * 65536);
    planFlashImageWrite(f.BlockTable[s], data, true);
  }
  planFlashImageWrite(f.BlockTable[kBlankImageSector], Bytes(65536, 0xFF), true);
  f.BlockTable[kBlankImageSector].writeFlag = 0;
  f.ImageBlockCount = 8;
  f.ImageKind = 1;
}

uint32_t physicalSector(SimRig& rig, uint16_t logical) {
  return rig.form->ModuleGeneration == OstrelIV ? rig.form->MappingTable.words[logical] : logical;
}

TEST(Sequences, ImageIsProgrammedByteExactAndVerifiedOnEveryGeneration) {
  for (const auto& g : allGenerations()) {
    SCOPED_TRACE(g.name);
    SimRig rig(g.config);
    planImage(rig);
    ASSERT_TRUE(rig.form->Function_Auto());
    EXPECT_TRUE(rig.frameLeft());
    EXPECT_EQ(rig.form->StaticText_PROG_Size.text, "0004FFFF");
    EXPECT_EQ(rig.form->StaticText_PROG_FINISH.text, "0004FFFF");
    for (uint16_t s : kImageSectors) {
      // An image on an Ostrel IV keeps its low sectors where the image puts them.
      EXPECT_EQ(physicalSector(rig, s), s);
      EXPECT_EQ(rig.flash(physicalSector(rig, s)), sectorPattern(s + 40)) << s;
    }
    if (g.config.generation == SimGeneration::Ost4) {
      EXPECT_NE(rig.flash(60000), Bytes(65536, 0xFF));  // the table went out after the data
      continue;
    }
    // A byte changed on the cartridge, in a written sector or in one the
    // plan erased and left blank: Verify names its address.
    ASSERT_TRUE(rig.form->Function_Verify());
    const struct {
      uint16_t sector;
      uint16_t offset;
      const char* line;
    } strays[] = {{3, 16, "##00030010"}, {kBlankImageSector, 0x1234, "##00051234"}};
    for (const auto& stray : strays) {
      SCOPED_TRACE(stray.line);
      const Bytes good = rig.flash(stray.sector);
      Bytes changed = good;
      changed[stray.offset] = uint8_t(changed[stray.offset] & 0x0F);
      if (changed[stray.offset] == good[stray.offset]) changed[stray.offset] ^= 0x01;
      rig.module->flash().erase(stray.sector);
      rig.module->flash().program(stray.sector, 0, changed);
      EXPECT_FALSE(rig.form->Function_Verify());
      EXPECT_TRUE(rig.memoHas("Fault code:0051"));
      EXPECT_TRUE(rig.memoHas(stray.line));
      EXPECT_EQ(rig.form->StaticText_Status1.text, "Verify Fail!");
      rig.module->flash().erase(stray.sector);
      rig.module->flash().program(stray.sector, 0, good);
    }
  }
}

// Software planned from the PackageImage is written and verified from there
// on every generation, also where the write once took the FlashImage.
TEST(Sequences, PackageDataIsWrittenAndVerifiedFromThePackageImage) {
  for (const auto& g : allGenerations()) {
    SCOPED_TRACE(g.name);
    SimRig rig(g.config);
    rig.plan(5, sectorPattern(9), true, 1);
    rig.form->BlockTable[5].source = SectorSource::PackageImage;
    rig.form->PackageImage.SetSize(2 * 65536);
    const Bytes data = sectorPattern(9);
    std::copy(data.begin(), data.end(), rig.form->PackageImage.Memory() + 65536);
    rig.form->FlashImage.Clear();
    rig.form->ImageBlockCount = 6;
    ASSERT_TRUE(rig.form->Function_Program());
    EXPECT_EQ(rig.flash(physicalSector(rig, 5)), data);
    if (g.config.generation != SimGeneration::Ost4) {
      EXPECT_TRUE(rig.form->Function_Verify());
    }
  }
}

// An image and a changed catalogue in one burn on an Ostrel IV: the mapping
// table goes out once (the journal has room for one), and the count of sectors
// ends where it said it would.
TEST(Sequences, AnImageWithAChangedCatalogueWritesTheTableOnce) {
  SimRig rig(SimConfig::fromTypeCode(0x89));
  planImage(rig);
  rig.form->FatDirty = true;
  rig.comm.clearLogs();
  ASSERT_TRUE(rig.form->Function_Program());
  int tableWrites = 0;
  for (const auto& sent : rig.comm.sentLog())
    if (sent.bytes.size() >= 3 && sent.bytes[0] == Cmd::WriteSector && sent.bytes[1] == 0xEA &&
        sent.bytes[2] == 0x60)  // physical sector 60000, the table's first
      ++tableWrites;
  EXPECT_EQ(tableWrites, 1);
  EXPECT_TRUE(rig.frameLeft());
}

TEST(Sequences, ProgramWithNothingPlannedSendsNothing) {
  SimRig rig(SimConfig::fromTypeCode(0x84));
  rig.form->ImageBlockCount = 256;
  ASSERT_TRUE(rig.form->Function_Program());
  EXPECT_TRUE(rig.comm.sentLog().empty());
  EXPECT_EQ(rig.form->ProgressBar_PROG.position, 0);
  EXPECT_EQ(rig.form->StaticText_Status1.text, "Program OK!");
  EXPECT_TRUE(rig.frameLeft());
}

TEST(Sequences, FailureInTheMiddleLeavesTheFrameAndConsumesFatDirty) {
  SimRig rig(SimConfig::fromTypeCode(0x84));
  planImage(rig);
  rig.form->FatDirty = true;
  rig.module->faults().silenceAfterCommands = 20;  // the second sector dies
  EXPECT_FALSE(rig.form->Function_Auto());
  EXPECT_TRUE(rig.frameLeft());
  EXPECT_FALSE(rig.form->FatDirty);
  EXPECT_EQ(rig.form->StaticText_Status1.text, "Program Fail!");
  EXPECT_EQ(rig.form->StaticText_PROG_FINISH.text, "0000FFFF");
  EXPECT_EQ(rig.flash(0), sectorPattern(40));
}

// A module unplugged in the middle of a program (in an erase, a data phase or
// a wait for an acknowledgement) ends it as soon as its line hangs up, not
// when the wait for an answer that cannot come runs out (a block erase's is
// 200 s, three times over).
TEST(Sequences, AModuleUnpluggedEndsTheProgramAtOnce) {
  for (const auto& g : allGenerations()) {
    uint32_t length = 0;
    {
      SimRig rig(g.config);
      planImage(rig);
      const uint32_t start = rig.clock.tick();
      ASSERT_TRUE(rig.form->Function_Program());
      length = rig.clock.tick() - start;
    }
    for (uint32_t quarter = 1; quarter <= 3; ++quarter) {
      SCOPED_TRACE(std::string(g.name) + ", unplugged at " + std::to_string(quarter) + "/4");
      SimRig rig(g.config);
      planImage(rig);
      std::optional<uint32_t> unplugged;
      rig.clock.schedule(length * quarter / 4, [&] {
        rig.comm.removePort("SIM0");
        unplugged = rig.clock.tick();
      });
      EXPECT_FALSE(rig.form->Function_Program());
      ASSERT_TRUE(unplugged);
      EXPECT_LE(rig.clock.tick() - *unplugged, 10u);
      EXPECT_TRUE(rig.frameLeft());
    }
  }
}

TEST(Sequences, CheckRetriesASectorThenTakesAFreshBudget) {
  struct Case {
    const char* what;
    std::optional<SimRepeat> wrongSum;
    bool silent;
    bool ok;
    const char* fault;
  };
  const Case cases[] = {
      {"one wrong answer", SimRepeat::Once, false, true, nullptr},
      {"always wrong", SimRepeat::Always, false, false, "Fault code:0070"},
      {"no answer", std::nullopt, true, false, "Fault code:0071"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SimRig rig(SimConfig::fromTypeCode(0x81));
    planImage(rig);
    ASSERT_TRUE(rig.form->Function_Program());
    rig.module->faults().wrongSum = c.wrongSum;
    // Silent after the selection of the first sector.
    if (c.silent) rig.module->faults().silenceAfterCommands = rig.module->commandCount() + 1;
    rig.comm.clearLogs();
    EXPECT_EQ(rig.form->Function_Check(), c.ok);
    EXPECT_TRUE(rig.frameLeft());
    if (c.fault) {
      EXPECT_TRUE(rig.memoHas(c.fault));
    }
    if (c.wrongSum == SimRepeat::Always) {
      // RetryBudget attempts on the first sector, then the three lines.
      EXPECT_EQ(rig.countSent({0x81, 0x30, 0xB1}), size_t(rig.form->RetryBudget));
      EXPECT_TRUE(rig.memoHas("Error sector No. : 00"));
    }
    if (c.ok) {
      // Every sector the plan erases (the blank one too), the first twice.
      EXPECT_EQ(rig.countSent({0x81, 0x30, 0xB1}), kImageSectors.size() + 2);
      EXPECT_EQ(rig.form->StaticText_Status1.text, "Check OK!");
    }
  }
}

TEST(Sequences, ReadWritesTheRangeToTheNamedFile) {
  struct Case {
    const char* what;
    SimConfig config;
    int buildMode;
    std::string start, stop;  // Ostrel IV edit boxes; others use the up-down controls
    uint16_t first, last;
    const char* name;
  };
  const Case cases[] = {
      {"Ostrel III", SimConfig::fromTypeCode(0x84), 0, "", "", 0x10, 0x12,
       "12345678_SEC0010-0012.BIN"},
      {"Ostrel IV takes the typed texts", SimConfig::fromTypeCode(0x89), 1, "10", "1f", 0x10, 0x1F,
       "12345678_SEC10-1f.BIN"},
      {"customer build writes no file", SimConfig::fromTypeCode(0x84), 2, "", "", 5, 5, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SimRig rig(c.config, c.buildMode);
    TempDir dir;
    rig.host.programDir = dir.slash();
    rig.form->ModuleSerialText = "12345678";
    Bytes expected;
    for (uint16_t s = c.first; s <= c.last; ++s) {
      rig.module->flash().program(s, 0, sectorPattern(s));
      const Bytes d = sectorPattern(s);
      expected.insert(expected.end(), d.begin(), d.end());
    }
    rig.form->UpDown_ReadStartAddr.position = c.first;
    rig.form->UpDown_ReadStopAddr.position = c.last;
    rig.form->ost4_read_sector_start.text = c.start;
    rig.form->ost4_read_sector_stop.text = c.stop;
    const mode_t umaskBefore = ::umask(022);
    ASSERT_TRUE(rig.form->Function_Read());
    ::umask(umaskBefore);
    EXPECT_EQ(rig.form->StaticText_Status1.text, "Read finish!!");
    EXPECT_TRUE(rig.frameLeft());
    if (!c.name) {
      EXPECT_TRUE(rig.form->ReadFileName.empty());
      EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
      continue;
    }
    EXPECT_EQ(rig.form->ReadFileName, dir.slash() + c.name);
    EXPECT_TRUE(rig.memoHas("Saved to " + dir.slash() + c.name));
    // An ordinary file as the umask makes it, not one private to the user.
    const auto perms = std::filesystem::status(rig.form->ReadFileName).permissions();
    EXPECT_NE(perms & std::filesystem::perms::others_read, std::filesystem::perms::none);
    std::ifstream file(dir.slash() + c.name, std::ios::binary);
    EXPECT_TRUE(Bytes(std::istreambuf_iterator<char>(file), {}) == expected);
  }
}

TEST(Sequences, ReadRangeControls) {
  SimRig rig(SimConfig::fromTypeCode(0x84));
  TForm_MAIN& f = *rig.form;
  for (UpDown* u : {&f.UpDown_ReadStartAddr, &f.UpDown_ReadStopAddr}) {
    u->min = 0;
    u->max = 255;
  }
  struct Step {
    bool stopControl;
    int position;  // where the click left the control
    int start, stop;
    const char* startText;
    const char* stopText;
  };
  const Step steps[] = {
      {true, 5, 0, 5, "0000", "0005"},         // stop up to 5
      {false, 9, 9, 9, "0009", "0009"},        // start passes stop: stop follows
      {true, 0, 9, 255, "0009", "00FF"},       // stop stepped onto its minimum shows the maximum
      {true, 255, 9, 255, "0009", "00FF"},     // and stays at the maximum
      {false, 300, 255, 255, "00FF", "00FF"},  // start clamped
  };
  f.UpDown_ReadStopAddr.position = 0;
  for (const Step& s : steps) {
    UpDown& u = s.stopControl ? f.UpDown_ReadStopAddr : f.UpDown_ReadStartAddr;
    u.position = s.position;
    if (s.stopControl)
      f.UpDown_ReadStopAddrClick();
    else
      f.UpDown_ReadStartAddrClick();
    EXPECT_EQ(f.UpDown_ReadStartAddr.position, s.start);
    EXPECT_EQ(f.UpDown_ReadStopAddr.position, s.stop);
    EXPECT_EQ(f.StaticText_ReadStartAddr.text, s.startText);
    EXPECT_EQ(f.StaticText_ReadStopAddr.text, s.stopText);
  }
}

// What the second status line says every second of a burn at a real link
// speed: the sectors the flash panel counts (then the tables), their share
// and, from the first sector on, the time left, which counts down until the
// next sector is done.
TEST(Sequences, AtALinkSpeedTheStatusLineSaysHowFarAndHowLong) {
  for (const auto& g : allGenerations()) {
    SCOPED_TRACE(g.name);
    SimConfig config = g.config;
    config.timings.throughputBytesPerSec = 23040;
    SimRig rig(config);
    TForm_MAIN& f = *rig.form;
    planImage(rig);
    // The sectors the plan writes or erases, the blank one included.
    const uint32_t data =
        uint32_t(std::count_if(f.BlockTable.begin(), f.BlockTable.end(),
                               [](const BlockRecord& r) { return r.writeFlag || r.eraseFlag; }));
    const uint32_t total = data + (config.generation == SimGeneration::Ost4 ? 2 : 0);
    std::vector<std::pair<std::string, uint32_t>> samples;  // the line, the panel's count
    std::function<void()> sample = [&] {
      if (f.OperationRunning)
        samples.emplace_back(f.StaticText_Status2.text,
                             (hexTextToUint(f.StaticText_PROG_FINISH.text) + 1) / 65536);
      rig.clock.schedule(1000, sample);
    };
    rig.clock.schedule(1000, sample);
    ASSERT_TRUE(f.Function_Program());
    ASSERT_GE(samples.size(), 10u);
    unsigned lastDone = 0, lastLeft = ~0u;
    for (const auto& [line, counted] : samples) {
      SCOPED_TRACE(line);
      unsigned done = 0, of = 0, percent = 0, minutes = 0, seconds = 0;
      ASSERT_TRUE(line.starts_with("Please wait"));  // its marks, then the figures
      const char* figures = line.c_str() + line.find("  ");
      ASSERT_EQ(std::sscanf(figures, "  %u/%u sectors  %u%%", &done, &of, &percent), 3);
      EXPECT_EQ(of, total);
      EXPECT_EQ(std::min(done, data), counted);  // the tables come after the data
      EXPECT_EQ(percent, done * 100 / total);
      const size_t left = line.find(" left");
      ASSERT_EQ(left == std::string::npos, done == 0);
      if (done == 0) continue;
      ASSERT_EQ(std::sscanf(line.c_str() + line.rfind("  ", left), "  %u:%u", &minutes, &seconds),
                2);
      if (done == lastDone) EXPECT_LE(minutes * 60 + seconds, lastLeft);
      lastLeft = minutes * 60 + seconds;
      lastDone = done;
    }
    EXPECT_TRUE(f.ProgressText.empty());
  }
}

// A button's operation leaves its result in the first status line, also
// after the tables are read again. A chip erase, which nothing measures,
// counts its time on the bar and in the second status line against the
// generation's usual time.
TEST(Sequences, ButtonsLeaveTheirResultInTheFirstStatusLine) {
  struct Case {
    const char* what;
    SimConfig config;
    void (TForm_MAIN::*click)();
    const char* status1;
    const char* usual;  // the erase's usual time, as shown
  };
  const Case cases[] = {
      {"program", SimConfig::fromTypeCode(0x84), &TForm_MAIN::Button_ProgramClick, "Program OK!",
       nullptr},
      {"auto", SimConfig::fromTypeCode(0x84), &TForm_MAIN::Button_AutoClick, "Verify OK!", nullptr},
      {"erase", SimConfig::fromTypeCode(0x89), &TForm_MAIN::Button_EraseClick, "Erase OK!", "0:30"},
      {"erase of two chips", SimConfig::ostrel1(), &TForm_MAIN::Button_EraseClick, "Erase OK!",
       "1:08"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SimRig rig(c.config);
    TForm_MAIN& f = *rig.form;
    if (!c.usual) planImage(rig);
    if (c.config.generation == SimGeneration::Ost1) {
      f.TwoChipFlash = true;  // as identification describes an Ostrel I
      f.ChipStartSector = {0x00, 0x40};
    }
    std::vector<std::pair<std::string, int>> samples;  // second status line, bar
    std::function<void()> sample = [&] {
      if (f.StaticText_Status1.text == "Erasing.....")
        samples.emplace_back(f.StaticText_Status2.text, f.ProgressBar1.position);
      rig.clock.schedule(1000, sample);
    };
    rig.clock.schedule(1000, sample);
    (f.*c.click)();
    EXPECT_EQ(f.StaticText_Status1.text, c.status1);
    EXPECT_TRUE(rig.memoHas("Getting Ostrel file allocation table OK!!"));
    if (!c.usual) continue;
    ASSERT_GE(samples.size(), 20u);
    unsigned lastSeconds = 0;
    int lastBar = 0;
    for (const auto& [line, bar] : samples) {
      SCOPED_TRACE(line);
      unsigned minutes = 9, seconds = 99;
      ASSERT_TRUE(line.starts_with("Please wait"));
      const char* figures = line.c_str() + line.find("  ");
      ASSERT_EQ(std::sscanf(figures, "  %u:%u of about", &minutes, &seconds), 2);
      EXPECT_TRUE(line.ends_with(std::string(" of about ") + c.usual));
      EXPECT_GE(minutes * 60 + seconds, lastSeconds);
      EXPECT_TRUE(bar >= lastBar && bar < f.ProgressBar1.max);
      lastSeconds = minutes * 60 + seconds;
      lastBar = bar;
    }
    EXPECT_GT(lastBar, f.ProgressBar1.max * 3 / 4);
  }
}

}  // namespace
}  // namespace ostrel::test
