// Decoding the module's answer to the identify probe.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/module_kinds.h"
#include "link/transport.h"

namespace ostrel {

enum class IdentifyResult : uint8_t { Module, UnknownHardware, ProgramError };

struct Identification {
  IdentifyResult result = IdentifyResult::UnknownHardware;
  uint8_t typeCode = 0;
  Generation generation = OstrelI;
  uint16_t sectorCount = 0;
  bool twoChipFlash = false;
  bool setsChip0 = false;
  bool setsChip1 = false;
  std::array<uint8_t, 2> chipStartSector{};
  uint32_t baudRate = 0;
  TParity parity = TParity::None;
};

// reply: the framed 0xC0 answer as it lies in the reply buffer (byte 0 holds
// the length, the TypeCode is the last data byte). BuildMode 0 reads a
// TypeCode of 0x00 as 0x84.
Identification identifyModule(const uint8_t* reply, size_t size, int buildMode);

// "Ostrel I".."Ostrel IV".
std::string generationName(Generation generation);

// "Hardware: ...", "Total space: ...", "... FLASH INSIDE" for a recognised module.
std::vector<std::string> hardwareLines(const Identification& id);

// Four bytes as "AA BB CC DD".
std::string identityText(const uint8_t* four);
// The ID (identity bytes 4..7) as eight hex digits, used in file names.
std::string idHexText(const std::array<uint8_t, 8>& identity);
// How an Ostrel III shows its ID.
std::string ost3IdDisplayText(const uint8_t* id);

}  // namespace ostrel
