#include "packages/package_builder.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "app/fault_codes.h"
#include "flash/block_table.h"
#include "packages/block_image.h"
#include "packages/package_format.h"

namespace ostrel {

namespace {

constexpr uint32_t kFirstSoftwareBlock = 2;  // behind the base software's two sectors

uint64_t sectorsOf(const SoftwareData& data) {
  return (data.size + kSectorSize - 1) / kSectorSize;
}

// Sector k of a piece of software, padded blank.
bool readSector(const SoftwareData& data, uint32_t k, std::span<uint8_t> out) {
  const uint64_t from = uint64_t(k) * kSectorSize;
  const size_t n = size_t(std::min<uint64_t>(kSectorSize, data.size - from));
  std::fill(out.begin() + n, out.end(), 0xFF);
  return data.read(k, out.first(n));
}

}  // namespace

SoftwareData bytesData(std::vector<uint8_t> bytes) {
  auto shared = std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
  return {shared->size(), [shared](uint32_t k, std::span<uint8_t> out) {
            std::memcpy(out.data(), shared->data() + size_t(k) * kSectorSize, out.size());
            return true;
          }};
}

SoftwareData patternData(std::string tag, uint32_t count) {
  return {uint64_t(count) * kSectorSize,
          [tag = std::move(tag), count](uint32_t k, std::span<uint8_t> out) {
            patternSector(tag, k, count, out);
            return true;
          }};
}

void patternSector(std::string_view tag, uint32_t k, uint32_t count, std::span<uint8_t> out) {
  uint64_t hash = 1469598103934665603ull;  // FNV-1a of the tag
  for (const char c : tag) hash = (hash ^ uint8_t(c)) * 1099511628211ull;
  std::string head = "OSTREL PACKAGE|" + std::string(tag) + "|" + std::to_string(k + 1) + "/" +
                     std::to_string(count) + "|";
  head.resize(64, '.');
  std::memcpy(out.data(), head.data(), std::min(head.size(), out.size()));
  uint64_t x = hash ^ (uint64_t(k + 1) * 0x9E3779B97F4A7C15ull);
  for (size_t i = head.size(); i < out.size(); ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    out[i] = uint8_t(x >> 32);
  }
}

PackageLayout layOutPackage(const std::vector<PackageSoftware>& software) {
  PackageLayout out;
  auto fail = [&out](std::string why) -> PackageLayout& {
    out.error = std::move(why);
    out.blocks = 0;
    return out;
  };

  size_t entries = 0;
  for (const PackageSoftware& s : software) entries += 1 + s.aliases.size();
  if (entries > kFatMaxEntries)
    return fail("more than " + std::to_string(kFatMaxEntries) + " catalogue entries");

  uint32_t next = kFirstSoftwareBlock;
  for (size_t i = 0; i < software.size(); ++i) {
    const PackageSoftware& s = software[i];
    const std::string name(fatText(s.entry.brand));
    const uint64_t count = sectorsOf(s.data);
    if (count == 0) return fail(name + ": no data");
    if (count > 0xFFFF) return fail(name + ": more than 65535 sectors");
    const bool base = fatText(s.entry.brand) == kObdiiText;
    if (base && i != 0) return fail(name + ": the base software must come first");
    const uint32_t start = base ? 0 : next;
    if (start + count > kLargestCartridgeSectors)
      return fail(name + ": the package would be larger than the largest cartridge");
    out.starts.push_back(start);
    next = std::max(next, uint32_t(start + count));
  }
  // The base software's second sector is the catalogue block.
  if (!software.empty() && out.starts[0] == 0 && sectorsOf(software[0].data) > 1) {
    std::vector<uint8_t> second(kSectorSize);
    const std::string name(fatText(software[0].entry.brand));
    if (!readSector(software[0].data, 1, second)) return fail(name + ": cannot be read");
    if (!isBlank(second))
      return fail(name + ": its second sector holds the catalogue and must be blank");
  }
  out.blocks = next;

  CartridgeCatalogue& catalogue = out.catalogue;
  size_t slot = 0;
  for (size_t i = 0; i < software.size(); ++i) {
    const PackageSoftware& s = software[i];
    const uint16_t count = uint16_t(sectorsOf(s.data));
    FatEntry entry = s.entry;
    entry.startSector = uint16_t(out.starts[i]);
    entry.sectorCount = count;
    catalogue.entries[slot++] = entry;
    for (FatEntry alias : s.aliases) {
      alias.startSector = entry.startSector;
      alias.sectorCount = count;
      catalogue.entries[slot++] = alias;
    }
  }
  catalogue.header = {kFatSignatureCurrent, kFatFormatWord,
                      uint16_t(std::min<uint32_t>(next, 0xFFFF)), uint16_t(slot)};
  return out;
}

std::string writeLaidOutPackage(const PackageLayout& layout,
                                const std::vector<PackageSoftware>& software,
                                PackageWriter& writer) {
  if (!layout.error.empty() || layout.starts.size() != software.size()) return "no layout";
  const std::vector<uint8_t> catalogueSector = serialiseFatSector(layout.catalogue);
  std::vector<uint8_t> block(kSectorSize);
  size_t piece = 0;  // the software the block belongs to, if any: starts ascend
  for (uint32_t b = 0; b < layout.blocks; ++b) {
    while (piece < software.size() && b >= layout.starts[piece] + sectorsOf(software[piece].data))
      ++piece;
    std::span<const uint8_t> data = blankSector();
    if (b == 1) {
      data = catalogueSector;
    } else if (piece < software.size() && b >= layout.starts[piece]) {
      if (!readSector(software[piece].data, b - layout.starts[piece], block))
        return std::string(fatText(software[piece].entry.brand)) + ": cannot be read";
      data = block;
    }
    if (!writer.add(data)) return "the package cannot be written";
  }
  return writer.finish() ? "" : "the package cannot be written";
}

}  // namespace ostrel
