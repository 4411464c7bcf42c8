// OperationRunning and high priority for the length of a scope.
#pragma once

#include "app/form_main.h"

namespace ostrel {

// What was there before comes back on every path: the table reads run inside
// detection and the program sequences, and must leave the outer operation
// running at the priority it had.
class BusyScope {
 public:
  explicit BusyScope(TForm_MAIN& f)
      : f_(f), wasRunning_(f.OperationRunning), wasPriority_(f.PriorityKind) {
    f_.OperationRunning = true;
    if (wasPriority_ != 2) f_.SetPriority(2);
  }
  ~BusyScope() {
    if (wasPriority_ != 2) f_.SetPriority(wasPriority_);
    f_.OperationRunning = wasRunning_;
  }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  TForm_MAIN& f_;
  bool wasRunning_;
  int wasPriority_;
};

}  // namespace ostrel
