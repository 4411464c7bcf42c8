// Whether the cartridge's catalogue can be trusted to say which sectors hold
// software. Installation measures free space from it and removal releases
// sectors by it (Ostrel IV), so a catalogue whose entries overlap, sit in the
// base software's first sectors or run past the cartridge's end must not be
// changed: only its wrong entries may be taken out. Entries with the same
// start sector are aliases (one stored run under several names).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "cartfs/fat.h"
#include "cartfs/mapping_table.h"

namespace ostrel {

// One entry that cannot be trusted, and why (any of the three).
struct WrongEntry {
  uint16_t slot = 0;           // 1-based
  uint16_t overlaps = 0;       // first live entry of another run sharing a sector with it; 0: none
  bool inBaseSectors = false;  // starts at sector 0 or 1 without being the base software (slot
                               // 1) or an alias of it
  bool pastEnd = false;        // reaches past the cartridge's last sector
  bool operator==(const WrongEntry&) const = default;
};

struct CatalogueJudgement {
  std::vector<WrongEntry> wrong;  // in slot order
  bool sound() const { return wrong.empty(); }
  bool isWrong(std::size_t slot) const;
  // Indexed by slot (0 unused): whether the slot is wrong.
  std::vector<bool> wrongSlots() const;
};

// Judges live slots 1..count. An entry covers sectors start .. start+count-1;
// one of length 0 still takes its start sector, since first fit would
// otherwise measure a gap from inside another entry's run.
CatalogueJudgement judgeCatalogue(const CartridgeCatalogue& catalogue, uint16_t sectorCount);

// Why, in words for the operator log and the listings (no entry names):
// "starts at sector 2, among the base software's first sectors; shares
// sectors with entry 5 without being its alias".
std::string wrongEntryText(const WrongEntry& wrong, const CartridgeCatalogue& catalogue,
                           uint16_t sectorCount);

// Sectors 0..sectorCount-1 that some live entry covers, each counted once:
// never more than the cartridge holds.
uint16_t usedSectorCount(const CartridgeCatalogue& catalogue, uint16_t sectorCount);

// Ostrel IV: what removing runs of logical sectors may release. A logical
// sector that a live entry of `kept` still covers, or the FAT's sector 1,
// stays as it is; for the
// others, freePhysical says whether their physical sector may be given out
// again (false when a logical sector of `kept` maps to it too).
struct LogicalRelease {
  uint16_t logical = 0;
  bool freePhysical = true;
  bool operator==(const LogicalRelease&) const = default;
};
std::vector<LogicalRelease> removalReleases(const CartridgeCatalogue& kept,
                                            std::span<const SectorRun> removed,
                                            const MappingTable& table, uint16_t sectorCount);

}  // namespace ostrel
