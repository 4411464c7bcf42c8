// ostrel-cli: the main form without a window, for scripts and production lines.
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/cli/commands.h"
#include "app/cli/help.h"
#include "app/cli/ports_command.h"
#include "app/cli/production_line.h"
#include "app/cli/qc_commands.h"
#include "app/file_io.h"
#include "app/prompt_table.h"
#include "app/qt_clock.h"
#include "app/text_helpers.h"
#include "app/version.h"

namespace ostrel {

int usage(const std::string& why) {
  std::fprintf(stderr, "ostrel-cli: %s (ostrel-cli --help lists the commands)\n", why.c_str());
  return kExitUsage;
}

const std::map<std::string, CommandRule>& commandRules() {
  static const std::map<std::string, CommandRule> rules = {
      {"detect", {0, 0, false, {"--json"}, runDetect}},
      {"ports", {0, 0, false, {"--json"}, nullptr}},  // run before the form exists
      {"list", {0, 0, false, {"--json", "--rows", "--tree"}, runList}},
      {"load", {1, SIZE_MAX, false, {"--json"}, runLoad}},
      {"remove", {1, SIZE_MAX, false, {"--dry-run", "--json"}, runRemove}},
      {"install", {1, SIZE_MAX, false, {"--select", "--dry-run", "--json"}, runInstall}},
      {"erase", {0, 0, true, {"--json"}, runSequence, "erases the whole cartridge"}},
      {"program", {1, 1, true, {"--json"}, runSequence, "erases and writes the image's sectors"}},
      {"verify", {1, 1, true, {"--json"}, runSequence}},
      {"check", {1, 1, true, {"--json"}, runSequence}},
      {"auto", {1, 1, true, {"--json"}, runSequence, "erases and writes the image's sectors"}},
      {"read", {2, 2, true, {"-o", "--json"}, runRead}},
      {"qc",
       {1, 1, true, {"--json"}, runQc, "erases and writes test patterns over the whole cartridge"}},
      {"clear-catalogue", {0, 0, true, {}, runClearCatalogue, "erases the cartridge's catalogue"}},
      {"cf-test", {2, 2, true, {}, runCfTest, "writes the test pattern over the sectors"}},
  };
  return rules;
}

}  // namespace ostrel

namespace {

using namespace ostrel;

// Parses the arguments; returns -1 to go on, or an exit status.
int parse(int argc, char** argv, CliOptions& o) {
  std::vector<std::string> commandOptions;
  bool optionsEnded = false;
  bool help = false;
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
      help = true;
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
  // The whole help, one command's (COMMAND --help, help COMMAND) or the fault codes.
  if (help || o.command == "help") {
    const std::string topic = o.command == "help" ? (o.args.empty() ? "" : o.args[0]) : o.command;
    const std::string text = topic.empty()       ? generalHelp()
                             : topic == "faults" ? faultHelp()
                                                 : commandHelp(topic);
    if (text.empty()) return usage("no help on " + topic);
    std::fputs(text.c_str(), stdout);
    return kExitOk;
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
  if (r.engineering && o.mode == CustomerBuild) {
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
    if (o.command == "load" && o.mode == CustomerBuild && !package) {
      std::fprintf(stderr,
                   "ostrel-cli: %s: the customer build (--mode 2) loads .bn packages only\n",
                   f.c_str());
      return kExitUsage;
    }
  }
  return -1;
}

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
  CliHost host(writableProgramDirectory(currentExecutablePath()), options.answer, options.quiet);
  host.onlyPort = chosenPort;
  TForm_MAIN form(options.mode, options.language, host, clock, comm);
  form.FormCreate();
  form.setFastLink(options.fastLink);
  CliOutput out(form, host, options.quiet, options.json);
  Cli cli{options, form, host, out, comm};

  const CommandRule& rule = commandRules().at(options.command);
  // What erases or writes the cartridge on the engineer's word alone is
  // confirmed first: on a terminal by a question, else by --yes.
  if (rule.destructive) {
    const std::string question =
        "ostrel-cli: " + options.command + " " + rule.destructive + ". Go on?";
    const bool shown = host.showsQuestions();  // --quiet --yes prints no question
    if (shown) out.error(question);
    if (!host.confirm()) {
      if (!shown) out.error(question);
      out.error("ostrel-cli: nothing was done");
      return kExitFailed;
    }
  }
  const int status = rule.run(cli);
  out.flushLog();
  form.FormClose();
  return status;
}
