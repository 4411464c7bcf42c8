// Package and S-record conversion speed, side by side with the platform's
// reference tools, and the peak memory of ostrel-pkg unpack.
//   HexToBin_Conv on a 16 MiB S3 file (in memory), and objcopy, srec_cat and
//   ostrel-pkg srec2bin on the same file (whole processes, file to file);
//   BNtoBIN on a 100 MiB package (in memory);
//   ostrel-pkg unpack of that package: peak resident memory against the image.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "packages/flash_image.h"
#include "packages/package_format.h"

extern char** environ;

namespace ostrel {
namespace {

constexpr size_t kSRecordImageBytes = 16u << 20;
constexpr size_t kPackageImageBytes = 100u << 20;

std::filesystem::path workDir() {
  static const std::filesystem::path dir = [] {
    auto d = std::filesystem::temp_directory_path() / ("ostrel-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(d);
    return d;
  }();
  return dir;
}

void save(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::vector<uint8_t> load(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::vector<uint8_t> randomBytes(size_t n, uint32_t start) {
  std::vector<uint8_t> b(n);
  std::mt19937_64 rng(start);
  for (size_t i = 0; i + 8 <= n; i += 8) {
    const uint64_t v = rng();
    std::memcpy(b.data() + i, &v, 8);
  }
  return b;
}

// Runs a program to its end; the peak resident memory of the child in KiB.
long run(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return -1;
  return usage.ru_maxrss;
}

// The 16 MiB S3 file, written by objcopy from a random image starting at 0.
const std::filesystem::path& sRecordFile() {
  static const std::filesystem::path file = [] {
    const auto bin = workDir() / "image.bin", s3 = workDir() / "image.s3";
    save(bin, randomBytes(kSRecordImageBytes, 1));
    run({"objcopy", "-I", "binary", "-O", "srec", "--srec-forceS3", bin.string(), s3.string()});
    return s3;
  }();
  return file;
}

const std::filesystem::path& packageFile() {
  static const std::filesystem::path file = [] {
    std::vector<uint8_t> image = randomBytes(kPackageImageBytes, 2);
    // Block 1 is the package's catalogue: an empty one.
    std::fill(image.begin() + kSectorSize, image.begin() + 2 * kSectorSize, 0);
    image[kSectorSize] = 0xA1;
    image[kSectorSize + 1] = 0x1E;
    const auto path = workDir() / "image.bn";
    save(path, writePackage(image, {}, 7));
    return path;
  }();
  return file;
}

void HexToBin_Conv(benchmark::State& state) {
  const std::vector<uint8_t> text = load(sRecordFile());
  for (auto _ : state) {
    FlashImageLoad r = convertSRecords(text, 2048);
    if (!r.fault.empty() || r.endAddress != kSRecordImageBytes) state.SkipWithError("conversion");
    benchmark::DoNotOptimize(r.image.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

// A whole program from file to file; "OUT" stands for the output file.
void Tool(benchmark::State& state, std::vector<std::string> args) {
  sRecordFile();
  for (std::string& a : args)
    if (a == "OUT") a = (workDir() / "out.bin").string();
  for (auto _ : state) {
    if (run(args) < 0) state.SkipWithError(args[0].c_str());
  }
}

void Objcopy(benchmark::State& state) {
  Tool(state, {"objcopy", "-I", "srec", "-O", "binary", sRecordFile().string(), "OUT"});
}
void SrecCat(benchmark::State& state) {
  Tool(state, {"srec_cat", sRecordFile().string(), "-o", "OUT", "-binary"});
}
void OstrelPkgSrec2bin(benchmark::State& state) {
  Tool(state, {OSTREL_PKG_PATH, "srec2bin", sRecordFile().string(), "-o", "OUT"});
}

// range(0) = 1: the heap keeps freed memory, so the image lands in pages
// already mapped (the codec alone); 0: every image takes fresh pages from
// the system, as a first load does.
void BNtoBIN(benchmark::State& state) {
  if (state.range(0)) {
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
  }
  const std::vector<uint8_t> file = load(packageFile());
  for (auto _ : state) {
    SpanSource source(file);
    PackageRead r = readPackage(source, {});
    if (!r.fault.empty() || r.image.size() != kPackageImageBytes) state.SkipWithError("read");
    benchmark::DoNotOptimize(r.image.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(file.size()));
}

// The child's own peak, as GNU time reports it: the rusage of a child spawned
// from this (large) process would count this process's pages from before the
// exec.
void OstrelPkgUnpackPeakMemory(benchmark::State& state) {
  const std::string in = packageFile().string(), out = (workDir() / "unpacked.img").string(),
                    report = (workDir() / "time.txt").string();
  long peakKiB = -1;
  for (auto _ : state) {
    if (run({"/usr/bin/time", "-f", "%M", "-o", report, OSTREL_PKG_PATH, "unpack", in, "-o", out}) <
        0)
      continue;
    std::ifstream(report) >> peakKiB;
  }
  if (peakKiB <= 0) {
    state.SkipWithError("unpack (or /usr/bin/time) failed");
    return;
  }
  state.counters["peakRssMiB"] = double(peakKiB) / 1024;
  state.counters["peakOverImage"] = double(peakKiB) * 1024 / double(kPackageImageBytes);
}

}  // namespace
}  // namespace ostrel

BENCHMARK(ostrel::HexToBin_Conv)->Unit(benchmark::kMillisecond);
BENCHMARK(ostrel::Objcopy)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(ostrel::SrecCat)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(ostrel::OstrelPkgSrec2bin)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(ostrel::BNtoBIN)->Unit(benchmark::kMillisecond)->Arg(0)->Arg(1);
BENCHMARK(ostrel::OstrelPkgUnpackPeakMemory)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(ostrel::workDir());
  return 0;
}
