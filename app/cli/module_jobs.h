// Work on several modules at once: each module's command runs in a child
// ostrel-cli of its own (the form core serves one module), and the parent
// reads the child's outcome, keeps its output in one piece and shows how far
// every module is.
#pragma once

#include <sys/types.h>

#include <QJsonArray>
#include <QJsonObject>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "app/cli/commands.h"
#include "flash/burn_journal.h"

namespace ostrel {

// A port and the module that answered on it.
struct FoundModule {
  std::string port;
  bool answered = false;
  Generation generation = OstrelI;
  uint16_t sectors = 0;
  std::array<uint8_t, 8> identity{};  // auxiliary number, then ID
  std::string aux, id;                // as detection shows them
  std::string problem;                // no module: why
  JournalKey key() const { return {generation, sectors, identity}; }
};

// Every port a module may be on: the USB serial ports and the virtual-port
// folder's links.
std::vector<std::string> candidatePorts();

// One child ostrel-cli. Its standard input is /dev/null, so it never waits
// for an answer; its standard error is a pseudo-terminal when asked, so it
// draws its progress line, which the parent shows in its table instead.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool start(const std::vector<std::string>& argv, bool progressTerminal);
  // Interrupts the child (SIGINT) when mayStop() says so, judged while the
  // child is held still: it cannot begin in between what mayStop() looks for.
  // True when it was interrupted.
  bool interruptIf(const std::function<bool()>& mayStop);
  // Reads what the child wrote; reaps it once both streams are closed.
  void pump();
  bool running() const { return pid_ > 0; }
  double seconds() const;
  // The streams still open, to wait on.
  std::vector<int> openFds() const;

  std::string out;       // standard output
  std::string err;       // whole lines of standard error, progress lines left out
  std::string progress;  // the progress line the child shows now
  int exitCode = -1;     // after the end; -1 when it ended by a signal
  int endSignal = 0;

 private:
  void readErr(const char* bytes, size_t n);
  pid_t pid_ = -1;
  bool reaped_ = false;  // ended while held still; status_ holds how
  int status_ = 0;
  int outFd_ = -1, errFd_ = -1;
  bool started_ = false;
  std::string errLine_;  // the line under way
  std::chrono::steady_clock::time_point begin_, end_;
};

// Finding the modules: the port scan's identify probe, one port after the
// other (about a second for a port where nothing answers).
FoundModule identifyModule(const std::string& port, int buildMode);
std::vector<FoundModule> findModules(const std::vector<std::string>& ports, int buildMode);

// Waits up to timeoutMs for any child to write or end, then reads from all.
void pumpChildren(const std::vector<ChildProcess*>& children, int timeoutMs);

// What a child's command did: its --json object when it printed one, else
// what its exit status and its "Fault code:" line say.
struct JobOutcome {
  bool ok = false;
  std::string faultCode, explanation;  // explanation: from the fault table, in the run's language
  QJsonObject
      object;  // the outcome object: ok, faultCode, done, notDone and the command's own keys
};
JobOutcome childOutcome(const std::string& command, const ChildProcess& child, int language);
// An outcome the parent decides without running the command.
JobOutcome refusedOutcome(const std::string& command, const std::string& reason);
// The outcome object with the module's keys added: port, generation, aux, id, seconds.
QJsonObject moduleOutcomeJson(const FoundModule& module, const JobOutcome& outcome, double seconds);

// The commands that would ask a question or write to the cartridge: with
// several modules they need --yes or --no.
bool commandAsks(const std::string& command);
// Whether the command prints its outcome as one JSON object with --json.
bool commandTakesJson(const std::string& command);

// The burn journal a module's jobs keep, and whether one is left.
std::string journalPath(const FoundModule& module);
bool journalLeft(const FoundModule& module);
// Whether stopping a job now could cut off a write: a burn has begun once its
// journal is on disk; the writes that keep no journal count from the start.
bool mayBeWriting(const CliOptions& options, const FoundModule& module);
// Names each module left with a journal (once per key).
void printJournalsLeft(const std::vector<FoundModule>& modules, FILE* to);

// SIGINT and SIGTERM from now on only counted: the first ends the work once
// the running jobs have finished, the second stops the jobs not writing.
void countInterrupts();
int interrupts();
// Stops (SIGINT) the job when it is not writing; true when it was stopped.
bool stopIfNotWriting(ChildProcess& job, const CliOptions& options, const FoundModule& module);

// Lines redrawn in place at the bottom of a terminal (standard error); text
// printed above them never mixes with them.
class LiveTable {
 public:
  LiveTable();
  bool active() const { return terminal_; }
  void draw(const std::vector<std::string>& lines);
  void clear();

 private:
  bool terminal_ = false;
  size_t drawn_ = 0;
  std::vector<std::string> shown_;
};

// A child's output as one block under a heading: its standard output (unless
// it is kept for the JSON list) on stdout, its standard error on stderr.
void printGrouped(const std::string& heading, const ChildProcess& child, bool withOut);

// Fixed-width columns.
std::string tableRow(const std::vector<std::string>& cells, const std::vector<size_t>& widths);

}  // namespace ostrel
