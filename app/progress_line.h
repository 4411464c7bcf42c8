// How far a long operation is and how long it will take, as one line of
// text: the window's second status line and the command line's progress
// line both say it this way, in the build's language.
#pragma once

#include <cstdint>
#include <string>

namespace ostrel {

// The figures of one progress line.
struct ProgressFigures {
  std::string step;              // what the operation says it is doing; may be empty
  uint32_t done = 0, total = 0;  // sectors; total 0 when none are counted
  int percent = -1;              // a bar's position when no sectors are counted
  uint32_t elapsedMs = 0;        // since this step began
  uint32_t doneInStep = 0;       // sectors done since this step began
  // Of elapsedMs, the time since a sector was last done: the rate is taken
  // up to that moment, so the time left counts down between sectors.
  uint32_t idleMs = 0;
  // Bytes of the sector under way already moved (a read), below one sector.
  uint32_t partialBytes = 0;
};

// "Programming.....  12/40 sectors  30%  1.5 MB/s  0:17 left"; before the
// first sector is done the time taken so far instead of rate and time left;
// without sectors the step, the bar's percentage and the time taken.
std::string progressLine(const ProgressFigures& f, int language);

// An operation that only its usual length can measure (a chip erase):
// "0:12 of about 0:30".
std::string timedProgressText(uint32_t elapsedMs, uint32_t typicalMs, int language);

// Minutes and seconds: "1:05".
std::string minutesText(uint32_t ms);

}  // namespace ostrel
