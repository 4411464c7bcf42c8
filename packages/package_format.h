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

#include "cartfs/fat.h"
#include "flash/block_table.h"

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
  // count bytes of 0xFF (a blank block counted without storing it)
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

// Where the reader takes the package's bytes from: memory, or a file read
// piece by piece so a large package never sits in memory twice.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t size() const = 0;
  // Up to count bytes from position (fewer only at the end), valid until
  // the next call.
  virtual std::span<const uint8_t> fetch(uint64_t position, size_t count) = 0;
};

class SpanSource final : public ByteSource {
 public:
  explicit SpanSource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  uint64_t size() const override { return bytes_.size(); }
  std::span<const uint8_t> fetch(uint64_t position, size_t count) override;

 private:
  std::span<const uint8_t> bytes_;
};

// Called with (bytes done, total) after every record or piece of work.
using ProgressFn = std::function<void(uint64_t done, uint64_t total)>;

struct PackageRead {
  std::string_view fault;  // empty on success, else the four-digit code
  // Lines the log shows after the fault line (the two 0013 positions).
  std::vector<std::string> faultLines;
  // The image: block n at n × 65536, cut after the block of the last
  // DataRecord; empty on a fault.
  std::vector<uint8_t> image;
  PackageIdentity identity{};
  uint64_t declaredSize = 0;      // image size from the HeaderRecord
  uint16_t declaredChecksum = 0;  // ImageChecksum from the HeaderRecord
  uint16_t checksum = 0;          // ImageChecksum of the first declaredSize bytes
  uint32_t dataRecords = 0;
  // The package's own entries, starts relative to its image; legacy paths
  // already converted to UTF-8.
  CartridgeCatalogue catalogue;
};

// Reads a whole package. Faults: 0011 no marker where one is required,
// 0012/0015/0016 trailer mismatch (or the file ends inside the record) of a
// HeaderRecord/DataRecord/EndRecord, 0013 the last DataRecord does not end at
// the declared size, or a size or block beyond the largest cartridge, 0014
// image checksum, 0017 catalogue signature not recognised or entries the
// catalogue block or the image does not hold, 0018 more entries than the
// LoadedCatalogue can take. maxImageBytes lowers the size limit (fuzzing).
PackageRead readPackage(ByteSource& source, const LegacyTextConverter& convert,
                        const ProgressFn& progress = {},
                        uint64_t maxImageBytes = kLargestImageBytes);

// BINtoBN: packs an image of whole 64 KiB blocks (at least 2, at most the
// largest cartridge). Block 1 travels in the EndRecord; blank blocks other
// than the last are left out. Blocks from 256 on are written in the long
// form, whose 16-bit block number every reader accepts. keyStart picks the
// RecordKeys. Empty when the image cannot be packed.
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
