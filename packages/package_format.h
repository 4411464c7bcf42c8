// The package file (.bn): a scrambled, checksummed sequence of records that
// carries a sparse cartridge image in 64 KiB blocks plus the package's own
// catalogue. Reader (BNtoBIN without the window), writer (BINtoBN), the
// ImageChecksum and the rule that appends a package's entries to the
// LoadedCatalogue.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/byte_source.h"
#include "cartfs/fat.h"
#include "flash/block_table.h"
#include "packages/block_image.h"

namespace ostrel {

// The largest cartridge (Ostrel IV, 59999 sectors): no image may be larger,
// whatever a file declares.
inline constexpr uint32_t kLargestCartridgeSectors = 59999;
inline constexpr uint64_t kLargestImageBytes = uint64_t(kLargestCartridgeSectors) * kSectorSize;

// Record kinds: the marker byte is 0xD0 + kind.
inline constexpr uint8_t kHeaderRecord = 0;
inline constexpr uint8_t kDataRecord = 1;
inline constexpr uint8_t kEndRecord = 9;
inline constexpr uint8_t kRecordMarkerBase = 0xD0;
inline constexpr size_t kShortHeaderSize = 6;
inline constexpr size_t kLongHeaderSize = 7;
inline constexpr size_t kMaxRecordPayload = 65536;
// Only the first bytes of a HeaderRecord payload carry meaning; the reader
// keeps this many of them.
inline constexpr size_t kHeaderPayloadBuffer = 1024;
// What the writer puts in a HeaderRecord: size, checksum, identity, 128 zeros.
inline constexpr size_t kWrittenHeaderPayload = 142;
// The short form carries an 8-bit block number.
inline constexpr uint32_t kShortFormBlocks = 256;
// The largest package a writer makes: every block of the largest cartridge
// in a long-form record, header and end records, and the few bytes a file
// may carry before its first record. Larger files are refused unread.
inline constexpr uint64_t kLargestPackageBytes =
    uint64_t(kLargestCartridgeSectors + 2) * (kLongHeaderSize + kMaxRecordPayload + 2) + 6;

using PackageIdentity = std::array<uint8_t, 8>;

// The 16-bit ImageChecksum, fed in pieces: for the byte at offset i,
// w = (i + 1) mod 256, S = S + b + w and X = (X xor b) + w, all mod 256.
class ImageChecksum {
 public:
  void add(std::span<const uint8_t> bytes);
  // count bytes of 0xFF, without their bytes: whole blocks cost one step
  void addBlank(uint64_t count);
  uint16_t value() const { return uint16_t(s_ << 8 | x_); }

