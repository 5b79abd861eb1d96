// ExportCommands.cpp: `korvane export`, the trace of an experiment database
// to CSV without the export screen.
//
//   korvane export EXPERIMENT --type I1 [--subjects 1,2,5|all]
//       [--include activation,bll,pm,noise,time,situation,decision,utility|all]
//       [--filter "Activation >= 2"]... [-o FILE [--force]]
//
// The same export as the screen's: the "ACAL" rows of the chosen subjects,
// in order, with the chosen columns, narrowed by every filter. Without -o the
// file is a new "exported-yyyyMMdd-n.csv" in the data folder. The path of
// the file written goes to standard output; a progress bar to standard error
// when that is a terminal; refusals and failures to standard error with exit
// code 1. Ctrl+C stops the export and leaves no file (exit code 130).
//
//   korvane export EXPERIMENT --trials [--type I1] [-o FILE [--force]]
//
// writes the trial table instead: one row per cue judged (see
// export/TrialTable.h); --type is needed only when the run had several
// instance types.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <iostream>
#include <memory>

#include "app/Commands.h"
#include "export/ExportMessages.h"
#include "export/ExportSettings.h"
#include "export/FilterInput.h"
#include "export/TraceExport.h"
#include "export/TraceQuery.h"
#include "export/TrialTable.h"
#include "store/DatabaseVersioning.h"
#include "store/Schema.h"
#include "util/Error.h"
#include "util/Files.h"

namespace korvane::app {

namespace {

using namespace korvane::exporting;

struct ExportOptions {
  std::string experiment;
  std::string type;
  std::string subjects = "all";
  std::vector<std::string> include;
  std::vector<std::string> filters;
  std::string output;
  bool force = false;
  bool trials = false;
};

std::atomic<bool> interrupted{false};
extern "C" void OnInterrupt(int) { interrupted = true; }

// Reads the --include words into the options; an unknown word is an error.
bool ReadIncludes(const std::vector<std::string>& lists, IncludeOptions& in, std::string& error) {
  for (const std::string& list : lists) {
    std::size_t start = 0;
    while (start <= list.size()) {
      std::size_t end = list.find(',', start);
      if (end == std::string::npos) end = list.size();
      std::string word = list.substr(start, end - start);
      for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (word == "activation") in.activation = true;
      else if (word == "bll") in.bll = true;
      else if (word == "pm" || word == "partial match" || word == "similarity") in.partialMatch = true;
      else if (word == "noise") in.noise = true;
      else if (word == "time") in.time = true;
      else if (word == "situation") in.situation = true;
      else if (word == "decision") in.decision = true;
      else if (word == "utility") in.utility = true;
      else if (word == "all") in = IncludeOptions::All();
      else if (!word.empty()) {
        error = "Unknown column kind '" + word +
                "' in --include (activation, bll, pm, noise, time, situation, decision, utility, all).";
        return false;
      }
      start = end + 1;
    }
  }
  return true;
}

bool ReadSubjects(store::Database& db, const std::string& type, const std::string& text,
                  std::vector<std::int32_t>& subjects, std::string& error) {
  if (text == "all") {
    subjects = exporting::Subjects(db, type);
    return true;
  }
  subjects = ParseSubjects(text);
  std::size_t parts = 1;
  for (char c : text) parts += c == ',' ? 1 : 0;
  bool allPositive = true;
  for (std::int32_t s : subjects) allPositive = allPositive && s > 0;
  if (subjects.size() != parts || !allPositive) {
    error = "Cannot read the subjects '" + text + "': give subject numbers above 0 separated by commas, or all.";
    return false;
  }
  return true;
}

// A bar on standard error, redrawn at most ten times a second.
class ProgressBar {
 public:
  bool Update(std::int64_t done, std::int64_t total) {
    auto now = std::chrono::steady_clock::now();
    if (done < total && now - last_ < std::chrono::milliseconds(100)) return true;
    last_ = now;
    constexpr int kWidth = 40;
    double share = total > 0 ? static_cast<double>(done) / static_cast<double>(total) : 0;
    if (share > 1) share = 1;
    int filled = static_cast<int>(share * kWidth);
    std::cerr << "\r[" << std::string(static_cast<std::size_t>(filled), '#')
              << std::string(static_cast<std::size_t>(kWidth - filled), '.') << "] " << static_cast<int>(share * 100)
              << "% " << done << "/" << total << " rows" << std::flush;
    drawn_ = true;
    return true;
  }
  void Finish() {
    if (drawn_) std::cerr << "\n";
    drawn_ = false;
  }

