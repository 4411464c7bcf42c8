#include "app/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace ostrel {

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

}  // namespace ostrel
