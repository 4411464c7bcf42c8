// Test-side package records, written from the file layout alone (not with the
// codec under test), so hand-made packages can carry any marker form, key,
// block and damage.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace ostrel::test {

using Bytes = std::vector<uint8_t>;

// Stored byte of a plain byte: rotate right by the key's high nibble (mod 8),
// then add its low nibble.
inline uint8_t testScramble(uint8_t plain, uint8_t key) {
  const unsigned r = (key >> 4) % 8;
  const uint8_t rotated = r ? uint8_t((plain >> r) | (plain << (8 - r))) : plain;
  return uint8_t(rotated + (key & 0x0F));
}

// ImageChecksum by its definition.
inline uint16_t testChecksum(const Bytes& bytes, size_t count) {
  unsigned s = 0, x = 0;
  for (size_t i = 0; i < count; ++i) {
    const unsigned w = (i + 1) % 256;
    s = (s + bytes[i] + w) % 256;
    x = ((x ^ bytes[i]) + w) % 256;
  }
  return uint16_t(s << 8 | x);
}

struct TestRecord {
  uint8_t marker = 0xD0;
  int form = 0;  // added to the complement: 0 short, 1 or 2 long, anything else no marker
  uint32_t block = 0;
  uint8_t key = 0x11;
  Bytes plain;
  bool badTrailer = false;
};

inline Bytes encodeRecord(const TestRecord& r) {
  Bytes out;
  out.push_back(r.marker);
  out.push_back(uint8_t(0xFF - r.marker + r.form));
  const bool longForm = r.form != 0;
  if (longForm) out.push_back(uint8_t(r.block >> 8));
  out.push_back(uint8_t(r.block));
  out.push_back(r.key);
  const size_t lengthField = r.plain.size() - 1;
  out.push_back(uint8_t(lengthField >> 8));
  out.push_back(uint8_t(lengthField));
  for (uint8_t p : r.plain) out.push_back(testScramble(p, r.key));
  unsigned sum = 0, x = 0;
  for (uint8_t b : out) {
    sum += b;
    x ^= b;
  }
  out.push_back(uint8_t(sum + (r.badTrailer ? 1 : 0)));
  out.push_back(uint8_t(x));
  return out;
}

// A HeaderRecord payload: size - 1, checksum, identity, 128 zeros.
inline Bytes headerPayload(uint64_t imageSize, uint16_t checksum, const Bytes& identity) {
  const uint32_t field = uint32_t(imageSize - 1);
  Bytes p(142, 0);
  const uint8_t head[] = {uint8_t(field >> 24), uint8_t(field >> 16),   uint8_t(field >> 8),
                          uint8_t(field),       uint8_t(checksum >> 8), uint8_t(checksum)};
  std::copy(std::begin(head), std::end(head), p.begin());
  std::copy_n(identity.begin(), std::min<size_t>(identity.size(), 8), p.begin() + 6);
  return p;
}

struct TestEntry {
  uint8_t kind = 2;
  std::string brand;
  uint16_t start = 0;
  uint16_t count = 0;
  std::string path;  // raw bytes from pathField byte 1
  uint8_t byte29 = 0;
};

// A catalogue block: signature, header words, count n, entries 1..151 from
// 108, 152 on from 32768. size 0 means just long enough.
inline Bytes catalogueBlock(const std::vector<TestEntry>& entries, uint16_t declaredCount,
                            size_t size = 0, uint8_t sig0 = 0xA1, uint8_t sig1 = 0x1E) {
  size_t needed = 108 + 212 * std::min<size_t>(entries.size(), 151);
  if (entries.size() > 151) needed = 32768 + 212 * (entries.size() - 151);
  Bytes b(size ? size : needed, 0);
  b[0] = sig0;
  b[1] = sig1;
  b[106] = uint8_t(declaredCount >> 8);
  b[107] = uint8_t(declaredCount);
  for (size_t k = 1; k <= entries.size(); ++k) {
    const size_t at = k < 152 ? 108 + (k - 1) * 212 : 32768 + (k - 152) * 212;
    if (at + 212 > b.size()) break;
    const TestEntry& e = entries[k - 1];
    b[at] = e.kind;
    for (size_t i = 0; i < e.brand.size() && i < 26; ++i) b[at + 2 + i] = uint8_t(e.brand[i]);
    b[at + 80] = uint8_t(e.start >> 8);
    b[at + 81] = uint8_t(e.start);
    b[at + 82] = uint8_t(e.count >> 8);
    b[at + 83] = uint8_t(e.count);
    for (size_t i = 0; i < e.path.size(); ++i) b[at + 84 + 1 + i] = uint8_t(e.path[i]);
    if (e.byte29) b[at + 84 + 29] = e.byte29;
  }
  return b;
}

