#include "sim/pty_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <vector>

#include "app/clock.h"
#include "app/file_io.h"
#include "link/port_list.h"

namespace ostrel {

namespace {

int gWakeFd = -1;
volatile std::sig_atomic_t gStop = 0;
volatile std::sig_atomic_t gStatsAsked = 0;

void wake() {
  if (gWakeFd >= 0) {
    char c = 1;
    ssize_t r = write(gWakeFd, &c, 1);
    (void)r;
  }
}

void onSignal(int) {
  gStop = 1;
  wake();
}

void onStatsSignal(int) {
  gStatsAsked = 1;
  wake();
}

// Bytes waiting for the host are kept up to this much; more means nobody reads.
constexpr size_t kMaxPending = 4u << 20;

}  // namespace

PtyRunner::PtyRunner(ModuleSim& sim, PtyOptions options) : sim_(sim), opt_(std::move(options)) {}

PtyRunner::~PtyRunner() {
  stop();
}

uint32_t PtyRunner::nowMs() const {
  using namespace std::chrono;
  return uint32_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

int64_t PtyRunner::nowUs() const {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

bool PtyRunner::start(std::string& error) {
  const std::string dir = opt_.portDir.empty() ? defaultVirtualPortDir() : opt_.portDir;
  if (const std::string problem = makePortFolder(dir); !problem.empty()) {
    error = "refusing to publish in " + dir + ": " + problem +
            "; the folder must be your own and writable by you alone";
    return false;
  }
  char name[256] = {};
  if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
    error = std::string("openpty failed: ") + std::strerror(errno);
    return false;
  }
  slavePath_ = name;
  termios t{};
  if (tcgetattr(slave_, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(slave_, TCSANOW, &t);
  }
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(slave_, F_SETFD, FD_CLOEXEC);
  if (pipe(wakePipe_) != 0) {
    error = "pipe failed";
    return false;
  }
  for (int fd : wakePipe_) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  // Host opens and closes of the terminal: a close drops what the module
  // sent meanwhile; see run() for opens.
  inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (inotify_ >= 0 && inotify_add_watch(inotify_, slavePath_.c_str(), IN_OPEN | IN_CLOSE) < 0) {
    close(inotify_);
    inotify_ = -1;
  }
  namespace fs = std::filesystem;
  std::error_code ec;
  std::string link = opt_.linkName.empty() ? "sim-" + std::to_string(getpid()) : opt_.linkName;
  linkPath_ = dir + "/" + link;
  if (fs::is_symlink(fs::symlink_status(linkPath_, ec))) fs::remove(linkPath_, ec);
  if (symlink(slavePath_.c_str(), linkPath_.c_str()) != 0) {
    error = "cannot publish " + linkPath_ + ": " + std::strerror(errno);
    linkPath_.clear();
    return false;
  }
  gWakeFd = wakePipe_[1];
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sa.sa_handler = onStatsSignal;
  sigaction(SIGUSR1, &sa, nullptr);
  // A module answers in its own time, not when the host's scheduler lets it:
  // the loop wakes for timed bursts to the microsecond (not up to the
  // kernel's default 50 microseconds late), and ahead of ordinary processes
  // where the user may raise the priority (failure changes nothing).
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  setpriority(PRIO_PROCESS, 0, -10);
  std::signal(SIGPIPE, SIG_IGN);
  return true;
}

// One line: host-bytes N module-bytes N firmware-us N erase-us N, replaced whole.
void PtyRunner::writeStats() const {
  if (opt_.statsFile.empty()) return;
  const std::string line = "host-bytes " + std::to_string(hostBytes_) + " module-bytes " +
                           std::to_string(moduleBytes_) + " firmware-us " +
                           std::to_string(sim_.firmwareUs()) + " erase-us " +
                           std::to_string(sim_.eraseUs()) + '\n';
  writeWholeFile(opt_.statsFile,
                 std::span(reinterpret_cast<const uint8_t*>(line.data()), line.size()));
}

void PtyRunner::stop() {
  if (master_ >= 0) writeStats();
  if (!linkPath_.empty()) {
    std::error_code ec;
    std::filesystem::remove(linkPath_, ec);
    linkPath_.clear();
  }
  flushStrictLog();
  sim_.flash().sync();
  for (int* fd : {&master_, &slave_, &inotify_, &wakePipe_[0], &wakePipe_[1]}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  gWakeFd = -1;
}

void PtyRunner::flushStrictLog() {
  const auto& v = sim_.violations();
  if (opt_.strictLog.empty() || violationsLogged_ >= v.size()) return;
  std::ofstream out(opt_.strictLog, std::ios::app);
  for (; violationsLogged_ < v.size(); ++violationsLogged_)
    out << v[violationsLogged_].atMs << ' ' << v[violationsLogged_].text << '\n';
}

void PtyRunner::logBytes(const char* dir, const uint8_t* p, size_t n) const {
  if (!opt_.verbose) return;
  std::fprintf(stderr, "%u %s %zu bytes:", nowMs(), dir, n);
  for (size_t i = 0; i < n && i < 16; ++i) std::fprintf(stderr, " %02X", p[i]);
  std::fprintf(stderr, n > 16 ? " ...\n" : "\n");
}

int PtyRunner::run() {
  std::deque<uint8_t> pending;
  std::vector<uint8_t> buf(65536);
  uint32_t eioUntil = 0;
  uint32_t clearExclusiveUntil = nowMs();
  bool eio = false;
  while (!gStop) {
    uint32_t now = nowMs();
    // The module runs on the microsecond clock: at a line rate a short burst
    // takes microseconds, and waking on whole milliseconds would add up to a
    // millisecond to each.
    int64_t nowUs = this->nowUs();
    int64_t timeoutUs = 1000000;
    if (auto next = sim_.nextEventAtUs())
      timeoutUs = std::clamp<int64_t>(*next - nowUs, 0, 1000000);
    if (eio) timeoutUs = std::min<int64_t>(timeoutUs, 50000);
    if (tickBefore(now, clearExclusiveUntil)) timeoutUs = std::min<int64_t>(timeoutUs, 5000);
    pollfd fds[3] = {{master_, short(eio && tickBefore(now, eioUntil) ? 0 : POLLIN), 0},
                     {wakePipe_[0], POLLIN, 0},
                     {inotify_, POLLIN, 0}};
    if (!pending.empty()) fds[0].events |= POLLOUT;
    const timespec timeout{time_t(timeoutUs / 1000000), long(timeoutUs % 1000000) * 1000};
    int n = ppoll(fds, inotify_ >= 0 ? 3 : 2, &timeout, nullptr);
    if (n < 0 && errno != EINTR) break;
    now = nowMs();
    nowUs = this->nowUs();
    if (n > 0 && (fds[1].revents & POLLIN)) {
      char c[16];
      while (read(wakePipe_[0], c, sizeof c) > 0) {
      }
    }
    if (n > 0 && inotify_ >= 0 && (fds[2].revents & POLLIN)) {
      alignas(inotify_event) char ev[4096];
      ssize_t len = read(inotify_, ev, sizeof ev);
      for (ssize_t off = 0; len > 0 && off + ssize_t(sizeof(inotify_event)) <= len;) {
        const auto* e = reinterpret_cast<const inotify_event*>(ev + off);
        if (e->mask & IN_CLOSE) {
          // The host closed the port: bursts nobody fetched are gone.
          pending.clear();
          tcflush(slave_, TCIFLUSH);
          ioctl(slave_, TIOCNXCL);
        }
        if (e->mask & IN_OPEN) clearExclusiveUntil = now + 300;
        off += ssize_t(sizeof(inotify_event) + e->len);
      }
    }
    // The terminal outlives host sessions through our own descriptor, so an
    // exclusive-use mark (TIOCEXCL) a host sets would lock out its own next
    // open when it reopens at once (as discovery does). Clear it for a short
    // while after each open; hosts that lock with flock stay exclusive.
    if (tickBefore(now, clearExclusiveUntil)) ioctl(slave_, TIOCNXCL);
    if (n > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
      ssize_t r = read(master_, buf.data(), buf.size());
      if (r > 0) {
        eio = false;
        hostBytes_ += uint64_t(r);
        logBytes("host ->", buf.data(), size_t(r));
        sim_.onHostBytesUs(buf.data(), size_t(r), nowUs);
      } else if (r < 0 && errno == EIO) {
        // No one holds the terminal open: wait a little instead of spinning.
        eio = true;
        eioUntil = now + 50;
      }
    }
    sim_.advanceToUs(nowUs);
    while (auto at = sim_.nextEmissionAtUs()) {
      if (*at > nowUs) break;
      auto bytes = sim_.takeEmission();
      logBytes("<- module", bytes.data(), bytes.size());
      pending.insert(pending.end(), bytes.begin(), bytes.end());
    }
    while (pending.size() > kMaxPending) pending.pop_front();
    flushStrictLog();
    if (gStatsAsked) {
      gStatsAsked = 0;
      writeStats();
    }
    if (sim_.cablePulled()) {
      std::fprintf(stderr, "ostrel-sim: cable pulled, closing %s\n", slavePath_.c_str());
      stop();
      return 3;
    }
    while (!pending.empty()) {
      uint8_t chunk[4096];
      size_t k = std::min(pending.size(), sizeof chunk);
      std::copy_n(pending.begin(), k, chunk);
      ssize_t w = write(master_, chunk, k);
      if (w <= 0) break;
      moduleBytes_ += uint64_t(w);
      pending.erase(pending.begin(), pending.begin() + w);
    }
  }
  stop();
  return 0;
}

}  // namespace ostrel
