// The command line's names for catalogue items: a row's name as listed (or
// the brand of one of its aliases), or a directory written \A\B or /A/B.
// Each becomes the list item the window would show for it, and the tree node
// whose list shows that item.
#pragma once

#include <string>
#include <vector>

#include "cartfs/catalogue_view.h"

namespace ostrel {

struct PickedItem {
  std::string name;  // as the user wrote it
  int node = 0;      // the tree node whose list shows the item
  bool directory = false;
  std::string hidden;  // directories: "\" + the stored path, joined by "\"
  int row = -1;        // software: the row index
};

struct Pick {
  std::vector<PickedItem> items;
  std::string error;  // why a name was refused (unknown, or standing for several rows)
};

// Texts are compared as the window shows them (stored texts converted for
// the language); the rows and tree are one side's.
Pick pickItems(const CartridgeCatalogue& catalogue, const std::vector<CatalogueRow>& rows,
               const std::vector<DirectoryNode>& tree, int language,
               const std::vector<std::string>& names);

// Leaves out the items a picked directory already stands for (and repeats),
// so nothing is taken twice.
void dropCoveredItems(const std::vector<CatalogueRow>& rows, std::vector<PickedItem>& items);

}  // namespace ostrel
