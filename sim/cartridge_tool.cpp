#include "sim/cartridge_tool.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <span>

#include "sim/flash_store.h"
#include "sim/module_sim.h"

namespace ostrel {

const char* const kCartridgeCommandsHelp =
    R"(Cartridge files (stop the simulator that serves the file first):
  ostrel-sim dump CARTRIDGE -o IMAGE [--first N] [--last M] [--physical]
      Writes sectors N..M of the cartridge to IMAGE, 65536 bytes each. On an
      Ostrel IV cartridge (a file made for 60002 physical sectors) these are
      logical sectors: each comes from the physical sector the mapping table
      in sectors 60000/60001 names, and an unmapped one reads as erased
      (0xFF). --physical takes the physical sectors instead. N defaults to 0,
      M to the last sector (on an Ostrel IV the highest mapped logical one).
      Numbers are decimal or hex with 0x.
        e.g. ostrel-sim dump ~/ost4.cart -o ost4.img --first 0 --last 127
  ostrel-sim poke CARTRIDGE OFFSET VALUE [--physical]
      Sets the byte at OFFSET of the image dump writes (from sector 0) to
      VALUE, as no flash would on its own: for trying out a verify.
        e.g. ostrel-sim poke ~/ost3.cart 0x30010 0x5A
)";

namespace {

constexpr uint32_t kTableSector = 60000;  // words 0..32767; 60001 holds the rest
// Physical data sectors lie below the table's own; a word at or above this
// (60020 for "unmapped", 0xFFFF when erased) maps nothing.
constexpr uint32_t kPoolLimit = 60000;
// Words from 65520 on are the signature and the checksum, no sectors.
constexpr uint32_t kSignatureWord = 65520, kChecksumWord = 65535;
constexpr char kSignature[] = "MORVANTE";

int usage(const std::string& what) {
  std::fprintf(stderr, "ostrel-sim: %s (see --help)\n", what.c_str());
  return 2;
}

int failure(const std::string& what) {
  std::fprintf(stderr, "ostrel-sim: %s\n", what.c_str());
  return 1;
}

std::optional<uint64_t> parseNumber(const std::string& text, uint64_t max) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (*end || errno || v > max) return std::nullopt;
  return v;
}

// A cartridge file and where its sectors lie.
struct Cartridge {
  std::unique_ptr<FlashStore> flash;
  bool mapped = false;          // Ostrel IV logical order
  std::vector<uint16_t> words;  // the mapping table, when mapped

  // Sectors that can be addressed.
  uint32_t limit() const { return mapped ? kSignatureWord : flash->capacity(); }
  std::optional<uint32_t> physicalOf(uint32_t sector) const {
    if (!mapped) return sector;
    const uint32_t p = words[sector];
    if (p >= kPoolLimit || p >= flash->capacity()) return std::nullopt;
    return p;
  }
  std::optional<uint32_t> lastSector() const {
    if (!mapped) return flash->capacity() - 1;
    for (uint32_t s = kSignatureWord; s-- > 0;)
      if (physicalOf(s)) return s;
    return std::nullopt;
  }
};

bool openCartridge(const std::string& path, bool physical, Cartridge& c, std::string& error) {
  if (!std::filesystem::is_regular_file(path)) {
    error = path + " is no cartridge file";
    return false;
  }
  const uint32_t capacity = FlashStore::fileCapacity(path, error);
  if (capacity == 0) return false;
  c.flash = FlashStore::openFile(path, capacity, error);
  if (!c.flash) return false;
  if (physical || capacity != SimConfig::fromTypeCode(0x89).flashCapacity()) return true;

  c.mapped = true;
  std::vector<uint8_t> image(2 * kSimSectorSize);
  const std::span<uint8_t> all(image);
  if (!c.flash->read(kTableSector, all.first(kSimSectorSize)) ||
      !c.flash->read(kTableSector + 1, all.last(kSimSectorSize))) {
    error = "cannot read the mapping table of " + path;
    return false;
  }
  c.words.resize(image.size() / 2);
  uint16_t sum = 0;
  for (size_t i = 0; i < c.words.size(); ++i) {
    c.words[i] = uint16_t(image[2 * i] << 8 | image[2 * i + 1]);
    if (i < kChecksumWord) sum = uint16_t(sum + c.words[i]);
  }
  bool signedTable = true;
  for (uint32_t k = 0; k < 4; ++k)
    signedTable &= c.words[kSignatureWord + k] ==
                   uint16_t(uint8_t(kSignature[2 * k]) << 8 | uint8_t(kSignature[2 * k + 1]));
  if (!signedTable || sum != c.words[kChecksumWord]) {
    error = path + ": the mapping table in sectors 60000/60001 is missing or damaged (--physical " +
            "reads the physical sectors)";
    return false;
  }
  return true;
}

