// ostrel-cli against ostrel-sim on a pseudo-terminal.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "e2e/cli_run.h"
#include "e2e/sim_process.h"

namespace ostrel {
namespace {

using test::PortDir;
using test::ProcessRun;
using test::runCli;
using test::SimProcess;

TEST(CliE2E, DetectPrintsTheIdentityAndExitCodes) {
  PortDir dir;
  SimProcess sim(dir.path, "module", {"--type", "8B", "--id", "0A 0B 0C 0D"});
  ASSERT_TRUE(sim.running());
  ProcessRun r = runCli({"--port", QString::fromStdString(sim.link()), "detect"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(r.out.contains("Hardware: Ostrel IV\n")) << r.out.toStdString();
  EXPECT_TRUE(r.out.contains("Total space:3749MB\n"));
  EXPECT_TRUE(r.out.contains("Device EXIST\n"));
  EXPECT_TRUE(r.out.contains("ID: 0A 0B 0C 0D\n"));

  // --quiet leaves out the operator log, keeps the results.
  ProcessRun quiet = runCli({"--port", QString::fromStdString(sim.link()), "--quiet", "detect"});
  EXPECT_EQ(quiet.exitCode, 0);
  EXPECT_EQ(quiet.out.left(quiet.out.indexOf("Port: ")), "Device EXIST\n")
      << quiet.out.toStdString();
  EXPECT_TRUE(quiet.out.contains("ID: 0A 0B 0C 0D\n"));

  ProcessRun none =
      runCli({"--port", QString::fromStdString(dir.path + "/nothing-here"), "detect"});
  EXPECT_EQ(none.exitCode, 1);
  EXPECT_TRUE(none.out.contains("Device not EXIST"));
}

TEST(CliE2E, ListGivesTheCatalogueAsJson) {
  for (const char* type : {"84", "8A"}) {
    PortDir dir;
    SimProcess sim(dir.path, "module", {"--type", type});
    ASSERT_TRUE(sim.running());
    ProcessRun r = runCli({"--port", QString::fromStdString(sim.link()), "list", "--json"});
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
