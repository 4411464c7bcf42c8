// ostrel-cli against ostrel-sim on a pseudo-terminal.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "common/temp_dir.h"
#include "e2e/cli_run.h"
#include "e2e/each_link.h"
#include "e2e/sim_process.h"

namespace ostrel {
namespace {

using test::PortDir;
using test::ProcessRun;
using test::runCli;
using test::SimProcess;

// Bytes outside printable ASCII as %XX: a message about control characters
// must not drive the terminal of whoever reads it either.
std::string escaped(const QByteArray& text) {
  return text.toPercentEncoding(" \n!\"#$&'()*+,/:;<=>?@[\\]^`{|}").toStdString();
}

// Where a terminal would act on text rather than show it (a C0 control other
// than the line end, DEL, C1, a bidirectional control); "" when nowhere.
std::string controlIn(const QByteArray& text) {
  for (qsizetype i = 0; i < text.size(); ++i) {
    const auto b = [&](qsizetype k) { return i + k < text.size() ? uint8_t(text[i + k]) : 0; };
    if ((b(0) < 0x20 && b(0) != '\n') || b(0) == 0x7F ||
        (b(0) == 0xC2 && b(1) >= 0x80 && b(1) <= 0x9F) ||
        (b(0) == 0xE2 && b(1) == 0x80 && b(2) >= 0xAA && b(2) <= 0xAE) ||
        (b(0) == 0xE2 && b(1) == 0x81 && b(2) >= 0xA6 && b(2) <= 0xA9))
      return "at byte " + std::to_string(i) + " of\n" + escaped(text);
  }
  return {};
}

// Every string of a JSON document, one a line, as a reader of the JSON gets them.
QByteArray jsonStrings(const QJsonValue& v) {
  QByteArray out;
  if (v.isString()) out = v.toString().toUtf8() + "\n";
  for (const QJsonValue& e : v.toArray()) out += jsonStrings(e);
  for (const QJsonValue& e : v.toObject()) out += jsonStrings(e);
  return out;
}

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

// Texts planted on a cartridge, in a package made from it, in file names and
// in build descriptions come out of every command readable and inert.
TEST(CliTextE2E, NoControlFromOutsideReachesTheTerminalOrJson) {
  const std::string r = "\uFFFD";
  struct Plant {
    int entry, offset;  // catalogue entry, field offset in its 212 bytes
    std::string stored, shown;
  };
  const Plant plants[] = {
      {2, 2, "\x1B]0;X\x07\x1B[2J", r + "]0;X" + r + r + "[2J"},  // retitles, clears
      {3, 2, "legacy\xFF\xFE", "legacy\u00FF\u00FE"},             // CP1252
      {4, 28,
       "V\xC2\x9B"
       "2J",
       "V" + r + "2J"},                                  // CSI as a character
      {4, 54, "DE\xE2\x80\xAEkoob", "DE" + r + "koob"},  // right-to-left override
      {7, 85, "ASIA\\JAPAN\\K\x7FNTO\\TOK\xE2\x81\xA6YO",
       "ASIA\\JAPAN\\K" + r + "NTO\\TOK" + r + "YO"},
  };
  test::TempDir files;
  const std::string dir = files.slash();
  PortDir ports;
  const QString cartridge = QString::fromStdString(dir + "cartridge");
  const std::vector<std::string> simArgs{
      "--type", "84", "--preset", "demo", "--instant", "--cartridge", cartridge.toStdString()};
  ASSERT_TRUE(SimProcess(ports.path, "module", simArgs).running());
  for (const Plant& p : plants) {
    const int at = 65536 + 108 + (p.entry - 1) * 212 + p.offset;
    const std::string text = p.stored + '\0';
    for (size_t i = 0; i < text.size(); ++i)
      ASSERT_EQ(test::runProcess(OSTREL_SIM_PATH, {"poke", cartridge, QString::number(at + i),
                                                   QString::number(uint8_t(text[i]))})
                    .exitCode,
                0);
  }
  // A package of the planted cartridge: its catalogue block and every sector it lists.
  const QByteArray content =
      test::dumpCartridge(cartridge, QString::fromStdString(dir + "dump"), 0, 43);
  ASSERT_EQ(content.size(), 44 * 65536);
  const std::string image = dir + "image\x1B[K.bin";
  ASSERT_TRUE(test::writeFile(QString::fromStdString(image), content));
  SimProcess sim(ports.path, "module", simArgs);
  ASSERT_TRUE(sim.running());

  const std::string package = dir + "planted\x1B]0;PWNED\x07.bn";
  const std::string packageShown = dir + "planted" + r + "]0;PWNED" + r + ".bn";
  const std::string broken = dir + "bad\x1B[2J\xE2\x80\xAE.bn";
  const std::string brokenShown = dir + "bad" + r + "[2J" + r + ".bn";
  ASSERT_TRUE(test::writeFile(QString::fromStdString(broken), "junk"));
  ASSERT_TRUE(test::writeFile(QString::fromStdString(dir + "empty.bin"), ""));
  const char* descriptions[][2] = {
      {R"({"software":[{"brand":"\u001b]0;X\u0007 far too long a brand name","sectors":1}]})",
       "\uFFFD]0;X\uFFFD far too long a brand name"},
      {R"({"software":[{"brand":"A","path":"a\\b\u009b2J\\c\\d\\e","sectors":1}]})",
       "a\\b\uFFFD2J\\c\\d\\e"},
      {R"({"software":[{"brand":"A","data":"no\u0007such"}]})", "no\uFFFDsuch"},
      {R"({"software":[{"brand":"\u202eX","data":"empty.bin"}]})", "\uFFFDX: no data"},
  };

