// A strict UTF-8 check for tests, independent of the lenient Isutf8 rule.
#pragma once

#include <cstdint>
#include <string_view>

namespace ostrel::testing {

inline bool strictUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto b = uint8_t(s[i]);
    size_t follow = 0;
    uint32_t cp = 0;
    uint32_t min = 0;
    if (b < 0x80) {
      ++i;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      follow = 1, cp = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      follow = 2, cp = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      follow = 3, cp = b & 0x07, min = 0x10000;
    } else {
      return false;
    }
    if (s.size() - i - 1 < follow) return false;
    for (size_t k = 1; k <= follow; ++k) {
      const auto c = uint8_t(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += 1 + follow;
  }
  return true;
}

}  // namespace ostrel::testing
