#include "packages/package_format.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/fault_codes.h"
#include "app/text_helpers.h"
#include "link/frame.h"

namespace ostrel {

namespace {

constexpr unsigned rotation(uint8_t key) {
  return (key >> 4) & 7u;
}
constexpr uint8_t subtrahend(uint8_t key) {
  return key & 0x0F;
}

// One loop per rotation count, so each is a plain byte loop the compiler
// vectorises.
template <unsigned R>
void unscrambleRun(const uint8_t* in, uint8_t* out, size_t n, uint8_t s) {
  for (size_t i = 0; i < n; ++i) {
    const uint8_t v = uint8_t(in[i] - s);
    out[i] = uint8_t((v << R) | (v >> ((8 - R) & 7)));
  }
}

template <unsigned R>
void scrambleRun(const uint8_t* in, uint8_t* out, size_t n, uint8_t s) {
  for (size_t i = 0; i < n; ++i) {
    const uint8_t p = in[i];
    out[i] = uint8_t(uint8_t((p >> R) | (p << ((8 - R) & 7))) + s);
  }
}

void unscramble(const uint8_t* in, uint8_t* out, size_t n, uint8_t key) {
  const uint8_t s = subtrahend(key);
  switch (rotation(key)) {
    case 0:
      return unscrambleRun<0>(in, out, n, s);
    case 1:
      return unscrambleRun<1>(in, out, n, s);
    case 2:
      return unscrambleRun<2>(in, out, n, s);
    case 3:
      return unscrambleRun<3>(in, out, n, s);
    case 4:
      return unscrambleRun<4>(in, out, n, s);
    case 5:
      return unscrambleRun<5>(in, out, n, s);
    case 6:
      return unscrambleRun<6>(in, out, n, s);
    default:
      return unscrambleRun<7>(in, out, n, s);
  }
}

void scramble(const uint8_t* in, uint8_t* out, size_t n, uint8_t key) {
  const uint8_t s = subtrahend(key);
  switch (rotation(key)) {
    case 0:
      return scrambleRun<0>(in, out, n, s);
    case 1:
      return scrambleRun<1>(in, out, n, s);
    case 2:
      return scrambleRun<2>(in, out, n, s);
    case 3:
      return scrambleRun<3>(in, out, n, s);
    case 4:
      return scrambleRun<4>(in, out, n, s);
    case 5:
      return scrambleRun<5>(in, out, n, s);
    case 6:
      return scrambleRun<6>(in, out, n, s);
    default:
      return scrambleRun<7>(in, out, n, s);
  }
}

uint32_t be32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

bool allBlank(std::span<const uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xFF; });
}

// The trailer: 8-bit sum and xor of the header bytes and the stored payload.
bool trailerMatches(std::span<const uint8_t> header, std::span<const uint8_t> stored,
                    const uint8_t* trailer) {
  const uint8_t sum = uint8_t(sum8(header) + sum8(stored));
  const uint8_t x = uint8_t(xor8(header) ^ xor8(stored));
  return trailer[0] == sum && trailer[1] == x;
}

std::string_view trailerFault(uint8_t kind) {
  if (kind == kHeaderRecord) return FaultCode::k0012;
  if (kind == kDataRecord) return FaultCode::k0015;
  return FaultCode::k0016;
}

// Grows the image to hold `blocks` whole blocks; new bytes are blank.
void ensureBlocks(std::vector<uint8_t>& image, uint64_t blocks) {
  const size_t bytes = size_t(blocks * kSectorSize);
  if (image.size() < bytes) image.resize(bytes, 0xFF);
}

// Small deterministic generator for the writer's RecordKeys.
struct KeyDraw {
  uint64_t state;
  uint32_t next() {
    state += 0x9E3779B97F4A7C15ull;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return uint32_t(z ^ (z >> 31));
  }
  // r 1..6 and s 1..14, each different from the previous record's.
  uint8_t key(uint8_t previous) {
    unsigned r, s;
    do r = 1 + next() % 6;
    while (previous && r == rotation(previous));
    do s = 1 + next() % 14;
    while (previous && s == subtrahend(previous));
    return uint8_t(r << 4 | s);
  }
};

}  // namespace

// ---------------------------------------------------------------- checksum

