// The simulator's flash: NOR rules, sparseness, the image file.
#include "sim/flash_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/sim/sim_harness.h"

namespace ostrel::test {
namespace {

namespace fs = std::filesystem;

struct TempDir {
  fs::path path;
  TempDir() {
    path = fs::temp_directory_path() /
           ("ostrel-sim-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter()++));
    fs::create_directories(path);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  static int& counter() {
    static int c = 0;
    return c;
  }
};

TEST(FlashStore, NorRulesInMemoryAndInAFile) {
  TempDir dir;
  std::string err;
  auto file = FlashStore::openFile((dir.path / "c.img").string(), 300, err);
  ASSERT_TRUE(file) << err;
  FlashStore mem(300);
  for (FlashStore* f : {&mem, file.get()}) {
    auto a = pattern(1), b = pattern(2);
    EXPECT_EQ(f->read(7), std::vector<uint8_t>(65536, 0xFF));
    EXPECT_TRUE(f->program(7, 0, a));
    EXPECT_TRUE(f->program(7, 0, b));
    auto got = f->read(7);
    for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], a[i] & b[i]);
    EXPECT_TRUE(f->eraseBytes(7, 4096, 100));
    got = f->read(7);
    EXPECT_EQ(got[4096], 0xFF);
    EXPECT_EQ(got[4195], 0xFF);
    EXPECT_EQ(got[4196], a[4196] & b[4196]);
    EXPECT_TRUE(f->erase(7));
    EXPECT_EQ(f->state(7), SectorState::Erased);
    EXPECT_TRUE(f->programLoopPattern(8));
    EXPECT_EQ(f->read(8)[300], uint8_t(300));
    // Programming only 0xFF leaves an erased sector erased.
    EXPECT_TRUE(f->program(9, 10, std::vector<uint8_t>(100, 0xFF)));
    EXPECT_EQ(f->state(9), SectorState::Erased);
    // Out of range and oversize requests are refused, never written.
    EXPECT_FALSE(f->program(300, 0, a));
    EXPECT_FALSE(f->program(5, 65000, std::vector<uint8_t>(1000, 0)));
    EXPECT_FALSE(f->eraseBytes(5, 65000, 1000));
    EXPECT_EQ(f->usedSectors(), 1u);
  }
}

TEST(FlashStore, FileKeepsContentAcrossReopenAndStaysSmall) {
  TempDir dir;
  std::string path = (dir.path / "ost4.img").string(), err;
  bool created = false;
  {
    auto f = FlashStore::openFile(path, 60002, err, &created);
    ASSERT_TRUE(f) << err;
    EXPECT_TRUE(created);
    f->program(59999, 0, pattern(5));
    f->program(60001, 0, pattern(6));
    f->programLoopPattern(12);
    // Rewriting a sector many times reuses its room.
    for (int i = 0; i < 20; ++i) {
      f->erase(3);
      f->program(3, 0, pattern(i));
    }
  }
  EXPECT_LT(fs::file_size(path), 1u << 20) << "a 60002-sector cartridge costs only what it holds";
  auto f = FlashStore::openFile(path, 60002, err, &created);
  ASSERT_TRUE(f) << err;
  EXPECT_FALSE(created);
  EXPECT_EQ(f->read(59999), pattern(5));
  EXPECT_EQ(f->read(60001), pattern(6));
  EXPECT_EQ(f->read(3), pattern(19));
  EXPECT_EQ(f->state(12), SectorState::LoopPattern);
  EXPECT_EQ(f->usedSectors(), 4u);
}

TEST(FlashStore, ForeignOrDamagedFilesAreRefusedOrContained) {
  TempDir dir;
  std::string err;
  std::string path = (dir.path / "a.img").string();
  ASSERT_TRUE(FlashStore::openFile(path, 256, err));
  EXPECT_FALSE(FlashStore::openFile(path, 512, err));
  EXPECT_NE(err.find("256"), std::string::npos);
  std::string junk = (dir.path / "junk.img").string();
  std::ofstream(junk) << "not a cartridge at all, just some text that is long enough for a header"
                         " and then some more text";
  EXPECT_FALSE(FlashStore::openFile(junk, 256, err));
  // An index entry that points past the end of the file reads as erased.
  {
    auto f = FlashStore::openFile(path, 256, err);
    f->program(2, 0, pattern(2));
  }
  {
    std::fstream io(path, std::ios::binary | std::ios::in | std::ios::out);
    io.seekp(64 + 4 * 5);
    uint8_t bad[4] = {0x00, 0x10, 0x00, 0x00};
    io.write(reinterpret_cast<char*>(bad), 4);
  }
  auto f = FlashStore::openFile(path, 256, err);
  ASSERT_TRUE(f) << err;
  EXPECT_EQ(f->state(5), SectorState::Erased);
  EXPECT_EQ(f->read(2), pattern(2));
}

}  // namespace
}  // namespace ostrel::test
