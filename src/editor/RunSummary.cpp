// RunSummary.cpp: per-trial decisions, utilities and activations of a run.
#include "editor/RunSummary.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <functional>
#include <set>
#include <tuple>

#include "editor/ScreenSettings.h"
#include "export/CellFormat.h"
#include "export/TraceQuery.h"
#include "export/TrialTable.h"
#include "store/Database.h"
#include "store/Schema.h"

namespace korvane::editor {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct SubjectTrial {
  std::int64_t executed = 0;
  std::map<std::string, std::int64_t> decisions;
  double utilitySum = 0;
  std::int64_t utilityCount = 0;
  double activationSum = 0;  // over the trial's retrievals; their mean is the subject's
  std::int64_t activationCount = 0;
  std::map<std::string, std::pair<double, std::int64_t>> alternatives;  // label -> utility sum, count
};

using Cells = std::map<std::pair<std::int32_t, std::int64_t>, SubjectTrial>;

// "Choice = 2", or "Choice = 2, Side = 20" for several slots.
std::string NamedLabel(const std::vector<std::string>& names, const std::vector<Variant>& values) {
  std::string label;
  for (std::size_t i = 0; i < names.size() && i < values.size(); ++i) {
    if (i) label += ", ";
    label += names[i] + " = ";
    exporting::AppendCellText(values[i], exporting::ColumnKind::Slot, label);
  }
  return label;
}

// The trial (from 1) a point stands for: itself, or its block's number.
std::int64_t PointOf(std::int64_t trial, int blockSize) {
  return blockSize > 1 ? (trial - 1) / blockSize + 1 : trial;
}

// Averages the cells over the subjects, per point; fills the summary's
// series (each subject counts once per point).
void AverageCells(const Cells& cells, RunSummary& summary);

// A series per label over the summary's points: per (subject, point) cell
// the mean of what was added, then the mean over the subjects.
struct LabelledCells {
  std::map<std::string, std::map<std::pair<std::int32_t, std::int64_t>, std::pair<double, std::int64_t>>> cells;
  std::map<std::string, double> weight;  // what ranks the labels
  void Add(const std::string& label, std::int32_t subject, std::int64_t point, double value, double rank) {
    auto& [sum, count] = cells[label][{subject, point}];
    sum += value;
    ++count;
    weight[label] += rank;
  }
  void Fill(const std::vector<std::int64_t>& points, std::vector<std::string>& labels,
            std::vector<std::vector<double>>& series) const;
};

// The blend panels of a run with a trial table, MetaBlend and the trace.
void SummarizeBlends(store::Database& db, const std::string& instanceType,
                     const std::map<std::tuple<std::int32_t, std::int32_t, std::int32_t>, std::string>& cueLabels,
                     const std::function<bool(std::int32_t)>& chosen, RunSummary& summary);

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
                        const std::vector<std::int32_t>& subjects, int blockSize) {
  RunSummary summary;
  summary.instanceType = instanceType;
  summary.subjects = subjects;
  summary.blockSize = std::max(1, blockSize);
  const std::set<std::int32_t> wanted(subjects.begin(), subjects.end());
  auto chosen = [&wanted](std::int32_t subject) { return wanted.empty() || wanted.count(subject) > 0; };

  const std::vector<std::string> cueTypes = exporting::TrialInstanceTypes(db);
  if (std::find(cueTypes.begin(), cueTypes.end(), instanceType) != cueTypes.end()) {
    summary.fromTrialTable = true;
    Cells cells;
    std::vector<std::string> situationSlots;
    std::map<std::tuple<std::int32_t, std::int32_t, std::int32_t>, std::string> cueLabels;  // the alternative of each cue
    exporting::ForEachTrialRow(
        db, instanceType,
        [&](const exporting::TrialTable& table) {
          summary.decisionSlots = table.decisionSlots;
          situationSlots = table.situationSlots;
        },
        [&](const exporting::TrialRow& row) {
          if (!chosen(row.subject)) return true;
          SubjectTrial& cell = cells[{row.subject, PointOf(row.trial, summary.blockSize)}];
          if (row.executed) {
            ++summary.executions;
            ++cell.executed;
            ++cell.decisions[NamedLabel(summary.decisionSlots, row.decision)];
            if (!std::isnan(row.utility)) {
              cell.utilitySum += row.utility;
              ++cell.utilityCount;
            }
          }
          if (row.path == "RETR") {
            ++summary.retrievals;
            if (std::isfinite(row.activation)) {
              cell.activationSum += row.activation;
              ++cell.activationCount;
            }
          }
          const std::string alternative = NamedLabel(situationSlots, row.situation);
          cueLabels[{row.subject, row.trial, row.cue}] = alternative;
          if (std::isfinite(row.utility)) {
            auto& [sum, count] = cell.alternatives[alternative];
            sum += row.utility;
            ++count;
          }
          return true;
        });
    AverageCells(cells, summary);
    if (db.FindTableDef(store::kMetaBlendTable) && db.FindTableDef(instanceType))
      SummarizeBlends(db, instanceType, cueLabels, chosen, summary);
    return summary;
  }

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

  Cells cells;

  // Executions, with the decision and utility of the executed instance's row.
  // A row that feedback merged into a duplicate is gone; MetaMerge leads from
  // its ID to the row that took it over (which holds the same slot values).
  {
    std::map<std::int64_t, std::int64_t> mergedInto;
    if (hasTable && db.FindTableDef(store::kMetaMergeTable)) {
      store::Statement merges = db.Prepare("SELECT Instance, MergedInto FROM MetaMerge WHERE InstanceType = ?");
      merges.Bind(1, Variant(instanceType));
      while (merges.Step())
        mergedInto[static_cast<std::int64_t>(merges.Column(0).ToNumber())] =
            static_cast<std::int64_t>(merges.Column(1).ToNumber());
    }

    std::string columns;
    for (const std::string& column : decisionColumns) columns += ", t." + exporting::QuoteIdentifier(column);
    if (!utilityColumn.empty()) columns += ", t." + exporting::QuoteIdentifier(utilityColumn);
    std::string select = "SELECT m.SubjectID, m.TrialNumber, m.Instance";
    std::string from = " FROM MetaInstance AS m";
    if (hasTable) {
      select += ", t.X_ID" + columns;
      from += " LEFT JOIN " + exporting::QuoteIdentifier(instanceType) + " AS t ON m.Instance = t.X_ID";
    }
    store::Statement statement =
        db.Prepare(select + from + " WHERE m.InstanceType = ? AND m.Marker = 'EXEC'");
    statement.Bind(1, Variant(instanceType));
    std::optional<store::Statement> rowById;
    if (hasTable && !mergedInto.empty())
      rowById.emplace(db.Prepare("SELECT t.X_ID" + columns + " FROM " + exporting::QuoteIdentifier(instanceType) +
                                 " AS t WHERE t.X_ID = ?"));

    // Reads the decision label and utility from a statement positioned on a
    // row whose columns are X_ID, the decision columns, the utility column.
    auto record = [&](store::Statement& row, int first, SubjectTrial& cell) {
      std::vector<std::string> values;
      for (std::size_t i = 0; i < decisionColumns.size(); ++i)
        values.push_back(row.Column(first + 1 + static_cast<int>(i)).ToText());
      ++cell.executed;
      ++cell.decisions[DecisionLabel(values)];
      if (!utilityColumn.empty()) {
        const Variant utility = row.Column(first + 1 + static_cast<int>(decisionColumns.size()));
        if (utility.IsNumber()) {
          cell.utilitySum += utility.ToNumber();
          ++cell.utilityCount;
        }
      }
    };

    while (statement.Step()) {
      const auto subject = static_cast<std::int32_t>(statement.Column(0).ToNumber());
      if (!chosen(subject)) continue;
      const auto trial = static_cast<std::int64_t>(statement.Column(1).ToNumber());
      ++summary.executions;
      SubjectTrial& cell = cells[{subject, PointOf(trial, summary.blockSize)}];
      if (hasTable && !statement.Column(3).IsNull() && !statement.Column(3).IsEmpty()) {
        record(statement, 3, cell);
        continue;
      }
      // Follow the merges to the row that holds the instance now; a chain
      // never revisits an ID, but a damaged table might, so it is bounded.
      bool found = false;
      if (rowById) {
        auto next = mergedInto.find(static_cast<std::int64_t>(statement.Column(2).ToNumber()));
        for (std::size_t hops = 0; next != mergedInto.end() && hops <= mergedInto.size() && !found; ++hops) {
          rowById->Reset();
          rowById->Bind(1, Variant(static_cast<std::int32_t>(next->second)));
          if (rowById->Step()) {
            record(*rowById, 0, cell);
            found = true;
          } else {
            next = mergedInto.find(next->second);
          }
        }
      }
      if (!found) ++summary.executionsWithoutRow;
    }
  }

  // Retrievals: the activation of what was retrieved (normal or blended).
  {
    store::Statement statement = db.Prepare(
        "SELECT SubjectID, TrialNumber, SUM(Activation), COUNT(Activation), COUNT(*) FROM MetaInstance "
        "WHERE InstanceType = ? AND Marker IN ('RETR-NORM', 'RETR-BLEN') GROUP BY SubjectID, TrialNumber");
    statement.Bind(1, Variant(instanceType));
    while (statement.Step()) {
      const auto subject = static_cast<std::int32_t>(statement.Column(0).ToNumber());
      if (!chosen(subject)) continue;
      const auto trial = static_cast<std::int64_t>(statement.Column(1).ToNumber());
      summary.retrievals += static_cast<std::int64_t>(statement.Column(4).ToNumber());
      SubjectTrial& cell = cells[{subject, PointOf(trial, summary.blockSize)}];
      const Variant sum = statement.Column(2);
      if (sum.IsNumber()) {
        cell.activationSum += sum.ToNumber();
        cell.activationCount += static_cast<std::int64_t>(statement.Column(3).ToNumber());
      }
    }
  }
  AverageCells(cells, summary);
  return summary;
}

