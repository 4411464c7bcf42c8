// Quality control of a cartridge from the engineering window: the two steps
// over every sector, QC Auto with its reference image, and the test buttons
// (clear the catalogue, the CF write test, the file-number check).
#include <algorithm>
#include <string>
#include <vector>

#include "app/fault_codes.h"
#include "app/file_io.h"
#include "app/form_main.h"
#include "app/prompt_table.h"
#include "app/text_helpers.h"
#include "flash/form_steps.h"
#include "flash/operation_frame.h"
#include "flash/qc_rules.h"
#include "link/commands.h"

namespace ostrel {

namespace {
constexpr const char* kTag = "OST3_Return_Value";

// Ostrel I/II: the wait for a step's or a checksum's reply.
constexpr uint32_t kQcReplyWaitMs = 10000;
// Ostrel III/IV: the module accepts a step once it has erased, which may
// take long; after that it reports by itself.
constexpr uint32_t kStepAcceptWait = 2400000, kStepAcceptTotal = 2000;
// Between two reports the module works through one unit of the flash (a
// sector, or 1/128 of an Ostrel IV): seconds at most, well under the 200 s
// a single erase command is given. A module silent for five minutes after
// its last report has stopped; the step then fails.
constexpr uint32_t kQcSilenceMs = 300000;
constexpr uint32_t kBusyStepMs = 200;
// S-record text of a whole 16 MiB cartridge with room to spare: nothing
// larger is a reference image, so nothing larger is read into memory.
constexpr uint64_t kMaxReferenceImageBytes = 64ull << 20;
// The MappingImage the catalogue clear and the CF test fill.
constexpr size_t kMappingImageSectors = 10;

void startStep(TForm_MAIN& f, int step) {
  f.QcFaultCode.clear();
  f.ProgressBar1.reset();
  f.StaticText_PROG_FINISH.text = "00000000";
  f.ShowStatus1(f.Prompt(Msg::Programming));
  f.ClearStatus2();
  f.Memo1_Lines_Add(step == kQcStepBlank ? "Q.C. STEP1" : "Q.C. STEP2");
}

void showOutcome(TForm_MAIN& f, int step, bool ok) {
  const std::string name = step == kQcStepBlank ? "Blank data" : "Loop data";
  f.ShowStatus1(name + (ok ? " OK!!" : " Fail!!"));
  f.LastOutcome.settle(ok, name + (ok ? " OK!!" : " Fail!!"));
  if (ok) f.ClearStatus2();
}

// Reports a fault; the step keeps the first one for its result.
void reportQcFault(TForm_MAIN& f, std::string_view code) {
  f.ReportFault(code);
  if (f.QcFaultCode.empty()) f.QcFaultCode = code;
}

}  // namespace

void TForm_MAIN::initQcHandlers() {
  ClickHandlers["Button_QC"] = [this] { Button_QCClick(); };
  ClickHandlers["Button_QC_Blank"] = [this] { Button_QC_BlankClick(); };
  ClickHandlers["Button_QC_Loop"] = [this] { Button_QC_LoopClick(); };
  ClickHandlers["Button3"] = [this] { Button3Click(); };
  ClickHandlers["Button_CF_test"] = [this] { Button_CF_testClick(); };
  ClickHandlers["Button4"] = [this] { Button4Click(); };
}

// ---------------------------------------------------------------- Ostrel I/II

bool TForm_MAIN::OST1_2_Function_QC(int step) {
  OperationFrame frame(*this);
  startStep(*this, step);
  const int budget = std::max(RetryBudget, 1);
  const uint32_t sectors = SectorCount;

  // Writes a frame checksummed here, logged as the link layer logs what it
  // sends, and waits for the module's reply.
  auto exchange = [this](std::span<const uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), RequestBuffer.begin());
    ReceiveMode = 1;
    ReplyComplete = 0;
    ReceivedCount = 0;
    Memo2_Lines_Add(kTag, "");
    if (debugLogAccepts(kTag))
      Memo2_Lines_Add(
          kTag, "< " + std::to_string(clock.tick()) + hexLine(bytes.data(), bytes.size()) + ">");
    Comm1_WriteCommData(RequestBuffer.data(), uint32_t(bytes.size()));
    return waitForReply(clock.tick() + kQcReplyWaitMs);
  };
  auto progress = [this, sectors](uint32_t next) {
    StaticText_PROG_FINISH.text = byteSpan(next);
    ProgressBar1.setFraction(next, sectors);
  };

  // Phase 1: erase, select and test each sector; a sector that keeps failing
  // is recorded and dumped, and the test goes on with the next one.
  bool result = true;
  const uint8_t stepCode = qcStepFrame(step, 0)[1];
  int attempts = budget;
  for (uint32_t i = 0; i < sectors;) {
    if (!eraseSectorWithRetries(*this, uint16_t(i))) {
      reportQcFault(*this, FaultCode::k1000);
      showOutcome(*this, step, false);
      return false;
    }
    if (!selectSector12(*this, uint16_t(i))) {
      showOutcome(*this, step, false);
      return false;
    }
    if (!exchange(qcStepFrame(step, i))) {
      reportQcFault(*this, FaultCode::k1002);
      showOutcome(*this, step, false);
      return false;
    }
    if (qcFramedReplyPassed(ReplyBuffer, stepCode)) {
      ++i;
      attempts = budget;
    } else if (--attempts == 0) {
      reportQcFault(*this, FaultCode::k1001);
      Memo1_Lines_Add("Error sector No. : " + hexAtLeast2(i));
      Function_ReadSector(uint16_t(i), false);
      if (ReadBuffer.Size() == kSectorSize) {
        const std::string dump =
            host.programDirectory() + ModuleSerialText + "_SEC" + hexAtLeast2(i) + ".DBG";
        std::string error;
        if (!writeWholeFile(dump, ReadBuffer.Bytes(), &error)) Memo1_Lines_Add(dump + ": " + error);
      }
      result = false;
      ++i;
      attempts = budget;
    }
    progress(i);
  }
  if (!result) {
    showOutcome(*this, step, false);
    return false;
  }

  // Phase 2: every sector's sum and XOR must read 00 00.
  ShowStatus1(Prompt(Msg::Checking));
  ClearStatus2();
  ProgressBar1.reset();
  StaticText_PROG_FINISH.text = "00000000";
  attempts = budget;
  for (uint32_t i = 0; i < sectors;) {
    if (!selectSector12(*this, uint16_t(i))) {
      result = false;
      break;
    }
    if (!exchange(kQcChecksumFrame)) {
      reportQcFault(*this, FaultCode::k1021);
      result = false;
      break;
    }
    if (qcFramedReplyPassed(ReplyBuffer, kQcChecksumFrame[1])) {
      ++i;
      attempts = budget;
    } else if (--attempts == 0) {
      reportQcFault(*this, FaultCode::k1020);
      Memo1_Lines_Add("Error sector No. : " + hexAtLeast2(i));
      Memo1_Lines_Add("CheckSum (File Manager): 00 00");
      Memo1_Lines_Add("CheckSum (Cartridge)   : " + hexByte(ReplyBuffer[2]) + " " +
                      hexByte(ReplyBuffer[3]));
      result = false;
      ++i;
      attempts = budget;
    }
    progress(i);
  }
  showOutcome(*this, step, result);
  return result;
}

