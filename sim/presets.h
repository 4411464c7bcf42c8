// Cartridge contents a simulated module can start with, serialised here on
// their own (the simulator is an independent check of the program's readers).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/flash_store.h"
#include "sim/module_sim.h"

namespace ostrel {

enum class SimPreset : uint8_t { Blank, Demo };

std::optional<SimPreset> parseSimPreset(const std::string& name);

// One catalogue record of the demo cartridge.
struct SimFatEntry {
  uint8_t kind = 2;
  uint8_t attribute = 0;
  std::string brand;
  std::string version;
  std::string versionExtra;
  uint16_t startSector = 0;
  uint16_t sectorCount = 0;
  std::string path;  // directories separated by '\', no leading separator
};

inline constexpr uint16_t kSimUnmappedSector = 60020;

// The demo catalogue: the "OBDII" base software at sector 0 (its run holds the
// FAT sector 1), twelve fictional brands in folders up to four levels deep,
// one alias pair (entries 5 and 6 share their sectors) and free sectors 26..31.
// In languages 1..3 the continents' folders have the language's names, stored
// in its legacy code page as a cartridge written there would hold them.
std::vector<SimFatEntry> demoCatalogue(int language = 0);

// The 65536-byte FAT sector: 108-byte header (A1 1E, 0x0200, sectorCount,
// 100 zero bytes, entry count), entries 1..151 from offset 108 and entries
// from 152 on at 32768, 212 bytes each, numbers big-endian.
std::vector<uint8_t> buildFatSector(const std::vector<SimFatEntry>& entries, uint16_t sectorCount);

// The Ostrel IV mapping table image (131072 bytes: sector 60000 then 60001):
// 65536 big-endian words, "MORVANTE" in words 65520..65523, word 65535 the
// 16-bit sum of words 0..65534.
std::vector<uint8_t> buildMappingTable(const std::vector<uint16_t>& words);

// Physical sector the demo puts logical sector L on (Ostrel IV).
uint16_t demoPhysicalSector(uint32_t logical, uint16_t sectorCount);

// Content of a demo data sector: a text line naming the software, the
// sector's place in it and its logical number, then bytes from a small
// generator started from the logical number.
std::vector<uint8_t> demoSectorData(const std::string& brand, uint32_t index, uint32_t count,
                                    uint32_t logical);

// Writes the preset onto the flash (which should be erased). False when the
// flash refused a write.
bool applySimPreset(SimPreset preset, const SimConfig& config, FlashStore& flash, int language = 0);

// The timings of ostrel-sim --quick, for demos: base with short sector and
// block erases, Ostrel III/IV chip erase and quality-control steps. An
// Ostrel I/II chip erase keeps its full time, since the host takes one
// shorter than its standard time for a failed erase.
SimTimings quickSimTimings(SimGeneration generation, SimTimings base = {});

}  // namespace ostrel
