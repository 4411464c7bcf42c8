// The serial ports discovery probes: USB serial devices, then the
// pseudo-terminals the module simulator publishes in the virtual-port folder.
//
// The virtual-port folder is trusted only when it is the user's own and
// nobody else can write to it, and only its entries that lead to character
// devices are offered: anyone else who could plant a link there would have
// the probe open, reconfigure and write into whatever the link names.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/host.h"  // PortNote

namespace ostrel {

// $XDG_RUNTIME_DIR/ostrel-ports when XDG_RUNTIME_DIR is an absolute path,
// else /tmp/ostrel-ports-<effective user id>.
std::string defaultVirtualPortDir();

// Why a folder with this mode and owner must not hold port links for user, or
// "" when it may: a folder (not a link), owned by user, writable by nobody
// else.
std::string portFolderProblem(uint32_t mode, uint32_t owner, uint32_t user);

// Checks dir (not following a link in its place) for this process's user:
// "" when it may be used, else why not.
std::string checkPortFolder(const std::string& dir);

// Creates dir with mode 0700 when it is missing (missing parents as well),
// then checks it as checkPortFolder does.
std::string makePortFolder(const std::string& dir);

// What decides the remedy for a serial port the user may not open.
struct PortAccessFacts {
  std::string path;
  std::string user;                // the process's user name
  std::string owner;               // the device's owner
  std::string group;               // the device's group
  bool groupMayReadWrite = false;  // its mode lets the group read and write
  bool listedInGroup = false;      // the group database lists the user in it
  bool groupInThisLogin = false;   // the process already has the group
};

// The hint shown for such a port (stderr of the command line, the window's
// debug log and second status line): join the device's group and log in
// again, log in again when the user joined it after this login began, or
// ask for access when no group may use the port.
std::string portAccessHintText(const PortAccessFacts& facts);

// The hint for devicePath, from its owner, group and mode as the file system
// has them and this process's user and groups; "" when there is no such file.
std::string portAccessHint(const std::string& devicePath);

// devDir/ttyACM* and devDir/ttyUSB* in natural order, then the entries of
// virtualDir that lead to character devices, in natural order, all as full
// paths. A missing folder adds nothing; an untrusted virtual-port folder and
// the entries left out of a trusted one are reported to note.
std::vector<std::string> listSerialPorts(const std::string& devDir = "/dev",
                                         const std::string& virtualDir = defaultVirtualPortDir(),
                                         const PortNote& note = {});

}  // namespace ostrel
