// The 32-bit millisecond tick and the one way the user-interface thread waits.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>

namespace ostrel {

// Deadlines live on a 32-bit tick that wraps every 49.7 days: compare by the
// signed difference so a wait that straddles the wrap still lasts its time.
inline bool tickReached(uint32_t now, uint32_t deadline) {
  return int32_t(deadline - now) <= 0;
}
inline bool tickBefore(uint32_t now, uint32_t deadline) {
  return int32_t(deadline - now) > 0;
}

using TimerId = uint64_t;

class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds, wrapping at 2^32.
  virtual uint32_t tick() = 0;
  // Lets queued calls, timers and received data run until done() holds or the
  // deadline is reached. Returns done(). Never spins: a wait costs no CPU.
  virtual bool waitUntil(const std::function<bool()>& done, uint32_t deadline) = 0;
  // Runs what is already due without waiting.
  virtual void processEvents() = 0;
  // Calls fn on the user-interface thread once, delayMs from now.
  virtual TimerId schedule(uint32_t delayMs, std::function<void()> fn) = 0;
  virtual void cancel(TimerId id) = 0;

  // Pauses for ms while the event queue keeps running.
  void sleep(uint32_t ms) {
    waitUntil([] { return false; }, tick() + ms);
  }
};

// Deterministic time for tests: nothing happens between scheduled events, so a
// wait jumps straight to the next event or to its deadline.
class VirtualClock : public Clock {
 public:
  explicit VirtualClock(uint32_t start = 0) : now_(start) {}
  uint32_t tick() override { return now_; }
  bool waitUntil(const std::function<bool()>& done, uint32_t deadline) override;
  void processEvents() override;
  TimerId schedule(uint32_t delayMs, std::function<void()> fn) override;
  void cancel(TimerId id) override;

  // Moves time forward by ms, running every event that falls due on the way.
  void advance(uint32_t ms);
  size_t pendingCount() const { return events_.size(); }

 private:
  struct Key {
    uint64_t at;  // absolute, never wraps (64-bit virtual timeline)
    TimerId id;
    bool operator<(const Key& o) const { return at != o.at ? at < o.at : id < o.id; }
  };
  bool runNextDueBy(uint64_t limit);

  uint32_t now_;
  uint64_t elapsed_ = 0;  // 64-bit mirror of now_ for ordering across the wrap
  TimerId nextId_ = 1;
  std::map<Key, std::function<void()>> events_;
};

}  // namespace ostrel
