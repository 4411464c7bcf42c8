#include "link/tcomm.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <thread>

#include "link/pty_pair.h"

namespace ostrel {
namespace {

using testing::PtyPair;
using testing::runEventsFor;
using testing::waitFor;

// The settings the program's own port runs with: no software flow control,
// so every byte value passes.
void configureLikeComm1(TComm& comm, const std::string& path) {
  applyComm1Values(comm);
  comm.setCommName(path);
  comm.setReadIntervalTimeout(10);
}

std::vector<uint8_t> randomBytes(size_t n, uint32_t rngStart) {
  std::mt19937 rng(rngStart);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = uint8_t(rng());
  return v;
}

// Collects every chunk the port delivers.
struct Received {
  std::vector<std::vector<uint8_t>> chunks;
  size_t total = 0;
  void attach(TComm& comm) {
    comm.OnReceiveData = [this](const uint8_t* p, uint16_t n) {
      chunks.emplace_back(p, p + n);
      total += n;
    };
  }
  std::vector<uint8_t> joined() const {
    std::vector<uint8_t> all;
    for (const auto& c : chunks) all.insert(all.end(), c.begin(), c.end());
    return all;
  }
};

std::string openError(TComm& comm) {
  try {
    comm.OpenPort();
  } catch (const ECommsError& e) {
    return e.what();
  }
  return "";
}

termios slaveSettings(const PtyPair& pty) {
  termios t{};
  tcgetattr(pty.slave, &t);
  return t;
}

TEST(TComm, NewComponentDefaults) {
  TComm comm;
  EXPECT_EQ(comm.CommName(), "COM2");
  EXPECT_EQ(comm.BaudRate(), 9600u);
  EXPECT_EQ(comm.DtrControl(), TDtrControl::DtrEnable);
  EXPECT_EQ(comm.RtsControl(), TRtsControl::RtsEnable);
  EXPECT_TRUE(comm.TxContinueOnXoff());
  EXPECT_TRUE(comm.Outx_XonXoffFlow());
  EXPECT_TRUE(comm.Inx_XonXoffFlow());
  EXPECT_EQ(comm.XonLimit(), 500);
  EXPECT_EQ(comm.XoffLimit(), 500);
  EXPECT_EQ(comm.ByteSize(), TByteSize::_8);
  EXPECT_EQ(comm.Parity(), TParity::None);
  EXPECT_EQ(comm.StopBits(), TStopBits::_1);
  EXPECT_EQ(comm.XonChar(), 0x11);
  EXPECT_EQ(comm.XoffChar(), 0x13);
  EXPECT_EQ(comm.ReadIntervalTimeout(), 100u);
  EXPECT_FALSE(comm.isOpen());
  EXPECT_TRUE(comm.SendDataEmpty());
}

TEST(TComm, DevicePathAndBaudMapping) {
  EXPECT_EQ(TComm::devicePath("ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(TComm::devicePath("/run/user/1000/ostrel-ports/sim0"),
            "/run/user/1000/ostrel-ports/sim0");
  EXPECT_EQ(TComm::devicePath("COM2"), "/dev/COM2");
  struct Case {
    uint32_t baud;
    speed_t speed;
  } cases[] = {{9600, B9600},     {115200, B115200},   {230400, B230400}, {0, B50},
               {250000, B230400}, {9000000, B4000000}, {56000, B57600},   {1, B50}};
  for (const auto& c : cases) EXPECT_EQ(TComm::baudToSpeed(c.baud), c.speed) << c.baud;
}

TEST(TComm, OpenFailuresLeaveThePortClosed) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  QTemporaryDir dir;
  const std::string folder = dir.path().toStdString();
  const std::string plainFile = folder + "/not-a-tty";
  std::ofstream(plainFile) << "x";
  // Things planted where a port is expected: never opened, let alone set up.
  const std::string fifo = folder + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::filesystem::create_symlink(plainFile, folder + "/link-to-file");
  std::filesystem::create_symlink(fifo, folder + "/link-to-fifo");
  std::filesystem::create_symlink(pty.slavePath, folder + "/link-to-tty");

  struct Case {
    std::string name;
    std::string error;
  } cases[] = {
      {"/dev/ostrel-no-such-port", "Error opening serial port"},
      {"ostrel-no-such-port", "Error opening serial port"},
      {plainFile, "Error opening serial port"},
      {fifo, "Error opening serial port"},
      {folder + "/link-to-file", "Error opening serial port"},
      {folder + "/link-to-fifo", "Error opening serial port"},
      {folder, "Error opening serial port"},
      {"/dev/null", "Cannot setup comm buffer"},  // a device, but no terminal
      {folder + "/link-to-tty", ""},
  };
  for (const auto& c : cases) {
    TComm comm;
    comm.setCommName(c.name);
    EXPECT_EQ(openError(comm), c.error) << c.name;
    if (!c.error.empty()) {
      EXPECT_FALSE(comm.isOpen());
      EXPECT_FALSE(comm.SendBytes(reinterpret_cast<const uint8_t*>("a"), 1));
    }
  }
}

// Whatever way the port ends, the terminal gets back the settings it had
// before: a terminal that was not a module must not stay raw.
TEST(TComm, CloseRestoresTheTerminalSettings) {
  struct Case {
    const char* how;
    std::function<void(std::unique_ptr<TComm>&)> end;
  } cases[] = {
      {"ClosePort", [](std::unique_ptr<TComm>& c) { c->ClosePort(); }},
      {"destroyed while open", [](std::unique_ptr<TComm>& c) { c.reset(); }},
      {"reopened with other settings, then closed",
       [](std::unique_ptr<TComm>& c) {
         c->ClosePort();
         c->setBaudRate(9600);
         c->setParity(TParity::Mark);
         c->OpenPort();
         c->ClosePort();
       }},
  };
  for (const auto& c : cases) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    // A terminal as a shell leaves it: line editing, echo, signals, 38400.
    termios before = slaveSettings(pty);
    before.c_lflag |= ICANON | ECHO | ISIG;
    before.c_oflag |= OPOST;
    before.c_cc[VMIN] = 1;
    before.c_cc[VTIME] = 3;
    cfsetspeed(&before, B38400);
    ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &before), 0);
    before = slaveSettings(pty);

