// The Qt window on the offscreen platform: it renders the core's models and
// forwards clicks to the core.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include "app/form_main.h"
#include "app/gui/main_window.h"
#include "common/scripted_host.h"
#include "common/scripted_transport.h"

namespace ostrel {
namespace {

struct Gui {
  explicit Gui(int mode) : form(mode, 0, host, clock, comm), window((form.FormCreate(), form)) {
    window.sync();
  }
  ScriptedHost host;
  VirtualClock clock;
  ScriptedTransport comm{clock};
  TForm_MAIN form;
  MainWindow window;
};

TEST(Gui, WindowTitleFollowsTheBuildMode) {
  const char* titles[] = {"Ostrel File Manager DEBUG v5.01", "Ostrel File Manager R&D v5.01",
                          "Ostrel File Manager v5.01"};
  for (int mode = 0; mode <= 2; ++mode) {
    Gui g(mode);
    g.window.show();
    EXPECT_EQ(g.window.windowTitle().toStdString(), titles[mode]);
    QWidget* debug = g.window.widget("Panel_Debug");
    ASSERT_NE(debug, nullptr);
    EXPECT_EQ(debug->isVisible(), mode != 2);
    EXPECT_EQ(g.window.widget("Button1")->isVisible(), mode == 2);
  }
}

TEST(Gui, DebugSwitchButtonDrivesTheCore) {
  Gui g(0);
  g.window.show();
  auto* button = qobject_cast<QPushButton*>(g.window.widget("Button_Debug_Window_Switch"));
  ASSERT_NE(button, nullptr);
  EXPECT_EQ(button->text(), "Switch off");
  g.form.CheckBox_Debug_fillter.checked = false;
  QTest::mouseClick(button, Qt::LeftButton);
  EXPECT_EQ(button->text(), "Switch On");
  EXPECT_FALSE(g.form.DebugSwitch);
  g.form.Memo2_Lines_Add("", "dropped while off");
  QTest::mouseClick(button, Qt::LeftButton);
  EXPECT_EQ(button->text(), "Switch Off");
  g.form.Memo2_Lines_Add("OST3_Return_Value", "kept while on and unfiltered");
  g.window.sync();
  auto* memo = qobject_cast<QPlainTextEdit*>(g.window.widget("Memo2"));
  EXPECT_EQ(memo->toPlainText().toStdString(), "kept while on and unfiltered");
}

TEST(Gui, StatusLinesAndProgressDialogFollowTheModels) {
  Gui g(2);
  g.window.show();
  g.form.ReportFailure("Load Fail!", "0012", false);
  g.form.Form_Wait.Show();
  g.form.Form_Wait.Label_WaitInfo.text = "Detecting...";
  g.window.sync();
  EXPECT_EQ(qobject_cast<QLabel*>(g.window.widget("StaticText_Status2"))->text().toStdString(),
            "Fault code:0012");
  EXPECT_EQ(qobject_cast<QLabel*>(g.window.widget("StaticText_Status1"))->text().toStdString(),
            "Load Fail!");
  EXPECT_TRUE(g.window.waitDialog()->isVisible());
  EXPECT_EQ(g.window.waitDialog()->size(), QSize(419, 80));
  EXPECT_EQ(g.window.waitDialog()->windowTitle().toStdString(), "Please wait");
  g.form.Form_Wait.Close();
  g.window.sync();
  EXPECT_FALSE(g.window.waitDialog()->isVisible());
}

TEST(Gui, DisabledButtonsIgnoreClicks) {
  Gui g(0);
  g.window.show();
  int clicks = 0;
  g.form.ClickHandlers["Button_Erase"] = [&] { ++clicks; };
  auto* erase = qobject_cast<QPushButton*>(g.window.widget("Button_Erase"));
  QTest::mouseClick(erase, Qt::LeftButton);
  EXPECT_EQ(clicks, 0);
  EXPECT_FALSE(g.form.Click("Button_Erase"));
  g.form.Button_Erase.enabled = true;
  g.window.sync();
  QTest::mouseClick(erase, Qt::LeftButton);
  EXPECT_EQ(clicks, 1);
}

}  // namespace
}  // namespace ostrel

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
