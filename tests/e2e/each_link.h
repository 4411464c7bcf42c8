// The end-to-end suites run once on each link: as the programs run when
// nothing is asked for (the fast link) and with quiet-gap framing.
#pragma once

#include <gtest/gtest.h>

#include <QStringList>
#include <ostream>
#include <string>

namespace ostrel::test {

struct LinkCase {
  const char* name;
  bool fast;
};

inline const LinkCase kEachLink[] = {{"default", true}, {"quiet_gap", false}};

// The name in a failure message, not the case's bytes.
inline void PrintTo(const LinkCase& c, std::ostream* os) {
  *os << c.name;
}

class OnEachLink : public ::testing::TestWithParam<LinkCase> {
 protected:
  bool fastLink() const { return GetParam().fast; }
  // The command-line options that choose the link (none for the default).
  QStringList linkArgs() const {
    return fastLink() ? QStringList{} : QStringList{"--link", "quiet-gap"};
  }
};

inline std::string linkCaseName(const ::testing::TestParamInfo<LinkCase>& info) {
  return info.param.name;
}

}  // namespace ostrel::test
