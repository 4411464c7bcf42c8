#include "cartfs/fat.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/text_helpers.h"
#include "link/frame.h"

namespace ostrel {

namespace {

uint16_t readWord(std::span<const uint8_t> bytes, std::size_t offset) {
  return static_cast<uint16_t>((bytes[offset] << 8) | bytes[offset + 1]);
}

void writeWord(std::span<uint8_t> bytes, std::size_t offset, uint16_t value) {
  bytes[offset] = static_cast<uint8_t>(value >> 8);
  bytes[offset + 1] = static_cast<uint8_t>(value);
}

// Copies a stored text up to its first NUL; the rest of the field stays zero.
void readText(std::span<const uint8_t> bytes, std::size_t offset,
              std::array<char, kFatTextSize>& field) {
  field.fill(0);
  for (std::size_t i = 0; i < kFatTextSize && bytes[offset + i] != 0; ++i) {
    field[i] = static_cast<char>(bytes[offset + i]);
  }
}

void writeText(std::span<uint8_t> bytes, std::size_t offset,
               const std::array<char, kFatTextSize>& field) {
  std::memcpy(bytes.data() + offset, field.data(), kFatTextSize);
}

FatEntry readEntry(std::span<const uint8_t> bytes, std::size_t offset) {
  FatEntry entry;
  entry.kind = bytes[offset + kEntryKindOffset];
  entry.attribute = bytes[offset + kEntryAttributeOffset];
  readText(bytes, offset + kEntryBrandOffset, entry.brand);
  readText(bytes, offset + kEntryVersionOffset, entry.version);
  readText(bytes, offset + kEntryVersionExtraOffset, entry.versionExtra);
  entry.startSector = readWord(bytes, offset + kEntryStartSectorOffset);
  entry.sectorCount = readWord(bytes, offset + kEntrySectorCountOffset);
  std::memcpy(entry.pathField.data(), bytes.data() + offset + kEntryPathFieldOffset,
              kFatPathFieldSize);
  return entry;
}

void writeEntry(std::span<uint8_t> bytes, std::size_t offset, const FatEntry& entry) {
  bytes[offset + kEntryKindOffset] = entry.kind;
  bytes[offset + kEntryAttributeOffset] = entry.attribute;
  writeText(bytes, offset + kEntryBrandOffset, entry.brand);
  writeText(bytes, offset + kEntryVersionOffset, entry.version);
  writeText(bytes, offset + kEntryVersionExtraOffset, entry.versionExtra);
  writeWord(bytes, offset + kEntryStartSectorOffset, entry.startSector);
  writeWord(bytes, offset + kEntrySectorCountOffset, entry.sectorCount);
  std::memcpy(bytes.data() + offset + kEntryPathFieldOffset, entry.pathField.data(),
              kFatPathFieldSize);
}

bool isContinuation(uint8_t b) {
  return (b & 0xC0) == 0x80;
}

}  // namespace

std::size_t slotsInUse(const CartridgeCatalogue& catalogue) {
  return std::min<std::size_t>(catalogue.header.entryCount, kFatMaxEntries);
}

std::string_view fatText(const std::array<char, kFatTextSize>& field) {
  const auto end = std::find(field.begin(), field.end(), '\0');
  return std::string_view(field.data(), static_cast<std::size_t>(end - field.begin()));
}

std::string_view fatPathText(const FatEntry& entry) {
  const std::size_t limit = entry.kind == 1 ? 26 : 94;
  const char* text = reinterpret_cast<const char*>(entry.pathField.data()) + 1;
  std::size_t length = 0;
  while (length < limit && text[length] != '\0') ++length;
  return std::string_view(text, length);
}

void setFatText(std::array<char, kFatTextSize>& field, std::string_view text) {
  field.fill(0);
  std::memcpy(field.data(), text.data(), std::min(text.size(), kFatTextSize));
}

FatParseResult parseFatSector(std::span<const uint8_t> bytes, uint16_t sectorCount,
                              CartridgeCatalogue& catalogue) {
  catalogue = CartridgeCatalogue{};
  catalogue.header = {kFatSignatureCurrent, kFatFormatWord, sectorCount, 0};
  FatParseResult result;
  if (bytes.size() < 2) return result;
  const uint16_t signature = readWord(bytes, 0);
  result.signatureRecognised =
      signature == kFatSignatureCurrent || signature == kFatSignatureLegacy;
  if (!result.signatureRecognised || bytes.size() < kFatHeaderSize) return result;

  result.declaredCount = readWord(bytes, kFatCountOffset);
  std::size_t taken = 0;
  while (taken < result.declaredCount && taken < kFatMaxEntries) {
    const std::size_t offset = fatEntryOffset(taken + 1);
    if (offset + kFatEntrySize > bytes.size()) break;
    catalogue.entries[taken] = readEntry(bytes, offset);
    ++taken;
  }
  catalogue.header.entryCount = static_cast<uint16_t>(taken);
  result.entriesIgnored = static_cast<uint16_t>(result.declaredCount - taken);
  return result;
}

std::vector<uint8_t> serialiseFatSector(const CartridgeCatalogue& catalogue) {
  std::vector<uint8_t> sector(kFatSectorSize, 0);
  std::span<uint8_t> out(sector);
  const std::size_t count = slotsInUse(catalogue);
  writeWord(out, 0, kFatSignatureCurrent);
  writeWord(out, 2, kFatFormatWord);
  writeWord(out, 4, catalogue.header.sectorCountWord);
  writeWord(out, kFatCountOffset, static_cast<uint16_t>(count));
  for (std::size_t k = 1; k <= count; ++k) {
    writeEntry(out, fatEntryOffset(k), catalogue.entries[k - 1]);
  }
  return sector;
}

std::string fatEntryLogLine(const FatEntry& entry) {
  return "L:" + upperHex(entry.startSector, 2) + "   s:" + upperHex(entry.sectorCount, 2) +
         "   N:" + upperHex(unsigned(entry.startSector) + entry.sectorCount, 2);
}

ObdiiVerdict obdiiVersionVerdict(const FatEntry& entry) {
  if (entry.kind == 0 || fatText(entry.brand) != "OBDII") return ObdiiVerdict::NotObdii;
  const auto& v = entry.version;
  const bool tested = (v[0] == '9' && v[1] == '1') || (v[0] == '5' && v[1] == '1');
  if (!tested) return ObdiiVerdict::Current;

  // version and versionExtra are adjacent in the record: without a "V" the
  // first byte of versionExtra stands in its place.
  std::array<uint8_t, 2 * kFatTextSize> text;
  std::memcpy(text.data(), entry.version.data(), kFatTextSize);
  std::memcpy(text.data() + kFatTextSize, entry.versionExtra.data(), kFatTextSize);
  std::size_t at = kFatTextSize;
  for (std::size_t i = 0; i < kFatTextSize; ++i) {
    if (text[i] == 'V' || text[i] == 'v') {
      at = i;
      break;
    }
  }
  if (text[at + 2] != '.') return ObdiiVerdict::Current;
  const uint8_t d1 = text[at + 1];
  const uint8_t d2 = text[at + 3];
  if (d1 < '3' || (d1 == '3' && d2 < '5')) return ObdiiVerdict::TooOld;
  return ObdiiVerdict::Current;
}

bool isUtf8Positions(std::span<const uint8_t> buf, std::size_t n) {
  // Never past the buffer: position n must exist.
  if (buf.empty()) return true;
  return Isutf8(buf.data(), std::min(n, buf.size() - 1));
}

PathConversion convertLegacyPath(FatEntry& entry, std::size_t testLimit, std::size_t maxWritten,
                                 const LegacyTextConverter& convert) {
  auto& field = entry.pathField;
  testLimit = std::clamp<std::size_t>(testLimit, 1, kFatPathFieldSize - 1);
  maxWritten = std::clamp<std::size_t>(maxWritten, 1, kFatPathFieldSize - 1);

  // The test covers the text and its terminator only: bytes left behind a
  // NUL by earlier writers must not turn a UTF-8 path into "legacy" text.
  std::size_t n = testLimit;
  for (std::size_t i = 1; i <= testLimit; ++i) {
    if (field[i] == 0) {
      n = std::min(i + 1, testLimit);
      break;
    }
  }
  if (isUtf8Positions(field, n)) return PathConversion::AlreadyUtf8;

  std::size_t inLength = 0;
  while (inLength < testLimit - 1 && field[1 + inLength] != 0) ++inLength;
  const std::string_view in(reinterpret_cast<const char*>(field.data()) + 1, inLength);
  std::string out;
  if (!convert || !convert(in, out)) return PathConversion::ConverterFailed;

  // Keep room for the terminator and never cut a UTF-8 sequence in two.
  std::size_t length = std::min(out.size(), maxWritten - 1);
  if (length < out.size()) {
    while (length > 0 && isContinuation(static_cast<uint8_t>(out[length]))) --length;
  }
  std::memcpy(field.data() + 1, out.data(), length);
  field[1 + length] = 0;
  return PathConversion::Converted;
}

void compactCatalogue(CartridgeCatalogue& catalogue, const LegacyTextConverter& convert) {
  const std::size_t count = slotsInUse(catalogue);
  std::size_t kept = 0;
  for (std::size_t k = 0; k < count; ++k) {
    FatEntry entry = catalogue.entries[k];
    if (entry.kind == 0) continue;
    std::size_t testLimit = kPathTestLimit;
    if (entry.kind == 1) {
      entry.kind = 2;
      entry.pathField[127] = entry.pathField[29];
      entry.pathField[29] = 0;
      testLimit = kLegacyPathTestLimit;
    }
    convertLegacyPath(entry, testLimit, kPathMaxWritten, convert);
    catalogue.entries[kept++] = entry;
  }
  for (std::size_t k = kept; k < kFatMaxEntries; ++k) catalogue.entries[k] = FatEntry{};
  catalogue.header.entryCount = static_cast<uint16_t>(kept);
}

namespace {

struct RelocationWalk {
  CartridgeCatalogue& catalogue;
  MappingTable& table;
  std::size_t count;

