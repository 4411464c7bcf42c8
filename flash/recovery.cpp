// Burns that do not finish: the journal a burn keeps of what it overwrites,
// and at the next connection to the module the verdict on what it left and
// the offer to repair it.
#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/file_io.h"
#include "app/form_main.h"
#include "flash/burn_journal_file.h"
#include "link/identify.h"

namespace ostrel {

namespace {

constexpr uint8_t kOst3 = 2, kOst4 = 3;
// The largest journal: a whole 2048-sector cartridge of old content and change.
constexpr uint64_t kLargestJournal = 2100ull * 65600ull;

// The question, in the four languages.
constexpr const char* kRepairQuestion[4] = {
    "The last burn on this cartridge was interrupted and may have left software damaged. Repair "
    "the cartridge from the copy kept before that burn?",
    "此軟體匣上次的燒錄被中斷，軟體可能已損壞。要用燒錄前保存的備份修復軟體匣嗎？",
    "此软件匣上次的烧录被中断，软件可能已损坏。要用烧录前保存的备份修复软件匣吗？",
    "このカートリッジへの前回の書き込みが中断され、ソフトウェアが破損している可能性があります。"
    "書き込み前に保存したコピーからカートリッジを修復しますか？",
};

std::array<uint8_t, 4> moduleId(const TForm_MAIN& f) {
  return {f.ModuleIdentity[4], f.ModuleIdentity[5], f.ModuleIdentity[6], f.ModuleIdentity[7]};
}

// Sectors holding software as the cartridge was last read.
std::vector<bool> sectorsInUse(const TForm_MAIN& f) {
  std::vector<bool> used(f.SectorCount, false);
  const CartridgeCatalogue& c = f.LastReadCatalogue;
  for (std::size_t k = 0; k < std::min<std::size_t>(c.header.entryCount, kFatMaxEntries); ++k) {
    const FatEntry& e = c.entries[k];
    if (e.kind == 0) continue;
    for (uint32_t s = e.startSector; s < uint32_t(e.startSector) + e.sectorCount; ++s)
      if (s < used.size()) used[s] = true;
  }
  return used;
}

}  // namespace

std::string TForm_MAIN::burnJournalPath() {
  return host.programDirectory() + idHexText(ModuleIdentity) + "_BURN.JOURNAL";
}

std::vector<uint16_t> TForm_MAIN::orderForBurn(const std::vector<uint16_t>& sectors) {
  if (ModuleGeneration == kOst4) return sectors;  // nothing is overwritten in place
  // Sectors that hold no software (nor share a block with any) go first: the
  // time in which the old FAT lists software that is already overwritten
  // then spans only the writes that overwrite, and the FAT right after them.
  const std::vector<bool> used = sectorsInUse(*this);
  auto touchesSoftware = [&](uint16_t s) {
    const bool own = s < used.size() && used[s];
    const uint16_t partner = uint16_t(s ^ 1);
    return own || (ModuleGeneration == kOst3 && partner < used.size() && used[partner]);
  };
  std::vector<uint16_t> ordered = sectors;
  std::stable_partition(ordered.begin(), ordered.end(),
                        [&](uint16_t s) { return !touchesSoftware(s); });
  return ordered;
}

bool TForm_MAIN::startBurnJournal(BurnJournalFile& journal, const std::vector<uint16_t>& sectors,
                                  bool fatToo) {
  std::string error;
  if (!journal.create(burnJournalPath(),
                      journalStart(ModuleGeneration, SectorCount, moduleId(*this)), &error)) {
    Memo1_Lines_Add(error);
    return false;
  }
  bool ok = true;
  if (LastFatSector.size() == kSectorSize)
    ok = journal.add(JournalRecord::OldFat, 1, LastFatSector);
  if (ModuleGeneration == kOst4) {
    // Nothing on the cartridge is overwritten but the table itself.
    return ok && journal.add(JournalRecord::OldTable, 0, LastMappingImage);
  }
  // The old content of every sector with software that the burn may
  // overwrite (with blocks of two, also the neighbour of each written sector).
  const std::vector<bool> used = sectorsInUse(*this);
  std::vector<bool> touched(SectorCount, false);
  auto touch = [&](uint32_t s) {
    if (s < touched.size()) touched[s] = true;
  };
  for (uint16_t s : sectors) {
    touch(s);
    if (ModuleGeneration == kOst3) touch(s ^ 1u);
  }
  if (fatToo) {
    touch(1);
    if (ModuleGeneration == kOst3) touch(0);
  }
  for (uint32_t s = 0; s < SectorCount && ok; ++s) {
    if (!touched[s] || !used[s] || s == 1) continue;
    const uint8_t* old = nullptr;
    if (s < CompactionBackupRead.size() && CompactionBackupRead[s] &&
        CompactionBackup.Size() >= (s + 1) * kSectorSize) {
      old = CompactionBackup.Memory() + s * kSectorSize;
    } else {
      Function_ReadSector(uint16_t(s), false);
      if (ReadBuffer.Size() == kSectorSize) old = ReadBuffer.Memory();
    }
    ok = old && journal.add(JournalRecord::OldSector, uint16_t(s),
                            std::span<const uint8_t>(old, kSectorSize));
  }
  if (!ok) {
    Memo1_Lines_Add("The copy of what the burn overwrites could not be kept: nothing was written");
    journal.remove();
  }
  return ok;
}

bool TForm_MAIN::resolveInterruptedBurn(bool tablesRead) {
  const std::string path = burnJournalPath();
  std::vector<uint8_t> bytes;
  std::string error;
  if (readWholeFile(path, bytes, kLargestJournal, &error) != FileReadResult::Ok) return tablesRead;
  const std::optional<BurnJournal> journal = decodeJournal(bytes);
  bytes.clear();
  bytes.shrink_to_fit();
  if (!journal || journal->generation != ModuleGeneration || journal->sectorCount != SectorCount ||
      journal->module != moduleId(*this)) {
    Memo1_Lines_Add(path + " does not belong to this module: left as it is");
    return tablesRead;
  }
  const std::span<const uint8_t> fatNow =
      tablesRead ? std::span<const uint8_t>(LastFatSector) : std::span<const uint8_t>();
  if (judgeBurn(*journal, fatNow, ModuleGeneration >= kOst3) == BurnVerdict::Intact) {
    Memo1_Lines_Add("The last burn on this module left its software intact");
    std::remove(path.c_str());
    return tablesRead;
  }
  Memo1_Lines_Add("The last burn on this module was interrupted: software may be damaged");
  const std::size_t language = Language >= 0 && Language < 4 ? std::size_t(Language) : 0;
  if (host.messageBox(kRepairQuestion[language], WindowCaption, MsgBoxKind::Question,
                      MsgBoxButtons::YesNo) != MsgBoxResult::Yes) {
    // Until it is repaired, nothing more is written over what may be damaged.
    CartridgeCatalogueState = CatalogueState::Unreadable;
    return tablesRead;
  }
  if (!repairFromJournal(*journal)) {
    Memo1_Lines_Add("Repair failed: the copy stays in " + path);
    CartridgeCatalogueState = CatalogueState::Unreadable;
    return tablesRead;
  }
  Memo1_Lines_Add("Repaired from " + path);
  std::remove(path.c_str());
  bool ok = true;
  if (ModuleGeneration == kOst4 && readMappingTable) ok = readMappingTable();
  if (ok && readFat) ok = readFat();
  return ok;
}

bool TForm_MAIN::repairFromJournal(const BurnJournal& journal) {
  const bool wasRunning = OperationRunning;
  OperationRunning = true;
  bool ok = true;
  if (ModuleGeneration == kOst4) {
    const std::vector<uint8_t>& table = tableToRestore(journal);
    ok = table.size() == kMappingImageBytes;
    if (ok) {
      MappingImage.Clear();
      MappingImage.Write(table);
      ok = Function_ProgramSector(kMappingTableSectorLow, true, false) &&
           Function_ProgramSector(kMappingTableSectorHigh, true, false);
    }
    OperationRunning = wasRunning;
    return ok;
  }
  // Every sector the burn may have damaged gets its old content back, the
  // FAT last: a plan of its own, written like any other.
  std::map<uint16_t, std::vector<uint8_t>> sectors = journal.oldSectors;
  if (journal.oldFat.size() == kSectorSize) sectors[1] = journal.oldFat;
  const uint16_t top = sectors.empty() ? 0 : uint16_t(sectors.rbegin()->first + 1);
  FlashImage.Clear();
  FlashImage.SetSize(std::size_t(top) * kSectorSize);
  ResetBlockTable();
  for (const auto& [s, data] : sectors) {
    BlockRecord* record = blockRecordAt(BlockTable, s);
    if (!record || data.size() != kSectorSize) continue;
    std::copy(data.begin(), data.end(), FlashImage.Memory() + std::size_t(s) * kSectorSize);
    planFlashImageWrite(*record, data, true);
  }
  for (const auto& [s, data] : sectors) {
    if (s == 1) continue;
    ok = ok && Function_ProgramSector(s, false, false);
  }
  if (sectors.count(1)) ok = ok && Function_ProgramSector(1, false, true);
  ResetBlockTable();
  FlashImage.Clear();
  OperationRunning = wasRunning;
  return ok;
}

}  // namespace ostrel
