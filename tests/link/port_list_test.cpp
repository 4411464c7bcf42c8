#include "link/port_list.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>

#include "link/natural_order.h"
#include "link/pty_pair.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;
using testing::PtyPair;

TEST(NaturalOrder, DigitRunsCompareByValue) {
  struct Case {
    const char* a;
    const char* b;
    bool less;
  } cases[] = {
      {"ttyACM2", "ttyACM10", true},
      {"ttyACM10", "ttyACM2", false},
      {"ttyACM9", "ttyUSB0", true},
      {"ttyUSB0", "ttyACM9", false},
      {"ttyACM1", "ttyACM1", false},
      {"ttyACM", "ttyACM0", true},
      {"a1b2", "a1b10", true},
      {"a01", "a1", false},
      {"a1", "a01", true},
      {"a007", "a7x", false},
      {"x99999999999999999999", "x100000000000000000000", true},
      {"", "a", true},
      {"a", "", false},
      {"sim-b", "sim-a10", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(naturalLess(c.a, c.b), c.less) << c.a << " < " << c.b;
  }
}

TEST(NaturalOrder, SortsPortNames) {
  std::vector<std::string> names = {"ttyUSB10", "ttyACM10", "ttyUSB2",
                                    "ttyACM2",  "ttyACM0",  "ttyUSB1"};
  sortNatural(names);
  EXPECT_EQ(names, (std::vector<std::string>{"ttyACM0", "ttyACM2", "ttyACM10", "ttyUSB1", "ttyUSB2",
                                             "ttyUSB10"}));
}

void touch(const fs::path& p) {
  std::ofstream(p) << "";
}

// The scan of one virtual-port folder: the ports and the debug-log notes.
struct Scan {
  std::vector<std::string> ports;
  std::vector<std::string> notes;
};

Scan scanFolder(const std::string& dir) {
  Scan scan;
  scan.ports = listSerialPorts("/nonexistent", dir,
                               [&](const std::string& text) { scan.notes.push_back(text); });
  return scan;
}

TEST(PortList, UsbDevicesThenVirtualPorts) {
  PtyPair a, b, c;
  ASSERT_TRUE(a.ok() && b.ok() && c.ok());
  QTemporaryDir tmp;
  ASSERT_TRUE(tmp.isValid());
  const fs::path dev = fs::path(tmp.path().toStdString()) / "dev";
  const fs::path virt = fs::path(tmp.path().toStdString()) / "ports";
  fs::create_directories(dev);
  ASSERT_EQ(makePortFolder(virt.string()), "");
  for (const char* n : {"ttyACM10", "ttyACM2", "ttyUSB0", "ttyS0", "ttyACMx", "ttyUSB", "console",
                        "ttyUSB3a", "ttyACM1"}) {
    touch(dev / n);
  }
  fs::create_symlink(a.slavePath, virt / "sim10");
  fs::create_symlink(b.slavePath, virt / "sim9");
  fs::create_symlink(c.slavePath, virt / "a");
  fs::create_symlink(c.slavePath, virt / ".hidden");

  const std::string d = dev.string();
  const std::string v = virt.string();
  EXPECT_EQ(listSerialPorts(d, v),
            (std::vector<std::string>{d + "/ttyACM1", d + "/ttyACM2", d + "/ttyACM10",
                                      d + "/ttyUSB0", v + "/a", v + "/sim9", v + "/sim10"}));
  // A missing folder adds nothing.
  EXPECT_EQ(listSerialPorts(d, v + "/missing").size(), 4u);
  EXPECT_EQ(listSerialPorts(d + "/missing", v).size(), 3u);
  EXPECT_TRUE(listSerialPorts(d + "/missing", "").empty());
}

// Every state the folder can be found in, as someone else may have prepared
// it: only the user's own folder that nobody else can write is read, and of
// its entries only those that lead to a character device are offered.
TEST(PortList, OnlyATrustedFolderIsScannedAndOnlyDevicesListed) {
  PtyPair pty;
  ASSERT_TRUE(pty.ok());
  QTemporaryDir tmp;
  ASSERT_TRUE(tmp.isValid());
  const fs::path root = tmp.path().toStdString();
  touch(root / "plain");
  ASSERT_EQ(::mkfifo((root / "fifo").c_str(), 0600), 0);

  // A folder with a module's link and the kinds of entries that are not ports.
  auto folder = [&](const fs::path& dir, fs::perms mode) {
    fs::create_directory(dir);
    fs::create_symlink(pty.slavePath, dir / "sim");
    fs::create_symlink(root / "plain", dir / "file");
    fs::create_symlink(root / "fifo", dir / "fifo");
    fs::create_symlink(root / "nothing", dir / "gone");
    fs::permissions(dir, mode);
  };
  using P = fs::perms;
  const P own = P::owner_all;
  struct Case {
    std::string name;
    std::function<void(const fs::path&)> make;
    std::string reason;  // empty: scanned
  };
  std::vector<Case> cases = {
      {"own", [&](const fs::path& d) { folder(d, own); }, ""},
      {"own-readable", [&](const fs::path& d) { folder(d, own | P::group_read | P::others_read); },
       ""},
      {"group-writable", [&](const fs::path& d) { folder(d, own | P::group_all); },
       "group or others can write to it (mode 0770)"},
      {"others-writable", [&](const fs::path& d) { folder(d, own | P::others_write); },
       "group or others can write to it (mode 0702)"},
      {"sticky-shared", [&](const fs::path& d) { folder(d, P::all | P::sticky_bit); },
       "group or others can write to it (mode 1777)"},
      {"linked",
       [&](const fs::path& d) {
         folder(root / "elsewhere", own);
         fs::create_directory_symlink(root / "elsewhere", d);
       },
       "it is a link"},
      {"a-file", [&](const fs::path& d) { touch(d); }, "it is not a folder"},
  };
  if (::geteuid() == 0) {
    cases.push_back({"another-users",
                     [&](const fs::path& d) {
                       folder(d, own);
                       ASSERT_EQ(::chown(d.c_str(), 65534, 65534), 0);
                     },
                     "it belongs to user 65534, not to user 0"});
  }
  for (const Case& c : cases) {
    const fs::path dir = root / c.name;
    c.make(dir);
    const Scan scan = scanFolder(dir.string());
    if (c.reason.empty()) {
      EXPECT_EQ(scan.ports, std::vector<std::string>{(dir / "sim").string()}) << c.name;
      EXPECT_EQ(scan.notes,
                (std::vector<std::string>{
                    (dir / "fifo").string() + ": not probed, it is not a character device",
                    (dir / "file").string() + ": not probed, it is not a character device",
                    (dir / "gone").string() + ": not probed, No such file or directory"}))
          << c.name;
    } else {
      EXPECT_TRUE(scan.ports.empty()) << c.name;
      EXPECT_EQ(scan.notes, std::vector<std::string>{dir.string() + ": not scanned, " + c.reason})
          << c.name;
    }
    EXPECT_EQ(checkPortFolder(dir.string()), c.reason) << c.name;
  }
  // A folder that is not there is no news.
  EXPECT_EQ(scanFolder((root / "missing").string()).notes.size(), 0u);
}

// The ownership rule on its own, for owners a test cannot create without
// privileges.
TEST(PortList, FolderRuleOnStatusFields) {
  struct Case {
    uint32_t mode;
    uint32_t owner;
    uint32_t user;
    std::string problem;
  } cases[] = {
      {S_IFDIR | 0700, 1000, 1000, ""},
      {S_IFDIR | 0500, 1000, 1000, ""},
      {S_IFDIR | 0700, 1001, 1000, "it belongs to user 1001, not to user 1000"},
      {S_IFDIR | 0700, 0, 1000, "it belongs to user 0, not to user 1000"},
      {S_IFDIR | 0700, 1000, 0, "it belongs to user 1000, not to user 0"},
      {S_IFDIR | 0720, 1000, 1000, "group or others can write to it (mode 0720)"},
      {S_IFDIR | 02702, 1000, 1000, "group or others can write to it (mode 2702)"},
      {S_IFLNK | 0777, 1000, 1000, "it is a link"},
      {S_IFREG | 0600, 1000, 1000, "it is not a folder"},
      {S_IFCHR | 0600, 1000, 1000, "it is not a folder"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(portFolderProblem(c.mode, c.owner, c.user), c.problem) << std::oct << c.mode;
  }
}

TEST(PortList, VirtualFolderFollowsTheRuntimeDir) {
  const char* old = std::getenv("XDG_RUNTIME_DIR");
  const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
  const std::string perUser = "/tmp/ostrel-ports-" + std::to_string(::geteuid());
  struct Case {
    const char* runtime;  // null: unset
    std::string folder;
  } cases[] = {
      {"/run/user/1234", "/run/user/1234/ostrel-ports"},
      {nullptr, perUser},
      {"", perUser},
      {"run/user/1234", perUser},
      {"./run", perUser},
  };
  for (const auto& c : cases) {
    if (c.runtime) {
      ::setenv("XDG_RUNTIME_DIR", c.runtime, 1);
    } else {
      ::unsetenv("XDG_RUNTIME_DIR");
    }
    EXPECT_EQ(defaultVirtualPortDir(), c.folder) << (c.runtime ? c.runtime : "(unset)");
  }
  if (saved) {
    ::setenv("XDG_RUNTIME_DIR", saved->c_str(), 1);
  } else {
    ::unsetenv("XDG_RUNTIME_DIR");
  }
}

// A folder the program makes is private to the user.
TEST(PortList, MadeFolderIsPrivate) {
  QTemporaryDir tmp;
  ASSERT_TRUE(tmp.isValid());
  const mode_t oldMask = ::umask(0);  // the mode must not depend on the umask
  const fs::path dir = fs::path(tmp.path().toStdString()) / "parent" / "ports";
  const std::string problem = makePortFolder(dir.string());
  ::umask(oldMask);
  EXPECT_EQ(problem, "");
  EXPECT_EQ(fs::status(dir).permissions(), fs::perms::owner_all);
}

}  // namespace
}  // namespace ostrel
