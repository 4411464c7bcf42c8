// The Qt window on the offscreen platform: it renders the core's models and
// forwards clicks to the core.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <functional>
#include <memory>
#include <set>
#include <sstream>

#include "app/form_main.h"
#include "app/gui/language_font.h"
#include "app/gui/main_window.h"
#include "app/gui/qt_convert.h"
#include "app/gui/qt_host.h"
#include "app/prompt_table.h"
#include "common/scripted_host.h"
#include "common/scripted_transport.h"
#include "link/identify.h"

// The simulator has a method named emit, which Qt's keyword macro would rewrite.
#undef emit
#include "sim/presets.h"
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
  g.form.ReportFailure(29, "0012", false);
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
  // The identity fields: a module's four bytes, wide hex letters in each.
  const bool identityField = c.name == "StaticText_AuxNo" || c.name == "StaticText_CUST_AuxNo" ||
                             c.name == "StaticText_ID" || c.name == "StaticText_CUST_ID" ||
                             c.name == "StaticText_Cus_id2";
  if (identityField) {
    const uint8_t wide[4] = {0xDD, 0xDD, 0xDD, 0xDD};
    texts.push_back(QString::fromStdString(identityText(wide)));
  }
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
// What the user steps or types reaches the model, and a step goes through
// the core's rule for the read range.
TEST(Gui, ReadRangeStepsAndTypedSectorsReachTheCore) {
  Gui g(0);
  g.window.show();
  for (UpDown* u : {&g.form.UpDown_ReadStartAddr, &g.form.UpDown_ReadStopAddr}) {
    u->enabled = true;
    u->max = 255;
  }
  g.form.UpDown_ReadStopAddr.position = 1;
  g.window.sync();
  auto* stop = qobject_cast<QSpinBox*>(g.window.widget("UpDown_ReadStopAddr"));
  ASSERT_NE(stop, nullptr);
  stop->stepBy(-1);  // onto the minimum: the rule shows the maximum
  EXPECT_EQ(g.form.UpDown_ReadStopAddr.position, 255);
  EXPECT_EQ(stop->value(), 255);
  EXPECT_EQ(g.form.StaticText_ReadStopAddr.text, "00FF");
  auto* first = qobject_cast<QLineEdit*>(g.window.widget("ost4_read_sector_start"));
  ASSERT_NE(first, nullptr);
  first->clear();
  QTest::keyClicks(first, "1f");
  EXPECT_EQ(g.form.ost4_read_sector_start.text, "1f");
  // The engineer's fast-link tick, on by default, switches the link's delivery.
  auto* fast = qobject_cast<QCheckBox*>(g.window.widget("CheckBox_FastLink"));
  ASSERT_NE(fast, nullptr);
  EXPECT_TRUE(fast->isChecked());
  QTest::mouseClick(fast, Qt::LeftButton, {}, QPoint(8, fast->height() / 2));
  EXPECT_FALSE(g.form.FastLink);
  EXPECT_EQ(g.comm.ReadIntervalTimeout(), 10u);
}

