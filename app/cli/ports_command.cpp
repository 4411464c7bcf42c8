#include "app/cli/ports_command.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>

#include "app/cli/catalogue_print.h"
#include "app/prompt_table.h"
#include "link/port_list.h"
#include "link/tcomm.h"

namespace ostrel {

namespace {

QJsonObject moduleJson(const std::string& port, Generation generation, const std::string& aux,
                       const std::string& id, int sectors) {
  return {{"port", QString::fromStdString(port)},
          {"generation", QString::fromStdString(generationName(generation))},
          {"aux", QString::fromStdString(aux)},
          {"id", QString::fromStdString(id)},
          {"sectors", sectors}};
}

QJsonObject probeJson(const PortProbe& p) {
  QJsonObject o;
  if (p.status == PortStatus::Module)
    o = moduleJson(p.port, p.id.generation, probeAuxText(p), probeIdText(p), p.id.sectorCount);
  o["port"] = QString::fromStdString(p.port);
  o["status"] = portStatusWord(p.status);
  if (p.status != PortStatus::Module) o["reason"] = QString::fromStdString(portProbeText(p));
  return o;
}

void say(const std::string& line) {
  std::fprintf(stderr, "ostrel-cli: %s\n", line.c_str());
}

std::vector<PortProbe> modulesOf(const std::vector<PortProbe>& probes) {
  std::vector<PortProbe> modules;
  for (const PortProbe& p : probes)
    if (p.answered()) modules.push_back(p);
  return modules;
}

// What detect prints when it found nothing: the status line, as the window.
int noModule(const CliOptions& opt) {
  if (opt.command == "detect" && !opt.json)
    std::printf("%s\n", std::string(promptText(Msg::NoDevice, opt.language)).c_str());
  return kExitFailed;
}

}  // namespace

std::vector<PortProbe> scanCandidatePorts(Clock& clock, int buildMode, const PortNote& note) {
  TComm port;
  applyComm1Values(port);
  std::vector<PortProbe> probes;
  for (const std::string& path : listSerialPorts("/dev", defaultVirtualPortDir(), note))
    probes.push_back(probePort(port, clock, path, buildMode));
  return probes;
}

int runPorts(const CliOptions& opt, Clock& clock) {
  std::vector<PortProbe> probes;
  if (opt.ports.empty()) {
    probes = scanCandidatePorts(clock, opt.mode, [&](const std::string& t) {
      if (!opt.quiet) say(t);
    });
  } else {
    TComm port;
    applyComm1Values(port);
    probes.push_back(probePort(port, clock, portPathFor(opt.ports.front()), opt.mode));
  }
  if (opt.json) {
    QJsonArray list;
    for (const PortProbe& p : probes) list.append(probeJson(p));
    printJson(QJsonDocument(list));
  } else if (probes.empty()) {
    std::printf(
        "No serial port found (USB serial ports: /dev/ttyACM*, /dev/ttyUSB*; "
        "simulated modules: %s).\n",
        defaultVirtualPortDir().c_str());
  } else {
    for (const PortProbe& p : probes) std::printf("%s\n", portProbeText(p).c_str());
  }
  return kExitOk;
}

int choosePort(const CliOptions& opt, Clock& clock, std::string& chosen) {
  chosen.clear();
  if (!opt.ports.empty()) {
    TComm port;
    applyComm1Values(port);
    const PortProbe probe = probePort(port, clock, portPathFor(opt.ports.front()), opt.mode);
    if (!probe.answered()) {
      say(portProbeText(probe));
      return noModule(opt);
    }
    chosen = probe.port;
    return -1;
  }
  const std::vector<PortProbe> probes = scanCandidatePorts(clock, opt.mode, {});
  const std::vector<PortProbe> modules = modulesOf(probes);
  if (modules.size() == 1) {
    chosen = modules.front().port;
    return -1;
  }
  if (modules.empty()) {
    // The form's own scan would find nothing either; say why for each port.
    if (probes.empty())
      say("no serial port found; ostrel-cli ports lists where modules are looked for");
    for (const PortProbe& p : probes) say(portProbeText(p));
    return noModule(opt);
  }
  if (opt.command == "detect") {
    if (opt.json) {
      QJsonArray list;
      for (const PortProbe& p : modules) list.append(probeJson(p));
      printJson(QJsonDocument(list));
    } else {
      std::printf("%zu modules answer:\n", modules.size());
      for (const PortProbe& p : modules) std::printf("%s\n", portProbeText(p).c_str());
    }
    return kExitOk;
  }
  say(std::to_string(modules.size()) + " modules answer; " + opt.command +
      " needs to know which: add --port and one of these ports:");
  for (const PortProbe& p : modules)
    std::fprintf(stderr, "  --port %s   (%s)\n", p.port.c_str(),
                 portProbeText(p).substr(p.port.size() + 2).c_str());
  return kExitUsage;
}

void printDetectedJson(Cli& c) {
  const TForm_MAIN& f = c.form;
  printJson(QJsonDocument(moduleJson(c.comm.CommName(), f.ModuleGeneration, f.StaticText_AuxNo.text,
                                     f.StaticText_ID.text, int(f.SectorCount))));
}

}  // namespace ostrel
