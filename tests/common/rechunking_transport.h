// A Transport in front of another that hands what the module sends to the
// host in pieces cut at random points and a few milliseconds late, so that
// one reply comes in several pieces and consecutive replies come joined, the
// same way for the same number.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <random>
#include <vector>

#include "app/clock.h"
#include "link/transport.h"

namespace ostrel::test {

class RechunkingTransport : public Transport {
 public:
  RechunkingTransport(VirtualClock& clock, Transport& inner, uint32_t seed)
      : clock_(clock), inner_(inner), random_(seed) {
    inner_.OnReceiveData = [this](const uint8_t* data, uint16_t length) {
      queue_.insert(queue_.end(), data, data + length);
      if (!scheduled_) schedule();
    };
  }
  ~RechunkingTransport() override {
    if (scheduled_) clock_.cancel(timer_);
    inner_.OnReceiveData = nullptr;
  }

  void OpenPort() override { inner_.OpenPort(); }
  void ClosePort() override {
    inner_.ClosePort();
    queue_.clear();
  }
  bool isOpen() const override { return inner_.isOpen(); }
  bool SendBytes(const uint8_t* data, uint16_t length) override {
    return inner_.SendBytes(data, length);
  }
  const std::string& CommName() const override { return inner_.CommName(); }
  void setCommName(const std::string& name) override { inner_.setCommName(name); }
  uint32_t BaudRate() const override { return inner_.BaudRate(); }
  void setBaudRate(uint32_t baud) override { inner_.setBaudRate(baud); }
  TParity Parity() const override { return inner_.Parity(); }
  void setParity(TParity parity) override { inner_.setParity(parity); }
  TStopBits StopBits() const override { return inner_.StopBits(); }
  void setStopBits(TStopBits bits) override { inner_.setStopBits(bits); }
  TByteSize ByteSize() const override { return inner_.ByteSize(); }
  void setByteSize(TByteSize size) override { inner_.setByteSize(size); }
  uint32_t ReadIntervalTimeout() const override { return inner_.ReadIntervalTimeout(); }
  void setReadIntervalTimeout(uint32_t ms) override { inner_.setReadIntervalTimeout(ms); }

 private:
  void schedule() {
    scheduled_ = true;
    timer_ = clock_.schedule(std::uniform_int_distribution<uint32_t>(0, 3)(random_), [this] {
      scheduled_ = false;
      deliver();
    });
  }
  // One piece: anything from a byte to everything waiting.
  void deliver() {
    if (queue_.empty()) return;
    const size_t most = std::min<size_t>(queue_.size(), 32768);
    const size_t n =
        random_() % 3 == 0 ? most : std::uniform_int_distribution<size_t>(1, most)(random_);
    const std::vector<uint8_t> piece(queue_.begin(), queue_.begin() + ptrdiff_t(n));
    queue_.erase(queue_.begin(), queue_.begin() + ptrdiff_t(n));
    if (!queue_.empty()) schedule();
    if (OnReceiveData) OnReceiveData(piece.data(), uint16_t(piece.size()));
  }

  VirtualClock& clock_;
  Transport& inner_;
  std::mt19937 random_;
  std::deque<uint8_t> queue_;
  bool scheduled_ = false;
  TimerId timer_ = 0;
};

}  // namespace ostrel::test
