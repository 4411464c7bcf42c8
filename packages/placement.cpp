#include "packages/placement.h"

#include <algorithm>
#include <cstring>

#include "packages/block_image.h"

namespace ostrel {

namespace {

bool live(const CartridgeCatalogue& c, std::size_t i) {
  return c.entries[i].kind != 0;
}

int32_t start(const CartridgeCatalogue& c, std::size_t i) {
  return c.entries[i].startSector;
}

// Aliases share one stored run, as long as the longest of them.
int32_t runLength(const CartridgeCatalogue& c, std::size_t i) {
  uint16_t longest = 0;
  for (std::size_t j = 0; j < slotsInUse(c); ++j)
    if (live(c, j) && c.entries[j].startSector == c.entries[i].startSector)
      longest = std::max(longest, c.entries[j].sectorCount);
  return longest;
}

int32_t end(const CartridgeCatalogue& c, std::size_t i) {
  return start(c, i) + runLength(c, i);
}

// Entry 1 and every alias of it hold the base software, which never moves.
bool isBase(const CartridgeCatalogue& c, std::size_t i) {
  return i == 0 || (live(c, 0) && start(c, i) == start(c, 0));
}

void moveTo(CartridgeCatalogue& c, std::size_t i, int32_t to, const std::vector<BlockRecord>& table,
            std::vector<SoftwareMove>& moves) {
  const uint16_t from = c.entries[i].startSector;
  moves.push_back(
      {from, uint16_t(to), uint16_t(runLength(c, i)), entryPending(c.entries[i], table)});
  for (std::size_t j = 0; j < slotsInUse(c); ++j)
    if (live(c, j) && c.entries[j].startSector == from) c.entries[j].startSector = uint16_t(to);
}

void copySector(std::span<uint8_t> to, std::size_t toSector, const uint8_t* from) {
  std::memcpy(to.data() + toSector * kSectorSize, from, kSectorSize);
}

}  // namespace

std::optional<std::size_t> nextEntryAbove(const CartridgeCatalogue& catalogue, std::size_t c) {
  std::optional<std::size_t> best;
  for (std::size_t j = 0; j < slotsInUse(catalogue); ++j) {
    if (!live(catalogue, j) || start(catalogue, j) <= start(catalogue, c)) continue;
    if (!best || start(catalogue, j) <= start(catalogue, *best)) best = j;
  }
  return best;
}

std::optional<std::size_t> previousEntryBelow(const CartridgeCatalogue& catalogue, std::size_t c) {
  std::optional<std::size_t> best;
  for (std::size_t j = 0; j < slotsInUse(catalogue); ++j) {
    if (!live(catalogue, j) || start(catalogue, j) >= start(catalogue, c)) continue;
    if (!best || start(catalogue, j) >= start(catalogue, *best)) best = j;
  }
  return best;
}

std::optional<std::size_t> lastEntry(const CartridgeCatalogue& catalogue) {
  std::optional<std::size_t> best;
  for (std::size_t j = 0; j < slotsInUse(catalogue); ++j) {
    if (!live(catalogue, j)) continue;
    if (!best || start(catalogue, j) > start(catalogue, *best)) best = j;
  }
  return best;
}

FirstFit firstFit(const CartridgeCatalogue& catalogue, uint16_t n) {
  if (slotsInUse(catalogue) == 0) return {false, 0};
  // A gap opens only where every run met so far has ended, so an entry lying
  // inside another opens none; sectors 0 and 1 (the FAT) are never one.
  int32_t reach = std::max<int32_t>(end(catalogue, 0), 2);
  std::size_t c = 0;
  while (auto x = nextEntryAbove(catalogue, c)) {
    if (start(catalogue, *x) - reach >= n) return {true, uint32_t(reach)};
    reach = std::max(reach, end(catalogue, *x));
    c = *x;
  }
  return {false, uint32_t(reach)};
}

bool baseNeedsRoom(const CartridgeCatalogue& catalogue, uint16_t n) {
  if (slotsInUse(catalogue) <= 1 || n <= catalogue.entries[0].sectorCount) return false;
  const auto x = nextEntryAbove(catalogue, 0);
  return x && start(catalogue, *x) - start(catalogue, 0) < n;
}

bool entryPending(const FatEntry& entry, const std::vector<BlockRecord>& table) {
  return entry.startSector < table.size() && table[entry.startSector].eraseFlag != 0;
}

std::vector<SoftwareMove> ascendingPass(CartridgeCatalogue& working,
                                        const std::vector<BlockRecord>& table) {
  std::vector<SoftwareMove> moves;
  if (slotsInUse(working) == 0) return moves;
  std::size_t c = 0;
  while (auto x = nextEntryAbove(working, c)) {
    if (end(working, c) < start(working, *x) || entryPending(working.entries[*x], table))
      moveTo(working, *x, end(working, c), table, moves);
    c = *x;
  }
  return moves;
}

std::vector<SoftwareMove> descendingPass(CartridgeCatalogue& working,
                                         const std::vector<BlockRecord>& table,
                                         uint16_t sectorCount) {
  std::vector<SoftwareMove> moves;
  const auto last = lastEntry(working);
  if (!last || isBase(working, *last)) return moves;
  std::size_t c = *last;
  const int32_t top = int32_t(sectorCount) - runLength(working, c);
  if ((end(working, c) < sectorCount || entryPending(working.entries[c], table)) && top >= 0)
    moveTo(working, c, top, table, moves);
  while (auto p = previousEntryBelow(working, c)) {
    if (isBase(working, *p)) break;
    const int32_t to = start(working, c) - runLength(working, *p);
    if ((end(working, *p) < start(working, c) || entryPending(working.entries[*p], table)) &&
        to >= 0)
      moveTo(working, *p, to, table, moves);
    c = *p;
  }
  return moves;
}

bool applyMoves(std::span<const SoftwareMove> moves, std::span<const uint8_t> backup,
                const PlannedData& plannedData, std::span<uint8_t> newImage,
                std::vector<BlockRecord>& table) {
  const std::vector<BlockRecord> original = table;
  const std::size_t sectors =
      std::min({original.size(), backup.size() / kSectorSize, newImage.size() / kSectorSize});
  std::vector<bool> destination(original.size(), false);
  for (const SoftwareMove& m : moves) {
    if (std::size_t(m.from) + m.count > sectors || std::size_t(m.to) + m.count > sectors)
      return false;
    // A run moving up is copied from its end, so it never overwrites its own
    // sectors before they are read.
    for (uint16_t i = 0; i < m.count; ++i) {
      const uint16_t f = m.to > m.from ? uint16_t(m.count - 1 - i) : i;
      const std::size_t from = std::size_t(m.from) + f, to = std::size_t(m.to) + f;
      const uint8_t* data =
          m.pending ? plannedData(uint16_t(from)) : backup.data() + from * kSectorSize;
      if (!data) return false;
      copySector(newImage, to, data);
      const std::span<const uint8_t> sector(data, kSectorSize);
      BlockRecord& r = table[to];
      if (m.pending) {
        r = original[from];
      } else {
        r.writeFlag = !isBlank(sector);
        r.eraseFlag = 1;
        const DataCheck check = dataCheck(sector);
        r.sum = check.sum;
        r.xorValue = check.xorValue;
      }
      r.source = SectorSource::FlashImage;
      destination[to] = true;
    }
  }
  // Planned sectors that stayed where they were keep their data in the new image.
  for (std::size_t s = 0; s < sectors; ++s) {
    if (destination[s] || !original[s].writeFlag || original[s].source != SectorSource::FlashImage)
      continue;
    const uint8_t* data = plannedData(uint16_t(s));
    if (!data) return false;
    copySector(newImage, s, data);
  }
  return true;
}

}  // namespace ostrel
