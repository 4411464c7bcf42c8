// The catalogues as the command line prints them: the entries as they are
// stored (the keys of ostrel-pkg info), and the rows and directory tree of the
// cartridge side as the window shows them.
#pragma once

#include <QJsonDocument>
#include <QJsonObject>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "app/form_main.h"

namespace ostrel {

// One JSON document on stdout, indented.
void printJson(const QJsonDocument& doc);

// Why each wrong entry of the cartridge's catalogue cannot be trusted, by slot.
std::map<uint16_t, std::string> wrongEntryTexts(const TForm_MAIN& form);

// Every live entry: a table, or with json an array of objects with the keys
// slot, kind, attribute, brand, version, versionExtra, startSector,
// sectorCount and path. Given the wrong entries (the cartridge's catalogue),
// the table is followed by a line for each and every object gets the key
// problem: why the entry is wrong, "" when it is not.
void printEntries(const CartridgeCatalogue& catalogue, int language, bool json,
                  const std::optional<std::map<uint16_t, std::string>>& wrong = std::nullopt);

// The cartridge side's rows (newly added ones marked) with the free and used
// space, the wrong entries and, with tree, the directories with their file
// counts and space. JSON: an object with rows (row, name, version, units,
// path, entries, newlyAdded), freeSpace, usedSpace, wrongEntries (slot,
// brand, problem) and, with tree, tree (path, name, level, files, units);
// the keys of extra come first.
void printRows(TForm_MAIN& form, bool json, bool tree, const QJsonObject& extra = {});

}  // namespace ostrel
