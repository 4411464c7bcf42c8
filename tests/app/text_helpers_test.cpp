#include "app/text_helpers.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ostrel {
namespace {

struct Utf8Case {
  const char* name;
  std::vector<uint8_t> text;  // positions 1..n
  bool expected;
};

// Runs Isutf8 on a heap buffer of exactly n + 1 bytes (so a read past position
// n trips the address sanitizer) and on one whose byte n + 1 is malformed.
void expectIsutf8(const Utf8Case& c) {
  const size_t n = c.text.size();
  auto exact = std::make_unique<uint8_t[]>(n + 1);
  exact[0] = 0xFF;  // position 0 is not text
  std::copy(c.text.begin(), c.text.end(), exact.get() + 1);
  EXPECT_EQ(Isutf8(exact.get(), n), c.expected) << c.name;

  for (uint8_t after : {uint8_t(0xFF), uint8_t(0xA0), uint8_t(0x41)}) {
    std::vector<uint8_t> padded(n + 3, after);
    padded[0] = 0xBF;
    std::copy(c.text.begin(), c.text.end(), padded.begin() + 1);
    EXPECT_EQ(Isutf8(padded.data(), n), c.expected) << c.name << " followed by " << int(after);
  }
}

TEST(Isutf8, TestsPositionsOneToNOnly) {
  const Utf8Case cases[] = {
      {"empty", {}, true},
      {"Ab + three-byte character", {'A', 'b', 0xE4, 0xBD, 0xA0}, true},
      {"lone continuation at position 2 of 3", {'A', 0xA0, 'B'}, false},
      {"missing continuation below n", {0xC3, 0x28, 0x41}, false},
      {"malformation at position n", {0xC3, 0x28}, true},
      {"stray continuation at n", {'x', 0xA0}, true},
      {"stray continuation below n", {0xA0, 'x'}, false},
      {"lone lead at n", {'x', 0xE4}, true},
      {"sequence runs past n", {0xE4, 0xBD}, true},
      {"third byte at n is not a continuation", {0xE4, 0xBD, 0x41}, true},
      {"second byte below n is not a continuation", {0xE4, 0x41, 0xBD, 0x41}, false},
      {"four-byte character", {0xF0, 0x9F, 0x98, 0x80}, true},
      {"four-byte character, last byte bad at n", {0xF0, 0x9F, 0x98, 0x41}, true},
      {"four-byte character, last byte bad below n", {0xF0, 0x9F, 0x98, 0x41, 'x'}, false},
      {"11111xxx lead below n", {0xF8, 0x88, 0x80, 0x80, 0x80, 'x'}, false},
      {"0xFF below n", {0xFF, 'x'}, false},
      {"0xFE at n", {'x', 'y', 0xFE}, true},
      {"overlong form passes", {0xC0, 0x80, 'x'}, true},
      {"surrogate passes", {0xED, 0xA0, 0x80, 'x'}, true},
      {"mixed valid text", {'O', 0xC3, 0xA9, 0xE8, 0xBC, 0x89, 0xF0, 0x9F, 0x98, 0x80, '!'}, true},
      {"valid text then stray continuation", {0xC3, 0xA9, 0xBF, 'x'}, false},
      {"zero bytes are characters", {0, 0, 0}, true},
  };
  for (const Utf8Case& c : cases) expectIsutf8(c);
}

TEST(Isutf8, NullBuffer) {
  EXPECT_TRUE(Isutf8(nullptr, 0));
  EXPECT_FALSE(Isutf8(nullptr, 5));
}

TEST(Isutf8str, TestsTheTextWithItsTerminator) {
  struct Case {
    std::string text;
    bool expected;
  };
  const std::string ascii95(95, 'a');
  const std::string ascii96(96, 'a');
  std::string chinese;
  for (int i = 0; i < 100; ++i) chinese += "軟體";
  const Case cases[] = {
      {"", true},
      {"OBDII", true},
      {"檔案載入失敗!", true},
      {"\xC3\x28", false},
      {"A\xA0"
       "B",
       false},
      {"\xA0", false},
      {"A\xC3", true},  // the missing byte is the terminator at position n
      {ascii95 + "\xA0", false},
      {ascii96 + "\xA0", true},          // beyond the 96 tested characters
      {ascii95 + "\xE4\xBD\xA0", true},  // cut after its lead byte
      {ascii96 + std::string(500, '\xA0'), true},
      {std::string(500, '\xA0'), false},
      {chinese, true},
      {std::string("A\0\xA0", 3), true},  // a C text ends at its first zero
      {std::string("\xA0\0B", 3), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Isutf8str(c.text), c.expected) << c.text.size() << " bytes: " << c.text.substr(0, 20);
  }
}

TEST(HexTextToUint, DigitsAndTheRepeatRule) {
  struct Case {
    const char* text;
    uint32_t expected;
  };
  const Case cases[] = {
      {"", 0},
      {"0", 0},
      {"1A", 26},
      {"1a", 26},
      {"1G", 0x11},
      {"G1", 0x01},  // nothing before the first character: 0
      {"1GG", 0x111},
      {"A-B", 0xAAB},
      {" 12", 0x012},
      {"FFFFFFFF", 0xFFFFFFFF},
      {"deadBEEF", 0xDEADBEEF},
      {"00C0FFEE", 0x00C0FFEE},
      {"123456789", 0x23456789},  // only the last 8 reach the result
      {"F00000000", 0},
      {"1xxxxxxxxxxxxxxxxxxx", 0x11111111},
  };
  for (const Case& c : cases) EXPECT_EQ(hexTextToUint(c.text), c.expected) << c.text;
}

TEST(ProgramDirectory, AlwaysEndsInSlash) {
  struct Case {
    const char* path;
    const char* expected;
  };
  const Case cases[] = {
      {"/usr/bin/ostrel-fm", "/usr/bin/"},
      {"/ostrel-fm", "/"},
      {"ostrel-fm", "./"},
      {"", "./"},
      {"bin/ostrel-fm", "bin/"},
      {"/opt/ostrel/", "/opt/ostrel/"},
      {"/opt/ostrel dir/ostrel-fm", "/opt/ostrel dir/"},
      {"C:\\tools\\ostrel.exe", "./"},  // a backslash is a file-name character here
  };
  for (const Case& c : cases) EXPECT_EQ(programDirectory(c.path), c.expected) << c.path;
}

TEST(ProgramDirectory, CurrentExecutable) {
  const std::string exe = currentExecutablePath();
  ASSERT_FALSE(exe.empty());
  EXPECT_TRUE(std::filesystem::is_regular_file(exe));
  EXPECT_TRUE(std::filesystem::is_directory(programDirectory(exe)));
}

// Sets an environment variable for one scope and restores it afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class WritableProgramDirectory : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::filesystem::temp_directory_path() /
            ("ostrel_text_test_" + std::to_string(getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_ / "bin");
  }
  void TearDown() override { std::filesystem::remove_all(root_); }
  std::string path(const char* sub) const { return (root_ / sub).string(); }
  // An executable in a directory that does not exist cannot write beside itself.
  std::string missingExe() const { return path("missing/ostrel-fm"); }

