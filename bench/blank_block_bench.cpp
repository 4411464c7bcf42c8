// What building the BlankBlock costs when the event queue runs after every
// byte, against once per tenth, with the window shown and refreshing.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QTimer>
#include <cstring>

#include "app/form_main.h"
#include "app/gui/main_window.h"
#include "app/qt_clock.h"
#include "common/scripted_host.h"
#include "common/scripted_transport.h"

namespace {

void buildBlankBlock(benchmark::State& state) {
  using namespace ostrel;
  ScriptedHost host;
  QtClock clock;
  VirtualClock idle;  // the transport stays idle
  ScriptedTransport comm(idle);
  TForm_MAIN form(2, 0, host, clock, comm);
  form.FormCreate();
  // The shown window with its 40 ms refresh, as during a real detection.
  MainWindow window(form);
  window.show();
  for (auto _ : state) {
    form.BuildBlankBlock();
    benchmark::DoNotOptimize(form.BlankBlock.Memory());
  }
  state.SetLabel(state.range(0) ? "queue after every byte" : "queue once per step");
}
BENCHMARK(buildBlankBlock)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  // Offscreen unless a display is given (run under xvfb-run for the X11 figures).
  if (!std::getenv("DISPLAY")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
