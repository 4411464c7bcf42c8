// The ostrel-sim program on a pseudo-terminal, talked to by a plain raw
// client (open, termios, read, write): the bytes must be those of the
// in-process engine for the same script.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "sim/presets.h"
#include "tests/sim/sim_harness.h"

namespace ostrel::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

uint64_t monoMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

struct SimProcess {
  pid_t pid = -1;
  int out = -1;
  std::string link;
  std::string banner;  // what the program printed at start
  fs::path dir;

  // asUser: run the program under this user id (group id the same).
  explicit SimProcess(std::vector<std::string> args, uid_t asUser = uid_t(-1)) {
    dir = fs::temp_directory_path() /
          ("ostrel-pty-test-" + std::to_string(getpid()) + "-" + std::to_string(monoMs()));
    fs::create_directories(dir);
    // The program publishes only in a folder of its own user that nobody
    // else can write to.
    fs::permissions(dir, fs::perms::owner_all);
    if (asUser != uid_t(-1) && chown(dir.c_str(), asUser, asUser) != 0) return;
    args.insert(args.begin(), {OSTREL_SIM_EXE, "--port-dir", dir.string(), "--name", "m"});
    int p[2];
    if (pipe(p) != 0) return;
    pid = fork();
    if (pid == 0) {
      if (asUser != uid_t(-1) &&
          (setgroups(0, nullptr) != 0 || setgid(asUser) != 0 || setuid(asUser) != 0))
        _exit(126);
      dup2(p[1], 1);
      close(p[0]);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(p[1]);
    out = p[0];
    // The program prints the terminal and the link once it serves.
    std::string text;
    uint64_t end = monoMs() + 15000;
    while (text.find("link: ") == std::string::npos || text.back() != '\n') {
      pollfd f{out, POLLIN, 0};
      if (monoMs() > end || poll(&f, 1, 200) < 0) break;
      char b[256];
      ssize_t n = f.revents ? read(out, b, sizeof b) : 0;
      if (f.revents && n <= 0) break;
      text.append(b, size_t(std::max<ssize_t>(n, 0)));
    }
    banner = text;
    auto at = text.find("link: ");
    if (at != std::string::npos) link = text.substr(at + 6, text.find('\n', at) - at - 6);
  }
  // Sends a signal and returns the exit status (-1 when it did not end).
  int stop(int sig = SIGTERM) {
    if (pid <= 0) return -1;
    if (sig) kill(pid, sig);
    return wait();
  }
  int wait(uint32_t ms = 15000) {
    uint64_t end = monoMs() + ms;
    int status = 0;
    while (monoMs() < end) {
      pid_t r = waitpid(pid, &status, WNOHANG);
      if (r == pid) {
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      usleep(10000);
    }
    return -1;
  }
  ~SimProcess() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (out >= 0) close(out);
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
};

struct RawClient {
  int fd = -1;
  explicit RawClient(const std::string& path) {
    fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return;
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetspeed(&t, B230400);
    t.c_cflag |= CSTOPB;
    tcsetattr(fd, TCSANOW, &t);
  }
  ~RawClient() {
    if (fd >= 0) close(fd);
  }
  void send(const Bytes& b) {
    size_t off = 0;
    uint64_t end = monoMs() + 10000;
    while (off < b.size() && monoMs() < end) {
      ssize_t n = write(fd, b.data() + off, b.size() - off);
      if (n > 0)
        off += size_t(n);
      else
        usleep(1000);
    }
  }
  // Reads until n bytes have come or the time is up. eof is set when the
  // other side closed.
  Bytes receive(size_t n, uint32_t ms = 10000, bool* eof = nullptr) {
    Bytes got;
    uint64_t end = monoMs() + ms;
    while (got.size() < n && monoMs() < end) {
      pollfd f{fd, POLLIN, 0};
      poll(&f, 1, 50);
      uint8_t b[65536];
      ssize_t r = read(fd, b, sizeof b);
      if (r > 0) got.insert(got.end(), b, b + r);
      if (r == 0 || (r < 0 && errno == EIO) || (f.revents & POLLHUP)) {
        if (eof) *eof = true;
        break;
      }
    }
    return got;
  }
};

// One step of a script: bytes to send and how long the engine may take.
struct Step {
  Bytes send;
  uint32_t waitMs;
};

// Plays a script on the in-process engine and on the program, step by step,
// and checks that both give the same bytes.
void compareScript(const SimConfig& config, const std::vector<std::string>& args,
                   const std::vector<Step>& script, bool demo) {
  Harness h(config);
  if (demo) {
    ASSERT_TRUE(applySimPreset(SimPreset::Demo, config, h.sim.flash()));
  }
  SimProcess p(args);
  ASSERT_FALSE(p.link.empty());
  RawClient c(p.link);
  ASSERT_GE(c.fd, 0);
  for (size_t i = 0; i < script.size(); ++i) {
    Bytes expected = h.exchange(script[i].send, script[i].waitMs);
    c.send(script[i].send);
    Bytes got = c.receive(expected.size(), script[i].waitMs + 10000);
    ASSERT_EQ(got, expected) << "step " << i;
  }
  EXPECT_EQ(p.stop(), 0);
}

Bytes raw7(uint8_t code, uint32_t s) {
  return {code, uint8_t(s >> 8), uint8_t(s), 0, 0, 0, 0x10};
}

TEST(PtyProgram, SameBytesAsTheInProcessEngineOnOstrel3) {
  SimConfig c = SimConfig::fromTypeCode(0x84);
  c.identity = {0, 0, 0, 7, 0xCA, 0xFE, 0x00, 0x42};
  Bytes data = pattern(21);
  std::vector<Step> s = {
      {{0x80}, 100}, {{0x81, 0x70, 0xF1}, 100}, {{0xA2, 0x00, 0x02}, 1000}, {raw7(0xA0, 2), 100}};
  for (int k = 0; k < 16; ++k)
    s.push_back({Bytes(data.begin() + k * 4096, data.begin() + (k + 1) * 4096), 100});
  s.push_back({raw7(0xA1, 2), 100});
  for (int k = 0; k < 16; ++k) s.push_back({{0x5A}, 100});
  s.push_back({{0x81, 0x30, 0xB1}, 200});
  compareScript(c,
                {"--type", "84", "--preset", "blank", "--aux", "00 00 00 07", "--id", "CAFE0042"},
                s, false);
}

TEST(PtyProgram, SameBytesReadingTheDemoFatOfAnOstrel1) {
  SimConfig c = SimConfig::ostrel1();
  std::vector<Step> s = {{{0x80}, 100},
                         {hostFrame({0x01, 1}), 100},
                         {hostFrame({0x02, 0}), 100},
                         {hostFrame({0x20, 0xFF, 0xFF}), 100},
                         {{0x00}, 200},
                         {{0x00}, 100}};
  compareScript(c, {"--ostrel1"}, s, true);
}

TEST(PtyProgram, PortCanBeOpenedClosedAndReopened) {
  SimProcess p({"--type", "8B"});
  ASSERT_FALSE(p.link.empty());
  Harness h(SimConfig::fromTypeCode(0x8B));
  Bytes expected = h.exchange({0x80});
  for (int i = 0; i < 4; ++i) {
    RawClient c(p.link);
    ASSERT_GE(c.fd, 0);
    c.send({0x80});
    EXPECT_EQ(c.receive(expected.size()), expected) << "open " << i;
  }
  EXPECT_EQ(p.stop(SIGINT), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(p.link)));
}

// A host that locks the port with TIOCEXCL, closes it and opens it again at
// once (as discovery does after the probe) must get in again. Root is never
// refused, so the check runs as an ordinary user when the tests run as root.
TEST(PtyProgram, ImmediateReopenWithExclusiveUse) {
  uid_t user = geteuid() == 0 ? 65534 : geteuid();
  SimProcess p({"--type", "84"}, geteuid() == 0 ? user : uid_t(-1));
  ASSERT_FALSE(p.link.empty());
  pid_t child = fork();
  if (child == 0) {
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(user) != 0 || setuid(user) != 0))
      _exit(100);
    for (int i = 0; i < 4; ++i) {
      int fd = open(p.link.c_str(), O_RDWR | O_NOCTTY);
      if (fd < 0) _exit(10 + i);
      ioctl(fd, TIOCEXCL);
      termios t{};
      tcgetattr(fd, &t);
      cfmakeraw(&t);
      tcsetattr(fd, TCSANOW, &t);
      uint8_t probe = 0x80;
      if (write(fd, &probe, 1) != 1) _exit(20 + i);
      size_t got = 0;
      uint8_t b[64];
      while (got < 12) {
        pollfd f{fd, POLLIN, 0};
        if (poll(&f, 1, 10000) <= 0) _exit(30 + i);
        ssize_t n = read(fd, b, sizeof b);
        if (n <= 0) _exit(40 + i);
        got += size_t(n);
      }
      close(fd);
    }
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10+i: open refused, 30+i: no reply";
  EXPECT_EQ(p.stop(), 0);
}

