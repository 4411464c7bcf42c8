// Laying out a package from its software: where each piece goes in the
// package's image, the catalogue block, and generated test data. The
// ostrel-pkg tool reads descriptions into these records and writes the
// package block by block, so no image is ever held whole.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cartfs/fat.h"

namespace ostrel {

class PackageWriter;

// Where a piece of software's bytes come from, sector by sector.
struct SoftwareData {
  uint64_t size = 0;  // bytes
  // Copies sector k's bytes (fewer than 65536 in a short last sector) to the
  // start of out; false when they cannot be read.
  std::function<bool(uint32_t sector, std::span<uint8_t> out)> read;
};
SoftwareData bytesData(std::vector<uint8_t> bytes);
// count generated sectors that differ from sector to sector and from tag to
// tag; each starts with a readable line naming tag and sector.
SoftwareData patternData(std::string tag, uint32_t count);
void patternSector(std::string_view tag, uint32_t sector, uint32_t count, std::span<uint8_t> out);

struct PackageSoftware {
  // Catalogue fields; startSector and sectorCount are set by the layout.
  FatEntry entry;
  // Further names of the same data (aliases share start and length).
  std::vector<FatEntry> aliases;
  // The software's bytes; a short last sector is padded with 0xFF.
  SoftwareData data;
};

struct PackageLayout {
  std::string error;             // empty on success
  uint32_t blocks = 0;           // image blocks; block 1 holds the catalogue
  std::vector<uint32_t> starts;  // each software's first block
  CartridgeCatalogue catalogue;
};

// The base software (brand "OBDII") starts at block 0, as on the cartridge,
// and must come first; its second sector is the catalogue block and must be
// blank in its data. Every other piece follows from block 2 on, in order,
// without gaps. Sizes are checked before any data is read.
PackageLayout layOutPackage(const std::vector<PackageSoftware>& software);

// Writes a laid-out package block by block, reading each piece of software
// as its blocks come. Empty on success, else why not.
std::string writeLaidOutPackage(const PackageLayout& layout,
                                const std::vector<PackageSoftware>& software,
                                PackageWriter& writer);

}  // namespace ostrel
