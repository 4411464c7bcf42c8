#include "packages/package_format.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

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

// X after 256 blank bytes that start at an offset divisible by 256, for
// every X before them; and after 65536 such bytes (256 of those runs). S
// gains 128 over any 256 blank bytes (255 × 256 + 0 + 1 + ... + 255), so 0
// over a block.
struct BlankSteps {
  std::array<uint8_t, 256> run{}, block{};
  BlankSteps() {
    for (unsigned start = 0; start < 256; ++start) {
      uint8_t x = uint8_t(start);
      for (unsigned i = 1; i <= 256; ++i) x = uint8_t((x ^ 0xFF) + i);
      run[start] = x;
    }
    for (unsigned start = 0; start < 256; ++start) {
      uint8_t x = uint8_t(start);
      for (int i = 0; i < 256; ++i) x = run[x];
      block[start] = x;
    }
  }
};
const BlankSteps& blankSteps() {
  static const BlankSteps steps;
  return steps;
}

// The header of one record and what it says.
struct RecordHeader {
  uint8_t bytes[kLongHeaderSize];
  size_t size = 0;
  bool known = false;  // a HeaderRecord, DataRecord or EndRecord
  uint8_t kind = 0;
  uint32_t block = 0;
  uint8_t key = 0;
  size_t length = 0;
};

// The next record's header from position, which moves past it. The marker:
// m2 is the complement of m1 (short form) or that plus 1 or 2 (long form).
// Up to three pairs of other bytes may open the file. Empty when found,
// else the fault.
std::string_view nextHeader(ByteSource& source, uint64_t& position, RecordHeader& h) {
  bool longForm = false;
  for (;;) {
    const std::span<const uint8_t> pair = source.fetch(position, 2);
    if (pair.size() < 2) return FaultCode::k0011;
    h.bytes[0] = pair[0];
    h.bytes[1] = pair[1];
    position += 2;
    const int complement = 0xFF - h.bytes[0];
    if (h.bytes[1] == complement) break;
    if (h.bytes[1] == complement + 1 || h.bytes[1] == complement + 2) {
      longForm = true;
      break;
    }
    if (position > 7) return FaultCode::k0011;
  }
  h.size = longForm ? kLongHeaderSize : kShortHeaderSize;
  const int kind = int(h.bytes[0]) - kRecordMarkerBase;
  h.known = kind == kHeaderRecord || kind == kDataRecord || kind == kEndRecord;
  h.kind = uint8_t(kind);
  const std::span<const uint8_t> rest = source.fetch(position, h.size - 2);
  if (rest.size() < h.size - 2) return h.known ? trailerFault(h.kind) : FaultCode::k0011;
  std::memcpy(h.bytes + 2, rest.data(), rest.size());
  position += rest.size();
  h.block = longForm ? uint32_t(h.bytes[2] << 8 | h.bytes[3]) : h.bytes[2];
  h.key = longForm ? h.bytes[4] : h.bytes[3];
  h.length = size_t(h.bytes[h.size - 2] << 8 | h.bytes[h.size - 1]) + 1;
  return {};
}

// Whether the DataRecords come in ascending block order: a walk over the
// record headers alone. A damaged file says yes; its reading fails anyway.
bool dataInOrder(ByteSource& source) {
  uint64_t position = 0;
  int64_t previous = -1;
  for (RecordHeader h; nextHeader(source, position, h).empty();) {
    if (!h.known) continue;
    if (h.kind == kEndRecord) break;
    if (h.kind == kDataRecord) {
      if (int64_t(h.block) <= previous) return false;
      previous = h.block;
    }
    position += h.length + 2;
  }
  return true;
}

// The HeaderRecord payload's first bytes: size - 1, checksum, identity.
std::array<uint8_t, kWrittenHeaderPayload> headerPayload(uint64_t imageSize, uint16_t checksum,
                                                         const PackageIdentity& identity) {
  std::array<uint8_t, kWrittenHeaderPayload> p{};
  const uint32_t field = uint32_t(imageSize - 1);
  p[0] = uint8_t(field >> 24);
  p[1] = uint8_t(field >> 16);
  p[2] = uint8_t(field >> 8);
  p[3] = uint8_t(field);
  p[4] = uint8_t(checksum >> 8);
  p[5] = uint8_t(checksum);
  std::copy(identity.begin(), identity.end(), p.begin() + 6);
  return p;
}

}  // namespace

// ---------------------------------------------------------------- checksum

