// ostrel-cli: the main form without a window, for scripts and production lines.
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/cli/commands.h"
#include "app/cli/ports_command.h"
#include "app/cli/production_line.h"
#include "app/cli/qc_commands.h"
#include "app/file_io.h"
#include "app/prompt_table.h"
#include "app/qt_clock.h"
#include "app/text_helpers.h"
#include "app/version.h"

namespace {

using namespace ostrel;

const char* const kHelp =
    R"(usage: ostrel-cli [--mode 0|1|2] [--language 0..3] [--port PATH] [--yes|--no] [--quiet]
                  [--link fast|quiet-gap]
                  COMMAND [ARGUMENTS]
Every command first finds and identifies the module, as the window does.

commands:
  detect [--json] exit 0 when a module is connected, 1 when not; with several
                  modules and no --port, lists them all (JSON: port,
                  generation, aux, id, sectors; a list when several)
  ports [--json]  every candidate port and its status: module (with its
                  generation, Aux No., ID), no answer, busy, permission,
                  not a device, missing (JSON: port, status, reason or the
                  module's generation, aux, id, sectors)
  list [--json]   the cartridge's catalogue entries: slot, kind, attribute, brand,
                  version, versionExtra, start sector, sector count, directory
                  (JSON: the keys of ostrel-pkg info, and problem), then the
                  entries that overlap, lie in sectors 0/1 or run past the end,
                  and why: while there are any, only they can be removed
  list --rows [--tree] [--json]
                  the rows as the window lists them (aliases on one row, units),
                  the free and used space, the wrong entries (JSON:
                  wrongEntries) and, with --tree, the directories with their
                  file counts and space
  load FILE... [--json]
                  load the files as the LOAD button does (.bn package, .bin
                  binary image, anything else S-record; mode 2 loads packages
                  only) and print the loaded entries; exit 1 when a file fails
  remove ITEM... [--dry-run] [--json]
                  remove software from the cartridge as Delete does and write
                  the new catalogue to the module. ITEM is a row's name as
                  listed (or the brand of one of its aliases) or a directory,
                  \A\B or /A/B. The question is answered by --yes/--no or on
                  the terminal. --dry-run prints what would change and writes
                  nothing. Exit 1 when the removal failed or was declined
  install FILE.bn... [--select ITEM]... [--dry-run] [--json]
                  load the packages, select the ITEMs (rows or directories of
                  the loaded packages; all when none is given), install them as
                  "Copy to cartridge" does and write them to the module, then
                  print the cartridge's rows. --dry-run prints the planned
                  catalogue and sectors and writes nothing
engineering commands (--mode 0 or 1; the customer build has no such buttons):
  erase           erase the whole cartridge
  program IMAGE   load the S-record (or .bin binary) image and program it
  verify IMAGE    load the image and compare the cartridge with it
  check IMAGE     load the image and compare the module's sector checksums
  auto IMAGE      load the image and run AUTO (program, then check or verify)
  read FIRST LAST [-o FILE]
                  read sectors FIRST..LAST (hex) into the file the window
                  names (ID_SECxxxx-yyyy.BIN in the program's folder), or FILE
  qc auto|blank|loop
                  QC Auto (both test steps, then the reference image programmed
                  and checked) or one step alone; the fault code on stderr when
                  it fails
  clear-catalogue erase the cartridge's catalogue (Ostrel IV: its mapping table)
  cf-test FIRST LAST
                  Ostrel IV: write the test pattern to sectors FIRST..LAST
                  (decimal, as the window reads its two boxes)

production line:
  station --log FILE.jsonl COMMAND [ARGUMENTS]
                  wait for modules and run COMMAND on each one plugged in (once
                  until it is unplugged), one JSON line per job appended to
                  FILE; Ctrl+C ends it once the running jobs finish, a second
                  Ctrl+C stops the jobs that have not begun writing

options:
  --mode N        build mode of the form core: 2 customer (default), 1 R&D, 0 DEBUG
  --language N    language of the texts and legacy code page of directory names:
                  0 English (default), 1 Traditional and 2 Simplified Chinese,
                  3 Japanese; the "Fault code:" line on stderr stays in English
  --port PORT     use only this port: a path (./link is taken from the working
                  folder) or a name under /dev (ttyUSB0). Without it every
                  candidate is probed; when several modules answer, commands
                  other than detect and ports refuse (exit 2) and name them;
                  given more than once, COMMAND runs on each of those modules
                  at once
  --every-module  run COMMAND on every module found, at once: each module's
                  output in one block, then a summary table (--json: a list of
                  outcomes); questions need --yes or --no; exit 0 only when
                  every module succeeded
  --yes, --no     answer every question of the program (default: ask on a
                  terminal, else no)
  --quiet         print only results and faults (no operator log, no progress)
  --version       print the version and exit
  --link fast     (the default) take each of the module's replies as soon as
                  its bytes are in; when a reply cannot be delimited that way,
                  the rest of the connection falls back to quiet-gap framing
  --link quiet-gap
                  take a reply only after 10 ms of quiet on the line (much
                  slower); --fast-link is the same as --link fast
On a terminal, long operations show a progress line on stderr (sectors done,
throughput, time left); none is drawn when stderr is a file or a pipe.
Exit status: 0 success, 1 failure (fault code on stderr), 2 usage error (also:
several modules answer and no --port names one).

examples:
  ostrel-cli detect
  ostrel-cli ports
  ostrel-cli --port ttyUSB0 list
  ostrel-cli list --rows --tree
  ostrel-cli install europe.bn asia.bn --select \EUROPE --yes
  ostrel-cli remove Ostmark /ASIA/JAPAN --dry-run
  ostrel-cli --mode 1 program firmware.s19
  ostrel-cli --mode 1 read 10 1F -o sectors.bin
  ostrel-cli --mode 1 qc auto
  ostrel-cli --port /dev/ttyACM0 --port /dev/ttyACM1 --yes install europe.bn
  ostrel-cli station --log line.jsonl --yes install europe.bn
)";

int usage(const std::string& why) {
  std::fprintf(stderr, "ostrel-cli: %s (ostrel-cli --help lists the commands)\n", why.c_str());
  return kExitUsage;
}

struct CommandRule {
  size_t minArgs, maxArgs;
  bool engineering;
  std::set<std::string> options;  // command options it takes
  int (*run)(Cli&);
};

const std::map<std::string, CommandRule>& commandRules() {
  static const std::map<std::string, CommandRule> rules = {
      {"detect", {0, 0, false, {"--json"}, runDetect}},
      {"ports", {0, 0, false, {"--json"}, nullptr}},  // run before the form exists
      {"list", {0, 0, false, {"--json", "--rows", "--tree"}, runList}},
      {"load", {1, SIZE_MAX, false, {"--json"}, runLoad}},
      {"remove", {1, SIZE_MAX, false, {"--dry-run", "--json"}, runRemove}},
      {"install", {1, SIZE_MAX, false, {"--select", "--dry-run", "--json"}, runInstall}},
      {"erase", {0, 0, true, {}, runSequence}},
      {"program", {1, 1, true, {}, runSequence}},
      {"verify", {1, 1, true, {}, runSequence}},
      {"check", {1, 1, true, {}, runSequence}},
      {"auto", {1, 1, true, {}, runSequence}},
      {"read", {2, 2, true, {"-o"}, runRead}},
      {"qc", {1, 1, true, {}, runQc}},
      {"clear-catalogue", {0, 0, true, {}, runClearCatalogue}},
      {"cf-test", {2, 2, true, {}, runCfTest}},
  };
  return rules;
}

// Parses the arguments; returns -1 to go on, or an exit status.
int parse(int argc, char** argv, CliOptions& o) {
  std::vector<std::string> commandOptions;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool value = i + 1 < argc;
    if (optionsEnded || a.empty() || a[0] != '-') {
      if (o.command.empty())
        o.command = a;
      else
        o.args.push_back(a);
    } else if (a == "--") {
      optionsEnded = true;
    } else if (a == "--version") {
      std::fputs(versionText("ostrel-cli").c_str(), stdout);
      return kExitOk;
    } else if (a == "--help" || a == "-h") {
      std::fputs(kHelp, stdout);
      return kExitOk;
    } else if (a == "--mode" && value) {
      const std::string v = argv[++i];
      if (v.size() != 1 || v[0] < '0' || v[0] > '2') return usage("--mode takes 0, 1 or 2");
      o.mode = v[0] - '0';
    } else if (a == "--language" && value) {
      const std::string v = argv[++i];
      if (v.size() != 1 || v[0] < '0' || v[0] > '3') return usage("--language takes 0..3");
      o.language = v[0] - '0';
    } else if (a == "--port") {
      if (!value || argv[i + 1][0] == '\0')
        return usage("--port needs a value: a port's path, or its name under /dev");
      if (!o.ports.empty()) return usage("--port is given twice: name one port");
      o.ports.push_back(argv[++i]);
    } else if (a == "--yes" || a == "--no") {
      o.answer = a == "--yes" ? CliHost::Answer::Yes : CliHost::Answer::No;
    } else if (a == "--quiet") {
      o.quiet = true;
    } else if (a == "--fast-link") {
      o.fastLink = true;
    } else if (a == "--link" && value) {
      const std::optional<bool> fast = fastLinkOption(argv[++i]);
      if (!fast) return usage("--link takes fast or quiet-gap");
      o.fastLink = *fast;
    } else if (a == "--json" || a == "--rows" || a == "--tree" || a == "--dry-run") {
      commandOptions.push_back(a);
      (a == "--json" ? o.json : a == "--rows" ? o.rows : a == "--tree" ? o.tree : o.dryRun) = true;
    } else if (a == "--select" && value) {
      commandOptions.push_back(a);
      o.select.push_back(argv[++i]);
    } else if (a == "-o" && value) {
      commandOptions.push_back(a);
      o.output = argv[++i];
    } else {
      return usage("unknown option " + a);
    }
  }
  const auto rule = commandRules().find(o.command);
  if (rule == commandRules().end())
    return usage(o.command.empty() ? "no command" : "unknown command " + o.command);
  const CommandRule& r = rule->second;
  for (const std::string& option : commandOptions)
    if (!r.options.count(option)) return usage(o.command + " takes no " + option);
  if (o.args.size() < r.minArgs || o.args.size() > r.maxArgs)
    return usage("wrong number of arguments for " + o.command);
  if (o.tree && !o.rows) return usage("--tree goes with --rows");
  if (r.engineering && o.mode == 2) {
    std::fprintf(stderr,
                 "ostrel-cli: %s is an engineering command: the customer build (--mode 2) has "
                 "no such button; use --mode 0 or 1\n",
                 o.command.c_str());
    return kExitUsage;
  }
  for (const std::string& f : o.args) {
    const bool package = filterFor(f) == 1;
    if (o.command == "install" && !package) return usage(f + ": install takes .bn packages");
    if (r.engineering && o.command != "read" && package)
      return usage(f + ": a .bn package is installed, not programmed as an image");
    if (o.command == "load" && o.mode == 2 && !package) {
      std::fprintf(stderr,
                   "ostrel-cli: %s: the customer build (--mode 2) loads .bn packages only\n",
                   f.c_str());
      return kExitUsage;
    }
  }
  return -1;
}

// Lists the ports to probe: every candidate, or just the one named.
class PortHost : public CliHost {
 public:
  using CliHost::CliHost;
  std::vector<std::string> portList(const PortNote& note) override {
    if (!onlyPort.empty()) return {onlyPort};
    return CliHost::portList(note);
  }
  std::string onlyPort;
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  // Several modules, or a station: a child of this program per module.
  if (const int status = runProductionLine(argc, argv, parse); status >= 0) return status;
  CliOptions options;
  options.mode = kDeliveredBuildMode;
  options.language = kDeliveredLanguage;
  if (const int status = parse(argc, argv, options); status >= 0) return status;
  installInterruptCleanup();  // Ctrl+C or a kill leaves no half-written file

  QtClock clock;
  // Which module to talk to is settled before the form exists, so that no
  // journal is judged or applied on a module nobody chose.
  if (options.command == "ports") return runPorts(options, clock);
  std::string chosenPort;
  if (const int status = choosePort(options, clock, chosenPort); status >= 0) return status;
  TComm comm;
  applyComm1Values(comm);
  PortHost host(writableProgramDirectory(currentExecutablePath()), options.answer, options.quiet);
  host.onlyPort = chosenPort;
  TForm_MAIN form(options.mode, options.language, host, clock, comm);
  form.FormCreate();
  form.setFastLink(options.fastLink);
  CliOutput out(form, host, options.quiet, options.json);
  Cli cli{options, form, host, out, comm};

  const int status = commandRules().at(options.command).run(cli);
  out.flushLog();
  form.FormClose();
  return status;
}
