#include "flash/burn_journal_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ostrel {

BurnJournalFile::~BurnJournalFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool BurnJournalFile::create(const std::string& path, std::span<const uint8_t> start,
                             std::string* error) {
  path_ = path;
  ::unlink(path.c_str());  // a link planted there is removed, not followed
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd_ < 0 || !write(start)) {
    if (error) *error = path + ": " + std::strerror(errno);
    remove();
    return false;
  }
  return true;
}

bool BurnJournalFile::add(JournalRecord type, uint16_t sector, std::span<const uint8_t> payload) {
  return fd_ >= 0 && write(journalRecord(type, sector, payload));
}

bool BurnJournalFile::write(std::span<const uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += std::size_t(n);
  }
  // On the disk before the write it announces starts.
  return ::fdatasync(fd_) == 0;
}

void BurnJournalFile::remove() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!path_.empty()) ::unlink(path_.c_str());
}

}  // namespace ostrel
