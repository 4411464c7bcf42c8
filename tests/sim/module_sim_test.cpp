// Conformance of the simulated firmware, with hand-written host bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>

#include "sim/presets.h"
#include "tests/sim/sim_harness.h"

namespace ostrel::test {
namespace {

using Bytes = std::vector<uint8_t>;

bool framed(const SimConfig& c) {
  return c.generation == SimGeneration::Ost1 || c.generation == SimGeneration::Ost2;
}

Bytes raw7(uint8_t code, uint32_t s) {
  return {code, uint8_t(s >> 8), uint8_t(s), 0, 0, 0, 0x10};
}

// ---- the host's side of the sector commands, written out per generation

void select12(Harness& h, uint8_t s, bool second = true) {
  ASSERT_EQ(h.exchange(hostFrame({0x01, s})), hostFrame({0x41, s}));
  if (second && h.sim.config().generation == SimGeneration::Ost1) {
    ASSERT_EQ(h.exchange(hostFrame({0x02, 0x00})), hostFrame({0x42, 0x00}));
  }
}

// The erase prologue; returns after the unlock cycles.
void unlock12(Harness& h, uint8_t s) {
  select12(h, s, false);
  if (h.sim.config().generation == SimGeneration::Ost1) {
    for (uint8_t d : {0xAA, 0x55, 0x80, 0xAA, 0x55})
      ASSERT_EQ(h.exchange(hostFrame({0x05, d})), hostFrame({0x45, d}));
    return;
  }
  const uint8_t triples[5][3] = {{0xAA, 0xAA, 0xAA},
                                 {0x55, 0x55, 0x55},
                                 {0xAA, 0xAA, 0x80},
                                 {0xAA, 0xAA, 0xAA},
                                 {0x55, 0x55, 0x55}};
  for (auto& t : triples) {
    ASSERT_EQ(h.exchange(hostFrame({0x03, t[0]})), hostFrame({0x43, t[0]}));
    ASSERT_EQ(h.exchange(hostFrame({0x02, t[1]})), hostFrame({0x42, t[1]}));
    ASSERT_EQ(h.exchange(hostFrame({0x04, t[2]})), hostFrame({0x44, t[2]}));
  }
}

void eraseSector(Harness& h, uint32_t s) {
  const SimConfig& c = h.sim.config();
  if (framed(c)) {
    unlock12(h, uint8_t(s));
    uint8_t code = c.generation == SimGeneration::Ost1 ? 0x05 : 0x04;
    ASSERT_EQ(h.exchange(hostFrame({code, 0x30}), 2000), hostFrame({uint8_t(code + 0x40), 0x30}));
  } else {
    ASSERT_EQ(h.exchange({0xA2, uint8_t(s >> 8), uint8_t(s)}, 2000), Bytes{0x5A});
  }
}

// Writes a sector and returns the Ostrel I/II report (empty for III/IV).
Bytes writeSector(Harness& h, uint32_t s, const Bytes& data) {
  const SimConfig& c = h.sim.config();
  if (framed(c)) {
    select12(h, uint8_t(s));
    EXPECT_EQ(h.exchange(hostFrame({0x10, 0xFF, 0xFF})), hostFrame({0x50, 0xFF, 0xFF}));
    for (size_t off = 0; off < data.size(); off += 4096)
      h.send(Bytes(data.begin() + off, data.begin() + off + 4096));
    return h.exchange({}, 1000);
  }
  EXPECT_EQ(h.exchange(raw7(0xA0, s), 200), Bytes{0x5A});
  for (size_t off = 0; off < data.size(); off += 4096)
    EXPECT_EQ(h.exchange(Bytes(data.begin() + off, data.begin() + off + 4096)), Bytes{0x5A});
  return {};
}

Bytes readSector(Harness& h, uint32_t s, Bytes* report = nullptr) {
  const SimConfig& c = h.sim.config();
  if (framed(c)) {
    select12(h, uint8_t(s));
    EXPECT_EQ(h.exchange(hostFrame({0x20, 0xFF, 0xFF})), hostFrame({0x60, 0xFF, 0xFF}));
    size_t first = h.out.size();
    Bytes block = h.exchange({0x00});
    EXPECT_EQ(h.out.size() - first, 1u) << "the block is one burst";
    Bytes rep = h.exchange({0x00});
    if (report) *report = rep;
    return block;
  }
  EXPECT_EQ(h.exchange(raw7(0xA1, s)), Bytes{0x5A});
  Bytes all;
  for (int k = 0; k < 16; ++k) {
    Bytes piece = h.exchange({0x5A});
    EXPECT_EQ(piece.size(), 4096u);
    all.insert(all.end(), piece.begin(), piece.end());
  }
  return all;
}

SimConfig strict(SimConfig c) {
  c.strict = true;
  return c;
}

bool hasViolation(const ModuleSim& m, const std::string& part) {
  return std::any_of(m.violations().begin(), m.violations().end(),
                     [&](const SimViolation& v) { return v.text.find(part) != std::string::npos; });
}

// ---------------------------------------------------------------- per generation

struct GenCase {
  const char* name;
  SimConfig config;
};

class GenerationTest : public ::testing::TestWithParam<GenCase> {};

INSTANTIATE_TEST_SUITE_P(AllGenerations, GenerationTest,
                         ::testing::Values(GenCase{"Ost1", SimConfig::ostrel1()},
                                           GenCase{"Ost2", SimConfig::fromTypeCode(0x81)},
                                           GenCase{"Ost3", SimConfig::fromTypeCode(0x84)},
                                           GenCase{"Ost4", SimConfig::fromTypeCode(0x8B)}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(GenerationTest, PresenceCheckIsAnsweredAsAFrame) {
  Harness h(GetParam().config);
  EXPECT_EQ(h.exchange({0x81, 0x70, 0xF1}), (Bytes{0x81, 0xB0, 0x31}));
}

TEST_P(GenerationTest, SectorWrittenThenReadBackIntact) {
  Harness h(strict(GetParam().config));
  Bytes data = pattern(3);
  eraseSector(h, 5);
  Bytes report = writeSector(h, 5, data);
  if (framed(h.sim.config())) {
    EXPECT_EQ(report, hostFrame({0x7F, sumOf(data), xorOf(data)}));
  }
  Bytes readReport;
  EXPECT_EQ(readSector(h, 5, &readReport), data);
  if (framed(h.sim.config())) {
    EXPECT_EQ(readReport, hostFrame({0x7F, sumOf(data), xorOf(data)}));
  }
  EXPECT_TRUE(h.sim.violations().empty()) << h.sim.violations().front().text;
}

TEST_P(GenerationTest, WritingWithoutEraseAndsIntoTheCells) {
  Harness h(strict(GetParam().config));
  Bytes a = pattern(1), b = pattern(2), both(65536);
  for (size_t i = 0; i < both.size(); ++i) both[i] = a[i] & b[i];
  eraseSector(h, 9);
  writeSector(h, 9, a);
  Bytes report = writeSector(h, 9, b);
  Bytes back = readSector(h, 9);
  if (h.sim.config().generation == SimGeneration::Ost4) {
    // Ostrel IV erases the physical sector itself before every write.
    EXPECT_EQ(back, b);
    EXPECT_FALSE(hasViolation(h.sim, "not erased"));
  } else {
    EXPECT_EQ(back, both);
    EXPECT_TRUE(hasViolation(h.sim, "sector 9 that was not erased"));
  }
  // The Ostrel I/II report is read back from the cells: it shows the damage.
  if (framed(h.sim.config())) {
    EXPECT_EQ(report, hostFrame({0x7F, sumOf(both), xorOf(both)}));
  }
}

TEST_P(GenerationTest, CheckCommandReportsTheSectorSums) {
  Harness h(GetParam().config);
  Bytes data = pattern(7);
  eraseSector(h, 3);
  writeSector(h, 3, data);
  if (framed(h.sim.config())) select12(h, 3);
  EXPECT_EQ(h.exchange({0x81, 0x30, 0xB1}), hostFrame({0x70, sumOf(data), xorOf(data)}));
}

TEST_P(GenerationTest, FrameWithWrongChecksumIsIgnoredAndRecorded) {
  Harness h(strict(GetParam().config));
  EXPECT_TRUE(h.exchange({0x81, 0x70, 0xF0}).empty());
  EXPECT_TRUE(hasViolation(h.sim, "wrong checksum"));
  EXPECT_EQ(h.exchange({0x81, 0x70, 0xF1}), (Bytes{0x81, 0xB0, 0x31}));
}

TEST_P(GenerationTest, BytesSplitAnyHowAreParsedAsAStream) {
  Harness h(GetParam().config);
  Harness whole(GetParam().config);
  Bytes script{0x80, 0x81, 0x70, 0xF1};
  Bytes expected = whole.exchange(script);
  size_t first = h.out.size();
  for (uint8_t b : script) {
    h.send({b});
    h.run(3);
  }
  h.run(200);
  Bytes got;
  for (size_t i = first; i < h.out.size(); ++i)
    got.insert(got.end(), h.out[i].bytes.begin(), h.out[i].bytes.end());
  EXPECT_EQ(got, expected);
  EXPECT_EQ(expected.size(),
            (framed(GetParam().config) && !GetParam().config.sendTypeCode ? 11u : 12u) + 3u);
}

TEST_P(GenerationTest, PartialCommandIsDroppedAfterAQuietGap) {
  Harness h(strict(GetParam().config));
  h.send({0x81, 0x70});
  h.run(1000);
  EXPECT_TRUE(hasViolation(h.sim, "incomplete command"));
  EXPECT_EQ(h.exchange({0x81, 0x70, 0xF1}), (Bytes{0x81, 0xB0, 0x31}));
}

TEST_P(GenerationTest, SilenceAfterNCommands) {
  SimConfig c = GetParam().config;
  c.faults.silenceAfterCommands = 2;
  Harness h(c);
  EXPECT_FALSE(h.exchange({0x81, 0x70, 0xF1}).empty());
  EXPECT_FALSE(h.exchange({0x80}).empty());
  EXPECT_TRUE(h.exchange({0x81, 0x70, 0xF1}, 5000).empty());
  EXPECT_TRUE(h.exchange({0x80}, 5000).empty());
  h.sim.powerCycle();
  EXPECT_FALSE(h.exchange({0x80}).empty());
}

TEST_P(GenerationTest, BadReplyChecksumOnceThenGood) {
  SimConfig c = GetParam().config;
  c.faults.badReplyChecksum = SimRepeat::Once;
  Harness h(c);
  Bytes first = h.exchange({0x81, 0x70, 0xF1});
  EXPECT_EQ(first, (Bytes{0x81, 0xB0, 0x32}));
  EXPECT_EQ(h.exchange({0x81, 0x70, 0xF1}), (Bytes{0x81, 0xB0, 0x31}));
}

TEST_P(GenerationTest, CablePulledMidTransferStopsEverything) {
  SimConfig c = GetParam().config;
  c.faults.pullCableAfterHostBytes = 3 + 20000;  // inside the first sector's data
  Harness h(c);
  h.exchange({0x81, 0x70, 0xF1});
  if (framed(c)) {
    h.exchange(hostFrame({0x01, 4}));  // 4 bytes: the count runs past the frame
  }
  Bytes data = pattern(4);
  h.send(framed(c) ? hostFrame({0x10, 0xFF, 0xFF}) : raw7(0xA0, 4));
  h.run(50);
  h.send(data);
  h.run(2000);
  EXPECT_TRUE(h.sim.cablePulled());
  EXPECT_TRUE(h.exchange({0x80}, 2000).empty());
  EXPECT_FALSE(h.sim.nextEventAt().has_value());
}

// ---------------------------------------------------------------- identify

struct IdentifyCase {
  SimConfig config;
  Bytes expected;  // full reply with the checksum computed by hand
};

Bytes withSum(Bytes b) {
  b.push_back(sumOf(b));
  return b;
}

TEST(Identify, ReplyBytesForEveryTypeCode) {
  std::vector<IdentifyCase> cases;
  for (uint8_t t : {0x80, 0x81, 0x82, 0x83, 0x84, 0x85, 0x89, 0x8A, 0x8B, 0x00, 0x42, 0xFF}) {
    SimConfig c = SimConfig::fromTypeCode(t);
    c.identity = {0xA1, 0xB2, 0xC3, 0xD4, 0x00, 0x01, 0x51, 0x00};
    cases.push_back({c, withSum({0x8A, 0xC0, 0xA1, 0xB2, 0xC3, 0xD4, 0x00, 0x01, 0x51, 0x00, t})});
  }
  SimConfig one = SimConfig::ostrel1();
  one.identity = {1, 2, 3, 4, 5, 6, 7, 8};
  cases.push_back({one, withSum({0x89, 0xC0, 1, 2, 3, 4, 5, 6, 7, 8})});
  for (const auto& k : cases) {
    Harness h(k.config);
    Bytes reply = h.exchange({0x80});
    EXPECT_EQ(reply, k.expected) << k.config.describe();
    ASSERT_GE(reply.size(), 11u);
    EXPECT_EQ(reply[0] & 0x7F, int(reply.size()) - 2);
  }
}

TEST(Identify, TypeCodeTableGivesGenerationAndSize) {
  struct Row {
    uint8_t t;
    SimGeneration g;
    uint16_t sectors;
  };
  for (Row r : {Row{0x80, SimGeneration::Ost2, 128}, Row{0x81, SimGeneration::Ost2, 256},
                Row{0x82, SimGeneration::Ost3, 1024}, Row{0x83, SimGeneration::Ost3, 512},
                Row{0x84, SimGeneration::Ost3, 256}, Row{0x85, SimGeneration::Ost3, 2048},
                Row{0x89, SimGeneration::Ost4, 16384}, Row{0x8A, SimGeneration::Ost4, 32768},
                Row{0x8B, SimGeneration::Ost4, 59999}}) {
    SimConfig c = SimConfig::fromTypeCode(r.t);
    EXPECT_EQ(c.generation, r.g) << int(r.t);
    EXPECT_EQ(c.sectorCount, r.sectors) << int(r.t);
    EXPECT_TRUE(SimConfig::knownTypeCode(r.t));
  }
  EXPECT_FALSE(SimConfig::knownTypeCode(0x00));
  EXPECT_FALSE(SimConfig::knownTypeCode(0x86));
  EXPECT_EQ(SimConfig::fromTypeCode(0x8B).flashCapacity(), 60002u);
  EXPECT_TRUE(SimConfig::fromTypeCode(0x89).validSector(60001));
  EXPECT_FALSE(SimConfig::fromTypeCode(0x89).validSector(16385));
}

// ---------------------------------------------------------------- erase timing

TEST(EraseTiming, Ost1ChipEraseLastsTheStandardTimeAndAnswersBusy) {
  Harness h(SimConfig::ostrel1());
  Bytes data = pattern(5);
  eraseSector(h, 70);
  writeSector(h, 70, data);
  unlock12(h, 0);
  h.send(hostFrame({0x05, 0x10}));
  uint32_t start = h.now;
  size_t first = h.out.size();
  // The host resends after 1000 ms without an answer; the module says busy.
  h.run(1000);
  EXPECT_EQ(h.out.size(), first);
  EXPECT_EQ(h.exchange(hostFrame({0x05, 0x10}), 500), hostFrame({0x7E, 0x05}));
  h.run(40000);
  ASSERT_EQ(h.out.back().bytes, hostFrame({0x45, 0x10}));
  EXPECT_GE(h.out.back().atMs - start, 33600u);
  // Chip 0 is sectors 0..63; sector 70 is on chip 1 and keeps its data.
  EXPECT_EQ(readSector(h, 70), data);
  // A lone final cycle after the erase does nothing and is answered at once.
  EXPECT_EQ(h.exchange(hostFrame({0x05, 0x10})), hostFrame({0x45, 0x10}));
}

TEST(EraseTiming, FastEraseFaultAndDefaults) {
  struct Row {
    SimConfig c;
    std::optional<uint32_t> fault;
    uint32_t expected;
  };
  for (Row r :
       {Row{SimConfig::ostrel1(), std::nullopt, 34000}, Row{SimConfig::ostrel1(), 20000, 20000},
        Row{SimConfig::fromTypeCode(0x80), std::nullopt, 26000},
        Row{SimConfig::fromTypeCode(0x81), 1000, 1000}}) {
    r.c.faults.chipEraseMs = r.fault;
    Harness h(r.c);
    unlock12(h, 0);
    if (r.c.generation == SimGeneration::Ost2) {
      h.exchange(hostFrame({0x03, 0xAA}));
      h.exchange(hostFrame({0x02, 0xAA}));
    }
    uint8_t code = r.c.generation == SimGeneration::Ost1 ? 0x05 : 0x04;
    h.send(hostFrame({code, 0x10}));
    uint32_t start = h.now;
    h.run(60000);
    ASSERT_FALSE(h.out.empty());
    EXPECT_EQ(h.out.back().bytes, hostFrame({uint8_t(code + 0x40), 0x10}));
    EXPECT_NEAR(double(h.out.back().atMs - start), double(r.expected), 5.0);
  }
}

TEST(EraseTiming, Ost2BootSectorErasesOneSubBlockPerCommand) {
  Harness h(SimConfig::fromTypeCode(0x81));
  Bytes data = pattern(8);
  writeSector(h, 128, data);  // erased from the start
  unlock12(h, 128);
  EXPECT_EQ(h.exchange(hostFrame({0x02, 0x20})), hostFrame({0x42, 0x20}));
  EXPECT_EQ(h.exchange(hostFrame({0x04, 0x30}), 1000), hostFrame({0x44, 0x30}));
  Bytes expect = data;
  std::fill(expect.begin() + 8192, expect.begin() + 16384, 0xFF);
  EXPECT_EQ(readSector(h, 128), expect);
  // All eight sub-blocks, as the host does for sectors 0, 127, 128 and 255.
  for (uint8_t i = 0; i < 8; ++i) {
    unlock12(h, 128);
    h.exchange(hostFrame({0x02, uint8_t(i * 32)}));
    EXPECT_EQ(h.exchange(hostFrame({0x04, 0x30}), 1000), hostFrame({0x44, 0x30}));
  }
  EXPECT_EQ(h.sim.flash().state(128), SectorState::Erased);
}

TEST(EraseTiming, RawBlockAndChipErase) {
  for (uint8_t t : {0x84, 0x8B}) {
    Harness h(SimConfig::fromTypeCode(t));
    writeSector(h, 6, pattern(1));
    writeSector(h, 7, pattern(2));
    writeSector(h, 8, pattern(3));
    h.send({0xA2, 0x00, 0x07});
    uint32_t start = h.now;
    h.run(5000);
    EXPECT_EQ(h.out.back().bytes, Bytes{0x5A});
    EXPECT_EQ(h.out.back().atMs - start, 600u);
    // The 128 KiB block is sectors 6 and 7.
    EXPECT_EQ(h.sim.flash().state(6), SectorState::Erased);
    EXPECT_EQ(h.sim.flash().state(7), SectorState::Erased);
    EXPECT_EQ(h.sim.flash().state(8), SectorState::Programmed);
    h.send({0xA3});
    start = h.now;
    h.run(40000);
    EXPECT_EQ(h.out.back().atMs - start, 30000u);
    EXPECT_EQ(h.sim.flash().usedSectors(), 0u);
  }
}

// ---------------------------------------------------------------- quality control

TEST(QualityControl, Ost12StepRepliesAndCheck) {
  for (SimConfig c : {SimConfig::ostrel1(), SimConfig::fromTypeCode(0x80)}) {
    Harness h(c);
    EXPECT_EQ(h.exchange({0x82, 0xA0, 0x04, 0x26}, 500), hostFrame({0xE0, 0, 0}));
    EXPECT_EQ(h.exchange(hostFrame({0xB0, 0x04}), 500), hostFrame({0xF0, 0, 0}));
    select12(h, 4);
    EXPECT_EQ(h.exchange({0x81, 0x30, 0xB1}), hostFrame({0x70, 0, 0}));
    // Step 1 on a sector that is not blank does not pass.
    Bytes r = h.exchange(hostFrame({0xA0, 0x04}), 500);
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(r[1], 0xE0);
    EXPECT_TRUE(r[2] != 0 || r[3] != 0);
    // Step 2 over other data fails too.
    writeSector(h, 6, pattern(6));
    r = h.exchange(hostFrame({0xB0, 0x06}), 500);
    ASSERT_EQ(r.size(), 5u);
    EXPECT_TRUE(r[2] != 0 || r[3] != 0);
  }
}

struct QcCase {
  SimConfig config;
  uint8_t step;
  size_t marks;
};

TEST(QualityControl, RawStepsSendTheMarksTheProgressFormulasExpect) {
  SimConfig ost3 = SimConfig::fromTypeCode(0x84);
  ost3.sectorCount = 8;
  SimConfig ost4 = SimConfig::fromTypeCode(0x89);
  for (QcCase k : {QcCase{ost3, 0xA5, 24}, QcCase{ost3, 0xA6, 16}, QcCase{ost4, 0xA5, 384},
                   QcCase{ost4, 0xA6, 256}}) {
    Harness h(k.config);
    h.send({k.step, 0x33});
    uint32_t start = h.now;
    h.run(60000);
    // The step is accepted with 'Z' once the module is ready, then reported.
    ASSERT_EQ(h.out.size(), k.marks + 2);
    EXPECT_EQ(h.out.front().bytes, Bytes{0x5A});
    EXPECT_GE(h.out.front().atMs - start, 1000u);
    std::string seq;
    for (size_t i = 1; i <= k.marks; ++i) {
      ASSERT_EQ(h.out[i].bytes.size(), 1u);
      seq += char(h.out[i].bytes[0]);
      EXPECT_GE(h.out[i].atMs - h.out[i - 1].atMs, 30u) << "reports must be separate bursts";
    }
    std::string unit = k.step == 0xA5 ? "[[\\" : "[\\";
    std::string expected;
    while (expected.size() < k.marks) expected += unit;
    EXPECT_EQ(seq, expected);
    EXPECT_EQ(h.out.back().bytes, (Bytes{0x5A, 0x33}));
    EXPECT_GE(h.out.back().atMs - h.out[k.marks].atMs, 30u);
    SectorState after = k.step == 0xA5 ? SectorState::Erased : SectorState::LoopPattern;
    EXPECT_EQ(h.sim.flash().state(0), after);
    if (k.config.generation == SimGeneration::Ost4) {
      EXPECT_EQ(h.sim.flash().state(60001), after);
    }
  }
}

TEST(QualityControl, InjectedFailureEndsInD0AfterTheChosenMark) {
  struct Row {
    QcFailure f;
    uint8_t step;
    std::string marks;
  };
  for (Row r :
       {Row{QcFailure::AfterOpenBracket, 0xA5, "Z["}, Row{QcFailure::AfterBackslash, 0xA5, "Z[[\\"},
        Row{QcFailure::AfterBackslash, 0xA6, "Z[\\"}}) {
    SimConfig c = SimConfig::fromTypeCode(0x84);
    c.faults.qcFailure = r.f;
    Harness h(c);
    h.send({r.step, 0x01});
    h.run(60000);
    std::string seq;
    for (size_t i = 0; i + 1 < h.out.size(); ++i) seq += char(h.out[i].bytes.at(0));
    EXPECT_EQ(seq, r.marks);
    EXPECT_EQ(h.out.back().bytes, Bytes{0xD0});
    // The module takes commands again afterwards.
    EXPECT_EQ(h.exchange({0x81, 0x70, 0xF1}), (Bytes{0x81, 0xB0, 0x31}));
  }
}

TEST(QualityControl, LoopStepOverDataFailsAtTheCheck) {
  SimConfig c = SimConfig::fromTypeCode(0x84);
  c.sectorCount = 4;
  Harness h(c);
  writeSector(h, 2, pattern(2));
  size_t first = h.out.size();
  h.send({0xA6, 0x09});
  h.run(60000);
  std::string seq;
  for (size_t i = first; i + 1 < h.out.size(); ++i) seq += char(h.out[i].bytes.at(0));
  EXPECT_EQ(seq, "Z[\\[\\[");
  EXPECT_EQ(h.out.back().bytes, Bytes{0xD0});
}

// ---------------------------------------------------------------- faults

TEST(Faults, ChunkNotAcknowledgedOnceThenResent) {
  SimConfig c = strict(SimConfig::fromTypeCode(0x84));
  c.faults.chunkNack = SimFaults::ChunkNack{4, 3, SimRepeat::Once};
  Harness h(c);
  Bytes data = pattern(9);
  EXPECT_EQ(h.exchange(raw7(0xA0, 4)), Bytes{0x5A});
  for (int k = 0; k < 16; ++k) {
    Bytes chunk(data.begin() + k * 4096, data.begin() + (k + 1) * 4096);
    Bytes r = h.exchange(chunk, 1000);
    if (k == 3) {
      EXPECT_TRUE(r.empty());
      r = h.exchange(chunk, 1000);  // the host sends it again
    }
    EXPECT_EQ(r, Bytes{0x5A}) << k;
  }
  EXPECT_EQ(readSector(h, 4), data);
  EXPECT_TRUE(h.sim.violations().empty());
}

TEST(Faults, ChunkNeverAcknowledgedThenTheResentCommandIsTaken) {
  SimConfig c = strict(SimConfig::fromTypeCode(0x89));
  c.faults.chunkNack = SimFaults::ChunkNack{10, 2, SimRepeat::Always};
  Harness h(c);
  Bytes data = pattern(10);
  EXPECT_EQ(h.exchange(raw7(0xA0, 10)), Bytes{0x5A});
  for (int k = 0; k < 3; ++k)
    h.exchange(Bytes(data.begin() + k * 4096, data.begin() + (k + 1) * 4096), 1000);
  EXPECT_TRUE(h.exchange(Bytes(data.begin() + 8192, data.begin() + 12288), 1000).empty());
  h.run(7000);  // the host pauses, then writes the sector anew on another physical sector
  // The module still waits for chunk 2: the command's bytes are data of that
  // chunk, dropped when the line goes quiet; the host sends the command again
  // after its 5000 ms reply wait, and that one is taken.
  EXPECT_TRUE(h.exchange(raw7(0xA0, 11), 5000).empty());
  EXPECT_EQ(h.exchange(raw7(0xA0, 11), 1000), Bytes{0x5A});
  for (int k = 0; k < 16; ++k)
    EXPECT_EQ(h.exchange(Bytes(data.begin() + k * 4096, data.begin() + (k + 1) * 4096)),
              Bytes{0x5A});
  EXPECT_EQ(readSector(h, 11), data);
}

TEST(Faults, WrongSumOnceThenRightAndAlways) {
  for (SimRepeat rep : {SimRepeat::Once, SimRepeat::Always}) {
    SimConfig c = SimConfig::ostrel1();
    c.faults.wrongSum = rep;
    Harness h(c);
    Bytes data = pattern(11);
    Bytes wrong = hostFrame({0x7F, uint8_t(sumOf(data) + 1), uint8_t(xorOf(data) ^ 1)});
    Bytes right = hostFrame({0x7F, sumOf(data), xorOf(data)});
    EXPECT_EQ(writeSector(h, 2, data), wrong);
    eraseSector(h, 2);
    EXPECT_EQ(writeSector(h, 2, data), rep == SimRepeat::Once ? right : wrong);
  }
}

TEST(Faults, StrictModeRecordsHostViolations) {
  struct Row {
    SimConfig c;
    Bytes script;
    std::string expected;
  };
  std::vector<Row> rows = {
      {SimConfig::ostrel1(), hostFrame({0x66}), "unknown command 0x66"},
      {SimConfig::ostrel1(), {0x81, 0x70, 0x00}, "wrong checksum"},
      {SimConfig::ostrel1(), {0x12, 0x34, 0x56}, "3 data bytes without a command"},
      {SimConfig::fromTypeCode(0x84), {0x5A}, "chunk request 5A without a read"},
      {SimConfig::fromTypeCode(0x84), {0x42, 0x00}, "unknown command 0x42"},
      {SimConfig::fromTypeCode(0x84), {0xA0, 0x00, 0x05, 1, 2, 3, 4}, "malformed command 0xA0"},
      {SimConfig::fromTypeCode(0x84), raw7(0xA1, 256), "out of range"},
      {SimConfig::fromTypeCode(0x80), hostFrame({0x10, 0xFF, 0xFF}), "without a selected sector"},
  };
  for (auto& r : rows) {
    Harness h(strict(r.c));
    h.exchange(r.script, 1000);
    EXPECT_TRUE(hasViolation(h.sim, r.expected)) << r.expected;
    Harness quiet(r.c);
    quiet.exchange(r.script, 1000);
    EXPECT_TRUE(quiet.sim.violations().empty()) << "recorded only in strict mode";
  }
}

// The host sends a write and then only part of its data before going quiet:
// the bytes are data, however much they look like commands. They must be
// dropped, never run, and the module must wait for a new command.
// The whole chunk sent again afterwards must not be run either.
TEST(Faults, DataTheHostGaveUpOnIsDroppedNeverRun) {
  // Ostrel I/II: frames that would select sector 4 and erase it, as data.
  auto eraseFrames = [](bool ost1) {
    std::vector<Bytes> frames{hostFrame({0x01, 0x04})};
    if (ost1) {
      for (uint8_t d : {0xAA, 0x55, 0x80, 0xAA, 0x55, 0x30}) frames.push_back(hostFrame({0x05, d}));
    } else {
      const uint8_t address[5] = {0xAA, 0x55, 0xAA, 0xAA, 0x55};
      const uint8_t data[5] = {0xAA, 0x55, 0x80, 0xAA, 0x55};
      for (int i = 0; i < 5; ++i) {
        frames.push_back(hostFrame({0x03, address[i]}));
        frames.push_back(hostFrame({0x02, address[i]}));
        frames.push_back(hostFrame({0x04, data[i]}));
      }
      frames.push_back(hostFrame({0x04, 0x30}));
    }
    Bytes all;
    for (const Bytes& f : frames) all.insert(all.end(), f.begin(), f.end());
    return all;
  };
  struct Row {
    const char* what;
    SimConfig config;
    Bytes head;  // the first bytes of the data
  } rows[] = {
      {"Ostrel III block erase", SimConfig::fromTypeCode(0x84), {0xA2, 0x00, 0x04}},
      {"Ostrel III quality control", SimConfig::fromTypeCode(0x84), {0xA5, 0x01}},
      {"Ostrel IV block erase", SimConfig::fromTypeCode(0x89), {0xA2, 0x00, 0x0B}},
      {"Ostrel IV quality control", SimConfig::fromTypeCode(0x89), {0xA5, 0x01}},
      {"Ostrel IV write (erases first)", SimConfig::fromTypeCode(0x89), raw7(0xA0, 0x0B)},
      {"Ostrel I erase frames", SimConfig::ostrel1(), eraseFrames(true)},
      {"Ostrel II erase frames", SimConfig::fromTypeCode(0x81), eraseFrames(false)},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    Harness h(strict(r.config));
    ASSERT_TRUE(applySimPreset(SimPreset::Demo, h.sim.config(), h.sim.flash()));
    std::map<uint32_t, Bytes> before;
    for (uint32_t s = 0; s < h.sim.flash().capacity(); ++s)
      if (h.sim.flash().state(s) != SectorState::Erased) before[s] = h.sim.flash().read(s);
    ASSERT_GE(before.size(), 38u);  // the demo holds sectors 0..25 and 32..43

    // A write to free sector 30, then 1027 bytes of its data, then nothing.
    if (framed(r.config)) {
      select12(h, 30);
      ASSERT_EQ(h.exchange(hostFrame({0x10, 0xFF, 0xFF})), hostFrame({0x50, 0xFF, 0xFF}));
    } else {
      ASSERT_EQ(h.exchange(raw7(0xA0, 30)), Bytes{0x5A});
    }
    Bytes data = r.head;
    data.resize(4096, 0x00);
    EXPECT_TRUE(h.exchange(Bytes(data.begin(), data.begin() + 1027), 5000).empty());
    EXPECT_TRUE(hasViolation(h.sim, "stopped after 1027"));
    // Ostrel III/IV: after its reply wait the host sends the whole chunk again;
    // the module no longer waits for data, and a burst is no command either.
    if (!framed(r.config)) EXPECT_TRUE(h.exchange(data, 5000).empty());

    std::map<uint32_t, Bytes> after;
    for (uint32_t s = 0; s < h.sim.flash().capacity(); ++s)
      if (h.sim.flash().state(s) != SectorState::Erased) after[s] = h.sim.flash().read(s);
    EXPECT_TRUE(after == before) << "the flash changed";
    // Back in command mode: the next command is answered, not taken as data.
    EXPECT_EQ(h.exchange({0x81, 0x70, 0xF1}), (Bytes{0x81, 0xB0, 0x31}));
  }
}

TEST(Faults, RawDataBurstIsNeverTakenForAChipErase) {
  Harness h(strict(SimConfig::fromTypeCode(0x84)));
  writeSector(h, 3, pattern(3));
  // A stray data burst that starts like a chip erase.
  Bytes junk(100, 0x00);
  junk[0] = 0xA3;
  h.exchange(junk, 40000);
  EXPECT_EQ(h.sim.flash().state(3), SectorState::Programmed);
  EXPECT_TRUE(hasViolation(h.sim, "malformed command 0xA3"));
}

TEST(Ost4Commands, FatFormsWithAndWithoutTheLogicalSector) {
  Harness h(strict(SimConfig::fromTypeCode(0x8A)));
  Bytes data = pattern(12);
  Bytes nine{0xA7, 0x7F, 0xFE, 0, 0, 0, 0x10, 0x00, 0x01};
  EXPECT_EQ(h.exchange(nine, 30), Bytes{0x5A});
  for (int k = 0; k < 16; ++k) {
    EXPECT_EQ(h.exchange(Bytes(data.begin() + k * 4096, data.begin() + (k + 1) * 4096)),
              Bytes{0x5A});
  }
  // The seven-byte form waits for quiet, then is taken as it is.
  Bytes seven{0xA8, 0x7F, 0xFE, 0, 0, 0, 0x10};
  EXPECT_TRUE(h.exchange(seven, 100).empty());
  EXPECT_EQ(h.exchange({}, 1000), Bytes{0x5A});
  Bytes back;
  for (int k = 0; k < 16; ++k) {
    Bytes piece = h.exchange({0x5A});
    back.insert(back.end(), piece.begin(), piece.end());
  }
  EXPECT_EQ(back, data);
  EXPECT_TRUE(h.sim.violations().empty());
  // Sector 32768 is the top of the pool; 32769 is not a sector of this module.
  EXPECT_EQ(h.exchange(raw7(0xA1, 32768)), Bytes{0x5A});
  EXPECT_EQ(h.exchange({0x81, 0x70, 0xF1}), (Bytes{0x81, 0xB0, 0x31}));
  EXPECT_EQ(h.exchange(raw7(0xA1, 32769)), Bytes{0xD0});
}

TEST(Robustness, RandomStreamsNeverBreakTheFirmware) {
  uint32_t x = 0xC0FFEEu;
  auto next = [&] {
    x = x * 1664525u + 1013904223u;
    return x >> 8;
  };
  for (SimConfig c : {SimConfig::ostrel1(), SimConfig::fromTypeCode(0x80),
                      SimConfig::fromTypeCode(0x85), SimConfig::fromTypeCode(0x8B)}) {
    c.strict = true;
    c.timings.chipEraseMs = 50;
    c.timings.qcMarkIntervalMs = 1;
    c.timings.qcStartMs = 1;
    Harness h(c);
    for (int round = 0; round < 300; ++round) {
      Bytes b(next() % 5000);
      // Mostly command-like bytes, so the parser goes deep.
      const uint8_t hot[] = {0x80, 0x81, 0x82, 0x83, 0xA0, 0xA1, 0xA2,
                             0xA7, 0xA8, 0x5A, 0x00, 0x10, 0xFF};
      for (auto& v : b) v = next() % 3 ? hot[next() % sizeof hot] : uint8_t(next());
      h.send(b);
      h.run(next() % 700);
    }
    h.run(200000);
    h.sim.powerCycle();
    EXPECT_EQ(h.exchange({0x80}).size(), c.sendTypeCode ? 12u : 11u) << c.describe();
  }
}

// ---------------------------------------------------------------- link speed

TEST(LinkSpeed, ThroughputLimitDelaysBursts) {
  SimConfig c = SimConfig::fromTypeCode(0x84);
  c.timings.throughputBytesPerSec = 1200;
  Harness h(c);
  uint32_t start = h.now;
  h.exchange({0x80});
  ASSERT_EQ(h.out.size(), 1u);
  // The probe's byte crosses (0.83 ms), reply delay, 12 bytes at 1200 B/s.
  EXPECT_EQ(h.out[0].atMs - start, 1u + 2u + 10u);
  ASSERT_TRUE(h.sim.flash().program(1, 0, pattern(1)));
  h.exchange(raw7(0xA1, 1));
  uint32_t sent = h.now;
  h.exchange({0x5A}, 5000);
  EXPECT_EQ(h.out.back().atMs - sent, 1u + 2u + 3414u);  // the request's byte, then 4096 bytes
}

// Drives the microsecond timeline as a driver waiting to the microsecond
// does; returns when each emission is due, in microseconds after `sent`.
std::vector<uint32_t> emissionTimesUs(ModuleSim& sim, const std::vector<Bytes>& sent) {
  const int64_t start = 7'000'000'123;  // any steady-clock reading, off the millisecond
  for (const Bytes& b : sent) sim.onHostBytesUs(b.data(), b.size(), start);
  std::vector<uint32_t> at;
  while (auto next = sim.nextEventAtUs()) {
    if (*next - start > 70'000'000) break;
    sim.advanceToUs(*next);
    while (auto due = sim.nextEmissionAtUs()) {
      if (*due > *next) break;
      at.push_back(uint32_t(*due - start));
      sim.takeEmission();
    }
  }
  return at;
}

// With no firmware time a reply leaves once the last byte of what asked for
// it has crossed the line, and arrives once its own last byte has: at
// 1000 B/s a byte takes a millisecond each way on the tick timeline, at
// 1000000 B/s a microsecond on the microsecond one, with nothing rounded up
// to a whole millisecond; the times are the same numbers.
TEST(LinkSpeed, HostBytesTakeTheirLineTimeBeforeTheModuleActs) {
  struct Case {
    const char* what;
    SimConfig config;
    std::vector<Bytes> sent;          // all at the same instant, in this order
    std::vector<uint32_t> repliesAt;  // ms (or us) after sending
  };
  const Bytes chunk(4096, 0x3C);
  const Case cases[] = {
      {"identify probe", SimConfig::fromTypeCode(0x84), {{0x80}}, {1 + 12}},
      {"raw write command and its first chunk back to back",
       SimConfig::fromTypeCode(0x89),
       {raw7(0xA0, 2), chunk},
       {7 + 1, 7 + 4096 + 1}},
      {"framed select, write command and a sector's data back to back",
       SimConfig::fromTypeCode(0x81),
       {hostFrame({0x01, 2}), hostFrame({0x10, 0xFF, 0xFF}), pattern(7)},
       {4 + 4, 4 + 5 + 5, 4 + 5 + 65536 + 5}},
  };
  for (const Case& k : cases) {
    for (const bool micro : {false, true}) {
      SCOPED_TRACE(std::string(k.what) + (micro ? ", 1000000 B/s in microseconds" : ""));
      SimConfig c = k.config;
      c.strict = true;
      c.timings.throughputBytesPerSec = micro ? 1000000 : 1000;
      c.timings.replyDelayMs = c.timings.chunkAckDelayMs = c.timings.programMs = 0;
      c.timings.ost4WriteEraseMs = 0;
      Harness h(c);
      std::vector<uint32_t> at;
      if (micro) {
        at = emissionTimesUs(h.sim, k.sent);
      } else {
        const uint32_t start = h.now;
        for (const Bytes& b : k.sent) h.send(b);
        h.run(70000);
        for (const SimEmission& e : h.out) at.push_back(e.atMs - start);
      }
      EXPECT_EQ(at, k.repliesAt);
      EXPECT_TRUE(h.sim.violations().empty());
    }
  }
}

// ---------------------------------------------------------------- demo preset

uint16_t be16(const Bytes& b, size_t off) {
  return uint16_t(b[off] << 8 | b[off + 1]);
}
std::string text(const Bytes& b, size_t off, size_t n) {
  std::string s;
  for (size_t i = 0; i < n && b[off + i]; ++i) s += char(b[off + i]);
  return s;
}

TEST(DemoPreset, FatAndMappingTableAsTheCartridgeHoldsThem) {
  for (SimConfig c :
       {SimConfig::ostrel1(), SimConfig::fromTypeCode(0x84), SimConfig::fromTypeCode(0x8B)}) {
    Harness h(c);
    ASSERT_TRUE(applySimPreset(SimPreset::Demo, c, h.sim.flash()));
    const bool ost4 = c.generation == SimGeneration::Ost4;
    uint32_t fatPhys = 1;
    if (ost4) {
      Bytes table = readSector(h, 60000);
      Bytes second = readSector(h, 60001);
      table.insert(table.end(), second.begin(), second.end());
      EXPECT_EQ(text(table, 131072 - 32, 8), "MORVANTE");
      uint16_t sum = 0;
      for (size_t i = 0; i < 65535; ++i) sum = uint16_t(sum + be16(table, 2 * i));
      EXPECT_EQ(be16(table, 131070), sum);
      EXPECT_NE(be16(table, 0), kSimUnmappedSector);
      fatPhys = be16(table, 2);
      EXPECT_NE(fatPhys, 1u) << "the demo mapping is not the identity";
      EXPECT_EQ(be16(table, 2 * 26), kSimUnmappedSector) << "free sectors are unmapped";
    }
    Bytes fat = readSector(h, fatPhys);
    EXPECT_EQ(fat[0], 0xA1);
    EXPECT_EQ(fat[1], 0x1E);
    EXPECT_EQ(be16(fat, 2), 0x0200);
    EXPECT_EQ(be16(fat, 4), c.sectorCount);
    uint16_t n = be16(fat, 106);
    ASSERT_GE(n, 12);
    EXPECT_EQ(text(fat, 108 + 2, 26), "OBDII");
    EXPECT_EQ(be16(fat, 108 + 80), 0);
    int aliases = 0, deepest = 0;
    std::vector<std::pair<uint16_t, uint16_t>> runs;
    for (int k = 1; k <= n; ++k) {
      size_t off = 108 + (k - 1) * 212;
      EXPECT_EQ(fat[off], 2);
      std::string path = text(fat, off + 85, 94);
      deepest = std::max<int>(
          deepest, path.empty() ? 0 : 1 + int(std::count(path.begin(), path.end(), '\\')));
      uint16_t start = be16(fat, off + 80), count = be16(fat, off + 82);
      if (!runs.empty() && runs.back().first == start)
        ++aliases;
      else
        runs.push_back({start, count});
      // Sector data carries its name and logical number.
      if (k > 1 && ost4 == false) {
        Bytes d = readSector(h, start);
        std::string head = text(d, 0, 64);
        EXPECT_NE(head.find("|L=" + std::to_string(start) + "|"), std::string::npos) << head;
      }
    }
    EXPECT_EQ(aliases, 1);
    EXPECT_EQ(deepest, 4);
    bool gap = false;
    for (size_t i = 1; i < runs.size(); ++i)
      gap |= runs[i].first > runs[i - 1].first + runs[i - 1].second;
    EXPECT_TRUE(gap);
  }
}

}  // namespace
}  // namespace ostrel::test
