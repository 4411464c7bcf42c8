// Sector commands against scripted modules: the exact bytes sent, the
// retries, the fault codes and the operator-log lines, in virtual time.
#include <gtest/gtest.h>

#include <map>

#include "app/fault_codes.h"
#include "flash_rig.h"

namespace ostrel::test {
namespace {

constexpr SectorSource kPackage = SectorSource::PackageImage;

// An Ostrel III/IV module reduced to what the sector commands need: sector
// writes in chunks, reads in pieces, block and chip erase.
struct RawModule {
  std::map<uint16_t, Bytes> sectors;  // missing: erased
  int mode = 0;                       // 0 command, 1 write chunks, 2 read pieces
  uint16_t sector = 0;
  int piece = 0;
  int chunksSeen = 0;                        // data chunks received in all
  std::function<bool(int chunk)> dropChunk;  // true: the chunk gets no answer
  size_t pieceSize = 4096;                   // bytes sent per piece request
  bool answerPieces = true;
  int commandsAnswered = 1 << 30;  // then silent

  Bytes content(uint16_t s) const {
    auto it = sectors.find(s);
    return it == sectors.end() ? Bytes(65536, 0xFF) : it->second;
  }
  Replies operator()(const Bytes& b) {
    if (mode == 1 && b.size() == 4096) {
      ++chunksSeen;
      if (dropChunk && dropChunk(chunksSeen)) {
        mode = 0;
        return {};
      }
      Bytes& s = sectors[sector];
      for (size_t i = 0; i < 4096; ++i) s[size_t(piece) * 4096 + i] &= b[i];
      if (++piece == 16) mode = 0;
      return {{3, Bytes{0x5A}}};
    }
    if (mode == 2 && b == Bytes{0x5A}) {
      if (!answerPieces) return {};
      Bytes all = content(sector);
      Bytes p(pieceSize, 0xFF);
      std::copy_n(all.begin() + piece * 4096, std::min<size_t>(4096, pieceSize), p.begin());
      if (++piece == 16) mode = 0;
      return {{3, p}};
    }
    if (b.size() == 4096) return {};  // a chunk nobody asked for
    if (commandsAnswered-- <= 0) return {};
    const uint16_t s = b.size() >= 3 ? uint16_t(b[1] << 8 | b[2]) : 0;
    switch (b[0]) {
      case 0xA0:
      case 0xA7:
        sector = s;
        if (!sectors.count(s)) sectors[s] = Bytes(65536, 0xFF);
        mode = 1;
        piece = 0;
        break;
      case 0xA1:
      case 0xA8:
        sector = s;
        mode = 2;
        piece = 0;
        break;
      case 0xA2:
        sectors.erase(uint16_t(s & ~1));
        sectors.erase(uint16_t(s | 1));
        break;
      case 0xA3:
        sectors.clear();
        break;
      case 0x81:  // the presence check, a frame
        return b == Bytes{0x81, 0x70, 0xF1} ? Replies{{2, Bytes{0x81, 0xB0, 0x31}}} : Replies{};
      default:
        return {};
    }
    return {{2, Bytes{0x5A}}};
  }
};

Bytes rawCommand(uint8_t code, uint16_t sector) {
  return {code, uint8_t(sector >> 8), uint8_t(sector), 0, 0, 0, 0x10};
}

void fillStream(MemoryStream& stream, size_t offset, const Bytes& data) {
  if (stream.Size() < offset) stream.SetSize(offset);
  stream.Seek(offset);
  stream.Write(data);
}

// ---------------------------------------------------------------- every generation

TEST(SectorWrite, RecordWithBothFlagsClearSendsNothingOnEveryGeneration) {
  for (uint8_t gen : {0, 1, 2, 3}) {
    ScriptRig rig(gen, 64);
    rig.comm.responder = ackEverything;
    rig.form->MappingTable.words[5] = 7;
    rig.form->MappingTable.physicalSectorInUse[7] = 1;
    EXPECT_TRUE(rig.form->Function_ProgramSector(5, false, false)) << int(gen);
    EXPECT_TRUE(rig.comm.sent.empty()) << int(gen);
    EXPECT_TRUE(rig.form->StaticText_Status2.text.empty()) << int(gen);
    EXPECT_EQ(rig.form->MappingTable.words[5], 7) << int(gen);
    EXPECT_FALSE(rig.form->Flag_test_busy);
  }
}

TEST(SectorWrite, SectorWithoutRecordFailsWithoutTraffic) {
  for (uint8_t gen : {0, 1, 2, 3}) {
    ScriptRig rig(gen, 16, 2);  // customer build: no message boxes
    rig.comm.responder = ackEverything;
    EXPECT_FALSE(rig.form->Function_ProgramSector(16, false, false)) << int(gen);
    EXPECT_TRUE(rig.comm.sent.empty()) << int(gen);
    EXPECT_EQ(rig.form->StaticText_Status2.text, "Fault code:0032") << int(gen);
  }
}

// ---------------------------------------------------------------- Ostrel I/II write

struct Ost12Module {
  int wrongReports = 0;  // this many reports carry a wrong sum
  bool silentAfterData = false;
  size_t dataBytes = 0;
  Bytes data;
  Replies operator()(const Bytes& b) {
    if (dataBytes > 0) {
      data.insert(data.end(), b.begin(), b.end());
      dataBytes -= std::min(dataBytes, b.size());
      if (dataBytes > 0 || silentAfterData) return {};
      uint8_t sum = byteSum(data);
      if (wrongReports-- > 0) ++sum;
      return {{120, moduleFrame({0x7F, sum, byteXor(data)})}};
    }
    if (!isFrame(b)) return {};
    if (b[1] == 0x10) {
      dataBytes = 65536;
      data.clear();
    }
    return {{2, moduleFrame({uint8_t(b[1] + 0x40), b[2]})}};
  }
};

TEST(SectorWrite, Ost12WrongReportRetriesUpToTheBudgetThenFaults0031) {
  struct Case {
    uint8_t gen;
    int buildMode;
    int wrongReports;
    bool ok;
    size_t passes;
  } cases[] = {
      {0, 0, 100, false, 5},
      {1, 2, 100, false, 10},
      {0, 0, 1, true, 2},
      {1, 0, 4, true, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "gen " << int(c.gen) << " wrong " << c.wrongReports);
    ScriptRig rig(c.gen, 256, c.buildMode);
    Ost12Module module;
    module.wrongReports = c.wrongReports;
    rig.comm.responder = std::ref(module);
    const Bytes data = sectorPattern(10);
    fillStream(rig.form->FlashImage, 10 * 65536, data);
    BlockRecord& r = rig.form->BlockTable[10];
    r = {1, 1, byteSum(data), byteXor(data), 0};

    EXPECT_EQ(rig.form->Function_ProgramSector(10, false, false), c.ok);
    EXPECT_EQ(rig.countSent({0x83, 0x10, 0xFF, 0xFF, 0x91}), c.passes);
    // Every pass erases first (the final erase command differs per generation).
    EXPECT_EQ(
        rig.countSent(c.gen == 0 ? Bytes{0x82, 0x05, 0x30, 0xB7} : Bytes{0x82, 0x04, 0x30, 0xB6}),
        c.passes);
    EXPECT_EQ(module.data, data);  // the last pass sent the sector unchanged
    const bool ost1 = c.gen == 0;
    EXPECT_EQ(rig.countSent({0x82, 0x02, 0x00, 0x84}) > 0, ost1);
    if (!c.ok) {
      EXPECT_EQ(rig.form->StaticText_Status2.text, "Fault code:0031");
      EXPECT_EQ(rig.form->Memo1.lines.back(), "Error sector No. : 0A");
    } else {
      EXPECT_FALSE(rig.memoHas("Fault code:0031"));
    }
  }
}

TEST(SectorWrite, Ost12SilentModuleAfterTheDataGives0032WithoutAnotherPass) {
  for (uint8_t gen : {0, 1}) {
    ScriptRig rig(gen);
    Ost12Module module;
    module.silentAfterData = true;
    rig.comm.responder = std::ref(module);
    fillStream(rig.form->FlashImage, 3 * 65536, sectorPattern(3));
    rig.form->BlockTable[3].writeFlag = 1;
    const uint32_t start = rig.clock.tick();
    EXPECT_FALSE(rig.form->Function_ProgramSector(3, false, false));
    EXPECT_EQ(rig.countSent({0x83, 0x10, 0xFF, 0xFF, 0x91}), 1u);
    EXPECT_GE(rig.clock.tick() - start, 20000u);
    EXPECT_EQ(rig.form->StaticText_Status2.text, "Fault code:0032");
  }
}

TEST(SectorWrite, Ost12EraseFailingThreeTimesGives0030AndNoWrite) {
  ScriptRig rig(0);
  rig.comm.responder = [](const Bytes& b) -> Replies {
    if (isFrame(b) && b[1] == 0x05 && b[2] == 0x30) return {};  // the erase never ends
    return ackEverything(b);
  };
  rig.form->BlockTable[9] = {1, 1, 0, 0, 0};
  fillStream(rig.form->FlashImage, 9 * 65536, sectorPattern(9));
  EXPECT_FALSE(rig.form->Function_ProgramSector(9, false, false));
  EXPECT_EQ(rig.countSent({0x82, 0x05, 0x30, 0xB7}),
            3u * 6u);  // 3 erases, 6 tries each under counted retries
  EXPECT_EQ(rig.countSent({0x83, 0x10, 0xFF, 0xFF, 0x91}), 0u);
  EXPECT_EQ(rig.form->StaticText_Status2.text, "Fault code:0030");
}

// ---------------------------------------------------------------- Ostrel III write

TEST(SectorWrite, Ost3ChunkNotAcknowledgedRetriesThenFaults0032) {
  struct Case {
    int dropEvery;  // drop chunk n of every pass when n matches, 0: never
    bool dropAll;
    bool ok;
  } cases[] = {{0, false, true}, {3, false, true}, {0, true, false}};
  for (const auto& c : cases) {
    ScriptRig rig(2);
    RawModule module;
    int dropped = 0;
    module.dropChunk = [&](int n) {
      if (c.dropAll) return true;
      if (c.dropEvery && n == c.dropEvery && dropped == 0) return ++dropped > 0;
      return false;
    };
    rig.comm.responder = std::ref(module);
    const Bytes data = sectorPattern(40);
    fillStream(rig.form->PackageImage, 2 * 65536, data);
    rig.form->BlockTable[8] = {1, 0, 0, 0, 2, kPackage};
    EXPECT_EQ(rig.form->Function_ProgramSector(8, false, false), c.ok);
    const size_t commands = rig.countSent(rawCommand(0xA0, 8));
    if (c.ok) {
      EXPECT_EQ(module.content(8), data);
      EXPECT_EQ(commands, c.dropEvery ? 2u : 1u);
    } else {
      EXPECT_EQ(commands, 5u);
      EXPECT_EQ(rig.form->StaticText_Status2.text, "Fault code:0032");
    }
  }
}

TEST(SectorWrite, Ost3EraseFailureLogs0030Then0032) {
  ScriptRig rig(2);
  RawModule module;
  rig.comm.responder = [&](const Bytes& b) -> Replies {
    if (b.size() == 3 && b[0] == 0xA2) return {};  // the block erase is never acknowledged
    return module(b);
  };
  rig.form->BlockTable[4] = {1, 1, 0, 0, 0, kPackage};
  rig.form->BlockTable[5].eraseFlag = 1;  // so the erase needs no partner read
  fillStream(rig.form->PackageImage, 0, sectorPattern(0));
  EXPECT_FALSE(rig.form->Function_ProgramSector(4, false, false));
  EXPECT_EQ(rig.countSent({0xA2, 0x00, 0x04}), 3u);
  EXPECT_EQ(rig.countSent(rawCommand(0xA0, 4)), 0u);
  const auto& lines = rig.form->Memo1.lines;
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "Fault code:0030");
  EXPECT_EQ(lines.back(), "Fault code:0032");
  EXPECT_EQ(rig.form->StaticText_Status2.text, "Fault code:0032");
}

TEST(SectorWrite, Ost3FatSectorComesFromTheFlashImage) {
  ScriptRig rig(2);
  RawModule module;
  rig.comm.responder = std::ref(module);
  const Bytes fat = sectorPattern(1);
  fillStream(rig.form->FlashImage, 65536, fat);
  rig.form->BlockTable[1] = {1, 0, 0, 0, 77};  // sourceBlock is not used for sector 1
  EXPECT_TRUE(rig.form->Function_ProgramSector(1, false, false));
  EXPECT_EQ(rig.commands().front(), rawCommand(0xA7, 1));
  EXPECT_EQ(module.content(1), fat);
}

TEST(SectorWrite, Ost3CommandNotAcknowledgedGivesNoFurtherPass) {
  ScriptRig rig(2);
  rig.comm.responder = [](const Bytes&) { return Replies{}; };
  fillStream(rig.form->PackageImage, 0, sectorPattern(0));
  rig.form->BlockTable[8] = {1, 0, 0, 0, 0, kPackage};
  EXPECT_FALSE(rig.form->Function_ProgramSector(8, false, false));
  EXPECT_EQ(rig.countSent(rawCommand(0xA0, 8)), 2u);  // one exchange: two tries in 2000 ms
  EXPECT_EQ(rig.form->Memo1.lines.back(), "Fault code:0032");
}

// ---------------------------------------------------------------- Ostrel IV write

struct Ost4Rig : ScriptRig {
  explicit Ost4Rig(int buildMode = 0) : ScriptRig(3, 16, buildMode) {
    comm.responder = std::ref(module);
    fillStream(form->PackageImage, 0, sectorPattern(0));
    // logical 0 -> 0, 1 -> 1, 5 -> 2, 6 -> 3
    const std::pair<uint16_t, uint16_t> maps[] = {{0, 0}, {1, 1}, {5, 2}, {6, 3}};
    for (auto [l, p] : maps) {
      form->MappingTable.words[l] = p;
      form->MappingTable.physicalSectorInUse[p] = 1;
    }
  }
  RawModule module;
};

TEST(SectorWrite, Ost4AllocatesTheLowestFreePhysicalSector) {
  struct Case {
    const char* what;
    uint16_t logical;
    uint8_t eraseFlag;
    int freeFirst;  // physical sector freed beforehand, -1 none
    uint16_t physical;
  } cases[] = {
      {"release then reuse the same sector", 5, 1, -1, 2},
      {"a lower free sector wins", 5, 1, 1, 1},
      {"no release: the next free sector", 7, 0, -1, 4},
      {"no release keeps the old sector in use", 6, 0, -1, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Ost4Rig rig;
    const uint16_t old = rig.form->MappingTable.words[c.logical];
    if (c.freeFirst >= 0) {
      rig.form->MappingTable.physicalSectorInUse[size_t(c.freeFirst)] = 0;
      rig.form->MappingTable.words[1] = UNMAPPED_SECTOR;
    }
    rig.form->BlockTable[c.logical] = {1, c.eraseFlag, 0, 0, 0, kPackage};
    EXPECT_TRUE(rig.form->Function_ProgramSector(c.logical, false, false));
    ASSERT_FALSE(rig.commands().empty());
    EXPECT_EQ(rig.commands().front(), rawCommand(0xA0, c.physical));
    EXPECT_EQ(rig.form->MappingTable.words[c.logical], c.physical);
    EXPECT_EQ(rig.form->MappingTable.physicalSectorInUse[c.physical], 1);
    if (old != UNMAPPED_SECTOR && old != c.physical) {
      EXPECT_EQ(rig.form->MappingTable.physicalSectorInUse[old], c.eraseFlag ? 0 : 1);
    }
    EXPECT_EQ(rig.module.content(c.physical), sectorPattern(0));
    EXPECT_FALSE(rig.form->Flag_test_busy);
  }
}

TEST(SectorWrite, Ost4EraseFlagAloneUnmapsAndFreesOnlyPoolSectors) {
  struct Case {
    const char* what;
    uint16_t oldWord;
    bool oldFreed;
  } cases[] = {
      {"pool sector", 2, true},
      {"above SectorCount", 17, false},
      {"already unmapped", UNMAPPED_SECTOR, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Ost4Rig rig;
    rig.form->MappingTable.words[5] = c.oldWord;
    rig.form->MappingTable.physicalSectorInUse[c.oldWord] = 1;
    rig.form->BlockTable[5] = {0, 1, 0, 0, 0};
    EXPECT_TRUE(rig.form->Function_ProgramSector(5, false, false));
    EXPECT_TRUE(rig.comm.sent.empty());
    EXPECT_EQ(rig.form->MappingTable.words[5], UNMAPPED_SECTOR);
    EXPECT_EQ(rig.form->MappingTable.physicalSectorInUse[c.oldWord], c.oldFreed ? 0 : 1);
  }
}

TEST(SectorWrite, Ost4FatAndDirectWritesUseTheirSourcesAndCommandForms) {
  Ost4Rig rig;
  const Bytes fat = sectorPattern(101), tableHigh = sectorPattern(102);
  fillStream(rig.form->FlashImage, 65536, fat);
  fillStream(rig.form->MappingImage, 0, sectorPattern(103));
  fillStream(rig.form->MappingImage, 65536, tableHigh);
  rig.form->BlockTable[1] = {1, 1, 0, 0, 0};

  EXPECT_TRUE(rig.form->Function_ProgramSector(1, false, true));
  // Release of 1 frees physical 1, the lowest free one.
  EXPECT_EQ(rig.commands().back(), (Bytes{0xA7, 0x00, 0x01, 0, 0, 0, 0x10, 0x00, 0x01}));
  EXPECT_EQ(rig.module.content(1), fat);

  const auto before = rig.form->MappingTable.words;
  EXPECT_TRUE(rig.form->Function_ProgramSector(60001, true, false));
  EXPECT_EQ(rig.commands().back(), rawCommand(0xA0, 60001));
  EXPECT_EQ(rig.module.content(60001), tableHigh);
  EXPECT_TRUE(rig.form->MappingTable.words == before);
}

TEST(SectorWrite, Ost4WithoutFreePhysicalSectorFails0032WithoutSending) {
  Ost4Rig rig;
  for (size_t p = 0; p <= 16; ++p) rig.form->MappingTable.physicalSectorInUse[p] = 1;
  rig.form->BlockTable[9] = {1, 0, 0, 0, 0, kPackage};
  const uint32_t start = rig.clock.tick();
  EXPECT_FALSE(rig.form->Function_ProgramSector(9, false, false));
  EXPECT_TRUE(rig.comm.sent.empty());
  EXPECT_EQ(rig.form->StaticText_Status2.text, "Fault code:0032");
  EXPECT_EQ(rig.form->MappingTable.words[9], UNMAPPED_SECTOR);
  // The dispatcher's second attempt, 7000 ms later, with its two warnings.
  EXPECT_EQ(rig.clock.tick() - start, 7000u);
  ASSERT_EQ(rig.host.boxes.size(), 2u);
  EXPECT_EQ(rig.host.boxes[0].text, "四代卡匣紅色警戒，寫入磁區失敗，再寫一次");
  EXPECT_EQ(rig.host.boxes[1].text, "四代卡匣紅色警戒，寫入磁區失敗，第二次失敗");
}

TEST(SectorWrite, Ost4ThirdChunkNotAcknowledgedWaitsAndRewritesTheWholeSector) {
  Ost4Rig rig;
  rig.module.dropChunk = [](int n) { return n == 3; };
  const Bytes data = sectorPattern(55);
  fillStream(rig.form->PackageImage, 65536, data);
  rig.form->BlockTable[5] = {1, 1, 0, 0, 1, kPackage};
  EXPECT_TRUE(rig.form->Function_ProgramSector(5, false, false));
  EXPECT_TRUE(rig.memoHas("send_write_pkg_no_response,pkg: 8192"));

  // Commands: the first write, then the rewrite of the same physical sector.
  std::vector<size_t> commandAt;
  for (size_t i = 0; i < rig.comm.sent.size(); ++i)
    if (rig.comm.sent[i].bytes.size() == 7) commandAt.push_back(i);
  ASSERT_EQ(commandAt.size(), 2u);
  EXPECT_EQ(rig.comm.sent[commandAt[0]].bytes, rig.comm.sent[commandAt[1]].bytes);
  const auto& third = rig.comm.sent[commandAt[0] + 3];
  EXPECT_EQ(third.bytes, Bytes(data.begin() + 8192, data.begin() + 12288));
  // 1000 ms for the unanswered chunk, the presence check that the module
  // takes commands again (answered in 2 ms), then the 7000 ms pause.
  EXPECT_EQ(rig.countSent({0x81, 0x70, 0xF1}), 1u);
  EXPECT_EQ(rig.comm.sent[commandAt[1]].tick - third.tick, 8002u);
  EXPECT_EQ(rig.comm.sent.size() - commandAt[1], 17u);
  EXPECT_EQ(rig.module.content(2), data);
  EXPECT_EQ(rig.form->MappingTable.words[5], 2);
  EXPECT_TRUE(rig.host.boxes.empty());
}

TEST(SectorWrite, Ost4DispatcherMakesASecondAttemptAfterSevenSeconds) {
  struct Case {
    int buildMode;
    size_t passes;
    size_t boxes;
  } cases[] = {{0, 5, 2}, {2, 10, 0}};
  for (const auto& c : cases) {
    Ost4Rig rig(c.buildMode);
    rig.module.dropChunk = [](int) { return true; };
    rig.form->BlockTable[7] = {1, 0, 0, 0, 0, kPackage};
    EXPECT_FALSE(rig.form->Function_ProgramSector(7, false, false));
    EXPECT_EQ(rig.countSent(rawCommand(0xA0, 4)), 2 * c.passes);
    EXPECT_EQ(rig.host.boxes.size(), c.boxes);
    EXPECT_EQ(rig.form->StaticText_Status2.text, "Fault code:0032");
    // Nothing stays allocated for data that never arrived.
    EXPECT_EQ(rig.form->MappingTable.words[7], UNMAPPED_SECTOR);
    EXPECT_EQ(rig.form->MappingTable.physicalSectorInUse[4], 0);
    EXPECT_FALSE(rig.form->Flag_test_busy);
  }
}

TEST(SectorWrite, Ost4BusyGuardRefusesASecondWrite) {
  Ost4Rig rig(2);
  rig.form->Flag_test_busy = true;
  rig.form->BlockTable[7] = {1, 0, 0, 0, 0, kPackage};
  EXPECT_FALSE(rig.form->OST4_Function_ProgramSector(7, false, false));
  EXPECT_TRUE(rig.comm.sent.empty());
  ASSERT_EQ(rig.host.boxes.size(), 1u);  // shown in every build mode
  EXPECT_EQ(rig.host.boxes[0].text, "ost4_program_sector-- (Flag_test_busy  = TRUE)");
  EXPECT_TRUE(rig.form->Flag_test_busy);  // still owned by the running write
  EXPECT_EQ(rig.form->MappingTable.words[7], UNMAPPED_SECTOR);
}

TEST(SectorWrite, Ost4WriteStartedDuringAnotherIsRefused) {
  Ost4Rig rig;
  rig.form->BlockTable[7] = {1, 0, 0, 0, 0, kPackage};
  rig.form->BlockTable[8] = {1, 0, 0, 0, 0, kPackage};
  bool nested = true;
  // Something handled while the first write waits for an acknowledgement.
  rig.clock.schedule(1, [&] { nested = rig.form->OST4_Function_ProgramSector(8, false, false); });
  EXPECT_TRUE(rig.form->OST4_Function_ProgramSector(7, false, false));
  EXPECT_FALSE(nested);
  ASSERT_EQ(rig.host.boxes.size(), 1u);
  EXPECT_EQ(rig.host.boxes[0].text, "ost4_program_sector-- (Flag_test_busy  = TRUE)");
  EXPECT_EQ(rig.form->MappingTable.words[8], UNMAPPED_SECTOR);
  EXPECT_FALSE(rig.form->Flag_test_busy);
  EXPECT_TRUE(rig.form->OST4_Function_ProgramSector(8, false, false));  // free again afterwards
}

TEST(SectorWrite, Ost4SendsTheNineByteFatCommandAndLogsItsSilence) {
  Ost4Rig rig;
  rig.module.commandsAnswered = 0;
  fillStream(rig.form->FlashImage, 65536, sectorPattern(1));
  rig.form->BlockTable[1] = {1, 0, 0, 0, 0};
  EXPECT_FALSE(rig.form->OST4_Function_ProgramSector(1, false, true));
  EXPECT_EQ(rig.countSent({0xA7, 0x00, 0x04, 0, 0, 0, 0x10, 0x00, 0x01}),
            2u);  // 10000 ms in 5000 ms tries
  EXPECT_TRUE(rig.memoHas("send_write_command_no_response"));
  EXPECT_EQ(rig.form->Memo1.lines.back(), "Fault code:0032");
}

// ---------------------------------------------------------------- erase

TEST(SectorErase, Ost3BlockErasePartnerRules) {
  struct Case {
    const char* what;
    uint16_t sector;
    bool partnerMarked;
    std::vector<Bytes> commands;  // besides 5A piece requests
  } cases[] = {
      {"even, odd partner marked", 4, true, {{0xA2, 0x00, 0x04}}},
      {"odd, even partner marked", 5, true, {}},
      {"even, partner kept",
       4,
       false,
       {rawCommand(0xA1, 5), {0xA2, 0x00, 0x04}, rawCommand(0xA0, 5)}},
      {"odd, partner kept",
       5,
       false,
       {rawCommand(0xA1, 4), {0xA2, 0x00, 0x05}, rawCommand(0xA0, 4)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (uint8_t gen : {2, 3}) {
      ScriptRig rig(gen);
      RawModule module;
      const uint16_t partner = uint16_t(c.sector ^ 1);
      module.sectors[partner] = sectorPattern(partner);
      module.sectors[c.sector] = sectorPattern(c.sector);
      rig.comm.responder = std::ref(module);
      rig.form->BlockTable[partner].eraseFlag = c.partnerMarked;
      rig.form->BlockTable[c.sector].eraseFlag = 1;
      EXPECT_TRUE(rig.form->Erase_Flash(1, c.sector));
      std::vector<Bytes> commands;
      for (const Bytes& b : rig.commands())
        if (b != Bytes{0x5A}) commands.push_back(b);
      EXPECT_EQ(commands, c.commands);
      if (!c.partnerMarked) {
        EXPECT_EQ(module.content(partner), sectorPattern(partner));
        EXPECT_EQ(module.content(c.sector), Bytes(65536, 0xFF));
      }
    }
  }
}

TEST(SectorErase, Ost3PartnerThatCannotBeReadIsNotErased) {
  ScriptRig rig(2);
  RawModule module;
  module.answerPieces = false;
  module.sectors[5] = sectorPattern(5);
  rig.comm.responder = std::ref(module);
  EXPECT_FALSE(rig.form->Erase_Flash(1, 4));
  EXPECT_EQ(rig.countSent({0xA2, 0x00, 0x04}), 0u);
  EXPECT_EQ(module.content(5), sectorPattern(5));
}

TEST(SectorErase, Ost2BootBlocksAreErasedInEightPieces) {
  for (uint16_t sector : {0, 127, 128, 255, 1, 126, 129, 254}) {
    SCOPED_TRACE(sector);
    ScriptRig rig(1);
    rig.comm.responder = ackEverything;
    EXPECT_TRUE(rig.form->Erase_Flash(1, sector));
    const bool boot = sector % 128 == 0 || sector % 128 == 127;
    const auto commands = rig.commands();
    std::vector<uint8_t> addresses;
    for (size_t i = 0; i < commands.size(); ++i) {
      if (framedBody(commands[i]) != Bytes{0x82, 0x04, 0x30}) continue;
      ASSERT_GE(i, 16u);
      Bytes before = framedBody(commands[i - 1]);
      if (boot) {
        ASSERT_EQ(before[1], 0x02);
        addresses.push_back(before[2]);
      } else {
        EXPECT_EQ(before, (Bytes{0x82, 0x04, 0x55}));  // straight after the prologue
        addresses.push_back(0);
      }
    }
    if (boot) {
      EXPECT_EQ(addresses, (std::vector<uint8_t>{0x00, 0x20, 0x40, 0x60, 0x80, 0xA0, 0xC0, 0xE0}));
      EXPECT_EQ(commands.size(), 8u * 18u);
    } else {
      EXPECT_EQ(addresses.size(), 1u);
      EXPECT_EQ(commands.size(), 17u);
    }
    EXPECT_EQ(framedBody(commands[0]), (Bytes{0x82, 0x01, uint8_t(sector)}));
  }
}

TEST(SectorErase, Ost1CommandCyclesAndRefusedCycle) {
  ScriptRig rig(0);
  rig.comm.responder = ackEverything;
  EXPECT_TRUE(rig.form->Erase_Flash(1, 0x41));
  std::vector<Bytes> bodies;
  for (const Bytes& b : rig.commands()) bodies.push_back(framedBody(b));
  EXPECT_EQ(bodies, (std::vector<Bytes>{{0x82, 0x01, 0x41},
                                        {0x82, 0x05, 0xAA},
                                        {0x82, 0x05, 0x55},
                                        {0x82, 0x05, 0x80},
                                        {0x82, 0x05, 0xAA},
                                        {0x82, 0x05, 0x55},
                                        {0x82, 0x05, 0x30}}));

  ScriptRig refused(0);
  refused.comm.responder = [](const Bytes& b) -> Replies {
    if (isFrame(b) && b[2] == 0x80) return {};
    return ackEverything(b);
  };
  EXPECT_FALSE(refused.form->Erase_Flash(0, 0));
  EXPECT_EQ(refused.countSent({0x82, 0x05, 0x10, 0x97}), 0u);
}

TEST(SectorErase, Ost3ChipEraseIsOneCommand) {
  ScriptRig rig(3);
  RawModule module;
  module.sectors[9] = sectorPattern(9);
  rig.comm.responder = std::ref(module);
  EXPECT_TRUE(rig.form->Erase_Flash(0, 0));
  EXPECT_EQ(rig.commands(), (std::vector<Bytes>{{0xA3}}));
  EXPECT_TRUE(module.sectors.empty());
}

// ---------------------------------------------------------------- read

TEST(SectorRead, RawReadReturnsExactlyOneSector) {
  struct Case {
    uint8_t gen;
    uint16_t sector;
    bool direct;
    Bytes command;
  } cases[] = {
      {2, 9, false, rawCommand(0xA1, 9)},
      {2, 1, false, rawCommand(0xA8, 1)},
      {3, 6, false, rawCommand(0xA1, 3)},
      {3, 1, false, {0xA8, 0x00, 0x01, 0, 0, 0, 0x10, 0x00, 0x01}},
      {3, 60000, true, rawCommand(0xA1, 60000)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sector);
    ScriptRig rig(c.gen, 16);
    RawModule module;
    const uint16_t physical = uint16_t(c.command[1] << 8 | c.command[2]);
    module.sectors[physical] = sectorPattern(physical);
    rig.comm.responder = std::ref(module);
    rig.form->MappingTable.words[6] = 3;
    rig.form->MappingTable.words[1] = 1;
    rig.form->Function_ReadSector(c.sector, c.direct);
    EXPECT_EQ(rig.commands().front(), c.command);
    EXPECT_EQ(rig.countSent({0x5A}), 16u);
    ASSERT_EQ(rig.form->ReadBuffer.Size(), 65536u);
    EXPECT_EQ(Bytes(rig.form->ReadBuffer.Bytes().begin(), rig.form->ReadBuffer.Bytes().end()),
              sectorPattern(physical));
    EXPECT_EQ(rig.form->ReceiveMode, 1);
    EXPECT_TRUE(rig.form->StaticText_Status2.text.empty());
  }
}

TEST(SectorRead, MoreThanOneSectorOfDataFails0056) {
  // 4097: the pass ends on unanswered requests; 30000: on a full ReadBuffer.
  for (auto [gen, piece] : {std::pair{2, 4097}, {3, 4097}, {2, 30000}, {3, 30000}}) {
    ScriptRig rig{uint8_t(gen)};
    RawModule module;
    module.pieceSize = size_t(piece);
    rig.comm.responder = std::ref(module);
    rig.form->Function_ReadSector(9, true);
    EXPECT_EQ(rig.form->ReadBuffer.Size(), 0u);
    EXPECT_EQ(rig.form->StaticText_Status2.text, "Fault code:0056");
    EXPECT_EQ(rig.form->ReceiveMode, 1);
  }
}

// A logical sector that maps to no sector of the cartridge is not asked for:
// the read fails at once instead of resending for the whole time limit.
TEST(SectorRead, Ost4LogicalSectorWithoutPhysicalSectorFailsAtOnce) {
  for (uint16_t word : {UNMAPPED_SECTOR, uint16_t(17), uint16_t(60000), uint16_t(0xFFFF)}) {
    SCOPED_TRACE(word);
    ScriptRig rig(3, 16);
    rig.comm.responder = ackEverything;
    rig.form->MappingTable.words[5] = word;
    rig.form->ReadBuffer.Write(sectorPattern(0));
    const uint32_t start = rig.clock.tick();
    rig.form->Function_ReadSector(5, false);
    EXPECT_TRUE(rig.comm.sent.empty());
    EXPECT_EQ(rig.clock.tick(), start);
    EXPECT_EQ(rig.form->ReadBuffer.Size(), 0u);
    EXPECT_EQ(rig.form->StaticText_Status2.text, "Fault code:0056");
  }
}

TEST(SectorRead, UnansweredChunkRequestsEndThePassAfterABound) {
  ScriptRig rig(2);
  RawModule module;
  module.answerPieces = false;
  module.commandsAnswered = 1;  // the read command of the first pass only
  rig.comm.responder = std::ref(module);
  const uint32_t start = rig.clock.tick();
  rig.form->Function_ReadSector(9, false);
  EXPECT_EQ(rig.countSent({0x5A}), 3u * 2u);  // three requests, two tries each
  EXPECT_EQ(rig.countSent(rawCommand(0xA1, 9)),
            1u + 2u);  // the second pass's command goes unanswered
  EXPECT_EQ(rig.clock.tick() - start, 3u * 2000u + 2000u + 2u);
  EXPECT_EQ(rig.form->StaticText_Status2.text, "Fault code:0056");
  EXPECT_EQ(rig.form->ReadBuffer.Size(), 0u);
}

TEST(SectorRead, FirstCommandUnansweredLeavesFaultPrefixAlone) {
  for (uint8_t gen : {0, 1, 2, 3}) {
    ScriptRig rig(gen);
    rig.comm.responder = [](const Bytes&) { return Replies{}; };
    rig.form->MappingTable.words[4] = 4;
    rig.form->ReadBuffer.Write(sectorPattern(0));
    rig.form->Function_ReadSector(4, false);
    EXPECT_EQ(rig.form->StaticText_Status2.text, "Fault code:") << int(gen);
    EXPECT_EQ(rig.form->ReadBuffer.Size(), 0u);
  }
}

// An Ostrel I/II module that serves reads; the block and report are scripted.
struct Ost12ReadModule {
  Bytes block;
  size_t extraBytes = 0;
  bool surplusInLastPiece = false;  // else the surplus comes after the block
  int reportOffset = 0;             // added to the reported sum
  bool report = true;
  int stage = 0;  // 0 command, 1 after 0x20, 2 block sent
  Replies operator()(const Bytes& b) {
    if (stage == 1 && b == Bytes{0x00}) {
      stage = 2;
      Bytes all = block;
      all.insert(all.end(), extraBytes, 0x00);
      if (surplusInLastPiece)
        return {{10, Bytes(all.begin(), all.begin() + 32768)},
                {11, Bytes(all.begin() + 32768, all.end())}};
      Replies r;
      for (size_t off = 0; off < all.size(); off += 32768)
        r.push_back({uint32_t(10 + off / 32768),
                     Bytes(all.begin() + off, all.begin() + std::min(all.size(), off + 32768))});
      return r;
    }
    if (stage == 2 && b == Bytes{0x00}) {
      stage = 0;
      if (!report) return {};
      return {{5, moduleFrame({0x7F, uint8_t(byteSum(block) + reportOffset), byteXor(block)})}};
    }
    if (!isFrame(b)) return {};
    if (b[1] == 0x20) stage = 1;
    return {{2, moduleFrame({uint8_t(b[1] + 0x40), b[2]})}};
  }
};

TEST(SectorRead, Ost12ReadOutcomes) {
  struct Case {
    const char* what;
    uint8_t gen;
    size_t extra;
    int reportOffset;
    bool report;
    const char* fault;  // nullptr: success
  } cases[] = {
      {"good", 0, 0, 0, true, nullptr},
      {"good on Ostrel II", 1, 0, 0, true, nullptr},
      {"report differs", 0, 0, 1, true, "Fault code:0055"},
      {"no report", 1, 0, 0, false, "Fault code:0056"},
      {"surplus byte after the block", 0, 1, 0, true, "Fault code:0056"},
      {"surplus byte inside the block", 1, 1, 0, true, "Fault code:0057"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptRig rig(c.gen);
    Ost12ReadModule module;
    module.block = sectorPattern(0x21);
    module.extraBytes = c.extra;
    module.surplusInLastPiece = c.gen == 1;
    module.reportOffset = c.reportOffset;
    module.report = c.report;
    rig.comm.responder = std::ref(module);
    rig.form->Function_ReadSector(0x21, false);
    EXPECT_EQ(rig.form->ReceiveMode, 1);
    if (!c.fault) {
      EXPECT_EQ(Bytes(rig.form->ReadBuffer.Bytes().begin(), rig.form->ReadBuffer.Bytes().end()),
                module.block);
      EXPECT_EQ(rig.countSent({0x83, 0x20, 0xFF, 0xFF, 0xA1}), 1u);
      EXPECT_TRUE(rig.form->StaticText_Status2.text.empty());
      continue;
    }
    EXPECT_EQ(rig.form->ReadBuffer.Size(), 0u);
    EXPECT_EQ(rig.form->StaticText_Status2.text, c.fault);
    EXPECT_EQ(rig.countSent({0x83, 0x20, 0xFF, 0xFF, 0xA1}), 5u);
    const auto& lines = rig.form->Memo1.lines;
    if (c.reportOffset) {
      ASSERT_GE(lines.size(), 4u);
      char computed[16], reported[16];
      std::snprintf(computed, sizeof computed, "%02X %02X", byteSum(module.block),
                    byteXor(module.block));
      std::snprintf(reported, sizeof reported, "%02X %02X", uint8_t(byteSum(module.block) + 1),
                    byteXor(module.block));
      EXPECT_EQ(lines[lines.size() - 4], "Fault code:0055");
      EXPECT_EQ(lines[lines.size() - 3], "Error sector No. : 21");
      EXPECT_EQ(lines[lines.size() - 2], std::string("CheckSum (File Manager): ") + computed);
      EXPECT_EQ(lines[lines.size() - 1], std::string("CheckSum (Cartridge)   : ") + reported);
    } else {
      EXPECT_FALSE(rig.memoHas("Error sector No. : 21"));
    }
  }
}

// ---------------------------------------------------------------- whole-cartridge erase

TEST(WholeErase, ButtonShowsResultTimeBeepsAndReReadsTheTables) {
  struct Case {
    uint8_t gen;
    bool answer;
    bool twoChip;
  } cases[] = {{3, true, false}, {2, true, false}, {3, false, false}, {0, false, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.gen) << c.answer);
    ScriptRig rig(c.gen);
    rig.host.os = {true, 2, 6, 1};
    rig.form->FormCreate();
    rig.host.priorityCalls.clear();
    rig.form->ModuleGeneration = Generation(c.gen);
    rig.form->TwoChipFlash = c.twoChip;
    rig.form->ChipStartSector = {0, 64};
    RawModule module;
    if (c.answer)
      rig.comm.responder = std::ref(module);
    else
      rig.comm.responder = [](const Bytes&) { return Replies{}; };
    int mappingReads = 0, fatReads = 0;
    rig.form->readMappingTable = [&] { return ++mappingReads > 0; };
    rig.form->readFat = [&] { return ++fatReads > 0; };
    rig.form->Memo1.add("old line");
    rig.form->Memo1.fontColor = Colors::kRed;
    rig.form->StaticText_ProgramTime.text = "12 ms";

    rig.form->Button_EraseClick();
    const auto& lines = rig.form->Memo1.lines;
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "Erasing.....");
    EXPECT_EQ(rig.form->StaticText_ProgramTime.text, "");
    EXPECT_EQ(rig.form->ProgressBar1.position, rig.form->ProgressBar1.max);
    EXPECT_TRUE(rig.form->StaticText_EraseTime.text.ends_with(" ms"));
    EXPECT_FALSE(rig.form->OperationRunning);
    EXPECT_TRUE(rig.form->WindowEnabled);
    EXPECT_EQ(rig.host.priorityCalls, (std::vector<bool>{true, false}));
    if (c.answer) {
      EXPECT_EQ(rig.form->StaticText_Status1.text, "Erase OK!");
      EXPECT_EQ(lines.back(), "Erase OK!");
      EXPECT_EQ(rig.host.beeps, 1);
      EXPECT_EQ(rig.form->Memo1.fontColor, Colors::kWindowText);
      EXPECT_EQ(mappingReads, c.gen == 3 ? 1 : 0);
      EXPECT_EQ(fatReads, 1);
    } else {
      EXPECT_EQ(rig.form->StaticText_Status1.text, "Erase Fail!");
      EXPECT_EQ(lines.back(), "Erase Fail!");
      EXPECT_EQ(rig.host.beeps, 3);
      EXPECT_EQ(rig.form->Memo1.fontColor, Colors::kRed);
      EXPECT_EQ(fatReads, 0);
    }
    if (c.twoChip) {  // chip 1 is erased even though chip 0 failed
      EXPECT_EQ(rig.countSent({0x82, 0x01, 0x00, 0x83}), 2u);  // two tries in 2000 ms
      EXPECT_EQ(rig.countSent({0x82, 0x01, 0x40, 0xC3}), 2u);
    }
  }
}

TEST(WholeErase, EraseButtonIsRegistered) {
  ScriptRig rig(3);
  RawModule module;
  rig.comm.responder = std::ref(module);
  rig.form->Button_Erase.enabled = true;
  rig.form->Panel_Control.visible = rig.form->Panel_Control.enabled = true;
  rig.form->Button_Erase.visible = true;
  EXPECT_TRUE(rig.form->Click("Button_Erase"));
  // The chip erase, then the re-reads of the mapping table and the FAT.
  const std::vector<Bytes> sent = rig.commands();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.front(), (Bytes{0xA3}));
}

}  // namespace
}  // namespace ostrel::test
