// Running ostrel-cli, ostrel-sim's cartridge commands and ostrel-pkg as
// processes, and reading what they leave behind, for end-to-end tests.
#pragma once

#include <fcntl.h>
#include <pty.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <string>
#include <vector>

extern char** environ;

namespace ostrel::test {

struct ProcessRun {
  int exitCode = -1;
  QByteArray out, err;
};

// Sanitizers reserve terabytes of address space for themselves: their
// builds cannot run under an address-space limit.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitizerBuild = true;
#elif defined(__has_feature)
inline constexpr bool kSanitizerBuild =
    __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
inline constexpr bool kSanitizerBuild = false;
#endif

// Output through pipes, standard input closed: the program never waits on a
// terminal. addressSpace: a limit on the program's address space in bytes,
// as `ulimit -v` sets it (0: none).
inline ProcessRun runProcess(const QString& program, const QStringList& args,
                             int timeoutMs = 120000, uint64_t addressSpace = 0) {
  QProcess p;
  p.setStandardInputFile(QProcess::nullDevice());
  if (addressSpace)
    p.setChildProcessModifier([addressSpace] {
      const rlimit limit{addressSpace, addressSpace};
      setrlimit(RLIMIT_AS, &limit);
    });
  p.start(program, args);
  ProcessRun r;
  if (!p.waitForFinished(timeoutMs)) {
    p.kill();
    p.waitForFinished();
    return r;
  }
  r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  r.out = p.readAllStandardOutput();
  r.err = p.readAllStandardError();
  return r;
}

inline ProcessRun runCli(const QStringList& args) {
  return runProcess(OSTREL_CLI_PATH, args);
}

// The program with a pseudo-terminal as standard input, output and error,
// as when a person runs it; everything it wrote comes back in out.
inline ProcessRun runOnTerminal(const QString& program, const QStringList& args) {
  ProcessRun r;
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return r;
  std::vector<std::string> argv{program.toStdString()};
  for (const QString& a : args) argv.push_back(a.toStdString());
  std::vector<char*> cargv;
  for (std::string& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd = 0; fd < 3; ++fd) posix_spawn_file_actions_adddup2(&actions, slave, fd);
  posix_spawn_file_actions_addclose(&actions, master);
  pid_t pid = -1;
  const bool started = posix_spawn(&pid, cargv[0], &actions, nullptr, cargv.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  ::close(slave);
  char buffer[4096];
  for (ssize_t n; started && (n = ::read(master, buffer, sizeof buffer)) != 0;) {
    if (n > 0)
      r.out.append(buffer, n);
    else if (errno != EINTR)
      break;  // EIO: the program has ended and closed the terminal
  }
  ::close(master);
  int status = 0;
  if (started && waitpid(pid, &status, 0) == pid && WIFEXITED(status))
    r.exitCode = WEXITSTATUS(status);
  return r;
}

inline QByteArray readFile(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline bool writeFile(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// Sectors first..last of a cartridge file as ostrel-sim dump writes them
// (logical order on an Ostrel IV); empty when the dump failed.
inline QByteArray dumpCartridge(const QString& cartridge, const QString& scratch, int first,
                                int last) {
  const ProcessRun r =
      runProcess(OSTREL_SIM_PATH, {"dump", cartridge, "-o", scratch, "--first",
                                   QString::number(first), "--last", QString::number(last)});
  return r.exitCode == 0 ? readFile(scratch) : QByteArray();
}

// One catalogue record as the FAT sector stores it (212 bytes from offset
// 108 for entries 1..151, from 32768 for the rest; numbers big-endian).
struct FatRecord {
  int slot = 0;
  uint8_t kind = 0;
  std::string brand, version, versionExtra, path;
  uint16_t start = 0, count = 0;
};

inline std::vector<FatRecord> parseFatSector(const QByteArray& sector) {
  std::vector<FatRecord> records;
  if (sector.size() != 65536) return records;
  auto byte = [&](int at) { return uint8_t(sector[at]); };
  auto be16 = [&](int at) { return uint16_t(byte(at) << 8 | byte(at + 1)); };
  auto text = [&](int at, int size) {
    std::string t;
    for (int i = 0; i < size && byte(at + i) != 0; ++i) t += char(byte(at + i));
    return t;
  };
  const int count = be16(106);
  for (int k = 1; k <= count && k <= 256; ++k) {
    const int at = k < 152 ? 108 + (k - 1) * 212 : 32768 + (k - 152) * 212;
    FatRecord r;
    r.slot = k;
    r.kind = byte(at);
    if (r.kind == 0) continue;
    r.brand = text(at + 2, 26);
    r.version = text(at + 28, 26);
    r.versionExtra = text(at + 54, 26);
    r.start = be16(at + 80);
    r.count = be16(at + 82);
    r.path = text(at + 85, r.kind == 1 ? 25 : 93);
    records.push_back(r);
  }
  return records;
}

}  // namespace ostrel::test
