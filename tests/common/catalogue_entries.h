// Catalogues written out as a list of entries, for the tests of the rules
// that read them (placement, the judgement of a catalogue, the burn check).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "cartfs/fat.h"

namespace ostrel::test {

struct Soft {
  uint16_t start, count;
  const char* brand = "S";
  const char* version = "V1";
  uint8_t kind = 2;
};

// Slots 1..n hold the entries in order.
inline std::unique_ptr<CartridgeCatalogue> catalogue(const std::vector<Soft>& entries) {
  auto c = std::make_unique<CartridgeCatalogue>();
  c->header.entryCount = uint16_t(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    FatEntry& e = c->entries[i];
    e.kind = entries[i].kind;
    setFatText(e.brand, entries[i].brand);
    setFatText(e.version, entries[i].version);
    e.startSector = entries[i].start;
    e.sectorCount = entries[i].count;
  }
  return c;
}

}  // namespace ostrel::test
