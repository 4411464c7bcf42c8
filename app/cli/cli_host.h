// Host services for the command line: dialogs answered from flags, never by
// waiting on standard input when it is not a terminal.
#pragma once

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/host.h"

namespace ostrel {

class CliHost : public Host {
 public:
  enum class Answer { Ask, Yes, No };

  CliHost(std::string programDir, Answer answer, bool quiet)
      : programDir_(std::move(programDir)), answer_(answer), quiet_(quiet) {}

  MsgBoxResult messageBox(int message, const std::string& text, const std::string& caption,
                          MsgBoxKind kind, MsgBoxButtons buttons) override;
  OpenFileResult openFileDialog(const OpenFileRequest& request) override;
  void beep() override {}
  void setHourglass(bool) override {}
  ScreenSize screenSize() override { return {1024, 768}; }
  OsVersion osVersion() override { return {true, 5, 0, 0}; }
  bool setPriorityClass(bool) override { return true; }
  std::string programDirectory() override { return programDir_; }
  // The port chosen before the form existed: the form never scans for another.
  std::vector<std::string> portList(const PortNote&) override;

  std::vector<std::string> files;  // answers the open-file dialog
  std::string onlyPort;
  Answer answerMode() const { return answer_; }
  void setAnswerMode(Answer answer) { answer_ = answer; }
  // Questions that make no sense on a command line, answered without asking,
  // by message number.
  std::map<int, MsgBoxResult> presetAnswers;
  // Boxes are still answered, but not printed.
  bool muted = false;
  // Prints a box's text (set by the output, which keeps stderr in order).
  std::function<void(const std::string& line)> show;
  // Asks on the terminal (or takes --yes/--no, or "no" without a terminal).
  bool confirm();
  // Whether a question is printed: always, unless --quiet and nobody is asked.
  bool showsQuestions() const;

 private:
  std::string programDir_;
  Answer answer_;
  bool quiet_;
};

}  // namespace ostrel
