#include "link/tcomm.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEvent>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "link/port_list.h"

// Qt hands queued calls across threads under its own futex-based locks, which
// the thread sanitizer cannot see; these annotations state the hand-over.
#if defined(__SANITIZE_THREAD__)
#define OSTREL_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define OSTREL_TSAN 1
#endif
#endif
#ifdef OSTREL_TSAN
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#define OSTREL_HANDOVER_RELEASE(p) __tsan_release(p)
#define OSTREL_HANDOVER_ACQUIRE(p) __tsan_acquire(p)
#else
#define OSTREL_HANDOVER_RELEASE(p) ((void)(p))
#define OSTREL_HANDOVER_ACQUIRE(p) ((void)(p))
#endif

namespace ostrel {

using SteadyClock = std::chrono::steady_clock;

struct TComm::Session {
  int fd = -1;
  int closeFd = -1;  // eventfd written once at close and never read: stays signalled
  int dataFd = -1;   // eventfd the writer waits on for new buffers
  uint64_t generation = 0;
  std::thread reader;
  std::thread writer;

  // Timeouts and software line settings the reader uses (set by ApplyTimeouts
  // and ApplyLineSettings on the user-interface thread).
  std::atomic<uint32_t> readInterval{0};
  std::atomic<uint32_t> readTotalMultiplier{0};
  std::atomic<uint32_t> readTotalConstant{0};
  std::atomic<bool> ignoreNull{false};

  // The terminal's settings before the open, put back at the close so a
  // terminal that was not a module is not left in raw mode.
  termios original{};
  bool restoreOriginal = false;

  std::atomic<bool> hangupPosted{false};
  bool countersAvailable = false;  // reader thread only
  serial_icounter_struct counters{};

  // Writer queue; the user-interface thread only pushes under this short lock.
  std::mutex mutex;
  std::condition_variable idle;
  std::deque<std::vector<uint8_t>> queue;
  bool writing = false;
  bool writerAlive = false;

