// EngineCommands.cpp: headless subcommands of this area (none yet).
#include "app/Commands.h"

namespace korvane::app {

void AddEngineCommands(CLI::App&, CommandContext&) {}

}  // namespace korvane::app
