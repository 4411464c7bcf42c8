// The headless main form: creation, layouts, reporting, the debug panel and
// the progress dialog.
#include <gtest/gtest.h>

#include <utility>

#include "app/form_main.h"
#include "common/scripted_host.h"
#include "common/scripted_transport.h"
#include "sim/sim_transport.h"

namespace ostrel {
namespace {

struct Fixture {
  explicit Fixture(int buildMode, ScreenSize screen = {1024, 768}, int language = 0) {
    host.screen = screen;
    form = std::make_unique<TForm_MAIN>(buildMode, language, host, clock, comm);
    form->FormCreate();
  }
  ScriptedHost host;
  VirtualClock clock;
  ScriptedTransport comm{clock};
  std::unique_ptr<TForm_MAIN> form;
};

TEST(FormCreate, TitleRetryBudgetAndFilterFollowTheBuildMode) {
  struct Case {
    int mode;
    const char* title;
    int retries;
    const char* filter;
    bool debugPanel;
  } cases[] = {
      {0, "Ostrel File Manager DEBUG v5.01", 5,
       "Morvante binary |*.bn|Motorala S-Record |*.hx|Binary |*.bin", true},
      {1, "Ostrel File Manager R&D v5.01", 5,
       "Morvante binary |*.bn|Motorala S-Record |*.*|Binary |*.bin", true},
      {2, "Ostrel File Manager v5.01", 10, "Morvante binary |*.bn", false},
  };
  for (const auto& c : cases) {
    Fixture f(c.mode);
    EXPECT_EQ(f.form->WindowCaption, c.title);
    EXPECT_EQ(f.form->RetryBudget, c.retries);
    EXPECT_EQ(f.form->OpenDialogFilter, c.filter);
    EXPECT_EQ(f.form->Panel_Debug.visible, c.debugPanel);
    EXPECT_EQ(f.form->Panel_Control.visible, c.debugPanel);
    // The fast link by default: no quiet gap; the engineers' box shows it.
    EXPECT_TRUE(f.form->FastLink);
    EXPECT_EQ(f.comm.ReadIntervalTimeout(), 0u);
    EXPECT_TRUE(f.form->CheckBox_FastLink.checked);
    EXPECT_FALSE(f.form->Button_Program.enabled);
    EXPECT_FALSE(f.form->Timer1.Enabled());
    EXPECT_EQ(f.form->StaticText_PROG_Size.text, "00000000");
  }
}

TEST(FormCreate, JapaneseTitleUsesItsOwnTexts) {
  Fixture f(2, {1024, 768}, 3);
  EXPECT_EQ(f.form->WindowCaption, "Ostrel\u3000ファイルマネジャー v5.01");
  EXPECT_EQ(f.form->Button1.text, "焼く");
  EXPECT_EQ(f.form->StaticText_Status1.fontCharset, 128);
}

TEST(FormCreate, CustomerLayoutFollowsTheScreenWidth) {
  struct Case {
    int width;
    int c0, c1, c2, listWidth;
    int fixedTreeWidth;  // 0: the trees may give way to fit the screen
  } cases[] = {
      {800, 80, 100, 45, 225, 130},
      {1024, 150, 150, 45, 350, 0},
      {1152, 170, 170, 70, 410, 0},
      {1280, 190, 190, 70, 480, 0},
  };
  for (const auto& c : cases) {
    Fixture f(2, {c.width, 1024});
    const ListView& list = f.form->ListView_FAT_OUT;
    ASSERT_EQ(list.columns.size(), 3u);
    EXPECT_EQ(list.columns[0].width, c.c0) << c.width;
    EXPECT_EQ(list.columns[1].width, c.c1);
    EXPECT_EQ(list.columns[2].width, c.c2);
    EXPECT_EQ(list.width, c.listWidth);
    const int tree = f.form->TreeView_FAT_IN.width;
    if (c.fixedTreeWidth) {
      EXPECT_EQ(tree, c.fixedTreeWidth);
    } else {
      EXPECT_LE(tree, 150);
      EXPECT_GE(tree, 80);
    }
    EXPECT_EQ(f.form->TreeView_FAT_OUT.width, tree);
    EXPECT_EQ(f.form->Panel_FAT_IN.width, tree + c.listWidth + 10);
    EXPECT_EQ(f.form->Panel_FAT_OUT.width, tree + c.listWidth + 10);
    EXPECT_GE(list.left, f.form->TreeView_FAT_OUT.left + f.form->TreeView_FAT_OUT.width);
    // The copy buttons stand 5 pixels right of the loaded-files panel.
    EXPECT_EQ(f.form->Button_Copy2Card.left, f.form->Panel_FAT_IN.width + 5);
    EXPECT_EQ(f.form->Button_DEL.width, 50);
    EXPECT_EQ(f.form->Button_DEL.left, f.form->StaticText_Cus_Card_Status2.left +
                                           f.form->StaticText_Cus_Card_Status2.width + 10);
    EXPECT_EQ(f.form->Button_DEL.top, f.form->StaticText_Cus_Card_Status2.top);
  }
}

TEST(FormCreate, CustomerLayoutFollowsTheScreenHeight) {
  struct Case {
    int height;
    int listHeight, panelHeight, button3Gap;
  } cases[] = {{600, 260, 405, 25}, {768, 350, 500, 30}, {1024, 450, 600, 30}};
  for (const auto& c : cases) {
    Fixture f(2, {1280, c.height});
    const int panel = f.form->Panel_FAT_OUT.height;
    const int list = f.form->ListView_FAT_IN.height;
    // Where the screen is too low for the designed heights the catalogue
    // panels give way, their lists by as much as the panels.
    EXPECT_LE(panel, c.panelHeight) << c.height;
    EXPECT_EQ(c.panelHeight - panel, c.listHeight - list) << c.height;
    if (!f.form->WindowMaximized) {
      EXPECT_EQ(panel, c.panelHeight);
    }
    EXPECT_EQ(f.form->Panel_FAT_IN.height, panel);
    EXPECT_EQ(f.form->TreeView_FAT_OUT.height, list);
    EXPECT_EQ(f.form->Button3.top - (f.form->Button1.top + f.form->Button1.height), c.button3Gap);
  }
}

TEST(FormCreate, SmallScreenOpensMaximisedAndSizeable) {
  Fixture small(2, {800, 600});
  EXPECT_TRUE(small.form->WindowMaximized);
  EXPECT_TRUE(small.form->WindowSizeable);
  Fixture large(2, {1280, 1024});
  EXPECT_FALSE(large.form->WindowMaximized);
  EXPECT_FALSE(large.form->WindowSizeable);
  EXPECT_EQ(large.form->WindowWidth,
            large.form->Panel_FAT_OUT.left + large.form->Panel_FAT_OUT.width);
}

// Every layout on every common screen, with and without a desktop panel
// taking 40 pixels: the window and its title bar fit what the screen offers.
// It opens at its content size, with the designed customer heights, when
// they fit, and maximised and sizeable otherwise.
TEST(FormCreate, WindowFitsTheAvailableArea) {
  struct Screen {
    int width, height;
    bool customerFits;  // 600 + 160 + a log under a title bar, from the designed heights
  } screens[] = {{800, 600, false},
                 {1024, 768, false},
                 {1280, 1024, true},
                 {1366, 768, false},
                 {1920, 1080, true}};
  constexpr int kTitleBar = 30, kBorders = 8;
  for (int mode = 0; mode <= 2; ++mode) {
    for (const Screen& s : screens) {
      for (int panel : {0, 40}) {
        SCOPED_TRACE(testing::Message() << "mode " << mode << ", " << s.width << "x" << s.height
                                        << ", panel " << panel);
        Fixture f(mode, {s.width, s.height, s.width, s.height - panel});
        const TForm_MAIN& form = *f.form;
        EXPECT_LE(form.WindowWidth + kBorders, s.width);
        EXPECT_LE(form.WindowHeight + kTitleBar, s.height - panel);
        EXPECT_EQ(form.WindowSizeable, form.WindowMaximized);
        EXPECT_EQ(form.Panel_Status.top + form.Panel_Status.height, form.WindowHeight);
        EXPECT_EQ(form.Panel_Status.width, form.WindowWidth);
        EXPECT_GE(form.Memo1.height, 30);
        if (s.width == 800) {
          EXPECT_TRUE(form.WindowMaximized);
        }
        if (mode == 2) {
          EXPECT_EQ(form.WindowMaximized, !s.customerFits);
          if (!form.WindowMaximized) {
            EXPECT_EQ(form.Panel_STEP2.height, 160);
            EXPECT_EQ(form.Panel_FAT_OUT.height, 600);
          }
        }
      }
    }
  }
}

// The engineering buttons as the operator sees them, and the rule that a
// button whose operation needs a module stays disabled while none is
// connected: at start, and again when a detection finds nothing.
TEST(FormCreate, EngineeringButtonsAndModuleButtons) {
  struct Caption {
    Button TForm_MAIN::*button;
    const char* text;
    bool visible;
  } captions[] = {
      {&TForm_MAIN::Button_LoadFile, "LOAD", true},
      {&TForm_MAIN::Button_Erase, "ERASE", true},
      {&TForm_MAIN::Button_Program, "PROGRAM", true},
      {&TForm_MAIN::Button_Verify, "VERIFY", true},
      {&TForm_MAIN::Button_CHECK, "CHECK", true},
      {&TForm_MAIN::Button_Auto, "AUTO", true},
      {&TForm_MAIN::Button_Read, "READ", true},
      {&TForm_MAIN::Button_QC, "QC Auto", true},
      {&TForm_MAIN::Button_QC_Blank, "QC STEP1", true},
      {&TForm_MAIN::Button_QC_Loop, "QC STEP2", true},
      {&TForm_MAIN::Button_CF_test, "CF_test", true},
      {&TForm_MAIN::Button4, "Button4", false},
  };
  Button TForm_MAIN::*const needModule[] = {
      &TForm_MAIN::Button_Erase,
      &TForm_MAIN::Button_Program,
      &TForm_MAIN::Button_Verify,
      &TForm_MAIN::Button_CHECK,
      &TForm_MAIN::Button_Auto,
      &TForm_MAIN::Button_Read,
      &TForm_MAIN::Button_QC,
      &TForm_MAIN::Button_QC_Blank,
      &TForm_MAIN::Button_QC_Loop,
      &TForm_MAIN::Button_Install,
      &TForm_MAIN::Button_Copy2Card,
      &TForm_MAIN::Button_CopyAll2Card,
      &TForm_MAIN::Button1,
      &TForm_MAIN::Button_SelectAll_IN,
      &TForm_MAIN::Button_SelectAll_OUT,
      &TForm_MAIN::Button_ClearAll_IN,
      &TForm_MAIN::Button_ClearAll_OUT,
      &TForm_MAIN::Button_DEL,
      &TForm_MAIN::Button_DeleteIN,
      &TForm_MAIN::Button_LoadFile,
      &TForm_MAIN::Button_Cus_LoadFile,
      &TForm_MAIN::Button2,
  };
  for (int mode = 0; mode <= 2; ++mode) {
    SCOPED_TRACE(mode);
    Fixture f(mode);
    TForm_MAIN& form = *f.form;
    if (mode < 2) {
      for (const Caption& c : captions) {
        EXPECT_EQ((form.*c.button).text, c.text);
        EXPECT_EQ((form.*c.button).visible, c.visible) << c.text;
      }
    }
    for (int pass = 0; pass < 2; ++pass) {
      for (auto button : needModule) {
        EXPECT_FALSE((form.*button).enabled) << (form.*button).name << " pass " << pass;
      }
      // No port answers: the detection leaves the window without a module.
      form.FormShow();
      f.clock.advance(1500);
      EXPECT_EQ(form.StaticText_Cus_Card_Status2.text, "Device not EXIST");
    }
  }
}

TEST(FormCreate, StepPanelsShowOneAtATimeInSilver) {
  Fixture f(2);
  const Panel* panels[] = {&f.form->Panel_STEP1, &f.form->Panel_STEP2, &f.form->Panel_STEP3,
                           &f.form->Panel_STEP4};
  for (int step = 1; step <= 4; ++step) {
    f.form->SetStepPanel(step);
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(panels[i]->visible, i + 1 == step);
      EXPECT_EQ(panels[i]->color, i + 1 == step ? Colors::kSilver : Colors::kWhite);
    }
  }
  EXPECT_EQ(f.form->StepTitle[0].text, "Connecting");
  EXPECT_EQ(f.form->Panel_Status.top, f.form->Panel_STEP2.top + f.form->Panel_STEP2.height);
  Fixture e(1);
  EXPECT_FALSE(e.form->Panel_STEP1.visible);
  EXPECT_EQ(e.form->Panel_Status.top, e.form->Panel_FAT_IN.top + e.form->Panel_FAT_IN.height);
}

TEST(FormCreate, OsVersionCodes) {
  struct Case {
    OsVersion os;
    int code;
  } cases[] = {
      {{false, 2, 5, 1}, 5}, {{true, 0, 3, 1}, 0}, {{true, 1, 4, 10}, 1}, {{true, 2, 5, 0}, 2},
      {{true, 2, 5, 1}, 2},  {{true, 2, 6, 0}, 3}, {{true, 2, 6, 1}, 4},  {{true, 7, 3, 0}, 5},
  };
  for (const auto& c : cases) {
    ScriptedHost host;
    host.os = c.os;
    VirtualClock clock;
    ScriptedTransport comm(clock);
    TForm_MAIN form(2, 0, host, clock, comm);
    EXPECT_EQ(form.GetOSVersionInfo(), c.code);
  }
}

TEST(FormCreate, PriorityChangesOnlyOnTheNtFamily) {
  for (int code = 0; code <= 5; ++code) {
    Fixture f(2);
    f.form->OSVersionCode = code;
    f.form->SetPriority(2);
    f.form->SetPriority(1);
    f.form->SetPriority(3);
    const bool changes = code >= 2 && code <= 4;
    EXPECT_EQ(f.host.priorityCalls.size(), changes ? 2u : 0u) << code;
    if (changes) {
      EXPECT_EQ(f.host.priorityCalls, (std::vector<bool>{true, false}));
    }
  }
}

TEST(FormShow, StartsTheFirstDetectionOneSecondLater) {
  Fixture f(2);
  f.form->FormShow();
  EXPECT_EQ(f.form->StaticText_Device_1.text, "Detecting...");
  EXPECT_TRUE(f.form->Timer1.Enabled());
  EXPECT_EQ(f.form->Timer1.Interval(), 1000u);
  EXPECT_TRUE(f.host.boxes.empty());
}

TEST(FormClose, EndOfConnectionOnlyForOstrelOneAndTwo) {
  for (uint8_t gen = 0; gen <= 3; ++gen) {
    Fixture f(2);
    f.comm.OpenPort();
    f.form->Connected = true;
    f.form->ModuleGeneration = Generation(gen);
    const uint32_t before = f.clock.tick();
    f.form->FormClose();
    // Nothing waits for an answer the module never gives.
    EXPECT_EQ(f.clock.tick(), before);
    if (gen <= 1) {
      ASSERT_EQ(f.comm.sent.size(), 1u);
      EXPECT_EQ(f.comm.sent[0].bytes, (std::vector<uint8_t>{0x81, 0x90, 0x11}));
    } else {
      EXPECT_TRUE(f.comm.sent.empty()) << int(gen);
    }
    EXPECT_FALSE(f.comm.isOpen());
  }
}

// A simulated port that lets a test act at the moment bytes go out.
struct WatchedPort : SimTransport {
  using SimTransport::SimTransport;
  bool SendBytes(const uint8_t* data, uint16_t length) override {
    if (onSend) std::exchange(onSend, nullptr)();
    return SimTransport::SendBytes(data, length);
  }
  std::function<void()> onSend;
};

// The user closes the window while an operation holds the port and the
// streams: the close waits, says so, and happens once the operation (and
// the handler that ran it) has returned; the end-of-connection packet of an
// Ostrel I or II is the last thing sent.
TEST(FormClose, CloseDuringAnOperationWaitsForItsEnd) {
  enum class When { Idle, Detection, Erase };
  struct Case {
    const char* name;
    SimConfig config;
    When when;
  } cases[] = {
      {"idle", SimConfig::fromTypeCode(0x84), When::Idle},
      {"detection, Ostrel I", SimConfig::ostrel1(), When::Detection},
      {"detection, Ostrel III", SimConfig::fromTypeCode(0x84), When::Detection},
      {"erase, Ostrel II", SimConfig::fromTypeCode(0x81), When::Erase},
      {"erase, Ostrel III", SimConfig::fromTypeCode(0x84), When::Erase},
  };
  const std::vector<uint8_t> pattern(65536, 0x5A);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedHost host;
    host.ports = {"SIM0"};
    VirtualClock clock;
    WatchedPort comm(clock);
    auto module = comm.addModule("SIM0", c.config);
    module->flash().program(2, 0, pattern);
    TForm_MAIN form(1, 0, host, clock, comm);
    form.FormCreate();
    int closedByCore = 0;
    form.onDeferredClose = [&] { ++closedByCore; };
    struct {
      bool asked = false, closedAtOnce = true, portOpen = false;
      std::string status;
    } during;
    auto askToClose = [&] {
      during.asked = true;
      during.closedAtOnce = form.requestClose();
      during.portOpen = comm.isOpen();
      during.status = form.StaticText_Status1.text;
    };
    if (c.when != When::Detection) {
      form.FormShow();
      clock.advance(1500);
      ASSERT_TRUE(form.Connected);
    }
    const size_t sentBefore = comm.sentLog().size();
    switch (c.when) {
      case When::Idle:
        askToClose();
        break;
      case When::Detection:
        comm.onSend = askToClose;
        form.FormShow();
        clock.advance(1500);
        break;
      case When::Erase:
        comm.onSend = askToClose;
        ASSERT_TRUE(form.Click("Button_Erase"));
        break;
    }
    ASSERT_TRUE(during.asked);
    EXPECT_TRUE(form.Closed);
    EXPECT_FALSE(comm.isOpen());
    EXPECT_TRUE(form.FlashImage.Size() == 0 && form.BlankBlock.Size() == 0);
    if (c.when == When::Idle) {
      EXPECT_TRUE(during.closedAtOnce);
      EXPECT_EQ(closedByCore, 0);
      continue;
    }
    EXPECT_FALSE(during.closedAtOnce);
    EXPECT_TRUE(during.portOpen);
    EXPECT_EQ(during.status, "Closing when this operation ends...");
    EXPECT_EQ(closedByCore, 1);
    // The operation ran to its end on the open port.
    if (c.when == When::Detection) {
      EXPECT_TRUE(form.Connected);
      EXPECT_TRUE(form.FatFreshRead);
    } else {
      EXPECT_EQ(module->flash().read(2), std::vector<uint8_t>(65536, 0xFF));
    }
    const auto& sent = comm.sentLog();
    ASSERT_GT(sent.size(), sentBefore);
    const bool endOfConnection = sent.back().bytes.size() >= 2 && sent.back().bytes[0] == 0x81 &&
                                 sent.back().bytes[1] == 0x90;
    EXPECT_EQ(endOfConnection, c.config.generation <= SimGeneration::Ost2);
    // Once closed, nothing more runs.
    EXPECT_FALSE(form.Click("Button_Erase"));
    EXPECT_TRUE(form.requestClose());
    EXPECT_EQ(comm.sentLog().size(), sent.size());
  }
}