  ~Session() {
    if (dataFd >= 0) ::close(dataFd);
    if (closeFd >= 0) ::close(closeFd);
    if (fd >= 0 && restoreOriginal) ::tcsetattr(fd, TCSANOW, &original);
    if (fd >= 0) ::close(fd);
  }
};

namespace {

struct BaudEntry {
  uint32_t baud;
  speed_t speed;
};

constexpr BaudEntry kBaudTable[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

void signalEventFd(int fd) {
  const uint64_t one = 1;
  // The counter cannot overflow in practice; a failed write only delays a wake-up.
  [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
}

void drainEventFd(int fd) {
  uint64_t value;
  [[maybe_unused]] ssize_t n = ::read(fd, &value, sizeof value);
}

timespec toTimespec(SteadyClock::duration d) {
  if (d < SteadyClock::duration::zero()) d = SteadyClock::duration::zero();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
  return timespec{time_t(ns / 1000000000), long(ns % 1000000000)};
}

void setModemLine(int fd, int bit, bool on) {
  // Pseudo-terminals and some adapters have no modem lines (ENOTTY): ignored.
  ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bit);
}

}  // namespace

TComm::TComm(QObject* parent) : QObject(parent) {}

void applyComm1Values(TComm& comm) {
  comm.setCommName("COM1");
  comm.setBaudRate(115200);
  comm.setParityCheck(false);
  comm.setOutx_CtsFlow(false);
  comm.setOutx_DsrFlow(false);
  comm.setDtrControl(TDtrControl::DtrDisable);
  comm.setDsrSensitivity(false);
  comm.setTxContinueOnXoff(false);
  comm.setOutx_XonXoffFlow(false);
  comm.setInx_XonXoffFlow(false);
  comm.setReplaceWhenParityError(false);
  comm.setIgnoreNullChar(false);
  comm.setRtsControl(TRtsControl::RtsDisable);
  comm.setByteSize(TByteSize::_8);
  comm.setParity(TParity::None);
  comm.setStopBits(TStopBits::_2);
}

TComm::~TComm() {
  ClosePort();
}

std::string TComm::devicePath(const std::string& name) {
  if (!name.empty() && name.front() == '/') return name;
  return "/dev/" + name;
}

speed_t TComm::baudToSpeed(uint32_t baud) {
  const BaudEntry* best = &kBaudTable[0];
  for (const BaudEntry& e : kBaudTable) {
    const uint32_t d = e.baud > baud ? e.baud - baud : baud - e.baud;
    const uint32_t bestD = best->baud > baud ? best->baud - baud : baud - best->baud;
    if (d < bestD) best = &e;
  }
  return best->speed;
}

void TComm::OpenPort() {
  if (session_) throw ECommsError("This serial port already opened");

  auto s = std::make_unique<Session>();
  const std::string path = devicePath(commName_);
  // Serial ports are character devices: anything else a name leads to (a
  // planted file or FIFO) is never opened. The open descriptor is checked
  // again, as the path may have been changed in between; O_NONBLOCK keeps
  // such an open from waiting meanwhile.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) {
    throw ECommsError("Error opening serial port");
  }
  s->fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (s->fd < 0 && (errno == EACCES || errno == EPERM))
    throw ECommsError("Error opening serial port", portAccessHint(path));
  if (s->fd < 0) throw ECommsError("Error opening serial port");
  if (::fstat(s->fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
    throw ECommsError("Error opening serial port");
  }
  // Exclusive use: TIOCEXCL keeps out other openers (except root), the lock
  // keeps out everyone who also locks, including root.
  if (::flock(s->fd, LOCK_EX | LOCK_NB) != 0) throw ECommsError("Error opening serial port");
  if (::tcgetattr(s->fd, &s->original) != 0) throw ECommsError("Cannot setup comm buffer");
  s->restoreOriginal = true;
  ::ioctl(s->fd, TIOCEXCL);

  ::tcflush(s->fd, TCIOFLUSH);
  s->closeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  s->dataFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (s->closeFd < 0 || s->dataFd < 0) {
    ::ioctl(s->fd, TIOCNXCL);
    throw ECommsError("Unable to create event");
  }

  s->generation = ++generation_;
  session_ = std::move(s);
  sendDataEmpty_ = true;
  openParity_ = parity_;
  ApplyTimeouts();
  ApplyLineSettings();

  Session& session = *session_;
  try {
    session.reader = std::thread([this, &session] { readLoop(session); });
  } catch (const std::system_error&) {
    ::ioctl(session.fd, TIOCNXCL);
    session_.reset();
    ++generation_;
    throw ECommsError("Unable to create read thread");
  }
  try {
    session.writerAlive = true;
    session.writer = std::thread([this, &session] { writeLoop(session); });
  } catch (const std::system_error&) {
    session.writerAlive = false;
    stopSession(false);
    throw ECommsError("Unable to create write thread");
  }
  // The reader and writer stay at normal priority: real-time scheduling needs
  // privileges the program does not have, and the reader wakes only on data.
}

void TComm::ClosePort() {
  if (!session_) return;
  stopSession(true);
}

void TComm::stopSession(bool drain) {
  Session& s = *session_;
  bool drained = false;
  if (drain) {
    // Let the bytes already queued (an end-of-connection command sent just
    // before closing) reach the line, but never wait longer than the bound.
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(kCloseDrainMs);
    std::unique_lock lock(s.mutex);
    drained = s.idle.wait_until(lock, deadline,
                                [&] { return !s.writerAlive || (s.queue.empty() && !s.writing); });
    drained = drained && s.queue.empty() && !s.writing;
    lock.unlock();
    // ... and let the driver pass them on; without this, close() of a real
    // port may wait for the driver's own closing timeout.
    while (drained) {
      int pending = 0;
      if (::ioctl(s.fd, TIOCOUTQ, &pending) != 0 || pending == 0) break;
      if (SteadyClock::now() >= deadline) {
        drained = false;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  signalEventFd(s.closeFd);
  if (s.reader.joinable()) s.reader.join();
  if (s.writer.joinable()) s.writer.join();
  // What was left unsent is abandoned; received bytes not yet delivered too.
  ::tcflush(s.fd, drained ? TCIFLUSH : TCIOFLUSH);
  ::ioctl(s.fd, TIOCNXCL);
  session_.reset();  // restores the terminal's settings, closes the port and both events
  ++generation_;     // queued calls of the old session are now ignored
  sendDataEmpty_ = true;
}

bool TComm::SendBytes(const uint8_t* data, uint16_t length) {
  if (!session_ || length == 0 || data == nullptr) return false;
  Session& s = *session_;
  size_t done = 0;
  {
    std::unique_lock lock(s.mutex);
    if (!s.writerAlive) return false;
    // With nothing queued and the writer idle, the bytes go to the driver
    // from here at once, without waking the writer thread for every command
    // the protocol sends; what the driver does not take at once (it never
    // blocks: the port is non-blocking) is queued for the writer as before.
    if (s.queue.empty() && !s.writing) {
      s.writing = true;
      lock.unlock();
      while (done < length) {
        const ssize_t n = ::write(s.fd, data + done, length - done);
        if (n > 0) {
          done += size_t(n);
        } else if (n < 0 && errno == EINTR) {
          continue;
        } else {
          break;  // full, or an error the writer will meet and report
        }
      }
      lock.lock();
      s.writing = false;
    }
    if (done < length) {
      s.queue.emplace_back(data + done, data + length);
      sendDataEmpty_ = false;
    }
  }
  if (done < length) {
    signalEventFd(s.dataFd);
  } else if (OnSendDataEmpty) {
    post(s.generation, [this] {
      if (!OnSendDataEmpty) return;
      const NotifyEvent handler = OnSendDataEmpty;
      handler();
    });
  }
  return true;
}

void TComm::ApplyTimeouts() {
  if (!session_) return;
  session_->readInterval = readIntervalTimeout_;
  session_->readTotalMultiplier = readTotalTimeoutMultiplier_;
  session_->readTotalConstant = readTotalTimeoutConstant_;
  // The write timeouts have no effect: the writer continues after partial
  // writes until the buffer is out or the port closes.
}

void TComm::ApplyLineSettings() {
  if (!session_) return;
  const int fd = session_->fd;
  termios current{};
  if (::tcgetattr(fd, &current) != 0) return;  // failures are not reported
  termios t = current;
  ::cfmakeraw(&t);
  t.c_cflag |= CREAD | CLOCAL;
  const speed_t speed = baudToSpeed(baudRate_);
  ::cfsetispeed(&t, speed);
  ::cfsetospeed(&t, speed);

  t.c_cflag &= ~CSIZE;
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  t.c_cflag |= kSizes[std::min<size_t>(size_t(byteSize_), 3)];

  t.c_cflag &= ~(PARENB | PARODD | CMSPAR);
  switch (openParity_) {
    case TParity::None:
      break;
    case TParity::Odd:
      t.c_cflag |= PARENB | PARODD;
      break;
    case TParity::Even:
      t.c_cflag |= PARENB;
      break;
    case TParity::Mark:
      t.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case TParity::Space:
      t.c_cflag |= PARENB | CMSPAR;
      break;
  }
  t.c_iflag &= ~(INPCK | IXON | IXOFF | IXANY);
  // Bytes with a parity error arrive as 0 (termios cannot substitute
  // ReplacedChar; the default ReplacedChar is 0 anyway).
  if (parityCheck_) t.c_iflag |= INPCK;

  // termios has no 1.5 stop bits; two stop bits are what a receiver set to
  // 1.5 still accepts.
  if (stopBits_ == TStopBits::_1) {
    t.c_cflag &= ~CSTOPB;
  } else {
    t.c_cflag |= CSTOPB;
  }

  // CTS output flow and RTS handshake are one setting in termios. DSR flow,
  // DSR sensitivity, DTR handshake, the XON/XOFF limits and continue-on-XOFF
  // have no termios form and are kept only as properties.
  if (outxCtsFlow_ || rtsControl_ == TRtsControl::RtsHandshake) {
    t.c_cflag |= CRTSCTS;
  } else {
    t.c_cflag &= ~CRTSCTS;
  }
  if (outxXonXoffFlow_) t.c_iflag |= IXON;
  if (inxXonXoffFlow_) t.c_iflag |= IXOFF;
  t.c_cc[VSTART] = cc_t(xonChar_);
  t.c_cc[VSTOP] = cc_t(xoffChar_);
  // The reader polls a non-blocking descriptor and frames chunks itself.
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;

  if (::tcsetattr(fd, TCSANOW, &t) != 0) {
    // Some devices (pseudo-terminals) refuse data bits or parity they cannot
    // carry; keep the device's own framing and set the rest.
    const tcflag_t framing = CSIZE | PARENB | PARODD | CMSPAR;
    t.c_cflag = (t.c_cflag & ~framing) | (current.c_cflag & framing);
    ::tcsetattr(fd, TCSANOW, &t);
  }

  setModemLine(fd, TIOCM_DTR, dtrControl_ != TDtrControl::DtrDisable);
  if (rtsControl_ != TRtsControl::RtsHandshake) {
    // Transmission-available RTS toggling has no Linux form: RTS stays on.
    setModemLine(fd, TIOCM_RTS, rtsControl_ != TRtsControl::RtsDisable);
  }
  session_->ignoreNull = ignoreNullChar_;
}

// A notice from a port thread. The event queue owns it and deletes it on the
// user-interface thread once it has run (or with the component).
class TComm::Notice : public QEvent {
 public:
  Notice(uint64_t generation, std::function<void()> fn)
      : QEvent(noticeType()), generation(generation), fn(std::move(fn)) {}
  static QEvent::Type noticeType() {
    static const QEvent::Type registered = QEvent::Type(QEvent::registerEventType());
    return registered;
  }
  const uint64_t generation;
  const std::function<void()> fn;
};

void TComm::post(uint64_t generation, std::function<void()> fn) {
  auto* notice = new Notice(generation, std::move(fn));
  OSTREL_HANDOVER_RELEASE(&raceSync_);
  QCoreApplication::postEvent(this, notice);
}

bool TComm::event(QEvent* e) {
  OSTREL_HANDOVER_ACQUIRE(&raceSync_);  // before the event is read at all
  if (e->type() != Notice::noticeType()) return QObject::event(e);
  const auto* notice = static_cast<const Notice*>(e);
  // A notice of a session that has ended meanwhile is dropped.
  if (notice->generation == generation_) notice->fn();
  return true;
}

void TComm::postReceiveData(Session& s, const uint8_t* data, size_t length) {
  // One byte longer than the data, the extra byte zero, as readers of the
  // buffer have always been given.
  std::vector<uint8_t> chunk(length + 1, 0);
  std::memcpy(chunk.data(), data, length);
  post(s.generation, [this, chunk = std::move(chunk)] {
    if (!OnReceiveData) return;
    const ReceiveDataEvent handler = OnReceiveData;  // may be reassigned inside
    handler(chunk.data(), uint16_t(chunk.size() - 1));
  });
}

void TComm::postHangup(Session& s) {
  if (s.hangupPosted.exchange(true)) return;  // reader and writer may both see it
  post(s.generation, [this] {
    if (!OnRequestHangup) return;
    const NotifyEvent handler = OnRequestHangup;
    handler();
  });
}

// Line errors, carrier and ring: Linux reports them only as counters
// (TIOCGICOUNT) on real UARTs and most USB adapters; pseudo-terminals have
// none. TIOCMIWAIT would block the reader, so the counters are sampled
// whenever the reader wakes and every 100 ms while the line is idle.
void TComm::checkLineCounters(Session& s) {
  if (!s.countersAvailable) return;
  serial_icounter_struct now{};
  if (::ioctl(s.fd, TIOCGICOUNT, &now) != 0) return;
  uint32_t errors = 0;
  if (now.buf_overrun != s.counters.buf_overrun) errors |= kErrorRxOver;
  if (now.overrun != s.counters.overrun) errors |= kErrorOverrun;
  if (now.parity != s.counters.parity) errors |= kErrorRxParity;
  if (now.frame != s.counters.frame) errors |= kErrorFrame;
  if (now.brk != s.counters.brk) errors |= kErrorBreak;
  uint32_t modem = 0;
  if (now.dcd != s.counters.dcd) modem |= kModemCarrier;
  if (now.rng != s.counters.rng) modem |= kModemRing;
  s.counters = now;
  if (errors != 0) {
    post(s.generation, [this, errors] {
      if (!OnReceiveError) return;
      const ReceiveErrorEvent handler = OnReceiveError;
      handler(errors);
    });
  }
  if (modem != 0) {
    post(s.generation, [this, modem] {
      if (!OnModemStateChange) return;
      const ModemStateChangeEvent handler = OnModemStateChange;
      handler(modem);
    });
  }
}

void TComm::readLoop(Session& s) {
  s.countersAvailable = ::ioctl(s.fd, TIOCGICOUNT, &s.counters) == 0;
  std::vector<uint8_t> buf(kMaxChunk);
  size_t have = 0;
  SteadyClock::time_point firstByte{};
  SteadyClock::time_point lastByte{};
  const auto counterPeriod = std::chrono::milliseconds(100);

  auto deliver = [&] {
    if (have == 0) return;
    uint8_t* end = buf.data() + have;
    if (s.ignoreNull) end = std::remove(buf.data(), end, uint8_t(0));
    const size_t n = size_t(end - buf.data());
    if (n > 0) postReceiveData(s, buf.data(), n);
    have = 0;
  };

  for (;;) {
    // How long to wait: until the line has been quiet for the interval (or
    // the total time of the chunk is up), forever when nothing is gathered.
    const uint32_t interval = s.readInterval;
    const bool immediate = interval == 0 || interval == UINT32_MAX;
    bool timed = false;
    SteadyClock::time_point deadline{};
    if (have > 0) {
      timed = true;
      deadline = lastByte + std::chrono::milliseconds(interval);
      const uint64_t total =
          uint64_t(s.readTotalConstant) + uint64_t(s.readTotalMultiplier) * uint64_t(kMaxChunk);
      if (total > 0) deadline = std::min(deadline, firstByte + std::chrono::milliseconds(total));
    }
    timespec ts{};
    const timespec* timeout = nullptr;
    if (timed) {
      ts = toTimespec(deadline - SteadyClock::now());
      timeout = &ts;
    } else if (s.countersAvailable) {
      ts = toTimespec(counterPeriod);
      timeout = &ts;
    }

    pollfd fds[2] = {{s.fd, POLLIN, 0}, {s.closeFd, POLLIN, 0}};
    const int ready = ::ppoll(fds, 2, timeout, nullptr);
    if (ready < 0) {
      if (errno == EINTR) continue;
      deliver();
      postHangup(s);
      return;
    }
    if (fds[1].revents != 0) return;  // closing: the port is purged by ClosePort

    bool lineGone = (fds[0].revents & (POLLERR | POLLNVAL)) != 0;
    if (fds[0].revents & (POLLIN | POLLHUP)) {
      const ssize_t n = ::read(s.fd, buf.data() + have, kMaxChunk - have);
      if (n > 0) {
        if (have == 0) firstByte = SteadyClock::now();
        have += size_t(n);
        lastByte = SteadyClock::now();
        if (have == kMaxChunk || immediate) deliver();
      } else if (n == 0) {
        lineGone = true;  // end of file: the other side is gone (cable pulled)
      } else if (errno != EAGAIN && errno != EINTR) {
        lineGone = true;  // EIO after a hang-up
      } else if (fds[0].revents & POLLHUP) {
        lineGone = true;
      }
    }
    if (lineGone) {
      deliver();
      postHangup(s);
      return;
    }
    if (have > 0 && SteadyClock::now() >= deadline && timed) deliver();
    checkLineCounters(s);
  }
}

void TComm::writeLoop(Session& s) {
  bool notify = true;  // once at start, then after data were written
  bool failed = false;
  while (!failed) {
    std::vector<uint8_t> buffer;
    {
      std::lock_guard lock(s.mutex);
      if (!s.queue.empty()) {
        buffer = std::move(s.queue.front());
        s.queue.pop_front();
        s.writing = true;
      } else {
        sendDataEmpty_ = true;
      }
    }
    if (buffer.empty()) {
      s.idle.notify_all();
      if (notify) {
        notify = false;
        post(s.generation, [this] {
          if (!OnSendDataEmpty) return;
          const NotifyEvent handler = OnSendDataEmpty;
          handler();
        });
      }
      pollfd fds[2] = {{s.closeFd, POLLIN, 0}, {s.dataFd, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
        postHangup(s);
        break;
      }
      if (fds[0].revents != 0) break;
      if (fds[1].revents != 0) drainEventFd(s.dataFd);
      continue;
    }

    size_t done = 0;
    while (done < buffer.size()) {
      const ssize_t n = ::write(s.fd, buffer.data() + done, buffer.size() - done);
      if (n > 0) {
        done += size_t(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) {
        postHangup(s);
        failed = true;
        break;
      }
      // The driver's queue is full: wait for room or for the close.
      pollfd fds[2] = {{s.closeFd, POLLIN, 0}, {s.fd, POLLOUT, 0}};
      if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
        postHangup(s);
        failed = true;
        break;
      }
      if (fds[0].revents != 0) {
        failed = true;  // closing abandons the write
        break;
      }
    }
    {
      std::lock_guard lock(s.mutex);
      s.writing = false;
    }
    notify = true;
  }
  {
    std::lock_guard lock(s.mutex);
    s.writerAlive = false;
    s.queue.clear();
    sendDataEmpty_ = true;
  }
  s.idle.notify_all();
}

}  // namespace ostrel
