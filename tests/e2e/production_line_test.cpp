// Several modules at once through ostrel-cli against ostrel-sim processes:
// one installation on several ports, and a station that takes modules as
// they are plugged in. What each cartridge holds afterwards is read from its
// file with ostrel-sim dump.
#include <gtest/gtest.h>
#include <signal.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <array>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "common/temp_dir.h"
#include "e2e/cli_run.h"
#include "e2e/sim_process.h"

namespace ostrel {
namespace {

using test::ProcessRun;

const QString kPackage = QString(OSTREL_SAMPLES_DIR) + "/america_aliases.bn";

// A simulated module with its cartridge in a file of its own.
struct Sim {
  std::string name, cartridge, id;
  std::vector<std::string> args;
  std::unique_ptr<test::SimProcess> process;
  void plug(const std::string& portDir) {
    std::vector<std::string> all = {"--instant", "--cartridge", cartridge, "--preset",
                                    "demo",      "--id",        id};
    all.insert(all.end(), args.begin(), args.end());
    process = std::make_unique<test::SimProcess>(portDir, name, all);
  }
  void unplug() { process.reset(); }
  QString port() const { return QString::fromStdString(process->link()); }
  // How often each brand is listed in the cartridge's catalogue.
  std::map<std::string, int> brands(const test::TempDir& files) const {
    std::map<std::string, int> count;
    const QByteArray fat = test::dumpCartridge(QString::fromStdString(cartridge),
                                               QString::fromStdString(files.slash() + "fat"), 1, 1);
    for (const test::FatRecord& r : test::parseFatSector(fat)) ++count[r.brand];
    return count;
  }
};

// A module ID of this test process alone: what the program keeps per
// module (journals, read-back files) never meets another test's.
std::string uniqueId(int n) {
  return QString::asprintf("E5 %02X %02X %02X", (::getpid() >> 8) & 0xFF, ::getpid() & 0xFF, n)
      .toStdString();
}

// The catalogue of a demo cartridge after the package was installed n times.
std::map<std::string, int> withPackage(std::map<std::string, int> brands, int n) {
  const ProcessRun info = test::runProcess(OSTREL_PKG_PATH, {"info", kPackage, "--json"});
  for (const QJsonValue& e : QJsonDocument::fromJson(info.out)["entries"].toArray())
    brands[e["brand"].toString().toStdString()] += n;
  return brands;
}

TEST(ProductionLineTest, ThreeModulesInOneInstallOneFailingAndOneWithTheSameKeyRefused) {
  test::TempDir files;
  test::PortDir ports;
  // Three modules of different generations and IDs; the third falls silent
  // after 60 commands (the line's probe and the job's own detection take
  // about 55, so its burn stops midway); the fourth has the first one's key.
  std::array<Sim, 4> sims = {{
      {"a", files.slash() + "a", uniqueId(1), {"--type", "89"}, {}},
      {"b", files.slash() + "b", uniqueId(2), {"--type", "84"}, {}},
      {"c", files.slash() + "c", uniqueId(3), {"--type", "89", "--fault", "silence-after=60"}, {}},
      {"d", files.slash() + "d", uniqueId(1), {"--type", "89"}, {}},
  }};
  QStringList portArgs;
  for (Sim& s : sims) {
    s.plug(ports.path);
    ASSERT_TRUE(s.process->running()) << s.name;
    portArgs << "--port" << s.port();
  }

  // Several modules are never asked: without an answer nothing starts.
  const ProcessRun unanswered = test::runCli(portArgs + QStringList{"install", kPackage});
  EXPECT_EQ(unanswered.exitCode, 2);
  EXPECT_TRUE(unanswered.err.contains("--yes or --no")) << unanswered.err.toStdString();

  const ProcessRun run =
      test::runCli(portArgs + QStringList{"--yes", "install", kPackage, "--json"});
  EXPECT_EQ(run.exitCode, 1) << run.err.toStdString();
  const QJsonArray list = QJsonDocument::fromJson(run.out).array();
  ASSERT_EQ(list.size(), 4) << run.out.toStdString();
  struct Expected {
    bool ok;
    const char* result;
    QString reasonHas;
  };
  const Expected expected[] = {
      {true, "ok", ""},
      {true, "ok", ""},
      {false, "failed", ""},
      {false, "refused", sims[0].port()},
  };
  const QList<QByteArray> summary = run.err.split('\n');
  for (size_t i = 0; i < sims.size(); ++i) {
    SCOPED_TRACE(sims[i].name);
    const QJsonObject o = list[qsizetype(i)].toObject();
    EXPECT_EQ(o["port"].toString(), sims[i].port());
    EXPECT_EQ(o["id"].toString().toStdString(), sims[i].id);
    EXPECT_EQ(o["ok"].toBool(), expected[i].ok);
    EXPECT_TRUE(o["faultCode"].isString() && o["done"].isArray() && o["notDone"].isArray());
    EXPECT_EQ(o["notDone"].toArray().isEmpty(), expected[i].ok);
    if (!expected[i].reasonHas.isEmpty()) {
      EXPECT_TRUE(o["notDone"][0]["reason"].toString().contains(expected[i].reasonHas))
          << o["notDone"][0]["reason"].toString().toStdString();
    }
    // The summary's row: port, generation, ID, result.
    const QByteArray start = sims[i].port().toUtf8() + " ";
    const auto row = std::find_if(summary.begin(), summary.end(),
                                  [&](const QByteArray& l) { return l.startsWith(start); });
    ASSERT_NE(row, summary.end()) << run.err.toStdString();
    const QList<QByteArray> cells = row->simplified().split(' ');
    ASSERT_GE(cells.size(), 8);
    EXPECT_EQ(cells[1] + " " + cells[2], i == 1 ? "Ostrel III" : "Ostrel IV");
    EXPECT_EQ(cells.mid(3, 4).join(' ').toStdString(), sims[i].id);
    EXPECT_EQ(cells[7].toStdString(), expected[i].result);
  }

  // The module cut off midway keeps its journal, and the summary says so.
  const QByteArray left = "Left with a journal: " + sims[2].port().toUtf8() + " ";
  const qsizetype at = run.err.indexOf(left);
  ASSERT_GE(at, 0) << run.err.toStdString();
  const QByteArray line = run.err.mid(at, run.err.indexOf('\n', at) - at);
  const QString journal = line.mid(line.lastIndexOf('(') + 1).chopped(1);
  EXPECT_TRUE(journal.endsWith("_BURN.JOURNAL") && QFile::remove(journal)) << line.toStdString();
  EXPECT_EQ(run.err.count("Left with a journal"), 1);

  for (Sim& s : sims) s.unplug();
  const std::map<std::string, int> demo = sims[3].brands(files);  // refused: untouched
  EXPECT_EQ(sims[0].brands(files), withPackage(demo, 1));
  EXPECT_EQ(sims[1].brands(files), withPackage(demo, 1));
}

// Waits until the file has n lines (at most waitMs); its lines.
QList<QByteArray> waitForLines(const QString& file, int n, int waitMs = 120000) {
  QList<QByteArray> lines;
  for (int i = 0; i <= waitMs / 100; ++i) {
    lines = test::readFile(file).split('\n');
    lines.removeAll(QByteArray());
    if (lines.size() >= n) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return lines;
}

TEST(ProductionLineTest, StationTakesEachModuleOncePerPlugging) {
  test::TempDir files;
  // The station's port folder: the virtual-port folder of its runtime folder.
  const std::string portDir = files.slash() + "ostrel-ports";
  std::filesystem::create_directory(portDir);
  std::filesystem::permissions(portDir, std::filesystem::perms::owner_all);
  const QString log = QString::fromStdString(files.slash() + "station.jsonl");

  QProcess station;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("XDG_RUNTIME_DIR", QString::fromStdString(files.path()));
  station.setProcessEnvironment(env);
  station.setStandardInputFile(QProcess::nullDevice());
  station.start(OSTREL_CLI_PATH, {"station", "--log", log, "--yes", "install", kPackage});
  ASSERT_TRUE(station.waitForStarted());

  std::array<Sim, 3> sims = {{
      {"m1", files.slash() + "c1", uniqueId(11), {"--type", "89"}, {}},
      {"m2", files.slash() + "c2", uniqueId(12), {"--type", "84"}, {}},
      {"m3", files.slash() + "c3", uniqueId(13), {"--type", "89"}, {}},
  }};
  // Plugged in one after another, each while the one before may still run.
  for (Sim& s : sims) {
    s.plug(portDir);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  }
  ASSERT_EQ(waitForLines(log, 3).size(), 3) << station.readAllStandardError().toStdString();
  // The first unplugged and plugged in again: a new job. The others stay
  // and are not done again.
  sims[0].unplug();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  sims[0].plug(portDir);
  const QList<QByteArray> lines = waitForLines(log, 4);
  // Beyond the station's rescans of its ports: still nobody done twice.
  EXPECT_EQ(waitForLines(log, 5, 5000).size(), 4);

  ::kill(pid_t(station.processId()), SIGINT);
  ASSERT_TRUE(station.waitForFinished(60000));
  EXPECT_EQ(station.exitCode(), 0) << station.readAllStandardError().toStdString();
  const QByteArray summary = station.readAllStandardOutput();

  ASSERT_EQ(lines.size(), 4);
  std::multiset<std::string> ids, portsSeen;
  for (int i = 0; i < 4; ++i) {
    const QJsonObject o = QJsonDocument::fromJson(lines[i]).object();
    for (const char* key : {"time", "host", "port", "generation", "aux", "id", "command", "ok",
                            "faultCode", "seconds", "done", "notDone"})
      EXPECT_TRUE(o.contains(key)) << key << " in " << lines[i].toStdString();
    EXPECT_TRUE(o["ok"].toBool()) << lines[i].toStdString();
    EXPECT_EQ(o["command"].toString(), "install " + kPackage);
    ids.insert(o["id"].toString().toStdString());
    portsSeen.insert(o["port"].toString().toStdString());
    // The first three in the order their jobs ended; the fourth is the module plugged in again.
    if (i == 3) {
      EXPECT_EQ(o["id"].toString().toStdString(), sims[0].id);
    }
  }
  EXPECT_EQ(ids, (std::multiset<std::string>{sims[0].id, sims[0].id, sims[1].id, sims[2].id}));
  EXPECT_EQ(std::set<std::string>(portsSeen.begin(), portsSeen.end()).size(), 3u);
  EXPECT_TRUE(summary.contains(QByteArray::fromStdString(sims[1].id))) << summary.toStdString();

  for (Sim& s : sims) s.unplug();
  // The package went once onto each cartridge, twice onto the one plugged in twice.
  const std::map<std::string, int> demo = withPackage(sims[1].brands(files), -1);
  EXPECT_EQ(sims[2].brands(files), withPackage(demo, 1));
  EXPECT_EQ(sims[0].brands(files), withPackage(demo, 2));
}

}  // namespace
}  // namespace ostrel
