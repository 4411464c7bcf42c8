// ostrel-cli: the main form without a window, for scripts and production lines.
//   ostrel-cli [options] detect        find and identify the module
//   ostrel-cli [options] list [--json] print the cartridge catalogue
//   ostrel-cli [options] load FILE...  load files as the LOAD button does
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "app/cli/cli_host.h"
#include "app/form_main.h"
#include "app/prompt_table.h"
#include "app/qt_clock.h"
#include "app/text_helpers.h"
#include "cartfs/fat.h"
#include "link/tcomm.h"

namespace {

int usage(int code) {
  std::printf(
      "usage: ostrel-cli [--mode 0|1|2] [--language 0..3] [--port PATH] [--yes|--no] [--quiet]\n"
      "                  COMMAND\n"
      "commands:\n"
      "  detect          find and identify the module; exit 0 when one is connected, 1 when not\n"
      "  list [--json]   detect, then print the cartridge catalogue: slot, kind, brand,\n"
      "                  version, start sector, sector count, directory\n"
      "  load FILE... [--json]\n"
      "                  detect, then load the files as the LOAD button does (.bn package,\n"
      "                  .bin binary image, anything else S-record; mode 2 loads packages\n"
      "                  only) and print the loaded entries; exit 1 when a file fails\n"
      "options:\n"
      "  --mode N        build mode of the form core: 2 customer (default), 1 R&D, 0 DEBUG\n"
      "  --language N    language of the texts and legacy code page of directory names:\n"
      "                  0 English (default), 1 and 2 Chinese, 3 Japanese\n"
      "  --port PATH     probe only this serial device instead of every port\n"
      "  --yes, --no     answer every question of the program (default: ask on a terminal, else "
      "no)\n"
      "  --quiet         print only results and faults\n"
      "example:\n"
      "  ostrel-cli detect\n"
      "  ostrel-cli list --json > catalogue.json\n"
      "  ostrel-cli load europe.bn asia.bn\n"
      "  ostrel-cli --mode 0 load firmware.hx\n");
  return code;
}

// Lists the ports to probe: every candidate, or just the one named.
class PortHost : public ostrel::CliHost {
 public:
  using CliHost::CliHost;
  std::vector<std::string> portList(const ostrel::PortNote& note) override {
    if (!onlyPort.empty()) return {onlyPort};
    return CliHost::portList(note);
  }
  std::string onlyPort;
};

// A directory path as stored: UTF-8, or text in the build language's legacy code page.
std::string displayPath(const ostrel::FatEntry& e, int language) {
  std::string_view raw = ostrel::fatPathText(e);
  if (ostrel::Isutf8str(raw)) return std::string(raw);
  std::string out;
  return ostrel::legacyToUtf8(language, raw, out) ? out : std::string(raw);
}

void printCatalogue(const ostrel::CartridgeCatalogue& cat, int language, bool json) {
  using namespace ostrel;
  const size_t count = std::min<size_t>(cat.header.entryCount, cat.entries.size());
  QJsonArray rows;
  if (!json)
    std::printf("%-5s %-4s %-26s %-30s %6s %6s  %s\n", "slot", "kind", "brand", "version", "start",
                "count", "directory");
  for (size_t i = 0; i < count; ++i) {
    const FatEntry& e = cat.entries[i];
    if (e.kind == 0) continue;
    const std::string brand(fatText(e.brand));
    std::string version(fatText(e.version));
    const std::string extra(fatText(e.versionExtra));
    if (!extra.empty()) version += " " + extra;
    const std::string path = displayPath(e, language);
    if (json) {
      QJsonObject row;
      row["slot"] = int(i + 1);
      row["kind"] = int(e.kind);
      row["brand"] = QString::fromStdString(brand);
      row["version"] = QString::fromStdString(version);
      row["start"] = int(e.startSector);
      row["count"] = int(e.sectorCount);
      row["path"] = QString::fromStdString(path);
      rows.append(row);
    } else {
      std::printf("%-5zu %-4u %-26s %-30s %6u %6u  %s\n", i + 1, unsigned(e.kind), brand.c_str(),
                  version.c_str(), unsigned(e.startSector), unsigned(e.sectorCount), path.c_str());
    }
  }
  if (json) std::printf("%s", QJsonDocument(rows).toJson(QJsonDocument::Indented).constData());
}

// The dialog's filter index for a file: 1 package, 2 S-record, 3 binary.
int filterFor(const std::string& file) {
  auto endsWith = [&](const char* ext) {
    const size_t n = std::strlen(ext);
    if (file.size() < n) return false;
    for (size_t i = 0; i < n; ++i)
      if (std::tolower(static_cast<unsigned char>(file[file.size() - n + i])) != ext[i])
        return false;
    return true;
  };
  if (endsWith(".bn")) return 1;
  if (endsWith(".bin")) return 3;
  return 2;
}

// load: each run of packages goes through one dialog, as several files chosen
// at once; an S-record or binary file is a dialog of its own.
int loadFiles(ostrel::TForm_MAIN& form, PortHost& host, const std::vector<std::string>& files,
              bool json, bool quiet) {
  using namespace ostrel;
  std::vector<std::pair<int, std::vector<std::string>>> runs;
  for (const std::string& f : files) {
    const int filter = filterFor(f);
    if (filter == 1 && !runs.empty() && runs.back().first == 1)
      runs.back().second.push_back(f);
    else
      runs.push_back({filter, {f}});
  }
  size_t loaded = 0;
  bool image = false;
  const size_t logStart = form.Memo1.lines.size();
  for (const auto& [filter, chosen] : runs) {
    host.files = chosen;
    form.OpenDialogFilterIndex = filter;
    form.Function_Load();
    loaded += size_t(form.LastLoadCount);
    image = image || (filter != 1 && form.LastLoadCount > 0);
  }
  const std::string faultPrefix = form.Prompt(63);
  for (size_t i = logStart; i < form.Memo1.lines.size(); ++i) {
    const std::string& line = form.Memo1.lines[i];
    if (line.rfind(faultPrefix, 0) == 0)
      std::fprintf(stderr, "%s\n", line.c_str());
    else if (!quiet && !json && !line.empty())
      std::printf("%s\n", line.c_str());
  }
  printCatalogue(form.LoadedCatalogue, form.Language, json);
  if (image && !json)
    std::printf("Flash image: %u blocks, checksum %s, last address %s\n",
                unsigned(form.ImageBlockCount), form.StaticText_Checksum.text.c_str(),
                form.StaticText_PROG_Size.text.c_str());
  return loaded == files.size() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  int mode = ostrel::kDeliveredBuildMode;
  int language = ostrel::kDeliveredLanguage;
  std::vector<std::string> files;
  auto answer = ostrel::CliHost::Answer::Ask;
  bool quiet = false;
  bool json = false;
  std::string port, command;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--mode" && i + 1 < argc) {
      mode = std::atoi(argv[++i]);
      if (mode < 0 || mode > 2) return usage(2);
    } else if (a == "--language" && i + 1 < argc) {
      const std::string v = argv[++i];
      if (v.size() != 1 || v[0] < '0' || v[0] > '3') return usage(2);
      language = v[0] - '0';
    } else if (a == "--port" && i + 1 < argc) {
      port = argv[++i];
    } else if (a == "--yes") {
      answer = ostrel::CliHost::Answer::Yes;
    } else if (a == "--no") {
      answer = ostrel::CliHost::Answer::No;
    } else if (a == "--json") {
      json = true;
    } else if (a == "--quiet") {
      quiet = true;
    } else if (a == "--help" || a == "-h") {
      return usage(0);
    } else if (command.empty() && a[0] != '-') {
      command = a;
    } else if (command == "load" && a[0] != '-') {
      files.push_back(a);
    } else {
      return usage(2);
    }
  }
  if (command != "detect" && command != "list" && command != "load") return usage(2);
  if (command == "load") {
    if (files.empty()) return usage(2);
    for (const std::string& f : files) {
      if (mode == 2 && filterFor(f) != 1) {
        std::fprintf(stderr,
                     "ostrel-cli: %s: the customer build (--mode 2) loads .bn packages only\n",
                     f.c_str());
        return 2;
      }
    }
  }

  using namespace ostrel;
  QtClock clock;
  TComm comm;
  applyComm1Values(comm);
  PortHost host(writableProgramDirectory(currentExecutablePath()), answer, quiet);
  host.onlyPort = port;
  TForm_MAIN form(mode, language, host, clock, comm);
  form.FormCreate();

  form.Function_Detect();
  if (command == "load") {
    // LOAD needs a module, and an S-record image its sector count.
    if (!form.Connected) {
      std::fprintf(stderr, "%s\n", form.StaticText_Device_1.text.c_str());
      form.FormClose();
      return 1;
    }
    const int rc = loadFiles(form, host, files, json, quiet);
    form.FormClose();
    return rc;
  }
  if (command == "list") {
    const bool connected = form.Connected;
    if (connected)
      printCatalogue(form.CartridgeCatalogue, form.Language, json);
    else
      std::fprintf(stderr, "%s\n", form.StaticText_Device_1.text.c_str());
    form.FormClose();
    return connected ? 0 : 1;
  }
  for (const std::string& line : form.Memo1.lines)
    if (!line.empty()) std::printf("%s\n", line.c_str());
  std::printf("%s\n", form.StaticText_Device_1.text.c_str());
  if (form.Connected) {
    std::printf("Port: %s\n", comm.CommName().c_str());
    std::printf("Aux No.: %s\n", form.StaticText_AuxNo.text.c_str());
    std::printf("ID: %s\n", form.StaticText_ID.text.c_str());
    std::printf("Sectors: %u\n", unsigned(form.SectorCount));
  } else if (!form.StaticText_Status2.text.empty()) {
    std::printf("%s\n", form.StaticText_Status2.text.c_str());
  }
  const bool connected = form.Connected;
  form.FormClose();
  return connected ? 0 : 1;
}
