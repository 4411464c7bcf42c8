// The ports command, and the choice of the module before any command talks
// to one: the named --port checked, or every candidate probed so that a
// command never picks one of several modules by itself.
#pragma once

#include <string>
#include <vector>

#include "app/cli/commands.h"
#include "link/port_scan.h"

namespace ostrel {

// Probes every candidate port (USB serial ports, then the virtual-port
// folder's links) on a port of its own; what the list left out goes to note.
std::vector<PortProbe> scanCandidatePorts(Clock& clock, int buildMode, const PortNote& note);

// ostrel-cli ports [--json]: every candidate with its status.
int runPorts(const CliOptions& opt, Clock& clock);

// Runs before the form looks for a module. Sets chosen to the one port the
// form is to use and returns -1 to go on, or returns the exit status: 1 when
// the named port cannot be used or no module answers (why on stderr), 2 when
// several modules answer and none was named (detect lists them and exits 0).
int choosePort(const CliOptions& opt, Clock& clock, std::string& chosen);

// detect --json for the module the form found.
void printDetectedJson(Cli& c);

}  // namespace ostrel
