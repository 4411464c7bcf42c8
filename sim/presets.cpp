#include "sim/presets.h"

#include <array>
#include <cstring>
#include <string_view>

#include "app/text_helpers.h"

namespace ostrel {

std::optional<SimPreset> parseSimPreset(const std::string& name) {
  if (name == "blank") return SimPreset::Blank;
  if (name == "demo") return SimPreset::Demo;
  return std::nullopt;
}

namespace {

// The demo's entries with English folder names.
std::vector<SimFatEntry> demoEntries() {
  // clang-format off
  return {
      {2, 0, "OBDII", "91 V4.10", "2026-06-01", 0, 4, ""},
      {2, 0, "Corvenne", "V2.10", "EU 2025-11", 4, 3, "EUROPE\\FRANCE"},
      {2, 0, "Halvard", "V1.03", "NO", 7, 2, "EUROPE\\NORDIC\\NORWAY"},
      {2, 0, "Ostmark", "V5.22", "DE", 9, 5, "EUROPE\\GERMANY"},
      {2, 0, "Brenna", "V3.00", "IT", 14, 3, "EUROPE\\ITALY"},
      {2, 0, "Brenna Classic", "V3.00", "IT", 14, 3, "EUROPE\\ITALY\\CLASSIC"},
      {2, 0, "Kestrel Motors", "V1.40", "JP", 17, 4, "ASIA\\JAPAN\\KANTO\\TOKYO"},
      {2, 0, "Sunaga", "V2.01", "JP", 21, 2, "ASIA\\JAPAN"},
      {2, 0, "Taemin", "V1.12", "KR", 23, 3, "ASIA\\KOREA"},
      {2, 0, "Rivelle", "V4.31", "US", 32, 4, "AMERICA\\NORTH\\USA\\DETROIT"},
      {2, 0, "Paloma", "V1.00", "BR", 36, 2, "AMERICA\\SOUTH\\BRAZIL"},
      {2, 0, "Zanfir", "V0.90", "", 38, 1, ""},
      {2, 0, "Quellor", "V2.75", "CA", 39, 3, "AMERICA\\NORTH\\CANADA"},
      {2, 0, "Arvinta", "V1.08", "ES", 42, 2, "EUROPE\\SPAIN"},
  };
  // clang-format on
}

// The demo's top folders by language, in UTF-8. None of the legacy forms has
// a 0x5C byte, which a reader would take for a folder separator.
constexpr std::array<std::array<std::string_view, 3>, 4> kContinents = {{
    {"EUROPE", "ASIA", "AMERICA"},
    {"歐洲", "亞洲", "美洲"},
    {"欧洲", "亚洲", "美洲"},
    {"ヨーロッパ", "アジア", "アメリカ"},
}};

void nameContinent(std::string& path, int language) {
  for (size_t k = 0; k < kContinents[0].size(); ++k) {
    const std::string_view english = kContinents[0][k];
    if (path.compare(0, english.size(), english) != 0) continue;
    if (path.size() > english.size() && path[english.size()] != '\\') continue;
    std::string legacy;
    if (utf8ToLegacy(language, kContinents[size_t(language)][k], legacy))
      path.replace(0, english.size(), legacy);
    return;
  }
}

}  // namespace

std::vector<SimFatEntry> demoCatalogue(int language) {
  std::vector<SimFatEntry> entries = demoEntries();
  if (language > 0 && language < int(kContinents.size()))
    for (SimFatEntry& e : entries) nameContinent(e.path, language);
  return entries;
}

namespace {

void putText(uint8_t* at, size_t size, const std::string& text) {
  std::memcpy(at, text.data(), std::min(size, text.size()));
}

void putBe16(uint8_t* at, uint16_t v) {
  at[0] = uint8_t(v >> 8);
  at[1] = uint8_t(v);
}

}  // namespace

std::vector<uint8_t> buildFatSector(const std::vector<SimFatEntry>& entries, uint16_t sectorCount) {
  std::vector<uint8_t> s(kSimSectorSize, 0);
  s[0] = 0xA1;
  s[1] = 0x1E;
  putBe16(&s[2], 0x0200);
  putBe16(&s[4], sectorCount);
  size_t n = std::min<size_t>(entries.size(), 256);
  putBe16(&s[106], uint16_t(n));
  for (size_t k = 1; k <= n; ++k) {
    const SimFatEntry& e = entries[k - 1];
    size_t off = k < 152 ? 108 + (k - 1) * 212 : 32768 + (k - 152) * 212;
    uint8_t* p = &s[off];
    p[0] = e.kind;
    p[1] = e.attribute;
    putText(p + 2, 26, e.brand);
    putText(p + 28, 26, e.version);
    putText(p + 54, 26, e.versionExtra);
    putBe16(p + 80, e.startSector);
    putBe16(p + 82, e.sectorCount);
    // pathField: byte 0 is not text; the path from byte 1, NUL-terminated.
    putText(p + 85, e.kind == 1 ? 25 : 93, e.path);
  }
  return s;
}

std::vector<uint8_t> buildMappingTable(const std::vector<uint16_t>& wordsIn) {
  std::vector<uint16_t> w(65536, kSimUnmappedSector);
  std::copy_n(wordsIn.begin(), std::min<size_t>(wordsIn.size(), 65520), w.begin());
  const char* sig = "MORVANTE";
  for (int i = 0; i < 4; ++i)
    w[65520 + i] = uint16_t(uint8_t(sig[2 * i]) << 8 | uint8_t(sig[2 * i + 1]));
  uint16_t sum = 0;
  for (size_t i = 0; i < 65535; ++i) sum = uint16_t(sum + w[i]);
  w[65535] = sum;
  std::vector<uint8_t> img(131072);
  for (size_t i = 0; i < 65536; ++i) putBe16(&img[2 * i], w[i]);
  return img;
}

uint16_t demoPhysicalSector(uint32_t logical, uint16_t sectorCount) {
  // 37 shares no factor with 16385, 32769 or 60000, so the pool positions
  // never collide and the mapping is visibly not the identity.
  uint32_t pool = uint32_t(sectorCount) + 1;
  return uint16_t((logical * 37 + 11) % pool);
}

std::vector<uint8_t> demoSectorData(const std::string& brand, uint32_t index, uint32_t count,
                                    uint32_t logical) {
  std::vector<uint8_t> d(kSimSectorSize);
  std::string head = "OSTREL DEMO|" + brand + "|" + std::to_string(index + 1) + "/" +
                     std::to_string(count) + "|L=" + std::to_string(logical) + "|";
  head.resize(64, '.');
  std::memcpy(d.data(), head.data(), 64);
  uint32_t x = 0x9E3779B9u ^ (logical * 2654435761u) ^ (index + 1);
  for (size_t i = 64; i < d.size(); ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    d[i] = uint8_t(x >> 11);
  }
  return d;
}

bool applySimPreset(SimPreset preset, const SimConfig& config, FlashStore& flash, int language) {
  if (preset == SimPreset::Blank) return true;
  const bool ost4 = config.generation == SimGeneration::Ost4;
  auto entries = demoCatalogue(language);
  auto phys = [&](uint32_t logical) -> uint32_t {
    return ost4 ? demoPhysicalSector(logical, config.sectorCount) : logical;
  };
  bool ok = true;
  std::vector<uint16_t> map(65536, kSimUnmappedSector);
  uint16_t lastStart = 0xFFFF;
  for (const SimFatEntry& e : entries) {
    if (e.startSector == lastStart) continue;  // an alias shares its sectors
    lastStart = e.startSector;
    for (uint32_t k = 0; k < e.sectorCount; ++k) {
      uint32_t logical = e.startSector + k;
      if (logical >= config.sectorCount) return false;
      map[logical] = uint16_t(phys(logical));
      if (logical == 1) continue;  // the FAT sector
      ok &= flash.program(phys(logical), 0, demoSectorData(e.brand, k, e.sectorCount, logical));
    }
  }
  ok &= flash.program(phys(1), 0, buildFatSector(entries, config.sectorCount));
  if (ost4) {
    auto table = buildMappingTable(map);
    ok &= flash.program(60000, 0, std::span<const uint8_t>(table.data(), kSimSectorSize));
    ok &= flash.program(60001, 0,
                        std::span<const uint8_t>(table.data() + kSimSectorSize, kSimSectorSize));
  }
  return ok;
}

SimTimings quickSimTimings(SimGeneration generation, SimTimings t) {
  const bool ost12 = generation == SimGeneration::Ost1 || generation == SimGeneration::Ost2;
  // 0 keeps the generation's own 34000 / 26000 ms, above the host's 33600 / 25200.
  t.chipEraseMs = ost12 ? 0 : 3000;
  t.sectorEraseMs = 100;
  t.bootSubBlockEraseMs = 100;
  t.blockEraseMs = 100;
  t.qcStartMs = 200;
  t.qcSectorMs = 20;
  return t;
}

}  // namespace ostrel
