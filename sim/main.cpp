// ostrel-sim: an emulated Ostrel module on a pseudo-terminal.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/version.h"
#include "sim/cartridge_tool.h"
#include "sim/flash_store.h"
#include "sim/module_sim.h"
#include "sim/presets.h"
#include "sim/pty_runner.h"

using namespace ostrel;

namespace {

const char* kHelp = R"(Usage: ostrel-sim [options]
       ostrel-sim dump|poke CARTRIDGE ...   (below)

Emulates an Ostrel module (generations I to IV) on a pseudo-terminal and
publishes the terminal as a link in the virtual-port folder
($XDG_RUNTIME_DIR/ostrel-ports, else /tmp/ostrel-ports-<uid>, made with mode
0700), where the file manager's port scan finds it. A folder that is not your
own or that others can write to is refused. Prints the terminal and the
link, then serves until SIGINT or SIGTERM; the link is removed and the
cartridge file is left consistent on the way out.

Module:
  --type HEX          TypeCode the module reports (default 84): 80 Ostrel II
                      8 MB, 81 Ostrel II 16 MB, 82/83/84/85 Ostrel III
                      1024/512/256/2048 sectors, 89/8A/8B Ostrel IV
                      16384/32768/59999 sectors; 00 or any other code is
                      reported as given (the module then speaks Ostrel III)
                        e.g. --type 8B
  --ostrel1           an Ostrel I (identify reply without TypeCode, 128 sectors)
  --generation G      ost1, ost2 (TypeCode 81), ost3 (84) or ost4 (89)
                        e.g. --generation ost3
  --sectors N         override the sector count      e.g. --sectors 512
  --aux "B B B B"     auxiliary number, 4 hex bytes  e.g. --aux "00 00 00 01"
  --id "B B B B"      ID, 4 hex bytes                e.g. --id "12 34 56 78"

Cartridge:
  --cartridge FILE    keep the flash in FILE (a sparse image: header, sector
                      index, data of written sectors only); content survives
                      restarts. Without it the flash lives in memory.
                        e.g. --cartridge ~/ost4.cart
  --preset NAME       blank or demo (default demo): content of a new
                      cartridge; an existing file keeps its content
                        e.g. --preset blank
  --reset             erase an existing cartridge file and apply the preset
  --language N        language of the cartridge the demo preset writes: 0
                      English (default); 1 Traditional Chinese, 2 Simplified
                      Chinese, 3 Japanese name the continents' folders in the
                      language, stored in its legacy code page (CP950, CP936,
                      CP932) as on a cartridge written there  e.g. --language 3

Link:
  --throughput BPS    limit the bytes per second in each direction
                      (default unlimited)            e.g. --throughput 23040
  --quick             short erase and quality-control times, for demos:
                      sector and block erases 100 ms, quality-control
                      start 200 ms, Ostrel III/IV chip erase 3 s; an
                      Ostrel I/II chip erase keeps its full 34 s / 26 s,
                      as the file manager takes a faster one for a fault
  --instant           answer commands, chunks, reads and checks without any
                      firmware delay (for measuring the host's own cost)
  --split-replies N   send every burst in pieces cut at random points, 1 ms
                      apart, the same for the same N (for the fast link)
  --trailing-byte     Ostrel III/IV: follow every acknowledgement 1 ms later
                      with a byte 00, which only a host that waits for a
                      quiet line takes as part of the reply (the fast link
                      then falls back to quiet-gap framing)
  --chip-erase-ms MS  chip erase time, also with --quick
                        e.g. --chip-erase-ms 40000
  --qc-mark-ms MS     time between QC progress marks e.g. --qc-mark-ms 40
  --name NAME         link name (default sim-<pid>)  e.g. --name ost3
  --port-dir DIR      virtual-port folder            e.g. --port-dir /tmp/ports

Faults (repeatable):
  --fault chunk-nack=S:K[:always]  data chunk K (0..15) of sector S is not
                                   acknowledged, once or always
                                     e.g. --fault chunk-nack=2:3
  --fault wrong-sum[:always]       sum/xor reports are wrong once or always
  --fault silence-after=N          no answer from command N+1 on
                                     e.g. --fault silence-after=5
  --fault fast-erase=MS            chip erase takes MS (shorter than the
                                   standard time)  e.g. --fault fast-erase=20000
  --fault bad-checksum[:always]    framed replies with a wrong checksum
  --fault pull-cable-after=BYTES   after BYTES host bytes the terminal is
                                   closed (cable pulled), exit code 3
                                     e.g. --fault pull-cable-after=20000
  --fault qc-fail=bracket|backslash  a QC step ends in D0 after its first
                                   '[' or '\' mark
  --fault qc-fail=silent|serial    a QC step sends nothing after its first
                                   mark (hung until restarted), or ends in
                                   'Z' with another serial number

Checks:
  --strict-log FILE   record every protocol violation by the host as a line
                      "<tick> <text>" in FILE    e.g. --strict-log /tmp/v.log
  --stats FILE        on SIGUSR1 and at the end, replace FILE with one line
                      "host-bytes N module-bytes N firmware-us N erase-us N":
                      the bytes each way, the firmware's own time so far and
                      the part of it spent erasing, from which a benchmark
                      works out the least time the exchanges need
  --verbose           log the traffic to stderr
  --help              this text
  --version           the version

Example:
  ostrel-sim --type 8B --cartridge /tmp/ost4.cart --preset demo --quick
)";

bool parseHexBytes(const std::string& s, uint8_t* out, size_t n) {
  std::string digits;
  for (char c : s)
    if (c != ' ' && c != ':' && c != '-') digits += c;
  if (digits.size() != 2 * n) return false;
  for (size_t i = 0; i < n; ++i) {
    char* end = nullptr;
    std::string pair = digits.substr(2 * i, 2);
    long v = std::strtol(pair.c_str(), &end, 16);
    if (*end) return false;
    out[i] = uint8_t(v);
  }
  return true;
}

bool parseUint(const std::string& s, uint64_t& v, int base = 10) {
  if (s.empty()) return false;
  char* end = nullptr;
  v = std::strtoull(s.c_str(), &end, base);
  return *end == 0;
}

bool parseFault(const std::string& text, SimFaults& f) {
  auto eq = text.find('=');
  std::string key = text.substr(0, std::min(text.find(':'), eq));
  std::string arg = eq == std::string::npos ? "" : text.substr(eq + 1);
  bool always = text.size() >= 7 && text.compare(text.size() - 7, 7, ":always") == 0;
  SimRepeat rep = always ? SimRepeat::Always : SimRepeat::Once;
  uint64_t v = 0;
  if (key == "chunk-nack") {
    unsigned s = 0, k = 0;
    if (std::sscanf(arg.c_str(), "%u:%u", &s, &k) != 2 || k > 15) return false;
    f.chunkNack = SimFaults::ChunkNack{s, uint8_t(k), rep};
  } else if (key == "wrong-sum") {
    f.wrongSum = rep;
  } else if (key == "bad-checksum") {
    f.badReplyChecksum = rep;
  } else if (key == "silence-after") {
    if (!parseUint(arg, v)) return false;
    f.silenceAfterCommands = uint32_t(v);
  } else if (key == "fast-erase") {
    if (!parseUint(arg, v)) return false;
    f.chipEraseMs = uint32_t(v);
  } else if (key == "pull-cable-after") {
    if (!parseUint(arg, v)) return false;
    f.pullCableAfterHostBytes = v;
  } else if (key == "qc-fail") {
    if (arg == "bracket")
      f.qcFailure = QcFailure::AfterOpenBracket;
    else if (arg == "backslash")
      f.qcFailure = QcFailure::AfterBackslash;
    else if (arg == "silent")
      f.qcFailure = QcFailure::Silent;
    else if (arg == "serial")
      f.qcFailure = QcFailure::WrongSerial;
    else
      return false;
  } else {
    return false;
  }
  return true;
}

int usageError(const std::string& what) {
  std::fprintf(stderr, "ostrel-sim: %s (see --help)\n", what.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  SimConfig config = SimConfig::fromTypeCode(0x84);
  std::array<uint8_t, 8> identity = config.identity;
  std::optional<uint16_t> sectors;
  std::string cartridge;
  SimPreset preset = SimPreset::Demo;
  bool reset = false;
  int language = 0;
  bool ostrel1 = false;
  uint8_t typeCode = 0x84;
  SimFaults faults;
  SimTimings timings;
  bool quick = false;
  std::optional<uint32_t> chipEraseMs;
  std::optional<uint32_t> splitReplies;
  bool trailingByte = false;
  PtyOptions pty;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (isCartridgeCommand(args)) return runCartridgeCommand(args);
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) return false;
      out = args[++i];
      return true;
    };
    std::string v;
    uint64_t n = 0;
    if (a == "--version") {
      std::fputs(versionText("ostrel-sim").c_str(), stdout);
      return 0;
    } else if (a == "--help" || a == "-h") {
      std::fputs(kHelp, stdout);
      std::fputs("\n", stdout);
      std::fputs(kCartridgeCommandsHelp, stdout);
      return 0;
    } else if (a == "--type") {
      if (!value(v) || !parseUint(v, n, 16) || n > 0xFF) return usageError("bad --type");
      typeCode = uint8_t(n);
    } else if (a == "--ostrel1") {
      ostrel1 = true;
    } else if (a == "--generation") {
      // Shorthand for the usual module of each generation.
      if (!value(v)) return usageError("--generation needs ost1..ost4");
      if (v == "ost1") {
        ostrel1 = true;
      } else if (v == "ost2") {
        typeCode = 0x81;
      } else if (v == "ost3") {
        typeCode = 0x84;
      } else if (v == "ost4") {
        typeCode = 0x89;
      } else {
        return usageError("bad --generation " + v);
      }
    } else if (a == "--sectors") {
      if (!value(v) || !parseUint(v, n) || n == 0 || n > 65535) return usageError("bad --sectors");
      sectors = uint16_t(n);
    } else if (a == "--aux") {
      if (!value(v) || !parseHexBytes(v, identity.data(), 4)) return usageError("bad --aux");
    } else if (a == "--id") {
      if (!value(v) || !parseHexBytes(v, identity.data() + 4, 4)) return usageError("bad --id");
    } else if (a == "--cartridge") {
      if (!value(cartridge)) return usageError("--cartridge needs a file");
    } else if (a == "--preset") {
      if (!value(v) || !parseSimPreset(v)) return usageError("bad --preset");
      preset = *parseSimPreset(v);
    } else if (a == "--reset") {
      reset = true;
    } else if (a == "--language") {
      if (!value(v) || v.size() != 1 || v[0] < '0' || v[0] > '3')
        return usageError("--language takes 0..3");
      language = v[0] - '0';
    } else if (a == "--throughput") {
      if (!value(v) || !parseUint(v, n) || n > UINT32_MAX) return usageError("bad --throughput");
      timings.throughputBytesPerSec = uint32_t(n);
    } else if (a == "--quick") {
      quick = true;
    } else if (a == "--instant") {
      // No firmware time at all: what is left is the host's and the line's own cost.
      timings.replyDelayMs = timings.chunkAckDelayMs = timings.programMs = 0;
      timings.readDelayMs = timings.checkMs = timings.ost4WriteEraseMs = 0;
    } else if (a == "--split-replies") {
      if (!value(v) || !parseUint(v, n) || n > UINT32_MAX) return usageError("bad --split-replies");
      splitReplies = uint32_t(n);
    } else if (a == "--trailing-byte") {
      trailingByte = true;
    } else if (a == "--chip-erase-ms") {
      if (!value(v) || !parseUint(v, n) || n > UINT32_MAX) return usageError("bad --chip-erase-ms");
      chipEraseMs = uint32_t(n);
    } else if (a == "--qc-mark-ms") {
      if (!value(v) || !parseUint(v, n) || n > 60000) return usageError("bad --qc-mark-ms");
      timings.qcMarkIntervalMs = uint32_t(n);
    } else if (a == "--name") {
      if (!value(pty.linkName) || pty.linkName.find('/') != std::string::npos)
        return usageError("bad --name");
    } else if (a == "--port-dir") {
      if (!value(pty.portDir)) return usageError("--port-dir needs a folder");
    } else if (a == "--fault") {
      if (!value(v) || !parseFault(v, faults)) return usageError("bad --fault " + v);
    } else if (a == "--stats") {
      if (!value(pty.statsFile)) return usageError("--stats needs a file");
    } else if (a == "--strict-log") {
      if (!value(pty.strictLog)) return usageError("--strict-log needs a file");
    } else if (a == "--verbose") {
      pty.verbose = true;
    } else {
      return usageError("unknown option " + a);
    }
  }

  config = ostrel1 ? SimConfig::ostrel1() : SimConfig::fromTypeCode(typeCode);
  if (sectors) config.sectorCount = *sectors;
  config.identity = identity;
  config.faults = faults;
  // The quick timings depend on the generation; --chip-erase-ms wins over them.
  if (quick) timings = quickSimTimings(config.generation, timings);
  if (chipEraseMs) timings.chipEraseMs = *chipEraseMs;
  config.timings = timings;
  config.strict = !pty.strictLog.empty();
  config.splitReplies = splitReplies;
  config.trailingByte = trailingByte;

  std::unique_ptr<FlashStore> store;
  bool fresh = true;
  if (!cartridge.empty()) {
    std::string error;
    store = FlashStore::openFile(cartridge, config.flashCapacity(), error, &fresh);
    if (!store) {
      std::fprintf(stderr, "ostrel-sim: %s\n", error.c_str());
      return 1;
    }
  } else {
    store = std::make_unique<FlashStore>(config.flashCapacity());
  }
  if (reset) store->eraseAll();
  if ((fresh || reset) && !applySimPreset(preset, config, *store, language)) {
    std::fprintf(stderr, "ostrel-sim: the preset does not fit this cartridge\n");
    return 1;
  }
  store->sync();

  ModuleSim sim(config, std::move(store));
  PtyRunner runner(sim, pty);
  std::string error;
  if (!runner.start(error)) {
    std::fprintf(stderr, "ostrel-sim: %s\n", error.c_str());
    return 1;
  }
  std::printf("ostrel-sim: %s\n", config.describe().c_str());
  std::printf("pty: %s\nlink: %s\n", runner.slavePath().c_str(), runner.linkPath().c_str());
  std::fflush(stdout);
  return runner.run();
}
