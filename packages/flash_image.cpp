#include "packages/flash_image.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

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

// A data line is at most 4 + 2 × 255 characters: a piece holds one whole.
constexpr size_t kSmallestTextPiece = 1024;

FlashImageLoad failed(FlashImageLoad& r, std::string_view code) {
  r.fault = code;
  r.image.clear();
  r.image.shrink_to_fit();
  return std::move(r);
}

uint32_t blocksFor(uint64_t bytes) {
  return uint32_t((bytes + kSectorSize - 1) / kSectorSize);
}

// Reads S-record lines piece by piece into a BlockImage. A piece may end
// anywhere: an unfinished line is left for the next piece, except for the
// part of a line that is skipped or only checked for white space, so what is
// carried over stays shorter than one data line.
class SRecordReader {
 public:
  explicit SRecordReader(BlockImage& image) : image_(image) {}

  // Takes the lines of text; returns how many bytes it took. Unless final,
  // a line that may go on in the next piece is left untaken.
  size_t read(std::span<const uint8_t> text, bool final);
  bool failed() const { return failed_; }
  uint64_t lineNumber() const { return line_; }
  uint64_t end() const { return end_; }

 private:
  enum class Rest : uint8_t { None, Skipped, WhiteSpace };
  // The line end at text[at] (CR, LF, or CR LF); returns where the next line starts.
  size_t endLine(std::span<const uint8_t> text, size_t at);

  BlockImage& image_;
  Rest rest_ = Rest::None;  // what the rest of the current line may hold
  bool afterCr_ = false;    // the last piece ended with CR: an LF now belongs to it
  bool failed_ = false;
  uint64_t line_ = 1;
  uint64_t end_ = 0;
};

size_t SRecordReader::endLine(std::span<const uint8_t> text, size_t at) {
  const uint8_t c = text[at++];
  ++line_;
  rest_ = Rest::None;
  if (c == '\r') {
    if (at < text.size()) {
      if (text[at] == '\n') ++at;
    } else {
      afterCr_ = true;
    }
  }
  return at;
}

size_t SRecordReader::read(std::span<const uint8_t> text, bool final) {
  const std::array<uint16_t, 65536>& pairs = hexPairTable();
  const size_t n = text.size();
  size_t at = 0;
  auto fail = [&] {
    failed_ = true;
    return at;
  };
  if (afterCr_ && n > 0) {
    afterCr_ = false;
    if (text[0] == '\n') at = 1;
  }
  while (at < n && !failed_) {
    const uint8_t* p = text.data() + at;
    if (rest_ != Rest::None) {
      const uint8_t* e = text.data() + n;
      if (rest_ == Rest::Skipped) {
        while (p < e && *p != '\n' && *p != '\r') ++p;
      } else {
        while (p < e && (*p == ' ' || *p == '\t')) ++p;
        if (p < e && *p != '\n' && *p != '\r') return fail();
      }
      if (p == e) return n;  // the line goes on in the next piece
      at = endLine(text, size_t(p - text.data()));
      continue;
    }
    if (p[0] == '\n' || p[0] == '\r') {
      at = endLine(text, at);
      continue;
    }
    if (n - at < 2 && !final) return at;
    if (n - at < 2 || p[0] != 'S' || p[1] < '1' || p[1] > '3') {
      rest_ = Rest::Skipped;
      continue;
    }
    // A data line: the count covers address, data and the checksum byte.
    if (n - at < 4) return final ? fail() : at;
    const uint8_t countHigh = kHexValue[p[2]], countLow = kHexValue[p[3]];
    if ((countHigh | countLow) & 0x80) return fail();
    const size_t count = size_t(countHigh << 4 | countLow);
    const size_t addressBytes = size_t(p[1] - '0') + 1;
    // A record too short for its own address carries nothing.
    if (count < addressBytes + 1) {
      rest_ = Rest::Skipped;
      continue;
    }
    const size_t length = 4 + 2 * count;
    if (n - at < length) return final ? fail() : at;
    uint8_t bad = 0;
    uint64_t address = 0;
    const uint8_t* digit = p + 4;
    for (size_t i = 0; i < addressBytes; ++i, digit += 2) {
      const uint8_t hi = kHexValue[digit[0]], lo = kHexValue[digit[1]];
      bad |= hi | lo;
      address = address << 8 | uint8_t(hi << 4 | lo);
    }
    const size_t dataBytes = count - addressBytes - 1;
    // The checksum's two digits must be digits, though their value is not checked.
    bad |= kHexValue[p[length - 2]] | kHexValue[p[length - 1]];
    if (bad & 0x80) return fail();
    // Straight into its block, or through a buffer when it spans two.
    const size_t offset = size_t(address % kSectorSize);
    uint8_t buffer[255];
    uint8_t* out = buffer;
    if (offset + dataBytes <= kSectorSize) {
      out = address / kSectorSize < image_.maxBlocks()
                ? image_.place(uint32_t(address / kSectorSize), offset, dataBytes)
                : nullptr;
      if (!out) return fail();
    }
    uint16_t badPair = 0;
    for (size_t i = 0; i < dataBytes; ++i, digit += 2) {
      uint16_t key;
      std::memcpy(&key, digit, 2);
      const uint16_t value = pairs[key];
      badPair |= value;
      out[i] = uint8_t(value);
    }
    if (badPair & 0x100) return fail();
    if (out == buffer && !image_.write(address, std::span<const uint8_t>(buffer, dataBytes)))
      return fail();
    end_ = std::max(end_, address + dataBytes);
    at += length;
    rest_ = Rest::WhiteSpace;
  }
  return at;
}

