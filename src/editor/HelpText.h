// HelpText.h: the help texts of the screens.
//
// Each text is an HTML file named after its resource (RTF_WELCOME,
// RTF_POPULATION, ...) in resources/help beside the program. A screen reads
// its text when it is shown and gives it to its help pane unchanged.
#pragma once

#include <QString>

namespace korvane::editor {

// The path a help resource is read from.
QString HelpTextPath(const QString& resourceName);

// The HTML of a help resource; a short note naming the missing file when it
// cannot be read, so a broken installation is visible rather than blank.
QString LoadHelpText(const QString& resourceName);

}  // namespace korvane::editor
