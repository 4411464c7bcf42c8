// A main form on a virtual clock linked to one simulated module whose
// cartridge holds a preset, for the tests of the table reads, the views and
// removal.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "app/form_main.h"
#include "common/scripted_host.h"
#include "sim/presets.h"
#include "sim/sim_transport.h"

namespace ostrel {

using Bytes = std::vector<uint8_t>;

struct TableRig {
  explicit TableRig(SimConfig config, SimPreset preset, int buildMode = 0, int language = 0) {
    config.strict = true;
    this->config = config;
    module = comm.addModule("SIM0", config);
    EXPECT_TRUE(applySimPreset(preset, config, module->flash()));
    comm.setCommName("SIM0");
    host.ports = {"SIM0"};
    form = std::make_unique<TForm_MAIN>(buildMode, language, host, clock, comm);
    form->FormCreate();
    comm.OpenPort();
    form->ModuleGeneration = Generation(config.generation);
    form->SectorCount = config.sectorCount;
    form->ResetBlockTable();
  }
  bool ost4() const { return config.generation == SimGeneration::Ost4; }
  // The tables as detection reads them.
  bool readTables() {
    if (ost4() && !form->Function_Read_MAPPING_TABLE()) return false;
    return form->Function_ReadFAT();
  }
  Bytes flash(uint32_t sector) const { return module->flash().read(sector); }
  const std::vector<std::string>& log() const { return form->Memo1.lines; }
  bool memoHas(const std::string& line) const {
    return std::find(log().begin(), log().end(), line) != log().end();
  }
  long logIndex(const std::string& line) const {
    const auto& l = log();
    auto it = std::find(l.begin(), l.end(), line);
    return it == l.end() ? -1 : long(it - l.begin());
  }
  long lastLogIndex(const std::string& line) const {
    const auto& l = log();
    for (size_t i = l.size(); i-- > 0;)
      if (l[i] == line) return long(i);
    return -1;
  }
  bool sentStartsWith(const Bytes& prefix) const {
    for (const auto& s : comm.sentLog())
      if (s.bytes.size() >= prefix.size() &&
          std::equal(prefix.begin(), prefix.end(), s.bytes.begin()))
        return true;
    return false;
  }
  std::string violations() const {
    std::string all;
    for (const auto& v : module->violations()) all += v.text + "\n";
    return all;
  }

  SimConfig config;
  ScriptedHost host;
  VirtualClock clock{1000};
  SimTransport comm{clock};
  std::shared_ptr<ModuleSim> module;
  std::unique_ptr<TForm_MAIN> form;
};

}  // namespace ostrel
