// EngineCommands.cpp: `korvane check MODEL --type I1`, the model preparation
// without a task.
//
// Prepares the model for the instance type and prints every line the
// preparation logs (the summary, the warnings and every problem found, in one
// pass). Exit code 0 when the model is ready to run (with --strict, only when
// there is no warning either), 2 when it cannot run, 3 when it can run but
// --strict refuses its warnings. The model file itself is left untouched: the
// preparation runs on a temporary copy.
#include <iostream>

#include "app/Commands.h"
#include "engine/ModelCheck.h"
#include "util/Error.h"
#include "util/Files.h"

namespace korvane::app {

namespace {

int Check(const std::string& model, const std::string& type, bool strict) {
  if (!FileExists(model)) {
    std::cerr << "Error: Could not find file '" << model << "'.\n";
    return 1;
  }
  try {
    const engine::ModelCheck check = engine::CheckModel(model, type);
    for (const std::string& line : check.lines) std::cout << line << "\n";
    if (check.ready && strict && !check.warnings.empty()) {
      std::cout << "Refused by --strict: the model has warnings.\n";
      return 3;
    }
    return check.ready ? 0 : 2;
  } catch (const Error& e) {
    std::cerr << "Error " << e.Number() << ": " << e.Description() << "\n";
    return 1;
  }
}

}  // namespace

void AddEngineCommands(CLI::App& app, CommandContext& context) {
  auto* check = app.add_subcommand("check", "Prepare a model for an instance type and print the preparation log");
  auto model = std::make_shared<std::string>();
  auto type = std::make_shared<std::string>();
  check->add_option("MODEL", *model, "Model file (.mdb)")->required();
  auto strict = std::make_shared<bool>(false);
  check->add_option("--type", *type, "Instance type, e.g. I1")->required();
  check->add_flag("--strict", *strict, "Fail (exit code 3) when the model can run but has warnings");
  check->footer(
      "Exit codes: 0 ready to run (warnings are printed but do not fail), 2 the model cannot run, 3 ready but "
      "refused by --strict because of warnings, 1 the file cannot be read.");
  check->callback([&context, model, type, strict] { context.exitCode = Check(*model, *type, *strict); });
}

}  // namespace korvane::app
