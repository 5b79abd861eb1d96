// Commands.h: the headless subcommands of the korvane executable.
//
// Each area adds its own subcommands to the one command line; a callback sets
// context.exitCode. Errors go to standard error with a non-zero exit code.
#pragma once

#include <CLI/CLI.hpp>

namespace korvane::app {

struct CommandContext {
  int exitCode = 0;
};

// new, info, get, set
void AddStoreCommands(CLI::App& app, CommandContext& context);
// formula check, formula run
void AddFormulaCommands(CLI::App& app, CommandContext& context);
// check
void AddEngineCommands(CLI::App& app, CommandContext& context);
// serve, example, model import/export, task, demo
void AddTaskCommands(CLI::App& app, CommandContext& context);
// export
void AddExportCommands(CLI::App& app, CommandContext& context);
// plot
void AddPlotCommands(CLI::App& app, CommandContext& context);

}  // namespace korvane::app
