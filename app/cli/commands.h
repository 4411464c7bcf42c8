// The commands of ostrel-cli: each drives the form core the way a user drives
// the window (detection, the LOAD dialog, the catalogue lists, the buttons)
// and prints what the window would show.
#pragma once

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
// A result in the quiet mode's terms: success prints the status line, a
// failure without a fault code says at least that it failed.
int finish(Cli& c, bool ok);

int runDetect(Cli& c);
int runList(Cli& c);
int runLoad(Cli& c);
int runRemove(Cli& c);
int runInstall(Cli& c);
// erase, program, verify, check, auto (engineering builds).
int runSequence(Cli& c);
int runRead(Cli& c);

}  // namespace ostrel