void ImageChecksum::add(std::span<const uint8_t> bytes) {
  // A block nothing was written into counts without its bytes being read.
  if (!bytes.empty() && bytes.data() == blankSector().data()) return addBlank(bytes.size());
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
  const BlankSteps& steps = blankSteps();
  auto bytes = [&](uint64_t n) {
    for (; n > 0; --n, --count) {
      const uint8_t w = uint8_t(++offset_);
      s_ = uint8_t(s_ + 0xFF + w);
      x_ = uint8_t((x_ ^ 0xFF) + w);
    }
  };
  auto run = [&] {
    x_ = steps.run[x_];
    s_ = uint8_t(s_ + 128);
    offset_ += 256;
    count -= 256;
  };
  bytes(std::min<uint64_t>(count, (256 - offset_ % 256) % 256));
  while (count >= 256 && offset_ % kSectorSize != 0) run();
  for (; count >= kSectorSize; count -= kSectorSize, offset_ += kSectorSize) x_ = steps.block[x_];
  while (count >= 256) run();
  bytes(count);
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

// ---------------------------------------------------------------- reading

PackageRead readPackageInto(ByteSource& source, const LegacyTextConverter& convert,
                            const BlockSink& sink, const ProgressFn& progress,
                            uint64_t maxImageBytes) {
  maxImageBytes = std::min(maxImageBytes, kLargestImageBytes);
  PackageRead r;
  // Whatever a source that could not be read gave looks damaged: it is no
  // package, but an unreadable file.
  auto fail = [&r, &source](std::string_view code) -> PackageRead& {
    r.fault = source.failed() ? FaultCode::k0010 : code;
    return r;
  };
  const uint64_t fileSize = source.size();
  // DataRecords in ascending order (as every writer makes them) go on as
  // they come, with one block in hand; others are held until the end.
  const bool inOrder = dataInOrder(source);
  std::vector<uint8_t> current;  // in order: the block of the last DataRecord kept
  int64_t currentBlock = -1;
  BlockImage held(uint32_t((maxImageBytes + kSectorSize - 1) / kSectorSize));
  try {
    if (inOrder) current.resize(kSectorSize);
  } catch (const std::bad_alloc&) {
    return fail(FaultCode::k0018);
  }
  std::vector<uint8_t> catalogueBlock;
  uint64_t position = 0;
  uint64_t imageEnd = 0;  // where the last DataRecord ended
  int64_t lastBlock = -1;
  bool lastKept = false;
  uint32_t passed = 0;  // blocks given to the sink
  ImageChecksum checksum;

  // The next block to the sink; `counted` of its bytes lie within the
  // declared size and go into the checksum.
  auto pass = [&](std::span<const uint8_t> data, uint64_t counted) {
    checksum.add(data.first(size_t(counted)));
    const uint32_t block = passed++;
    return !sink || sink(block, data, uint32_t((r.declaredSize + kSectorSize - 1) / kSectorSize));
  };

  for (bool endSeen = false; !endSeen;) {
    RecordHeader h;
    if (const std::string_view fault = nextHeader(source, position, h); !fault.empty())
      return fail(fault);
    // Any other kind: only its header is read; the search goes on behind it.
    if (!h.known) continue;

    const size_t length = h.length;
    const std::span<const uint8_t> stored = source.fetch(position, length + 2);
    if (stored.size() < length + 2) return fail(trailerFault(h.kind));
    const std::span<const uint8_t> payload = stored.first(length);
    if (!trailerMatches(std::span<const uint8_t>(h.bytes, h.size), payload, stored.data() + length))
      return fail(trailerFault(h.kind));
    position += length + 2;

    if (h.kind == kHeaderRecord) {
      std::array<uint8_t, kHeaderPayloadBuffer> buffer{};
      unscramble(payload.data(), buffer.data(), std::min(length, buffer.size()), h.key);
      r.declaredSize = uint64_t(be32(buffer.data())) + 1;
      r.declaredChecksum = uint16_t(buffer[4] << 8 | buffer[5]);
      std::copy_n(buffer.begin() + 6, r.identity.size(), r.identity.begin());
      // Checked before any block is taken: an image larger than the
      // cartridge could never be written to it.
      if (r.declaredSize > maxImageBytes) return fail(FaultCode::k0018);
    } else if (h.kind == kDataRecord) {
      // A block wholly past the declared size is cut away at the end: it is
      // checked, never kept.
      const uint64_t at = uint64_t(h.block) * kSectorSize;
      uint8_t* to = nullptr;
      if (at < r.declaredSize && inOrder) {
        // The blocks before this one are whole now.
        if (currentBlock >= 0 && !pass(current, kSectorSize)) return fail(FaultCode::k0018);
        while (passed < h.block)
          if (!pass(blankSector(), kSectorSize)) return fail(FaultCode::k0018);
        to = current.data();
        std::memset(to + length, 0xFF, kSectorSize - length);
        currentBlock = h.block;
      } else if (at < r.declaredSize && !(to = held.place(h.block, 0, length))) {
        return fail(FaultCode::k0018);
      }
      if (to) unscramble(payload.data(), to, length, h.key);
      imageEnd = at + length;
      lastBlock = h.block;
      lastKept = to != nullptr;
    } else {
      catalogueBlock.resize(length);
      unscramble(payload.data(), catalogueBlock.data(), length, h.key);
      if (imageEnd != r.declaredSize) {
        r.faultLines = {upperHex(uint32_t(imageEnd), 8), upperHex(uint32_t(r.declaredSize), 8)};
        return fail(FaultCode::k0013);
      }
      endSeen = true;
    }
    if (progress) progress(position, fileSize);
  }

  // The last DataRecord ends at the declared size, so its block is the
  // image's last and only its head counts in the checksum. Without any
  // (and so without a HeaderRecord, which declares at least one byte), the
  // image is one blank block, as a last block number of 0 gives. One that was
  // not kept lay past the size declared when it came, which a later
  // HeaderRecord changed: its bytes are gone.
  if (lastBlock >= 0 && !lastKept) {
    r.faultLines = {upperHex(uint32_t(imageEnd), 8), upperHex(uint32_t(r.declaredSize), 8)};
    return fail(FaultCode::k0013);
  }
  const uint32_t last = uint32_t(std::max<int64_t>(lastBlock, 0));
  const uint64_t lastCounted = r.declaredSize - uint64_t(last) * kSectorSize;
  if (lastBlock < 0 || inOrder) {
    if (!pass(lastBlock < 0 ? blankSector() : std::span<const uint8_t>(current), lastCounted))
      return fail(FaultCode::k0018);
  } else {
    for (uint32_t b = 0; b <= last; ++b)
      if (!pass(held.block(b), b < last ? kSectorSize : lastCounted)) return fail(FaultCode::k0018);
  }
  r.blocks = last + 1;
  r.checksum = checksum.value();
  if (r.checksum != r.declaredChecksum) return fail(FaultCode::k0014);

  const FatParseResult parsed = parseFatSector(catalogueBlock, 0, r.catalogue);
  if (!parsed.signatureRecognised) return fail(FaultCode::k0017);
  if (parsed.declaredCount > kFatMaxEntries) return fail(FaultCode::k0018);
  if (parsed.entriesIgnored > 0) return fail(FaultCode::k0017);
  for (size_t k = 0; k < r.catalogue.header.entryCount; ++k) {
    FatEntry& entry = r.catalogue.entries[k];
    // Installation takes an entry's sectors from the image: they must be there.
    if (entry.kind != 0 && uint64_t(entry.startSector) + entry.sectorCount > r.blocks)
      return fail(FaultCode::k0017);
    // Kind 1 keeps a value in byte 29 of its path field: its path stays short.
    if (entry.kind == 1)
      convertLegacyPath(entry, kLegacyPathTestLimit, kLegacyPathMaxWritten, convert);
    else
      convertLegacyPath(entry, kPathTestLimit, kPathMaxWritten, convert);
  }
  if (source.failed()) return fail(FaultCode::k0010);
  return r;
}

PackageRead readPackage(ByteSource& source, const LegacyTextConverter& convert,
                        const ProgressFn& progress, uint64_t maxImageBytes) {
  std::vector<uint8_t> image;
  PackageRead r = readPackageInto(
      source, convert,
      [&image](uint32_t, std::span<const uint8_t> block, uint32_t declaredBlocks) {
        try {
          // Taken once: the image grows to its declared size, no further.
          if (image.empty()) image.reserve(size_t(declaredBlocks) * kSectorSize);
          image.insert(image.end(), block.begin(), block.end());
        } catch (const std::bad_alloc&) {
          return false;
        }
        return true;
      },
      progress, maxImageBytes);
  if (r.fault.empty()) r.image = std::move(image);
  return r;
}

// ---------------------------------------------------------------- writing

PackageWriter::PackageWriter(const PackageIdentity& identity, uint32_t keyStart, uint32_t blocks,
                             Output output)
    : identity_(identity),
      blocks_(blocks),
      output_(std::move(output)),
      drawState_(keyStart),
      end_(kShortHeaderSize + kWrittenHeaderPayload + 2),
      ok_(blocks >= 2 && blocks <= kLargestCartridgeSectors) {
  // The HeaderRecord's key is drawn first, as it is the first record; its
  // bytes wait for the checksum.
  KeyDraw draw{drawState_};
  headerKey_ = key_ = draw.key(0);
  drawState_ = draw.state;
}

bool PackageWriter::writeRecord(uint64_t at, uint8_t kind, uint32_t block, uint8_t key,
                                std::span<const uint8_t> payload) {
  const uint8_t marker = uint8_t(kRecordMarkerBase + kind);
  const uint16_t lengthField = uint16_t(payload.size() - 1);
  record_.resize(kLongHeaderSize + payload.size() + 2);
  uint8_t* header = record_.data();
  size_t headerSize;
  if (block < kShortFormBlocks) {
    const uint8_t h[] = {marker, uint8_t(~marker),          uint8_t(block),
                         key,    uint8_t(lengthField >> 8), uint8_t(lengthField)};
    headerSize = sizeof h;
    std::memcpy(header, h, headerSize);
  } else {
    const uint8_t h[] = {marker, uint8_t(uint8_t(~marker) + 1), uint8_t(block >> 8), uint8_t(block),
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
  const size_t size = headerSize + payload.size() + 2;
  if (!output_(at, std::span<const uint8_t>(record_.data(), size))) return false;
  end_ = std::max(end_, at + size);
  return true;
}

bool PackageWriter::add(std::span<const uint8_t> block) {
  if (!ok_ || next_ >= blocks_ || block.size() != kSectorSize) return ok_ = false;
  const uint32_t b = next_++;
  const bool blank = isBlank(block);
  if (blank || b == 1)
    checksum_.addBlank(kSectorSize);
  else
    checksum_.add(block);
  if (b == 1) catalogue_.assign(block.begin(), block.end());
  // The last block always goes, so the image ends where the header says;
  // block 1, when last, goes blank.
  if (b == blocks_ - 1 || (b != 1 && !blank)) {
    KeyDraw draw{drawState_};
    key_ = draw.key(key_);
    drawState_ = draw.state;
    ok_ = writeRecord(end_, kDataRecord, b, key_, b == 1 ? blankSector() : block);
  }
  return ok_;
}

bool PackageWriter::finish() {
  if (!ok_ || next_ != blocks_) return ok_ = false;
  KeyDraw draw{drawState_};
  key_ = draw.key(key_);
  drawState_ = draw.state;
  const uint64_t imageSize = uint64_t(blocks_) * kSectorSize;
  ok_ = writeRecord(end_, kEndRecord, 0, key_, catalogue_) &&
        writeRecord(0, kHeaderRecord, 0, headerKey_,
                    headerPayload(imageSize, checksum_.value(), identity_));
  return ok_;
}

PackageWriter::Output memoryOutput(std::vector<uint8_t>& file) {
  return [&file](uint64_t offset, std::span<const uint8_t> bytes) {
    try {
      if (file.size() < offset + bytes.size()) file.resize(size_t(offset + bytes.size()));
    } catch (const std::bad_alloc&) {
      return false;
    }
    std::memcpy(file.data() + offset, bytes.data(), bytes.size());
    return true;
  };
}

std::vector<uint8_t> writePackage(std::span<const uint8_t> image, const PackageIdentity& identity,
                                  uint32_t keyStart) {
  if (image.size() % kSectorSize != 0) return {};
  const size_t blocks = image.size() / kSectorSize;
  if (blocks < 2 || blocks > kLargestCartridgeSectors) return {};
  std::vector<uint8_t> out;
  PackageWriter writer(identity, keyStart, uint32_t(blocks), memoryOutput(out));
  for (size_t b = 0; b < blocks; ++b)
    if (!writer.add(image.subspan(b * kSectorSize, kSectorSize))) return {};
  if (!writer.finish()) return {};
  return out;
}

// ---------------------------------------------------------------- loaded catalogue

bool appendLoadedEntries(CartridgeCatalogue& loaded, const CartridgeCatalogue& package,
                         uint32_t baseBlock) {
  const size_t count = slotsInUse(loaded);
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