  bool live(std::size_t i) const { return catalogue.entries[i].kind != 0; }
  uint16_t start(std::size_t i) const { return catalogue.entries[i].startSector; }
  // Aliases share one stored run, as long as the longest of them: the group
  // moves as that run, or a shorter alias would strand the longer one's tail.
  uint16_t length(std::size_t i) const {
    uint16_t longest = catalogue.entries[i].sectorCount;
    for (std::size_t j = 0; j < count; ++j) {
      if (live(j) && start(j) == start(i))
        longest = std::max(longest, catalogue.entries[j].sectorCount);
    }
    return longest;
  }

  // Entry 1 and its aliases hold the base software, which never moves.
  bool isBase(std::size_t i) const { return i == 0 || (live(0) && start(i) == start(0)); }

  // A move may neither take sectors from nor put them onto another entry's
  // run: with overlapping entries the mapping words are shared.
  bool moveIsSafe(std::size_t i, std::size_t newStart) const {
    const std::size_t from = start(i);
    const std::size_t n = length(i);
    auto overlaps = [](std::size_t a, std::size_t an, std::size_t b, std::size_t bn) {
      return a < b + bn && b < a + an;
    };
    for (std::size_t j = 0; j < count; ++j) {
      if (!live(j) || start(j) == from) continue;
      if (overlaps(from, n, start(j), length(j)) || overlaps(newStart, n, start(j), length(j))) {
        return false;
      }
    }
    return true;
  }

