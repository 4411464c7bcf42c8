// The last check before a burn writes anything: its plan may not erase or
// write a sector that holds software staying on the cartridge.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "cartfs/fat.h"
#include "flash/block_table.h"

namespace ostrel {

// Software of the catalogue as last read that the plan would overwrite.
struct OverwrittenSoftware {
  uint16_t slot = 0;                         // in the catalogue as last read
  uint16_t firstSector = 0, lastSector = 0;  // the first and last of its sectors planned
  uint16_t sectors = 0;                      // how many of its sectors are planned
  bool operator==(const OverwrittenSoftware&) const = default;
};

// Software stays when the planned catalogue still lists it where it was read:
// a live entry with the same start, length, brand and version. Its sectors
// may not be erased or written (on Ostrel IV: released or given new data),
// except sector 1, the FAT, which every catalogue change rewrites. Software
// that a compaction moves, that a removal drops or a new base software
// replaces no longer stays where it was, so its old sectors are free to the
// plan; the partner an Ostrel III/IV block erase reads and writes back is no
// planned sector at all. Empty when the plan is sound.
std::vector<OverwrittenSoftware> softwareOverwrittenBy(const CartridgeCatalogue& lastRead,
                                                       const CartridgeCatalogue& planned,
                                                       std::span<const BlockRecord> plan);

}  // namespace ostrel
