#include "app/gui/qt_host.h"

#include <sys/resource.h>

#include <QApplication>
#include <QFileDialog>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMessageBox>
#include <QScreen>
#include <QSplitter>
#include <QTimer>
#include <QTreeView>
#include <algorithm>

#include "app/gui/qt_convert.h"
#include "link/port_list.h"

namespace ostrel {

namespace {
// "Name |*.ext|Name |*.ext" → Qt's "Name (*.ext)" list.
QStringList qtFilters(const std::string& filter) {
  QStringList parts = qs(filter).split('|');
  QStringList out;
  for (int i = 0; i + 1 < parts.size(); i += 2)
    out << parts[i].trimmed() + " (" + parts[i + 1].trimmed() + ")";
  return out;
}

// Every column of the file dialog's detailed list shows whole (name, size,
// type, date): the dialog takes the room it needs up to what the screen
// offers, the names take what the other columns leave.
void fitFileDialog(QFileDialog& dialog, const QSize& available) {
  dialog.setViewMode(QFileDialog::Detail);
  dialog.resize(std::min(available.width() - 20, 900), std::min(available.height() - 40, 560));
  if (auto* list = dialog.findChild<QTreeView*>("treeView")) {
    QHeaderView* header = list->header();
    header->setStretchLastSection(false);
    header->setSectionResizeMode(QHeaderView::ResizeToContents);
    header->setSectionResizeMode(0, QHeaderView::Stretch);
  }
  // The places beside the list keep room for their names, once shown.
  if (auto* splitter = dialog.findChild<QSplitter*>("splitter")) {
    QTimer::singleShot(0, splitter, [splitter] {
      const int total = splitter->width();
      const int side = std::min(150, total / 5);
      splitter->setSizes({side, total - side});
    });
  }
}

}  // namespace

MsgBoxResult QtHost::messageBox(int message, const std::string& text, const std::string& caption,
                                MsgBoxKind kind, MsgBoxButtons buttons) {
  (void)message;  // the window shows the text
  if (autoAnswer) {
    if (buttons == MsgBoxButtons::Ok) return MsgBoxResult::Ok;
    return autoYes ? MsgBoxResult::Yes : MsgBoxResult::No;
  }
  QMessageBox::Icon icon = QMessageBox::Information;
  if (kind == MsgBoxKind::Warning) icon = QMessageBox::Warning;
  if (kind == MsgBoxKind::Error) icon = QMessageBox::Critical;
  if (kind == MsgBoxKind::Question) icon = QMessageBox::Question;
  QMessageBox box(
      icon, qs(caption), qs(text),
      buttons == MsgBoxButtons::Ok ? QMessageBox::Ok : (QMessageBox::Yes | QMessageBox::No),
      owner_);
  int r = box.exec();
  if (buttons == MsgBoxButtons::Ok) return MsgBoxResult::Ok;
  return r == QMessageBox::Yes ? MsgBoxResult::Yes : MsgBoxResult::No;
}

OpenFileResult QtHost::openFileDialog(const OpenFileRequest& request) {
  OpenFileResult result;
  QStringList filters = qtFilters(request.filter);
  QStringList files;
  if (!presetFiles.empty()) {
    // Answered without being shown (demonstrations and pictures).
    for (const std::string& f : presetFiles) files << qs(f);
    presetFiles.clear();
    result.accepted = true;
    for (const QString& f : files) result.files.push_back(f.toStdString());
    result.filterIndex = request.filterIndex;
    return result;
  }
  // Qt's own dialog, so it speaks the program's language and can be sized.
  QFileDialog dialog(owner_, QString(), qs(request.initialDir), filters.join(";;"));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setFileMode(request.multiSelect ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
  dialog.selectNameFilter(filters.value(request.filterIndex - 1));
  QScreen* screen =
      owner_ && owner_->screen() ? owner_->screen() : QGuiApplication::primaryScreen();
  fitFileDialog(dialog, screen ? screen->availableGeometry().size() : QSize(1024, 768));
  if (dialog.exec() == QDialog::Accepted) files = dialog.selectedFiles();
  const QString selected = dialog.selectedNameFilter();
  result.accepted = !files.isEmpty();
  for (const QString& f : files) result.files.push_back(f.toStdString());
  result.filterIndex = int(filters.indexOf(selected)) + 1;
  if (result.filterIndex <= 0) result.filterIndex = request.filterIndex;
  return result;
}

void QtHost::beep() {
  QApplication::beep();
}

void QtHost::setHourglass(bool on) {
  if (on)
    QApplication::setOverrideCursor(Qt::WaitCursor);
  else
    QApplication::restoreOverrideCursor();
}

ScreenSize QtHost::screenSize() {
  QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return {};
  const QSize s = screen->size();
  const QRect a = screen->availableGeometry();
  return {s.width(), s.height(), a.width(), a.height()};
}

// Linux is none of the old desktop families: the version rules see "any other platform".
OsVersion QtHost::osVersion() {
  return {true, 5, 0, 0};
}

bool QtHost::setPriorityClass(bool high) {
  return setpriority(PRIO_PROCESS, 0, high ? -10 : 0) == 0;
}

std::vector<std::string> QtHost::portList(const PortNote& note) {
  if (!onlyPort.empty()) return {onlyPort};
  return listSerialPorts("/dev", defaultVirtualPortDir(), note);
}

}  // namespace ostrel
