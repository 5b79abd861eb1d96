// Desktop.h: the entry point of the desktop program.
#pragma once

namespace korvane::editor {

// Opens the main window and runs the event loop; returns the exit code.
// On a machine without a display it says so and points to the headless
// commands instead.
int RunDesktop(int argc, char** argv);

}  // namespace korvane::editor
