// The BlockTable (the plan of what to erase and write, one record per
// cartridge sector) and the small rules the sector commands share.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/module_kinds.h"

namespace ostrel {

inline constexpr size_t kSectorSize = 65536;
// Ostrel III/IV move a sector in 16 acknowledged chunks of this size.
inline constexpr size_t ChunkSize = 4096;
inline constexpr size_t kChunksPerSector = kSectorSize / ChunkSize;

// Where the 65536 bytes planned for a sector live.
enum class SectorSource : uint8_t {
  FlashImage,    // the whole-cartridge image, at the sector's own offset
  PackageImage,  // the loaded packages, at block sourceBlock
};

struct BlockRecord {
  uint8_t writeFlag = 0;     // the sector holds data to be written
  uint8_t eraseFlag = 0;     // erase first (Ostrel IV: release the old physical sector)
  uint8_t sum = 0;           // 8-bit sum of the sector's 65536 bytes
  uint8_t xorValue = 0;      // XOR of the same bytes (`xor` is a reserved word)
  uint16_t sourceBlock = 0;  // 64 KiB block of the PackageImage holding the data
  SectorSource source = SectorSource::FlashImage;
  bool operator==(const BlockRecord&) const = default;
};

// One record per sector 0..sectorCount-1, all clear.
void resetBlockTable(std::vector<BlockRecord>& table, uint16_t sectorCount);

// The record of a sector, or null when the table has none.
BlockRecord* blockRecordAt(std::vector<BlockRecord>& table, size_t sector);
const BlockRecord* blockRecordAt(const std::vector<BlockRecord>& table, size_t sector);

struct DataCheck {
  uint8_t sum = 0;
  uint8_t xorValue = 0;
  bool operator==(const DataCheck&) const = default;
};
DataCheck dataCheck(std::span<const uint8_t> bytes);

// Marks a sector for writing with the check values of its data, which lie in
// the PackageImage at sourceBlock.
void planSectorWrite(BlockRecord& record, std::span<const uint8_t> data, bool erase,
                     uint16_t sourceBlock);
// The same for data that lie in the FlashImage at the sector's own offset.
void planFlashImageWrite(BlockRecord& record, std::span<const uint8_t> data, bool erase);

// Ostrel III/IV erase 128 KiB blocks: an even sector and the odd one after it.
inline uint32_t erasePartner(uint32_t sector) {
  return sector ^ 1u;
}

enum class BlockEraseAction : uint8_t {
  EraseBlock,        // the partner is erased too: erase the block as it is
  CoveredByPartner,  // the even partner's own erase covers this block: send nothing
  SaveAndRestore,    // keep the partner: read it, erase, write it back
};
// Which of the three a sector erase on an Ostrel III/IV needs. A partner
// without a record counts as one to keep.
BlockEraseAction blockEraseAction(const std::vector<BlockRecord>& table, uint16_t sector);

// Ostrel II: the first and last sector of each 128-sector chip are boot
// blocks, erased in eight sub-blocks.
inline bool ost2BootBlockSector(uint16_t sector) {
  return sector % 128 == 0 || sector % 128 == 127;
}
// Address bytes of the eight sub-block erases: 00, 20, ... E0.
std::array<uint8_t, 8> ost2BootSubBlockAddresses();

// Milliseconds an Ostrel I (0) or II (1) chip erase must take at least; 0 for others.
uint32_t StandardEraseTime(Generation generation);

// Milliseconds a chip erase usually takes on each generation (one chip);
// the erase shows its time against it.
uint32_t TypicalChipEraseTime(Generation generation);

// The verdict on a timed chip erase and the operator-log lines it produces
// (without the fault line, which the caller reports).
struct ChipEraseVerdict {
  bool ok = false;
  bool tooFast = false;
  std::vector<std::string> lines;
};
ChipEraseVerdict judgeChipErase(Generation generation, uint16_t chipStart, uint32_t elapsedMs,
                                bool acknowledged);

// Sector number as at least two upper-case hexadecimal digits.
std::string hexAtLeast2(uint32_t value);
// A byte as exactly two upper-case hexadecimal digits.
std::string hexByte(uint8_t value);

// A raw Ostrel III/IV sector command: code, sector (big-endian), 00 00 00 10,
// logical sector (big-endian; sent only by the 9-byte Ostrel IV forms).
std::array<uint8_t, 9> rawSectorCommand(uint8_t code, uint16_t sector, uint16_t logical);

}  // namespace ostrel
