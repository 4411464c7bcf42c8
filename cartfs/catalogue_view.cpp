#include "cartfs/catalogue_view.h"

#include <algorithm>
#include <cstdio>

#include "app/text_helpers.h"

namespace ostrel {

namespace {

bool sameNames(const CatalogueRow& row, std::span<const std::string> names) {
  for (std::size_t i = 0; i < names.size(); ++i)
    if (row.directories[i] != names[i]) return false;
  return true;
}

std::vector<std::string> childNames(const std::vector<DirectoryNode>& tree, int node) {
  std::vector<std::string> names;
  for (const DirectoryNode& n : tree)
    if (n.parent == node) names.push_back(n.name);
  return names;
}

}  // namespace

std::vector<std::string> pathLevels(std::string_view path) {
  std::vector<std::string> levels;
  if (path.empty()) return levels;
  std::size_t from = 0;
  while (levels.size() < kMaxDirectoryLevels) {
    const std::size_t to = path.find('\\', from);
    levels.emplace_back(path.substr(from, to == std::string_view::npos ? path.npos : to - from));
    if (to == std::string_view::npos) break;
    from = to + 1;
  }
  return levels;
}

std::vector<CatalogueRow> buildCatalogueRows(const CartridgeCatalogue& catalogue,
                                             CatalogueSide side,
                                             const std::vector<bool>& standAlone) {
  const std::size_t count = slotsInUse(catalogue);
  auto alone = [&](std::size_t i) { return i + 1 < standAlone.size() && standAlone[i + 1]; };
  std::vector<CatalogueRow> rows;
  std::vector<bool> merged(count, false);
  for (std::size_t i = 0; i < count; ++i) {
    const FatEntry& first = catalogue.entries[i];
    if (first.kind == 0 || merged[i]) continue;
    CatalogueRow row;
    row.name = std::string(fatText(first.brand));
    row.versionText =
        std::string(fatText(first.version)) + " " + std::string(fatText(first.versionExtra));
    const std::vector<std::string> levels = pathLevels(fatPathText(first));
    row.depth = uint8_t(levels.size());
    std::copy(levels.begin(), levels.end(), row.directories.begin());
    row.entries.push_back(uint16_t(i + 1));
    uint16_t lastCount = first.sectorCount;
    // Every alias joins the row, however many there are: an alias left out
    // would be counted again and outlive the row's removal.
    for (std::size_t j = 0; j < count && !alone(i); ++j) {
      const FatEntry& other = catalogue.entries[j];
      if (j == i || merged[j] || alone(j) || other.kind == 0 ||
          other.startSector != first.startSector)
        continue;
      if (side == CatalogueSide::Selection && fatPathText(other) != fatPathText(first)) continue;
      merged[j] = true;
      row.name += " / " + std::string(fatText(other.brand));
      row.entries.push_back(uint16_t(j + 1));
      lastCount = other.sectorCount;
    }
    row.units = uint8_t(lastCount);
    rows.push_back(std::move(row));
  }
  return rows;
}

bool rowUnder(const CatalogueRow& row, std::span<const std::string> names) {
  return row.depth >= names.size() && names.size() <= kMaxDirectoryLevels && sameNames(row, names);
}

std::vector<DirectoryNode> buildDirectoryTree(const std::vector<CatalogueRow>& rows,
                                              bool rootWhenEmpty) {
  std::vector<DirectoryNode> tree;
  if (rows.empty() && !rootWhenEmpty) return tree;
  tree.push_back({"ROOT", -1, 0});
  for (const CatalogueRow& row : rows) {
    int parent = 0;
    for (uint8_t level = 0; level < row.depth; ++level) {
      int found = -1;
      for (std::size_t n = 0; n < tree.size(); ++n) {
        if (tree[n].parent == parent && tree[n].name == row.directories[level]) {
          found = int(n);
          break;
        }
      }
      if (found < 0) {
        tree.push_back({row.directories[level], parent, uint8_t(level + 1)});
        found = int(tree.size() - 1);
      }
      parent = found;
    }
  }
  return tree;
}

std::vector<std::string> nodePath(const std::vector<DirectoryNode>& tree, int node) {
  std::vector<std::string> names;
  for (int n = node; n > 0 && std::size_t(n) < tree.size(); n = tree[std::size_t(n)].parent)
    names.insert(names.begin(), tree[std::size_t(n)].name);
  return names;
}

int findNode(const std::vector<DirectoryNode>& tree, std::span<const std::string> names) {
  if (tree.empty()) return -1;
  int node = 0;
  for (const std::string& name : names) {
    int next = -1;
    for (std::size_t n = 0; n < tree.size(); ++n) {
      if (tree[n].parent == node && tree[n].name == name) {
        next = int(n);
        break;
      }
    }
    if (next < 0) break;
    node = next;
  }
  return node;
}

std::vector<CatalogueItem> catalogueItems(const std::vector<CatalogueRow>& rows,
                                          const std::vector<DirectoryNode>& tree, int node,
                                          CatalogueSide side, std::span<const bool> newlyAdded) {
  std::vector<CatalogueItem> items;
  if (node < 0 || std::size_t(node) >= tree.size()) return items;
  auto isNew = [&](const CatalogueRow& row) {
    const uint16_t slot = row.entries.front();
    return side == CatalogueSide::Cartridge && slot < newlyAdded.size() && newlyAdded[slot];
  };
  const std::vector<std::string> path = nodePath(tree, node);
  for (const std::string& child : childNames(tree, node)) {
    std::vector<std::string> childPath = path;
    childPath.push_back(child);
    unsigned units = 0, old = 0, added = 0;
    for (const CatalogueRow& row : rows) {
      if (!rowUnder(row, childPath)) continue;
      units += row.units;
      ++(isNew(row) ? added : old);
    }
    CatalogueItem item;
    item.directory = true;
    item.caption = "[" + child + "]";
    if (side == CatalogueSide::Cartridge) {
      item.detail = std::to_string(old) + " files";
      if (added > 0) item.detail += " (+" + std::to_string(added) + ")";
    } else {
      item.detail = std::to_string(old + added) + " files";
    }
    item.space = std::to_string(units) + "Units";
    for (const std::string& name : childPath) item.hidden += "\\" + name;
    item.highlighted = added > 0;
    items.push_back(std::move(item));
  }
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const CatalogueRow& row = rows[r];
    if (row.depth != path.size() || !sameNames(row, path)) continue;
    CatalogueItem item;
    item.caption = row.name;
    item.detail = row.versionText;
    item.space = std::to_string(row.units) + "Units";
    item.hidden = upperHex(uint32_t(r), 4);
    item.highlighted = isNew(row);
    item.row = int(r);
    items.push_back(std::move(item));
  }
  return items;
}

