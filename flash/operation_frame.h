// The frame of a whole-cartridge operation: hourglass, window disabled,
// OperationRunning and high priority for the length of a scope.
#pragma once

#include "app/busy_scope.h"

namespace ostrel {

// What was there before comes back on every path, so an operation run inside
// another leaves the outer one's frame as it was.
class OperationFrame {
 public:
  explicit OperationFrame(TForm_MAIN& f) : f_(f), wasEnabled_(f.WindowEnabled), busy_(f) {
    f_.host.setHourglass(true);
    f_.SetWindowEnabled(false);
  }
  ~OperationFrame() {
    f_.SetWindowEnabled(wasEnabled_);
    f_.host.setHourglass(false);
  }
  OperationFrame(const OperationFrame&) = delete;
  OperationFrame& operator=(const OperationFrame&) = delete;

 private:
  TForm_MAIN& f_;
  bool wasEnabled_;
  BusyScope busy_;
};

}  // namespace ostrel
