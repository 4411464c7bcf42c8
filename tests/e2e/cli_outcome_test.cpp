// The exit status of every ostrel-cli command for each way a command can end:
// everything done, a failure, a declined question and a part done. One row
// per case, each on a module of its own (an Ostrel III with the demo
// cartridge unless the row says otherwise). A command without a question has
// no declined row; one that acts on a single thing has no partly-done row.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "common/temp_dir.h"
#include "e2e/cli_run.h"
#include "e2e/sim_process.h"

namespace ostrel {
namespace {

using test::ProcessRun;
using test::runCli;

enum class Ends { Done, Failed, Declined, Partly };

struct Row {
  const char* command;
  Ends ends;
  std::vector<std::string> sim;  // simulator arguments beyond the module's defaults
  QStringList before;            // run first, must succeed (the same module)
  QStringList args;              // {image}, {packages} and {dir} stand for the test's files
  const char* said;              // stderr holds this
};

QString packages() {
  return QString(OSTREL_SAMPLES_DIR) + "/";
}

// An S-record image with data in sectors 0 and 2.
QByteArray image() {
  QByteArray text = "S00600004844521B\r\n";
  for (uint32_t address : {0x00000u, 0x20000u}) {
    QByteArray body;
    body.append(char(4 + 16 + 1));
    for (int shift = 24; shift >= 0; shift -= 8) body.append(char(address >> shift));
    for (int i = 0; i < 16; ++i) body.append(char(0x5A ^ i));
    uint8_t sum = 0;
    for (char c : body) sum = uint8_t(sum + uint8_t(c));
    body.append(char(~sum));
    text += "S3" + body.toHex().toUpper() + "\r\n";
  }
  return text + "S70500000000FA\r\n";
}

TEST(CliOutcomeTest, EveryCommandExitsByWhatWasDone) {
  const std::string chunkNackAlways = "chunk-nack=2:3:always";
  const std::string fatNackAlways = "chunk-nack=1:0:always";
  const std::vector<Row> rows = {
      {"detect", Ends::Done, {}, {}, {"detect"}, ""},
      {"detect", Ends::Failed, {"--fault", "silence-after=0"}, {}, {"detect"}, ""},
      {"list", Ends::Done, {}, {}, {"list"}, ""},
      {"list", Ends::Failed, {"--fault", "silence-after=0"}, {}, {"list"}, "no module answered"},
      {"load", Ends::Done, {}, {}, {"load", "{packages}europe.bn"}, ""},
      {"load", Ends::Failed, {}, {}, {"load", "{dir}none.bn"}, "none.bn: No such file"},
      {"load",
       Ends::Partly,
       {},
       {},
       {"load", "{packages}europe.bn", "{dir}none.bn"},
       "not done: {dir}none.bn"},
      {"remove", Ends::Done, {}, {}, {"--yes", "remove", "Sunaga", "--json"}, ""},
      {"remove",
       Ends::Failed,
       {"--fault", fatNackAlways},
       {},
       {"--yes", "remove", "Sunaga", "--json"},
       "not done: Sunaga"},
      {"remove", Ends::Declined, {}, {}, {"--no", "remove", "Sunaga", "--json"}, "declined"},
      {"remove",
       Ends::Partly,
       {},
       {},
       {"--yes", "remove", "OBDII", "Sunaga", "--json"},
       "not done: OBDII: Cannot remove system file!!"},
      {"install", Ends::Done, {}, {}, {"--yes", "install", "{packages}europe.bn", "--json"}, ""},
      {"install",
       Ends::Failed,
       {"--fault", fatNackAlways},
       {},
       {"--yes", "install", "{packages}europe.bn", "--json"},
       "not done: Brenna"},
      {"install",
       Ends::Declined,
       {},
       {},
       {"--no", "install", "{packages}europe.bn", "--select", "Corvenne", "--json"},
       "not done: Corvenne: declined"},
      {"install",
       Ends::Partly,
       {},
       {},
       {"--no", "install", "{packages}europe.bn", "--json"},
       "done: Brenna"},
      {"erase", Ends::Done, {}, {}, {"--mode", "1", "--yes", "erase", "--json"}, ""},
      {"erase", Ends::Declined, {}, {}, {"--mode", "1", "erase", "--json"}, "nothing was done"},
      {"program", Ends::Done, {}, {}, {"--mode", "1", "--yes", "program", "{image}", "--json"}, ""},
      {"program",
       Ends::Failed,
       {"--fault", chunkNackAlways},
       {},
       {"--mode", "1", "--yes", "program", "{image}", "--json"},
       "Fault code:0032\n  "},
      {"program",
       Ends::Declined,
       {},
       {},
       {"--mode", "1", "program", "{image}", "--json"},
       "nothing was done"},
      {"verify",
       Ends::Done,
       {},
       {"--mode", "1", "--yes", "program", "{image}"},
       {"--mode", "1", "verify", "{image}", "--json"},
       ""},
      {"verify",
       Ends::Failed,
       {},
       {},
       {"--mode", "1", "verify", "{image}", "--json"},
       "Fault code:0051\n  "},
      // Only Ostrel I and II answer a sector checksum.
      {"check",
       Ends::Done,
       {"--type", "80"},
       {"--mode", "1", "--yes", "program", "{image}"},
       {"--mode", "1", "check", "{image}", "--json"},
       ""},
      {"check",
       Ends::Failed,
       {"--type", "80"},
       {},
       {"--mode", "1", "check", "{image}", "--json"},
       "Fault code:0070\n  "},
      {"auto", Ends::Done, {}, {}, {"--mode", "1", "--yes", "auto", "{image}", "--json"}, ""},
      {"auto",
       Ends::Failed,
       {"--fault", chunkNackAlways},
       {},
       {"--mode", "1", "--yes", "auto", "{image}", "--json"},
       "not done: {image}"},
      {"auto", Ends::Declined, {}, {}, {"--mode", "1", "auto", "{image}"}, "nothing was done"},
      {"read",
       Ends::Done,
       {},
       {},
       {"--mode", "1", "read", "0", "3", "-o", "{dir}r.bin", "--json"},
       ""},
      {"read",
       Ends::Failed,
       {},
       {},
       {"--mode", "1", "read", "0", "3", "-o", "{dir}no/r.bin", "--json"},
       "not done: sectors 0-3"},
      {"qc", Ends::Done, {"--quick"}, {}, {"--mode", "1", "--yes", "qc", "blank", "--json"}, ""},
      {"qc",
       Ends::Failed,
       {"--quick", "--fault", "qc-fail=backslash"},
       {},
       {"--mode", "1", "--yes", "qc", "blank", "--json"},
       "Fault code:1001\n  "},
      {"qc", Ends::Declined, {}, {}, {"--mode", "1", "qc", "blank", "--json"}, "nothing was done"},
      {"clear-catalogue",
       Ends::Done,
       {},
       {},
       {"--mode", "1", "--yes", "--quiet", "clear-catalogue"},
       ""},
      {"clear-catalogue",
       Ends::Declined,
       {},
       {},
       {"--mode", "1", "clear-catalogue"},
       "nothing was done"},
      {"cf-test",
       Ends::Done,
       {"--type", "89"},
       {},
       {"--mode", "1", "--yes", "cf-test", "200", "201"},
       ""},
      {"cf-test",
       Ends::Failed,
       {},
       {},
       {"--mode", "1", "--yes", "cf-test", "200", "201"},
       "not done: sectors 200-201: CF test: Ostrel IV only"},
      {"cf-test",
       Ends::Declined,
       {"--type", "89"},
       {},
       {"--mode", "1", "cf-test", "200", "201"},
       "nothing was done"},
  };
  test::TempDir files;
  const QString dir = QString::fromStdString(files.slash());
  ASSERT_TRUE(test::writeFile(dir + "image.s19", image()));
  auto filled = [&](QString text) {
    return text.replace("{packages}", packages())
        .replace("{image}", dir + "image.s19")
        .replace("{dir}", dir);
  };
  for (const Row& row : rows) {
    static const char* const kEnds[] = {"done", "failed", "declined", "partly done"};
    SCOPED_TRACE(std::string(row.command) + " ending " + kEnds[int(row.ends)]);
    test::PortDir ports;
    std::vector<std::string> sim = {"--type", "84", "--instant", "--preset", "demo"};
    sim.insert(sim.end(), row.sim.begin(), row.sim.end());
    test::SimProcess module(ports.path, "module", sim);
    ASSERT_TRUE(module.running());
    auto cli = [&](const QStringList& args) {
      QStringList all{"--port", QString::fromStdString(module.link()), "--fast-link"};
      for (const QString& a : args) all << filled(a);
      return runCli(all);
    };
    if (!row.before.isEmpty()) {
      ASSERT_EQ(cli(row.before).exitCode, 0);
    }
    const QByteArray catalogue = cli({"--quiet", "list", "--json"}).out;

    const ProcessRun r = cli(row.args);
    const std::string err = r.err.toStdString();
    EXPECT_EQ(r.exitCode, row.ends == Ends::Done ? 0 : 1) << err;
    EXPECT_NE(err.find(filled(row.said).toStdString()), std::string::npos) << err;
    // Stderr names what was not done, or says nothing was; never so on success.
    // (How detect tells a port that failed is the port code's own.)
    const bool toldNotDone = r.err.contains("not done") || r.err.contains("nothing was done") ||
                             r.err.contains("Fault code:") || r.err.contains("no module answered");
    if (row.command != std::string("detect")) EXPECT_EQ(toldNotDone, row.ends != Ends::Done) << err;
    if (row.ends == Ends::Partly) EXPECT_TRUE(r.err.contains("ostrel-cli: done: ")) << err;
    // --quiet with --yes: a question nobody is asked is not printed.
    if (row.args.contains("--quiet")) EXPECT_FALSE(r.err.contains("Go on?")) << err;
    // A question declined before the command began touches nothing.
    if (r.err.contains("nothing was done"))
      EXPECT_EQ(cli({"--quiet", "list", "--json"}).out, catalogue);
    // The JSON result agrees with the exit status and names what was not done.
    if (row.args.contains("--json") && row.command != std::string("load")) {
      const QJsonObject o = QJsonDocument::fromJson(r.out).object();
      if (!r.err.contains("nothing was done")) {
        ASSERT_TRUE(o.contains("ok")) << r.out.toStdString();
        EXPECT_EQ(o["ok"].toBool(), r.exitCode == 0);
        EXPECT_EQ(o["notDone"].toArray().isEmpty(), r.exitCode == 0);
        EXPECT_EQ(o["faultCode"].toString().isEmpty(), !r.err.contains("Fault code:"));
      }
    }
  }
}

}  // namespace
}  // namespace ostrel
