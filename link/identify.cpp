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

// What a type code says about the module. Ostrel I is known by the length of
// its answer (nine data bytes), not by a type code.
struct ModuleRow {
  uint8_t typeCode;
  Generation generation;
  uint16_t sectorCount;
  uint32_t baudRate;
  TParity parity;
  bool twoChipFlash;
  bool setsChip0;
  bool setsChip1;
  std::array<uint8_t, 2> chipStartSector;
};

constexpr ModuleRow kOstrel1Row = {0x00, OstrelI, 128,  115200,      TParity::None,
                                   true, true,    true, {0x00, 0x40}};

constexpr ModuleRow kModuleRows[] = {
    {0x80, OstrelII, 128, 230400, TParity::Mark, false, true, false, {0x00, 0x00}},
    {0x81, OstrelII, 256, 230400, TParity::Mark, true, true, true, {0x00, 0x80}},
    {0x82, OstrelIII, 1024, 230400, TParity::None, false, false, false, {}},
    {0x83, OstrelIII, 512, 230400, TParity::None, false, false, false, {}},
    {0x84, OstrelIII, 256, 230400, TParity::None, false, false, false, {}},
    {0x85, OstrelIII, 2048, 230400, TParity::None, false, false, false, {}},
    {0x89, OstrelIV, 16384, 230400, TParity::None, false, false, false, {}},
    {0x8A, OstrelIV, 32768, 230400, TParity::None, false, false, false, {}},
    {0x8B, OstrelIV, 59999, 230400, TParity::None, false, false, false, {}},
};

// The type code of an Ostrel III whose program failed.
constexpr uint8_t kProgramErrorType = 0x00;

const ModuleRow* findRow(size_t length, uint8_t typeCode) {
  if (length == 9) return &kOstrel1Row;
  for (const ModuleRow& row : kModuleRows)
    if (row.typeCode == typeCode) return &row;
  return nullptr;
}

}  // namespace

Identification identifyModule(const uint8_t* reply, size_t size, int buildMode) {
  Identification id;
  if (size < 2) return id;
  const size_t l = reply[0] & 0x7F;
  if (l >= size) return id;
  uint8_t t = reply[l];
  if (buildMode == DebugBuild && t == kProgramErrorType) t = 0x84;
  id.typeCode = t;
  if (const ModuleRow* row = findRow(l, t)) {
    id.result = IdentifyResult::Module;
    id.generation = row->generation;
    id.sectorCount = row->sectorCount;
    id.baudRate = row->baudRate;
    id.parity = row->parity;
    id.twoChipFlash = row->twoChipFlash;
    id.setsChip0 = row->setsChip0;
    id.setsChip1 = row->setsChip1;
    id.chipStartSector = row->chipStartSector;
  } else if (t == kProgramErrorType) {
    id.result = IdentifyResult::ProgramError;
    id.generation = OstrelIII;
  }
  return id;
}

std::string generationName(Generation generation) {
  static const char* const names[] = {"Ostrel I", "Ostrel II", "Ostrel III", "Ostrel IV"};
  return names[generation & 3];
}

std::vector<std::string> hardwareLines(const Identification& id) {
  std::vector<std::string> lines;
  lines.push_back("Hardware: " + generationName(id.generation));
  if (id.generation <= OstrelII)
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
