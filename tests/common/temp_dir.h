// A private folder under the system's temporary folder, removed with its content.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace ostrel::test {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ostrel-test-XXXXXX").string();
    if (mkdtemp(pattern.data())) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  // The folder, ending in "/".
  std::string slash() const { return path_ + "/"; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace ostrel::test
