// Burns that do not end: the journal a burn keeps of what it overwrites and
// what it plans to write, and, at the next connection to the module or
// before the next burn, the verdict on what it left and the repair.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/busy_scope.h"
#include "app/file_io.h"
#include "app/form_main.h"
#include "app/prompt_table.h"
#include "app/text_helpers.h"
#include "flash/burn_journal_file.h"
#include "link/identify.h"

namespace ostrel {

namespace {

// The question, in the four languages.
constexpr const char* kRepairQuestion[4] = {
    "The last burn on this cartridge was interrupted and may have left software damaged. Repair "
    "the cartridge from the copy kept before that burn?",
    "此軟體匣上次的燒錄被中斷，軟體可能已損壞。要用燒錄前保存的備份修復軟體匣嗎？",
    "此软件匣上次的烧录被中断，软件可能已损坏。要用烧录前保存的备份修复软件匣吗？",
    "このカートリッジへの前回の書き込みが中断され、ソフトウェアが破損している可能性があります。"
    "書き込み前に保存したコピーからカートリッジを修復しますか？",
};
// The cartridge changed since the burn: {} is where the journal is kept.
constexpr const char* kStaleText[4] = {
    "This cartridge has changed since the burn that was interrupted on this computer. That "
    "burn's copy was not applied and nothing on the cartridge was touched. The journal of that "
    "burn is kept in {}.",
    "自本電腦上次被中斷的燒錄之後，此軟體匣已被變更。未套用該次燒錄的備份，軟體匣上的內容均未被更動"
    "。該次燒錄的記錄保存在 {}。",
    "自本电脑上次被中断的烧录之后，此软件匣已被更改。未套用该次烧录的备份，软件匣上的内容均未被改动"
    "。该次烧录的记录保存在 {}。",
    "このコンピューターで中断された書き込みの後、このカートリッジは変更されています。その書き込みの"
    "コピーは適用せず、カートリッジには何も書き込んでいません。その書き込みの記録は {} "
    "に保存されています。",
};
// The journal is damaged or names another module.
constexpr const char* kUnfitText[4] = {
    "The journal of the last burn on this module is damaged or does not belong to it. It was not "
    "applied and nothing on the cartridge was touched; if that burn was interrupted, software on "
    "the cartridge may be damaged. The journal is kept in {}.",
    "此模組上次燒錄的記錄已損壞或不屬於此模組，未予套用，軟體匣上的內容均未被更動；若該次燒錄曾被中"
    "斷"
    "，軟體匣上的軟體可能已損壞。記錄保存在 {}。",
    "此模块上次烧录的记录已损坏或不属于此模块，未予套用，软件匣上的内容均未被改动；若该次烧录曾被中"
    "断"
    "，软件匣上的软件可能已损坏。记录保存在 {}。",
    "このモジュールの前回の書き込みの記録は破損しているか、このモジュールのものではありません。適用"
    "せず、カートリッジには何も書き込んでいません。その書き込みが中断されていた場合、カートリッジの"
    "ソフトウェアが破損している可能性があります。記録は {} に保存されています。",
};
// Software the journal cannot show intact nor repair: the names, then where
// the journal is kept.
constexpr const char* kCannotShowText[4] = {
    "The last burn on this cartridge was interrupted, and its journal can neither show that this "
    "software is intact nor repair it: {}. Install it again if it does not work. The journal is "
    "kept in {}.",
    "此軟體匣上次的燒錄被中斷，其記錄無法證明下列軟體完好，也無法修復：{}"
    "。若軟體無法正常使用，請重新"
    "安裝。記錄保存在 {}。",
    "此软件匣上次的烧录被中断，其记录无法证明下列软件完好，也无法修复：{}"
    "。若软件无法正常使用，请重新"
    "安装。记录保存在 {}。",
    "このカートリッジへの前回の書き込みは中断され、その記録では次のソフトウェアが無傷であることを示"
    "せず"
    "、修復もできません：{}。正常に動作しない場合は再インストールしてください。記録は {} "
    "に保存されています。",
};
constexpr const char* kAllSoftware[4] = {"the software on this cartridge", "此軟體匣上的軟體",
                                         "此软件匣上的软件", "このカートリッジのソフトウェア"};
// The folder, then the bytes the journal needs.
constexpr const char* kNoSpaceText[4] = {
    "Not enough free space in {} for the journal of this burn: {} bytes are needed. Nothing was "
    "written to the cartridge.",
    "{} 的可用空間不足以存放此次燒錄的記錄：需要 {} 位元組。未寫入任何資料至軟體匣。",
    "{} 的可用空间不足以存放此次烧录的记录：需要 {} 字节。未写入任何数据至软件匣。",
    "{} の空き容量が不足しているため、この書き込みの記録を保存できません：{} "
    "バイト必要です。カートリッジには何も書き込んでいません。",
};

// The text with each "{}" replaced by the next value.
std::string filled(const char* text, const std::vector<std::string>& values) {
  std::string out = text;
  std::size_t at = 0;
  for (const std::string& v : values) {
    at = out.find("{}", at);
    if (at == std::string::npos) break;
    out.replace(at, 2, v);
    at += v.size();
  }
  return out;
}

std::size_t languageIndex(int language) {
  return language >= 0 && language < 4 ? std::size_t(language) : 0;
}

bool fileExists(const std::string& path) {
  return ::access(path.c_str(), F_OK) == 0;
}

// Moves a journal out of the way under a name of its own, never over
// another file; the new name, or empty when it could not be moved (it then
// stays where it was).
std::string setAside(const std::string& path) {
  for (int n = 1; n < 1000; ++n) {
    const std::string kept = path + ".KEPT-" + std::to_string(n);
    if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, kept.c_str(), RENAME_NOREPLACE) == 0)
      return kept;
    if (errno == EEXIST) continue;
    // A file system without the no-replace rename: the name is free as far as can be seen.
    if ((errno == EINVAL || errno == ENOSYS) && !fileExists(kept) &&
        ::rename(path.c_str(), kept.c_str()) == 0)
      return kept;
    break;
  }
  return {};
}

