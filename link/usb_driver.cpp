#include "link/usb_driver.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace ostrel {

namespace {
constexpr std::array<uint8_t, 52> makeSignature() {
  std::array<uint8_t, 52> s{};
  const char* first = "FileVersion";
  const char* second = "5.1.2600.5512";
  size_t i = 0;
  for (const char* p = first; *p; ++p) {
    s[i++] = uint8_t(*p);
    s[i++] = 0;
  }
  i += 4;  // two NUL characters
  for (const char* p = second; *p; ++p) {
    s[i++] = uint8_t(*p);
    s[i++] = 0;
  }
  return s;
}
}  // namespace

const std::array<uint8_t, 52> DriverVersionSignature = makeSignature();

bool containsDriverSignature(std::span<const uint8_t> file) {
  const auto& sig = DriverVersionSignature;
  size_t i = 0;
  while (i < file.size()) {
    if (file[i] != sig[0]) {
      ++i;
      continue;
    }
    size_t k = 1;
    ++i;
    while (k < sig.size() && i < file.size() && file[i] == sig[k]) {
      ++k;
      ++i;
    }
    if (k == sig.size()) return true;
    ++i;  // resume after the mismatching byte
  }
  return false;
}

std::string installedDriverPath(const std::string& windir) {
  return windir + "\\system32\\drivers\\usbser.sys";
}
std::string cachedDriverPath(const std::string& windir) {
  return windir + "\\system32\\\\dllcache\\usbser.sys";
}

bool isOldDriverInstalled(const std::string& windir) {
  const std::string path = installedDriverPath(windir);
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return false;
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  return containsDriverSignature(bytes);
}

bool replaceDriver(const std::string& windir, std::span<const uint8_t> image,
                   const std::string& tempFile, std::string& message) {
  message.clear();
  if (!image.empty()) {
    std::ofstream out(tempFile, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
  }
  std::error_code ec;
  if (!std::filesystem::exists(tempFile, ec)) {
    message = "Patch file not exist!!!";
    return false;
  }
  const auto overwrite = std::filesystem::copy_options::overwrite_existing;
  std::filesystem::copy_file(tempFile, cachedDriverPath(windir), overwrite, ec);
  ec.clear();
  return std::filesystem::copy_file(tempFile, installedDriverPath(windir), overwrite, ec) && !ec;
}

std::span<const uint8_t> builtInDriverImage() {
  return {};
}

}  // namespace ostrel
