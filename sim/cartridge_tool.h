// ostrel-sim dump and poke: a cartridge image file seen the way the host sees
// the flash (logical order on an Ostrel IV, through the mapping table the
// file holds), with no module running. The simulator keeps its own reader of
// that table, so a dump checks what the file manager wrote rather than
// repeating its rules.
#pragma once

#include <string>
#include <vector>

namespace ostrel {

// Whether args[0] names a cartridge command ("dump", "poke").
bool isCartridgeCommand(const std::vector<std::string>& args);

// Runs the command; exit status 0 done, 1 failure (message on stderr), 2 usage.
int runCartridgeCommand(const std::vector<std::string>& args);

// The help text of the two commands.
extern const char* const kCartridgeCommandsHelp;

}  // namespace ostrel
