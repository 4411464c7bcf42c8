// Whole jobs through ostrel-cli against ostrel-sim on pseudo-terminals, one
// table per job with a row per generation: an image programmed, verified,
// read back and found corrupted; sample packages installed; software removed.
// What the cartridge must hold is worked out here from the inputs (the
// S-records written here, ostrel-pkg's unpacked images, the simulator's demo
// contents) and compared with ostrel-sim dump's view of the cartridge file.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <map>
#include <memory>
#include <set>

#include "common/temp_dir.h"
#include "e2e/cli_run.h"
#include "e2e/each_link.h"
#include "e2e/sim_process.h"

// The simulator has a method named emit, which Qt's keyword macro would rewrite.
#undef emit
#include "sim/presets.h"

namespace ostrel {
namespace {

using test::FatRecord;
using test::ProcessRun;
using test::runCli;

constexpr int kSector = 65536;

struct Generation {
  const char* name;
  std::vector<std::string> simArgs;
  bool raw;  // speaks raw commands (Ostrel III/IV), not frames
};

const Generation kGenerations[] = {
    {"Ostrel I", {"--ostrel1"}, false},
    {"Ostrel II", {"--type", "80"}, false},
    {"Ostrel III", {"--type", "84"}, true},
    {"Ostrel IV", {"--type", "89"}, true},
};

// A simulated module whose cartridge lives in a file, so it can be stopped,
// looked at and started again; the programs talk to it on the given link.
class Module {
 public:
  Module(const Generation& g, const char* preset, QStringList link,
         std::vector<std::string> extra = {})
      : args_(g.simArgs),
        link_(std::move(link)),
        cartridge_(QString::fromStdString(files.slash() + "cartridge")) {
    args_.insert(args_.end(), extra.begin(), extra.end());
    // A module of its own: what the program keeps per module (a burn's
    // journal, read-back files) never meets another test's running beside it.
    static int made = 0;
    const QString id = QString::asprintf("E2 %02X %02X %02X", (::getpid() >> 8) & 0xFF,
                                         ::getpid() & 0xFF, ++made & 0xFF);
    args_.insert(args_.end(), {"--instant", "--cartridge", cartridge_.toStdString(), "--preset",
                               preset, "--id", id.toStdString()});
    serial_ = QString(id).remove(' ');
    start();
  }
  // The module's ID as the names of the files the program writes carry it.
  const QString& serial() const { return serial_; }
  void start() { sim_ = std::make_unique<test::SimProcess>(ports_.path, "module", args_); }
  void stop() { sim_.reset(); }
  bool running() const { return sim_ && sim_->running(); }
  // ostrel-cli arguments that talk to this module.
  QStringList cli(const QStringList& args) const {
    return QStringList{"--port", QString::fromStdString(sim_->link())} + link_ + args;
  }
  QByteArray dump(int first, int last) const {
    return test::dumpCartridge(cartridge_, file("dump.img"), first, last);
  }
  QString file(const char* name) const { return QString::fromStdString(files.slash() + name); }
  const QString& cartridge() const { return cartridge_; }

  test::TempDir files;

