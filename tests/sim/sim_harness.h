// Drives a ModuleSim with hand-written bytes on a test timeline.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "app/clock.h"
#include "sim/module_sim.h"

namespace ostrel::test {

// A frame as the host builds it: 0x80|N, bytes, 8-bit sum (computed here by
// hand so the tests do not lean on the code under test).
inline std::vector<uint8_t> hostFrame(std::initializer_list<uint8_t> body) {
  std::vector<uint8_t> f{uint8_t(0x80 | body.size())};
  f.insert(f.end(), body);
  unsigned s = 0;
  for (uint8_t b : f) s += b;
  f.push_back(uint8_t(s));
  return f;
}

inline uint8_t sumOf(const std::vector<uint8_t>& v) {
  unsigned s = 0;
  for (uint8_t b : v) s += b;
  return uint8_t(s);
}
inline uint8_t xorOf(const std::vector<uint8_t>& v) {
  uint8_t x = 0;
  for (uint8_t b : v) x ^= b;
  return x;
}

struct Harness {
  explicit Harness(SimConfig c) : sim(std::move(c)) {}
  ModuleSim sim;
  uint32_t now = 5000;
  std::vector<SimEmission> out;  // every emission so far, in order

  void send(const std::vector<uint8_t>& b) { sim.onHostBytes(b.data(), b.size(), now); }
  // Lets time pass, collecting what the module sends.
  void run(uint32_t ms) {
    uint32_t end = now + ms;
    while (true) {
      auto next = sim.nextEventAt();
      if (!next || !tickReached(end, *next)) break;
      if (tickBefore(now, *next)) now = *next;
      sim.advanceTo(now);
      while (auto at = sim.nextEmissionAt()) {
        if (!tickReached(now, *at)) break;
        out.push_back({*at, sim.takeEmission()});
      }
    }
    now = end;
    sim.advanceTo(now);
  }
  // Sends and returns everything that arrives within waitMs, concatenated.
  std::vector<uint8_t> exchange(const std::vector<uint8_t>& b, uint32_t waitMs = 100) {
    size_t first = out.size();
    send(b);
    run(waitMs);
    std::vector<uint8_t> all;
    for (size_t i = first; i < out.size(); ++i)
      all.insert(all.end(), out[i].bytes.begin(), out[i].bytes.end());
    return all;
  }
  // Number of emissions that arrive within waitMs after sending.
  size_t burstsAfter(size_t first) const { return out.size() - first; }
};

inline std::vector<uint8_t> pattern(uint32_t tag) {
  std::vector<uint8_t> d(65536);
  uint32_t x = 0x12345u + tag * 7919u;
  for (auto& b : d) {
    x = x * 1103515245u + 12345u;
    b = uint8_t(x >> 16);
  }
  return d;
}

}  // namespace ostrel::test
