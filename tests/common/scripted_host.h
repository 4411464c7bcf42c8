// A Host for tests: records every call and answers from queues.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "app/host.h"
#include "common/temp_dir.h"

namespace ostrel {

class ScriptedHost : public Host {
 public:
  struct Box {
    std::string text;
    std::string caption;
    MsgBoxKind kind;
    MsgBoxButtons buttons;
    int message = 0;
  };

  MsgBoxResult messageBox(int message, const std::string& text, const std::string& caption,
                          MsgBoxKind kind, MsgBoxButtons buttons) override {
    boxes.push_back({text, caption, kind, buttons, message});
    if (buttons == MsgBoxButtons::Ok) return MsgBoxResult::Ok;
    if (answers.empty()) return MsgBoxResult::No;
    MsgBoxResult r = answers.front();
    answers.pop_front();
    return r;
  }
  OpenFileResult openFileDialog(const OpenFileRequest& request) override {
    fileRequests.push_back(request);
    if (fileAnswers.empty()) return {};
    OpenFileResult r = fileAnswers.front();
    fileAnswers.pop_front();
    return r;
  }
  void beep() override { ++beeps; }
  void setHourglass(bool on) override { hourglass = on; }
  ScreenSize screenSize() override { return screen; }
  OsVersion osVersion() override { return os; }
  bool setPriorityClass(bool high) override {
    priorityCalls.push_back(high);
    return true;
  }
  std::string programDirectory() override { return programDir; }
  std::vector<std::string> portList(const PortNote&) override { return ports; }

  std::vector<Box> boxes;
  std::deque<MsgBoxResult> answers;
  std::vector<OpenFileRequest> fileRequests;
  std::deque<OpenFileResult> fileAnswers;
  int beeps = 0;
  bool hourglass = false;
  ScreenSize screen{1024, 768};
  OsVersion os{true, 5, 6, 8};  // a host that is none of the old families
  std::vector<bool> priorityCalls;
  // Files the program writes (read-back images, journals, kept sectors) land
  // in a folder of the test's own.
  test::TempDir ownFolder;
  std::string programDir = ownFolder.slash();
  std::vector<std::string> ports;
};

}  // namespace ostrel
