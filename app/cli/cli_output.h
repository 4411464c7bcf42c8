// What the command line prints while the core works: the operator log as it
// grows, faults on stderr, and on a terminal one progress line that is
// redrawn in place (never when stderr is a file or a pipe, so logs stay clean).
#pragma once

#include <QTimer>
#include <cstdint>
#include <functional>
#include <string>

#include "app/cli/cli_host.h"
#include "app/form_main.h"
#include "app/progress_line.h"

namespace ostrel {

class CliOutput {
 public:
  // How an operation shows how far it is.
  enum class Measure {
    Sectors,  // the sector counters of the flash panel (or the total given)
    Bar,      // the main progress bar only
  };

  CliOutput(TForm_MAIN& form, CliHost& host, bool quiet, bool json);
  CliOutput(const CliOutput&) = delete;
  CliOutput& operator=(const CliOutput&) = delete;

  // Prints the operator-log lines added since the last call.
  void flushLog();
  // From now on neither the log nor message boxes are printed.
  void mute();
  // Runs an operation with its log printed as it grows and, on a terminal, a
  // progress line. total: the sectors the operation walks, when the flash
  // panel does not say.
  bool run(const std::function<bool()>& operation, Measure measure = Measure::Sectors,
           uint32_t total = 0);
  // A result: stdout, also with --quiet.
  void result(const std::string& line);
  // A fault or refusal of the command line itself: stderr, always.
  void error(const std::string& line);
  // Whether a fault code reached the log since the last run began.
  bool faultSeen() const { return faultSeen_; }

 private:
  void clearProgress();
  void drawProgress();
  void printLogLine(const std::string& line);

  TForm_MAIN& form_;
  CliHost& host_;
  bool quiet_, json_;
  bool muted_ = false;
  bool terminal_ = false;  // stderr is a terminal: progress may be drawn
  bool drawn_ = false;     // a progress line is on the screen
  bool faultSeen_ = false;
  size_t printed_ = 0;
  std::string lastLine_;  // the last line printed, to print a repeated result once
  uint64_t seenRevision_ = 0;
  QTimer timer_;
  Measure measure_ = Measure::Sectors;
  uint32_t total_ = 0;
  std::string stepKey_;
  uint32_t stepStart_ = 0, stepDone_ = 0;
  uint32_t lastDone_ = 0, lastDoneAt_ = 0;  // when the sector count last rose
};

}  // namespace ostrel
