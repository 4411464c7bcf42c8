// What the two catalogue panels show: one row per stored piece of software
// (aliases merged), the directory tree, the list of a tree node, the space
// totals, and the limits on software per cartridge and per directory.
// Texts stay as stored (UTF-8 or the legacy code page); the form converts
// them where they meet a control.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cartfs/fat.h"

namespace ostrel {

inline constexpr std::size_t kMaxDirectoryLevels = 4;
inline constexpr std::size_t kMaxSoftwarePerDirectory = 50;
inline constexpr std::size_t kMaxSoftwarePerCartridge = 255;

// The cartridge side merges every entry with the same start sector into one
// row; the selection side only those whose paths are equal too.
enum class CatalogueSide : uint8_t { Cartridge, Selection };

struct CatalogueRow {
  std::string name;         // brand, then " / " and the brand of each merged alias
  std::string versionText;  // version + " " + versionExtra of the first entry
  uint8_t units = 0;        // low 8 bits of sectorCount of the last merged entry
  std::array<std::string, kMaxDirectoryLevels> directories;
  uint8_t depth = 0;              // 0 = top level
  std::vector<uint16_t> entries;  // slot numbers, the row's first entry first
};

// One row per live slot that is not an alias of an earlier row. A slot marked
// in standAlone (indexed by slot; a wrong entry of the cartridge's catalogue)
// joins no row and takes none in, so it can be named and removed by itself.
std::vector<CatalogueRow> buildCatalogueRows(const CartridgeCatalogue& catalogue,
                                             CatalogueSide side,
                                             const std::vector<bool>& standAlone = {});

// The directory levels of an entry's path: each "\" starts a level; at most
// four are kept.
std::vector<std::string> pathLevels(std::string_view path);

// Whether the row lies in the directory given by names, at any depth below it.
bool rowUnder(const CatalogueRow& row, std::span<const std::string> names);

// A directory node; node 0 is the root.
struct DirectoryNode {
  std::string name;  // "ROOT" for the root, else the directory name as stored
  int parent = -1;
  uint8_t level = 0;  // root 0
};

// The root and every directory of the rows, children in the order of the
// rows that first use them. Empty when there are no rows and !rootWhenEmpty.
std::vector<DirectoryNode> buildDirectoryTree(const std::vector<CatalogueRow>& rows,
                                              bool rootWhenEmpty);

// Names from level 1 down to the node (empty for the root).
std::vector<std::string> nodePath(const std::vector<DirectoryNode>& tree, int node);

// The deepest node reached by walking names down from the root (a name
// without a matching child ends the walk).
int findNode(const std::vector<DirectoryNode>& tree, std::span<const std::string> names);

// One item of a catalogue list.
struct CatalogueItem {
  bool directory = false;
  std::string caption;       // "[" name "]", or the row name
  std::string detail;        // file count text, or the row's version text
  std::string space;         // units + "Units"
  std::string hidden;        // "\" + the directory's path, or the row index in 4 hex digits
  bool highlighted = false;  // cartridge side: newly added software or a directory holding some
  int row = -1;              // software items: the row index
};

// The list of a tree node: a directory item per child, then the node's own
// software. newlyAdded (indexed by slot, cartridge side only) may be empty.
std::vector<CatalogueItem> catalogueItems(const std::vector<CatalogueRow>& rows,
                                          const std::vector<DirectoryNode>& tree, int node,
                                          CatalogueSide side, std::span<const bool> newlyAdded);

// A selected list item as the hidden sub-item tells it: a directory ("\A\B")
// or a software row (4 hex digits). Rows of a directory are every row below it.
bool hiddenIsDirectory(std::string_view hidden);
std::vector<std::string> hiddenDirectoryNames(std::string_view hidden);
// Row indexes a selected item stands for, in row order; unknown indexes give none.
std::vector<int> rowsOfItem(const std::vector<CatalogueRow>& rows, std::string_view hidden);

// Sum over the selected items of the units of the rows each stands for, 16
// bits; a row selected twice (in a directory and on its own) counts twice.
uint16_t selectedUnits(const std::vector<CatalogueRow>& rows,
                       std::span<const std::string> selectedHidden);

// A directory that would hold more than 50 software rows after installing
// the selected items: its depth and names, and the message's " [A\B]" suffix.
struct DirectoryOverLimit {
  std::vector<std::string> names;
  std::string shownPath;
};
// selectedHidden: the selected items of the selection list; nodeNames: the
// path of the selected selection-tree node (software items count there).
std::vector<DirectoryOverLimit> directoriesOverLimit(const std::vector<CatalogueRow>& cartridgeRows,
                                                     const std::vector<CatalogueRow>& selectionRows,
                                                     std::span<const std::string> selectedHidden,
                                                     std::span<const std::string> nodeNames);

}  // namespace ostrel
