#include "app/gui/main_window.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStyleOptionProgressBar>

#include "app/gui/catalogue_widgets.h"
#include "app/gui/qt_convert.h"

namespace ostrel {

namespace {

void setTextColor(QWidget* w, uint32_t color) {
  QPalette p = w->palette();
  QColor want = toQColor(color, QPalette());
  if (p.color(QPalette::WindowText) != want || p.color(QPalette::Text) != want) {
    p.setColor(QPalette::WindowText, want);
    p.setColor(QPalette::Text, want);
    w->setPalette(p);
  }
}

}  // namespace

void OperationBar::initStyleOption(QStyleOptionProgressBar* option) const {
  QProgressBar::initStyleOption(option);
  // Drawn as an enabled bar whatever the window's controls are.
  option->state |= QStyle::State_Enabled;
  option->palette.setCurrentColorGroup(isActiveWindow() ? QPalette::Active : QPalette::Inactive);
}

WaitDialog::WaitDialog(TForm_Wait& model, QWidget* owner) : QDialog(owner), model_(model) {
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
  setFixedSize(TForm_Wait::kClientWidth, TForm_Wait::kClientHeight);
  setModal(false);
  label_ = new QLabel(this);
  label_->setObjectName("Label_WaitInfo");
  const Label& l = model.Label_WaitInfo;
  label_->setGeometry(l.left, l.top, l.width, l.height);
  QFont f("Arial");
  f.setPixelSize(l.fontSize);
  label_->setFont(f);
  bar_ = new QProgressBar(this);
  bar_->setObjectName("ProgressBar_Wait");
  const ProgressBar& b = model.ProgressBar_Wait;
  bar_->setGeometry(b.left, b.top, b.width, b.height);
  bar_->setRange(b.min, b.max);
}

void WaitDialog::sync() {
  if (windowTitle() != qs(model_.Caption)) setWindowTitle(qs(model_.Caption));
  if (label_->text() != qs(model_.Label_WaitInfo.text))
    label_->setText(qs(model_.Label_WaitInfo.text));
  if (bar_->value() != model_.ProgressBar_Wait.position)
    bar_->setValue(model_.ProgressBar_Wait.position);
  // While a message box (or the file dialog) waits for the operator the
  // progress steps aside, so the two are not drawn over each other.
  QWidget* modal = QApplication::activeModalWidget();
  const bool wanted = model_.Visible && (!modal || modal == this);
  if (wanted && !isVisible()) {
    if (parentWidget()) {
      QRect owner = parentWidget()->frameGeometry();
      move(owner.center() - rect().center());
    }
    show();
  } else if (!wanted && isVisible()) {
    hide();
  }
}

MainWindow::MainWindow(TForm_MAIN& form) : form_(form) {
  setObjectName("MainWindow");
  central_ = new QWidget(this);
  setCentralWidget(central_);
  // Panels first so every other control finds its parent.
  for (Control* c : form_.Controls) {
    if (c->kind == ControlKind::Panel) create(*c);
  }
  for (Control* c : form_.Controls) {
    if (c->kind != ControlKind::Panel) create(*c);
  }
  wait_ = new WaitDialog(form_.Form_Wait, this);
  form_.onDeferredClose = [this] { close(); };
  connect(&syncTimer_, &QTimer::timeout, this, [this] { sync(); });
  syncTimer_.start(40);
  sync();
}

MainWindow::~MainWindow() {
  form_.onDeferredClose = nullptr;
}

void MainWindow::forward(const std::function<void()>& handler) {
  form_.handleEvent(handler);
  // The core may have refilled the very list or tree whose signal brought
  // us here: the widgets follow once that signal has returned.
  if (syncQueued_ || closed_) return;
  syncQueued_ = true;
  QTimer::singleShot(0, this, [this] {
    syncQueued_ = false;
    sync();
  });
}

ListEvents MainWindow::listEvents(const std::string& name) {
  TForm_MAIN& f = form_;
  if (name == "ListView_FAT_OUT")
    return {[this, &f] { forward([&f] { f.ListView_FAT_OUTSelectItem(); }); },
            [this, &f] { forward([&f] { f.ListView_FAT_OUTDblClick(); }); },
            [this, &f](int key) { forward([&f, key] { f.ListView_FAT_OUTKeyDown(key); }); },
            [this, &f](char key) { forward([&f, key] { f.ListView_FAT_OUTKeyPress(key); }); }};
  if (name == "ListView_FAT_IN")
    return {[this, &f] { forward([&f] { f.ListView_FAT_INSelectItem(); }); },
            [this, &f] { forward([&f] { f.ListView_FAT_INDblClick(); }); },
            [this, &f](int key) { forward([&f, key] { f.ListView_FAT_INKeyDown(key); }); },
            {}};
  return {};
}

TreeEvents MainWindow::treeEvents(const std::string& name) {
  TForm_MAIN& f = form_;
  if (name == "TreeView_FAT_OUT")
    return {[this, &f] { forward([&f] { f.TreeView_FAT_OUTChange(); }); },
            [this, &f] { forward([&f] { f.TreeView_FAT_OUTEnter(); }); }};
  if (name == "TreeView_FAT_IN")
    return {[this, &f] { forward([&f] { f.TreeView_FAT_INChange(); }); },
            [this, &f] { forward([&f] { f.TreeView_FAT_INEnter(); }); }};
  return {};
}

QWidget* MainWindow::widget(const std::string& name) const {
  auto it = entries_.find(name);
  return it == entries_.end() ? nullptr : it->second.widget;
}

QWidget* MainWindow::create(Control& c) {
  QWidget* parent = central_;
  if (!c.parent.empty()) {
    auto it = entries_.find(c.parent);
    if (it != entries_.end()) parent = it->second.widget;
  }
  QWidget* w = nullptr;
  const std::string name = c.name;
  switch (c.kind) {
    case ControlKind::Panel: {
      auto* f = new QFrame(parent);
      f->setFrameShape(QFrame::StyledPanel);
      f->setAutoFillBackground(true);
      w = f;
      break;
    }
    case ControlKind::StaticText: {
      auto* l = new QLabel(parent);
      l->setFrameShape(QFrame::Panel);
      l->setFrameShadow(QFrame::Sunken);
      w = l;
      break;
    }
    case ControlKind::Label: {
      auto* l = new QLabel(parent);
      l->setWordWrap(true);
      w = l;
      break;
    }
    case ControlKind::Button: {
      auto* b = new QPushButton(parent);
      connect(b, &QPushButton::clicked, this, [this, name] {
        form_.Click(name);
        sync();
      });
      w = b;
      break;
    }
    case ControlKind::ProgressBar:
      w = new OperationBar(parent);
      static_cast<QProgressBar*>(w)->setTextVisible(false);
      break;
    case ControlKind::Memo: {
      auto* m = new QPlainTextEdit(parent);
      m->setReadOnly(true);
      m->setLineWrapMode(QPlainTextEdit::NoWrap);
      if (name == "Memo2") m->setFont(QFont("Monospace", 8));
      w = m;
      break;
    }
    case ControlKind::CheckBox: {
      auto* cb = new QCheckBox(parent);
      // A tick by the user reaches the model, then the core's rule if it has one.
      connect(cb, &QCheckBox::clicked, this, [this, &c, name](bool on) {
        static_cast<CheckBox&>(c).checked = on;
        form_.Click(name);
        sync();
      });
      w = cb;
      break;
    }
    case ControlKind::UpDown: {
      auto* s = new QSpinBox(parent);
      s->setDisplayIntegerBase(16);
      // A step by the user reaches the model, then the core's click rule.
      connect(s, &QSpinBox::valueChanged, this, [this, &c, name](int v) {
        static_cast<UpDown&>(c).position = v;
        form_.Click(name);
        sync();
      });
      w = s;
      break;
    }
    case ControlKind::Edit: {
      auto* le = new QLineEdit(parent);
      connect(le, &QLineEdit::textEdited, this,
              [&c](const QString& text) { c.text = text.toStdString(); });
      w = le;
      break;
    }
    case ControlKind::ListView:
      w = new CatalogueList(static_cast<ListView&>(c), listEvents(name), parent);
      break;
    case ControlKind::TreeView:
      w = new CatalogueTree(static_cast<TreeView&>(c), treeEvents(name), parent);
      break;
  }
  w->setObjectName(QString::fromStdString(name));
  entries_[name] = Entry{&c, w};
  order_.push_back(name);
  return w;
}

void MainWindow::syncOne(Entry& e) {
  Control& c = *e.model;
  QWidget* w = e.widget;
  QRect want(c.left, c.top, c.width, c.height);
  if (w->geometry() != want) w->setGeometry(want);
  if (w->isVisibleTo(w->parentWidget()) != c.visible) w->setVisible(c.visible);
  if (w->isEnabled() != c.enabled) w->setEnabled(c.enabled);
  if (const QString hint = qs(c.hint); w->toolTip() != hint) w->setToolTip(hint);
  if (c.fontSize > 0 && w->font().pointSize() != c.fontSize) {
    QFont f = w->font();
    f.setPointSize(c.fontSize);
    w->setFont(f);
  }
  const QString text = qs(c.text);
  switch (c.kind) {
    case ControlKind::Panel: {
      QPalette p = w->palette();
      QColor bg = toQColor(c.color, QPalette());
      if (p.color(QPalette::Window) != bg) {
        p.setColor(QPalette::Window, bg);
        w->setPalette(p);
      }
      break;
    }
    case ControlKind::StaticText:
    case ControlKind::Label: {
      auto* l = static_cast<QLabel*>(w);
      if (l->text() != text) l->setText(text);
      if (c.kind == ControlKind::Label) {
        // A caption beside a field sits on the field's middle; a text of
        // several lines starts at the top.
        const Qt::Alignment align =
            Qt::AlignLeft |
            (c.height >= 2 * l->fontMetrics().height() ? Qt::AlignTop : Qt::AlignVCenter);
        if (l->alignment() != align) l->setAlignment(align);
      }
      setTextColor(l, c.fontColor);
      break;
    }
    case ControlKind::Button: {
      auto* b = static_cast<QPushButton*>(w);
      if (b->text() != text) b->setText(text);
      break;
    }
    case ControlKind::ProgressBar: {
      auto& m = static_cast<ProgressBar&>(c);
      auto* p = static_cast<QProgressBar*>(w);
      if (p->minimum() != m.min || p->maximum() != m.max) p->setRange(m.min, m.max);
      if (p->value() != m.position) p->setValue(m.position);
      break;
    }
    case ControlKind::Memo: {
      auto& m = static_cast<Memo&>(c);
      auto* t = static_cast<QPlainTextEdit*>(w);
      setTextColor(t, c.fontColor);
      if (e.revision == m.revision) break;
      if (m.lines.size() >= e.lineCount && e.lineCount > 0 && e.revision != ~0ull &&
          m.revision - e.revision == m.lines.size() - e.lineCount) {
        for (size_t i = e.lineCount; i < m.lines.size(); ++i) t->appendPlainText(qs(m.lines[i]));
      } else {
        QStringList all;
        for (const auto& line : m.lines) all << qs(line);
        t->setPlainText(all.join('\n'));
        t->verticalScrollBar()->setValue(t->verticalScrollBar()->maximum());
      }
      e.revision = m.revision;
      e.lineCount = m.lines.size();
      break;
    }
    case ControlKind::CheckBox: {
      auto& m = static_cast<CheckBox&>(c);
      auto* cb = static_cast<QCheckBox*>(w);
      if (cb->text() != text) cb->setText(text);
      if (cb->isChecked() != m.checked) cb->setChecked(m.checked);
      break;
    }
    case ControlKind::UpDown: {
      auto& m = static_cast<UpDown&>(c);
      auto* s = static_cast<QSpinBox*>(w);
      const QSignalBlocker quiet(s);  // the model's own changes are no user steps
      if (s->minimum() != m.min || s->maximum() != m.max) s->setRange(m.min, m.max);
      if (s->value() != m.position) s->setValue(m.position);
      break;
    }
    case ControlKind::Edit: {
      auto* le = static_cast<QLineEdit*>(w);
      if (le->text() != text) le->setText(text);
      break;
    }
    case ControlKind::ListView:
      static_cast<CatalogueList*>(w)->sync();
      break;
    case ControlKind::TreeView:
      static_cast<CatalogueTree*>(w)->sync();
      break;
  }
}

void MainWindow::sync() {
  if (closed_) return;
  const QString title = qs(form_.WindowCaption);
  if (windowTitle() != title) setWindowTitle(title);
  // Only the controls are disabled: the progress dialog and message boxes,
  // children of this window, must stay usable while an operation runs.
  if (central_->isEnabled() != form_.WindowEnabled) central_->setEnabled(form_.WindowEnabled);
  for (const std::string& name : order_) syncOne(entries_[name]);
  if (!sized_ && form_.WindowWidth > 0) {
    sized_ = true;
    if (form_.WindowMaximized) {
      // Without a window manager the window keeps this size.
      resize(form_.WindowWidth, form_.WindowHeight);
      setWindowState(windowState() | Qt::WindowMaximized);
    } else {
      central_->setFixedSize(form_.WindowWidth, form_.WindowHeight);
      adjustSize();
    }
  }
  wait_->sync();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (!closed_ && !form_.requestClose()) {
    // An operation still uses the port and the streams: the core closes
    // when it ends.
    event->ignore();
    sync();
    return;
  }
  if (!closed_) {
    closed_ = true;
    syncTimer_.stop();
    wait_->hide();
  }
  event->accept();
}

}  // namespace ostrel