// ---------------------------------------------------------------- Ostrel III/IV

bool TForm_MAIN::OST3_Function_QC(int step) {
  OperationFrame frame(*this);
  startStep(*this, step);
  const uint8_t serial = uint8_t(Get_Command_Serial_Number());
  RequestBuffer[0] = step == kQcStepBlank ? Cmd::QcBlank : Cmd::QcLoop;
  RequestBuffer[1] = serial;
  ReceiveMode = 1;
  uint32_t since = clock.tick();
  std::string_view code;
  bool result = false;

  if (!Send_Package_OST3(RequestBuffer.data(), 2, 0, kStepAcceptWait, kStepAcceptTotal)) {
    code = FaultCode::k1000;
  } else {
    Memo1_Lines_Add("Erase Time:" + elapsedMs(*this, since));
    since = clock.tick();
    QcStepScan scan;
    // Marks that came together with the acceptance count too.
    const size_t accepted =
        size_t(std::clamp<int32_t>(ReceivedCount, 0, int32_t(ReplyBuffer.size())));
    if (accepted > 1) scanQcReply(scan, std::span(ReplyBuffer.data() + 1, accepted - 1), serial);
    uint32_t lastReply = since, lastBusy = since;
    while (scan.outcome == QcStepScan::Outcome::Running) {
      ReplyComplete = 0;
      if (!waitForReply(lastReply + kQcSilenceMs)) {
        Memo1_Lines_Add("No report from the module for " + std::to_string(kQcSilenceMs / 1000) +
                        " s");
        break;
      }
      lastReply = clock.tick();
      if (uint32_t(lastReply - lastBusy) > kBusyStepMs) {
        BusyStep();
        lastBusy = lastReply;
      }
      const size_t length =
          size_t(std::clamp<int32_t>(ReceivedCount, 0, int32_t(ReplyBuffer.size())));
      scanQcReply(scan, std::span(ReplyBuffer.data(), length), serial);
      ProgressBar1.position = qcMarkProgress(ModuleGeneration, step, scan.marks, SectorCount);
    }
    switch (scan.outcome) {
      case QcStepScan::Outcome::Passed:
        result = true;
        break;
      case QcStepScan::Outcome::Failed:
        code = qcFailureCode(scan);
        break;
      case QcStepScan::Outcome::Unexpected:
        host.messageBox(Msg::Unexpected, "非預期錯誤", WindowCaption, MsgBoxKind::Error,
                        MsgBoxButtons::Ok);
        break;
      case QcStepScan::Outcome::Running:
        break;
    }
  }
  if (!result && code.empty()) code = FaultCode::k1002;
  if (!result) QcFaultCode = code;

  showOutcome(*this, step, result);
  // Step 1's outcome line stands alone; step 2 also names its fault.
  if (!result && step == kQcStepLoop) ReportFault(code);
  const std::string ms = elapsedMs(*this, since);
  StaticText_ProgramTime.text = ms + " ms";
  Memo1_Lines_Add("Q.C. Time:" + ms + " ms");
  return result;
}

