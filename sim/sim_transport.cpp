#include "sim/sim_transport.h"

#include <algorithm>
#include <optional>
#include <utility>

namespace ostrel {

namespace {
// The serial component hands over at most this much per received-data event.
constexpr size_t kMaxChunk = 32768;
}  // namespace

SimTransport::SimTransport(Clock& clock) : clock_(clock) {}

SimTransport::~SimTransport() {
  *alive_ = false;
  cancelTimer();
  if (quietArmed_) clock_.cancel(quietTimer_);
}

void SimTransport::addPort(const std::string& name, std::shared_ptr<ModuleSim> module) {
  ports_[name] = Port{std::move(module), false, true};
}

std::shared_ptr<ModuleSim> SimTransport::addModule(const std::string& name,
                                                   const SimConfig& config) {
  auto m = std::make_shared<ModuleSim>(config);
  addPort(name, m);
  return m;
}

void SimTransport::addSilentPort(const std::string& name) {
  ports_[name] = Port{};
}

void SimTransport::removePort(const std::string& name) {
  auto it = ports_.find(name);
  if (it == ports_.end()) return;
  if (open_ && openName_ == name) pullCable();
  it->second.present = false;
}

void SimTransport::setPortBusy(const std::string& name, bool busy) {
  auto it = ports_.find(name);
  if (it != ports_.end()) it->second.busy = busy;
}

std::vector<std::string> SimTransport::portNames() const {
  std::vector<std::string> names;
  for (const auto& [name, port] : ports_)
    if (port.present) names.push_back(name);
  return names;
}

std::shared_ptr<ModuleSim> SimTransport::module(const std::string& name) const {
  auto it = ports_.find(name);
  return it == ports_.end() ? nullptr : it->second.module;
}

void SimTransport::pullCable() {
  if (!open_ || pulled_) return;
  pulled_ = true;
  // The host hears of it as from a serial port: after what already arrived.
  std::weak_ptr<bool> alive = alive_;
  clock_.schedule(0, [this, alive, generation = generation_] {
    if (alive.expired() || !*alive.lock() || generation != generation_) return;
    if (OnRequestHangup) OnRequestHangup();
  });
  auto it = ports_.find(openName_);
  if (it != ports_.end()) {
    it->second.present = false;
    if (it->second.module) it->second.module->pullCable();
  }
  pump();
}

bool SimTransport::cablePulled() const {
  return open_ && pulled_;
}

void SimTransport::replug(const std::string& name) {
  auto it = ports_.find(name);
  if (it == ports_.end()) return;
  it->second.present = true;
  if (it->second.module) it->second.module->powerCycle();
}

void SimTransport::OpenPort() {
  if (open_) throw ECommsError("This serial port already opened");
  auto it = ports_.find(commName_);
  if (it == ports_.end() || !it->second.present || it->second.busy)
    throw ECommsError("Error opening serial port");
  open_ = true;
  pulled_ = false;
  openName_ = commName_;
  ++generation_;
  hostLineFreeAt_ = clock_.tick();
  if (auto& m = it->second.module) {
    // What the module sent while nobody listened is gone.
    uint32_t now = clock_.tick();
    m->advanceTo(now);
    while (auto at = m->nextEmissionAt()) {
      if (!tickReached(now, *at)) break;
      m->takeEmission();
    }
  }
  pump();
}

void SimTransport::ClosePort() {
  if (!open_) return;
  open_ = false;
  pulled_ = false;
  ++generation_;
}

void SimTransport::checkSettings(ModuleSim& m, const uint8_t* data, uint16_t length) {
  const SimConfig& c = m.config();
  bool probe = length == 1 && data[0] == 0x80;
  uint32_t baud = 9600;
  TParity parity = TParity::Mark;
  TStopBits stop = TStopBits::_1;
  if (!probe) {
    if (c.sendTypeCode && !SimConfig::knownTypeCode(c.typeCode)) return;
    baud = c.generation == SimGeneration::Ost1 ? 115200 : 230400;
    parity = c.generation == SimGeneration::Ost2 ? TParity::Mark : TParity::None;
    stop = TStopBits::_2;
  }
  if (baud_ != baud || parity_ != parity || stopBits_ != stop || byteSize_ != TByteSize::_8)
    m.recordViolation(std::string(probe ? "identify probe" : "bytes") +
                          " sent with line settings the module does not use (baud " +
                          std::to_string(baud_) + ")",
                      clock_.tick());
}

bool SimTransport::SendBytes(const uint8_t* data, uint16_t length) {
  if (!open_ || length == 0 || data == nullptr) return false;
  uint32_t now = clock_.tick();
  sent_.push_back({now, openName_, std::vector<uint8_t>(data, data + length)});
  if (pulled_) return false;
  auto it = ports_.find(openName_);
  if (it == ports_.end() || !it->second.module) return true;
  std::shared_ptr<ModuleSim> m = it->second.module;
  if (checkLineSettings_) checkSettings(*m, data, length);
  if (hostBytesPerSec_ > 0) {
    uint32_t start = tickBefore(now, hostLineFreeAt_) ? hostLineFreeAt_ : now;
    uint32_t arrive =
        start + uint32_t((uint64_t(length) * 1000 + hostBytesPerSec_ - 1) / hostBytesPerSec_);
    hostLineFreeAt_ = arrive;
    std::weak_ptr<bool> alive = alive_;
    auto bytes = std::make_shared<std::vector<uint8_t>>(data, data + length);
    clock_.schedule(arrive - now, [this, alive, m, bytes, arrive] {
      if (alive.expired() || !*alive.lock()) return;
      m->onHostBytes(bytes->data(), bytes->size(), arrive);
      if (m->cablePulled() && open_) pullCable();
      pump();
    });
    return true;
  }
  m->onHostBytes(data, length, now);
  if (m->cablePulled()) {
    pullCable();
    return true;
  }
  pump();
  return true;
}

void SimTransport::cancelTimer() {
  if (timerArmed_) clock_.cancel(timer_);
  timerArmed_ = false;
}

// Every plugged module keeps working on the clock whether or not its port is
// open; only the open port's bursts reach OnReceiveData, the others are lost
// on the line.
void SimTransport::pump() {
  uint32_t now = clock_.tick();
  std::optional<uint32_t> delay;
  for (const auto& [name, port] : ports_) {
    if (!port.module || !port.present) continue;
    if (auto next = port.module->nextEventAt()) {
      uint32_t d = tickReached(now, *next) ? 0 : *next - now;
      if (!delay || d < *delay) delay = d;
    }
  }
  if (!delay) {
    cancelTimer();
    return;
  }
  uint32_t at = now + *delay;
  if (timerArmed_ && timerAt_ == at) return;
  cancelTimer();
  std::weak_ptr<bool> alive = alive_;
  timerAt_ = at;
  timerArmed_ = true;
  timer_ = clock_.schedule(*delay, [this, alive] {
    if (alive.expired() || !*alive.lock()) return;
    timerArmed_ = false;
    onTimer();
  });
}

void SimTransport::onTimer() {
  uint32_t now = clock_.tick();
  std::shared_ptr<ModuleSim> deliverFrom;
  for (auto& [name, port] : ports_) {
    if (!port.module || !port.present) continue;
    ModuleSim& m = *port.module;
    m.advanceTo(now);
    bool listening = open_ && !pulled_ && name == openName_;
    if (listening && m.cablePulled()) {
      pullCable();
      listening = false;
    }
    if (listening) {
      deliverFrom = port.module;
      continue;
    }
    while (auto at = m.nextEmissionAt()) {
      if (!tickReached(now, *at)) break;
      m.takeEmission();
    }
  }
  if (deliverFrom) {
    if (auto at = deliverFrom->nextEmissionAt(); at && tickReached(now, *at)) {
      std::vector<uint8_t> bytes = deliverFrom->takeEmission();
      received_.push_back({now, bytes});
      if (readInterval_ == 0) {
        deliver(bytes);
      } else {
        gather(bytes);
      }
    }
  }
  pump();
}

void SimTransport::deliver(const std::vector<uint8_t>& bytes) {
  const uint32_t gen = generation_;
  // One burst is one chunk; only a burst above the component's chunk limit
  // arrives in several.
  for (size_t off = 0; off < bytes.size(); off += kMaxChunk) {
    const size_t n = std::min(kMaxChunk, bytes.size() - off);
    if (OnReceiveData) OnReceiveData(bytes.data() + off, uint16_t(n));
    if (!open_ || gen != generation_) break;
  }
}

// As the serial component frames what arrives: bursts gather until the line
// has been quiet for ReadIntervalTimeout, or a full chunk has gathered.
void SimTransport::gather(const std::vector<uint8_t>& bytes) {
  if (gatheredGeneration_ != generation_) gathered_.clear();
  gatheredGeneration_ = generation_;
  gathered_.insert(gathered_.end(), bytes.begin(), bytes.end());
  while (gathered_.size() >= kMaxChunk) {
    std::vector<uint8_t> full(gathered_.begin(), gathered_.begin() + ptrdiff_t(kMaxChunk));
    gathered_.erase(gathered_.begin(), gathered_.begin() + ptrdiff_t(kMaxChunk));
    deliver(full);
    if (gatheredGeneration_ != generation_) return;
  }
  if (quietArmed_) clock_.cancel(quietTimer_);
  quietArmed_ = !gathered_.empty();
  if (!quietArmed_) return;
  std::weak_ptr<bool> alive = alive_;
  quietTimer_ = clock_.schedule(readInterval_, [this, alive] {
    if (alive.expired() || !*alive.lock()) return;
    quietArmed_ = false;
    std::vector<uint8_t> chunk = std::exchange(gathered_, {});
    if (open_ && gatheredGeneration_ == generation_ && !chunk.empty()) deliver(chunk);
  });
}

}  // namespace ostrel
