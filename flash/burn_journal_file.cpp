#include "flash/burn_journal_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/file_io.h"

namespace ostrel {

namespace {

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
}

// A rename is on the disk once the folder holding the name is.
void syncFolder(const std::string& path) {
  const int fd = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

int reserveWithFallocate(int fd, uint64_t bytes) {
  return ::posix_fallocate(fd, 0, off_t(bytes));
}

BurnJournalFile::~BurnJournalFile() {
  close();
  if (!temp_.empty()) {
    // The opening never ended: nothing was written to the module.
    ::unlink(temp_.c_str());
    forgetOnInterrupt(temp_);
  }
}

void BurnJournalFile::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool BurnJournalFile::create(const std::string& path, std::span<const uint8_t> start,
                             uint64_t reserve, const ReserveSpace& reserveSpace,
                             std::string* error) {
  path_ = path;
  temp_ = path + ".tmp";
  ::unlink(temp_.c_str());  // a link planted there is removed, not followed
  fd_ = ::open(temp_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd_ < 0) {
    if (error) *error = temp_ + ": " + std::strerror(errno);
    temp_.clear();
    return false;
  }
  removeOnInterrupt(temp_);
  // The whole journal's room first: a disk that fills up during the burn
  // would leave sectors written that the journal does not announce.
  const int reserved = reserveSpace ? reserveSpace(fd_, reserve) : 0;
  noSpace_ = reserved == ENOSPC || reserved == EDQUOT || reserved == EFBIG;
  if (reserved != 0) {
    if (error) {
      *error = noSpace_ ? "Not enough space in " + folderOf(path) +
                              " for the journal of this burn: " + std::to_string(reserve) +
                              " bytes are needed"
                        : temp_ + ": " + std::strerror(reserved);
    }
    return false;
  }
  if (!write(start)) {
    if (error) *error = temp_ + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool BurnJournalFile::commit() {
  if (fd_ < 0 || temp_.empty() || ::fdatasync(fd_) != 0) return false;
  if (::rename(temp_.c_str(), path_.c_str()) != 0) return false;
  forgetOnInterrupt(temp_);
  temp_.clear();
  syncFolder(path_);
  return true;
}

bool BurnJournalFile::reopen(const std::string& path, std::size_t validBytes) {
  close();
  path_ = path;
  fd_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd_ >= 0 && ::lseek(fd_, off_t(validBytes), SEEK_SET) == off_t(validBytes)) return true;
  close();
  return false;
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
  // On the disk before the write it announces starts (the opening: before
  // the file takes its name).
  return !temp_.empty() || ::fdatasync(fd_) == 0;
}

void BurnJournalFile::remove() {
  close();
  if (!temp_.empty()) {
    ::unlink(temp_.c_str());
    forgetOnInterrupt(temp_);
    temp_.clear();
  } else if (!path_.empty()) {
    ::unlink(path_.c_str());
  }
}

}  // namespace ostrel