bool hiddenIsDirectory(std::string_view hidden) {
  return !hidden.empty() && hidden.front() == '\\';
}

std::vector<std::string> hiddenDirectoryNames(std::string_view hidden) {
  std::vector<std::string> names;
  if (!hiddenIsDirectory(hidden)) return names;
  std::size_t from = 1;
  while (true) {
    const std::size_t to = hidden.find('\\', from);
    names.emplace_back(hidden.substr(from, to == std::string_view::npos ? hidden.npos : to - from));
    if (to == std::string_view::npos) break;
    from = to + 1;
  }
  return names;
}

std::vector<int> rowsOfItem(const std::vector<CatalogueRow>& rows, std::string_view hidden) {
  std::vector<int> out;
  if (hiddenIsDirectory(hidden)) {
    const std::vector<std::string> names = hiddenDirectoryNames(hidden);
    for (std::size_t r = 0; r < rows.size(); ++r)
      if (rowUnder(rows[r], names)) out.push_back(int(r));
    return out;
  }
  const uint32_t index = hexTextToUint(hidden);
  if (!hidden.empty() && index < rows.size()) out.push_back(int(index));
  return out;
}

uint16_t selectedUnits(const std::vector<CatalogueRow>& rows,
                       std::span<const std::string> selectedHidden) {
  uint16_t sum = 0;
  for (const std::string& hidden : selectedHidden)
    for (int r : rowsOfItem(rows, hidden)) sum = uint16_t(sum + rows[std::size_t(r)].units);
  return sum;
}

std::vector<DirectoryOverLimit> directoriesOverLimit(const std::vector<CatalogueRow>& cartridgeRows,
                                                     const std::vector<CatalogueRow>& selectionRows,
                                                     std::span<const std::string> selectedHidden,
                                                     std::span<const std::string> nodeNames) {
  // One record per distinct directory: its names and how many rows it holds.
  struct Record {
    std::vector<std::string> names;
    unsigned rows = 0;
    bool selected = false;
    unsigned selectedRows = 0;
  };
  auto tabulate = [](const std::vector<CatalogueRow>& rows) {
    std::vector<Record> records;
    for (const CatalogueRow& row : rows) {
      std::vector<std::string> names(row.directories.begin(), row.directories.begin() + row.depth);
      auto it = std::find_if(records.begin(), records.end(),
                             [&](const Record& r) { return r.names == names; });
      if (it == records.end())
        records.push_back({std::move(names), 1});
      else
        ++it->rows;
    }
    return records;
  };
  const std::vector<Record> cartridge = tabulate(cartridgeRows);
  std::vector<Record> selection = tabulate(selectionRows);

  const std::vector<std::string> node(nodeNames.begin(), nodeNames.end());
  for (const std::string& hidden : selectedHidden) {
    if (hiddenIsDirectory(hidden)) {
      const std::vector<std::string> names = hiddenDirectoryNames(hidden);
      for (Record& r : selection) {
        if (r.names.size() >= names.size() &&
            std::equal(names.begin(), names.end(), r.names.begin())) {
          r.selected = true;
          r.selectedRows = r.rows;
        }
      }
    } else {
      // A software item lies in the directory of the selected tree node.
      for (Record& r : selection) {
        if (r.names == node) {
          r.selected = true;
          ++r.selectedRows;
        }
      }
    }
  }

  std::vector<DirectoryOverLimit> over;
  for (const Record& r : selection) {
    if (!r.selected) continue;
    auto onCartridge = std::find_if(cartridge.begin(), cartridge.end(),
                                    [&](const Record& c) { return c.names == r.names; });
    const unsigned already = onCartridge == cartridge.end() ? 0 : onCartridge->rows;
    if (r.selectedRows + already <= kMaxSoftwarePerDirectory) continue;
    DirectoryOverLimit d;
    d.names = r.names;
    d.shownPath = " [" + (r.names.size() > 0 ? r.names[0] : std::string()) + "\\" +
                  (r.names.size() > 1 ? r.names[1] : std::string()) + "]";
    over.push_back(std::move(d));
  }
  return over;
}

}  // namespace ostrel
