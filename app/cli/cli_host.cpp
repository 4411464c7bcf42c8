#include "app/cli/cli_host.h"

#include <unistd.h>

#include <iostream>

#include "link/port_list.h"

namespace ostrel {

MsgBoxResult CliHost::messageBox(const std::string& text, const std::string& caption,
                                 MsgBoxKind kind, MsgBoxButtons buttons) {
  (void)caption;
  static const char* const kinds[] = {"info", "warning", "error", "question"};
  const bool fault = kind == MsgBoxKind::Error || kind == MsgBoxKind::Warning;
  if (fault && !muted) ++faultBoxes;
  const auto preset = presetAnswers.find(text);
  const bool shown = !muted && (!quiet_ || fault) &&
                     (buttons == MsgBoxButtons::Ok || preset == presetAnswers.end());
  if (shown) {
    if (beforeOutput) beforeOutput();
    std::fprintf(stderr, "[%s] %s\n", kinds[int(kind)], text.c_str());
  }
  if (buttons == MsgBoxButtons::Ok) return MsgBoxResult::Ok;
  const MsgBoxResult result = preset != presetAnswers.end() ? preset->second : answer(text);
  questions.push_back({text, result});
  return result;
}

MsgBoxResult CliHost::answer(const std::string& text) {
  if (answer_ == Answer::Yes) return MsgBoxResult::Yes;
  if (answer_ == Answer::No || muted || !isatty(STDIN_FILENO)) {
    if (!muted && !quiet_)
      std::fprintf(stderr, "  -> no%s\n", answer_ == Answer::No ? "" : " (pass --yes to agree)");
    return MsgBoxResult::No;
  }
  if (quiet_) std::fprintf(stderr, "%s\n", text.c_str());  // the question was not shown yet
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
    if (!quiet_) {
      if (beforeOutput) beforeOutput();
      std::fprintf(stderr, "%s\n", text.c_str());
    }
    note(text);
  });
}

}  // namespace ostrel
