// The cartridge catalogue (FAT) in logical sector 1: its record layout, the
// parser and serialiser, and the rewrite rules applied before it is written.
// The same sector layout travels in the end record of package files.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cartfs/mapping_table.h"

namespace ostrel {

inline constexpr std::size_t kFatSectorSize = 65536;
inline constexpr std::size_t kFatHeaderSize = 108;
inline constexpr std::size_t kFatCountOffset = 106;
inline constexpr std::size_t kFatEntrySize = 212;
inline constexpr std::size_t kFatMaxEntries = 256;
// Entries 1..151 follow the header; entry 152 and later start at 32768.
inline constexpr std::size_t kFatFirstHighEntry = 152;
inline constexpr std::size_t kFatHighEntryOffset = 32768;
inline constexpr uint16_t kFatSignatureCurrent = 0xA11E;  // bytes 0xA1 0x1E, always written
inline constexpr uint16_t kFatSignatureLegacy = 0x55AA;   // bytes 0x55 0xAA, accepted on reading
inline constexpr uint16_t kFatFormatWord = 0x0200;
inline constexpr std::size_t kFatTextSize = 26;
inline constexpr std::size_t kFatPathFieldSize = 128;

// Field offsets inside one 212-byte entry.
inline constexpr std::size_t kEntryKindOffset = 0;
inline constexpr std::size_t kEntryAttributeOffset = 1;
inline constexpr std::size_t kEntryBrandOffset = 2;
inline constexpr std::size_t kEntryVersionOffset = 28;
inline constexpr std::size_t kEntryVersionExtraOffset = 54;
inline constexpr std::size_t kEntryStartSectorOffset = 80;
inline constexpr std::size_t kEntrySectorCountOffset = 82;
inline constexpr std::size_t kEntryPathFieldOffset = 84;

// Byte offset of entry k (1-based) inside the FAT sector.
constexpr std::size_t fatEntryOffset(std::size_t k) {
  return k < kFatFirstHighEntry ? kFatHeaderSize + (k - 1) * kFatEntrySize
                                : kFatHighEntryOffset + (k - kFatFirstHighEntry) * kFatEntrySize;
}

// kind: 0 empty slot, 1 legacy entry, 2 current entry, other values live and
// carried unchanged. Texts are NUL-padded and end at the first NUL or at the
// end of their field. pathField byte 0 is not text; the path starts at byte 1.
struct FatEntry {
  uint8_t kind = 0;
  uint8_t attribute = 0;
  std::array<char, kFatTextSize> brand{};
  std::array<char, kFatTextSize> version{};
  std::array<char, kFatTextSize> versionExtra{};
  uint16_t startSector = 0;
  uint16_t sectorCount = 0;
  std::array<uint8_t, kFatPathFieldSize> pathField{};

  bool operator==(const FatEntry&) const = default;
};

// Header words in host order. When read from a cartridge, signature, format
// and sector-count words are replaced by 0xA11E, 512 and the module's
// SectorCount; the serialiser always writes 0xA1 0x1E and 512.
struct FatHeader {
  uint16_t signature = 0;
  uint16_t formatWord = 0;
  uint16_t sectorCountWord = 0;
  uint16_t entryCount = 0;

  bool operator==(const FatHeader&) const = default;
};

// Header plus entry slots 1..256: slot k is entries[k - 1]. Only slots
// 1..header.entryCount are meaningful. Also the shape of the LoadedCatalogue.
struct CartridgeCatalogue {
  FatHeader header;
  std::array<FatEntry, kFatMaxEntries> entries{};

