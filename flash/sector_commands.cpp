// Erase, write and read one cartridge sector on every module generation, and
// the whole-cartridge erase with its button.
#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <string>

#include "app/fault_codes.h"
#include "app/form_main.h"
#include "app/prompt_table.h"
#include "app/text_helpers.h"
#include "flash/form_steps.h"
#include "flash/operation_frame.h"
#include "link/commands.h"
#include "link/frame.h"
#include "link/identify.h"

namespace ostrel {

namespace {

// Link-layer limits per exchange (reply wait, total time).
constexpr uint32_t kFramedWait = 1000, kFramedTotal = 2000;
constexpr uint32_t kOst3Wait = 1000, kOst3Total = 2000;
constexpr uint32_t kOst4CommandWait = 5000, kOst4CommandTotal = 10000;
constexpr uint32_t kOst4ChunkWait = 1000, kOst4ChunkTotal = 1000;
constexpr uint32_t kBlockEraseWait = 200000;
constexpr uint32_t kChipEraseWait = 2400000;

constexpr uint32_t kBlockDataWaitMs = 20000;  // Ostrel I/II 64 KiB data phase
constexpr uint32_t kReadReportWaitMs = 300;
constexpr uint32_t kOst4RetryPauseMs = 7000;
constexpr int kEraseTries = 3;

// A module that stops answering chunk requests ends the read pass after this
// many unanswered requests in a row; a module that keeps answering with the
// wrong amount ends it after this many requests in all.
constexpr int kMaxUnansweredChunkRequests = 3;
constexpr int kMaxChunkRequests = 2 * int(kChunksPerSector);

int passBudget(const TForm_MAIN& f) {
  return std::max(f.RetryBudget, 1);
}

// A framed command through RequestBuffer.
bool sendFramed(TForm_MAIN& f, uint8_t code, std::initializer_list<uint8_t> parameters,
                uint32_t total = kFramedTotal) {
  f.RequestBuffer[0] = Cmd::framedLength(unsigned(parameters.size()) + 1);
  f.RequestBuffer[1] = code;
  std::copy(parameters.begin(), parameters.end(), f.RequestBuffer.begin() + 2);
  return f.Send_Package(f.RequestBuffer.data(), 0, kFramedWait, total);
}

bool sendRawCommand(TForm_MAIN& f, const uint8_t* bytes, uint32_t length, uint32_t wait,
                    uint32_t total) {
  std::copy_n(bytes, length, f.RequestBuffer.begin());
  return f.Send_Package_OST3(f.RequestBuffer.data(), length, 0, wait, total);
}

bool sendByteRaw(TForm_MAIN& f, uint8_t byte) {
  return f.Comm1_WriteCommData(&byte, 1);
}

bool waitReply(TForm_MAIN& f, uint32_t ms) {
  return f.waitForReply(f.clock.tick() + ms);
}

// The 65536 bytes at offset of a stream, or null when the stream is shorter.
const uint8_t* sectorSource(MemoryStream& stream, size_t offset) {
  if (offset > stream.Size() || stream.Size() - offset < kSectorSize) return nullptr;
  stream.Seek(offset);
  return stream.Memory() + offset;
}

// Ostrel II: "82 01 s" then five address/address/data cycles.
bool ost2Prologue(TForm_MAIN& f, uint16_t sector) {
  static constexpr uint8_t kCycles[5][3] = {{0xAA, 0xAA, 0xAA},
                                            {0x55, 0x55, 0x55},
                                            {0xAA, 0xAA, 0x80},
                                            {0xAA, 0xAA, 0xAA},
                                            {0x55, 0x55, 0x55}};
  if (!sendFramed(f, Cmd::SelectSector, {uint8_t(sector)})) return false;
  for (const auto& c : kCycles) {
    if (!sendFramed(f, Cmd::Cycle3, {c[0]}) || !sendFramed(f, Cmd::Cycle2, {c[1]}) ||
        !sendFramed(f, Cmd::Cycle4, {c[2]}))
      return false;
  }
  return true;
}

// The last command of an Ostrel I/II chip erase, timed against the standard.
bool timedChipErase(TForm_MAIN& f, uint16_t sector, uint8_t code, uint8_t data) {
  const uint32_t start = f.clock.tick();
  const bool acknowledged = sendFramed(f, code, {data}, kCountedRetryTime);
  const ChipEraseVerdict v =
      judgeChipErase(f.ModuleGeneration, sector, f.clock.tick() - start, acknowledged);
  for (const std::string& line : v.lines) f.Memo1_Lines_Add(line);
  if (v.tooFast) f.Memo1_Lines_Add(f.Prompt(Msg::FaultPrefix) + std::string(FaultCode::k0090));
  return v.ok;
}

bool eraseOst1(TForm_MAIN& f, uint8_t mode, uint16_t sector) {
  if (!sendFramed(f, Cmd::SelectSector, {uint8_t(sector)})) return false;
  for (uint8_t d : {uint8_t(0xAA), uint8_t(0x55), uint8_t(0x80), uint8_t(0xAA), uint8_t(0x55)})
    if (!sendFramed(f, Cmd::Cycle5, {d})) return false;
  if (mode == 0) return timedChipErase(f, sector, Cmd::Cycle5, 0x10);
  return sendFramed(f, Cmd::Cycle5, {0x30}, kCountedRetryTime);
}

bool eraseOst2(TForm_MAIN& f, uint8_t mode, uint16_t sector) {
  if (mode == 0) {
    if (!ost2Prologue(f, sector) || !sendFramed(f, Cmd::Cycle3, {0xAA}) ||
        !sendFramed(f, Cmd::Cycle2, {0xAA}))
      return false;
    return timedChipErase(f, sector, Cmd::Cycle4, 0x10);
  }
  if (!ost2BootBlockSector(sector)) {
    if (!ost2Prologue(f, sector)) return false;
    return sendFramed(f, Cmd::Cycle4, {0x30}, kCountedRetryTime);
  }
  for (uint8_t address : ost2BootSubBlockAddresses()) {
    if (!ost2Prologue(f, sector) || !sendFramed(f, Cmd::Cycle2, {address}) ||
        !sendFramed(f, Cmd::Cycle4, {0x30}, kCountedRetryTime))
      return false;
  }
  return true;
}

bool eraseOst3Block(TForm_MAIN& f, uint16_t sector) {
  const uint8_t command[3] = {Cmd::EraseSector, uint8_t(sector >> 8), uint8_t(sector)};
  switch (blockEraseAction(f.BlockTable, sector)) {
    case BlockEraseAction::CoveredByPartner:
      return true;
    case BlockEraseAction::EraseBlock:
      return sendRawCommand(f, command, 3, kBlockEraseWait, kCountedRetryTime);
    case BlockEraseAction::SaveAndRestore:
      break;
  }
  const uint16_t partner = uint16_t(erasePartner(sector));
  f.SaveBuffer.Clear();
  if (const TForm_MAIN::KeptSector* kept = f.keptSector(partner)) {
    // An earlier erase of this block left the partner half restored: its
    // content on the cartridge is damaged, the kept copy is the good one.
    f.SaveBuffer.Write(kept->data);
  } else {
    f.OST3_Function_ReadSector(partner);
    // Erasing without a copy of the partner would destroy its content.
    if (f.ReadBuffer.Size() != kSectorSize) return false;
    f.SaveBuffer.Write(f.ReadBuffer.Bytes());
  }
  // From the erase command on (even one without an answer) the partner may be
  // gone from the cartridge: the SaveBuffer holds its only copy until it is
  // written back.
  const bool erased = sendRawCommand(f, command, 3, kBlockEraseWait, kCountedRetryTime);
  for (int i = 0; i < kEraseTries; ++i) {
    f.SaveBuffer.Seek(0);
    if (f.WriteBack_Sector(partner, f.SaveBuffer)) {
      f.dropKeptSector(partner);
      return erased;
    }
  }
  if (!f.keptSector(partner)) f.keepSector(partner, f.SaveBuffer.Bytes());
  return false;
}

}  // namespace

bool selectSector12(TForm_MAIN& f, uint16_t sector) {
  if (!sendFramed(f, Cmd::SelectSector, {uint8_t(sector)})) return false;
  if (f.ModuleGeneration == OstrelI && !sendFramed(f, Cmd::Cycle2, {0x00})) return false;
  return true;
}

bool eraseSectorWithRetries(TForm_MAIN& f, uint16_t sector) {
  for (int i = 0; i < kEraseTries; ++i)
    if (f.Erase_Flash(1, sector)) return true;
  return false;
}

void TForm_MAIN::initFlashHandlers() {
  ClickHandlers["Button_Erase"] = [this] { Button_EraseClick(); };
  if (!onModuleFound) onModuleFound = [this] { ResetBlockTable(); };
}

void TForm_MAIN::ResetBlockTable() {
  resetBlockTable(BlockTable, SectorCount);
}

const uint8_t* TForm_MAIN::plannedSectorData(uint16_t sector) {
  const BlockRecord* record = blockRecordAt(BlockTable, sector);
  if (!record) return nullptr;
  if (record->source == SectorSource::FlashImage)
    return sectorSource(FlashImage, size_t(sector) * kSectorSize);
  return sectorSource(PackageImage, size_t(record->sourceBlock) * kSectorSize);
}

// ---------------------------------------------------------------- kept sectors

TForm_MAIN::KeptSector* TForm_MAIN::keptSector(uint16_t sector) {
  const JournalKey module = journalKey();
  for (KeptSector& k : KeptSectors)
    if (k.sector == sector && k.module == module) return &k;
  return nullptr;
}

bool TForm_MAIN::blockHasKeptSector(uint16_t sector) {
  return keptSector(sector) || keptSector(uint16_t(erasePartner(sector)));
}

void TForm_MAIN::keepSector(uint16_t sector, std::span<const uint8_t> data) {
  KeptSectors.push_back({journalKey(), sector, std::vector<uint8_t>(data.begin(), data.end())});
  Memo1_Lines_Add("Sector " + upperHex(sector, 4) +
                  " not restored; its content is kept until the next write to its block");
}

void TForm_MAIN::dropKeptSector(uint16_t sector) {
  const JournalKey module = journalKey();
  std::erase_if(KeptSectors,
                [&](const KeptSector& k) { return k.sector == sector && k.module == module; });
}

// ---------------------------------------------------------------- write

bool TForm_MAIN::Function_ProgramSector(uint16_t sector, bool direct, bool fatSector) {
  switch (ModuleGeneration) {
    case OstrelI:
    case OstrelII:
      return OST1_2_Function_ProgramSector(sector);
    case OstrelIII:
      return OST3_Function_ProgramSector(sector);
    case OstrelIV: {
      if (OST4_Function_ProgramSector(sector, direct, fatSector)) return true;
      if (BuildMode != CustomerBuild)
        host.messageBox(Msg::WriteRetry, "四代卡匣紅色警戒，寫入磁區失敗，再寫一次", WindowCaption,
                        MsgBoxKind::Warning, MsgBoxButtons::Ok);
      pauseUnlessClosed(kOst4RetryPauseMs);
      const bool ok = OST4_Function_ProgramSector(sector, direct, fatSector);
      if (!ok && BuildMode != CustomerBuild)
        host.messageBox(Msg::WriteRetry, "四代卡匣紅色警戒，寫入磁區失敗，第二次失敗",
                        WindowCaption, MsgBoxKind::Warning, MsgBoxButtons::Ok);
      return ok;
    }
    default:
      host.messageBox(Msg::Unexpected, "非預期錯誤in TForm_MAIN.Function_ProgramSector()",
                      WindowCaption, MsgBoxKind::Error, MsgBoxButtons::Ok);
      return false;
  }
}

bool TForm_MAIN::OST1_2_Function_ProgramSector(uint16_t sector) {
  const BlockRecord* record = blockRecordAt(BlockTable, sector);
  if (!record) {
    ReportFault(FaultCode::k0032);
    return false;
  }
  ReceiveMode = 1;
  for (int attempts = passBudget(*this); attempts > 0;) {
    if (record->eraseFlag && !eraseSectorWithRetries(*this, sector)) {
      ReportFault(FaultCode::k0030);
      return false;
    }
    if (!record->writeFlag) return true;
    const uint8_t* data = plannedSectorData(sector);
    if (!data) {
      // Nothing to send: programming whatever the image lacks would be worse.
      ReportFault(FaultCode::k0032);
      return false;
    }
    if (!selectSector12(*this, sector) || !sendFramed(*this, Cmd::WriteBlock, {0xFF, 0xFF}))
      return false;

    // The report may come while the data still goes out: gather it from scratch.
    ReplyComplete = 0;
    ReceivedCount = 0;
    for (size_t offset = 0; offset < kSectorSize; offset += ChunkSize)
      Comm1_WriteCommData(data + offset, uint32_t(ChunkSize));
    if (!waitReply(*this, kBlockDataWaitMs)) {
      ReportFault(FaultCode::k0032);
      return false;
    }
    if (ReplyBuffer[1] == Cmd::DataCheck && ReplyBuffer[2] == record->sum &&
        ReplyBuffer[3] == record->xorValue)
      return true;
    if (--attempts == 0) {
      ReportFault(FaultCode::k0031);
      Memo1_Lines_Add("Error sector No. : " + hexAtLeast2(sector));
      return false;
    }
  }
  return false;
}

bool TForm_MAIN::OST3_Function_ProgramSector(uint16_t sector) {
  const BlockRecord* record = blockRecordAt(BlockTable, sector);
  ReceiveMode = 1;
  for (int attempts = passBudget(*this); record && attempts > 0;) {
    // A block with a kept copy is erased whatever the plan says, so the copy
    // goes back before anything else is written there.
    const bool erase = record->eraseFlag || blockHasKeptSector(sector);
    if (erase && !eraseSectorWithRetries(*this, sector)) {
      ReportFault(FaultCode::k0030);
      break;
    }
    if (!record->writeFlag) return true;
    const bool fat = sector == 1;
    const uint8_t* data = plannedSectorData(sector);
    if (!data) break;
    const auto command =
        rawSectorCommand(fat ? Cmd::WriteSectorOne : Cmd::WriteSector, sector, sector);
    if (!sendRawCommand(*this, command.data(), 7, kOst3Wait, kOst3Total)) break;
    bool allAcknowledged = true;
    for (size_t offset = 0; offset < kSectorSize && allAcknowledged; offset += ChunkSize) {
      ReplyComplete = 0;
      ReceivedCount = 0;
      allAcknowledged =
          Send_Package_OST3(data + offset, uint32_t(ChunkSize), 0, kOst3Wait, kOst3Total);
    }
    if (allAcknowledged) {
      dropKeptSector(sector);  // the new content supersedes the kept one
      return true;
    }
    if (!backInCommandMode()) break;
    --attempts;
  }
  ReportFault(FaultCode::k0032);
  return false;
}

bool TForm_MAIN::OST4_Function_ProgramSector(uint16_t sector, bool direct, bool fatSector) {
  if (Flag_test_busy) {
    host.messageBox(Msg::ModuleBusy, "ost4_program_sector-- (Flag_test_busy  = TRUE)",
                    WindowCaption, MsgBoxKind::Information, MsgBoxButtons::Ok);
    return false;
  }
  Flag_test_busy = true;
  ReceiveMode = 1;
  const BlockRecord* record = direct ? nullptr : blockRecordAt(BlockTable, sector);
  bool result = direct || record;
  int attempts = passBudget(*this);
  while (result && attempts > 0) {
    if (!direct && record->eraseFlag) {
      const uint16_t old = MappingTable.words[sector];
      releaseLogicalSector(MappingTable, sector, SectorCount);
      // During a burn the old table's sectors stay taken until the new table
      // is on the cartridge.
      if (BurnQuarantine && old < CartridgePhysicalInUse.size() && CartridgePhysicalInUse[old])
        MappingTable.physicalSectorInUse[old] = 1;
    }
    if (!direct && !record->writeFlag) break;

    const uint8_t* data = direct ? sectorSource(MappingImage, sector == 60001 ? kSectorSize : 0)
                                 : plannedSectorData(sector);
    if (!data) {
      result = false;
      break;
    }

    uint8_t code = Cmd::WriteSector;
    uint16_t physical = sector;
    const auto before = std::make_unique<::ostrel::MappingTable>();  // undo state of a failed pass
    if (!direct) {
      *before = MappingTable;
      code = fatSector ? Cmd::WriteSectorOne : Cmd::WriteSector;
      if (ImageKind == 1 && sector < kIdentitySectors) {
        // A whole-flash image keeps its low sectors where the image puts them:
        // the table write maps them one to one.
        mapIdentitySector(MappingTable, sector, SectorCount);
      } else {
        // No free physical sector: nothing is sent and the write fails.
        const auto allocated = allocatePhysicalSector(MappingTable, sector, SectorCount);
        if (!allocated) {
          result = false;
          break;
        }
        physical = *allocated;
      }
    }
    // A failed pass gives its physical sector back, so a retry starts from the
    // same table and no sector stays marked for data that never arrived.
    auto undoAllocation = [&] {
      if (!direct) MappingTable = *before;
    };

    // A kept copy in the target's block goes back before anything else is
    // written there.
    const uint16_t partner = uint16_t(erasePartner(physical));
    if (const KeptSector* kept = keptSector(partner)) {
      SaveBuffer.Clear();
      SaveBuffer.Write(kept->data);
      SaveBuffer.Seek(0);
      if (!WriteBack_Sector(partner, SaveBuffer)) {
        undoAllocation();
        result = false;
        break;
      }
      dropKeptSector(partner);
    }

    const auto command = rawSectorCommand(code, physical, sector);
    if (!sendRawCommand(*this, command.data(), fatSector ? 9 : 7, kOst4CommandWait,
                        kOst4CommandTotal)) {
      if (fatSector) Memo1_Lines_Add("send_write_command_no_response");
      undoAllocation();
      result = false;
      break;
    }
    size_t failedAt = kSectorSize;
    for (size_t offset = 0; offset < kSectorSize; offset += ChunkSize) {
      ReplyComplete = 0;
      ReceivedCount = 0;
      if (!Send_Package_OST3(data + offset, uint32_t(ChunkSize), 0, kOst4ChunkWait,
                             kOst4ChunkTotal)) {
        failedAt = offset;
        break;
      }
    }
    if (failedAt == kSectorSize) {
      dropKeptSector(physical);  // the new content supersedes the kept one
      break;
    }
    Memo1_Lines_Add("send_write_pkg_no_response,pkg: " + std::to_string(failedAt));
    undoAllocation();
    if (!backInCommandMode()) {
      result = false;
      break;
    }
    pauseUnlessClosed(kOst4RetryPauseMs);
    --attempts;
    result = attempts > 0;  // a further pass starts afresh
  }
  if (!result) ReportFault(FaultCode::k0032);
  Flag_test_busy = false;
  return result;
}

// ---------------------------------------------------------------- read

void TForm_MAIN::Function_ReadSector(uint16_t sector, bool direct) {
  switch (ModuleGeneration) {
    case OstrelI:
    case OstrelII:
      OST1_2_Function_ReadSector(sector);
      return;
    case OstrelIII:
      OST3_Function_ReadSector(sector);
      return;
    case OstrelIV:
      OST4_Function_ReadSector(sector, direct);
      return;
    default:
      ReadBuffer.Clear();
      host.messageBox(Msg::Unexpected, "非預期錯誤in TForm_MAIN.Function_ReadSector()",
                      WindowCaption, MsgBoxKind::Error, MsgBoxButtons::Ok);
  }
}

void TForm_MAIN::OST1_2_Function_ReadSector(uint16_t sector) {
  std::string_view code;
  bool ok = false;
  DataCheck computed, reported;
  for (int attempts = passBudget(*this); attempts > 0 && !ok; --attempts) {
    if (!selectSector12(*this, sector) || !sendFramed(*this, Cmd::ReadBlock, {0xFF, 0xFF})) break;

    ReceiveMode = 0;
    ReceivedCount = int32_t(kSectorSize);
    ReadBuffer.Clear();
    ReplyComplete = 0;
    sendByteRaw(*this, Cmd::ReadTrigger);
    const bool arrived = waitReply(*this, kBlockDataWaitMs) && ReadBuffer.Size() == kSectorSize;
    ReceiveMode = 1;
    ReplyComplete = 0;
    ReceivedCount = 0;
    if (!arrived) {
      code = FaultCode::k0057;
      sendByteRaw(*this, Cmd::ReadTrigger);
      continue;
    }
    computed = dataCheck(ReadBuffer.Bytes());
    sendByteRaw(*this, Cmd::ReadTrigger);
    if (!waitReply(*this, kReadReportWaitMs)) {
      code = FaultCode::k0056;
      continue;
    }
    reported = {ReplyBuffer[2], ReplyBuffer[3]};
    if (ReplyBuffer[1] == Cmd::DataCheck && reported == computed) {
      ok = true;
    } else {
      code = FaultCode::k0055;
    }
  }
  ReceiveMode = 1;
  ClearStatus2();
  if (ok) return;
  ReportFault(code);
  if (code == FaultCode::k0055) {
    Memo1_Lines_Add("Error sector No. : " + hexAtLeast2(sector));
    Memo1_Lines_Add("CheckSum (File Manager): " + hexByte(computed.sum) + " " +
                    hexByte(computed.xorValue));
    Memo1_Lines_Add("CheckSum (Cartridge)   : " + hexByte(reported.sum) + " " +
                    hexByte(reported.xorValue));
  }
  ReadBuffer.Clear();
}

namespace {

// One Ostrel III/IV read: the command, then 4096-byte pieces on request.
void rawSectorRead(TForm_MAIN& f, const uint8_t* command, uint32_t length, uint32_t wait,
                   uint32_t total) {
  std::string_view code;
  bool ok = false;
  for (int attempts = passBudget(f); attempts > 0 && !ok; --attempts) {
    f.ReceiveMode = 1;
    f.ReceivedCount = int32_t(kSectorSize);
    if (!sendRawCommand(f, command, length, wait, total)) break;

    f.ReceiveMode = 0;
    f.ReadBuffer.Clear();
    bool lastCompleted = false;
    int unanswered = 0, requests = 0;
    while (f.ReadBuffer.Size() < kSectorSize && unanswered < kMaxUnansweredChunkRequests &&
           requests < kMaxChunkRequests) {
      f.ReplyComplete = 0;
      f.ReceivedCount = int32_t(ChunkSize);
      ++requests;
      const uint8_t next = Cmd::NextPiece;
      if (f.Send_Package_OST3(&next, 1, 0, wait, total)) {
        waitReply(f, wait);
        lastCompleted = f.ReplyComplete != 0;
        unanswered = 0;
      } else {
        lastCompleted = false;
        ++unanswered;
      }
    }
    f.ReceiveMode = 1;
    if (lastCompleted && f.ReadBuffer.Size() == kSectorSize) {
      ok = true;
    } else {
      code = FaultCode::k0056;
    }
  }
  f.ReceiveMode = 1;
  f.ClearStatus2();
  if (ok) return;
  f.ReportFault(code);
  f.ReadBuffer.Clear();
}

}  // namespace

void TForm_MAIN::OST3_Function_ReadSector(uint16_t sector) {
  const auto command =
      rawSectorCommand(sector == 1 ? Cmd::ReadSectorOne : Cmd::ReadSector, sector, sector);
  rawSectorRead(*this, command.data(), 7, kOst3Wait, kOst3Total);
}

void TForm_MAIN::OST4_Function_ReadSector(uint16_t sector, bool direct) {
  if (direct) {
    const auto command = rawSectorCommand(Cmd::ReadSector, sector, sector);
    rawSectorRead(*this, command.data(), 7, kOst4CommandWait, kOst4CommandTotal);
    return;
  }
  const uint16_t physical = MappingTable.words[sector];
  if (physical > std::min(SectorCount, kHighestPoolSector)) {
    // Unmapped, or no sector of this cartridge: nothing to ask the module for.
    ClearStatus2();
    ReportFault(FaultCode::k0056);
    ReadBuffer.Clear();
    return;
  }
  const bool fat = sector == 1;
  const auto command =
      rawSectorCommand(fat ? Cmd::ReadSectorOne : Cmd::ReadSector, physical, sector);
  rawSectorRead(*this, command.data(), fat ? 9 : 7, kOst4CommandWait, kOst4CommandTotal);
}

// ---------------------------------------------------------------- erase

bool TForm_MAIN::Erase_Flash(uint8_t mode, uint16_t sector) {
  SaveBuffer.Clear();
  if (mode > 1) return false;
  switch (ModuleGeneration) {
    case OstrelI:
      return eraseOst1(*this, mode, sector);
    case OstrelII:
      return eraseOst2(*this, mode, sector);
    case OstrelIII:
    case OstrelIV:
      if (mode == 0) {
        const uint8_t command = Cmd::EraseAll;
        if (!sendRawCommand(*this, &command, 1, kChipEraseWait, kCountedRetryTime)) return false;
        // The whole flash is blank now, as asked: no kept copy is to go back.
        const JournalKey module = journalKey();
        std::erase_if(KeptSectors, [&](const KeptSector& k) { return k.module == module; });
        return true;
      }
      return eraseOst3Block(*this, sector);
    default:
      return false;
  }
}

bool TForm_MAIN::Function_Erase() {
  OperationFrame frame(*this);

  StaticText_AllTime.text.clear();
  StaticText_ProgramTime.text.clear();
  StaticText_VerifyTime.text.clear();
  const uint32_t start = clock.tick();
  ProgressBar1.position = 0;
  ShowStatus1(Prompt(Msg::Erasing));
  // Nothing reports how far a chip erase is: the time tells, against the usual one.
  ProgressScope progress(*this);
  startTimedProgress(TypicalChipEraseTime(ModuleGeneration) * (TwoChipFlash ? 2 : 1), ProgressBar1);

  bool ok = Erase_Flash(0, ChipStartSector[0]);
  if (TwoChipFlash) {
    ProgressBar1.position = ProgressBar1.max / 2;
    // The second chip is erased even when the first failed.
    ok = Erase_Flash(0, ChipStartSector[1]) && ok;
  }
  ProgressBar1.toMax();
  StaticText_EraseTime.text = std::to_string(uint32_t(clock.tick() - start)) + " ms";

  if (ok) {
    ShowStatus1(Prompt(Msg::EraseOk));
    ClearStatus2();
  } else {
    ShowStatus1(Prompt(Msg::EraseFail));
  }
  LastOutcome.settle(ok, Prompt(ok ? Msg::EraseOk : Msg::EraseFail));
  return ok;
}

void TForm_MAIN::Button_EraseClick() {
  Memo1.clear();
  Memo2.clear();
  Memo1.fontColor = Colors::kWindowText;
  if (Function_Erase()) {
    Beep(1);
    rereadTablesKeepingStatus(*this);
  } else {
    Beep(3);
    Memo1.fontColor = Colors::kRed;
  }
}

}  // namespace ostrel
