#include "app/cli/cli_output.h"

#include <unistd.h>

#include <cstdio>

#include "app/fault_codes.h"
#include "app/prompt_table.h"
#include "app/text_helpers.h"

namespace ostrel {

namespace {

constexpr int kProgressIntervalMs = 200;

// Sectors a display shows as the offset of its last byte ("00000000": none).
uint32_t sectorsShown(const std::string& text) {
  if (text.size() != 8 || text == "00000000") return 0;
  return uint32_t((uint64_t(hexTextToUint(text)) + 1) / kSectorSize);
}

}  // namespace

CliOutput::CliOutput(TForm_MAIN& form, CliHost& host, bool quiet, bool json)
    : form_(form), host_(host), quiet_(quiet), json_(json) {
  terminal_ = !quiet && isatty(STDERR_FILENO);
  // A box comes after the log lines written before it.
  host_.show = [this](const std::string& line) {
    flushLog();
    if (!muted_) error(line);
  };
  timer_.setInterval(kProgressIntervalMs);
  QObject::connect(&timer_, &QTimer::timeout, [this] {
    flushLog();
    drawProgress();
  });
}

void CliOutput::printLogLine(const std::string& line) {
  if (line.rfind(form_.Prompt(Msg::FaultPrefix), 0) == 0) faultSeen_ = true;
  // A result the operation shows twice in a row (status, then its box) is printed once.
  if (line == lastLine_) return;
  lastLine_ = line;
  // A fault and what the operation says after it go to stderr, also with --quiet.
  if (faultSeen_) {
    error(line);
  } else if (!quiet_ && !json_ && !line.empty()) {
    clearProgress();
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  }
}

void CliOutput::flushLog() {
  const Memo& memo = form_.Memo1;
  // Each line added and each clear moves the revision: more changes than new
  // lines means the log was cleared, and every line there now is new.
  const uint64_t changes = memo.revision - seenRevision_;
  if (memo.lines.size() < printed_ || changes > memo.lines.size() - printed_) printed_ = 0;
  seenRevision_ = memo.revision;
  if (muted_) {
    printed_ = memo.lines.size();
    return;
  }
  for (; printed_ < memo.lines.size(); ++printed_) printLogLine(memo.lines[printed_]);
}

void CliOutput::mute() {
  flushLog();
  clearProgress();
  muted_ = true;
  host_.muted = true;
}

bool CliOutput::run(const std::function<bool()>& operation, Measure measure, uint32_t total) {
  flushLog();
  faultSeen_ = false;
  measure_ = measure;
  total_ = total;
  stepKey_.clear();
  if (terminal_) timer_.start();
  const bool ok = operation();
  timer_.stop();
  clearProgress();
  flushLog();
  return ok;
}

void CliOutput::result(const std::string& line) {
  clearProgress();
  std::printf("%s\n", displayText(form_.Language, line).c_str());
  std::fflush(stdout);
}

void CliOutput::error(const std::string& line) {
  // A box repeats the text just printed from the log: "[error] Program Fail!".
  const size_t label = line.rfind("] ", 12);
  if (!line.empty() && line[0] == '[' && label != std::string::npos &&
      line.compare(label + 2, std::string::npos, lastLine_) == 0)
    return;
  lastLine_ = line;
  clearProgress();
  // Scripts look for "Fault code:" whatever the language of the texts.
  const std::string& prefix = form_.Prompt(Msg::FaultPrefix);
  const std::string shown = displayText(form_.Language, line);
  const std::string english(promptText(Msg::FaultPrefix, 0));
  if (shown.rfind(prefix, 0) == 0)
    std::fprintf(stderr, "%s%s\n", english.c_str(), shown.c_str() + prefix.size());
  else
    std::fprintf(stderr, "%s\n", shown.c_str());
  // What the code means and what to do, in the run's language, on the next line.
  for (const std::string& p : {prefix, english}) {
    const size_t at = shown.find(p);
    if (at == std::string::npos) continue;
    const std::string why = faultExplanation(shown.substr(at + p.size(), 4), form_.Language);
    if (!why.empty()) std::fprintf(stderr, "  %s\n", why.c_str());
    break;
  }
}

void CliOutput::clearProgress() {
  if (!drawn_) return;
  std::fputs("\r\033[K", stderr);
  drawn_ = false;
}

void CliOutput::drawProgress() {
  if (muted_) return;
  const TForm_MAIN& f = form_;
  ProgressFigures p;
  if (f.Form_Wait.Visible) {
    p.step = f.Form_Wait.Label_WaitInfo.text;
    const ProgressBar& bar = f.Form_Wait.ProgressBar_Wait;
    p.percent = bar.max > bar.min ? (bar.position - bar.min) * 100 / (bar.max - bar.min) : 0;
  } else if (measure_ == Measure::Sectors) {
    p.step = f.StaticText_Status1.text;
    p.total = total_ ? total_ : sectorsShown(f.StaticText_PROG_Size.text);
    p.done = sectorsShown(f.StaticText_PROG_FINISH.text);
  } else {
    p.step = f.StaticText_Status1.text;
    const ProgressBar& bar = f.ProgressBar1;
    p.percent = bar.max > bar.min ? (bar.position - bar.min) * 100 / (bar.max - bar.min) : 0;
  }
  // The rate and the time left count from the start of the present step.
  const uint32_t now = form_.clock.tick();
  const std::string key = p.step + "|" + std::to_string(p.total);
  if (key != stepKey_) {
    stepKey_ = key;
    stepStart_ = now;
    stepDone_ = lastDone_ = p.done;
    lastDoneAt_ = now;
  }
  if (p.done != lastDone_) {
    lastDone_ = p.done;
    lastDoneAt_ = now;
  }
  p.elapsedMs = now - stepStart_;
  p.idleMs = now - lastDoneAt_;
  p.doneInStep = p.done >= stepDone_ ? p.done - stepDone_ : 0;
  std::fprintf(stderr, "\r\033[K%s", progressLine(p, form_.Language).c_str());
  std::fflush(stderr);
  drawn_ = true;
}

}  // namespace ostrel
