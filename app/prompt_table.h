// Every text the operator sees, in four languages, plus the build constants
// that fix the program's layout and language.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "app/module_kinds.h"

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

// The numbers of the messages the code names: the prompt table's numbers, then
// (from 100 up) the texts outside the table. Every message box carries one.
namespace Msg {
inline constexpr int Unit = 21;
inline constexpr int UpdateSoftware = 22;
inline constexpr int Busy = 23;
inline constexpr int Detecting = 24;
inline constexpr int DeviceExist = 25;
inline constexpr int NoDevice = 26;
inline constexpr int Loading = 27;
inline constexpr int LoadOk = 28;
inline constexpr int LoadFail = 29;
inline constexpr int LoadCancel = 30;
inline constexpr int Erasing = 31;
inline constexpr int EraseOk = 32;
inline constexpr int EraseFail = 33;
inline constexpr int Programming = 34;
inline constexpr int ProgramOk = 35;
inline constexpr int ProgramFail = 36;
inline constexpr int Verifying = 37;
inline constexpr int VerifyOk = 38;
inline constexpr int VerifyFail = 39;
inline constexpr int Checking = 40;
inline constexpr int CheckOk = 41;
inline constexpr int CheckFail = 42;
inline constexpr int Reading = 43;
inline constexpr int ReadOk = 44;
inline constexpr int ReadFail = 45;
inline constexpr int NotExist = 46;
inline constexpr int Remove = 47;
inline constexpr int RemoveOk = 48;
inline constexpr int RemoveFail = 49;
inline constexpr int Items = 50;
inline constexpr int Overwrite = 51;
inline constexpr int SystemFile = 52;
inline constexpr int NoSystemFile = 53;
inline constexpr int NotEnoughSpace = 54;
inline constexpr int MustAdjust = 55;
inline constexpr int Adjusting = 56;
inline constexpr int Adjusted = 57;
inline constexpr int AdjustFail = 58;
inline constexpr int AlreadyThere = 59;
inline constexpr int Exit = 60;
inline constexpr int FaultPrefix = 63;
inline constexpr int CloseOtherPrograms = 64;
inline constexpr int BackupQuestion = 65;
inline constexpr int WritingFat = 66;
inline constexpr int ProgramError = 77;
inline constexpr int VersionTooOld = 81;
inline constexpr int ObdiiTooOld = 82;
inline constexpr int TooManyFiles = 85;
inline constexpr int DirectoryFull = 86;

// Texts outside the prompt table.
inline constexpr int UsbDriverFailed = 100;        // the driver could not be changed
inline constexpr int UsbDriverNote = 101;          // what the driver change said
inline constexpr int CatalogueUnchangeable = 102;  // the catalogue may not be changed, and why
inline constexpr int Unexpected = 103;             // a module reply no step expects
inline constexpr int ClearResult = 104;            // clear-catalogue: ok or fail
inline constexpr int JournalNoSpace = 105;         // no room for the burn journal
inline constexpr int JournalUnfit = 106;           // a journal for another cartridge, set aside
inline constexpr int JournalSetAside = 107;        // an interrupted burn left as it is
inline constexpr int RepairQuestion = 108;         // repair what an interrupted burn damaged?
inline constexpr int FeatureUnsupported = 109;     // a send mode the generation lacks
inline constexpr int OverwriteRefused = 110;       // the plan would overwrite software that stays
inline constexpr int MustProgramFirst = 111;       // Ostrel IV: compaction happens in the burn
inline constexpr int BackupNotWritten = 112;       // the asked-for backup could not be written
inline constexpr int WriteRetry = 113;             // Ostrel IV: a sector write failed, retried
inline constexpr int ModuleBusy = 114;             // Ostrel IV: the module is still busy
}  // namespace Msg

// Message-major: the entry of message m in language l is at 4 * m + l. UTF-8.
extern const char* const PromptTable[kPromptEntryCount];

inline constexpr int promptIndex(int message, int language) {
  return message * kLanguageCount + language;
}

// The text of a message; an empty view for a message or language out of range.
std::string_view promptText(int message, int language);

// DebugBuild and RndBuild: engineering layouts; CustomerBuild: customer layout.
// Language: 0 English, 1 Traditional Chinese, 2 Simplified Chinese, 3 Japanese.
struct BuildConstants {
  BuildKind buildMode;
  uint8_t language;
};
inline constexpr BuildKind kDeliveredBuildMode = CustomerBuild;
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