 private:
  std::chrono::steady_clock::time_point last_{};
  bool drawn_ = false;
};

int ReportOutcome(const ExportOutcome& outcome) {
  switch (outcome.result) {
    case ExportResult::Done: std::cout << outcome.path << "\n"; return 0;
    case ExportResult::Cancelled: std::cerr << outcome.message << "\n"; return 130;
    case ExportResult::Refused:
      std::cerr << outcome.message << "\n" << messages::kCannotExport << "\n";
      return 1;
    case ExportResult::Failed: std::cerr << outcome.message << "\n"; return 1;
  }
  return 1;
}

// Runs one export to options.output with a progress bar on a terminal and
// Ctrl+C cancelling it; run(target, callbacks) does the export itself.
template <class Run>
int RunWithProgress(const ExportOptions& options, Run run) {
  ExportTarget target;
  target.path = options.output;
  target.overwrite = options.force;
  ProgressBar bar;
  ExportCallbacks callbacks;
  callbacks.cancel = &interrupted;
  if (isatty(STDERR_FILENO)) callbacks.progress = [&bar](std::int64_t done, std::int64_t total) {
    return bar.Update(done, total);
  };
  interrupted = false;
  auto previous = std::signal(SIGINT, OnInterrupt);
  ExportOutcome outcome = run(target, callbacks);
  std::signal(SIGINT, previous);
  bar.Finish();
  return ReportOutcome(outcome);
}

// The trial table, one row per cue judged.
int RunTrialExport(const ExportOptions& options) {
  if (!options.include.empty() || !options.filters.empty() || options.subjects != "all") {
    std::cerr << "--trials writes every row of the trial table; --include, --filter and --subjects apply to the "
                 "trace export only.\n";
    return 1;
  }
  std::unique_ptr<store::Database> db = store::OpenDatabaseWithUpgradeOffer(options.experiment);
  if (!db) return 1;
  return RunWithProgress(options, [&](const ExportTarget& target, const ExportCallbacks& callbacks) {
    return ExportTrials(db.get(), options.type, target, callbacks);
  });
}

int RunExport(const ExportOptions& options) {
  if (!FileExists(options.experiment)) {
    std::cerr << "Could not find file '" << options.experiment << "'.\n";
    return 1;
  }
  if (options.trials) return RunTrialExport(options);
  if (options.type.empty()) {
    std::cerr << "--type is required (the instance type, e.g. I1), unless --trials is given.\n";
    return 1;
  }
  ExportRequest request;
  request.instanceType = options.type;
  std::string error;
  if (!ReadIncludes(options.include, request.include, error)) {
    std::cerr << error << "\n";
    return 1;
  }
  // Only read: an outdated file is used as it is, a read-only one works, and
  // nothing in the file changes.
  std::unique_ptr<store::Database> db;
  try {
    db = store::Database::OpenReadOnly(options.experiment);
  } catch (const Error& e) {
    std::cerr << "The database " << options.experiment << " could not be opened.\n" << e.Description() << "\n";
    return 1;
  }
  if (!ReadSubjects(*db, options.type, options.subjects, request.subjects, error)) {
    std::cerr << error << "\n";
    return 1;
  }
  if (auto table = store::FindTableDef(db.get(), options.type); table && !store::IsSystemTable(*table)) {
    auto variables = FilterVariables(*table);
    for (const std::string& text : options.filters) {
      FilterOrMessage made = ParseFilterText(text, variables);
      if (!made.filter) {
        std::cerr << made.message << "\n";
        return 1;
      }
      request.filters.Append(made.filter);
    }
  }

  return RunWithProgress(options, [&](const ExportTarget& target, const ExportCallbacks& callbacks) {
    return ExportTrace(db.get(), request, target, callbacks);
  });
}

}  // namespace

void AddExportCommands(CLI::App& app, CommandContext& context) {
  auto options = std::make_shared<ExportOptions>();
  CLI::App* command = app.add_subcommand(
      "export",
      "Write the ACAL trace rows of an experiment database (or, with --trials, its trial table: one row per cue "
      "judged) to a CSV file and print its path.");
  command->add_option("EXPERIMENT", options->experiment, "The experiment database (a copy made for one run).")
      ->required();
  command->add_option("--type", options->type,
                      "The instance type, e.g. I1 (required for the trace; with --trials only when the run had "
                      "several).");
  command->add_flag("--trials", options->trials,
                    "Write the trial table: per subject, trial and cue its situation, path (RETR/HEUR), utility, "
                    "activation, retrieval time, Executed, decision, feedback and utility after.");
  command->add_option("--subjects", options->subjects, "Subject numbers in order, e.g. 1,2,5, or all (default).");
  command->add_option("--include", options->include,
                      "Optional columns: activation,bll,pm,noise,time,situation,decision,utility or all.")
      ->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  command->add_option("--filter", options->filters,
                      "A condition such as \"Activation >= 2\" or \"Price (Situation) <> 3\"; repeat for more.")
      ->expected(1)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  command->add_option("-o,--output", options->output,
                      "The CSV file to write (default: a new exported-yyyyMMdd-n.csv, or trials-yyyyMMdd-n.csv with --trials, "
                      "in the data folder).");
  command->add_flag("--force", options->force, "Replace FILE when it exists.");
  command->callback([options, &context] { Guarded(context, [&] { return RunExport(*options); }); });
}

}  // namespace korvane::app
