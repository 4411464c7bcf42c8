#include "app/cli/help.h"

#include <array>

#include "app/fault_codes.h"

namespace ostrel {

namespace {

struct CommandText {
  const char* name;
  bool engineering;
  const char* usage;    // the command and its arguments
  const char* text;     // what it does, each line indented by 10
  const char* example;  // a command line that works as written
};

// Examples quote backslash paths: unquoted, the shell drops the backslash.
constexpr std::array<CommandText, 15> kCommands = {{
    {"detect", false, "detect [--json]",
     "          find the module and print its identity; exit 0 when one is connected,\n"
     "          1 when not; with several modules and no --port, lists them all (JSON:\n"
     "          port, generation, aux, id, sectors; a list when several)\n",
     "ostrel-cli detect"},
    {"ports", false, "ports [--json]",
     "          every candidate port and its status: module (with its generation, Aux\n"
     "          No., ID), unrecognised (an answer from no known module), no answer,\n"
     "          busy, permission, not a device, missing, unusable (JSON: port, status,\n"
     "          reason or the module's generation, aux, id, sectors)\n",
     "ostrel-cli ports --json"},
    {"list", false, "list [--rows [--tree]] [--json]",
     "          the cartridge's catalogue entries: slot, kind, attribute, brand, version,\n"
     "          versionExtra, start sector, sector count, directory (JSON: the keys of\n"
     "          ostrel-pkg info, and problem), then the entries that overlap, lie in\n"
     "          sectors 0/1 or run past the end, and why: while there are any, only they\n"
     "          can be removed. --rows: the rows as the window lists them (aliases on one\n"
     "          row, units), the free and used space and the wrong entries (JSON:\n"
     "          wrongEntries); --tree adds the directories with their file counts\n",
     "ostrel-cli list --rows --tree"},
    {"load", false, "load FILE... [--json]",
     "          load the files as the LOAD button does (.bn package, .bin binary image,\n"
     "          anything else S-record; mode 2 loads packages only) and print the loaded\n"
     "          entries; exit 1 when a file fails, naming it and why\n",
     "ostrel-cli load europe.bn asia.bn"},
    {"remove", false, "remove ITEM... [--dry-run] [--json]",
     "          remove software from the cartridge as Delete does and write the new\n"
     "          catalogue to the module. ITEM is a row's name as listed (or the brand of\n"
     "          one of its aliases) or a directory, '\\A\\B' or /A/B. The question is\n"
     "          answered by --yes/--no or on the terminal. --dry-run prints what would\n"
     "          change and writes nothing. Exit 1 when anything named was not removed\n"
     "          (declined, refused, or the write failed), each named on stderr\n",
     "ostrel-cli --yes remove Ostmark '\\ASIA\\JAPAN'"},
    {"install", false, "install FILE.bn... [--select ITEM]... [--dry-run] [--json]",
     "          load the packages, select the ITEMs (rows or directories of the loaded\n"
     "          packages; all when none is given), install them as \"Copy to cartridge\"\n"
     "          does and write them to the module, then print the cartridge's rows.\n"
     "          Exit 1 when anything selected was not installed (a duplicate declined,\n"
     "          refused, or the write failed), each named on stderr. --dry-run prints\n"
     "          the planned catalogue and sectors and writes nothing\n",
     "ostrel-cli --yes install europe.bn asia.bn --select '\\EUROPE'"},
    {"erase", true, "erase [--json]", "          erase the whole cartridge\n",
     "ostrel-cli --mode 1 --yes erase"},
    {"program", true, "program IMAGE [--json]",
     "          load the S-record (or .bin binary) image and program it\n",
     "ostrel-cli --mode 1 --yes program firmware.s19"},
    {"verify", true, "verify IMAGE [--json]",
     "          load the image and compare the cartridge with it\n",
     "ostrel-cli --mode 1 verify firmware.s19"},
    {"check", true, "check IMAGE [--json]",
     "          load the image and compare the module's sector checksums with it\n",
     "ostrel-cli --mode 1 check firmware.s19"},
    {"auto", true, "auto IMAGE [--json]",
     "          load the image and run AUTO (program, then check or verify)\n",
     "ostrel-cli --mode 1 --yes auto firmware.s19"},
    {"read", true, "read FIRST LAST [-o FILE] [--json]",
     "          read sectors FIRST..LAST (hex) into the file the window names\n"
     "          (ID_SECxxxx-yyyy.BIN in the program's folder), or FILE\n",
     "ostrel-cli --mode 1 read 10 1F -o sectors.bin"},
    {"qc", true, "qc auto|blank|loop [--json]",
     "          QC Auto (both test steps, then the reference image programmed and\n"
     "          checked) or one step alone; the fault code on stderr when it fails\n",
     "ostrel-cli --mode 1 --yes qc auto"},
    {"clear-catalogue", true, "clear-catalogue",
     "          erase the cartridge's catalogue (Ostrel IV: its mapping table)\n",
     "ostrel-cli --mode 1 --yes clear-catalogue"},
    {"cf-test", true, "cf-test FIRST LAST",
     "          Ostrel IV: write the test pattern to sectors FIRST..LAST (decimal, as\n"
     "          the window reads its two boxes)\n",
     "ostrel-cli --mode 1 --yes cf-test 200 210"},
}};

constexpr const char* kUsage =
    "usage: ostrel-cli [OPTION]... COMMAND [ARGUMENTS]\n"
    "       ostrel-cli COMMAND --help, ostrel-cli help [COMMAND|faults]\n"
    "Every command first finds and identifies the module, as the window does.\n";

constexpr const char* kOptions =
    "options:\n"
    "  --mode N        build mode of the form core: 2 customer (default), 1 R&D, 0 DEBUG\n"
    "  --language N    language of the texts and legacy code page of directory names:\n"
    "                  0 English (default), 1 Traditional and 2 Simplified Chinese,\n"
    "                  3 Japanese; the \"Fault code:\" line on stderr stays in English,\n"
    "                  the explanation after it follows the language\n"
    "  --port PORT     use only this port: a path (./link is taken from the working\n"
    "                  folder) or a name under /dev (ttyUSB0). Without it every\n"
    "                  candidate is probed; when several modules answer, commands\n"
    "                  other than detect and ports refuse (exit 2) and name them;\n"
    "                  given more than once, COMMAND runs on each of those modules\n"
    "                  at once\n"
    "  --every-module  run COMMAND on every module found, at once: each module's\n"
    "                  output in one block, then a summary table (--json: a list of\n"
    "                  outcomes); questions need --yes or --no; exit 0 only when\n"
    "                  every module succeeded\n"
    "  --yes, --no     answer every question of the program (default: ask on a\n"
    "                  terminal, else no)\n"
    "  --quiet         print only results and faults (no operator log, no progress)\n"
    "  --version       print the version and exit\n"
    "  --link fast     (the default) take each of the module's replies as soon as\n"
    "                  its bytes are in; when a reply cannot be delimited that way,\n"
    "                  the rest of the connection falls back to quiet-gap framing\n"
    "  --link quiet-gap\n"
    "                  take a reply only after 10 ms of quiet on the line (much\n"
    "                  slower); --fast-link is the same as --link fast\n"
    "\n"
    "On a terminal, long operations show a progress line on stderr (sectors done,\n"
    "throughput, time left); none is drawn when stderr is a file or a pipe.\n";

constexpr const char* kProductionLine =
    "production line:\n"
    "  station --log FILE.jsonl COMMAND [ARGUMENTS]\n"
    "          wait for modules and run COMMAND on each one plugged in (once until\n"
    "          it is unplugged), one JSON line per job appended to FILE; Ctrl+C\n"
    "          ends it once the running jobs finish, a second Ctrl+C stops the\n"
    "          jobs that have not begun writing\n"
    "\n"
    "examples:\n"
    "  ostrel-cli --port /dev/ttyACM0 --port /dev/ttyACM1 --yes install europe.bn\n"
    "  ostrel-cli station --log line.jsonl --yes install europe.bn\n";

constexpr const char* kResults =
    "exit status:\n"
    "  0 when everything asked was done; 1 when anything asked was not done (a\n"
    "  failure, a declined question, a skipped duplicate, a part refused), with what\n"
    "  was done and what was not on stderr; 2 for a usage error (also: several\n"
    "  modules answer and no --port names one). Erase, program,\n"
    "  auto, qc, clear-catalogue and cf-test ask first on a terminal; without one\n"
    "  they need --yes, else they exit 1 with nothing touched. Every \"Fault code:\"\n"
    "  line on stderr is followed by what the code means and what to do.\n"
    "\n"
    "JSON results:\n"
    "  With --json, install, remove, erase, program, verify, check, auto, read and qc\n"
    "  print one object on stdout: ok (true when everything asked was done),\n"
    "  faultCode (\"\" when none), message (the last status line), done (objects with\n"
    "  name) and notDone (objects with name and reason). Erase, program, verify,\n"
    "  check, auto and read add sectors and seconds, read adds file; install and\n"
    "  remove add the keys of list --rows --json (rows, freeSpace, usedSpace,\n"
    "  wrongEntries).\n";

std::string entry(const CommandText& c) {
  return "  " + std::string(c.usage) + "\n" + c.text;
}

}  // namespace

std::string generalHelp() {
  std::string text = kUsage;
  text += "\ncommands:\n";
  for (const CommandText& c : kCommands)
    if (!c.engineering) text += entry(c) + "\n";
  text +=
      "engineering commands:\n  Only with --mode 0 or 1: the customer build has no such "
      "buttons.\n\n";
  for (const CommandText& c : kCommands)
    if (c.engineering) text += entry(c) + "\n";
  text += kProductionLine;
  text += "\n";
  text += kOptions;
  text += "\n";
  text += kResults;
  text += "\nexamples:\n";
  for (const CommandText& c : kCommands) text += "  " + std::string(c.example) + "\n\n";
  text += faultHelp();
  return text;
}

std::string commandHelp(const std::string& command) {
  for (const CommandText& c : kCommands) {
    if (command != c.name) continue;
    std::string text = "usage: ostrel-cli [OPTION]... " + std::string(c.usage) + "\n" + c.text;
    if (c.engineering) text += "          (engineering builds only: --mode 0 or 1)\n";
    text += "example:\n  " + std::string(c.example) + "\n";
    text += "Options and exit status: ostrel-cli --help\n";
    return text;
  }
  return {};
}

std::string faultHelp() {
  std::string text = "fault codes:\n";
  for (const FaultExplanation& f : faultTable())
    text += "  " + std::string(f.code) + "    " + std::string(f.happened[0]) + " " +
            std::string(f.action[0]) + "\n";
  return text;
}

}  // namespace ostrel
