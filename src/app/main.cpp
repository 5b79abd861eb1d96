// main.cpp: the korvane executable. With no arguments it opens the main
// window; with a subcommand it works headless.
#include <iostream>

#include "app/Commands.h"
#include "editor/Desktop.h"

int main(int argc, char** argv) {
  if (argc <= 1) return korvane::editor::RunDesktop(argc, argv);

  CLI::App app{"Korvane: define, run and analyse instance-based models of repeated decision making.\n"
               "Run without arguments to open the main window.",
               "korvane"};
  app.require_subcommand(1);
  korvane::app::CommandContext context;
  korvane::app::AddStoreCommands(app, context);
  korvane::app::AddFormulaCommands(app, context);
  korvane::app::AddEngineCommands(app, context);
  korvane::app::AddTaskCommands(app, context);
  korvane::app::AddExportCommands(app, context);
  korvane::app::AddPlotCommands(app, context);
  korvane::app::AddSweepCommands(app, context);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  return context.exitCode;
}
