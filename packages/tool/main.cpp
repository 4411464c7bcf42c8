// ostrel-pkg: package files for engineers and scripts, without a module.
// Reads, writes and builds .bn packages and turns S-record and binary files
// into cartridge images, with the same codecs the window uses.
#include <QByteArray>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
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
#include "packages/tool/description.h"

namespace ostrel {
namespace {

constexpr int kExitOk = 0, kExitFault = 1, kExitUsage = 2;

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
    "                                   an S-record file as an image; data past N\n"
    "                                   sectors (a module's count; the largest\n"
    "                                   cartridge when not given) is refused\n"
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
  std::fprintf(stderr, "%s%.*s\n", std::string(promptText(Msg::FaultPrefix, language)).c_str(),
               int(code.size()), code.data());
  for (const std::string& line : lines)
    std::fprintf(stderr, "%s\n", displayText(language, line).c_str());
  complain(file);
  return kExitFault;
}

LegacyTextConverter converterFor(int language) {
  return
      [language](std::string_view in, std::string& out) { return legacyToUtf8(language, in, out); };
}

// Milliseconds of the day: the writer's keys differ from run to run.
uint32_t keyStart() {
  using namespace std::chrono;
  return uint32_t(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count() %
                  86400000);
}

// An input file to read piece by piece; exit code 0 when open.
int openInput(const std::string& path, uint64_t limit, int language, FileSource& source) {
  std::string error;
  if (!source.open(path, error)) {
    complain(error);
    return fault(language, FaultCode::k0010, {}, path);
  }
  if (source.size() > limit) return fault(language, FaultCode::k0018, {}, path);
  return kExitOk;
}

// The output's failure, which explains a failed step better than its fault.
int outputFailure(const ReplacingFile& out) {
  complain(out.error());
  return kExitFault;
}

// ---------------------------------------------------------------- info / unpack

// Reads a package, its image block by block into sink (none: only checked).
int readPackageFile(const std::string& path, int language, PackageRead& read,
                    const BlockSink& sink = {}, const ReplacingFile* output = nullptr) {
  FileSource source;
  if (int rc = openInput(path, kLargestPackageBytes, language, source)) return rc;
  read = readPackageInto(source, converterFor(language), sink);
  if (read.fault.empty()) return kExitOk;
  if (output && !output->error().empty()) return outputFailure(*output);
  return fault(language, read.fault, read.faultLines, path);
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
    doc["blocks"] = double(read.blocks);
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
  std::printf("blocks:    %u\n", unsigned(read.blocks));
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

// Each block goes to the output as it is read; the output replaces the
// file only when the whole package has been read and checked.
int unpack(const std::string& path, const std::string& output, int language) {
  ReplacingFile out;
  if (!out.open(output)) return outputFailure(out);
  PackageRead read;
  if (int rc = readPackageFile(
          path, language, read,
          [&out](uint32_t, std::span<const uint8_t> block, uint32_t) { return out.write(block); },
          &out))
    return rc;
  return out.commit() ? kExitOk : outputFailure(out);
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

// A package writer whose records go to the output file.
PackageWriter::Output into(ReplacingFile& out) {
  return [&out](uint64_t offset, std::span<const uint8_t> bytes) {
    return out.writeAt(offset, bytes);
  };
}

// The image is read and packed one block at a time.
int pack(const std::string& path, const std::string& output, const PackageIdentity& identity,
         int language) {
  FileSource image;
  if (int rc = openInput(path, kLargestImageBytes, language, image)) return rc;
  if (image.size() % kSectorSize != 0 || image.size() < 2 * kSectorSize)
    return failure(path + ": not a whole number (at least 2) of 64 KiB blocks");
  ReplacingFile out;
  if (!out.open(output)) return outputFailure(out);
  const uint32_t blocks = uint32_t(image.size() / kSectorSize);
  PackageWriter writer(identity, keyStart(), blocks, into(out));
  for (uint32_t b = 0; b < blocks; ++b) {
    const std::span<const uint8_t> block = image.fetch(uint64_t(b) * kSectorSize, kSectorSize);
    if (block.size() != kSectorSize) return fault(language, FaultCode::k0010, {}, path);
    if (!writer.add(block)) return outputFailure(out);
  }
  if (!writer.finish() || !out.commit()) return outputFailure(out);
  return kExitOk;
}

void printImage(const FlashImageLoad& r) {
  std::printf("blocks: %u  last address: %s  checksum: %s\n", unsigned(r.blockCount),
              upperHex(uint32_t(uint64_t(r.blockCount) * kSectorSize - 1), 8).c_str(),
              upperHex(r.checksum, 4).c_str());
}

// The text is read a piece at a time, and the image is written into the
// output as it is made: one block is held, the one records write into.
int srec2bin(const std::string& path, const std::string& output, uint32_t sectors, int language) {
  FileSource text;
  if (int rc = openInput(path, kLargestSRecordBytes, language, text)) return rc;
  ReplacingFile out;
  if (!out.open(output)) return outputFailure(out);
  BlockImage image(std::min(sectors, kLargestCartridgeSectors),
                   {[&out](uint32_t block, std::span<const uint8_t> data) {
                      return out.writeAt(uint64_t(block) * kSectorSize, data);
                    },
                    [&out](uint32_t block, std::span<uint8_t> data) {
                      return out.readAt(uint64_t(block) * kSectorSize, data);
                    }});
  const FlashImageLoad r = readSRecords(text, image);
  if (!out.error().empty()) return outputFailure(out);
  if (!r.fault.empty()) return fault(language, r.fault, r.faultLines, path);
  if (!image.putAll(r.blockCount) || !out.commit()) return outputFailure(out);
  printImage(r);
  return kExitOk;
}

int bin2image(const std::string& path, const std::string& output, int language) {
  std::vector<uint8_t> bytes;
  if (int rc = readInput(path, kLargestImageBytes, language, bytes)) return rc;
  const FlashImageLoad r = convertBinary(std::move(bytes));
  if (!r.fault.empty()) return fault(language, r.fault, r.faultLines, path);
  if (r.image.empty()) return failure(path + ": empty");
  std::string error;
  if (!writeWholeFile(output, r.image, &error)) return failure(error);
  printImage(r);
  return kExitOk;
}

// ---------------------------------------------------------------- build

// A description of 256 entries takes some dozen KiB.
constexpr uint64_t kLargestDescriptionBytes = 1 << 20;

// A data file, read a sector at a time while the package is written.
bool openData(const std::string& path, SoftwareData& data, std::string& error) {
  auto source = std::make_shared<FileSource>();
  if (!source->open(path, error)) return false;
  if (source->size() > kLargestImageBytes) {
    error = path + ": larger than " + std::to_string(kLargestImageBytes) + " bytes";
    return false;
  }
  data.size = source->size();
  data.read = [source](uint32_t k, std::span<uint8_t> out) {
    const std::span<const uint8_t> bytes = source->fetch(uint64_t(k) * kSectorSize, out.size());
    if (bytes.size() != out.size()) return false;
    std::memcpy(out.data(), bytes.data(), bytes.size());
    return true;
  };
  return true;
}

// Sizes are checked before any data is read; the package is written as its
// blocks come.
int build(const std::string& path, const std::string& output, int language) {
  std::vector<uint8_t> json;
  std::string error;
  if (readWholeFile(path, json, kLargestDescriptionBytes, &error) != FileReadResult::Ok)
    return failure(error);
  const Description d = readDescription(
      QByteArray(reinterpret_cast<const char*>(json.data()), qsizetype(json.size())),
      QFileInfo(QString::fromStdString(path)).absolutePath(), language, openData);
  if (!d.error.empty()) return failure(path + ": " + d.error);
  const PackageLayout layout = layOutPackage(d.software);
  if (!layout.error.empty()) return failure(path + ": " + layout.error);
  ReplacingFile out;
  if (!out.open(output)) return outputFailure(out);
  PackageWriter writer(d.identity, keyStart(), layout.blocks, into(out));
  const std::string why = writeLaidOutPackage(layout, d.software, writer);
  if (!out.error().empty()) return outputFailure(out);
  if (!why.empty()) return failure(path + ": " + why);
  return out.commit() ? kExitOk : outputFailure(out);
}

}  // namespace
}  // namespace ostrel

int main(int argc, char** argv) {
  using namespace ostrel;
  installInterruptCleanup();  // Ctrl+C or a kill leaves no half-written output
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
    return srec2bin(file, output, sectors.value_or(kLargestCartridgeSectors), language);
  return bin2image(file, output, language);
}
