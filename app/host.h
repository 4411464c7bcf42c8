// What the core needs from the desktop: dialogs, beeps, cursor, screen and
// operating-system facts, process priority, program folder, serial port list.
// The Qt window, the CLI and the tests each provide one.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ostrel {

enum class MsgBoxKind : uint8_t { Information, Warning, Error, Question };
enum class MsgBoxButtons : uint8_t { Ok, YesNo };
enum class MsgBoxResult : uint8_t { Ok, Yes, No };

// Receives one line for the debug log.
using PortNote = std::function<void(const std::string& text)>;

// The screen in pixels, and the part of it a window may cover (the screen less
// the desktop's panels); an available size of 0 means the whole screen.
struct ScreenSize {
  int width = 1024;
  int height = 768;
  int availableWidth = 0;
  int availableHeight = 0;
  int usableWidth() const { return availableWidth > 0 ? availableWidth : width; }
  int usableHeight() const { return availableHeight > 0 ? availableHeight : height; }
};

// What the operating-system version query returns; ok false when it failed.
struct OsVersion {
  bool ok = false;
  int platformId = 0;  // 0 Win32s, 1 9x, 2 NT family, anything else: other
  int major = 0;
  int minor = 0;
};

struct OpenFileRequest {
  std::string filter;  // "Name |*.ext|Name |*.ext"
  int filterIndex = 1;
  std::string initialDir;
  bool multiSelect = true;
};

struct OpenFileResult {
  bool accepted = false;
  std::vector<std::string> files;
  int filterIndex = 1;
};

class Host {
 public:
  virtual ~Host() = default;
  // message: the number of the text (Msg in app/prompt_table.h). Front-ends
  // answer questions by number, never by text.
  virtual MsgBoxResult messageBox(int message, const std::string& text, const std::string& caption,
                                  MsgBoxKind kind, MsgBoxButtons buttons) = 0;
  virtual OpenFileResult openFileDialog(const OpenFileRequest& request) = 0;
  virtual void beep() = 0;
  virtual void setHourglass(bool on) = 0;
  virtual ScreenSize screenSize() = 0;
  virtual OsVersion osVersion() = 0;
  // true = high priority class, false = normal. Failures are ignored by callers.
  virtual bool setPriorityClass(bool high) = 0;
  // Ends in "/".
  virtual std::string programDirectory() = 0;
  // Candidate serial device names in a stable order; probed from last to first.
  // note receives, for the debug log, what was left out and why.
  virtual std::vector<std::string> portList(const PortNote& note) = 0;
};

}  // namespace ostrel
