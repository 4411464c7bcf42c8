// Natural order of names: runs of digits compare by value, so ttyACM2 comes
// before ttyACM10.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ostrel {

// Strict weak order. Digit runs compare by value (leading zeros ignored, the
// shorter spelling first on a tie), everything else byte by byte.
bool naturalLess(std::string_view a, std::string_view b);
void sortNatural(std::vector<std::string>& names);

}  // namespace ostrel
