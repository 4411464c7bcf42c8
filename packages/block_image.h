// An image held block by block: a block takes memory only once something is
// written into it, and blocks nothing was written into read blank (0xFF). A
// block's bytes are blanked only where no write reaches them, so data that
// come in order are never blanked first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace ostrel {

// 65536 bytes of 0xFF, one copy for the whole program.
std::span<const uint8_t> blankSector();
bool isBlank(std::span<const uint8_t> bytes);

class BlockImage {
 public:
  // No block at or past maxBlocks is ever taken.
  explicit BlockImage(uint32_t maxBlocks) : maxBlocks_(maxBlocks) {}

  uint32_t maxBlocks() const { return maxBlocks_; }
  // One past the highest block written into.
  uint32_t blocks() const { return uint32_t(blocks_.size()); }
  size_t blocksHeld() const { return held_; }

  // Room for count bytes at offset in block (offset + count <= 65536), for
  // the caller to fill. Null when the block lies past the limit or memory
  // runs out.
  uint8_t* place(uint32_t block, size_t offset, size_t count);
  // The bytes at an image address, across blocks; false as place.
  bool write(uint64_t address, std::span<const uint8_t> bytes);
  // A block's 65536 bytes as written, blank elsewhere.
  std::span<const uint8_t> block(uint32_t block);
  // The first `blocks` blocks as one image, releasing each held block once
  // copied. Empty when memory runs out.
  std::vector<uint8_t> takeDense(uint32_t blocks);

 private:
  struct Held {
    std::unique_ptr<uint8_t[]> data;
    uint32_t filled = 0;  // bytes [0, filled) are written or blanked
  };
  std::vector<Held> blocks_;
  uint32_t maxBlocks_;
  size_t held_ = 0;
};

}  // namespace ostrel
