// The Qt window on the offscreen platform: it renders the core's models and
// forwards clicks to the core.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLayout>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <algorithm>

#include "app/form_main.h"
#include "app/gui/main_window.h"
#include "app/gui/qt_host.h"
#include "app/prompt_table.h"
#include "common/scripted_host.h"
#include "common/scripted_transport.h"

// The simulator has a method named emit, which Qt's keyword macro would rewrite.
#undef emit
#include "sim/sim_transport.h"

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

// The longest texts a control shows in practice: its own, and for the
// connection-state fields every state of the build's language.
std::vector<QString> textsShown(const TForm_MAIN& form, const Control& c) {
  std::vector<QString> texts{QString::fromStdString(c.text)};
  const bool connectionField =
      c.name == "StaticText_Device_1" || c.name == "StaticText_CUST_Device_1" ||
      c.name == "StaticText_Cus_Card_Status2" || c.name == "StaticText_Status1";
  if (connectionField) {
    for (int message : {24, 25, 26}) texts.push_back(QString::fromStdString(form.Prompt(message)));
  }
  if (c.name == "StaticText_Status1") {
    texts.push_back(QString::fromUtf8(closeDeferredText(form.Language).data()));
  }
  if (c.name == "Button_Debug_Window_Switch") texts.push_back("Switch On");
  return texts;
}

// The room a widget leaves for a one-line caption.
int captionRoom(const QWidget* w) {
  if (auto* button = qobject_cast<const QPushButton*>(w)) return button->width() - 6;
  auto* label = qobject_cast<const QLabel*>(w);
  const int indent = label->frameWidth() > 0 ? label->fontMetrics().horizontalAdvance('x') / 2 : 0;
  return label->contentsRect().width() - indent;
}

// Every layout on the common screens, a desktop panel taking 40 pixels, in
// the four languages: each visible control lies inside its parent and inside
// the window, and each caption fits its control (a text of several lines
// fits its height too).
TEST(Gui, EveryVisibleControlFitsItsParentTheWindowAndItsCaption) {
  const QSize screens[] = {{800, 600}, {1024, 768}, {1280, 1024}, {1366, 768}, {1920, 1080}};
  for (int mode = 0; mode <= 2; ++mode) {
    for (const QSize& screen : screens) {
      for (int language = 0; language < 4; ++language) {
        SCOPED_TRACE(testing::Message() << "mode " << mode << ", " << screen.width() << "x"
                                        << screen.height() << ", language " << language);
        ScriptedHost host;
        host.screen = {screen.width(), screen.height(), screen.width(), screen.height() - 40};
        VirtualClock clock;
        ScriptedTransport comm{clock};
        TForm_MAIN form(mode, language, host, clock, comm);
        form.FormCreate();
        MainWindow window(form);
        window.layout()->activate();  // as showing it would, without a screen to be shown on
        const QRect client = window.rect();
        EXPECT_LE(client.width(), host.screen.availableWidth);
        EXPECT_LE(client.height() + 30, host.screen.availableHeight);
        for (Control* c : form.Controls) {
          QWidget* w = window.widget(c->name);
          ASSERT_NE(w, nullptr) << c->name;
          if (!w->isVisibleTo(&window)) continue;
          EXPECT_TRUE(w->parentWidget()->rect().contains(w->geometry())) << c->name;
          const QRect inWindow(w->mapTo(&window, QPoint(0, 0)), w->size());
          EXPECT_TRUE(client.contains(inWindow)) << c->name;
          if (c->kind != ControlKind::Button && c->kind != ControlKind::Label &&
              c->kind != ControlKind::StaticText)
            continue;
          const QFontMetrics fm = w->fontMetrics();
          const bool severalLines = c->kind == ControlKind::Label && w->height() >= 2 * fm.height();
          for (const QString& text : textsShown(form, *c)) {
            if (severalLines) {
              const QRect needed =
                  fm.boundingRect(QRect(0, 0, w->width(), 100000), Qt::TextWordWrap, text);
              EXPECT_LE(needed.height(), w->height()) << c->name << ": " << text.toStdString();
            } else {
              EXPECT_LE(fm.horizontalAdvance(text), captionRoom(w))
                  << c->name << ": " << text.toStdString();
            }
          }
        }
      }
    }
  }
}

