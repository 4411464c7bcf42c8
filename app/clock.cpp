#include "app/clock.h"

namespace ostrel {

bool VirtualClock::runNextDueBy(uint64_t limit) {
  if (events_.empty()) return false;
  auto it = events_.begin();
  if (it->first.at > limit) return false;
  uint64_t at = it->first.at;
  auto fn = std::move(it->second);
  events_.erase(it);
  if (at > elapsed_) {
    now_ += uint32_t(at - elapsed_);
    elapsed_ = at;
  }
  fn();
  return true;
}

bool VirtualClock::waitUntil(const std::function<bool()>& done, uint32_t deadline) {
  // The deadline in 64-bit terms: never more than 2^31 ms ahead, as with a real tick.
  int32_t left = int32_t(deadline - now_);
  uint64_t limit = elapsed_ + (left > 0 ? uint64_t(left) : 0);
  while (true) {
    if (done()) return true;
    if (elapsed_ >= limit) return false;
    if (!runNextDueBy(limit)) {
      now_ += uint32_t(limit - elapsed_);
      elapsed_ = limit;
    }
  }
}

void VirtualClock::processEvents() {
  while (runNextDueBy(elapsed_)) {
  }
}

TimerId VirtualClock::schedule(uint32_t delayMs, std::function<void()> fn) {
  TimerId id = nextId_++;
  events_.emplace(Key{elapsed_ + delayMs, id}, std::move(fn));
  return id;
}

void VirtualClock::cancel(TimerId id) {
  for (auto it = events_.begin(); it != events_.end(); ++it) {
    if (it->first.id == id) {
      events_.erase(it);
      return;
    }
  }
}

void VirtualClock::advance(uint32_t ms) {
  waitUntil([] { return false; }, now_ + ms);
}

}  // namespace ostrel
