// Small text helpers shared by every folder: the UTF-8 test used on catalogue
// names, the hexadecimal-text reader, the program directory and the legacy
// code page of each language.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel {

// Tests positions 1..n of data (position 0 is not part of the text), so data
// must hold n + 1 bytes. Malformed or missing bytes make the result false only
// below position n; a sequence that would run past n counts as well-formed, and
// nothing past position n is read. Overlong forms and surrogates pass.
bool Isutf8(const uint8_t* data, size_t n);

// The longest text Isutf8str looks at; longer texts are tested on their start.
inline constexpr size_t kIsutf8strMaxChars = 96;

// Copies the text and a terminating zero to position 1 of a 100-byte buffer
// and tests it with Isutf8 over the copied length, terminator included, so a
// sequence cut by the 96-byte limit still passes. Like a C text, the text ends
// at its first zero byte.
bool Isutf8str(std::string_view text);

// Hexadecimal text to a number: "0"-"9", "a"-"f", "A"-"F" give their value,
// any other character repeats the value of the one before (0 at the start).
// Character i of n sits at nibble n - 1 - i; with more than 8 characters only
// the last 8 reach the 32-bit result.
uint32_t hexTextToUint(std::string_view text);

// Directory part of an executable path, always ending in "/"; "./" when the
// path has no directory part.
std::string programDirectory(std::string_view executablePath);

// The running program's own path (from /proc/self/exe); empty if unknown.
std::string currentExecutablePath();

// The program directory when it is writable; otherwise $XDG_DATA_HOME/ostrel/
// (when that is an absolute path) or $HOME/.local/share/ostrel/, created on
// demand. Falls back to the program directory when none of them is usable, so
// the result always ends in "/" and writes there fail visibly.
std::string writableProgramDirectory(std::string_view executablePath);

// The user's own data folder: $XDG_DATA_HOME/ostrel/ when that is an absolute
// path, else $HOME/.local/share/ostrel/; "" when neither is set. Not created.
std::string userDataFolder();

// Folders the data files (sample packages, reference images, the icon) are
// looked for in, in order: the program folder, the executable's own folder,
// the data folder an installation puts beside it (<prefix>/share/ostrel/ for
// <prefix>/bin/), then userDataFolder(). Each ends in "/"; none twice.
std::vector<std::string> dataFolders(std::string_view programFolder,
                                     std::string_view executablePath);

// The first dataFolders() entry + name that is a regular file; "" when none is.
std::string findDataFile(std::string_view name, std::string_view programFolder,
                         std::string_view executablePath);

// Legacy code page of a language: CP1252, CP950, CP936, CP932; "" when the
// language is out of range.
const char* legacyCodePage(int language);

// Conversions between UTF-8 and the language's legacy code page. On invalid or
// incomplete input, an unmappable character or an unknown language they return
// false and leave out empty.
bool legacyToUtf8(int language, std::string_view in, std::string& out);
bool utf8ToLegacy(int language, std::string_view in, std::string& out);

// value as upper-case hexadecimal digits, at least minDigits of them
// (zeros in front).
std::string upperHex(uint32_t value, int minDigits);

// The one rule for a text from outside (a cartridge, a package, a description,
// a file or port name) on its way to a control, a log line, a terminal or JSON:
// well-formed UTF-8 stays as it is; anything else is read in the language's
// legacy code page, each byte it does not define showing as U+FFFD. Control
// characters (C0, DEL, C1) and the bidirectional embeddings, overrides and
// isolates show as U+FFFD too, so no stored text can drive a terminal or turn
// a line around. Applying it twice changes nothing.
std::string displayText(int language, std::string_view stored);

}  // namespace ostrel