  const QString cli = OSTREL_CLI_PATH, pkg = OSTREL_PKG_PATH;
  const QString port = QString::fromStdString(sim.link());
  const auto q = [](const std::string& s) { return QString::fromStdString(s); };
  std::vector<std::string> all;
  for (const Plant& p : plants) all.push_back(p.shown);
  struct Run {
    QString program;
    QStringList args;
    int exitCode;
    std::vector<std::string> shown;  // what must be there, read as a person or a JSON reader would
  };
  std::vector<Run> runs = {
      {cli, {"--port", port, "detect"}, 0, {plants[0].shown, plants[1].shown}},
      {cli, {"--port", port, "list"}, 0, all},
      {cli, {"--port", port, "list", "--json"}, 0, all},
      {cli, {"--port", port, "list", "--rows", "--tree"}, 0, all},
      {cli, {"--port", port, "list", "--rows", "--tree", "--json"}, 0, all},
      {cli,
       {"--port", port, "--yes", "remove", "Nowhere\x1B[2J"},
       2,
       {"Nowhere" + r + "[2J: not listed"}},
      {pkg, {"pack", q(image), "-o", q(package)}, 0, {}},
      {cli,
       {"--port", port, "--mode", "1", "read", "0", "1", "-o", q(image)},
       0,
       {dir + "image" + r + "[K.bin"}},
      {pkg, {"info", q(package)}, 0, all},
      {pkg, {"info", q(package), "--json"}, 0, all},
      {pkg, {"info", q(broken)}, 1, {brokenShown}},
      {cli,
       {"--port", port, "load", q(package), q(broken)},
       1,
       {packageShown, brokenShown, "[error] Load Fail! " + brokenShown, plants[1].shown}},
  };
  for (const auto& [json, shown] : descriptions) {
    const QString file = q(dir + "description" + std::to_string(runs.size()) + ".json");
    ASSERT_TRUE(test::writeFile(file, json));
    runs.push_back({pkg, {"build", file, "-o", q(dir + "built.bn")}, 1, {shown}});
  }
  for (const Run& run : runs) {
    SCOPED_TRACE(escaped(run.args.join(' ').toUtf8()));
    const ProcessRun p = test::runProcess(run.program, run.args);
    EXPECT_EQ(p.exitCode, run.exitCode) << escaped(p.err);
    EXPECT_EQ(controlIn(p.out), "");
    EXPECT_EQ(controlIn(p.err), "");
    QByteArray seen = p.out + p.err;
    if (run.args.contains("--json")) {
      QJsonParseError error{};
      const QJsonDocument doc = QJsonDocument::fromJson(p.out, &error);
      ASSERT_EQ(error.error, QJsonParseError::NoError) << escaped(p.out);
      seen = jsonStrings(doc.isArray() ? QJsonValue(doc.array()) : QJsonValue(doc.object()));
      EXPECT_EQ(controlIn(seen), "");
    }
    for (const std::string& text : run.shown)
      EXPECT_TRUE(seen.contains(QByteArray::fromStdString(text)))
          << escaped(QByteArray::fromStdString(text)) << " not in\n"
          << escaped(seen);
  }
}

}  // namespace
}  // namespace ostrel
