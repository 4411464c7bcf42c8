#include "flash/burn_journal.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

#include "app/text_helpers.h"
#include "cartfs/fat.h"
#include "cartfs/mapping_table.h"
#include "link/identify.h"

namespace ostrel {

namespace {

constexpr char kMagic[] = "OSTREL-BURN-JOURNAL-1";
constexpr std::size_t kMagicSize = sizeof kMagic - 1;
constexpr std::size_t kRecordHead = 1 + 2 + 4;  // type, sector, length
constexpr std::size_t kRecordTail = 4;          // checksum
constexpr std::size_t kSector = 65536;
constexpr std::size_t kChunk = 4096;
constexpr std::size_t kDigestBytes = 16 * 8;
constexpr std::size_t kTableBytes = 2 * kSector;
constexpr uint32_t kLargestPayload = kTableBytes;
constexpr std::size_t kHeaderBytes = 1 + 2 + 8 + 8 + 2 + 2 + 1;
constexpr std::size_t kLegacyHeaderBytes = 1 + 2 + 4;
constexpr uint8_t kWritesFat = 0x01;  // header flag: the burn writes sector 1
constexpr uint32_t kTableLow = kMappingTableSectorLow, kTableHigh = kMappingTableSectorLow + 1;

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

void putBig(std::vector<uint8_t>& out, uint64_t v, int bytes) {
  for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) out.push_back(uint8_t(v >> shift));
}
uint64_t getBig(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | p[i];
  return v;
}

uint64_t recordBytes(uint64_t payload) {
  return kRecordHead + payload + kRecordTail;
}

// FNV-1a over one chunk.
uint64_t chunkHash(const uint8_t* p) {
  uint64_t h = 0xCBF29CE484222325ull;
  for (std::size_t i = 0; i < kChunk; ++i) h = (h ^ p[i]) * 0x100000001B3ull;
  return h;
}

uint64_t blankChunkHash() {
  static const uint64_t h = [] {
    const std::vector<uint8_t> blank(kChunk, 0xFF);
    return chunkHash(blank.data());
  }();
  return h;
}

}  // namespace

SectorDigest sectorDigest(std::span<const uint8_t> sector) {
  SectorDigest d{};
  for (std::size_t c = 0; c < d.size() && (c + 1) * kChunk <= sector.size(); ++c)
    d[c] = chunkHash(sector.data() + c * kChunk);
  return d;
}

std::vector<uint8_t> digestPayload(std::span<const uint8_t> sector) {
  std::vector<uint8_t> out;
  for (uint64_t h : sectorDigest(sector)) putBig(out, h, 8);
  return out;
}

std::string moduleKeyText(const JournalKey& key) {
  const auto& i = key.identity;
  return idHexText(i) + "_AUX" +
         upperHex(uint32_t(i[0]) << 24 | uint32_t(i[1]) << 16 | uint32_t(i[2]) << 8 | i[3], 8) +
         "_OST" + std::to_string(key.generation + 1) + "_" + upperHex(key.sectorCount, 4);
}

std::size_t journalHeadBytes() {
  return kMagicSize + kRecordHead + kHeaderBytes + kRecordTail;
}

std::string journalFileName(const JournalKey& key) {
  return moduleKeyText(key) + "_BURN.JOURNAL";
}

std::vector<uint8_t> journalRecord(JournalRecord type, uint16_t sector,
                                   std::span<const uint8_t> payload) {
  std::vector<uint8_t> out;
  out.reserve(kRecordHead + payload.size() + kRecordTail);
  out.push_back(uint8_t(type));
  putBig(out, sector, 2);
  putBig(out, payload.size(), 4);
  out.insert(out.end(), payload.begin(), payload.end());
  putBig(out, crc32(out), 4);
  return out;
}

