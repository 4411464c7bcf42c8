#include "app/cli/qc_commands.h"

#include <string>

#include "flash/qc_rules.h"

namespace ostrel {

int runQc(Cli& c) {
  const std::string& which = c.opt.args[0];
  if (which != "auto" && which != "blank" && which != "loop") {
    c.out.error("ostrel-cli: qc takes auto, blank or loop");
    return kExitUsage;
  }
  if (!connectOrSay(c)) return kExitFailed;
  TForm_MAIN& f = c.form;
  const Outcome o = runOperation(
      c,
      [&] {
        if (which == "auto")
          f.qcAuto();
        else
          f.qcSingleStep(which == "blank" ? kQcStepBlank : kQcStepLoop);
      },
      CliOutput::Measure::Bar);
  return reportOne(c, o, "qc " + which);
}

int runClearCatalogue(Cli& c) {
  if (!connectOrSay(c)) return kExitFailed;
  return reportOne(c,
                   runOperation(
                       c, [&] { c.form.clearCatalogue(); }, CliOutput::Measure::Bar),
                   "catalogue");
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
  return reportOne(c,
                   runOperation(
                       c, [&] { f.cfTest(); }, CliOutput::Measure::Bar),
                   "sectors " + c.opt.args[0] + "-" + c.opt.args[1]);
}

}  // namespace ostrel
