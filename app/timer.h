// A repeating timer on the core's clock, as the window's timer component
// behaves: it fires every Interval ms while Enabled.
#pragma once

#include <functional>

#include "app/clock.h"

namespace ostrel {

class TTimer {
 public:
  TTimer(Clock& clock, uint32_t interval) : clock_(clock), interval_(interval) {}
  ~TTimer() { stop(); }
  TTimer(const TTimer&) = delete;
  TTimer& operator=(const TTimer&) = delete;

  bool Enabled() const { return enabled_; }
  uint32_t Interval() const { return interval_; }
  void setEnabled(bool on) {
    if (on == enabled_) return;
    enabled_ = on;
    if (on)
      arm();
    else
      stop();
  }
  // Changing the interval of a running timer restarts its count.
  void setInterval(uint32_t ms) {
    interval_ = ms;
    if (enabled_) {
      stop();
      arm();
    }
  }

  std::function<void()> OnTimer;

 private:
  void arm() {
    pending_ = clock_.schedule(interval_, [this] {
      pending_ = 0;
      if (!enabled_) return;
      arm();
      if (OnTimer) OnTimer();
    });
  }
  void stop() {
    if (pending_) clock_.cancel(pending_);
    pending_ = 0;
  }

  Clock& clock_;
  uint32_t interval_;
  bool enabled_ = false;
  TimerId pending_ = 0;
};

}  // namespace ostrel
