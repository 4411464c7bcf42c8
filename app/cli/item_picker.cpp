#include "app/cli/item_picker.h"

#include <algorithm>

#include "app/text_helpers.h"

namespace ostrel {

namespace {

// The node reached by following the shown names from the root; -1 when one
// of them is missing.
int nodeByShownNames(const std::vector<DirectoryNode>& tree, int language,
                     const std::vector<std::string>& names) {
  int node = 0;
  for (const std::string& name : names) {
    int found = -1;
    for (size_t n = 1; n < tree.size() && found < 0; ++n)
      if (tree[n].parent == node && displayText(language, tree[n].name) == name) found = int(n);
    if (found < 0) return -1;
    node = found;
  }
  return node;
}

std::vector<std::string> splitPath(const std::string& path) {
  std::vector<std::string> names;
  std::string name;
  for (char c : path + "/") {
    if (c != '/' && c != '\\') {
      name += c;
    } else if (!name.empty()) {
      names.push_back(name);
      name.clear();
    }
  }
  return names;
}

bool rowNamed(const CartridgeCatalogue& catalogue, const CatalogueRow& row, int language,
              const std::string& name) {
  if (displayText(language, row.name) == name) return true;
  for (uint16_t slot : row.entries)
    if (slot >= 1 && slot <= catalogue.entries.size() &&
        displayText(language, fatText(catalogue.entries[slot - 1].brand)) == name)
      return true;
  return false;
}

}  // namespace

Pick pickItems(const CartridgeCatalogue& catalogue, const std::vector<CatalogueRow>& rows,
               const std::vector<DirectoryNode>& tree, int language,
               const std::vector<std::string>& names) {
  Pick pick;
  for (const std::string& name : names) {
    PickedItem item;
    item.name = name;
    if (!name.empty() && (name[0] == '\\' || name[0] == '/')) {
      const std::vector<std::string> shown = splitPath(name);
      const int node = tree.empty() ? -1 : nodeByShownNames(tree, language, shown);
      if (node <= 0) {
        pick.error =
            name + ": " + (shown.empty() ? "the top level is no item" : "no such directory");
        return pick;
      }
      item.directory = true;
      item.node = tree[size_t(node)].parent;
      for (const std::string& stored : nodePath(tree, node)) item.hidden += "\\" + stored;
    } else {
      for (size_t r = 0; r < rows.size(); ++r) {
        if (!rowNamed(catalogue, rows[r], language, name)) continue;
        if (item.row >= 0) {
          pick.error = name + ": names several rows; name their directory instead";
          return pick;
        }
        item.row = int(r);
      }
      if (item.row < 0) {
        pick.error = name + ": not listed";
        return pick;
      }
      const CatalogueRow& row = rows[size_t(item.row)];
      const std::vector<std::string> path(row.directories.begin(),
                                          row.directories.begin() + row.depth);
      item.node = findNode(tree, path);
    }
    pick.items.push_back(std::move(item));
  }
  return pick;
}

void dropCoveredItems(const std::vector<CatalogueRow>& rows, std::vector<PickedItem>& items) {
  auto covers = [&](const PickedItem& d, const PickedItem& item) {
    if (!d.directory) return false;
    if (item.directory) return item.hidden.rfind(d.hidden + "\\", 0) == 0;
    const std::vector<int> under = rowsOfItem(rows, d.hidden);
    return std::find(under.begin(), under.end(), item.row) != under.end();
  };
  std::vector<PickedItem> kept;
  for (size_t i = 0; i < items.size(); ++i) {
    const PickedItem& item = items[i];
    bool covered = false;
    for (size_t j = 0; j < items.size() && !covered; ++j)
      covered = (j != i && covers(items[j], item)) ||
                (j < i && items[j].directory == item.directory && items[j].hidden == item.hidden &&
                 items[j].row == item.row);
    if (!covered) kept.push_back(item);
  }
  items = std::move(kept);
}

}  // namespace ostrel
