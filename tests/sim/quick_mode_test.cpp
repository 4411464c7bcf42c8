// ostrel-sim --quick against the host's own judgement of the timings: a demo
// with the quick timings must never end in a fault the real module would
// not cause.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "app/form_main.h"
#include "common/scripted_host.h"
#include "common/sim_generations.h"
#include "sim/presets.h"
#include "sim/sim_transport.h"

namespace ostrel::test {
namespace {

TEST(QuickMode, HostChipEraseSucceedsOnEveryGeneration) {
  for (const GenCase& g : allGenerations()) {
    // Ostrel I and II are timed per chip: both chips of the two-chip modules.
    std::vector<uint16_t> chipStarts{0};
    if (g.config.generation == SimGeneration::Ost1) chipStarts.push_back(64);
    if (g.config.generation == SimGeneration::Ost2) chipStarts.push_back(128);
    for (uint16_t chip : chipStarts) {
      SCOPED_TRACE(std::string(g.name) + " chip at " + std::to_string(chip));
      SimConfig config = g.config;
      config.timings = quickSimTimings(config.generation);
      ScriptedHost host;
      VirtualClock clock{1000};
      SimTransport comm{clock};
      auto module = comm.addModule("SIM0", config);
      comm.setCommName("SIM0");
      TForm_MAIN form(0, 0, host, clock, comm);
      form.FormCreate();
      comm.OpenPort();
      form.ModuleGeneration = Generation(config.generation);
      form.SectorCount = config.sectorCount;
      module->flash().program(chip + 3u, 0, std::vector<uint8_t>(65536, 0x5A));

      form.Memo1.clear();
      EXPECT_TRUE(form.Erase_Flash(0, chip));
      const auto& log = form.Memo1.lines;
      EXPECT_TRUE(std::none_of(log.begin(), log.end(), [](const std::string& line) {
        return line.find("0090") != std::string::npos;
      })) << (log.empty() ? "" : log.back());
      EXPECT_EQ(module->flash().state(chip + 3u), SectorState::Erased);
    }
  }
}

}  // namespace
}  // namespace ostrel::test
