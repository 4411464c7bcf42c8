// The probe of one port on pseudo-terminals: every reason a port cannot be
// used, the module that answers, and a held port left untouched.
#include "link/port_scan.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <QTemporaryDir>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/qt_clock.h"
#include "link/frame.h"
#include "link/pty_pair.h"
#include "link/tcomm.h"

namespace ostrel {
namespace {

using testing::PtyPair;

PortProbe probe(const std::string& path) {
  TComm port;
  applyComm1Values(port);
  QtClock clock;
  return probePort(port, clock, path, 2);
}

// Plays a module on the master side: answers each identify probe.
class Responder {
 public:
  explicit Responder(const PtyPair& pty) : pty_(pty), thread_([this] { run(); }) {}
  ~Responder() {
    stop_ = true;
    thread_.join();
  }

 private:
  void run() {
    const std::vector<uint8_t> reply = buildFrame(
        std::vector<uint8_t>{0xC0, 0x00, 0x00, 0x00, 0x07, 0x0A, 0x0B, 0x0C, 0x0D, 0x8B});
    while (!stop_) {
      pollfd p{pty_.master, POLLIN, 0};
      uint8_t byte = 0;
      if (::poll(&p, 1, 20) == 1 && ::read(pty_.master, &byte, 1) == 1 && byte == 0x80)
        pty_.writeAll(reply.data(), reply.size());
    }
  }
  const PtyPair& pty_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(PortScan, EachReasonAPortCannotBeUsedAndTheModuleThatAnswers) {
  QTemporaryDir dir;
  const std::string plain = dir.path().toStdString() + "/plain";
  std::ofstream(plain) << "x";
  PtyPair module, silent, held, exclusive;
  ASSERT_TRUE(module.ok() && silent.ok() && held.ok() && exclusive.ok());
  Responder responder(module);
  // Other programs hold these: one with the lock every module port opener
  // takes, one with the terminal's exclusive mode alone (root may still open it).
  ASSERT_EQ(::flock(held.slave, LOCK_EX | LOCK_NB), 0);
  ASSERT_EQ(::ioctl(exclusive.slave, TIOCEXCL), 0);

  struct Case {
    std::string path;
    PortStatus status;
    std::string text;
  } cases[] = {
      {dir.path().toStdString() + "/gone", PortStatus::Missing, "no such port"},
      {plain, PortStatus::NotDevice, "not a serial port"},
      {"/dev/null", PortStatus::NotDevice, "not a serial port"},
      {held.slavePath, PortStatus::Busy, "busy, another program is using it"},
      {exclusive.slavePath, PortStatus::Busy, "busy, another program is using it"},
      {silent.slavePath, PortStatus::NoAnswer, "no module answered"},
      {module.slavePath, PortStatus::Module,
       "Ostrel IV, Aux No. 00 00 00 07, ID 0A 0B 0C 0D, 59999 sectors"},
  };
  for (const Case& c : cases) {
    const PortProbe p = probe(c.path);
    EXPECT_EQ(portStatusWord(p.status), std::string(portStatusWord(c.status))) << c.path;
    EXPECT_EQ(p.answered(), c.status == PortStatus::Module) << c.path;
    const std::string text = portProbeText(p);
    EXPECT_EQ(text.rfind(c.path + ": ", 0), 0u) << text;
    EXPECT_NE(text.find(c.text), std::string::npos) << text;
  }
  // The held ports were left alone: nothing was written to them.
  for (const PtyPair* pty : {&held, &exclusive}) EXPECT_TRUE(pty->readSome(1, 100).empty());
}

// A port this user may not open names the remedy. Root may open anything, so
// the probe then runs in a child that has become another user.
TEST(PortScan, APortTheUserMayNotOpenSaysWhy) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  ASSERT_EQ(::chmod(pty.slavePath.c_str(), 0), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
    const PortProbe p = probe(pty.slavePath);
    const bool hint = p.detail.rfind("No permission to open " + pty.slavePath, 0) == 0;
    ::_exit(p.status == PortStatus::Permission && portProbeText(p) == p.detail && hint ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(PortScan, PortValuesWithASlashArePathsFromTheWorkingFolder) {
  const std::string cwd = std::filesystem::current_path().string();
  struct Case {
    std::string value, path;
  } cases[] = {{"ttyUSB0", "/dev/ttyUSB0"},
               {"/tmp/x/../port", "/tmp/x/../port"},
               {"./R", cwd + "/R"},
               {"ports/R", cwd + "/ports/R"}};
  for (const Case& c : cases) EXPECT_EQ(portPathFor(c.value), c.path) << c.value;
}

}  // namespace
}  // namespace ostrel