TEST(DebugLog, FilterAndSwitch) {
  Fixture f(0);
  TForm_MAIN& form = *f.form;
  EXPECT_EQ(form.Button_Debug_Window_Switch.text, "Switch off");
  form.Memo2_Lines_Add("OST3_Return_Value", "hidden by the filter");
  form.Memo2_Lines_Add("", "plain line");
  EXPECT_EQ(form.Memo2.lines, (std::vector<std::string>{"plain line"}));
  form.CheckBox_Debug_fillter.checked = false;
  form.Memo2_Lines_Add("OST3_Return_Value", "module reply");
  EXPECT_EQ(form.Memo2.lines.size(), 2u);

  form.Button_Debug_Window_SwitchClick();
  EXPECT_EQ(form.Button_Debug_Window_Switch.text, "Switch On");
  EXPECT_FALSE(form.Memo2.enabled);
  form.Memo2_Lines_Add("", "switched off");
  EXPECT_EQ(form.Memo2.lines.size(), 2u);
  form.Button_Debug_Window_SwitchClick();
  EXPECT_EQ(form.Button_Debug_Window_Switch.text, "Switch Off");
  EXPECT_TRUE(form.Memo2.enabled);
  form.Memo2_Lines_Add("OST3_Return_Value", "back on");
  EXPECT_EQ(form.Memo2.lines.size(), 3u);

  form.Button_Debug_ClearClick();
  EXPECT_TRUE(form.Memo2.lines.empty());
}

