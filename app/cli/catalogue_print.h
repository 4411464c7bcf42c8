// The catalogues as the command line prints them: the entries as they are
// stored (the keys of ostrel-pkg info), and the rows and directory tree of the
// cartridge side as the window shows them.
#pragma once

#include "app/form_main.h"

namespace ostrel {

// Every live entry: a table, or with json an array of objects with the keys
// slot, kind, attribute, brand, version, versionExtra, startSector,
// sectorCount and path.
void printEntries(const CartridgeCatalogue& catalogue, int language, bool json);

// The cartridge side's rows (newly added ones marked) with the free and used
// space and, with tree, the directories with their file counts and space.
// JSON: an object with rows (row, name, version, units, path, entries,
// newlyAdded), freeSpace, usedSpace and, with tree, tree (path, name, level,
// files, units).
void printRows(TForm_MAIN& form, bool json, bool tree);

}  // namespace ostrel
