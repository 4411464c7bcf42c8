#include "app/prompt_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "app/fault_codes.h"
#include "app/text_helpers.h"
#include "strict_utf8.h"

namespace ostrel {
namespace {

TEST(PromptTable, EntryOfMessageInLanguageIsFourTimesMessagePlusLanguage) {
  EXPECT_EQ(promptIndex(29, 1), 117);
  EXPECT_EQ(std::string_view(PromptTable[117]), "檔案載入失敗!");
  EXPECT_EQ(promptText(29, 1), "檔案載入失敗!");
  for (int m = 0; m < kMessageCount; ++m) {
    for (int l = 0; l < kLanguageCount; ++l) {
      EXPECT_EQ(promptText(m, l).data(), PromptTable[4 * m + l]) << m << "/" << l;
    }
  }
}

TEST(PromptTable, TellingRowsInAllFourLanguages) {
  struct Row {
    int message;
    const char* text[4];
  };
  const Row rows[] = {
      {0,
       {"Ostrel File Manager", "Ostrel 檔案管理員", "Ostrel 档案管理员",
        "Ostrel\xE3\x80\x80ファイルマネジャー"}},
      {20, {"LOAD", "載入檔案", "载入档案", "ロード"}},
      {29, {"Load Fail!", "檔案載入失敗!", "档案载入失败!", "ロード失敗"}},
      {63, {"Fault code:", "錯誤碼:", "错误码:", "故障コード:"}},
      {83, {"BURN", "燒錄", "烧录", "焼く"}},
  };
  for (const Row& row : rows) {
    for (int l = 0; l < 4; ++l) {
      EXPECT_EQ(promptText(row.message, l), row.text[l]) << row.message << "/" << l;
    }
  }
}

TEST(PromptTable, EnglishTextsWithLeadingBlanksAndLineBreaks) {
  EXPECT_EQ(promptText(50, 0), " items??");
  EXPECT_EQ(promptText(59, 0),
            " has already existed in the module. Do you still want this to be chosen for "
            "downloading??");
  EXPECT_EQ(promptText(12, 0),
            "Select file and click the [BURN] button to burn the software to the "
            "Velmo-II/cartridge.\r\nWait until the status monitor indicates that the select "
            "software has been successfully downloaded to the Velmo-II/cartridge then remove the "
            "USB cable.");
  const std::string_view nine = promptText(9, 0);
  EXPECT_EQ(nine.substr(0, nine.rfind("\r\n") + 2),
            "The S/N(Serial Number) and loaded files(listed on right half region) were "
            "detected.\r\nPlease click the [LOAD] button to select the vehicle diagnostic "
            "files(.BN).\r\nThese software will be listed on the left half region after "
            "loaded.\r\n");
  EXPECT_NE(nine.substr(nine.rfind("\r\n")).find("[BURN]"), std::string_view::npos);
  EXPECT_EQ(promptText(82, 0),
            "OBDII Version is too old, please update OBDII version to K47(v4.00) or "
            "VelmoII(v1.00)");
  EXPECT_EQ(promptText(15, 0),
            "After removing the USB cable,now,insert the Ostrel into the base of scanner and "
            "start your comprehensive diagnosis of vehicles.");
}

TEST(PromptTable, EveryEntryPresentExceptTheReservedOnes) {
  for (int m = 0; m < kMessageCount; ++m) {
    const bool reserved = m == 61 || m == 62 || m == 78 || m == 79 || m == 80;
    EXPECT_EQ(isReservedMessage(m), reserved) << m;
    for (int l = 0; l < kLanguageCount; ++l) {
      ASSERT_NE(PromptTable[4 * m + l], nullptr) << m << "/" << l;
      EXPECT_EQ(promptText(m, l).empty(), reserved) << m << "/" << l;
    }
  }
  for (int l = 0; l < kLanguageCount; ++l) {
    EXPECT_EQ(promptText(kPromptListEnd, l), "prompt_list_end");
  }
}

TEST(PromptTable, TranslationsAreNotEnglishLeftovers) {
  // Only the version and the end marker read the same in every language.
  for (int m = 0; m < kMessageCount; ++m) {
    if (isReservedMessage(m) || m == 1 || m == kPromptListEnd) continue;
    for (int l = 1; l < kLanguageCount; ++l) {
      EXPECT_NE(promptText(m, l), promptText(m, 0)) << m << "/" << l;
    }
  }
}

TEST(PromptTable, EveryEntryIsStrictUtf8) {
  for (int i = 0; i < kPromptEntryCount; ++i) {
    EXPECT_TRUE(testing::strictUtf8(PromptTable[i])) << i;
  }
}

TEST(PromptTable, LineBreaksAreCrLfInMessages9And12Only) {
  for (int m = 0; m < kMessageCount; ++m) {
    const size_t expected = m == 9 ? 3 : m == 12 ? 1 : 0;
    for (int l = 0; l < kLanguageCount; ++l) {
      const std::string_view text = promptText(m, l);
      size_t crlf = 0;
      for (size_t at = text.find("\r\n"); at != std::string_view::npos;
           at = text.find("\r\n", at + 2)) {
        ++crlf;
      }
      size_t cr = 0, lf = 0;
      for (char c : text) cr += c == '\r', lf += c == '\n';
      EXPECT_EQ(crlf, expected) << m << "/" << l;
      EXPECT_EQ(cr, expected) << m << "/" << l;
      EXPECT_EQ(lf, expected) << m << "/" << l;
      if (expected > 0) {
        EXPECT_FALSE(text.ends_with("\r\n")) << m << "/" << l;
      }
    }
  }
}

// The step notes name the LOAD and BURN buttons by the captions each build shows.
TEST(PromptTable, StepNotesNameTheButtonsByTheirCaptions) {
  for (int l = 0; l < kLanguageCount; ++l) {
    const std::string load = "[" + std::string(promptText(20, l)) + "]";
    const std::string burn = "[" + std::string(promptText(83, l)) + "]";
    EXPECT_NE(promptText(9, l).find(load), std::string_view::npos) << l;
    EXPECT_NE(promptText(9, l).find(burn), std::string_view::npos) << l;
    EXPECT_NE(promptText(12, l).find(burn), std::string_view::npos) << l;
  }
}

TEST(PromptTable, ProductNamesStayUntranslated) {
  struct Keep {
    int message;
    const char* name;
  };
  const Keep keeps[] = {
      {0, "Ostrel"},          {6, "Velmo-II/Ostrel"},
      {9, "(.BN)"},           {12, "Velmo-II/"},
      {15, "Ostrel"},         {43, "Ostrel"},
      {44, "Ostrel"},         {45, "Ostrel"},
      {46, "Ostrel"},         {64, "[Ostrel File Manager]"},
      {66, "Ostrel"},         {68, "Velmo-II/Ostrel"},
      {81, "OBDII"},          {82, "K47(v4.00)"},
      {82, "VelmoII(v1.00)"}, {84, "USB"},
  };
  for (const Keep& keep : keeps) {
    for (int l = 0; l < kLanguageCount; ++l) {
      EXPECT_NE(promptText(keep.message, l).find(keep.name), std::string_view::npos)
          << keep.message << "/" << l << " lacks " << keep.name;
    }
  }
}

TEST(PromptTable, OutOfRangeGivesEmptyText) {
  const std::pair<int, int> bad[] = {{-1, 0},      {88, 0},      {0, 4},       {0, -1},
                                     {INT_MIN, 0}, {INT_MAX, 3}, {5, INT_MIN}, {87, 4}};
  for (auto [m, l] : bad) EXPECT_TRUE(promptText(m, l).empty()) << m << "/" << l;
}

TEST(PromptTable, LiteralCaptionsAndTheirBig5Bytes) {
  EXPECT_EQ(cusLoadFileCaption(1), "載入");
  EXPECT_EQ(button3Caption(1), "清空軟體匣");
  for (int l : {0, 2, 3}) {
    EXPECT_EQ(cusLoadFileCaption(l), promptText(20, l));
    EXPECT_EQ(button3Caption(l), "Erase All");
  }
  std::string big5;
  ASSERT_TRUE(utf8ToLegacy(1, cusLoadFileCaption(1), big5));
  EXPECT_EQ(big5, "\xB8\xFC\xA4\x4A");
  ASSERT_TRUE(utf8ToLegacy(1, button3Caption(1), big5));
  EXPECT_EQ(big5, "\xB2\x4D\xAA\xC5\xB3\x6E\xC5\xE9\xA7\x58");
}

TEST(PromptTable, FontCharsetPerLanguage) {
  EXPECT_EQ(languageFontCharset(0), 0);
  EXPECT_EQ(languageFontCharset(1), 136);
  EXPECT_EQ(languageFontCharset(2), 136);
  EXPECT_EQ(languageFontCharset(3), 128);
  EXPECT_EQ(languageFontCharset(9), 0);
}

TEST(FaultCodes, FourDecimalDigitsAscendingAndDistinct) {
  EXPECT_EQ(FaultCode::kAll.size(), 30u);
  for (size_t i = 0; i < FaultCode::kAll.size(); ++i) {
    const std::string_view code = FaultCode::kAll[i];
    ASSERT_EQ(code.size(), 4u) << i;
    for (char c : code) EXPECT_TRUE(c >= '0' && c <= '9') << code;
    if (i > 0) {
      EXPECT_LT(FaultCode::kAll[i - 1], code);
    }
  }
  EXPECT_EQ(FaultCode::k0019, "0019");
  EXPECT_EQ(FaultCode::k1021, "1021");
  EXPECT_EQ(kObdiiText, "OBDII");
  EXPECT_TRUE(kEmptyText.empty());
}

// The explanations the command line prints, its help and the README's table
// come from one table: every code the program reports, once, ascending, with
// what happened and what to do in every language.
TEST(FaultCodes, EveryReportedCodeIsExplainedInEveryLanguage) {
  std::vector<std::string_view> reported(FaultCode::kAll.begin(), FaultCode::kAll.end());
  reported.push_back(FaultCode::k0018);
  reported.push_back(FaultCode::k0052);
  std::sort(reported.begin(), reported.end());
  std::vector<std::string_view> explained;
  for (const FaultExplanation& e : faultTable()) {
    explained.push_back(e.code);
    for (int l = 0; l < 4; ++l) {
      EXPECT_FALSE(e.happened[l].empty()) << e.code << " " << l;
      EXPECT_FALSE(e.action[l].empty()) << e.code << " " << l;
      EXPECT_FALSE(faultExplanation(e.code, l).empty()) << e.code << " " << l;
    }
  }
  EXPECT_EQ(explained, reported);
  EXPECT_TRUE(faultExplanation("9999", 0).empty());
}

}  // namespace
}  // namespace ostrel
