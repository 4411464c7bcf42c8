#include "app/progress_line.h"

#include <cstdio>

#include "app/prompt_table.h"

namespace ostrel {

namespace {

constexpr uint64_t kSectorBytes = 65536;

}  // namespace

std::string minutesText(uint32_t ms) {
  const uint32_t s = ms / 1000;
  char text[24];
  std::snprintf(text, sizeof text, "%u:%02u", s / 60, s % 60);
  return text;
}

std::string progressLine(const ProgressFigures& f, int language) {
  std::string line = f.step;
  auto add = [&line](const std::string& part) {
    if (!line.empty()) line += "  ";
    line += part;
  };
  char text[64];
  if (f.total == 0) {
    if (f.percent >= 0) {
      std::snprintf(text, sizeof text, "%d%%", f.percent);
      add(text);
    }
    add(minutesText(f.elapsedMs));
    return line;
  }
  const uint32_t done = f.done < f.total ? f.done : f.total;
  const uint64_t totalBytes = uint64_t(f.total) * kSectorBytes;
  const uint64_t doneBytes = done == f.total ? totalBytes : done * kSectorBytes + f.partialBytes;
  std::snprintf(text, sizeof text, "%u/%u ", done, f.total);
  add(text + std::string(extraText(ExtraText::Sectors, language)));
  std::snprintf(text, sizeof text, "%u%%", unsigned(doneBytes * 100 / totalBytes));
  add(text);
  // A sector under way is measured as it moves; otherwise the rate holds
  // from the last sector done, and the time left counts down from there.
  const uint64_t moved = uint64_t(f.doneInStep) * kSectorBytes + f.partialBytes;
  const uint32_t idle = f.partialBytes > 0 || f.idleMs > f.elapsedMs ? 0 : f.idleMs;
  const uint32_t measuredMs = f.elapsedMs - idle;
  if (moved == 0 || measuredMs == 0) {
    add(minutesText(f.elapsedMs));
    return line;
  }
  const double bytesPerSecond = double(moved) * 1000.0 / measuredMs;
  if (bytesPerSecond >= 1e6)
    std::snprintf(text, sizeof text, "%.1f MB/s", bytesPerSecond / 1e6);
  else
    std::snprintf(text, sizeof text, "%.0f kB/s", bytesPerSecond / 1e3);
  add(text);
  const uint64_t leftMs = (totalBytes - doneBytes) * measuredMs / moved;
  add(extraText(ExtraText::TimeLeft, language,
                minutesText(uint32_t(leftMs > idle ? leftMs - idle : 0))));
  return line;
}

std::string timedProgressText(uint32_t elapsedMs, uint32_t typicalMs, int language) {
  return extraText(ExtraText::OfAbout, language, minutesText(elapsedMs), minutesText(typicalMs));
}

}  // namespace ostrel
