// The two catalogue panels of the main form (rows, trees, lists, totals and
// their events) and removal from either side. The rules live in
// catalogue_view.cpp; this file moves them into the control models.
#include <algorithm>
#include <string>
#include <vector>

#include "app/form_main.h"
#include "app/prompt_table.h"
#include "app/text_helpers.h"
#include "flash/form_steps.h"

namespace ostrel {

namespace {
constexpr int kDeleteKey = 46;
// Message numbers of the views and removal.

// One side's controls and data, so both sides share every rule.
struct Side {
  CatalogueSide side;
  std::vector<CatalogueRow>& rows;
  std::vector<DirectoryNode>& tree;
  TreeView& treeView;
  ListView& listView;
};

Side cartridgeSide(TForm_MAIN& f) {
  return {CatalogueSide::Cartridge, f.CartridgeRows, f.CartridgeTree, f.TreeView_FAT_OUT,
          f.ListView_FAT_OUT};
}
Side selectionSide(TForm_MAIN& f) {
  return {CatalogueSide::Selection, f.SelectionRows, f.SelectionTree, f.TreeView_FAT_IN,
          f.ListView_FAT_IN};
}

std::vector<std::string> selectedHidden(const ListView& list) {
  std::vector<std::string> hidden;
  for (const ListItem& item : list.items)
    if (item.selected && item.subItems.size() > 2) hidden.push_back(item.subItems[2]);
  return hidden;
}

bool anySelected(const ListView& list) {
  return std::any_of(list.items.begin(), list.items.end(),
                     [](const ListItem& i) { return i.selected; });
}

void selectAll(ListView& list, bool on) {
  for (ListItem& item : list.items) item.selected = on;
  ++list.revision;
}

// Fills the list of the tree's selected node.
void fillList(TForm_MAIN& f, const Side& s) {
  s.listView.clear();
  const std::span<const bool> newlyAdded = s.side == CatalogueSide::Cartridge
                                               ? std::span<const bool>(f.NewlyAdded)
                                               : std::span<const bool>();
  for (const CatalogueItem& c :
       catalogueItems(s.rows, s.tree, s.treeView.selected, s.side, newlyAdded)) {
    ListItem item;
    item.caption = displayText(f.Language, c.caption);
    item.subItems = {displayText(f.Language, c.detail), c.space, c.hidden};
    item.data = c.row;
    if (c.highlighted) {
      item.textColor = Colors::kRed;
      item.bold = true;
    }
    s.listView.items.push_back(std::move(item));
  }
  ++s.listView.revision;
}

// Rebuilds a side from its catalogue; the selected directory, or its deepest
// ancestor that still exists, stays selected. Slots marked in standAlone get
// rows of their own.
void rebuild(TForm_MAIN& f, const Side& s, const CartridgeCatalogue& catalogue,
             const std::vector<bool>& standAlone = {}) {
  const std::vector<std::string> remembered = nodePath(s.tree, s.treeView.selected);
  s.treeView.clear();
  s.listView.clear();
  s.rows.clear();
  s.tree.clear();
  if (catalogue.header.entryCount == 0) return;
  s.rows = buildCatalogueRows(catalogue, s.side, standAlone);
  s.tree = buildDirectoryTree(s.rows, s.side == CatalogueSide::Cartridge);
  for (std::size_t n = 0; n < s.tree.size(); ++n)
    s.treeView.nodes.push_back(
        {displayText(f.Language, s.tree[n].name), s.tree[n].parent, true, int(n)});
  s.treeView.selected = findNode(s.tree, remembered);
  ++s.treeView.revision;
  fillList(f, s);
}

// A directory item's path leads to its tree node.
void openDirectory(TForm_MAIN& f, const Side& s) {
  const int focused = s.listView.itemFocused;
  if (focused < 0 || std::size_t(focused) >= s.listView.items.size()) return;
  const ListItem& item = s.listView.items[std::size_t(focused)];
  if (item.subItems.size() < 3 || !hiddenIsDirectory(item.subItems[2])) return;
  s.treeView.selected = findNode(s.tree, hiddenDirectoryNames(item.subItems[2]));
  ++s.treeView.revision;
  fillList(f, s);
}

std::string unitsText(TForm_MAIN& f, uint16_t units) {
  return std::to_string(units) + f.Prompt(Msg::Unit);
}

}  // namespace

void TForm_MAIN::initViewHandlers() {
  ClickHandlers["Button_DEL"] = [this] { Button_DELClick(); };
  ClickHandlers["Button_DeleteIN"] = [this] { Button_DeleteINClick(); };
  ClickHandlers["Button_SelectAll_OUT"] = [this] { Button_SelectAll_OUTClick(); };
  ClickHandlers["Button_ClearAll_OUT"] = [this] { Button_ClearAll_OUTClick(); };
  ClickHandlers["Button_SelectAll_IN"] = [this] { Button_SelectAll_INClick(); };
  ClickHandlers["Button_ClearAll_IN"] = [this] { Button_ClearAll_INClick(); };
  ClickHandlers["Button4"] = [this] { file_number_limited_check(); };
}

// ---------------------------------------------------------------- building

void TForm_MAIN::ItemFAT_OUT() {
  for (Button* b : {&Button_DEL, &Button_SelectAll_OUT, &Button_ClearAll_OUT}) b->enabled = false;
  StaticText_FreeSpace.text.clear();
  StaticText_TotalUseSpace.text.clear();
  // A wrong entry is listed on its own, so it can be removed without the
  // software it lies over.
  CartridgeJudgement = judgeCatalogue(CartridgeCatalogue, SectorCount);
  rebuild(*this, cartridgeSide(*this), CartridgeCatalogue, CartridgeJudgement.wrongSlots());
  if (CartridgeCatalogue.header.entryCount == 0) return;
  Button_SelectAll_OUT.enabled = true;
  StaticText_FreeSpace.text = unitsText(*this, Function_FreeSpace());
  StaticText_TotalUseSpace.text = unitsText(*this, Function_TotalUseSpace());
}

void TForm_MAIN::ItemFAT_IN() {
  for (Button* b : {&Button_Install, &Button_SelectAll_IN, &Button_ClearAll_IN, &Button_DeleteIN})
    b->enabled = false;
  StaticText_TotalSelectSpace.text.clear();
  rebuild(*this, selectionSide(*this), LoadedCatalogue);
  if (LoadedCatalogue.header.entryCount == 0) return;
  Button_SelectAll_IN.enabled = true;
  StaticText_TotalSelectSpace.text = unitsText(*this, Function_TotalSelectSpace());
}

// ---------------------------------------------------------------- events

void TForm_MAIN::TreeView_FAT_OUTChange() {
  fillList(*this, cartridgeSide(*this));
}

void TForm_MAIN::TreeView_FAT_INChange() {
  fillList(*this, selectionSide(*this));
}

void TForm_MAIN::TreeView_FAT_OUTEnter() {
  selectAll(ListView_FAT_OUT, false);
  ListView_FAT_OUT.itemFocused = -1;
  Button_DEL.enabled = true;
}

void TForm_MAIN::TreeView_FAT_INEnter() {
  selectAll(ListView_FAT_IN, false);
  ListView_FAT_IN.itemFocused = -1;
  for (Button* b : {&Button_Install, &Button_DeleteIN, &Button_Copy2Card, &Button1})
    b->enabled = true;
}

void TForm_MAIN::ListView_FAT_OUTSelectItem() {
  const bool any = anySelected(ListView_FAT_OUT);
  Button_DEL.enabled = Button_ClearAll_OUT.enabled = any;
}

void TForm_MAIN::ListView_FAT_INSelectItem() {
  if (anySelected(ListView_FAT_IN)) {
    for (Button* b :
         {&Button_Copy2Card, &Button1, &Button_Install, &Button_ClearAll_IN, &Button_DeleteIN})
      b->enabled = true;
  } else {
    for (Button* b : {&Button_Install, &Button_ClearAll_IN, &Button_DeleteIN}) b->enabled = false;
  }
  StaticText_TotalSelectSpace.text = unitsText(*this, Function_TotalSelectSpace());
}

void TForm_MAIN::ListView_FAT_OUTDblClick() {
  openDirectory(*this, cartridgeSide(*this));
}

void TForm_MAIN::ListView_FAT_INDblClick() {
  openDirectory(*this, selectionSide(*this));
}

void TForm_MAIN::ListView_FAT_OUTKeyPress(char key) {
  if (key == ' ') host.beep();
}

void TForm_MAIN::ListView_FAT_OUTKeyDown(int virtualKey) {
  if (virtualKey == kDeleteKey) Button_DELClick();
}

void TForm_MAIN::ListView_FAT_INKeyDown(int virtualKey) {
  if (virtualKey == kDeleteKey) Button_DeleteINClick();
}

void TForm_MAIN::Button_SelectAll_OUTClick() {
  selectAll(ListView_FAT_OUT, true);
  ListView_FAT_OUTSelectItem();
}

void TForm_MAIN::Button_ClearAll_OUTClick() {
  selectAll(ListView_FAT_OUT, false);
  ListView_FAT_OUTSelectItem();
}

void TForm_MAIN::Button_SelectAll_INClick() {
  selectAll(ListView_FAT_IN, true);
  ListView_FAT_INSelectItem();
}

void TForm_MAIN::Button_ClearAll_INClick() {
  selectAll(ListView_FAT_IN, false);
  ListView_FAT_INSelectItem();
}

// ---------------------------------------------------------------- totals

// Sectors, each counted once and only on the cartridge: overlapping or
// oversized entries can neither push the total past the cartridge nor wrap it.
uint16_t TForm_MAIN::Function_TotalUseSpace() {
  return usedSectorCount(CartridgeCatalogue, SectorCount);
}

uint16_t TForm_MAIN::Function_FreeSpace() {
  return uint16_t(SectorCount - Function_TotalUseSpace());
}

uint16_t TForm_MAIN::Function_TotalSelectSpace() {
  return selectedUnits(SelectionRows, selectedHidden(ListView_FAT_IN));
}

// ---------------------------------------------------------------- removal

void TForm_MAIN::startPlanAfterFreshRead() {
  if (!FatFreshRead) return;
  // The FAT sector is rebuilt from the catalogue; nothing else is written yet.
  FlashImage.Clear();
  FlashImage.SetSize(12 * kSectorSize);
  std::fill_n(FlashImage.Memory(), 2 * kSectorSize, uint8_t(0xFF));
  for (BlockRecord& r : BlockTable) {
    r.writeFlag = 0;
    r.eraseFlag = 0;
  }
  FatFreshRead = false;
}

void TForm_MAIN::Button_DELClick() {
  if (!anySelected(ListView_FAT_OUT)) selectAll(ListView_FAT_OUT, true);
  if (!anySelected(ListView_FAT_OUT)) return;
  Function_Remove({TreeView_FAT_OUT.selected, selectedHidden(ListView_FAT_OUT)});
}

Outcome TForm_MAIN::Function_Remove(const Selection& selection) {
  LastOutcome = {};
  std::vector<int> asked;
  for (const std::string& hidden : selection.items)
    for (int r : rowsOfItem(CartridgeRows, hidden))
      if (std::find(asked.begin(), asked.end(), r) == asked.end()) asked.push_back(r);
  auto rowName = [this](int r) {
    return displayText(Language, CartridgeRows[std::size_t(r)].name);
  };
  auto noneRemoved = [&](const std::string& why) {
    for (int r : asked) LastOutcome.notDoneItem(rowName(r), why);
    return LastOutcome;
  };
  // From a damaged catalogue only its wrong entries may go, each on a row of
  // its own: that changes the FAT alone.
  std::size_t wrong = 0, sound = 0;
  for (int r : asked)
    for (uint16_t slot : CartridgeRows[std::size_t(r)].entries)
      ++(CartridgeJudgement.isWrong(slot) ? wrong : sound);
  if (!catalogueChangeAllowed(wrong > 0 && sound == 0)) return noneRemoved(LastOutcome.message);

  startPlanAfterFreshRead();

  const std::string question =
      Prompt(Msg::Remove) + std::to_string(selection.items.size()) + Prompt(Msg::Items);
  if (host.messageBox(Msg::Remove, question, WindowCaption, MsgBoxKind::Information,
                      MsgBoxButtons::YesNo) != MsgBoxResult::Yes) {
    LastOutcome.declined = true;
    LastOutcome.settle(false, question);
    return noneRemoved("declined: " + question);
  }

  // The system entry (slot 1, the base software at sector 0) is never
  // removed, whether chosen on its own or inside a directory: without it the
  // next FAT rewrite would make other software entry 1, and installation
  // would take that for the base software.
  std::vector<int> removal;
  bool systemRefused = false;
  for (int r : asked) {
    if (CartridgeRows[std::size_t(r)].entries.front() == 1) {
      systemRefused = true;
      LastOutcome.notDoneItem(rowName(r), Prompt(Msg::SystemFile));
      continue;
    }
    removal.push_back(r);
  }
  // The window keeps a refused row selected only inside a chosen directory.
  for (ListItem& item : ListView_FAT_OUT.items)
    if (item.selected && item.subItems.size() > 2 && !hiddenIsDirectory(item.subItems[2]))
      for (int r : rowsOfItem(CartridgeRows, item.subItems[2]))
        if (CartridgeRows[std::size_t(r)].entries.front() == 1) item.selected = false;
  if (systemRefused)
    host.messageBox(Msg::SystemFile, Prompt(Msg::SystemFile), WindowCaption, MsgBoxKind::Error,
                    MsgBoxButtons::Ok);

  std::vector<SectorRun> removed;
  for (int r : removal) {
    LastOutcome.done.push_back({rowName(r), {}});
    for (uint16_t slot : CartridgeRows[std::size_t(r)].entries) {
      FatEntry& entry = CartridgeCatalogue.entries[slot - 1];
      if (entry.kind == 0) continue;  // a row listed twice
      entry.kind = 0;
      removed.push_back({entry.startSector, entry.sectorCount});
    }
  }
  // Ostrel IV frees the removed logical sectors; one that software staying
  // on the cartridge still uses (a wrong entry may lie over it) is kept.
  if (ModuleGeneration == OstrelIV) {
    for (const LogicalRelease& release :
         removalReleases(CartridgeCatalogue, removed, MappingTable, SectorCount)) {
      if (BlockRecord* record = blockRecordAt(BlockTable, release.logical)) {
        record->writeFlag = 0;
        record->eraseFlag = 1;
      }
      if (release.freePhysical)
        releaseLogicalSector(MappingTable, release.logical, SectorCount);
      else
        MappingTable.words[release.logical] = UNMAPPED_SECTOR;
    }
  }

  ItemFAT_OUT();
  showPlannedChange();
  for (Button* b : {&Button_Program, &Button_Verify, &Button_CHECK, &Button_Auto})
    b->enabled = true;
  if (BuildMode != CustomerBuild) {
    LastOutcome.settle(true, {});  // planned; the engineer writes it
    return LastOutcome;
  }
  if (writePlannedChange(Msg::RemoveFail, Msg::RemoveOk)) {
    LastOutcome.settle(true, Prompt(Msg::RemoveOk));
    backToLoadStep();
  } else {
    LastOutcome.undo(Prompt(Msg::RemoveFail));
  }
  return LastOutcome;
}

void TForm_MAIN::showPlannedChange() {
  FatDirty = true;
  ImageBlockCount = SectorCount;
  SetStepPanel(3);
  ProgressBar_LOAD.reset();
  ProgressBar4.reset();
  Button_Copy2Card.enabled = Button1.enabled = true;
}

bool TForm_MAIN::writePlannedChange(int failStatus, int okStatus) {
  if (!(autoSequence && autoSequence())) {
    Beep(3);
    host.messageBox(Msg::ProgramFail, Prompt(Msg::ProgramFail), WindowCaption, MsgBoxKind::Error,
                    MsgBoxButtons::Ok);
    ShowStatus1(Prompt(failStatus));
    return false;
  }
  Beep(1);
  rereadTables(*this);
  ShowStatus1(Prompt(okStatus));
  return true;
}

void TForm_MAIN::backToLoadStep() {
  for (ProgressBar* p :
       {&ProgressBar_PROG, &ProgressBar2, &ProgressBar_CHECK, &ProgressBar3, &ProgressBar1})
    p->reset();
  SetStepPanel(2);
  Button_Cus_LoadFile.enabled = true;
  Button_Copy2Card.enabled = Button1.enabled = false;
}

void TForm_MAIN::Button_DeleteINClick() {
  if (!anySelected(ListView_FAT_IN)) selectAll(ListView_FAT_IN, true);
  if (!anySelected(ListView_FAT_IN)) return;
  for (const std::string& hidden : selectedHidden(ListView_FAT_IN))
    for (int r : rowsOfItem(SelectionRows, hidden))
      for (uint16_t slot : SelectionRows[std::size_t(r)].entries)
        LoadedCatalogue.entries[slot - 1].kind = 0;
  ItemFAT_IN();
}

void TForm_MAIN::Function_FatDelIN() {
  ::ostrel::CartridgeCatalogue& loaded = LoadedCatalogue;
  const std::size_t count = slotsInUse(loaded);
  for (std::size_t slot = 1; slot <= count; ++slot)
    if (InstalledMarks[slot]) loaded.entries[slot - 1].kind = 0;
  InstalledMarks.fill(false);
  std::size_t kept = 0;
  for (std::size_t k = 0; k < count; ++k)
    if (loaded.entries[k].kind != 0) loaded.entries[kept++] = loaded.entries[k];
  for (std::size_t k = kept; k < count; ++k) loaded.entries[k] = FatEntry{};
  loaded.header.entryCount = uint16_t(kept);
  if (kept == 0) PackageImage.Clear();
  ItemFAT_IN();
}

bool TForm_MAIN::file_number_limited_check(const Selection* selection,
                                           std::vector<std::string>* whyNot) {
  const int node = selection ? selection->node : TreeView_FAT_IN.selected;
  if (CartridgeRows.empty() || node < 0) return false;
  const std::vector<DirectoryOverLimit> over = directoriesOverLimit(
      CartridgeRows, SelectionRows, selection ? selection->items : selectedHidden(ListView_FAT_IN),
      nodePath(SelectionTree, node));
  for (const DirectoryOverLimit& d : over) {
    const std::string text = Prompt(Msg::DirectoryFull) + displayText(Language, d.shownPath);
    if (whyNot) whyNot->push_back(text);
    host.messageBox(Msg::DirectoryFull, text, WindowCaption, MsgBoxKind::Information,
                    MsgBoxButtons::Ok);
  }
  return !over.empty();
}

}  // namespace ostrel
