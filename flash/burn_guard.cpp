#include "flash/burn_guard.h"

#include <algorithm>

namespace ostrel {

namespace {

constexpr uint16_t kFatSector = 1;

bool sameSoftwareInPlace(const FatEntry& a, const FatEntry& b) {
  return a.startSector == b.startSector && a.sectorCount == b.sectorCount && a.brand == b.brand &&
         a.version == b.version && a.versionExtra == b.versionExtra;
}

bool stays(const FatEntry& read, const CartridgeCatalogue& planned) {
  const std::size_t count = slotsInUse(planned);
  for (std::size_t k = 0; k < count; ++k)
    if (planned.entries[k].kind != 0 && sameSoftwareInPlace(read, planned.entries[k])) return true;
  return false;
}

}  // namespace

std::vector<OverwrittenSoftware> softwareOverwrittenBy(const CartridgeCatalogue& lastRead,
                                                       const CartridgeCatalogue& planned,
                                                       std::span<const BlockRecord> plan) {
  std::vector<OverwrittenSoftware> hits;
  const std::size_t count = slotsInUse(lastRead);
  for (std::size_t i = 0; i < count; ++i) {
    const FatEntry& e = lastRead.entries[i];
    if (e.kind == 0 || !stays(e, planned)) continue;
    OverwrittenSoftware hit;
    hit.slot = uint16_t(i + 1);
    const std::size_t end =
        std::min<std::size_t>(std::size_t(e.startSector) + e.sectorCount, plan.size());
    for (std::size_t s = e.startSector; s < end; ++s) {
      if (s == kFatSector || !(plan[s].eraseFlag || plan[s].writeFlag)) continue;
      if (hit.sectors++ == 0) hit.firstSector = uint16_t(s);
      hit.lastSector = uint16_t(s);
    }
    if (hit.sectors > 0) hits.push_back(hit);
  }
  return hits;
}

}  // namespace ostrel
