// The in-process transport on a virtual clock.
#include "sim/sim_transport.h"

#include <gtest/gtest.h>

#include "tests/sim/sim_harness.h"

namespace ostrel::test {
namespace {

using Bytes = std::vector<uint8_t>;

struct Rig {
  VirtualClock clock{1000};
  SimTransport port{clock};
  std::vector<std::pair<uint32_t, Bytes>> chunks;
  Rig() {
    port.OnReceiveData = [this](const uint8_t* b, uint16_t n) {
      chunks.push_back({clock.tick(), Bytes(b, b + n)});
    };
  }
  void open(const std::string& name) {
    port.setCommName(name);
    port.OpenPort();
  }
  bool send(const Bytes& b) { return port.SendBytes(b.data(), uint16_t(b.size())); }
  // Waits until n chunks have arrived or ms have passed.
  bool waitChunks(size_t n, uint32_t ms) {
    return clock.waitUntil([&] { return chunks.size() >= n; }, clock.tick() + ms);
  }
};

TEST(SimTransport, OpenPortErrorsCarryTheComponentsTexts) {
  Rig r;
  r.port.addModule("/dev/ttyACM0", SimConfig::fromTypeCode(0x84));
  r.port.addModule("/dev/ttyACM1", SimConfig::fromTypeCode(0x84));
  r.port.setPortBusy("/dev/ttyACM1", true);
  struct Row {
    std::string name;
    const char* text;
  };
  for (Row row : {Row{"/dev/nothing", "Error opening serial port"},
                  Row{"/dev/ttyACM1", "Error opening serial port"}}) {
    r.port.setCommName(row.name);
    try {
      r.port.OpenPort();
      ADD_FAILURE() << row.name;
    } catch (const ECommsError& e) {
      EXPECT_STREQ(e.what(), row.text);
    }
    EXPECT_FALSE(r.port.isOpen());
  }
  r.open("/dev/ttyACM0");
  try {
    r.port.OpenPort();
    ADD_FAILURE();
  } catch (const ECommsError& e) {
    EXPECT_STREQ(e.what(), "This serial port already opened");
  }
  r.port.ClosePort();
  EXPECT_FALSE(r.send({0x80})) << "closed ports refuse bytes";
  r.open("/dev/ttyACM0");
  EXPECT_TRUE(r.port.isOpen());
}

TEST(SimTransport, EachBurstIsOneChunkAtItsVirtualTime) {
  Rig r;
  SimConfig c = SimConfig::fromTypeCode(0x84);
  c.sectorCount = 4;
  r.port.addModule("p", c);
  r.open("p");
  EXPECT_TRUE(r.send({0x80}));
  ASSERT_TRUE(r.waitChunks(1, 1000));
  EXPECT_EQ(r.chunks[0].first, 1002u);
  EXPECT_EQ(r.chunks[0].second.size(), 12u);
  r.chunks.clear();
  r.send({0xA5, 0x07});
  // The acceptance, twelve marks and the end, each a chunk of its own.
  ASSERT_TRUE(r.waitChunks(14, 10000));
  for (size_t i = 0; i < 13; ++i) EXPECT_EQ(r.chunks[i].second.size(), 1u);
  EXPECT_EQ(r.chunks[13].second, (Bytes{0x5A, 0x07}));
  EXPECT_EQ(r.port.sentLog().size(), 2u);
  EXPECT_EQ(r.port.sentLog()[1].bytes, (Bytes{0xA5, 0x07}));
}

TEST(SimTransport, A64KiBBlockArrivesInTwoComponentSizedChunks) {
  Rig r;
  auto m = r.port.addModule("p", SimConfig::ostrel1());
  m->flash().program(3, 0, pattern(3));
  r.open("p");
  r.send(hostFrame({0x01, 3}));
  r.send(hostFrame({0x02, 0}));
  r.send(hostFrame({0x20, 0xFF, 0xFF}));
  ASSERT_TRUE(r.waitChunks(3, 1000));
  r.send({0x00});
  ASSERT_TRUE(r.waitChunks(5, 1000));
  EXPECT_EQ(r.chunks[3].second.size(), 32768u);
  EXPECT_EQ(r.chunks[4].second.size(), 32768u);
  Bytes all = r.chunks[3].second;
  all.insert(all.end(), r.chunks[4].second.begin(), r.chunks[4].second.end());
  EXPECT_EQ(all, pattern(3));
}

TEST(SimTransport, ClosePortDropsWhatIsOnTheWayButTheModuleWorksOn) {
  Rig r;
  auto m = r.port.addModule("p", SimConfig::fromTypeCode(0x84));
  m->flash().program(2, 0, pattern(2));
  r.open("p");
  r.send({0xA2, 0x00, 0x02});  // answered after 600 ms
  r.port.ClosePort();
  r.clock.advance(2000);
  EXPECT_EQ(m->flash().state(2), SectorState::Erased);
  r.open("p");
  r.clock.advance(2000);
  EXPECT_TRUE(r.chunks.empty());
  r.send({0x81, 0x70, 0xF1});
  ASSERT_TRUE(r.waitChunks(1, 1000));
  EXPECT_EQ(r.chunks[0].second, (Bytes{0x81, 0xB0, 0x31}));
}

TEST(SimTransport, CablePulledThenReplugged) {
  Rig r;
  r.port.addModule("p", SimConfig::fromTypeCode(0x8B));
  r.open("p");
  r.send({0xA0, 0x00, 0x05, 0, 0, 0, 0x10});
  r.waitChunks(1, 1000);
  r.port.pullCable();
  EXPECT_TRUE(r.port.cablePulled());
  EXPECT_FALSE(r.send(Bytes(4096, 0x11)));
  r.clock.advance(5000);
  EXPECT_EQ(r.chunks.size(), 1u);
  r.port.ClosePort();
  r.port.setCommName("p");
  EXPECT_THROW(r.port.OpenPort(), ECommsError);
  EXPECT_TRUE(r.port.portNames().empty());
  r.port.replug("p");
  r.open("p");
  r.send({0x80});
  EXPECT_TRUE(r.waitChunks(2, 1000));
}

TEST(SimTransport, ModuleFaultPullsTheCable) {
  Rig r;
  SimConfig c = SimConfig::fromTypeCode(0x84);
  c.faults.pullCableAfterHostBytes = 100;
  r.port.addModule("p", c);
  r.open("p");
  r.send({0xA0, 0x00, 0x05, 0, 0, 0, 0x10});
  r.waitChunks(1, 1000);
  r.send(Bytes(4096, 0x00));
  EXPECT_TRUE(r.port.cablePulled());
  r.clock.advance(3000);
  EXPECT_EQ(r.chunks.size(), 1u);
}

TEST(SimTransport, LineSettingsAreChecked) {
  Rig r;
  SimConfig c = SimConfig::fromTypeCode(0x81);
  c.strict = true;
  auto m = r.port.addModule("p", c);
  r.port.setCheckLineSettings(true);
  r.port.setBaudRate(9600);
  r.port.setParity(TParity::Mark);
  r.port.setStopBits(TStopBits::_1);
  r.open("p");
  r.send({0x80});
  EXPECT_TRUE(m->violations().empty());
  r.send({0x81, 0x70, 0xF1});  // still at probe settings
  EXPECT_EQ(m->violations().size(), 1u);
  r.port.ClosePort();
  r.port.setBaudRate(230400);
  r.port.setStopBits(TStopBits::_2);
  r.open("p");
  r.send({0x81, 0x70, 0xF1});
  EXPECT_EQ(m->violations().size(), 1u);
}

TEST(SimTransport, ModelledHostLineTime) {
  Rig r;
  r.port.addModule("p", SimConfig::fromTypeCode(0x84));
  r.port.setHostBytesPerSec(23040);
  r.open("p");
  r.send({0xA0, 0x00, 0x04, 0, 0, 0, 0x10});
  ASSERT_TRUE(r.waitChunks(1, 1000));
  uint32_t t0 = r.clock.tick();
  r.send(Bytes(4096, 0x5A));
  ASSERT_TRUE(r.waitChunks(2, 1000));
  EXPECT_EQ(r.chunks[1].first - t0, 178u + 3u);  // 4096 bytes at 23040 B/s, then the ack
}

}  // namespace
}  // namespace ostrel::test

