// The Qt window: one widget per control model, kept in step with the core on
// a short timer, and every user event forwarded to the core.
#pragma once

#include <QDialog>
#include <QMainWindow>
#include <QProgressBar>
#include <QTimer>
#include <functional>
#include <map>
#include <string>

#include "app/form_main.h"
#include "app/gui/catalogue_widgets.h"

class QLabel;

namespace ostrel {

// A progress bar keeps its colours while the window's controls are disabled
// for an operation: that is when the operator reads it.
class OperationBar : public QProgressBar {
 public:
  using QProgressBar::QProgressBar;

 protected:
  void initStyleOption(QStyleOptionProgressBar* option) const override;
};

// The progress dialog: fixed 419 x 80 client area, centred on its owner.
class WaitDialog : public QDialog {
 public:
  WaitDialog(TForm_Wait& model, QWidget* owner);
  void sync();

 private:
  TForm_Wait& model_;
  QLabel* label_;
  QProgressBar* bar_;
};

class MainWindow : public QMainWindow {
 public:
  explicit MainWindow(TForm_MAIN& form);
  ~MainWindow() override;
  // Applies every change of the models to the widgets.
  void sync();
  QWidget* widget(const std::string& name) const;
  WaitDialog* waitDialog() const { return wait_; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  struct Entry {
    Control* model;
    QWidget* widget;
    uint64_t revision = ~0ull;
    size_t lineCount = 0;
  };
  QWidget* create(Control& c);
  void syncOne(Entry& e);
  // Runs a list's or tree's event in the core, then refreshes the widgets.
  void forward(const std::function<void()>& handler);
  ListEvents listEvents(const std::string& name);
  TreeEvents treeEvents(const std::string& name);

  TForm_MAIN& form_;
  QWidget* central_;
  std::map<std::string, Entry> entries_;
  std::vector<std::string> order_;
  WaitDialog* wait_;
  QTimer syncTimer_;
  bool closed_ = false;
  bool sized_ = false;
  bool syncQueued_ = false;
};

}  // namespace ostrel
