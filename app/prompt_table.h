// Every text the operator sees, in four languages, plus the build constants
// that fix the program's layout and language.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ostrel {

inline constexpr int kMessageCount = 88;
inline constexpr int kLanguageCount = 4;
inline constexpr int kPromptEntryCount = kMessageCount * kLanguageCount;

// Language numbers.
inline constexpr int kLanguageEnglish = 0;
inline constexpr int kLanguageTraditionalChinese = 1;
inline constexpr int kLanguageSimplifiedChinese = 2;
inline constexpr int kLanguageJapanese = 3;

// Messages that are never shown: empty in every language.
inline constexpr bool isReservedMessage(int message) {
  return message == 61 || message == 62 || message == 78 || message == 79 || message == 80;
}
// Message 87 only marks the end of the table.
inline constexpr int kPromptListEnd = 87;

// Message-major: the entry of message m in language l is at 4 * m + l. UTF-8.
extern const char* const PromptTable[kPromptEntryCount];

inline constexpr int promptIndex(int message, int language) {
  return message * kLanguageCount + language;
}

// The text of a message; an empty view for a message or language out of range.
std::string_view promptText(int message, int language);

// BuildMode 0 and 1: engineering layouts; 2: customer layout.
// Language: 0 English, 1 Traditional Chinese, 2 Simplified Chinese, 3 Japanese.
struct BuildConstants {
  uint8_t buildMode;
  uint8_t language;
};
inline constexpr uint8_t kDeliveredBuildMode = 2;
inline constexpr uint8_t kDeliveredLanguage = 0;
inline constexpr BuildConstants kDeliveredBuild{kDeliveredBuildMode, kDeliveredLanguage};

// Font character set applied to the views at start-up: 0 unchanged, 136 Big5
// (both Chinese languages), 128 Shift-JIS (Japanese).
int languageFontCharset(int language);

// Captions set outside the table (UTF-8; utf8ToLegacy gives the legacy bytes).
// Button_Cus_LoadFile: language 1 has its own short caption, the others use
// message 20. Button3 in the customer layout: language 1 has its own caption,
// the others read "Erase All".
std::string_view cusLoadFileCaption(int language);
std::string_view button3Caption(int language);

// First status line while a request to close the window waits for the
// running operation to end (UTF-8).
std::string_view closeDeferredText(int language);

// Texts the operator sees beside the table's messages: figures of a long
// operation, tooltips of the engineering window's unlabelled fields, words
// about a loaded file. "{}" stands for a value the caller puts in.
enum class ExtraText : uint8_t {
  Sectors,   // the unit after "12/40"
  TimeLeft,  // "{} left"
  OfAbout,   // elapsed "{}" against the usual "{}"
  NotAPackage,
  LoadedAsSRecord,
  LoadedAsBinary,
  SavedTo,  // "{}": the file's full path
  HintProgSize,
  HintProgFinish,
  HintChecksum,
  HintReadStart,
  HintReadStop,
  HintOst4ReadStart,
  HintOst4ReadStop,
  HintAllTime,
  HintEraseTime,
  HintProgramTime,
  HintVerifyTime,
  HintSoftwareId,
  HintFileName,
  HintProgress,
  Count
};
std::string_view extraText(ExtraText text, int language);
// The text with its "{}" replaced by a, then b.
std::string extraText(ExtraText text, int language, std::string_view a, std::string_view b = {});

}  // namespace ostrel
