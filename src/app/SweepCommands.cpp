// SweepCommands.cpp: `korvane sweep`, a parameter sweep over a model's
// settings run on every core (or as a Slurm job array), `korvane sweep
// collect` that merges the points' results, and `korvane sweep plot`.
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <thread>

#include "app/Commands.h"
#include "app/SweepPlot.h"
#include "sweep/Sweep.h"
#include "sweep/SweepRunner.h"

namespace korvane::app {

namespace {

namespace fs = std::filesystem;

struct SweepArgs {
  std::string model, output;
  std::vector<std::string> vary;
  int subjects = 20, trials = 100, blockSize = 0, jobs = 0;
  std::string task = "binary-choice", taskCommand, type, target, keep = "trials", only;
  std::uint64_t seed = 1;
  bool slurm = false, noSubmit = false;
  std::string partition, time;
  int chunks = 0, cpusPerTask = 2;
  std::string collectDir, plotDir, plotOutput;
};

extern "C" void OnSweepSignal(int) { sweep::StopFlag() = true; }

std::string ThisProgram() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string("korvane") : self.string();
}

// Runs a command and gives its standard output; the exit code in *code.
std::string Capture(const std::string& command, int* code) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) {
    *code = -1;
    return out;
  }
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
  const int status = pclose(pipe);
  *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

int Submit(const std::string& folder) {
  const std::string dir = fs::absolute(folder).string();
  int code = 0;
  const std::string array = Capture("sbatch --parsable " + sweep::ShellQuote(dir + "/sweep.sbatch"), &code);
  if (code != 0 || array.empty()) {
    std::cerr << "korvane sweep: sbatch did not take " << dir << "/sweep.sbatch"
              << (code == 127 ? " (sbatch is not installed here)" : "") << "; submit it yourself with\n"
              << "  sbatch " << dir << "/sweep.sbatch\n";
    return 1;
  }
  const std::string job = array.substr(0, array.find(';'));
  const std::string collect = Capture("sbatch --parsable --dependency=afterany:" + job + " " +
                                          sweep::ShellQuote(dir + "/collect.sbatch"),
                                      &code);
  std::cout << "Submitted job array " << job << " (" << dir << "/sweep.sbatch)\n";
  if (code == 0 && !collect.empty())
    std::cout << "Submitted job " << collect.substr(0, collect.find(';')) << " to collect the results when it ends\n";
  else
    std::cerr << "korvane sweep: the collect job was not submitted; run `korvane sweep collect " << dir
              << "` when the array has ended\n";
  std::cout << "Watch it with: squeue -j " << job << "\n"
            << "Results: " << dir << "/results.csv\n";
  return 0;
}

int RunSweepCommand(const SweepArgs& a) {
  sweep::SweepDefinition d;
  std::vector<int> only;
  try {  // what the command line itself gets wrong is a usage error
    for (const auto& text : a.vary) d.vary.push_back(sweep::ParseVariation(text));
    d.keep = sweep::ParseKeep(a.keep);
    if (!a.only.empty()) only = sweep::ChunkPoints(a.only, static_cast<int>(sweep::MakePoints(d).size()));
  } catch (const sweep::SweepError& e) {
    std::cerr << "korvane sweep: " << e.what() << "\n";
    return 2;
  }
  try {
    d.model = a.model;
    d.subjects = a.subjects;
    d.trials = a.trials;
    d.blockSize = a.blockSize > 0 ? a.blockSize : std::max(1, a.trials / 10);
    d.instanceType = a.type;
    d.task = a.task;
    d.taskCommand = a.taskCommand;
    d.seed = a.seed;
    d.target = a.target;

    const sweep::FolderLock lock(a.output, !a.only.empty());
    d = sweep::PrepareSweep(d, a.output);
    if (a.slurm) {
      sweep::SlurmOptions slurm;
      slurm.partition = a.partition;
      slurm.time = a.time;
      slurm.chunks = a.chunks;
      slurm.cpusPerTask = a.cpusPerTask;
      sweep::WriteSlurmScripts(a.output, d, slurm, ThisProgram());
      const std::string dir = fs::absolute(a.output).string();
      std::cout << "Wrote " << dir << "/sweep.sbatch (the job array) and " << dir << "/collect.sbatch\n";
      if (a.noSubmit) {
        std::cout << "Submit with: sbatch " << dir << "/sweep.sbatch, then `korvane sweep collect " << dir
                  << "` when it has ended\n";
        return 0;
      }
      return Submit(a.output);
    }

    sweep::RunOptions options;
    options.program = ThisProgram();
    options.jobs = a.jobs > 0 ? a.jobs : std::max(1u, std::thread::hardware_concurrency());
    options.only = only;
    options.writeResults = a.only.empty();  // chunks of a job array leave that to collect
    options.interactive = isatty(STDOUT_FILENO);
    sweep::StopFlag() = false;
    std::signal(SIGINT, OnSweepSignal);
    std::signal(SIGTERM, OnSweepSignal);
    const sweep::RunReport report = sweep::RunSweep(d, a.output, options, std::cout);
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    if (report.interrupted) return 130;
    return report.failed ? 1 : 0;
  } catch (const sweep::SweepError& e) {
    std::cerr << "korvane sweep: " << e.what() << "\n";
    return 1;
  }
}

}  // namespace

