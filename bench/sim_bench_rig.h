// What sector_bench needs: an ostrel-sim process on a pseudo-terminal in a
// private port folder, the form core connected to it through the real serial
// component on quiet-gap framing or the fast link, the bytes that cross the
// line counted, and a plan of random sectors taken from the FlashImage.
#pragma once

#include <QElapsedTimer>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
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

// How replies reach the protocol: after ReadIntervalTimeout of quiet
// (quiet-gap framing) or as soon as they arrive (the fast link, the
// default; TForm_MAIN::setFastLink).
enum class BenchLink { QuietGap, Fast };

inline const char* linkName(BenchLink link) {
  return link == BenchLink::Fast ? "fast" : "quiet-gap";
}

// The value of --link: "quiet-gap", "fast" or "both" (both, quiet-gap first).
inline std::optional<std::vector<BenchLink>> parseLinks(std::string_view value) {
  if (value == "quiet-gap") return std::vector{BenchLink::QuietGap};
  if (value == "fast") return std::vector{BenchLink::Fast};
  if (value == "both") return std::vector{BenchLink::QuietGap, BenchLink::Fast};
  return std::nullopt;
}

// Milliseconds the bytes take on a line of `throughput` bytes per second in
// each direction; 0 on an unlimited line. The protocol never sends while it
// waits for a reply, so the two directions add up.
inline double lineMs(uint64_t bytes, uint32_t throughput) {
  return throughput > 0 ? double(bytes) * 1000.0 / throughput : 0.0;
}

// Passes everything on to the serial component and counts what crosses it,
// and how long the protocol waited: from a send until the first bytes back
// reach it, and between the pieces of a reply. The rest of the time is the
// host's own turn (from the bytes received to the next send).
class CountingTransport : public ForwardingTransport {
 public:
  explicit CountingTransport(Transport& inner) : ForwardingTransport(inner) {
    inner_.OnReceiveData = [this](const uint8_t* data, uint16_t length) {
      const auto now = std::chrono::steady_clock::now();
      waitingMs += std::chrono::duration<double, std::milli>(now - mark_).count();
      mark_ = now;
      waiting_ = false;
      received += length;
      ++deliveries;
      if (OnReceiveData) OnReceiveData(data, length);
    };
  }
  CountingTransport(const CountingTransport&) = delete;
  CountingTransport& operator=(const CountingTransport&) = delete;

  void reset() {
    sent = received = deliveries = 0;
    waitingMs = 0;
    mark_ = std::chrono::steady_clock::now();
    waiting_ = false;
  }

  bool SendBytes(const uint8_t* data, uint16_t length) override {
    if (!waiting_) {
      mark_ = std::chrono::steady_clock::now();
      waiting_ = true;
    }
    const bool queued = inner_.SendBytes(data, length);
    if (queued) sent += length;
    return queued;
  }

  uint64_t sent = 0;
  uint64_t received = 0;
  uint64_t deliveries = 0;  // OnReceiveData calls: wake-ups of the protocol
  double waitingMs = 0;

 private:
  std::chrono::steady_clock::time_point mark_ = std::chrono::steady_clock::now();
  bool waiting_ = false;  // sent since the last bytes came
};

// What a timed phase cost, per sector.
struct PhaseCost {
  double ms = 0;
  double transferMs = 0;  // the counted bytes' own time on the line
  double waitingMs = 0;   // the protocol waiting for the module's bytes
  double deliveries = 0;  // received-data events
};

// A blank cartridge of the generation behind ostrel-sim started with the
// generation's and the extra options, and a form core on the chosen link
// that has detected it.
class SimBenchRig {
 public:
  SimBenchRig(const BenchGeneration& g, const std::vector<std::string>& extraSimArgs,
              BenchLink link = BenchLink::Fast)
      : sim_(dir_.path, "bench", simArgs(g, extraSimArgs)), host_(dir_.path) {
    applyComm1Values(comm_);
    form.FormCreate();
    gapMs_ = comm_.ReadIntervalTimeout();
    form.setFastLink(link == BenchLink::Fast);
    form.Function_Detect();
    line.reset();
  }
  ~SimBenchRig() { form.FormClose(); }
  SimBenchRig(const SimBenchRig&) = delete;
  SimBenchRig& operator=(const SimBenchRig&) = delete;

  bool connected() const { return form.Connected; }
  // The phase timed by t, per sector, from the counters, which start again.
  PhaseCost takePhase(const QElapsedTimer& t, int sectors, uint32_t throughput) {
    PhaseCost c;
    c.ms = double(t.nsecsElapsed()) / 1e6 / sectors;
    c.transferMs = lineMs(line.sent + line.received, throughput) / sectors;
    c.waitingMs = line.waitingMs / sectors;
    c.deliveries = double(line.deliveries) / sectors;
    line.reset();
    return c;
  }
  // The quiet gap of quiet-gap framing, whichever link the rig runs.
  uint32_t defaultGapMs() const { return gapMs_; }

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
  uint32_t gapMs_ = 0;

 public:
  CountingTransport line{comm_};
  TForm_MAIN form{0, 0, host_, clock_, line};
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
