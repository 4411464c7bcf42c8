// The serial ports discovery probes: USB serial devices, then the
// pseudo-terminals the module simulator publishes in the virtual-port folder.
#pragma once

#include <string>
#include <vector>

namespace ostrel {

// $XDG_RUNTIME_DIR/ostrel-ports, or /tmp/ostrel-ports without a runtime folder.
std::string defaultVirtualPortDir();

// devDir/ttyACM* and devDir/ttyUSB* in natural order, then every entry of
// virtualDir in natural order, all as full paths. Folders that cannot be
// read add nothing.
std::vector<std::string> listSerialPorts(const std::string& devDir = "/dev",
                                         const std::string& virtualDir = defaultVirtualPortDir());

}  // namespace ostrel
