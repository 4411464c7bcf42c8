#pragma once

#include <cstdint>

namespace ostrel {

// The module's generation as the identification reply names it and as the
// burn journal and the port listing store it: one byte, 0..3. Unscoped so the
// byte indexes tables and goes on the wire as it is.
enum Generation : uint8_t { OstrelI = 0, OstrelII = 1, OstrelIII = 2, OstrelIV = 3 };

// The build: DEBUG and R&D are the engineering builds (every command), the
// customer build installs and removes packages only.
enum BuildKind : uint8_t { DebugBuild = 0, RndBuild = 1, CustomerBuild = 2 };

}  // namespace ostrel
