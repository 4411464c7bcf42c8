// An image held block by block: a block takes memory only once something is
// written into it, and blocks nothing was written into read blank (0xFF). A
// block's bytes are blanked only where no write reaches them, so data that
// come in order are never blanked first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace ostrel {

// 65536 bytes of 0xFF, one copy for the whole program.
std::span<const uint8_t> blankSector();
bool isBlank(std::span<const uint8_t> bytes);

class BlockImage {
 public:
  // Where the blocks go when the image is written into a file as it is made
  // (ostrel-pkg): only the block written into last is held; the others are
  // put out whole and got back when written into again.
  struct Spill {
    std::function<bool(uint32_t block, std::span<const uint8_t> data)> put;
    std::function<bool(uint32_t block, std::span<uint8_t> data)> get;
  };

  // No block at or past maxBlocks is ever taken.
  explicit BlockImage(uint32_t maxBlocks, Spill spill = {})
      : maxBlocks_(maxBlocks), spill_(std::move(spill)) {}
  BlockImage(const BlockImage&) = delete;
  BlockImage& operator=(const BlockImage&) = delete;
  ~BlockImage() { release(); }

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
  // A block's 65536 bytes as written, blank elsewhere (valid until the next
  // call).
  std::span<const uint8_t> block(uint32_t block);
  // With a Spill: puts out every block below `blocks` that is not out yet,
  // blank where nothing was written. False when a put fails.
  bool putAll(uint32_t blocks);
  // The first `blocks` blocks as one image, giving each slab of held blocks
  // back once its blocks are copied: about the image's size at the most,
  // not twice. Empty when memory runs out.
  std::vector<uint8_t> takeDense(uint32_t blocks);

 private:
  struct Held {
    uint8_t* data = nullptr;
    uint32_t filled = 0;  // bytes [0, filled) are written or blanked
    uint32_t slab = 0;    // the slab it was cut from
  };
  // Blocks are cut from slabs mapped at once, each twice the last up to
  // 2 MiB: from there a page fault per slab (where the system gives huge
  // pages) instead of one per 4 KiB, and a small image stays small.
  struct Slab {
    uint8_t* data = nullptr;
    size_t blocks = 0;
    size_t used = 0;
    size_t live = 0;      // blocks cut from it and not yet copied out
    bool mapped = false;  // else one block from the heap
  };
  uint8_t* newBlock();
  void release();
  // With a Spill: puts the held block out and takes `block` in its place.
  bool bringIn(uint32_t block);
  std::vector<Held> blocks_;
  std::vector<Slab> slabs_;
  uint32_t maxBlocks_;
  size_t held_ = 0;
  Spill spill_;
  std::vector<uint8_t> current_, scratch_;  // with a Spill: the held block, one got back
  int64_t currentBlock_ = -1;
  std::vector<bool> out_;  // with a Spill: the blocks put out
};

}  // namespace ostrel
