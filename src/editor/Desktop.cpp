// Desktop.cpp: the entry point of the desktop program (the main window is
// not built yet).
#include "editor/Desktop.h"

#include <iostream>

namespace korvane::editor {

int RunDesktop(int, char**) {
  std::cerr << "The main window is not available in this build; run 'korvane --help' "
               "for the headless commands.\n";
  return 2;
}

}  // namespace korvane::editor