    auto comm = std::make_unique<TComm>();
    configureLikeComm1(*comm, pty.slavePath);
    ASSERT_EQ(openError(*comm), "") << c.how;
    const termios open = slaveSettings(pty);
    ASSERT_EQ(open.c_lflag & ICANON, 0u) << "the port runs raw";
    ASSERT_EQ(cfgetospeed(&open), speed_t(B115200));

    c.end(comm);
    const termios after = slaveSettings(pty);
    EXPECT_EQ(after.c_iflag, before.c_iflag) << c.how;
    EXPECT_EQ(after.c_oflag, before.c_oflag) << c.how;
    EXPECT_EQ(after.c_cflag, before.c_cflag) << c.how;
    EXPECT_EQ(after.c_lflag, before.c_lflag) << c.how;
    EXPECT_EQ(cfgetispeed(&after), cfgetispeed(&before)) << c.how;
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before)) << c.how;
    EXPECT_TRUE(std::equal(std::begin(after.c_cc), std::end(after.c_cc), std::begin(before.c_cc)))
        << c.how;
  }
}

TEST(TComm, OpenTwiceAndExclusiveUse) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  TComm first;
  configureLikeComm1(first, pty.slavePath);
  ASSERT_EQ(openError(first), "");
  EXPECT_TRUE(first.isOpen());
  EXPECT_EQ(openError(first), "This serial port already opened");
  EXPECT_TRUE(first.isOpen());

  TComm second;
  configureLikeComm1(second, pty.slavePath);
  EXPECT_EQ(openError(second), "Error opening serial port");
  EXPECT_FALSE(second.isOpen());

  // Closing releases the port for the next opener.
  first.ClosePort();
  EXPECT_FALSE(first.isOpen());
  EXPECT_EQ(openError(second), "");
  second.ClosePort();

  // Held by another program that locks it.
  const int other = ::open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(openError(second), "Error opening serial port");
  EXPECT_FALSE(second.isOpen());
  ::close(other);
  EXPECT_EQ(openError(second), "");
}

