// EngineCommands.cpp: `korvane check MODEL --type I1`, the model preparation
// without a task.
//
// Prepares the model for the instance type and prints every line the
// preparation logs (the summary, the warnings and every problem found, in one
// pass). Exit code 0 when the model is ready to run (with --strict, only when
// there is no warning either), 2 when it cannot run, 3 when it can run but
// --strict refuses its warnings. The model file itself is left untouched: the
// preparation runs on a temporary copy.
#include <filesystem>
#include <iostream>
#include <unistd.h>

#include "app/Commands.h"
#include "engine/ModelExecutor.h"
#include "engine/Scheduler.h"
#include "store/Database.h"
#include "util/Error.h"
#include "util/Files.h"

namespace korvane::app {

namespace {

class PrintingOwner : public engine::ExecutorOwner {
 public:
  void AddLog(const std::string& text, int level) override {
    if (level >= 1) std::cout << text << "\n";
  }
  void SendData(const std::string&) override {}
  void AddFileLog(const std::string&, int) override {}
  int LogDetailLevel() const override { return 1; }
};

int Check(const std::string& model, const std::string& type, bool strict) {
  if (!FileExists(model)) {
    std::cerr << "Error: Could not find file '" << model << "'.\n";
    return 1;
  }
  namespace fs = std::filesystem;
  fs::path copy = fs::temp_directory_path() /
                  ("korvane-check-" + std::to_string(getpid()) + "-" + GetFileBasename(model));
  int result = 1;
  try {
    store::Database::Copy(model, copy.string());
    {
      auto db = store::Database::Open(copy.string());
      PrintingOwner owner;
      engine::QueueScheduler scheduler;
      engine::ModelExecutor executor(*db, owner, scheduler);
      bool ready = executor.Prepare(type);
      const std::size_t warnings = executor.Warnings().size();
      std::string counted;
      if (warnings) counted = " (" + std::to_string(warnings) + (warnings == 1 ? " warning" : " warnings") + ")";
      std::cout << (ready ? "Model is ready to run instance type " : "Model cannot run instance type ") << type
                << counted << "\n";
      result = ready ? 0 : 2;
      if (ready && strict && warnings) {
        std::cout << "Refused by --strict: the model has warnings.\n";
        result = 3;
      }
    }
  } catch (const Error& e) {
    std::cerr << "Error " << e.Number() << ": " << e.Description() << "\n";
    result = 1;
  }
  std::error_code ec;
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) fs::remove(copy.string() + suffix, ec);
  return result;
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
