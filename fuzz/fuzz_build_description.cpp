// Arbitrary bytes as an ostrel-pkg build description, with the largest
// cartridge's limits: it is refused with a reason or laid out inside the
// largest cartridge without reading any data, and a laid-out package reads
// back with its catalogue. Data files are stand-ins whose size is the
// number their name gives, so no file is touched.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "packages/package_builder.h"
#include "packages/package_format.h"
#include "packages/tool/description.h"

using namespace ostrel;

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

// Writing and reading back costs time in proportion to the package's
// blocks; larger layouts are checked without it.
constexpr uint32_t kWrittenBlocks = 256;

bool standIn(const std::string& path, SoftwareData& data, std::string& error) {
  const std::string name = path.substr(path.find_last_of('/') + 1);
  if (name.empty() || name.size() > 12 ||
      name.find_first_not_of("0123456789") != std::string::npos) {
    error = path + ": no such file";
    return false;
  }
  data.size = std::stoull(name);
  data.read = [](uint32_t sector, std::span<uint8_t> out) {
    std::memset(out.data(), int(sector & 0x7F), out.size());
    return true;
  };
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const Description d = readDescription(
      QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)), "/fuzz", 0, standIn);
  if (!d.error.empty()) return 0;
  check(!d.software.empty());
  const PackageLayout layout = layOutPackage(d.software);
  if (!layout.error.empty()) return 0;
  check(layout.blocks >= 2 && layout.blocks <= kLargestCartridgeSectors);
  size_t entries = 0;
  for (size_t i = 0; i < d.software.size(); ++i) {
    const uint64_t sectors = (d.software[i].data.size + kSectorSize - 1) / kSectorSize;
    check(layout.starts[i] + sectors <= layout.blocks);
    entries += 1 + d.software[i].aliases.size();
  }
  check(layout.catalogue.header.entryCount == entries);
  if (layout.blocks > kWrittenBlocks) return 0;

  std::vector<uint8_t> file;
  PackageWriter writer(d.identity, 1, layout.blocks, memoryOutput(file));
  check(writeLaidOutPackage(layout, d.software, writer).empty());
  SpanSource source(file);
  const PackageRead r = readPackageInto(
      source, [](std::string_view in, std::string& out) { return out.assign(in), true; }, {});
  check(r.fault.empty() && r.blocks == layout.blocks && r.identity == d.identity);
  check(r.catalogue.header.entryCount == entries);
  for (size_t k = 0; k < entries; ++k) {
    check(r.catalogue.entries[k].startSector == layout.catalogue.entries[k].startSector);
    check(r.catalogue.entries[k].sectorCount == layout.catalogue.entries[k].sectorCount);
  }
  return 0;
}
