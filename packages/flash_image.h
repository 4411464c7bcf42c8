// Whole-flash images from S-record text (HexToBin_Conv) and plain binary files
// (Bin_Conv), and the BlockTable plan both loaders fill from their image.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/byte_source.h"
#include "flash/block_table.h"
#include "packages/block_image.h"
#include "packages/package_format.h"

namespace ostrel {

// S-record text holds at least two characters per data byte; three times
// the largest image is more than any real file of a cartridge.
inline constexpr uint64_t kLargestSRecordBytes = 3 * kLargestImageBytes;

struct FlashImageLoad {
  std::string_view fault;               // empty on success
  std::vector<std::string> faultLines;  // detail lines for the log after the fault line
  // convertSRecords and convertBinary: ImageBlockCount whole blocks, block n
  // at n × 65536; empty on a fault.
  std::vector<uint8_t> image;
  uint64_t endAddress = 0;  // highest address + 1 that carried data
  uint32_t blockCount = 0;  // ImageBlockCount
  uint16_t checksum = 0;    // ImageChecksum of the first endAddress bytes
};

// S1/S2/S3 lines carry data; every other line is skipped. Lines end in CR,
// LF or CR LF; the last needs none. A data line holds what its count says
// (address, data and the checksum, which is not checked) and after that only
// spaces and tabs. Hex digits in either case. Bytes no record covers are
// 0xFF. Faults: 0019 no data record; 0018 with the line's number: a data
// line cut short, with a character that is no hex digit or more than white
// space after its checksum, data past the image's block limit (the
// cartridge), or no memory for a block; 0010 a text that could not be read
// to its end. The text is read pieceBytes (at least 1024) at a time; memory:
// the blocks the records write into.
FlashImageLoad readSRecords(ByteSource& text, BlockImage& image, const ProgressFn& progress = {},
                            size_t pieceBytes = size_t(1) << 20);
// The same into an image in memory of at most sectorCount blocks: the blocks
// the records write into are held while reading, then laid out whole (0018
// when the text holds no data).
FlashImageLoad convertSRecords(ByteSource& text, uint32_t sectorCount,
                               const ProgressFn& progress = {});
FlashImageLoad convertSRecords(std::span<const uint8_t> text, uint32_t sectorCount,
                               const ProgressFn& progress = {});

// The file's bytes are the image from address 0, padded with 0xFF to whole
// blocks. Fault 0018 beyond the largest cartridge. An empty file gives an
// empty image.
FlashImageLoad convertBinary(std::vector<uint8_t> bytes);

// Fills the BlockTable records of the image's blocks (those the table has):
// writeFlag when any byte is not blank, eraseFlag, sum and xor; the data
// stay in the FlashImage at the sector's own offset. sourceBlock is kept.
void planImageBlocks(std::span<const uint8_t> image, std::vector<BlockRecord>& table);

}  // namespace ostrel
