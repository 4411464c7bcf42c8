// What an operation did, for front-ends that need more than the window shows:
// whether all of it was done, the fault code, the last status text, and each
// item done or not done (with the reason). The window ignores it; the command
// line takes its exit status and its report from it alone.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ostrel {

struct OutcomeItem {
  std::string name;
  std::string reason;  // why it was not done; empty for an item done
};

struct Outcome {
  bool ok = false;        // reported, and nothing failed
  bool reported = false;  // a result has been reported at all
  bool declined = false;  // a question was answered "no"
  std::string faultCode;  // the first fault of the operation; empty when none
  std::string message;    // the status text of the result
  std::vector<OutcomeItem> done, notDone;

  // A result as the window reports it; a failure stays a failure.
  void settle(bool success, const std::string& text) {
    if (success && reported && !ok) return;
    ok = success;
    reported = true;
    message = text;
  }
  void fault(std::string_view code) {
    if (faultCode.empty()) faultCode = code;
  }
  void notDoneItem(const std::string& name, const std::string& reason) {
    notDone.push_back({name, reason});
  }
  // What was done did not last (a write failed): all of it is not done.
  void undo(const std::string& why) {
    settle(false, why);
    for (const OutcomeItem& item : done) notDoneItem(item.name, why);
    done.clear();
  }
  // Everything asked was done.
  bool complete() const { return ok && notDone.empty() && !declined; }
  // Takes in what another run of the same command did.
  void absorb(const Outcome& o) {
    if (o.reported) settle(o.ok, o.message);
    declined = declined || o.declined;
    fault(o.faultCode);
    done.insert(done.end(), o.done.begin(), o.done.end());
    notDone.insert(notDone.end(), o.notDone.begin(), o.notDone.end());
  }
};

// Rows or directories of one side's catalogue, as the list items name them
// (the hidden sub-item: "\A\B" for a directory, the row index in four hex
// digits for software), and the tree node whose list shows them (software
// counts towards that node's directory).
struct Selection {
  int node = 0;
  std::vector<std::string> items;
};

}  // namespace ostrel
