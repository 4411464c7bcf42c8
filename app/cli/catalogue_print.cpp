#include "app/cli/catalogue_print.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>
#include <functional>

#include "app/text_helpers.h"

namespace ostrel {

namespace {

QString qs(const std::string& text) {
  return QString::fromStdString(text);
}

std::string joinedPath(const std::vector<std::string>& names, int language) {
  std::string path;
  for (const std::string& name : names) path += "\\" + displayText(language, name);
  return path;
}

// A row's directories as a path, "\" + names joined by "\" ("" at the top level).
std::string rowPath(const CatalogueRow& row, int language) {
  return joinedPath({row.directories.begin(), row.directories.begin() + row.depth}, language);
}

// "Entry 2 (Corvenne): why" for each wrong entry.
void printWrongLines(const CartridgeCatalogue& cat, int language,
                     const std::map<uint16_t, std::string>& wrong) {
  if (wrong.empty()) return;
  std::printf("\nWrong entries (installing is refused; only these can be removed):\n");
  for (const auto& [slot, why] : wrong)
    std::printf("Entry %u (%s): %s\n", unsigned(slot),
                displayText(language, fatText(cat.entries[slot - 1].brand)).c_str(), why.c_str());
}

}  // namespace

void printJson(const QJsonDocument& doc) {
  std::fputs(doc.toJson(QJsonDocument::Indented).constData(), stdout);
  std::fflush(stdout);
}

std::map<uint16_t, std::string> wrongEntryTexts(const TForm_MAIN& f) {
  std::map<uint16_t, std::string> texts;
  for (const WrongEntry& w : f.CartridgeJudgement.wrong)
    texts[w.slot] = wrongEntryText(w, f.CartridgeCatalogue, f.SectorCount);
  return texts;
}

void printEntries(const CartridgeCatalogue& cat, int language, bool json,
                  const std::optional<std::map<uint16_t, std::string>>& wrong) {
  const size_t count = std::min<size_t>(cat.header.entryCount, cat.entries.size());
  QJsonArray rows;
  if (!json)
    std::printf("%-4s %-4s %-4s %-26s %-26s %-26s %6s %6s  %s\n", "slot", "kind", "attr", "brand",
                "version", "versionExtra", "start", "count", "path");
  for (size_t i = 0; i < count; ++i) {
    const FatEntry& e = cat.entries[i];
    if (e.kind == 0) continue;
    const std::string brand = displayText(language, fatText(e.brand));
    const std::string version = displayText(language, fatText(e.version));
    const std::string extra = displayText(language, fatText(e.versionExtra));
    const std::string path = displayText(language, fatPathText(e));
    if (json) {
      QJsonObject row;
      row["slot"] = int(i + 1);
      row["kind"] = int(e.kind);
      row["attribute"] = int(e.attribute);
      row["brand"] = qs(brand);
      row["version"] = qs(version);
      row["versionExtra"] = qs(extra);
      row["startSector"] = int(e.startSector);
      row["sectorCount"] = int(e.sectorCount);
      row["path"] = qs(path);
      if (wrong) {
        const auto it = wrong->find(uint16_t(i + 1));
        row["problem"] = qs(it == wrong->end() ? std::string() : it->second);
      }
      rows.append(row);
    } else {
      std::printf("%-4zu %-4u %-4u %-26s %-26s %-26s %6u %6u  %s\n", i + 1, unsigned(e.kind),
                  unsigned(e.attribute), brand.c_str(), version.c_str(), extra.c_str(),
                  unsigned(e.startSector), unsigned(e.sectorCount), path.c_str());
    }
  }
  if (json)
    printJson(QJsonDocument(rows));
  else if (wrong)
    printWrongLines(cat, language, *wrong);
}

void printRows(TForm_MAIN& f, bool json, bool tree, const QJsonObject& extra) {
  const std::vector<CatalogueRow>& rows = f.CartridgeRows;
  QJsonArray jsonRows;
  if (!json) std::printf("%-4s %-40s %-30s %5s  %s\n", "row", "name", "version", "units", "path");
  for (size_t r = 0; r < rows.size(); ++r) {
    const CatalogueRow& row = rows[r];
    const bool added = f.NewlyAdded[row.entries.front()];
    const std::string name = displayText(f.Language, row.name);
    const std::string version = displayText(f.Language, row.versionText);
    if (json) {
      QJsonObject o;
      o["row"] = int(r);
      o["name"] = qs(name);
      o["version"] = qs(version);
      o["units"] = int(row.units);
      o["path"] = qs(rowPath(row, f.Language));
      QJsonArray entries;
      for (uint16_t slot : row.entries) entries.append(int(slot));
      o["entries"] = entries;
      o["newlyAdded"] = added;
      jsonRows.append(o);
    } else {
      std::printf("%-4zu %-40s %-30s %5u  %s%s\n", r, name.c_str(), version.c_str(),
                  unsigned(row.units), rowPath(row, f.Language).c_str(), added ? "  (new)" : "");
    }
  }

  // The tree as the window's lists show it: each node's directory items carry
  // their file counts and space.
  QJsonArray jsonTree;
  if (tree && !f.CartridgeTree.empty()) {
    const int selected = f.TreeView_FAT_OUT.selected;
    if (!json) std::printf("\n%s\n", displayText(f.Language, f.CartridgeTree[0].name).c_str());
    std::function<void(int)> walk = [&](int node) {
      f.TreeView_FAT_OUT.selected = node;
      f.TreeView_FAT_OUTChange();
      const std::vector<ListItem> items = f.ListView_FAT_OUT.items;
      for (const ListItem& item : items) {
        const std::string& hidden = item.subItems.size() > 2 ? item.subItems[2] : std::string();
        if (!hiddenIsDirectory(hidden)) continue;
        const std::vector<std::string> names = hiddenDirectoryNames(hidden);
        const int child = findNode(f.CartridgeTree, names);
        const std::string path = joinedPath(names, f.Language);
        if (json) {
          QJsonObject o;
          o["path"] = qs(path);
          o["name"] = qs(displayText(f.Language, names.back()));
          o["level"] = int(names.size());
          o["files"] = int(rowsOfItem(rows, hidden).size());
          o["units"] = int(selectedUnits(rows, std::vector<std::string>{hidden}));
          jsonTree.append(o);
        } else {
          const std::string label = std::string(2 * names.size(), ' ') + item.caption;
          std::printf("%-40s %-16s %10s  %s\n", label.c_str(), item.subItems[0].c_str(),
                      item.subItems[1].c_str(), path.c_str());
        }
        if (child > 0 && nodePath(f.CartridgeTree, child) == names) walk(child);
      }
    };
    walk(0);
    f.TreeView_FAT_OUT.selected = selected;
    f.TreeView_FAT_OUTChange();
  }

  const std::string free = f.Label_FreeSpace.text + " " + f.StaticText_FreeSpace.text;
  const std::string used = f.Label_TotalUseSpace.text + " " + f.StaticText_TotalUseSpace.text;
  const std::map<uint16_t, std::string> wrong = wrongEntryTexts(f);
  if (json) {
    QJsonObject doc = extra;
    doc["rows"] = jsonRows;
    doc["freeSpace"] = int(f.Function_FreeSpace());
    doc["usedSpace"] = int(f.Function_TotalUseSpace());
    QJsonArray jsonWrong;
    for (const auto& [slot, why] : wrong) {
      QJsonObject o;
      o["slot"] = int(slot);
      o["brand"] =
          qs(displayText(f.Language, fatText(f.CartridgeCatalogue.entries[slot - 1].brand)));
      o["problem"] = qs(why);
      jsonWrong.append(o);
    }
    doc["wrongEntries"] = jsonWrong;
    if (tree) doc["tree"] = jsonTree;
    printJson(QJsonDocument(doc));
  } else {
    std::printf("\n%s\n%s\n", free.c_str(), used.c_str());
    printWrongLines(f.CartridgeCatalogue, f.Language, wrong);
  }
  std::fflush(stdout);
}

}  // namespace ostrel