 private:
  test::PortDir ports_;
  std::vector<std::string> args_;
  QStringList link_;
  QString cartridge_, serial_;
  std::unique_ptr<test::SimProcess> sim_;
};

QByteArray pseudoRandom(int size, uint32_t state) {
  QByteArray bytes(size, 0);
  for (char& b : bytes) {
    state = state * 1664525u + 1013904223u;
    b = char(state >> 24);
  }
  return bytes;
}

// S3 records of up to 32 bytes for each piece, between an S0 header and an S7 end.
QByteArray sRecords(const std::vector<std::pair<uint32_t, QByteArray>>& pieces) {
  auto record = [](char type, uint32_t address, const QByteArray& data) {
    QByteArray body;
    body.append(char(4 + data.size() + 1));
    for (int shift = 24; shift >= 0; shift -= 8) body.append(char(address >> shift));
    body.append(data);
    uint8_t sum = 0;
    for (char c : body) sum = uint8_t(sum + uint8_t(c));
    body.append(char(~sum));
    return QByteArray("S") + type + body.toHex().toUpper() + "\r\n";
  };
  QByteArray text = "S00600004844521B\r\n";
  for (const auto& [address, data] : pieces)
    for (int at = 0; at < data.size(); at += 32)
      text += record('3', address + at, data.mid(at, 32));
  return text + record('7', 0, {});
}

// Data in sectors 0, 2, 3 (its tail and across into 4) and at the very end
// of 5; sector 1 and most of the rest left as gaps.
const std::vector<std::pair<uint32_t, QByteArray>>& imagePieces() {
  static const std::vector<std::pair<uint32_t, QByteArray>> pieces = {
      {0x00000, pseudoRandom(4096, 1)},    {0x08010, pseudoRandom(100, 2)},
      {0x20000, pseudoRandom(kSector, 3)}, {0x3F000, pseudoRandom(4096, 4)},
      {0x3FFF8, pseudoRandom(16, 5)},      {0x5FFF0, pseudoRandom(16, 6)},
  };
  return pieces;
}

class CliFlowTest : public test::OnEachLink {};
INSTANTIATE_TEST_SUITE_P(Links, CliFlowTest, ::testing::ValuesIn(test::kEachLink),
                         test::linkCaseName);

TEST_P(CliFlowTest, ProgramVerifyReadAndACorruptedByteOnEveryGeneration) {
  QByteArray expected(6 * kSector, char(0xFF));
  for (const auto& [address, data] : imagePieces())
    expected.replace(int(address), data.size(), data);
  const int corrupt = 0x2ABCD;  // sector 2, byte 0xABCD

  for (const Generation& g : kGenerations) {
    SCOPED_TRACE(g.name);
    Module m(g, "blank", linkArgs());
    ASSERT_TRUE(m.running());
    const QString image = m.file("image.s19");
    ASSERT_TRUE(test::writeFile(image, sRecords(imagePieces())));

    // The customer build has no PROG button.
    EXPECT_EQ(runCli(m.cli({"program", image})).exitCode, 2);

    // On a terminal the operation draws its progress line in place.
    const ProcessRun program =
        test::runOnTerminal(OSTREL_CLI_PATH, m.cli({"--mode", "1", "--yes", "program", image}));
    ASSERT_EQ(program.exitCode, 0) << program.out.toStdString();
    EXPECT_TRUE(program.out.contains("Program OK!"));
    if (std::string(g.name) == "Ostrel I") {  // slow enough (sector erases) to be caught drawing
      EXPECT_TRUE(program.out.contains("\r\x1b[K") && program.out.contains(" sectors"))
          << program.out.toStdString();
    }

    const ProcessRun verify = runCli(m.cli({"--mode", "1", "verify", image}));
    EXPECT_EQ(verify.exitCode, 0) << verify.err.toStdString();
    EXPECT_TRUE(verify.out.contains("Verify OK!"));
    EXPECT_FALSE(verify.err.contains('\r'));  // no progress drawn into a pipe

    // Read back to a file of its own: an earlier read-back under the name
    // the program gives the same range stays as it was.
    const QString readBack = m.file("read.bin");
    const QString earlier =
        QFileInfo(OSTREL_CLI_PATH).absolutePath() + "/" + m.serial() + "_SEC0000-0005.BIN";
    ASSERT_TRUE(test::writeFile(earlier, "an earlier read-back"));
    const ProcessRun read =
        runCli(m.cli({"--mode", "1", "--quiet", "read", "0", "5", "-o", readBack}));
    EXPECT_EQ(read.exitCode, 0) << read.err.toStdString();
    EXPECT_TRUE(read.out.contains(readBack.toUtf8()));
    EXPECT_TRUE(test::readFile(readBack) == expected);
    EXPECT_EQ(test::readFile(earlier), "an earlier read-back");
    QFile::remove(earlier);

    m.stop();
    EXPECT_TRUE(m.dump(0, 5) == expected);

    const uint8_t changed = uint8_t(expected[corrupt]) ^ 0x5A;
    ASSERT_EQ(test::runProcess(OSTREL_SIM_PATH, {"poke", m.cartridge(), QString::number(corrupt),
                                                 QString::number(changed)})
                  .exitCode,
              0);
    m.start();
    const ProcessRun bad = runCli(m.cli({"--mode", "1", "--quiet", "verify", image}));
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_TRUE(bad.err.contains("Fault code:0051\n")) << bad.err.toStdString();
    EXPECT_TRUE(
        bad.err.contains("##" + QByteArray::number(corrupt, 16).toUpper().rightJustified(8, '0')))
        << bad.err.toStdString();
    EXPECT_TRUE(bad.out.isEmpty()) << bad.out.toStdString();  // --quiet: faults only
  }
}

// A long read stopped by Ctrl+C or a kill leaves neither the file nor its
// temporary beside it.
TEST_P(CliFlowTest, AnInterruptedReadLeavesNoFileBehind) {
  for (int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    Module m(kGenerations[3], "demo", linkArgs());
    ASSERT_TRUE(m.running());
    const QString target = m.file("whole.bin");
    std::vector<std::string> argv{OSTREL_CLI_PATH};
    for (const QString& a : m.cli({"--mode", "1", "--quiet", "read", "0", "3FFF", "-o", target}))
      argv.push_back(a.toStdString());
    std::vector<char*> cargv;
    for (std::string& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, cargv[0], nullptr, nullptr, cargv.data(), environ), 0);
    // Stopped once the first sectors are in the temporary file.
    auto temporaries = [&] {
      return QDir(QString::fromStdString(m.files.path()))
          .entryInfoList({"whole.bin.tmp-*"}, QDir::Files);
    };
    bool started = false;
    for (int i = 0; i < 3000 && !started; ++i) {
      const auto found = temporaries();
      started = !found.isEmpty() && found.first().size() > 65536;
      if (!started) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, signal);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(started);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
    EXPECT_TRUE(temporaries().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(target));
  }
}

// Modules whose replies come cut into pieces, or (Ostrel III/IV) with a byte
// after every acknowledgement: program, verify and read back byte-exact on
// every generation. Pieces never make the fast link fall back; the byte more
// does, at the first reply of each connection, as detect tells.
TEST_P(CliFlowTest, RepliesInPiecesOrWithAByteMoreOnEveryGeneration) {
  QByteArray expected(6 * kSector, char(0xFF));
  for (const auto& [address, data] : imagePieces())
    expected.replace(int(address), data.size(), data);
  const struct {
    std::vector<std::string> simArgs;
    bool undelimited;  // on the raw generations, the fast link cannot delimit the replies
  } modes[] = {{{"--split-replies", "7"}, false}, {{"--trailing-byte"}, true}};
  for (const auto& mode : modes) {
    for (const Generation& g : kGenerations) {
      SCOPED_TRACE(std::string(g.name) + " " + mode.simArgs[0]);
      Module m(g, "blank", linkArgs(), mode.simArgs);
      ASSERT_TRUE(m.running());
      const QByteArray link = !fastLink() ? "Link: quiet-gap\n"
                              : mode.undelimited && g.raw
                                  ? "Link: quiet-gap (fell back from fast)\n"
                                  : "Link: fast\n";
      const ProcessRun detect = runCli(m.cli({"detect"}));
      EXPECT_TRUE(detect.out.contains(link)) << detect.out.toStdString();

      const QString image = m.file("image.s19");
      ASSERT_TRUE(test::writeFile(image, sRecords(imagePieces())));
      for (const char* command : {"program", "verify"}) {
        const ProcessRun r = runCli(m.cli({"--mode", "1", "--yes", command, image}));
        EXPECT_EQ(r.exitCode, 0) << command << ": " << r.err.toStdString();
      }
      const QString readBack = m.file("read.bin");
      const ProcessRun read =
          runCli(m.cli({"--mode", "1", "--quiet", "read", "0", "5", "-o", readBack}));
      EXPECT_EQ(read.exitCode, 0) << read.err.toStdString();
      EXPECT_TRUE(test::readFile(readBack) == expected);
    }
  }
}

// ---------------------------------------------------------------- installation

struct PackageEntry {
  std::string brand;
  QByteArray data;  // its blocks, as ostrel-pkg unpacks them
};

// Every entry of the sample packages, by brand, with the data it must land with.
std::map<std::string, PackageEntry> packageEntries(const Module& m,
                                                   const std::vector<const char*>& names) {
  std::map<std::string, PackageEntry> entries;
  for (const char* name : names) {
    const QString package = QString(OSTREL_SAMPLES_DIR) + "/" + name + ".bn";
    const ProcessRun info = test::runProcess(OSTREL_PKG_PATH, {"info", package, "--json"});
    const QString unpacked = m.file("unpacked.img");
    const ProcessRun unpack =
        test::runProcess(OSTREL_PKG_PATH, {"unpack", package, "-o", unpacked});
    EXPECT_EQ(info.exitCode + unpack.exitCode, 0) << name;
    const QByteArray image = test::readFile(unpacked);
    for (const QJsonValue& v : QJsonDocument::fromJson(info.out)["entries"].toArray()) {
      const QJsonObject e = v.toObject();
      PackageEntry p{
          e["brand"].toString().toStdString(),
          image.mid(e["startSector"].toInt() * kSector, e["sectorCount"].toInt() * kSector)};
      entries[p.brand] = p;
    }
  }
  return entries;
}

// Every sector of every piece of software the FAT lists holds what it must
// (the FAT's own sector 1 aside).
void expectSoftware(const Module& m, const std::vector<FatRecord>& fat,
                    const std::function<QByteArray(const FatRecord&)>& want) {
  std::set<uint16_t> seen;
  for (const FatRecord& r : fat) {
    if (!seen.insert(r.start).second) continue;  // an alias shares its sectors
    SCOPED_TRACE(r.brand);
    const QByteArray expected = want(r);
    ASSERT_EQ(expected.size(), r.count * kSector);
    const QByteArray got = m.dump(r.start, r.start + r.count - 1);
    ASSERT_EQ(got.size(), expected.size());
    for (int k = 0; k < r.count; ++k) {
      if (r.start + k != 1) {
        EXPECT_TRUE(got.mid(k * kSector, kSector) == expected.mid(k * kSector, kSector))
            << "sector " << r.start + k;
      }
    }
  }
}

QByteArray demoData(const std::vector<SimFatEntry>& demo, const FatRecord& r) {
  // Aliases hold the data of the first entry at their start.
  for (const SimFatEntry& owner : demo) {
    if (owner.brand != r.brand) continue;
    const SimFatEntry* first = &owner;
    for (const SimFatEntry& e : demo)
      if (e.startSector == owner.startSector) {
        first = &e;
        break;
      }
    QByteArray data;
    for (uint32_t k = 0; k < first->sectorCount; ++k) {
      const std::vector<uint8_t> d =
          demoSectorData(first->brand, k, first->sectorCount, first->startSector + k);
      data.append(reinterpret_cast<const char*>(d.data()), qsizetype(d.size()));
    }
    return data;
  }
  return {};
}

bool sameEntry(const FatRecord& r, const SimFatEntry& e) {
  return r.brand == e.brand && r.version == e.version && r.versionExtra == e.versionExtra &&
         r.path == e.path && r.count == e.sectorCount;
}

TEST_P(CliFlowTest, SamplePackagesInstalledByteExactOnEveryGeneration) {
  struct Case {
    const char* preset;
    const char* mode;
    std::vector<const char*> packages;
    QStringList select;
  };
  // The demo cartridge gets aliases and a legacy-coded directory, doubles of
  // software it holds (the question answered yes), chosen from two lists of
  // the customer window, so written in two burns; a blank cartridge the base
  // software first, all at once in an engineering build.
  const Case cases[] = {
      {"demo",
       "2",
       {"america_aliases", "legacy_path"},
       {"--select", "/AMERICA", "--select", "Zanfir", "--select", "Arvinta"}},
      {"blank", "1", {"legacy_path", "obdii_base"}, {}},
  };
  for (const Generation& g : kGenerations) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(g.name) + " " + c.preset);
      Module m(g, c.preset, linkArgs());
      ASSERT_TRUE(m.running());
      QStringList args{"--mode", c.mode, "--yes", "install"};
      for (const char* p : c.packages) args << QString(OSTREL_SAMPLES_DIR) + "/" + p + ".bn";
      args << c.select;
      // A dry run plans the same and writes nothing (the FAT below would show it).
      const ProcessRun dry = runCli(m.cli(args + QStringList{"--dry-run"}));
      EXPECT_EQ(dry.exitCode, 0) << dry.err.toStdString();
      EXPECT_TRUE(dry.out.contains("(new)") && dry.out.contains("Dry run: nothing was written"))
          << dry.out.toStdString();
      const ProcessRun run = runCli(m.cli(args));
      ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
      if (std::string(c.preset) == "demo") {
        // Now listed twice: naming it is a usage error, nothing is removed.
        const ProcessRun twice = runCli(m.cli({"--yes", "remove", "Zanfir"}));
        EXPECT_EQ(twice.exitCode, 2);
        EXPECT_TRUE(twice.err.contains("several")) << twice.err.toStdString();
      }
      m.stop();