  bool operator==(const CartridgeCatalogue&) const = default;
};

// Slots 1..n that hold entries: the entry count, at most 256.
std::size_t slotsInUse(const CartridgeCatalogue& catalogue);

// Text of a field, up to the first NUL or the field's end.
std::string_view fatText(const std::array<char, kFatTextSize>& field);
// Path text of pathField from byte 1: at most 26 bytes for kind 1, 94 otherwise.
std::string_view fatPathText(const FatEntry& entry);
// Sets a text field: at most 26 bytes, the rest NUL.
void setFatText(std::array<char, kFatTextSize>& field, std::string_view text);

struct FatParseResult {
  bool signatureRecognised = false;  // 0x55 0xAA or 0xA1 0x1E
  uint16_t declaredCount = 0;        // the entry count stored in the sector
  // Declared entries not taken: beyond slot 256 or running past the given bytes.
  uint16_t entriesIgnored = 0;
};

// Parses a FAT sector (or a package's catalogue block, which may be shorter)
// into catalogue. The header becomes {0xA11E, 512, sectorCount, taken}; with an
// unrecognised signature the catalogue is empty. Never reads past the span.
FatParseResult parseFatSector(std::span<const uint8_t> bytes, uint16_t sectorCount,
                              CartridgeCatalogue& catalogue);

// The 65536-byte sector: signature 0xA1 0x1E, format 512, the header's
// sector-count word, 100 zero bytes, the count (at most 256) and the entries
// in their placement; all else zero.
std::vector<uint8_t> serialiseFatSector(const CartridgeCatalogue& catalogue);

// "L:1A   s:05   N:1F": start, count and start + count in upper-case hex.
std::string fatEntryLogLine(const FatEntry& entry);

enum class ObdiiVerdict {
  NotObdii,  // brand is not exactly "OBDII" (or the slot is empty): the flag is left alone
  Current,   // an OBDII entry that is recent enough: clear ObdiiTooOld
  TooOld,    // set ObdiiTooOld and warn (message 82, fault code 0021)
};
ObdiiVerdict obdiiVersionVerdict(const FatEntry& entry);

// Converts legacy code-page text to UTF-8; false when it cannot.
using LegacyTextConverter = std::function<bool(std::string_view in, std::string& out)>;

// The UTF-8 test of positions 1..n of buf: a malformation at position n or
// later, or a sequence running past n, does not count.
bool isUtf8Positions(std::span<const uint8_t> buf, std::size_t n);

enum class PathConversion { AlreadyUtf8, Converted, ConverterFailed };

// Path tested over bytes 1..testLimit (28 for the legacy layout, 96
// otherwise), up to and including its terminating NUL. When it is not UTF-8,
// the text (at most testLimit - 1 bytes) is converted and written from byte 1
// with its terminating NUL, at most maxWritten bytes in all, cut at a character
// boundary; bytes beyond keep their values. A failed conversion changes nothing.
inline constexpr std::size_t kLegacyPathTestLimit = 28;
inline constexpr std::size_t kPathTestLimit = 96;
inline constexpr std::size_t kPathMaxWritten = 95;
// A kind-1 entry that stays kind 1 must keep byte 29: write at most bytes 1..27.
inline constexpr std::size_t kLegacyPathMaxWritten = 27;
PathConversion convertLegacyPath(FatEntry& entry, std::size_t testLimit, std::size_t maxWritten,
                                 const LegacyTextConverter& convert);

// Drops kind-0 slots keeping the order, turns kind 1 into kind 2 (pathField
// byte 29 moves to byte 127) and converts legacy path text to UTF-8.
void compactCatalogue(CartridgeCatalogue& catalogue, const LegacyTextConverter& convert);

// Ostrel IV: pushes every piece of software except entry 1 to the top of the
// logical sector space, moving mapping words and startSector fields (aliases
// move together). Returns the number of moves made.
int relocateToTop(CartridgeCatalogue& catalogue, MappingTable& table, uint16_t sectorCount);

// Runs of logical sectors owned by live entries 1..count.
std::vector<SectorRun> liveSectorRuns(const CartridgeCatalogue& catalogue);

struct SectorCheck {
  uint8_t sum = 0;
  uint8_t xorValue = 0;
};

struct FatRefreshResult {
  std::vector<uint8_t> sector;  // 65536 bytes for the image at offset 65536
  SectorCheck check;            // for BlockTable record 1
};

// Function_FATRefresh without the stream: compaction, the relocation pass when
// table is given (Ostrel IV, relocate = 1), and serialisation.
FatRefreshResult refreshFat(CartridgeCatalogue& catalogue, MappingTable* table,
                            uint16_t sectorCount, const LegacyTextConverter& convert);

}  // namespace ostrel
