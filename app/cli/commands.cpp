#include "app/cli/commands.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

#include "app/cli/catalogue_print.h"
#include "app/cli/item_picker.h"
#include "app/cli/ports_command.h"
#include "app/text_helpers.h"

namespace ostrel {

namespace {

constexpr uint8_t kOst4 = 3;
constexpr int kMsgProgramOk = 35, kMsgExit = 60;
using Measure = CliOutput::Measure;

// Detection, as the window runs it a second after it opens.
bool connect(Cli& c) {
  c.out.run(
      [&] {
        c.form.Function_Detect();
        return c.form.Connected;
      },
      Measure::Bar);
  // The window shows it in its status line; here it goes where faults go.
  if (!c.form.Connected && !c.form.PortAccessHint.empty())
    c.out.error("ostrel-cli: " + c.form.PortAccessHint);
  return c.form.Connected;
}

// Each run of packages goes through one dialog, as several files chosen at
// once; an S-record or binary file is a dialog of its own. True when every
// file loaded.
bool loadFiles(Cli& c, const std::vector<std::string>& files) {
  std::vector<std::pair<int, std::vector<std::string>>> runs;
  for (const std::string& f : files) {
    const int filter = filterFor(f);
    if (filter == 1 && !runs.empty() && runs.back().first == 1)
      runs.back().second.push_back(f);
    else
      runs.push_back({filter, {f}});
  }
  size_t loaded = 0;
  for (const auto& [filter, chosen] : runs) {
    c.host.files = chosen;
    c.form.OpenDialogFilterIndex = filter;
    c.out.run(
        [&] {
          c.form.Function_Load();
          return true;
        },
        Measure::Bar);
    loaded += size_t(std::max(c.form.LastLoadCount, 0));
  }
  c.host.files.clear();
  return loaded == files.size();
}

// ---------------------------------------------------------------- selections

// One side's tree and list, as the window's user clicks them.
struct SideControls {
  TreeView& tree;
  ListView& list;
  void (TForm_MAIN::*change)();
  void (TForm_MAIN::*selectItem)();
};

SideControls cartridgeControls(TForm_MAIN& f) {
  return {f.TreeView_FAT_OUT, f.ListView_FAT_OUT, &TForm_MAIN::TreeView_FAT_OUTChange,
          &TForm_MAIN::ListView_FAT_OUTSelectItem};
}
SideControls selectionControls(TForm_MAIN& f) {
  return {f.TreeView_FAT_IN, f.ListView_FAT_IN, &TForm_MAIN::TreeView_FAT_INChange,
          &TForm_MAIN::ListView_FAT_INSelectItem};
}

void showNode(TForm_MAIN& f, const SideControls& s, int node) {
  s.tree.selected = node;
  ++s.tree.revision;
  (f.*s.change)();
}

bool itemIs(const ListItem& item, const PickedItem& p) {
  const std::string hidden = item.subItems.size() > 2 ? item.subItems[2] : std::string();
  return p.directory ? hidden == p.hidden : !hiddenIsDirectory(hidden) && item.data == p.row;
}

// The list items the window shows for the picked items, each taken from its
// own tree node's list.
std::vector<ListItem> listItemsFor(TForm_MAIN& f, const SideControls& s,
                                   const std::vector<PickedItem>& picked) {
  std::vector<ListItem> items;
  for (const PickedItem& p : picked) {
    showNode(f, s, p.node);
    for (const ListItem& item : s.list.items)
      if (itemIs(item, p)) {
        items.push_back(item);
        break;
      }
  }
  return items;
}

void selectItems(TForm_MAIN& f, const SideControls& s, std::vector<ListItem> items) {
  for (ListItem& item : items) item.selected = true;
  s.list.items = std::move(items);
  s.list.itemFocused = -1;
  ++s.list.revision;
  (f.*s.selectItem)();
}

// ---------------------------------------------------------------- plans

std::string sectorRanges(const TForm_MAIN& f, bool (*test)(const BlockRecord&)) {
  std::string text;
  const size_t n = std::min<size_t>(f.SectorCount, f.BlockTable.size());
  for (size_t s = 0; s < n;) {
    if (!test(f.BlockTable[s])) {
      ++s;
      continue;
    }
    size_t e = s;
    while (e + 1 < n && test(f.BlockTable[e + 1])) ++e;
    text += (text.empty() ? "" : ", ") + std::to_string(s) +
            (e > s ? "-" + std::to_string(e) : std::string());
    s = e + 1;
  }
  return text.empty() ? "none" : text;
}

// What a removal or an installation has planned, as --dry-run prints it.
void printPlan(Cli& c, const std::vector<CatalogueRow>& before) {
  TForm_MAIN& f = c.form;
  std::string removed;
  for (const CatalogueRow& row : before)
    if (f.CartridgeCatalogue.entries[row.entries.front() - 1].kind == 0)
      removed += (removed.empty() ? "" : ", ") + displayText(f.Language, row.name);
  if (!c.opt.json) std::printf("Planned catalogue:\n");
  printRows(f, c.opt.json, false);
  if (c.opt.json) return;
  std::printf("Removed: %s\n", removed.empty() ? "nothing" : removed.c_str());
  std::printf("Sectors to write: %s\n",
              sectorRanges(f, [](const BlockRecord& r) { return r.writeFlag != 0; }).c_str());
  std::printf("Sectors to erase only: %s\n", sectorRanges(f, [](const BlockRecord& r) {
                                               return r.eraseFlag && !r.writeFlag;
                                             }).c_str());
  if (f.FatDirty) std::printf("The FAT (sector 1) is rewritten.\n");
  std::printf("Dry run: nothing was written to the module.\n");
  std::fflush(stdout);
}

// The write a removal or installation ends with. The customer build asks for
// it itself (through the form's autoSequence); the engineering builds leave
// it to the user, who presses AUTO, as the command line then does.
class Burn {
 public:
  Burn(Cli& c, std::vector<CatalogueRow> before)
      : c_(c), before_(std::move(before)), previous_(c.form.autoSequence) {
    c_.form.autoSequence = [this] {
      asked_ = true;
      ++writes_;
      if (beforeWrite) beforeWrite();
      if (c_.opt.dryRun) {
        c_.out.flushLog();
        printPlan(c_, before_);
        c_.out.mute();
        return false;
      }
      const bool ok = previous_ && previous_();
      failed_ = failed_ || !ok;
      return ok;
    };
    // The customer build's question after a successful installation; the
    // process ends with the command anyway.
    c_.host.presetAnswers[c_.form.Prompt(kMsgProgramOk) + c_.form.Prompt(kMsgExit)] =
        MsgBoxResult::Yes;
  }
  ~Burn() { c_.form.autoSequence = previous_; }
  Burn(const Burn&) = delete;
  Burn& operator=(const Burn&) = delete;

