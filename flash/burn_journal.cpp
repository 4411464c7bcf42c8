#include "flash/burn_journal.h"

#include <algorithm>
#include <cstring>

namespace ostrel {

namespace {

constexpr char kMagic[] = "OSTREL-BURN-JOURNAL-1";
constexpr std::size_t kMagicSize = sizeof kMagic - 1;
constexpr std::size_t kRecordHead = 1 + 2 + 4;  // type, sector, length
constexpr uint32_t kLargestPayload = 2 * 65536;

uint32_t crc32(std::span<const uint8_t> bytes, uint32_t crc = 0) {
  static const auto table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  crc = ~crc;
  for (uint8_t b : bytes) crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

void put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(uint8_t(v >> 8));
  out.push_back(uint8_t(v));
}
void put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(v >> shift));
}
uint32_t get32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

}  // namespace

std::vector<uint8_t> journalRecord(JournalRecord type, uint16_t sector,
                                   std::span<const uint8_t> payload) {
  std::vector<uint8_t> out;
  out.reserve(kRecordHead + payload.size() + 4);
  out.push_back(uint8_t(type));
  put16(out, sector);
  put32(out, uint32_t(payload.size()));
  out.insert(out.end(), payload.begin(), payload.end());
  put32(out, crc32(out));
  return out;
}

std::vector<uint8_t> journalStart(uint8_t generation, uint16_t sectorCount,
                                  std::array<uint8_t, 4> module) {
  std::vector<uint8_t> out(kMagic, kMagic + kMagicSize);
  std::vector<uint8_t> header{generation};
  put16(header, sectorCount);
  header.insert(header.end(), module.begin(), module.end());
  const std::vector<uint8_t> record = journalRecord(JournalRecord::Header, 0, header);
  out.insert(out.end(), record.begin(), record.end());
  return out;
}

std::optional<BurnJournal> decodeJournal(std::span<const uint8_t> bytes) {
  if (bytes.size() < kMagicSize || std::memcmp(bytes.data(), kMagic, kMagicSize) != 0)
    return std::nullopt;
  BurnJournal j;
  bool haveHeader = false;
  std::size_t at = kMagicSize;
  while (bytes.size() - at >= kRecordHead + 4) {
    const uint8_t* p = bytes.data() + at;
    const uint32_t length = get32(p + 3);
    if (length > kLargestPayload || bytes.size() - at - kRecordHead - 4 < length) break;
    const std::span<const uint8_t> whole(p, kRecordHead + length);
    if (crc32(whole) != get32(p + kRecordHead + length)) break;
    const auto type = JournalRecord(p[0]);
    const uint16_t sector = uint16_t(p[1] << 8 | p[2]);
    const std::span<const uint8_t> payload(p + kRecordHead, length);
    switch (type) {
      case JournalRecord::Header:
        if (length != 7) return std::nullopt;
        j.generation = payload[0];
        j.sectorCount = uint16_t(payload[1] << 8 | payload[2]);
        std::copy(payload.begin() + 3, payload.end(), j.module.begin());
        haveHeader = true;
        break;
      case JournalRecord::OldFat:
        j.oldFat.assign(payload.begin(), payload.end());
        break;
      case JournalRecord::OldTable:
        j.oldTable.assign(payload.begin(), payload.end());
        break;
      case JournalRecord::OldSector:
        if (length == 65536) j.oldSectors[sector].assign(payload.begin(), payload.end());
        break;
      case JournalRecord::SectorBegins:
        j.begun.insert(sector);
        break;
      case JournalRecord::NewFat:
        j.newFat.assign(payload.begin(), payload.end());
        break;
      case JournalRecord::FatWritten:
        j.fatWritten = true;
        break;
      case JournalRecord::NewTable:
        j.newTable.assign(payload.begin(), payload.end());
        break;
      case JournalRecord::Complete:
        j.complete = true;
        break;
    }
    at += kRecordHead + length + 4;
  }
  if (!haveHeader) return std::nullopt;
  return j;
}

BurnVerdict judgeBurn(const BurnJournal& journal, std::span<const uint8_t> fatNow,
                      bool blocksOfTwo) {
  // Every write is announced before it starts: nothing announced, nothing changed.
  if (journal.complete || (journal.begun.empty() && !journal.fatWritten))
    return BurnVerdict::Intact;
  auto equals = [&](const std::vector<uint8_t>& fat) {
    return !fat.empty() && fatNow.size() == fat.size() &&
           std::equal(fat.begin(), fat.end(), fatNow.begin());
  };
  // The FAT goes out after all the data: the new one on the cartridge means
  // the burn got through.
  if (equals(journal.newFat)) return BurnVerdict::Intact;
  if (!equals(journal.oldFat)) return BurnVerdict::Damaged;
  // The old FAT still lists the old software: damaged when a write may have
  // touched one of its sectors (or, with blocks of two, its block).
  for (uint16_t s : journal.begun) {
    if (journal.oldSectors.count(s)) return BurnVerdict::Damaged;
    if (blocksOfTwo && journal.oldSectors.count(uint16_t(s ^ 1))) return BurnVerdict::Damaged;
  }
  return BurnVerdict::Intact;
}

const std::vector<uint8_t>& tableToRestore(const BurnJournal& journal) {
  return journal.fatWritten && !journal.newTable.empty() ? journal.newTable : journal.oldTable;
}

}  // namespace ostrel
