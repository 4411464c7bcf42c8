// The file-system side of the text helpers: where the program lives and where
// it may write.
#include <unistd.h>

#include <algorithm>
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

std::string userDataFolder() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg != nullptr && xdg[0] == '/') return withSlash(xdg) + "ostrel/";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return withSlash(home) + ".local/share/ostrel/";
  return "";
}

namespace {

// The data folder an installation puts beside its bin/ folder:
// <prefix>/share/ostrel/ for <prefix>/bin/, written out so that it reads well
// in the debug log and the file dialog.
std::string installDataFolder(const std::string& own) {
  return withSlash(std::filesystem::path(own + "../share/ostrel").lexically_normal().string());
}

// <prefix>/bin/ with that data folder beside it: a folder an installation
// owns, not one to leave a user's files in, even when the user (root) may
// write there.
bool isInstalledProgramFolder(const std::string& own) {
  std::error_code ec;
  return std::filesystem::path(own).parent_path().filename() == "bin" &&
         std::filesystem::is_directory(installDataFolder(own), ec);
}

}  // namespace

std::string writableProgramDirectory(std::string_view executablePath) {
  const std::string own = programDirectory(executablePath);
  if (!isInstalledProgramFolder(own) && isWritableDirectory(own)) return own;

  // Installed read-only (e.g. under /usr/bin): use the user's data directory.
  const std::string dir = userDataFolder();
  if (!dir.empty() && ensureWritableDirectory(dir)) return dir;
  return own;
}

std::vector<std::string> dataFolders(std::string_view programFolder,
                                     std::string_view executablePath) {
  std::vector<std::string> folders;
  auto add = [&folders](const std::string& folder) {
    if (folder.empty()) return;
    const std::string dir = withSlash(folder);
    if (std::find(folders.begin(), folders.end(), dir) == folders.end()) folders.push_back(dir);
  };
  add(std::string(programFolder));
  if (!executablePath.empty()) {
    const std::string own = programDirectory(executablePath);
    add(own);
    add(installDataFolder(own));
  }
  add(userDataFolder());
  return folders;
}

std::string findDataFile(std::string_view name, std::string_view programFolder,
                         std::string_view executablePath) {
  for (const std::string& folder : dataFolders(programFolder, executablePath)) {
    const std::string path = folder + std::string(name);
    std::error_code ec;
    if (std::filesystem::is_regular_file(path, ec)) return path;
  }
  return "";
}

}  // namespace ostrel
