// A pseudo-terminal pair standing in for a serial cable: TComm opens the
// slave by path, the test plays the module on the master.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

namespace ostrel::testing {

struct PtyPair {
  int master = -1;
  int slave = -1;  // kept open so the slave's settings can be read back
  std::string slavePath;

  PtyPair() {
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) == 0) slavePath = name;
  }
  ~PtyPair() {
    closeMaster();
    if (slave >= 0) ::close(slave);
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return master >= 0 && !slavePath.empty(); }
  void closeMaster() {
    if (master >= 0) ::close(master);
    master = -1;
  }
  // Writes everything (the master is blocking).
  bool writeAll(const uint8_t* p, size_t n) const {
    while (n > 0) {
      const ssize_t w = ::write(master, p, n);
      if (w <= 0) return false;
      p += w;
      n -= size_t(w);
    }
    return true;
  }
  // Reads exactly n bytes unless timeoutMs passes without any byte.
  std::vector<uint8_t> readSome(size_t n, int timeoutMs) const {
    std::vector<uint8_t> out;
    std::vector<uint8_t> buf(65536);
    while (out.size() < n) {
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, timeoutMs) <= 0) break;
      const ssize_t r = ::read(master, buf.data(), std::min(buf.size(), n - out.size()));
      if (r <= 0) break;
      out.insert(out.end(), buf.begin(), buf.begin() + r);
    }
    return out;
  }
};

// Runs the event loop (queued calls included) until done() holds or the time
// is up. The bounds are generous: a loaded machine only makes it slower.
inline bool waitFor(const std::function<bool()>& done, int timeoutMs) {
  QTimer tick;  // wakes the loop now and then so the clock is looked at
  tick.start(5);
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

inline void runEventsFor(int ms) {
  waitFor([] { return false; }, ms);
}

}  // namespace ostrel::testing