uint64_t journalBytes(const JournalShape& s) {
  uint64_t n = kMagicSize + recordBytes(kHeaderBytes);
  n += recordBytes(kSector);  // the old FAT
  n += uint64_t(s.planned) * recordBytes(kDigestBytes);
  n += uint64_t(s.kept) * recordBytes(kSector);
  n += recordBytes(0);                             // ready
  n += uint64_t(s.planned + 1) * recordBytes(0);   // a begin for each sector and the FAT
  n += recordBytes(kSector) + 2 * recordBytes(0);  // new FAT, FAT written, complete
  if (s.key.generation == OstrelIV) n += 2 * recordBytes(kTableBytes);
  // A repair notes each sector (and table half) before it writes it back.
  n += uint64_t(s.kept + 3) * recordBytes(0);
  return n;
}

uint64_t largestJournal(Generation generation, uint16_t sectorCount) {
  JournalShape s;
  s.key.generation = generation;
  s.key.sectorCount = sectorCount;
  s.planned = sectorCount;
  s.kept = generation == OstrelIV ? kIdentitySectors : sectorCount;
  s.newFatFirst = true;
  // A journal written before fingerprints were kept held no more than the
  // sectors it kept (on an Ostrel IV only the identity sectors), the FATs and
  // a table.
  return std::max(journalBytes(s), uint64_t(s.kept + 4) * recordBytes(kSector) + kTableBytes);
}

std::vector<uint8_t> journalStart(const JournalShape& s) {
  std::vector<uint8_t> out(kMagic, kMagic + kMagicSize);
  std::vector<uint8_t> header{s.key.generation};
  putBig(header, s.key.sectorCount, 2);
  header.insert(header.end(), s.key.identity.begin(), s.key.identity.end());
  putBig(header, journalBytes(s), 8);
  putBig(header, s.planned, 2);
  putBig(header, s.kept, 2);
  header.push_back(s.newFatFirst ? kWritesFat : 0);
  const std::vector<uint8_t> record = journalRecord(JournalRecord::Header, 0, header);
  out.insert(out.end(), record.begin(), record.end());
  return out;
}

// ---------------------------------------------------------------- reading

namespace {

struct Reader {
  const JournalKey& module;
  JournalRead r;
  bool haveHeader = false;
  bool oldFatSeen = false;
  int lastOld = -1, lastNew = -1;

  bool damaged(const std::string& why) {
    r.fit = JournalFit::Damaged;
    r.why = why;
    return false;
  }

  bool header(std::span<const uint8_t> p) {
    BurnJournal& j = r.journal;
    if (p.size() != kHeaderBytes && p.size() != kLegacyHeaderBytes)
      return damaged("header of unknown length");
    j.legacy = p.size() == kLegacyHeaderBytes;
    j.key.generation = Generation(p[0]);
    j.key.sectorCount = uint16_t(getBig(&p[1], 2));
    if (j.legacy) {
      std::copy(p.begin() + 3, p.end(), j.key.identity.begin() + 4);
      std::copy(module.identity.begin(), module.identity.begin() + 4, j.key.identity.begin());
    } else {
      std::copy(p.begin() + 3, p.begin() + 11, j.key.identity.begin());
      j.reservedBytes = getBig(&p[11], 8);
      j.plannedCount = uint16_t(getBig(&p[19], 2));
      j.keptCount = uint16_t(getBig(&p[21], 2));
      j.writesFat = (p[23] & kWritesFat) != 0;
    }
    if (!(j.key == module)) {
      r.fit = JournalFit::OtherModule;
      r.why = "the journal names another module";
      return false;
    }
    haveHeader = true;
    return true;
  }