// Sectors that hold software in a catalogue.
std::vector<bool> sectorsInUse(const CartridgeCatalogue& c, uint16_t sectorCount) {
  std::vector<bool> used(sectorCount, false);
  for (const SectorRun& run : liveSectorRuns(c))
    for (uint32_t s = run.start; s < uint32_t(run.start) + run.count && s < sectorCount; ++s)
      used[s] = true;
  return used;
}

// "brand version" of every live entry that owns one of the sectors (all
// entries when none is named), from the FAT before the burn and the one now.
std::string softwareNames(const TForm_MAIN& f, const BurnJournal& journal,
                          const std::vector<uint16_t>& sectors) {
  auto before = std::make_unique<CartridgeCatalogue>();
  if (journal.oldFat.size() == kSectorSize) parseFatSector(journal.oldFat, f.SectorCount, *before);
  std::set<std::string> names;
  std::string out;
  const CartridgeCatalogue* const catalogues[] = {before.get(), &f.CartridgeCatalogue};
  for (const CartridgeCatalogue* c : catalogues) {
    for (std::size_t k = 0; k < slotsInUse(*c); ++k) {
      const FatEntry& e = c->entries[k];
      if (e.kind == 0) continue;
      const bool named =
          sectors.empty() || std::any_of(sectors.begin(), sectors.end(), [&](uint16_t s) {
            return s >= e.startSector && uint32_t(s) < uint32_t(e.startSector) + e.sectorCount;
          });
      const std::string name = displayText(f.Language, fatText(e.brand)) + " " +
                               displayText(f.Language, fatText(e.version));
      if (named && names.insert(name).second) out += (out.empty() ? "" : ", ") + name;
    }
  }
  return out.empty() ? kAllSoftware[languageIndex(f.Language)] : out;
}

}  // namespace

JournalKey TForm_MAIN::journalKey() const {
  return {ModuleGeneration, SectorCount, ModuleIdentity};
}

std::string TForm_MAIN::burnJournalPath() {
  return host.programDirectory() + journalFileName(journalKey());
}

std::string TForm_MAIN::legacyBurnJournalPath() {
  return host.programDirectory() + idHexText(ModuleIdentity) + "_BURN.JOURNAL";
}

bool TForm_MAIN::burnJournalPending() {
  if (fileExists(burnJournalPath())) return true;
  // A journal by the ID alone counts unless it names another module, which
  // this one must not wait for: its header says so, the rest is not read.
  FileSource file;
  std::string error;
  if (!file.open(legacyBurnJournalPath(), error)) return false;
  const std::span<const uint8_t> head =
      file.fetch(0, size_t(std::min<uint64_t>(file.size(), journalHeadBytes())));
  return !file.failed() && readJournal(head, journalKey()).fit != JournalFit::OtherModule;
}