      const std::vector<FatRecord> fat = test::parseFatSector(m.dump(1, 1));
      const std::vector<SimFatEntry> old =
          std::string(c.preset) == "demo" ? demoCatalogue() : std::vector<SimFatEntry>{};
      const std::map<std::string, PackageEntry> packages = packageEntries(m, c.packages);
      // What was there stays, in its order; every package entry follows once.
      ASSERT_EQ(fat.size(), old.size() + packages.size());
      std::set<std::string> added;
      for (size_t i = 0; i < fat.size(); ++i) {
        if (i < old.size())
          EXPECT_TRUE(sameEntry(fat[i], old[i])) << fat[i].brand;
        else
          EXPECT_TRUE(packages.count(fat[i].brand) && added.insert(fat[i].brand).second)
              << fat[i].brand;
      }
      if (std::string(c.preset) == "blank") {
        EXPECT_EQ(fat.front().brand, "OBDII");
      }
      EXPECT_EQ(fat.front().start, 0);
      expectSoftware(m, fat, [&](const FatRecord& r) {
        const size_t i = size_t(&r - fat.data());
        return i < old.size() ? demoData(old, r) : packages.at(r.brand).data;
      });
    }
  }
}

// ---------------------------------------------------------------- removal

TEST_P(CliFlowTest, RemovalOnEveryGeneration) {
  const std::vector<SimFatEntry> demo = demoCatalogue();
  const QStringList items{"Ostmark", "/ASIA/JAPAN", "Brenna Classic", "OBDII"};
  // What the items stand for: the brand, everything under the directory, the
  // alias with the software it shares sectors with; the base software stays.
  uint16_t aliasStart = 0;
  for (const SimFatEntry& e : demo)
    if (e.brand == "Brenna Classic") aliasStart = e.startSector;
  auto removed = [&](const SimFatEntry& e) {
    return e.brand == "Ostmark" || e.path.rfind("ASIA\\JAPAN", 0) == 0 ||
           e.startSector == aliasStart;
  };
  std::vector<SimFatEntry> kept;
  for (const SimFatEntry& e : demo)
    if (!removed(e)) kept.push_back(e);

  int sectors[] = {128, 128, 256, 16384};
  int row = 0;
  for (const Generation& g : kGenerations) {
    SCOPED_TRACE(g.name);
    const QString mode = row % 2 ? "1" : "2";  // the customer build writes itself, R&D presses AUTO
    Module m(g, "demo", linkArgs());
    ASSERT_TRUE(m.running());

    // The rows and tree as the window shows them: aliases on one row.
    const ProcessRun list = runCli(m.cli({"list", "--rows", "--tree", "--json"}));
    ASSERT_EQ(list.exitCode, 0) << list.err.toStdString();
    const QJsonObject view = QJsonDocument::fromJson(list.out).object();
    std::set<uint16_t> starts;
    int used = 0, japan = 0;
    for (const SimFatEntry& e : demo) {
      if (starts.insert(e.startSector).second) {
        used += e.sectorCount;
        japan += e.path.rfind("ASIA\\JAPAN", 0) == 0 ? 1 : 0;
      }
    }
    EXPECT_EQ(view["rows"].toArray().size(), int(starts.size()));
    EXPECT_EQ(view["usedSpace"].toInt(), used);
    EXPECT_EQ(view["freeSpace"].toInt(), sectors[row] - used);
    int japanFiles = -1;
    for (const QJsonValue& v : view["tree"].toArray())
      if (v.toObject()["path"].toString() == "\\ASIA\\JAPAN")
        japanFiles = v.toObject()["files"].toInt();
    EXPECT_EQ(japanFiles, japan);

    // A dry run and a declined question change nothing; a name that is not
    // listed is a usage error. The dry run ends as the removal would: the
    // base software refused, the command fails and says so.
    const ProcessRun dry =
        runCli(m.cli(QStringList{"--mode", mode, "remove", "--dry-run"} + items));
    EXPECT_EQ(dry.exitCode, 1) << dry.err.toStdString();
    EXPECT_TRUE(dry.err.contains("not done: OBDII")) << dry.err.toStdString();
    EXPECT_TRUE(dry.out.contains("Dry run: nothing was written")) << dry.out.toStdString();
    const ProcessRun declined =
        runCli(m.cli(QStringList{"--mode", mode, "--no", "remove"} + items));
    EXPECT_EQ(declined.exitCode, 1);
    EXPECT_TRUE(declined.err.contains("declined"));
    EXPECT_EQ(runCli(m.cli({"remove", "No Such Brand"})).exitCode, 2);
    const ProcessRun unchanged = runCli(m.cli({"--quiet", "list", "--json"}));
    EXPECT_EQ(QJsonDocument::fromJson(unchanged.out).array().size(), int(demo.size()));

    // The base software is refused (the command fails) and the rest goes.
    const ProcessRun remove = runCli(m.cli(QStringList{"--mode", mode, "--yes", "remove"} + items));
    EXPECT_EQ(remove.exitCode, 1);
    EXPECT_TRUE(remove.err.contains("Cannot remove system file!!")) << remove.err.toStdString();
    m.stop();

    const std::vector<FatRecord> fat = test::parseFatSector(m.dump(1, 1));
    ASSERT_EQ(fat.size(), kept.size());
    for (size_t i = 0; i < fat.size(); ++i) EXPECT_TRUE(sameEntry(fat[i], kept[i])) << fat[i].brand;
    expectSoftware(m, fat, [&](const FatRecord& r) { return demoData(demo, r); });
    ++row;
  }
}

