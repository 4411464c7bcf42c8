#include "app/file_io.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

namespace ostrel {

namespace {

// The registered paths, read by the signal handler: a slot's path is
// complete before it is marked used, and unused before it changes.
struct InterruptSlot {
  std::atomic<bool> used{false};
  char path[PATH_MAX];
};
InterruptSlot interruptSlots[8];
std::mutex interruptSlotsLock;

void removeRegisteredAndDie(int signal) {
  for (InterruptSlot& slot : interruptSlots)
    if (slot.used.load()) ::unlink(slot.path);
  // The handler was reset on entry: the signal ends the process as it would have.
  ::raise(signal);
}

}  // namespace

void removeOnInterrupt(const std::string& path) {
  if (path.size() >= PATH_MAX) return;
  const std::lock_guard<std::mutex> lock(interruptSlotsLock);
  for (InterruptSlot& slot : interruptSlots) {
    if (slot.used.load()) continue;
    std::memcpy(slot.path, path.c_str(), path.size() + 1);
    slot.used.store(true);
    return;
  }
}

void forgetOnInterrupt(const std::string& path) {
  const std::lock_guard<std::mutex> lock(interruptSlotsLock);
  for (InterruptSlot& slot : interruptSlots) {
    if (slot.used.load() && path == slot.path) {
      slot.used.store(false);
      return;
    }
  }
}

void installInterruptCleanup() {
  struct sigaction action {};
  action.sa_handler = removeRegisteredAndDie;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;
  for (int signal : {SIGINT, SIGTERM}) ::sigaction(signal, &action, nullptr);
}

ReplacingFile::~ReplacingFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!temp_.empty()) {
    ::unlink(temp_.c_str());
    forgetOnInterrupt(temp_);
  }
}

bool ReplacingFile::fail() {
  error_ = path_ + ": " + std::strerror(errno);
  const int saved = errno;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temp_.empty()) {
    ::unlink(temp_.c_str());
    forgetOnInterrupt(temp_);
  }
  temp_.clear();
  errno = saved;
  return false;
}

namespace {
constexpr uint64_t kFlushStep = 8 << 20;
constexpr size_t kSmallRead = 4096;
}  // namespace

bool ReplacingFile::open(const std::string& path) {
  path_ = path;
  std::vector<char> temp(path.begin(), path.end());
  const char suffix[] = ".tmp-XXXXXX";
  temp.insert(temp.end(), suffix, suffix + sizeof suffix);  // with the terminating zero
  fd_ = mkostemp(temp.data(), O_CLOEXEC);
  if (fd_ < 0) return fail();
  temp_ = temp.data();
  // A long write stopped by Ctrl+C or a kill leaves no half file either.
  removeOnInterrupt(temp_);
  // An ordinary file: the permissions the user's umask gives, as any program's
  // output has (the temporary file starts private to its owner).
  const mode_t mask = ::umask(0);
  ::umask(mask);
  if (::fchmod(fd_, 0666 & ~mask) != 0) return fail();
  end_ = flushed_ = 0;
  return true;
}

bool ReplacingFile::write(std::span<const uint8_t> bytes) {
  return writeAt(end_, bytes);
}

bool ReplacingFile::writeAt(uint64_t offset, std::span<const uint8_t> bytes) {
  if (fd_ < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pwrite(fd_, bytes.data() + done, bytes.size() - done, off_t(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail();
    done += size_t(n);
  }
  end_ = std::max(end_, offset + bytes.size());
  // The disk starts on what is written while the rest is made, so commit's
  // flush finds little left to wait for.
  if (end_ >= flushed_ + kFlushStep) {
    sync_file_range(fd_, off_t(flushed_), off_t(end_ - flushed_), SYNC_FILE_RANGE_WRITE);
    flushed_ = end_;
  }
  return true;
}

bool ReplacingFile::readAt(uint64_t offset, std::span<uint8_t> bytes) {
  if (fd_ < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pread(fd_, bytes.data() + done, bytes.size() - done, off_t(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail();
    if (n == 0) {
      errno = EIO;  // shorter than what was written
      return fail();
    }
    done += size_t(n);
  }
  return true;
}

bool ReplacingFile::commit() {
  if (fd_ < 0) return false;
  if (::fsync(fd_) != 0) return fail();
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 || ::rename(temp_.c_str(), path_.c_str()) != 0) return fail();
  forgetOnInterrupt(temp_);
  temp_.clear();
  return true;
}

bool writeWholeFile(const std::string& path, std::span<const uint8_t> data, std::string* error) {
  ReplacingFile file;
  if (file.open(path) && file.write(data) && file.commit()) return true;
  if (error) *error = file.error();
  return false;
}

FileReadResult readWholeFile(const std::string& path, std::vector<uint8_t>& out, uint64_t maxSize,
                             std::string* error) {
  out.clear();
  auto fail = [&](const std::string& what, FileReadResult result = FileReadResult::Failed) {
    if (error) *error = what;
    out.clear();
    out.shrink_to_fit();
    return result;
  };
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return fail(path + ": " + std::strerror(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return fail(path + ": not a regular file");
  }
  if (uint64_t(st.st_size) > maxSize) {
    ::close(fd);
    return fail(path + ": larger than " + std::to_string(maxSize) + " bytes",
                FileReadResult::TooLarge);
  }
  try {
    out.resize(size_t(st.st_size));
  } catch (const std::bad_alloc&) {
    ::close(fd);
    return fail(path + ": not enough memory", FileReadResult::TooLarge);
  }
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::read(fd, out.data() + done, out.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const std::string why = path + ": " + std::strerror(errno);
      ::close(fd);
      return fail(why);
    }
    if (n == 0) break;  // the file shrank meanwhile: take what is there
    done += size_t(n);
  }
  ::close(fd);
  out.resize(done);
  return FileReadResult::Ok;
}

FileSource::~FileSource() {
  if (fd_ >= 0) ::close(fd_);
}

bool FileSource::open(const std::string& path, std::string& error) {
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error = path + ": not a regular file";
    return false;
  }
  size_ = uint64_t(st.st_size);
  return true;
}

std::span<const uint8_t> FileSource::fetch(uint64_t position, size_t count) {
  if (position >= size_) return {};
  count = size_t(std::min<uint64_t>(count, size_ - position));
  // Small reads (record headers, one after another) come from one read of
  // a few KiB; large ones are read as asked.
  if (position >= start_ && position + count <= start_ + held_)
    return std::span<const uint8_t>(buffer_.data() + (position - start_), count);
  const size_t want = size_t(std::min<uint64_t>(std::max(count, kSmallRead), size_ - position));
  try {
    if (buffer_.size() < want) buffer_.resize(want);
  } catch (const std::bad_alloc&) {
    failed_ = true;
    return {};
  }
  size_t done = 0;
  while (done < want) {
    const ssize_t n = ::pread(fd_, buffer_.data() + done, want - done, off_t(position + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) failed_ = true;
    if (n <= 0) break;
    done += size_t(n);
  }
  start_ = position;
  held_ = done;
  return std::span<const uint8_t>(buffer_.data(), std::min(done, count));
}

}  // namespace ostrel
