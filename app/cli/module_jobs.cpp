#include "app/cli/module_jobs.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <QJsonDocument>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>

#include "app/fault_codes.h"
#include "app/qt_clock.h"
#include "app/text_helpers.h"
#include "link/port_list.h"
#include "link/port_scan.h"
#include "link/tcomm.h"

extern char** environ;

namespace ostrel {

namespace {

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

std::string after(const std::string& line, const std::string& prefix) {
  return line.rfind(prefix, 0) == 0 ? line.substr(prefix.size()) : std::string();
}

std::string trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

// What the child's last lines of standard error say, for a failure that
// names no reason of its own.
std::string lastErrLine(const ChildProcess& child) {
  const std::vector<std::string> l = lines(child.err);
  return l.empty() ? std::string() : l.back();
}

}  // namespace

std::vector<std::string> candidatePorts() {
  return listSerialPorts();
}

FoundModule identifyModule(const std::string& port, int buildMode) {
  QtClock clock;
  TComm comm;
  applyComm1Values(comm);
  const PortProbe probe = probePort(comm, clock, portPathFor(port), buildMode);
  FoundModule m;
  m.port = probe.port;
  m.answered = probe.status == PortStatus::Module;
  if (!m.answered) {
    m.problem = portProbeText(probe);
    return m;
  }
  m.generation = probe.id.generation;
  m.sectors = probe.id.sectorCount;
  m.identity = probe.identity;
  m.aux = probeAuxText(probe);
  m.id = probeIdText(probe);
  return m;
}

std::vector<FoundModule> findModules(const std::vector<std::string>& ports, int buildMode) {
  std::vector<FoundModule> found;
  for (const std::string& port : ports) found.push_back(identifyModule(port, buildMode));
  return found;
}

// ---------------------------------------------------------------- children

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  if (outFd_ >= 0) ::close(outFd_);
  if (errFd_ >= 0) ::close(errFd_);
}

