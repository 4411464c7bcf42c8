// The font the window draws its texts in, and Qt's own texts, by language.
#pragma once

#include <QFont>
#include <QLocale>
#include <QString>
#include <QStringList>

namespace ostrel {

// The installed family that has the characters of a Chinese or Japanese
// language with its own glyph shapes (a Japanese font for Japanese, a
// Chinese one for Chinese); "" for English, or when none is installed.
QString languageFamily(int language);

// base for English; for the other languages the language's family first,
// so its glyph shapes win over a desktop font that happens to hold the same
// characters, then base's families for anything it lacks.
QFont languageFont(int language, const QFont& base);

// Qt's own dialogs (the file dialog, the Yes and No buttons) speak the
// language: its locale becomes the default and Qt's translations for it are
// loaded, replacing those of a language installed before. False when they
// are not installed (Debian: qt6-translations-l10n); the dialogs then stay
// English. Language 0 needs none.
bool installQtTranslations(int language);

// The locale of a language: en_US, zh_TW, zh_CN, ja_JP.
QLocale languageLocale(int language);

}  // namespace ostrel