  // Checks one whole record against the module and the order a burn writes;
  // false ends the reading.
  bool take(JournalRecord type, uint16_t sector, std::span<const uint8_t> p) {
    BurnJournal& j = r.journal;
    if (type == JournalRecord::Header) return haveHeader ? damaged("a second header") : header(p);
    if (!haveHeader) return damaged("no header first");
    if (j.complete) return damaged("records after the end");
    const bool ost4 = j.key.generation == OstrelIV;
    const bool opening = type == JournalRecord::OldFat || type == JournalRecord::OldTable ||
                         type == JournalRecord::OldSector || type == JournalRecord::NewSector ||
                         type == JournalRecord::Ready;
    if (!j.legacy && j.ready && opening) return damaged("a record of the opening after it");
    const bool afterReady = type == JournalRecord::SectorBegins ||
                            type == JournalRecord::FatWritten || type == JournalRecord::NewTable ||
                            type == JournalRecord::Complete;
    if (!j.legacy && !j.ready && afterReady) return damaged("a write before the opening ended");
    const bool empty = type == JournalRecord::SectorBegins || type == JournalRecord::FatWritten ||
                       type == JournalRecord::Complete || type == JournalRecord::Ready;
    if (empty && !p.empty()) return damaged("a mark that carries data");
    const std::string at = " (sector " + std::to_string(sector) + ")";
    switch (type) {
      case JournalRecord::OldFat:
        if (sector != 1 || oldFatSeen || (!p.empty() && p.size() != kSector))
          return damaged("old FAT record that does not fit");
        oldFatSeen = true;
        j.oldFat.assign(p.begin(), p.end());
        return true;
      case JournalRecord::NewFat:
        if (sector != 1 || !j.newFat.empty() || p.size() != kSector)
          return damaged("new FAT record that does not fit");
        if (!j.legacy && !ost4 && (j.ready || lastNew >= 0 || !j.writesFat))
          return damaged("new FAT out of its place");
        j.newFat.assign(p.begin(), p.end());
        return true;
      case JournalRecord::OldTable:
      case JournalRecord::NewTable: {
        std::vector<uint8_t>& table = type == JournalRecord::OldTable ? j.oldTable : j.newTable;
        // An empty old table: the table could not be read before the burn.
        const bool size = p.size() == kTableBytes || (type == JournalRecord::OldTable && p.empty());
        if (!ost4 || !table.empty() || !size)
          return damaged("mapping table record that does not fit");
        table.assign(p.begin(), p.end());
        return true;
      }
      case JournalRecord::OldSector:
        if (sector >= j.key.sectorCount || sector == 1 || p.size() != kSector ||
            int(sector) <= lastOld || (!j.legacy && j.oldSectors.size() >= j.keptCount) ||
            (ost4 && sector >= kIdentitySectors))
          return damaged("old sector record that does not fit" + at);
        lastOld = sector;
        j.oldSectors[sector].assign(p.begin(), p.end());
        return true;
      case JournalRecord::NewSector: {
        // Ostrel I-III note the FAT sector as the new FAT, whole.
        if (j.legacy || sector >= j.key.sectorCount || p.size() != kDigestBytes ||
            (sector == 1 && !ost4) || int(sector) <= lastNew || lastOld >= 0 ||
            j.newSectors.size() >= j.plannedCount)
          return damaged("planned sector record that does not fit" + at);
        lastNew = sector;
        SectorDigest& d = j.newSectors[sector];
        for (std::size_t c = 0; c < d.size(); ++c) d[c] = getBig(&p[c * 8], 8);
        return true;
      }
      case JournalRecord::Ready:
        if (j.legacy || j.newSectors.size() != j.plannedCount ||
            j.oldSectors.size() != j.keptCount || !oldFatSeen)
          return damaged("opening ended before it was complete");
        j.ready = true;
        return true;
      case JournalRecord::SectorBegins: {
        const bool table = ost4 && (sector == kTableLow || sector == kTableHigh);
        const bool known =
            j.legacy || sector == 1 || j.newSectors.count(sector) || j.oldSectors.count(sector);
        if ((sector >= j.key.sectorCount && !table) || (!table && !known))
          return damaged("a write of a sector the burn did not plan" + at);
        j.begun.insert(sector);
        return true;
      }
      case JournalRecord::FatWritten:
        if (sector != 1) return damaged("FAT mark that does not fit");
        j.fatWritten = true;
        return true;
      case JournalRecord::Complete:
        j.complete = true;
        return true;
      case JournalRecord::Header:
        break;
    }
    return damaged("unknown record");
  }
};

}  // namespace