std::vector<uint16_t> TForm_MAIN::orderForBurn(const std::vector<uint16_t>& sectors) {
  if (ModuleGeneration == OstrelIV) return sectors;  // nothing is overwritten in place
  // Sectors that hold no software (nor share a block with any) go first: the
  // time in which the old FAT lists software that is already overwritten
  // then spans only the writes that overwrite, and the FAT right after them.
  const std::vector<bool> used = sectorsInUse(LastReadCatalogue, SectorCount);
  auto touchesSoftware = [&](uint16_t s) {
    const bool own = s < used.size() && used[s];
    const uint16_t partner = uint16_t(s ^ 1);
    return own || (ModuleGeneration == OstrelIII && partner < used.size() && used[partner]);
  };
  std::vector<uint16_t> ordered = sectors;
  std::stable_partition(ordered.begin(), ordered.end(),
                        [&](uint16_t s) { return !touchesSoftware(s); });
  return ordered;
}

bool TForm_MAIN::startBurnJournal(BurnJournalFile& journal, const std::vector<uint16_t>& sectors,
                                  bool fatToo) {
  const bool ost4 = ModuleGeneration == OstrelIV;
  std::set<uint16_t> planned(sectors.begin(), sectors.end());
  const bool writesFat = fatToo || planned.count(1);
  // Ostrel I-III: the FAT sector is noted whole, as the new FAT.
  if (!ost4) planned.erase(1);

  // The sectors holding software that the burn may overwrite in place keep
  // their old content: on Ostrel I-III every written sector (with blocks of
  // two also its neighbour), on Ostrel IV the low sectors a whole-flash
  // image takes one to one.
  std::vector<uint16_t> kept;
  if (ost4) {
    for (uint16_t s : planned)
      if (ImageKind == 1 && s < kIdentitySectors && s < CartridgePhysicalInUse.size() &&
          CartridgePhysicalInUse[s])
        kept.push_back(s);
  } else {
    const std::vector<bool> used = sectorsInUse(LastReadCatalogue, SectorCount);
    std::set<uint32_t> touched;
    for (uint16_t s : sectors) {
      touched.insert(s);
      if (ModuleGeneration == OstrelIII) touched.insert(s ^ 1u);
    }
    if (writesFat) {
      touched.insert(1);
      if (ModuleGeneration == OstrelIII) touched.insert(0);
    }
    for (uint32_t s : touched)
      if (s < SectorCount && s != 1 && used[s]) kept.push_back(uint16_t(s));
  }

  JournalShape shape;
  shape.key = journalKey();
  shape.planned = uint16_t(planned.size());
  shape.kept = uint16_t(kept.size());
  shape.newFatFirst = writesFat && !ost4;
  std::string error;
  if (!journal.create(burnJournalPath(), journalStart(shape), journalBytes(shape),
                      reserveJournalSpace ? reserveJournalSpace : reserveWithFallocate, &error)) {
    Memo1_Lines_Add(error);
    if (journal.noSpace())
      host.messageBox(Msg::JournalNoSpace,
                      filled(kNoSpaceText[languageIndex(Language)],
                             {host.programDirectory(), std::to_string(journalBytes(shape))}),
                      WindowCaption, MsgBoxKind::Error, MsgBoxButtons::Ok);
    journal.remove();
    return false;
  }

  bool ok = journal.add(JournalRecord::OldFat, 1, LastFatSector);
  if (ost4) ok = ok && journal.add(JournalRecord::OldTable, 0, LastMappingImage);
  if (!ost4 && writesFat) {
    const uint8_t* fat = plannedSectorData(1);
    ok = ok && fat && journal.add(JournalRecord::NewFat, 1, {fat, kSectorSize});
  }
  const std::vector<uint8_t> blank(kSectorSize, 0xFF);
  for (uint16_t s : planned) {
    // An erase alone leaves the sector blank (Ostrel IV: unmapped).
    const BlockRecord* record = blockRecordAt(BlockTable, s);
    const uint8_t* data = record && record->writeFlag ? plannedSectorData(s) : nullptr;
    const std::vector<uint8_t> payload = digestPayload(
        data ? std::span<const uint8_t>(data, kSectorSize) : std::span<const uint8_t>(blank));
    ok = ok && journal.add(JournalRecord::NewSector, s, payload);
  }
  for (uint16_t s : kept) {
    if (!ok) break;
    const uint8_t* old = nullptr;
    if (!ost4 && s < CompactionBackupRead.size() && CompactionBackupRead[s] &&
        CompactionBackup.Size() >= (std::size_t(s) + 1) * kSectorSize) {
      old = CompactionBackup.Memory() + std::size_t(s) * kSectorSize;
    } else {
      Function_ReadSector(s, ost4);
      if (ReadBuffer.Size() == kSectorSize) old = ReadBuffer.Memory();
    }
    ok = old && journal.add(JournalRecord::OldSector, s, {old, kSectorSize});
  }
  ok = ok && journal.add(JournalRecord::Ready, 0) && journal.commit();
  if (!ok) {
    Memo1_Lines_Add("The copy of what the burn overwrites could not be kept: nothing was written");
    journal.remove();
  }
  return ok;
}

