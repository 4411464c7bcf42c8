#include "app/text_helpers.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ostrel {

bool Isutf8(const uint8_t* data, size_t n) {
  if (n == 0) return true;
  if (data == nullptr) return false;
  size_t p = 1;
  while (p <= n) {
    const uint8_t lead = data[p];
    size_t follow;
    if (lead < 0x80) {
      follow = 0;
    } else if ((lead & 0xE0) == 0xC0) {
      follow = 1;
    } else if ((lead & 0xF0) == 0xE0) {
      follow = 2;
    } else if ((lead & 0xF8) == 0xF0) {
      follow = 3;
    } else {
      return p >= n;  // a stray continuation byte or 11111xxx
    }
    for (size_t k = 1; k <= follow; ++k) {
      if (k > n - p) return true;  // would run past n: never read it
      if ((data[p + k] & 0xC0) != 0x80) return p + k >= n;
    }
    p += 1 + follow;
  }
  return true;
}

bool Isutf8str(std::string_view text) {
  text = text.substr(0, text.find('\0'));
  const size_t length = std::min(text.size(), kIsutf8strMaxChars);
  uint8_t buffer[100] = {};
  if (length > 0) std::memcpy(buffer + 1, text.data(), length);
  buffer[length + 1] = 0;
  return Isutf8(buffer, length + 1);
}

uint32_t hexTextToUint(std::string_view text) {
  uint32_t result = 0;
  uint32_t previous = 0;
  const size_t n = text.size();
  for (size_t i = 0; i < n; ++i) {
    const char c = text[i];
    uint32_t value = previous;
    if (c >= '0' && c <= '9') {
      value = uint32_t(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      value = uint32_t(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      value = uint32_t(c - 'A' + 10);
    }
    previous = value;
    const size_t nibble = n - 1 - i;
    if (nibble < 8) result |= value << (4 * nibble);
  }
  return result;
}

std::string programDirectory(std::string_view executablePath) {
  const size_t slash = executablePath.rfind('/');
  if (slash == std::string_view::npos) return "./";
  return std::string(executablePath.substr(0, slash + 1));
}

const char* legacyCodePage(int language) {
  switch (language) {
    case 0:
      return "CP1252";
    case 1:
      return "CP950";
    case 2:
      return "CP936";
    case 3:
      return "CP932";
    default:
      return "";
  }
}

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// lenient (into UTF-8 only): a byte that starts no character of `from` comes
// out as U+FFFD and the conversion goes on with the next byte.
bool convert(const char* to, const char* from, std::string_view in, std::string& out,
             bool lenient = false) {
  out.clear();
  if (*to == '\0' || *from == '\0') return false;
  iconv_t cd = iconv_open(to, from);
  if (cd == iconv_t(-1)) return false;

  std::string result(in.size() * 2 + 16, '\0');
  char* inPtr = const_cast<char*>(in.data());  // iconv's signature; it only reads
  size_t inLeft = in.size();
  char* outPtr = result.data();
  size_t outLeft = result.size();
  bool ok = true;
  auto grow = [&] {
    const size_t used = size_t(outPtr - result.data());
    result.resize(result.size() * 2);
    outPtr = result.data() + used;
    outLeft = result.size() - used;
  };
  while (ok && inLeft > 0) {
    if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != size_t(-1)) continue;
    if (errno == E2BIG) {
      grow();
    } else if (lenient) {  // EILSEQ: not defined; EINVAL: cut at the end
      while (outLeft < kReplacement.size()) grow();
      std::memcpy(outPtr, kReplacement.data(), kReplacement.size());
      outPtr += kReplacement.size();
      outLeft -= kReplacement.size();
      ++inPtr;
      --inLeft;
    } else {
      ok = false;
    }
  }
  // Return to the initial shift state (a no-op for these code pages).
  while (ok && iconv(cd, nullptr, nullptr, &outPtr, &outLeft) == size_t(-1)) {
    if (errno == E2BIG) {
      grow();
    } else {
      ok = false;
    }
  }
  iconv_close(cd);
  if (!ok) return false;
  result.resize(size_t(outPtr - result.data()));
  out = std::move(result);
  return true;
}

}  // namespace

bool legacyToUtf8(int language, std::string_view in, std::string& out) {
  return convert("UTF-8", legacyCodePage(language), in, out);
}

bool utf8ToLegacy(int language, std::string_view in, std::string& out) {
  return convert(legacyCodePage(language), "UTF-8", in, out);
}

namespace {

// Length of the well-formed UTF-8 sequence at s[i] (no overlong forms, no
// surrogates, nothing above U+10FFFF); 0 when there is none.
size_t utf8SequenceAt(std::string_view s, size_t i) {
  const auto b = uint8_t(s[i]);
  if (b < 0x80) return 1;
  size_t follow = 0;
  uint32_t cp = 0, least = 0;
  if ((b & 0xE0) == 0xC0) {
    follow = 1, cp = b & 0x1F, least = 0x80;
  } else if ((b & 0xF0) == 0xE0) {
    follow = 2, cp = b & 0x0F, least = 0x800;
  } else if ((b & 0xF8) == 0xF0) {
    follow = 3, cp = b & 0x07, least = 0x10000;
  } else {
    return 0;
  }
  if (s.size() - i - 1 < follow) return 0;
  for (size_t k = 1; k <= follow; ++k) {
    const auto c = uint8_t(s[i + k]);
    if ((c & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (c & 0x3F);
  }
  if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return 1 + follow;
}

// A character at s[i], n bytes long, that a terminal or a text view would act
// on instead of showing: C0, DEL, C1 (U+0080..U+009F), and the bidirectional
// embeddings, overrides (U+202A..U+202E) and isolates (U+2066..U+2069) that
// reorder the text after them.
bool controlAt(std::string_view s, size_t i, size_t n) {
  const auto b = [&](size_t k) { return uint8_t(s[i + k]); };
  if (n == 1) return b(0) < 0x20 || b(0) == 0x7F;
  if (n == 2) return b(0) == 0xC2 && b(1) < 0xA0;
  if (n != 3 || b(0) != 0xE2) return false;
  return (b(1) == 0x80 && b(2) >= 0xAA && b(2) <= 0xAE) ||
         (b(1) == 0x81 && b(2) >= 0xA6 && b(2) <= 0xA9);
}

bool wellFormedUtf8(std::string_view s) {
  for (size_t i = 0, n; i < s.size(); i += n)
    if ((n = utf8SequenceAt(s, i)) == 0) return false;
  return true;
}

// s with every byte that starts no well-formed sequence, and every control
// character, shown as U+FFFD.
std::string printableUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    const size_t n = utf8SequenceAt(s, i);
    if (n == 0 || controlAt(s, i, n)) {
      out += kReplacement;
      i += std::max<size_t>(n, 1);
    } else {
      out.append(s.substr(i, n));
      i += n;
    }
  }
  return out;
}

}  // namespace

std::string displayText(int language, std::string_view stored) {
  std::string decoded;
  if (!wellFormedUtf8(stored) &&
      convert("UTF-8", legacyCodePage(language), stored, decoded, /*lenient=*/true))
    stored = decoded;
  return printableUtf8(stored);
}

std::string upperHex(uint32_t value, int minDigits) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  do {
    out.insert(out.begin(), digits[value & 15]);
    value >>= 4;
  } while (value != 0);
  if (int(out.size()) < minDigits) out.insert(0, size_t(minDigits) - out.size(), '0');
  return out;
}

}  // namespace ostrel
