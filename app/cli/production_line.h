// Several modules in one command (`--port A --port B ...`, `--every-module`)
// and the station that works on each module plugged in (`station --log FILE
// COMMAND ...`). The command itself runs in a child ostrel-cli per module.
#pragma once

#include <string>
#include <vector>

#include "app/cli/commands.h"
#include "app/cli/module_jobs.h"

namespace ostrel {

// The ordinary command line's parser: -1 to go on, else the exit status.
using CliParser = int (*)(int argc, char** argv, CliOptions& options);

// What the command line asks of the production line.
struct LineRequest {
  std::vector<std::string> ports;  // every --port
  bool everyModule = false;
  bool station = false;
  bool json = false;
  std::string log;                     // station --log
  std::vector<std::string> forwarded;  // the rest, for each child
  CliOptions options;                  // forwarded, as the parser read it
};

// Runs the command line when it names several modules or a station; -1 when
// it names one module (or none) and the ordinary path takes it.
int runProductionLine(int argc, char** argv, CliParser parse);

// One module's job: the child's arguments, its outcome as a JSON object and
// a summary row.
std::vector<std::string> childArguments(const LineRequest& request, const FoundModule& module);
// The summary table's heading and one row per job.
std::vector<std::string> summaryHeading();
std::vector<std::string> summaryRow(const FoundModule& module, const std::string& result,
                                    const JobOutcome& outcome, double seconds);
void printSummary(const std::vector<std::vector<std::string>>& rows, FILE* to);
// A job's result word: "ok", "failed", "refused" or "stopped".
std::string resultWord(const JobOutcome& outcome, bool refused, bool stopped);

int runStation(const LineRequest& request);

}  // namespace ostrel
