// ostrel-cli against ostrel-sim on a pseudo-terminal.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "e2e/cli_run.h"
#include "e2e/each_link.h"
#include "e2e/sim_process.h"

namespace ostrel {
namespace {

using test::PortDir;
using test::ProcessRun;
using test::runCli;
using test::SimProcess;

class CliE2E : public test::OnEachLink {};
INSTANTIATE_TEST_SUITE_P(Links, CliE2E, ::testing::ValuesIn(test::kEachLink), test::linkCaseName);

TEST_P(CliE2E, DetectPrintsTheIdentityAndExitCodes) {
  PortDir dir;
  SimProcess sim(dir.path, "module", {"--type", "8B", "--id", "0A 0B 0C 0D"});
  ASSERT_TRUE(sim.running());
  const QStringList port = QStringList{"--port", QString::fromStdString(sim.link())} + linkArgs();
  ProcessRun r = runCli(port + QStringList{"detect"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(r.out.contains("Hardware: Ostrel IV\n")) << r.out.toStdString();
  EXPECT_TRUE(r.out.contains("Total space:3749MB\n"));
  EXPECT_TRUE(r.out.contains("Device EXIST\n"));
  EXPECT_TRUE(r.out.contains("ID: 0A 0B 0C 0D\n"));
  EXPECT_TRUE(r.out.contains(fastLink() ? "Link: fast\n" : "Link: quiet-gap\n"));

  // --quiet leaves out the operator log, keeps the results.
  ProcessRun quiet = runCli(port + QStringList{"--quiet", "detect"});
  EXPECT_EQ(quiet.exitCode, 0);
  EXPECT_EQ(quiet.out.left(quiet.out.indexOf("Port: ")), "Device EXIST\n")
      << quiet.out.toStdString();
  EXPECT_TRUE(quiet.out.contains("ID: 0A 0B 0C 0D\n"));

  // The last link option given counts; --fast-link is the fast link.
  const struct {
    QStringList options;
    int exitCode;
    const char* link;
  } options[] = {
      {{"--link", "fast"}, 0, "Link: fast\n"},
      {{"--fast-link"}, 0, "Link: fast\n"},
      {{"--fast-link", "--link", "quiet-gap"}, 0, "Link: quiet-gap\n"},
      {{"--link", "slow"}, 2, ""},
      {{"--link"}, 2, ""},
  };
  for (const auto& o : options) {
    ProcessRun chosen = runCli(port + o.options + QStringList{"--quiet", "detect"});
    EXPECT_EQ(chosen.exitCode, o.exitCode) << o.options.join(' ').toStdString();
    EXPECT_TRUE(chosen.out.contains(o.link)) << chosen.out.toStdString();
  }

  ProcessRun none =
      runCli(QStringList{"--port", QString::fromStdString(dir.path + "/nothing-here"), "detect"} +
             linkArgs());
  EXPECT_EQ(none.exitCode, 1);
  EXPECT_TRUE(none.out.contains("Device not EXIST"));
}

TEST_P(CliE2E, ListGivesTheCatalogueAsJson) {
  for (const char* type : {"84", "8A"}) {
    PortDir dir;
    SimProcess sim(dir.path, "module", {"--type", type});
    ASSERT_TRUE(sim.running());
    ProcessRun r = runCli(QStringList{"--port", QString::fromStdString(sim.link())} + linkArgs() +
                          QStringList{"list", "--json"});
    ASSERT_EQ(r.exitCode, 0) << type;
    QJsonParseError error{};
    QJsonDocument doc = QJsonDocument::fromJson(r.out, &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << r.out.toStdString();
    QJsonArray rows = doc.array();
    ASSERT_GE(rows.size(), 12) << type;
    QJsonObject first = rows[0].toObject();
    EXPECT_EQ(first["slot"].toInt(), 1);
    EXPECT_EQ(first["brand"].toString(), "OBDII");
    EXPECT_EQ(first["startSector"].toInt(), 0);
    int deepest = 0;
    for (const auto& v : rows)
      deepest = std::max<int>(deepest, int(v.toObject()["path"].toString().count('\\')) + 1);
    EXPECT_EQ(deepest, 4);  // directories up to four levels
  }
}

}  // namespace
}  // namespace ostrel
