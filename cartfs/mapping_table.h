// Ostrel IV mapping table: logical sector -> physical sector, kept on the
// cartridge in physical sectors 60000 and 60001 as 65536 big-endian words.
// Pure in-memory rules; reading and writing the two sectors is the caller's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace ostrel {

inline constexpr uint16_t UNMAPPED_SECTOR = 60020;  // 0xEA74
inline constexpr std::size_t kMappingWordCount = 65536;
inline constexpr std::size_t kMappingSectorBytes = 65536;
inline constexpr std::size_t kMappingImageBytes = 2 * kMappingSectorBytes;
inline constexpr uint16_t kMappingTableSectorLow = 60000;   // words 0..32767
inline constexpr uint16_t kMappingTableSectorHigh = 60001;  // words 32768..65535
// Words 65520..65523 hold the signature "MORVANTE", word 65535 the checksum.
inline constexpr std::size_t kMappingSignatureWord = 65520;
inline constexpr std::size_t kMappingChecksumWord = 65535;
inline constexpr std::array<uint16_t, 4> kMappingSignature = {0x4D4F, 0x5256, 0x414E, 0x5445};
// Logical sectors at or above this word index are the signature, spare and
// checksum words: no sector operation may touch them.
inline constexpr std::size_t kMappingLogicalLimit = kMappingSignatureWord;
// The allocation pool never reaches the table's own sectors (60000, 60001)
// or UNMAPPED_SECTOR, whatever sector count the module reports.
inline constexpr uint16_t kHighestPoolSector = 59999;

// The in-memory table. physicalSectorInUse is maintained for 0..SectorCount.
struct MappingTable {
  std::array<uint16_t, kMappingWordCount> words;
  std::array<uint8_t, kMappingWordCount> physicalSectorInUse;

  MappingTable() { clear(); }
  void clear() {
    words.fill(UNMAPPED_SECTOR);
    physicalSectorInUse.fill(0);
  }
  bool operator==(const MappingTable&) const = default;
};

// Sum of words 0..65534 modulo 65536 (the signature words included).
uint16_t mappingChecksum(const MappingTable& table);

// Signature "MORVANTE", word 0 mapped, stored checksum equal to the sum.
bool mappingTableValid(const MappingTable& table);

// Every word UNMAPPED_SECTOR, the signature set, word 65535 the checksum;
// no physical sector in use.
void makeFreshMappingTable(MappingTable& table);

enum class MappingReadOutcome {
  NoData,  // neither sector came back: failure, table all unmapped
  Valid,   // the cartridge's table was taken
  Blank,   // both sectors read back erased: a fresh table for a cartridge that holds nothing
  // Invalid, damaged or half missing: a fresh table was started (not a
  // failure), but nothing on the cartridge can be found through it.
  FreshStarted,
};

// Decodes the two table sectors as read. An empty span (or any size other
// than 65536) means that sector returned no data. Rebuilds
// physicalSectorInUse from logical sectors 0..sectorCount.
MappingReadOutcome decodeMappingTable(std::span<const uint8_t> sectorLow,
                                      std::span<const uint8_t> sectorHigh, uint16_t sectorCount,
                                      MappingTable& table);

// Clears the in-use flags 0..sectorCount and marks the physical sector of
// every mapped logical sector 0..sectorCount.
void rebuildPhysicalSectorInUse(MappingTable& table, uint16_t sectorCount);

// Whole-flash images: words 0..127 become the identity mapping and the
// signature words are set.
inline constexpr uint16_t kIdentitySectors = 128;
void forceIdentityLowSectors(MappingTable& table);
// While a whole-flash image is written, logical sector k below 128 goes to
// physical sector k: k's old physical sector is freed, and any other logical
// sector on physical k is unmapped.
void mapIdentitySector(MappingTable& table, uint16_t sector, uint16_t sectorCount);
// Marks physical sectors 0..127 in use, so that allocation passes them by.
void reserveIdentitySectors(MappingTable& table, uint16_t sectorCount);

// The 131072-byte big-endian image of words 0..65534 followed by their sum
// (the in-memory word 65535 is not used). Bytes 0..65535 go to physical
// sector 60000, bytes 65536..131071 to 60001.
std::vector<uint8_t> encodeMappingTable(const MappingTable& table);

// Takes the lowest physical sector 0..min(sectorCount, 59999) not in use for
// the logical sector. Empty when every pool sector is in use or the logical
// sector is not a sector word; the table is then unchanged.
std::optional<uint16_t> allocatePhysicalSector(MappingTable& table, uint16_t logical,
                                               uint16_t sectorCount);

// Frees the logical sector's physical sector (when it lies in the pool) and
// unmaps the logical sector.
void releaseLogicalSector(MappingTable& table, uint16_t logical, uint16_t sectorCount);

// Moves the mapping of count logical sectors from start to newStart; the old
// words not covered by the new run become unmapped. Overlapping runs move
// correctly in both directions. False (nothing changed) when either run
// reaches the signature or checksum words.
bool relocateLogicalRun(MappingTable& table, uint16_t start, uint16_t count, uint16_t newStart);

// A run of logical sectors owned by a catalogue entry.
struct SectorRun {
  uint16_t start = 0;
  uint16_t count = 0;
};

// Rebuilds the in-use flags from the owned runs alone, then unmaps every
// logical sector 0..sectorCount whose physical sector is not marked. Logical
// sector 1 (the FAT) always counts as owned. Logical sectors above
// sectorCount are never unmapped.
void pruneMappingTable(MappingTable& table, std::span<const SectorRun> ownedRuns,
                       uint16_t sectorCount);

}  // namespace ostrel