bool TForm_MAIN::resolveInterruptedBurn(bool tablesRead) {
  std::string path = burnJournalPath();
  const bool legacyName = !fileExists(path);
  if (legacyName) path = legacyBurnJournalPath();
  if (!fileExists(path)) return tablesRead;
  const std::size_t language = languageIndex(Language);

  std::vector<uint8_t> bytes;
  std::string error;
  const FileReadResult got =
      readWholeFile(path, bytes, largestJournal(ModuleGeneration, SectorCount), &error);
  if (got == FileReadResult::Failed) {
    // Not readable now: it stays for the next connection.
    Memo1_Lines_Add(error);
    return tablesRead;
  }
  JournalRead read = readJournal(bytes, journalKey());
  bytes.clear();
  bytes.shrink_to_fit();
  if (got == FileReadResult::TooLarge) {
    read.fit = JournalFit::Damaged;
    read.why = error;
  }
  if (read.fit == JournalFit::OtherModule && legacyName) {
    // A journal by the ID alone may be another module's of the same ID.
    Memo1_Lines_Add(path + " names another module with this ID: left as it is");
    return tablesRead;
  }
  if (read.fit != JournalFit::Fits) {
    const std::string kept = setAside(path);
    Memo1_Lines_Add(path + ": " + read.why + "; not applied, kept in " +
                    (kept.empty() ? path : kept));
    host.messageBox(Msg::JournalUnfit, filled(kUnfitText[language], {kept.empty() ? path : kept}),
                    WindowCaption, MsgBoxKind::Warning, MsgBoxButtons::Ok);
    return tablesRead;
  }

  const BurnJournal& journal = read.journal;
  const SectorReader readBack = [this](uint32_t sector) {
    Function_ReadSector(uint16_t(sector), true);
    return ReadBuffer.Size() == kSectorSize
               ? std::vector<uint8_t>(ReadBuffer.Bytes().begin(), ReadBuffer.Bytes().end())
               : std::vector<uint8_t>();
  };
  auto judge = [&](const BurnJournal& j) {
    BusyScope busy(*this);
    return judgeBurn(j, readBack);
  };
  const BurnJudgement judgement = judge(journal);
  Memo1_Lines_Add("Burn journal " + path + ": " + judgement.why);

  // Moves the journal aside and tells the user: the values fill the text's
  // places, the last of which names where the journal went.
  auto setAsideAndSay = [&](const char* text, std::vector<std::string> values) {
    std::string kept = setAside(path);
    if (kept.empty()) kept = path;
    values.push_back(kept);
    Memo1_Lines_Add("The journal is kept in " + kept);
    host.messageBox(Msg::JournalSetAside, filled(text, values), WindowCaption, MsgBoxKind::Warning,
                    MsgBoxButtons::Ok);
  };
  switch (judgement.verdict) {
    case BurnVerdict::Intact:
      Memo1_Lines_Add("The last burn on this module left its software intact");
      ::unlink(path.c_str());
      return tablesRead;
    case BurnVerdict::Unread:
      // Judged again at the next connection; until then nothing is written.
      Memo1_Lines_Add("The last burn on this module could not be judged now");
      CartridgeCatalogueState = CatalogueState::Unreadable;
      return tablesRead;
    case BurnVerdict::Stale:
      Memo1_Lines_Add("The cartridge changed since the last burn on it: nothing was touched");
      setAsideAndSay(kStaleText[language], {});
      return tablesRead;
    case BurnVerdict::CannotShow:
      setAsideAndSay(kCannotShowText[language], {softwareNames(*this, journal, judgement.unknown)});
      return tablesRead;
    case BurnVerdict::Damaged:
      break;
  }

  Memo1_Lines_Add("The last burn on this module was interrupted: software may be damaged");
  if (host.messageBox(Msg::RepairQuestion, kRepairQuestion[language], WindowCaption,
                      MsgBoxKind::Question, MsgBoxButtons::YesNo) != MsgBoxResult::Yes) {
    // Until it is repaired, nothing more is written over what may be damaged.
    CartridgeCatalogueState = CatalogueState::Unreadable;
    return tablesRead;
  }
  bool repaired = false;
  {
    // Each write is noted in the journal first, so that a repair cut off is
    // judged like the burn. A journal cut short takes no notes (they would
    // follow an opening that never ended): every sector it plans counts as
    // possibly half written already.
    BurnJournalFile file;
    repaired = (journal.cutShort || file.reopen(path, journal.validBytes)) &&
               repairFromJournal(journal, judgement, journal.cutShort ? nullptr : &file);
  }
  if (repaired) {
    // Repaired when the cartridge now holds a state the journal shows, read back.
    std::vector<uint8_t> again;
    repaired = readWholeFile(path, again, largestJournal(ModuleGeneration, SectorCount)) ==
               FileReadResult::Ok;
    const JournalRead reread = readJournal(again, journalKey());
    const BurnVerdict after = repaired && reread.fit == JournalFit::Fits
                                  ? judge(reread.journal).verdict
                                  : BurnVerdict::Damaged;
    repaired = after == BurnVerdict::Intact || after == BurnVerdict::CannotShow;
  }
  if (!repaired) {
    Memo1_Lines_Add("Repair failed: the copy stays in " + path);
    CartridgeCatalogueState = CatalogueState::Unreadable;
    return tablesRead;
  }
  Memo1_Lines_Add("Repaired from " + path);
  if (judgement.unknown.empty())
    ::unlink(path.c_str());
  else
    setAsideAndSay(kCannotShowText[language], {softwareNames(*this, journal, judgement.unknown)});
  bool ok = true;
  if (ModuleGeneration == OstrelIV && readMappingTable) ok = readMappingTable();
  if (ok && readFat) ok = readFat();
  return ok;
}

