// What the operator reads while a long operation runs: sectors done of the
// total, the share done and the time left in the second status line, after
// the busy text; a chip erase counts its time against the usual one.
#include <algorithm>

#include "app/form_main.h"
#include "app/progress_line.h"
#include "app/prompt_table.h"

namespace ostrel {

namespace {
constexpr uint32_t kSectorBytes = 65536;
}  // namespace

std::string TForm_MAIN::busyLine() {
  std::string line = Prompt(Msg::Busy) + BusyMarks;
  if (!ProgressText.empty()) line += "  " + ProgressText;
  return line;
}

void TForm_MAIN::startProgress(uint32_t totalSectors, bool countReceivedBytes, ProgressBar* bar,
                               int barFrom) {
  const uint32_t now = clock.tick();
  Progress = {};
  Progress.active = true;
  Progress.total = totalSectors;
  Progress.startTick = Progress.lastDoneTick = now;
  Progress.countBytes = countReceivedBytes;
  Progress.bytesAtLastDone = LinkBytesReceived;
  Progress.bar = bar;
  Progress.barFrom = barFrom;
  ProgressTimer.setEnabled(true);
  refreshProgress();
}

void TForm_MAIN::showProgress(uint32_t doneSectors) {
  if (!Progress.active) return;
  if (doneSectors != Progress.done) {
    Progress.done = doneSectors;
    Progress.lastDoneTick = clock.tick();
    Progress.bytesAtLastDone = LinkBytesReceived;
  }
  refreshProgress();
}

void TForm_MAIN::startTimedProgress(uint32_t typicalMs, ProgressBar& bar) {
  startProgress(0, false, &bar, bar.position);
  Progress.typicalMs = typicalMs;
  refreshProgress();
}

void TForm_MAIN::stopProgress() {
  Progress = {};
  ProgressText.clear();
  ProgressTimer.setEnabled(false);
}

void TForm_MAIN::refreshProgress() {
  if (!Progress.active) return;
  const uint32_t now = clock.tick();
  const uint32_t elapsed = now - Progress.startTick;
  // The share done, in millionths, for the bar.
  uint64_t share = 0;
  if (Progress.typicalMs > 0) {
    ProgressText = timedProgressText(elapsed, Progress.typicalMs, Language);
    // Never full before the module says it is done.
    share = std::min<uint64_t>(uint64_t(elapsed) * 1000000 / Progress.typicalMs, 990000);
  } else {
    ProgressFigures f;
    f.done = Progress.done;
    f.total = Progress.total;
    f.elapsedMs = elapsed;
    f.doneInStep = Progress.done;
    f.idleMs = now - Progress.lastDoneTick;
    if (Progress.countBytes && Progress.done < Progress.total)
      f.partialBytes = uint32_t(
          std::min<uint64_t>(LinkBytesReceived - Progress.bytesAtLastDone, kSectorBytes - 1));
    ProgressText = progressLine(f, Language);
    if (Progress.total > 0)
      share = (uint64_t(std::min(f.done, f.total)) * kSectorBytes + f.partialBytes) * 1000000 /
              (uint64_t(f.total) * kSectorBytes);
  }
  if (ProgressBar* bar = Progress.bar) {
    const int from = std::clamp(Progress.barFrom, bar->min, bar->max);
    bar->position =
        std::max(bar->position, from + int(uint64_t(bar->max - from) * share / 1000000));
  }
  // A fault shown meanwhile stays; the busy line takes the new figures.
  const std::string& status2 = StaticText_Status2.text;
  if (status2.empty() || status2.starts_with(Prompt(Msg::Busy)))
    StaticText_Status2.text = busyLine();
}

void TForm_MAIN::showPhaseBars() {
  const bool checks = !(Connected && ModuleGeneration == OstrelIV);
  Label4.visible = ProgressBar3.visible = BuildMode == CustomerBuild && checks;
}

}  // namespace ostrel
