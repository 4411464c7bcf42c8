// Writes and reads back single sectors on each module generation through the
// real serial component and ostrel-sim on a pseudo-terminal, in this process,
// with quiet-gap framing and with the fast link side by side, on an unlimited
// line and at the rate of a USB full-speed serial link. Each time per sector
// is set beside its floor: quiet-gap framing waits ReadIntervalTimeout of
// quiet for every reply, the fast link only for the bytes to cross the line;
// the fast link's time is split into the line, the rest of the waiting and
// the host's own turn. Whole-program figures: link_bench.
//   sector_bench [--sectors N] [--link quiet-gap|fast|both] [--throughput BPS]...
//                [--firmware-delays]
// --throughput may be given more than once (0: unlimited); without it the
// lines are unlimited and 1000000 B/s.
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
using bench::BenchLink;

constexpr uint32_t kUsbFullSpeed = 1000000;

struct Options {
  int sectors = 64;
  std::vector<BenchLink> links{BenchLink::QuietGap, BenchLink::Fast};
  std::vector<uint32_t> throughputs;
  bool instant = true;
};

struct Run {
  bool found = false;
  int sectors = 0;
  uint32_t gapMs = 0;  // the default link's quiet gap
  bench::PhaseCost write, read;
  int written = 0, readExact = 0;
};

Run run(const BenchGeneration& g, const Options& o, BenchLink link, uint32_t throughput) {
  std::vector<std::string> args;
  if (o.instant) args.push_back("--instant");
  if (throughput > 0) args.insert(args.end(), {"--throughput", std::to_string(throughput)});
  bench::SimBenchRig rig(g, args, link);
  TForm_MAIN& form = rig.form;
  Run r;
  r.found = rig.connected();
  r.gapMs = rig.defaultGapMs();
  if (!r.found) return r;
  const int first = 2;
  r.sectors = bench::planRandomSectors(form, first, o.sectors);
  if (r.sectors == 0) return r;

  rig.line.reset();
  QElapsedTimer t;
  t.start();
  for (int s = first; s < first + r.sectors; ++s)
    r.written += form.Function_ProgramSector(uint16_t(s), false, false);
  r.write = rig.takePhase(t, r.sectors, throughput);

  t.restart();
  for (int s = first; s < first + r.sectors; ++s) {
    form.Function_ReadSector(uint16_t(s), false);
    r.readExact +=
        form.ReadBuffer.Size() == kSectorSize &&
        std::memcmp(form.ReadBuffer.Memory(), form.FlashImage.Memory() + size_t(s) * kSectorSize,
                    kSectorSize) == 0;
  }
  r.read = rig.takePhase(t, r.sectors, throughput);
  return r;
}

