// Program and Verify of a whole 16 MiB image (on an Ostrel I, whose cartridge
// holds 8 MiB, the whole cartridge) on each module generation through the
// real serial component and `ostrel-sim --instant` on a pseudo-terminal, with
// the default link and the fast link. The time per sector is set beside its
// floor: the bytes' own time on the line, plus on the default link the quiet
// gaps the serial component waits before it hands a reply over.
//   sequence_bench [--throughput BPS] [--sectors N] [--only I|II|III|IV]
//                  [--link default|fast|both] [--csv]
// --csv prints one line per generation and link: generation, link, sectors,
// throughput (0 = unlimited), program ms/sector, its floor, verify ms/sector,
// its floor, whether Program and Verify succeeded; then for program and for
// verify the bytes' line time and the time the protocol waited for the
// module's bytes, ms/sector.
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
  std::vector<bench::BenchLink> links{bench::BenchLink::Default, bench::BenchLink::Fast};
  bool csv = false;
};

struct Result {
  int sectors = 0;
  bench::PhaseCost program, verify;
  double programFloorMs = 0, verifyFloorMs = 0;
  bool ok = false;
};

bool run(const BenchGeneration& g, const Options& o, bench::BenchLink link, Result& r) {
  std::vector<std::string> args{"--instant"};
  if (o.throughput > 0) args.insert(args.end(), {"--throughput", std::to_string(o.throughput)});
  bench::SimBenchRig rig(g, args, link);
  TForm_MAIN& form = rig.form;
  if (!rig.connected()) return false;
  r.sectors = bench::planRandomSectors(form, 0, o.sectors);
  if (r.sectors == 0) return false;
  form.ImageKind = 1;  // a whole-flash image, as the binary and S-record loaders plan it
  form.ImageBlockCount = uint16_t(r.sectors);
  // The floor: the counted bytes' line time, and on the default link one
  // quiet gap per reply of each sector transfer.
  const double gapMs = link == bench::BenchLink::Default ? rig.defaultGapMs() : 0.0;
  auto floorMs = [&](const bench::PhaseCost& c, int units, int gaps) {
    return double(units) * gaps * gapMs / r.sectors + c.transferMs;
  };

  rig.line.reset();
  QElapsedTimer t;
  t.start();
  const bool programmed = form.Function_Program();
  r.program = rig.takePhase(t, r.sectors, o.throughput);
  const bool ost4 = form.ModuleGeneration == 3;
  r.programFloorMs = floorMs(r.program, r.sectors + (ost4 ? kOst4TableSectors : 0), g.writeGaps);
  t.restart();
  const bool verified = programmed && form.Function_Verify();
  r.verify = rig.takePhase(t, r.sectors, o.throughput);
  r.verifyFloorMs = floorMs(r.verify, r.sectors, g.readGaps);
  r.ok = verified;
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
    } else if (a == "--link" && i + 1 < argc) {
      const auto links = bench::parseLinks(argv[++i]);
      if (!links) return false;
      o.links = *links;
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
                 "[--link default|fast|both] [--csv]\n");
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
    std::vector<Result> results;
    for (const bench::BenchLink link : o.links) {
      const char* name = bench::linkName(link);
      Result r;
      if (!run(g, o, link, r)) {
        std::printf(
            o.csv ? "%s,%s,0,%u,,,,,module not found\n" : "%-10s %-7s module not found (%u)\n",
            g.name, name, o.throughput);
        allOk = false;
        break;
      }
      allOk = allOk && r.ok;
      results.push_back(r);
      if (o.csv) {
        std::printf("%s,%s,%d,%u,%.1f,%.1f,%.1f,%.1f,%s,%.1f,%.1f,%.1f,%.1f\n", g.name, name,
                    r.sectors, o.throughput, r.program.ms, r.programFloorMs, r.verify.ms,
                    r.verifyFloorMs, r.ok ? "ok" : "FAILED", r.program.transferMs,
                    r.program.waitingMs, r.verify.transferMs, r.verify.waitingMs);
      } else {
        std::printf(
            "%-10s %-7s %3d sectors  program %6.1f ms/sector (floor %5.1f)  verify %6.1f "
            "ms/sector (floor %5.1f)  %s\n",
            g.name, name, r.sectors, r.program.ms, r.programFloorMs, r.verify.ms, r.verifyFloorMs,
            r.ok ? "verified" : "FAILED");
      }
      std::fflush(stdout);
    }
    if (!o.csv && results.size() == 2)
      std::printf("%-10s default/fast: program %.1fx, verify %.1fx\n", g.name,
                  results[0].program.ms / results[1].program.ms,
                  results[0].verify.ms / results[1].verify.ms);
  }
  return allOk ? 0 : 1;
}