namespace ostrel::test {
namespace {

// A host that sends frames the way the program's link layer is meant to:
// retries until TotalTime; with TotalTime 200000 it counts silent attempts and
// pauses 500 ms after an answer with another code.
struct FramedHost {
  Rig& r;
  Bytes reply;
  size_t count = 0;
  bool complete = false;
  explicit FramedHost(Rig& rig) : r(rig) {
    r.port.OnReceiveData = [this](const uint8_t* b, uint16_t n) {
      for (uint16_t i = 0; i < n && count < 128; ++i) {
        if (reply.size() <= count) reply.resize(count + 1);
        reply[count++] = b[i];
      }
      if (!reply.empty() && count == size_t(reply[0] & 0x7F) + 2 &&
          sumOf(Bytes(reply.begin(), reply.begin() + count - 1)) == reply[count - 1])
        complete = true;
    };
  }
  bool send(const Bytes& frame, uint32_t replyWait, uint32_t total, int budget = 5) {
    uint32_t deadline = r.clock.tick() + total;
    int retries = budget;
    while (tickBefore(r.clock.tick(), deadline)) {
      complete = false;
      count = 0;
      reply.clear();
      r.send(frame);
      r.clock.waitUntil([&] { return complete; }, r.clock.tick() + replyWait);
      if (complete && reply[1] == uint8_t(frame[1] + 0x40)) return true;
      if (complete) {
        if (total == 200000) {
          retries = budget;
          r.clock.sleep(500);
        }
        continue;
      }
      if (total == 200000 && retries-- == 0) return false;
    }
    return false;
  }
};

TEST(SimTransport, HostWithCountedRetriesSurvivesALongChipErase) {
  for (std::optional<uint32_t> fast : {std::optional<uint32_t>{}, std::optional<uint32_t>{20000}}) {
    Rig r;
    SimConfig c = SimConfig::ostrel1();
    c.faults.chipEraseMs = fast;
    auto m = r.port.addModule("p", c);
    m->flash().program(10, 0, pattern(1));
    r.open("p");
    FramedHost host(r);
    ASSERT_TRUE(host.send(hostFrame({0x01, 0x00}), 1000, 2000));
    for (uint8_t d : {0xAA, 0x55, 0x80, 0xAA, 0x55})
      ASSERT_TRUE(host.send(hostFrame({0x05, d}), 1000, 2000));
    uint32_t start = r.clock.tick();
    ASSERT_TRUE(host.send(hostFrame({0x05, 0x10}), 1000, 200000));
    uint32_t took = r.clock.tick() - start;
    uint32_t erase = fast ? *fast : 34000;
    EXPECT_GE(took, erase);
    EXPECT_LT(took, erase + 1600);
    EXPECT_EQ(m->flash().state(10), SectorState::Erased);
  }
}

}  // namespace
}  // namespace ostrel::test
