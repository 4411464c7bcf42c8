// Quality-control rules without a module: the Ostrel I/II step frames and the
// replies they accept, the Ostrel III/IV progress marks and final replies, the
// progress formulas, the reference image of each module and the CF test's
// pattern and range.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/module_kinds.h"

namespace ostrel {

// Step 1 ("Blank data") and step 2 ("Loop data").
inline constexpr int kQcStepBlank = 0;
inline constexpr int kQcStepLoop = 1;

// Ostrel I/II: 82 A0 s k (step 1) or 82 B0 s k (step 2), s the sector's low
// byte and k the 8-bit sum of the three bytes before it.
std::array<uint8_t, 4> qcStepFrame(int step, uint32_t sector);
// The sector checksum request 81 30 B1.
inline constexpr std::array<uint8_t, 3> kQcChecksumFrame = {0x81, 0x30, 0xB1};

// A framed reply passes when it carries the expected command byte (the
// request's code + 0x40) and a sum byte and XOR byte of 0x00.
bool qcFramedReplyPassed(std::span<const uint8_t> reply, uint8_t requestCode);

// Ostrel III/IV: the module answers a step with progress marks ('[' or '\'),
// then 'Z' and the command's serial number, or 0xD0 on failure. A step
// follows the replies through this record.
struct QcStepScan {
  enum class Outcome : uint8_t { Running, Passed, Failed, Unexpected };
  Outcome outcome = Outcome::Running;
  uint32_t marks = 0;
  uint8_t lastMark = 0;
  // A reply ended with 'Z': its serial number opens the next reply.
  bool serialDue = false;
};

// Takes one reply. Marks that arrive run together in one reply are each
// counted; bytes after the outcome are ignored.
void scanQcReply(QcStepScan& scan, std::span<const uint8_t> reply, uint8_t serial);

// The fault code of a failed scan: "1001" when the last mark was '\',
// "1020" when it was '[' or none came; empty unless the module failed.
std::string_view qcFailureCode(const QcStepScan& scan);

// ProgressBar1 (0..100) after a number of marks: step 1 counts three marks a
// sector on an Ostrel III and 384 in all on an Ostrel IV, step 2 two a sector
// and 256. Never above 100, even when a module sends more.
int qcMarkProgress(Generation generation, int step, uint32_t marks, uint16_t sectorCount);

// The reference image QC Auto programs: "QC_16M.HX" on an Ostrel I/II of 256
// sectors, "QC_8M.HX" on any other Ostrel I/II, "QC_8M_OST3.HX" on an
// Ostrel III or IV; empty for a generation it does not know.
std::string_view qcReferenceImageName(Generation generation, uint16_t sectorCount);

// Byte i of the CF test's 65536-byte pattern: 00, 01, ... FF repeated.
inline uint8_t cfTestPatternByte(uint32_t offset) {
  return uint8_t(offset);
}

// A sector number typed in decimal: digits only (spaces around them
// allowed), at most 65535; nothing for anything else.
std::optional<uint16_t> parseDecimalSector(std::string_view text);

}  // namespace ostrel
