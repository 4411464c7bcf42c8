// The engineering build's quality-control and test buttons on the command
// line: qc auto|blank|loop, clear-catalogue and cf-test FIRST LAST.
#pragma once

#include "app/cli/commands.h"

namespace ostrel {

// QC Auto, or one of the two steps alone.
int runQc(Cli& c);
// The catalogue clear of the hidden Button3.
int runClearCatalogue(Cli& c);
// The Ostrel IV write test over sectors FIRST..LAST, decimal as the window
// reads its two boxes.
int runCfTest(Cli& c);

}  // namespace ostrel