// ---------------------------------------------------------------- a damaged catalogue

// A FAT damaged after the fact on a 256-sector Ostrel III: an entry starting
// inside the base software, one overlapping the software behind it and one
// reaching past the end. The listing names them and keeps its totals within
// the cartridge, an installation (planned or real) changes nothing, and
// removing the wrong entries brings back a catalogue that can be changed.
TEST_P(CliFlowTest, ADamagedCatalogueIsListedAndNotOverwritten) {
  Module m(kGenerations[2], "demo", linkArgs());
  ASSERT_TRUE(m.running());
  m.stop();
  // Entry k's start sector at 108 + (k - 1) * 212 + 80 of sector 1, its count two bytes on.
  auto poke = [&](int entry, int field, int value) {
    const int at = kSector + 108 + (entry - 1) * 212 + field;
    return test::runProcess(OSTREL_SIM_PATH,
                            {"poke", m.cartridge(), QString::number(at), QString::number(value)})
        .exitCode;
  };
  EXPECT_EQ(poke(2, 81, 2), 0);      // Corvenne at sector 2, inside OBDII's 0..3
  EXPECT_EQ(poke(4, 83, 0x40), 0);   // Ostmark 64 sectors long, over the software behind it
  EXPECT_EQ(poke(14, 82, 0x01), 0);  // Arvinta 0x12C sectors long, past sector 255
  EXPECT_EQ(poke(14, 83, 0x2C), 0);
  const QByteArray planted = m.dump(0, 255);
  m.start();

  const ProcessRun list = runCli(m.cli({"list", "--rows", "--json"}));
  ASSERT_EQ(list.exitCode, 0) << list.err.toStdString();
  const QJsonObject view = QJsonDocument::fromJson(list.out).object();
  EXPECT_LE(view["usedSpace"].toInt(), 256);
  EXPECT_EQ(view["freeSpace"].toInt() + view["usedSpace"].toInt(), 256);
  std::set<std::string> wrong;
  for (const QJsonValue& v : view["wrongEntries"].toArray())
    wrong.insert(v.toObject()["brand"].toString().toStdString());
  for (const char* brand : {"OBDII", "Corvenne", "Ostmark", "Arvinta"})
    EXPECT_TRUE(wrong.count(brand)) << brand;
  const ProcessRun entries = runCli(m.cli({"list"}));
  EXPECT_TRUE(entries.out.contains("Entry 14 (Arvinta): ") &&
              entries.out.contains("past the last sector 255"))
      << entries.out.toStdString();

  const QString europe = QString(OSTREL_SAMPLES_DIR) + "/europe.bn";
  for (const QStringList& extra : {QStringList{"--dry-run"}, QStringList{}}) {
    const ProcessRun install = runCli(m.cli(QStringList{"--yes", "install", europe} + extra));
    EXPECT_EQ(install.exitCode, 1);
    EXPECT_TRUE(install.err.contains("installing software is refused"))
        << install.err.toStdString();
    EXPECT_FALSE(install.out.contains("Sectors to write")) << install.out.toStdString();
  }
  m.stop();
  EXPECT_TRUE(m.dump(0, 255) == planted);
  m.start();

  const ProcessRun remove = runCli(m.cli({"--yes", "remove", "Corvenne", "Ostmark", "Arvinta"}));
  EXPECT_EQ(remove.exitCode, 0) << remove.err.toStdString();
  const ProcessRun after = runCli(m.cli({"list", "--rows", "--json"}));
  const QJsonObject sound = QJsonDocument::fromJson(after.out).object();
  EXPECT_TRUE(sound["wrongEntries"].toArray().isEmpty()) << after.out.toStdString();
  m.stop();
  // Only the FAT changed: every other sector holds what it held.
  const QByteArray now = m.dump(0, 255);
  ASSERT_EQ(now.size(), planted.size());
  EXPECT_TRUE(now.left(kSector) == planted.left(kSector));
  EXPECT_TRUE(now.mid(2 * kSector) == planted.mid(2 * kSector));
}

}  // namespace
}  // namespace ostrel
