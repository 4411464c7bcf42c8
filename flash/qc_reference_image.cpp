#include "flash/qc_reference_image.h"

#include <algorithm>
#include <array>

#include "cartfs/fat.h"
#include "flash/block_table.h"

namespace ostrel {

namespace {

constexpr std::array<QcReferenceImageLayout, 3> kLayouts = {{
    {"QC_16M.HX", 256},
    {"QC_8M.HX", 128},
    {"QC_8M_OST3.HX", 128},
}};

constexpr size_t kRecordData = 32;

void appendRecord(std::string& out, char type, uint32_t address, size_t addressBytes,
                  std::span<const uint8_t> data) {
  static const char kHex[] = "0123456789ABCDEF";
  auto put = [&out](uint8_t b) {
    out += kHex[b >> 4];
    out += kHex[b & 0x0F];
  };
  const uint8_t count = uint8_t(addressBytes + data.size() + 1);
  unsigned sum = count;
  out += 'S';
  out += type;
  put(count);
  for (size_t i = addressBytes; i-- > 0;) {
    const uint8_t b = uint8_t(address >> (8 * i));
    sum += b;
    put(b);
  }
  for (uint8_t b : data) {
    sum += b;
    put(b);
  }
  put(uint8_t(~sum));
  out += '\n';
}

}  // namespace

std::span<const QcReferenceImageLayout> qcReferenceImageLayouts() {
  return kLayouts;
}

std::vector<uint8_t> qcReferenceImage(const QcReferenceImageLayout& layout) {
  std::vector<uint8_t> image(size_t(kQcReferenceSectors) * kSectorSize);
  for (uint32_t s = 0; s < kQcReferenceSectors; ++s)
    for (uint32_t i = 0; i < kSectorSize; ++i)
      image[s * kSectorSize + i] = s == kQcReferenceBlankSector ? 0xFF : qcReferenceByte(s, i);

  CartridgeCatalogue fat;
  fat.header.sectorCountWord = layout.cartridgeSectors;
  fat.header.entryCount = 1;
  FatEntry& entry = fat.entries[0];
  entry.kind = 2;
  setFatText(entry.brand, kQcTestBrand);
  setFatText(entry.version, layout.fileName);
  entry.startSector = 0;
  entry.sectorCount = kQcReferenceSectors;
  const std::vector<uint8_t> sector = serialiseFatSector(fat);
  std::copy(sector.begin(), sector.end(), image.begin() + kSectorSize);
  return image;
}

std::string sRecordText(std::span<const uint8_t> image, std::string_view title) {
  std::string out;
  out.reserve(image.size() / kRecordData * 80 + 128);
  const std::vector<uint8_t> header(title.begin(), title.end());
  appendRecord(out, '0', 0, 2, header);
  for (size_t at = 0; at < image.size(); at += kRecordData) {
    const auto data = image.subspan(at, std::min(kRecordData, image.size() - at));
    if (std::all_of(data.begin(), data.end(), [](uint8_t b) { return b == 0xFF; })) continue;
    appendRecord(out, '3', uint32_t(at), 4, data);
  }
  appendRecord(out, '7', 0, 4, {});
  return out;
}

}  // namespace ostrel
