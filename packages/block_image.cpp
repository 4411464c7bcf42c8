#include "packages/block_image.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "flash/block_table.h"

namespace ostrel {

std::span<const uint8_t> blankSector() {
  static const std::vector<uint8_t> blank(kSectorSize, 0xFF);
  return blank;
}

bool isBlank(std::span<const uint8_t> bytes) {
  if (bytes.data() == blankSector().data()) return true;
  // Whole 64 KiB blocks compare as one memcmp against the blank sector.
  const std::span<const uint8_t> blank = blankSector();
  while (!bytes.empty()) {
    const size_t n = std::min(bytes.size(), blank.size());
    if (std::memcmp(bytes.data(), blank.data(), n) != 0) return false;
    bytes = bytes.subspan(n);
  }
  return true;
}

uint8_t* BlockImage::place(uint32_t block, size_t offset, size_t count) {
  if (block >= maxBlocks_ || offset + count > kSectorSize) return nullptr;
  try {
    if (block >= blocks_.size()) blocks_.resize(size_t(block) + 1);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  Held& held = blocks_[block];
  if (!held.data) {
    held.data.reset(new (std::nothrow) uint8_t[kSectorSize]);
    if (!held.data) return nullptr;
    ++held_;
  }
  if (offset > held.filled) std::memset(held.data.get() + held.filled, 0xFF, offset - held.filled);
  held.filled = uint32_t(std::max<size_t>(held.filled, offset + count));
  return held.data.get() + offset;
}

bool BlockImage::write(uint64_t address, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    const uint64_t block = address / kSectorSize;
    const size_t offset = size_t(address % kSectorSize);
    const size_t n = std::min(bytes.size(), kSectorSize - offset);
    uint8_t* to = block < maxBlocks_ ? place(uint32_t(block), offset, n) : nullptr;
    if (!to) return false;
    std::memcpy(to, bytes.data(), n);
    bytes = bytes.subspan(n);
    address += n;
  }
  return true;
}

std::span<const uint8_t> BlockImage::block(uint32_t block) {
  if (block >= blocks_.size() || !blocks_[block].data) return blankSector();
  Held& held = blocks_[block];
  if (held.filled < kSectorSize) {
    std::memset(held.data.get() + held.filled, 0xFF, kSectorSize - held.filled);
    held.filled = kSectorSize;
  }
  return std::span<const uint8_t>(held.data.get(), kSectorSize);
}

std::vector<uint8_t> BlockImage::takeDense(uint32_t blocks) {
  std::vector<uint8_t> image;
  try {
    image.reserve(size_t(blocks) * kSectorSize);
  } catch (const std::bad_alloc&) {
    return {};
  }
  for (uint32_t b = 0; b < blocks; ++b) {
    const std::span<const uint8_t> data = block(b);
    image.insert(image.end(), data.begin(), data.end());
    if (b < blocks_.size() && blocks_[b].data) {
      blocks_[b].data.reset();
      --held_;
    }
  }
  return image;
}

}  // namespace ostrel
