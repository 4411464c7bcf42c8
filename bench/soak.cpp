// ostrel-soak: random installs, removals and compactions on simulated modules
// of every generation through ostrel-cli, each run cut off or disturbed at a
// random point: the cable pulled at a random byte, the CLI or the simulator
// killed during the burn, or a fault of the simulator armed. After each run
// it connects again (ostrel-cli --yes list answers the repair question) and
// checks the cartridge file with ostrel-sim dump: every piece of software the
// FAT lists must hold, where the FAT says, the bytes it was installed with
// (ostrel-pkg unpack) or held when the cartridge was made, and the catalogue
// must be the one before the command or the one it planned; a command that
// exited 0 must have left the planned one.
//
// Not a test: it runs for as long as it is told and prints a table. A run
// that lost software, was misreported or hung is kept in a folder with the
// cartridge before and after it, the journal, the CLI's output and a script
// that replays it.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "e2e/cli_run.h"
#include "e2e/sim_process.h"

namespace ostrel::soak {
namespace {

namespace fs = std::filesystem;
using test::FatRecord;
using test::ProcessRun;

constexpr int kSector = 65536;
// A command still running after this is killed and counted as hung (and
// kept): longer than any retry plan of a write takes when the module answers,
// shorter than the waits for a module that went silent in an erase (200 s, up
// to three times), which are the program's own.
constexpr int kCommandTimeoutMs = 300000;
constexpr int kConnections = 3;  // tries of list after a run before it counts as failed
// Set by SIGINT or SIGTERM: the runs under way end (the CLI killed) and no new one starts.
std::atomic<bool> stopping{false};

// Each generation with its smallest cartridge, so that the plan fills it and
// the free space fragments within a few runs.
struct Generation {
  const char* name;
  const char* shortName;  // for --only
  std::vector<std::string> simArgs;
  uint16_t sectors;       // as the program sees the module
  uint16_t fill;          // the plan keeps about this many sectors in use at most
  uint16_t largest;       // the largest piece of software it installs
  bool chunked;           // Ostrel III/IV: acknowledged chunks (chunk-nack), no sum reports
  bool mapped;            // Ostrel IV: a mapping table, fresh physical sectors for each write, and
                          // no gathering of free space (the program asks for a burn instead)
  int commandsPerSector;  // about, reads for the journal included: where silence may begin
  double msPerSector;     // first guess of a burn's pace, learnt from the runs
};

const Generation kGenerations[] = {
    {"Ostrel I", "I", {"--ostrel1"}, 128, 120, 14, false, false, 10, 130},
    {"Ostrel II", "II", {"--type", "80"}, 128, 120, 14, false, false, 12, 130},
    {"Ostrel III", "III", {"--type", "84"}, 256, 230, 24, true, false, 20, 70},
    {"Ostrel IV", "IV", {"--type", "89"}, 16384, 160, 12, true, true, 4, 10},
};

enum class Cut : uint8_t { Cable, CliKill, SimKill, ChunkNack, WrongSum, BadChecksum, Silence };
constexpr std::size_t kCutKinds = 7;
constexpr const char* kCutNames[kCutKinds] = {"cable pulled", "CLI killed", "simulator killed",
                                              "chunk-nack",   "wrong-sum",  "bad-checksum",
                                              "silence"};

struct Tally {
  int runs = 0, cuts = 0, repaired = 0, intact = 0, lost = 0, misreported = 0;
  int hung = 0;         // commands killed after kCommandTimeoutMs
  int refused = 0;      // plans the dry run refused: not run
  int reconnected = 0;  // runs after which list needed more than one try
  void add(const Tally& o) {
    runs += o.runs, cuts += o.cuts, repaired += o.repaired, intact += o.intact;
    lost += o.lost, misreported += o.misreported, hung += o.hung, refused += o.refused;
    reconnected += o.reconnected;
  }
};
struct KindTally {
  int runs = 0, cuts = 0, failed = 0, repaired = 0;
};

struct Options {
  uint64_t start = 0;
  int cuts = 100;
  double minutes = 0;  // 0: no limit
  std::vector<const Generation*> generations;
  uint32_t throughput = 0;
  std::string dir;
  bool verbose = false;
};

// A catalogue entry as the soak knows software: every field that must come back.
std::string keyOf(uint8_t kind, const std::string& brand, const std::string& version,
                  const std::string& extra, const std::string& path, int count) {
  return std::to_string(kind) + "|" + brand + "|" + version + "|" + extra + "|" + path + "|" +
         std::to_string(count);
}
std::string keyOf(const FatRecord& r) {
  return keyOf(r.kind, r.brand, r.version, r.versionExtra, r.path, r.count);
}
std::vector<std::string> stateOf(const std::vector<FatRecord>& fat) {
  std::vector<std::string> keys;
  for (const FatRecord& r : fat) keys.push_back(keyOf(r));
  std::sort(keys.begin(), keys.end());
  return keys;
}
std::string brandOf(const std::string& key) {
  const std::size_t a = key.find('|') + 1;
  return key.substr(a, key.find('|', a) - a);
}
// What one catalogue has and the other has not, by brand: "+A -B".
std::string difference(const std::vector<std::string>& from, const std::vector<std::string>& to) {
  std::string out;
  for (const std::string& k : to)
    if (!std::binary_search(from.begin(), from.end(), k)) out += " +" + brandOf(k);
  for (const std::string& k : from)
    if (!std::binary_search(to.begin(), to.end(), k)) out += " -" + brandOf(k);
  return out.empty() ? " (none)" : out;
}

// "26-28, 44-73" (or "none") after the label in a dry run's output.
std::vector<uint16_t> sectorsAfter(const QByteArray& out, const QByteArray& label) {
  std::vector<uint16_t> sectors;
  const qsizetype at = out.indexOf(label);
  if (at < 0) return sectors;
  const qsizetype end = out.indexOf('\n', at);
  const QByteArray list = out.mid(at + label.size(), end < 0 ? -1 : end - at - label.size());
  for (const QByteArray& item : list.split(',')) {
    const QList<QByteArray> ends = item.trimmed().split('-');
    bool ok1 = false, ok2 = false;
    const int first = ends.value(0).toInt(&ok1), last = ends.value(ends.size() - 1).toInt(&ok2);
    for (int s = first; ok1 && ok2 && s <= last && s < 65536; ++s) sectors.push_back(uint16_t(s));
  }
  return sectors;
}

// The lines of a text that contain any of the phrases.
std::string linesWith(const QByteArray& text, std::initializer_list<const char*> phrases) {
  std::string out;
  for (const QByteArray& line : text.split('\n'))
    for (const char* p : phrases)
      if (line.contains(p)) {
        out += (out.empty() ? "" : "; ") + line.trimmed().toStdString();
        break;
      }
  return out;
}

// Lines to standard output, whole, from any generation's thread.
void say(const std::string& text) {
  static std::mutex lock;
  const std::lock_guard<std::mutex> hold(lock);
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

std::string shellQuoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// One random operation on the cartridge and what it must leave.
struct Plan {
  QStringList args;                   // the command, without --dry-run
  std::vector<std::string> expected;  // the catalogue it plans, as keys
  std::string what;                   // for the log
  QString package;                    // the .bn file it installs
};

// What a run of the command did.
struct CommandRun {
  ProcessRun result;
  bool killed = false;  // the CLI or the simulator was killed while it ran
  bool hung = false;
  std::optional<qint64> journalMs;  // when the burn's journal appeared
  qint64 endMs = 0;
};

// One generation: its module, its cartridge file, what the soak knows every
// piece of software holds, and its own draws from the start number.
class Soak {
 public:
  Soak(const Generation& g, int index, const Options& o, const std::string& folder)
      : g_(g), options_(o), folder_(folder), draws_(mix(o.start, uint64_t(index))) {
    msPerSector_ = g.msPerSector;
    const int id = 0x534B0000 + index;  // "SK" and the generation
    char text[16];
    std::snprintf(text, sizeof text, "%02X %02X %02X %02X", id >> 24, (id >> 16) & 0xFF,
                  (id >> 8) & 0xFF, id & 0xFF);
    id_ = text;
  }

  // A new demo cartridge and the reference taken from it; false when the
  // simulator or the CLI cannot be run.
  bool begin(std::string& error) {
    std::error_code ec;
    fs::create_directories(folder_ + "/run", ec);
    // The CLI keeps its journals in its own folder: a copy of it here keeps
    // them apart from every other run of the program.
    fs::copy_file(OSTREL_CLI_PATH, cli(), fs::copy_options::overwrite_existing, ec);
    if (ec) {
      error = "cannot copy " + std::string(OSTREL_CLI_PATH) + ": " + ec.message();
      return false;
    }
    return reset(error);
  }

  // One run: plan, dry run, the command with its cut, the connection after
  // it, the check.
  void run() {
    QElapsedTimer phase;
    phase.start();
    Plan plan = makePlan();
    if (plan.args.isEmpty()) return;
    std::vector<uint16_t> planned;
    {
      auto sim = startSim({});
      const ProcessRun dry = command(sim->link(), plan.args + QStringList{"--dry-run", "--quiet"});
      sim->stop();
      if (dry.exitCode != 0) {
        ++tally.refused;
        log("refused: " + plan.what + ": " + linesWith(dry.err, {""}));
        // A cartridge nothing can be planned on any more starts again.
        std::string error;
        if (++refusedInARow_ == 20 && !reset(error)) log("cannot make a new cartridge: " + error);
        return;
      }
      refusedInARow_ = 0;
      planned = sectorsAfter(dry.out, "Sectors to write: ");
      const std::vector<uint16_t> erased = sectorsAfter(dry.out, "Sectors to erase only: ");
      planned.insert(planned.end(), erased.begin(), erased.end());
      dryRun_ = dry.out;
    }
    ++tally.runs;
    std::string times = "plan " + std::to_string(phase.restart()) + " ms";
    // Every draw of the run comes before anything timed, so a start number
    // gives the same runs again.
    const int burnSectors = int(planned.size()) + 1 + (g_.mapped ? 2 : 0);
    const Cut cut = drawCut();
    std::vector<std::string> faults;
    std::string cutText = kCutNames[std::size_t(cut)];
    double killAt = 0;  // fraction of the burn's expected time
    switch (cut) {
      case Cut::Cable: {
        const uint64_t at = draw(1, uint64_t(burnSectors + 1) * kSector);
        faults = {"pull-cable-after=" + std::to_string(at)};
        break;
      }
      case Cut::CliKill:
      case Cut::SimKill:
        killAt = double(draw(0, 1100)) / 1000;
        break;
      case Cut::ChunkNack: {
        // An Ostrel IV writes to fresh physical sectors, the lowest free ones.
        uint64_t sector = 1;
        if (g_.mapped)
          sector = draw(0, 127);
        else if (!planned.empty())
          sector = planned[draw(0, planned.size() - 1)];
        faults = {"chunk-nack=" + std::to_string(sector) + ":" + std::to_string(draw(0, 15)) +
                  (draw(0, 1) ? ":always" : "")};
        break;
      }
      case Cut::WrongSum:
        faults = {draw(0, 1) ? "wrong-sum:always" : "wrong-sum"};
        break;
      case Cut::BadChecksum:
        faults = {draw(0, 2) == 0 ? "bad-checksum:always" : "bad-checksum"};
        break;
      case Cut::Silence:
        faults = {"silence-after=" +
                  std::to_string(draw(1, 30 + uint64_t(burnSectors) * g_.commandsPerSector))};
        break;
    }
    if (!faults.empty()) cutText = faults.front();

    const std::string runDir = folder_ + "/run/";
    std::error_code ec;
    fs::copy_file(cartridge(), runDir + "before.cart", fs::copy_options::overwrite_existing, ec);
    std::vector<std::string> simFaults;
    for (const std::string& f : faults) simFaults.insert(simFaults.end(), {"--fault", f});
    auto sim = startSim(simFaults);
    const CommandRun op = runCommand(sim, plan.args, cut, killAt, burnSectors);
    if (stopping) return;
    if (op.killed) cutText += " at " + std::to_string(killMs_) + " ms into the burn";
    bool fired = op.killed || (cut != Cut::Cable && cut != Cut::CliKill && cut != Cut::SimKill);
    // A CLI killed leaves the module powered: the next connection meets it as it is.
    if (cut != Cut::CliKill && sim) {
      const int status = sim->stop();
      if (cut == Cut::Cable && status == 3) fired = true;
      sim.reset();
    }
    // What the run left, before the next connection judges and repairs it.
    fs::copy_file(cartridge(), runDir + "after-op.cart", fs::copy_options::overwrite_existing, ec);
    fs::remove_all(runDir + "journal", ec);
    fs::create_directories(runDir + "journal", ec);
    for (const auto& f : fs::directory_iterator(folder_, ec))
      if (f.path().filename().string().find("_BURN.JOURNAL") != std::string::npos)
        fs::copy_file(f.path(), runDir + "journal/" + f.path().filename().string(), ec);
    if (op.result.exitCode == 0 && !op.killed && op.journalMs && burnSectors > 0) {
      const double pace = double(op.endMs - *op.journalMs) / burnSectors;
      msPerSector_ = 0.8 * msPerSector_ + 0.2 * pace;
    }

    times += ", command " + std::to_string(phase.restart()) + " ms";
    // Plugged in again, as often as an operator would try: a module whose
    // burn was cut off in a data phase takes the first probe as data.
    if (!sim) sim = startSim({});
    ProcessRun again;
    int connections = 0;
    bool pending = true;
    while (connections < kConnections && (again.exitCode != 0 || pending)) {
      const ProcessRun list = command(sim->link(), {"list"});
      again.out += list.out;
      again.err += list.err;
      again.exitCode = list.exitCode;
      pending = journalPending();
      ++connections;
    }
    if (connections > 1) ++tally.reconnected;
    sim->stop();
    sim.reset();

    times += ", after " + std::to_string(phase.restart()) + " ms";
    std::vector<std::string> lost, misreported;
    const std::vector<FatRecord> fat = check(lost);
    times += ", check " + std::to_string(phase.restart()) + " ms";
    const std::vector<std::string> found = stateOf(fat);
    const bool old = found == before_, planned2 = found == plan.expected;
    if (!old && !planned2)
      lost.push_back(
          "the catalogue is neither the one before nor the one planned: against the "
          "planned" +
          difference(plan.expected, found));
    std::vector<std::string> hung;
    if (op.hung)
      hung.push_back("the command did not end within " + std::to_string(kCommandTimeoutMs / 1000) +
                     " s");
    if (op.result.exitCode == 0 && !planned2)
      misreported.push_back(std::string("the command exited 0 but the cartridge holds ") +
                            (old ? "the catalogue before it" : "another catalogue"));
    if (again.exitCode != 0)
      misreported.push_back("list failed " + std::to_string(kConnections) +
                            " times after the run: " + linesWith(again.err, {""}));
    if (pending)
      misreported.push_back("the journal is still pending after " + std::to_string(kConnections) +
                            " connections");
    // Nothing but this soak touches the cartridge: a journal set aside, a
    // warning or a failed repair is a false report.
    const std::string alarm =
        linesWith(again.out + again.err, {"kept in", "names another module", "Repair failed",
                                          "could not be judged", "neither show"});
    if (!alarm.empty()) misreported.push_back("after the run: " + alarm);

    const bool repaired = again.out.contains("Repaired from ");
    KindTally& kind = kinds[std::size_t(cut)];
    ++kind.runs;
    kind.failed += op.result.exitCode != 0 ? 1 : 0;
    if (fired) {
      ++tally.cuts;
      ++kind.cuts;
      kind.repaired += repaired ? 1 : 0;
      if (lost.empty()) ++(repaired ? tally.repaired : tally.intact);
    }
    tally.lost += lost.empty() ? 0 : 1;
    tally.misreported += misreported.empty() ? 0 : 1;
    tally.hung += hung.empty() ? 0 : 1;

    const std::string outcome = !lost.empty()          ? "LOST"
                                : !misreported.empty() ? "MISREPORTED"
                                : !hung.empty()        ? "HUNG"
                                : repaired             ? "repaired"
                                                       : "intact";
    log(std::string("run ") + std::to_string(tally.runs) + (fired ? ", cut " : ", uncut ") +
        std::to_string(tally.cuts) + ": " + plan.what + "; " + cutText + "; exit " +
        std::to_string(op.result.exitCode) + "; " +
        (planned2 ? "new"
         : old    ? "old"
                  : "other") +
        " catalogue; " + std::to_string(connections) + " connection(s); " + outcome + " (" + times +
        ")");
    if (!lost.empty() || !misreported.empty() || !hung.empty()) {
      std::vector<std::string> why = lost;
      why.insert(why.end(), misreported.begin(), misreported.end());
      why.insert(why.end(), hung.begin(), hung.end());
      keep(plan, op, again, simFaults, cut, fired, outcome, why);
    }
    if (!lost.empty()) {
      // The software is gone: start again from a new cartridge.
      std::string error;
      if (!reset(error)) log("cannot make a new cartridge: " + error);
      return;
    }
    fat_ = fat;
    before_ = found;
  }

  Tally tally;
  std::array<KindTally, kCutKinds> kinds{};
  const Generation& generation() const { return g_; }

 private:
  static uint64_t mix(uint64_t a, uint64_t b) {
    uint64_t x = a * 0x9E3779B97F4A7C15ull + b + 0x632BE59BD9B4E019ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
  }
  uint64_t draw(uint64_t low, uint64_t high) {
    return std::uniform_int_distribution<uint64_t>(low, high)(draws_);
  }

  std::string cartridge() const { return folder_ + "/cartridge"; }
  std::string cli() const { return folder_ + "/ostrel-cli"; }

  std::vector<std::string> simArgs(const std::vector<std::string>& extra) const {
    std::vector<std::string> args = g_.simArgs;
    args.insert(args.end(), {"--instant", "--cartridge", cartridge(), "--preset", "demo", "--id",
                             id_, "--throughput", std::to_string(options_.throughput)});
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
  std::unique_ptr<test::SimProcess> startSim(const std::vector<std::string>& extra) {
    return std::make_unique<test::SimProcess>(ports_.path, "module", simArgs(extra), true,
                                              folder_ + "/simulator.log");
  }
  QStringList cliArgs(const std::string& link, const QStringList& args) const {
    return QStringList{"--port", QString::fromStdString(link), "--fast-link", "--yes"} + args;
  }
  ProcessRun command(const std::string& link, const QStringList& args) const {
    return test::runProcess(QString::fromStdString(cli()), cliArgs(link, args), kCommandTimeoutMs);
  }

  bool journalPending() const {
    std::error_code ec;
    for (const auto& f : fs::directory_iterator(folder_, ec)) {
      const std::string name = f.path().filename().string();
      if (name.size() > 13 && name.compare(name.size() - 13, 13, "_BURN.JOURNAL") == 0) return true;
    }
    return false;
  }

  // The command, the CLI or the simulator killed once the burn's journal
  // has appeared and the drawn part of the burn's expected time has passed.
  CommandRun runCommand(std::unique_ptr<test::SimProcess>& sim, const QStringList& args, Cut cut,
                        double killAt, int burnSectors) {
    CommandRun r;
    QProcess p;
    p.setStandardInputFile(QProcess::nullDevice());
    p.start(QString::fromStdString(cli()), cliArgs(sim->link(), args));
    QElapsedTimer clock;
    clock.start();
    const bool kills = cut == Cut::CliKill || cut == Cut::SimKill;
    std::optional<qint64> killMs;
    while (p.state() != QProcess::NotRunning) {
      p.waitForFinished(1);
      if (stopping) p.kill();
      const qint64 now = clock.elapsed();
      if (now > kCommandTimeoutMs) {
        r.hung = true;
        p.kill();
        p.waitForFinished();
        break;
      }
      if (!r.journalMs && journalPending()) {
        r.journalMs = now;
        killMs = now + qint64(killAt * msPerSector_ * burnSectors);
      }
      if (kills && !r.killed && killMs && now >= *killMs) {
        r.killed = true;
        killMs_ = now - *r.journalMs;
        if (cut == Cut::CliKill) {
          p.kill();
        } else {
          sim->stop(SIGKILL);
          sim.reset();
        }
      }
    }
    r.endMs = clock.elapsed();
    r.result.exitCode = p.exitStatus() == QProcess::NormalExit && !r.hung ? p.exitCode() : -1;
    r.result.out = p.readAllStandardOutput();
    r.result.err = p.readAllStandardError();
    return r;
  }

  // The catalogue the cartridge file holds, each piece of software checked
  // against what it must hold; what is wrong goes to problems.
  std::vector<FatRecord> check(std::vector<std::string>& problems) {
    const QString scratch = QString::fromStdString(folder_ + "/dump.img");
    const QString file = QString::fromStdString(cartridge());
    const QByteArray fatSector = test::dumpCartridge(file, scratch, 1, 1);
    if (fatSector.size() != kSector) {
      problems.push_back("the FAT could not be dumped");
      return {};
    }
    std::vector<FatRecord> fat = test::parseFatSector(fatSector);
    // The software in stretches of sectors no more than 64 apart, one dump
    // each: an Ostrel IV may keep it near the end of its 16384 sectors.
    std::map<int, int> spans;  // start -> end
    for (const FatRecord& r : fat)
      if (r.count > 0 && r.start + r.count <= g_.sectors) {
        int& end = spans[r.start];
        end = std::max(end, r.start + r.count);
      }
    std::map<int, QByteArray> image;  // start of a stretch -> its sectors
    for (auto at = spans.begin(); at != spans.end();) {
      const int first = at->first;
      int end = at->second;
      for (++at; at != spans.end() && at->first <= end + 64; ++at) end = std::max(end, at->second);
      image[first] = test::dumpCartridge(file, scratch, first, end - 1);
      if (image[first].size() != (end - first) * kSector) {
        problems.push_back("the cartridge could not be dumped");
        return fat;
      }
    }
    auto sector = [&](int s) {
      const auto stretch = std::prev(image.upper_bound(s));
      return stretch->second.mid((s - stretch->first) * kSector, kSector);
    };
    std::map<uint16_t, const FatRecord*> runs;  // by start: aliases share one
    for (const FatRecord& r : fat) {
      if (r.start + r.count > g_.sectors) {
        problems.push_back(r.brand + " runs past the last sector");
        continue;
      }
      auto [at, first] = runs.emplace(r.start, &r);
      if (!first && at->second->count != r.count)
        problems.push_back(r.brand + " shares its start with " + at->second->brand +
                           " but not its length");
      const auto known = data_.find(keyOf(r));
      if (known == data_.end()) {
        problems.push_back(r.brand + " " + r.version + " is listed but was never installed");
        continue;
      }
      for (int k = 0; k < r.count; ++k) {
        if (r.start + k == 1) continue;  // the FAT's own sector
        if (sector(r.start + k) != known->second.mid(k * kSector, kSector)) {
          problems.push_back(r.brand + " " + r.version + ": sector " + std::to_string(r.start + k) +
                             " is not what it was installed with");
          break;
        }
      }
    }
    const FatRecord* previous = nullptr;
    for (const auto& [start, r] : runs) {
      if (previous && previous->start + previous->count > start)
        problems.push_back(previous->brand + " and " + r->brand + " overlap");
      previous = r;
    }
    return fat;
  }

  // A new demo cartridge; what its software holds is taken from it.
  bool reset(std::string& error) {
    std::error_code ec;
    fs::remove(cartridge(), ec);
    for (const auto& f : fs::directory_iterator(folder_, ec))
      if (f.path().filename().string().find("_BURN.JOURNAL") != std::string::npos)
        fs::remove(f.path(), ec);
    {
      auto sim = startSim({});
      if (!sim->running()) {
        error = "ostrel-sim did not start (see " + folder_ + "/simulator.log)";
        return false;
      }
      const ProcessRun list = command(sim->link(), {"list"});
      if (list.exitCode != 0) {
        error = "ostrel-cli list failed: " + list.err.toStdString();
        return false;
      }
    }
    const QString file = QString::fromStdString(cartridge());
    const QString scratch = QString::fromStdString(folder_ + "/dump.img");
    fat_ = test::parseFatSector(test::dumpCartridge(file, scratch, 1, 1));
    const QByteArray image = test::dumpCartridge(file, scratch, 0, g_.sectors - 1);
    if (fat_.empty() || image.size() != g_.sectors * kSector) {
      error = "the demo cartridge could not be dumped";
      return false;
    }
    for (const FatRecord& r : fat_)
      data_[keyOf(r)] = image.mid(r.start * kSector, r.count * kSector);
    before_ = stateOf(fat_);
    return true;
  }

  // The sectors in use and the free space as first fit sees it.
  struct Space {
    int used = 0, free = 0, largestGap = 0, behindBase = 0;
  };
  Space space() const {
    std::vector<bool> used(g_.sectors, false);
    for (const FatRecord& r : fat_)
      for (int s = r.start; s < r.start + r.count && s < g_.sectors; ++s) used[s] = true;
    Space sp;
    int gap = 0;
    bool base = true;
    for (int s = 0; s <= g_.sectors; ++s) {
      if (s < g_.sectors && !used[s]) {
        ++gap;
        ++sp.free;
        continue;
      }
      if (base && s > 0) {
        sp.behindBase = gap;
        base = false;
      }
      sp.largestGap = std::max(sp.largestGap, gap);
      gap = 0;
    }
    sp.used = g_.sectors - sp.free;
    return sp;
  }

  // A removal of one or two rows, or an installation of one to three new
  // pieces of software (sometimes one larger than any gap, which the
  // program must gather free space for) or of a new base software. The plan
  // keeps the cartridge between about a third and most of its fill.
  Plan makePlan() {
    std::map<uint16_t, std::vector<const FatRecord*>> rows;
    for (const FatRecord& r : fat_)
      if (r.start != 0) rows[r.start].push_back(&r);
    const Space sp = space();
    const double fill = double(sp.used) / g_.fill;
    const uint64_t removeOdds = rows.empty() ? 0 : fill > 0.85 ? 80 : fill < 0.4 ? 15 : 50;
    const int budget = std::min(sp.free, int(g_.fill) - sp.used);
    Plan plan;
    if (draw(0, 99) < removeOdds || budget < 1) {
      if (rows.empty()) return plan;
      std::set<uint16_t> gone;
      const uint64_t count = std::min<uint64_t>(rows.size(), draw(1, 2));
      plan.args = {"remove"};
      plan.what = "remove";
      while (gone.size() < count) {
        auto row = rows.begin();
        std::advance(row, draw(0, rows.size() - 1));
        if (!gone.insert(row->first).second) continue;
        plan.args << QString::fromStdString(row->second.front()->brand);
        plan.what += " " + row->second.front()->brand;
      }
      for (const FatRecord& r : fat_)
        if (!gone.count(r.start)) plan.expected.push_back(keyOf(r));
      std::sort(plan.expected.begin(), plan.expected.end());
      return plan;
    }

    QJsonArray software;
    std::vector<int> sizes;
    const FatRecord* base = nullptr;
    for (const FatRecord& r : fat_)
      if (r.start == 0) base = &r;
    if (base && draw(0, 99) < 8) {
      // A new release of the base software, larger than the old one at times:
      // everything else then moves towards the end first (an Ostrel IV
      // takes it only where the sectors behind it are free).
      const int room = g_.mapped ? sp.behindBase : std::min(sp.free, 6);
      const int size = int(draw(std::max(2, base->count - 1), base->count + std::max(0, room)));
      sizes.push_back(size);
      software.append(QJsonObject{{"brand", "OBDII"},
                                  {"version", QString("91 V4.%1").arg(draw(20, 99))},
                                  {"versionExtra", "SOAK"},
                                  {"sectors", size}});
    } else {
      const bool gather =
          !g_.mapped && sp.largestGap < std::min<int>(sp.free, g_.largest) && draw(0, 99) < 40;
      const int pieces = gather ? 1 : int(draw(1, 3));
      int left = budget;
      for (int i = 0; i < pieces && left > 0; ++i) {
        const int size =
            gather ? int(draw(sp.largestGap + 1, std::min(sp.free, sp.largestGap + g_.largest)))
                   : int(draw(1, std::min<int>(g_.largest, left)));
        left -= size;
        sizes.push_back(size);
        static const char* const kPaths[] = {"", "SOAK", "SOAK\\NORTH", "SOAK\\SOUTH\\EAST"};
        software.append(
            QJsonObject{{"brand", QString("Soak%1-%2").arg(g_.shortName).arg(++made_)},
                        {"version", QString("V%1.%2").arg(draw(1, 9)).arg(draw(10, 99))},
                        {"versionExtra", draw(0, 1) ? "SK" : ""},
                        {"path", kPaths[draw(0, 3)]},
                        {"sectors", size}});
      }
    }
    if (software.isEmpty()) return plan;
    const QString description = QString::fromStdString(folder_ + "/run/package.json");
    plan.package = QString::fromStdString(folder_ + "/run/package.bn");
    test::writeFile(description, QJsonDocument(QJsonObject{{"identity", "00 00 00 00 53 4F 41 4B"},
                                                           {"software", software}})
                                     .toJson());
    const QString image = QString::fromStdString(folder_ + "/run/package.img");
    const ProcessRun build =
        test::runProcess(OSTREL_PKG_PATH, {"build", description, "-o", plan.package});
    const ProcessRun info = test::runProcess(OSTREL_PKG_PATH, {"info", plan.package, "--json"});
    const ProcessRun unpack =
        test::runProcess(OSTREL_PKG_PATH, {"unpack", plan.package, "-o", image});
    if (build.exitCode != 0 || info.exitCode != 0 || unpack.exitCode != 0) {
      log("ostrel-pkg failed: " + build.err.toStdString() + info.err.toStdString() +
          unpack.err.toStdString());
      return plan;
    }
    const QByteArray bytes = test::readFile(image);
    bool replacesBase = false;
    plan.expected.clear();
    for (const QJsonValue& v : QJsonDocument::fromJson(info.out)["entries"].toArray()) {
      const QJsonObject e = v.toObject();
      const std::string key =
          keyOf(uint8_t(e["kind"].toInt()), e["brand"].toString().toStdString(),
                e["version"].toString().toStdString(), e["versionExtra"].toString().toStdString(),
                e["path"].toString().toStdString(), e["sectorCount"].toInt());
      data_[key] =
          bytes.mid(e["startSector"].toInt() * kSector, e["sectorCount"].toInt() * kSector);
      plan.expected.push_back(key);
      replacesBase |= e["brand"].toString() == "OBDII";
    }
    for (const FatRecord& r : fat_)
      if (!(replacesBase && r.start == 0)) plan.expected.push_back(keyOf(r));
    std::sort(plan.expected.begin(), plan.expected.end());
    plan.args = {"install", plan.package};
    plan.what = replacesBase ? "new base software" : "install";
    for (int s : sizes) plan.what += " " + std::to_string(s);
    plan.what += " (of " + std::to_string(sp.free) + " free, largest gap " +
                 std::to_string(sp.largestGap) + ")";
    return plan;
  }

  Cut drawCut() {
    // Cuts more often than faults; each fault where the generation has it.
    const std::array<int, kCutKinds> weights = {3, 2, 2, g_.chunked ? 2 : 0, g_.chunked ? 0 : 2,
                                                1, 1};
    int sum = 0;
    for (int w : weights) sum += w;
    uint64_t at = draw(0, uint64_t(sum - 1));
    for (std::size_t k = 0; k < kCutKinds; ++k) {
      if (at < uint64_t(weights[k])) return Cut(k);
      at -= weights[k];
    }
    return Cut::Cable;
  }

  void log(const std::string& line) {
    std::ofstream(folder_ + "/soak.log", std::ios::app) << line << "\n";
    if (options_.verbose) say(std::string(g_.name) + ": " + line + "\n");
  }

  // Keeps what a bad run left, and says how to see it again.
  void keep(const Plan& plan, const CommandRun& op, const ProcessRun& again,
            const std::vector<std::string>& simFaults, Cut cut, bool fired,
            const std::string& outcome, const std::vector<std::string>& why) {
    const std::string dir =
        options_.dir + "/kept/" + g_.shortName + "-run" + std::to_string(tally.runs);
    std::error_code ec;
    fs::create_directories(dir, ec);
    fs::copy(folder_ + "/run", dir,
             fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
    fs::copy_file(cartridge(), dir + "/after.cart", fs::copy_options::overwrite_existing, ec);
    test::writeFile(QString::fromStdString(dir + "/dry-run.out"), dryRun_);
    test::writeFile(QString::fromStdString(dir + "/command.out"), op.result.out);
    test::writeFile(QString::fromStdString(dir + "/command.err"), op.result.err);
    test::writeFile(QString::fromStdString(dir + "/after.out"), again.out);
    test::writeFile(QString::fromStdString(dir + "/after.err"), again.err);

    std::string args;
    for (const QString& a : plan.args)
      args += " " + (a == plan.package ? std::string("\"$here/package.bn\"")
                                       : shellQuoted(a.toStdString()));
    std::string sim = shellQuoted(OSTREL_SIM_PATH) + " --port-dir \"$work\" --name m --quick";
    for (const std::string& a : simArgs({})) {
      sim += " " + (a == cartridge() ? std::string("\"$work/cartridge\"") : shellQuoted(a));
    }
    std::string faults;
    for (const std::string& a : simFaults) faults += " " + shellQuoted(a);
    std::string script =
        "#!/bin/sh\n"
        "# " +
        std::string(g_.name) + ": " + plan.what + "; " + kCutNames[std::size_t(cut)] +
        "\n# From the cartridge as it was before the run; leaves everything in $work.\n"
        "set -u\nhere=$(cd \"$(dirname \"$0\")\" && pwd)\n"
        "work=$(mktemp -d /tmp/ostrel-replay-XXXXXX)\n"
        "cp \"$here/before.cart\" \"$work/cartridge\"\n"
        "cp " +
        shellQuoted(OSTREL_CLI_PATH) +
        " \"$work/ostrel-cli\"  # its journal goes beside it\n"
        "module() { rm -f \"$work/m\"; " +
        sim +
        " \"$@\" 2>>\"$work/simulator.log\" >/dev/null & "
        "sim=$!; while [ ! -L \"$work/m\" ]; do sleep 0.01; done; }\n"
        "module" +
        faults +
        "\n"
        "\"$work/ostrel-cli\" --port \"$work/m\" --fast-link --yes" +
        args + " >\"$work/command.out\" 2>\"$work/command.err\" &\ncli=$!\n";
    if (op.killed) {
      script +=
          "until ls \"$work\" | grep -q '_BURN.JOURNAL$' || ! kill -0 $cli 2>/dev/null; "
          "do sleep 0.001; done\nsleep " +
          std::to_string(killMs_ / 1000.0) + "\nkill -9 " +
          (cut == Cut::CliKill ? "$cli" : "$sim") + "\n";
    }
    script += "wait $cli; echo \"command: exit $?\"\n";
    if (cut != Cut::CliKill) script += "kill $sim 2>/dev/null; wait $sim; module\n";
    script +=
        "\"$work/ostrel-cli\" --port \"$work/m\" --fast-link --yes list >\"$work/after.out\" "
        "2>&1; echo \"list: exit $?\"\nkill $sim; wait $sim\n"
        "echo \"in $work; see the cartridge with: " +
        std::string(OSTREL_SIM_PATH) + " dump $work/cartridge -o IMAGE\"\n";
    test::writeFile(QString::fromStdString(dir + "/reproduce.sh"),
                    QByteArray::fromStdString(script));

    std::string report = std::string(g_.name) + " run " + std::to_string(tally.runs) +
                         (fired ? ", cut " + std::to_string(tally.cuts) : ", not cut") + ": " +
                         outcome + "\n" + plan.what + "\n" + kCutNames[std::size_t(cut)];
    for (const std::string& f : simFaults) report += " " + f;
    if (op.killed)
      report += " (killed " + std::to_string(killMs_) + " ms after the journal appeared)";
    report += "\ncommand exit " + std::to_string(op.result.exitCode) + "\n";
    for (const std::string& w : why) report += w + "\n";
    test::writeFile(QString::fromStdString(dir + "/report.txt"), QByteArray::fromStdString(report));

    std::string text =
        outcome + " " + g_.name + " run " + std::to_string(tally.runs) + ": " + plan.what + "\n";
    for (const std::string& w : why) text += "  " + w + "\n";
    text += "  kept in " + dir + "\n  again: sh " + dir + "/reproduce.sh\n";
    if (fired)
      text += "  or the whole sequence: ostrel-soak --start " + std::to_string(options_.start) +
              " --only " + g_.shortName + " --cuts " + std::to_string(tally.cuts) +
              (options_.throughput ? " --throughput " + std::to_string(options_.throughput) : "") +
              "\n";
    say(text);
  }

  const Generation& g_;
  const Options& options_;
  std::string folder_, id_;
  std::mt19937_64 draws_;
  test::PortDir ports_;
  std::vector<FatRecord> fat_;              // the catalogue as last checked
  std::vector<std::string> before_;         // the same, as keys
  std::map<std::string, QByteArray> data_;  // what each piece of software holds, by key
  QByteArray dryRun_;
  double msPerSector_;
  qint64 killMs_ = 0;
  int made_ = 0;
  int refusedInARow_ = 0;
};

void printTable(const std::vector<std::unique_ptr<Soak>>& soaks, double seconds) {
  std::printf("\n%-12s %6s %6s %9s %7s %5s %12s | %5s %8s %9s\n", "generation", "runs", "cuts",
              "repaired", "intact", "lost", "misreported", "hung", "refused", "relisted");
  Tally total;
  auto row = [](const char* name, const Tally& t) {
    std::printf("%-12s %6d %6d %9d %7d %5d %12d | %5d %8d %9d\n", name, t.runs, t.cuts, t.repaired,
                t.intact, t.lost, t.misreported, t.hung, t.refused, t.reconnected);
  };
  std::array<KindTally, kCutKinds> kinds{};
  for (const auto& s : soaks) {
    row(s->generation().name, s->tally);
    total.add(s->tally);
    for (std::size_t k = 0; k < kCutKinds; ++k) {
      kinds[k].runs += s->kinds[k].runs;
      kinds[k].cuts += s->kinds[k].cuts;
      kinds[k].failed += s->kinds[k].failed;
      kinds[k].repaired += s->kinds[k].repaired;
    }
  }
  row("total", total);
  std::printf("\n%-18s %6s %6s %15s %9s\n", "cut or fault", "runs", "cuts", "command failed",
              "repaired");
  for (std::size_t k = 0; k < kCutKinds; ++k)
    std::printf("%-18s %6d %6d %15d %9d\n", kCutNames[k], kinds[k].runs, kinds[k].cuts,
                kinds[k].failed, kinds[k].repaired);
  std::printf("\nwall time %.0f s\n", seconds);
}

const char* const kHelp =
    R"(usage: ostrel-soak [--start N] [--cuts N] [--minutes M] [--only I|II|III|IV]...
                   [--throughput BPS] [--dir DIR] [--verbose]
Random installs, removals and compactions through ostrel-cli on simulated
modules of every generation (demo cartridges of 128 to 256 sectors; the
smallest Ostrel IV), each run cut or disturbed at a random point: the cable
pulled at a random byte, the CLI or the simulator killed during the burn, or
the simulator's chunk-nack, wrong-sum, bad-checksum or silence fault. After
each run it connects again and checks every piece of software the FAT lists
byte by byte, and that a command that exited 0 did what it planned.

  --start N       start number of the random draws (default: from the clock);
                  the same number gives the same runs
  --cuts N        stop after N cuts in all (default 100), spread over the
                  generations in turn
  --minutes M     stop after M minutes, whichever comes first
  --only G        only this generation (repeatable)
  --throughput B  the simulated line's bytes per second (default unlimited)
  --dir DIR       work folder (default: a new one under the temporary folder);
                  kept, with kept/ holding every lost, misreported or
                  hung run (a command killed after 300 s)
  --verbose       a line per run
SIGINT or SIGTERM ends the runs under way and prints the table so far.
Exit status: 0 when nothing was lost, misreported or hung, 1 otherwise, 2 usage.
)";

int usage(const std::string& why) {
  std::fprintf(stderr, "ostrel-soak: %s (ostrel-soak --help)\n", why.c_str());
  return 2;
}

}  // namespace
}  // namespace ostrel::soak

int main(int argc, char** argv) {
  using namespace ostrel::soak;
  QCoreApplication app(argc, argv);
  Options o;
  o.start = uint64_t(std::chrono::system_clock::now().time_since_epoch().count()) % 1000000;
  bool ownDir = true;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (a == "--verbose") {
      o.verbose = true;
      continue;
    }
    if (i + 1 >= argc) return usage("unknown option or no value: " + a);
    const std::string value = argv[++i];
    char* end = nullptr;
    auto number = [&] {
      const double v = std::strtod(value.c_str(), &end);
      return value.empty() || *end || v < 0 ? -1.0 : v;
    };
    double n = 0;
    if (a == "--start" && (n = number()) >= 0) {
      o.start = std::strtoull(value.c_str(), nullptr, 10);
    } else if (a == "--cuts" && (n = number()) >= 1) {
      o.cuts = int(n);
    } else if (a == "--minutes" && (n = number()) > 0) {
      o.minutes = n;
    } else if (a == "--throughput" && (n = number()) >= 0 && n <= UINT32_MAX) {
      o.throughput = uint32_t(n);
    } else if (a == "--dir" && !value.empty()) {
      o.dir = value;
      ownDir = false;
    } else if (a == "--only") {
      const auto g = std::find_if(std::begin(kGenerations), std::end(kGenerations),
                                  [&](const Generation& g) { return value == g.shortName; });
      if (g == std::end(kGenerations)) return usage("--only takes I, II, III or IV");
      o.generations.push_back(&*g);
    } else {
      return usage("unknown option or bad value: " + a + " " + value);
    }
  }
  if (o.generations.empty())
    for (const Generation& g : kGenerations) o.generations.push_back(&g);
  if (o.dir.empty()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "ostrel-soak-XXXXXX").string();
    if (!mkdtemp(pattern.data())) return usage("cannot make a work folder");
    o.dir = pattern;
  }

