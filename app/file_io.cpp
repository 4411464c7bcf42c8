#include "app/file_io.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

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

bool writeWholeFile(const std::string& path, std::span<const uint8_t> data, std::string* error) {
  auto fail = [error](const std::string& what) {
    if (error) *error = what + ": " + std::strerror(errno);
    return false;
  };
  std::vector<char> temp(path.begin(), path.end());
  const char suffix[] = ".tmp-XXXXXX";
  temp.insert(temp.end(), suffix, suffix + sizeof suffix);  // with the terminating zero
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return fail(path);
  removeOnInterrupt(temp.data());
  struct Forget {
    const char* path;
    ~Forget() { forgetOnInterrupt(path); }
  } forget{temp.data()};
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int saved = errno;
      ::close(fd);
      ::unlink(temp.data());
      errno = saved;
      return fail(path);
    }
    done += size_t(n);
  }
  const bool synced = ::fsync(fd) == 0;
  int saved = errno;
  const bool closed = ::close(fd) == 0;
  if (!closed) saved = errno;
  if (!synced || !closed) {
    ::unlink(temp.data());
    errno = saved;
    return fail(path);
  }
  if (::rename(temp.data(), path.c_str()) != 0) {
    const int saved = errno;
    ::unlink(temp.data());
    errno = saved;
    return fail(path);
  }
  return true;
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

}  // namespace ostrel
