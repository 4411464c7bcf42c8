// The progress line the window's second status line and the command line
// show: figures worked out by hand from the rule (rate over the time up to
// the last sector done, time left counting down from there).
#include "app/progress_line.h"

#include <gtest/gtest.h>

namespace ostrel {
namespace {

TEST(ProgressLine, FiguresAsTheOperatorReadsThem) {
  const struct {
    const char* what;
    ProgressFigures figures;
    const char* line;
  } cases[] = {
      // 3 of 12 sectors in 30 s: 6553.6 bytes/s, the 9 left take 90 s.
      {"rate and time left",
       {"Programming.....", 3, 12, -1, 30000, 3, 0, 0},
       "Programming.....  3/12 sectors  25%  7 kB/s  1:30 left"},
      {"10 s later, counting down",
       {"", 3, 12, -1, 40000, 3, 10000, 0},
       "3/12 sectors  25%  7 kB/s  1:20 left"},
      {"a sector slower than the estimate",
       {"", 3, 12, -1, 130000, 3, 100000, 0},
       "3/12 sectors  25%  7 kB/s  0:00 left"},
      {"before the first sector", {"", 0, 12, -1, 5000, 0, 5000, 0}, "0/12 sectors  0%  0:05"},
      // Half the first of two sectors read in 1.4 s: 23405 bytes/s, 98304 bytes left.
      {"a read under way",
       {"", 0, 2, -1, 1400, 0, 1400, 32768},
       "0/2 sectors  25%  23 kB/s  0:04 left"},
      {"fast link", {"", 20, 40, -1, 1000, 20, 0, 0}, "20/40 sectors  50%  1.3 MB/s  0:01 left"},
      {"more done than counted",
       {"", 5, 4, -1, 8000, 5, 0, 0},
       "4/4 sectors  100%  41 kB/s  0:00 left"},
      {"no sectors: the bar",
       {"Detecting...", 0, 0, 40, 65000, 0, 0, 0},
       "Detecting...  40%  1:05"},
  };
  for (const auto& c : cases) EXPECT_EQ(progressLine(c.figures, 0), c.line) << c.what;

  const ProgressFigures counting{"", 3, 12, -1, 40000, 3, 10000, 0};
  const char* inLanguage[4][2] = {
      {"3/12 sectors  25%  7 kB/s  1:20 left", "0:12 of about 1:08"},
      {"3/12 磁區  25%  7 kB/s  剩餘 1:20", "0:12 / 約 1:08"},
      {"3/12 扇区  25%  7 kB/s  剩余 1:20", "0:12 / 约 1:08"},
      {"3/12 セクタ  25%  7 kB/s  残り 1:20", "0:12 / 約 1:08"},
  };
  for (int language = 0; language < 4; ++language) {
    EXPECT_EQ(progressLine(counting, language), inLanguage[language][0]);
    EXPECT_EQ(timedProgressText(12000, 68000, language), inLanguage[language][1]);
  }
}

}  // namespace
}  // namespace ostrel
