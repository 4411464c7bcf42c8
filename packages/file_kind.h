// What a chosen file holds, told by its first bytes: a package, S-record
// text or anything else (a binary image), whatever its name or the filter
// it was chosen with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace ostrel {

enum class FileKind : uint8_t { Package, SRecord, Other };

// A package opens with a record marker within its first eight bytes (the
// reader skips up to three other pairs); S-record text with a line "S",
// a digit and hex digits.
FileKind sniffFileKind(std::span<const uint8_t> bytes);
// How many of the first bytes sniffFileKind looks at, at most.
constexpr size_t kSniffBytes = 520;

}  // namespace ostrel
