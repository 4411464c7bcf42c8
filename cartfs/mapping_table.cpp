#include "cartfs/mapping_table.h"

#include <algorithm>

namespace ostrel {

namespace {

uint16_t poolTop(uint16_t sectorCount) {
  return std::min(sectorCount, kHighestPoolSector);
}

void setSignature(MappingTable& table) {
  for (std::size_t i = 0; i < kMappingSignature.size(); ++i) {
    table.words[kMappingSignatureWord + i] = kMappingSignature[i];
  }
}

bool sectorPresent(std::span<const uint8_t> sector) {
  return sector.size() == kMappingSectorBytes;
}

}  // namespace

uint16_t mappingChecksum(const MappingTable& table) {
  uint32_t sum = 0;
  for (std::size_t i = 0; i < kMappingChecksumWord; ++i) sum += table.words[i];
  return static_cast<uint16_t>(sum);
}

bool mappingTableValid(const MappingTable& table) {
  for (std::size_t i = 0; i < kMappingSignature.size(); ++i) {
    if (table.words[kMappingSignatureWord + i] != kMappingSignature[i]) return false;
  }
  if (table.words[0] == UNMAPPED_SECTOR) return false;
  return table.words[kMappingChecksumWord] == mappingChecksum(table);
}

void makeFreshMappingTable(MappingTable& table) {
  table.clear();
  setSignature(table);
  table.words[kMappingChecksumWord] = mappingChecksum(table);
}

MappingReadOutcome decodeMappingTable(std::span<const uint8_t> sectorLow,
                                      std::span<const uint8_t> sectorHigh, uint16_t sectorCount,
                                      MappingTable& table) {
  table.clear();
  const bool lowPresent = sectorPresent(sectorLow);
  const bool highPresent = sectorPresent(sectorHigh);
  if (!lowPresent && !highPresent) return MappingReadOutcome::NoData;

  // A missing half decodes as unmapped words; the table then cannot count as valid.
  constexpr std::size_t kHalfWords = kMappingWordCount / 2;
  if (lowPresent) {
    for (std::size_t i = 0; i < kHalfWords; ++i) {
      table.words[i] = static_cast<uint16_t>((sectorLow[2 * i] << 8) | sectorLow[2 * i + 1]);
    }
  }
  if (highPresent) {
    for (std::size_t i = 0; i < kHalfWords; ++i) {
      table.words[kHalfWords + i] =
          static_cast<uint16_t>((sectorHigh[2 * i] << 8) | sectorHigh[2 * i + 1]);
    }
  }

  MappingReadOutcome outcome = MappingReadOutcome::Valid;
  if (!lowPresent || !highPresent || !mappingTableValid(table)) {
    const auto erased = [](std::span<const uint8_t> s) {
      return std::all_of(s.begin(), s.end(), [](uint8_t b) { return b == 0xFF; });
    };
    outcome = lowPresent && highPresent && erased(sectorLow) && erased(sectorHigh)
                  ? MappingReadOutcome::Blank
                  : MappingReadOutcome::FreshStarted;
    makeFreshMappingTable(table);
  }
  rebuildPhysicalSectorInUse(table, sectorCount);
  return outcome;
}

void rebuildPhysicalSectorInUse(MappingTable& table, uint16_t sectorCount) {
  std::fill_n(table.physicalSectorInUse.begin(), std::size_t(sectorCount) + 1, uint8_t{0});
  const std::size_t lastLogical = std::min<std::size_t>(sectorCount, kMappingLogicalLimit - 1);
  for (std::size_t logical = 0; logical <= lastLogical; ++logical) {
    const uint16_t physical = table.words[logical];
    if (physical != UNMAPPED_SECTOR && physical <= sectorCount) {
      table.physicalSectorInUse[physical] = 1;
    }
  }
}

void mapIdentitySector(MappingTable& table, uint16_t sector, uint16_t sectorCount) {
  if (sector >= kIdentitySectors) return;
  releaseLogicalSector(table, sector, sectorCount);
  const std::size_t lastLogical = std::min<std::size_t>(sectorCount, kMappingLogicalLimit - 1);
  for (std::size_t logical = 0; logical <= lastLogical; ++logical)
    if (table.words[logical] == sector) table.words[logical] = UNMAPPED_SECTOR;
  table.words[sector] = sector;
  if (sector <= poolTop(sectorCount)) table.physicalSectorInUse[sector] = 1;
}

void reserveIdentitySectors(MappingTable& table, uint16_t sectorCount) {
  for (uint16_t p = 0; p < kIdentitySectors && p <= poolTop(sectorCount); ++p)
    table.physicalSectorInUse[p] = 1;
}

void forceIdentityLowSectors(MappingTable& table) {
  for (uint16_t i = 0; i < 128; ++i) table.words[i] = i;
  setSignature(table);
}

std::vector<uint8_t> encodeMappingTable(const MappingTable& table) {
  std::vector<uint8_t> image(kMappingImageBytes);
  uint32_t sum = 0;
  for (std::size_t i = 0; i < kMappingChecksumWord; ++i) {
    const uint16_t word = table.words[i];
    image[2 * i] = static_cast<uint8_t>(word >> 8);
    image[2 * i + 1] = static_cast<uint8_t>(word);
    sum += word;
  }
  image[2 * kMappingChecksumWord] = static_cast<uint8_t>(sum >> 8);
  image[2 * kMappingChecksumWord + 1] = static_cast<uint8_t>(sum);
  return image;
}

std::optional<uint16_t> allocatePhysicalSector(MappingTable& table, uint16_t logical,
                                               uint16_t sectorCount) {
  if (logical >= kMappingLogicalLimit) return std::nullopt;
  const uint16_t top = poolTop(sectorCount);
  for (uint32_t physical = 0; physical <= top; ++physical) {
    if (table.physicalSectorInUse[physical] == 0) {
      table.physicalSectorInUse[physical] = 1;
      table.words[logical] = static_cast<uint16_t>(physical);
      return static_cast<uint16_t>(physical);
    }
  }
  return std::nullopt;
}

void releaseLogicalSector(MappingTable& table, uint16_t logical, uint16_t sectorCount) {
  if (logical >= kMappingLogicalLimit) return;
  const uint16_t old = table.words[logical];
  if (old != UNMAPPED_SECTOR && old <= sectorCount) table.physicalSectorInUse[old] = 0;
  table.words[logical] = UNMAPPED_SECTOR;
}

bool relocateLogicalRun(MappingTable& table, uint16_t start, uint16_t count, uint16_t newStart) {
  if (std::size_t(start) + count > kMappingLogicalLimit ||
      std::size_t(newStart) + count > kMappingLogicalLimit) {
    return false;
  }
  // Moving a run onto itself must keep it: the copy-then-clear below would unmap it.
  if (newStart == start || count == 0) return true;
  auto moveOne = [&](std::size_t k) {
    table.words[newStart + k] = table.words[start + k];
    table.words[start + k] = UNMAPPED_SECTOR;
  };
  if (newStart > start) {
    for (std::size_t k = count; k-- > 0;) moveOne(k);
  } else {
    for (std::size_t k = 0; k < count; ++k) moveOne(k);
  }
  return true;
}

void pruneMappingTable(MappingTable& table, std::span<const SectorRun> ownedRuns,
                       uint16_t sectorCount) {
  auto& inUse = table.physicalSectorInUse;
  std::fill_n(inUse.begin(), std::size_t(sectorCount) + 1, uint8_t{0});
  auto mark = [&](std::size_t logical) {
    const uint16_t physical = table.words[logical];
    if (physical != UNMAPPED_SECTOR && physical <= sectorCount) inUse[physical] = 1;
  };
  // The FAT lives in logical sector 1 whether or not an entry's run covers it.
  mark(1);
  for (const SectorRun& run : ownedRuns) {
    const std::size_t end =
        std::min<std::size_t>(std::size_t(run.start) + run.count, kMappingLogicalLimit);
    for (std::size_t logical = run.start; logical < end; ++logical) mark(logical);
  }
  const std::size_t lastLogical = std::min<std::size_t>(sectorCount, kMappingLogicalLimit - 1);
  for (std::size_t logical = 0; logical <= lastLogical; ++logical) {
    // A word outside the pool can never be marked, so it is dropped as well.
    const uint16_t physical = table.words[logical];
    if (physical > sectorCount || inUse[physical] == 0) table.words[logical] = UNMAPPED_SECTOR;
  }
}

}  // namespace ostrel
