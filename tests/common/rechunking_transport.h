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

class RechunkingTransport : public ForwardingTransport {
 public:
  RechunkingTransport(VirtualClock& clock, Transport& inner, uint32_t start)
      : ForwardingTransport(inner), clock_(clock), random_(start) {
    inner_.OnReceiveData = [this](const uint8_t* data, uint16_t length) {
      queue_.insert(queue_.end(), data, data + length);
      if (!scheduled_) schedule();
    };
  }
  ~RechunkingTransport() override {
    if (scheduled_) clock_.cancel(timer_);
  }

  void ClosePort() override {
    inner_.ClosePort();
    queue_.clear();
  }

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
  std::mt19937 random_;
  std::deque<uint8_t> queue_;
  bool scheduled_ = false;
  TimerId timer_ = 0;
};

}  // namespace ostrel::test