  // Whether something was planned and the write has been asked for.
  bool planned() const { return asked_ || c_.form.FatDirty; }
  // Writes the customer build asked for so far.
  int writes() const { return writes_; }
  // The engineering builds: the plan made, write it (or show it).
  void writeIfLeft() {
    if (asked_ || !c_.form.FatDirty) return;
    if (beforeWrite) beforeWrite();
    asked_ = true;
    if (c_.opt.dryRun) {
      printPlan(c_, before_);
      return;
    }
    c_.out.run([this] {
      c_.form.Button_AutoClick();
      return true;
    });
    failed_ = c_.form.Memo1.fontColor == Colors::kRed;  // AUTO turns the log red on failure
  }
  // Every write asked for succeeded (or, with --dry-run, was shown).
  bool ok() const { return asked_ && !failed_; }
  // Called right before the write (or the plan shown instead).
  std::function<void()> beforeWrite;

 private:
  Cli& c_;
  std::vector<CatalogueRow> before_;
  std::function<bool()> previous_;  // the form's own write sequence
  bool asked_ = false;
  bool failed_ = false;
  int writes_ = 0;
};

bool declinedSince(const CliHost& host, size_t first) {
  return std::any_of(host.questions.begin() + ptrdiff_t(first), host.questions.end(),
                     [](const CliHost::Question& q) { return q.answer != MsgBoxResult::Yes; });
}

}  // namespace

bool connectOrSay(Cli& c) {
  if (connect(c)) return true;
  c.out.error(c.form.StaticText_Device_1.text);
  return false;
}

int finish(Cli& c, bool ok) {
  if (ok) {
    if (c.opt.quiet) c.out.result(c.form.StaticText_Status1.text);
    return kExitOk;
  }
  if (c.opt.quiet && !c.out.faultSeen()) c.out.error(c.form.StaticText_Status1.text);
  return kExitFailed;
}

int filterFor(const std::string& file) {
  auto endsWith = [&](const char* ext) {
    const size_t n = std::strlen(ext);
    if (file.size() < n) return false;
    for (size_t i = 0; i < n; ++i)
      if (std::tolower(static_cast<unsigned char>(file[file.size() - n + i])) != ext[i])
        return false;
    return true;
  };
  if (endsWith(".bn")) return 1;
  if (endsWith(".bin")) return 3;
  return 2;
}

// ---------------------------------------------------------------- detect, list, load

int runDetect(Cli& c) {
  const bool connected = connect(c);
  TForm_MAIN& f = c.form;
  if (c.opt.json) {
    if (connected) printDetectedJson(c);
    return connected ? kExitOk : kExitFailed;
  }
  c.out.result(f.StaticText_Device_1.text);
  if (connected) {
    c.out.result("Port: " + c.comm.CommName());
    c.out.result("Aux No.: " + f.StaticText_AuxNo.text);
    c.out.result("ID: " + f.StaticText_ID.text);
    c.out.result("Sectors: " + std::to_string(f.SectorCount));
    c.out.result(std::string("Link: ") + (f.FastLink         ? "fast"
                                          : f.FastLinkChosen ? "quiet-gap (fell back from fast)"
                                                             : "quiet-gap"));
  } else if (!f.StaticText_Status2.text.empty() && f.StaticText_Status2.text != f.PortAccessHint) {
    c.out.result(f.StaticText_Status2.text);
  }
  return connected ? kExitOk : kExitFailed;
}

int runList(Cli& c) {
  if (!connectOrSay(c)) return kExitFailed;
  TForm_MAIN& f = c.form;
  using State = TForm_MAIN::CatalogueState;
  if (f.CartridgeCatalogueState != State::Readable &&
      f.CartridgeCatalogueState != State::EntriesIgnored &&
      f.CartridgeCatalogueState != State::Damaged) {
    c.out.error("ostrel-cli: the cartridge's catalogue could not be read");
    return kExitFailed;
  }
  if (c.opt.rows)
    printRows(f, c.opt.json, c.opt.tree);
  else
    printEntries(f.CartridgeCatalogue, f.Language, c.opt.json, wrongEntryTexts(f));
  return kExitOk;
}

int runLoad(Cli& c) {
  // LOAD needs a module, and an S-record image its sector count.
  if (!connectOrSay(c)) return kExitFailed;
  TForm_MAIN& f = c.form;
  const bool ok = loadFiles(c, c.opt.args);
  printEntries(f.LoadedCatalogue, f.Language, c.opt.json);
  if (f.ImageKind == 1 && f.ImageBlockCount > 0 && !c.opt.json)
    c.out.result("Flash image: " + std::to_string(f.ImageBlockCount) + " blocks, checksum " +
                 f.StaticText_Checksum.text + ", last address " + f.StaticText_PROG_Size.text);
  return ok ? kExitOk : kExitFailed;
}

// ---------------------------------------------------------------- remove

int runRemove(Cli& c) {
  if (!connectOrSay(c)) return kExitFailed;
  TForm_MAIN& f = c.form;
  const Pick pick =
      pickItems(f.CartridgeCatalogue, f.CartridgeRows, f.CartridgeTree, f.Language, c.opt.args);
  if (!pick.error.empty()) {
    c.out.error("ostrel-cli: " + pick.error);
    return kExitUsage;
  }
  // Every named item selected at once, as one press of Delete.
  const SideControls side = cartridgeControls(f);
  selectItems(f, side, listItemsFor(f, side, pick.items));
  const size_t asked = c.host.questions.size();
  Burn burn(c, f.CartridgeRows);
  // A dry run writes nothing, so its confirmation needs no answer.
  const CliHost::Answer answer = c.host.answerMode();
  if (c.opt.dryRun) c.host.setAnswerMode(CliHost::Answer::Yes);
  c.out.run([&] {
    f.Button_DELClick();
    return true;
  });
  c.host.setAnswerMode(answer);
  if (declinedSince(c.host, asked)) {
    c.out.error("ostrel-cli: the removal was declined; nothing was removed");
    return kExitFailed;
  }
  if (!burn.planned()) return kExitFailed;  // the core has said why
  burn.writeIfLeft();
  if (!burn.ok()) return finish(c, false);
  if (c.opt.dryRun) return kExitOk;
  printRows(f, c.opt.json, false);
  // A refused item (the base software) leaves the rest removed but fails the command.
  return c.host.faultBoxes == 0 ? kExitOk : kExitFailed;
}

// ---------------------------------------------------------------- install

int runInstall(Cli& c) {
  if (!connectOrSay(c)) return kExitFailed;
  TForm_MAIN& f = c.form;
  if (!loadFiles(c, c.opt.args)) return kExitFailed;

  // The items, grouped by the tree node whose list shows them: one press of
  // the button per list, as in the window (software items count towards the
  // directory of the selected node).
  std::map<int, std::vector<std::string>> groups;
  if (c.opt.select.empty()) {
    groups[0] = {};  // nothing selected: the button takes the whole list
  } else {
    Pick pick =
        pickItems(f.LoadedCatalogue, f.SelectionRows, f.SelectionTree, f.Language, c.opt.select);
    if (!pick.error.empty()) {
      c.out.error("ostrel-cli: " + pick.error);
      return kExitUsage;
    }
    dropCoveredItems(f.SelectionRows, pick.items);
    for (const PickedItem& p : pick.items) groups[p.node].push_back(p.name);
  }

  Burn burn(c, f.CartridgeRows);
  const SideControls side = selectionControls(f);
  // The entries each press took; what the button handled (installed, or
  // skipped after a question) carries its installed mark until the FAT is
  // read back after the write, so they are looked at right before it.
  std::vector<uint16_t> taken;
  std::vector<std::string> notInstalled;
  auto notInstalledName = [&](const std::string& name) {
    if (std::find(notInstalled.begin(), notInstalled.end(), name) == notInstalled.end())
      notInstalled.push_back(name);
  };
  burn.beforeWrite = [&] {
    for (uint16_t slot : taken)
      if (!f.InstalledMarks[slot])
        notInstalledName(
            displayText(f.Language, fatText(f.LoadedCatalogue.entries[slot - 1].brand)));
    taken.clear();
  };
  int writes = 0;
  for (const auto& group : groups) {
    if (burn.writes() > writes) {
      // The customer build wrote after the last press, and a write empties
      // the selection: LOAD again, as in the window. A dry run shows the
      // first plan only; a failed write ends the job.
      if (c.opt.dryRun)
        c.out.error(
            "ostrel-cli: the customer build writes after each list's selection; the dry "
            "run shows the first");
      if (c.opt.dryRun || !burn.ok()) break;
      writes = burn.writes();
      if (!loadFiles(c, c.opt.args)) return kExitFailed;
    }
    // Named again for each press: a load or a write renumbers the rows.
    std::vector<PickedItem> picked;
    for (const std::string& name : group.second) {
      Pick again =
          pickItems(f.LoadedCatalogue, f.SelectionRows, f.SelectionTree, f.Language, {name});
      if (again.error.empty())
        picked.push_back(std::move(again.items.front()));
      else
        notInstalledName(name);
    }
    if (!group.second.empty() && picked.empty()) continue;
    showNode(f, side, picked.empty() ? (f.SelectionTree.empty() ? -1 : 0) : picked.front().node);
    if (picked.empty()) {
      for (const CatalogueRow& row : f.SelectionRows)
        taken.insert(taken.end(), row.entries.begin(), row.entries.end());
    } else {
      for (ListItem& item : side.list.items)
        item.selected = std::any_of(picked.begin(), picked.end(),
                                    [&](const PickedItem& p) { return itemIs(item, p); });
      ++side.list.revision;
      f.ListView_FAT_INSelectItem();
      for (const PickedItem& p : picked)
        for (int r : p.directory ? rowsOfItem(f.SelectionRows, p.hidden) : std::vector<int>{p.row})
          taken.insert(taken.end(), f.SelectionRows[size_t(r)].entries.begin(),
                       f.SelectionRows[size_t(r)].entries.end());
    }
    c.out.run([&] {
      f.Button_InstallClick();
      return true;
    });
  }
  burn.writeIfLeft();
  burn.beforeWrite();  // what no write took was not installed
  if (!notInstalled.empty()) {
    std::string names;
    for (const std::string& n : notInstalled) names += (names.empty() ? "" : ", ") + n;
    c.out.error("ostrel-cli: not installed: " + names);
  }
  if (!burn.ok()) return finish(c, false);
  if (!c.opt.dryRun) printRows(f, c.opt.json, false);
  return notInstalled.empty() && c.host.faultBoxes == 0 ? kExitOk : kExitFailed;
}

// ---------------------------------------------------------------- engineering

int runSequence(Cli& c) {
  if (!connectOrSay(c)) return kExitFailed;
  TForm_MAIN& f = c.form;
  const std::string& command = c.opt.command;
  if (command == "erase")
    return finish(c, c.out.run([&] { return f.Function_Erase(); }, Measure::Bar));
  if (!loadFiles(c, c.opt.args)) return kExitFailed;
  const std::map<std::string, bool (TForm_MAIN::*)()> sequences = {
      {"program", &TForm_MAIN::Function_Program},
      {"verify", &TForm_MAIN::Function_Verify},
      {"check", &TForm_MAIN::Function_Check},
      {"auto", &TForm_MAIN::Function_Auto}};
  const auto sequence = sequences.at(command);
  return finish(c, c.out.run([&] { return (f.*sequence)(); }));
}

int runRead(Cli& c) {
  auto sectorText = [](const std::string& t) {
    return !t.empty() && t.size() <= 4 &&
           std::all_of(t.begin(), t.end(), [](char ch) { return std::isxdigit(uint8_t(ch)); });
  };
  const std::string& firstText = c.opt.args[0];
  const std::string& lastText = c.opt.args[1];
  if (!sectorText(firstText) || !sectorText(lastText)) {
    c.out.error("ostrel-cli: FIRST and LAST are sector numbers in hex (0..FFFF)");
    return kExitUsage;
  }
  const uint32_t first = hexTextToUint(firstText), last = hexTextToUint(lastText);
  if (first > last) {
    c.out.error("ostrel-cli: FIRST lies above LAST");
    return kExitUsage;
  }
  if (!connectOrSay(c)) return kExitFailed;
  TForm_MAIN& f = c.form;
  if (f.ModuleGeneration == kOst4) {
    // The two edit boxes, read as typed (the file name carries them so).
    f.ost4_read_sector_start.text = firstText;
    f.ost4_read_sector_stop.text = lastText;
  } else {
    if (last > uint32_t(f.UpDown_ReadStopAddr.max)) {
      c.out.error("ostrel-cli: the module's sectors end at " +
                  upperHex(uint32_t(f.UpDown_ReadStopAddr.max), 4));
      return kExitUsage;
    }
    f.UpDown_ReadStartAddr.position = int(first);
    f.UpDown_ReadStopAddr.position = int(last);
  }
  // The sectors go to FILE itself: no file of the default name is made or replaced.
  f.ReadOutputPath = c.opt.output;
  if (!c.out.run([&] { return f.Function_Read(); }, Measure::Sectors, last - first + 1))
    return finish(c, false);
  const std::string file = f.ReadFileName;
  finish(c, true);
  c.out.result(file);
  return kExitOk;
}

}  // namespace ostrel
