// The driver-version scan and the replacement, on files.
#include "link/usb_driver.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/form_main.h"
#include "common/scripted_host.h"
#include "common/scripted_transport.h"

namespace ostrel {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes sig() {
  return Bytes(DriverVersionSignature.begin(), DriverVersionSignature.end());
}
Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(UsbDriver, SignatureIsFileVersionAndTheOldNumberInUtf16) {
  const Bytes s = sig();
  ASSERT_EQ(s.size(), 52u);
  EXPECT_EQ(s[0], 'F');
  EXPECT_EQ(s[1], 0);
  EXPECT_EQ(s[22], 0);
  EXPECT_EQ(s[25], 0);
  EXPECT_EQ(s[26], '5');
  EXPECT_EQ(s[50], '2');
}

TEST(UsbDriver, ScanNeverStepsBack) {
  Bytes s = sig();
  Bytes brokenAtThird = s;
  brokenAtThird.resize(3);
  brokenAtThird.push_back('X');
  struct Case {
    const char* what;
    Bytes file;
    bool found;
  } cases[] = {
      {"empty", {}, false},
      {"exact", s, true},
      {"inside other bytes", cat({Bytes(100, 0x11), s, Bytes(7, 0)}), true},
      {"first byte repeated: the match starts inside a partial one", cat({Bytes{'F'}, s}), false},
      {"partial match then a clean copy after a gap", cat({brokenAtThird, Bytes{0}, s}), true},
      {"mismatching byte is the start of the real one", cat({Bytes{'F', 0, 'i'}, s}), false},
      {"cut short at the end", Bytes(s.begin(), s.end() - 1), false},
  };
  for (const auto& c : cases) EXPECT_EQ(containsDriverSignature(c.file), c.found) << c.what;
}

struct DriverDir {
  DriverDir() {
    base = std::filesystem::temp_directory_path() / ("ostrel-drv-" + std::to_string(::getpid()));
    std::filesystem::create_directories(base);
    windir = (base / "win").string();
  }
  ~DriverDir() { std::filesystem::remove_all(base); }
  void writeInstalled(const Bytes& b) {
    std::ofstream(installedDriverPath(windir), std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
  }
  std::filesystem::path base;
  std::string windir;
};

TEST(UsbDriver, InstalledFileChecks) {
  DriverDir d;
  EXPECT_FALSE(isOldDriverInstalled(d.windir));  // no file
  d.writeInstalled(cat({Bytes(500, 0xAB), sig()}));
  EXPECT_TRUE(isOldDriverInstalled(d.windir));
  d.writeInstalled(Bytes(500, 0xAB));
  EXPECT_FALSE(isOldDriverInstalled(d.windir));
}

TEST(UsbDriver, ReplacementCopiesOverBothFiles) {
  DriverDir d;
  d.writeInstalled(sig());
  const Bytes image(25600, 0x5A);
  const std::string temp = (d.base / "usbser.sys").string();
  std::string message;
  EXPECT_TRUE(replaceDriver(d.windir, image, temp, message));
  EXPECT_TRUE(message.empty());
  EXPECT_EQ(std::filesystem::file_size(installedDriverPath(d.windir)), 25600u);
  EXPECT_FALSE(isOldDriverInstalled(d.windir));
  EXPECT_TRUE(std::filesystem::exists(cachedDriverPath(d.windir)));

  // A build without a driver image writes nothing: the patch file is missing.
  std::filesystem::remove(temp);
  EXPECT_FALSE(replaceDriver(d.windir, {}, temp, message));
  EXPECT_EQ(message, "Patch file not exist!!!");
}

TEST(UsbDriver, FormShowStartsNoDetectionAfterAReplacementAttempt) {
  DriverDir d;
  d.writeInstalled(sig());
  ::setenv("windir", d.windir.c_str(), 1);
  ScriptedHost host;
  host.os = {true, 2, 5, 1};  // the NT family
  VirtualClock clock;
  ScriptedTransport comm(clock);
  TForm_MAIN form(2, 0, host, clock, comm);
  form.FormCreate();
  ASSERT_EQ(form.OSVersionCode, 2);
  form.FormShow();
  ::unsetenv("windir");
  EXPECT_FALSE(form.Timer1.Enabled());
  ASSERT_GE(host.boxes.size(), 1u);
  EXPECT_EQ(host.boxes.back().text, "Usb driver change failed!");

  // Any other host family never reads the file and starts the detection timer.
  ::setenv("windir", d.windir.c_str(), 1);
  ScriptedHost other;
  TForm_MAIN normal(2, 0, other, clock, comm);
  normal.FormCreate();
  normal.FormShow();
  ::unsetenv("windir");
  EXPECT_TRUE(normal.Timer1.Enabled());
  EXPECT_TRUE(other.boxes.empty());
}

}  // namespace
}  // namespace ostrel