JournalRead readJournal(std::span<const uint8_t> bytes, const JournalKey& module) {
  Reader rd{module, {}};
  if (bytes.size() < kMagicSize || std::memcmp(bytes.data(), kMagic, kMagicSize) != 0) {
    rd.r.why = "not a burn journal";
    return rd.r;
  }
  rd.r.fit = JournalFit::Fits;
  std::size_t at = kMagicSize;
  while (bytes.size() - at >= kRecordHead + kRecordTail) {
    const uint8_t* p = bytes.data() + at;
    const uint64_t length = getBig(p + 3, 4);
    // A length beyond any record, or a checksum that fails: a torn tail.
    if (length > kLargestPayload || bytes.size() - at - kRecordHead - kRecordTail < length) break;
    if (crc32({p, kRecordHead + length}) != getBig(p + kRecordHead + length, 4)) break;
    if (p[0] < uint8_t(JournalRecord::Header) || p[0] > uint8_t(JournalRecord::Ready)) {
      rd.damaged("unknown record");
      return rd.r;
    }
    if (!rd.take(JournalRecord(p[0]), uint16_t(getBig(p + 1, 2)), {p + kRecordHead, length}))
      return rd.r;
    at += kRecordHead + length + kRecordTail;
  }
  if (!rd.haveHeader) {
    rd.r.fit = JournalFit::Damaged;
    rd.r.why = "cut short before its header";
    return rd.r;
  }
  BurnJournal& j = rd.r.journal;
  j.validBytes = at;
  j.cutShort = !j.legacy && (!j.ready || bytes.size() < j.reservedBytes);
  return rd.r;
}

// ---------------------------------------------------------------- judging