// The ImageChecksum of an image's first `bytes` bytes; blocks nothing was
// written into count without being read. Empty when a block cannot be had.
std::optional<uint16_t> imageChecksum(BlockImage& image, uint64_t bytes) {
  ImageChecksum c;
  for (uint32_t b = 0; uint64_t(b) * kSectorSize < bytes; ++b) {
    const size_t n = size_t(std::min<uint64_t>(kSectorSize, bytes - uint64_t(b) * kSectorSize));
    const std::span<const uint8_t> data = image.block(b);
    if (data.size() != kSectorSize) return std::nullopt;
    c.add(data.first(n));
  }
  return c.value();
}

}  // namespace

FlashImageLoad readSRecords(ByteSource& text, BlockImage& image, const ProgressFn& progress,
                            size_t pieceBytes) {
  FlashImageLoad r;
  SRecordReader reader(image);
  const uint64_t size = text.size();
  pieceBytes = std::max(pieceBytes, kSmallestTextPiece);
  for (uint64_t position = 0;;) {
    const std::span<const uint8_t> piece = text.fetch(position, pieceBytes);
    // A short piece is the end, or all a source that failed could give.
    const bool final = position + piece.size() >= size || piece.size() < pieceBytes;
    const size_t took = reader.read(piece, final);
    if (reader.failed()) {
      if (text.failed()) return failed(r, FaultCode::k0010);
      r.faultLines = {"Line " + std::to_string(reader.lineNumber())};
      return failed(r, FaultCode::k0018);
    }
    position += took;
    if (progress) progress(position, size);
    if (final) break;
  }
  // Text cut short by a read error is no whole file.
  if (text.failed()) return failed(r, FaultCode::k0010);
  if (reader.end() == 0) return failed(r, FaultCode::k0019);
  r.endAddress = reader.end();
  r.blockCount = blocksFor(r.endAddress);
  const std::optional<uint16_t> checksum = imageChecksum(image, r.endAddress);
  if (!checksum) return failed(r, FaultCode::k0018);
  r.checksum = *checksum;
  return r;
}

FlashImageLoad convertSRecords(ByteSource& text, uint32_t sectorCount, const ProgressFn& progress) {
  BlockImage image(std::min(sectorCount, kLargestCartridgeSectors));
  FlashImageLoad r = readSRecords(text, image, progress);
  if (!r.fault.empty()) return r;
  r.image = image.takeDense(r.blockCount);
  if (r.image.empty()) return failed(r, FaultCode::k0018);
  return r;
}

FlashImageLoad convertSRecords(std::span<const uint8_t> text, uint32_t sectorCount,
                               const ProgressFn& progress) {
  SpanSource source(text);
  return convertSRecords(source, sectorCount, progress);
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
    record->writeFlag = isBlank(data) ? 0 : 1;
  }
}

}  // namespace ostrel
