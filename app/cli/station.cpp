// The station: waits for modules, runs the command on each new one while
// the others run, and logs one JSON line per job.
#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QJsonDocument>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <set>

#include "app/cli/production_line.h"
#include "app/text_helpers.h"
#include "link/device_watch.h"

namespace ostrel {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPumpMs = 200;
// The port list is read again this often even without a notice (a source
// of notices may be missing).
constexpr auto kRescan = std::chrono::seconds(2);
// A port where no module answered is tried this many times, a second apart:
// a device may appear before it answers.
constexpr int kIdentifyTries = 3;
constexpr auto kRetry = std::chrono::seconds(1);

enum class Slot { NoModule, Running, Done, Refused };

struct SeenPort {
  std::string port;
  Slot slot = Slot::NoModule;
  std::unique_ptr<ChildProcess> job;
  int tries = 0;
  Clock::time_point nextTry;
  FoundModule module;
  JobOutcome outcome;
  bool stopped = false;
  bool unplugged = false;  // gone while its job ran
};

struct FinishedJob {
  FoundModule module;
  std::string result;
  JobOutcome outcome;
  double seconds = 0;
};

std::string nowText() {
  const std::time_t t = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&t, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::string hostName() {
  char name[256] = {};
  ::gethostname(name, sizeof name - 1);
  return name;
}

std::string slotText(const SeenPort& s) {
  switch (s.slot) {
    case Slot::NoModule:
      return "no module: " + s.module.problem;
    case Slot::Running:
      return s.job->progress.empty() ? "working" : s.job->progress;
    case Slot::Done:
    case Slot::Refused:
      break;
  }
  return resultWord(s.outcome, s.slot == Slot::Refused, s.stopped) + ", unplug it";
}

class Station {
 public:
  explicit Station(const LineRequest& r) : r_(r) {
    command_ = r.options.command;
    for (const std::string& a : r.options.args) command_ += " " + a;
  }

  int run() {
    logFd_ = ::open(r_.log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (logFd_ < 0) {
      std::fprintf(stderr, "ostrel-cli: %s: %s\n", r_.log.c_str(), std::strerror(errno));
      return kExitFailed;
    }
    countInterrupts();

    DeviceWatch watch;
    bool rescan = true;
    watch.OnDeviceChange = [&](uint32_t) { rescan = true; };
    std::fprintf(stderr,
                 "ostrel-cli: station: %s on every module plugged in; Ctrl+C ends it once the "
                 "jobs running have finished\n",
                 command_.c_str());
    Clock::time_point lastScan;
    bool stopSent = false;
    for (;;) {
      QCoreApplication::processEvents();
      if (interrupts() >= 2 && !stopSent) {
        stopSent = true;
        stopJobsNotWriting();
      }
      if (rescan || Clock::now() - lastScan >= kRescan) {
        rescan = false;
        lastScan = Clock::now();
        updatePorts();
      }
      table_.draw(tableRows());
      pumpChildren(children(), kPumpMs);
      handleEnded();
      if (interrupts() >= 1 && !anyRunning()) break;
    }
    table_.clear();
    ::close(logFd_);
    return summary();
  }

 private:
  std::vector<ChildProcess*> children() {
    std::vector<ChildProcess*> all;
    for (auto& [port, s] : seen_) {
      if (s->job && s->job->running()) all.push_back(s->job.get());
    }
    return all;
  }

  bool anyRunning() {
    for (auto& [port, s] : seen_)
      if (s->slot == Slot::Running) return true;
    return false;
  }

  void updatePorts() {
    const std::vector<std::string> list = candidatePorts();
    const std::set<std::string> present(list.begin(), list.end());
    for (auto it = seen_.begin(); it != seen_.end();) {
      SeenPort& s = *it->second;
      if (present.count(s.port)) {
        ++it;
      } else if (s.slot == Slot::Running) {
        s.unplugged = true;  // forgotten once its child has ended
        ++it;
      } else {
        it = seen_.erase(it);  // unplugged: the next module here is a new job
      }
    }
    if (interrupts() > 0) return;
    for (const std::string& port : list) {
      auto& s = seen_[port];
      if (!s) {
        s = std::make_unique<SeenPort>();
        s->port = port;
        identify(*s);
      } else if (s->slot == Slot::NoModule && s->tries < kIdentifyTries &&
                 Clock::now() >= s->nextTry) {
        identify(*s);
      }
    }
  }

  // The port of another module present with the same key, or "".
  std::string portWithKey(const SeenPort& s) {
    const std::string key = moduleKeyText(s.module.key());
    for (auto& [port, other] : seen_)
      if (other.get() != &s && (other->slot == Slot::Running || other->slot == Slot::Done) &&
          moduleKeyText(other->module.key()) == key)
        return port;
    return {};
  }

  void handleEnded() {
    for (auto it = seen_.begin(); it != seen_.end();) {
      SeenPort& s = *it->second;
      if (s.slot == Slot::Running && !s.job->running()) finished(s);
      const bool idle = s.slot != Slot::Running;
      it = idle && s.unplugged ? seen_.erase(it) : std::next(it);
    }
  }

  void identify(SeenPort& s) {
    s.module = identifyModule(s.port, o().mode);
    if (!s.module.answered) {
      s.slot = Slot::NoModule;
      ++s.tries;
      s.nextTry = Clock::now() + kRetry;
      return;
    }
    if (interrupts() > 0) {
      s.slot = Slot::NoModule;
      s.module.problem = "not started: the station is ending";
      return;
    }
    if (const std::string first = portWithKey(s); !first.empty()) {
      s.slot = Slot::Refused;
      s.outcome = refusedOutcome(o().command, "the module on " + first + " has the same key (" +
                                                  moduleKeyText(s.module.key()) +
                                                  "): one module per key in a run");
      record(s, 0);
      return;
    }
    s.job = std::make_unique<ChildProcess>();
    if (!s.job->start(childArguments(r_, s.module), table_.active())) {
      s.slot = Slot::Refused;
      s.outcome = refusedOutcome(o().command, "the program could not be started");
      record(s, 0);
      return;
    }
    s.slot = Slot::Running;
  }

  void finished(SeenPort& s) {
    s.outcome = childOutcome(o().command, *s.job, o().language);
    if (s.stopped) {
      s.outcome = refusedOutcome(o().command, "stopped before it began writing");
    }
    s.slot = Slot::Done;
    table_.clear();
    printGrouped(s.port + "  ID " + s.module.id, *s.job, false);  // its JSON goes to the log
    record(s, s.job->seconds());
  }

  void record(const SeenPort& s, double seconds) {
    QJsonObject line = moduleOutcomeJson(s.module, s.outcome, seconds);
    line["time"] = QString::fromStdString(nowText());
    line["host"] = QString::fromStdString(hostName());
    line["command"] = QString::fromStdString(command_);
    const QByteArray text = QJsonDocument(line).toJson(QJsonDocument::Compact) + "\n";
    // One write per line, so a collector following the file never sees half of one.
    if (::write(logFd_, text.constData(), size_t(text.size())) != text.size())
      std::fprintf(stderr, "ostrel-cli: %s: %s\n", r_.log.c_str(), std::strerror(errno));
    finished_.push_back(
        {s.module, resultWord(s.outcome, s.slot == Slot::Refused, s.stopped), s.outcome, seconds});
  }

  void stopJobsNotWriting() {
    for (auto& [port, s] : seen_) {
      if (s->slot == Slot::Running) s->stopped = stopIfNotWriting(*s->job, o(), s->module);
    }
  }

  std::vector<std::string> tableRows() {
    std::vector<std::string> rows;
    if (interrupts() == 1)
      rows.push_back(
          "ending once the running jobs finish (Ctrl+C again: "
          "stop the jobs that have not begun writing)");
    for (auto& [port, s] : seen_)
      rows.push_back(tableRow({port, s->module.id, slotText(*s)}, {24, 12}));
    if (seen_.empty()) rows.push_back("waiting for modules");
    return rows;
  }

  int summary() {
    std::vector<std::vector<std::string>> rows;
    bool allOk = true;
    for (const FinishedJob& j : finished_) {
      rows.push_back(summaryRow(j.module, j.result, j.outcome, j.seconds));
      allOk = allOk && j.outcome.ok;
    }
    printSummary(rows, stdout);
    std::vector<FoundModule> modules;
    for (const FinishedJob& j : finished_) modules.push_back(j.module);
    printJournalsLeft(modules, stdout);
    return allOk ? kExitOk : kExitFailed;
  }

  const CliOptions& o() const { return r_.options; }

  const LineRequest& r_;
  std::string command_;
  int logFd_ = -1;
  LiveTable table_;
  std::map<std::string, std::unique_ptr<SeenPort>> seen_;
  std::vector<FinishedJob> finished_;
};

}  // namespace

int runStation(const LineRequest& request) {
  return Station(request).run();
}

}  // namespace ostrel
