// ostrel-fm, ostrel-fm-rd and ostrel-fm-debug: the same window, built with
// BuildMode 2, 1 and 0.
#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/form_main.h"
#include "app/gui/main_window.h"
#include "app/gui/qt_host.h"
#include "app/prompt_table.h"
#include "app/qt_clock.h"
#include "app/text_helpers.h"
#include "link/device_watch.h"
#include "link/tcomm.h"

#ifndef OSTREL_BUILD_MODE
#define OSTREL_BUILD_MODE 2
#endif

namespace {

void usage() {
  std::printf(
      "usage: ostrel-fm [--screenshot FILE --after MS] [--quit-after MS]\n"
      "  --screenshot FILE  save a picture of the window after --after ms (default 3000)\n"
      "  --quit-after MS    close the window after MS milliseconds\n");
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("Ostrel");
  QString screenshot;
  int after = 3000;
  int quitAfter = -1;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--screenshot") && i + 1 < argc) {
      screenshot = argv[++i];
    } else if (!std::strcmp(argv[i], "--after") && i + 1 < argc) {
      after = std::atoi(argv[++i]);
    } else if (!std::strcmp(argv[i], "--quit-after") && i + 1 < argc) {
      quitAfter = std::atoi(argv[++i]);
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
  host.autoAnswer = !screenshot.isEmpty() || quitAfter >= 0;
  TForm_MAIN form(OSTREL_BUILD_MODE, kDeliveredLanguage, host, clock, comm);
  form.FormCreate();
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
      std::fflush(stdout);
      if (quitAfter < 0) window.close();
    });
  }
  if (quitAfter >= 0) QTimer::singleShot(quitAfter, &window, [&] { window.close(); });
  return app.exec();
}
