#include "packages/flash_image.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "packages/package_records.h"

namespace ostrel {
namespace {

using test::Bytes;

Bytes bytesOf(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

FlashImageLoad convert(std::string_view text) {
  return convertSRecords(bytesOf(text), 256);
}

struct Write {
  uint64_t address;
  Bytes bytes;
};

TEST(FlashImageTest, SRecordFilesGiveTheirImageOrAFault) {
  struct Case {
    const char* name;
    std::string text;
    std::string_view fault;
    uint32_t blocks;
    uint64_t end;
    std::vector<Write> writes;
    std::vector<std::string> faultLines;
  };
  const std::string data200 = [] {
    std::string s = "S1CB0010";
    for (int i = 0; i < 200; ++i) s += "5A";
    return s + "00\n";
  }();
  const Case cases[] = {
      {"S1", "S1070000AABBCCDD00\n", "", 1, 4, {{0, {0xAA, 0xBB, 0xCC, 0xDD}}}, {}},
      {"lower-case digits, CR LF, no final line end",
       "S0030000FC\r\nS1070000aabbccdd00",
       "",
       1,
       4,
       {{0, {0xAA, 0xBB, 0xCC, 0xDD}}},
       {}},
      {"S2 and S3, later records win",
       "S2080100001122334400\nS3090001000099887766FF\nS5030002FA\nS9030000FC\n",
       "",
       2,
       0x10004,
       {{0x10000, {0x99, 0x88, 0x77, 0x66}}},
       {}},
      {"data at 0x20000 only", "S30600020000EE00\n", "", 3, 0x20001, {{0x20000, {0xEE}}}, {}},
      {"other lines skipped",
       "hello\n\ns1070000AABBCCDD00\nS7050000000000\nS107000401020304EA\n",
       "",
       1,
       8,
       {{4, {1, 2, 3, 4}}},
       {}},
      {"200 data bytes on one line", data200, "", 1, 0x10 + 200, {{0x10, Bytes(200, 0x5A)}}, {}},
      {"only S0 and S9", "S0030000FC\nS9030000FC\n", "0019", 0, 0, {}, {}},
      {"a record too short for its address", "S10200FD\n", "0019", 0, 0, {}, {}},
      {"empty file", "", "0019", 0, 0, {}, {}},
      {"a data line cut short", "S0030000FC\nS1070000AABB\n", "0018", 0, 0, {}, {"Line 2"}},
      {"a character that is no hex digit", "S1070000AAXBCCDD00\n", "0018", 0, 0, {}, {"Line 1"}},
      {"beyond the largest cartridge", "S306EA5F0000AA00\n", "0018", 0, 0, {}, {"Line 1"}},
      {"beyond the module's 256 sectors", "S30601000000AA00\n", "0018", 0, 0, {}, {"Line 1"}},
      {"CR alone ends a line",
       "S1070000AABBCCDD00\rS107000401020304EA\r",
       "",
       1,
       8,
       {{0, {0xAA, 0xBB, 0xCC, 0xDD, 1, 2, 3, 4}}},
       {}},
      {"spaces and tabs after the checksum",
       "S1070000AABBCCDD00 \t \r\n",
       "",
       1,
       4,
       {{0, {0xAA, 0xBB, 0xCC, 0xDD}}},
       {}},
      // A CR-only file read as one line looked like this.
      {"a record after the checksum",
       "S0030000FC\r\nS1070000AABBCCDD00S107000401020304EA\r\n",
       "0018",
       0,
       0,
       {},
       {"Line 2"}},
      {"a checksum that is no hex digit", "S1070000AABBCCDDX0\n", "0018", 0, 0, {}, {"Line 1"}},
      {"no checksum", "S1070000AABBCCDD\n", "0018", 0, 0, {}, {"Line 1"}},
      {"CR LF, LF CR and CR CR count their lines",
       "S0030000FC\r\n\n\r\r\rS1070000AABB!!DD00\n",
       "0018",
       0,
       0,
       {},
       {"Line 6"}},
      {"a gap below a later record in its block stays blank",
       "S1070020AABBCCDD00\nS10500000102F7\n",
       "",
       1,
       0x24,
       {{0, {1, 2}}, {0x20, {0xAA, 0xBB, 0xCC, 0xDD}}},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const FlashImageLoad r = convert(c.text);
    EXPECT_EQ(r.fault, c.fault);
    EXPECT_EQ(r.faultLines, c.faultLines);
    if (!c.fault.empty()) {
      EXPECT_TRUE(r.image.empty());
      continue;
    }
    Bytes expected(c.blocks * 65536ull, 0xFF);
    for (const Write& w : c.writes)
      std::copy(w.bytes.begin(), w.bytes.end(), expected.begin() + w.address);
    EXPECT_EQ(r.blockCount, c.blocks);
    EXPECT_EQ(r.endAddress, c.end);
    EXPECT_TRUE(r.image == expected);
    EXPECT_EQ(r.checksum, test::testChecksum(expected, c.end));
  }
}

TEST(FlashImageTest, BinaryFilesArePaddedToWholeBlocks) {
  for (const size_t size : {size_t(0), size_t(1), size_t(65536), size_t(65537)}) {
    SCOPED_TRACE(size);
    Bytes file(size);
    for (size_t i = 0; i < size; ++i) file[i] = uint8_t(i * 7 + 1);
    const FlashImageLoad r = convertBinary(file);
    EXPECT_EQ(r.fault, "");
    const size_t blocks = (size + 65535) / 65536;
    EXPECT_EQ(r.blockCount, blocks);
    Bytes expected = file;
    expected.resize(blocks * 65536, 0xFF);
    EXPECT_TRUE(r.image == expected);
    EXPECT_EQ(r.checksum, test::testChecksum(file, size));
  }
}

TEST(FlashImageTest, ThePlanCoversTheImageBlocksTheTableHas) {
  Bytes image(3 * 65536, 0xFF);
  image[5] = 0x12;
  image[6] = 0x34;
  image[2 * 65536] = 0;
  std::vector<BlockRecord> table(2);
  for (BlockRecord& r : table) {
    r.sourceBlock = 7;
    r.source = SectorSource::PackageImage;
  }
  planImageBlocks(image, table);
  // Block 0: 65534 blank bytes sum to 0x02 (mod 256) and xor to 0.
  const uint8_t sum0 = uint8_t(0x12 + 0x34 + 0x02), xor0 = uint8_t(0x12 ^ 0x34);
  EXPECT_EQ(table[0], (BlockRecord{1, 1, sum0, xor0, 7, SectorSource::FlashImage}));
  EXPECT_EQ(table[1], (BlockRecord{0, 1, 0, 0, 7, SectorSource::FlashImage}));
}

// The reference tools of the platform read the same files the same way.
class ReferenceTools : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v objcopy >/dev/null && command -v srec_cat >/dev/null") != 0)
      GTEST_SKIP() << "objcopy and srec_cat are installed by scripts/setup.sh";
    dir_ = std::filesystem::temp_directory_path() /
           ("ostrel-srec-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  std::string path(const char* name) const { return (dir_ / name).string(); }
  static void save(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  }
  static Bytes load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }
  static bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

  std::filesystem::path dir_;
};

// Generated records of every type and length, with gaps and both line ends
// (anyLineEnd: also CR alone and white space before the line end).
std::string generatedSRecords(uint32_t draw, uint64_t& end, bool anyLineEnd = false) {
  std::mt19937 rng(draw);
  std::string text = "S00F000068656C6C6F202020202000003C\r\n";
  uint64_t address = 0;
  char buf[16];
  while (address < 300000) {
    const size_t n = 1 + rng() % 64;
    const int type = address > 0xFFFFFF ? 3
                     : address > 0xFFFF ? 2 + int(rng() % 2)
                                        : 1 + int(rng() % 3);
    const int addressBytes = type + 1;
    const unsigned count = unsigned(addressBytes + n + 1);
    std::snprintf(buf, sizeof buf, "S%d%02X", type, count);
    text += buf;
    unsigned sum = count;
    auto hexByte = [&](unsigned b) {
      std::snprintf(buf, sizeof buf, "%02X", b);
      text += buf;
      sum += b;
    };
    for (int i = addressBytes - 1; i >= 0; --i) hexByte(unsigned((address >> (8 * i)) & 0xFF));
    for (size_t i = 0; i < n; ++i) hexByte(rng() & 0xFF);
    std::snprintf(buf, sizeof buf, "%02X", ~sum & 0xFF);
    text += buf;
    static const char* const kEnds[] = {"\r\n", "\n", "\r", " \t\r\n"};
    text += kEnds[rng() % (anyLineEnd ? 4 : 2)];
    end = address + n;
    address += n + (rng() % 4 == 0 ? rng() % 100000 : 0);
  }
  return text;
}

// Read a piece at a time, a text gives the same image, or the same fault
// line, wherever the pieces cut its lines (a CR LF included).
TEST(FlashImageTest, PiecesOfAnySizeReadAsTheWholeText) {
  uint64_t end = 0, drawEnd = 0;
  std::string text;
  for (uint32_t draw = 4; draw < 40; ++draw) {
    text += generatedSRecords(draw, drawEnd, true);
    end = std::max(end, drawEnd);
  }
  const std::string damaged = text + "S0030000FC\nS1FF0000";
  const Bytes textBytes = bytesOf(text), damagedBytes = bytesOf(damaged);
  const FlashImageLoad whole = convert(text);
  ASSERT_EQ(whole.fault, "");
  ASSERT_EQ(whole.endAddress, end);
  const FlashImageLoad wholeFault = convert(damaged);
  ASSERT_EQ(wholeFault.fault, "0018");
  for (size_t piece = 1024; piece < 1024 + 160; ++piece) {
    SCOPED_TRACE(piece);
    SpanSource source(textBytes), bad(damagedBytes);
    BlockImage image(256), ignored(256);
    const FlashImageLoad r = readSRecords(source, image, {}, piece);
    ASSERT_EQ(r.fault, "");
    EXPECT_EQ(r.endAddress, end);
    EXPECT_EQ(r.checksum, whole.checksum);
    EXPECT_TRUE(image.takeDense(r.blockCount) == whole.image);
    EXPECT_EQ(readSRecords(bad, ignored, {}, piece).faultLines, wholeFault.faultLines);
  }
  // Written out as it is made, holding one block: each draw's records go
  // back to blocks already put out.
  Bytes file;
  BlockImage spilled(256, {[&file](uint32_t b, std::span<const uint8_t> data) {
                             if (file.size() < (b + 1) * 65536ull) file.resize((b + 1) * 65536ull);
                             std::copy(data.begin(), data.end(), file.begin() + b * 65536ull);
                             return true;
                           },
                           [&file](uint32_t b, std::span<uint8_t> data) {
                             std::copy_n(file.begin() + b * 65536ull, data.size(), data.begin());
                             return true;
                           }});
  SpanSource source(textBytes);
  size_t mostHeld = 0;
  const FlashImageLoad r = readSRecords(source, spilled, [&](uint64_t, uint64_t) {
    mostHeld = std::max(mostHeld, spilled.blocksHeld());
  });
  ASSERT_EQ(r.fault, "");
  EXPECT_EQ(r.checksum, whole.checksum);
  ASSERT_TRUE(spilled.putAll(r.blockCount));
  EXPECT_TRUE(file == whole.image);
  EXPECT_EQ(mostHeld, 1u);
}

TEST_F(ReferenceTools, GeneratedFilesMatchObjcopyAndSrecCat) {
  for (uint32_t draw : {1u, 2u, 3u}) {
    SCOPED_TRACE(draw);
    uint64_t end = 0;
    const std::string text = generatedSRecords(draw, end);
    const FlashImageLoad r = convert(text);
    ASSERT_EQ(r.fault, "");
    ASSERT_EQ(r.endAddress, end);
    const std::string in = path("in.s"), viaObjcopy = path("objcopy.bin"),
                      viaSrecCat = path("srec_cat.bin");
    save(in, bytesOf(text));
    ASSERT_TRUE(run("objcopy -I srec -O binary --gap-fill 0xFF " + in + " " + viaObjcopy));
    ASSERT_TRUE(run("srec_cat " + in + " -fill 0xFF 0 " + std::to_string(end) + " -o " +
                    viaSrecCat + " -binary"));
    const Bytes image(r.image.begin(), r.image.begin() + end);
    EXPECT_TRUE(load(viaObjcopy) == image);
    EXPECT_TRUE(load(viaSrecCat) == image);
  }
}

TEST_F(ReferenceTools, FilesWrittenByTheToolsReadBackAsTheirImage) {
  std::mt19937 rng(9);
  Bytes binary(200000);
  for (auto& b : binary) b = uint8_t(rng());
  const std::string bin = path("in.bin"), viaObjcopy = path("objcopy.s3"),
                    viaSrecCat = path("srec_cat.s");
  save(bin, binary);
  ASSERT_TRUE(run("objcopy -I binary -O srec --srec-forceS3 " + bin + " " + viaObjcopy));
  ASSERT_TRUE(run("srec_cat " + bin + " -binary -o " + viaSrecCat + " -motorola"));
  for (const std::string& file : {viaObjcopy, viaSrecCat}) {
    SCOPED_TRACE(file);
    const FlashImageLoad r = convertSRecords(load(file), 2048);
    ASSERT_EQ(r.fault, "");
    EXPECT_EQ(r.endAddress, binary.size());
    EXPECT_TRUE(Bytes(r.image.begin(), r.image.begin() + binary.size()) == binary);
  }
}

}  // namespace
}  // namespace ostrel
