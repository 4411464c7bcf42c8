// In-memory rates of the package and S-record codecs: the file already in
// memory, no file read or written, no process started. What a user measures
// with the whole program is in bench/convert_compare.sh.
//   InMemorySRecordDecode: a 16 MiB image as 32-byte S3 records (40 MiB of
//     text) into a block image;
//   InMemoryPackageDecode: a 200 MiB package read with every check and the
//     image checksum, its blocks handed on and dropped;
//   InMemoryImageChecksum: the checksum alone over 64 KiB blocks of data.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "packages/flash_image.h"
#include "packages/package_format.h"

namespace ostrel {
namespace {

std::vector<uint8_t> randomBytes(size_t n, uint32_t draw) {
  std::vector<uint8_t> b(n);
  std::mt19937_64 rng(draw);
  for (size_t i = 0; i + 8 <= n; i += 8) {
    const uint64_t v = rng();
    std::memcpy(b.data() + i, &v, 8);
  }
  return b;
}

// 16 MiB from address 0 in S3 records of 32 bytes, CR LF, as objcopy
// writes them with --srec-len 32.
const std::vector<uint8_t>& sRecordText() {
  static const std::vector<uint8_t> text = [] {
    const std::vector<uint8_t> image = randomBytes(16u << 20, 1);
    std::string t = "S0070000722E7333B2\r\n";
    char line[128];
    for (size_t a = 0; a < image.size(); a += 32) {
      unsigned sum = 37 + (a >> 24 & 0xFF) + (a >> 16 & 0xFF) + (a >> 8 & 0xFF) + (a & 0xFF);
      int n = std::snprintf(line, sizeof line, "S325%08zX", a);
      for (size_t i = 0; i < 32; ++i) {
        n += std::snprintf(line + n, sizeof line - size_t(n), "%02X", image[a + i]);
        sum += image[a + i];
      }
      std::snprintf(line + n, sizeof line - size_t(n), "%02X\r\n", ~sum & 0xFF);
      t += line;
    }
    return std::vector<uint8_t>(t.begin(), t.end());
  }();
  return text;
}

// 200 MiB of random blocks, block 1 an empty catalogue.
const std::vector<uint8_t>& packageFile() {
  static const std::vector<uint8_t> file = [] {
    std::vector<uint8_t> image = randomBytes(200u << 20, 2);
    std::fill(image.begin() + kSectorSize, image.begin() + 2 * kSectorSize, 0);
    image[kSectorSize] = 0xA1;
    image[kSectorSize + 1] = 0x1E;
    return writePackage(image, {}, 7);
  }();
  return file;
}

void InMemorySRecordDecode(benchmark::State& state) {
  const std::vector<uint8_t>& text = sRecordText();
  for (auto _ : state) {
    SpanSource source(text);
    BlockImage image(kLargestCartridgeSectors);
    const FlashImageLoad r = readSRecords(source, image);
    if (!r.fault.empty() || r.endAddress != 16u << 20) state.SkipWithError("conversion");
    benchmark::DoNotOptimize(r.checksum);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

void InMemoryPackageDecode(benchmark::State& state) {
  const std::vector<uint8_t>& file = packageFile();
  for (auto _ : state) {
    SpanSource source(file);
    const PackageRead r = readPackageInto(source, {}, {});
    if (!r.fault.empty() || r.blocks != 3200) state.SkipWithError("read");
    benchmark::DoNotOptimize(r.checksum);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(file.size()));
}

void InMemoryImageChecksum(benchmark::State& state) {
  const std::vector<uint8_t> data = randomBytes(16u << 20, 3);
  for (auto _ : state) {
    ImageChecksum c;
    for (size_t at = 0; at < data.size(); at += kSectorSize)
      c.add(std::span<const uint8_t>(data).subspan(at, kSectorSize));
    benchmark::DoNotOptimize(c.value());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}

}  // namespace
}  // namespace ostrel

BENCHMARK(ostrel::InMemorySRecordDecode)->Unit(benchmark::kMillisecond);
BENCHMARK(ostrel::InMemoryPackageDecode)->Unit(benchmark::kMillisecond);
BENCHMARK(ostrel::InMemoryImageChecksum)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
