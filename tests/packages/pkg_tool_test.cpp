// ostrel-pkg as scripts use it: the sample descriptions become packages whose
// info matches the description, images go in and out, faults and usage
// errors give their exit codes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <filesystem>

#include "packages/package_records.h"

namespace ostrel {
namespace {

using test::Bytes;

struct ToolRun {
  int exitCode = -1;
  QByteArray out, err;
};

ToolRun pkg(const QStringList& args) {
  QProcess p;
  p.start(OSTREL_PKG_PATH, args);
  ToolRun r;
  if (!p.waitForFinished(60000)) return r;
  r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  r.out = p.readAllStandardOutput();
  r.err = p.readAllStandardError();
  return r;
}

QByteArray readAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeAll(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(bytes);
}

QJsonObject infoOf(const QString& package) {
  const ToolRun r = pkg({"info", package, "--json"});
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  return QJsonDocument::fromJson(r.out).object();
}

// Every sample description, built at test time: the package lists each
// software and alias with the description's fields, laid out behind the base
// software's two blocks, and each entry's first block is its own data.
TEST(PkgToolTest, SamplePackagesMatchTheirDescriptions) {
  QTemporaryDir dir;
  const QStringList samples = QDir(OSTREL_SAMPLES_SOURCE).entryList({"*.json"});
  ASSERT_GE(samples.size(), 5);
  for (const QString& name : samples) {
    SCOPED_TRACE(name.toStdString());
    const QString description = QString(OSTREL_SAMPLES_SOURCE) + "/" + name;
    const QString package = dir.filePath(name + ".bn"), image = dir.filePath(name + ".img");
    const ToolRun built = pkg({"build", description, "-o", package});
    ASSERT_EQ(built.exitCode, 0) << built.err.toStdString();
    const QJsonObject info = infoOf(package);
    const QJsonObject want = QJsonDocument::fromJson(readAll(description)).object();
    EXPECT_EQ(info["identity"].toString(), want["identity"].toString());

    QJsonArray expected;
    int next = 2;
    for (const QJsonValue& v : want["software"].toArray()) {
      QJsonObject s = v.toObject();
      const int count = s["sectors"].toInt();
      const int start = s["brand"].toString() == "OBDII" ? 0 : next;
      next = std::max(next, start + count);
      QJsonArray names{s};
      for (const QJsonValue& a : s["aliases"].toArray()) names.append(a);
      for (const QJsonValue& n : names) {
        QJsonObject e = s;
        for (const QString& key : n.toObject().keys()) e[key] = n.toObject()[key];
        e["startSector"] = start;
        e["sectorCount"] = count;
        e["owner"] = s["brand"];  // aliases show the data of the software they name
        expected.append(e);
      }
    }
    EXPECT_EQ(info["blocks"].toInt(), next);
    EXPECT_EQ(info["imageSize"].toInt(), next * 65536);
    const QJsonArray entries = info["entries"].toArray();
    ASSERT_EQ(entries.size(), expected.size());

    const ToolRun unpacked = pkg({"unpack", package, "-o", image});
    ASSERT_EQ(unpacked.exitCode, 0) << unpacked.err.toStdString();
    const QByteArray bytes = readAll(image);
    EXPECT_EQ(bytes.size(), qsizetype(next) * 65536);
    for (int k = 0; k < entries.size(); ++k) {
      const QJsonObject got = entries[k].toObject(), e = expected[k].toObject();
      SCOPED_TRACE(e["brand"].toString().toStdString());
      EXPECT_EQ(got["slot"].toInt(), k + 1);
      EXPECT_EQ(got["kind"].toInt(), e["kind"].toInt(2));
      for (const char* key : {"brand", "version", "versionExtra", "path"})
        EXPECT_EQ(got[key].toString(), e[key].toString()) << key;
      EXPECT_EQ(got["startSector"].toInt(), e["startSector"].toInt());
      EXPECT_EQ(got["sectorCount"].toInt(), e["sectorCount"].toInt());
      const QByteArray head = "OSTREL PACKAGE|" + e["owner"].toString().toUtf8() + "|1/";
      EXPECT_EQ(bytes.mid(qsizetype(got["startSector"].toInt()) * 65536, head.size()), head);
    }
  }
}

TEST(PkgToolTest, ImagesGoInAndComeOut) {
  QTemporaryDir dir;
  // An image whose block 1 is its catalogue: pack, then read it back.
  Bytes image(3 * 65536, 0xFF);
  for (size_t i = 0; i < 65536; ++i) image[2 * 65536 + i] = uint8_t(i % 251);
  const Bytes cat = test::catalogueBlock({{2, "Taemin", 2, 1, "ASIA\\KOREA"}}, 1, 65536);
  std::copy(cat.begin(), cat.end(), image.begin() + 65536);
  const QString img = dir.filePath("in.img"), bn = dir.filePath("out.bn"),
                back = dir.filePath("back.img");
  writeAll(img, QByteArray(reinterpret_cast<const char*>(image.data()), qsizetype(image.size())));
  const mode_t umaskBefore = ::umask(022);
  ASSERT_EQ(pkg({"pack", img, "-o", bn, "--identity", "0a 0B 0 1 2 3 4 FF"}).exitCode, 0);
  ::umask(umaskBefore);
  // An ordinary file as the umask makes it, not one private to the user.
  EXPECT_EQ(std::filesystem::status(bn.toStdString()).permissions(), std::filesystem::perms(0644));
  const QJsonObject info = infoOf(bn);
  EXPECT_EQ(info["identity"].toString(), "0A 0B 00 01 02 03 04 FF");
  EXPECT_EQ(info["entries"].toArray()[0].toObject()["path"].toString(), "ASIA\\KOREA");
  ASSERT_EQ(pkg({"unpack", bn, "-o", back}).exitCode, 0);
  const QByteArray unpacked = readAll(back);
  EXPECT_EQ(unpacked.left(65536), QByteArray(65536, char(0xFF)));
  EXPECT_EQ(unpacked.mid(65536, 65536), QByteArray(65536, char(0xFF)));  // the catalogue block
  EXPECT_EQ(unpacked.mid(131072),
            QByteArray(reinterpret_cast<const char*>(image.data()) + 131072, 65536));

  // S-records and a binary file become whole blocks.
  const QString srec = dir.filePath("in.hx"), bin = dir.filePath("in.bin");
  writeAll(srec, "S0030000FC\r\nS30600020000EE0A\r\nS70500000000FA\r\n");
  const ToolRun s = pkg({"srec2bin", srec, "-o", back, "--sectors", "16"});
  ASSERT_EQ(s.exitCode, 0) << s.err.toStdString();
  EXPECT_EQ(readAll(back).size(), 3 * 65536);
  EXPECT_EQ(uint8_t(readAll(back)[0x20000]), 0xEE);
  writeAll(bin, QByteArray(70000, 'x'));
  ASSERT_EQ(pkg({"bin2image", bin, "-o", back}).exitCode, 0);
  EXPECT_EQ(readAll(back).size(), 2 * 65536);
  EXPECT_EQ(readAll(back).right(1), QByteArray(1, char(0xFF)));
}

TEST(PkgToolTest, FaultsAndUsageErrorsHaveTheirExitCodes) {
  QTemporaryDir dir;
  const QString good = dir.filePath("good.bn"), cut = dir.filePath("cut.bn"),
                out = dir.filePath("out"), srec = dir.filePath("none.hx");
  ASSERT_EQ(pkg({"build", QString(OSTREL_SAMPLES_SOURCE) + "/asia.json", "-o", good}).exitCode, 0);
  writeAll(cut, readAll(good).left(70000));
  writeAll(srec, "S0030000FC\n");
  struct Case {
    QStringList args;
    int exitCode;
    const char* stderrHas;
  };
  const Case cases[] = {
      {{"info", cut}, 1, "Fault code:0015\n"},
      {{"info", dir.filePath("missing.bn")}, 1, "Fault code:0010\n"},
      {{"info", dir.path()}, 1, "Fault code:0010\n"},
      {{"srec2bin", srec, "-o", out}, 1, "Fault code:0019\n"},
      {{"--language", "1", "info", cut}, 1, "\xE9\x8C\xAF\xE8\xAA\xA4\xE7\xA2\xBC:0015\n"},
      {{"pack", cut, "-o", out}, 1, "64 KiB blocks"},
      {{"unpack", good}, 2, "needs -o"},
      {{"frobnicate", good}, 2, "unknown command"},
      {{"info", good, "--sectors", "5"}, 2, "--sectors goes with srec2bin"},
      {{"--language", "4", "info", good}, 2, "--language 0..3"},
      {{"pack", good, "-o", out, "--identity", "1 2 3"}, 2, "--identity"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.join(' ').toStdString());
    const ToolRun r = pkg(c.args);
    EXPECT_EQ(r.exitCode, c.exitCode);
    EXPECT_TRUE(r.err.contains(c.stderrHas)) << r.err.toStdString();
  }
  const ToolRun help = pkg({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  for (const char* command : {"info", "unpack", "pack", "build", "srec2bin", "bin2image"})
    EXPECT_TRUE(help.out.contains(QByteArray("  ostrel-pkg ") + command)) << command;
}

// Ctrl+C or a kill in the middle of a large output leaves no temporary
// beside it: here an S-record whose one record lies in the largest
// cartridge's last sector, a 3.9 GB image.
TEST(PkgToolTest, AnInterruptedConversionLeavesNoTemporaryBehind) {
  QTemporaryDir dir;
  const uint32_t address = 59998u * 65536u + 0x100u;
  QByteArray body = QByteArray::fromHex("09") +
                    QByteArray::fromHex(QByteArray::number(address, 16).rightJustified(8, '0')) +
                    QByteArray::fromHex("11223344");
  uint8_t sum = 0;
  for (char c : body) sum = uint8_t(sum + uint8_t(c));
  writeAll(dir.filePath("far.hx"),
           "S3" + body.toHex().toUpper() +
               QByteArray::number(uint8_t(~sum), 16).rightJustified(2, '0').toUpper() + "\n");
  for (int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    QProcess p;
    p.start(OSTREL_PKG_PATH, {"srec2bin", dir.filePath("far.hx"), "-o", dir.filePath("far.img")});
    ASSERT_TRUE(p.waitForStarted());
    auto temporaries = [&] {
      return QDir(dir.path()).entryInfoList({"far.img.tmp-*"}, QDir::Files);
    };
    bool started = false;
    for (int i = 0; i < 3000 && !started && p.state() == QProcess::Running; ++i) {
      const auto found = temporaries();
      started = !found.isEmpty() && found.first().size() > 65536;
      if (!started) QThread::msleep(5);
    }
    ::kill(pid_t(p.processId()), signal);
    ASSERT_TRUE(p.waitForFinished(60000));
    ASSERT_TRUE(started);
    EXPECT_EQ(p.exitStatus(), QProcess::CrashExit);
    EXPECT_TRUE(temporaries().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("far.img")));
  }
}

}  // namespace
}  // namespace ostrel
