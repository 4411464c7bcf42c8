#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "app/prompt_table.h"
#include "app/text_helpers.h"
#include "strict_utf8.h"

namespace ostrel {
namespace {

TEST(CodePage, OnePerLanguage) {
  EXPECT_STREQ(legacyCodePage(0), "CP1252");
  EXPECT_STREQ(legacyCodePage(1), "CP950");
  EXPECT_STREQ(legacyCodePage(2), "CP936");
  EXPECT_STREQ(legacyCodePage(3), "CP932");
  EXPECT_STREQ(legacyCodePage(4), "");
  EXPECT_STREQ(legacyCodePage(-1), "");
}

TEST(CodePage, RoundTripsWithKnownBytes) {
  struct Case {
    int language;
    std::string utf8;
    std::string legacy;
  };
  const Case cases[] = {
      {0, "Café €", "Caf\xE9 \x80"},
      // Big5 trail bytes equal to the path separator must stay inside their character.
      {1, "C:\\軟體\\許功蓋.bn", "C:\\\xB3\x6E\xC5\xE9\\\xB3\x5C\xA5\x5C\xBB\x5C.bn"},
      {2, "中文档案", "\xD6\xD0\xCE\xC4\xB5\xB5\xB0\xB8"},
      {3, "ロード～", "\x83\x8D\x81\x5B\x83\x68\x81\x60"},
      {3, "Ostrel\u3000", "Ostrel\x81\x40"},
      {0, "", ""},
      {1, "", ""},
  };
  for (const Case& c : cases) {
    std::string legacy = "stale";
    ASSERT_TRUE(utf8ToLegacy(c.language, c.utf8, legacy)) << c.utf8;
    EXPECT_EQ(legacy, c.legacy) << c.utf8;
    std::string back = "stale";
    ASSERT_TRUE(legacyToUtf8(c.language, legacy, back)) << c.utf8;
    EXPECT_EQ(back, c.utf8);
  }
}

TEST(CodePage, InvalidInputFailsWithEmptyResult) {
  struct Case {
    const char* name;
    int language;
    bool toUtf8;  // legacy -> UTF-8, else UTF-8 -> legacy
    std::string input;
  };
  const Case cases[] = {
      {"CP1252 hole 0x81", 0, true, "ab\x81"},
      {"CP1252 hole 0x9D", 0, true, "\x9D"},
      {"CP950 lead byte cut at the end", 1, true, "C:\\\xB3"},
      {"CP950 bad trail byte", 1, true, "\xB3\x20"},
      {"CP932 lead byte cut at the end", 3, true, "\x83"},
      {"CP936 lead byte cut at the end", 2, true, "\xD6"},
      {"Chinese into CP1252", 0, false, "載入"},
      {"Hangul into CP936", 2, false, "한국"},
      {"invalid UTF-8", 1, false, "\xC3\x28"},
      {"UTF-8 surrogate", 3, false, "\xED\xA0\x80"},
      {"UTF-8 overlong", 0, false, "\xC0\xAF"},
      {"UTF-8 cut at the end", 1, false, "許\xE8\xBC"},
      {"unknown language", 4, true, "abc"},
      {"negative language", -1, false, "abc"},
  };
  for (const Case& c : cases) {
    std::string out = "stale";
    const bool ok =
        c.toUtf8 ? legacyToUtf8(c.language, c.input, out) : utf8ToLegacy(c.language, c.input, out);
    EXPECT_FALSE(ok) << c.name;
    EXPECT_TRUE(out.empty()) << c.name;
  }
}

TEST(CodePage, LongTextsGrowTheOutput) {
  std::string big5;
  std::string utf8;
  for (int i = 0; i < 50000; ++i) utf8 += "許";
  ASSERT_TRUE(utf8ToLegacy(1, utf8, big5));
  EXPECT_EQ(big5.size(), 100000u);
  std::string back;
  ASSERT_TRUE(legacyToUtf8(1, big5, back));
  EXPECT_EQ(back, utf8);

  // Each 0x80 becomes three bytes, more than the first guess of the output size.
  std::string euros;
  ASSERT_TRUE(legacyToUtf8(0, std::string(20000, '\x80'), euros));
  EXPECT_EQ(euros.size(), 60000u);
}

TEST(CodePage, EveryPromptFitsItsLanguagesCodePage) {
  for (int m = 0; m < kMessageCount; ++m) {
    for (int l = 0; l < kLanguageCount; ++l) {
      std::string legacy, back;
      ASSERT_TRUE(utf8ToLegacy(l, promptText(m, l), legacy)) << m << "/" << l;
      ASSERT_TRUE(legacyToUtf8(l, legacy, back)) << m << "/" << l;
      EXPECT_EQ(back, promptText(m, l)) << m << "/" << l;
    }
  }
}

TEST(CodePage, ArbitraryBytesNeverBreakIt) {
  uint32_t state = 12345;  // rng start; fixed so failures repeat
  auto next = [&] {
    state = state * 1664525u + 1013904223u;
    return uint8_t(state >> 24);
  };
  for (int round = 0; round < 2000; ++round) {
    std::string bytes(next() % 40, '\0');
    for (char& b : bytes) b = char(next());
    for (int l = -1; l <= kLanguageCount; ++l) {
      std::string out;
      if (legacyToUtf8(l, bytes, out)) {
        EXPECT_TRUE(testing::strictUtf8(out));
      } else {
        EXPECT_TRUE(out.empty());
      }
      if (!utf8ToLegacy(l, bytes, out)) {
        EXPECT_TRUE(out.empty());
      }
      // What a control or a listing shows is UTF-8 without control
      // characters, whatever was stored.
      const std::string shown = displayText(l, bytes);
      EXPECT_TRUE(testing::strictUtf8(shown));
      EXPECT_EQ(std::count_if(shown.begin(), shown.end(),
                              [](char c) { return uint8_t(c) < 0x20 || c == 0x7F; }),
                0);
      EXPECT_EQ(shown.find("\xC2\x9B"), std::string::npos);  // no C1 escape either
    }
  }
}

}  // namespace
}  // namespace ostrel
