#include "packages/flash_image.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "app/fault_codes.h"

namespace ostrel {

namespace {

// Hex digit values; 0x80 marks a character that is no hex digit.
constexpr std::array<uint8_t, 256> kHexValue = [] {
  std::array<uint8_t, 256> t{};
  for (auto& v : t) v = 0x80;
  for (int c = '0'; c <= '9'; ++c) t[size_t(c)] = uint8_t(c - '0');
  for (int c = 'a'; c <= 'f'; ++c) t[size_t(c)] = uint8_t(c - 'a' + 10);
  for (int c = 'A'; c <= 'F'; ++c) t[size_t(c)] = uint8_t(c - 'A' + 10);
  return t;
}();

// Two hex digits (as they lie in memory) to their byte; 0x100 marks a pair
// with a character that is no hex digit. One look-up per data byte.
const std::array<uint16_t, 65536>& hexPairTable() {
  static const std::array<uint16_t, 65536> table = [] {
    std::array<uint16_t, 65536> t{};
    for (unsigned first = 0; first < 256; ++first) {
      for (unsigned second = 0; second < 256; ++second) {
        const uint8_t hi = kHexValue[first], lo = kHexValue[second];
        uint8_t pair[2] = {uint8_t(first), uint8_t(second)};
        uint16_t key;
        std::memcpy(&key, pair, 2);
        t[key] = ((hi | lo) & 0x80) ? 0x100 : uint16_t(hi << 4 | lo);
      }
    }
    return t;
  }();
  return table;
}

// Progress is reported about once per this many bytes of text.
constexpr size_t kProgressStep = size_t(1) << 20;

FlashImageLoad failed(FlashImageLoad& r, std::string_view code) {
  r.fault = code;
  r.image.clear();
  r.image.shrink_to_fit();
  return std::move(r);
}

uint32_t blocksFor(uint64_t bytes) {
  return uint32_t((bytes + kSectorSize - 1) / kSectorSize);
}

}  // namespace

FlashImageLoad convertSRecords(std::span<const uint8_t> text, uint32_t sectorCount,
                               const ProgressFn& progress, uint64_t maxImageBytes) {
  maxImageBytes = std::min(maxImageBytes, kLargestImageBytes);
  FlashImageLoad r;
  std::vector<uint8_t>& image = r.image;
  // The module's own size (at most 2048 sectors) is the likely image size;
  // untouched reserved pages cost nothing.
  image.reserve(size_t(std::min<uint32_t>(sectorCount, 2048)) * kSectorSize);

  const std::array<uint16_t, 65536>& pairs = hexPairTable();
  const uint8_t* const base = text.data();
  const size_t size = text.size();
  size_t lineStart = 0;
  size_t nextProgress = kProgressStep;
  uint64_t lineNumber = 0;
  uint64_t end = 0;
  while (lineStart < size) {
    ++lineNumber;
    const uint8_t* line = base + lineStart;
    const void* newline = std::memchr(line, '\n', size - lineStart);
    size_t length =
        newline ? size_t(static_cast<const uint8_t*>(newline) - line) : size - lineStart;
    lineStart += length + 1;
    if (length > 0 && line[length - 1] == '\r') --length;
    if (lineStart >= nextProgress && progress) {
      progress(std::min(lineStart, size), size);
      nextProgress = lineStart + kProgressStep;
    }
    if (length < 2 || line[0] != 'S' || line[1] < '1' || line[1] > '3') continue;

    auto refuse = [&] {
      r.faultLines = {"Line " + std::to_string(lineNumber)};
      return failed(r, FaultCode::k0018);
    };
    const size_t addressBytes = size_t(line[1] - '0') + 1;
    if (length < 4) return refuse();
    const uint8_t countHigh = kHexValue[line[2]], countLow = kHexValue[line[3]];
    if ((countHigh | countLow) & 0x80) return refuse();
    const size_t count = size_t(countHigh << 4 | countLow);
    // The count covers address, data and the checksum byte; a record too
    // short for its own address carries nothing.
    if (count < addressBytes + 1) continue;
    const size_t dataBytes = count - addressBytes - 1;
    if (length < 4 + 2 * (addressBytes + dataBytes)) return refuse();

    uint8_t bad = 0;
    uint64_t address = 0;
    const uint8_t* digit = line + 4;
    for (size_t i = 0; i < addressBytes; ++i, digit += 2) {
      const uint8_t hi = kHexValue[digit[0]], lo = kHexValue[digit[1]];
      bad |= hi | lo;
      address = address << 8 | uint8_t(hi << 4 | lo);
    }
    if (bad & 0x80) return refuse();
    const uint64_t recordEnd = address + dataBytes;
    if (recordEnd > maxImageBytes) return refuse();
    if (image.size() < recordEnd) image.resize(size_t(blocksFor(recordEnd)) * kSectorSize, 0xFF);
    uint8_t* out = image.data() + address;
    uint16_t badPair = 0;
    for (size_t i = 0; i < dataBytes; ++i, digit += 2) {
      uint16_t key;
      std::memcpy(&key, digit, 2);
      const uint16_t value = pairs[key];
      badPair |= value;
      out[i] = uint8_t(value);
    }
    if (badPair & 0x100) return refuse();
    end = std::max(end, recordEnd);
  }
  if (progress) progress(size, size);

  if (end == 0) return failed(r, FaultCode::k0019);
  r.endAddress = end;
  r.blockCount = blocksFor(end);
  image.resize(size_t(r.blockCount) * kSectorSize, 0xFF);
  r.checksum = imageChecksum(std::span<const uint8_t>(image.data(), size_t(end)));
  return r;
}

FlashImageLoad convertBinary(std::vector<uint8_t> bytes) {
  FlashImageLoad r;
  if (bytes.size() > kLargestImageBytes) return failed(r, FaultCode::k0018);
  r.endAddress = bytes.size();
  r.blockCount = blocksFor(bytes.size());
  r.checksum = imageChecksum(bytes);
  r.image = std::move(bytes);
  // Blank fits the other loaders: a short last block reads as erased flash.
  r.image.resize(size_t(r.blockCount) * kSectorSize, 0xFF);
  return r;
}

void planImageBlocks(std::span<const uint8_t> image, std::vector<BlockRecord>& table) {
  const size_t blocks = image.size() / kSectorSize;
  for (size_t k = 0; k < blocks; ++k) {
    BlockRecord* record = blockRecordAt(table, k);
    if (!record) break;
    const std::span<const uint8_t> data = image.subspan(k * kSectorSize, kSectorSize);
    planFlashImageWrite(*record, data, true);
    record->writeFlag =
        std::any_of(data.begin(), data.end(), [](uint8_t b) { return b != 0xFF; }) ? 1 : 0;
  }
}

}  // namespace ostrel
