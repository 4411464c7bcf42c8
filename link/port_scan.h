// Which candidate ports can be opened and which module answers on each: the
// identify probe sent to one port at a time, the port closed again after it.
// The window's detection takes the first module that answers; the command
// line uses this scan to see every one of them before it chooses.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "app/clock.h"
#include "link/identify.h"
#include "link/transport.h"

namespace ostrel {

enum class PortStatus : uint8_t {
  Module,        // a module answered and was recognised
  Unrecognised,  // something answered the probe, but no module this program knows
  NoAnswer,      // opened, but nothing answered in time
  Busy,          // another program holds it
  Permission,    // this user may not open it
  NotDevice,     // not a character device, or one that is no terminal
  Missing,       // no such file
  Unusable,      // any other reason it could not be opened
};

struct PortProbe {
  std::string port;  // the path probed
  PortStatus status = PortStatus::Missing;
  std::string detail;                 // Permission: the remedy; Unusable: the system's reason
  Identification id;                  // Module and Unrecognised
  std::array<uint8_t, 8> identity{};  // auxiliary number (0..3) and ID (4..7)
  bool answered() const {
    return status == PortStatus::Module || status == PortStatus::Unrecognised;
  }
};

// How the command line names a port: a value with a "/" is a path (a
// relative one from the working folder), a bare name one under /dev.
std::string portPathFor(const std::string& value);

// Opens path on port (its other settings as the caller left them), sends the
// identify probe at 9600 baud with mark parity as the window does, waits up
// to replyMs for the framed answer and closes the port. A port another
// program holds is left alone: the exclusive open fails and it reads Busy.
PortProbe probePort(Transport& port, Clock& clock, const std::string& path, int buildMode,
                    uint32_t replyMs = 1000);

// The short status word ("module", "no answer", "busy", ...), as ports and
// its JSON print it.
const char* portStatusWord(PortStatus status);
// One line for a person: why the port cannot be used, or which module it is.
std::string portProbeText(const PortProbe& probe);
// The auxiliary number and the ID as detection shows them.
std::string probeAuxText(const PortProbe& probe);
std::string probeIdText(const PortProbe& probe);

}  // namespace ostrel