TEST(PtyProgram, CartridgeFileSurvivesARestart) {
  fs::path file = fs::temp_directory_path() / ("ostrel-pty-cart-" + std::to_string(getpid()));
  fs::remove(file);
  Bytes data = pattern(33);
  {
    SimProcess p({"--type", "89", "--cartridge", file.string()});
    RawClient c(p.link);
    ASSERT_GE(c.fd, 0);
    c.send(raw7(0xA0, 16000));
    ASSERT_EQ(c.receive(1), Bytes{0x5A});
    for (int k = 0; k < 16; ++k) {
      c.send(Bytes(data.begin() + k * 4096, data.begin() + (k + 1) * 4096));
      ASSERT_EQ(c.receive(1), Bytes{0x5A});
    }
    EXPECT_EQ(p.stop(), 0);
  }
  EXPECT_LT(fs::file_size(file), 4u << 20);
  {
    SimProcess p({"--type", "89", "--cartridge", file.string()});
    RawClient c(p.link);
    c.send(raw7(0xA1, 16000));
    ASSERT_EQ(c.receive(1), Bytes{0x5A});
    Bytes back;
    for (int k = 0; k < 16; ++k) {
      c.send({0x5A});
      Bytes piece = c.receive(4096);
      back.insert(back.end(), piece.begin(), piece.end());
    }
    EXPECT_EQ(back, data);
    // The demo preset was applied when the file was made: the table is there.
    c.send(raw7(0xA1, 60001));
    ASSERT_EQ(c.receive(1), Bytes{0x5A});
    Bytes table;
    for (int k = 0; k < 16; ++k) {
      c.send({0x5A});
      Bytes piece = c.receive(4096);
      table.insert(table.end(), piece.begin(), piece.end());
    }
    ASSERT_EQ(table.size(), 65536u);
    EXPECT_EQ(std::string(table.begin() + 65504, table.begin() + 65512), "MORVANTE");
    EXPECT_EQ(p.stop(), 0);
  }
  fs::remove(file);
}

