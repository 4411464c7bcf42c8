#include "app/gui/language_font.h"

#include <QCoreApplication>
#include <QFontDatabase>
#include <QLibraryInfo>
#include <QTranslator>
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

QLocale languageLocale(int language) {
  switch (language) {
    case 1:
      return QLocale(QLocale::Chinese, QLocale::TraditionalHanScript, QLocale::Taiwan);
    case 2:
      return QLocale(QLocale::Chinese, QLocale::SimplifiedHanScript, QLocale::China);
    case 3:
      return QLocale(QLocale::Japanese, QLocale::Japan);
    default:
      return QLocale(QLocale::English, QLocale::UnitedStates);
  }
}

bool installQtTranslations(int language) {
  // One set at a time, living as long as the program.
  static QTranslator* installed = nullptr;
  if (installed) {
    QCoreApplication::removeTranslator(installed);
    delete installed;
    installed = nullptr;
  }
  const QLocale locale = languageLocale(language);
  QLocale::setDefault(locale);
  if (language < 1 || language > 3) return true;
  auto* translator = new QTranslator;
  if (!translator->load(locale, "qtbase", "_",
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    delete translator;
    return false;
  }
  QCoreApplication::installTranslator(translator);
  installed = translator;
  return true;
}

}  // namespace ostrel
