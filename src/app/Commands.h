// Commands.h: the headless subcommands of the korvane executable.
//
// Each area adds its own subcommands to the one command line; a callback sets
// context.exitCode. Errors go to standard error with a non-zero exit code.
#pragma once

#include <CLI/CLI.hpp>
#include <exception>
#include <iostream>
#include <memory>

#include "util/Error.h"

class QGuiApplication;

namespace korvane::app {

// The application that drawing needs, made (on the offscreen platform unless
// QT_QPA_PLATFORM says otherwise) when the process has none yet; null when
// one exists.
std::unique_ptr<QGuiApplication> OffscreenGuiIfNeeded();

struct CommandContext {
  int exitCode = 0;
};

// Runs a command body that returns the exit code; an Error becomes
// "Error number: description" on standard error and exit code 1.
template <typename Body>
void Guarded(CommandContext& context, Body&& body) {
  try {
    context.exitCode = body();
  } catch (const Error& e) {
    std::cerr << "Error " << e.Number() << ": " << e.Description() << "\n";
    context.exitCode = 1;
  } catch (const std::exception& e) {
    std::cerr << "Error: " << e.what() << "\n";
    context.exitCode = 1;
  }
}

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
// sweep, sweep collect, sweep plot
void AddSweepCommands(CLI::App& app, CommandContext& context);

}  // namespace korvane::app
