// ostrel-cli load against ostrel-sim on a pseudo-terminal, with the sample
// packages the build made.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include "e2e/cli_run.h"
#include "e2e/sim_process.h"
#include "packages/package_records.h"

namespace ostrel {
namespace {

using test::Bytes;
using test::PortDir;
using test::ProcessRun;
using test::runCli;
using test::SimProcess;

QString sample(const char* name) {
  return QString(OSTREL_SAMPLES_DIR) + "/" + name + ".bn";
}

QJsonObject description(const char* name) {
  QFile f(QString(OSTREL_SAMPLES_SOURCE) + "/" + name + ".json");
  return f.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(f.readAll()).object()
                                     : QJsonObject();
}

// Three packages in one run: each package's entries start where its image
// begins in the PackageImage (two blocks ahead of its first software), so
// the starts follow from the descriptions' sector counts.
TEST(CliLoadTest, PackagesLoadAfterDetectionWithTheirEntries) {
  PortDir dir;
  SimProcess sim(dir.path, "module", {"--type", "84"});
  ASSERT_TRUE(sim.running());
  const char* names[] = {"europe", "america_aliases", "legacy_path"};
  QStringList args{"--port", QString::fromStdString(sim.link()), "load"};
  for (const char* n : names) args << sample(n);
  args << "--json";
  const ProcessRun r = runCli(args);
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  const QJsonArray rows = QJsonDocument::fromJson(r.out).array();

  int base = 0, row = 0;
  for (const char* n : names) {
    SCOPED_TRACE(n);
    int next = 2;
    for (const QJsonValue& v : description(n)["software"].toArray()) {
      const QJsonObject s = v.toObject();
      QJsonArray names{s};
      for (const QJsonValue& a : s["aliases"].toArray()) names.append(a);
      for (const QJsonValue& alias : names) {
        ASSERT_LT(row, rows.size());
        const QJsonObject got = rows[row++].toObject();
        EXPECT_EQ(got["slot"].toInt(), row);
        EXPECT_EQ(got["brand"].toString(), alias.toObject()["brand"].toString());
        EXPECT_EQ(got["startSector"].toInt(), base + next);
        EXPECT_EQ(got["sectorCount"].toInt(), s["sectors"].toInt());
        const QString path = alias.toObject().contains("path") ? alias.toObject()["path"].toString()
                                                               : s["path"].toString();
        EXPECT_EQ(got["path"].toString(), path);
      }
      next += s["sectors"].toInt();
    }
    base += next;
  }
  EXPECT_EQ(row, rows.size());
}

TEST(CliLoadTest, LoadNeedsAModuleAndReportsFaults) {
  QTemporaryDir files;
  const QString cut = files.filePath("cut.bn"), hx = files.filePath("image.hx");
  {
    QFile in(sample("asia")), out(cut);
    ASSERT_TRUE(in.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly));
    out.write(in.readAll().left(70000));
    QFile s(hx);
    ASSERT_TRUE(s.open(QIODevice::WriteOnly));
    s.write("S0030000FC\nS30600020000EE00\nS9030000FC\n");
  }
  PortDir dir;
  SimProcess sim(dir.path, "module", {"--type", "84"});
  ASSERT_TRUE(sim.running());
  const QString port = QString::fromStdString(sim.link());
  struct Case {
    QStringList args;
    int exitCode;
    const char* stdoutHas;
    const char* stderrHas;
  };
  const Case cases[] = {
      {{"--port", port, "load", sample("asia"), cut}, 1, "Sunaga", "Fault code:0015\n"},
      {{"--port", port, "--mode", "0", "load", hx}, 0, "Flash image: 3 blocks", ""},
      {{"--port", port, "load", hx}, 2, "", "packages only"},
      {{"--port", port, "load"}, 2, "", ""},
      {{"--port", QString::fromStdString(dir.path + "/nothing"), "load", sample("asia")},
       1,
       "",
       "/nothing: no such port"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.join(' ').toStdString());
    const ProcessRun r = runCli(c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains(c.stdoutHas)) << r.out.toStdString();
    EXPECT_TRUE(r.err.contains(c.stderrHas)) << r.err.toStdString();
  }
}

// Small files that once made the programs reserve gigabytes, run under a
// 1 GiB address-space limit: each ends in its fault code or its correct
// result, on a module of 256 sectors or without one.
TEST(CliLoadTest, HostileFilesEndInAFaultOrTheirResultWithinMemory) {
  if (test::kSanitizerBuild) GTEST_SKIP() << "sanitizers need more address space";
  QTemporaryDir files;
  const Bytes data(81, 0x5A);
  const uint32_t far = 59998;  // the largest cartridge's last block
  const std::vector<test::TestEntry> entry{{2, "Far", 2, 1, ""}};
  auto file = [&files](const char* name, const QByteArray& bytes) {
    const QString path = files.filePath(name);
    EXPECT_TRUE(test::writeFile(path, bytes));
    return path;
  };
  auto bytes = [](const Bytes& b) {
    return QByteArray(reinterpret_cast<const char*>(b.data()), qsizetype(b.size()));
  };
  // Declares three blocks; its one DataRecord lies far past them.
  const QString rejected =
      file("rejected.bn", bytes(test::sparsePackage({{far, data}}, entry, 3 * 65536)));
  // Valid: the image ends with the largest cartridge.
  const QString farBn = file("far.bn", bytes(test::sparsePackage({{far, data}}, entry)));
  // Valid, its blocks out of order: they are held until the end.
  const QString unordered = file(
      "unordered.bn", bytes(test::sparsePackage({{far - 9, data}, {7, data}, {far, data}}, entry)));
  const QString edge = file("edge.bn", bytes(test::sparsePackage({{255, data}}, entry)));
  const QString farHx = file("far.hx", "S306EA5EFFFF0000\n");
  const QString description = file("big.json", R"({"software": [{"brand": "OBDII", "sectors": 1},
                                         {"brand": "Big", "sectors": 59998}]})");
  const QString out = files.filePath("out.img");

  PortDir dir;
  SimProcess sim(dir.path, "module", {"--type", "84"});
  ASSERT_TRUE(sim.running());
  const QString port = QString::fromStdString(sim.link());
  struct Case {
    const char* program;
    QStringList args;
    int exitCode;
    const char* has;  // on stdout or stderr
  };
  const Case cases[] = {
      {OSTREL_PKG_PATH, {"info", rejected}, 1, "Fault code:0013"},
      {OSTREL_PKG_PATH, {"unpack", rejected, "-o", out}, 1, "Fault code:0013"},
      {OSTREL_PKG_PATH, {"info", farBn}, 0, "blocks:    59999"},
      {OSTREL_PKG_PATH, {"info", unordered}, 0, "blocks:    59999"},
      {OSTREL_PKG_PATH, {"srec2bin", farHx, "-o", out, "--sectors", "256"}, 1, "Fault code:0018"},
      {OSTREL_PKG_PATH, {"build", description, "-o", out}, 1, "larger than the largest cartridge"},
      {OSTREL_CLI_PATH, {"--port", port, "load", rejected}, 1, "Fault code:0013"},
      {OSTREL_CLI_PATH, {"--port", port, "load", farBn}, 1, "Fault code:0018"},
      {OSTREL_CLI_PATH, {"--port", port, "load", unordered}, 1, "Fault code:0018"},
      {OSTREL_CLI_PATH, {"--port", port, "--mode", "1", "load", farHx}, 1, "Fault code:0018"},
      {OSTREL_CLI_PATH, {"--port", port, "load", edge}, 0, "Load OK!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.join(' ').toStdString());
    const ProcessRun r = test::runProcess(c.program, c.args, 120000, uint64_t(1) << 30);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains(c.has) || r.err.contains(c.has)) << r.err.toStdString();
  }
  EXPECT_FALSE(QFile::exists(out));  // nothing was converted whole
}

}  // namespace
}  // namespace ostrel