// ---------------------------------------------------------------- QC Auto

bool TForm_MAIN::qcAuto() {
  StaticText_PROG_Size.text = "00000000";
  StaticText_AllTime.text.clear();
  StaticText_Status1.text.clear();
  clearLogs(*this);
  ShowStatus1("Start Q.C!!");
  const uint32_t start = clock.tick();
  QcFaultCode.clear();

  const std::string name(qcReferenceImageName(ModuleGeneration, SectorCount));
  bool result = false;
  if (!name.empty()) {
    std::vector<uint8_t> text;
    bool read = false;
    for (const std::string& folder : dataFolders(host.programDirectory(), currentExecutablePath()))
      if ((read =
               readWholeFile(folder + name, text, kMaxReferenceImageBytes) == FileReadResult::Ok))
        break;
    if (!read) {
      StaticText_Status2.text = name + " load fail!!";
      LastOutcome.settle(false, StaticText_Status2.text);
      return false;
    }

    // The reference image is the whole plan: nothing planned or changed in
    // the catalogue before it is written with it.
    ResetBlockTable();
    FatDirty = false;
    SpanSource source(text);
    MemoryStream image = HexToBin_Conv(source);
    if (image.Size() == 0) {
      // The converter has reported its own fault; 0019 says QC Auto stopped on it.
      if (StaticText_Status2.text != Prompt(Msg::FaultPrefix) + std::string(FaultCode::k0019))
        ReportFault(FaultCode::k0019);
      QcFaultCode = FaultCode::k0019;
      LastOutcome.settle(false, Prompt(Msg::FaultPrefix) + QcFaultCode);
      return false;
    }
    FlashImage = std::move(image);
    FlashImage.Seek(0);
    ImageKind = 1;
    // These erase only the sectors the image writes: the steps left the rest blank.
    if ((ModuleGeneration <= OstrelII && SectorCount == 256) || ModuleGeneration == OstrelIII)
      for (size_t s = 0; s < std::min<size_t>(SectorCount, BlockTable.size()); ++s)
        BlockTable[s].eraseFlag = BlockTable[s].writeFlag;
    StaticText_PROG_Size.text = upperHex(uint32_t(FlashImage.Size() - 1), 8);

    switch (ModuleGeneration) {
      case OstrelI:
      case OstrelII:
        result = OST1_2_Function_QC(kQcStepBlank) && OST1_2_Function_QC(kQcStepLoop) &&
                 Function_Program() && Function_Check();
        break;
      case OstrelIII:
        result = OST3_Function_QC(kQcStepBlank) && OST3_Function_QC(kQcStepLoop) &&
                 Function_Program() && Function_Verify();
        break;
      default:
        result = OST3_Function_QC(kQcStepBlank) && OST3_Function_QC(kQcStepLoop);
        break;
    }
    rereadTablesKeepingStatus(*this);
  }

  Beep(1);
  if (result) {
    ShowStatus1("Q.C test OK!!");
  } else {
    Beep(2);
    Memo1.fontColor = Colors::kRed;
    ShowStatus1("Q.C test fail!!");
  }
  StaticText_AllTime.text = elapsedMs(*this, start) + " ms";
  LastOutcome.fault(QcFaultCode);
  LastOutcome.settle(result, StaticText_Status1.text);
  return result;
}

void TForm_MAIN::Button_QCClick() {
  qcAuto();
}

// ---------------------------------------------------------------- single steps

