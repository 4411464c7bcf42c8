#include "packages/file_kind.h"

#include <algorithm>
#include <cctype>

#include "packages/package_format.h"

namespace ostrel {

namespace {

bool hexDigit(uint8_t c) {
  return std::isxdigit(c) != 0;
}

// The package reader's search for its first known record: a marker pair
// (m2 the complement of m1, or that plus 1 or 2 for the long form) within
// the first eight bytes; a record of a kind it does not know has only its
// header skipped, and the search goes on behind it under the same limit.
bool opensAsPackage(std::span<const uint8_t> bytes) {
  size_t at = 0;
  while (at + 2 <= bytes.size()) {
    const uint8_t m1 = bytes[at], m2 = bytes[at + 1];
    const int complement = 0xFF - m1;
    const bool marker = m2 == complement || m2 == complement + 1 || m2 == complement + 2;
    if (!marker) {
      at += 2;
      if (at > 7) return false;
      continue;
    }
    const int kind = int(m1) - kRecordMarkerBase;
    if (kind == kHeaderRecord || kind == kDataRecord || kind == kEndRecord) return true;
    at += m2 == complement ? kShortHeaderSize : kLongHeaderSize;
  }
  return false;
}

}  // namespace

FileKind sniffFileKind(std::span<const uint8_t> bytes) {
  if (opensAsPackage(bytes)) return FileKind::Package;
  // "S", the record type, then at least the count's two hex digits; the line
  // holds hex digits to its end (the first kSniffBytes are looked at).
  if (bytes.size() >= 4 && bytes[0] == 'S' && bytes[1] >= '0' && bytes[1] <= '9') {
    const size_t end = std::min<size_t>(bytes.size(), kSniffBytes);
    size_t at = 2;
    while (at < end && hexDigit(bytes[at])) ++at;
    const bool lineEnds = at == bytes.size() || bytes[at] == '\r' || bytes[at] == '\n' || at == end;
    if (at >= 4 && lineEnds) return FileKind::SRecord;
  }
  return FileKind::Other;
}

}  // namespace ostrel