// A message box raised while detection has the window disabled (an unknown
// TypeCode) must still take its OK: the dialogs are not disabled with the
// window's controls, and the progress dialog waits hidden behind the box.
// The box is modal, so it is clicked from a timer.
TEST(Gui, FaultBoxDuringDetectionTakesItsOk) {
  struct BoxHost : ScriptedHost {
    MsgBoxResult messageBox(const std::string& text, const std::string& caption, MsgBoxKind kind,
                            MsgBoxButtons buttons) override {
      return qt.messageBox(text, caption, kind, buttons);
    }
    QtHost qt{"/tmp/"};
  } host;
  host.ports = {"SIM0"};
  VirtualClock clock;
  SimTransport comm(clock);
  comm.addModule("SIM0", SimConfig::fromTypeCode(0x99));
  TForm_MAIN form(2, 0, host, clock, comm);
  form.FormCreate();
  MainWindow window(form);
  host.qt.setOwner(&window);
  window.show();
  form.FormShow();

  struct {
    bool seen = false, boxEnabled = false, okEnabled = false, waitEnabled = false;
    bool controlsDisabled = false, waitHidden = false, stuck = false;
  } r;
  QTimer::singleShot(100, &window, [&] {
    window.sync();  // the refresh that disables the window's controls
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    r.seen = true;
    r.boxEnabled = box->isEnabled();
    r.waitEnabled = window.waitDialog()->isEnabled();
    // The progress of the detection is not drawn over the box.
    r.waitHidden = form.Form_Wait.Visible && !window.waitDialog()->isVisible();
    r.controlsDisabled = !window.widget("Button2")->isEnabled();
    QAbstractButton* ok = box->button(QMessageBox::Ok);
    r.okEnabled = ok && ok->isEnabled();
    if (ok) QTest::mouseClick(ok, Qt::LeftButton);
  });
  // A box that ignored the click would wait for ever: end it and fail.
  QTimer::singleShot(3000, &window, [&] {
    if (auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
      r.stuck = true;
      box->done(0);
    }
  });
  clock.advance(1500);  // detection starts one second after the window is shown

  EXPECT_TRUE(r.seen);
  EXPECT_TRUE(r.boxEnabled);
  EXPECT_TRUE(r.okEnabled);
  EXPECT_TRUE(r.waitEnabled);
  EXPECT_TRUE(r.waitHidden);
  EXPECT_TRUE(r.controlsDisabled);
  EXPECT_FALSE(r.stuck);
  const auto& log = form.Memo1.lines;
  EXPECT_NE(std::find(log.begin(), log.end(), "Fault code:0001"), log.end());
  EXPECT_FALSE(form.Connected);
  window.sync();
  EXPECT_TRUE(window.widget("Panel_FAT_OUT")->isEnabled());
}

// Closing the window while detection reads the catalogue: the close is
// refused with a word in the status line, the read finishes on the open port,
// and the window closes by itself when the detection is over.
TEST(Gui, CloseDuringAnOperationWaitsForItsEnd) {
  ScriptedHost host;
  host.ports = {"SIM0"};
  VirtualClock clock;
  SimTransport comm(clock);
  comm.addModule("SIM0", SimConfig::fromTypeCode(0x84));
  TForm_MAIN form(2, 0, host, clock, comm);
  form.FormCreate();
  MainWindow window(form);
  window.show();
  form.FormShow();
  struct {
    bool asked = false, accepted = true, shown = false, portOpen = false;
    std::string status;
  } during;
  const auto readFat = form.readFat;
  form.readFat = [&] {
    during.asked = true;
    during.accepted = window.close();
    during.shown = window.isVisible();
    during.portOpen = comm.isOpen();
    during.status =
        qobject_cast<QLabel*>(window.widget("StaticText_Status1"))->text().toStdString();
    return readFat();
  };
  clock.advance(1500);

  ASSERT_TRUE(during.asked);
  EXPECT_FALSE(during.accepted);
  EXPECT_TRUE(during.shown);
  EXPECT_TRUE(during.portOpen);
  EXPECT_EQ(during.status, "Closing when this operation ends...");
  EXPECT_TRUE(form.FatFreshRead);
  EXPECT_TRUE(form.Closed);
  EXPECT_FALSE(comm.isOpen());
  EXPECT_FALSE(window.isVisible());
}

}  // namespace
}  // namespace ostrel

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  // Windows closed by one test must not end the event loops of the next.
  app.setQuitOnLastWindowClosed(false);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
