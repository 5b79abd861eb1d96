// Desktop.cpp: the entry point of the desktop program.
#include "editor/Desktop.h"

#include <QApplication>
#include <QFileInfo>
#include <QScreen>
#include <QTimer>
#include <cstdlib>
#include <iostream>
#include <memory>

#include "editor/QtDialogs.h"
#include "editor/frmJumper.h"
#include "util/Dialogs.h"

namespace korvane::editor {

namespace {

bool Set(const char* name) {
  const char* value = std::getenv(name);
  return value && *value;
}

// Whether Qt can show windows here. Constructing a QApplication without a
// display aborts the process, so this is decided before one exists.
bool HaveDisplay() { return Set("DISPLAY") || Set("WAYLAND_DISPLAY") || Set("QT_QPA_PLATFORM"); }

}  // namespace

int RunDesktop(int argc, char** argv, const std::string& modelPath) {
  if (!HaveDisplay()) {
    std::cerr << "Korvane: no display was found (neither DISPLAY nor WAYLAND_DISPLAY is set), so the\n"
                 "main window cannot be opened. Every model can still be worked with headless:\n"
                 "run 'korvane --help' for the commands (new, info, get, set, serve, export, ...).\n";
    return 1;
  }
  QApplication::setOrganizationName("Korvane");
  QApplication::setApplicationName("Korvane");
  QApplication app(argc, argv);
  QApplication::setApplicationVersion(KORVANE_VERSION);

  auto dialogs = std::make_shared<QtDialogs>();
  auto previous = SetDialogs(dialogs);
  int code = 0;
  {
    frmJumper window;
    dialogs->SetParent(&window);
    window.show();
    if (QScreen* screen = QApplication::primaryScreen()) {
      QSize size = screen->size();
      QTimer::singleShot(0, &window, [&window, size] { window.CheckScreenSize(size); });
    }
    if (!modelPath.empty()) {
      const QString path = QFileInfo(QString::fromStdString(modelPath)).absoluteFilePath();
      QTimer::singleShot(0, &window, [&window, path] { window.OpenModelFile(path); });
    }
    code = app.exec();
  }
  SetDialogs(previous);
  return code;
}

}  // namespace korvane::editor
