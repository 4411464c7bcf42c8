// Writes and reads back 64 sectors on each module generation through the
// real serial component and ostrel-sim on a pseudo-terminal, and compares the
// time per sector with the protocol's own floor: every reply is framed by the
// line falling quiet for ReadIntervalTimeout.
//   sector_bench [sectors] [--firmware-delays]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstdio>
#include <cstring>
#include <random>

#include "app/form_main.h"
#include "app/qt_clock.h"
#include "common/scripted_host.h"
#include "e2e/sim_process.h"
#include "link/frame.h"
#include "link/port_list.h"
#include "link/tcomm.h"

namespace {

using namespace ostrel;

struct Generation {
  const char* name;
  std::vector<std::string> simArgs;
  int repliesPerWrite;  // acknowledged replies of one sector write
  int repliesPerRead;
};

void run(const Generation& g, int sectors, bool instant) {
  test::PortDir dir;
  test::SimProcess sim(dir.path, "bench", [&] {
    auto a = g.simArgs;
    a.insert(a.end(), {"--preset", "blank"});
    if (instant) a.push_back("--instant");
    return a;
  }());
  test::FolderHost host(dir.path);
  QtClock clock;
  TComm comm;
  applyComm1Values(comm);
  TForm_MAIN form(0, 0, host, clock, comm);
  form.FormCreate();
  form.Function_Detect();
  if (!form.Connected) {
    std::printf("%-10s module not found\n", g.name);
    return;
  }
  const int first = 2;
  std::mt19937 rng(12345);
  form.ResetBlockTable();
  const size_t bytes = size_t(first + sectors) * 65536;
  form.FlashImage.SetSize(bytes);
  form.PackageImage.SetSize(bytes);
  for (size_t i = 0; i < bytes; ++i) form.FlashImage.Memory()[i] = uint8_t(rng());
  std::memcpy(form.PackageImage.Memory(), form.FlashImage.Memory(), bytes);
  for (int s = first; s < first + sectors; ++s) {
    BlockRecord& r = form.BlockTable[size_t(s)];
    std::span<const uint8_t> data(form.FlashImage.Memory() + size_t(s) * 65536, 65536);
    r.writeFlag = 1;
    r.sum = sum8(data);
    r.xorValue = xor8(data);
    r.sourceBlock = uint16_t(s);
  }

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
    readOk += form.ReadBuffer.Size() == 65536 &&
              std::memcmp(form.ReadBuffer.Memory(), form.FlashImage.Memory() + size_t(s) * 65536,
                          65536) == 0;
  }
  const double readMs = double(t.nsecsElapsed()) / 1e6 / sectors;
  const double gap = comm.ReadIntervalTimeout();
  std::printf(
      "%-10s write %7.1f ms/sector (floor %5.0f, %4.0f%%)  read %7.1f ms/sector (floor %5.0f, "
      "%4.0f%%)  "
      "%d/%d written, %d/%d read back exact\n",
      g.name, writeMs, g.repliesPerWrite * gap, 100.0 * writeMs / (g.repliesPerWrite * gap), readMs,
      g.repliesPerRead * gap, 100.0 * readMs / (g.repliesPerRead * gap), written, sectors, readOk,
      sectors);
  form.FormClose();
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int sectors = argc > 1 ? std::max(1, std::atoi(argv[1])) : 64;
  const bool instant = !(argc > 2 && std::strcmp(argv[2], "--firmware-delays") == 0);
  // Replies per sector: Ostrel I select (2 frames) + write + data report; read:
  // select + read + block + report. Ostrel II selects with one frame.
  // Ostrel III/IV: the command and 16 chunks, each acknowledged.
  const Generation gens[] = {
      {"Ostrel I", {"--ostrel1"}, 4, 4},
      {"Ostrel II", {"--type", "81"}, 3, 3},
      {"Ostrel III", {"--type", "84"}, 17, 17},
      {"Ostrel IV", {"--type", "89"}, 17, 17},
  };
  std::printf("%d sectors per generation, ReadIntervalTimeout 10 ms, %s\n", sectors,
              instant ? "module answering at once (--instant)"
                      : "module with its modelled firmware delays");
  for (const Generation& g : gens) run(g, sectors, instant);
  return 0;
}
