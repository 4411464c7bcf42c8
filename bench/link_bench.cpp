// What a user measures: ostrel-cli run as a whole process against ostrel-sim
// on a pseudo-terminal, with the simulator's own firmware times (replies,
// programming, erases), on the default link and on quiet-gap framing, on an
// unlimited line and at 1000000 B/s. Each time stands beside its floor: the
// bytes that crossed the line at its rate plus the firmware's own time, as
// ostrel-sim --stats counts them. The rest is the host's: process start,
// files, the protocol and every wake-up on the way of a reply.
//
// Jobs:
//   detect   ostrel-cli detect, process start to the identity printed and to
//            the exit, and the customer window (in this process, offscreen)
//            from the start of its detection to the identity on screen, and
//            ostrel-cli --version beside them: the process start alone
//   program  program and then verify a whole image (16 MiB, the whole 8 MiB
//            on an Ostrel I), every sector erased as the loader plans it
//   install  a package of one piece of software installed on the demo
//            cartridge; on an Ostrel IV also with the firmware's delays off
//            (--instant), the strictest floor
// Runs that wait on erases run side by side (--parallel); the Ostrel IV runs,
// which keep the host busy, run alone afterwards.
//   link_bench [--jobs detect,program,install] [--only I|II|III|IV] [--runs N]
//              [--parallel N] [--image-sectors N] [--install-sectors N]
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/form_main.h"
#include "app/gui/main_window.h"
#include "app/qt_clock.h"
#include "cartfs/fat.h"
#include "e2e/sim_process.h"
#include "link/tcomm.h"

extern char** environ;

