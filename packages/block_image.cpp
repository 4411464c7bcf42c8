#include "packages/block_image.h"

#include <sys/mman.h>

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

namespace {
constexpr size_t kHugeSlabBlocks = 32;
constexpr size_t kHugeSlabBytes = kHugeSlabBlocks * kSectorSize;  // 2 MiB, one huge page

// The address sanitizer watches the heap only: there every block is an
// allocation of its own, so a write past one is caught.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kBlocksFromHeap = true;
#elif defined(__has_feature)
constexpr bool kBlocksFromHeap = __has_feature(address_sanitizer);
#else
constexpr bool kBlocksFromHeap = false;
#endif

// A slab of `blocks` blocks, mapped; 2 MiB ones on a huge-page boundary.
uint8_t* mapSlab(size_t blocks) {
  const size_t bytes = blocks * kSectorSize;
  // A huge page must start at a multiple of its size: map twice the slab
  // and give back what lies around the aligned part.
  const bool huge = bytes == kHugeSlabBytes;
  const size_t mappedBytes = huge ? 2 * bytes : bytes;
  void* mapped =
      mmap(nullptr, mappedBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  uint8_t* const base = static_cast<uint8_t*>(mapped);
  if (!huge) return base;
  uint8_t* const slab = base + (bytes - reinterpret_cast<uintptr_t>(base) % bytes) % bytes;
  if (slab > base) munmap(base, size_t(slab - base));
  if (slab + bytes < base + mappedBytes)
    munmap(slab + bytes, size_t(base + mappedBytes - (slab + bytes)));
  madvise(slab, bytes, MADV_HUGEPAGE);
  return slab;
}

void freeSlab(uint8_t* data, size_t blocks, bool mapped) {
  if (mapped)
    munmap(data, blocks * kSectorSize);
  else
    delete[] data;
}

}  // namespace

uint8_t* BlockImage::newBlock() {
  if (slabs_.empty() || slabs_.back().used == slabs_.back().blocks) {
    Slab slab;
    slab.mapped = !kBlocksFromHeap;
    slab.blocks =
        slabs_.empty() || !slab.mapped ? 1 : std::min(2 * slabs_.back().blocks, kHugeSlabBlocks);
    slab.data = slab.mapped ? mapSlab(slab.blocks) : new (std::nothrow) uint8_t[kSectorSize];
    if (!slab.data) return nullptr;
    try {
      slabs_.push_back(slab);
    } catch (const std::bad_alloc&) {
      freeSlab(slab.data, slab.blocks, slab.mapped);
      return nullptr;
    }
  }
  Slab& slab = slabs_.back();
  ++slab.live;
  return slab.data + kSectorSize * slab.used++;
}

void BlockImage::release() {
  for (const Slab& slab : slabs_)
    if (slab.data) freeSlab(slab.data, slab.blocks, slab.mapped);
  slabs_.clear();
  blocks_.clear();
  held_ = 0;
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
    if (spill_.put) {
      if (!bringIn(block)) return nullptr;
    } else {
      if (!(held.data = newBlock())) return nullptr;
      held.slab = uint32_t(slabs_.size() - 1);
      ++held_;
    }
  }
  if (offset > held.filled) std::memset(held.data + held.filled, 0xFF, offset - held.filled);
  held.filled = uint32_t(std::max<size_t>(held.filled, offset + count));
  return held.data + offset;
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

bool BlockImage::bringIn(uint32_t block) {
  try {
    if (current_.empty()) current_.resize(kSectorSize);
    if (out_.size() < blocks_.size()) out_.resize(blocks_.size());
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (currentBlock_ >= 0) {
    const uint32_t leaving = uint32_t(currentBlock_);
    const std::span<const uint8_t> whole = this->block(leaving);
    if (!spill_.put(leaving, whole)) return false;
    blocks_[leaving] = {};
    out_[leaving] = true;
    held_ = 0;
  }
  Held& held = blocks_[block];
  held.data = current_.data();
  held.filled = 0;
  currentBlock_ = block;
  held_ = 1;
  // Held again, the block is no longer out: what is out is old.
  if (out_[block]) {
    if (!spill_.get(block, current_)) return false;
    held.filled = kSectorSize;
    out_[block] = false;
  }
  return true;
}

bool BlockImage::putAll(uint32_t blocks) {
  for (uint32_t b = 0; b < blocks; ++b) {
    if (b < out_.size() && out_[b]) continue;
    if (!spill_.put(b, this->block(b))) return false;
    if (b < out_.size()) out_[b] = true;
  }
  return true;
}

std::span<const uint8_t> BlockImage::block(uint32_t block) {
  if (block < out_.size() && out_[block]) {
    try {
      scratch_.resize(kSectorSize);
    } catch (const std::bad_alloc&) {
      return {};
    }
    if (!spill_.get(block, scratch_)) return {};
    return scratch_;
  }
  if (block >= blocks_.size() || !blocks_[block].data) return blankSector();
  Held& held = blocks_[block];
  if (held.filled < kSectorSize) {
    std::memset(held.data + held.filled, 0xFF, kSectorSize - held.filled);
    held.filled = kSectorSize;
  }
  return std::span<const uint8_t>(held.data, kSectorSize);
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
    if (b >= blocks_.size() || !blocks_[b].data) continue;
    Slab& slab = slabs_[blocks_[b].slab];
    blocks_[b] = {};
    --held_;
    if (--slab.live == 0) {
      freeSlab(slab.data, slab.blocks, slab.mapped);
      slab.data = nullptr;
    }
  }
  release();
  return image;
}

}  // namespace ostrel
