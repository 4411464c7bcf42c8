// Detection end to end: the real serial component on pseudo-terminals, the
// real clock and event loop, and ostrel-sim processes as the modules.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <algorithm>
#include <filesystem>

#include "app/form_main.h"
#include "app/qt_clock.h"
#include "common/scripted_host.h"
#include "e2e/each_link.h"
#include "e2e/sim_process.h"
#include "link/device_watch.h"
#include "link/port_list.h"
#include "link/tcomm.h"

namespace ostrel {
namespace {

using test::FolderHost;
using test::PortDir;
using test::SimProcess;

struct Rig {
  Rig(const std::string& dir, bool fastLink, int buildMode = 2)
      : host(dir), comm(comm1()), form(buildMode, 0, host, clock, *comm) {
    form.FormCreate();
    if (!fastLink) form.setFastLink(false);
  }
  ~Rig() { form.FormClose(); }
  // Runs the event loop until pred holds or ms pass.
  bool runUntil(const std::function<bool()>& pred, int ms) {
    return clock.waitUntil(pred, clock.tick() + ms);
  }

  static std::unique_ptr<TComm> comm1() {
    auto c = std::make_unique<TComm>();
    applyComm1Values(*c);
    return c;
  }

  FolderHost host;
  QtClock clock;
  std::unique_ptr<TComm> comm;
  TForm_MAIN form;
};

class DetectE2E : public test::OnEachLink {};
INSTANTIATE_TEST_SUITE_P(Links, DetectE2E, ::testing::ValuesIn(test::kEachLink),
                         test::linkCaseName);

TEST_P(DetectE2E, EveryIdentificationRow) {
  struct Case {
    std::vector<std::string> args;
    uint8_t generation;
    uint16_t sectors;
    const char* hardware;
    const char* capacity;
  } cases[] = {
      {{"--ostrel1"}, 0, 128, "Hardware: Ostrel I", "Total space: 8MB"},
      {{"--type", "80"}, 1, 128, "Hardware: Ostrel II", "Total space: 8MB"},
      {{"--type", "81"}, 1, 256, "Hardware: Ostrel II", "Total space: 16MB"},
      {{"--type", "82"}, 2, 1024, "Hardware: Ostrel III", "Total space:64MB"},
      {{"--type", "83"}, 2, 512, "Hardware: Ostrel III", "Total space:32MB"},
      {{"--type", "84"}, 2, 256, "Hardware: Ostrel III", "Total space:16MB"},
      {{"--type", "85"}, 2, 2048, "Hardware: Ostrel III", "Total space:128MB"},
      {{"--type", "89"}, 3, 16384, "Hardware: Ostrel IV", "Total space:1024MB"},
      {{"--type", "8A"}, 3, 32768, "Hardware: Ostrel IV", "Total space:2048MB"},
      {{"--type", "8B"}, 3, 59999, "Hardware: Ostrel IV", "Total space:3749MB"},
  };
  for (const auto& c : cases) {
    PortDir dir;
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--id", "00 01 51 00", "--aux", "00 00 00 07"});
    SimProcess sim(dir.path, "module", args);
    ASSERT_TRUE(sim.running());
    Rig rig(dir.path, fastLink());
    rig.form.Function_Detect();
    ASSERT_TRUE(rig.form.Connected) << c.hardware << " " << c.sectors << "\n"
                                    << rig.form.StaticText_Status2.text;
    EXPECT_EQ(rig.form.ModuleGeneration, c.generation);
    EXPECT_EQ(rig.form.SectorCount, c.sectors);
    ASSERT_GE(rig.form.Memo1.lines.size(), 3u);
    EXPECT_NE(std::find(rig.form.Memo1.lines.begin(), rig.form.Memo1.lines.end(), c.hardware),
              rig.form.Memo1.lines.end());
    EXPECT_NE(std::find(rig.form.Memo1.lines.begin(), rig.form.Memo1.lines.end(), c.capacity),
              rig.form.Memo1.lines.end());
    EXPECT_EQ(rig.form.StaticText_Device_1.text, "Device EXIST");
    EXPECT_EQ(rig.form.StaticText_AuxNo.text, "00 00 00 07");
    // Ostrel III shows its ID in the RR form.
    EXPECT_EQ(rig.form.StaticText_ID.text, c.generation == 2 ? "RR 00 01 00" : "00 01 51 00");
    EXPECT_EQ(rig.form.ModuleSerialText, "00015100");
    EXPECT_EQ(rig.comm->BaudRate(), c.generation == 0 ? 115200u : 230400u);
    EXPECT_TRUE(rig.comm->isOpen());
  }
}

TEST_P(DetectE2E, SimulatorGenerationShorthand) {
  const struct {
    const char* generation;
    uint8_t expected;
    uint16_t sectors;
  } cases[] = {{"ost1", 0, 128}, {"ost2", 1, 256}, {"ost3", 2, 256}, {"ost4", 3, 16384}};
  for (const auto& c : cases) {
    PortDir dir;
    SimProcess sim(dir.path, "module", {"--generation", c.generation, "--preset", "blank"});
    ASSERT_TRUE(sim.running()) << c.generation;
    Rig rig(dir.path, fastLink());
    rig.form.Function_Detect();
    ASSERT_TRUE(rig.form.Connected) << c.generation;
    EXPECT_EQ(rig.form.ModuleGeneration, c.expected);
    EXPECT_EQ(rig.form.SectorCount, c.sectors);
  }
}

TEST_P(DetectE2E, TwoModulesTheOneListedLastIsTaken) {
  PortDir dir;
  SimProcess first(dir.path, "a-module", {"--type", "84"});
  SimProcess second(dir.path, "b-module", {"--type", "89"});
  ASSERT_TRUE(first.running() && second.running());
  Rig rig(dir.path, fastLink());
  rig.form.Function_Detect();
  ASSERT_TRUE(rig.form.Connected);
  EXPECT_EQ(rig.comm->CommName(), second.link());
  EXPECT_EQ(rig.form.ModuleGeneration, 3);
}

TEST_P(DetectE2E, UnknownTypeCodeIsFault0001) {
  PortDir dir;
  SimProcess sim(dir.path, "module", {"--type", "99"});
  Rig rig(dir.path, fastLink());
  rig.form.Function_Detect();
  EXPECT_FALSE(rig.form.Connected);
  EXPECT_EQ(rig.form.StaticText_Status1.text, "Device not EXIST");
  ASSERT_EQ(rig.host.boxes.size(), 1u);
  EXPECT_EQ(rig.host.boxes[0].text, "Please update new installation software!!");
  EXPECT_NE(std::find(rig.form.Memo1.lines.begin(), rig.form.Memo1.lines.end(), "Fault code:0001"),
            rig.form.Memo1.lines.end());
  EXPECT_FALSE(rig.comm->isOpen());
}

TEST_P(DetectE2E, NoticeDuringADetectionRunsAfterIt) {
  PortDir dir;
  SimProcess sim(dir.path, "module", {"--type", "84"});
  Rig rig(dir.path, fastLink());
  // The probe sleeps 10 ms before opening the port: a notice arrives meanwhile.
  rig.clock.schedule(
      3, [&] { rig.form.WinCallBackOBJ1OsCallBack(kWmDeviceChange, kDbtDeviceArrival); });
  rig.form.Function_Detect();
  ASSERT_TRUE(rig.form.Connected);
  EXPECT_TRUE(rig.form.DetectPending);
  const size_t before = rig.form.Memo2.revision;
  rig.form.CheckBox_Debug_fillter.checked = false;
  // The deferred notice turns into a presence check, answered by the module.
  EXPECT_TRUE(
      rig.runUntil([&] { return !rig.form.DetectPending && !rig.form.Timer1.Enabled(); }, 3000));
  EXPECT_NE(rig.form.Memo2.revision, before);
  EXPECT_EQ(rig.form.StaticText_Device_1.text, "Device EXIST");
  EXPECT_TRUE(rig.form.Connected);
}

TEST_P(DetectE2E, ModuleLeavesAndComesBackThroughFolderNotices) {
  PortDir dir;
  auto sim =
      std::make_unique<SimProcess>(dir.path, "module", std::vector<std::string>{"--type", "82"});
  Rig rig(dir.path, fastLink());
  DeviceWatch watch(dir.path);
  watch.OnDeviceChange = [&](uint32_t code) {
    rig.form.WinCallBackOBJ1OsCallBack(kWmDeviceChange, code);
  };
  rig.form.FormShow();  // first detection one second later
  ASSERT_TRUE(rig.runUntil([&] { return rig.form.Connected; }, 5000));

  sim->stop();  // the link disappears: a removal notice, then a failed presence check
  ASSERT_TRUE(
      rig.runUntil([&] { return !rig.form.Connected && !rig.form.OperationRunning; }, 5000));
  EXPECT_EQ(rig.form.StaticText_Device_1.text, "Device not EXIST");
  EXPECT_EQ(rig.form.StaticText_Device_1.fontColor, Colors::kRed);
  EXPECT_EQ(rig.form.VisibleStep, 1);
  EXPECT_FALSE(rig.form.Button_Erase.enabled);
  EXPECT_EQ(rig.form.BlankBlock.Size(), 0u);
  EXPECT_FALSE(rig.comm->isOpen());

  sim = std::make_unique<SimProcess>(dir.path, "module", std::vector<std::string>{"--type", "82"});
  ASSERT_TRUE(rig.runUntil([&] { return rig.form.Connected && !rig.form.OperationRunning; }, 8000));
  EXPECT_EQ(rig.form.SectorCount, 1024);
  EXPECT_EQ(rig.form.StaticText_CUST_Device_1.text, "Device EXIST");
}

// A module in a folder others can write to is not probed, and the debug log
// says why; once the folder is private again the module is found.
TEST_P(DetectE2E, SharedFolderIsNotScannedAndTheDebugLogSaysWhy) {
  namespace fs = std::filesystem;
  PortDir dir;
  SimProcess sim(dir.path, "module", {"--type", "84"});
  ASSERT_TRUE(sim.running());
  fs::permissions(dir.path, fs::perms::owner_all | fs::perms::group_write);
  Rig rig(dir.path, fastLink());
  const std::string why = dir.path + ": not scanned, group or others can write to it (mode 0720)";
  auto logged = [&] {
    const auto& lines = rig.form.Memo2.lines;
    return std::find(lines.begin(), lines.end(), why) != lines.end();
  };
  rig.form.Function_Detect();
  EXPECT_FALSE(rig.form.Connected);
  EXPECT_TRUE(logged());

  fs::permissions(dir.path, fs::perms::owner_all);
  rig.form.Function_Detect();
  EXPECT_TRUE(rig.form.Connected);
  EXPECT_FALSE(logged());
}

TEST_P(DetectE2E, DetectionBuildsTheBlankBlockAndClosesTheDialog) {
  PortDir dir;
  SimProcess sim(dir.path, "module", {"--type", "84"});
  Rig rig(dir.path, fastLink());
  rig.form.Function_Detect();
  ASSERT_TRUE(rig.form.Connected);
  ASSERT_EQ(rig.form.BlankBlock.Size(), 65536u);
  const auto bytes = rig.form.BlankBlock.Bytes();
  EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0xFF; }));
  EXPECT_EQ(rig.form.Form_Wait.ProgressBar_Wait.position, 100);
  EXPECT_FALSE(rig.form.Form_Wait.Visible);
}

}  // namespace
}  // namespace ostrel
