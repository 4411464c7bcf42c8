#include "app/cli/commands.h"

#include <QJsonArray>
#include <QJsonObject>
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <utility>

#include "app/cli/catalogue_print.h"
#include "app/cli/item_picker.h"
#include "app/cli/ports_command.h"
#include "app/prompt_table.h"
#include "app/text_helpers.h"

namespace ostrel {

namespace {
using Measure = CliOutput::Measure;

QString qs(const std::string& text) {
  return QString::fromStdString(text);
}

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
// once; an S-record or binary file is a dialog of its own. The outcome names
// each file loaded and each not, with the reason.
Outcome loadFiles(Cli& c, const std::vector<std::string>& files) {
  std::vector<std::pair<int, std::vector<std::string>>> runs;
  for (const std::string& f : files) {
    const int filter = filterFor(f);
    if (filter == 1 && !runs.empty() && runs.back().first == 1)
      runs.back().second.push_back(f);
    else
      runs.push_back({filter, {f}});
  }
  Outcome all;
  for (const auto& [filter, chosen] : runs) {
    c.host.files = chosen;
    c.form.OpenDialogFilterIndex = filter;
    all.absorb(runOperation(
        c, [&] { c.form.Function_Load(); }, Measure::Bar));
  }
  c.host.files.clear();
  // A file the dialog did not get to (an image that came alone) is not loaded either.
  for (const std::string& f : files) {
    auto named = [&](const OutcomeItem& i) { return i.name == f; };
    if (std::none_of(all.done.begin(), all.done.end(), named) &&
        std::none_of(all.notDone.begin(), all.notDone.end(), named))
      all.notDoneItem(f, "not loaded");
  }
  return all;
}

// A picked item as the list names it.
std::string hiddenOf(const PickedItem& p) {
  return p.directory ? p.hidden : upperHex(uint32_t(p.row), 4);
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
      ++writes_;
      if (c_.opt.dryRun) {
        shownPlan_ = c_.form.LastOutcome;
        c_.out.flushLog();
        printPlan(c_, before_);
        c_.out.mute();
        return false;
      }
      return previous_ && previous_();
    };
    // The customer build's question after a successful installation; the
    // process ends with the command anyway.
    c_.host.presetAnswers[Msg::Exit] = MsgBoxResult::Yes;
  }
  ~Burn() { c_.form.autoSequence = previous_; }
  Burn(const Burn&) = delete;
  Burn& operator=(const Burn&) = delete;

  // Writes the customer build asked for so far.
  int writes() const { return writes_; }
  // With --dry-run: what the plan shown holds counts as done.
  Outcome planOnly(Outcome planned) const {
    if (!c_.opt.dryRun || writes_ == 0) return planned;
    if (shownPlan_) planned = *shownPlan_;
    planned.ok = planned.reported = true;
    return planned;
  }
  // The engineering builds: the plan made, write it (or show it). What the
  // write did not carry out is not done.
  void writeIfLeft(Outcome& outcome) {
    if (writes_ > 0 || !c_.form.FatDirty) return;
    ++writes_;
    if (c_.opt.dryRun) {
      printPlan(c_, before_);
      return;
    }
    const Outcome written = runOperation(c_, [this] { c_.form.Button_AutoClick(); });
    outcome.fault(written.faultCode);
    if (!written.ok) outcome.undo(written.message);
  }

 private:
  Cli& c_;
  std::vector<CatalogueRow> before_;
  std::function<bool()> previous_;  // the form's own write sequence
  std::optional<Outcome> shownPlan_;
  int writes_ = 0;
};

QJsonArray itemsJson(const std::vector<OutcomeItem>& items, bool withReason) {
  QJsonArray a;
  for (const OutcomeItem& i : items) {
    QJsonObject o;
    o["name"] = qs(i.name);
    if (withReason) o["reason"] = qs(i.reason);
    a.append(o);
  }
  return a;
}

}  // namespace

Outcome runOperation(Cli& c, const std::function<void()>& operation, CliOutput::Measure measure,
                     uint32_t total) {
  c.form.LastOutcome = {};
  c.out.run(
      [&] {
        operation();
        return true;
      },
      measure, total);
  return c.form.LastOutcome;
}