TEST(TComm, OutOfDescriptorsForTheEventsLeavesThePortClosed) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  TComm comm;
  configureLikeComm1(comm, pty.slavePath);
  // Room for exactly one more descriptor: the port opens, its events cannot.
  const int lowestFree = ::dup(0);
  ASSERT_GE(lowestFree, 0);
  ::close(lowestFree);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit tight = saved;
  tight.rlim_cur = rlim_t(lowestFree) + 1;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  // Keep the exception untouched until the limit is back: the sanitizers'
  // type checks need descriptors of their own.
  std::exception_ptr raised;
  try {
    comm.OpenPort();
  } catch (...) {
    raised = std::current_exception();
  }
  ::setrlimit(RLIMIT_NOFILE, &saved);
  std::string error;
  try {
    if (raised) std::rethrow_exception(raised);
  } catch (const ECommsError& e) {
    error = e.what();
  }
  EXPECT_EQ(error, "Unable to create event");
  EXPECT_FALSE(comm.isOpen());
  // Nothing was left behind: the port opens now, and is not held.
  EXPECT_EQ(openError(comm), "");
  EXPECT_TRUE(comm.isOpen());
}

TEST(TComm, SendBytesRefusesEmptyAndClosed) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  TComm comm;
  configureLikeComm1(comm, pty.slavePath);
  const uint8_t byte = 0x80;
  EXPECT_FALSE(comm.SendBytes(&byte, 1));  // closed
  ASSERT_EQ(openError(comm), "");
  EXPECT_FALSE(comm.SendBytes(&byte, 0));
  EXPECT_TRUE(comm.SendDataEmpty());
  EXPECT_TRUE(pty.readSome(1, 100).empty());  // nothing was posted
  EXPECT_TRUE(comm.SendBytes(&byte, 1));
  EXPECT_EQ(pty.readSome(1, 5000), std::vector<uint8_t>{0x80});
  comm.ClosePort();
  EXPECT_FALSE(comm.SendBytes(&byte, 1));
  comm.ClosePort();  // closing a closed port does nothing
  EXPECT_FALSE(comm.isOpen());
}

TEST(TComm, EightMebibytesEachWayIntactAndInOrder) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  TComm comm;
  configureLikeComm1(comm, pty.slavePath);
  Received rx;
  rx.attach(comm);
  int emptyNotices = 0;
  comm.OnSendDataEmpty = [&] { ++emptyNotices; };
  ASSERT_EQ(openError(comm), "");

  const size_t size = 8u << 20;
  const auto inbound = randomBytes(size, 1);
  const auto outbound = randomBytes(size, 2);
  std::vector<uint8_t> atModule;
  std::thread module([&] {
    std::thread writer([&] { pty.writeAll(inbound.data(), inbound.size()); });
    atModule = pty.readSome(size, 20000);
    writer.join();
  });
  for (size_t off = 0; off < size; off += 65535) {
    const size_t n = std::min<size_t>(65535, size - off);
    ASSERT_TRUE(comm.SendBytes(outbound.data() + off, uint16_t(n)));
  }
  EXPECT_FALSE(comm.SendDataEmpty());
  const bool allIn = waitFor([&] { return rx.total >= size; }, 60000);
  module.join();
  ASSERT_TRUE(allIn) << rx.total;
  EXPECT_TRUE(waitFor([&] { return comm.SendDataEmpty() && emptyNotices >= 2; }, 10000));

  EXPECT_EQ(rx.total, size);
  EXPECT_TRUE(rx.joined() == inbound);
  for (const auto& c : rx.chunks) EXPECT_LE(c.size(), TComm::kMaxChunk);
  ASSERT_EQ(atModule.size(), size);
  EXPECT_TRUE(atModule == outbound);
}

