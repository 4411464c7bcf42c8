// Program and Verify of a whole 16 MiB image (on an Ostrel I, whose cartridge
// holds 8 MiB, the whole cartridge) on each module generation through the
// real serial component and `ostrel-sim --instant` on a pseudo-terminal. The
// time per sector is set beside the protocol's floor: the quiet gaps the
// serial component waits before it hands a reply over, plus, with a line rate,
// the time the sector's bytes take on the line.
//   sequence_bench [--throughput BPS] [--sectors N] [--only I|II|III|IV] [--csv]
// --csv prints one line per generation: generation, sectors, throughput
// (0 = unlimited), program ms/sector, its floor, verify ms/sector, its floor,
// whether Program and Verify succeeded.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/sim_bench_rig.h"

namespace {

using namespace ostrel;
using bench::BenchGeneration;

constexpr int kImageSectors = 256;  // 16 MiB
// An Ostrel IV whole-flash image ends with the mapping table: two more
// sectors written as the data ones are.
constexpr int kOst4TableSectors = 2;

struct Options {
  uint32_t throughput = 0;
  int sectors = kImageSectors;
  std::string only;  // one generation ("III"), or all
  bool csv = false;
};

struct Result {
  int sectors = 0;
  double programMs = 0, programFloorMs = 0;
  double verifyMs = 0, verifyFloorMs = 0;
  bool ok = false;
};

// The least a run of `units` sector transfers of `gaps` quiet gaps each can
// take, per data sector.
double floorPerSector(int units, int gaps, int sectors, double gapMs, uint32_t throughput) {
  double ms = double(units) * gaps * gapMs;
  if (throughput > 0) ms += double(units) * double(kSectorSize) * 1000.0 / throughput;
  return ms / sectors;
}

bool run(const BenchGeneration& g, const Options& o, Result& r) {
  std::vector<std::string> args{"--instant"};
  if (o.throughput > 0) args.insert(args.end(), {"--throughput", std::to_string(o.throughput)});
  bench::SimBenchRig rig(g, args);
  TForm_MAIN& form = rig.form;
  if (!rig.connected()) return false;
  r.sectors = bench::planRandomSectors(form, 0, o.sectors);
  if (r.sectors == 0) return false;
  form.ImageKind = 1;  // a whole-flash image, as the binary and S-record loaders plan it
  form.ImageBlockCount = uint16_t(r.sectors);

  QElapsedTimer t;
  t.start();
  const bool programmed = form.Function_Program();
  r.programMs = double(t.nsecsElapsed()) / 1e6 / r.sectors;
  t.restart();
  const bool verified = programmed && form.Function_Verify();
  r.verifyMs = double(t.nsecsElapsed()) / 1e6 / r.sectors;
  r.ok = verified;

  const bool ost4 = form.ModuleGeneration == 3;
  const double gap = rig.readIntervalMs();
  r.programFloorMs = floorPerSector(r.sectors + (ost4 ? kOst4TableSectors : 0), g.writeGaps,
                                    r.sectors, gap, o.throughput);
  r.verifyFloorMs = floorPerSector(r.sectors, g.readGaps, r.sectors, gap, o.throughput);
  return true;
}

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--csv") {
      o.csv = true;
    } else if (a == "--throughput" && i + 1 < argc) {
      o.throughput = uint32_t(std::strtoul(argv[++i], nullptr, 10));
    } else if (a == "--only" && i + 1 < argc) {
      o.only = argv[++i];
    } else if (a == "--sectors" && i + 1 < argc) {
      o.sectors = std::clamp(std::atoi(argv[++i]), 1, kImageSectors);
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  Options o;
  if (!parse(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: sequence_bench [--throughput BPS] [--sectors N] [--only I|II|III|IV] "
                 "[--csv]\n");
    return 2;
  }
  if (!o.csv) {
    const std::string line =
        o.throughput ? "line " + std::to_string(o.throughput) + " B/s" : "line unlimited";
    std::printf(
        "Program + Verify of %d sectors (fewer where the cartridge is smaller), "
        "ostrel-sim --instant, %s\n",
        o.sectors, line.c_str());
  }
  bool allOk = true;
  for (const BenchGeneration& g : bench::benchGenerations()) {
    if (!o.only.empty() && "Ostrel " + o.only != g.name) continue;
    Result r;
    if (!run(g, o, r)) {
      std::printf(o.csv ? "%s,0,%u,,,,,module not found\n" : "%-10s module not found (%u)\n",
                  g.name, o.throughput);
      allOk = false;
      continue;
    }
    allOk = allOk && r.ok;
    if (o.csv) {
      std::printf("%s,%d,%u,%.1f,%.1f,%.1f,%.1f,%s\n", g.name, r.sectors, o.throughput, r.programMs,
                  r.programFloorMs, r.verifyMs, r.verifyFloorMs, r.ok ? "ok" : "FAILED");
    } else {
      std::printf(
          "%-10s %3d sectors  program %6.1f ms/sector (floor %5.1f)  verify %6.1f ms/sector "
          "(floor %5.1f)  %s\n",
          g.name, r.sectors, r.programMs, r.programFloorMs, r.verifyMs, r.verifyFloorMs,
          r.ok ? "verified" : "FAILED");
    }
    std::fflush(stdout);
  }
  return allOk ? 0 : 1;
}
