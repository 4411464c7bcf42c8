// Where software goes on the cartridge: first fit behind the base software,
// and the two compactions that gather the free space when it is fragmented.
// Pure rules over the catalogue, the sector plan and whole-cartridge images.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "cartfs/fat.h"
#include "flash/block_table.h"

namespace ostrel {

// Slot indexes below are 0-based (slot k is entries[k - 1]); none = empty.
// The live entry with the smallest start above slot c's (ties: the later slot).
std::optional<std::size_t> nextEntryAbove(const CartridgeCatalogue& catalogue, std::size_t c);
// The live entry with the largest start below slot c's (ties: the later slot).
std::optional<std::size_t> previousEntryBelow(const CartridgeCatalogue& catalogue, std::size_t c);
// The live entry with the largest start (ties: the earlier slot, from entry 1 on).
std::optional<std::size_t> lastEntry(const CartridgeCatalogue& catalogue);

// First fit of n sectors behind entry 1: the start of the first gap that
// holds n, or behind every entry when none does. Never sector 0 or 1.
struct FirstFit {
  bool gap = false;
  uint32_t start = 0;
};
FirstFit firstFit(const CartridgeCatalogue& catalogue, uint16_t n);

// A new base software of n sectors at sector 0 needs the software behind the
// present one moved first.
bool baseNeedsRoom(const CartridgeCatalogue& catalogue, uint16_t n);

// One piece of software (with its aliases) moved from one start to another.
struct SoftwareMove {
  uint16_t from = 0;
  uint16_t to = 0;
  uint16_t count = 0;
  bool pending = false;  // planned by an installation not yet written
};

// An entry is pending when the record of its first sector asks for an erase.
bool entryPending(const FatEntry& entry, const std::vector<BlockRecord>& table);

// The passes over a working copy of the catalogue: the moves in the order
// they are made, the entries' starts changed (aliases keep sharing one).
// Ascending slides everything behind entry 1 down without gaps; descending
// pushes everything but entry 1 flush against the end of the cartridge.
std::vector<SoftwareMove> ascendingPass(CartridgeCatalogue& working,
                                        const std::vector<BlockRecord>& table);
std::vector<SoftwareMove> descendingPass(CartridgeCatalogue& working,
                                         const std::vector<BlockRecord>& table,
                                         uint16_t sectorCount);

// The 65536 bytes a sector is planned to receive (whatever image holds them),
// or null.
using PlannedData = std::function<const uint8_t*(uint16_t sector)>;

// Carries the moves out into the new whole-cartridge image and the working
// sector plan: software that is on the cartridge comes from the backup image,
// pending software from its planned data. Every sector planned for writing
// afterwards takes its data from the new image (moved sectors, and planned
// sectors that kept their place), so the caller makes the new image the
// FlashImage. False when a move reaches beyond an image or the table.
bool applyMoves(std::span<const SoftwareMove> moves, std::span<const uint8_t> backup,
                const PlannedData& plannedData, std::span<uint8_t> newImage,
                std::vector<BlockRecord>& table);

}  // namespace ostrel
