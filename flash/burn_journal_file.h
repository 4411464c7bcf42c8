// The burn journal on disk, as a burn writes it: its opening is written
// beside the final name in space reserved for the whole journal, then moved
// into place; each later record is flushed to the disk before the write it
// announces; the file is removed when the burn ended.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "flash/burn_journal.h"

namespace ostrel {

// Reserves bytes of disk space for the open file fd; 0 or an errno value
// (posix_fallocate's contract).
using ReserveSpace = std::function<int(int fd, uint64_t bytes)>;
int reserveWithFallocate(int fd, uint64_t bytes);

class BurnJournalFile {
 public:
  BurnJournalFile() = default;
  ~BurnJournalFile();
  BurnJournalFile(const BurnJournalFile&) = delete;
  BurnJournalFile& operator=(const BurnJournalFile&) = delete;

  // Starts the opening beside path (a link there is replaced, never
  // followed) with the disk space of the whole journal reserved; false when
  // the space or the file cannot be had, error then says why.
  bool create(const std::string& path, std::span<const uint8_t> start, uint64_t reserve,
              const ReserveSpace& reserveSpace, std::string* error);
  // The opening is complete: the journal takes its name.
  bool commit();
  // Opens an existing journal to add records after its last whole one.
  bool reopen(const std::string& path, std::size_t validBytes);
  bool add(JournalRecord type, uint16_t sector, std::span<const uint8_t> payload = {});
  bool isOpen() const { return fd_ >= 0; }
  // The last create failed for want of disk space.
  bool noSpace() const { return noSpace_; }
  // The burn ended: nothing to recover, the file goes.
  void remove();

 private:
  bool write(std::span<const uint8_t> bytes);
  void close();
  int fd_ = -1;
  bool noSpace_ = false;
  std::string path_, temp_;  // temp_ is set until the opening is complete
};

}  // namespace ostrel
