#include "link/natural_order.h"

#include <algorithm>

namespace ostrel {

namespace {

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

bool naturalLess(std::string_view a, std::string_view b) {
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (isDigit(a[i]) && isDigit(b[j])) {
      // Compare the digit runs by value without converting (runs may be long).
      size_t ei = i;
      while (ei < a.size() && isDigit(a[ei])) ++ei;
      size_t ej = j;
      while (ej < b.size() && isDigit(b[ej])) ++ej;
      size_t si = i;
      while (si + 1 < ei && a[si] == '0') ++si;
      size_t sj = j;
      while (sj + 1 < ej && b[sj] == '0') ++sj;
      const std::string_view da = a.substr(si, ei - si);
      const std::string_view db = b.substr(sj, ej - sj);
      if (da.size() != db.size()) return da.size() < db.size();
      if (da != db) return da < db;
      if (ei - i != ej - j) return ei - i < ej - j;  // "1" before "01"
      i = ei;
      j = ej;
      continue;
    }
    if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
    ++i;
    ++j;
  }
  return a.size() - i < b.size() - j;
}

void sortNatural(std::vector<std::string>& names) {
  std::sort(names.begin(), names.end(),
            [](const std::string& x, const std::string& y) { return naturalLess(x, y); });
}

}  // namespace ostrel