int dump(const std::vector<std::string>& args) {
  std::string cartridge, output;
  std::optional<uint64_t> first, last;
  bool physical = false;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool hasValue = i + 1 < args.size();
    if (a == "-o" && hasValue) {
      output = args[++i];
    } else if ((a == "--first" || a == "--last") && hasValue) {
      const auto v = parseNumber(args[++i], 0xFFFF);
      if (!v) return usage("bad " + a + " " + args[i]);
      (a == "--first" ? first : last) = v;
    } else if (a == "--physical") {
      physical = true;
    } else if (cartridge.empty() && !a.empty() && a[0] != '-') {
      cartridge = a;
    } else {
      return usage("dump: unexpected " + a);
    }
  }
  if (cartridge.empty() || output.empty()) return usage("dump needs CARTRIDGE and -o IMAGE");

  Cartridge c;
  std::string error;
  if (!openCartridge(cartridge, physical, c, error)) return failure(error);
  if (!last) last = c.lastSector();
  if (!last) return failure(cartridge + ": no logical sector is mapped");
  if (!first) first = 0;
  if (*first > *last || *last >= c.limit())
    return usage("sectors " + std::to_string(*first) + ".." + std::to_string(*last) +
                 " are not on this cartridge (0.." + std::to_string(c.limit() - 1) + ")");

  std::ofstream out(output, std::ios::binary | std::ios::trunc);
  std::vector<uint8_t> sector(kSimSectorSize);
  uint32_t unmapped = 0;
  for (uint64_t s = *first; s <= *last && out; ++s) {
    const std::optional<uint32_t> p = c.physicalOf(uint32_t(s));
    if (!p) {
      std::fill(sector.begin(), sector.end(), 0xFF);
      ++unmapped;
    } else if (!c.flash->read(*p, sector)) {
      return failure(c.flash->lastError());
    }
    out.write(reinterpret_cast<const char*>(sector.data()), std::streamsize(sector.size()));
  }
  out.close();
  if (!out) {
    std::error_code ec;
    std::filesystem::remove(output, ec);
    return failure("cannot write " + output);
  }
  std::printf("%s: %s sectors %llu..%llu\n", output.c_str(), c.mapped ? "logical" : "physical",
              (unsigned long long)*first, (unsigned long long)*last);
  if (unmapped)
    std::fprintf(stderr, "ostrel-sim: %u unmapped logical sectors written as erased\n", unmapped);
  return 0;
}

int poke(const std::vector<std::string>& args) {
  std::vector<std::string> positional;
  bool physical = false;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--physical")
      physical = true;
    else if (!args[i].empty() && args[i][0] != '-')
      positional.push_back(args[i]);
    else
      return usage("poke: unexpected " + args[i]);
  }
  if (positional.size() != 3) return usage("poke needs CARTRIDGE OFFSET VALUE");
  const auto offset = parseNumber(positional[1], uint64_t(kSimSectorSize) * 65536 - 1);
  const auto value = parseNumber(positional[2], 0xFF);
  if (!offset || !value) return usage("bad OFFSET or VALUE");

  Cartridge c;
  std::string error;
  if (!openCartridge(positional[0], physical, c, error)) return failure(error);
  const uint32_t logical = uint32_t(*offset / kSimSectorSize);
  if (logical >= c.limit()) return usage("offset beyond the cartridge");
  const std::optional<uint32_t> p = c.physicalOf(logical);
  if (!p) return failure("logical sector " + std::to_string(logical) + " is unmapped");
  std::vector<uint8_t> data = c.flash->read(*p);
  data[*offset % kSimSectorSize] = uint8_t(*value);
  if (!c.flash->erase(*p) || !c.flash->program(*p, 0, data) || !c.flash->sync())
    return failure(c.flash->lastError());
  return 0;
}

}  // namespace

bool isCartridgeCommand(const std::vector<std::string>& args) {
  return !args.empty() && (args[0] == "dump" || args[0] == "poke");
}

int runCartridgeCommand(const std::vector<std::string>& args) {
  return args.at(0) == "dump" ? dump(args) : poke(args);
}

}  // namespace ostrel