TEST(TComm, QuietGapEndsAChunk) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  TComm comm;
  configureLikeComm1(comm, pty.slavePath);
  Received rx;
  rx.attach(comm);
  ASSERT_EQ(openError(comm), "");

  const auto first = randomBytes(100, 3);
  const auto second = randomBytes(200, 4);
  ASSERT_TRUE(pty.writeAll(first.data(), first.size()));
  ASSERT_TRUE(waitFor([&] { return rx.total >= first.size(); }, 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(pty.writeAll(second.data(), second.size()));
  ASSERT_TRUE(waitFor([&] { return rx.total >= first.size() + second.size(); }, 5000));
  runEventsFor(50);
  ASSERT_EQ(rx.chunks.size(), 2u);
  EXPECT_EQ(rx.chunks[0], first);
  EXPECT_EQ(rx.chunks[1], second);
}

TEST(TComm, ContinuousBurstIsCutAtTheChunkLimit) {
  for (uint32_t interval : {10u, 2000u}) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    TComm comm;
    configureLikeComm1(comm, pty.slavePath);
    comm.setReadIntervalTimeout(interval);
    Received rx;
    rx.attach(comm);
    ASSERT_EQ(openError(comm), "");

    const auto burst = randomBytes(100000, 5);
    std::thread module([&] { pty.writeAll(burst.data(), burst.size()); });
    const bool allIn = waitFor([&] { return rx.total >= burst.size(); }, 20000);
    module.join();
    ASSERT_TRUE(allIn) << interval;
    EXPECT_TRUE(rx.joined() == burst);
    EXPECT_GE(rx.chunks.size(), 4u);
    for (const auto& c : rx.chunks) EXPECT_LE(c.size(), TComm::kMaxChunk);
    if (interval == 2000u) {
      // With a long interval nothing but the limit cuts the stream.
      ASSERT_EQ(rx.chunks.size(), 4u);
      for (int i = 0; i < 3; ++i) EXPECT_EQ(rx.chunks[i].size(), TComm::kMaxChunk);
    }
  }
}

TEST(TComm, LineSettingsApplyAtOnceParityAtNextOpen) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  TComm comm;
  configureLikeComm1(comm, pty.slavePath);
  comm.setBaudRate(9600);
  comm.setStopBits(TStopBits::_1);
  comm.setParity(TParity::None);
  ASSERT_EQ(openError(comm), "");
  termios t = slaveSettings(pty);
  EXPECT_EQ(cfgetospeed(&t), speed_t(B9600));
  EXPECT_EQ(t.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR), 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);

  comm.setBaudRate(230400);
  t = slaveSettings(pty);
  EXPECT_EQ(cfgetospeed(&t), speed_t(B230400));
  EXPECT_EQ(cfgetispeed(&t), speed_t(B230400));

  comm.setParity(TParity::Mark);  // stored, not applied
  comm.setStopBits(TStopBits::_2);
  t = slaveSettings(pty);
  EXPECT_NE(t.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR), 0u) << "parity changed before the next open";

  // A pseudo-terminal refuses 7 data bits; the rest still applies.
  comm.setByteSize(TByteSize::_7);
  comm.setBaudRate(57600);
  t = slaveSettings(pty);
  EXPECT_EQ(cfgetospeed(&t), speed_t(B57600));

  comm.setOutx_XonXoffFlow(true);
  t = slaveSettings(pty);
  EXPECT_NE(t.c_iflag & IXON, 0u);

  comm.ClosePort();
  comm.setByteSize(TByteSize::_8);
  ASSERT_EQ(openError(comm), "");
  t = slaveSettings(pty);
  // A pty stores PARODD and CMSPAR but drops PARENB: mark parity shows as both.
  EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR), tcflag_t(PARODD | CMSPAR));
  EXPECT_EQ(cfgetospeed(&t), speed_t(B57600));
  EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
}