  std::vector<std::unique_ptr<Soak>> soaks;
  for (const Generation* g : o.generations) {
    const int index = int(g - kGenerations);
    auto soak = std::make_unique<Soak>(*g, index, o, o.dir + "/" + g->shortName);
    std::string error;
    if (!soak->begin(error)) {
      std::fprintf(stderr, "ostrel-soak: %s: %s\n", g->name, error.c_str());
      return 1;
    }
    soaks.push_back(std::move(soak));
  }
  std::printf("ostrel-soak --start %llu --cuts %d%s in %s\n", (unsigned long long)o.start, o.cuts,
              o.minutes > 0 ? (" --minutes " + std::to_string(o.minutes)).c_str() : "",
              o.dir.c_str());
  std::fflush(stdout);

  struct sigaction stop {};
  stop.sa_handler = [](int) { stopping = true; };
  sigaction(SIGINT, &stop, nullptr);
  sigaction(SIGTERM, &stop, nullptr);

  // The generations side by side, each with its share of the cuts: most of
  // a run is waiting for the module or for a process to start.
  QElapsedTimer clock;
  clock.start();
  std::atomic<int> cuts{0};
  std::vector<std::unique_ptr<QThread>> threads;
  for (std::size_t k = 0; k < soaks.size(); ++k) {
    const int share = o.cuts / int(soaks.size()) + (int(k) < o.cuts % int(soaks.size()) ? 1 : 0);
    Soak& soak = *soaks[k];
    threads.emplace_back(QThread::create([&, share] {
      while (!stopping && soak.tally.cuts < share &&
             (o.minutes <= 0 || clock.elapsed() < o.minutes * 60000)) {
        const int before = soak.tally.cuts;
        soak.run();
        if (soak.tally.cuts > before && ++cuts % 50 == 0)
          say(std::to_string(cuts) + " cuts, " + std::to_string(clock.elapsed() / 1000) + " s\n");
      }
    }));
    threads.back()->start();
  }
  for (auto& t : threads) t->wait();
  printTable(soaks, clock.elapsed() / 1000.0);
  bool bad = false;
  for (const auto& s : soaks) bad |= s->tally.lost + s->tally.misreported + s->tally.hung > 0;
  if (!bad && ownDir) {
    std::error_code ec;
    std::filesystem::remove_all(o.dir, ec);
  } else {
    std::printf("work folder: %s\n", o.dir.c_str());
  }
  return bad ? 1 : 0;
}
