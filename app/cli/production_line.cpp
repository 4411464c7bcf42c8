#include "app/cli/production_line.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <memory>
#include <set>

#include "app/text_helpers.h"
#include "link/identify.h"

namespace ostrel {

namespace {

constexpr int kTableIntervalMs = 200;

// Splits off what the production line reads itself; the rest goes to every
// child as it stands.
void scan(int argc, char** argv, LineRequest& r) {
  // The options of the command line that take a value.
  static const std::set<std::string> withValue = {"--mode", "--language", "--link", "--select",
                                                  "-o"};
  bool optionsEnded = false, commandSeen = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool value = i + 1 < argc;
    if (optionsEnded || a.empty() || a[0] != '-') {
      if (!commandSeen && a == "station" && !r.station) {
        r.station = true;
        continue;
      }
      commandSeen = true;
      r.forwarded.push_back(a);
    } else if (a == "--") {
      optionsEnded = true;
      r.forwarded.push_back(a);
    } else if (a == "--port" && value) {
      r.ports.push_back(argv[++i]);
    } else if (a == "--log" && value) {
      r.log = argv[++i];
    } else if (a == "--every-module") {
      r.everyModule = true;
    } else if (a == "--json") {
      r.json = true;
    } else {
      r.forwarded.push_back(a);
      if (withValue.count(a) && value) r.forwarded.push_back(argv[++i]);
    }
  }
}

std::string upper(std::string s) {
  for (char& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// A file a read writes, named by the module's key: FILE becomes FILE_KEY.ext;
// without -o, KEY_SECfirst-last.BIN in the program's folder.
std::string readFileFor(const CliOptions& o, const FoundModule& m) {
  const std::string key = moduleKeyText(m.key());
  if (o.output.empty())
    return writableProgramDirectory(currentExecutablePath()) + key + "_SEC" + upper(o.args[0]) +
           "-" + upper(o.args[1]) + ".BIN";
  const size_t slash = o.output.rfind('/');
  const size_t dot = o.output.rfind('.');
  const size_t cut = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1)
                         ? dot
                         : o.output.size();
  return o.output.substr(0, cut) + "_" + key + o.output.substr(cut);
}

struct LineJob {
  FoundModule module;
  ChildProcess child;
  bool refused = false, finished = false, stopped = false;
  JobOutcome outcome;
  double seconds = 0;
};

std::string heading(const FoundModule& m) {
  return m.port + (m.id.empty() ? "" : "  ID " + m.id);
}

std::vector<std::string> liveRows(const std::vector<std::unique_ptr<LineJob>>& jobs) {
  std::vector<std::string> rows;
  const std::vector<size_t> widths = {24, 12};
  for (const auto& j : jobs) {
    std::string state = j->finished ? resultWord(j->outcome, j->refused, j->stopped)
                        : !j->child.progress.empty() ? j->child.progress
                                                     : "working";
    rows.push_back(tableRow({j->module.port, j->module.id, state}, widths));
  }
  return rows;
}

int runLine(LineRequest& r) {
  const CliOptions& o = r.options;
  if (r.everyModule && !r.ports.empty())
    return usage("--every-module and --port exclude each other");
  std::set<std::string> named;
  for (const std::string& p : r.ports)
    if (!named.insert(p).second) return usage("port " + p + " is named twice");

  // Ctrl+C ends the command once the running jobs have finished; a second
  // one stops the jobs that have not begun writing.
  countInterrupts();
  const std::vector<std::string> ports = r.everyModule ? candidatePorts() : r.ports;
  std::vector<std::unique_ptr<LineJob>> jobs;
  std::map<std::string, std::string> portOfKey;
  for (const FoundModule& m : findModules(ports, o.mode)) {
    if (r.everyModule && !m.answered) continue;
    auto job = std::make_unique<LineJob>();
    job->module = m;
    if (!m.answered) {
      job->finished = true;
      job->outcome = refusedOutcome(o.command, m.problem);
    } else if (const auto [first, isNew] = portOfKey.emplace(moduleKeyText(m.key()), m.port);
               !isNew) {
      // Its journal and its files would be the other module's.
      job->refused = true;
      job->outcome =
          refusedOutcome(o.command, "the module on " + first->second + " has the same key (" +
                                        first->first + "): one module per key in a run");
    }
    jobs.push_back(std::move(job));
  }
  if (jobs.empty()) {
    std::fprintf(stderr, "ostrel-cli: no module found\n");
    return kExitFailed;
  }

  LiveTable table;
  std::vector<ChildProcess*> children;
  for (auto& j : jobs) {
    if (j->refused || j->finished) {
      j->finished = true;
      continue;
    }
    if (interrupts() > 0) {
      j->stopped = j->finished = true;
      j->outcome = refusedOutcome(o.command, "not started: interrupted");
      continue;
    }
    if (!j->child.start(childArguments(r, j->module), table.active())) {
      j->outcome = refusedOutcome(o.command, "the program could not be started");
      j->finished = true;
      continue;
    }
    children.push_back(&j->child);
  }
  bool stopSent = false;
  for (;;) {
    if (interrupts() >= 2 && !stopSent) {
      stopSent = true;
      for (auto& j : jobs)
        if (!j->finished) j->stopped = stopIfNotWriting(j->child, o, j->module);
    }
    table.draw(liveRows(jobs));
    pumpChildren(children, kTableIntervalMs);
    bool running = false;
    for (auto& j : jobs) {
      if (j->finished) continue;
      if (j->child.running()) {
        running = true;
        continue;
      }
      j->finished = true;
      j->outcome = j->stopped ? refusedOutcome(o.command, "stopped before it began writing")
                              : childOutcome(o.command, j->child, o.language);
      j->seconds = j->child.seconds();
      table.clear();
      printGrouped(heading(j->module), j->child, !r.json);
    }
    if (!running) break;
  }
  table.clear();

  bool allOk = true;
  QJsonArray list;
  std::vector<std::vector<std::string>> rows;
  for (const auto& j : jobs) {
    allOk = allOk && j->outcome.ok;
    list.append(moduleOutcomeJson(j->module, j->outcome, j->seconds));
    rows.push_back(summaryRow(j->module, resultWord(j->outcome, j->refused, j->stopped), j->outcome,
                              j->seconds));
  }
  // With --json the list alone is on stdout; the table is for whoever watches.
  printSummary(rows, r.json ? stderr : stdout);
  std::vector<FoundModule> modules;
  for (const auto& j : jobs) modules.push_back(j->module);
  printJournalsLeft(modules, r.json ? stderr : stdout);
  if (r.json) {
    std::fputs(QJsonDocument(list).toJson(QJsonDocument::Indented).constData(), stdout);
    std::fflush(stdout);
  }
  return allOk ? kExitOk : kExitFailed;
}

}  // namespace

std::vector<std::string> childArguments(const LineRequest& r, const FoundModule& m) {
  std::vector<std::string> args = {currentExecutablePath(), "--port", m.port};
  if (r.json && commandTakesJson(r.options.command)) args.push_back("--json");
  bool output = false;
  for (size_t i = 0; i < r.forwarded.size(); ++i) {
    args.push_back(r.forwarded[i]);
    if (r.options.command == "read" && r.forwarded[i] == "-o" && i + 1 < r.forwarded.size()) {
      args.push_back(readFileFor(r.options, m));
      ++i;
      output = true;
    }
  }
  if (r.options.command == "read" && !output) {
    // An option after the command's arguments is read as one.
    args.push_back("-o");
    args.push_back(readFileFor(r.options, m));
  }
  return args;
}

std::vector<std::string> summaryHeading() {
  return {"PORT", "GENERATION", "ID", "RESULT", "SECONDS", "FAULT CODE"};
}

std::vector<std::string> summaryRow(const FoundModule& m, const std::string& result,
                                    const JobOutcome& outcome, double seconds) {
  char secondsText[32];
  std::snprintf(secondsText, sizeof secondsText, "%.1f", seconds);
  std::string fault = outcome.faultCode;
  if (!outcome.explanation.empty()) fault += (fault.empty() ? "" : " ") + outcome.explanation;
  if (fault.empty() && !outcome.ok) {
    const QJsonArray notDone = outcome.object["notDone"].toArray();
    if (!notDone.isEmpty()) fault = notDone.first().toObject()["reason"].toString().toStdString();
  }
  return {m.port,
          m.answered ? generationName(m.generation) : "-",
          m.id.empty() ? "-" : m.id,
          result,
          secondsText,
          fault};
}

void printSummary(const std::vector<std::vector<std::string>>& rows, FILE* to) {
  std::vector<std::vector<std::string>> all = {summaryHeading()};
  all.insert(all.end(), rows.begin(), rows.end());
  std::vector<size_t> widths(all.front().size(), 0);
  for (const auto& row : all)
    for (size_t i = 0; i < row.size() && i < widths.size(); ++i)
      widths[i] = std::max(widths[i], row[i].size());
  for (const auto& row : all) std::fprintf(to, "%s\n", tableRow(row, widths).c_str());
  std::fflush(to);
}

std::string resultWord(const JobOutcome& outcome, bool refused, bool stopped) {
  if (outcome.ok) return "ok";
  return refused ? "refused" : stopped ? "stopped" : "failed";
}

int runProductionLine(int argc, char** argv, CliParser parse) {
  LineRequest r;
  scan(argc, argv, r);
  if (!r.station && !r.everyModule && r.ports.size() < 2) {
    if (!r.log.empty()) return usage("--log goes with station");
    return -1;  // one module: the ordinary command line
  }
  // The command and its options as one module's command line reads them.
  std::vector<std::string> check = {argv[0]};
  check.insert(check.end(), r.forwarded.begin(), r.forwarded.end());
  std::vector<char*> cargv;
  for (std::string& a : check) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  if (const int status = parse(int(check.size()), cargv.data(), r.options); status >= 0)
    return status;
  const CliOptions& o = r.options;
  if (commandAsks(o.command) && o.answer == CliHost::Answer::Ask)
    return usage(std::string(r.station ? "a station" : "several modules") +
                 " never ask: say with --yes or --no what the questions of " + o.command + " get");
  if (r.station) {
    if (r.log.empty()) return usage("station needs --log FILE.jsonl");
    if (!r.ports.empty() || r.everyModule)
      return usage("a station takes every module plugged in: no --port, no --every-module");
    r.json = true;  // each job's outcome object goes into the log
    return runStation(r);
  }
  if (!r.log.empty()) return usage("--log goes with station");
  return runLine(r);
}

}  // namespace ostrel
