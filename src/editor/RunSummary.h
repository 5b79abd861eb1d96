// RunSummary.h: what a run did, trial by trial, for the graph screen and
// `korvane plot`.
//
// From the trial table of an experiment database (exporting::TrialTable,
// the same rows `korvane export --trials` writes) it gathers, per trial or
// per block of trials and averaged over the chosen subjects: the share of
// each decision among the executed cues (named "Choice = 2"), the mean
// utility of the executed cues, the mean utility the model judged each
// alternative to be worth (the blended value, for a blending model), and
// the mean activation of the retrieved cues. Trials count from 1. A file
// without a trial table (a run of an earlier Korvane) is read from its
// trace instead, without the alternatives' panel. Each subject counts once per
// trial (its own mean first, then the mean over the subjects that have data
// in that trial), so a subject with many retrievals in a trial does not
// outweigh the others. Plain C++, no Qt.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvane::store {
class Database;
}

namespace korvane::editor {

struct RunSummary {
  std::string instanceType;
  std::vector<std::int32_t> subjects;        // the subjects asked for (all when none were named)
  std::vector<std::string> decisionSlots;    // display names of the decision slots
  std::string utilitySlot;                   // display name of the utility slot ("" when none)
  std::vector<std::string> decisionValues;   // one label per distinct decision, sorted
  int blockSize = 1;                         // trials per point; trials then holds block numbers
  bool fromTrialTable = false;               // false: read from the trace of an older run
  std::vector<std::int64_t> trials;          // every trial (or block) with data, ascending
  // share[v][t]: share of decision value v among the executed instances in
  // trial t (NaN when no chosen subject executed anything in that trial).
  std::vector<std::vector<double>> share;
  std::vector<double> meanUtility;           // per trial; NaN where unknown
  std::vector<double> meanActivation;        // per trial; NaN where nothing was retrieved
  // One label per alternative offered ("Option = 2"), sorted, and per
  // alternative and trial the mean utility judged for it (NaN where none).
  std::vector<std::string> alternatives;
  std::vector<std::vector<double>> alternativeUtility;
  // With the full trace of a blending run: per outcome of an alternative
  // ("Option 2: 4") and trial, the mean retrieval probability of the
  // instances holding that outcome in the alternative's blends; and per
  // instance kind ("Option 2: 4": its situation and utility) the
  // mean base-level activation of the candidates scored. At most
  // kMostBlendSeries of each, those of the greatest mass or count.
  static constexpr std::size_t kMostBlendSeries = 8;
  std::vector<std::string> outcomeLabels;
  std::vector<std::vector<double>> outcomeProbability;
  std::vector<std::string> instanceLabels;
  std::vector<std::vector<double>> instanceBLL;
  std::int64_t executions = 0;               // EXEC rows counted
  std::int64_t executionsWithoutRow = 0;     // EXEC rows whose instance row cannot be found
  std::int64_t retrievals = 0;               // retrieval rows counted

  bool Empty() const { return trials.empty(); }
};

// Reads the trace of instanceType for the subjects (all subjects when the
// list is empty). A database without a trace gives an empty summary; a
// database that cannot be read raises korvane::Error.
RunSummary SummarizeRun(store::Database& db, const std::string& instanceType,
                        const std::vector<std::int32_t>& subjects, int blockSize = 1);

// The label of one decision: the decision slots' values joined by " / ".
std::string DecisionLabel(const std::vector<std::string>& values);

}  // namespace korvane::editor
