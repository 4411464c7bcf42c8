// The reference images QC Auto programs after the two quality-control steps:
// a small cartridge whose FAT (sector 1) lists one test entry over sectors
// 0..4. Sectors 0, 2 and 4 hold a pattern in which every data bit is both 0
// and 1 and which differs from the loop pattern of step 2, so a write that
// skipped its erase cannot pass the check; sector 3 is left blank (no record
// covers it), a sector the plan erases without writing it. The build writes
// them as S-record files next to the programs.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel {

struct QcReferenceImageLayout {
  std::string_view fileName;
  uint16_t cartridgeSectors;  // the FAT's sector-count word
};

// "QC_16M.HX" (256 sectors), "QC_8M.HX" and "QC_8M_OST3.HX" (128 each).
std::span<const QcReferenceImageLayout> qcReferenceImageLayouts();

// Sectors the image spans, from sector 0; the test entry spans them all.
inline constexpr uint16_t kQcReferenceSectors = 5;
inline constexpr uint16_t kQcReferenceBlankSector = 3;
inline constexpr std::string_view kQcTestBrand = "QC TEST";

// Byte i of pattern sector s (0, 2 or 4).
inline uint8_t qcReferenceByte(uint32_t sector, uint32_t offset) {
  return uint8_t(offset ^ (offset >> 8) ^ (sector * 0x6D));
}

// The image: kQcReferenceSectors × 65536 bytes.
std::vector<uint8_t> qcReferenceImage(const QcReferenceImageLayout& layout);

// Motorola S-record text of an image from address 0: an S0 header with the
// title, S3 records of 32 data bytes (none for bytes that are all 0xFF), an
// S7 end record; lines end in LF.
std::string sRecordText(std::span<const uint8_t> image, std::string_view title);

}  // namespace ostrel
