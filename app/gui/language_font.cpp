#include "app/gui/language_font.h"

#include <QFontDatabase>
#include <array>

namespace ostrel {

namespace {

struct LanguageFonts {
  QFontDatabase::WritingSystem system;
  // Preferred families, best first; any family of the writing system after them.
  std::array<const char*, 4> preferred;
};

// Index: language number. The set-up script installs the second of each.
constexpr std::array<LanguageFonts, 4> kFonts = {{
    {QFontDatabase::Latin, {}},
    {QFontDatabase::TraditionalChinese,
     {"Noto Sans CJK TC", "WenQuanYi Micro Hei", "AR PL UMing TW", "Droid Sans Fallback"}},
    {QFontDatabase::SimplifiedChinese,
     {"Noto Sans CJK SC", "WenQuanYi Micro Hei", "AR PL UMing CN", "Droid Sans Fallback"}},
    {QFontDatabase::Japanese,
     {"Noto Sans CJK JP", "IPAGothic", "IPAPGothic", "Droid Sans Fallback"}},
}};

}  // namespace

QString languageFamily(int language) {
  if (language < 1 || language >= int(kFonts.size())) return {};
  const LanguageFonts& fonts = kFonts[size_t(language)];
  const QStringList available = QFontDatabase::families(fonts.system);
  for (const char* family : fonts.preferred)
    if (family && available.contains(QString::fromLatin1(family)))
      return QString::fromLatin1(family);
  return available.value(0);
}

QFont languageFont(int language, const QFont& base) {
  const QString family = languageFamily(language);
  if (family.isEmpty()) return base;
  QFont font = base;
  QStringList families = base.families();
  if (families.isEmpty()) families << base.family();
  families.removeAll(family);
  families.prepend(family);
  font.setFamilies(families);
  return font;
}

}  // namespace ostrel
