// The real clock: a steady millisecond tick and waits that run the Qt event
// loop, sleeping in the kernel until an event or the deadline arrives.
#pragma once

#include <QObject>
#include <QTimer>
#include <unordered_map>

#include "app/clock.h"

namespace ostrel {

class QtClock : public Clock {
 public:
  QtClock();
  ~QtClock() override;
  uint32_t tick() override;
  bool waitUntil(const std::function<bool()>& done, uint32_t deadline) override;
  void processEvents() override;
  TimerId schedule(uint32_t delayMs, std::function<void()> fn) override;
  void cancel(TimerId id) override;

 private:
  QObject context_;
  TimerId nextId_ = 1;
  std::unordered_map<TimerId, QTimer*> timers_;
};

}  // namespace ostrel
