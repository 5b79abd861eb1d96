// main.cpp: the korvane executable. With no arguments it opens the main
// window, with a model file's path the main window on that model; with a
// subcommand it works headless.
//
// Exit codes, decided here for every command: 0 success; 1 a command that
// failed at run time (a missing file, a refused value, an exception that no
// command caught); 2 a usage error (an unknown command or option, a missing
// or malformed argument). A command may return a code of its own that says
// more (`check` returns 2 for a model that cannot run, `export` 130 when
// interrupted). Results go to standard output, messages to standard error.
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string_view>

#include "app/Commands.h"
#include "app/ManPage.h"
#include "editor/Desktop.h"
#include "util/Error.h"

namespace {

constexpr int kUsageError = 2;
constexpr int kRuntimeError = 1;

// The manual page is generated from the commands at build time:
// `korvane --write-man-page FILE`. Not an option of the command line, so
// that it shows up in no help text.
int WriteManPage(const CLI::App& app, const char* path) {
  std::ofstream out(path, std::ios::binary);
  out << korvane::app::ManPage(app);
  if (!out) {
    std::cerr << "korvane: cannot write " << path << "\n";
    return kRuntimeError;
  }
  return 0;
}

bool IsCommand(const CLI::App& app, const std::string& name) {
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; }))
    if (sub->check_name(name)) return true;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc <= 1) return korvane::editor::RunDesktop(argc, argv);

  CLI::App app{"Korvane: define, run and analyse instance-based models of repeated decision making.\n"
               "Run without arguments to open the main window.",
               "korvane"};
  app.set_version_flag("--version", "korvane " KORVANE_VERSION, "Print the version and exit");
  app.require_subcommand(1);
  korvane::app::CommandContext context;
  korvane::app::AddStoreCommands(app, context);
  korvane::app::AddFormulaCommands(app, context);
  korvane::app::AddEngineCommands(app, context);
  korvane::app::AddTaskCommands(app, context);
  korvane::app::AddExportCommands(app, context);
  korvane::app::AddPlotCommands(app, context);
  korvane::app::AddSweepCommands(app, context);
  if (argc == 3 && std::string_view(argv[1]) == "--write-man-page") return WriteManPage(app, argv[2]);
  // `korvane FILE`: the main window with that model open (the desktop opens
  // model files this way).
  if (argc == 2 && argv[1][0] != '-' && !IsCommand(app, argv[1]) && std::filesystem::is_regular_file(argv[1]))
    return korvane::editor::RunDesktop(1, argv, argv[1]);

  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {  // --help, --version
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);  // prints the message and where to find help
    return kUsageError;
  } catch (const korvane::Error& e) {
    std::cerr << "korvane: Error " << e.Number() << ": " << e.Description() << "\n";
    return kRuntimeError;
  } catch (const std::exception& e) {
    std::cerr << "korvane: " << e.what() << "\n";
    return kRuntimeError;
  }
  return context.exitCode;
}
