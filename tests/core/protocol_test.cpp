// The packet protocol in virtual time against a scripted module.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/form_main.h"
#include "common/scripted_host.h"
#include "common/scripted_transport.h"
#include "link/frame.h"

namespace ostrel {
namespace {

using Bytes = std::vector<uint8_t>;

struct ProtocolTest : ::testing::Test {
  ScriptedHost host;
  VirtualClock clock{1000};
  ScriptedTransport comm{clock};
  TForm_MAIN form{0, 0, host, clock, comm};

  void SetUp() override {
    form.FormCreate();
    form.setFastLink(false);  // the quiet-gap framing these rules are written for
    comm.OpenPort();
  }
  bool send(Bytes request, int mode, uint32_t replyWait, uint32_t total) {
    std::copy(request.begin(), request.end(), form.RequestBuffer.begin());
    return form.Send_Package(form.RequestBuffer.data(), mode, replyWait, total);
  }
};

TEST_F(ProtocolTest, PresenceFrameCarriesItsChecksum) {
  comm.responder = [](const Bytes&) {
    return std::vector<ScriptedTransport::Reply>{{5, buildFrame(Bytes{0xB0})}};
  };
  EXPECT_TRUE(send({0x81, 0x70}, 0, 300, 500));
  ASSERT_EQ(comm.sent.size(), 1u);
  EXPECT_EQ(comm.sent[0].bytes, (Bytes{0x81, 0x70, 0xF1}));
  EXPECT_EQ(form.ReceiveMode, 1);
}

TEST_F(ProtocolTest, FramedReplySplitOverSeveralEventsIsReassembled) {
  Bytes reply = buildFrame(Bytes{0x41, 0x12, 0x34});
  comm.responder = [&](const Bytes&) {
    std::vector<ScriptedTransport::Reply> parts;
    for (size_t i = 0; i < reply.size(); ++i) parts.push_back({uint32_t(2 + i), Bytes{reply[i]}});
    return parts;
  };
  EXPECT_TRUE(send({0x82, 0x01, 0x05}, 0, 1000, 2000));
  EXPECT_EQ(comm.sent.size(), 1u);
  EXPECT_EQ(form.ReplyBuffer[2], 0x12);
}

TEST_F(ProtocolTest, RepliesThatNeverCompleteAreRetriedUntilTheDeadline) {
  struct Case {
    const char* what;
    Bytes reply;
  } cases[] = {
      {"wrong checksum", Bytes{0x81, 0xB0, 0x00}},
      {"trailing byte", Bytes{0x81, 0xB0, 0x31, 0x00}},
  };
  for (const auto& c : cases) {
    comm.sent.clear();
    comm.responder = [&](const Bytes&) {
      return std::vector<ScriptedTransport::Reply>{{10, c.reply}};
    };
    uint32_t start = clock.tick();
    EXPECT_FALSE(send({0x81, 0x70}, 0, 300, 500)) << c.what;
    EXPECT_EQ(comm.sent.size(), 2u) << c.what;
    EXPECT_EQ(uint32_t(clock.tick() - start), 600u) << c.what;
    EXPECT_EQ(form.StaticText_Status2.text, "Fault code:0000");
  }
}

TEST_F(ProtocolTest, SilentModuleGetsTheCommandTwiceAndFailsAfterTheTotalTime) {
  struct Case {
    uint32_t replyWait, total;
    size_t attempts;
  } cases[] = {{1000, 2000, 2}, {300, 500, 2}};
  for (const auto& c : cases) {
    comm.sent.clear();
    form.Memo1.clear();
    uint32_t start = clock.tick();
    EXPECT_FALSE(send({0x81, 0x70}, 0, c.replyWait, c.total));
    ASSERT_EQ(comm.sent.size(), c.attempts);
    EXPECT_EQ(comm.sent[1].tick - comm.sent[0].tick, c.replyWait);
    EXPECT_GE(uint32_t(clock.tick() - start), c.total);
    EXPECT_EQ(form.Memo1.lines.back(), "Fault code:0000");
  }
}

TEST_F(ProtocolTest, ModesThatSendNothingOrOnce) {
  EXPECT_FALSE(send({0x81, 0x70}, 0, 1000, 0));  // TotalTime 0
  EXPECT_TRUE(comm.sent.empty());
  EXPECT_EQ(form.StaticText_Status2.text, "Fault code:0000");

  EXPECT_TRUE(send({0x81, 0x90}, 1, 300, 300));  // SendMode 1 ignores silence
  EXPECT_EQ(comm.sent.size(), 1u);

  EXPECT_FALSE(send({0x81, 0x70}, 7, 300, 300));  // unknown mode
  EXPECT_EQ(comm.sent.size(), 1u);
}

TEST_F(ProtocolTest, CountedRetriesEndAfterTheBudgetOfConsecutiveSilences) {
  form.RetryBudget = 3;
  EXPECT_FALSE(send({0x82, 0x02, 0x00}, 0, 1000, kCountedRetryTime));
  EXPECT_EQ(comm.sent.size(), 4u);  // first try + 3 retries
}

TEST_F(ProtocolTest, WrongCodeUnderCountedRetriesRestoresTheBudgetAndPauses) {
  form.RetryBudget = 1;
  int calls = 0;
  comm.responder = [&](const Bytes&) {
    ++calls;
    std::vector<ScriptedTransport::Reply> r;
    if (calls <= 3) r.push_back({10, buildFrame(Bytes{0x55})});  // alive but wrong
    if (calls == 5) r.push_back({10, buildFrame(Bytes{0x42})});
    return r;
  };
  EXPECT_TRUE(send({0x82, 0x02, 0x00}, 0, 1000, kCountedRetryTime));
  ASSERT_EQ(comm.sent.size(), 5u);
  EXPECT_EQ(comm.sent[1].tick - comm.sent[0].tick, 10u + 500u);
  EXPECT_EQ(comm.sent[4].tick - comm.sent[3].tick, 1000u);  // a silence costs one retry
}

// Under the long erase limit only consecutive silences use up the retries:
// this sequence gets through only when the wrong code restores the budget.
TEST_F(ProtocolTest, WrongCodeBetweenSilencesRestoresTheFullBudget) {
  form.RetryBudget = 5;
  int calls = 0;
  comm.responder = [&](const Bytes&) {
    ++calls;
    std::vector<ScriptedTransport::Reply> r;
    if (calls == 6) r.push_back({10, buildFrame(Bytes{0x55})});   // alive but wrong
    if (calls == 12) r.push_back({10, buildFrame(Bytes{0x42})});  // the right reply
    return r;
  };
  EXPECT_TRUE(send({0x82, 0x02, 0x00}, 0, 1000, kCountedRetryTime));
  EXPECT_EQ(calls, 12);
}

// A device that never stops sending: counters and the ReadBuffer stay
// bounded, nothing completes, and log lines stay short.
TEST_F(ProtocolTest, EndlessStreamsStayBounded) {
  form.CheckBox_Debug_fillter.checked = false;
  const Bytes burst(32768, 0x81);  // a framed reply that never ends
  for (uint8_t generation : {uint8_t(1), uint8_t(2)}) {
    for (int mode : {0, 1}) {
      SCOPED_TRACE(std::to_string(generation) + "/" + std::to_string(mode));
      form.ModuleGeneration = Generation(generation);
      form.ReceiveMode = mode;
      form.ReceivedCount = mode == 0 ? 65000 : 0;  // overrun by the second burst
      form.ReplyComplete = 0;
      form.ReadBuffer.Clear();
      // 4 GiB in all: enough to overflow a 32-bit count twice.
      for (int i = 0; i < 131072; ++i) form.Comm1ReceiveData(burst.data(), uint16_t(burst.size()));
      EXPECT_LE(form.ReadBuffer.Size(), 65536u + 4096u);
      if (mode == 0) {
        EXPECT_LT(form.ReceivedCount, 0);
        EXPECT_EQ(form.ReplyComplete, 0);
      }
      if (mode == 1 && generation == 1) {
        EXPECT_GT(form.ReceivedCount, 128);
        EXPECT_EQ(form.ReplyComplete, 0);
      }
    }
  }
  for (const std::string& line : form.Memo2.lines) ASSERT_LT(line.size(), 300u) << line;
}

TEST_F(ProtocolTest, DeadlineAcrossTheTickWrap) {
  VirtualClock wrapClock(0xFFFFFF00u);
  ScriptedTransport t(wrapClock);
  TForm_MAIN f(0, 0, host, wrapClock, t);
  f.FormCreate();
  t.OpenPort();
  f.RequestBuffer[0] = 0x81;
  f.RequestBuffer[1] = 0x70;
  EXPECT_FALSE(f.Send_Package(f.RequestBuffer.data(), 0, 1000, 2000));
  EXPECT_EQ(t.sent.size(), 2u);
  EXPECT_EQ(uint32_t(t.sent[1].tick - t.sent[0].tick), 1000u);
}

struct RawCase {
  const char* what;
  Bytes request;
  Bytes reply;
  bool accepted;
};

TEST_F(ProtocolTest, RawAcceptanceRules) {
  form.ModuleGeneration = OstrelIII;
  const RawCase cases[] = {
      {"Z", {0xA2, 0x00, 0x05}, {0x5A}, true},
      {"[", {0xA5, 0x01}, {0x5B}, true},
      {"backslash", {0xA5, 0x01}, {0x5C, 0x01}, true},
      {"other byte", {0xA2, 0x00, 0x05}, {0xD0}, false},
      {"single 5A request takes anything", {0x5A}, {0x13, 0x37}, true},
  };
  for (const auto& c : cases) {
    comm.sent.clear();
    comm.responder = [&](const Bytes&) {
      return std::vector<ScriptedTransport::Reply>{{20, c.reply}};
    };
    bool ok = form.Send_Package_OST3(c.request.data(), uint32_t(c.request.size()), 0, 1000, 2000);
    EXPECT_EQ(ok, c.accepted) << c.what;
  }
}

TEST_F(ProtocolTest, RawReplyInTwoEventsIsSeenAsItsSecondPart) {
  form.ModuleGeneration = OstrelIV;
  form.ReceiveMode = 1;
  Bytes first{0x5A, 0x01, 0x02}, second{0xD0};
  form.Comm1ReceiveData(first.data(), 3);
  form.Comm1ReceiveData(second.data(), 1);
  EXPECT_EQ(form.ReplyComplete, 1);
  EXPECT_EQ(form.ReplyBuffer[0], 0xD0);
  EXPECT_EQ(form.ReceivedCount, 1);
}

// On the fast link, what the module sends decides whether the connection
// falls back to quiet-gap framing (noted once). After a reply it cannot
// delimit, the proper reply to the same transmission is still taken, so
// nothing is sent twice; a block it cannot sort out is left to the caller
// without a fault; bytes after the first reply of a connection are caught
// before anything else is sent. Silence and a well-formed frame with another
// code (a busy module) are no framing matter.
TEST_F(ProtocolTest, FastLinkFallsBackOnlyForRepliesItCannotDelimit) {
  using Replies = std::vector<ScriptedTransport::Reply>;
  struct Case {
    const char* what;
    uint8_t generation;
    int receiveMode;
    Bytes request;
    Replies replies;
    bool accepted, fallsBack, faultShown;
  } cases[] = {
      {"frame with a wrong checksum, then the right one",
       0,
       1,
       {0x82, 0x01, 0x05},
       {{2, {0x82, 0x41, 0x05, 0x00}}, {4, buildFrame(Bytes{0x41, 0x05})}},
       true,
       true,
       false},
      {"frame cut short", 1, 1, {0x82, 0x01, 0x05}, {{2, {0x82, 0x41}}}, false, true, true},
      {"raw reply of the wrong kind, then Z",
       2,
       1,
       {0xA2, 0x00, 0x04},
       {{2, {0x00}}, {4, {0x5A}}},
       true,
       true,
       false},
      {"more bytes than the block asked for",
       3,
       0,
       {0x5A},
       {{2, {1, 2, 3, 4, 5}}},
       false,
       true,
       false},
      {"Z with a byte after it",
       3,
       1,
       {0xA1, 0x00, 0x01, 0, 0, 0, 0x10},
       {{2, {0x5A}}, {3, {0x00}}},
       true,
       true,
       false},
      {"Z alone", 2, 1, {0xA1, 0x00, 0x01, 0, 0, 0, 0x10}, {{2, {0x5A}}}, true, false, false},
      {"silence", 0, 1, {0x82, 0x01, 0x05}, {}, false, false, true},
      {"a busy module's frame",
       1,
       1,
       {0x82, 0x01, 0x05},
       {{2, buildFrame(Bytes{0x7E, 0x01})}},
       false,
       false,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    form.setFastLink(true);
    form.Memo2.clear();
    form.ClearStatus2();
    form.ModuleGeneration = Generation(c.generation);
    form.ReceiveMode = c.receiveMode;
    form.ReceivedCount = 4;  // the piece a block-mode request asks for
    comm.sent.clear();
    comm.responder = [&](const Bytes&) { return c.replies; };
    std::copy(c.request.begin(), c.request.end(), form.RequestBuffer.begin());
    const bool ok = c.generation <= 1
                        ? form.Send_Package(form.RequestBuffer.data(), 0, 1000, 2000)
                        : form.Send_Package_OST3(form.RequestBuffer.data(),
                                                 uint32_t(c.request.size()), 0, 1000, 2000);
    EXPECT_EQ(ok, c.accepted);
    if (c.accepted) EXPECT_EQ(comm.sent.size(), 1u);
    EXPECT_EQ(form.FastLink, !c.fallsBack);
    EXPECT_EQ(comm.ReadIntervalTimeout(), c.fallsBack ? 10u : 0u);
    EXPECT_EQ(std::count_if(form.Memo2.lines.begin(), form.Memo2.lines.end(),
                            [](const std::string& l) {
                              return l.find("quiet-gap framing") != std::string::npos;
                            }),
              c.fallsBack ? 1 : 0);
    EXPECT_EQ(form.StaticText_Status2.text == "Fault code:0000", c.faultShown);
  }
  form.ReceiveMode = 1;
}

TEST_F(ProtocolTest, RawSenderDoesNotWaitWhenThePortRefuses) {
  form.ModuleGeneration = OstrelIII;
  comm.ClosePort();
  uint32_t start = clock.tick();
  Bytes cmd{0xA3};
  EXPECT_FALSE(form.Send_Package_OST3(cmd.data(), 1, 0, 1000, 2000));
  EXPECT_EQ(clock.tick(), start);
  EXPECT_EQ(form.StaticText_Status2.text, "Fault code:0000");
}

TEST_F(ProtocolTest, BlockModeCompletesOnlyOnTheExactCount) {
  for (uint8_t gen : {uint8_t(1), uint8_t(2)}) {
    form.ModuleGeneration = Generation(gen);
    form.ReceiveMode = 0;
    form.ReadBuffer.Clear();
    form.ReplyComplete = 0;
    form.ReceivedCount = 8;
    Bytes a{1, 2, 3, 4, 5}, b{6, 7, 8}, extra{9};
    form.Comm1ReceiveData(a.data(), 5);
    EXPECT_EQ(form.ReplyComplete, 0);
    form.Comm1ReceiveData(b.data(), 3);
    EXPECT_EQ(form.ReplyComplete, 1);
    EXPECT_EQ(form.ReadBuffer.Size(), 8u);
    // Overflow drives the count below zero; the block never completes again.
    form.ReplyComplete = 0;
    form.ReceivedCount = 2;
    Bytes three{1, 2, 3};
    form.Comm1ReceiveData(three.data(), 3);
    form.Comm1ReceiveData(extra.data(), 1);
    EXPECT_EQ(form.ReplyComplete, 0);
    EXPECT_LT(form.ReceivedCount, 0);
  }
}

TEST_F(ProtocolTest, OversizedFramedReplyIsNeverStoredPastTheBuffer) {
  form.ModuleGeneration = OstrelI;
  form.ReceiveMode = 1;
  form.ReceivedCount = 0;
  form.ReplyComplete = 0;
  Bytes flood(300, 0xFF);  // claims 127 data bytes, then keeps coming
  form.Comm1ReceiveData(flood.data(), uint16_t(flood.size()));
  EXPECT_EQ(form.ReplyComplete, 0);
  EXPECT_EQ(form.ReceivedCount, 300);
}

TEST_F(ProtocolTest, CommandSerialNumbersWrapAfter255) {
  std::vector<int> seen;
  for (int i = 0; i < 257; ++i) seen.push_back(form.Get_Command_Serial_Number());
  EXPECT_EQ(seen.front(), 1);
  EXPECT_EQ(seen[254], 255);
  EXPECT_EQ(seen[255], 0);
  EXPECT_EQ(seen[256], 1);
}

TEST_F(ProtocolTest, BusyMarksCycleThroughOneToFive) {
  std::vector<std::string> shown;
  for (int i = 0; i < 6; ++i) {
    form.BusyStep();
    shown.push_back(form.StaticText_Status2.text);
  }
  EXPECT_EQ(shown[0], "Please wait>>");
  EXPECT_EQ(shown[3], "Please wait>>>>>");
  EXPECT_EQ(shown[4], "Please wait>");
  EXPECT_EQ(shown[5], "Please wait>>");
}

TEST_F(ProtocolTest, DebugLogLinesOfAFramedExchange) {
  form.CheckBox_Debug_fillter.checked = false;
  comm.responder = [](const Bytes&) {
    return std::vector<ScriptedTransport::Reply>{{7, buildFrame(Bytes{0xB0})}};
  };
  uint32_t t0 = clock.tick();
  EXPECT_TRUE(send({0x81, 0x70}, 0, 300, 500));
  ASSERT_GE(form.Memo2.lines.size(), 3u);
  EXPECT_EQ(form.Memo2.lines[0], "");
  EXPECT_EQ(form.Memo2.lines[1], "< " + std::to_string(t0) + "81 70 F1 >");
  EXPECT_EQ(form.Memo2.lines[2], "[ " + std::to_string(t0 + 7) + "81 B0 31 ]");
}

TEST_F(ProtocolTest, WriteBackSendsTheCommandAndSixteenChunks) {
  form.ModuleGeneration = OstrelIV;
  comm.responder = [](const Bytes&) {
    return std::vector<ScriptedTransport::Reply>{{3, Bytes{0x5A}}};
  };
  MemoryStream source;
  Bytes sector(65536);
  for (size_t i = 0; i < sector.size(); ++i) sector[i] = uint8_t(i * 7);
  source.Write(sector);
  source.Seek(0);
  EXPECT_TRUE(form.WriteBack_Sector(1, source));
  ASSERT_EQ(comm.sent.size(), 17u);
  EXPECT_EQ(comm.sent[0].bytes, (Bytes{0xA7, 0x00, 0x01, 0, 0, 0, 0x10}));
  Bytes joined;
  for (size_t i = 1; i < 17; ++i)
    joined.insert(joined.end(), comm.sent[i].bytes.begin(), comm.sent[i].bytes.end());
  EXPECT_EQ(joined, sector);

  // Any other sector uses A0.
  comm.sent.clear();
  source.Seek(0);
  EXPECT_TRUE(form.WriteBack_Sector(0x1234, source));
  EXPECT_EQ(comm.sent[0].bytes, (Bytes{0xA0, 0x12, 0x34, 0, 0, 0, 0x10}));

  // A source without a whole sector left is refused before anything is sent:
  // a module given the command would take the next command for data.
  for (size_t left : {size_t(0), size_t(5000), size_t(65535)}) {
    comm.sent.clear();
    source.Seek(65536 - left);
    EXPECT_FALSE(form.WriteBack_Sector(0x1234, source)) << left;
    EXPECT_TRUE(comm.sent.empty()) << left;
  }

  form.ModuleGeneration = OstrelII;
  EXPECT_FALSE(form.WriteBack_Sector(2, source));
}

}  // namespace
}  // namespace ostrel
