// Arbitrary bytes as a package file: the reader must stay inside the input,
// give a fault code or a whole-block image whose catalogue entries lie inside
// it, and a package it accepted must survive being packed and read again and
// be one the loader takes for a package by its first bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/fault_codes.h"
#include "packages/file_kind.h"
#include "packages/package_format.h"

using namespace ostrel;

namespace {

// Sparse images of a few records may still ask for gigabytes: keep the
// fuzzer's images small.
constexpr uint64_t kFuzzImageLimit = 64 * kSectorSize;

// Stand-in converter: maps every byte to a two-byte UTF-8 character; fails on 0xFF.
bool latin1ToUtf8(std::string_view in, std::string& out) {
  out.clear();
  for (char c : in) {
    const auto b = static_cast<uint8_t>(c);
    if (b == 0xFF) return false;
    if (b < 0x80) {
      out.push_back(c);
    } else {
      out.push_back(static_cast<char>(0xC0 | (b >> 6)));
      out.push_back(static_cast<char>(0x80 | (b & 0x3F)));
    }
  }
  return true;
}

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  SpanSource source(std::span<const uint8_t>(data, size));
  uint64_t lastDone = 0;
  const PackageRead r = readPackage(
      source, latin1ToUtf8,
      [&](uint64_t done, uint64_t total) {
        check(done <= total && total == size && done >= lastDone);
        lastDone = done;
      },
      kFuzzImageLimit);
  // What the loader tells by the first bytes agrees with the reader: no
  // package opens otherwise, and a file that does not open so fails at once.
  const bool opens = sniffFileKind(std::span<const uint8_t>(data, size)) == FileKind::Package;
  if (!r.fault.empty()) {
    check(opens || r.fault == FaultCode::k0011);
    check(r.image.empty());
    return 0;
  }
  check(opens);
  check(!r.image.empty() && r.image.size() % kSectorSize == 0);
  check(r.image.size() <= kFuzzImageLimit);
  check(r.declaredSize <= r.image.size());
  check(r.catalogue.header.entryCount <= kFatMaxEntries);
  const uint64_t blocks = r.image.size() / kSectorSize;
  for (size_t k = 0; k < r.catalogue.header.entryCount; ++k) {
    const FatEntry& e = r.catalogue.entries[k];
    if (e.kind != 0) check(uint64_t(e.startSector) + e.sectorCount <= blocks);
  }

  // Packed again with its catalogue in block 1, the image reads back with
  // block 1 blank and the same entries.
  if (blocks < 2) return 0;
  std::vector<uint8_t> image = r.image;
  const std::vector<uint8_t> sector = serialiseFatSector(r.catalogue);
  std::copy(sector.begin(), sector.end(), image.begin() + kSectorSize);
  const std::vector<uint8_t> file = writePackage(image, r.identity, uint32_t(size));
  check(!file.empty());
  SpanSource again(file);
  const PackageRead back = readPackage(again, latin1ToUtf8, {}, kFuzzImageLimit);
  check(back.fault.empty());
  std::fill(image.begin() + kSectorSize, image.begin() + 2 * kSectorSize, 0xFF);
  check(back.image == image);
  check(back.identity == r.identity);
  auto expected = std::make_unique<CartridgeCatalogue>(r.catalogue);
  check(back.catalogue.header.entryCount == expected->header.entryCount);
  for (size_t k = 0; k < expected->header.entryCount; ++k)
    check(back.catalogue.entries[k] == expected->entries[k]);
  return 0;
}
