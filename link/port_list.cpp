#include "link/port_list.h"

#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "link/natural_order.h"

namespace ostrel {

namespace {

namespace fs = std::filesystem;

bool isUsbSerialName(std::string_view name) {
  for (std::string_view prefix : {"ttyACM", "ttyUSB"}) {
    if (name.size() > prefix.size() && name.substr(0, prefix.size()) == prefix) {
      return name.find_first_not_of("0123456789", prefix.size()) == std::string_view::npos;
    }
  }
  return false;
}

std::vector<std::string> entryNames(const std::string& dir, bool usbOnly) {
  std::vector<std::string> names;
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (name.empty() || name.front() == '.') continue;
    if (usbOnly && !isUsbSerialName(name)) continue;
    names.push_back(std::move(name));
  }
  sortNatural(names);
  return names;
}

std::string joinPath(const std::string& dir, const std::string& name) {
  if (!dir.empty() && dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

}  // namespace

std::string defaultVirtualPortDir() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/ostrel-ports";
  return "/tmp/ostrel-ports";
}

std::vector<std::string> listSerialPorts(const std::string& devDir, const std::string& virtualDir) {
  std::vector<std::string> ports;
  for (const std::string& name : entryNames(devDir, true)) ports.push_back(joinPath(devDir, name));
  if (!virtualDir.empty()) {
    for (const std::string& name : entryNames(virtualDir, false)) {
      ports.push_back(joinPath(virtualDir, name));
    }
  }
  return ports;
}

}  // namespace ostrel
