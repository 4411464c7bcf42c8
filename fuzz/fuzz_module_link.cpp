// A module whose bytes reach the host damaged and cut anywhere: the simulated
// module answers, and the fuzzer's bytes decide how each burst is cut, which
// bytes are flipped, dropped or added. The host then finds the module, reads
// the tables and a sector and checks its presence again, on the fast link
// (the default, which may fall back) or quiet-gap framing, on any generation,
// with or without a byte after every Ostrel III/IV acknowledgement. Nothing
// may crash, read out of bounds or wait without end (the clock is virtual, so
// an endless wait is an endless run).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <vector>

#include "app/clock.h"
#include "app/form_main.h"
#include "common/scripted_host.h"
#include "link/transport.h"
#include "sim/presets.h"
#include "sim/sim_transport.h"

using namespace ostrel;

namespace {

class DamagingTransport : public ForwardingTransport {
 public:
  DamagingTransport(VirtualClock& clock, Transport& inner, const uint8_t* ops, size_t size)
      : ForwardingTransport(inner), clock_(clock), ops_(ops), size_(size) {
    inner_.OnReceiveData = [this](const uint8_t* data, uint16_t length) {
      queue_.insert(queue_.end(), data, data + length);
      if (!scheduled_) schedule();
    };
  }
  ~DamagingTransport() override {
    if (scheduled_) clock_.cancel(timer_);
  }

  void ClosePort() override {
    inner_.ClosePort();
    queue_.clear();
  }

 private:
  // The fuzzer's next byte; 0 (no delay) once they are used up.
  uint8_t op() { return at_ < size_ ? ops_[at_++] : 0; }
  void schedule() {
    scheduled_ = true;
    timer_ = clock_.schedule(op() % 4, [this] {
      scheduled_ = false;
      deliver();
    });
  }
  // With the fuzzer's bytes used up, the rest goes through whole and intact.
  void deliver() {
    if (queue_.empty()) return;
    size_t n = queue_.size();
    if (at_ < size_) {
      const uint8_t kind = op();
      const size_t amount = size_t(op()) << (kind >> 6);  // 0..255, up to 8 KiB
      switch (kind & 3) {
        case 0:  // a piece of up to amount bytes
          n = std::min(n, std::max<size_t>(amount, 1));
          break;
        case 1:  // one byte changed
          queue_[amount % queue_.size()] ^= uint8_t(op() | 1);
          break;
        case 2:  // bytes lost
          queue_.erase(queue_.begin(),
                       queue_.begin() + ptrdiff_t(std::min(amount % 16 + 1, queue_.size())));
          break;
        default:  // a byte that no module sent
          queue_.insert(queue_.begin() + ptrdiff_t(amount % (queue_.size() + 1)), op());
          break;
      }
      n = std::min(n, queue_.size());
    }
    const std::vector<uint8_t> piece(queue_.begin(), queue_.begin() + ptrdiff_t(n));
    queue_.erase(queue_.begin(), queue_.begin() + ptrdiff_t(n));
    if (!queue_.empty()) schedule();
    if (!piece.empty() && OnReceiveData) OnReceiveData(piece.data(), uint16_t(piece.size()));
  }

  VirtualClock& clock_;
  const uint8_t* ops_;
  size_t size_;
  size_t at_ = 0;
  std::deque<uint8_t> queue_;
  bool scheduled_ = false;
  TimerId timer_ = 0;
};

SimConfig configFor(uint8_t choice) {
  switch (choice % 4) {
    case 0:
      return SimConfig::ostrel1();
    case 1:
      return SimConfig::fromTypeCode(0x81);
    case 2:
      return SimConfig::fromTypeCode(0x84);
    default:
      return SimConfig::fromTypeCode(0x89);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t choice = data[0];
  VirtualClock clock{1000};
  SimTransport sim{clock};
  SimConfig config = configFor(choice);
  config.trailingByte = (choice & 0x80) != 0;
  auto module = sim.addModule("SIM0", config);
  if (!applySimPreset(SimPreset::Demo, config, module->flash())) std::abort();
  DamagingTransport link(clock, sim, data + 1, size - 1);
  ScriptedHost host;
  host.ports = {"SIM0"};
  TForm_MAIN form((choice >> 3) % 3, 0, host, clock, link);
  form.FormCreate();
  form.setFastLink((choice & 4) != 0);

  form.Function_Detect();
  if (form.Connected) {
    form.Function_ReadSector(2, false);
    if (form.ReadBuffer.Size() > 65536 + 4096) std::abort();  // bounded, whatever came
    form.Function_Detect();                                   // the presence check
  }
  link.ClosePort();
  return 0;
}