TEST(Gui, EveryVisibleControlFitsItsParentTheWindowAndItsCaption) {
  const QSize screens[] = {{800, 600},   {1024, 768}, {1152, 864},
                           {1280, 1024}, {1366, 768}, {1920, 1080}};
  for (int mode = 0; mode <= 2; ++mode) {
    for (const QSize& screen : screens) {
      for (int language = 0; language < 4; ++language) {
        SCOPED_TRACE(testing::Message() << "mode " << mode << ", " << screen.width() << "x"
                                        << screen.height() << ", language " << language);
        // The font the program picks for the language, as users see it.
        const QFont base = QApplication::font();
        QApplication::setFont(languageFont(language, base));
        struct RestoreFont {
          QFont font;
          ~RestoreFont() { QApplication::setFont(font); }
        } restore{base};
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
          // A field of the flash and debug panels says what it shows: a
          // caption beside it or, pointed at, a tooltip.
          const bool field = c->kind == ControlKind::StaticText || c->kind == ControlKind::Edit ||
                             c->kind == ControlKind::UpDown || c->kind == ControlKind::ProgressBar;
          if (field && (c->parent == "Panel_Control" || c->parent == "Panel_Debug")) {
            const QRect g = w->geometry();
            bool captioned = false;
            for (QLabel* label :
                 w->parentWidget()->findChildren<QLabel*>(Qt::FindDirectChildrenOnly)) {
              const QRect l = label->geometry();
              captioned |= label != w && label->isVisibleTo(&window) && label->frameWidth() == 0 &&
                           l.right() < g.left() && g.left() - l.right() < 20 &&
                           l.top() < g.bottom() && l.bottom() > g.top();
            }
            EXPECT_TRUE(captioned || !w->toolTip().isEmpty()) << c->name;
          }
          if (c->kind != ControlKind::Button && c->kind != ControlKind::Label &&
              c->kind != ControlKind::StaticText)
            continue;
          const QFontMetrics fm = w->fontMetrics();
          const bool severalLines = c->kind == ControlKind::Label && w->height() >= 2 * fm.height();
          if (c->kind == ControlKind::Label && !severalLines) {
            // A caption ends at least 4 pixels before the control beside it.
            const QRect g = w->geometry();
            const int textRight =
                g.left() + w->contentsRect().left() + fm.horizontalAdvance(qs(c->text));
            for (QWidget* other :
                 w->parentWidget()->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
              const QRect o = other->geometry();
              if (other == w || !other->isVisibleTo(&window) || o.left() < g.left() ||
                  o.top() > g.bottom() || o.bottom() < g.top())
                continue;
              EXPECT_GE(o.left() - textRight, 4)
                  << c->name << " beside " << other->objectName().toStdString();
            }
          }
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

// Qt's own texts follow the window's language: the Yes and No buttons and
// the file dialog.
TEST(GuiLanguage, QtDialogsSpeakTheLanguage) {
  auto said = [] {
    QMessageBox box(QMessageBox::Question, "Ostrel", "?", QMessageBox::Yes | QMessageBox::No);
    QFileDialog dialog;
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    const QLabel* lookIn = dialog.findChild<QLabel*>("lookInLabel");
    return std::vector<QString>{box.button(QMessageBox::Yes)->text(),
                                box.button(QMessageBox::No)->text(),
                                lookIn ? lookIn->text() : QString()};
  };
  const std::vector<QString> english = said();
  for (int language = 1; language < 4; ++language) {
    ASSERT_TRUE(installQtTranslations(language));
    const std::vector<QString> texts = said();
    for (size_t i = 0; i < texts.size(); ++i)
      EXPECT_NE(texts[i], english[i]) << language << ": " << texts[i].toStdString();
  }
  ASSERT_TRUE(installQtTranslations(0));
  EXPECT_EQ(said(), english);
}

// A message box raised while detection has the window disabled (an unknown
// TypeCode) must still take its OK: the dialogs are not disabled with the
// window's controls, and the progress dialog waits hidden behind the box.
// The box is modal, so it is clicked from a timer.
TEST(Gui, FaultBoxDuringDetectionTakesItsOk) {
  struct BoxHost : ScriptedHost {
    MsgBoxResult messageBox(int message, const std::string& text, const std::string& caption,
                            MsgBoxKind kind, MsgBoxButtons buttons) override {
      return qt.messageBox(message, text, caption, kind, buttons);
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

// ---------------------------------------------------------------- catalogue panels

// The demo cartridge as the preset stores it (not as the views read it):
// whether an entry lies in a directory, and a directory's list captions,
// "[child]" in first-use order then the software right there (an alias
// shares the sectors of the entry before it and shows in that row).
std::vector<std::string> levelsOf(const SimFatEntry& e) {
  std::vector<std::string> levels;
  std::stringstream path(e.path);
  for (std::string name; std::getline(path, name, '\\');) levels.push_back(name);
  return levels;
}
bool inDirectory(const SimFatEntry& e, const std::vector<std::string>& dir) {
  const auto levels = levelsOf(e);
  return levels.size() >= dir.size() && std::equal(dir.begin(), dir.end(), levels.begin());
}
std::vector<std::string> expectedCaptions(const std::vector<std::string>& dir) {
  std::vector<std::string> children, software;
  const auto demo = demoCatalogue();
  for (size_t i = 0; i < demo.size(); ++i) {
    const auto levels = levelsOf(demo[i]);
    if (!inDirectory(demo[i], dir)) continue;
    const std::string child = levels.size() > dir.size() ? "[" + levels[dir.size()] + "]" : "";
    if (!child.empty() && std::find(children.begin(), children.end(), child) == children.end())
      children.push_back(child);
    if (child.empty() && (i == 0 || demo[i - 1].startSector != demo[i].startSector))
      software.push_back(demo[i].brand);
  }
  children.insert(children.end(), software.begin(), software.end());
  return children;
}

std::vector<std::string> shownColumn(const QTreeWidget* t, int column) {
  std::vector<std::string> texts;
  for (int i = 0; i < t->topLevelItemCount(); ++i)
    texts.push_back(t->topLevelItem(i)->text(column).toStdString());
  return texts;
}
QTreeWidgetItem* shownItem(const QTreeWidget* t, const std::string& text) {
  const auto found =
      t->findItems(QString::fromStdString(text), Qt::MatchExactly | Qt::MatchRecursive, 0);
  return found.isEmpty() ? nullptr : found.front();
}

// A host whose message boxes can act while they are open.
struct HookedHost : ScriptedHost {
  MsgBoxResult messageBox(int message, const std::string& text, const std::string& caption,
                          MsgBoxKind kind, MsgBoxButtons buttons) override {
    if (duringBox) duringBox();
    return ScriptedHost::messageBox(message, text, caption, kind, buttons);
  }
  std::function<void()> duringBox;
};

// The window on a simulated Ostrel III holding the demo cartridge, its FAT read.
struct DemoWindow {
  explicit DemoWindow(int mode, ScreenSize screen = {1024, 768})
      : form(mode, 0, (host.screen = screen, host), clock, comm) {
    SimConfig config = SimConfig::fromTypeCode(0x84);
    config.strict = true;
    EXPECT_TRUE(applySimPreset(SimPreset::Demo, config, comm.addModule("SIM0", config)->flash()));
    comm.setCommName("SIM0");
    form.FormCreate();
    comm.OpenPort();
    form.ModuleGeneration = Generation(config.generation);
    form.SectorCount = config.sectorCount;
    form.ResetBlockTable();
    window = std::make_unique<MainWindow>(form);
    window->show();
    QApplication::setActiveWindow(window.get());
    EXPECT_TRUE(form.Function_ReadFAT());
    settle();
  }
  QTreeWidget* view(const std::string& name) const {
    return qobject_cast<QTreeWidget*>(window->widget(name));
  }
  // Queued refreshes run, then the widgets catch up with the models.
  void settle() {
    QCoreApplication::processEvents();
    window->sync();
  }
  void click(const std::string& view, const std::string& item,
             Qt::KeyboardModifiers modifiers = Qt::NoModifier, bool twice = false) {
    QTreeWidget* t = this->view(view);
    QTreeWidgetItem* at = shownItem(t, item);
    ASSERT_NE(at, nullptr) << item;
    t->scrollToItem(at);
    QTest::mouseClick(t->viewport(), Qt::LeftButton, modifiers, t->visualItemRect(at).center());
    if (twice)
      QTest::mouseDClick(t->viewport(), Qt::LeftButton, {}, t->visualItemRect(at).center());
    settle();
  }
  void key(const std::string& view, Qt::Key k) {
    QTest::keyClick(this->view(view), k);
    settle();
  }

  HookedHost host;
  VirtualClock clock{1000};
  SimTransport comm{clock};
  TForm_MAIN form;
  std::unique_ptr<MainWindow> window;
};

// After a FAT read the widgets show the models and the demo cartridge on
// every layout: the designed columns (the hidden one never), the units never
// cut, the model's widths wherever the list has room; the tree nested and
// expanded as its model says.
TEST(GuiCatalogue, DemoCartridgeShowsInTheWidgetsOnEveryLayout) {
  const struct {
    int mode;
    ScreenSize screen;
    bool roomForDesignedColumns;
  } cases[] = {{0, {1920, 1080}, true},
               {0, {800, 600}, false},
               {2, {1920, 1080}, true},
               {2, {1024, 768}, false},
               {2, {800, 600}, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << c.mode << ", " << c.screen.width);
    DemoWindow d(c.mode, c.screen);
    const ListView& model = d.form.ListView_FAT_OUT;
    const QTreeWidget* list = d.view("ListView_FAT_OUT");
    ASSERT_EQ(list->columnCount(), 3);
    EXPECT_EQ(list->headerItem()->text(0) + "|" + list->headerItem()->text(1) + "|" +
                  list->headerItem()->text(2),
              "Vehicle brand|Version information|Space");
    EXPECT_EQ(shownColumn(list, 0), expectedCaptions({}));
    ASSERT_EQ(size_t(list->topLevelItemCount()), model.items.size());
    int columnsWidth = 0;
    for (int col = 0; col < 3; ++col) {
      columnsWidth += list->columnWidth(col);
      if (c.roomForDesignedColumns || col < 2)
        EXPECT_LE(list->columnWidth(col), model.columns[size_t(col)].width);
      if (c.roomForDesignedColumns)
        EXPECT_EQ(list->columnWidth(col), model.columns[size_t(col)].width);
    }
    EXPECT_LE(columnsWidth, list->viewport()->width());
    for (size_t i = 0; i < model.items.size(); ++i) {
      const QTreeWidgetItem* row = list->topLevelItem(int(i));
      EXPECT_EQ(row->text(1).toStdString(), model.items[i].subItems[0]);
      EXPECT_EQ(row->text(2).toStdString(), model.items[i].subItems[1]);
      EXPECT_TRUE(row->textAlignment(2) & Qt::AlignRight);
      EXPECT_LT(QFontMetrics(list->font()).horizontalAdvance(row->text(2)), list->columnWidth(2));
    }

    // Text of 8 points or more on rows that hold accents whole.
    for (const QTreeWidget* view :
         {list, static_cast<const QTreeWidget*>(d.view("TreeView_FAT_OUT"))}) {
      EXPECT_GE(view->font().pointSizeF(), 8.0);
      const QRect row = view->visualItemRect(view->topLevelItem(0));
      EXPECT_GE(row.height(), QFontMetrics(view->font()).boundingRect("ÑÂÉ").height())
          << row.height();
    }

    const TreeView& treeModel = d.form.TreeView_FAT_OUT;
    const QTreeWidget* tree = d.view("TreeView_FAT_OUT");
    EXPECT_EQ(tree->currentItem(), tree->topLevelItem(0));
    for (const TreeNode& node : treeModel.nodes) {
      const QTreeWidgetItem* item = shownItem(tree, node.text);
      ASSERT_NE(item, nullptr) << node.text;
      EXPECT_EQ(item->parent() ? item->parent()->text(0).toStdString() : "",
                node.parent >= 0 ? treeModel.nodes[size_t(node.parent)].text : "");
      if (item->childCount() > 0) EXPECT_EQ(item->isExpanded(), node.expanded) << node.text;
    }
  }
}

// The user's selection is in the model when the core's handler runs: the
// handlers decide from the model alone (which buttons, which directory), so
// any lag shows. Refreshing a widget from the model reports nothing back.
TEST(GuiCatalogue, UserSelectionReachesTheModelBeforeTheCore) {
  DemoWindow d(0);
  TForm_MAIN& f = d.form;
  d.click("TreeView_FAT_OUT", "EUROPE");
  EXPECT_EQ(nodePath(f.CartridgeTree, f.TreeView_FAT_OUT.selected),
            std::vector<std::string>{"EUROPE"});
  EXPECT_EQ(shownColumn(d.view("ListView_FAT_OUT"), 0), expectedCaptions({"EUROPE"}));
  // The tree took the focus, so Delete would take the whole directory;
  // refilling the list did not report an empty selection back.
  EXPECT_TRUE(f.Button_DEL.enabled);

  const struct {
    const char* item;
    Qt::KeyboardModifiers modifiers;
    std::vector<std::string> selected;
  } clicks[] = {{"[GERMANY]", Qt::NoModifier, {"[GERMANY]"}},
                {"[SPAIN]", Qt::ControlModifier, {"[GERMANY]", "[SPAIN]"}},
                {"[GERMANY]", Qt::ControlModifier, {"[SPAIN]"}},
                {"[SPAIN]", Qt::ControlModifier, {}}};
  for (const auto& c : clicks) {
    SCOPED_TRACE(c.item);
    d.click("ListView_FAT_OUT", c.item, c.modifiers);
    std::vector<std::string> selected;
    for (const ListItem& item : f.ListView_FAT_OUT.items)
      if (item.selected) selected.push_back(item.caption);
    EXPECT_EQ(selected, c.selected);
    ASSERT_GE(f.ListView_FAT_OUT.itemFocused, 0);
    EXPECT_EQ(f.ListView_FAT_OUT.items[size_t(f.ListView_FAT_OUT.itemFocused)].caption, c.item);
    EXPECT_EQ(f.Button_DEL.enabled, !c.selected.empty());
    EXPECT_EQ(f.Button_ClearAll_OUT.enabled, !c.selected.empty());
  }

  // The core's own selection reaches the widget, and only the widget.
  f.handleEvent([&] { f.Button_SelectAll_OUTClick(); });
  d.settle();
  EXPECT_EQ(size_t(d.view("ListView_FAT_OUT")->selectedItems().size()),
            expectedCaptions({"EUROPE"}).size());
  for (const ListItem& item : f.ListView_FAT_OUT.items) EXPECT_TRUE(item.selected);

  // A double-click opens the focused directory; the tree follows the model.
  d.click("ListView_FAT_OUT", "[NORDIC]", Qt::NoModifier, true);
  EXPECT_EQ(d.view("TreeView_FAT_OUT")->currentItem()->text(0).toStdString(), "NORDIC");
  EXPECT_EQ(shownColumn(d.view("ListView_FAT_OUT"), 0), expectedCaptions({"EUROPE", "NORDIC"}));

  const int beeps = d.host.beeps;
  d.key("ListView_FAT_OUT", Qt::Key_Space);
  EXPECT_EQ(d.host.beeps, beeps + 1);
}

// Delete on a directory item goes through the core: the confirmation box,
// the removal, the widgets refilled; a close asked for while the box is
// open waits until the removal has returned.
TEST(GuiCatalogue, DeleteKeyOnADirectoryRemovesItThroughTheCore) {
  const struct {
    MsgBoxResult answer;
    bool closeDuringBox;
  } cases[] = {{MsgBoxResult::Yes, false}, {MsgBoxResult::No, false}, {MsgBoxResult::Yes, true}};
  for (const auto& c : cases) {
    const bool yes = c.answer == MsgBoxResult::Yes;
    SCOPED_TRACE(testing::Message() << yes << c.closeDuringBox);
    DemoWindow d(0);
    d.click("ListView_FAT_OUT", "[ASIA]");
    d.host.answers = {c.answer};
    bool closedDuringBox = false;
    d.host.duringBox = [&] {
      if (c.closeDuringBox) closedDuringBox = (d.window->close(), d.form.Closed);
    };
    d.key("ListView_FAT_OUT", Qt::Key_Delete);

    ASSERT_FALSE(d.host.boxes.empty());
    EXPECT_EQ(d.host.boxes.front().text, "Remove1 items??");
    const auto demo = demoCatalogue();
    for (size_t i = 0; i < demo.size(); ++i)
      EXPECT_EQ(d.form.CartridgeCatalogue.entries[i].kind == 0,
                yes && inDirectory(demo[i], {"ASIA"}))
          << demo[i].brand;
    EXPECT_FALSE(closedDuringBox);
    EXPECT_EQ(d.form.Closed, c.closeDuringBox);
    if (c.closeDuringBox) continue;
    const auto shown = shownColumn(d.view("ListView_FAT_OUT"), 0);
    EXPECT_EQ(std::count(shown.begin(), shown.end(), "[ASIA]"), yes ? 0 : 1);
    EXPECT_EQ(shownItem(d.view("TreeView_FAT_OUT"), "JAPAN") != nullptr, !yes);
  }
}

// Newly added software and every directory above it are drawn bold in red
// until the FAT is read again. The list is refilled between the core's
// change and the click into the tree: the click still counts.
// The customer's whole job in the window: LOAD a package, BURN it, and see
// the cartridge list show the new software read back from the module.
TEST(GuiCatalogue, CustomerLoadsAndBurnsAPackage) {
  DemoWindow w(2);
  w.form.Connected = true;
  w.form.Button2.enabled = true;  // as detection leaves it
  w.settle();
  OpenFileResult chosen;
  chosen.accepted = true;
  chosen.files = {std::string(OSTREL_SAMPLES_DIR) + "/europe.bn"};
  w.host.fileAnswers.push_back(chosen);
  QTest::mouseClick(w.window->widget("Button2"), Qt::LeftButton);
  w.settle();
  ASSERT_EQ(w.form.LoadedCatalogue.header.entryCount, 4);
  EXPECT_FALSE(shownColumn(w.view("ListView_FAT_IN"), 0).empty());
  // Every question (software already there, the exit question at the end) answered Yes.
  w.host.answers.assign(8, MsgBoxResult::Yes);
  // While the burn runs, every half second: what the status line says, and
  // whether each bar is drawn as it would be with the controls enabled.
  std::set<std::string> said;
  int barsLookedAt = 0, barsGrey = 0;
  QWidget* controls = w.window->centralWidget();
  std::function<void()> look = [&] {
    w.window->sync();
    if (!controls->isEnabled()) {
      said.insert(
          qobject_cast<QLabel*>(w.window->widget("StaticText_Status2"))->text().toStdString());
      for (QProgressBar* bar : controls->findChildren<QProgressBar*>()) {
        if (!bar->isVisibleTo(w.window.get())) continue;
        const QImage drawn = bar->grab().toImage();
        controls->setEnabled(true);
        const QImage enabled = bar->grab().toImage();
        controls->setEnabled(false);
        ++barsLookedAt;
        barsGrey += drawn != enabled;
      }
    }
    w.clock.schedule(500, look);
  };
  w.clock.schedule(500, look);
  QTest::mouseClick(w.window->widget("Button1"), Qt::LeftButton);
  w.settle();
  EXPECT_GE(
      std::count_if(said.begin(), said.end(),
                    [](const std::string& t) { return t.find(" sectors  ") != std::string::npos; }),
      3);
  EXPECT_GT(barsLookedAt, 0);
  EXPECT_EQ(barsGrey, 0);
  EXPECT_EQ(w.form.StaticText_Status1.text, "Program OK!");
  EXPECT_EQ(w.form.VisibleStep, 4);
  EXPECT_EQ(w.form.CartridgeCatalogue.header.entryCount, demoCatalogue().size() + 4);
  const QTreeWidget* list = w.view("ListView_FAT_OUT");
  ASSERT_GT(list->topLevelItemCount(), 0);
  EXPECT_EQ(list->topLevelItem(0)->text(0).toStdString(), "[EUROPE]");
  EXPECT_EQ(list->topLevelItem(0)->text(1).toStdString(), "9 files");
}

TEST(GuiCatalogue, NewlyAddedSoftwareIsDrawnBoldInRed) {
  DemoWindow d(2);
  TForm_MAIN& f = d.form;
  const auto demo = demoCatalogue();
  const size_t added = 2;  // an entry two levels down
  const auto levels = levelsOf(demo[added]);
  ASSERT_GE(levels.size(), 2u);
  f.NewlyAdded[added + 1] = true;
  f.handleEvent([&] { f.ItemFAT_OUT(); });
  d.click("TreeView_FAT_OUT", levels[0]);
  QTreeWidget* list = d.view("ListView_FAT_OUT");

  // Red pixels of the row showing this caption, as drawn.
  const auto redPixels = [&](const std::string& caption) {
    QTreeWidgetItem* item = shownItem(list, caption);
    if (!item) return -1;
    const QImage image = list->viewport()->grab(list->visualItemRect(item)).toImage();
    int red = 0;
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x) {
        const QColor c = image.pixelColor(x, y);
        red += c.red() > 160 && c.green() < 90 && c.blue() < 90;
      }
    return red;
  };
  const std::string newDir = "[" + levels[1] + "]";
  const auto captions = expectedCaptions({levels[0]});
  const std::string otherDir = captions.front() == newDir ? captions.back() : captions.front();
  ASSERT_GT(redPixels(newDir), 20);
  EXPECT_TRUE(shownItem(list, newDir)->font(0).bold());
  EXPECT_EQ(redPixels(otherDir), 0);
  EXPECT_FALSE(shownItem(list, otherDir)->font(0).bold());

  ASSERT_TRUE(f.Function_ReadFAT());
  d.settle();
  EXPECT_EQ(redPixels(newDir), 0);
  EXPECT_FALSE(shownItem(list, newDir)->font(0).bold());
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