void ImageChecksum::add(std::span<const uint8_t> bytes) {
  // S sums the bytes and the weights: a plain (vectorised) byte sum plus the
  // weights' sum. X is a chain of xor and add, one byte after the other.
  uint64_t weights = 0;
  const uint64_t n = bytes.size();
  const uint64_t first = offset_ + 1;  // the first byte's weight, before mod 256
  weights = (n / 256) * (255 * 256 / 2);
  for (uint64_t i = n - n % 256; i < n; ++i) weights += (first + i) % 256;
  uint8_t x = x_;
  uint8_t w = uint8_t(first);
  for (const uint8_t b : bytes) {
    x = uint8_t((x ^ b) + w);
    ++w;
  }
  s_ = uint8_t(s_ + sum8(bytes) + weights);
  x_ = x;
  offset_ += n;
}

void ImageChecksum::addBlank(uint64_t count) {
  static const std::array<uint8_t, 4096> blank = [] {
    std::array<uint8_t, 4096> a;
    a.fill(0xFF);
    return a;
  }();
  while (count > 0) {
    const size_t n = size_t(std::min<uint64_t>(count, blank.size()));
    add(std::span<const uint8_t>(blank.data(), n));
    count -= n;
  }
}

uint16_t imageChecksum(std::span<const uint8_t> bytes) {
  ImageChecksum c;
  c.add(bytes);
  return c.value();
}

uint8_t scrambleByte(uint8_t plain, uint8_t key) {
  uint8_t out;
  scramble(&plain, &out, 1, key);
  return out;
}

uint8_t unscrambleByte(uint8_t stored, uint8_t key) {
  uint8_t out;
  unscramble(&stored, &out, 1, key);
  return out;
}

std::span<const uint8_t> SpanSource::fetch(uint64_t position, size_t count) {
  if (position >= bytes_.size()) return {};
  return bytes_.subspan(size_t(position), std::min<uint64_t>(count, bytes_.size() - position));
}

// ---------------------------------------------------------------- reading

