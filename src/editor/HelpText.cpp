// HelpText.cpp: reads the help texts shipped beside the program.
#include "editor/HelpText.h"

#include <QFile>

#include "util/Files.h"

namespace korvane::editor {

QString HelpTextPath(const QString& resourceName) {
  return QString::fromStdString(ResourceFile("help/" + resourceName.toStdString() + ".html"));
}

QString LoadHelpText(const QString& resourceName) {
  QFile file(HelpTextPath(resourceName));
  if (!file.open(QIODevice::ReadOnly)) {
    return QStringLiteral("<p><i>The help text %1 could not be read from %2. "
                          "Please reinstall Korvane.</i></p>")
        .arg(resourceName.toHtmlEscaped(), file.fileName().toHtmlEscaped());
  }
  return QString::fromUtf8(file.readAll());
}

}  // namespace korvane::editor
