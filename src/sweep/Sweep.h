// Sweep.h: parameter sweeps over a model's settings, and their fit to data.
//
// A sweep varies settings of a model over a grid. Every grid point is run as
// a whole experiment of its own (a copy of the model with the point's
// settings, served by its own `korvane serve` process and driven by its own
// task process, see SweepRunner.h); what it did is summarised per block of
// trials: the proportion of each decision value and the mean outcome. With a
// target (human data in the same block form) every point gets its mean
// squared deviation, RMSE and correlation to it, and the best point is named.
//
// Layout of a sweep folder DIR:
//   DIR/sweep.json            the sweep's definition (what collect and plot read)
//   DIR/points/pNNNN/         one folder per point:
//       summary.json          written last: the point is complete
//       blocks.csv            block,decision,proportion (the target's own form)
//       trials.csv            the run's trial table (with --keep trials or all)
//       error.txt             why the point failed (it is run again next time)
//   DIR/results.csv           one row per point
//   DIR/best.json             the best point (with a target)
//
// Plain C++ (no Qt): the process handling lives in SweepRunner.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace korvane::sweep {

// A sweep that cannot go on: bad options, a missing model or key, a target
// that does not fit the sweep, a folder that cannot be written.
class SweepError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One varied setting and its values, as text (numbers in their shortest form).
struct Variation {
  std::string key;
  std::vector<std::string> values;
};

// "KEY=V1,V2,..." or "KEY=FROM:TO:STEP" (FROM, FROM+STEP, ... up to TO).
Variation ParseVariation(const std::string& text);

enum class Keep { None, Trials, All };
Keep ParseKeep(const std::string& text);
std::string KeepName(Keep keep);

struct SweepDefinition {
  std::string model;             // absolute path of the model file
  std::vector<Variation> vary;
  int subjects = 10;
  int trials = 100;
  int blockSize = 10;
  std::string instanceType;      // whose trace is summarised
  std::string task = "binary-choice";
  std::string taskCommand;       // instead of the sample task: "CMD {host} {port} {subjects} {seed}"
  std::uint64_t seed = 1;
  std::string target;            // absolute path of the human data, or empty
  Keep keep = Keep::Trials;
  std::string modelHash;         // of the model file's bytes when the sweep started

  int Blocks() const { return blockSize > 0 ? (trials + blockSize - 1) / blockSize : 0; }
};

std::string DefinitionJson(const SweepDefinition& definition);
SweepDefinition DefinitionFromJson(const std::string& text);

// A grid point: its number (1-based, the first key varies slowest), values
// in the order of the varied keys, and seed.
struct Point {
  int number = 0;
  std::vector<std::string> values;
  std::uint64_t seed = 0;

  // "p0001": the point's folder name.
  std::string Id() const;
};

// Every point of the grid. A point's seed comes from the sweep's seed and
// the point's own keys and values (not its position), so a sweep replays
// exactly and adding a value to a key leaves the other points' seeds alone.
std::vector<Point> MakePoints(const SweepDefinition& definition);
std::uint64_t PointSeed(std::uint64_t sweepSeed, const std::vector<Variation>& vary,
                        const std::vector<std::string>& values);

// What must match for a completed point to count on a rerun.
std::string PointSignature(const SweepDefinition& definition, const Point& point);

// "I/N": the I-th of N chunks of nearly equal size, as point numbers.
std::vector<int> ChunkPoints(const std::string& only, int pointCount);

// FNV-1a of a file's bytes, as 16 hex digits.
std::string FileHash(const std::string& path);

// --- What a point did ---------------------------------------------------------

// One executed decision of one simulated subject.
struct TrialRecord {
  std::int32_t subject = 0;
  std::int64_t trial = 0;          // TrialNumber as the trial table holds it
  std::int64_t ordinal = 0;        // 1 for the subject's first trial, 2 for its second, ...
  std::string decision;           // the decision slots' values, joined by " / "
  std::optional<double> feedback; // the mean feedback of the trial, if any
};

// The executed decisions and their feedback, per subject and trial, from the
// trial table of an experiment database (exporting::ReadTrialTable); with
// csv, also the whole trial table as CSV (one row per cue).
std::vector<TrialRecord> ReadTrials(const std::string& experimentPath, const std::string& instanceType,
                                    std::string* csv = nullptr);

struct BlockSummary {
  int block = 0;                              // 1-based
  std::int64_t decisions = 0;
  std::map<std::string, double> proportion;   // by decision value
  std::optional<double> meanOutcome;
};

struct PointSummary {
  std::string signature;
  int number = 0;
  std::vector<std::string> values;
  std::uint64_t seed = 0;
  int subjects = 0;
  std::int64_t decisions = 0;
  double seconds = 0;
  std::vector<BlockSummary> blocks;
};

// Block b covers each subject's trials (b-1)*blockSize+1 .. b*blockSize
// (counted by ordinal, whatever number the trace gives the first trial).
std::vector<BlockSummary> SummarizeBlocks(const std::vector<TrialRecord>& trials, int blockSize, int blocks);

// A point counts as complete only when its summary carries the point's
// signature and every decision it was asked for (subjects x trials).
bool SummaryComplete(const PointSummary& summary, const SweepDefinition& definition, const Point& point);

std::string SummaryJson(const PointSummary& summary);
PointSummary SummaryFromJson(const std::string& text);
// block,decision,proportion: the point in the target's own form.
std::string BlocksCsv(const std::vector<BlockSummary>& blocks);

// --- Fit -----------------------------------------------------------------------

// Human data: proportion of each decision value per block.
struct Target {
  std::map<std::pair<int, std::string>, double> proportion;  // (block, decision)
};

// Reads a CSV with the columns block, decision, proportion (any order, other
// columns ignored, names without regard to case). Refuses blocks outside
// 1..blocks, proportions outside 0..1 and repeated (block, decision) rows.
Target ReadTarget(const std::string& path, int blocks);

struct Fit {
  double msd = 0;
  double rmse = 0;
  std::optional<double> r;  // none when either side does not vary
};

Fit FitToTarget(const PointSummary& point, const Target& target);

// --- Results ---------------------------------------------------------------------

struct PointOutcome {
  Point point;
  std::optional<PointSummary> summary;  // none when it failed or has not run
  std::string error;                    // why it failed
  std::optional<Fit> fit;
};

// Reads each point's folder: complete (summary.json with the right
// signature), failed (error.txt) or missing.
std::vector<PointOutcome> LoadOutcomes(const std::string& folder, const SweepDefinition& definition,
                                       const std::optional<Target>& target);

// Writes DIR/results.csv and, with a target and at least one complete point,
// DIR/best.json. Returns the best point, if any.
std::optional<PointOutcome> WriteResults(const std::string& folder, const SweepDefinition& definition,
                                         const std::vector<PointOutcome>& outcomes);

// Writes text to path through a temporary file renamed into place.
void WriteFileAtomically(const std::string& path, const std::string& text);
std::string ReadWholeFile(const std::string& path);

}  // namespace korvane::sweep
