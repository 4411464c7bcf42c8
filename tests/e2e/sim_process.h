// Runs ostrel-sim as a separate process publishing its pseudo-terminal in a
// private virtual-port folder, for end-to-end tests.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/scripted_host.h"
#include "link/port_list.h"

extern char** environ;

namespace ostrel::test {

class SimProcess {
 public:
  // args: extra ostrel-sim options (--type 8B, --ostrel1, ...); quick: the
  // short erase times of --quick, else the simulator's own; errorLog: a file
  // its messages are appended to instead of standard error.
  SimProcess(const std::string& portDir, const std::string& name, std::vector<std::string> args,
             bool quick = true, const std::string& errorLog = {})
      : link_(portDir + "/" + name) {
    std::vector<std::string> argv{OSTREL_SIM_PATH, "--port-dir", portDir, "--name", name};
    if (quick) argv.push_back("--quick");
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (!errorLog.empty())
      posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorLog.c_str(),
                                       O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (posix_spawn(&pid_, cargv[0], &actions, nullptr, cargv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    // Wait until the link is published.
    for (int i = 0; i < 500 && pid_ > 0 && !std::filesystem::is_symlink(link_); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ~SimProcess() { stop(); }
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  bool running() const { return pid_ > 0 && std::filesystem::is_symlink(link_); }
  pid_t pid() const { return pid_; }
  const std::string& link() const { return link_; }
  // Ends the module (SIGTERM as a user stops it, SIGKILL as a crash) and
  // returns its exit status, 128 + the signal when a signal ended it (-1:
  // none was running). A link a killed module left behind is removed, so a
  // module started next under the same name is never mistaken for it.
  int stop(int signal = SIGTERM) {
    if (pid_ <= 0) return -1;
    kill(pid_, signal);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    std::error_code ec;
    if (std::filesystem::is_symlink(std::filesystem::symlink_status(link_, ec)))
      std::filesystem::remove(link_, ec);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  std::string link_;
  pid_t pid_ = -1;
};

// A private virtual-port folder, removed afterwards.
struct PortDir {
  PortDir() {
    path = (std::filesystem::temp_directory_path() /
            ("ostrel-e2e-" + std::to_string(::getpid()) + "-" + std::to_string(counter()++)))
               .string();
    std::filesystem::create_directories(path);
    // Scanned only when private to the user.
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  }
  ~PortDir() { std::filesystem::remove_all(path); }
  // Benchmarks make modules from several threads at once.
  static std::atomic<int>& counter() {
    static std::atomic<int> n = 0;
    return n;
  }
  std::string path;
};

// A host whose port list holds only the private folder's links, so real
// devices of the machine are never probed.
class FolderHost : public ScriptedHost {
 public:
  explicit FolderHost(std::string dir) : dir_(std::move(dir)) {}
  std::vector<std::string> portList(const PortNote& note) override {
    return listSerialPorts("/nonexistent", dir_, note);
  }

 private:
  std::string dir_;
};

}  // namespace ostrel::test
