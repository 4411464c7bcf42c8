// Arbitrary bytes as a package file, with the largest cartridge's limits:
// the reader must stay inside the input, pass every image block once and in
// order, hold no more than the blocks records write into (libFuzzer's
// -rss_limit_mb catches the rest), give a fault code or an image whose
// catalogue entries lie inside it, and a package it accepted must survive
// being packed and read again and be one the loader takes for a package by
// its first bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/fault_codes.h"
#include "packages/file_kind.h"
#include "packages/package_format.h"

using namespace ostrel;

namespace {

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

// An image as the sink gets it: the blocks that are not blank, by number.
using Blocks = std::map<uint32_t, std::vector<uint8_t>>;

BlockSink keep(Blocks& blocks, uint32_t& count) {
  return [&blocks, &count](uint32_t block, std::span<const uint8_t> data, uint32_t declared) {
    check(block == count++ && data.size() == kSectorSize && block < std::max(declared, 1u));
    if (!isBlank(data)) blocks[block].assign(data.begin(), data.end());
    return true;
  };
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  SpanSource source(std::span<const uint8_t>(data, size));
  uint64_t lastDone = 0;
  Blocks blocks;
  uint32_t count = 0;
  const PackageRead r = readPackageInto(source, latin1ToUtf8, keep(blocks, count),
                                        [&](uint64_t done, uint64_t total) {
                                          check(done <= total && total == size && done >= lastDone);
                                          lastDone = done;
                                        });
  // What the loader tells by the first bytes agrees with the reader: no
  // package opens otherwise, and a file that does not open so fails at once.
  const bool opens = sniffFileKind(std::span<const uint8_t>(data, size)) == FileKind::Package;
  if (!r.fault.empty()) {
    check(opens || r.fault == FaultCode::k0011);
    return 0;
  }
  check(opens);
  check(r.blocks == count && count > 0 && count <= kLargestCartridgeSectors);
  check(r.declaredSize <= uint64_t(count) * kSectorSize);
  // Without a HeaderRecord nothing is declared and the image is one blank block.
  check(r.declaredSize == 0 ? count == 1 : r.declaredSize > uint64_t(count - 1) * kSectorSize);
  check(r.catalogue.header.entryCount <= kFatMaxEntries);
  for (size_t k = 0; k < r.catalogue.header.entryCount; ++k) {
    const FatEntry& e = r.catalogue.entries[k];
    if (e.kind != 0) check(uint64_t(e.startSector) + e.sectorCount <= count);
  }

  // Packed again with its catalogue in block 1, the image reads back with
  // block 1 blank and the same entries.
  if (count < 2) return 0;
  std::vector<uint8_t> file;
  PackageWriter writer(r.identity, uint32_t(size), count, memoryOutput(file));
  const std::vector<uint8_t> catalogue = serialiseFatSector(r.catalogue);
  for (uint32_t b = 0; b < count; ++b) {
    const auto kept = blocks.find(b);
    check(writer.add(b == 1                 ? std::span<const uint8_t>(catalogue)
                     : kept != blocks.end() ? std::span<const uint8_t>(kept->second)
                                            : blankSector()));
  }
  check(writer.finish() && writer.size() == file.size());
  blocks.erase(1);
  SpanSource again(file);
  Blocks back;
  uint32_t backCount = 0;
  const PackageRead b = readPackageInto(again, latin1ToUtf8, keep(back, backCount));
  check(b.fault.empty() && backCount == count && back == blocks);
  check(b.identity == r.identity);
  auto expected = std::make_unique<CartridgeCatalogue>(r.catalogue);
  check(b.catalogue.header.entryCount == expected->header.entryCount);
  for (size_t k = 0; k < expected->header.entryCount; ++k)
    check(b.catalogue.entries[k] == expected->entries[k]);
  return 0;
}
