// Quality control in virtual time against the module simulator: each fault
// code where its generation raises it, progress and the bound on a silent
// module, QC Auto with the reference images the build made, and the test
// buttons.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "app/file_io.h"
#include "flash_rig.h"
#include "packages/flash_image.h"
#include "sim/presets.h"

namespace ostrel::test {
namespace {

SimConfig sized(SimConfig c, uint16_t sectors) {
  c.sectorCount = sectors;
  return c;
}
SimConfig ost1(uint16_t sectors = 4) {
  return sized(SimConfig::ostrel1(), sectors);
}
SimConfig ost2(uint16_t sectors = 4) {
  return sized(SimConfig::fromTypeCode(0x80), sectors);
}
SimConfig ost3(uint16_t sectors = 4) {
  return sized(SimConfig::fromTypeCode(0x84), sectors);
}
SimConfig ost4() {
  return SimConfig::fromTypeCode(0x89);
}

bool runStep(SimRig& rig, int step) {
  TForm_MAIN& f = *rig.form;
  return f.ModuleGeneration <= OstrelII ? f.OST1_2_Function_QC(step) : f.OST3_Function_QC(step);
}

TEST(QualityControl, EachFaultCodeOnTheGenerationThatRaisesIt) {
  struct Case {
    const char* what;
    SimConfig config;
    int step;
    std::string code;
    bool codeShown;  // step 1 of an Ostrel III/IV shows only its outcome
    std::function<void(SimRig&)> more;
  };
  auto with = [](SimConfig c, auto change) {
    change(c);
    return c;
  };
  const Bytes checksum{0x81, 0x30, 0xB1};
  const Case cases[] = {
      {"erase fails three times",
       with(ost1(), [](SimConfig& c) { c.faults.silenceAfterCommands = 0; }), 0, "1000", true,
       nullptr},
      {"no step reply within 10 s",
       with(ost1(), [](SimConfig& c) { c.timings.qcSectorMs = 10001; }), 0, "1002", true, nullptr},
      {"a worn sector fails its retries",
       with(ost2(),
            [](SimConfig& c) {
              c.faults.wornSector = SimFaults::WornSector{2, false};
            }),
       0, "1001", true,
       [&](SimRig& rig) {
         EXPECT_TRUE(rig.memoHas("Error sector No. : 02"));
         EXPECT_EQ(rig.countSent({0x82, 0xA0, 0x02, 0x24}), 5u);  // RetryBudget attempts
         EXPECT_EQ(rig.countSent({0x82, 0xA0, 0x03, 0x25}), 1u);  // then the next sector
         EXPECT_EQ(rig.countSent(checksum), 0u);                  // no check after a failure
         std::vector<uint8_t> dump;
         ASSERT_EQ(readWholeFile(rig.host.programDir + "12345678_SEC02.DBG", dump, 1 << 20),
                   FileReadResult::Ok);
         EXPECT_EQ(dump, rig.flash(2));
       }},
      {"no checksum reply within 10 s",
       with(ost1(), [](SimConfig& c) { c.timings.checkMs = 10001; }), 1, "1021", true, nullptr},
      {"a checksum that stays wrong",
       with(ost2(),
            [](SimConfig& c) {
              c.faults.wornSector = SimFaults::WornSector{1, true};
            }),
       0, "1020", true,
       [&](SimRig& rig) {
         EXPECT_TRUE(rig.memoHas("Error sector No. : 01"));
         EXPECT_TRUE(rig.memoHas("CheckSum (File Manager): 00 00"));
         EXPECT_TRUE(rig.memoHas("CheckSum (Cartridge)   : 00 01"));
         EXPECT_EQ(rig.countSent(checksum), 3u + 5u);  // sectors 0, 2, 3 once, sector 1 five times
       }},
      {"Ostrel III: step not accepted",
       with(ost3(), [](SimConfig& c) { c.faults.silenceAfterCommands = 0; }), 1, "1000", true,
       nullptr},
      {"Ostrel III: D0 after a backslash",
       with(ost3(), [](SimConfig& c) { c.faults.qcFailure = QcFailure::AfterBackslash; }), 1,
       "1001", true, nullptr},
      {"Ostrel III: step 1 fails without a code line",
       with(ost3(), [](SimConfig& c) { c.faults.qcFailure = QcFailure::AfterBackslash; }), 0,
       "1001", false, nullptr},
      {"Ostrel IV: D0 after a bracket",
       with(ost4(), [](SimConfig& c) { c.faults.qcFailure = QcFailure::AfterOpenBracket; }), 1,
       "1020", true, nullptr},
      {"Ostrel IV: an unexpected serial number",
       with(ost4(), [](SimConfig& c) { c.faults.qcFailure = QcFailure::WrongSerial; }), 1, "1002",
       true,
       [](SimRig& rig) {
         ASSERT_EQ(rig.host.boxes.size(), 1u);
         EXPECT_EQ(rig.host.boxes[0].text, "非預期錯誤");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SimRig rig(c.config);
    rig.form->ModuleSerialText = "12345678";
    EXPECT_FALSE(runStep(rig, c.step));
    EXPECT_EQ(rig.form->QcFaultCode, c.code);
    EXPECT_EQ(rig.memoHas("Fault code:" + c.code), c.codeShown);
    EXPECT_EQ(rig.form->StaticText_Status1.text,
              c.step == 0 ? "Blank data Fail!!" : "Loop data Fail!!");
    EXPECT_TRUE(rig.frameLeft());
    if (c.more) c.more(rig);
  }
}

TEST(QualityControl, StepsPassWithTheirProgressOnEveryGeneration) {
  struct Case {
    const char* what;
    SimConfig config;
    int step;
  } cases[] = {{"Ostrel I", ost1(), 0},
               {"Ostrel II", ost2(), 1},
               {"Ostrel III, 768 marks", ost3(256), 0},
               {"Ostrel IV", ost4(), 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SimRig rig(c.config);
    ASSERT_TRUE(runStep(rig, c.step)) << rig.violations();
    TForm_MAIN& f = *rig.form;
    EXPECT_EQ(f.ProgressBar1.position, 100);
    EXPECT_EQ(f.StaticText_Status1.text, c.step == 0 ? "Blank data OK!!" : "Loop data OK!!");
    EXPECT_TRUE(f.QcFaultCode.empty());
    EXPECT_TRUE(rig.violations().empty()) << rig.violations();
    if (f.ModuleGeneration <= OstrelII) {
      EXPECT_EQ(f.StaticText_PROG_FINISH.text, "0003FFFF");
    } else {
      const auto& lines = f.Memo1.lines;
      auto starts = [&](const std::string& p) {
        return std::any_of(lines.begin(), lines.end(), [&](auto& l) { return l.rfind(p, 0) == 0; });
      };
      EXPECT_TRUE(starts("Erase Time:"));
      EXPECT_TRUE(starts("Q.C. Time:"));
    }
  }
}

// A module may take long between its reports; only five minutes without any
// reply end the step.
TEST(QualityControl, SilenceBoundEndsAStepOnlyWhenTheModuleStops) {
  SimConfig slow = ost3(2);
  slow.timings.qcMarkIntervalMs = 299000;
  SimRig patient(slow);
  EXPECT_TRUE(runStep(patient, 1));

  SimConfig silent = ost3(2);
  silent.faults.qcFailure = QcFailure::Silent;
  SimRig rig(silent);
  EXPECT_FALSE(runStep(rig, 1));
  EXPECT_EQ(rig.form->QcFaultCode, "1002");
  ASSERT_FALSE(rig.comm.receivedLog().empty());
  const uint32_t quiet = rig.clock.tick() - rig.comm.receivedLog().back().atMs;
  EXPECT_GE(quiet, 300000u);
  EXPECT_LT(quiet, 301000u);
}

// The build's own reference images, found in the program's folder.
void provide(SimRig& rig, const std::string& name) {
  std::filesystem::copy_file(std::string(OSTREL_QC_IMAGE_DIR "/") + name,
                             rig.host.programDir + name);
}

FlashImageLoad referenceImage(const std::string& name) {
  std::vector<uint8_t> text;
  readWholeFile(std::string(OSTREL_QC_IMAGE_DIR "/") + name, text, 64 << 20);
  return convertSRecords(text, 256);
}

TEST(QcAuto, ProgramsAndChecksTheReferenceImageOfEachModule) {
  struct Case {
    const char* what;
    SimConfig config;
    const char* image;
    bool programs;
    bool erasesOnlyWrittenSectors;
  } cases[] = {{"Ostrel I of 8 sectors", ost1(8), "QC_8M.HX", true, false},
               {"Ostrel II of 256 sectors", SimConfig::fromTypeCode(0x81), "QC_16M.HX", true, true},
               {"Ostrel III", ost3(256), "QC_8M_OST3.HX", true, true},
               {"Ostrel IV (the steps only)", ost4(), "QC_8M_OST3.HX", false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SimRig rig(c.config);
    provide(rig, c.image);
    ASSERT_TRUE(rig.form->qcAuto()) << rig.form->StaticText_Status2.text;
    TForm_MAIN& f = *rig.form;
    EXPECT_EQ(f.StaticText_Status1.text, "Q.C test OK!!");
    EXPECT_EQ(rig.host.beeps, 1);
    EXPECT_EQ(f.Memo1.lines.front(), "Start Q.C!!");
    EXPECT_TRUE(rig.frameLeft());
    const FlashImageLoad image = referenceImage(c.image);
    if (!c.programs) {
      char size[16];
      std::snprintf(size, sizeof size, "%08zX", image.image.size() - 1);
      EXPECT_EQ(f.StaticText_PROG_Size.text, size);
      continue;
    }
    for (uint32_t s = 0; s < image.blockCount; ++s) {
      const Bytes want(image.image.begin() + s * 65536, image.image.begin() + (s + 1) * 65536);
      if (want != Bytes(65536, 0xFF)) {
        EXPECT_EQ(rig.flash(s), want) << s;
      } else {
        // A sector with nothing to write keeps the loop pattern of step 2
        // unless the plan erases it.
        Bytes kept(65536, 0xFF);
        if (c.erasesOnlyWrittenSectors)
          for (size_t i = 0; i < kept.size(); ++i) kept[i] = uint8_t(i % 256);
        EXPECT_EQ(rig.flash(s), kept) << s;
      }
    }
    // The catalogue now shows the image's FAT.
    CartridgeCatalogue fat;
    parseFatSector(std::span(image.image).subspan(65536, 65536), c.config.sectorCount, fat);
    EXPECT_EQ(f.CartridgeCatalogue.header.entryCount, 1);
    EXPECT_EQ(f.CartridgeCatalogue.entries[0], fat.entries[0]);
  }
}

TEST(QcAuto, StopsAtAMissingOrBadImageAndAtAFailedStep) {
  struct Case {
    const char* what;
    SimConfig config;
    const char* fileText;  // null: no file
    std::string status2;
    int beeps;
  } cases[] = {
      {"no file", ost3(), nullptr, "QC_8M_OST3.HX load fail!!", 0},
      {"a file without data records", ost3(), "S0030000FC\n", "Fault code:0019", 0},
      {"step 1 fails",
       [] {
         // Room for the reference image's five sectors: a larger image is refused.
         SimConfig c = ost3(8);
         c.faults.qcFailure = QcFailure::AfterBackslash;
         return c;
       }(),
       "", "", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SimRig rig(c.config);
    if (c.fileText && *c.fileText) {
      const std::string t = c.fileText;
      writeWholeFile(rig.host.programDir + "QC_8M_OST3.HX", Bytes(t.begin(), t.end()));
    } else if (c.fileText) {
      provide(rig, "QC_8M_OST3.HX");
    }
    EXPECT_FALSE(rig.form->qcAuto());
    EXPECT_EQ(rig.host.beeps, c.beeps);
    if (c.beeps == 0) {
      EXPECT_EQ(rig.form->StaticText_Status2.text, c.status2);
      EXPECT_TRUE(rig.comm.sentLog().empty());
    } else {
      EXPECT_EQ(rig.form->StaticText_Status1.text, "Q.C test fail!!");
      EXPECT_EQ(rig.form->Memo1.fontColor, Colors::kRed);
      EXPECT_EQ(rig.countSent({0xA6, 0x02}), 0u);  // nothing runs after a failed step
    }
  }
}

TEST(TestButtons, ClearCatalogueErasesOnlyTheTables) {
  struct Case {
    const char* what;
    SimConfig config;
    std::vector<uint32_t> blanked;
    std::vector<uint32_t> kept;
    const char* box;  // null: none
  } cases[] = {{"Ostrel I", ost1(64), {1}, {0, 2}, "clear ok"},
               {"Ostrel III", ost3(64), {1}, {0, 2}, "clear ok"},
               {"Ostrel IV", ost4(), {60000, 60001}, {0, 1}, nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SimRig rig(c.config);
    ASSERT_TRUE(applySimPreset(SimPreset::Demo, rig.module->config(), rig.module->flash()));
    if (c.config.generation == SimGeneration::Ost4) rig.form->Function_Read_MAPPING_TABLE();
    ASSERT_TRUE(rig.form->Function_ReadFAT());
    ASSERT_GT(rig.form->CartridgeCatalogue.header.entryCount, 0);
    std::vector<Bytes> before;
    for (uint32_t s : c.kept) before.push_back(rig.flash(s));
    // A plan left from an earlier burn that erases sector 0 too.
    rig.form->BlockTable[0].eraseFlag = 1;
    rig.form->OSVersionCode = 2;  // a host family whose priority is raised
    EXPECT_TRUE(rig.form->clearCatalogue());
    // The table read inside the clear leaves the priority high until the
    // clear ends: raised and lowered strictly in turn.
    const std::vector<bool>& calls = rig.host.priorityCalls;
    ASSERT_EQ(calls.size() % 2, 0u);
    for (size_t i = 0; i < calls.size(); ++i) EXPECT_EQ(calls[i], i % 2 == 0) << i;
    for (uint32_t s : c.blanked) EXPECT_EQ(rig.flash(s), Bytes(65536, 0xFF)) << s;
    for (size_t i = 0; i < c.kept.size(); ++i) EXPECT_EQ(rig.flash(c.kept[i]), before[i]);
    EXPECT_EQ(rig.form->BlockTable[0].eraseFlag, 1);
    EXPECT_EQ(rig.form->CartridgeCatalogue.header.entryCount, 0);
    ASSERT_EQ(rig.host.boxes.size(), c.box ? 1u : 0u);
    if (c.box) {
      EXPECT_EQ(rig.host.boxes[0].text, c.box);
    }
  }
  SimConfig dead = ost2();
  dead.faults.silenceAfterCommands = 0;
  SimRig rig(dead);
  EXPECT_FALSE(rig.form->clearCatalogue());
  ASSERT_FALSE(rig.host.boxes.empty());
  EXPECT_EQ(rig.host.boxes[0].text, "clear fail");
}

TEST(TestButtons, CfTestWritesThePatternOverTheDecimalRange) {
  Bytes pattern(65536);
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = uint8_t(i % 256);
  struct Case {
    const char* first;
    const char* last;
    std::vector<uint32_t> written;
    bool ok;
    bool sends;
  } cases[] = {{"5", "3", {}, true, false},
               {"7", "8", {7, 8}, true, true},
               {"10", "10", {10}, true, true},  // decimal: sector 16 stays as it was
               {"1F", "20", {}, false, false},
               {"16385", "16385", {}, false, true}};  // no such physical sector
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.first) + ".." + c.last);
    SimRig rig(ost4());
    rig.form->ost4_read_sector_start.text = c.first;
    rig.form->ost4_read_sector_stop.text = c.last;
    EXPECT_EQ(rig.form->cfTest(), c.ok);
    EXPECT_FALSE(rig.form->StaticText_ProgramTime.text.empty());
    for (uint32_t s : c.written) {
      EXPECT_EQ(rig.flash(s), pattern) << s;
      EXPECT_TRUE(rig.memoHas("CF test ok!!!" + std::to_string(s)));
    }
    EXPECT_EQ(rig.module->flash().state(16), SectorState::Erased);
    EXPECT_EQ(rig.comm.sentLog().empty(), !c.sends);
    if (!c.ok && c.sends) {
      EXPECT_TRUE(rig.memoHas("CF write error!!!"));
      EXPECT_EQ(rig.form->Memo1.fontColor, Colors::kRed);
    }
  }
}

}  // namespace
}  // namespace ostrel::test
