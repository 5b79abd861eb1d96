// SweepRunner.h: runs the points of a sweep, J at a time, each as processes.
//
// A point is run by the korvane program itself: its model copy (the point's
// settings written into it) is served by `korvane serve --port 0 --info-file`
// on 127.0.0.1 with the simulated clock and the point's seed, and driven by
// `korvane task binary-choice` or the user's task command. When the task has
// ended the server is stopped (SIGTERM: it closes its databases cleanly), the
// experiment's trace is summarised, and what --keep does not keep is removed.
// A point is complete when its summary.json is written (last, atomically)
// with the point's signature and every decision it was asked for; a rerun
// skips complete points, so an interrupted sweep resumes. A failing
// point writes error.txt and the others go on.
//
// Plain C++ and POSIX (fork, execve, waitpid): worker threads start and watch
// the processes; no event loop is needed. A child gets SIGTERM when the sweep
// dies, so a killed sweep leaves no server behind; a task command's own
// processes go with it (its process group is ended).
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "sweep/Sweep.h"

namespace korvane::sweep {

struct RunOptions {
  std::string program;          // the korvane executable that serves and runs the sample task
  int jobs = 1;                 // points at a time
  std::vector<int> only;        // point numbers to run (empty: all)
  bool writeResults = true;     // results.csv and best.json when done
  bool interactive = false;     // redraw one progress line instead of printing a line per point
  int serveTimeoutMs = 30000;   // longest wait for a server to listen
};

struct RunReport {
  int points = 0;       // asked for
  int skipped = 0;      // already complete
  int completed = 0;    // run now
  int failed = 0;
  bool interrupted = false;
  std::int64_t decisions = 0;  // of the points run now
  double seconds = 0;
  std::vector<std::string> failures;  // "p0003 (D=0.5): why"
  std::optional<PointOutcome> best;
};

// Set (e.g. from a signal handler) to stop: running points are abandoned
// (their processes killed) and left incomplete; nothing else starts.
std::atomic<bool>& StopFlag();

// Holds DIR/sweep.lock while a sweep works in DIR, so that two sweeps never
// rebuild each other's points: a whole sweep holds it alone, the chunks of
// one job array (--only) side by side (each point is then locked on its own
// while it runs). The lock goes with the process, however it ends. Throws
// SweepError naming the holder when another sweep has it.
class FolderLock {
 public:
  FolderLock(const std::string& folder, bool shared);
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  int fd_ = -1;
};

// Checks the definition against the model (the keys exist, the instance type
// exists; picks the only instance type when none is named) and the target,
// creates the folder and writes sweep.json. Returns the definition as stored.
SweepDefinition PrepareSweep(SweepDefinition definition, const std::string& folder);

RunReport RunSweep(const SweepDefinition& definition, const std::string& folder, const RunOptions& options,
                   std::ostream& out);

// Reads sweep.json and the points' results; writes results.csv (and
// best.json). Reports what is missing on out.
RunReport CollectSweep(const std::string& folder, std::ostream& out);

// The Slurm job array of a sweep: DIR/sweep.sbatch runs chunk
// $SLURM_ARRAY_TASK_ID of N with `korvane sweep --only I/N`, and
// DIR/collect.sbatch merges the results. Returns the text of sweep.sbatch.
struct SlurmOptions {
  std::string partition;
  std::string time;           // e.g. "01:00:00"
  int chunks = 0;             // array tasks (0: one per point, at most 100)
  int cpusPerTask = 2;
};
void WriteSlurmScripts(const std::string& folder, const SweepDefinition& definition, const SlurmOptions& options,
                       const std::string& program);

// A shell word: bare when safe, else in single quotes.
std::string ShellQuote(const std::string& word);

}  // namespace korvane::sweep
