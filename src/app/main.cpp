// main.cpp: the korvane executable. With no arguments it opens the main
// window; with a subcommand it works headless.
#include <cctype>
#include <iostream>
#include <string>
#include <vector>

#include "app/Commands.h"
#include "editor/Desktop.h"

namespace {

// `korvane set FILE KEY VALUE` with a VALUE such as "-.5": the parser would
// take "-." for an option. A last argument that starts with "-" and then
// neither a letter nor "-" is a value; "--" before it says so.
std::vector<char*> ValueAfterDashes(int argc, char** argv) {
  std::vector<char*> args(argv, argv + argc);
  static char dashes[] = "--";
  if (argc == 5 && std::string(argv[1]) == "set") {
    const std::string value = argv[4];
    if (value.size() >= 1 && value[0] == '-' &&
        (value.size() == 1 || (!std::isalpha(static_cast<unsigned char>(value[1])) && value[1] != '-')))
      args.insert(args.begin() + 4, dashes);
  }
  return args;
}

}  // namespace

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
  try {
    std::vector<char*> args = ValueAfterDashes(argc, argv);
    app.parse(static_cast<int>(args.size()), args.data());
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  return context.exitCode;
}