  std::filesystem::path root_;
};

TEST_F(WritableProgramDirectory, OwnDirectoryWhenWritable) {
  EXPECT_EQ(writableProgramDirectory(path("bin/ostrel-fm")), path("bin") + "/");
}

// An installation's bin/ is never where files are left, writable or not.
TEST_F(WritableProgramDirectory, InstalledProgramsUseTheUsersFolder) {
  ScopedEnv xdg("XDG_DATA_HOME", path("xdg").c_str());
  std::filesystem::create_directories(path("prefix/share/ostrel"));
  EXPECT_EQ(writableProgramDirectory(path("prefix/bin/ostrel-fm")), path("xdg") + "/ostrel/");
}

TEST_F(WritableProgramDirectory, FallsBackToXdgDataHome) {
  ScopedEnv xdg("XDG_DATA_HOME", path("xdg").c_str());
  ScopedEnv home("HOME", path("home").c_str());
  const std::string dir = writableProgramDirectory(missingExe());
  EXPECT_EQ(dir, path("xdg") + "/ostrel/");
  EXPECT_TRUE(std::filesystem::is_directory(dir));
}

TEST_F(WritableProgramDirectory, RelativeXdgIsIgnoredForHome) {
  ScopedEnv xdg("XDG_DATA_HOME", "relative/data");
  ScopedEnv home("HOME", (path("home") + "/").c_str());
  const std::string dir = writableProgramDirectory(missingExe());
  EXPECT_EQ(dir, path("home") + "/.local/share/ostrel/");
  EXPECT_TRUE(std::filesystem::is_directory(dir));
}

TEST_F(WritableProgramDirectory, NothingUsableGivesOwnDirectory) {
  ScopedEnv xdg("XDG_DATA_HOME", nullptr);
  ScopedEnv home("HOME", "");
  EXPECT_EQ(writableProgramDirectory(missingExe()), path("missing") + "/");
}

// An installed program finds a data file in the first folder that holds it:
// its program folder, beside itself, <prefix>/share/ostrel, then the user's
// data folder; a folder or a missing file there does not count.
TEST_F(WritableProgramDirectory, DataFilesAreFoundInTheFirstFolderHoldingThem) {
  ScopedEnv xdg("XDG_DATA_HOME", path("xdg").c_str());
  const std::string exe = path("prefix/bin/ostrel-fm");
  const std::string programFolder = path("home") + "/";
  struct Case {
    std::vector<const char*> files;  // made under root_
    const char* expected;            // under root_, or "" for none
  } cases[] = {
      {{}, ""},
      {{"xdg/ostrel/x.bn"}, "xdg/ostrel/x.bn"},
      {{"xdg/ostrel/x.bn", "prefix/share/ostrel/x.bn"}, "prefix/share/ostrel/x.bn"},
      {{"prefix/share/ostrel/x.bn", "prefix/bin/x.bn"}, "prefix/bin/x.bn"},
      {{"prefix/bin/x.bn", "home/x.bn"}, "home/x.bn"},
      {{"home/x.bn/inner", "prefix/share/ostrel/x.bn"}, "prefix/share/ostrel/x.bn"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(root_);
    for (const char* f : c.files) {
      std::filesystem::create_directories(std::filesystem::path(path(f)).parent_path());
      std::ofstream(path(f)) << "x";
    }
    const std::string want = *c.expected ? path(c.expected) : "";
    EXPECT_EQ(findDataFile("x.bn", programFolder, exe), want) << c.expected;
  }
}

}  // namespace
}  // namespace ostrel
