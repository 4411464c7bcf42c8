// What the link benchmarks share: an ostrel-sim process on a pseudo-terminal
// in a private port folder, the form core connected to it through the real
// serial component, and a plan of random sectors taken from the FlashImage.
#pragma once

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "app/form_main.h"
#include "app/qt_clock.h"
#include "common/scripted_host.h"
#include "e2e/sim_process.h"
#include "flash/block_table.h"
#include "link/tcomm.h"

namespace ostrel::bench {

struct BenchGeneration {
  const char* name;
  std::vector<std::string> simArgs;
  // Quiet gaps of ReadIntervalTimeout one sector costs at least: the serial
  // component hands a reply over only once the line has been quiet that long,
  // while a 64 KiB block comes as two full 32 KiB chunks without a wait.
  // Write: Ostrel I selects with two frames, then the write command and the
  // data report; Ostrel II selects with one. Read: the select, the read
  // command and the report after the block. Ostrel III/IV: the command and
  // 16 chunks, each acknowledged (write) or asked for (read).
  int writeGaps;
  int readGaps;
};

inline const std::vector<BenchGeneration>& benchGenerations() {
  static const std::vector<BenchGeneration> gens = {
      {"Ostrel I", {"--ostrel1"}, 4, 4},
      {"Ostrel II", {"--type", "81"}, 3, 3},
      {"Ostrel III", {"--type", "84"}, 17, 17},
      {"Ostrel IV", {"--type", "89"}, 17, 17},
  };
  return gens;
}

// A blank cartridge of the generation behind ostrel-sim started with the
// generation's and the extra options, and a form core that has detected it.
class SimBenchRig {
 public:
  SimBenchRig(const BenchGeneration& g, const std::vector<std::string>& extraSimArgs)
      : sim_(dir_.path, "bench", simArgs(g, extraSimArgs)), host_(dir_.path) {
    applyComm1Values(comm_);
    form.FormCreate();
    form.Function_Detect();
  }
  ~SimBenchRig() { form.FormClose(); }
  SimBenchRig(const SimBenchRig&) = delete;
  SimBenchRig& operator=(const SimBenchRig&) = delete;

  bool connected() const { return form.Connected; }
  uint32_t readIntervalMs() const { return comm_.ReadIntervalTimeout(); }

 private:
  static std::vector<std::string> simArgs(const BenchGeneration& g,
                                          const std::vector<std::string>& extra) {
    std::vector<std::string> a = g.simArgs;
    a.insert(a.end(), {"--preset", "blank"});
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
  }

  // Declared before the form, which holds references to them.
  test::PortDir dir_;
  test::SimProcess sim_;
  test::FolderHost host_;
  QtClock clock_;
  TComm comm_;

 public:
  TForm_MAIN form{0, 0, host_, clock_, comm_};
};

// Sectors first..first+count-1 of the FlashImage filled with random bytes and
// planned for writing from there, without erase (the cartridge is blank).
// Returns how many were planned: never more than the cartridge has.
inline int planRandomSectors(TForm_MAIN& form, int first, int count) {
  std::mt19937 rng(12345);
  form.ResetBlockTable();
  count = std::clamp(count, 0, std::max(0, int(form.BlockTable.size()) - first));
  const size_t bytes = size_t(first + count) * kSectorSize;
  form.FlashImage.Clear();
  form.FlashImage.SetSize(bytes);
  for (size_t i = 0; i < bytes; ++i) form.FlashImage.Memory()[i] = uint8_t(rng());
  for (int s = first; s < first + count; ++s)
    planFlashImageWrite(form.BlockTable[size_t(s)],
                        {form.FlashImage.Memory() + size_t(s) * kSectorSize, kSectorSize}, false);
  return count;
}

}  // namespace ostrel::bench
