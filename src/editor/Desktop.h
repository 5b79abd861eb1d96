// Desktop.h: the entry point of the desktop program.
#pragma once

#include <string>

namespace korvane::editor {

// Opens the main window and runs the event loop; returns the exit code.
// On a machine without a display it says so and points to the headless
// commands instead. A model path, when given, is opened in the window at once.
int RunDesktop(int argc, char** argv, const std::string& modelPath = {});

}  // namespace korvane::editor
