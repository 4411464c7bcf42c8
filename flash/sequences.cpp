// Whole-cartridge operations: Program, Verify, Check, Read and Auto, their
// buttons and the read-range controls. Every sector's data comes from the one
// rule plannedSectorData: what Program writes is what Verify compares with.

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "app/fault_codes.h"
#include "app/file_io.h"
#include "app/form_main.h"
#include "app/prompt_table.h"
#include "app/text_helpers.h"
#include "flash/burn_guard.h"
#include "flash/burn_journal_file.h"
#include "flash/form_steps.h"
#include "flash/operation_frame.h"
#include "link/commands.h"
#include "link/reply_form_scope.h"

namespace ostrel {

namespace {
constexpr uint32_t kCheckReplyWaitMs = 10000;
// Message numbers of the sequences.

// A burn stopped by the check of its plan, in the four languages; the
// software and its planned sectors follow.
constexpr const char* kOverwriteRefused[4] = {
    "The burn was stopped before anything was written: it would overwrite software that stays "
    "on the cartridge: ",
    "燒錄在寫入任何資料之前已停止：它會覆寫留在軟體匣上的軟體：",
    "烧录在写入任何数据之前已停止：它会覆盖留在软件匣上的软件：",
    "何も書き込む前に書き込みを中止しました。カートリッジに残るソフトウェアを上書きするためです：",
};

std::string elapsed(TForm_MAIN& f, uint32_t since) {
  return elapsedMs(f, since) + " ms";
}

bool planned(const BlockRecord& r) {
  return r.writeFlag || r.eraseFlag;
}

bool erased(const BlockRecord& r) {
  return r.eraseFlag != 0;
}

// Sectors 0..SectorCount-1 whose record passes the test.
uint32_t countSectors(const TForm_MAIN& f, bool (*test)(const BlockRecord&)) {
  const size_t last = std::min<size_t>(f.SectorCount, f.BlockTable.size());
  return uint32_t(
      std::count_if(f.BlockTable.begin(), f.BlockTable.begin() + ptrdiff_t(last), test));
}

// The sectors a sequence walks: the loaded image's blocks, never past the table.
size_t imageSectors(const TForm_MAIN& f) {
  return std::min<size_t>(f.ImageBlockCount, f.BlockTable.size());
}

void setBars(std::initializer_list<ProgressBar*> bars, uint32_t done, uint32_t total) {
  for (ProgressBar* p : bars) p->setFraction(done, total);
}

// Verify and Check: the sectors done of those the plan erases; with none
// planned the bars stand at 1.
void showChecked(TForm_MAIN& f, uint32_t done, uint32_t total) {
  f.StaticText_PROG_FINISH.text = byteSpan(done);
  for (ProgressBar* p : {&f.ProgressBar1, &f.ProgressBar_CHECK, &f.ProgressBar3})
    p->position = total ? int(uint64_t(done) * uint64_t(p->max) / total) : 1;
}

// The status lines at the end of a sequence.
void showResult(TForm_MAIN& f, bool ok, int okMessage, int failMessage) {
  f.ShowStatus1(f.Prompt(ok ? okMessage : failMessage));
  f.LastOutcome.settle(ok, f.Prompt(ok ? okMessage : failMessage));
  if (ok) f.ClearStatus2();
}

// The plan may not touch software that stays on the cartridge. A whole-flash
// image is the engineer's explicit erase and program of the cartridge: what
// it replaces is no software that stays. True when the burn may go on.
bool planSparesSoftware(TForm_MAIN& f) {
  if (f.ImageKind == 1) return true;
  const std::vector<OverwrittenSoftware> hits =
      softwareOverwrittenBy(f.LastReadCatalogue, f.CartridgeCatalogue,
                            std::span<const BlockRecord>(f.BlockTable).first(imageSectors(f)));
  if (hits.empty()) return true;
  std::string names;
  for (const OverwrittenSoftware& hit : hits) {
    const FatEntry& e = f.LastReadCatalogue.entries[hit.slot - 1];
    names += (names.empty() ? "" : ", ") + displayText(f.Language, fatText(e.brand)) + " [" +
             std::to_string(hit.firstSector) +
             (hit.sectors > 1 ? "-" + std::to_string(hit.lastSector) : std::string()) + "]";
  }
  const std::size_t language = f.Language >= 0 && f.Language < 4 ? std::size_t(f.Language) : 0;
  const std::string text = kOverwriteRefused[language] + names;
  f.Memo1_Lines_Add(text);
  f.ReportFault(FaultCode::k0052);
  f.host.messageBox(Msg::OverwriteRefused, text, f.WindowCaption, MsgBoxKind::Error,
                    MsgBoxButtons::Ok);
  return false;
}

// Only hex digits of a typed sector number go into a file name.
std::string nameDigits(std::string_view typed) {
  std::string out;
  for (char c : typed)
    if (std::isxdigit(static_cast<unsigned char>(c))) out += c;
  return out.empty() ? "0" : out;
}

}  // namespace

void TForm_MAIN::initSequenceHandlers() {
  ClickHandlers["Button_Program"] = [this] { Button_ProgramClick(); };
  ClickHandlers["Button_Verify"] = [this] { Button_VerifyClick(); };
  ClickHandlers["Button_CHECK"] = [this] { Button_CHECKClick(); };
  ClickHandlers["Button_Read"] = [this] { Button_ReadClick(); };
  ClickHandlers["Button_Auto"] = [this] { Button_AutoClick(); };
  ClickHandlers["UpDown_ReadStartAddr"] = [this] { UpDown_ReadStartAddrClick(); };
  ClickHandlers["UpDown_ReadStopAddr"] = [this] { UpDown_ReadStopAddrClick(); };
  autoSequence = [this] { return Function_Auto(); };
}

// ---------------------------------------------------------------- program

bool TForm_MAIN::Function_Program() {
  if (burnJournalPending()) {
    // A burn on this module did not end: what it left is judged (and
    // repaired) first. A new journal over it would keep damaged sectors as
    // their old content; and this plan was made for a cartridge that may
    // change now, so it is not carried out.
    Memo1_Lines_Add("The last burn on this module did not end: it is judged before a new one");
    resolveInterruptedBurn(rereadTables(*this));
    Memo1_Lines_Add("Nothing new was written: plan the change again");
    ShowStatus1(Prompt(Msg::ProgramFail));
    LastOutcome.settle(false, Prompt(Msg::ProgramFail));
    FatDirty = false;
    return false;
  }
  if (FatDirty) Function_FATRefresh(FlashImage, 0);
  bool result = true;
  {
    OperationFrame frame(*this);
    const uint32_t n = countSectors(*this, planned);
    ShowStatus1(Prompt(Msg::Programming));
    ClearStatus2();
    const uint32_t start = clock.tick();
    FlashImage.Seek(0);
    setBars({&ProgressBar1, &ProgressBar_PROG, &ProgressBar2}, 0, 1);
    StaticText_PROG_FINISH.text = "00000000";
    StaticText_PROG_Size.text = byteSpan(n);

    // The sectors this burn writes, the ones that overwrite no software first.
    std::vector<uint16_t> sectors;
    for (size_t j = 0; j < imageSectors(*this) && sectors.size() < n; ++j)
      if (planned(BlockTable[j])) sectors.push_back(uint16_t(j));
    sectors = orderForBurn(sectors);
    const bool writesTable = ModuleGeneration == OstrelIV && (FatDirty || ImageKind == 1);
    // The operator's count takes in the FAT and the mapping table written after the data.
    const uint32_t tableSectors = (FatDirty ? 1 : 0) + (writesTable ? 2 : 0);
    ProgressScope progress(*this);
    startProgress(n + tableSectors, false);

    result = planSparesSoftware(*this);
    BurnJournalFile journal;
    if (result && (!sectors.empty() || FatDirty || writesTable))
      result = startBurnJournal(journal, sectors, FatDirty);
    if (result && ModuleGeneration == OstrelIV) {
      // Until the new table is on the cartridge the old one is what counts:
      // no physical sector it uses is given to anything else.
      BurnQuarantine = true;
      for (size_t p = 0; p < CartridgePhysicalInUse.size(); ++p)
        if (CartridgePhysicalInUse[p]) MappingTable.physicalSectorInUse[p] = 1;
      // A whole-flash image maps logical sectors 0..127 one to one.
      if (ImageKind == 1) reserveIdentitySectors(MappingTable, SectorCount);
    }
    onMappingTableWrite = [&journal](std::span<const uint8_t> image) {
      return journal.add(JournalRecord::NewTable, 0, image);
    };

    uint32_t done = 0;
    for (size_t i = 0; i < sectors.size() && result; ++i) {
      clock.processEvents();
      result = journal.add(JournalRecord::SectorBegins, sectors[i]) &&
               Function_ProgramSector(sectors[i], false, false);
      if (!result) break;
      ++done;
      BusyCounter = (BusyCounter + 1) % 5;
      BusyMarks.clear();
      showProgress(done);
      StaticText_Status2.text = busyLine();
      StaticText_PROG_FINISH.text = byteSpan(done);
      setBars({&ProgressBar1, &ProgressBar_PROG, &ProgressBar2}, done, n);
    }

    if (FatDirty && result) {
      if (BlockRecord* fat = blockRecordAt(BlockTable, 1)) {
        fat->eraseFlag = fat->writeFlag = 1;
        fat->source = SectorSource::FlashImage;
      }
      ShowStatus1(Prompt(Msg::WritingFat));
      // Ostrel IV relocates the software now; the other generations noted
      // their new FAT before the burn started.
      if (ModuleGeneration == OstrelIV) {
        Function_FATRefresh(FlashImage, 1);
        const std::span<const uint8_t> fat(FlashImage.Memory() + kSectorSize, kSectorSize);
        result = journal.add(JournalRecord::NewFat, 1, fat);
      }
      result = result && journal.add(JournalRecord::SectorBegins, 1) &&
               Function_ProgramSector(1, false, true) && journal.add(JournalRecord::FatWritten, 1);
      showProgress(done + 1);
      // The table goes out only after the FAT it belongs to: a table moved
      // ahead of the FAT on the cartridge would point its entries elsewhere.
      if (result && ModuleGeneration == OstrelIV) result = Function_Write_Mapping_Table();
    }
    // An image's table, unless the FAT's step above already wrote it.
    if (result && ImageKind == 1 && ModuleGeneration == OstrelIV && !FatDirty)
      result = Function_Write_Mapping_Table();
    onMappingTableWrite = nullptr;
    BurnQuarantine = false;
    if (ModuleGeneration == OstrelIV) rebuildPhysicalSectorInUse(MappingTable, SectorCount);
    if (result && journal.add(JournalRecord::Complete, 0)) journal.remove();

    showResult(*this, result, Msg::ProgramOk, Msg::ProgramFail);
    StaticText_ProgramTime.text = elapsed(*this, start);
    FatDirty = false;
  }
  // The loaded packages leave the selection once they have been programmed.
  while (TreeView_FAT_IN.selected > 0 && size_t(TreeView_FAT_IN.selected) < SelectionTree.size())
    TreeView_FAT_IN.selected = SelectionTree[size_t(TreeView_FAT_IN.selected)].parent;
  ++TreeView_FAT_IN.revision;
  Button_DeleteINClick();
  return result;
}

// ---------------------------------------------------------------- verify

bool TForm_MAIN::Function_Verify() {
  OperationFrame frame(*this);
  const uint32_t k = countSectors(*this, erased);
  const uint32_t start = clock.tick();
  ShowStatus1(Prompt(Msg::Verifying));
  ClearStatus2();
  ProgressBar1.reset();
  StaticText_PROG_FINISH.text = "00000000";
  StaticText_PROG_Size.text = byteSpan(k);
  // What takes the time is reading back the written sectors.
  uint32_t toRead = 0, read = 0;
  for (size_t i = 0; i < imageSectors(*this); ++i) toRead += BlockTable[i].writeFlag ? 1 : 0;
  ProgressScope progress(*this);
  startProgress(toRead, true);

  bool result = true;
  uint32_t v = 0;
  const std::vector<uint8_t> blank(kSectorSize, 0xFF);
  for (size_t i = 0; i < imageSectors(*this) && result; ++i) {
    const BlockRecord& record = BlockTable[i];
    // An Ostrel IV whole-flash image lies one to one on physical sectors
    // 0..127; the FAT read since may have dropped the mapping of those no
    // entry owns, so they are read where Program put them.
    const bool identity = ModuleGeneration == OstrelIV && ImageKind == 1 && i < kIdentitySectors;
    // A sector the plan erases and leaves blank must read blank; on an
    // Ostrel IV it is unmapped, which holds nothing to read.
    const bool blankPlanned =
        !record.writeFlag && record.eraseFlag &&
        !(ModuleGeneration == OstrelIV && !identity && MappingTable.words[i] == UNMAPPED_SECTOR);
    if (record.writeFlag || blankPlanned) {
      Function_ReadSector(uint16_t(i), identity);
      if (ReadBuffer.Size() != kSectorSize) {
        ReportFault(FaultCode::k0050);
        result = false;
        break;
      }
      const uint8_t* expected = record.writeFlag ? plannedSectorData(uint16_t(i)) : blank.data();
      const uint8_t* got = ReadBuffer.Memory();
      size_t p = 0;
      while (expected && p < kSectorSize && got[p] == expected[p]) ++p;
      if (!expected || p < kSectorSize) {
        ReportFault(FaultCode::k0051);
        Memo1_Lines_Add("##" + upperHex(uint32_t(i * kSectorSize + (expected ? p : 0)), 8));
        result = false;
        break;
      }
      showProgress(++read);
    }
    if (record.eraseFlag) ++v;
    showChecked(*this, v, k);
  }
  showResult(*this, result, Msg::VerifyOk, Msg::VerifyFail);
  StaticText_VerifyTime.text = elapsed(*this, start);
  return result;
}

// ---------------------------------------------------------------- check

bool TForm_MAIN::Function_Check() {
  OperationFrame frame(*this);
  const ReplyFormScope frames(*this, ReplyForm::Frame);  // the checksum reply is a frame
  const uint32_t k = countSectors(*this, erased);
  ShowStatus1(Prompt(Msg::Checking));
  ClearStatus2();
  for (ProgressBar* p : {&ProgressBar1, &ProgressBar_CHECK, &ProgressBar3}) p->reset();
  StaticText_PROG_FINISH.text = "00000000";
  StaticText_PROG_Size.text = byteSpan(k);
  ProgressScope progress(*this);
  startProgress(k, false);

  bool result = true;
  uint32_t v = 0;
  int attempts = RetryBudget;
  for (size_t s = 0; s < imageSectors(*this) && result;) {
    const BlockRecord& record = BlockTable[s];
    if (record.eraseFlag) {
      if ((ModuleGeneration == OstrelI || ModuleGeneration == OstrelII) &&
          !selectSector12(*this, uint16_t(s))) {
        result = false;
        break;
      }
      // Sent once: the module answers each check with one sector's checksums.
      RequestBuffer[0] = Cmd::framedLength(1);
      RequestBuffer[1] = Cmd::Check;
      Send_Package(RequestBuffer.data(), 1, kCheckReplyWaitMs, 0);
      if (!ReplyComplete) {
        ReportFault(FaultCode::k0071);
        result = false;
        break;
      }
      if (ReplyBuffer[1] != Cmd::replyTo(Cmd::Check) || ReplyBuffer[2] != record.sum ||
          ReplyBuffer[3] != record.xorValue) {
        if (--attempts > 0) continue;  // the same sector again
        ReportFault(FaultCode::k0070);
        Memo1_Lines_Add("Error sector No. : " + hexAtLeast2(uint32_t(s)));
        Memo1_Lines_Add("CheckSum (File Manager): " + hexByte(record.sum) + " " +
                        hexByte(record.xorValue));
        Memo1_Lines_Add("CheckSum (Cartridge)   : " + hexByte(ReplyBuffer[2]) + " " +
                        hexByte(ReplyBuffer[3]));
        result = false;
        break;
      }
      ++v;
    }
    ++s;
    attempts = RetryBudget;
    showProgress(v);
    BusyStep();
    showChecked(*this, v, k);
  }
  showResult(*this, result, Msg::CheckOk, Msg::CheckFail);
  return result;
}

// ---------------------------------------------------------------- read

bool TForm_MAIN::Function_Read() {
  OperationFrame frame(*this);
  ReadFileName.clear();
  ShowStatus1("Reading.....");
  ClearStatus2();
  ProgressBar1.reset();
  StaticText_PROG_FINISH.text = "00000000";

  uint32_t first = uint32_t(UpDown_ReadStartAddr.position);
  uint32_t last = uint32_t(UpDown_ReadStopAddr.position);
  std::string firstText = upperHex(first, 4), lastText = upperHex(last, 4);
  if (ModuleGeneration == OstrelIV) {
    first = hexTextToUint(ost4_read_sector_start.text) & 0xFFFF;
    last = hexTextToUint(ost4_read_sector_stop.text) & 0xFFFF;
    firstText = nameDigits(ost4_read_sector_start.text);
    lastText = nameDigits(ost4_read_sector_stop.text);
  }
  auto fail = [this] {
    ShowStatus1("Read fail!!");
    ClearStatus2();
    LastOutcome.settle(false, "Read fail!!");
    return false;
  };
  if (first > last) return fail();
  const uint32_t total = last - first + 1;

  // The sectors go straight to the file, which takes its name only when whole:
  // a range of the whole cartridge would not fit in memory, and a read that
  // fails leaves no half file behind.
  std::unique_ptr<ReplacingFile> file;
  if (BuildMode != CustomerBuild) {
    const std::string name = !ReadOutputPath.empty()
                                 ? ReadOutputPath
                                 : host.programDirectory() + ModuleSerialText + "_SEC" + firstText +
                                       "-" + lastText + ".BIN";
    file = std::make_unique<ReplacingFile>();
    if (!file->open(name)) {
      Memo1_Lines_Add(file->error());
      return fail();
    }
    ReadFileName = name;
  }
  uint32_t lap = clock.tick();
  uint32_t done = 0;
  ProgressScope progress(*this);
  startProgress(total, true);
  for (uint32_t s = first; s <= last; ++s) {
    Function_ReadSector(uint16_t(s), true);
    if (ReadBuffer.Size() != kSectorSize || (file && !file->write(ReadBuffer.Bytes()))) {
      ReadFileName.clear();
      return fail();
    }
    if (s % 100 == 0) {
      StaticText_VerifyTime.text = elapsed(*this, lap);
      lap = clock.tick();
    }
    ++done;
    showProgress(done);
    StaticText_PROG_FINISH.text = byteSpan(done);
    ProgressBar1.setFraction(done, total);
  }
  if (file && !file->commit()) {
    ReadFileName.clear();
    return fail();
  }
  ShowStatus1("Read finish!!");
  ClearStatus2();
  LastOutcome.settle(true, "Read finish!!");
  if (!ReadFileName.empty()) LastOutcome.done.push_back({ReadFileName, {}});
  // Where the file went, in full, for the engineer to find it.
  if (!ReadFileName.empty()) Memo1_Lines_Add(extraText(ExtraText::SavedTo, Language, ReadFileName));
  StaticText_VerifyTime.text = elapsed(*this, lap);
  return true;
}

// ---------------------------------------------------------------- auto

bool TForm_MAIN::Function_Auto() {
  host.setHourglass(true);
  const bool wasEnabled = WindowEnabled;
  SetWindowEnabled(false);
  for (StaticText* t : {&StaticText_AllTime, &StaticText_ProgramTime, &StaticText_VerifyTime})
    t->text.clear();
  const uint32_t start = clock.tick();
  for (ProgressBar* p :
       {&ProgressBar1, &ProgressBar_PROG, &ProgressBar2, &ProgressBar_CHECK, &ProgressBar3})
    p->reset();
  bool result = false;
  switch (ModuleGeneration) {
    case OstrelI:
    case OstrelII:
      result = Function_Program() && Function_Check();
      break;
    case OstrelIII:
      result = Function_Program() && Function_Verify();
      break;
    case OstrelIV:
      result = Function_Program();
      break;
    default:
      break;
  }
  StaticText_AllTime.text = elapsed(*this, start);
  SetWindowEnabled(wasEnabled);
  host.setHourglass(false);
  return result;
}

// ---------------------------------------------------------------- buttons

void TForm_MAIN::Button_ProgramClick() {
  clearLogs(*this);
  if (Function_Program()) {
    Beep(1);
    rereadTablesKeepingStatus(*this);
  } else {
    Beep(3);
  }
}

void TForm_MAIN::Button_AutoClick() {
  clearLogs(*this);
  if (Function_Auto()) {
    Beep(1);
    rereadTablesKeepingStatus(*this);
  } else {
    Beep(3);
    Memo1.fontColor = Colors::kRed;
  }
}

void TForm_MAIN::Button_VerifyClick() {
  clearLogs(*this);
  Beep(Function_Verify() ? 1 : 3);
}

void TForm_MAIN::Button_ReadClick() {
  clearLogs(*this);
  Beep(Function_Read() ? 1 : 3);
}

void TForm_MAIN::Button_CHECKClick() {
  clearLogs(*this);
  Beep(Function_Check() ? 1 : 3);
}

// ---------------------------------------------------------------- read range

namespace {
void showRange(TForm_MAIN& f) {
  f.StaticText_ReadStartAddr.text = upperHex(uint32_t(f.UpDown_ReadStartAddr.position) & 0xFFFF, 4);
  f.StaticText_ReadStopAddr.text = upperHex(uint32_t(f.UpDown_ReadStopAddr.position) & 0xFFFF, 4);
}
}  // namespace

void TForm_MAIN::UpDown_ReadStartAddrClick() {
  UpDown& start = UpDown_ReadStartAddr;
  start.position = std::clamp(start.position, start.min, std::max(start.min, start.max));
  if (start.position >= UpDown_ReadStopAddr.position) UpDown_ReadStopAddr.position = start.position;
  showRange(*this);
}

void TForm_MAIN::UpDown_ReadStopAddrClick() {
  UpDown& stop = UpDown_ReadStopAddr;
  if (stop.position >= stop.max) stop.position = stop.min;
  if (stop.position <= stop.min) stop.position = stop.max;
  if (UpDown_ReadStartAddr.position >= stop.position) UpDown_ReadStartAddr.position = stop.position;
  showRange(*this);
}

}  // namespace ostrel