namespace {

// What a sector holds now, measured against what the journal knows of it.
enum class Held : uint8_t {
  Old,      // its content before the burn
  New,      // what the burn planned for it
  Torn,     // erased or written part of the way, as a cut-off write leaves it
  Written,  // something the burn may have written; the journal does not say what
  Unknown,  // not shown intact: the journal has neither its old nor its new content
  Foreign,  // none of these: the cartridge changed since the burn
  Unread,
};

struct Facts {
  std::span<const uint8_t> old;       // empty: not known
  std::optional<SectorDigest> fresh;  // the planned content's fingerprint
  bool mayBeTorn = false;
};

// A write cut off leaves the first chunks as planned, one chunk in any
// state and the rest erased.
bool partOf(const SectorDigest& now, const SectorDigest& target) {
  std::size_t k = 0;
  while (k < now.size() && now[k] == target[k]) ++k;
  for (std::size_t i = k + 1; i < now.size(); ++i)
    if (now[i] != blankChunkHash()) return false;
  return true;
}

// An erase in pieces cut off (an Ostrel II boot block goes in eight 8 KiB
// sub-blocks, first to last): the first pieces erased, the one under way
// with bits of its old content turned to ones and the rest as before.
bool partlyErased(std::span<const uint8_t> now, std::span<const uint8_t> before) {
  constexpr std::size_t kPiece = 8192;
  if (now.size() != before.size()) return false;
  std::size_t at = 0;
  while (at < now.size() && now[at] == 0xFF) ++at;
  at -= at % kPiece;
  for (std::size_t i = at; i < now.size(); ++i)
    if (i < at + kPiece ? (now[i] & before[i]) != before[i] : now[i] != before[i]) return false;
  return true;
}

Held classify(std::span<const uint8_t> now, const Facts& f, bool legacy) {
  if (now.size() != kSector) return Held::Unread;
  if (!f.old.empty() && std::equal(now.begin(), now.end(), f.old.begin(), f.old.end()))
    return Held::Old;
  const SectorDigest d = sectorDigest(now);
  if (f.fresh && d == *f.fresh) return Held::New;
  if (f.mayBeTorn) {
    if (legacy && !f.fresh) return Held::Written;
    if (f.fresh && partOf(d, *f.fresh)) return Held::Torn;
    if (!f.old.empty() && (partOf(d, sectorDigest(f.old)) || partlyErased(now, f.old)))
      return Held::Torn;
    if (!f.fresh && f.old.empty()) return Held::Unknown;
  }
  return f.old.empty() ? Held::Unknown : Held::Foreign;
}

// Sectors 0..sectorCount-1 (the FAT aside) that the FAT lists as software.
std::vector<bool> softwareSectors(std::span<const uint8_t> fat, uint16_t sectorCount) {
  std::vector<bool> used(sectorCount, false);
  if (fat.size() != kSector) return used;
  auto catalogue = std::make_unique<CartridgeCatalogue>();
  parseFatSector(fat, sectorCount, *catalogue);
  for (const SectorRun& run : liveSectorRuns(*catalogue))
    for (uint32_t s = run.start; s < uint32_t(run.start) + run.count && s < sectorCount; ++s)
      used[s] = s != 1;
  return used;
}

BurnJudgement verdict(BurnVerdict v, std::string why) {
  BurnJudgement j;
  j.verdict = v;
  j.why = std::move(why);
  return j;
}

std::string sectorText(uint32_t s) {
  return "sector " + std::to_string(s);
}

// Ostrel I-III: sectors are written in place.
BurnJudgement judgeSectors(const BurnJournal& j, const SectorReader& read) {
  const bool blocks = j.key.generation == OstrelIII;
  const uint16_t count = j.key.sectorCount;
  const bool planKnown = j.legacy || j.newSectors.size() == j.plannedCount;
  const std::vector<bool> oldSoftware = softwareSectors(j.oldFat, count);

  std::set<uint32_t> planned;  // what the burn writes (legacy: what it began)
  if (j.legacy) {
    for (uint32_t s : j.begun)
      if (s < count) planned.insert(s);
  } else {
    for (const auto& [s, d] : j.newSectors) planned.insert(s);
    if (j.writesFat) planned.insert(1);
  }
  std::set<uint32_t> touched = planned;
  if (blocks)
    for (uint32_t s : planned)
      if ((s ^ 1u) < count) touched.insert(s ^ 1u);
  auto mayBeTorn = [&](uint32_t s) {
    if (!touched.count(s)) return false;
    return j.cutShort || j.begun.count(s) || (blocks && j.begun.count(s ^ 1u));
  };
  auto facts = [&](uint32_t s) {
    Facts f;
    f.mayBeTorn = mayBeTorn(s);
    if (s == 1) {
      f.old = j.oldFat;
      if (!j.newFat.empty()) f.fresh = sectorDigest(j.newFat);
      return f;
    }
    if (auto it = j.oldSectors.find(uint16_t(s)); it != j.oldSectors.end()) f.old = it->second;
    if (auto it = j.newSectors.find(uint16_t(s)); it != j.newSectors.end()) f.fresh = it->second;
    return f;
  };
  std::map<uint32_t, Held> held;
  auto look = [&](uint32_t s) {
    auto it = held.find(s);
    if (it != held.end()) return it->second;
    return held[s] = classify(read(s), facts(s), j.legacy);
  };

  const Held fat = look(1);
  if (fat == Held::Unread) return verdict(BurnVerdict::Unread, "the FAT could not be read");
  if (fat == Held::Foreign)
    return verdict(BurnVerdict::Stale, "the FAT is neither the one before nor after the burn");
  if (!planKnown) {
    BurnJudgement out = verdict(BurnVerdict::CannotShow, "the journal ends before its plan");
    for (uint32_t s = 0; s < count; ++s)
      if (oldSoftware[s]) out.unknown.push_back(uint16_t(s));
    return out;
  }

  // Sectors of software before the burn that it may have touched: the ones
  // a repair would write back.
  std::vector<uint32_t> software;
  for (uint32_t s : touched)
    if (s != 1 && (oldSoftware[s] || j.oldSectors.count(uint16_t(s)))) software.push_back(s);
  for (uint32_t s : software) {
    const Held h = look(s);
    if (h == Held::Unread)
      return verdict(BurnVerdict::Unread, sectorText(s) + " could not be read");
    if (h == Held::Foreign)
      return verdict(BurnVerdict::Stale,
                     sectorText(s) + " holds neither its content before nor after the burn");
  }
  const bool fatOld = fat == Held::Old || (j.oldFat.empty() && fat == Held::Unknown);
  bool allOld = fatOld;
  for (uint32_t s : software) allOld = allOld && look(s) == Held::Old;
  if (allOld) return verdict(BurnVerdict::Intact, "the cartridge holds its state before the burn");

  // The new state: the new FAT and every planned sector as planned.
  bool newState = fat == Held::New;
  for (uint32_t s : planned) {
    if (!newState || s == 1) continue;
    const Held h = look(s);
    if (h == Held::Unread)
      return verdict(BurnVerdict::Unread, sectorText(s) + " could not be read");
    newState = h == Held::New || h == Held::Written;
  }
  BurnJudgement out = verdict(BurnVerdict::Damaged, "");
  for (uint32_t s : software)
    if (look(s) != Held::Old && !(newState && planned.count(s))) out.restore.push_back(uint16_t(s));
  if (!newState && !fatOld) out.restore.push_back(1);
  if (out.restore.empty())
    return verdict(BurnVerdict::Intact, "the cartridge holds its state after the burn");
  // What has no old content in the journal cannot be written back.
  std::erase_if(out.restore, [&](uint16_t s) {
    const bool known = s == 1 ? !j.oldFat.empty() : j.oldSectors.count(s) > 0;
    if (!known) out.unknown.push_back(s);
    return !known;
  });
  if (out.restore.empty()) {
    out.verdict = BurnVerdict::CannotShow;
    out.why = "software may be damaged and the journal holds no copy of it";
  } else {
    out.why = newState ? "the burn ended but left software beside it damaged"
                       : "the burn was cut off: the cartridge goes back to its state before it";
  }
  return out;
}

uint16_t tableWord(std::span<const uint8_t> table, uint32_t logical) {
  return uint16_t(table[2 * logical] << 8 | table[2 * logical + 1]);
}

// Ostrel IV: the burn writes fresh physical sectors and then the table.
BurnJudgement judgeTable(const BurnJournal& j, const SectorReader& read) {
  const uint16_t count = j.key.sectorCount;
  const bool planKnown = j.legacy || j.newSectors.size() == j.plannedCount;
  // Sectors written in place (a whole-flash image's low sectors) whose old
  // content the journal lost cannot be shown intact.
  const bool keptKnown = j.legacy || j.oldSectors.size() == j.keptCount;
  const std::span<const uint8_t> oldTable(j.oldTable), newTable(j.newTable);

  // The two table sectors.
  bool tableOld = oldTable.size() == kTableBytes, tableNew = newTable.size() == kTableBytes;
  for (uint32_t half = 0; half < 2; ++half) {
    Facts f;
    if (!oldTable.empty()) f.old = oldTable.subspan(half * kSector, kSector);
    if (!newTable.empty()) f.fresh = sectorDigest(newTable.subspan(half * kSector, kSector));
    f.mayBeTorn = j.cutShort || !newTable.empty() || j.begun.count(kTableLow + half);
    const Held h = classify(read(kTableLow + half), f, j.legacy);
    if (h == Held::Unread)
      return verdict(BurnVerdict::Unread, "the mapping table could not be read");
    if (h == Held::Foreign)
      return verdict(BurnVerdict::Stale, "the mapping table is neither the one before nor after");
    tableOld = tableOld && h == Held::Old;
    tableNew = tableNew && h == Held::New;
  }
  // The physical sector a table gives a logical one, read; blank when unmapped.
  auto under = [&](std::span<const uint8_t> table, uint32_t logical) {
    const uint16_t physical = tableWord(table, logical);
    if (physical > std::min(count, kHighestPoolSector)) return std::vector<uint8_t>(kSector, 0xFF);
    return read(physical);
  };
  // The old state: the FAT the old table points at is the old one, and the
  // sectors written in place hold their old content.
  Held oldFat = Held::Unknown;
  if (oldTable.size() == kTableBytes) {
    Facts f;
    f.old = j.oldFat;
    oldFat = classify(under(oldTable, 1), f, j.legacy);
  }
  std::vector<uint16_t> inPlace;
  for (const auto& [s, content] : j.oldSectors) {
    Facts f;
    f.old = content;
    if (auto it = j.newSectors.find(s); it != j.newSectors.end()) f.fresh = it->second;
    f.mayBeTorn = j.cutShort || j.begun.count(s);
    const Held h = classify(read(s), f, j.legacy);
    if (h == Held::Unread)
      return verdict(BurnVerdict::Unread, sectorText(s) + " could not be read");
    if (h == Held::Foreign && !tableNew)
      return verdict(BurnVerdict::Stale,
                     sectorText(s) + " holds neither its content before nor after the burn");
    if (h != Held::Old) inPlace.push_back(s);
  }
  if (oldFat == Held::Unread) return verdict(BurnVerdict::Unread, "the FAT could not be read");
  if (tableOld) {
    if (oldFat == Held::Foreign)
      return verdict(BurnVerdict::Stale, "the FAT is not the one before the burn");
    if (!keptKnown) return verdict(BurnVerdict::CannotShow, "the journal ends before its plan");
    if (inPlace.empty()) return verdict(BurnVerdict::Intact, "the old mapping table is in place");
    BurnJudgement out = verdict(BurnVerdict::Damaged, "sectors written in place were cut off");
    out.restore = inPlace;
    return out;
  }

  // The new state: the FAT and every planned sector where the new table puts them.
  bool newState = newTable.size() == kTableBytes && planKnown;
  if (newState) {
    // The FAT as written last, else as the burn's data planned it, else as
    // it was: a burn that writes no FAT leaves it.
    Facts f;
    if (!j.newFat.empty())
      f.fresh = sectorDigest(j.newFat);
    else if (auto it = j.newSectors.find(1); it != j.newSectors.end())
      f.fresh = it->second;
    else
      f.old = j.oldFat;
    const Held h = classify(under(newTable, 1), f, j.legacy);
    if (h == Held::Unread) return verdict(BurnVerdict::Unread, "the FAT could not be read");
    newState = h == Held::New || h == Held::Old || (j.legacy && !f.fresh);
  }
  for (const auto& [s, digest] : j.newSectors) {
    if (!newState || s == 1 || tableWord(newTable, s) == UNMAPPED_SECTOR) continue;
    Facts f;
    f.fresh = digest;
    const Held h = classify(under(newTable, s), f, false);
    if (h == Held::Unread)
      return verdict(BurnVerdict::Unread, sectorText(s) + " could not be read");
    newState = h == Held::New;
  }
  if (tableNew) {
    if (newState) return verdict(BurnVerdict::Intact, "the new mapping table is in place");
    if (!planKnown) return verdict(BurnVerdict::CannotShow, "the journal ends before its plan");
    return verdict(BurnVerdict::Stale, "the new mapping table points at other content");
  }
  BurnJudgement out = verdict(BurnVerdict::Damaged, "the mapping table was cut off");
  if (newState) {
    out.table = BurnJudgement::Table::New;
    return out;
  }
  if (oldTable.size() != kTableBytes) {
    out.verdict = BurnVerdict::CannotShow;
    out.why = "the mapping table was cut off and the journal holds no copy of it";
    return out;
  }
  if (oldFat == Held::Foreign)
    return verdict(BurnVerdict::Stale, "the FAT is not the one before the burn");
  if (!keptKnown) return verdict(BurnVerdict::CannotShow, "the journal ends before its plan");
  out.table = BurnJudgement::Table::Old;
  out.restore = inPlace;
  return out;
}

}  // namespace

BurnJudgement judgeBurn(const BurnJournal& journal, const SectorReader& read) {
  if (journal.complete) return verdict(BurnVerdict::Intact, "the burn ended");
  return journal.key.generation == OstrelIV ? judgeTable(journal, read)
                                            : judgeSectors(journal, read);
}

}  // namespace ostrel
