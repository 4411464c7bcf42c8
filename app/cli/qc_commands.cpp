#include "app/cli/qc_commands.h"

#include <algorithm>
#include <functional>
#include <string>

#include "flash/qc_rules.h"

namespace ostrel {

namespace {

constexpr int kMsgFaultPrefix = 63;

// Runs a button's work; a failure ends with its fault code on stderr, also
// where the window shows none (a failed step 1 of an Ostrel III/IV) or shows
// it only on the status line (a reference image that cannot be read).
int runButton(Cli& c, const std::function<bool()>& work) {
  TForm_MAIN& f = c.form;
  if (c.out.run(work, CliOutput::Measure::Bar)) return finish(c, true);
  const std::string faultLine = f.Prompt(kMsgFaultPrefix) + f.QcFaultCode;
  const auto& log = f.Memo1.lines;
  if (!f.QcFaultCode.empty() && std::find(log.begin(), log.end(), faultLine) == log.end())
    c.out.error(faultLine);
  else if (f.QcFaultCode.empty() && !f.StaticText_Status2.text.empty())
    c.out.error(f.StaticText_Status2.text);
  return kExitFailed;
}

}  // namespace

int runQc(Cli& c) {
  const std::string& which = c.opt.args[0];
  if (which != "auto" && which != "blank" && which != "loop") {
    c.out.error("ostrel-cli: qc takes auto, blank or loop");
    return kExitUsage;
  }
  if (!connectOrSay(c)) return kExitFailed;
  TForm_MAIN& f = c.form;
  return runButton(c, [&] {
    if (which == "auto") return f.qcAuto();
    return f.qcSingleStep(which == "blank" ? kQcStepBlank : kQcStepLoop);
  });
}

int runClearCatalogue(Cli& c) {
  if (!connectOrSay(c)) return kExitFailed;
  return runButton(c, [&] { return c.form.clearCatalogue(); });
}

int runCfTest(Cli& c) {
  for (const std::string& a : c.opt.args) {
    if (!parseDecimalSector(a)) {
      c.out.error("ostrel-cli: FIRST and LAST are decimal sector numbers (0..65535)");
      return kExitUsage;
    }
  }
  if (!connectOrSay(c)) return kExitFailed;
  TForm_MAIN& f = c.form;
  f.ost4_read_sector_start.text = c.opt.args[0];
  f.ost4_read_sector_stop.text = c.opt.args[1];
  return runButton(c, [&] { return f.cfTest(); });
}

}  // namespace ostrel