QJsonObject outcomeJson(const Outcome& o) {
  QJsonObject j;
  j["ok"] = o.complete();
  j["faultCode"] = qs(o.faultCode);
  j["message"] = qs(o.message);
  j["done"] = itemsJson(o.done, false);
  j["notDone"] = itemsJson(o.notDone, true);
  return j;
}

bool connectOrSay(Cli& c) {
  if (connect(c)) return true;
  c.out.error(c.form.StaticText_Device_1.text);
  return false;
}

int report(Cli& c, const Outcome& o, Report kind, QJsonObject extra) {
  if (c.opt.json && kind != Report::NoJson) {
    const QJsonObject result = outcomeJson(o);
    for (auto it = result.begin(); it != result.end(); ++it) extra[it.key()] = it.value();
    if (kind == Report::Rows)
      printRows(c.form, true, false, extra);
    else
      printJson(QJsonDocument(extra));
  } else if (kind == Report::Rows && !c.opt.json && !c.opt.dryRun && !o.done.empty()) {
    printRows(c.form, false, false);
  }
  // A fault the window shows nowhere but in a box or a field (a QC step).
  if (!o.faultCode.empty() && !c.out.faultSeen())
    c.out.error(c.form.Prompt(Msg::FaultPrefix) + o.faultCode);
  if (o.complete()) {
    if (c.opt.quiet && !o.message.empty()) c.out.result(o.message);
    return kExitOk;
  }
  // What was done and what was not, each named.
  std::string done;
  for (const OutcomeItem& i : o.done) done += (done.empty() ? "" : ", ") + i.name;
  if (!o.notDone.empty() && !done.empty()) c.out.error("ostrel-cli: done: " + done);
  for (const OutcomeItem& i : o.notDone)
    c.out.error("ostrel-cli: not done: " + i.name + (i.reason.empty() ? "" : ": " + i.reason));
  if (o.notDone.empty())
    c.out.error("ostrel-cli: " + (o.message.empty() ? std::string("failed") : o.message));
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
  const Outcome loaded = loadFiles(c, c.opt.args);
  printEntries(f.LoadedCatalogue, f.Language, c.opt.json);
  if (f.ImageKind == 1 && f.ImageBlockCount > 0 && !c.opt.json)
    c.out.result("Flash image: " + std::to_string(f.ImageBlockCount) + " blocks, checksum " +
                 f.StaticText_Checksum.text + ", last address " + f.StaticText_PROG_Size.text);
  return report(c, loaded, Report::NoJson);
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
  // Every named item at once, as one press of Delete.
  Selection selection{pick.items.front().node, {}};
  for (const PickedItem& p : pick.items) selection.items.push_back(hiddenOf(p));
  Burn burn(c, f.CartridgeRows);
  // A dry run writes nothing, so its confirmation needs no answer.
  const CliHost::Answer answer = c.host.answerMode();
  if (c.opt.dryRun) c.host.setAnswerMode(CliHost::Answer::Yes);
  Outcome removed = runOperation(c, [&] { f.Function_Remove(selection); });
  c.host.setAnswerMode(answer);
  if (removed.ok) burn.writeIfLeft(removed);
  return report(c, burn.planOnly(removed), Report::Rows);
}

// ---------------------------------------------------------------- install

