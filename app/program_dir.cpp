// The file-system side of the text helpers: where the program lives and where
// it may write.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "app/text_helpers.h"

namespace ostrel {

namespace {

bool isWritableDirectory(const std::string& dir) {
  return access(dir.c_str(), W_OK | X_OK) == 0;
}

// Creates dir (with its parents) and reports whether it can be written.
bool ensureWritableDirectory(const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  return isWritableDirectory(dir);
}

std::string withSlash(std::string dir) {
  if (dir.empty() || dir.back() != '/') dir.push_back('/');
  return dir;
}

}  // namespace

std::string currentExecutablePath() {
  std::error_code ec;
  std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : path.string();
}

std::string writableProgramDirectory(std::string_view executablePath) {
  const std::string own = programDirectory(executablePath);
  if (isWritableDirectory(own)) return own;

  // Installed read-only (e.g. under /usr/bin): use the user's data directory.
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg != nullptr && xdg[0] == '/') {
    const std::string dir = withSlash(xdg) + "ostrel/";
    if (ensureWritableDirectory(dir)) return dir;
  }
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') {
    const std::string dir = withSlash(home) + ".local/share/ostrel/";
    if (ensureWritableDirectory(dir)) return dir;
  }
  return own;
}

}  // namespace ostrel
