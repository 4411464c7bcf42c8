// One simulated module of each generation, for tests that run a rule on all four.
#pragma once

#include <vector>

#include "sim/module_sim.h"

namespace ostrel {

struct GenCase {
  const char* name;
  SimConfig config;
};

inline std::vector<GenCase> allGenerations() {
  return {{"Ostrel I", SimConfig::ostrel1()},
          {"Ostrel II", SimConfig::fromTypeCode(0x81)},
          {"Ostrel III", SimConfig::fromTypeCode(0x84)},
          {"Ostrel IV", SimConfig::fromTypeCode(0x89)}};
}

}  // namespace ostrel
