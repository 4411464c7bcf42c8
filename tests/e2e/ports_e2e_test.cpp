// Choosing the module through ostrel-cli with two simulated modules about:
// nothing is picked for the user, --port picks one.
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

// The command line's virtual-port folder for the length of a test.
class RuntimeDir {
 public:
  explicit RuntimeDir(const std::string& dir) : old_(qgetenv("XDG_RUNTIME_DIR")) {
    qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(dir));
  }
  ~RuntimeDir() {
    if (old_.isEmpty())
      qunsetenv("XDG_RUNTIME_DIR");
    else
      qputenv("XDG_RUNTIME_DIR", old_);
  }

 private:
  QByteArray old_;
};

QStringList portsOf(const QByteArray& json) {
  QStringList ports;
  for (const QJsonValue& v : QJsonDocument::fromJson(json).array())
    ports << v.toObject()["port"].toString() + " " + v.toObject()["status"].toString() + " " +
                 v.toObject()["id"].toString();
  return ports;
}

TEST(PortsE2E, TwoModulesAreListedNoneIsChosenForTheUserAndPortPicksOne) {
  PortDir runtime;
  const std::string folder = runtime.path + "/ostrel-ports";
  SimProcess a(folder, "a", {"--type", "8B", "--id", "0A 0B 0C 0D"});
  SimProcess b(folder, "b", {"--type", "84", "--id", "01 02 03 04"});
  ASSERT_TRUE(a.running() && b.running());
  const RuntimeDir env(runtime.path);
  const QString portA = QString::fromStdString(a.link()), portB = QString::fromStdString(b.link());

  ProcessRun detect = runCli({"detect"});
  EXPECT_EQ(detect.exitCode, 0) << detect.err.toStdString();
  EXPECT_TRUE(detect.out.contains(portA.toUtf8() + ": Ostrel IV, ")) << detect.out.toStdString();
  EXPECT_TRUE(detect.out.contains(portB.toUtf8() + ": Ostrel III, ")) << detect.out.toStdString();
  const QStringList both = {portA + " module 0A 0B 0C 0D", portB + " module 01 02 03 04"};
  EXPECT_EQ(portsOf(runCli({"detect", "--json"}).out), both);
  EXPECT_EQ(portsOf(runCli({"ports", "--json"}).out), both);

  // A command that would read or write a cartridge refuses and names both ports.
  for (const QStringList& args : {QStringList{"list"}, QStringList{"--yes", "remove", "Sunaga"}}) {
    ProcessRun refused = runCli(args);
    EXPECT_EQ(refused.exitCode, 2) << args.join(" ").toStdString();
    EXPECT_TRUE(refused.out.isEmpty());
    EXPECT_TRUE(refused.err.contains("--port " + portA.toUtf8())) << refused.err.toStdString();
    EXPECT_TRUE(refused.err.contains("--port " + portB.toUtf8())) << refused.err.toStdString();
  }

  ProcessRun picked = runCli({"--port", portB, "detect", "--json"});
  EXPECT_EQ(picked.exitCode, 0);
  const QJsonObject module = QJsonDocument::fromJson(picked.out).object();
  EXPECT_EQ(module["port"].toString(), portB);
  EXPECT_EQ(module["generation"].toString(), "Ostrel III");
  EXPECT_EQ(module["id"].toString(), "01 02 03 04");
  EXPECT_EQ(module["sectors"].toInt(), 256);
  EXPECT_EQ(runCli({"--port", portA, "list"}).exitCode, 0);

  struct Case {
    QStringList args;
    int exitCode;
    QByteArray err;
  } cases[] = {
      {{"detect", "--port"}, 2, "--port needs a value"},
      // Two ports are two modules at once; one port named twice is a slip.
      {{"--port", portA, "--port", portA, "list"}, 2, "is named twice"},
      {{"--port", portA + "-gone", "list"}, 1, portA.toUtf8() + "-gone: no such port"},
  };
  for (const Case& c : cases) {
    ProcessRun r = runCli(c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.args.join(" ").toStdString();
    EXPECT_TRUE(r.err.contains(c.err)) << r.err.toStdString();
  }
}

}  // namespace
}  // namespace ostrel
