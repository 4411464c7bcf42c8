#include "cartfs/catalogue_check.h"

#include <algorithm>
#include <utility>

namespace ostrel {

namespace {

constexpr std::size_t kFatLogicalSector = 1;

// One past the last sector an entry takes; an empty entry takes its start.
uint32_t coverEnd(const FatEntry& e) {
  return uint32_t(e.startSector) + std::max<uint32_t>(e.sectorCount, 1);
}

}  // namespace

bool CatalogueJudgement::isWrong(std::size_t slot) const {
  return std::any_of(wrong.begin(), wrong.end(),
                     [slot](const WrongEntry& w) { return w.slot == slot; });
}

std::vector<bool> CatalogueJudgement::wrongSlots() const {
  std::vector<bool> slots(kFatMaxEntries + 1, false);
  for (const WrongEntry& w : wrong) slots[w.slot] = true;
  return slots;
}

CatalogueJudgement judgeCatalogue(const CartridgeCatalogue& catalogue, uint16_t sectorCount) {
  const std::size_t count = slotsInUse(catalogue);
  const FatEntry& base = catalogue.entries[0];
  const bool baseLive = count > 0 && base.kind != 0;
  CatalogueJudgement judgement;
  for (std::size_t i = 0; i < count; ++i) {
    const FatEntry& e = catalogue.entries[i];
    if (e.kind == 0) continue;
    WrongEntry w;
    w.slot = uint16_t(i + 1);
    w.pastEnd = coverEnd(e) > sectorCount;
    w.inBaseSectors =
        i > 0 && e.startSector <= 1 && !(baseLive && e.startSector == base.startSector);
    for (std::size_t k = 0; k < count && w.overlaps == 0; ++k) {
      const FatEntry& other = catalogue.entries[k];
      if (k == i || other.kind == 0 || other.startSector == e.startSector) continue;
      if (e.startSector < coverEnd(other) && other.startSector < coverEnd(e))
        w.overlaps = uint16_t(k + 1);
    }
    if (w.overlaps != 0 || w.inBaseSectors || w.pastEnd) judgement.wrong.push_back(w);
  }
  return judgement;
}

std::string wrongEntryText(const WrongEntry& wrong, const CartridgeCatalogue& catalogue,
                           uint16_t sectorCount) {
  const FatEntry& e = catalogue.entries[wrong.slot - 1];
  std::vector<std::string> why;
  if (wrong.inBaseSectors)
    why.push_back("starts at sector " + std::to_string(e.startSector) +
                  ", which only the base software and the FAT may use");
  if (wrong.overlaps != 0)
    why.push_back("shares sectors with entry " + std::to_string(wrong.overlaps) +
                  " without being its alias");
  if (wrong.pastEnd)
    why.push_back("runs to sector " + std::to_string(coverEnd(e) - 1) + ", past the last sector " +
                  std::to_string(int(sectorCount) - 1));
  std::string text;
  for (const std::string& w : why) text += (text.empty() ? "" : "; ") + w;
  return text;
}

uint16_t usedSectorCount(const CartridgeCatalogue& catalogue, uint16_t sectorCount) {
  // The runs in start order, merged where they meet: aliases and overlaps count once.
  std::vector<std::pair<uint32_t, uint32_t>> runs;
  const std::size_t count = slotsInUse(catalogue);
  for (std::size_t i = 0; i < count; ++i) {
    const FatEntry& e = catalogue.entries[i];
    const uint32_t end = std::min<uint32_t>(uint32_t(e.startSector) + e.sectorCount, sectorCount);
    if (e.kind != 0 && e.startSector < end) runs.emplace_back(e.startSector, end);
  }
  std::sort(runs.begin(), runs.end());
  uint32_t used = 0, reach = 0;
  for (const auto& [from, to] : runs) {
    const uint32_t start = std::max(from, reach);
    if (to > start) used += to - start;
    reach = std::max(reach, to);
  }
  return uint16_t(used);
}

std::vector<LogicalRelease> removalReleases(const CartridgeCatalogue& kept,
                                            std::span<const SectorRun> removed,
                                            const MappingTable& table, uint16_t sectorCount) {
  // Logical sectors the kept entries cover, by counting run starts and ends.
  std::vector<int32_t> depth(kMappingLogicalLimit + 1, 0);
  const std::size_t count = slotsInUse(kept);
  for (std::size_t i = 0; i < count; ++i) {
    const FatEntry& e = kept.entries[i];
    if (e.kind == 0) continue;
    const std::size_t from = std::min<std::size_t>(e.startSector, kMappingLogicalLimit);
    const std::size_t to =
        std::min<std::size_t>(std::size_t(e.startSector) + e.sectorCount, kMappingLogicalLimit);
    ++depth[from];
    --depth[to];
  }
  std::vector<bool> covered(kMappingLogicalLimit, false);
  std::vector<bool> physicalKept(kMappingWordCount, false);
  int32_t running = 0;
  for (std::size_t s = 0; s < kMappingLogicalLimit; ++s) {
    running += depth[s];
    covered[s] = running > 0 || s == kFatLogicalSector;
    if (covered[s] && table.words[s] <= sectorCount) physicalKept[table.words[s]] = true;
  }

  std::vector<LogicalRelease> releases;
  std::vector<bool> taken(kMappingLogicalLimit, false);
  for (const SectorRun& run : removed) {
    const std::size_t end =
        std::min<std::size_t>(std::size_t(run.start) + run.count, kMappingLogicalLimit);
    for (std::size_t s = run.start; s < end; ++s) {
      if (covered[s] || taken[s]) continue;
      taken[s] = true;
      const uint16_t physical = table.words[s];
      releases.push_back({uint16_t(s), !(physical <= sectorCount && physicalKept[physical])});
    }
  }
  return releases;
}

}  // namespace ostrel