namespace {

using namespace ostrel;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kUsbFullSpeed = 1000000;
constexpr size_t kSector = 65536;

struct Generation {
  const char* name;  // "Ostrel III"
  const char* key;   // "III", for --only
  std::vector<std::string> simArgs;
  uint16_t cartridgeSectors;
  int imageSectors;    // a whole image: 16 MiB, or the whole cartridge when smaller
  int installSectors;  // what the demo cartridge has room for
};

const std::vector<Generation>& generations() {
  static const std::vector<Generation> g = {
      {"Ostrel I", "I", {"--ostrel1"}, 128, 128, 80},
      {"Ostrel II", "II", {"--type", "81"}, 256, 256, 80},
      {"Ostrel III", "III", {"--type", "84"}, 256, 256, 100},
      {"Ostrel IV", "IV", {"--type", "89"}, 16384, 256, 100},
  };
  return g;
}

struct Options {
  std::set<std::string> jobs{"detect", "program", "install"};
  std::string only;
  int runs = 11;
  int parallel = 4;
  int imageSectors = 256;
  int installSectors = 100;
};

// A whole process: milliseconds to its exit, and to the first output line
// that starts with mark.
struct Timed {
  double ms = -1;
  double markMs = -1;
  int exitCode = -1;
  std::string out;
};

Timed runTimed(const std::vector<std::string>& args, const std::string& mark = {}) {
  Timed r;
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return r;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> argv = args;
  std::vector<char*> cargv;
  for (std::string& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  pid_t pid = -1;
  const auto start = Clock::now();
  const bool started = posix_spawn(&pid, cargv[0], &actions, nullptr, cargv.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  auto since = [&] {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  };
  char buffer[4096];
  for (ssize_t n; started && (n = ::read(pipeFds[0], buffer, sizeof buffer)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    r.out.append(buffer, size_t(n));
    if (!mark.empty() && r.markMs < 0 &&
        (r.out.rfind(mark, 0) == 0 || r.out.find("\n" + mark) != std::string::npos))
      r.markMs = since();
  }
  ::close(pipeFds[0]);
  int status = 0;
  if (started && ::waitpid(pid, &status, 0) == pid) {
    r.ms = since();
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  return r;
}

// ostrel-sim's counts (--stats): the bytes each way and the firmware's time.
struct SimStats {
  uint64_t hostBytes = 0, moduleBytes = 0;
  double firmwareMs = 0, eraseMs = 0;
};

SimStats operator-(const SimStats& a, const SimStats& b) {
  return {a.hostBytes - b.hostBytes, a.moduleBytes - b.moduleBytes, a.firmwareMs - b.firmwareMs,
          a.eraseMs - b.eraseMs};
}

// A simulated module with its own port folder and statistics file.
class BenchModule {
 public:
  BenchModule(const Generation& g, const char* preset, uint32_t throughput,
              std::vector<std::string> extra = {})
      : statsFile_(dir_.path + "/stats") {
    std::vector<std::string> args = g.simArgs;
    args.insert(args.end(), {"--preset", preset, "--stats", statsFile_});
    // A module of its own: what the program keeps per module (a burn's
    // journal) never meets another run's beside it.
    static std::atomic<int> made{0};
    char id[16];
    std::snprintf(id, sizeof id, "B0 00 %02X %02X", (::getpid() & 0xFF), ++made & 0xFF);
    args.insert(args.end(), {"--id", id});
    if (throughput > 0) args.insert(args.end(), {"--throughput", std::to_string(throughput)});
    args.insert(args.end(), extra.begin(), extra.end());
    sim_ = std::make_unique<test::SimProcess>(dir_.path, "bench", args, false);
  }
  bool running() const { return sim_->running(); }
  const std::string& link() const { return sim_->link(); }
  // The counts so far: asked for with SIGUSR1, read once the file is there;
  // none when it does not come (a floor from missing counts would be wrong).
  std::optional<SimStats> stats() {
    std::filesystem::remove(statsFile_);
    ::kill(sim_->pid(), SIGUSR1);
    SimStats s;
    for (int i = 0; i < 400 && !std::filesystem::exists(statsFile_); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::ifstream in(statsFile_);
    if (!in) {
      std::fprintf(stderr, "link_bench: the simulator's counts did not come\n");
      return std::nullopt;
    }
    std::string key;
    int64_t firmwareUs = 0, eraseUs = 0;
    while (in >> key) {
      if (key == "host-bytes") in >> s.hostBytes;
      if (key == "module-bytes") in >> s.moduleBytes;
      if (key == "firmware-us") in >> firmwareUs;
      if (key == "erase-us") in >> eraseUs;
    }
    s.firmwareMs = double(firmwareUs) / 1000;
    s.eraseMs = double(eraseUs) / 1000;
    return s;
  }

 private:
  test::PortDir dir_;
  std::string statsFile_;
  std::unique_ptr<test::SimProcess> sim_;
};

// A whole-process time beside its floor, and where the time went.
struct Measured {
  bool ok = false;
  double ms = 0;
  SimStats counts;
  uint32_t throughput = 0;
  double lineMs() const {
    return throughput ? double(counts.hostBytes + counts.moduleBytes) * 1000.0 / throughput : 0;
  }
  double floorMs() const { return lineMs() + counts.firmwareMs; }
};

std::vector<std::string> cli(const BenchModule& m, bool fast, std::vector<std::string> args) {
  std::vector<std::string> a{OSTREL_CLI_PATH, "--port", m.link(), "--quiet"};
  if (!fast) a.insert(a.end(), {"--link", "quiet-gap"});
  a.insert(a.end(), args.begin(), args.end());
  return a;
}

Measured measure(BenchModule& m, uint32_t throughput, const std::vector<std::string>& argv) {
  Measured r;
  r.throughput = throughput;
  const std::optional<SimStats> before = m.stats();
  const Timed t = runTimed(argv);
  const std::optional<SimStats> after = m.stats();
  if (before && after) r.counts = *after - *before;
  r.ms = t.ms;
  r.ok = t.exitCode == 0 && before && after;
  return r;
}

const char* linkLabel(bool fast) {
  return fast ? "default (fast)" : "quiet-gap";
}

std::string lineLabel(uint32_t throughput) {
  return throughput ? std::to_string(throughput) + " B/s" : "unlimited";
}

std::string seconds(double ms) {
  char b[32];
  std::snprintf(b, sizeof b, ms < 10000 ? "%.2f" : "%.1f", ms / 1000);
  return b;
}

// "12.3 (floor 11.8, 104%)"
std::string againstFloor(const Measured& m) {
  if (!m.ok) return "FAILED";
  char b[96];
  std::snprintf(b, sizeof b, "%s (floor %s, %.0f%%)", seconds(m.ms).c_str(),
                seconds(m.floorMs()).c_str(), 100.0 * m.ms / m.floorMs());
  return b;
}

// erase | other firmware | line | host, in seconds.
std::string whereTheTimeGoes(const Measured& m) {
  return seconds(m.counts.eraseMs) + " | " + seconds(m.counts.firmwareMs - m.counts.eraseMs) +
         " | " + seconds(m.lineMs()) + " | " + seconds(m.ms - m.floorMs());
}

double median(std::vector<double> v) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::string spread(const std::vector<double>& v) {
  if (v.empty()) return "-";
  char b[64];
  std::snprintf(b, sizeof b, "%.3f (%.3f-%.3f)", median(v) / 1000,
                *std::min_element(v.begin(), v.end()) / 1000,
                *std::max_element(v.begin(), v.end()) / 1000);
  return b;
}

// ---------------------------------------------------------------- detect

// The customer window, from the start of a detection to the identity shown.
double windowDetectMs(const BenchModule& m, bool fast, const std::string& identity) {
  test::FolderHost host(std::filesystem::path(m.link()).parent_path().string());
  QtClock clock;
  TComm comm;
  applyComm1Values(comm);
  TForm_MAIN form(2, 0, host, clock, comm);
  form.FormCreate();
  form.setFastLink(fast);
  MainWindow window(form);
  window.show();
  QApplication::processEvents();
  auto* shown = qobject_cast<QLabel*>(window.widget("StaticText_CUST_ID"));
  QElapsedTimer t;
  t.start();
  form.Function_Detect();
  while (shown && shown->text().toStdString() != identity && t.elapsed() < 3000)
    QApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
  const double ms = double(t.nsecsElapsed()) / 1e6;
  form.FormClose();
  return shown && shown->text().toStdString() == identity ? ms : -1;
}

void detectJob(const Options& o) {
  std::printf(
      "\n### Detection, unlimited line, demo cartridge, %d runs each (median, min-max, "
      "seconds)\n\n",
      o.runs);
  std::printf(
      "| generation | ostrel-cli detect, start to identity: default | quiet-gap | start to exit: "
      "default | quiet-gap | window, detection to identity shown: default | quiet-gap | "
      "ostrel-cli --version |\n");
  std::printf("|---|---|---|---|---|---|---|---|\n");
  for (const Generation& g : generations()) {
    if (!o.only.empty() && o.only != g.key) continue;
    BenchModule m(g, "demo", 0, {"--id", "00 01 51 00"});
    if (!m.running()) {
      std::printf("| %s | module not started | | | | | | |\n", g.name);
      continue;
    }
    const std::string identity = g.key == std::string("III") ? "RR 00 01 00" : "00 01 51 00";
    std::vector<double> toId[2], toExit[2], window[2], bare;
    for (int run = 0; run < o.runs; ++run) {
      // The process alone, without a module: what any command costs to start.
      const Timed version = runTimed({OSTREL_CLI_PATH, "--version"});
      if (version.exitCode == 0) bare.push_back(version.ms);
      for (int link = 0; link < 2; ++link) {
        const bool fast = link == 0;
        const Timed t = runTimed(cli(m, fast, {"detect"}), "ID:");
        if (t.exitCode == 0 && t.markMs >= 0) {
          toId[link].push_back(t.markMs);
          toExit[link].push_back(t.ms);
        }
        const double w = windowDetectMs(m, fast, identity);
        if (w >= 0) window[link].push_back(w);
      }
    }
    std::printf("| %s | %s | %s | %s | %s | %s | %s | %s |\n", g.name, spread(toId[0]).c_str(),
                spread(toId[1]).c_str(), spread(toExit[0]).c_str(), spread(toExit[1]).c_str(),
                spread(window[0]).c_str(), spread(window[1]).c_str(), spread(bare).c_str());
    std::fflush(stdout);
  }
}

// ---------------------------------------------------------------- program

// Random bytes, with a catalogue in sector 1 whose one entry owns the whole
// image, as a whole-flash image carries (an Ostrel IV keeps the sectors of
// its mapping table only for software its catalogue lists).
std::string writeImage(const std::string& dir, const Generation& g, int sectors) {
  const std::string path = dir + "/image-" + g.key + "-" + std::to_string(sectors) + ".bin";
  std::mt19937 draw{uint32_t(sectors)};
  std::vector<uint8_t> bytes(size_t(sectors) * kSector);
  for (uint8_t& b : bytes) b = uint8_t(draw());
  CartridgeCatalogue fat;
  fat.header.sectorCountWord = g.cartridgeSectors;
  fat.header.entryCount = 1;
  fat.entries[0].kind = 2;
  setFatText(fat.entries[0].brand, "BENCH");
  setFatText(fat.entries[0].version, "V1.00");
  fat.entries[0].startSector = 0;
  fat.entries[0].sectorCount = uint16_t(sectors);
  const std::vector<uint8_t> sector = serialiseFatSector(fat);
  std::copy(sector.begin(), sector.end(), bytes.begin() + kSector);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  return path;
}

// One run of a job: a generation, a link, a line, and what was measured.
struct Case {
  const Generation* g;
  bool fast;
  uint32_t throughput;
  std::vector<std::string> simExtra;
  int sectors = 0;
  Measured first, second;  // program and verify, or the installation
};

// Every chosen generation on both links and both lines; with strictest, the
// Ostrel IV also with the firmware's delays off at 1000000 B/s.
std::vector<Case> casesFor(const Options& o, bool strictest) {
  std::vector<Case> cases;
  for (const Generation& g : generations()) {
    if (!o.only.empty() && o.only != g.key) continue;
    for (uint32_t throughput : {0u, kUsbFullSpeed})
      for (bool fast : {true, false}) cases.push_back({&g, fast, throughput, {}, 0, {}, {}});
    if (strictest && std::string(g.key) == "IV")
      for (bool fast : {true, false})
        cases.push_back({&g, fast, kUsbFullSpeed, {"--instant"}, 0, {}, {}});
  }
  return cases;
}

// Runs job on every case: those that wait on erases side by side, the
// Ostrel IV ones (which keep the host busy) alone afterwards.
void runCases(std::vector<Case>& cases, int parallel, const std::function<void(Case&)>& job) {
  std::vector<Case*> shared, alone;
  for (Case& c : cases) (std::string(c.g->key) == "IV" ? alone : shared).push_back(&c);
  std::atomic<size_t> next{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < std::max(parallel, 1); ++w)
    workers.emplace_back([&] {
      for (size_t i; (i = next++) < shared.size();) job(*shared[i]);
    });
  for (std::thread& t : workers) t.join();
  for (Case* c : alone) job(*c);
}

void programJob(const Options& o, const std::string& scratch) {
  std::vector<Case> cases = casesFor(o, false);
  std::map<const Generation*, std::string> images;
  for (Case& c : cases) {
    c.sectors = std::min(c.g->imageSectors, o.imageSectors);
    if (!images.count(c.g)) images[c.g] = writeImage(scratch, *c.g, c.sectors);
  }
  runCases(cases, o.parallel, [&images](Case& c) {
    BenchModule m(*c.g, "blank", c.throughput);
    if (!m.running()) return;
    const std::string image = images.at(c.g);
    c.first = measure(m, c.throughput, cli(m, c.fast, {"--mode", "1", "--yes", "program", image}));
    c.second = measure(m, c.throughput, cli(m, c.fast, {"--mode", "1", "verify", image}));
  });

  std::printf(
      "\n### Program and verify of a whole image, every sector erased first (seconds, "
      "whole process)\n\n");
  std::printf(
      "| generation | sectors | line | link | program | verify | program: erase | other firmware "
      "| line | host |\n");
  std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
  for (const Case& c : cases)
    std::printf("| %s | %d | %s | %s | %s | %s | %s |\n", c.g->name, c.sectors,
                lineLabel(c.throughput).c_str(), linkLabel(c.fast), againstFloor(c.first).c_str(),
                againstFloor(c.second).c_str(), whereTheTimeGoes(c.first).c_str());
  std::fflush(stdout);
}

// ---------------------------------------------------------------- install

std::string buildPackage(const std::string& dir, int sectors) {
  const std::string description = dir + "/bench-" + std::to_string(sectors) + ".json";
  const std::string package = dir + "/bench-" + std::to_string(sectors) + ".bn";
  std::ofstream(description) << R"({"identity": "00 00 00 00 42 45 4E 43", "software": [)"
                             << R"({"brand": "Bench", "version": "V1.00", "versionExtra": "B", )"
                             << R"("path": "BENCH", "sectors": )" << sectors << "}]}\n";
  const Timed t = runTimed({OSTREL_PKG_PATH, "build", description, "-o", package});
  return t.exitCode == 0 ? package : std::string();
}

void installJob(const Options& o, const std::string& scratch) {
  std::vector<Case> cases = casesFor(o, true);
  std::map<int, std::string> packages;
  for (Case& c : cases) {
    c.sectors = std::min(c.g->installSectors, o.installSectors);
    if (!packages.count(c.sectors)) packages[c.sectors] = buildPackage(scratch, c.sectors);
  }
  runCases(cases, o.parallel, [&packages](Case& c) {
    BenchModule m(*c.g, "demo", c.throughput, c.simExtra);
    if (!m.running() || packages[c.sectors].empty()) return;
    c.first = measure(m, c.throughput, cli(m, c.fast, {"--yes", "install", packages[c.sectors]}));
  });

  std::printf(
      "\n### Installing one piece of software on the demo cartridge (seconds, whole "
      "process)\n\n");
  std::printf(
      "| generation | sectors | line | link | install | erase | other firmware | line | host "
      "|\n");
  std::printf("|---|---|---|---|---|---|---|---|---|\n");
  for (const Case& c : cases)
    std::printf("| %s%s | %d | %s | %s | %s | %s |\n", c.g->name,
                c.simExtra.empty() ? "" : ", firmware delays off", c.sectors,
                lineLabel(c.throughput).c_str(), linkLabel(c.fast), againstFloor(c.first).c_str(),
                whereTheTimeGoes(c.first).c_str());
  std::fflush(stdout);
}

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool value = i + 1 < argc;
    if (a == "--jobs" && value) {
      o.jobs.clear();
      std::stringstream list(argv[++i]);
      for (std::string job; std::getline(list, job, ',');) o.jobs.insert(job);
    } else if (a == "--only" && value) {
      o.only = argv[++i];
    } else if (a == "--runs" && value) {
      o.runs = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--parallel" && value) {
      o.parallel = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--image-sectors" && value) {
      o.imageSectors = std::clamp(std::atoi(argv[++i]), 1, 256);
    } else if (a == "--install-sectors" && value) {
      o.installSectors = std::clamp(std::atoi(argv[++i]), 1, 100);
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("DISPLAY")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  Options o;
  if (!parse(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: link_bench [--jobs detect,program,install] [--only I|II|III|IV] "
                 "[--runs N] [--parallel N] [--image-sectors N] [--install-sectors N]\n");
    return 2;
  }
  const unsigned cores = std::thread::hardware_concurrency();
  std::printf("link_bench: %u cores, load %s", cores, [] {
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    static std::string s;
    s = a + " " + b + " " + c + " (1, 5, 15 min) at the start\n";
    return s.c_str();
  }());
  ostrel::test::PortDir scratch;
  if (o.jobs.count("detect")) detectJob(o);
  if (o.jobs.count("program")) programJob(o, scratch.path);
  if (o.jobs.count("install")) installJob(o, scratch.path);
  return 0;
}
