// Reading and writing the cartridge's tables from the main form: the Ostrel IV
// mapping table (physical sectors 60000/60001) and the FAT (logical sector 1).
// The record layouts and rules live in mapping_table.cpp and fat.cpp; this
// file drives the sector commands, the progress dialog and the reporting.
#include <span>
#include <string>
#include <vector>

#include "app/busy_scope.h"
#include "app/fault_codes.h"
#include "app/form_main.h"
#include "app/prompt_table.h"
#include "app/text_helpers.h"
#include "flash/block_table.h"

namespace ostrel {

namespace {
// Message numbers of the table reads.

// Why the catalogue may not be changed, in the four languages.
constexpr const char* kUnreadableText[4] = {
    "The cartridge's file allocation table could not be read: installing and removing software "
    "is refused. Erase the cartridge or clear its catalogue to repair it.",
    "無法讀取軟體匣的檔案配置表：拒絕安裝與移除軟體。請清除軟體匣或清空其目錄以修復。",
    "无法读取软件匣的档案配置表：拒绝安装与移除软件。请清除软件匣或清空其目录以修复。",
    "カートリッジのファイル割り当てテーブルを読み取れません。ソフトウェアのインストールと削除は"
    "できません。カートリッジを消去するか、カタログをクリアして修復してください。",
};
constexpr const char* kEntriesIgnoredText[4] = {
    "The cartridge's file allocation table lists more entries than it can hold: installing and "
    "removing software is refused, so that no entry is lost.",
    "軟體匣的檔案配置表列出的項目超過其容量：為避免遺失項目，拒絕安裝與移除軟體。",
    "软件匣的档案配置表列出的项目超过其容量：为避免丢失项目，拒绝安装与移除软件。",
    "カートリッジのファイル割り当てテーブルの項目数が上限を超えています。項目を失わないよう、"
    "ソフトウェアのインストールと削除はできません。",
};
constexpr const char* kDamagedText[4] = {
    "The cartridge's file allocation table lists software in sectors that are not its own (the "
    "log names the entries): installing software is refused and only those entries can be "
    "removed, so that nothing is written over software.",
    "軟體匣的檔案配置表將軟體列在不屬於它的磁區（記錄中列出這些項目）：為避免覆寫軟體，拒絕安裝軟體"
    "，"
    "只能移除這些項目。",
    "软件匣的档案配置表将软件列在不属于它的扇区（日志中列出这些项目）：为避免覆盖软件，拒绝安装软件"
    "，"
    "只能移除这些项目。",
    "カートリッジのファイル割り当てテーブルが、ソフトウェアを自分のものではないセクターに登録してい"
    "ます"
    "（ログに項目が表示されます）。ソフトウェアの上書きを防ぐため、インストールはできません。削除で"
    "きるのは"
    "これらの項目だけです。",
};

// The current ReadBuffer when it holds a whole sector; empty otherwise.
std::vector<uint8_t> takeSector(const MemoryStream& buffer) {
  if (buffer.Size() != kSectorSize) return {};
  return std::vector<uint8_t>(buffer.Bytes().begin(), buffer.Bytes().end());
}

}  // namespace

void TForm_MAIN::initTableHandlers() {
  readMappingTable = [this] { return Function_Read_MAPPING_TABLE(); };
  readFat = [this] { return Function_ReadFAT(); };
}

// ---------------------------------------------------------------- mapping table

bool TForm_MAIN::Function_Read_MAPPING_TABLE() {
  // Called inside detection and program sequences too: hand back whatever
  // state of OperationRunning the caller had, so no notice slips in between.
  BusyScope busy(*this);
  Memo1_Lines_Add("READ MAPPING TABLE!");
  ReportStart(Prompt(Msg::Reading), false);
  Form_Wait.Show();
  Form_Wait.Label_WaitInfo.text = Prompt(Msg::Reading);
  Form_Wait.ProgressBar_Wait.position = 10;
  // Two sectors at the link's pace: the bar follows the bytes as they come.
  ProgressScope progress(*this);
  startProgress(2, true, &Form_Wait.ProgressBar_Wait, 10);

  Function_ReadSector(kMappingTableSectorLow, true);
  const std::vector<uint8_t> low = takeSector(ReadBuffer);
  showProgress(1);
  Function_ReadSector(kMappingTableSectorHigh, true);
  const std::vector<uint8_t> high = takeSector(ReadBuffer);
  showProgress(2);

  Form_Wait.ProgressBar_Wait.toMax();

  LastMappingImage.clear();
  if (low.size() == kSectorSize && high.size() == kSectorSize) {
    LastMappingImage = low;
    LastMappingImage.insert(LastMappingImage.end(), high.begin(), high.end());
  }
  const MappingReadOutcome outcome = decodeMappingTable(low, high, SectorCount, MappingTable);
  MappingTableTrusted =
      outcome == MappingReadOutcome::Valid || outcome == MappingReadOutcome::Blank;
  if (outcome == MappingReadOutcome::NoData) {
    Form_Wait.Close();
    Memo1_Lines_Add(Prompt(Msg::ReadFail));
    StaticText_Status2.text = Prompt(Msg::ReadFail);
    CartridgeCatalogueState = CatalogueState::Unreadable;
    return false;
  }
  if (outcome != MappingReadOutcome::Valid) {
    Memo1_Lines_Add("MAPPING TABLE not exist");
    StaticText_Status2.text = Prompt(Msg::NotExist);
  }
  if (outcome == MappingReadOutcome::FreshStarted) {
    // A damaged or half-read table is not a blank cartridge: the software on
    // it can no longer be found, and must not be overwritten by what comes next.
    Memo1_Lines_Add("MAPPING TABLE damaged: the catalogue cannot be found through it");
  }
  Form_Wait.Close();
  FatFreshRead = true;
  return true;
}

bool TForm_MAIN::Function_Write_Mapping_Table() {
  // Only an Ostrel IV keeps a table; 60000/60001 are no sectors of the others.
  if (ModuleGeneration != OstrelIV) return false;
  MappingImage.Clear();
  MappingImage.SetSize(10 * kSectorSize);
  const std::vector<uint8_t> blank(kMappingImageBytes, 0xFF);
  MappingImage.Write(blank);
  MappingImage.Seek(0);

  if (ImageKind == 1) forceIdentityLowSectors(MappingTable);
  const std::vector<uint8_t> image = encodeMappingTable(MappingTable);
  // A burn notes the new table first; without the note a cut-off burn could
  // not be judged, so nothing is written.
  if (onMappingTableWrite && !onMappingTableWrite(image)) return false;
  MappingImage.Write(image);
  MappingImage.Seek(0);

  // A burn counts the table's two sectors among those it writes.
  if (!Function_ProgramSector(kMappingTableSectorLow, true, false)) return false;
  showProgress(Progress.done + 1);
  if (!Function_ProgramSector(kMappingTableSectorHigh, true, false)) return false;
  showProgress(Progress.done + 1);
  return true;
}

// ---------------------------------------------------------------- FAT

bool TForm_MAIN::Function_ReadFAT() {
  BusyScope busy(*this);
  ReportStart(Prompt(Msg::Reading), false);
  Form_Wait.Show();
  Form_Wait.Label_WaitInfo.text = Prompt(Msg::Reading);
  Form_Wait.ProgressBar_Wait.position = 10;
  ProgressScope progress(*this);
  startProgress(1, true, &Form_Wait.ProgressBar_Wait, 10);

  std::vector<uint8_t> sector;
  if (ModuleGeneration == OstrelIV && !MappingTableTrusted) {
    // Without the cartridge's own table the FAT cannot be found: the read
    // fails rather than showing an empty catalogue over software that is there.
  } else if (ModuleGeneration == OstrelIV && MappingTable.words[1] == UNMAPPED_SECTOR) {
    // The cartridge's table maps no FAT sector: there is nothing to read and
    // the module has no such physical sector, so the FAT reads as erased.
    sector.assign(kFatSectorSize, 0xFF);
  } else {
    Function_ReadSector(1, false);
    sector = takeSector(ReadBuffer);
  }
  Form_Wait.ProgressBar_Wait.toMax();

  if (sector.size() != kFatSectorSize) {
    // Catalogue, views and the fresh-read flag stay as they were.
    Form_Wait.Close();
    Memo1_Lines_Add(Prompt(Msg::ReadFail));
    StaticText_Status2.text = Prompt(Msg::ReadFail);
    CartridgeCatalogueState = CatalogueState::Unreadable;
    return false;
  }

  ::ostrel::CartridgeCatalogue scratch;
  const FatParseResult parsed = parseFatSector(sector, SectorCount, scratch);
  if (!parsed.signatureRecognised) {
    Memo1_Lines_Add(Prompt(Msg::NotExist));
    StaticText_Status2.text = Prompt(Msg::NotExist);
  } else if (parsed.entriesIgnored > 0) {
    // The sector has room for 256 entries only; a larger count is damage.
    // Rewriting such a catalogue would drop the ignored entries for good.
    Memo1_Lines_Add("FAT entry count " + std::to_string(parsed.declaredCount) + ", " +
                    std::to_string(parsed.entriesIgnored) +
                    " entries ignored: installation and removal refused");
  }

  for (std::size_t k = 1; k <= scratch.header.entryCount; ++k) {
    const FatEntry& entry = scratch.entries[k - 1];
    switch (obdiiVersionVerdict(entry)) {
      case ObdiiVerdict::NotObdii:
        break;
      case ObdiiVerdict::Current:
        ObdiiTooOld = false;
        break;
      case ObdiiVerdict::TooOld:
        ObdiiTooOld = true;
        host.messageBox(Msg::ObdiiTooOld,
                        Prompt(Msg::ObdiiTooOld) + " " + Prompt(Msg::FaultPrefix) +
                            std::string(FaultCode::k0021),
                        WindowCaption, MsgBoxKind::Warning, MsgBoxButtons::Ok);
        break;
    }
    Memo1_Lines_Add(std::string(fatText(entry.brand)));
    Memo1_Lines_Add(fatEntryLogLine(entry));
  }

  // Free space is measured from the entries and removal releases their
  // sectors: entries that overlap, sit in sectors 0/1 or run past the end
  // would have either write over software.
  CartridgeJudgement = judgeCatalogue(scratch, SectorCount);
  for (const WrongEntry& wrong : CartridgeJudgement.wrong)
    Memo1_Lines_Add("FAT entry " + std::to_string(wrong.slot) + " (" +
                    displayText(Language, fatText(scratch.entries[wrong.slot - 1].brand)) +
                    "): " + wrongEntryText(wrong, scratch, SectorCount));
  if (!CartridgeJudgement.sound() && parsed.entriesIgnored == 0)
    Memo1_Lines_Add("FAT damaged: installation refused; only the wrong entries can be removed");

  CartridgeCatalogue = scratch;
  LastReadCatalogue = scratch;
  LastFatSector = sector;
  CartridgeCatalogueState = parsed.entriesIgnored > 0    ? CatalogueState::EntriesIgnored
                            : CartridgeJudgement.sound() ? CatalogueState::Readable
                                                         : CatalogueState::Damaged;
  // Pruning frees every sector no entry owns: with entries ignored it would
  // free the sectors of software that is still on the cartridge.
  if (ModuleGeneration == OstrelIV && CartridgeCatalogueState == CatalogueState::Readable) {
    const std::vector<SectorRun> runs = liveSectorRuns(CartridgeCatalogue);
    pruneMappingTable(MappingTable, runs, SectorCount);
  }
  if (ModuleGeneration == OstrelIV) {
    CartridgePhysicalInUse.assign(MappingTable.physicalSectorInUse.begin(),
                                  MappingTable.physicalSectorInUse.begin() + SectorCount + 1);
  }
  CompactionBackup.Clear();  // read from the cartridge as it was before
  CompactionBackupRead.clear();

  Form_Wait.Close();
  Memo1_Lines_Add(Prompt(Msg::ReadOk));
  StaticText_Status1.text.clear();
  StaticText_Status2.text = Prompt(Msg::ReadOk);

  NewlyAdded.fill(false);
  ItemFAT_OUT();
  Function_FatDelIN();
  FatFreshRead = true;
  return true;
}

void TForm_MAIN::Function_FATRefresh(MemoryStream& image, int relocate) {
  // Relocation moves mapping words only; without a mapping table (before
  // Ostrel IV) it would move catalogue entries away from their data.
  ::ostrel::MappingTable* table =
      relocate == 1 && ModuleGeneration == OstrelIV ? &MappingTable : nullptr;
  const int language = Language;
  const LegacyTextConverter convert = [language](std::string_view in, std::string& out) {
    return legacyToUtf8(language, in, out);
  };
  const FatRefreshResult refreshed = refreshFat(CartridgeCatalogue, table, SectorCount, convert);

  if (image.Size() < 2 * kSectorSize) image.SetSize(2 * kSectorSize);
  image.Seek(kSectorSize);
  image.Write(refreshed.sector);
  if (BlockRecord* record = blockRecordAt(BlockTable, 1)) {
    record->sum = refreshed.check.sum;
    record->xorValue = refreshed.check.xorValue;
    // Whatever was planned for sector 1 before, it now receives this FAT.
    record->source = SectorSource::FlashImage;
  }
}

bool TForm_MAIN::catalogueChangeAllowed(bool onlyWrongEntriesRemoved) {
  const size_t language = Language >= 0 && Language < 4 ? size_t(Language) : 0;
  const char* why = nullptr;
  switch (CartridgeCatalogueState) {
    case CatalogueState::Readable:
      return true;
    case CatalogueState::Damaged:
      if (onlyWrongEntriesRemoved) return true;
      why = kDamagedText[language];
      break;
    case CatalogueState::NotRead:
    case CatalogueState::Unreadable:
      why = kUnreadableText[language];
      break;
    case CatalogueState::EntriesIgnored:
      why = kEntriesIgnoredText[language];
      break;
  }
  Memo1_Lines_Add(why);
  LastOutcome.settle(false, why);
  host.messageBox(Msg::CatalogueUnchangeable, why, WindowCaption, MsgBoxKind::Warning,
                  MsgBoxButtons::Ok);
  return false;
}

}  // namespace ostrel
