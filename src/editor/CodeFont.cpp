// CodeFont.cpp: see CodeFont.h.
#include "editor/CodeFont.h"

#include <QFontDatabase>
#include <QStringList>

namespace korvane::editor {

QFont CodeFont() {
  static const QFont font = [] {
    QFont system = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    // Fixed fonts whose zero carries a dot or a slash.
    const QStringList families = QFontDatabase::families();
    for (const char* family : {"Hack", "Source Code Pro", "Inconsolata", "Liberation Mono"}) {
      if (families.contains(QString::fromLatin1(family))) {
        QFont chosen(QString::fromLatin1(family));
        chosen.setStyleHint(QFont::Monospace);
        chosen.setPointSizeF(system.pointSizeF() > 0 ? system.pointSizeF() : 10);
        return chosen;
      }
    }
    return system;
  }();
  return font;
}

}  // namespace korvane::editor