void AddSweepCommands(CLI::App& app, CommandContext& context) {
  auto a = std::make_shared<SweepArgs>();
  CLI::App* sweep = app.add_subcommand(
      "sweep",
      "Run a model over a grid of settings (each point a whole experiment with its own server and task, "
      "J points at a time), summarise each point per block of trials and fit them to human data");
  sweep->require_subcommand(0, 1);
  sweep->add_option("MODEL", a->model, "Model file (.mdb)");
  sweep->add_option("-o,--output", a->output,
                    "Sweep folder (results.csv, best.json, points/), locked while a sweep works in it; a rerun "
                    "resumes it, running again every point without all its decisions");
  sweep->add_option("--vary", a->vary,
                    "KEY=V1,V2,... or KEY=FROM:TO:STEP, once per varied setting (e.g. Params_D_Value=0.3,0.5,0.7)");
  sweep->add_option("--subjects", a->subjects, "Simulated subjects per point (default 20)")
      ->check(CLI::Range(1, 32767));
  sweep->add_option("--trials", a->trials, "Trials per subject (default 100)")->check(CLI::Range(1, 32767));
  sweep->add_option("--block-size", a->blockSize, "Trials per block of the summary (default: a tenth of the trials)")
      ->check(CLI::Range(1, 32767));
  auto* task = sweep->add_option("--task", a->task, "Sample task that drives each point (default binary-choice)")
                   ->check(CLI::IsMember({"binary-choice"}));
  sweep->add_option("--task-command", a->taskCommand,
                    "Your own task instead, run by /bin/sh for each point; {host}, {port}, {subjects}, {trials}, "
                    "{seed} and {dir} are replaced")
      ->excludes(task);
  sweep->add_option("--type", a->type, "Instance type to summarise (default: the model's only one)");
  sweep->add_option("--jobs,-j", a->jobs, "Points at a time (default: the number of cores)")->check(CLI::Range(1, 1024));
  sweep->add_option("--seed", a->seed, "Seed of the sweep; each point's seed comes from it and the point (default 1)");
  sweep->add_option("--target", a->target, "Human data to fit: CSV with the columns block, decision, proportion");
  sweep->add_option("--keep", a->keep, "What stays of each point: none, trials (default: trials.csv) or all")
      ->check(CLI::IsMember({"none", "trials", "all"}));
  sweep->add_option("--only", a->only, "Run only chunk I of N of the points (I/N), as a Slurm array task does");
  auto* slurm = sweep->add_flag("--slurm", a->slurm, "Write DIR/sweep.sbatch (a Slurm job array) and submit it");
  sweep->add_option("--partition", a->partition, "Slurm partition")->needs(slurm);
  sweep->add_option("--time", a->time, "Slurm time limit of each array task, e.g. 01:00:00")->needs(slurm);
  sweep->add_option("--chunks", a->chunks, "Slurm array tasks (default: one per point, at most 100)")
      ->needs(slurm)
      ->check(CLI::Range(1, 100000));
  sweep->add_option("--cpus-per-task", a->cpusPerTask, "Cores of each Slurm array task (default 2)")
      ->needs(slurm)
      ->check(CLI::Range(1, 1024));
  sweep->add_flag("--no-submit", a->noSubmit, "With --slurm: write the scripts but do not call sbatch")->needs(slurm);

  CLI::App* collect = sweep->add_subcommand("collect", "Merge the points' results into results.csv and best.json");
  collect->add_option("DIR", a->collectDir, "Sweep folder")->required();
  collect->callback([a, &context] {
    try {
      const auto report = sweep::CollectSweep(a->collectDir, std::cout);
      context.exitCode = report.failed ? 1 : 0;
    } catch (const sweep::SweepError& e) {
      std::cerr << "korvane sweep collect: " << e.what() << "\n";
      context.exitCode = 1;
    }
  });

  CLI::App* plot = sweep->add_subcommand(
      "plot", "Draw the fit surface (one varied key: a line; two: a heat map) and the best point against the target");
  plot->add_option("DIR", a->plotDir, "Sweep folder")->required();
  plot->add_option("-o,--output", a->plotOutput, "PNG file to write (default DIR/fit.png)");
  plot->callback([a, &context] { context.exitCode = PlotSweep(a->plotDir, a->plotOutput); });

  sweep->callback([a, collect, plot, &context] {
    if (collect->parsed() || plot->parsed()) return;
    if (a->model.empty() || a->output.empty()) {
      std::cerr << "korvane sweep: MODEL and -o DIR are needed (see korvane sweep --help)\n";
      context.exitCode = 2;
      return;
    }
    context.exitCode = RunSweepCommand(*a);
  });
}

}  // namespace korvane::app
