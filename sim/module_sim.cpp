#include "sim/module_sim.h"

#include <algorithm>
#include <cstdio>

#include "link/frame.h"

namespace ostrel {

namespace {

constexpr uint32_t kChunk = 4096;
constexpr uint32_t kChunksPerSector = 16;
constexpr uint8_t kAck = 0x5A;  // 'Z'
constexpr uint8_t kRawFail = 0xD0;
constexpr uint8_t kBusyCode = 0x7E;    // framed reply to a command that arrives during an erase
constexpr uint8_t kReportCode = 0x7F;  // DataCheckReply
constexpr uint32_t kOst4TableSector = 60000;
constexpr uint32_t kOst4QcUnits = 128;
constexpr int64_t kTailGap = 1000;  // microseconds
constexpr uint8_t kTailByte = 0x00;

std::string hex2(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%02X", v);
  return b;
}

bool allFF(const std::vector<uint8_t>& v) {
  return std::all_of(v.begin(), v.end(), [](uint8_t b) { return b == 0xFF; });
}

}  // namespace

struct ModuleSim::QcJob {
  uint8_t step = 0;  // 0 = step 1 (A5), 1 = step 2 (A6)
  uint8_t serial = 0;
  uint32_t units = 0;
  uint32_t unit = 0;
  uint32_t mark = 0;
  bool failureInjected = false;
  const char* marks() const { return step == 0 ? "[[\\" : "[\\"; }
  uint32_t marksPerUnit() const { return step == 0 ? 3 : 2; }
};

// ---------------------------------------------------------------- config

SimConfig SimConfig::fromTypeCode(uint8_t typeCode) {
  SimConfig c;
  c.typeCode = typeCode;
  c.sendTypeCode = true;
  switch (typeCode) {
    case 0x80:
      c.generation = SimGeneration::Ost2;
      c.sectorCount = 128;
      break;
    case 0x81:
      c.generation = SimGeneration::Ost2;
      c.sectorCount = 256;
      break;
    case 0x82:
      c.generation = SimGeneration::Ost3;
      c.sectorCount = 1024;
      break;
    case 0x83:
      c.generation = SimGeneration::Ost3;
      c.sectorCount = 512;
      break;
    case 0x84:
      c.generation = SimGeneration::Ost3;
      c.sectorCount = 256;
      break;
    case 0x85:
      c.generation = SimGeneration::Ost3;
      c.sectorCount = 2048;
      break;
    case 0x89:
      c.generation = SimGeneration::Ost4;
      c.sectorCount = 16384;
      break;
    case 0x8A:
      c.generation = SimGeneration::Ost4;
      c.sectorCount = 32768;
      break;
    case 0x8B:
      c.generation = SimGeneration::Ost4;
      c.sectorCount = 59999;
      break;
    default:
      c.generation = SimGeneration::Ost3;
      c.sectorCount = 256;
      break;
  }
  return c;
}

SimConfig SimConfig::ostrel1() {
  SimConfig c;
  c.generation = SimGeneration::Ost1;
  c.sendTypeCode = false;
  c.typeCode = 0;
  c.sectorCount = 128;
  return c;
}

bool SimConfig::knownTypeCode(uint8_t t) {
  return (t >= 0x80 && t <= 0x85) || (t >= 0x89 && t <= 0x8B);
}

uint32_t SimConfig::chipEraseTime() const {
  if (faults.chipEraseMs) return *faults.chipEraseMs;
  if (timings.chipEraseMs) return timings.chipEraseMs;
  switch (generation) {
    case SimGeneration::Ost1:
      return 34000;
    case SimGeneration::Ost2:
      return 26000;
    default:
      return 30000;
  }
}

uint32_t SimConfig::flashCapacity() const {
  return generation == SimGeneration::Ost4 ? kOst4TableSector + 2 : sectorCount;
}

bool SimConfig::validSector(uint32_t s) const {
  if (generation == SimGeneration::Ost4)
    return s <= sectorCount || s == kOst4TableSector || s == kOst4TableSector + 1;
  return s < sectorCount;
}

std::string SimConfig::describe() const {
  static const char* names[] = {"Ostrel I", "Ostrel II", "Ostrel III", "Ostrel IV"};
  std::string s = names[int(generation) & 3];
  s += sendTypeCode ? ", TypeCode " + hex2(typeCode) : ", no TypeCode";
  s += ", " + std::to_string(sectorCount) + " sectors";
  return s;
}

// ---------------------------------------------------------------- life

ModuleSim::ModuleSim(SimConfig config, std::unique_ptr<FlashStore> store)
    : config_(std::move(config)), flash_(std::move(store)) {
  if (!flash_) flash_ = std::make_unique<FlashStore>(config_.flashCapacity());
  if (config_.splitReplies) splitRandom_ = std::mt19937(*config_.splitReplies);
}

ModuleSim::~ModuleSim() = default;

std::vector<uint8_t> ModuleSim::frame(std::initializer_list<uint8_t> codeAndParams) {
  std::vector<uint8_t> v(codeAndParams);
  return buildFrame(v);
}

void ModuleSim::powerCycle() {
  events_.clear();
  outbox_.clear();
  qc_.reset();
  mode_ = Mode::Command;
  in_.clear();
  xfer_.clear();
  busyUntil_ = INT64_MIN;
  haveSelected_ = false;
  cycles_.clear();
  addr1_ = addr2_ = 0;
  lineFreeAt_ = lastEmitAt_ = lastInputAt_ = INT64_MIN;
  hostLineFreeAt_ = INT64_MIN;
  commandCount_ = 0;
  hostBytes_ = 0;
  silent_ = false;
  cablePulled_ = false;
  flash_->sync();
}

void ModuleSim::pullCable() {
  cablePulled_ = true;
  events_.clear();
  outbox_.clear();
  qc_.reset();
  in_.clear();
  xfer_.clear();
  mode_ = Mode::Command;
  busyUntil_ = INT64_MIN;
  flash_->sync();
}

void ModuleSim::recordViolation(const std::string& text, uint32_t nowMs) {
  if (config_.strict) violations_.push_back({nowMs, text});
}

void ModuleSim::violation(const std::string& text) {
  recordViolation(text, toTick(now_));
}

bool ModuleSim::framedFamily() const {
  return config_.generation == SimGeneration::Ost1 || config_.generation == SimGeneration::Ost2;
}

// ---------------------------------------------------------------- time

int64_t ModuleSim::toAbs(uint32_t nowMs) {
  if (!started_) {
    started_ = true;
    lastTick_ = nowMs;
    return int64_t(nowMs) * 1000;
  }
  int32_t d = int32_t(nowMs - lastTick_);
  return d > 0 ? now_ + int64_t(d) * 1000 : now_;
}

void ModuleSim::at(int64_t when, std::function<void()> fn) {
  events_.emplace(std::make_pair(std::max(when, now_), seq_++), std::move(fn));
}

std::optional<int64_t> ModuleSim::partialInputDeadline() const {
  const bool partial = !in_.empty() || (mode_ == Mode::WriteData12 && !xfer_.empty()) ||
                       (mode_ == Mode::RawWriteChunks && !xfer_.empty());
  if (!partial || busy() || lastInputAt_ == INT64_MIN) return std::nullopt;
  return std::max(lastInputAt_, busyUntil_) + int64_t(config_.timings.inputGapMs) * 1000;
}

void ModuleSim::runDue(int64_t until) {
  while (true) {
    int64_t next = INT64_MAX;
    bool gap = false;
    if (!events_.empty()) next = events_.begin()->first.first;
    if (const auto g = partialInputDeadline(); g && *g < next) {
      next = *g;
      gap = true;
    }
    if (next > until) break;
    if (next > now_) now_ = next;
    if (gap) {
      abandonPartialInput();
      continue;
    }
    auto it = events_.begin();
    auto fn = std::move(it->second);
    events_.erase(it);
    fn();
  }
  if (until > now_) now_ = until;
}

void ModuleSim::advanceTo(uint32_t nowMs) {
  advanceToUs(toAbs(nowMs));
  lastTick_ = toTick(now_);
}

void ModuleSim::advanceToUs(int64_t nowUs) {
  if (!started_) {
    started_ = true;
    now_ = nowUs;
  }
  runDue(nowUs);
}

std::optional<uint32_t> ModuleSim::nextEventAt() const {
  const auto next = nextEventAtUs();
  if (!next) return std::nullopt;
  return toTick(*next);
}

std::optional<int64_t> ModuleSim::nextEventAtUs() const {
  int64_t next = INT64_MAX;
  if (!events_.empty()) next = events_.begin()->first.first;
  if (!outbox_.empty()) next = std::min(next, outbox_.front().at);
  if (const auto g = partialInputDeadline()) next = std::min(next, *g);
  if (next == INT64_MAX) return std::nullopt;
  return next;
}

std::optional<uint32_t> ModuleSim::nextEmissionAt() const {
  if (outbox_.empty()) return std::nullopt;
  return toTick(outbox_.front().at);
}

std::optional<int64_t> ModuleSim::nextEmissionAtUs() const {
  if (outbox_.empty()) return std::nullopt;
  return outbox_.front().at;
}

std::vector<uint8_t> ModuleSim::takeEmission() {
  if (outbox_.empty()) return {};
  auto b = std::move(outbox_.front().bytes);
  outbox_.pop_front();
  return b;
}

std::optional<SimEmission> ModuleSim::takeDueEmission(uint32_t nowMs) {
  advanceTo(nowMs);
  if (outbox_.empty() || outbox_.front().at > now_) return std::nullopt;
  SimEmission e{toTick(outbox_.front().at), std::move(outbox_.front().bytes)};
  outbox_.pop_front();
  return e;
}

void ModuleSim::emitRaw(int64_t when, std::vector<uint8_t> bytes) {
  emit(when, std::move(bytes), config_.trailingByte);
}

void ModuleSim::emit(int64_t when, std::vector<uint8_t> bytes, bool tail) {
  at(when, [this, tail, b = std::move(bytes)]() mutable {
    if (cablePulled_) return;
    int64_t start = std::max(now_, lineFreeAt_);
    // Two bursts with nothing from the host between them must reach the host
    // as two chunks: keep the line quiet long enough between them.
    bool solicited = lastInputAt_ != INT64_MIN && lastInputAt_ >= lastEmitAt_;
    if (!solicited && lastEmitAt_ != INT64_MIN)
      start = std::max(start, lastEmitAt_ + int64_t(config_.timings.minEmissionGapMs) * 1000);
    // The firmware's own time, which the host waits through: from the later
    // of the last byte in and the last burst out, to this burst.
    const int64_t idleFrom = std::max(lastInputAt_, lineFreeAt_);
    if (idleFrom != INT64_MIN && start > idleFrom) firmwareUs_ += start - idleFrom;
    int64_t done = start + lineTime(b.size());
    if (config_.splitReplies && b.size() > 1) {
      // Pieces cut at random points, a millisecond apart.
      constexpr int64_t kPieceGap = 1000;
      std::uniform_int_distribution<size_t> cut(1, b.size() - 1);
      std::vector<size_t> cuts{0, b.size()};
      for (int i = std::uniform_int_distribution<int>(0, 3)(splitRandom_); i > 0; --i)
        cuts.push_back(cut(splitRandom_));
      std::sort(cuts.begin(), cuts.end());
      cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
      for (size_t i = 0; i + 1 < cuts.size(); ++i)
        outbox_.push_back({done + int64_t(i) * kPieceGap,
                           std::vector<uint8_t>(b.begin() + ptrdiff_t(cuts[i]),
                                                b.begin() + ptrdiff_t(cuts[i + 1]))});
      done += int64_t(cuts.size() - 2) * kPieceGap;
    } else {
      outbox_.push_back({done, std::move(b)});
    }
    if (tail) {
      // One byte more, a millisecond after the reply: within a quiet gap.
      done += kTailGap + lineTime(1);
      outbox_.push_back({done, {kTailByte}});
    }
    lineFreeAt_ = done;
    lastEmitAt_ = done;
  });
}

void ModuleSim::emitFrame(int64_t when, std::vector<uint8_t> codeAndParams) {
  auto f = buildFrame(codeAndParams);
  if (config_.faults.badReplyChecksum &&
      (*config_.faults.badReplyChecksum == SimRepeat::Always || !badChecksumSpent_)) {
    badChecksumSpent_ = true;
    f.back() = uint8_t(f.back() + 1);
  }
  emit(when, std::move(f));
}

std::pair<uint8_t, uint8_t> ModuleSim::report(uint8_t sum, uint8_t x) {
  if (config_.faults.wrongSum &&
      (*config_.faults.wrongSum == SimRepeat::Always || !wrongSumSpent_)) {
    wrongSumSpent_ = true;
    return {uint8_t(sum + 1), uint8_t(x ^ 1)};
  }
  return {sum, x};
}

std::pair<uint8_t, uint8_t> ModuleSim::sumXor(uint32_t sector, uint32_t length) const {
  auto data = flash_->read(sector);
  length = std::min<uint32_t>(length, kSimSectorSize);
  std::span<const uint8_t> part(data.data(), length);
  return {sum8(part), xor8(part)};
}

void ModuleSim::startBusy(uint32_t ms, std::function<void()> done) {
  busyUntil_ = after(ms);
  at(busyUntil_, [this, done = std::move(done)] {
    done();
    process();
  });
}

bool ModuleSim::checkNotErased(uint32_t sector) {
  if (flash_->state(sector) == SectorState::Erased) return false;
  violation("write to sector " + std::to_string(sector) + " that was not erased");
  return true;
}

// ---------------------------------------------------------------- input

int64_t ModuleSim::lineTime(size_t bytes) const {
  const uint32_t rate = config_.timings.throughputBytesPerSec;
  if (rate == 0) return 0;
  return (int64_t(bytes) * 1000000 + rate - 1) / rate;
}

void ModuleSim::onHostBytes(const uint8_t* data, size_t length, uint32_t nowMs) {
  advanceTo(nowMs);
  hostBytesNow(data, length);
}

void ModuleSim::onHostBytesUs(const uint8_t* data, size_t length, int64_t nowUs) {
  advanceToUs(nowUs);
  hostBytesNow(data, length);
}

void ModuleSim::hostBytesNow(const uint8_t* data, size_t length) {
  if (cablePulled_ || length == 0 || data == nullptr) return;
  if (config_.timings.throughputBytesPerSec == 0) {
    receive(data, length);
    return;
  }
  // The host's bytes cross the line one after another at the line rate, so
  // the firmware sees a command or chunk only once its last byte is in; a
  // burst handed over in pieces takes as long as the same burst whole.
  hostLineFreeAt_ = std::max(now_, hostLineFreeAt_) + lineTime(length);
  at(hostLineFreeAt_, [this, bytes = std::vector<uint8_t>(data, data + length)] {
    if (!cablePulled_) receive(bytes.data(), bytes.size());
  });
}

void ModuleSim::receive(const uint8_t* data, size_t length) {
  size_t take = length;
  bool pull = false;
  if (config_.faults.pullCableAfterHostBytes) {
    uint64_t limit = *config_.faults.pullCableAfterHostBytes;
    uint64_t left = limit > hostBytes_ ? limit - hostBytes_ : 0;
    if (left <= take) {
      take = size_t(left);
      pull = true;
    }
  }
  hostBytes_ += take;
  if (!silent_ && take > 0) {
    lastInputAt_ = now_;
    in_.insert(in_.end(), data, data + take);
    process();
    runDue(now_);
  }
  if (pull) pullCable();
}

void ModuleSim::abandonPartialInput() {
  switch (mode_) {
    // The host gave up on the data: its bytes are data whatever they look
    // like (A2 00 04, A5 01 ...), so they are dropped, never run; the write
    // ends and the module waits for a new command.
    case Mode::WriteData12:
      violation("write data stopped after " + std::to_string(xfer_.size()) + " of " +
                std::to_string(xferLength_) + " bytes");
      xfer_.clear();
      mode_ = Mode::Command;
      break;
    case Mode::RawWriteChunks:
      violation("data chunk " + std::to_string(chunk_) + " stopped after " +
                std::to_string(xfer_.size()) + " bytes");
      xfer_.clear();
      mode_ = Mode::Command;
      break;
    default:
      // Ostrel IV: an A7/A8 that stays at seven bytes is the short form (a
      // sector written back without its logical number).
      if (config_.generation == SimGeneration::Ost4 && in_.size() >= 7 && in_.size() < 9 &&
          (in_[0] == 0xA7 || in_[0] == 0xA8)) {
        shortForm_ = true;
        process();
        shortForm_ = false;
        if (in_.empty()) return;
      }
      if (!in_.empty()) {
        violation("incomplete command " + hex2(in_[0]) + " (" + std::to_string(in_.size()) +
                  " bytes) dropped");
        in_.clear();
      }
      return;
  }
  if (!in_.empty()) process();
}

void ModuleSim::process() {
  while (!in_.empty() && !silent_ && !cablePulled_) {
    if (busy()) {
      // Ostrel I/II answer every frame during an erase with a busy reply; the
      // raw generations keep the bytes until they are ready.
      if (!framedFamily() || mode_ != Mode::Command) return;
      if (!processCommand()) return;
      continue;
    }
    switch (mode_) {
      case Mode::Command:
        if (!processCommand()) return;
        break;
      case Mode::WriteData12: {
        size_t n = std::min<size_t>(in_.size(), xferLength_ - xfer_.size());
        xfer_.insert(xfer_.end(), in_.begin(), in_.begin() + n);
        in_.erase(in_.begin(), in_.begin() + n);
        if (xfer_.size() < xferLength_) return;
        finishWrite12();
        break;
      }
      case Mode::RawWriteChunks: {
        size_t n = std::min<size_t>(in_.size(), kChunk - xfer_.size());
        xfer_.insert(xfer_.end(), in_.begin(), in_.begin() + n);
        in_.erase(in_.begin(), in_.begin() + n);
        if (xfer_.size() < kChunk) return;
        rawChunkComplete();
        break;
      }
      case Mode::ReadArmed12:
        if (in_[0] == 0x00) {
          in_.erase(in_.begin());
          auto block = flash_->read(xferSector_);
          block.resize(xferLength_);
          readSum_ = sum8(block);
          readXor_ = xor8(block);
          emit(after(config_.timings.readDelayMs), std::move(block));
          mode_ = Mode::ReadSent12;
        } else {
          violation("read of sector " + std::to_string(xferSector_) + " not triggered by 00");
          mode_ = Mode::Command;
        }
        break;
      case Mode::ReadSent12:
        mode_ = Mode::Command;
        if (in_[0] == 0x00) {
          in_.erase(in_.begin());
          auto [s, x] = report(readSum_, readXor_);
          emitFrame(after(config_.timings.replyDelayMs), {kReportCode, s, x});
        }
        break;
      case Mode::RawRead:
        if (in_[0] == kAck) {
          in_.erase(in_.begin());
          if (!commandAllowed()) return;
          std::vector<uint8_t> piece(xfer_.begin() + chunk_ * kChunk,
                                     xfer_.begin() + (chunk_ + 1) * kChunk);
          emit(after(config_.timings.replyDelayMs), std::move(piece));
          if (++chunk_ == kChunksPerSector) {
            mode_ = Mode::Command;
            xfer_.clear();
          }
        } else {
          violation("read of sector " + std::to_string(xferSector_) + " abandoned after " +
                    std::to_string(chunk_) + " pieces");
          mode_ = Mode::Command;
          xfer_.clear();
        }
        break;
    }
  }
}

bool ModuleSim::commandAllowed() {
  ++commandCount_;
  if (config_.faults.silenceAfterCommands && commandCount_ > *config_.faults.silenceAfterCommands) {
    silent_ = true;
    in_.clear();
    return false;
  }
  return true;
}

// Parses one command at the front of in_. False: more bytes are needed.
bool ModuleSim::processCommand() {
  uint8_t b = in_[0];
  if (b == 0x80) {  // identify probe, the same in every generation
    in_.erase(in_.begin());
    if (!commandAllowed()) return true;
    std::vector<uint8_t> p{0xC0};
    p.insert(p.end(), config_.identity.begin(), config_.identity.end());
    if (config_.sendTypeCode) p.push_back(config_.typeCode);
    emitFrame(after(config_.timings.replyDelayMs), std::move(p));
    return true;
  }
  bool frameStart = framedFamily() ? b > 0x80 : (b > 0x80 && b <= 0x8F);
  if (frameStart) {
    size_t len = frameLength(b);
    if (in_.size() < len) return false;
    std::vector<uint8_t> f(in_.begin(), in_.begin() + len);
    in_.erase(in_.begin(), in_.begin() + len);
    if (!frameValid(f)) {
      violation("frame " + hex2(f.size() > 1 ? f[1] : 0) + " with a wrong checksum ignored");
      return true;
    }
    if (!commandAllowed()) return true;
    if (busy())
      emitFrame(after(config_.timings.replyDelayMs), {kBusyCode, f[1]});
    else
      handleFramed(f);
    return true;
  }
  if (framedFamily()) {
    size_t n = 0;
    while (n < in_.size() && in_[n] < 0x80) ++n;
    violation(std::to_string(n) + " data bytes without a command");
    in_.erase(in_.begin(), in_.begin() + n);
    return true;
  }
  // Raw commands of Ostrel III/IV.
  bool ost4 = config_.generation == SimGeneration::Ost4;
  size_t need = 0;
  switch (b) {
    case 0xA0:
    case 0xA1:
      need = 7;
      break;
    case 0xA7:
    case 0xA8:
      need = ost4 && !shortForm_ ? 9 : 7;
      break;
    case 0xA2:
      need = 3;
      break;
    case 0xA3:
      need = 1;
      break;
    case 0xA5:
    case 0xA6:
      need = 2;
      break;
    case kAck:
      violation("chunk request 5A without a read");
      in_.erase(in_.begin());
      return true;
    default:
      // Not a command: what is pending is noise or data without a command; a
      // byte inside it must never be taken for a command.
      violation("unknown command " + hex2(b) + " (" + std::to_string(in_.size()) +
                " bytes dropped)");
      in_.clear();
      return true;
  }
  if (in_.size() < need) return false;
  bool malformed = false;
  if (need >= 7) malformed = !(in_[3] == 0 && in_[4] == 0 && in_[5] == 0 && in_[6] == 0x10);
  // The host sends each command on its own and waits for the answer: bytes
  // behind a command mean a data burst (a chunk sent again after the module
  // gave up on it), which is never taken for a command.
  if (in_.size() != need) malformed = true;
  if (malformed) {
    violation("malformed command " + hex2(b) + " (" + std::to_string(in_.size()) +
              " bytes dropped)");
    in_.clear();
    return true;
  }
  std::vector<uint8_t> cmd(in_.begin(), in_.begin() + need);
  in_.erase(in_.begin(), in_.begin() + need);
  if (!commandAllowed()) return true;
  handleRaw(cmd);
  return true;
}

// ---------------------------------------------------------------- Ostrel I/II

void ModuleSim::handleFramed(const std::vector<uint8_t>& f) {
  const uint8_t code = f[1];
  const size_t np = f.size() - 3;  // parameters
  const uint8_t* p = f.data() + 2;
  const int64_t replyAt = after(config_.timings.replyDelayMs);
  auto ack = [&] {
    std::vector<uint8_t> r{uint8_t(code + 0x40)};
    r.insert(r.end(), p, p + np);
    emitFrame(replyAt, std::move(r));
  };
  auto needSelected = [&] {
    if (haveSelected_) return true;
    violation("command " + hex2(code) + " without a selected sector");
    return false;
  };
  if (!framedFamily()) {
    // Ostrel III/IV understand the presence check, the end and the check.
    switch (code) {
      case 0x70:
        ack();
        return;
      case 0x90:
        return;
      case 0x30:
        startBusy(config_.timings.checkMs, [this, s = lastSector_] {
          auto [sum, x] = sumXor(s, kSimSectorSize);
          auto [rs, rx] = report(sum, x);
          emitFrame(now_, {0x70, rs, rx});
        });
        return;
      default:
        violation("unknown framed command " + hex2(code));
        return;
    }
  }
  switch (code) {
    case 0x70:
      ack();
      return;
    case 0x90:
      haveSelected_ = false;
      cycles_.clear();
      return;
    case 0x01:
      if (np != 1 || !config_.validSector(p[0])) {
        violation("select of sector " + std::to_string(np ? p[0] : 0) + " out of range");
        return;
      }
      selected_ = p[0];
      haveSelected_ = true;
      cycles_.clear();
      addr1_ = addr2_ = 0;
      ack();
      return;
    case 0x02:
    case 0x03:
    case 0x04:
    case 0x05:
      if (np != 1) {
        violation("command " + hex2(code) + " with " + std::to_string(np) + " parameters");
        return;
      }
      if (code == 0x02) addr2_ = p[0];
      if (code == 0x03) addr1_ = p[0];
      if ((code == 0x05 && config_.generation == SimGeneration::Ost1) ||
          (code == 0x04 && config_.generation == SimGeneration::Ost2)) {
        eraseCycle(code, p[0], f);
        return;
      }
      ack();
      return;
    case 0x10:
    case 0x20: {
      if (np != 2 || !needSelected()) {
        if (np != 2) violation("command " + hex2(code) + " without its length");
        return;
      }
      uint32_t len = (uint32_t(p[0]) << 8 | p[1]) + 1;
      if (code == 0x10) checkNotErased(selected_);
      ack();
      xferSector_ = selected_;
      xferLength_ = len;
      xfer_.clear();
      mode_ = code == 0x10 ? Mode::WriteData12 : Mode::ReadArmed12;
      return;
    }
    case 0x30:
      if (!needSelected()) return;
      startBusy(config_.timings.checkMs, [this, s = selected_] {
        auto [sum, x] = sumXor(s, kSimSectorSize);
        auto [rs, rx] = report(sum, x);
        if (worn(s, true)) rs = 0x00, rx = 0x01;
        emitFrame(now_, {0x70, rs, rx});
      });
      return;
    case 0xA0:
    case 0xB0: {
      if (np != 1 || !config_.validSector(p[0])) {
        violation("quality-control step on sector " + std::to_string(np ? p[0] : 0) +
                  " out of range");
        return;
      }
      uint32_t s = p[0];
      startBusy(config_.timings.qcSectorMs, [this, s, code] {
        if (code == 0xB0) flash_->programLoopPattern(s);
        SectorState st = flash_->state(s);
        uint8_t sum = 0, x = 0;
        bool good = code == 0xA0 ? st == SectorState::Erased : st == SectorState::LoopPattern;
        if (!good) {
          auto data = flash_->read(s);
          if (code == 0xA0) {
            good = allFF(data);
          } else {
            good = true;
            for (uint32_t i = 0; i < kSimSectorSize && good; ++i)
              good = data[i] == loopPatternByte(i);
          }
          if (!good) {
            sum = sum8(data);
            x = xor8(data);
            if (sum == 0 && x == 0) x = 1;  // a failed test never reads as passed
          }
        }
        auto [rs, rx] = report(sum, x);
        if (worn(s, false)) rs = 0x00, rx = 0x01;
        emitFrame(now_, {uint8_t(code + 0x40), rs, rx});
      });
      return;
    }
    default:
      violation("unknown command " + hex2(code));
      return;
  }
}

// The flash command cycles of the erase sequences: Ostrel I writes data bytes
// with 0x05 (AA 55 80 AA 55 then 10 or 30); Ostrel II sets two address bytes
// with 0x03/0x02 and writes the data byte with 0x04. A cycle out of sequence
// resets the sequence, as the chip does.
void ModuleSim::eraseCycle(uint8_t code, uint8_t d, const std::vector<uint8_t>& f) {
  static const uint8_t unlock[5] = {0xAA, 0x55, 0x80, 0xAA, 0x55};
  const bool ost2 = config_.generation == SimGeneration::Ost2;
  const int64_t replyAt = after(config_.timings.replyDelayMs);
  auto ack = [&] { emitFrame(replyAt, {uint8_t(code + 0x40), d}); };
  auto addrOk = [&](uint8_t a) { return !ost2 || (addr1_ == a && addr2_ == a); };
  size_t k = cycles_.size();
  if (k < 5) {
    if (d == unlock[k] && addrOk(d == 0x80 ? 0xAA : d)) {
      cycles_.push_back(d);
    } else {
      if (k > 0) violation("flash command cycle " + hex2(d) + " out of sequence");
      cycles_.clear();
      if (d == 0xAA && addrOk(0xAA)) cycles_.push_back(d);
    }
    ack();
    return;
  }
  cycles_.clear();
  if (!haveSelected_) {
    violation("erase without a selected sector");
    ack();
    return;
  }
  const uint32_t sector = selected_;
  if (d == 0x10 && addrOk(0xAA)) {
    uint32_t chipSize = config_.generation == SimGeneration::Ost1 ? 64 : 128;
    uint32_t first = sector / chipSize * chipSize;
    eraseUs_ += int64_t(config_.chipEraseTime()) * 1000;
    startBusy(config_.chipEraseTime(), [this, first, chipSize, code, d] {
      for (uint32_t s = first; s < first + chipSize && s < config_.sectorCount; ++s)
        flash_->erase(s);
      emitFrame(now_, {uint8_t(code + 0x40), d});
    });
    return;
  }
  if (d == 0x30) {
    bool boot = ost2 && (sector % 128 == 0 || sector % 128 == 127);
    if (boot) {
      // A boot sector is eight 8 KiB sub-blocks; the second address byte's top
      // three bits pick one.
      uint32_t sub = addr2_ >> 5;
      eraseUs_ += int64_t(config_.timings.bootSubBlockEraseMs) * 1000;
      startBusy(config_.timings.bootSubBlockEraseMs, [this, sector, sub, code, d] {
        flash_->eraseBytes(sector, sub * 8192, 8192);
        emitFrame(now_, {uint8_t(code + 0x40), d});
      });
    } else {
      eraseUs_ += int64_t(config_.timings.sectorEraseMs) * 1000;
      startBusy(config_.timings.sectorEraseMs, [this, sector, code, d] {
        flash_->erase(sector);
        emitFrame(now_, {uint8_t(code + 0x40), d});
      });
    }
    return;
  }
  violation("erase cycle " + hex2(d) + " not understood");
  (void)f;
  ack();
}

void ModuleSim::finishWrite12() {
  mode_ = Mode::Command;
  uint32_t s = xferSector_;
  auto data = std::make_shared<std::vector<uint8_t>>(std::move(xfer_));
  xfer_.clear();
  startBusy(config_.timings.programMs, [this, s, data] {
    flash_->program(s, 0, *data);
    // The report is read back from the cells: a missing erase shows here.
    auto [sum, x] = sumXor(s, uint32_t(data->size()));
    auto [rs, rx] = report(sum, x);
    emitFrame(now_, {kReportCode, rs, rx});
  });
}

// ---------------------------------------------------------------- Ostrel III/IV

void ModuleSim::handleRaw(const std::vector<uint8_t>& c) {
  const uint8_t code = c[0];
  const bool ost4 = config_.generation == SimGeneration::Ost4;
  const int64_t replyAt = after(config_.timings.replyDelayMs);
  auto reject = [&](const std::string& why) {
    violation(why);
    emitRaw(replyAt, {kRawFail});
  };
  switch (code) {
    case 0xA0:
    case 0xA7:
    case 0xA1:
    case 0xA8: {
      uint32_t s = uint32_t(c[1]) << 8 | c[2];
      if (!config_.validSector(s)) {
        reject("command " + hex2(code) + " for sector " + std::to_string(s) + " out of range");
        return;
      }
      lastSector_ = s;
      xferSector_ = s;
      chunk_ = 0;
      xfer_.clear();
      if (code == 0xA0 || code == 0xA7) {
        int64_t ackAt = replyAt;
        if (ost4) {
          // Ostrel IV never gets an erase before a write: it erases the
          // physical sector itself.
          flash_->erase(s);
          ackAt += int64_t(config_.timings.ost4WriteEraseMs) * 1000;
          eraseUs_ += int64_t(config_.timings.ost4WriteEraseMs) * 1000;
        } else {
          checkNotErased(s);
        }
        mode_ = Mode::RawWriteChunks;
        emitRaw(ackAt, {kAck});
      } else {
        xfer_ = flash_->read(s);
        mode_ = Mode::RawRead;
        emitRaw(replyAt, {kAck});
      }
      return;
    }
    case 0xA2: {
      uint32_t s = uint32_t(c[1]) << 8 | c[2];
      if (!config_.validSector(s)) {
        reject("erase of sector " + std::to_string(s) + " out of range");
        return;
      }
      lastSector_ = s;
      eraseUs_ += int64_t(config_.timings.blockEraseMs) * 1000;
      startBusy(config_.timings.blockEraseMs, [this, s] {
        uint32_t even = s & ~1u;
        for (uint32_t t : {even, even + 1})
          if (config_.validSector(t)) flash_->erase(t);
        emitRaw(now_, {kAck});
      });
      return;
    }
    case 0xA3:
      eraseUs_ += int64_t(config_.chipEraseTime()) * 1000;
      startBusy(config_.chipEraseTime(), [this] {
        flash_->eraseAll();
        emitRaw(now_, {kAck});
      });
      return;
    case 0xA5:
    case 0xA6:
      startQc(code == 0xA5 ? 0 : 1, c[1]);
      return;
    default:
      return;
  }
}

void ModuleSim::rawChunkComplete() {
  const auto& n = config_.faults.chunkNack;
  if (n && n->sector == xferSector_ && n->chunk == chunk_ &&
      (n->repeat == SimRepeat::Always || !chunkNackSpent_)) {
    // The chunk is lost: no acknowledgement, the module waits for it again.
    chunkNackSpent_ = true;
    xfer_.clear();
    return;
  }
  flash_->program(xferSector_, chunk_ * kChunk, xfer_);
  xfer_.clear();
  emitRaw(after(config_.timings.chunkAckDelayMs), {kAck});
  if (++chunk_ == kChunksPerSector) mode_ = Mode::Command;
}

// Quality control on Ostrel III/IV. Step 1 ("Blank data") programs each unit
// to 00, erases it and checks it blank: marks '[', '[', '\' per unit. Step 2
// ("Loop data") programs the loop pattern and checks it: '[', '\'. A unit is
// one sector on Ostrel III; Ostrel IV reports in 128 units over all of its
// physical sectors. A failed check sends 0xD0 instead of its '\' mark.
std::vector<uint32_t> ModuleSim::qcUnitSectors(uint32_t unit) const {
  std::vector<uint32_t> out;
  if (config_.generation != SimGeneration::Ost4) {
    out.push_back(unit);
    return out;
  }
  uint64_t total = uint64_t(config_.sectorCount) + 3;  // 0..SectorCount, 60000, 60001
  uint64_t from = unit * total / kOst4QcUnits, to = (unit + 1) * total / kOst4QcUnits;
  for (uint64_t i = from; i < to; ++i)
    out.push_back(i <= config_.sectorCount
                      ? uint32_t(i)
                      : kOst4TableSector + uint32_t(i - config_.sectorCount - 1));
  return out;
}

void ModuleSim::startQc(uint8_t step, uint8_t serial) {
  qc_ = std::make_unique<QcJob>();
  qc_->step = step;
  qc_->serial = serial;
  qc_->units = config_.generation == SimGeneration::Ost4 ? kOst4QcUnits : config_.sectorCount;
  busyUntil_ = INT64_MAX;
  // The module gets ready, accepts the step with 'Z', then reports.
  at(after(config_.timings.qcStartMs), [this] {
    if (!qc_) return;
    emit(now_, {kAck});
    at(after(config_.timings.qcMarkIntervalMs), [this] { qcTick(); });
  });
}

bool ModuleSim::worn(uint32_t sector, bool atChecksum) const {
  const auto& w = config_.faults.wornSector;
  return w && w->sector == sector && w->atChecksum == atChecksum;
}

void ModuleSim::qcTick() {
  if (!qc_) return;
  QcJob& j = *qc_;
  auto finish = [this](uint8_t b0, std::optional<uint8_t> b1) {
    at(after(config_.timings.qcMarkIntervalMs), [this, b0, b1] {
      std::vector<uint8_t> b{b0};
      if (b1) b.push_back(*b1);
      emit(now_, b);
      qc_.reset();
      busyUntil_ = now_;
      process();
    });
  };
  char mark = j.marks()[j.mark];
  auto sectors = qcUnitSectors(j.unit);
  if (j.step == 0 && mark == '\\') {
    for (uint32_t s : sectors) flash_->erase(s);
  } else if (j.step == 1 && j.mark == 0) {
    for (uint32_t s : sectors) flash_->programLoopPattern(s);
  } else if (j.step == 1 && mark == '\\') {
    for (uint32_t s : sectors) {
      if (flash_->state(s) == SectorState::LoopPattern) continue;
      auto data = flash_->read(s);
      for (uint32_t i = 0; i < kSimSectorSize; ++i) {
        if (data[i] != loopPatternByte(i)) {
          emit(now_, {kRawFail});
          qc_.reset();
          busyUntil_ = now_;
          process();
          return;
        }
      }
    }
  }
  emit(now_, {uint8_t(mark)});
  QcFailure f = config_.faults.qcFailure;
  if (f == QcFailure::Silent) return;  // hung: nothing more until powered again
  if (!j.failureInjected && ((f == QcFailure::AfterOpenBracket && mark == '[') ||
                             (f == QcFailure::AfterBackslash && mark == '\\'))) {
    j.failureInjected = true;
    finish(kRawFail, std::nullopt);
    return;
  }
  if (++j.mark == j.marksPerUnit()) {
    j.mark = 0;
    if (++j.unit == j.units) {
      finish(kAck, uint8_t(f == QcFailure::WrongSerial ? j.serial + 1 : j.serial));
      return;
    }
  }
  at(after(config_.timings.qcMarkIntervalMs), [this] { qcTick(); });
}

}  // namespace ostrel