std::string cell(const char* format, double a, double b = 0) {
  char text[64];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

// "185.0 (floor 170.0)" for quiet-gap framing, "68.2 (transfer +4%)" for the
// fast link on a limited line, the bare time otherwise.
std::string timeCell(const bench::PhaseCost& p, BenchLink link, int gaps, uint32_t gapMs,
                     uint32_t bps) {
  if (link == BenchLink::QuietGap)
    return cell("%.1f (floor %.1f)", p.ms, double(gaps) * gapMs + p.transferMs);
  if (bps == 0) return cell("%.1f", p.ms);
  return cell("%.1f (transfer %+.0f%%)", p.ms, 100.0 * (p.ms / p.transferMs - 1));
}

void printRow(const BenchGeneration& g, uint32_t bps, uint32_t gapMs, const Options& o,
              const std::vector<Run>& runs) {
  const std::string line = bps ? std::to_string(bps) + " B/s" : "unlimited";
  std::string cells, result = "ok";
  for (const bool writing : {true, false}) {
    for (size_t i = 0; i < runs.size(); ++i) {
      const bench::PhaseCost& p = writing ? runs[i].write : runs[i].read;
      cells.append(" ")
          .append(timeCell(p, o.links[i], writing ? g.writeGaps : g.readGaps, gapMs, bps))
          .append(" |");
    }
    if (runs.size() == 2) {
      const bench::PhaseCost& d = writing ? runs[0].write : runs[0].read;
      const bench::PhaseCost& f = writing ? runs[1].write : runs[1].read;
      cells += cell(" %.1fx |", d.ms / f.ms);
    }
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    if (runs[i].written != runs[i].sectors || runs[i].readExact != runs[i].sectors)
      result = std::string(bench::linkName(o.links[i])) + ": " +
               cell("%.0f written, %.0f read back exact", runs[i].written, runs[i].readExact);
  }
  std::printf("| %-10s | %3d | %-11s |%s %s |\n", g.name, runs[0].sectors, line.c_str(),
              cells.c_str(), result.c_str());
  std::fflush(stdout);
}

void printHeader(const Options& o) {
  std::string names, rule;
  for (const char* what : {"write", "read"}) {
    for (BenchLink l : o.links) {
      names += std::string(" ") + what + " " + bench::linkName(l) + " |";
      rule += "---|";
    }
    if (o.links.size() == 2) {
      names += std::string(" ") + what + " quiet-gap/fast |";
      rule += "---|";
    }
  }
  std::printf("| generation | sectors | line |%s result |\n|---|---|---|%s---|\n", names.c_str(),
              rule.c_str());
}

// Where the fast link's time goes, per sector: the bytes on the line, the
// rest of the wait for the module's bytes (pseudo-terminal, simulator, the
// port's reader thread, the event loop waking), and the host's own turn
// from the bytes received to the next send (protocol, burn bookkeeping).
void printBreakdown(const std::vector<std::pair<std::string, bench::PhaseCost>>& phases) {
  std::printf(
      "\nWhere the fast link's time goes, ms/sector:\n\n"
      "| run | total | transfer | other waiting | host's turn | pieces received |\n"
      "|---|---|---|---|---|---|\n");
  for (const auto& [what, p] : phases)
    std::printf("| %s | %.1f | %.1f | %.1f | %.1f | %.0f |\n", what.c_str(), p.ms, p.transferMs,
                p.waitingMs - p.transferMs, p.ms - p.waitingMs, p.deliveries);
}

bool parse(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--firmware-delays") {
      o.instant = false;
    } else if (a == "--sectors" && hasValue) {
      o.sectors = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--throughput" && hasValue) {
      o.throughputs.push_back(uint32_t(std::strtoul(argv[++i], nullptr, 10)));
    } else if (a == "--link" && hasValue) {
      const auto links = bench::parseLinks(argv[++i]);
      if (!links) return false;
      o.links = *links;
    } else {
      return false;
    }
  }
  if (o.throughputs.empty()) o.throughputs = {0, kUsbFullSpeed};
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  Options o;
  if (!parse(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: sector_bench [--sectors N] [--link quiet-gap|fast|both] "
                 "[--throughput BPS]... [--firmware-delays]\n");
    return 2;
  }
  std::printf("%d sectors per generation, ms/sector, %s\n\n", o.sectors,
              o.instant ? "module answering at once (--instant)"
                        : "module with its modelled firmware delays");
  printHeader(o);
  bool allOk = true;
  std::vector<std::pair<std::string, bench::PhaseCost>> fast;
  for (const uint32_t bps : o.throughputs) {
    for (const BenchGeneration& g : bench::benchGenerations()) {
      std::vector<Run> runs;
      bool found = true;
      for (BenchLink link : o.links) {
        runs.push_back(run(g, o, link, bps));
        found = runs.back().found && runs.back().sectors > 0;
        if (!found) break;
      }
      if (!found) {
        std::printf("| %-10s | - | %u | module not found |\n", g.name, bps);
        allOk = false;
        continue;
      }
      printRow(g, bps, runs[0].gapMs, o, runs);
      for (size_t i = 0; i < runs.size(); ++i) {
        const Run& r = runs[i];
        allOk = allOk && r.written == r.sectors && r.readExact == r.sectors;
        if (o.links[i] != BenchLink::Fast) continue;
        const std::string line = std::string(g.name) + ", " +
                                 (bps ? std::to_string(bps) + " B/s" : std::string("unlimited"));
        fast.emplace_back(line + ", write", r.write);
        fast.emplace_back(line + ", read", r.read);
      }
    }
  }
  if (!fast.empty()) printBreakdown(fast);
  return allOk ? 0 : 1;
}
