#include "app/gui/qt_host.h"

#include <sys/resource.h>

#include <QApplication>
#include <QFileDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>

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
}  // namespace

MsgBoxResult QtHost::messageBox(const std::string& text, const std::string& caption,
                                MsgBoxKind kind, MsgBoxButtons buttons) {
  if (autoAnswer) return buttons == MsgBoxButtons::Ok ? MsgBoxResult::Ok : MsgBoxResult::No;
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
  QString selected = filters.value(request.filterIndex - 1);
  QStringList files;
  if (request.multiSelect)
    files = QFileDialog::getOpenFileNames(owner_, QString(), qs(request.initialDir),
                                          filters.join(";;"), &selected);
  else if (QString f = QFileDialog::getOpenFileName(owner_, QString(), qs(request.initialDir),
                                                    filters.join(";;"), &selected);
           !f.isEmpty())
    files << f;
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
  return listSerialPorts("/dev", defaultVirtualPortDir(), note);
}

}  // namespace ostrel
