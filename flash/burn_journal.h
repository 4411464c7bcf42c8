// The burn journal: what a burn is about to overwrite and how far it got,
// kept on disk so that a burn cut off by a pulled cable, a crash or a power
// loss can be recognised at the next connection and undone or completed.
//
// A burn appends records as it goes, each flushed before the write it
// announces: the old FAT (and on Ostrel IV the old mapping table), the old
// content of every sector holding software that the burn may overwrite, then
// "sector begins" before each sector write, the new FAT before it is written,
// "FAT written" after it, the new mapping table before it is written, and
// "complete" at the end. A record torn by an interruption ends the journal.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace ostrel {

enum class JournalRecord : uint8_t {
  Header = 1,        // generation, sector count, module ID
  OldFat = 2,        // the FAT sector as on the cartridge before the burn
  OldTable = 3,      // Ostrel IV: the mapping table image before the burn
  OldSector = 4,     // the content of a sector that held software before the burn
  SectorBegins = 5,  // a write of this sector (block) is about to start
  NewFat = 6,        // the FAT sector about to be written
  FatWritten = 7,    // the FAT sector was written
  NewTable = 8,      // Ostrel IV: the mapping table image about to be written
  Complete = 9,      // the burn ended; nothing to recover
};

struct BurnJournal {
  uint8_t generation = 0;
  uint16_t sectorCount = 0;
  std::array<uint8_t, 4> module{};
  std::vector<uint8_t> oldFat, oldTable, newFat, newTable;
  std::map<uint16_t, std::vector<uint8_t>> oldSectors;
  std::set<uint16_t> begun;  // sectors whose write may have started
  bool fatWritten = false;
  bool complete = false;
};

// One record as stored: type, sector, length, payload, and a checksum over them.
std::vector<uint8_t> journalRecord(JournalRecord type, uint16_t sector,
                                   std::span<const uint8_t> payload = {});
// The file's first bytes.
std::vector<uint8_t> journalStart(uint8_t generation, uint16_t sectorCount,
                                  std::array<uint8_t, 4> module);

// Reads what was written: every record up to the first damaged or cut one.
// Empty when the start is not a journal's.
std::optional<BurnJournal> decodeJournal(std::span<const uint8_t> bytes);

enum class BurnVerdict : uint8_t {
  Intact,   // the cartridge holds the state before or after the burn: nothing to do
  Damaged,  // software the catalogue lists may be damaged: offer the restore
};

// What the cartridge holds after a burn the journal describes, judged from the
// FAT now on it (empty when it could not be read). blocksOfTwo: the module
// erases 128 KiB blocks, so a write can damage its neighbour too.
BurnVerdict judgeBurn(const BurnJournal& journal, std::span<const uint8_t> fatNow,
                      bool blocksOfTwo);

// Ostrel IV: which mapping table to write back when the one on the cartridge
// is damaged: the new one when the FAT it belongs to was written, else the old.
const std::vector<uint8_t>& tableToRestore(const BurnJournal& journal);

}  // namespace ostrel