TEST(Reporting, FailureWithAFaultCode) {
  for (int mode : {0, 2}) {
    Fixture f(mode);
    TForm_MAIN& form = *f.form;
    form.ReportStart(form.Prompt(27), false);
    form.ReportFailure(29, "0012", false);
    EXPECT_EQ(form.StaticText_Status2.text, "Fault code:0012");
    EXPECT_EQ(form.StaticText_Status1.text, "Load Fail!");
    EXPECT_EQ(form.Memo1.lines,
              (std::vector<std::string>{"Loading.....", "Fault code:0012", "Load Fail!"}));
    EXPECT_EQ(f.host.beeps, 0);
    if (mode == 2) {
      ASSERT_EQ(f.host.boxes.size(), 1u);
      EXPECT_EQ(f.host.boxes[0].kind, MsgBoxKind::Error);
      EXPECT_EQ(f.host.boxes[0].text, "Load Fail!");
    } else {
      EXPECT_TRUE(f.host.boxes.empty());
    }
  }
}

TEST(Reporting, WholeCartridgeOperationsBeepAndColourTheLog) {
  Fixture f(2);
  TForm_MAIN& form = *f.form;
  form.Memo2.add("old");
  form.Memo1.fontColor = Colors::kRed;
  form.ReportStart(form.Prompt(31), true);
  EXPECT_TRUE(form.Memo2.lines.empty());
  EXPECT_EQ(form.Memo1.fontColor, Colors::kWindowText);
  form.ReportFailure(33, "0090", true);
  EXPECT_EQ(f.host.beeps, 3);
  EXPECT_EQ(form.Memo1.fontColor, Colors::kRed);

  form.ReportStart(form.Prompt(31), true);
  form.ReportSuccess(32, true);
  EXPECT_EQ(f.host.beeps, 4);
  EXPECT_EQ(f.host.boxes.back().kind, MsgBoxKind::Information);
  EXPECT_EQ(form.StaticText_Status2.text, "");
}

TEST(FormWait, EachShowingStartsEmpty) {
  Fixture f(2);
  TForm_Wait& wait = f.form->Form_Wait;
  EXPECT_EQ(wait.Caption, "Please wait");
  for (int i = 0; i < 2; ++i) {
    wait.Show();
    EXPECT_TRUE(wait.Visible);
    EXPECT_EQ(wait.Label_WaitInfo.text, "");
    EXPECT_EQ(wait.ProgressBar_Wait.position, 0);
    wait.Label_WaitInfo.text = "Detecting...";
    wait.ProgressBar_Wait.position = 70;
    wait.Close();
    EXPECT_FALSE(wait.Visible);
  }
  Fixture chinese(2, {1024, 768}, 1);
  EXPECT_EQ(chinese.form->Form_Wait.Label_WaitInfo.fontCharset, 136);
}

TEST(Timer1, RepeatsUntilDisabled) {
  Fixture f(2);
  int fired = 0;
  TTimer timer(f.clock, 100);
  timer.OnTimer = [&] {
    if (++fired == 3) timer.setEnabled(false);
  };
  timer.setEnabled(true);
  f.clock.advance(1000);
  EXPECT_EQ(fired, 3);
}

}  // namespace
}  // namespace ostrel
