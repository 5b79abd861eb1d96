// RunSummary.h: what a run did, trial by trial, for the graph screen and
// `korvane plot`.
//
// From the trace of an experiment database it gathers, per trial and averaged
// over the chosen subjects: the share of each decision value among the
// executed instances, the mean utility of the executed instances, and the
// mean activation of the retrieved instances. Each subject counts once per
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
  std::vector<std::int64_t> trials;          // every trial with data, ascending
  // share[v][t]: share of decision value v among the executed instances in
  // trial t (NaN when no chosen subject executed anything in that trial).
  std::vector<std::vector<double>> share;
  std::vector<double> meanUtility;           // per trial; NaN where unknown
  std::vector<double> meanActivation;        // per trial; NaN where nothing was retrieved
  std::int64_t executions = 0;               // EXEC rows counted
  std::int64_t executionsWithoutRow = 0;     // EXEC rows whose instance row cannot be found
  std::int64_t retrievals = 0;               // retrieval rows counted

  bool Empty() const { return trials.empty(); }
};

// Reads the trace of instanceType for the subjects (all subjects when the
// list is empty). A database without a trace gives an empty summary; a
// database that cannot be read raises korvane::Error.
RunSummary SummarizeRun(store::Database& db, const std::string& instanceType,
                        const std::vector<std::int32_t>& subjects);

// The label of one decision: the decision slots' values joined by " / ".
std::string DecisionLabel(const std::vector<std::string>& values);

}  // namespace korvane::editor
