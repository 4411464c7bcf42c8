#include "app/cli/cli_host.h"

#include <unistd.h>

#include <iostream>

#include "link/port_list.h"

namespace ostrel {

MsgBoxResult CliHost::messageBox(const std::string& text, const std::string& caption,
                                 MsgBoxKind kind, MsgBoxButtons buttons) {
  static const char* const kinds[] = {"info", "warning", "error", "question"};
  if (!quiet_ || kind == MsgBoxKind::Error || kind == MsgBoxKind::Warning)
    std::fprintf(stderr, "[%s] %s\n", kinds[int(kind)], text.c_str());
  (void)caption;
  if (buttons == MsgBoxButtons::Ok) return MsgBoxResult::Ok;
  if (answer_ == Answer::Yes) return MsgBoxResult::Yes;
  if (answer_ == Answer::No || !isatty(STDIN_FILENO)) {
    std::fprintf(stderr, "  -> %s\n", answer_ == Answer::Yes ? "yes" : "no (pass --yes to agree)");
    return MsgBoxResult::No;
  }
  std::fprintf(stderr, "  [y/N] ");
  std::string line;
  std::getline(std::cin, line);
  return (!line.empty() && (line[0] == 'y' || line[0] == 'Y')) ? MsgBoxResult::Yes
                                                               : MsgBoxResult::No;
}

OpenFileResult CliHost::openFileDialog(const OpenFileRequest& request) {
  OpenFileResult r;
  r.accepted = !files.empty();
  r.files = files;
  r.filterIndex = request.filterIndex;
  return r;
}

std::vector<std::string> CliHost::portList(const PortNote& note) {
  // The form's debug log is not printed: what the scan left out is shown here.
  return listSerialPorts("/dev", defaultVirtualPortDir(), [&](const std::string& text) {
    if (!quiet_) std::fprintf(stderr, "%s\n", text.c_str());
    note(text);
  });
}

}  // namespace ostrel
