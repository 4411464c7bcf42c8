// Discovery and identification in virtual time against scripted ports.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "app/form_main.h"
#include "common/scripted_host.h"
#include "common/scripted_transport.h"
#include "link/frame.h"
#include "link/identify.h"

namespace ostrel {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes identifyReply(int typeCode,
                    Bytes identity = {0x00, 0x00, 0x12, 0x34, 0xDE, 0xAD, 0xBE, 0xEF}) {
  Bytes body{0xC0};
  body.insert(body.end(), identity.begin(), identity.end());
  if (typeCode >= 0) body.push_back(uint8_t(typeCode));
  return buildFrame(body);
}

struct DiscoveryTest : ::testing::Test {
  ScriptedHost host;
  VirtualClock clock;
  ScriptedTransport comm{clock};
  std::unique_ptr<TForm_MAIN> form;
  std::map<std::string, int> modules;  // port → TypeCode (-1: Ostrel I form)
  bool present = true;

  void make(int buildMode) {
    form.reset();  // the old form lets go of the transport first
    form = std::make_unique<TForm_MAIN>(buildMode, 0, host, clock, comm);
    form->FormCreate();
    // The scripted module has no flash: the table reads are stood in for here.
    form->readMappingTable = [] { return true; };
    form->readFat = [] { return true; };
    comm.responder = [this](const Bytes& sent) {
      std::vector<ScriptedTransport::Reply> r;
      auto it = modules.find(comm.CommName());
      if (it == modules.end() || !present) return r;
      if (sent == Bytes{0x80}) r.push_back({30, identifyReply(it->second)});
      if (sent == Bytes{0x81, 0x70, 0xF1}) r.push_back({20, buildFrame(Bytes{0xB0})});
      return r;
    };
  }
  void SetUp() override { make(2); }
};

TEST_F(DiscoveryTest, IdentificationTable) {
  struct Case {
    int type;
    uint8_t generation;
    uint16_t sectors;
    uint32_t baud;
    TParity parity;
    const char* lines[3];
  } cases[] = {
      {-1,
       0,
       128,
       115200,
       TParity::None,
       {"Hardware: Ostrel I", "Total space: 8MB", "TWO CHIP FLASH INSIDE"}},
      {0x80,
       1,
       128,
       230400,
       TParity::Mark,
       {"Hardware: Ostrel II", "Total space: 8MB", "ONE CHIP FLASH INSIDE"}},
      {0x81,
       1,
       256,
       230400,
       TParity::Mark,
       {"Hardware: Ostrel II", "Total space: 16MB", "TWO CHIP FLASH INSIDE"}},
      {0x82,
       2,
       1024,
       230400,
       TParity::None,
       {"Hardware: Ostrel III", "Total space:64MB", "ONE CHIP FLASH INSIDE"}},
      {0x83,
       2,
       512,
       230400,
       TParity::None,
       {"Hardware: Ostrel III", "Total space:32MB", "ONE CHIP FLASH INSIDE"}},
      {0x84,
       2,
       256,
       230400,
       TParity::None,
       {"Hardware: Ostrel III", "Total space:16MB", "ONE CHIP FLASH INSIDE"}},
      {0x85,
       2,
       2048,
       230400,
       TParity::None,
       {"Hardware: Ostrel III", "Total space:128MB", "ONE CHIP FLASH INSIDE"}},
      {0x89,
       3,
       16384,
       230400,
       TParity::None,
       {"Hardware: Ostrel IV", "Total space:1024MB", "ONE CHIP FLASH INSIDE"}},
      {0x8A,
       3,
       32768,
       230400,
       TParity::None,
       {"Hardware: Ostrel IV", "Total space:2048MB", "ONE CHIP FLASH INSIDE"}},
      {0x8B,
       3,
       59999,
       230400,
       TParity::None,
       {"Hardware: Ostrel IV", "Total space:3749MB", "ONE CHIP FLASH INSIDE"}},
  };
  for (const auto& c : cases) {
    comm.ClosePort();
    make(2);
    host.ports = {"/dev/ttyACM0"};
    modules = {{"/dev/ttyACM0", c.type}};
    form->Memo1.clear();
    ASSERT_TRUE(form->Function_Device()) << c.type;
    EXPECT_EQ(form->ModuleGeneration, c.generation);
    EXPECT_EQ(form->SectorCount, c.sectors);
    EXPECT_TRUE(comm.isOpen());
    EXPECT_EQ(comm.BaudRate(), c.baud);
    EXPECT_EQ(comm.openedParity.back(), c.parity);
    EXPECT_EQ(comm.openedParity.front(), TParity::Mark);  // every probe at 9600, mark parity
    EXPECT_EQ(comm.StopBits(), TStopBits::_2);
    ASSERT_EQ(form->Memo1.lines.size(), 4u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(form->Memo1.lines[size_t(i)], c.lines[i]);
    EXPECT_EQ(form->StaticText_AuxNo.text, "00 00 12 34");
    EXPECT_EQ(form->StaticText_CUST_ID.text, "DE AD BE EF");
    EXPECT_EQ(form->Form_Wait.ProgressBar_Wait.position, 100);
  }
}

TEST_F(DiscoveryTest, ChipStartSectors) {
  form->ChipStartSector = {0x11, 0x22};
  host.ports = {"p"};
  modules = {{"p", 0x80}};
  ASSERT_TRUE(form->Function_Device());
  EXPECT_EQ(form->ChipStartSector, (std::array<uint8_t, 2>{0x00, 0x22}));  // chip 1 unchanged
  modules = {{"p", -1}};
  comm.ClosePort();
  ASSERT_TRUE(form->Function_Device());
  EXPECT_TRUE(form->TwoChipFlash);
  EXPECT_EQ(form->ChipStartSector, (std::array<uint8_t, 2>{0x00, 0x40}));
}

TEST_F(DiscoveryTest, UnknownTypeCodeAndProgramError) {
  struct Case {
    int buildMode;
    int type;
    bool found;
    const char* status2;
    const char* box;
  } cases[] = {
      {2, 0x99, false, "Fault code:0001", "Please update new installation software!!"},
      {2, 0x00, false, "Fault code:0003",
       "Program error, please contact franchisee! Fault code:0003"},
      {0, 0x00, true, "", nullptr},
  };
  for (const auto& c : cases) {
    make(c.buildMode);
    host.boxes.clear();
    host.ports = {"p"};
    modules = {{"p", c.type}};
    EXPECT_EQ(form->Function_Device(), c.found) << c.type;
    EXPECT_EQ(form->StaticText_Status2.text, c.status2);
    if (c.box) {
      ASSERT_EQ(host.boxes.size(), 1u);
      EXPECT_EQ(host.boxes[0].text, c.box);
      EXPECT_EQ(host.boxes[0].kind, MsgBoxKind::Warning);
      EXPECT_FALSE(comm.isOpen());
    } else {
      EXPECT_EQ(form->SectorCount, 256);  // build mode 0 takes 0x00 as 0x84
      EXPECT_EQ(form->ModuleGeneration, 2);
    }
    comm.ClosePort();
  }
}

TEST_F(DiscoveryTest, PortsAreProbedFromLastToFirstAndTheLastModuleWins) {
  host.ports = {"a", "b", "c", "d"};
  modules = {{"a", 0x84}, {"c", 0x89}};
  comm.openableNames = {"a", "c", "d"};  // b cannot be opened and is skipped silently
  ASSERT_TRUE(form->Function_Device());
  EXPECT_EQ(form->ModuleGeneration, 3);
  // d answered nothing within 1000 ms, c was identified and reopened.
  EXPECT_EQ(comm.opened, (std::vector<std::string>{"d", "c", "c"}));
}

// A port the user may not open leaves its remedy in the debug log and, when no
// module is found elsewhere, in the second status line; a module found on
// another port leaves the status line to the module.
TEST_F(DiscoveryTest, APortWithoutPermissionNamesItsRemedyWhenNoModuleIsFound) {
  host.ports = {"a", "b"};
  comm.openableNames = {"a"};
  comm.deniedHint = "No permission to open b: join group dialout";
  for (const bool moduleOnA : {false, true}) {
    SCOPED_TRACE(moduleOnA);
    modules.clear();
    if (moduleOnA) modules = {{"a", 0x84}};
    form->Memo2.clear();
    form->FormShow();
    clock.advance(1000);
    EXPECT_EQ(form->Connected, moduleOnA);
    EXPECT_EQ(form->StaticText_Status2.text == comm.deniedHint, !moduleOnA);
    EXPECT_TRUE(std::any_of(
        form->Memo2.lines.begin(), form->Memo2.lines.end(),
        [&](const std::string& l) { return l.find(comm.deniedHint) != std::string::npos; }));
    comm.ClosePort();
  }
}

// After an Ostrel III or IV the raw parser takes any burst as a whole reply:
// a one-byte answer must not be completed by the previous module's identity.
TEST_F(DiscoveryTest, ShortProbeReplyIsNotTakenForThePreviousModule) {
  host.ports = {"p"};
  modules = {{"p", 0x84}};
  ASSERT_TRUE(form->Function_Device());
  ASSERT_EQ(form->ModuleGeneration, 2);
  comm.ClosePort();
  comm.responder = [](const Bytes& sent) {
    std::vector<ScriptedTransport::Reply> r;
    if (sent == Bytes{0x80}) r.push_back({30, Bytes{0x0A}});  // length 10: the old TypeCode
    return r;
  };
  EXPECT_FALSE(form->Function_Device());
}

TEST_F(DiscoveryTest, NoPortsReturnsAtOnce) {
  uint32_t start = clock.tick();
  EXPECT_FALSE(form->Function_Device());
  EXPECT_EQ(clock.tick(), start);
  EXPECT_EQ(form->Form_Wait.ProgressBar_Wait.position, 100);
}

TEST_F(DiscoveryTest, DetectConnectsAndShowsTheModule) {
  host.ports = {"p"};
  modules = {{"p", 0x8B}};
  int tableReads = 0;
  form->readMappingTable = [&] { return ++tableReads > 0; };
  form->readFat = [&] { return ++tableReads > 0; };
  form->FormShow();
  clock.advance(1000);
  ASSERT_TRUE(form->Connected);
  EXPECT_EQ(tableReads, 2);  // mapping table, then FAT
  EXPECT_EQ(form->StaticText_Device_1.text, "Device EXIST");
  EXPECT_EQ(form->StaticText_Cus_Card_Status2.fontColor, Colors::kBlue);
  EXPECT_EQ(form->BlankBlock.Size(), 65536u);
  EXPECT_EQ(form->BlankBlock.Memory()[65535], 0xFF);
  EXPECT_EQ(form->UpDown_ReadStopAddr.max, 32766);
  EXPECT_TRUE(form->Button_Erase.enabled);
  EXPECT_EQ(form->VisibleStep, 2);
  EXPECT_EQ(form->ModuleSerialText, "DEADBEEF");
  EXPECT_FALSE(form->OperationRunning);
  EXPECT_TRUE(form->WindowEnabled);
  EXPECT_FALSE(form->Timer1.Enabled());
}

TEST_F(DiscoveryTest, FailedCatalogueReadLeavesTheModuleDisconnected) {
  host.ports = {"p"};
  modules = {{"p", 0x84}};
  form->readFat = [] { return false; };
  form->FormShow();
  clock.advance(1000);
  EXPECT_FALSE(form->Connected);
  EXPECT_EQ(form->StaticText_Device_1.text, "Device not EXIST");
  EXPECT_EQ(form->StaticText_Device_1.fontColor, Colors::kRed);
  EXPECT_EQ(form->VisibleStep, 1);
  EXPECT_FALSE(comm.isOpen());
}

TEST_F(DiscoveryTest, NoticeDuringADetectionIsDeferredAndRunsAfterwards) {
  host.ports = {"p"};
  modules = {{"p", 0x84}};
  int reads = 0;
  form->readFat = [&] {
    ++reads;
    if (reads == 1) form->WinCallBackOBJ1OsCallBack(kWmDeviceChange, kDbtDeviceArrival);
    return true;
  };
  form->FormShow();
  clock.advance(1000);
  EXPECT_TRUE(form->Connected);
  EXPECT_TRUE(form->DetectPending);
  EXPECT_TRUE(form->Timer1.Enabled());
  // Next tick re-arms the timer, the one after runs a presence check.
  size_t sentBefore = comm.sent.size();
  clock.advance(100);
  EXPECT_FALSE(form->DetectPending);
  clock.advance(100);
  ASSERT_GT(comm.sent.size(), sentBefore);
  EXPECT_EQ(comm.sent.back().bytes, (Bytes{0x81, 0x70, 0xF1}));
  EXPECT_EQ(form->StaticText_Device_1.text, "Device EXIST");
}

TEST_F(DiscoveryTest, PresenceFailureDropsTheModuleAndAFreshNoticeFindsItAgain) {
  host.ports = {"p"};
  modules = {{"p", 0x80}};
  form->FormShow();
  clock.advance(1000);
  ASSERT_TRUE(form->Connected);
  present = false;
  form->WinCallBackOBJ1OsCallBack(kWmDeviceChange, kDbtDeviceRemoveComplete);
  EXPECT_EQ(form->Timer1.Interval(), 100u);
  clock.advance(2000);
  EXPECT_FALSE(form->Connected);
  EXPECT_EQ(form->StaticText_Status1.text, "Device not EXIST");
  EXPECT_EQ(comm.sent.back().bytes, (Bytes{0x81, 0x90, 0x11}));  // end of connection, once
  EXPECT_FALSE(comm.isOpen());

  present = true;
  form->WinCallBackOBJ1OsCallBack(kWmDeviceChange, kDbtDeviceArrival);
  EXPECT_EQ(form->Timer1.Interval(), 1000u);
  clock.advance(3000);
  EXPECT_TRUE(form->Connected);
}

TEST_F(DiscoveryTest, OtherMessagesAreIgnored) {
  form->WinCallBackOBJ1OsCallBack(0x218, kDbtDeviceArrival);
  form->WinCallBackOBJ1OsCallBack(kWmDeviceChange, 0x0018);
  EXPECT_FALSE(form->Timer1.Enabled());
}

TEST(IdentifyText, Ostrel3IdDisplayForms) {
  struct Case {
    Bytes id;
    const char* shown;
  } cases[] = {
      {{0x00, 0x01, 0x51, 0x00}, "RR 00 01 00"}, {{0x00, 0x01, 0x52, 0x05}, "RR 00 03 61"},
      {{0x00, 0x01, 0x50, 0x05}, "00 01 50 05"}, {{0x00, 0x00, 0x2C, 0xAB}, "RR 01 2C AB"},
      {{0x00, 0x00, 0x30, 0xAB}, "00 00 30 AB"}, {{0x01, 0x01, 0x51, 0x00}, "01 01 51 00"},
  };
  for (const auto& c : cases) EXPECT_EQ(ost3IdDisplayText(c.id.data()), c.shown);
}

}  // namespace
}  // namespace ostrel