inline void append(Bytes& to, const Bytes& more) {
  to.insert(to.end(), more.begin(), more.end());
}

// The ImageChecksum of a sparse image: data bytes one by one as the
// definition says, and a blank block (starting at a multiple of 65536) as
// 256 runs of 256 blank bytes, each run's effect on X tabled once.
struct SparseChecksum {
  unsigned s = 0, x = 0;
  uint64_t offset = 0;
  void bytes(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
      const unsigned w = unsigned(++offset % 256);
      s = (s + p[i] + w) % 256;
      x = ((x ^ p[i]) + w) % 256;
    }
  }
  void blankBlocks(uint64_t n) {
    static const std::array<uint8_t, 256> run = [] {
      std::array<uint8_t, 256> t{};
      for (unsigned start = 0; start < 256; ++start) {
        unsigned x = start;
        for (unsigned w = 1; w <= 256; ++w) x = ((x ^ 0xFF) + w) % 256;
        t[start] = uint8_t(x);
      }
      return t;
    }();
    // S gains 255 * 256 + 32640 = 0 (mod 256) per 256 bytes times 256.
    for (uint64_t k = 0; k < n * 256; ++k) x = run[x];
    offset += n * 65536;
  }
  uint16_t value() const { return uint16_t(s << 8 | x); }
};

// A package of DataRecords (block, plain bytes) in file order, the long
// form from block 256 on; declared to end where the last one ends unless
// `declared` says otherwise, with the checksum of that image; its catalogue
// lists `entries`.
inline Bytes sparsePackage(const std::vector<std::pair<uint32_t, Bytes>>& records,
                           const std::vector<TestEntry>& entries,
                           std::optional<uint64_t> declared = {}) {
  const uint64_t size =
      declared.value_or(uint64_t(records.back().first) * 65536 + records.back().second.size());
  std::map<uint32_t, Bytes> image;  // block -> its bytes, later records over earlier ones
  for (const auto& [block, plain] : records) {
    Bytes& b = image[block];
    if (b.size() < plain.size()) b.resize(plain.size(), 0xFF);
    std::copy(plain.begin(), plain.end(), b.begin());
  }
  SparseChecksum c;
  for (const auto& [block, bytes] : image) {
    if (uint64_t(block) * 65536 >= size) break;
    c.blankBlocks(block - c.offset / 65536);
    Bytes whole = bytes;
    whole.resize(65536, 0xFF);
    c.bytes(whole.data(), size_t(std::min<uint64_t>(65536, size - c.offset)));
  }
  if (c.offset < size) {
    c.blankBlocks((size - c.offset) / 65536);
    const Bytes blank(size - c.offset, 0xFF);
    c.bytes(blank.data(), blank.size());
  }
  Bytes out;
  append(out, encodeRecord({0xD0, 0, 0, 0x35, headerPayload(size, c.value(), Bytes(8, 0))}));
  for (const auto& [block, plain] : records)
    append(out, encodeRecord({0xD1, block >= 256 ? 1 : 0, block, 0x46, plain}));
  append(out, encodeRecord({0xD9, 0, 0, 0x57, catalogueBlock(entries, uint16_t(entries.size()))}));
  return out;
}

}  // namespace ostrel::test
