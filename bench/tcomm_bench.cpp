// TComm over a pseudo-terminal pair:
// - receive throughput through TComm against a plain read loop on the same
//   kind of pair (target: ratio >= 0.9);
// - CPU time of the user-interface thread while it waits 5 s with nothing
//   arriving (target: close to zero);
// - latency from the last byte of a reply to its delivery on the
//   user-interface thread (target: <= ReadIntervalTimeout + 2 ms).
#include <benchmark/benchmark.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "link/tcomm.h"

namespace {

using ostrel::TComm;
using Clock = std::chrono::steady_clock;

constexpr size_t kStreamBytes = 16u << 20;

struct Pty {
  int master = -1;
  int slave = -1;
  std::string path;
  Pty() {
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) == 0) path = name;
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
  }
  ~Pty() {
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
  }
};

void configure(TComm& comm, const std::string& path, uint32_t interval) {
  comm.setCommName(path);
  comm.setBaudRate(230400);
  comm.setStopBits(ostrel::TStopBits::_2);
  comm.setDtrControl(ostrel::TDtrControl::DtrDisable);
  comm.setRtsControl(ostrel::TRtsControl::RtsDisable);
  comm.setOutx_XonXoffFlow(false);
  comm.setInx_XonXoffFlow(false);
  comm.setReadIntervalTimeout(interval);
}

void writeAll(int fd, const std::vector<uint8_t>& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n <= 0) return;
    done += size_t(n);
  }
}

std::vector<uint8_t> streamData() {
  std::vector<uint8_t> v(kStreamBytes);
  for (size_t i = 0; i < v.size(); ++i) v[i] = uint8_t(i * 131 + (i >> 9));
  return v;
}

// Seconds to move kStreamBytes through TComm to the user-interface thread.
double tcommReceiveSeconds(const std::vector<uint8_t>& data) {
  Pty pty;
  TComm comm;
  configure(comm, pty.path, 10);
  size_t total = 0;
  comm.OnReceiveData = [&](const uint8_t*, uint16_t n) { total += n; };
  comm.OpenPort();
  const auto start = Clock::now();
  std::thread module([&] { writeAll(pty.master, data); });
  while (total < data.size()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  const auto end = Clock::now();
  module.join();
  comm.ClosePort();
  return std::chrono::duration<double>(end - start).count();
}

// Seconds for a plain poll-and-read loop on the slave to take the same stream.
double plainReceiveSeconds(const std::vector<uint8_t>& data) {
  Pty pty;
  std::vector<uint8_t> buf(TComm::kMaxChunk);
  size_t total = 0;
  const auto start = Clock::now();
  std::thread module([&] { writeAll(pty.master, data); });
  while (total < data.size()) {
    pollfd p{pty.slave, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) break;
    const ssize_t n = read(pty.slave, buf.data(), buf.size());
    if (n <= 0) break;
    total += size_t(n);
  }
  const auto end = Clock::now();
  module.join();
  return std::chrono::duration<double>(end - start).count();
}

void BM_ReceiveThroughput_TComm(benchmark::State& state) {
  const auto data = streamData();
  for (auto _ : state) state.SetIterationTime(tcommReceiveSeconds(data));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kStreamBytes));
}
BENCHMARK(BM_ReceiveThroughput_TComm)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_ReceiveThroughput_PlainRead(benchmark::State& state) {
  const auto data = streamData();
  for (auto _ : state) state.SetIterationTime(plainReceiveSeconds(data));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kStreamBytes));
}
BENCHMARK(BM_ReceiveThroughput_PlainRead)->UseManualTime()->Unit(benchmark::kMillisecond);

// Both measured alternately, so a change in machine load hits both alike.
void BM_ReceiveThroughput_Ratio(benchmark::State& state) {
  const auto data = streamData();
  double tcomm = 0;
  double plain = 0;
  bool tcommFirst = true;
  for (auto _ : state) {
    double t = 0;
    double p = 0;
    if (tcommFirst) {
      t = tcommReceiveSeconds(data);
      p = plainReceiveSeconds(data);
    } else {
      p = plainReceiveSeconds(data);
      t = tcommReceiveSeconds(data);
    }
    tcommFirst = !tcommFirst;
    tcomm += t;
    plain += p;
    state.SetIterationTime(t + p);
  }
  state.counters["tcomm_MBps"] = double(state.iterations()) * kStreamBytes / tcomm / 1e6;
  state.counters["plain_MBps"] = double(state.iterations()) * kStreamBytes / plain / 1e6;
  state.counters["ratio"] = plain / tcomm;  // TComm throughput / plain throughput
}
BENCHMARK(BM_ReceiveThroughput_Ratio)
    ->UseManualTime()
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);

double threadCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

double processCpuMs() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  auto ms = [](const timeval& tv) { return tv.tv_sec * 1e3 + tv.tv_usec / 1e3; };
  return ms(ru.ru_utime) + ms(ru.ru_stime);
}

void BM_IdleWaitCpu(benchmark::State& state) {
  Pty pty;
  TComm comm;
  configure(comm, pty.path, 10);
  comm.OpenPort();
  double ui = 0;
  double process = 0;
  for (auto _ : state) {
    const double ui0 = threadCpuMs();
    const double p0 = processCpuMs();
    QEventLoop loop;
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    loop.exec();
    ui += threadCpuMs() - ui0;
    process += processCpuMs() - p0;
  }
  comm.ClosePort();
  state.counters["ui_thread_cpu_ms"] = ui / double(state.iterations());
  state.counters["process_cpu_ms"] = process / double(state.iterations());
}
BENCHMARK(BM_IdleWaitCpu)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_ReplyLatency(benchmark::State& state) {
  const uint32_t interval = uint32_t(state.range(0));
  constexpr int kReplies = 100;
  Pty pty;
  TComm comm;
  configure(comm, pty.path, interval);
  std::atomic<int> delivered{0};
  std::vector<double> latencies;
  std::atomic<int64_t> lastByteNs{0};
  comm.OnReceiveData = [&](const uint8_t*, uint16_t) {
    const int64_t now = Clock::now().time_since_epoch().count();
    latencies.push_back(double(now - lastByteNs.load()) / 1e6);
    delivered.fetch_add(1);
  };
  comm.OpenPort();
  const std::vector<uint8_t> reply(140, 0x5A);  // a typical reply with some payload
  for (auto _ : state) {
    latencies.clear();
    delivered = 0;
    std::thread module([&] {
      for (int i = 0; i < kReplies; ++i) {
        writeAll(pty.master, reply);
        lastByteNs = Clock::now().time_since_epoch().count();
        while (delivered.load() <= i) std::this_thread::sleep_for(std::chrono::microseconds(200));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
    while (delivered.load() < kReplies) {
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    module.join();
  }
  comm.ClosePort();
  std::sort(latencies.begin(), latencies.end());
  double sum = 0;
  for (double l : latencies) sum += l;
  state.counters["mean_ms"] = sum / double(latencies.size());
  state.counters["p50_ms"] = latencies[latencies.size() / 2];
  state.counters["p99_ms"] = latencies[latencies.size() * 99 / 100];
  state.counters["max_ms"] = latencies.back();
  state.counters["target_ms"] = interval + 2.0;
}
BENCHMARK(BM_ReplyLatency)->Arg(10)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