TEST(TComm, CloseWithPendingReadAndBlockedWriteIsBounded) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  TComm comm;
  configureLikeComm1(comm, pty.slavePath);
  ASSERT_EQ(openError(comm), "");

  // The module never reads: the writer soon waits for room in the driver.
  const auto block = randomBytes(65535, 6);
  for (int i = 0; i < 32; ++i) ASSERT_TRUE(comm.SendBytes(block.data(), uint16_t(block.size())));
  runEventsFor(100);
  EXPECT_FALSE(comm.SendDataEmpty());

  QElapsedTimer clock;
  clock.start();
  comm.ClosePort();
  EXPECT_LT(clock.elapsed(), 3000);
  EXPECT_FALSE(comm.isOpen());
  EXPECT_TRUE(comm.SendDataEmpty());

  // The port is released: it opens again, and a close with only a read
  // pending is just as quick.
  ASSERT_EQ(openError(comm), "");
  runEventsFor(20);
  clock.restart();
  comm.ClosePort();
  EXPECT_LT(clock.elapsed(), 3000);
}

TEST(TComm, CloseLetsQueuedCommandsOut) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  TComm comm;
  configureLikeComm1(comm, pty.slavePath);
  ASSERT_EQ(openError(comm), "");
  // An end-of-connection command sent just before closing must still go out;
  // many small buffers make a close that drops the queue show up reliably.
  const auto commands = randomBytes(100 * 32, 7);
  for (size_t off = 0; off < commands.size(); off += 32) {
    ASSERT_TRUE(comm.SendBytes(commands.data() + off, 32));
  }
  comm.ClosePort();
  EXPECT_TRUE(pty.readSome(commands.size(), 2000) == commands);
}

TEST(TComm, OtherSideClosingRequestsHangup) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  TComm comm;
  configureLikeComm1(comm, pty.slavePath);
  Received rx;
  rx.attach(comm);
  int hangups = 0;
  std::vector<char> order;
  comm.OnReceiveData = [&](const uint8_t*, uint16_t n) {
    rx.total += n;
    order.push_back('d');
  };
  comm.OnRequestHangup = [&] {
    ++hangups;
    order.push_back('h');
  };
  ASSERT_EQ(openError(comm), "");
  const uint8_t reply[] = {1, 2, 3};
  ASSERT_TRUE(pty.writeAll(reply, 3));
  ASSERT_TRUE(waitFor([&] { return rx.total == 3; }, 5000));
  pty.closeMaster();
  ASSERT_TRUE(waitFor([&] { return hangups > 0; }, 5000));
  runEventsFor(50);
  EXPECT_EQ(hangups, 1);
  EXPECT_EQ(order, (std::vector<char>{'d', 'h'}));
  EXPECT_TRUE(comm.isOpen());  // the owner decides when to close
  QElapsedTimer clock;
  clock.start();
  comm.ClosePort();
  EXPECT_LT(clock.elapsed(), 3000);
}

TEST(TComm, DeliveriesOfAClosedSessionAreDropped) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  auto comm = std::make_unique<TComm>();
  configureLikeComm1(*comm, pty.slavePath);
  int calls = 0;
  comm->OnReceiveData = [&](const uint8_t*, uint16_t) { ++calls; };
  ASSERT_EQ(openError(*comm), "");
  const uint8_t reply[] = {9, 8, 7};
  ASSERT_TRUE(pty.writeAll(reply, 3));
  // The chunk is posted meanwhile but the event loop does not run.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  comm->ClosePort();
  runEventsFor(50);
  EXPECT_EQ(calls, 0);

  // The same after destruction: the queued call must not touch a dead object.
  ASSERT_EQ(openError(*comm), "");
  ASSERT_TRUE(pty.writeAll(reply, 3));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  comm.reset();
  runEventsFor(50);
  EXPECT_EQ(calls, 0);
}

TEST(TComm, IgnoreNullCharStripsZeros) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  TComm comm;
  configureLikeComm1(comm, pty.slavePath);
  comm.setIgnoreNullChar(true);
  Received rx;
  rx.attach(comm);
  ASSERT_EQ(openError(comm), "");
  const uint8_t withZeros[] = {0, 1, 0, 0, 2, 3, 0};
  ASSERT_TRUE(pty.writeAll(withZeros, sizeof withZeros));
  ASSERT_TRUE(waitFor([&] { return rx.total >= 3; }, 5000));
  runEventsFor(50);
  EXPECT_EQ(rx.joined(), (std::vector<uint8_t>{1, 2, 3}));
}

}  // namespace
}  // namespace ostrel