PackageRead readPackage(ByteSource& source, const LegacyTextConverter& convert,
                        const ProgressFn& progress, uint64_t maxImageBytes) {
  maxImageBytes = std::min(maxImageBytes, kLargestImageBytes);
  PackageRead r;
  const uint64_t fileSize = source.size();
  std::vector<uint8_t>& image = r.image;
  std::vector<uint8_t> catalogueBlock;
  uint64_t position = 0;
  uint64_t imageEnd = 0;  // where the last DataRecord ended
  uint32_t lastBlock = 0;
  bool endSeen = false;

  auto fail = [&r](std::string_view code) -> PackageRead& {
    r.fault = code;
    r.image.clear();
    r.image.shrink_to_fit();
    return r;
  };

  while (!endSeen) {
    // The marker: m2 is the complement of m1 (short form) or that plus 1 or
    // 2 (long form). Up to three pairs of other bytes may open the file.
    uint8_t header[kLongHeaderSize];
    bool longForm = false;
    for (;;) {
      const std::span<const uint8_t> pair = source.fetch(position, 2);
      if (pair.size() < 2) return fail(FaultCode::k0011);
      header[0] = pair[0];
      header[1] = pair[1];
      position += 2;
      const int complement = 0xFF - header[0];
      if (header[1] == complement) break;
      if (header[1] == complement + 1 || header[1] == complement + 2) {
        longForm = true;
        break;
      }
      if (position > 7) return fail(FaultCode::k0011);
    }
    const size_t headerSize = longForm ? kLongHeaderSize : kShortHeaderSize;
    const int kindValue = int(header[0]) - kRecordMarkerBase;
    const bool known =
        kindValue == kHeaderRecord || kindValue == kDataRecord || kindValue == kEndRecord;
    const uint8_t kind = uint8_t(kindValue);

    const std::span<const uint8_t> rest = source.fetch(position, headerSize - 2);
    if (rest.size() < headerSize - 2) {
      if (!known) return fail(FaultCode::k0011);
      return fail(trailerFault(kind));
    }
    std::memcpy(header + 2, rest.data(), rest.size());
    position += rest.size();
    const uint32_t block = longForm ? uint32_t(header[2] << 8 | header[3]) : header[2];
    const uint8_t key = longForm ? header[4] : header[3];
    const size_t length = size_t(header[headerSize - 2] << 8 | header[headerSize - 1]) + 1;

    // Any other kind: only its header is read; the search goes on behind it.
    if (!known) continue;

    const std::span<const uint8_t> stored = source.fetch(position, length + 2);
    if (stored.size() < length + 2) return fail(trailerFault(kind));
    const std::span<const uint8_t> payload = stored.first(length);
    if (!trailerMatches(std::span<const uint8_t>(header, headerSize), payload,
                        stored.data() + length))
      return fail(trailerFault(kind));
    position += length + 2;

    if (kind == kHeaderRecord) {
      std::array<uint8_t, kHeaderPayloadBuffer> buffer{};
      unscramble(payload.data(), buffer.data(), std::min(length, buffer.size()), key);
      r.declaredSize = uint64_t(be32(buffer.data())) + 1;
      r.declaredChecksum = uint16_t(buffer[4] << 8 | buffer[5]);
      std::copy_n(buffer.begin() + 6, r.identity.size(), r.identity.begin());
      // A size beyond the largest cartridge is damage, and must not make us
      // reserve gigabytes before any data is there.
      if (r.declaredSize > maxImageBytes) return fail(FaultCode::k0013);
      if (image.capacity() == 0) {
        const uint64_t declaredBlocks = (r.declaredSize + kSectorSize - 1) / kSectorSize;
        const uint64_t presentBlocks = fileSize / kSectorSize + 1;
        image.reserve(size_t(std::min(declaredBlocks, presentBlocks) * kSectorSize));
      }
    } else if (kind == kDataRecord) {
      if ((uint64_t(block) + 1) * kSectorSize > maxImageBytes) return fail(FaultCode::k0013);
      ensureBlocks(image, uint64_t(block) + 1);
      const size_t at = size_t(block) * kSectorSize;
      unscramble(payload.data(), image.data() + at, length, key);
      imageEnd = at + length;
      lastBlock = block;
      ++r.dataRecords;
    } else {
      catalogueBlock.resize(length);
      unscramble(payload.data(), catalogueBlock.data(), length, key);
      if (imageEnd != r.declaredSize) {
        r.faultLines = {upperHex(uint32_t(imageEnd), 8), upperHex(uint32_t(r.declaredSize), 8)};
        return fail(FaultCode::k0013);
      }
      endSeen = true;
    }
    if (progress) progress(position, fileSize);
  }

  // imageEnd equals the declared size here, and the image reaches at least
  // that far.
  r.checksum = imageChecksum(std::span<const uint8_t>(image.data(), size_t(r.declaredSize)));
  if (r.checksum != r.declaredChecksum) return fail(FaultCode::k0014);
  image.resize((size_t(lastBlock) + 1) * kSectorSize, 0xFF);

  const FatParseResult parsed = parseFatSector(catalogueBlock, 0, r.catalogue);
  if (!parsed.signatureRecognised) return fail(FaultCode::k0017);
  if (parsed.declaredCount > kFatMaxEntries) return fail(FaultCode::k0018);
  if (parsed.entriesIgnored > 0) return fail(FaultCode::k0017);
  const uint64_t blocks = image.size() / kSectorSize;
  for (size_t k = 0; k < r.catalogue.header.entryCount; ++k) {
    FatEntry& entry = r.catalogue.entries[k];
    // Installation takes an entry's sectors from the image: they must be there.
    if (entry.kind != 0 && uint64_t(entry.startSector) + entry.sectorCount > blocks)
      return fail(FaultCode::k0017);
    // Kind 1 keeps a value in byte 29 of its path field: its path stays short.
    if (entry.kind == 1)
      convertLegacyPath(entry, kLegacyPathTestLimit, kLegacyPathMaxWritten, convert);
    else
      convertLegacyPath(entry, kPathTestLimit, kPathMaxWritten, convert);
  }
  return r;
}

// ---------------------------------------------------------------- writing