TEST(PtyProgram, CablePulledFaultClosesTheTerminal) {
  SimProcess p({"--type", "84", "--fault", "pull-cable-after=3000"});
  RawClient c(p.link);
  ASSERT_GE(c.fd, 0);
  c.send(raw7(0xA0, 4));
  ASSERT_EQ(c.receive(1), Bytes{0x5A});
  c.send(Bytes(4096, 0x00));
  bool eof = false;
  Bytes rest = c.receive(1, 10000, &eof);
  EXPECT_TRUE(rest.empty());
  EXPECT_TRUE(eof);
  EXPECT_EQ(p.wait(), 3);
  EXPECT_FALSE(fs::exists(fs::symlink_status(p.link)));
}

TEST(PtyProgram, StrictLogRecordsViolations) {
  fs::path log = fs::temp_directory_path() / ("ostrel-pty-strict-" + std::to_string(getpid()));
  fs::remove(log);
  SimProcess p({"--type", "84", "--strict-log", log.string()});
  RawClient c(p.link);
  c.send({0x5A});
  c.send({0x81, 0x70, 0xF1});
  EXPECT_EQ(c.receive(3).size(), 3u);
  EXPECT_EQ(p.stop(), 0);
  std::ifstream in(log);
  std::stringstream ss;
  ss << in.rdbuf();
  EXPECT_NE(ss.str().find("chunk request 5A without a read"), std::string::npos) << ss.str();
  fs::remove(log);
}

