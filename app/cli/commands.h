// The commands of ostrel-cli: each drives the form core the way a user drives
// the window (detection, the LOAD dialog, the catalogue lists, the buttons)
// and prints what the window would show.
#pragma once

#include <QJsonObject>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/cli/cli_host.h"
#include "app/cli/cli_output.h"
#include "app/form_main.h"
#include "link/tcomm.h"

namespace ostrel {

// Exit status of every command.
inline constexpr int kExitOk = 0, kExitFailed = 1, kExitUsage = 2;

struct CliOptions {
  int mode = 2;
  int language = 0;
  std::vector<std::string> ports;  // --port: one for now
  CliHost::Answer answer = CliHost::Answer::Ask;
  bool quiet = false;
  bool fastLink = true;  // --link: fast, or quiet-gap framing
  bool json = false;
  bool rows = false;  // list: rows as the window shows them
  bool tree = false;  // list --rows: the directory tree too
  bool dryRun = false;
  std::string command;
  std::vector<std::string> args;    // what follows the command
  std::vector<std::string> select;  // install --select
  std::string output;               // read -o
};

struct Cli;

// What a command takes and does, for the parser, the confirmation and the
// production line.
struct CommandRule {
  size_t minArgs, maxArgs;
  bool engineering;
  std::set<std::string> options;  // command options it takes
  int (*run)(Cli&);
  const char* destructive = nullptr;  // what it does to the cartridge, to be confirmed
};
const std::map<std::string, CommandRule>& commandRules();

// A usage error on stderr; returns the exit status 2.
int usage(const std::string& why);

struct Cli {
  const CliOptions& opt;
  TForm_MAIN& form;
  CliHost& host;
  CliOutput& out;
  TComm& comm;
};

// The dialog's filter index for a file: 1 package, 2 S-record, 3 binary.
int filterFor(const std::string& file);

// Detection, as the window runs it a second after it opens; when no module
// answers, why goes to stderr.
bool connectOrSay(Cli& c);
// Runs one operation of the form and returns what it reported.
Outcome runOperation(Cli& c, const std::function<void()>& operation,
                     CliOutput::Measure measure = CliOutput::Measure::Sectors, uint32_t total = 0);
// The keys every --json result has: ok (all asked was done), faultCode ("" when
// none), message (the last status), done [{name}], notDone [{name, reason}].
QJsonObject outcomeJson(const Outcome& o);
// How a command's result goes to stdout with --json: one object, the
// cartridge's rows with the outcome's keys, or nothing (the command prints
// its own JSON).
enum class Report { Object, Rows, NoJson };
// The exit status from the outcome alone: 0 when everything asked was done,
// else 1, with what was done and what was not on stderr. With --quiet a
// success prints its status line.
int report(Cli& c, const Outcome& o, Report kind = Report::Object, QJsonObject extra = {});
// The same for an operation on one thing (an image, the cartridge, a range),
// named done or not done; with started, the seconds since then join the JSON.
int reportOne(Cli& c, Outcome o, const std::string& name, QJsonObject extra = {},
              std::optional<std::chrono::steady_clock::time_point> started = std::nullopt);

int runDetect(Cli& c);
int runList(Cli& c);
int runLoad(Cli& c);
int runRemove(Cli& c);
int runInstall(Cli& c);
// erase, program, verify, check, auto (engineering builds).
int runSequence(Cli& c);
int runRead(Cli& c);

}  // namespace ostrel
