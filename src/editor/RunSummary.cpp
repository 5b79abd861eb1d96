// RunSummary.cpp: per-trial decisions, utilities and activations of a run.
#include "editor/RunSummary.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <set>

#include "editor/ScreenSettings.h"
#include "export/TraceQuery.h"
#include "store/Database.h"

namespace korvane::editor {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct SubjectTrial {
  std::int64_t executed = 0;
  std::map<std::string, std::int64_t> decisions;
  double utilitySum = 0;
  std::int64_t utilityCount = 0;
  double activation = kNaN;  // the subject's mean over the trial's retrievals
};

// Mean of the values that are numbers; NaN when there are none.
double MeanOf(const std::vector<double>& values) {
  double sum = 0;
  int count = 0;
  for (double v : values) {
    if (!std::isnan(v)) {
      sum += v;
      ++count;
    }
  }
  return count ? sum / count : kNaN;
}

}  // namespace

std::string DecisionLabel(const std::vector<std::string>& values) {
  std::string label;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i) label += " / ";
    label += values[i];
  }
  return label;
}

RunSummary SummarizeRun(store::Database& db, const std::string& instanceType,
                        const std::vector<std::int32_t>& subjects) {
  RunSummary summary;
  summary.instanceType = instanceType;
  summary.subjects = subjects;
  const std::set<std::int32_t> wanted(subjects.begin(), subjects.end());
  auto chosen = [&wanted](std::int32_t subject) { return wanted.empty() || wanted.count(subject) > 0; };

  if (!db.FindTableDef("MetaInstance")) return summary;
  const bool hasTable = db.FindTableDef(instanceType).has_value();

  std::vector<std::string> decisionColumns;
  std::string utilityColumn;
  if (hasTable) {
    for (const SlotColumn& slot : ListSlots(&db, instanceType)) {
      if (slot.aspect == 'D') {
        decisionColumns.push_back(slot.column);
        summary.decisionSlots.push_back(slot.displayName);
      } else if (slot.aspect == 'U' && utilityColumn.empty()) {
        utilityColumn = slot.column;
        summary.utilitySlot = slot.displayName;
      }
    }
  }

  std::map<std::pair<std::int32_t, std::int64_t>, SubjectTrial> cells;

  // Executions, with the decision and utility of the executed instance's row.
  {
    std::string select = "SELECT m.SubjectID, m.TrialNumber";
    std::string from = " FROM MetaInstance AS m";
    if (hasTable) {
      select += ", t.X_ID";
      for (const std::string& column : decisionColumns) select += ", t." + exporting::QuoteIdentifier(column);
      if (!utilityColumn.empty()) select += ", t." + exporting::QuoteIdentifier(utilityColumn);
      from += " LEFT JOIN " + exporting::QuoteIdentifier(instanceType) + " AS t ON m.Instance = t.X_ID";
    }
    store::Statement statement =
        db.Prepare(select + from + " WHERE m.InstanceType = ? AND m.Marker = 'EXEC'");
    statement.Bind(1, Variant(instanceType));
    while (statement.Step()) {
      const auto subject = static_cast<std::int32_t>(statement.Column(0).ToNumber());
      if (!chosen(subject)) continue;
      const auto trial = static_cast<std::int64_t>(statement.Column(1).ToNumber());
      ++summary.executions;
      SubjectTrial& cell = cells[{subject, trial}];
      if (!hasTable || statement.Column(2).IsNull() || statement.Column(2).IsEmpty()) {
        // The row was merged into another instance after its feedback.
        ++summary.executionsWithoutRow;
        continue;
      }
      std::vector<std::string> values;
      for (std::size_t i = 0; i < decisionColumns.size(); ++i)
        values.push_back(statement.Column(3 + static_cast<int>(i)).ToText());
      ++cell.executed;
      ++cell.decisions[DecisionLabel(values)];
      if (!utilityColumn.empty()) {
        const Variant utility = statement.Column(3 + static_cast<int>(decisionColumns.size()));
        if (utility.IsNumber()) {
          cell.utilitySum += utility.ToNumber();
          ++cell.utilityCount;
        }
      }
    }
  }

  // Retrievals: the activation of what was retrieved (normal or blended).
  {
    store::Statement statement = db.Prepare(
        "SELECT SubjectID, TrialNumber, AVG(Activation), COUNT(*) FROM MetaInstance "
        "WHERE InstanceType = ? AND Marker IN ('RETR-NORM', 'RETR-BLEN') GROUP BY SubjectID, TrialNumber");
    statement.Bind(1, Variant(instanceType));
    while (statement.Step()) {
      const auto subject = static_cast<std::int32_t>(statement.Column(0).ToNumber());
      if (!chosen(subject)) continue;
      const auto trial = static_cast<std::int64_t>(statement.Column(1).ToNumber());
      const Variant mean = statement.Column(2);
      summary.retrievals += static_cast<std::int64_t>(statement.Column(3).ToNumber());
      if (mean.IsNumber()) cells[{subject, trial}].activation = mean.ToNumber();
    }
  }

  std::set<std::string> labels;
  std::set<std::int64_t> trials;
  for (const auto& [key, cell] : cells) {
    trials.insert(key.second);
    for (const auto& [label, count] : cell.decisions) labels.insert(label);
  }
  summary.trials.assign(trials.begin(), trials.end());
  summary.decisionValues.assign(labels.begin(), labels.end());

  std::map<std::int64_t, std::size_t> trialIndex;
  for (std::size_t i = 0; i < summary.trials.size(); ++i) trialIndex[summary.trials[i]] = i;

  const std::size_t trialCount = summary.trials.size();
  // Per trial, one entry per subject with data.
  std::vector<std::vector<std::vector<double>>> shares(summary.decisionValues.size(),
                                                       std::vector<std::vector<double>>(trialCount));
  std::vector<std::vector<double>> utilities(trialCount), activations(trialCount);
  for (const auto& [key, cell] : cells) {
    const std::size_t t = trialIndex[key.second];
    if (cell.executed > 0) {
      for (std::size_t v = 0; v < summary.decisionValues.size(); ++v) {
        auto found = cell.decisions.find(summary.decisionValues[v]);
        const double count = found == cell.decisions.end() ? 0.0 : static_cast<double>(found->second);
        shares[v][t].push_back(count / static_cast<double>(cell.executed));
      }
    }
    if (cell.utilityCount > 0) utilities[t].push_back(cell.utilitySum / static_cast<double>(cell.utilityCount));
    activations[t].push_back(cell.activation);
  }
  summary.share.assign(summary.decisionValues.size(), std::vector<double>(trialCount, kNaN));
  summary.meanUtility.assign(trialCount, kNaN);
  summary.meanActivation.assign(trialCount, kNaN);
  for (std::size_t t = 0; t < trialCount; ++t) {
    for (std::size_t v = 0; v < summary.decisionValues.size(); ++v) summary.share[v][t] = MeanOf(shares[v][t]);
    summary.meanUtility[t] = MeanOf(utilities[t]);
    summary.meanActivation[t] = MeanOf(activations[t]);
  }
  return summary;
}

}  // namespace korvane::editor
