// JudgmentItem.h: one instance held in memory while a model runs.
//
// An item is the slot values of one row of an instance-type table, the times
// at which the instance was presented or used, and what retrieval last
// computed for it: base-level learning, noise, similarity part, activation,
// blending weight and probability, retrieval delay. Times are model times
// (milliseconds since the run was prepared) and are only ever appended.
//
// An item is new until it is stored; storing gives it the row's ID and
// bookmark. Items are shared (std::shared_ptr) between the collections that
// hold them: memory, a constraint subset, the executed items.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "formula/VariableList.h"
#include "util/Random.h"

namespace korvane::engine {

class EngineLog;
class InstanceTable;
class TraceWriter;

class JudgmentItem {
 public:
  std::int32_t Subject = 0;
  double Activation = 0;
  double BlendingProbability = 0;
  // e^((A - Amax) / T), Amax the greatest activation of the blended
  // collection: proportional to e^(A / T) and never overflowing.
  double BlendingWeight = 0;
  double Noise = 0;
  double BLL = 0;
  std::string InstanceType;
  std::int32_t ID = 0;
  double Feedback = 0;
  double Similarity = 0;
  bool Executed = false;
  double RetrievalDelay = 0;
  bool Prepopulated = false;
  bool Selected = false;
  std::int32_t TrialNumber = 0;
  double Utility = 0;
  // The row's identity in its table; unset while the row is not known.
  std::optional<std::int64_t> Bookmark;
  // Slot name (display name of the column) to value.
  formula::VariableList Values;
  // Absolute time (ms since 1970 UTC) at which the item was executed.
  double ExecutionTime = 0;
  // The number of the subject's decision that executed it (the DECISION's
  // DECISION-ID), 0 for an instance never executed.
  std::int32_t DecisionID = 0;

  // BLL, Noise and Activation for model time now: A = alpha (PM + BLL +
  // noise) + (1 - alpha) U. A stored time later than now raises an Error.
  // The blending weights are the blend's (JudgmentCollection::PerformBlending).
  void CalculateActivation(double alpha, double d, double s, double now, RandomSource& random);
  void CalculateBlendingProbability(double sum) { BlendingProbability = BlendingWeight / sum; }
  void CalculateBaseLevelLearning(double d, double now);
  void CalculateRetrievalDelay(double LF, double LE) { RetrievalDelay = RetrievalDelayFor(LF, LE); }
  // The retrieval time the activation gives, in ms (LF e^(-LE A)).
  double RetrievalDelayFor(double LF, double LE) const;
  // One logistic noise draw of scale s.
  static double Epsilon(double s, RandomSource& random);

  void AddTime(double t) { times_.push_back(t); }
  const std::vector<double>& GetTimes() const { return times_; }

  // A copy without times, computed terms or bookmark; asNew also clears the
  // ID so that it is stored as a new row.
  std::shared_ptr<JudgmentItem> Copy(bool asNew, EngineLog* log = nullptr) const;
  // Every slot of this item, system slots aside, is present in other with
  // the same value (one-sided).
  bool IsEqual(const JudgmentItem& other, EngineLog* log = nullptr) const;
  // Takes over other's times when IsEqual(other).
  bool MergeWith(const JudgmentItem& other, EngineLog* log = nullptr);
  bool IsNew() const { return !Bookmark.has_value() || ID == 0; }

  // Storage through the instance table of the run.
  // True when the item's row is among the subject's stored rows.
  bool SeekOn(InstanceTable& table) const;
  // Updates the item's row (system slots untouched) or, for a new item,
  // adds one in working memory and takes its ID and bookmark. Logs the mode.
  void DumpToTable(InstanceTable& table, EngineLog* log = nullptr);
  // Deletes the item's row; true when a row was deleted.
  bool DeleteFromTable(InstanceTable& table) const;

  // One trace row about this item.
  void AddToMetaInstance(TraceWriter& trace, const char* marker) const;

  // "ID=" ID " " and the values' text.
  std::string ToString() const;

 private:
  std::vector<double> times_;
};

using ItemPtr = std::shared_ptr<JudgmentItem>;

// True for the names of the system slots that comparisons and updates skip:
// ID, WORKING, WORKING_MEMORY, SUBJECT, CREATED, PREPOPULATED (any case).
bool IsSystemSlotName(std::string_view name);

}  // namespace korvane::engine
