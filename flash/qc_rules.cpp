#include "flash/qc_rules.h"

#include <algorithm>
#include <cctype>

#include "app/fault_codes.h"
#include "app/text_helpers.h"

namespace ostrel {

namespace {
constexpr uint8_t kOpenBracket = 0x5B, kBackslash = 0x5C, kPassed = 0x5A, kFailed = 0xD0;
// An Ostrel IV reports each step in 128 units of its whole flash.
constexpr uint32_t kOst4Units = 128;

}  // namespace

std::array<uint8_t, 4> qcStepFrame(int step, uint32_t sector) {
  std::array<uint8_t, 4> f = {0x82, uint8_t(step == kQcStepBlank ? 0xA0 : 0xB0), uint8_t(sector),
                              0};
  f[3] = uint8_t(f[0] + f[1] + f[2]);
  return f;
}

bool qcFramedReplyPassed(std::span<const uint8_t> reply, uint8_t requestCode) {
  return reply.size() >= 4 && reply[1] == uint8_t(requestCode + 0x40) && reply[2] == 0x00 &&
         reply[3] == 0x00;
}

void scanQcReply(QcStepScan& scan, std::span<const uint8_t> reply, uint8_t serial) {
  using Outcome = QcStepScan::Outcome;
  for (size_t i = 0; i < reply.size() && scan.outcome == Outcome::Running; ++i) {
    const uint8_t b = reply[i];
    if (scan.serialDue) {
      scan.serialDue = false;
      scan.outcome = b == serial ? Outcome::Passed : Outcome::Unexpected;
    } else if (b == kOpenBracket || b == kBackslash) {
      ++scan.marks;
      scan.lastMark = b;
    } else if (b == kFailed) {
      scan.outcome = Outcome::Failed;
    } else if (b == kPassed) {
      scan.serialDue = true;
    } else {
      scan.outcome = Outcome::Unexpected;
    }
  }
}

std::string_view qcFailureCode(const QcStepScan& scan) {
  if (scan.outcome != QcStepScan::Outcome::Failed) return {};
  return scan.lastMark == kBackslash ? FaultCode::k1001 : FaultCode::k1020;
}

int qcMarkProgress(Generation generation, int step, uint32_t marks, uint16_t sectorCount) {
  const uint64_t m = marks;
  uint64_t p = 0;
  if (generation == OstrelIII && sectorCount > 0)
    p = step == kQcStepBlank ? m * 100 / 3 / sectorCount : m * 100 / 2 / sectorCount;
  else if (generation == OstrelIV)
    p = m * 100 / (step == kQcStepBlank ? 3 * kOst4Units : 2 * kOst4Units);
  return int(std::min<uint64_t>(p, 100));
}

std::string_view qcReferenceImageName(Generation generation, uint16_t sectorCount) {
  if (generation == OstrelI || generation == OstrelII)
    return sectorCount == 256 ? "QC_16M.HX" : "QC_8M.HX";
  if (generation == OstrelIII || generation == OstrelIV) return "QC_8M_OST3.HX";
  return {};
}

std::optional<uint16_t> parseDecimalSector(std::string_view text) {
  auto space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  while (!text.empty() && space(text.front())) text.remove_prefix(1);
  while (!text.empty() && space(text.back())) text.remove_suffix(1);
  if (text.empty()) return std::nullopt;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + uint32_t(c - '0');
    if (value > 0xFFFF) return std::nullopt;
  }
  return uint16_t(value);
}

}  // namespace ostrel
