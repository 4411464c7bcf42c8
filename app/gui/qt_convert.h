// Model values as Qt takes them: UTF-8 texts and 0x00BBGGRR colours.
#pragma once

#include <QColor>
#include <QPalette>
#include <QString>
#include <cstdint>
#include <string>

#include "app/controls.h"

namespace ostrel {

inline QString qs(const std::string& s) {
  return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

// The desktop's own colours stand for themselves in the palette.
inline QColor toQColor(uint32_t c, const QPalette& palette) {
  if (c == Colors::kWindowText) return palette.color(QPalette::WindowText);
  if (c == Colors::kBtnFace) return palette.color(QPalette::Window);
  return QColor(int(c & 0xFF), int((c >> 8) & 0xFF), int((c >> 16) & 0xFF));
}

}  // namespace ostrel
