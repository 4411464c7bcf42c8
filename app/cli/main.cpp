// ostrel-cli: the main form without a window, for scripts and production lines.
//   ostrel-cli [options] detect        find and identify the module
//   ostrel-cli [options] list [--json] print the cartridge catalogue
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>
#include <cstring>
#include <string>

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
      "usage: ostrel-cli [--mode 0|1|2] [--port PATH] [--yes|--no] [--quiet] COMMAND\n"
      "commands:\n"
      "  detect          find and identify the module; exit 0 when one is connected, 1 when not\n"
      "  list [--json]   detect, then print the cartridge catalogue: slot, kind, brand,\n"
      "                  version, start sector, sector count, directory\n"
      "options:\n"
      "  --mode N        build mode of the form core: 2 customer (default), 1 R&D, 0 DEBUG\n"
      "  --port PATH     probe only this serial device instead of every port\n"
      "  --yes, --no     answer every question of the program (default: ask on a terminal, else "
      "no)\n"
      "  --quiet         print only results and faults\n"
      "example:\n"
      "  ostrel-cli detect\n"
      "  ostrel-cli list --json > catalogue.json\n");
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

void printCatalogue(const ostrel::TForm_MAIN& form, bool json) {
  using namespace ostrel;
  const CartridgeCatalogue& cat = form.CartridgeCatalogue;
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
    const std::string path = displayPath(e, form.Language);
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

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  int mode = ostrel::kDeliveredBuildMode;
  auto answer = ostrel::CliHost::Answer::Ask;
  bool quiet = false;
  bool json = false;
  std::string port, command;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--mode" && i + 1 < argc) {
      mode = std::atoi(argv[++i]);
      if (mode < 0 || mode > 2) return usage(2);
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
    } else {
      return usage(2);
    }
  }
  if (command != "detect" && command != "list") return usage(2);

  using namespace ostrel;
  QtClock clock;
  TComm comm;
  applyComm1Values(comm);
  PortHost host(writableProgramDirectory(currentExecutablePath()), answer, quiet);
  host.onlyPort = port;
  TForm_MAIN form(mode, kDeliveredLanguage, host, clock, comm);
  form.FormCreate();

  form.Function_Detect();
  if (command == "list") {
    const bool connected = form.Connected;
    if (connected)
      printCatalogue(form, json);
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
