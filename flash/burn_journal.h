// The burn journal: what a burn is about to overwrite and how far it got,
// kept on disk so that a burn cut off by a pulled cable, a crash or a power
// loss can be recognised at the next connection and undone or completed.
//
// A burn first writes the journal's opening beside its final name: the
// module it belongs to, the old FAT (and on Ostrel IV the old mapping
// table), the new FAT when it is known, a fingerprint of every sector the
// burn plans to write, the old content of every sector holding software
// that the burn may overwrite, and "ready". Only then is the file renamed
// into place, so a journal under its name always describes a burn that may
// have written. After that each record is flushed before the write it
// announces: "sector begins" before each sector write, the new FAT (Ostrel
// IV), "FAT written", the new mapping table, and "complete" at the end. A
// record torn by an interruption ends the journal.
//
// Nothing in the journal is trusted: a file cut short, a record that does
// not fit the module, or a cartridge that changed since the burn must never
// lead to a write over software.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "app/module_kinds.h"

namespace ostrel {

enum class JournalRecord : uint8_t {
  Header = 1,        // module, reserved size, planned and kept sector counts
  OldFat = 2,        // the FAT sector before the burn (empty: it could not be read)
  OldTable = 3,      // Ostrel IV: the mapping table image before the burn
  OldSector = 4,     // the content of a sector that held software before the burn
  SectorBegins = 5,  // a write of this sector (block) is about to start
  NewFat = 6,        // the FAT sector the burn writes
  FatWritten = 7,    // the FAT sector was written
  NewTable = 8,      // Ostrel IV: the mapping table image about to be written
  Complete = 9,      // the burn ended; nothing to recover
  NewSector = 10,    // the fingerprint of what the burn writes to this sector
  Ready = 11,        // the opening is complete; writes to the module may follow
};

// The module a journal belongs to: the file name and the header carry it.
struct JournalKey {
  Generation generation = OstrelI;
  uint16_t sectorCount = 0;
  std::array<uint8_t, 8> identity{};  // auxiliary number, then ID
  bool operator==(const JournalKey&) const = default;
};

// The key as the names of the files kept per module carry it (journal,
// read-back images): "ID_AUXaaaaaaaa_OSTn_SSSS", ID and aux number in hex, the
// generation 1..4 and the sector count in hex.
std::string moduleKeyText(const JournalKey& key);
// The burn journal's file name in the program folder.
std::string journalFileName(const JournalKey& key);

// A sector's fingerprint: one 64-bit hash per 4096-byte chunk, so that a
// write cut off in the middle is recognised chunk by chunk.
using SectorDigest = std::array<uint64_t, 16>;
SectorDigest sectorDigest(std::span<const uint8_t> sector);
// The fingerprint as a NewSector record carries it: 16 hashes, big-endian.
std::vector<uint8_t> digestPayload(std::span<const uint8_t> sector);

struct BurnJournal {
  JournalKey key;
  // Written before fingerprints were kept: the header carries the ID only,
  // and what the burn planned is known only from the sectors it began.
  bool legacy = false;
  uint64_t reservedBytes = 0;
  uint16_t plannedCount = 0, keptCount = 0;
  bool writesFat = false;  // the burn writes sector 1
  bool ready = false;
  // The file is shorter than the burn left it, or lacks its opening: records
  // of sectors begun may be missing, so any planned sector may be half written.
  bool cutShort = false;
  std::vector<uint8_t> oldFat, oldTable, newFat, newTable;
  std::map<uint16_t, std::vector<uint8_t>> oldSectors;
  std::map<uint16_t, SectorDigest> newSectors;
  std::set<uint32_t> begun;  // sectors whose write may have started (60000/60001: the table)
  bool fatWritten = false;
  bool complete = false;
  std::size_t validBytes = 0;  // end of the last whole record: where more records go
};

// One record as stored: type, sector, length, payload, and a checksum over them.
std::vector<uint8_t> journalRecord(JournalRecord type, uint16_t sector,
                                   std::span<const uint8_t> payload = {});

// What a burn's journal will hold, to size the file before the first write:
// besides these, the old FAT and (Ostrel IV) the old and new mapping table.
struct JournalShape {
  JournalKey key;
  uint16_t planned = 0;      // sectors with a fingerprint
  uint16_t kept = 0;         // sectors whose old content is kept
  bool newFatFirst = false;  // the new FAT is known before the burn starts
};
// Every byte the journal may take, the repair's own notes included.
uint64_t journalBytes(const JournalShape& shape);
// The largest journal a module of this generation and size can have.
uint64_t largestJournal(Generation generation, uint16_t sectorCount);
// The file's first bytes.
std::vector<uint8_t> journalStart(const JournalShape& shape);

enum class JournalFit : uint8_t {
  Fits,
  NotAJournal,  // the file does not start like one
  OtherModule,  // the header names another module
  Damaged,      // a whole record that does not fit the module or the order a burn writes
};
struct JournalRead {
  JournalFit fit = JournalFit::NotAJournal;
  std::string why;  // for the log, when it does not fit
  BurnJournal journal;
};
// Reads every whole record up to the first torn one and checks each against
// the connected module: sector numbers, lengths and the order a burn writes.
JournalRead readJournal(std::span<const uint8_t> bytes, const JournalKey& module);
// The bytes at a journal's start that say which module it is for: its mark
// and the header record. readJournal on them alone tells OtherModule apart.
std::size_t journalHeadBytes();

// One sector of the cartridge as it is now (logical on Ostrel I-III,
// physical on Ostrel IV); empty when it could not be read.
using SectorReader = std::function<std::vector<uint8_t>(uint32_t sector)>;

enum class BurnVerdict : uint8_t {
  Intact,      // every sector the burn may have touched holds its old or its new content
  Damaged,     // the burn left software damaged: the journal can repair it
  Stale,       // the cartridge changed since the burn: nothing is to be written
  CannotShow,  // software may be damaged and the journal holds no copy of it
  Unread,      // a sector could not be read: judge again at the next connection
};

struct BurnJudgement {
  BurnVerdict verdict = BurnVerdict::Intact;
  // Sectors to write back from the journal's old content (sector 1: the old
  // FAT); on Ostrel IV physical sectors written in place.
  std::vector<uint16_t> restore;
  // Ostrel IV: the mapping table to write back.
  enum class Table : uint8_t { None, Old, New } table = Table::None;
  // Sectors of software that may be damaged and cannot be restored.
  std::vector<uint16_t> unknown;
  std::string why;  // for the log
};

// The verdict on what a burn left, from the sectors it may have touched read
// back now. Only Damaged lists sectors to restore.
BurnJudgement judgeBurn(const BurnJournal& journal, const SectorReader& read);

}  // namespace ostrel
