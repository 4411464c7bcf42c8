// The fast link, the default: with bytes handed over as they arrive, cut at
// random points and joined with the next reply, detection, the tables, a
// program, a verify, a read, the check and a quality-control step still work
// on every generation, in virtual time; against replies it cannot delimit it
// falls back to quiet-gap framing and the same jobs still work.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/rechunking_transport.h"
#include "common/sim_generations.h"
#include "flash_rig.h"
#include "sim/presets.h"

namespace ostrel::test {
namespace {

// Software written into free sectors 50..52 (patterns of the draw),
// verified, and sector 51 read back.
void writeVerifyAndReadBack(TForm_MAIN& form, uint32_t draw) {
  form.PackageImage.Clear();
  for (uint16_t s = 50; s < 53; ++s) {
    const Bytes data = sectorPattern(s + draw);
    form.PackageImage.Write(data);
    planSectorWrite(form.BlockTable[s], data, true, uint16_t(s - 50));
  }
  form.ImageBlockCount = 60;
  ASSERT_TRUE(form.Function_Program());
  EXPECT_TRUE(form.Function_Verify());
  form.Function_ReadSector(51, false);
  ASSERT_EQ(form.ReadBuffer.Size(), 65536u);
  EXPECT_TRUE(Bytes(form.ReadBuffer.Bytes().begin(), form.ReadBuffer.Bytes().end()) ==
              sectorPattern(51 + draw));
}

TEST(FastLink, EveryExchangeSurvivesRepliesCutAndJoinedAtRandom) {
  for (const auto& g : allGenerations()) {
    for (uint32_t draw : {1u, 2u, 3u}) {
      SCOPED_TRACE(std::string(g.name) + " draw " + std::to_string(draw));
      VirtualClock clock{1000};
      SimTransport sim{clock};
      SimConfig config = g.config;
      config.strict = true;
      auto module = sim.addModule("SIM0", config);
      ASSERT_TRUE(applySimPreset(SimPreset::Demo, config, module->flash()));
      RechunkingTransport link(clock, sim, draw);
      ScriptedHost host;
      host.ports = {"SIM0"};
      TForm_MAIN form(1, 0, host, clock, link);
      form.FormCreate();
      EXPECT_TRUE(form.FastLink);
      EXPECT_EQ(link.ReadIntervalTimeout(), 0u);

      form.Function_Detect();
      ASSERT_TRUE(form.Connected);
      EXPECT_EQ(form.CartridgeCatalogue.header.entryCount, demoCatalogue().size());
      // The presence check, and a new identification while the last module's
      // generation still chooses the parser.
      form.Function_Detect();
      ASSERT_TRUE(form.Connected);
      link.ClosePort();
      form.Connected = false;
      form.Function_Detect();
      ASSERT_TRUE(form.Connected);

      ASSERT_NO_FATAL_FAILURE(writeVerifyAndReadBack(form, draw));
      if (config.generation <= SimGeneration::Ost2) {
        EXPECT_TRUE(form.Function_Check());
      }

      // A quality-control step streams its marks; an Ostrel I/II one is framed.
      const bool passed = config.generation <= SimGeneration::Ost2 ? form.OST1_2_Function_QC(0)
                                                                   : form.OST3_Function_QC(0);
      EXPECT_TRUE(passed);
      EXPECT_EQ(module->violations().size(), 0u);
    }
  }
}

// A module whose Ostrel III/IV acknowledgements carry a byte more: the fast
// link cannot tell where such a reply ends, so each connection falls back to
// quiet-gap framing once, noted once in the debug log, and detection, the
// tables, a write, its verify and a read back still come out right. Ostrel
// I/II frames carry their length: that link stays fast.
TEST(FastLink, FallsBackToTheQuietGapWhenRepliesCannotBeDelimited) {
  for (const auto& g : allGenerations()) {
    SCOPED_TRACE(g.name);
    VirtualClock clock{1000};
    SimTransport sim{clock};
    SimConfig config = g.config;
    config.trailingByte = true;
    auto module = sim.addModule("SIM0", config);
    ASSERT_TRUE(applySimPreset(SimPreset::Demo, config, module->flash()));
    ScriptedHost host;
    host.ports = {"SIM0"};
    TForm_MAIN form(1, 0, host, clock, sim);
    form.FormCreate();
    const bool raw = config.generation >= SimGeneration::Ost3;
    auto fallbacks = [&] {
      return std::count_if(form.Memo2.lines.begin(), form.Memo2.lines.end(), [](const auto& l) {
        return l.find("quiet-gap framing for the rest of this connection") != std::string::npos;
      });
    };

    for (int connection = 0; connection < 2; ++connection) {
      sim.ClosePort();
      form.Connected = false;
      form.Function_Detect();
      ASSERT_TRUE(form.Connected);
      EXPECT_EQ(form.CartridgeCatalogue.header.entryCount, demoCatalogue().size());
      EXPECT_EQ(form.FastLink, !raw);
      EXPECT_EQ(sim.ReadIntervalTimeout(), raw ? 10u : 0u);

      ASSERT_NO_FATAL_FAILURE(writeVerifyAndReadBack(form, uint32_t(connection)));
      EXPECT_EQ(fallbacks(), raw ? 1 : 0);  // the detection clears the log
    }
    // The user's choice is kept: the next connection starts fast again.
    EXPECT_TRUE(form.FastLinkChosen);
  }
}

}  // namespace
}  // namespace ostrel::test
