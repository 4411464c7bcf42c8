// Serves a ModuleSim on a pseudo-terminal and publishes the terminal as a
// link in the virtual-port folder, where the program's port scan finds it.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>

#include "sim/module_sim.h"

namespace ostrel {

struct PtyOptions {
  std::string portDir;    // empty: defaultVirtualPortDir()
  std::string linkName;   // empty: sim-<pid>
  std::string strictLog;  // file that receives each violation as a line
  // File rewritten with the link's figures on SIGUSR1 and at the end.
  std::string statsFile;
  bool verbose = false;  // traffic to stderr
};

class PtyRunner {
 public:
  PtyRunner(ModuleSim& sim, PtyOptions options);
  ~PtyRunner();
  PtyRunner(const PtyRunner&) = delete;
  PtyRunner& operator=(const PtyRunner&) = delete;

  // Opens the pseudo-terminal and publishes the link. Refuses a folder that
  // is not the user's own or that others can write to: the program's port
  // scan would skip it.
  bool start(std::string& error);
  const std::string& slavePath() const { return slavePath_; }
  const std::string& linkPath() const { return linkPath_; }
  // Serves until SIGINT/SIGTERM (exit code 0) or until the cable-pulled fault
  // closes the terminal (exit code 3).
  int run();
  // Removes the link and closes the terminal (also done by the destructor).
  void stop();

 private:
  uint32_t nowMs() const;
  int64_t nowUs() const;
  void flushStrictLog();
  void writeStats() const;
  void logBytes(const char* dir, const uint8_t* p, size_t n) const;

  ModuleSim& sim_;
  PtyOptions opt_;
  int master_ = -1;
  int slave_ = -1;  // kept open so the master never sees a hang-up between host opens
  int inotify_ = -1;
  int wakePipe_[2] = {-1, -1};
  std::string slavePath_;
  std::string linkPath_;
  size_t violationsLogged_ = 0;
  uint64_t hostBytes_ = 0;    // read from the host
  uint64_t moduleBytes_ = 0;  // written to the host
};

}  // namespace ostrel