namespace {

// "Option = 2" as "Option 2".
std::string Compact(std::string label) {
  for (std::size_t at = label.find(" = "); at != std::string::npos; at = label.find(" = ", at + 1))
    label.replace(at, 3, " ");
  return label;
}

void LabelledCells::Fill(const std::vector<std::int64_t>& points, std::vector<std::string>& labels,
                         std::vector<std::vector<double>>& series) const {
  std::vector<std::pair<double, std::string>> ranked;
  for (const auto& [label, w] : weight) ranked.emplace_back(-w, label);
  std::sort(ranked.begin(), ranked.end());
  if (ranked.size() > RunSummary::kMostBlendSeries) ranked.resize(RunSummary::kMostBlendSeries);
  labels.clear();
  for (const auto& entry : ranked) labels.push_back(entry.second);
  std::sort(labels.begin(), labels.end());
  std::map<std::int64_t, std::size_t> index;
  for (std::size_t i = 0; i < points.size(); ++i) index[points[i]] = i;
  series.assign(labels.size(), std::vector<double>(points.size(), kNaN));
  for (std::size_t l = 0; l < labels.size(); ++l) {
    std::vector<std::vector<double>> perPoint(points.size());
    for (const auto& [key, sumCount] : cells.at(labels[l])) {
      auto at = index.find(key.second);
      if (at != index.end() && sumCount.second > 0)
        perPoint[at->second].push_back(sumCount.first / static_cast<double>(sumCount.second));
    }
    for (std::size_t t = 0; t < points.size(); ++t) series[l][t] = MeanOf(perPoint[t]);
  }
}

void SummarizeBlends(store::Database& db, const std::string& instanceType,
                     const std::map<std::tuple<std::int32_t, std::int32_t, std::int32_t>, std::string>& cueLabels,
                     const std::function<bool(std::int32_t)>& chosen, RunSummary& summary) {
  // Each instance's situation and utility, by ID; a row that feedback merged
  // away is found through MetaMerge (the row that took it over is equal).
  std::vector<std::string> situation;
  std::string columns, utilityName;
  for (const SlotColumn& slot : ListSlots(&db, instanceType)) {
    if (slot.aspect == 'S') {
      situation.push_back(slot.displayName);
      columns += ", " + exporting::QuoteIdentifier(slot.column);
    } else if (slot.aspect == 'U' && utilityName.empty()) {
      utilityName = slot.displayName;
      columns += ", " + exporting::QuoteIdentifier(slot.column);
    }
  }
  if (utilityName.empty()) return;
  std::map<std::int64_t, std::pair<std::string, std::string>> kinds;  // ID -> instance label, utility text
  {
    store::Statement rows = db.Prepare("SELECT X_ID" + columns + " FROM " + exporting::QuoteIdentifier(instanceType));
    while (rows.Step()) {
      std::vector<Variant> values;
      for (std::size_t i = 0; i < situation.size(); ++i) values.push_back(rows.Column(1 + static_cast<int>(i)));
      std::string utility;
      exporting::AppendCellText(rows.Column(1 + static_cast<int>(situation.size())), exporting::ColumnKind::Slot,
                                utility);
      // Short labels, so that a legend shows them whole: "Option 2: 4".
      std::string kind;
      for (std::size_t i = 0; i < situation.size(); ++i) {
        kind += (i ? ", " : "") + situation[i] + " ";
        exporting::AppendCellText(values[i], exporting::ColumnKind::Slot, kind);
      }
      kinds[static_cast<std::int64_t>(rows.Column(0).ToNumber())] = {kind + ": " + utility, utility};
    }
  }
  if (db.FindTableDef(store::kMetaMergeTable)) {
    std::map<std::int64_t, std::int64_t> mergedInto;
    store::Statement merges = db.Prepare("SELECT Instance, MergedInto FROM MetaMerge WHERE InstanceType = ?");
    merges.Bind(1, Variant(instanceType));
    while (merges.Step())
      mergedInto[static_cast<std::int64_t>(merges.Column(0).ToNumber())] =
          static_cast<std::int64_t>(merges.Column(1).ToNumber());
    for (const auto& [from, into] : mergedInto) {
      auto next = mergedInto.find(from);
      for (std::size_t hops = 0; next != mergedInto.end() && hops <= mergedInto.size(); ++hops) {
        if (auto held = kinds.find(next->second); held != kinds.end()) {
          kinds[from] = held->second;
          break;
        }
        next = mergedInto.find(next->second);
      }
    }
  }
  // The trial table's trial of each traced trial.
  std::map<std::pair<std::int32_t, std::int32_t>, std::int32_t> trialOf;
  {
    store::Statement trials =
        db.Prepare("SELECT DISTINCT SubjectID, TraceTrial, TrialNumber FROM MetaCue WHERE InstanceType = ?");
    trials.Bind(1, Variant(instanceType));
    while (trials.Step())
      trialOf[{static_cast<std::int32_t>(trials.Column(0).ToNumber()),
               static_cast<std::int32_t>(trials.Column(1).ToNumber())}] =
          static_cast<std::int32_t>(trials.Column(2).ToNumber());
  }

  LabelledCells outcomes, bll;
  {
    // One probability per outcome and cue (the members holding it summed),
    // then the mean over the alternative's cues of the point.
    std::map<std::tuple<std::int32_t, std::int32_t, std::int32_t, std::string>, double> perCue;
    store::Statement blends = db.Prepare(
        "SELECT SubjectID, TrialNumber, CueNumber, Instance, Probability FROM MetaBlend WHERE InstanceType = ?");
    blends.Bind(1, Variant(instanceType));
    while (blends.Step()) {
      const auto subject = static_cast<std::int32_t>(blends.Column(0).ToNumber());
      if (!chosen(subject)) continue;
      auto trial = trialOf.find({subject, static_cast<std::int32_t>(blends.Column(1).ToNumber())});
      auto kind = kinds.find(static_cast<std::int64_t>(blends.Column(3).ToNumber()));
      if (trial == trialOf.end() || kind == kinds.end()) continue;
      const auto cue = static_cast<std::int32_t>(blends.Column(2).ToNumber());
      auto alternative = cueLabels.find({subject, trial->second, cue});
      if (alternative == cueLabels.end()) continue;
      perCue[{subject, trial->second, cue, Compact(alternative->second) + ": " + kind->second.second}] +=
          blends.Column(4).ToNumber();
    }
    for (const auto& [key, p] : perCue)
      outcomes.Add(std::get<3>(key), std::get<0>(key), PointOf(std::get<1>(key), summary.blockSize), p, p);
  }
  {
    store::Statement scored = db.Prepare(
        "SELECT SubjectID, TrialNumber, Instance, BLL FROM MetaInstance WHERE InstanceType = ? AND Marker = 'ACAL'");
    scored.Bind(1, Variant(instanceType));
    while (scored.Step()) {
      const auto subject = static_cast<std::int32_t>(scored.Column(0).ToNumber());
      if (!chosen(subject)) continue;
      auto trial = trialOf.find({subject, static_cast<std::int32_t>(scored.Column(1).ToNumber())});
      auto kind = kinds.find(static_cast<std::int64_t>(scored.Column(2).ToNumber()));
      const Variant value = scored.Column(3);
      if (trial == trialOf.end() || kind == kinds.end() || !value.IsNumber()) continue;
      bll.Add(kind->second.first, subject, PointOf(trial->second, summary.blockSize), value.ToNumber(), 1);
    }
  }
  outcomes.Fill(summary.trials, summary.outcomeLabels, summary.outcomeProbability);
  bll.Fill(summary.trials, summary.instanceLabels, summary.instanceBLL);
}

void AverageCells(const Cells& cells, RunSummary& summary) {
  std::set<std::string> labels, alternatives;
  std::set<std::int64_t> trials;
  for (const auto& [key, cell] : cells) {
    trials.insert(key.second);
    for (const auto& [label, count] : cell.decisions) labels.insert(label);
    for (const auto& [label, sum] : cell.alternatives) alternatives.insert(label);
  }
  summary.trials.assign(trials.begin(), trials.end());
  summary.decisionValues.assign(labels.begin(), labels.end());
  summary.alternatives.assign(alternatives.begin(), alternatives.end());

  std::map<std::int64_t, std::size_t> trialIndex;
  for (std::size_t i = 0; i < summary.trials.size(); ++i) trialIndex[summary.trials[i]] = i;

  const std::size_t trialCount = summary.trials.size();
  // Per trial, one entry per subject with data.
  std::vector<std::vector<std::vector<double>>> shares(summary.decisionValues.size(),
                                                       std::vector<std::vector<double>>(trialCount));
  std::vector<std::vector<std::vector<double>>> judged(summary.alternatives.size(),
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
    for (std::size_t a = 0; a < summary.alternatives.size(); ++a) {
      auto found = cell.alternatives.find(summary.alternatives[a]);
      if (found != cell.alternatives.end() && found->second.second > 0)
        judged[a][t].push_back(found->second.first / static_cast<double>(found->second.second));
    }
    if (cell.utilityCount > 0) utilities[t].push_back(cell.utilitySum / static_cast<double>(cell.utilityCount));
    activations[t].push_back(cell.activationCount > 0 ? cell.activationSum / static_cast<double>(cell.activationCount)
                                                     : kNaN);
  }
  summary.share.assign(summary.decisionValues.size(), std::vector<double>(trialCount, kNaN));
  summary.alternativeUtility.assign(summary.alternatives.size(), std::vector<double>(trialCount, kNaN));
  summary.meanUtility.assign(trialCount, kNaN);
  summary.meanActivation.assign(trialCount, kNaN);
  for (std::size_t t = 0; t < trialCount; ++t) {
    for (std::size_t v = 0; v < summary.decisionValues.size(); ++v) summary.share[v][t] = MeanOf(shares[v][t]);
    for (std::size_t a = 0; a < summary.alternatives.size(); ++a)
      summary.alternativeUtility[a][t] = MeanOf(judged[a][t]);
    summary.meanUtility[t] = MeanOf(utilities[t]);
    summary.meanActivation[t] = MeanOf(activations[t]);
  }
}

}  // namespace

}  // namespace korvane::editor
