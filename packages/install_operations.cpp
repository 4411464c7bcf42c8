// Installing the selected packages onto the cartridge: the plan of where each
// piece of software goes (first fit, or the base software at sector 0), the
// compactions that gather fragmented free space, and the backup they read.
// Nothing is written to the module here; the program sequence carries the
// plan out.
#include <algorithm>
#include <string>
#include <vector>

#include "app/busy_scope.h"
#include "app/fault_codes.h"
#include "app/file_io.h"
#include "app/form_main.h"
#include "app/prompt_table.h"
#include "app/text_helpers.h"
#include "packages/block_image.h"
#include "packages/placement.h"

namespace ostrel {

namespace {
// Message numbers of installation and compaction.
constexpr const char* kOst4MustProgramFirst =
    "空間必需重組，請先執行燒錄，燒錄步驟會自動重組空間!!!";

// A release of the base software older than the scanner takes: after a "V",
// "3" with a digit below "5" three places on, or anything below "3".
bool obdiiReleaseTooOld(const FatEntry& entry) {
  const std::string_view version = fatText(entry.version);
  if (!version.starts_with("91")) return false;
  auto at = [&](std::size_t i) { return i < version.size() ? version[i] : '\0'; };
  for (std::size_t i = 0; i < version.size(); ++i) {
    if (version[i] != 'v' && version[i] != 'V') continue;
    if ((at(i + 1) == '3' && at(i + 3) < '5') || at(i + 1) < '3') return true;
  }
  return false;
}

std::size_t liveEntries(const CartridgeCatalogue& c) {
  std::size_t n = 0;
  for (std::size_t k = 0; k < slotsInUse(c); ++k) n += c.entries[k].kind != 0 ? 1 : 0;
  return n;
}

void copyEntryFields(FatEntry& to, const FatEntry& from) {
  to.kind = from.kind;
  to.attribute = from.attribute;
  to.brand = from.brand;
  to.version = from.version;
  to.versionExtra = from.versionExtra;
  to.pathField = from.pathField;
}

// The FlashImage holds at least the first `sectors` sectors (new room blank).
void growFlashImage(MemoryStream& image, std::size_t sectors) {
  if (image.Size() < sectors * kSectorSize) {
    const std::size_t old = image.Size();
    image.SetSize(sectors * kSectorSize);
    std::fill(image.Memory() + old, image.Memory() + image.Size(), uint8_t(0xFF));
  }
}

}  // namespace

void TForm_MAIN::initInstallHandlers() {
  ClickHandlers["Button_Install"] = [this] { Button_InstallClick(); };
  ClickHandlers["Button_Copy2Card"] = [this] { Button_Copy2CardClick(); };
  ClickHandlers["Button1"] = [this] { Button1Click(); };
}

void TForm_MAIN::Button_Copy2CardClick() {
  Button_InstallClick();
}

void TForm_MAIN::Button1Click() {
  Button_InstallClick();
}

// ---------------------------------------------------------------- the selection

void TForm_MAIN::Button_InstallClick() {
  bool anySelected = false;
  for (const ListItem& item : ListView_FAT_IN.items) anySelected = anySelected || item.selected;
  if (!anySelected) {
    if (!catalogueChangeAllowed()) return;
    Button_SelectAll_INClick();  // which shows the new total too
  }
  Selection selection{TreeView_FAT_IN.selected, {}};
  for (const ListItem& item : ListView_FAT_IN.items)
    if (item.selected && item.subItems.size() > 2) selection.items.push_back(item.subItems[2]);
  Function_Install(selection);
}

Outcome TForm_MAIN::Function_Install(const Selection& selection) {
  LastOutcome = {};
  std::vector<int> taken;
  for (const std::string& hidden : selection.items)
    for (int r : rowsOfItem(SelectionRows, hidden)) taken.push_back(r);
  auto rowName = [this](int r) {
    return displayText(Language, SelectionRows[std::size_t(r)].name);
  };
  auto noneInstalled = [&](const std::string& why) {
    for (int r : taken) LastOutcome.notDoneItem(rowName(r), why);
    LastOutcome.settle(false, why);
    return LastOutcome;
  };
  if (!catalogueChangeAllowed()) return noneInstalled(LastOutcome.message);
  if (selection.items.size() + CartridgeRows.size() >= 256) {
    host.messageBox(Msg::TooManyFiles, Prompt(Msg::TooManyFiles), WindowCaption, MsgBoxKind::Error,
                    MsgBoxButtons::Ok);
    return noneInstalled(Prompt(Msg::TooManyFiles));
  }
  std::vector<std::string> overLimit;
  if (file_number_limited_check(&selection, &overLimit)) {
    std::string why;
    for (const std::string& text : overLimit) why += (why.empty() ? "" : "; ") + text;
    return noneInstalled(why);
  }

  startPlanAfterFreshRead();

  unsigned required = 0;
  for (int r : taken) required += SelectionRows[std::size_t(r)].units;
  if (Function_FreeSpace() < required) {
    host.messageBox(Msg::NotEnoughSpace, Prompt(Msg::NotEnoughSpace), WindowCaption,
                    MsgBoxKind::Error, MsgBoxButtons::Ok);
    ItemFAT_OUT();
    ItemFAT_IN();
    return noneInstalled(Prompt(Msg::NotEnoughSpace));
  }

  // The base software first, then the rest, each in the order taken. A
  // refused row ends its pass: the rows after it are not planned.
  for (bool basePass : {true, false}) {
    std::string stopped;
    for (int r : taken) {
      const CatalogueRow& row = SelectionRows[std::size_t(r)];
      if (row.name.starts_with(kObdiiText) != basePass) continue;
      if (!stopped.empty()) {
        LastOutcome.notDoneItem(rowName(r), stopped);
        continue;
      }
      std::string why;
      if (!Function_FATADD(uint16_t(r), &why)) {
        stopped = why;
        LastOutcome.notDoneItem(rowName(r), why);
        continue;
      }
      for (uint16_t slot : row.entries) InstalledMarks[slot] = true;
      if (why.empty())
        LastOutcome.done.push_back({rowName(r), {}});
      else
        LastOutcome.notDoneItem(rowName(r), why);
    }
  }

  ItemFAT_OUT();
  ItemFAT_IN();
  showPlannedChange();
  if (BuildMode != CustomerBuild) {
    for (Button* b : {&Button_Program, &Button_Verify, &Button_Auto}) b->enabled = true;
    Button_CHECK.enabled = ModuleGeneration <= OstrelII;
    LastOutcome.settle(true, {});  // planned; the engineer writes it
    return LastOutcome;
  }

  // The same write removal runs, so a front-end that carries the plan out
  // itself (or only shows it) takes both through one hook.
  if (!writePlannedChange(Msg::ProgramFail, Msg::ProgramOk)) {
    LastOutcome.undo(Prompt(Msg::ProgramFail));
    return LastOutcome;
  }
  LastOutcome.settle(true, Prompt(Msg::ProgramOk));
  const MsgBoxResult exit =
      host.messageBox(Msg::Exit, Prompt(Msg::ProgramOk) + Prompt(Msg::Exit), WindowCaption,
                      MsgBoxKind::Information, MsgBoxButtons::YesNo);
  if (exit == MsgBoxResult::Yes) {
    SetStepPanel(4);
    for (ProgressBar* p :
         {&ProgressBar1, &ProgressBar_CHECK, &ProgressBar3, &ProgressBar_LOAD, &ProgressBar4})
      p->reset();
    Button_Cus_LoadFile.enabled = Button_Copy2Card.enabled = Button1.enabled = false;
  } else {
    backToLoadStep();
  }
  return LastOutcome;
}

// ---------------------------------------------------------------- one row

bool TForm_MAIN::Function_FATADD(uint16_t rowIndex, std::string* whyNot) {
  if (rowIndex >= SelectionRows.size()) return true;
  const CatalogueRow& row = SelectionRows[rowIndex];
  const FatEntry& first = LoadedCatalogue.entries[row.entries.front() - 1];
  const uint16_t block = first.startSector;
  const uint16_t n = first.sectorCount;
  auto warn = [&](int message, const std::string& text, MsgBoxKind kind) {
    if (whyNot) *whyNot = text;
    host.messageBox(message, text, WindowCaption, kind, MsgBoxButtons::Ok);
  };
  auto refuse = [&](int message, const std::string& text, MsgBoxKind kind) {
    warn(message, text, kind);
    ItemFAT_OUT();
    return false;
  };
  auto refuseWith = [&](int message, MsgBoxKind kind) {
    return refuse(message, Prompt(message), kind);
  };

  bool replaceBase = false;
  if (row.name.starts_with(kObdiiText)) {
    if (obdiiReleaseTooOld(first)) {
      LastOutcome.fault(FaultCode::k0020);
      warn(Msg::VersionTooOld,
           Prompt(Msg::VersionTooOld) + " " + Prompt(Msg::FaultPrefix) +
               std::string(FaultCode::k0020),
           MsgBoxKind::Warning);
      return true;
    }
    replaceBase =
        liveEntries(CartridgeCatalogue) == 0 ||
        host.messageBox(Msg::Overwrite, Prompt(Msg::Overwrite) + std::string(kObdiiText) + " ??",
                        WindowCaption, MsgBoxKind::Information,
                        MsgBoxButtons::YesNo) == MsgBoxResult::Yes;
  }
  if (!replaceBase && liveEntries(CartridgeCatalogue) == 0)
    return refuseWith(Msg::NoSystemFile, MsgBoxKind::Error);

  for (const CatalogueRow& there : CartridgeRows) {
    if (there.name != row.name || there.versionText != row.versionText) continue;
    const std::string question =
        displayText(Language, fatText(first.brand)) + Prompt(Msg::AlreadyThere);
    if (host.messageBox(Msg::AlreadyThere, question, WindowCaption, MsgBoxKind::Information,
                        MsgBoxButtons::YesNo) != MsgBoxResult::Yes) {
      if (whyNot) *whyNot = "declined: " + question;
      LastOutcome.declined = true;
      ItemFAT_OUT();
      return true;
    }
    break;
  }

  if (replaceBase) ObdiiTooOld = false;
  if (ObdiiTooOld) {
    LastOutcome.fault(FaultCode::k0021);
    warn(Msg::ObdiiTooOld,
         Prompt(Msg::ObdiiTooOld) + " " + Prompt(Msg::FaultPrefix) + std::string(FaultCode::k0021),
         MsgBoxKind::Warning);
    return true;
  }

  // The data must be there: a package whose entry points past its blocks
  // would plan sectors from nothing.
  if (n == 0 || (std::size_t(block) + n) * kSectorSize > PackageImage.Size() || n > SectorCount)
    return refuseWith(Msg::NotEnoughSpace, MsgBoxKind::Error);

  uint32_t target = 0;
  if (replaceBase) {
    if (CartridgeCatalogue.header.entryCount <= 1) {
      CartridgeCatalogue.header.entryCount = 1;
    } else if (baseNeedsRoom(CartridgeCatalogue, n)) {
      if (ModuleGeneration == OstrelIV)
        return refuse(Msg::MustProgramFirst, kOst4MustProgramFirst, MsgBoxKind::Information);
      host.messageBox(Msg::MustAdjust, Prompt(Msg::MustAdjust), WindowCaption,
                      MsgBoxKind::Information, MsgBoxButtons::Ok);
      MemoryStream adjusted = Function_SpaceDescendAdj(FlashImage);
      if (adjusted.Size() == 0) return refuseWith(Msg::AdjustFail, MsgBoxKind::Error);
      FlashImage = std::move(adjusted);
      // The base software grows into the space behind it, which must now hold it.
      const auto next = nextEntryAbove(CartridgeCatalogue, 0);
      if (next && CartridgeCatalogue.entries[*next].startSector < n)
        return refuseWith(Msg::NotEnoughSpace, MsgBoxKind::Error);
    }
    FatEntry& base = CartridgeCatalogue.entries[0];
    copyEntryFields(base, first);
    base.startSector = 0;
    base.sectorCount = n;
    NewlyAdded[1] = true;
  } else {
    if (CartridgeCatalogue.header.entryCount + row.entries.size() > kFatMaxEntries)
      return refuseWith(Msg::TooManyFiles, MsgBoxKind::Error);
    target = firstFit(CartridgeCatalogue, n).start;
    if (target + n > SectorCount) {
      if (ModuleGeneration == OstrelIV)
        return refuse(Msg::MustProgramFirst, kOst4MustProgramFirst, MsgBoxKind::Information);
      host.messageBox(Msg::MustAdjust, Prompt(Msg::MustAdjust), WindowCaption,
                      MsgBoxKind::Information, MsgBoxButtons::Ok);
      MemoryStream adjusted = Function_SpaceAscendAdj(FlashImage);
      if (adjusted.Size() == 0) return refuseWith(Msg::AdjustFail, MsgBoxKind::Error);
      FlashImage = std::move(adjusted);
      target = firstFit(CartridgeCatalogue, n).start;
      // Even gathered, the free space may not hold it: nothing is planned
      // beyond the cartridge.
      if (target + n > SectorCount) return refuseWith(Msg::NotEnoughSpace, MsgBoxKind::Error);
    }
    for (uint16_t slot : row.entries) {
      const std::size_t k = CartridgeCatalogue.header.entryCount;
      FatEntry& added = CartridgeCatalogue.entries[k];
      const FatEntry& loaded = LoadedCatalogue.entries[slot - 1];
      added = FatEntry{};
      copyEntryFields(added, loaded);
      added.startSector = uint16_t(target);
      added.sectorCount = loaded.sectorCount;
      NewlyAdded[k + 1] = true;
      CartridgeCatalogue.header.entryCount = uint16_t(k + 1);
    }
  }

  // The sectors: each from its block of the PackageImage; the base
  // software's first sectors also go into the FlashImage.
  for (uint16_t f = 0; f < n; ++f) {
    BlockRecord* record = blockRecordAt(BlockTable, target + f);
    if (!record) break;
    const std::span<const uint8_t> data(
        PackageImage.Memory() + (std::size_t(block) + f) * kSectorSize, kSectorSize);
    planSectorWrite(*record, data, true, uint16_t(block + f));
    record->writeFlag = isBlank(data) ? 0 : 1;
    if (target <= 1) {
      growFlashImage(FlashImage, target + f + 1);
      std::copy(data.begin(), data.end(), FlashImage.Memory() + (target + f) * kSectorSize);
    }
  }
  return true;
}

// ---------------------------------------------------------------- compaction

MemoryStream TForm_MAIN::Function_BACKUP() {
  return readSoftware(nullptr);
}

MemoryStream TForm_MAIN::readSoftware(const std::vector<bool>* only) {
  BusyScope busy(*this);
  MemoryStream backup;
  backup.SetSize(std::size_t(SectorCount) * kSectorSize);
  std::fill(backup.Memory(), backup.Memory() + backup.Size(), uint8_t(0xFF));
  CompactionBackupRead.assign(SectorCount, false);
  const ::ostrel::CartridgeCatalogue& read = LastReadCatalogue;
  const std::size_t count = slotsInUse(read);
  bool ok = true;
  for (std::size_t d = 0; d < count && ok; ++d) {
    const FatEntry& e = read.entries[d];
    if (e.kind == 0) continue;
    for (uint32_t s = e.startSector; s < uint32_t(e.startSector) + e.sectorCount && ok; ++s) {
      // Aliases share their sectors; sectors nobody asked for are skipped.
      if (s >= SectorCount || CompactionBackupRead[s] || (only && !(*only)[s])) continue;
      Function_ReadSector(uint16_t(s), false);
      ok = ReadBuffer.Size() == kSectorSize;
      if (ok) std::copy_n(ReadBuffer.Memory(), kSectorSize, backup.Memory() + s * kSectorSize);
      CompactionBackupRead[s] = ok;
    }
    Form_Wait.ProgressBar_Wait.setFraction(d + 1, count);
    clock.processEvents();
  }
  if (!ok) {
    backup.Clear();
    CompactionBackupRead.clear();
  }
  return backup;
}

MemoryStream TForm_MAIN::Function_SpaceAscendAdj(const MemoryStream& input) {
  return compactSpace(input, true);
}

MemoryStream TForm_MAIN::Function_SpaceDescendAdj(const MemoryStream& input) {
  return compactSpace(input, false);
}

MemoryStream TForm_MAIN::compactSpace(const MemoryStream& input, bool ascending) {
  const bool backupFiles =
      BuildMode == DebugBuild &&
      host.messageBox(Msg::BackupQuestion, Prompt(Msg::BackupQuestion), WindowCaption,
                      MsgBoxKind::Information, MsgBoxButtons::YesNo) == MsgBoxResult::Yes;
  const bool wasEnabled = WindowEnabled;
  SetWindowEnabled(false);
  Form_Wait.Show();
  Form_Wait.Label_WaitInfo.text = Prompt(Msg::Adjusting);
  auto finish = [&](MemoryStream result) {
    Form_Wait.Close();
    SetWindowEnabled(wasEnabled);
    return result;
  };

  auto working = std::make_unique<::ostrel::CartridgeCatalogue>(CartridgeCatalogue);
  std::vector<BlockRecord> table = BlockTable;
  const std::vector<SoftwareMove> moves =
      ascending ? ascendingPass(*working, table) : descendingPass(*working, table, SectorCount);
  // Only the software that moves is read back, unless a backup of all of it
  // was asked for.
  std::vector<bool> moving(SectorCount, false);
  for (const SoftwareMove& m : moves)
    for (uint32_t s = m.from; s < uint32_t(m.from) + m.count && s < moving.size(); ++s)
      moving[s] = !m.pending;
  MemoryStream backup = readSoftware(backupFiles ? nullptr : &moving);
  if (backup.Size() == 0) return finish({});
  if (backupFiles) {
    const std::string base = host.programDirectory() + ModuleSerialText + "_BACKUP";
    std::string error;
    if (!writeWholeFile(base + ".BN", BINtoBN(backup).Bytes(), &error) ||
        !writeWholeFile(base + ".DBG", backup.Bytes(), &error)) {
      // Asked for and not written: nothing is moved without it.
      Memo1_Lines_Add(error);
      host.messageBox(Msg::BackupNotWritten, error, WindowCaption, MsgBoxKind::Error,
                      MsgBoxButtons::Ok);
      return finish({});
    }
  }

  MemoryStream image;
  image.SetSize(std::size_t(SectorCount) * kSectorSize);
  std::fill(image.Memory(), image.Memory() + image.Size(), uint8_t(0xFF));
  // Planned data as the sector-data rule gives it, from the image handed in.
  const PlannedData planned = [this, &input](uint16_t s) -> const uint8_t* {
    const BlockRecord* r = blockRecordAt(BlockTable, s);
    if (!r) return nullptr;
    if (r->source == SectorSource::FlashImage) {
      const std::size_t at = std::size_t(s) * kSectorSize;
      return input.Size() >= at + kSectorSize ? input.Memory() + at : nullptr;
    }
    return plannedSectorData(s);
  };
  if (!applyMoves(moves, backup.Bytes(), planned, std::span<uint8_t>(image.Memory(), image.Size()),
                  table))
    return finish({});
  CartridgeCatalogue = *working;
  BlockTable = std::move(table);
  // The burn that carries this out keeps the old content of what it overwrites.
  CompactionBackup = std::move(backup);
  Form_Wait.ProgressBar_Wait.toMax();
  ShowStatus1(Prompt(Msg::Adjusted));
  return finish(std::move(image));
}

}  // namespace ostrel