// The program refuses a folder the port scan would not read, says why, and
// publishes nothing; a missing folder it makes private.
TEST(PtyProgram, PublishesOnlyInAPrivateFolder) {
  const fs::path root = fs::temp_directory_path() / ("ostrel-pty-dirs-" + std::to_string(getpid()));
  fs::remove_all(root);
  fs::create_directories(root / "private");
  fs::permissions(root / "private", fs::perms::owner_all);
  struct Case {
    std::string name;
    std::function<void(const fs::path&)> make;
    std::string refusal;  // empty: serves
  } cases[] = {
      {"shared",
       [](const fs::path& d) {
         fs::create_directory(d);
         fs::permissions(d, fs::perms::all | fs::perms::sticky_bit);
       },
       "group or others can write to it (mode 1777)"},
      {"group",
       [](const fs::path& d) {
         fs::create_directory(d);
         fs::permissions(d, fs::perms::owner_all | fs::perms::group_all);
       },
       "group or others can write to it (mode 0770)"},
      {"linked", [&](const fs::path& d) { fs::create_directory_symlink(root / "private", d); },
       "it is a link"},
      {"missing", [](const fs::path&) {}, ""},
  };
  for (const Case& c : cases) {
    const fs::path dir = root / c.name;
    c.make(dir);
    std::string args[] = {OSTREL_SIM_EXE, "--port-dir", dir.string(), "--name", "m"};
    char* argv[] = {args[0].data(), args[1].data(), args[2].data(),
                    args[3].data(), args[4].data(), nullptr};
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    const pid_t pid = fork();
    if (pid == 0) {
      dup2(p[1], 1);
      dup2(p[1], 2);
      close(p[0]);
      execv(argv[0], argv);
      _exit(127);
    }
    close(p[1]);
    // Everything it says until it serves or ends.
    std::string text;
    const uint64_t end = monoMs() + 15000;
    while ((text.find("link: ") == std::string::npos || text.back() != '\n') && monoMs() < end) {
      pollfd f{p[0], POLLIN, 0};
      if (poll(&f, 1, 200) <= 0) continue;
      char b[256];
      const ssize_t n = read(p[0], b, sizeof b);
      if (n <= 0) break;
      text.append(b, size_t(n));
    }
    close(p[0]);
    if (c.refusal.empty()) {
      EXPECT_NE(text.find("link: " + (dir / "m").string()), std::string::npos) << text;
      EXPECT_EQ(fs::status(dir).permissions(), fs::perms::owner_all) << c.name;
      kill(pid, SIGTERM);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!c.refusal.empty()) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << c.name;
      EXPECT_NE(text.find("refusing to publish in " + dir.string() + ": " + c.refusal),
                std::string::npos)
          << c.name << ": " << text;
      EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "m"))) << c.name;
      EXPECT_FALSE(fs::exists(fs::symlink_status(root / "private" / "m"))) << c.name;
    }
  }
  fs::remove_all(root);
}

TEST(PtyProgram, HelpDocumentsEveryOption) {
  SimProcess p({"--help"});
  std::string text = p.banner;
  char b[4096];
  ssize_t n;
  while ((n = read(p.out, b, sizeof b)) > 0) text.append(b, size_t(n));
  EXPECT_EQ(p.wait(), 0);
  for (const char* opt :
       {"--type", "--ostrel1", "--sectors", "--aux", "--id", "--cartridge", "--preset", "--reset",
        "--throughput", "--quick", "--chip-erase-ms", "--qc-mark-ms", "--name", "--port-dir",
        "--fault", "--strict-log", "--verbose", "Example"})
    EXPECT_NE(text.find(opt), std::string::npos) << opt;
}

}  // namespace
}  // namespace ostrel::test
