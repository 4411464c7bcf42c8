// The --version line every program prints. OSTREL_VERSION is the project's
// version, given to each program by the build.
#pragma once

#include <string>
#include <string_view>

#ifndef OSTREL_VERSION
#error "OSTREL_VERSION is set by the build (the project version)"
#endif

namespace ostrel {

// "ostrel-cli (Ostrel File Manager) 5.01" and a line end.
inline std::string versionText(std::string_view program) {
  return std::string(program) + " (Ostrel File Manager) " OSTREL_VERSION "\n";
}

}  // namespace ostrel
