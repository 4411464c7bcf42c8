#include "link/port_list.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include "link/natural_order.h"

namespace ostrel {
namespace {

namespace fs = std::filesystem;

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

TEST(PortList, UsbDevicesThenVirtualPorts) {
  QTemporaryDir tmp;
  ASSERT_TRUE(tmp.isValid());
  const fs::path dev = fs::path(tmp.path().toStdString()) / "dev";
  const fs::path virt = fs::path(tmp.path().toStdString()) / "ports";
  fs::create_directories(dev);
  fs::create_directories(virt);
  for (const char* n : {"ttyACM10", "ttyACM2", "ttyUSB0", "ttyS0", "ttyACMx", "ttyUSB", "console",
                        "ttyUSB3a", "ttyACM1"}) {
    touch(dev / n);
  }
  fs::create_symlink("/dev/pts/7", virt / "sim10");
  fs::create_symlink("/dev/pts/3", virt / "sim9");
  fs::create_symlink("/dev/pts/4", virt / "a");
  touch(virt / ".hidden");

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

TEST(PortList, VirtualFolderFollowsTheRuntimeDir) {
  const char* old = std::getenv("XDG_RUNTIME_DIR");
  const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
  ::setenv("XDG_RUNTIME_DIR", "/run/user/1234", 1);
  EXPECT_EQ(defaultVirtualPortDir(), "/run/user/1234/ostrel-ports");
  ::unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(defaultVirtualPortDir(), "/tmp/ostrel-ports");
  ::setenv("XDG_RUNTIME_DIR", "", 1);
  EXPECT_EQ(defaultVirtualPortDir(), "/tmp/ostrel-ports");
  if (saved) {
    ::setenv("XDG_RUNTIME_DIR", saved->c_str(), 1);
  } else {
    ::unsetenv("XDG_RUNTIME_DIR");
  }
}

}  // namespace
}  // namespace ostrel
