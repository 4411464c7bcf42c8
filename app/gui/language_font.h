// The font the window draws its texts in, by language.
#pragma once

#include <QFont>
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

}  // namespace ostrel
