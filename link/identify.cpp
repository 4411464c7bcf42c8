#include "link/identify.h"

#include <cstdio>

#include "app/text_helpers.h"

namespace ostrel {

namespace {
std::string dec2(unsigned v) {
  char s[8];
  std::snprintf(s, sizeof s, "%02u", v % 100);
  return s;
}
}  // namespace

Identification identifyModule(const uint8_t* reply, size_t size, int buildMode) {
  Identification id;
  if (size < 2) return id;
  const size_t l = reply[0] & 0x7F;
  if (l >= size) return id;
  uint8_t t = reply[l];
  if (buildMode == 0 && t == 0x00) t = 0x84;
  id.typeCode = t;
  auto module = [&](uint8_t generation, uint16_t sectors, uint32_t baud, TParity parity) {
    id.result = IdentifyResult::Module;
    id.generation = generation;
    id.sectorCount = sectors;
    id.baudRate = baud;
    id.parity = parity;
  };
  if (l == 9) {
    module(0, 128, 115200, TParity::None);
    id.twoChipFlash = true;
    id.setsChip0 = id.setsChip1 = true;
    id.chipStartSector = {0x00, 0x40};
  } else if (t == 0x80) {
    module(1, 128, 230400, TParity::Mark);
    id.setsChip0 = true;
    id.chipStartSector = {0x00, 0x00};
  } else if (t == 0x81) {
    module(1, 256, 230400, TParity::Mark);
    id.twoChipFlash = true;
    id.setsChip0 = id.setsChip1 = true;
    id.chipStartSector = {0x00, 0x80};
  } else if (t >= 0x82 && t <= 0x85) {
    static constexpr uint16_t sectors[] = {1024, 512, 256, 2048};
    module(2, sectors[t - 0x82], 230400, TParity::None);
  } else if (t == 0x00) {
    id.result = IdentifyResult::ProgramError;
    id.generation = 2;
  } else if (t >= 0x89 && t <= 0x8B) {
    static constexpr uint16_t sectors[] = {16384, 32768, 59999};
    module(3, sectors[t - 0x89], 230400, TParity::None);
  }
  return id;
}

std::string generationName(uint8_t generation) {
  static const char* const names[] = {"Ostrel I", "Ostrel II", "Ostrel III", "Ostrel IV"};
  return names[generation & 3];
}

std::vector<std::string> hardwareLines(const Identification& id) {
  std::vector<std::string> lines;
  lines.push_back("Hardware: " + generationName(id.generation));
  if (id.generation <= 1)
    lines.push_back(id.sectorCount == 128 ? "Total space: 8MB" : "Total space: 16MB");
  else
    lines.push_back("Total space:" + std::to_string(id.sectorCount / 16) + "MB");
  lines.push_back(id.twoChipFlash ? "TWO CHIP FLASH INSIDE" : "ONE CHIP FLASH INSIDE");
  return lines;
}

std::string identityText(const uint8_t* four) {
  return upperHex(four[0], 2) + " " + upperHex(four[1], 2) + " " + upperHex(four[2], 2) + " " +
         upperHex(four[3], 2);
}

std::string idHexText(const std::array<uint8_t, 8>& identity) {
  return upperHex(identity[4], 2) + upperHex(identity[5], 2) + upperHex(identity[6], 2) +
         upperHex(identity[7], 2);
}

std::string ost3IdDisplayText(const uint8_t* id) {
  const uint8_t b0 = id[0], b1 = id[1], b2 = id[2], b3 = id[3];
  if (b0 == 0x00 && b1 == 0x01 && b2 >= 0x51 && b2 <= 0x5F) {
    unsigned v = unsigned(b2 - 0x51) * 256 + b3 + 100;
    return "RR 00 " + dec2(v / 100) + " " + dec2(v % 100);
  }
  if (b0 == 0x00 && b1 == 0x00 && b2 >= 0x2C && b2 <= 0x2F)
    return "RR " + upperHex(uint8_t(b1 + 1), 2) + " " + upperHex(b2, 2) + " " + upperHex(b3, 2);
  return identityText(id);
}

}  // namespace ostrel
