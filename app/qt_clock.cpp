#include "app/qt_clock.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <chrono>

namespace ostrel {

QtClock::QtClock() = default;

QtClock::~QtClock() {
  for (auto& [id, timer] : timers_) delete timer;
}

uint32_t QtClock::tick() {
  using namespace std::chrono;
  return uint32_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

bool QtClock::waitUntil(const std::function<bool()>& done, uint32_t deadline) {
  QTimer wake;
  wake.setSingleShot(true);
  wake.setTimerType(Qt::PreciseTimer);
  while (!done()) {
    const uint32_t now = tick();
    if (tickReached(now, deadline)) return done();
    // The timer only wakes the loop at the deadline; the kernel sleeps until then
    // or until a queued call (received data, a timer, a notice) arrives.
    wake.start(int(int32_t(deadline - now)));
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents | QEventLoop::AllEvents);
  }
  return true;
}

void QtClock::processEvents() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

TimerId QtClock::schedule(uint32_t delayMs, std::function<void()> fn) {
  const TimerId id = nextId_++;
  auto* timer = new QTimer(&context_);
  timer->setSingleShot(true);
  timer->setTimerType(Qt::PreciseTimer);
  QObject::connect(timer, &QTimer::timeout, &context_, [this, id, fn = std::move(fn)] {
    auto it = timers_.find(id);
    if (it == timers_.end()) return;
    it->second->deleteLater();
    timers_.erase(it);
    fn();
  });
  timers_.emplace(id, timer);
  timer->start(int(delayMs));
  return id;
}

void QtClock::cancel(TimerId id) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return;
  it->second->stop();
  it->second->deleteLater();
  timers_.erase(it);
}

}  // namespace ostrel
