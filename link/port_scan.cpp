#include "link/port_scan.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <span>

#include "link/commands.h"
#include "link/frame.h"
#include "link/port_list.h"

namespace ostrel {

namespace {

// Whether another program keeps path to itself: it holds the lock every
// opener of a module port takes, or it set the terminal's exclusive mode,
// which refuses the open to all but root. Root is let in, so the mode is
// asked for: an open port's settings are changed and its input flushed, which
// would disturb the program that holds it.
bool heldByAnother(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == EBUSY;
  int exclusive = 0;
  const bool held = (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) ||
                    (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK);
  ::close(fd);
  return held;
}

bool isTerminal(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return true;  // unknown: said as the open's own failure
  const bool terminal = ::isatty(fd) != 0;
  ::close(fd);
  return terminal;
}

// Why path cannot be opened, told from what the file system says of it and
// from the failed open; Module when nothing speaks against it.
PortStatus statusBeforeOpen(const std::string& path, std::string& detail) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return PortStatus::Missing;
    detail = std::strerror(errno);
    return PortStatus::Unusable;
  }
  return S_ISCHR(st.st_mode) ? PortStatus::Module : PortStatus::NotDevice;
}

}  // namespace

std::string portPathFor(const std::string& value) {
  if (value.find('/') == std::string::npos) return "/dev/" + value;
  if (value.front() == '/') return value;
  std::error_code ec;
  const std::filesystem::path cwd = std::filesystem::current_path(ec);
  if (ec) return value;
  return (cwd / value).lexically_normal().string();
}

PortProbe probePort(Transport& port, Clock& clock, const std::string& path, int buildMode,
                    uint32_t replyMs) {
  PortProbe probe;
  probe.port = path;
  probe.status = statusBeforeOpen(path, probe.detail);
  if (probe.status != PortStatus::Module) return probe;
  if (heldByAnother(path)) {
    probe.status = PortStatus::Busy;
    return probe;
  }

  std::vector<uint8_t> got;
  port.OnReceiveData = [&got](const uint8_t* data, uint16_t length) {
    got.insert(got.end(), data, data + length);
  };
  port.setCommName(path);
  port.setBaudRate(9600);
  port.setParity(TParity::Mark);
  port.setStopBits(TStopBits::_1);
  // Each read is handed over at once: the wait below ends when the identity
  // frame is whole, not after a quiet gap.
  port.setReadIntervalTimeout(0);
  try {
    port.OpenPort();
  } catch (const ECommsError& e) {
    port.OnReceiveData = nullptr;
    if (!e.accessHint.empty()) {
      probe.status = PortStatus::Permission;
      probe.detail = e.accessHint;
    } else if (heldByAnother(path)) {
      probe.status = PortStatus::Busy;
    } else if (!isTerminal(path)) {
      probe.status = PortStatus::NotDevice;  // a device, but no serial port (/dev/null)
    } else {
      probe.status = PortStatus::Unusable;
      probe.detail = e.what();
    }
    return probe;
  }
  auto frameLengthGot = [&got] { return got.empty() ? size_t(0) : frameLength(got[0]); };
  const uint8_t request = Cmd::IdentifyProbe;
  port.SendBytes(&request, 1);
  clock.waitUntil([&] { return !got.empty() && got.size() >= frameLengthGot(); },
                  clock.tick() + replyMs);
  port.ClosePort();
  port.OnReceiveData = nullptr;

  const size_t length = frameLengthGot();
  probe.status = PortStatus::NoAnswer;
  if (length < 2 || got.size() < length || !frameValid(std::span(got.data(), length)) ||
      got[1] != Cmd::replyTo(Cmd::IdentifyProbe))
    return probe;
  probe.id = identifyModule(got.data(), length, buildMode);
  std::copy_n(got.begin() + 2, std::min<size_t>(8, length - 2), probe.identity.begin());
  probe.status =
      probe.id.result == IdentifyResult::Module ? PortStatus::Module : PortStatus::Unrecognised;
  return probe;
}

const char* portStatusWord(PortStatus status) {
  switch (status) {
    case PortStatus::Module:
      return "module";
    case PortStatus::Unrecognised:
      return "unrecognised";
    case PortStatus::NoAnswer:
      return "no answer";
    case PortStatus::Busy:
      return "busy";
    case PortStatus::Permission:
      return "permission";
    case PortStatus::NotDevice:
      return "not a device";
    case PortStatus::Missing:
      return "missing";
    case PortStatus::Unusable:
      return "unusable";
  }
  return "unusable";
}

std::string probeAuxText(const PortProbe& probe) {
  return identityText(probe.identity.data());
}

std::string probeIdText(const PortProbe& probe) {
  const uint8_t* id = probe.identity.data() + 4;
  return probe.id.generation == OstrelIII ? ost3IdDisplayText(id) : identityText(id);
}

std::string portProbeText(const PortProbe& p) {
  const std::string& at = p.port;
  switch (p.status) {
    case PortStatus::Module:
      return at + ": " + generationName(p.id.generation) + ", Aux No. " + probeAuxText(p) +
             ", ID " + probeIdText(p) + ", " + std::to_string(p.id.sectorCount) + " sectors";
    case PortStatus::Unrecognised:
      return at + ": something answered, but not as a module this program knows (type code " +
             std::to_string(p.id.typeCode) + ")";
    case PortStatus::NoAnswer:
      return at + ": opened, but no module answered within a second";
    case PortStatus::Busy:
      return at +
             ": busy, another program is using it (close that program, or pick "
             "another port)";
    case PortStatus::Permission:
      return p.detail;
    case PortStatus::NotDevice:
      return at + ": not a serial port";
    case PortStatus::Missing:
      return at + ": no such port (is the module plugged in?)";
    case PortStatus::Unusable:
      return at + ": cannot be opened: " + p.detail;
  }
  return at;
}

}  // namespace ostrel