  bool move(std::size_t i, std::size_t newStart) {
    if (!moveIsSafe(i, newStart)) return false;
    const uint16_t from = start(i);
    if (!relocateLogicalRun(table, from, length(i), static_cast<uint16_t>(newStart))) return false;
    for (std::size_t j = 0; j < count; ++j) {
      if (live(j) && start(j) == from) {
        catalogue.entries[j].startSector = static_cast<uint16_t>(newStart);
      }
    }
    return true;
  }
};

}  // namespace

int relocateToTop(CartridgeCatalogue& catalogue, MappingTable& table, uint16_t sectorCount) {
  RelocationWalk walk{catalogue, table, slotsInUse(catalogue)};
  const std::size_t count = walk.count;
  std::size_t top = count;
  for (std::size_t i = 0; i < count; ++i) {
    if (walk.live(i) && (top == count || walk.start(i) > walk.start(top))) top = i;
  }
  if (top == count) return 0;

  int moves = 0;
  std::size_t cur = top;
  // Every step goes to a strictly lower start, so count steps always suffice.
  for (std::size_t step = 0; step <= count; ++step) {
    std::size_t below = count;
    for (std::size_t i = 0; i < count; ++i) {
      if (!walk.live(i) || walk.start(i) >= walk.start(cur)) continue;
      if (below == count || walk.start(i) >= walk.start(below)) below = i;
    }
    if (walk.isBase(cur) || below == count) break;
    const std::size_t curEnd = std::size_t(walk.start(cur)) + walk.length(cur);
    if (cur == top && curEnd < sectorCount) {
      moves += walk.move(cur, sectorCount - walk.length(cur)) ? 1 : 0;
    }
    const std::size_t belowEnd = std::size_t(walk.start(below)) + walk.length(below);
    if (belowEnd < walk.start(cur)) {
      if (walk.isBase(below)) break;
      moves += walk.move(below, walk.start(cur) - walk.length(below)) ? 1 : 0;
    }
    cur = below;
  }
  return moves;
}

std::vector<SectorRun> liveSectorRuns(const CartridgeCatalogue& catalogue) {
  std::vector<SectorRun> runs;
  const std::size_t count = slotsInUse(catalogue);
  for (std::size_t k = 0; k < count; ++k) {
    const FatEntry& entry = catalogue.entries[k];
    if (entry.kind != 0) runs.push_back({entry.startSector, entry.sectorCount});
  }
  return runs;
}

FatRefreshResult refreshFat(CartridgeCatalogue& catalogue, MappingTable* table,
                            uint16_t sectorCount, const LegacyTextConverter& convert) {
  catalogue.header.signature = kFatSignatureCurrent;
  catalogue.header.formatWord = kFatFormatWord;
  catalogue.header.sectorCountWord = sectorCount;
  compactCatalogue(catalogue, convert);
  if (table != nullptr) relocateToTop(catalogue, *table, sectorCount);
  FatRefreshResult result;
  result.sector = serialiseFatSector(catalogue);
  result.check = {sum8(result.sector), xor8(result.sector)};
  return result;
}

}  // namespace ostrel
