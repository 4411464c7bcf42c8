// The burn journal on disk, as a burn writes it: created fresh, each record
// flushed to the disk before the write it announces, removed when the burn
// ended.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "flash/burn_journal.h"

namespace ostrel {

class BurnJournalFile {
 public:
  BurnJournalFile() = default;
  ~BurnJournalFile();
  BurnJournalFile(const BurnJournalFile&) = delete;
  BurnJournalFile& operator=(const BurnJournalFile&) = delete;

  // Replaces whatever is at path (a link there is replaced, never followed).
  bool create(const std::string& path, std::span<const uint8_t> start, std::string* error);
  bool add(JournalRecord type, uint16_t sector, std::span<const uint8_t> payload = {});
  bool isOpen() const { return fd_ >= 0; }
  // The burn ended: nothing to recover, the file goes.
  void remove();

 private:
  bool write(std::span<const uint8_t> bytes);
  int fd_ = -1;
  std::string path_;
};

}  // namespace ostrel
