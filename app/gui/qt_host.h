// Host services for the Qt window.
#pragma once

#include <QWidget>
#include <string>

#include "app/host.h"

namespace ostrel {

class QtHost : public Host {
 public:
  explicit QtHost(std::string programDir) : programDir_(std::move(programDir)) {}
  void setOwner(QWidget* owner) { owner_ = owner; }

  MsgBoxResult messageBox(int message, const std::string& text, const std::string& caption,
                          MsgBoxKind kind, MsgBoxButtons buttons) override;
  OpenFileResult openFileDialog(const OpenFileRequest& request) override;
  void beep() override;
  void setHourglass(bool on) override;
  ScreenSize screenSize() override;
  OsVersion osVersion() override;
  bool setPriorityClass(bool high) override;
  std::string programDirectory() override { return programDir_; }
  std::vector<std::string> portList(const PortNote& note) override;

  // Message boxes answer themselves (for screenshots and unattended runs):
  // OK, and No to a question unless autoYes.
  bool autoAnswer = false;
  bool autoYes = false;
  // The next file dialog answers with these files without being shown.
  std::vector<std::string> presetFiles;
  // When set, the only port detection probes.
  std::string onlyPort;

 private:
  std::string programDir_;
  QWidget* owner_ = nullptr;
};

}  // namespace ostrel
