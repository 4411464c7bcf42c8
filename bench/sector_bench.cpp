// Writes and reads back 64 sectors on each module generation through the
// real serial component and ostrel-sim on a pseudo-terminal, and compares the
// time per sector with the protocol's own floor: every reply is framed by the
// line falling quiet for ReadIntervalTimeout.
//   sector_bench [sectors] [--firmware-delays]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "bench/sim_bench_rig.h"

namespace {

using namespace ostrel;
using bench::BenchGeneration;

void run(const BenchGeneration& g, int wanted, bool instant) {
  bench::SimBenchRig rig(
      g, instant ? std::vector<std::string>{"--instant"} : std::vector<std::string>{});
  TForm_MAIN& form = rig.form;
  if (!rig.connected()) {
    std::printf("%-10s module not found\n", g.name);
    return;
  }
  const int first = 2;
  const int sectors = bench::planRandomSectors(form, first, wanted);
  if (sectors == 0) return;

  QElapsedTimer t;
  t.start();
  int written = 0;
  for (int s = first; s < first + sectors; ++s)
    written += form.Function_ProgramSector(uint16_t(s), false, false);
  const double writeMs = double(t.nsecsElapsed()) / 1e6 / sectors;

  t.restart();
  int readOk = 0;
  for (int s = first; s < first + sectors; ++s) {
    form.Function_ReadSector(uint16_t(s), false);
    readOk += form.ReadBuffer.Size() == kSectorSize &&
              std::memcmp(form.ReadBuffer.Memory(),
                          form.FlashImage.Memory() + size_t(s) * kSectorSize, kSectorSize) == 0;
  }
  const double readMs = double(t.nsecsElapsed()) / 1e6 / sectors;
  const double gap = rig.readIntervalMs();
  std::printf(
      "%-10s write %7.1f ms/sector (floor %5.0f, %4.0f%%)  read %7.1f ms/sector (floor %5.0f, "
      "%4.0f%%)  "
      "%d/%d written, %d/%d read back exact\n",
      g.name, writeMs, g.writeGaps * gap, 100.0 * writeMs / (g.writeGaps * gap), readMs,
      g.readGaps * gap, 100.0 * readMs / (g.readGaps * gap), written, sectors, readOk, sectors);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int sectors = argc > 1 ? std::max(1, std::atoi(argv[1])) : 64;
  const bool instant = !(argc > 2 && std::strcmp(argv[2], "--firmware-delays") == 0);
  std::printf("%d sectors per generation, ReadIntervalTimeout 10 ms, %s\n", sectors,
              instant ? "module answering at once (--instant)"
                      : "module with its modelled firmware delays");
  for (const BenchGeneration& g : bench::benchGenerations()) run(g, sectors, instant);
  return 0;
}