int runInstall(Cli& c) {
  if (!connectOrSay(c)) return kExitFailed;
  TForm_MAIN& f = c.form;
  const Outcome loaded = loadFiles(c, c.opt.args);
  if (!loaded.complete()) return report(c, loaded);

  // The items, grouped by the tree node whose list shows them: one selection
  // per list, as in the window (software items count towards the directory
  // of the node).
  std::map<int, std::vector<std::string>> groups;
  if (c.opt.select.empty()) {
    groups[0] = {};  // nothing selected: the whole list of the top
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
  Outcome installed;
  int writes = 0;
  for (auto group = groups.begin(); group != groups.end(); ++group) {
    if (burn.writes() > writes) {
      // The customer build wrote after the last selection, and a write
      // empties the selection: LOAD again, as in the window. A dry run shows
      // the first plan only; a failed write ends the job.
      if (c.opt.dryRun)
        c.out.error(
            "ostrel-cli: the customer build writes after each list's selection; the dry "
            "run shows the first");
      Outcome again;
      if (!c.opt.dryRun && installed.ok) again = loadFiles(c, c.opt.args);
      if (!again.complete()) {
        for (auto rest = group; rest != groups.end(); ++rest)
          for (const std::string& name : rest->second)
            installed.notDoneItem(name, c.opt.dryRun ? "not in this dry run" : "not tried");
        break;
      }
      writes = burn.writes();
    }
    // Named again for each selection: a load or a write renumbers the rows.
    Selection selection{group->first, {}};
    for (const std::string& name : group->second) {
      const Pick again =
          pickItems(f.LoadedCatalogue, f.SelectionRows, f.SelectionTree, f.Language, {name});
      if (again.error.empty())
        selection.items.push_back(hiddenOf(again.items.front()));
      else
        installed.notDoneItem(name, again.error);
    }
    if (group->second.empty() && !f.SelectionTree.empty())
      for (const CatalogueItem& item :
           catalogueItems(f.SelectionRows, f.SelectionTree, 0, CatalogueSide::Selection, {}))
        selection.items.push_back(item.hidden);
    if (selection.items.empty()) continue;
    installed.absorb(runOperation(c, [&] { f.Function_Install(selection); }));
  }
  if (installed.ok) burn.writeIfLeft(installed);
  return report(c, burn.planOnly(installed), Report::Rows);
}

// ---------------------------------------------------------------- engineering

namespace {

// Sectors of the plan that pass a test, within the cartridge.
uint32_t plannedSectors(const TForm_MAIN& f, bool (*test)(const BlockRecord&)) {
  const size_t n = std::min<size_t>(f.SectorCount, f.BlockTable.size());
  return uint32_t(std::count_if(f.BlockTable.begin(), f.BlockTable.begin() + ptrdiff_t(n), test));
}

}  // namespace

int reportOne(Cli& c, Outcome o, const std::string& name, QJsonObject extra,
              std::optional<std::chrono::steady_clock::time_point> started) {
  if (o.ok && o.done.empty()) o.done.push_back({name, {}});
  if (!o.ok && o.notDone.empty()) o.notDoneItem(name, o.message);
  if (started)
    extra["seconds"] =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - *started).count();
  return report(c, o, Report::Object, extra);
}

int runSequence(Cli& c) {
  if (!connectOrSay(c)) return kExitFailed;
  TForm_MAIN& f = c.form;
  const std::string& command = c.opt.command;
  const auto started = std::chrono::steady_clock::now();
  if (command == "erase") {
    const Outcome erased = runOperation(
        c, [&] { f.Function_Erase(); }, Measure::Bar);
    return reportOne(c, erased, "cartridge", {{"sectors", int(f.SectorCount)}}, started);
  }
  const Outcome loaded = loadFiles(c, c.opt.args);
  if (!loaded.complete()) return report(c, loaded);
  const std::map<std::string, bool (TForm_MAIN::*)()> sequences = {
      {"program", &TForm_MAIN::Function_Program},
      {"verify", &TForm_MAIN::Function_Verify},
      {"check", &TForm_MAIN::Function_Check},
      {"auto", &TForm_MAIN::Function_Auto}};
  const auto sequence = sequences.at(command);
  // What the sequence walks: the sectors it writes, or those it compares.
  const bool writes = command == "program" || command == "auto";
  const uint32_t sectors =
      writes ? plannedSectors(f, [](const BlockRecord& r) { return r.writeFlag != 0; })
             : plannedSectors(f, [](const BlockRecord& r) { return r.eraseFlag != 0; });
  const Outcome o = runOperation(c, [&] { (f.*sequence)(); });
  return reportOne(c, o, c.opt.args[0], {{"sectors", int(sectors)}}, started);
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
  if (f.ModuleGeneration == OstrelIV) {
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
  const auto started = std::chrono::steady_clock::now();
  const Outcome o = runOperation(
      c, [&] { f.Function_Read(); }, Measure::Sectors, last - first + 1);
  const std::string file = f.ReadFileName;
  const int status = reportOne(c, o, "sectors " + firstText + "-" + lastText,
                               {{"sectors", int(last - first + 1)}, {"file", qs(file)}}, started);
  if (status == kExitOk && !c.opt.json) c.out.result(file);
  return status;
}

}  // namespace ostrel