 private:
  uint8_t s_ = 0;
  uint8_t x_ = 0;
  uint64_t offset_ = 0;
};
uint16_t imageChecksum(std::span<const uint8_t> bytes);

// A RecordKey: the high nibble rotates, the low nibble is subtracted. Only
// rotations 0..7 exist for a byte; a high nibble of 8..15 rotates by its
// value mod 8, so 8 leaves bytes unrotated like 0.
uint8_t scrambleByte(uint8_t plain, uint8_t key);
uint8_t unscrambleByte(uint8_t stored, uint8_t key);

// Called with (bytes done, total) after every record or piece of work.
using ProgressFn = std::function<void(uint64_t done, uint64_t total)>;

// Where a package's image goes while it is read: every block from 0 to the
// last, once each, in order, whole (blank gaps as blankSector()), with the
// number of blocks the HeaderRecord declares. False when the block cannot
// be kept, which ends the read with 0018. The blocks come before the image
// checksum and the catalogue are checked: on a fault the receiver drops
// what it got.
using BlockSink =
    std::function<bool(uint32_t block, std::span<const uint8_t> data, uint32_t declaredBlocks)>;

struct PackageRead {
  std::string_view fault;  // empty on success, else the four-digit code
  // Lines the log shows after the fault line (the two 0013 positions).
  std::vector<std::string> faultLines;
  // readPackage only: the image, block n at n × 65536, cut after the block of
  // the last DataRecord; empty on a fault.
  std::vector<uint8_t> image;
  PackageIdentity identity{};
  uint64_t declaredSize = 0;      // image size from the HeaderRecord
  uint16_t declaredChecksum = 0;  // ImageChecksum from the HeaderRecord
  uint16_t checksum = 0;          // ImageChecksum of the first declaredSize bytes
  uint32_t blocks = 0;            // image blocks, up to the last DataRecord's
  // The package's own entries, starts relative to its image; legacy paths
  // already converted to UTF-8.
  CartridgeCatalogue catalogue;
};

// Reads a whole package, its image block by block into sink (none: the
// image is only checked). Faults: 0011 no marker where one is required,
// 0012/0015/0016 trailer mismatch (or the file ends inside the record) of a
// HeaderRecord/DataRecord/EndRecord, 0013 the last DataRecord not ending at
// the declared size, 0014 image checksum, 0017
// catalogue signature not recognised or entries the catalogue block or the
// image does not hold, 0018 a declared size beyond maxImageBytes (the
// cartridge, or the largest one), more entries than the LoadedCatalogue can
// take, or a block that cannot be held. A DataRecord wholly past the
// declared size would be cut away: it is checked, not kept. Memory: one
// block while the DataRecords come in ascending order, as writers make them;
// otherwise the blocks they write into within the declared size.
PackageRead readPackageInto(ByteSource& source, const LegacyTextConverter& convert,
                            const BlockSink& sink, const ProgressFn& progress = {},
                            uint64_t maxImageBytes = kLargestImageBytes);
// The same with the image in memory (PackageRead::image).
PackageRead readPackage(ByteSource& source, const LegacyTextConverter& convert,
                        const ProgressFn& progress = {},
                        uint64_t maxImageBytes = kLargestImageBytes);

// BINtoBN record by record, for images of any size: the blocks come in
// order from block 0, each written as it comes, and the HeaderRecord, which
// carries the checksum of them all, is put in its place at the end. Block 1
// travels in the EndRecord; blank blocks other than the last are left out.
// Blocks from 256 on are written in the long form, whose 16-bit block
// number every reader accepts. keyStart picks the RecordKeys.
class PackageWriter {
 public:
  // Receives the file's bytes at their offsets; false stops the writing.
  using Output = std::function<bool(uint64_t offset, std::span<const uint8_t> bytes)>;
  // An image of `blocks` blocks, at least 2, at most the largest cartridge.
  PackageWriter(const PackageIdentity& identity, uint32_t keyStart, uint32_t blocks, Output output);
  // The next block's 65536 bytes.
  bool add(std::span<const uint8_t> block);
  // After the last block: the EndRecord, then the HeaderRecord.
  bool finish();
  // The file's size so far.
  uint64_t size() const { return end_; }

 private:
  bool writeRecord(uint64_t at, uint8_t kind, uint32_t block, uint8_t key,
                   std::span<const uint8_t> payload);

  PackageIdentity identity_;
  uint32_t blocks_;
  uint32_t next_ = 0;
  Output output_;
  uint64_t drawState_;
  uint8_t headerKey_ = 0, key_ = 0;
  uint64_t end_;
  bool ok_;
  ImageChecksum checksum_;
  std::vector<uint8_t> record_, catalogue_;
};

// A writer's output into memory.
PackageWriter::Output memoryOutput(std::vector<uint8_t>& file);

// BINtoBN of an image in memory: whole 64 KiB blocks, at least 2, at most
// the largest cartridge. Empty when the image cannot be packed.
std::vector<uint8_t> writePackage(std::span<const uint8_t> image, const PackageIdentity& identity,
                                  uint32_t keyStart);

// Appends a package's entries to the LoadedCatalogue as its next slots, each
// startSector moved by baseBlock (the block at which the package's image
// starts in the PackageImage). False, changing nothing, when the catalogue
// has no room or a start would not fit in 16 bits.
bool appendLoadedEntries(CartridgeCatalogue& loaded, const CartridgeCatalogue& package,
                         uint32_t baseBlock);

// Identity bytes as shown: upper-case hexadecimal pairs separated by blanks
// ("0A A2 A3 A4").
std::string identityText(std::span<const uint8_t> bytes);

}  // namespace ostrel