std::vector<uint8_t> writePackage(std::span<const uint8_t> image, const PackageIdentity& identity,
                                  uint32_t keyStart) {
  if (image.size() % kSectorSize != 0) return {};
  const size_t blocks = image.size() / kSectorSize;
  if (blocks < 2 || blocks > kLargestCartridgeSectors) return {};
  auto blockAt = [&](size_t b) { return image.subspan(b * kSectorSize, kSectorSize); };

  // Which blocks travel as DataRecords: every block but the catalogue block
  // that is not blank, and always the last one. When the last block is the
  // catalogue block itself (a two-block image), it goes as a blank block so
  // the image still ends where the header says.
  std::vector<uint32_t> written;
  for (size_t b = 0; b < blocks; ++b) {
    if (b == blocks - 1 || (b != 1 && !allBlank(blockAt(b)))) written.push_back(uint32_t(b));
  }
  size_t total = kShortHeaderSize + kWrittenHeaderPayload + 2;
  for (const uint32_t b : written)
    total += (b < kShortFormBlocks ? kShortHeaderSize : kLongHeaderSize) + kSectorSize + 2;
  total += kShortHeaderSize + kSectorSize + 2;

  std::vector<uint8_t> out(total);
  size_t at = 0;
  KeyDraw draw{keyStart};
  uint8_t key = 0;
  auto emit = [&](uint8_t kind, uint32_t block, std::span<const uint8_t> payload) {
    key = draw.key(key);
    const uint8_t marker = uint8_t(kRecordMarkerBase + kind);
    const uint16_t lengthField = uint16_t(payload.size() - 1);
    uint8_t* header = out.data() + at;
    size_t headerSize;
    if (block < kShortFormBlocks) {
      const uint8_t h[] = {marker, uint8_t(~marker),          uint8_t(block),
                           key,    uint8_t(lengthField >> 8), uint8_t(lengthField)};
      headerSize = sizeof h;
      std::memcpy(header, h, headerSize);
    } else {
      const uint8_t h[] = {
          marker, uint8_t(uint8_t(~marker) + 1), uint8_t(block >> 8), uint8_t(block),
          key,    uint8_t(lengthField >> 8),     uint8_t(lengthField)};
      headerSize = sizeof h;
      std::memcpy(header, h, headerSize);
    }
    uint8_t* stored = header + headerSize;
    scramble(payload.data(), stored, payload.size(), key);
    const std::span<const uint8_t> headerBytes(header, headerSize);
    const std::span<const uint8_t> storedBytes(stored, payload.size());
    stored[payload.size()] = uint8_t(sum8(headerBytes) + sum8(storedBytes));
    stored[payload.size() + 1] = uint8_t(xor8(headerBytes) ^ xor8(storedBytes));
    at += headerSize + payload.size() + 2;
  };

  ImageChecksum checksum;
  checksum.add(blockAt(0));
  checksum.addBlank(kSectorSize);
  checksum.add(image.subspan(2 * kSectorSize));
  const uint16_t c = checksum.value();
  const uint32_t sizeField = uint32_t(image.size() - 1);
  std::array<uint8_t, kWrittenHeaderPayload> description{};
  description[0] = uint8_t(sizeField >> 24);
  description[1] = uint8_t(sizeField >> 16);
  description[2] = uint8_t(sizeField >> 8);
  description[3] = uint8_t(sizeField);
  description[4] = uint8_t(c >> 8);
  description[5] = uint8_t(c);
  std::copy(identity.begin(), identity.end(), description.begin() + 6);
  emit(kHeaderRecord, 0, description);

  static const std::vector<uint8_t> blankBlock(kSectorSize, 0xFF);
  for (const uint32_t b : written) emit(kDataRecord, b, b == 1 ? blankBlock : blockAt(b));
  emit(kEndRecord, 0, blockAt(1));
  out.resize(at);
  return out;
}

// ---------------------------------------------------------------- loaded catalogue

bool appendLoadedEntries(CartridgeCatalogue& loaded, const CartridgeCatalogue& package,
                         uint32_t baseBlock) {
  const size_t count = std::min<size_t>(loaded.header.entryCount, kFatMaxEntries);
  const size_t n = package.header.entryCount;
  if (count + n > kFatMaxEntries) return false;
  // Block numbers in the PackageImage are 16-bit, like sourceBlock.
  for (size_t k = 0; k < n; ++k) {
    const FatEntry& e = package.entries[k];
    if (uint64_t(baseBlock) + e.startSector + e.sectorCount > 0x10000) return false;
  }
  for (size_t k = 0; k < n; ++k) {
    FatEntry entry = package.entries[k];
    entry.startSector = uint16_t(baseBlock + entry.startSector);
    loaded.entries[count + k] = entry;
  }
  loaded.header.entryCount = uint16_t(count + n);
  return true;
}

std::string identityText(std::span<const uint8_t> bytes) {
  std::string out;
  for (const uint8_t b : bytes) {
    if (!out.empty()) out += ' ';
    out += upperHex(b, 2);
  }
  return out;
}

}  // namespace ostrel