bool TForm_MAIN::repairFromJournal(const BurnJournal& journal, const BurnJudgement& judgement,
                                   BurnJournalFile* file) {
  auto note = [file](uint16_t sector) {
    return !file || file->add(JournalRecord::SectorBegins, sector);
  };
  BusyScope busy(*this);
  bool ok = true;
  // The FAT (Ostrel I-III) goes last, so that it lists software only once
  // the software is back.
  std::vector<uint16_t> sectors = judgement.restore;
  std::sort(sectors.begin(), sectors.end(),
            [](uint16_t a, uint16_t b) { return (a == 1) != (b == 1) ? b == 1 : a < b; });
  auto oldContent = [&](uint16_t s) -> const std::vector<uint8_t>& {
    static const std::vector<uint8_t> none;
    if (s == 1 && ModuleGeneration != OstrelIV) return journal.oldFat;
    const auto it = journal.oldSectors.find(s);
    return it == journal.oldSectors.end() ? none : it->second;
  };
  if (ModuleGeneration == OstrelIV) {
    // Sectors written in place, directly; then the table that finds them.
    for (uint16_t s : sectors) {
      const std::vector<uint8_t>& data = oldContent(s);
      MappingImage.Clear();
      MappingImage.Write(data);
      ok = ok && data.size() == kSectorSize && note(s) && Function_ProgramSector(s, true, false);
    }
    if (judgement.table != BurnJudgement::Table::None) {
      const std::vector<uint8_t>& table =
          judgement.table == BurnJudgement::Table::New ? journal.newTable : journal.oldTable;
      MappingImage.Clear();
      MappingImage.Write(table);
      ok = ok && table.size() == kMappingImageBytes && note(kMappingTableSectorLow) &&
           Function_ProgramSector(kMappingTableSectorLow, true, false) &&
           note(kMappingTableSectorHigh) &&
           Function_ProgramSector(kMappingTableSectorHigh, true, false);
    }
    return ok;
  }
  // A plan of its own, written like any other.
  const std::size_t top =
      sectors.empty() ? 0 : std::size_t(*std::max_element(sectors.begin(), sectors.end())) + 1;
  FlashImage.Clear();
  FlashImage.SetSize(std::max<std::size_t>(top, 2) * kSectorSize);
  ResetBlockTable();
  for (uint16_t s : sectors) {
    const std::vector<uint8_t>& data = oldContent(s);
    BlockRecord* record = blockRecordAt(BlockTable, s);
    ok = ok && record && data.size() == kSectorSize;
    if (!ok) break;
    std::copy(data.begin(), data.end(), FlashImage.Memory() + std::size_t(s) * kSectorSize);
    planFlashImageWrite(*record, data, true);
  }
  for (uint16_t s : sectors) ok = ok && note(s) && Function_ProgramSector(s, false, s == 1);
  ResetBlockTable();
  FlashImage.Clear();
  return ok;
}

}  // namespace ostrel
