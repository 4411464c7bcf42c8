// ostrel-pkg: package files for engineers and scripts, without a module.
// Reads, writes and builds .bn packages and turns S-record and binary files
// into cartridge images, with the same codecs the window uses.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "app/fault_codes.h"
#include "app/file_io.h"
#include "app/prompt_table.h"
#include "app/text_helpers.h"
#include "app/version.h"
#include "packages/flash_image.h"
#include "packages/package_builder.h"
#include "packages/package_format.h"

namespace ostrel {
namespace {

constexpr int kExitOk = 0, kExitFault = 1, kExitUsage = 2;
constexpr uint32_t kDefaultSRecordSectors = 2048;

const char kUsage[] =
    "usage: ostrel-pkg [--language 0..3] COMMAND ...\n"
    "commands:\n"
    "  info FILE.bn [--json]            identity, checksum, image size, blocks and every\n"
    "                                   catalogue entry of a package\n"
    "  unpack FILE.bn -o IMAGE          the package's image (block n at n x 65536)\n"
    "  pack IMAGE -o FILE.bn [--identity \"B B B B B B B B\"]\n"
    "                                   a package of an image of whole 64 KiB blocks;\n"
    "                                   block 1 must hold its catalogue (an unpacked\n"
    "                                   image has it blank, as the window loads it)\n"
    "  build DESCRIPTION.json -o FILE.bn\n"
    "                                   a package laid out from a description\n"
    "  srec2bin FILE -o IMAGE [--sectors N]\n"
    "                                   an S-record file as an image (N: the module's\n"
    "                                   sector count, 2048 when not given)\n"
    "  bin2image FILE -o IMAGE          a binary file padded to whole 64 KiB blocks\n"
    "options:\n"
    "  --language N   code page of legacy directory names: 0 CP1252 (default),\n"
    "                 1 CP950, 2 CP936, 3 CP932\n"
    "  --version      print the version and exit\n"
    "exit status: 0 done, 1 fault (\"Fault code:\" and the code on stderr), 2 usage\n"
    "examples:\n"
    "  ostrel-pkg info samples/europe.bn --json\n"
    "  ostrel-pkg unpack samples/europe.bn -o europe.img\n"
    "  ostrel-pkg pack europe.img -o copy.bn --identity \"00 00 00 00 4F 53 54 31\"\n"
    "  ostrel-pkg build samples/europe.json -o europe.bn\n"
    "  ostrel-pkg srec2bin firmware.hx -o firmware.img --sectors 256\n"
    "  ostrel-pkg bin2image firmware.bin -o firmware.img\n";

// The code page of the run (--language): every text that came from outside (a
// file name, a description's value, a catalogue text) is shown read in it.
int runLanguage = 0;

// A line on stderr, shown by the one display rule, so no file name or value
// can drive the terminal.
void complain(const std::string& line) {
  std::fprintf(stderr, "ostrel-pkg: %s\n", displayText(runLanguage, line).c_str());
}

int usage(const char* problem = nullptr) {
  if (problem) complain(problem);
  std::fputs(kUsage, stderr);
  return kExitUsage;
}

int failure(const std::string& message) {
  complain(message);
  return kExitFault;
}

// The fault as the window shows it, then its detail lines.
int fault(int language, std::string_view code, const std::vector<std::string>& lines,
          const std::string& file) {
  std::fprintf(stderr, "%s%.*s\n", std::string(promptText(63, language)).c_str(), int(code.size()),
               code.data());
  for (const std::string& line : lines)
    std::fprintf(stderr, "%s\n", displayText(language, line).c_str());
  complain(file);
  return kExitFault;
}

// A package read piecewise with pread: only one record's bytes are held, so
// unpacking a large package needs little more memory than its image.
class FileSource final : public ByteSource {
 public:
  bool open(const std::string& path, std::string& error) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
      error = path + ": " + std::strerror(errno);
      return false;
    }
    if (!S_ISREG(st.st_mode)) {
      error = path + ": not a regular file";
      return false;
    }
    size_ = uint64_t(st.st_size);
    return true;
  }
  ~FileSource() override {
    if (fd_ >= 0) ::close(fd_);
  }
  uint64_t size() const override { return size_; }
  std::span<const uint8_t> fetch(uint64_t position, size_t count) override {
    buffer_.resize(count);
    size_t done = 0;
    while (done < count) {
      const ssize_t n = ::pread(fd_, buffer_.data() + done, count - done, off_t(position + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += size_t(n);
    }
    return std::span<const uint8_t>(buffer_.data(), done);
  }

 private:
  int fd_ = -1;
  uint64_t size_ = 0;
  std::vector<uint8_t> buffer_;
};

LegacyTextConverter converterFor(int language) {
  return
      [language](std::string_view in, std::string& out) { return legacyToUtf8(language, in, out); };
}

// "B B B B B B B B": eight hexadecimal bytes separated by blanks.
std::optional<PackageIdentity> parseIdentity(const std::string& text) {
  PackageIdentity id{};
  size_t count = 0;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < text.size() && text[j] != ' ') ++j;
    const std::string token = text.substr(i, j - i);
    if (count == id.size() || token.size() > 2 ||
        token.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
      return std::nullopt;
    id[count++] = uint8_t(std::strtoul(token.c_str(), nullptr, 16));
    i = j;
  }
  if (count != id.size()) return std::nullopt;
  return id;
}

// Milliseconds of the day: the writer's keys differ from run to run.
uint32_t keyStart() {
  using namespace std::chrono;
  return uint32_t(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count() %
                  86400000);
}

bool save(const std::string& path, std::span<const uint8_t> bytes) {
  std::string error;
  if (writeWholeFile(path, bytes, &error)) return true;
  complain(error);
  return false;
}

// ---------------------------------------------------------------- info / unpack

int readPackageFile(const std::string& path, int language, PackageRead& read) {
  FileSource source;
  std::string error;
  if (!source.open(path, error)) {
    complain(error);
    return fault(language, FaultCode::k0010, {}, path);
  }
  if (source.size() > kLargestPackageBytes) return fault(language, FaultCode::k0018, {}, path);
  read = readPackage(source, converterFor(language));
  if (!read.fault.empty()) return fault(language, read.fault, read.faultLines, path);
  return kExitOk;
}

int info(const std::string& path, bool json, int language) {
  PackageRead read;
  if (int rc = readPackageFile(path, language, read)) return rc;
  const CartridgeCatalogue& cat = read.catalogue;
  // As ostrel-cli list shows a cartridge's texts.
  auto text = [language](std::string_view stored) { return displayText(language, stored); };
  if (json) {
    QJsonObject doc;
    doc["identity"] = QString::fromStdString(identityText(read.identity));
    doc["checksum"] = QString::fromStdString(upperHex(read.checksum, 4));
    doc["imageSize"] = double(read.declaredSize);
    doc["blocks"] = double(read.image.size() / kSectorSize);
    QJsonArray entries;
    for (size_t k = 0; k < cat.header.entryCount; ++k) {
      const FatEntry& e = cat.entries[k];
      QJsonObject o;
      o["slot"] = int(k + 1);
      o["kind"] = int(e.kind);
      o["attribute"] = int(e.attribute);
      o["brand"] = QString::fromStdString(text(fatText(e.brand)));
      o["version"] = QString::fromStdString(text(fatText(e.version)));
      o["versionExtra"] = QString::fromStdString(text(fatText(e.versionExtra)));
      o["startSector"] = int(e.startSector);
      o["sectorCount"] = int(e.sectorCount);
      o["path"] = QString::fromStdString(text(fatPathText(e)));
      entries.append(o);
    }
    doc["entries"] = entries;
    std::fputs(QJsonDocument(doc).toJson(QJsonDocument::Indented).constData(), stdout);
    return kExitOk;
  }
  std::printf("identity:  %s\n", identityText(read.identity).c_str());
  std::printf("checksum:  %s\n", upperHex(read.checksum, 4).c_str());
  std::printf("imageSize: %llu\n", (unsigned long long)read.declaredSize);
  std::printf("blocks:    %zu\n", read.image.size() / kSectorSize);
  std::printf("%-4s %-4s %-4s %-26s %-26s %-26s %6s %6s  %s\n", "slot", "kind", "attr", "brand",
              "version", "versionExtra", "start", "count", "path");
  for (size_t k = 0; k < cat.header.entryCount; ++k) {
    const FatEntry& e = cat.entries[k];
    std::printf("%-4zu %-4u %-4u %-26s %-26s %-26s %6u %6u  %s\n", k + 1, unsigned(e.kind),
                unsigned(e.attribute), text(fatText(e.brand)).c_str(),
                text(fatText(e.version)).c_str(), text(fatText(e.versionExtra)).c_str(),
                unsigned(e.startSector), unsigned(e.sectorCount), text(fatPathText(e)).c_str());
  }
  return kExitOk;
}

int unpack(const std::string& path, const std::string& output, int language) {
  PackageRead read;
  if (int rc = readPackageFile(path, language, read)) return rc;
  return save(output, read.image) ? kExitOk : kExitFault;
}

// ---------------------------------------------------------------- images

int readInput(const std::string& path, uint64_t limit, int language, std::vector<uint8_t>& bytes) {
  std::string error;
  const FileReadResult r = readWholeFile(path, bytes, limit, &error);
  if (r == FileReadResult::Ok) return kExitOk;
  complain(error);
  return fault(language, r == FileReadResult::TooLarge ? FaultCode::k0018 : FaultCode::k0010, {},
               path);
}

int pack(const std::string& path, const std::string& output, const PackageIdentity& identity,
         int language) {
  std::vector<uint8_t> image;
  if (int rc = readInput(path, kLargestImageBytes, language, image)) return rc;
  if (image.size() % kSectorSize != 0 || image.size() < 2 * kSectorSize)
    return failure(path + ": not a whole number (at least 2) of 64 KiB blocks");
  const std::vector<uint8_t> file = writePackage(image, identity, keyStart());
  if (file.empty()) return failure(path + ": cannot be packed");
  return save(output, file) ? kExitOk : kExitFault;
}

int imageResult(const FlashImageLoad& r, const std::string& path, const std::string& output,
                int language) {
  if (!r.fault.empty()) return fault(language, r.fault, r.faultLines, path);
  if (r.image.empty()) return failure(path + ": empty");
  if (!save(output, r.image)) return kExitFault;
  std::printf("blocks: %u  last address: %s  checksum: %s\n", unsigned(r.blockCount),
              upperHex(uint32_t(r.image.size() - 1), 8).c_str(), upperHex(r.checksum, 4).c_str());
  return kExitOk;
}

int srec2bin(const std::string& path, const std::string& output, uint32_t sectors, int language) {
  std::vector<uint8_t> text;
  if (int rc = readInput(path, kLargestSRecordBytes, language, text)) return rc;
  return imageResult(convertSRecords(text, sectors), path, output, language);
}

int bin2image(const std::string& path, const std::string& output, int language) {
  std::vector<uint8_t> bytes;
  if (int rc = readInput(path, kLargestImageBytes, language, bytes)) return rc;
  return imageResult(convertBinary(std::move(bytes)), path, output, language);
}

// ---------------------------------------------------------------- build

struct BuildError {
  std::string text;
};

std::string utf8Of(const QJsonValue& v) {
  return v.toString().toStdString();
}

void setText(std::array<char, kFatTextSize>& field, const std::string& value, const char* name) {
  if (value.size() > kFatTextSize)
    throw BuildError{std::string(name) + " \"" + value + "\" is longer than 26 bytes"};
  setFatText(field, value);
}

// Catalogue fields of an entry; fields not given come from `base`.
FatEntry entryFrom(const QJsonObject& o, const FatEntry& base, int language) {
  FatEntry e = base;
  if (o.contains("kind")) e.kind = uint8_t(o["kind"].toInt(2));
  if (e.kind == 0) throw BuildError{"kind 0 is an empty slot"};
  if (o.contains("attribute")) e.attribute = uint8_t(o["attribute"].toInt());
  if (o.contains("brand")) setText(e.brand, utf8Of(o["brand"]), "brand");
  if (o.contains("version")) setText(e.version, utf8Of(o["version"]), "version");
  if (o.contains("versionExtra"))
    setText(e.versionExtra, utf8Of(o["versionExtra"]), "versionExtra");
  if (fatText(e.brand).empty()) throw BuildError{"an entry without a brand"};
  if (o.contains("path") || o.contains("pathEncoding")) {
    std::string path = utf8Of(o["path"]);
    if (!path.empty()) {
      const QStringList names = o["path"].toString().split('\\');
      if (names.size() > 4) throw BuildError{"path \"" + path + "\" has more than four levels"};
      for (const QString& n : names)
        if (n.isEmpty()) throw BuildError{"path \"" + path + "\" has an empty directory name"};
    }
    const QString encoding = o["pathEncoding"].toString("utf8");
    if (encoding == "legacy") {
      std::string legacy;
      if (!utf8ToLegacy(language, path, legacy))
        throw BuildError{"path \"" + path + "\" has no legacy form in the code page of language " +
                         std::to_string(language)};
      path = legacy;
    } else if (encoding != "utf8") {
      throw BuildError{"pathEncoding must be \"utf8\" or \"legacy\""};
    }
    const size_t limit = e.kind == 1 ? 26 : 94;
    if (path.size() > limit)
      throw BuildError{"path \"" + utf8Of(o["path"]) + "\" is longer than " +
                       std::to_string(limit) + " bytes"};
    const uint8_t byte0 = e.pathField[0];
    e.pathField.fill(0);
    e.pathField[0] = byte0;
    std::memcpy(e.pathField.data() + 1, path.data(), path.size());
  }
  return e;
}

std::vector<uint8_t> dataOf(const QJsonObject& o, const FatEntry& entry, const QString& folder) {
  const std::string brand(fatText(entry.brand));
  if (o.contains("data") == o.contains("sectors"))
    throw BuildError{brand + ": give either \"data\" (a file) or \"sectors\" (a pattern)"};
  if (o.contains("data")) {
    QString file = o["data"].toString();
    if (QFileInfo(file).isRelative()) file = folder + "/" + file;
    std::vector<uint8_t> bytes;
    std::string error;
    if (readWholeFile(file.toStdString(), bytes, kLargestImageBytes, &error) != FileReadResult::Ok)
      throw BuildError{error};
    return bytes;
  }
  const int sectors = o["sectors"].toInt(0);
  if (sectors < 1 || uint32_t(sectors) >= kLargestCartridgeSectors)
    throw BuildError{brand + ": \"sectors\" must be 1 to " +
                     std::to_string(kLargestCartridgeSectors - 1)};
  std::vector<uint8_t> data = patternSectors(brand, uint32_t(sectors));
  // The base software's second sector is the catalogue block.
  if (fatText(entry.brand) == kObdiiText && sectors > 1)
    std::fill(data.begin() + kSectorSize, data.begin() + 2 * kSectorSize, 0xFF);
  return data;
}

int build(const std::string& path, const std::string& output, int language) {
  QFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::ReadOnly)) return failure(path + ": cannot be read");
  QJsonParseError parseError{};
  const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &parseError);
  if (parseError.error != QJsonParseError::NoError || !doc.isObject())
    return failure(path + ": " + parseError.errorString().toStdString());
  const QJsonObject root = doc.object();
  const QString folder = QFileInfo(file).absolutePath();

  PackageIdentity identity{};
  if (root.contains("identity")) {
    const auto id = parseIdentity(utf8Of(root["identity"]));
    if (!id) return failure(path + ": identity must be eight hex bytes separated by blanks");
    identity = *id;
  }
  std::vector<PackageSoftware> software;
  try {
    for (const QJsonValue& v : root["software"].toArray()) {
      const QJsonObject o = v.toObject();
      PackageSoftware s;
      FatEntry blank;
      blank.kind = 2;
      s.entry = entryFrom(o, blank, language);
      for (const QJsonValue& a : o["aliases"].toArray())
        s.aliases.push_back(entryFrom(a.toObject(), s.entry, language));
      s.data = dataOf(o, s.entry, folder);
      software.push_back(std::move(s));
    }
  } catch (const BuildError& e) {
    return failure(path + ": " + e.text);
  }
  if (software.empty()) return failure(path + ": no \"software\" listed");
  const PackageLayout layout = layOutPackage(software);
  if (!layout.error.empty()) return failure(path + ": " + layout.error);
  const std::vector<uint8_t> package = writePackage(layout.image, identity, keyStart());
  if (package.empty()) return failure(path + ": cannot be packed");
  return save(output, package) ? kExitOk : kExitFault;
}

}  // namespace
}  // namespace ostrel

