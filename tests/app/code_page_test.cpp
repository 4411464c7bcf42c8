#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
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

// A control character as the display rule names them: C0, DEL, C1 and the
// bidirectional embeddings, overrides and isolates.
bool controlCodePoint(uint32_t cp) {
  return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || (cp >= 0x202A && cp <= 0x202E) ||
         (cp >= 0x2066 && cp <= 0x2069);
}

// Well-formed UTF-8 with each control character turned into U+FFFD, worked
// out here code point by code point.
std::string controlsReplaced(const std::string& utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    const auto b = uint8_t(utf8[i]);
    const size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    uint32_t cp = n == 1 ? b : b & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) cp = cp << 6 | (uint8_t(utf8[i + k]) & 0x3F);
    out += controlCodePoint(cp) ? "\uFFFD" : utf8.substr(i, n);
    i += n;
  }
  return out;
}

TEST(CodePage, DisplayTextShowsEveryStoredTextReadableAndInert) {
  const std::string r = "\uFFFD";
  struct Case {
    int language;
    std::string stored, shown;
  };
  const Case cases[] = {
      {0, "Caf\xC3\xA9 \xE4\xB8\xAD", "Café 中"},
      {0, "legacy\xFF\xFE", "legacyÿþ"},
      {0, "CAF\xC9", "CAFÉ"},                // ends as a cut UTF-8 sequence would
      {0, "ab\x81\xE9", "ab" + r + "é"},     // 0x81 is a hole of CP1252
      {1, "\xA4\xA4\xA4 ", "中" + r + " "},  // a Big5 lead byte without its trail
      {3, "\x83\x8D\x81\x5B\x83\x68", "ロード"},
      {1, "\x1B\xA4\xA4", r + "中"},  // legacy text has no controls either
      {0, "\x1B]0;X\x07\x1B[2J", r + "]0;X" + r + r + "[2J"},
      {0, "a\x7Fz\tc\r\n", "a" + r + "z" + r + "c" + r + r},
      {0, "V\xC2\x9B[J\xC2\x85", "V" + r + "[J" + r},  // CSI and NEL as characters
      {0, "DE\xE2\x80\xAEkoob", "DE" + r + "koob"},    // right-to-left override
      {0, "\xE2\x80\xAA\xE2\x80\xAC\xE2\x81\xA6\xE2\x81\xA9", r + r + r + r},
      // Their neighbours are ordinary characters.
      {0, "\xC2\xA0\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xB0",
       "\xC2\xA0\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xB0"},
  };
  for (const Case& c : cases) EXPECT_EQ(displayText(c.language, c.stored), c.shown) << &c - cases;
}

TEST(CodePage, ArbitraryTextsNeverBreakIt) {
  uint32_t state = 12345;  // fixed start number, so failures repeat
  auto next = [&] {
    state = state * 1664525u + 1013904223u;
    return uint8_t(state >> 24);
  };
  // Stored texts are drawn from these pieces and from single bytes of any
  // value: the controls the rule catches beside neighbours it must leave.
  // clang-format off
  const std::string pieces[] = {
      "a", "\\", "\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80", "\x1B", "\x07", "\x7F",
      "\xC2\x80", "\xC2\x9B", "\xC2\x9F", "\xC2\xA0", "\xE2\x80\xAA", "\xE2\x80\xAE",
      "\xE2\x80\xAF", "\xE2\x81\xA5", "\xE2\x81\xA6", "\xE2\x81\xA9"};
  // clang-format on
  // Each CP1252 byte as shown on its own.
  std::string cp1252[256];
  for (int b = 0; b < 256; ++b) {
    std::string out;
    cp1252[b] = legacyToUtf8(0, std::string(1, char(b)), out) ? controlsReplaced(out) : "\uFFFD";
  }
  for (int round = 0; round < 2000; ++round) {
    std::string bytes;
    for (int n = next() % 16; n > 0; --n)
      bytes += next() % 3 == 0 ? std::string(1, char(next())) : pieces[next() % std::size(pieces)];
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
      // What is shown is UTF-8 without control characters, whatever was
      // stored, and showing it again changes nothing.
      const std::string shown = displayText(l, bytes);
      ASSERT_TRUE(testing::strictUtf8(shown));
      EXPECT_EQ(controlsReplaced(shown), shown);
      EXPECT_EQ(displayText(l, shown), shown);
      // UTF-8 and text the code page reads whole lose only their controls; in
      // CP1252 every other byte shows as its own character or as U+FFFD.
      if (testing::strictUtf8(bytes)) {
        EXPECT_EQ(shown, controlsReplaced(bytes));
      } else if (legacyToUtf8(l, bytes, out)) {
        EXPECT_EQ(shown, controlsReplaced(out));
      } else if (l == 0) {
        std::string each;
        for (char b : bytes) each += cp1252[uint8_t(b)];
        EXPECT_EQ(shown, each);
      }
    }
  }
}

}  // namespace
}  // namespace ostrel