bool ChildProcess::start(const std::vector<std::string>& argv, bool progressTerminal) {
  int out[2] = {-1, -1}, err[2] = {-1, -1};
  if (::pipe2(out, O_CLOEXEC) != 0) return false;
  bool ok = progressTerminal ? ::openpty(&err[0], &err[1], nullptr, nullptr, nullptr) == 0
                             : ::pipe2(err, O_CLOEXEC) == 0;
  if (ok && progressTerminal) {
    // Raw, so the child's bytes arrive as written; the parent's end is not inherited.
    termios t{};
    ::tcgetattr(err[1], &t);
    ::cfmakeraw(&t);
    ::tcsetattr(err[1], TCSANOW, &t);
    ::fcntl(err[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(err[1], F_SETFD, FD_CLOEXEC);
  }
  if (ok) {
    std::vector<std::string> args = argv;
    std::vector<char*> cargv;
    for (std::string& a : args) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    // Its own process group: a Ctrl+C on the terminal reaches the parent
    // alone, which decides which jobs it stops.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    ok = ::posix_spawn(&pid_, cargv[0], &actions, &attr, cargv.data(), environ) == 0;
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
  }
  for (int fd : {out[1], err[1]})
    if (fd >= 0) ::close(fd);
  if (!ok) {
    pid_ = -1;
    for (int fd : {out[0], err[0]})
      if (fd >= 0) ::close(fd);
    return false;
  }
  outFd_ = out[0];
  errFd_ = err[0];
  for (int fd : {outFd_, errFd_}) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  started_ = true;
  begin_ = std::chrono::steady_clock::now();
  return true;
}

bool ChildProcess::interruptIf(const std::function<bool()>& mayStop) {
  if (pid_ <= 0 || reaped_) return false;
  ::kill(pid_, SIGSTOP);
  int status = 0;
  pid_t r;
  while ((r = ::waitpid(pid_, &status, WUNTRACED)) < 0 && errno == EINTR) {
  }
  if (r == pid_ && !WIFSTOPPED(status)) {
    reaped_ = true;  // it ended meanwhile
    status_ = status;
    return false;
  }
  const bool stop = mayStop();
  if (stop) ::kill(pid_, SIGINT);  // delivered as it goes on
  ::kill(pid_, SIGCONT);
  return stop;
}

double ChildProcess::seconds() const {
  const auto end = pid_ > 0 || !started_ ? std::chrono::steady_clock::now() : end_;
  return std::chrono::duration<double>(end - begin_).count();
}

std::vector<int> ChildProcess::openFds() const {
  std::vector<int> fds;
  for (int fd : {outFd_, errFd_})
    if (fd >= 0) fds.push_back(fd);
  return fds;
}

// Standard error line by line; what follows a carriage return without a line
// end is the progress line the child redraws in place.
void ChildProcess::readErr(const char* bytes, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const char ch = bytes[i];
    if (ch == '\n') {
      err += errLine_ + "\n";
      errLine_.clear();
      progress.clear();
    } else if (ch == '\r') {
      errLine_.clear();
    } else {
      errLine_ += ch;
      if (errLine_.size() >= 3 && errLine_.compare(errLine_.size() - 3, 3, "\033[K") == 0)
        errLine_.resize(errLine_.size() - 3);
      progress = errLine_;
    }
  }
}

void ChildProcess::pump() {
  char buffer[4096];
  for (int* fd : {&outFd_, &errFd_}) {
    while (*fd >= 0) {
      const ssize_t n = ::read(*fd, buffer, sizeof buffer);
      if (n > 0) {
        if (fd == &outFd_)
          out.append(buffer, size_t(n));
        else
          readErr(buffer, size_t(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      ::close(*fd);  // the end, or EIO from a terminal whose other side closed
      *fd = -1;
    }
  }
  if (pid_ <= 0 || outFd_ >= 0 || errFd_ >= 0) return;
  if (!errLine_.empty()) err += errLine_ + "\n";
  errLine_.clear();
  progress.clear();
  int status = status_;
  while (!reaped_ && ::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  endSignal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  pid_ = -1;
  end_ = std::chrono::steady_clock::now();
}

void pumpChildren(const std::vector<ChildProcess*>& children, int timeoutMs) {
  std::vector<pollfd> fds;
  for (ChildProcess* c : children)
    for (int fd : c->openFds()) fds.push_back({fd, POLLIN, 0});
  if (fds.empty()) {
    ::usleep(useconds_t(timeoutMs) * 1000);
    return;
  }
  ::poll(fds.data(), fds.size(), timeoutMs);
  for (ChildProcess* c : children) c->pump();
}

// ---------------------------------------------------------------- outcomes

JobOutcome childOutcome(const std::string& command, const ChildProcess& child, int language) {
  JobOutcome o;
  const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(child.out));
  // The child's own JSON is kept: an object is the outcome (or extended to
  // one), anything else goes under "result".
  if (doc.isObject())
    o.object = doc.object();
  else if (doc.isArray())
    o.object["result"] = doc.array();
  o.ok = o.object.contains("ok") ? o.object["ok"].toBool() && child.exitCode == 0
                                 : child.exitCode == 0;
  const std::vector<std::string> err = lines(child.err);
  for (const std::string& line : err) {
    const std::string code = after(line, "Fault code:");
    if (code.empty()) continue;
    o.faultCode = trimmed(code);
    break;
  }
  if (o.object.contains("faultCode")) o.faultCode = o.object["faultCode"].toString().toStdString();
  o.explanation = faultExplanation(o.faultCode, language);
  o.object["ok"] = o.ok;
  o.object["faultCode"] = QString::fromStdString(o.faultCode);
  if (!o.object.contains("done")) o.object["done"] = QJsonArray();
  if (!o.object.contains("notDone")) o.object["notDone"] = QJsonArray();
  if (!o.ok && o.object["notDone"].toArray().isEmpty()) {
    std::string reason = lastErrLine(child);
    if (child.endSignal) reason = "stopped by signal " + std::to_string(child.endSignal);
    if (reason.empty()) reason = "exit status " + std::to_string(child.exitCode);
    o.object["notDone"] = QJsonArray{QJsonObject{{"name", QString::fromStdString(command)},
                                                 {"reason", QString::fromStdString(reason)}}};
  }
  return o;
}

JobOutcome refusedOutcome(const std::string& command, const std::string& reason) {
  JobOutcome o;
  o.object["ok"] = false;
  o.object["faultCode"] = "";
  o.object["done"] = QJsonArray();
  o.object["notDone"] = QJsonArray{QJsonObject{{"name", QString::fromStdString(command)},
                                               {"reason", QString::fromStdString(reason)}}};
  return o;
}

QJsonObject moduleOutcomeJson(const FoundModule& module, const JobOutcome& outcome,
                              double seconds) {
  QJsonObject o = outcome.object;
  o["port"] = QString::fromStdString(module.port);
  o["generation"] =
      module.answered ? QString::fromStdString(generationName(module.generation)) : QString();
  o["aux"] = QString::fromStdString(module.aux);
  o["id"] = QString::fromStdString(module.id);
  o["seconds"] = double(int64_t(seconds * 10 + 0.5)) / 10;
  return o;
}

// A command asks when it plans changes (install, remove: --dry-run shows the
// plan) or does something to the whole cartridge that is confirmed first.
bool commandAsks(const std::string& command) {
  const auto rule = commandRules().find(command);
  return rule != commandRules().end() &&
         (rule->second.destructive || rule->second.options.count("--dry-run"));
}

// detect and ports print a listing of modules, not one module's outcome.
bool commandTakesJson(const std::string& command) {
  const auto rule = commandRules().find(command);
  return rule != commandRules().end() && rule->second.options.count("--json") &&
         command != "detect" && command != "ports";
}

// ---------------------------------------------------------------- stopping

namespace {
volatile std::sig_atomic_t interruptCount = 0;
void onInterrupt(int) {
  interruptCount = interruptCount + 1;
}
}  // namespace

void countInterrupts() {
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

int interrupts() {
  return interruptCount;
}

std::string journalPath(const FoundModule& m) {
  return writableProgramDirectory(currentExecutablePath()) + journalFileName(m.key());
}

bool journalLeft(const FoundModule& m) {
  std::error_code error;
  return std::filesystem::exists(journalPath(m), error);
}

bool mayBeWriting(const CliOptions& o, const FoundModule& m) {
  static const std::set<std::string> withoutJournal = {"erase", "qc", "clear-catalogue", "cf-test"};
  static const std::set<std::string> withJournal = {"install", "remove", "program", "auto"};
  if (o.dryRun) return false;
  if (withoutJournal.count(o.command)) return true;
  return withJournal.count(o.command) && journalLeft(m);
}

bool stopIfNotWriting(ChildProcess& job, const CliOptions& o, const FoundModule& m) {
  return job.interruptIf([&] { return !mayBeWriting(o, m); });
}

void printJournalsLeft(const std::vector<FoundModule>& modules, FILE* to) {
  std::set<std::string> named;
  for (const FoundModule& m : modules)
    if (m.answered && named.insert(moduleKeyText(m.key())).second && journalLeft(m))
      std::fprintf(
          to,
          "Left with a journal: %s (ID %s): connect it to this computer again to finish or "
          "undo its burn (%s)\n",
          m.port.c_str(), m.id.c_str(), journalPath(m).c_str());
  std::fflush(to);
}

// ---------------------------------------------------------------- showing

LiveTable::LiveTable() : terminal_(isatty(STDERR_FILENO)) {}

void LiveTable::clear() {
  if (!terminal_ || drawn_ == 0) return;
  std::fprintf(stderr, "\r\033[%zuA\033[J", drawn_);
  std::fflush(stderr);
  drawn_ = 0;
}

void LiveTable::draw(const std::vector<std::string>& rows) {
  if (!terminal_ || (drawn_ > 0 && rows == shown_)) return;
  clear();
  shown_ = rows;
  for (const std::string& row : rows) std::fprintf(stderr, "%.*s\n", 150, row.c_str());
  std::fflush(stderr);
  drawn_ = rows.size();
}

void printGrouped(const std::string& heading, const ChildProcess& child, bool withOut) {
  const std::string rule = "== " + heading + " ==\n";
  if (withOut && !child.out.empty()) {
    std::fputs(rule.c_str(), stdout);
    std::fputs(child.out.c_str(), stdout);
    std::fflush(stdout);
  }
  if (!child.err.empty()) {
    std::fputs(rule.c_str(), stderr);
    std::fputs(child.err.c_str(), stderr);
    std::fflush(stderr);
  }
}

std::string tableRow(const std::vector<std::string>& cells, const std::vector<size_t>& widths) {
  std::string row;
  for (size_t i = 0; i < cells.size(); ++i) {
    std::string cell = cells[i];
    if (i + 1 < cells.size() && i < widths.size() && cell.size() < widths[i])
      cell.resize(widths[i], ' ');
    row += (i ? "  " : "") + cell;
  }
  return row;
}

}  // namespace ostrel
