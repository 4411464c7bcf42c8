// ostrel-fm, ostrel-fm-rd and ostrel-fm-debug: the same window, built with
// BuildMode 2, 1 and 0.
#include <QApplication>
#include <QIcon>
#include <QStringList>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/file_io.h"
#include "app/form_main.h"
#include "app/gui/language_font.h"
#include "app/gui/main_window.h"
#include "app/gui/qt_host.h"
#include "app/prompt_table.h"
#include "app/qt_clock.h"
#include "app/text_helpers.h"
#include "app/version.h"
#include "link/device_watch.h"
#include "link/port_scan.h"
#include "link/tcomm.h"

#ifndef OSTREL_BUILD_MODE
#define OSTREL_BUILD_MODE 2
#endif
#ifndef OSTREL_PROGRAM
#define OSTREL_PROGRAM "ostrel-fm"
#endif

namespace {

void usage() {
  std::printf(
      "usage: " OSTREL_PROGRAM
      " [--language 0..3] [--link fast|quiet-gap] [--port PORT] [--screenshot FILE --after MS]\n"
      "       [--quit-after MS] [--press NAME,... [--open FILE]...]\n"
      "  --link fast        (the default) take each of the module's replies as soon as\n"
      "                     its bytes are in; when a reply cannot be delimited that\n"
      "                     way, the rest of the connection falls back to quiet-gap\n"
      "                     framing\n"
      "  --link quiet-gap   take a reply only after 10 ms of quiet on the line (much\n"
      "                     slower); --fast-link is the same as --link fast\n"
      "  --language N       language of the window, fixed for the run: 0 English\n"
      "                     (default), 1 Traditional Chinese, 2 Simplified Chinese,\n"
      "                     3 Japanese; also the code page of legacy directory names\n"
      "  --port PORT        look for the module on this port only: a path (./link from\n"
      "                     the working folder) or a name under /dev (ttyUSB0)\n"
      "  --version          print the version and exit\n"
      "  --screenshot FILE  save a picture of the window after --after ms (default 3000)\n"
      "                     and print its status lines\n"
      "  --quit-after MS    close the window after MS milliseconds\n"
      "  --press NAME,...   once a module is found, click these controls in turn, by\n"
      "                     object name (Button2,Button1: LOAD, then BURN); message\n"
      "                     boxes answer themselves, questions with Yes (demonstrations)\n"
      "  --open FILE        the LOAD dialog chooses FILE without being shown; repeatable\n");
}

}  // namespace

int main(int argc, char** argv) {
  // Answered before Qt looks for a display, so that they work without one.
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--version")) {
      std::fputs(ostrel::versionText(OSTREL_PROGRAM).c_str(), stdout);
      return 0;
    }
    if (!std::strcmp(argv[i], "--help")) {
      usage();
      return 0;
    }
  }
  QApplication app(argc, argv);
  ostrel::installInterruptCleanup();  // a kill leaves no half-written file
  QApplication::setApplicationName("Ostrel");
  QString screenshot;
  int after = 3000;
  int quitAfter = -1;
  int language = ostrel::kDeliveredLanguage;
  bool fastLink = true;
  QStringList press;
  std::vector<std::string> open;
  std::string port;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--fast-link")) {
      fastLink = true;
    } else if (!std::strcmp(argv[i], "--port") && i + 1 < argc && argv[i + 1][0] != '\0') {
      port = ostrel::portPathFor(argv[++i]);
    } else if (!std::strcmp(argv[i], "--link") && i + 1 < argc) {
      const std::optional<bool> fast = ostrel::fastLinkOption(argv[++i]);
      if (!fast) {
        std::fprintf(stderr, OSTREL_PROGRAM ": --link takes fast or quiet-gap\n");
        return 2;
      }
      fastLink = *fast;
    } else if (!std::strcmp(argv[i], "--screenshot") && i + 1 < argc) {
      screenshot = argv[++i];
    } else if (!std::strcmp(argv[i], "--language") && i + 1 < argc) {
      const char* v = argv[++i];
      if (v[0] < '0' || v[0] > '3' || v[1] != '\0') {
        std::fprintf(stderr, OSTREL_PROGRAM ": --language takes 0..3\n");
        return 2;
      }
      language = v[0] - '0';
    } else if (!std::strcmp(argv[i], "--after") && i + 1 < argc) {
      after = std::atoi(argv[++i]);
    } else if (!std::strcmp(argv[i], "--quit-after") && i + 1 < argc) {
      quitAfter = std::atoi(argv[++i]);
    } else if (!std::strcmp(argv[i], "--press") && i + 1 < argc) {
      press = QString(argv[++i]).split(',', Qt::SkipEmptyParts);
    } else if (!std::strcmp(argv[i], "--open") && i + 1 < argc) {
      open.push_back(argv[++i]);
    } else {
      usage();
      return std::strcmp(argv[i], "--help") ? 2 : 0;
    }
  }

  using namespace ostrel;
  QtClock clock;
  TComm comm;
  applyComm1Values(comm);
  QtHost host(writableProgramDirectory(currentExecutablePath()));
  host.autoAnswer = !screenshot.isEmpty() || quitAfter >= 0 || !press.isEmpty();
  host.autoYes = !press.isEmpty();
  host.presetFiles = open;
  host.onlyPort = port;
  QApplication::setFont(languageFont(language, QApplication::font()));
  if (!installQtTranslations(language))
    std::fprintf(stderr, OSTREL_PROGRAM
                 ": Qt's translations for this language are not installed "
                 "(qt6-translations-l10n): its dialogs stay English\n");
  const std::string icon =
      findDataFile("ostrel.svg", host.programDirectory(), currentExecutablePath());
  QApplication::setWindowIcon(icon.empty() ? QIcon::fromTheme("ostrel")
                                           : QIcon(QString::fromStdString(icon)));
  TForm_MAIN form(OSTREL_BUILD_MODE, language, host, clock, comm);
  form.FormCreate();
  form.setFastLink(fastLink);
  MainWindow window(form);
  host.setOwner(&window);
  window.show();
  form.FormShow();

  DeviceWatch watch;
  watch.OnDeviceChange = [&form](uint32_t code) {
    form.WinCallBackOBJ1OsCallBack(kWmDeviceChange, code);
  };

  if (!screenshot.isEmpty()) {
    QTimer::singleShot(after, &window, [&] {
      window.sync();
      const bool ok = window.grab().save(screenshot);
      std::printf("%s %s\n", ok ? "screenshot saved:" : "screenshot failed:",
                  screenshot.toLocal8Bit().constData());
      // What the status lines said, for a script that cannot look at the picture.
      for (const std::string* line : {&form.StaticText_Status1.text, &form.StaticText_Status2.text})
        if (!line->empty()) std::printf("status: %s\n", line->c_str());
      std::fflush(stdout);
      if (quitAfter < 0) window.close();
    });
  }
  // The operator's clicks, once the module is found and the window is free.
  QTimer presser;
  QObject::connect(&presser, &QTimer::timeout, &window, [&] {
    if (!form.Connected || form.OperationRunning || !form.WindowEnabled) return;
    presser.stop();
    for (const QString& name : press) {
      if (!form.Click(name.toStdString()))
        std::fprintf(stderr, OSTREL_PROGRAM ": %s could not be clicked\n", qPrintable(name));
      window.sync();
    }
  });
  if (!press.isEmpty()) presser.start(200);
  if (quitAfter >= 0) QTimer::singleShot(quitAfter, &window, [&] { window.close(); });
  return app.exec();
}
