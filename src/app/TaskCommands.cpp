// TaskCommands.cpp: headless subcommands of this area (none yet).
#include "app/Commands.h"

namespace korvane::app {

void AddTaskCommands(CLI::App&, CommandContext&) {}

}  // namespace korvane::app