bool TForm_MAIN::qcSingleStep(int step) {
  StaticText_AllTime.text.clear();
  StaticText_Status1.text.clear();
  clearLogs(*this);
  const bool blank = step == kQcStepBlank;
  StaticText_Status1.text = blank ? "Start QC Blank!!" : "Start QC Loop!!";
  Memo1_Lines_Add(blank ? "Start Q.C Blank!!" : "Start Q.C Loop!!");
  bool ok = false;
  QcFaultCode.clear();
  if (ModuleGeneration <= OstrelII) {
    ok = OST1_2_Function_QC(step);
    rereadTablesKeepingStatus(*this);
  } else if (ModuleGeneration <= OstrelIV) {
    ok = OST3_Function_QC(step);
    rereadTablesKeepingStatus(*this);
  }
  Beep(ok ? 1 : 3);
  LastOutcome.fault(QcFaultCode);
  LastOutcome.settle(ok, StaticText_Status1.text);
  return ok;
}

void TForm_MAIN::Button_QC_BlankClick() {
  qcSingleStep(kQcStepBlank);
}

void TForm_MAIN::Button_QC_LoopClick() {
  qcSingleStep(kQcStepLoop);
}

// ---------------------------------------------------------------- catalogue clear

bool TForm_MAIN::clearCatalogue() {
  bool ok = false;
  {
    OperationFrame frame(*this);
    if (ModuleGeneration == OstrelIV) {
      // Blank table sectors: the cartridge then holds no table and no FAT.
      MappingImage.Clear();
      MappingImage.SetSize(kMappingImageSectors * kSectorSize);
      std::fill_n(MappingImage.Memory(), 2 * kSectorSize, uint8_t(0xFF));
      const bool low = Function_ProgramSector(kMappingTableSectorLow, true, false);
      const bool high = Function_ProgramSector(kMappingTableSectorHigh, true, false);
      ok = low && high;
      Function_Read_MAPPING_TABLE();
    } else {
      // An Ostrel III erases sector 1 with sector 0 and writes sector 0 back
      // unless the plan erases it too; a plan left from another operation
      // must not make this erase one that keeps sector 1.
      std::vector<BlockRecord> plan = std::move(BlockTable);
      ResetBlockTable();
      ok = eraseSectorWithRetries(*this, 1);
      BlockTable = std::move(plan);
    }
  }
  if (ModuleGeneration != OstrelIV)
    host.messageBox(Msg::ClearResult, ok ? "clear ok" : "clear fail", WindowCaption,
                    ok ? MsgBoxKind::Information : MsgBoxKind::Warning, MsgBoxButtons::Ok);
  Function_ReadFAT();
  LastOutcome.settle(ok, ok ? "clear ok" : "clear fail");
  return ok;
}

void TForm_MAIN::Button3Click() {
  clearCatalogue();
}

// ---------------------------------------------------------------- CF test

bool TForm_MAIN::cfTest() {
  MappingImage.Clear();
  MappingImage.SetSize(kMappingImageSectors * kSectorSize);
  for (size_t i = 0; i < 2 * kSectorSize; ++i)
    MappingImage.Memory()[i] = cfTestPatternByte(uint32_t(i));
  const std::optional<uint16_t> first = parseDecimalSector(ost4_read_sector_start.text);
  const std::optional<uint16_t> last = parseDecimalSector(ost4_read_sector_stop.text);
  const uint32_t start = clock.tick();
  bool ok = true;
  std::string why = "CF test fail";
  if (ModuleGeneration != OstrelIV) {
    // The test writes physical sectors directly: only an Ostrel IV has them.
    why = "CF test: Ostrel IV only";
    Memo1_Lines_Add(why);
    ok = false;
  } else if (!first || !last) {
    why = "CF test: the sector range is not two decimal numbers up to 65535";
    Memo1_Lines_Add(why);
    ok = false;
  } else if (*last >= *first) {
    OperationFrame frame(*this);
    for (uint32_t n = *first; n <= *last; ++n) {
      Function_ProgramSector(uint16_t(n), false, false);
      if (Function_ProgramSector(uint16_t(n), true, false)) {
        Memo1_Lines_Add("CF test ok!!!" + std::to_string(n));
      } else {
        Beep(3);
        Memo1.fontColor = Colors::kRed;
        Memo1_Lines_Add("CF write error!!!");
        ok = false;
      }
    }
  }
  StaticText_ProgramTime.text = elapsedMs(*this, start) + " ms";
  LastOutcome.settle(ok, ok ? "CF test ok" : why);
  return ok;
}

void TForm_MAIN::Button_CF_testClick() {
  cfTest();
}

void TForm_MAIN::Button4Click() {
  file_number_limited_check();
}

}  // namespace ostrel