int main(int argc, char** argv) {
  using namespace ostrel;
  int language = 0;
  bool json = false;
  std::string output, identityText;
  std::optional<uint32_t> sectors;
  std::vector<std::string> words;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (a == "--version") {
      std::fputs(versionText("ostrel-pkg").c_str(), stdout);
      return kExitOk;
    } else if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    } else if (a == "--language") {
      const char* v = value();
      if (!v || std::strlen(v) != 1 || v[0] < '0' || v[0] > '3') return usage("--language 0..3");
      language = runLanguage = v[0] - '0';
    } else if (a == "--json") {
      json = true;
    } else if (a == "-o") {
      const char* v = value();
      if (!v) return usage("-o needs a file");
      output = v;
    } else if (a == "--identity") {
      const char* v = value();
      if (!v) return usage("--identity needs eight bytes");
      identityText = v;
    } else if (a == "--sectors") {
      const char* v = value();
      char* end = nullptr;
      const unsigned long n = v ? std::strtoul(v, &end, 10) : 0;
      if (!v || *end || n < 1 || n > 65535) return usage("--sectors 1..65535");
      sectors = uint32_t(n);
    } else if (!a.empty() && a[0] == '-') {
      return usage(("unknown option " + a).c_str());
    } else {
      words.push_back(a);
    }
  }
  if (words.size() != 2) return usage();
  const std::string& command = words[0];
  const std::string& file = words[1];
  const char* const commands[] = {"info", "unpack", "pack", "build", "srec2bin", "bin2image"};
  if (std::find(std::begin(commands), std::end(commands), command) == std::end(commands))
    return usage(("unknown command " + command).c_str());
  const bool needsOutput = command != "info";
  if (needsOutput && output.empty()) return usage((command + " needs -o").c_str());
  if (!needsOutput && !output.empty()) return usage("info takes no -o");
  if (json && command != "info") return usage("--json goes with info");
  if (!identityText.empty() && command != "pack") return usage("--identity goes with pack");
  if (sectors && command != "srec2bin") return usage("--sectors goes with srec2bin");

  if (command == "info") return info(file, json, language);
  if (command == "unpack") return unpack(file, output, language);
  if (command == "pack") {
    PackageIdentity identity{};
    if (!identityText.empty()) {
      const auto id = parseIdentity(identityText);
      if (!id) return usage("--identity needs eight hex bytes separated by blanks");
      identity = *id;
    }
    return pack(file, output, identity, language);
  }
  if (command == "build") return build(file, output, language);
  if (command == "srec2bin")
    return srec2bin(file, output, sectors.value_or(kDefaultSRecordSectors), language);
  return bin2image(file, output, language);
}
