#include "packages/package_builder.h"

#include <algorithm>
#include <cstring>

#include "app/fault_codes.h"
#include "flash/block_table.h"
#include "packages/package_format.h"

namespace ostrel {

namespace {

constexpr uint32_t kFirstSoftwareBlock = 2;  // behind the base software's two sectors

uint32_t sectorsOf(const std::vector<uint8_t>& data) {
  return uint32_t((data.size() + kSectorSize - 1) / kSectorSize);
}

}  // namespace

PackageLayout layOutPackage(const std::vector<PackageSoftware>& software) {
  PackageLayout out;
  auto fail = [&out](std::string why) -> PackageLayout& {
    out.error = std::move(why);
    out.image.clear();
    return out;
  };

  size_t entries = 0;
  for (const PackageSoftware& s : software) entries += 1 + s.aliases.size();
  if (entries > kFatMaxEntries)
    return fail("more than " + std::to_string(kFatMaxEntries) + " catalogue entries");

  // Place every piece first, so the image is sized once.
  std::vector<uint32_t> starts;
  uint32_t next = kFirstSoftwareBlock;
  for (size_t i = 0; i < software.size(); ++i) {
    const PackageSoftware& s = software[i];
    const std::string name(fatText(s.entry.brand));
    const uint32_t count = sectorsOf(s.data);
    if (count == 0) return fail(name + ": no data");
    if (count > 0xFFFF) return fail(name + ": more than 65535 sectors");
    const bool base = fatText(s.entry.brand) == kObdiiText;
    if (base && i != 0) return fail(name + ": the base software must come first");
    const uint32_t start = base ? 0 : next;
    if (base && count > 1) {
      const auto second = std::span<const uint8_t>(s.data).subspan(
          kSectorSize, std::min(kSectorSize, s.data.size() - kSectorSize));
      if (std::any_of(second.begin(), second.end(), [](uint8_t b) { return b != 0xFF; }))
        return fail(name + ": its second sector holds the catalogue and must be blank");
    }
    if (uint64_t(start) + count > kLargestCartridgeSectors)
      return fail(name + ": the package would be larger than the largest cartridge");
    starts.push_back(start);
    next = std::max(next, start + count);
  }
  out.image.assign(size_t(next) * kSectorSize, 0xFF);

  CartridgeCatalogue& catalogue = out.catalogue;
  size_t slot = 0;
  for (size_t i = 0; i < software.size(); ++i) {
    const PackageSoftware& s = software[i];
    const uint32_t start = starts[i];
    const uint16_t count = uint16_t(sectorsOf(s.data));
    for (size_t b = 0; b < count; ++b) {
      if (start + b == 1) continue;  // the catalogue block
      const size_t from = b * kSectorSize;
      const size_t n = std::min(kSectorSize, s.data.size() - from);
      std::memcpy(out.image.data() + (start + b) * kSectorSize, s.data.data() + from, n);
    }
    FatEntry entry = s.entry;
    entry.startSector = uint16_t(start);
    entry.sectorCount = count;
    catalogue.entries[slot++] = entry;
    for (FatEntry alias : s.aliases) {
      alias.startSector = uint16_t(start);
      alias.sectorCount = count;
      catalogue.entries[slot++] = alias;
    }
  }
  catalogue.header = {kFatSignatureCurrent, kFatFormatWord,
                      uint16_t(std::min<uint32_t>(next, 0xFFFF)), uint16_t(slot)};
  const std::vector<uint8_t> sector = serialiseFatSector(catalogue);
  std::copy(sector.begin(), sector.end(), out.image.begin() + kSectorSize);
  return out;
}

std::vector<uint8_t> patternSectors(std::string_view tag, uint32_t count) {
  std::vector<uint8_t> data(size_t(count) * kSectorSize);
  uint64_t hash = 1469598103934665603ull;  // FNV-1a of the tag
  for (const char c : tag) hash = (hash ^ uint8_t(c)) * 1099511628211ull;
  for (uint32_t k = 0; k < count; ++k) {
    uint8_t* sector = data.data() + size_t(k) * kSectorSize;
    std::string head = "OSTREL PACKAGE|" + std::string(tag) + "|" + std::to_string(k + 1) + "/" +
                       std::to_string(count) + "|";
    head.resize(64, '.');
    std::memcpy(sector, head.data(), head.size());
    uint64_t x = hash ^ (uint64_t(k + 1) * 0x9E3779B97F4A7C15ull);
    for (size_t i = head.size(); i < kSectorSize; ++i) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      sector[i] = uint8_t(x >> 32);
    }
  }
  return data;
}

}  // namespace ostrel
