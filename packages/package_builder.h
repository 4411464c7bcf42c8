// Laying out a package from its software: where each piece goes in the
// package's image, the catalogue block, and generated test data. The
// ostrel-pkg tool reads descriptions into these records and packs the result.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cartfs/fat.h"

namespace ostrel {

struct PackageSoftware {
  // Catalogue fields; startSector and sectorCount are set by the layout.
  FatEntry entry;
  // Further names of the same data (aliases share start and length).
  std::vector<FatEntry> aliases;
  // The software's bytes; a short last sector is padded with 0xFF.
  std::vector<uint8_t> data;
};

struct PackageLayout {
  std::string error;           // empty on success
  std::vector<uint8_t> image;  // whole blocks; block 1 holds the catalogue
  CartridgeCatalogue catalogue;
};

// The base software (brand "OBDII") starts at block 0, as on the cartridge,
// and must come first; its second sector is the catalogue block and must be
// blank in its data. Every other piece follows from block 2 on, in order,
// without gaps.
PackageLayout layOutPackage(const std::vector<PackageSoftware>& software);

// count sectors of data that differ from sector to sector and from tag to
// tag; each sector starts with a readable line naming tag and sector.
std::vector<uint8_t> patternSectors(std::string_view tag, uint32_t count);

}  // namespace ostrel
