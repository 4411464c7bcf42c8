#include "app/cli/cli_host.h"

#include <unistd.h>

#include <iostream>

namespace ostrel {

MsgBoxResult CliHost::messageBox(int message, const std::string& text, const std::string& caption,
                                 MsgBoxKind kind, MsgBoxButtons buttons) {
  (void)caption;
  static const char* const kinds[] = {"info", "warning", "error", "question"};
  const bool fault = kind == MsgBoxKind::Error || kind == MsgBoxKind::Warning;
  const auto preset = presetAnswers.find(message);
  const bool asked = buttons == MsgBoxButtons::YesNo;
  if (!muted && (!quiet_ || fault) && !(asked && preset != presetAnswers.end()) && show)
    show(std::string("[") + kinds[int(kind)] + "] " + text);
  if (!asked) return MsgBoxResult::Ok;
  if (preset != presetAnswers.end()) return preset->second;
  if (muted) return MsgBoxResult::No;
  if (quiet_ && showsQuestions() && show) show(text);  // the question was not shown yet
  return confirm() ? MsgBoxResult::Yes : MsgBoxResult::No;
}

bool CliHost::showsQuestions() const {
  return !quiet_ || (answer_ == Answer::Ask && isatty(STDIN_FILENO));
}

bool CliHost::confirm() {
  if (answer_ == Answer::Yes) return true;
  if (answer_ == Answer::No || !isatty(STDIN_FILENO)) {
    if (!quiet_ && show) show(answer_ == Answer::No ? "  -> no" : "  -> no (pass --yes to agree)");
    return false;
  }
  std::fprintf(stderr, "  [y/N] ");
  std::fflush(stderr);
  std::string line;
  std::getline(std::cin, line);
  return !line.empty() && (line[0] == 'y' || line[0] == 'Y');
}

OpenFileResult CliHost::openFileDialog(const OpenFileRequest& request) {
  OpenFileResult r;
  r.accepted = !files.empty();
  r.files = files;
  r.filterIndex = request.filterIndex;
  return r;
}

std::vector<std::string> CliHost::portList(const PortNote&) {
  if (onlyPort.empty()) return {};
  return {onlyPort};
}

}  // namespace ostrel
