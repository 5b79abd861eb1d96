// JudgmentCollection.h: an ordered set of instances with retrieval and
// blending.
//
// Memory (the instances a subject remembers), a constraint subset and the
// executed instances are collections. Retrieve scores every candidate
// (activation and one "ACAL" trace row each) and retrieves by the model's
// method: NORMAL, the most active instance that passes both thresholds (ties
// go to the later one); BLENDING, a new instance whose slots are the
// probability-weighted sums over the candidates, optionally restricted to
// constraint subsets. Items are shared pointers; a collection never copies
// them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/JudgmentItem.h"
#include "formula/FormulaProgram.h"

namespace korvane::engine {

class EngineLog;
class TraceWriter;

// What Retrieve needs besides the cue and the clock.
struct RetrievalSettings {
  int method = 0;          // 0 NORMAL, 1 BLENDING
  int roundingRule = 0;    // 0..6, see PerformBlending
  int constraintType = 0;  // 0 ALL, other PARTIAL
  const formula::FormulaProgram* constraintProgram = nullptr;
  int selector = 0;        // 0 Maximize, 1 Minimize
  std::string selectionSlot;
  std::string utilitySlot;  // slot name of the utility column
  double d = 0.5, s = 0.25, alpha = 1, T = 0.25 * 1.4142135623730951;
  std::string rtOperator;
  double rt = 0;
  std::string uOperator;
  double u = 0;
  bool keepBlend = true;  // LastBlend is wanted (the full trace records it)
};

class JudgmentCollection {
 public:
  void Append(ItemPtr item) { items_.push_back(std::move(item)); }
  // The first held item equal to item (held item's slots compared), or item
  // itself after appending it.
  ItemPtr AppendUnique(ItemPtr item, EngineLog* log = nullptr);
  std::int32_t Count() const { return static_cast<std::int32_t>(items_.size()); }
  bool IsEmpty() const { return items_.empty(); }
  const ItemPtr& Item(std::int32_t index) const { return items_.at(static_cast<std::size_t>(index)); }
  const std::vector<ItemPtr>& Items() const { return items_; }

  // The items for which the constraint program sets variable name true; the
  // program sees MEMORY.<slot> and CUE.<name>.
  JudgmentCollection CreateSubset(const formula::VariableList& cue, const formula::FormulaProgram& program,
                                  const std::string& name, RandomSource& random, EngineLog* log) const;

  // Removes the first item with item's ID; true if one was removed.
  bool DeleteItem(const JudgmentItem& item);
  // The first held item h equal to item (h.IsEqual(item)) with another ID,
  // skipping prepopulated items unless withPrepopulated; or null.
  ItemPtr GetDuplicate(const JudgmentItem& item, bool withPrepopulated, EngineLog* log = nullptr) const;
  bool HasItemByID(std::int32_t id) const;
  void RemoveByIndex(std::int32_t index);
  // Removes the first position holding this very object.
  void RemoveByItem(const JudgmentItem* item);
  void Clear() { items_.clear(); }

  // Blends every item into a new one (null for an empty collection), each
  // weighted by its retrieval probability at temperature T (set in its
  // BlendingProbability). Rounding rules: 0 none, 1 and 5 truncate, 2 halves
  // away from zero, 3 floor, 4 floor(x + 0.5), 6 halves to even.
  ItemPtr PerformBlending(int roundingRule, double T) const;

  // The instances that entered the last blend Retrieve returned, each with
  // its BlendingProbability (empty after any other retrieval).
  const std::vector<ItemPtr>& LastBlend() const { return lastBlend_; }

  // Scores every item and retrieves one (or null).
  ItemPtr Retrieve(TraceWriter& trace, double now, const formula::VariableList& cue,
                   const RetrievalSettings& settings, RandomSource& random, EngineLog* log);

 private:
  ItemPtr NormalRetrieval(TraceWriter& trace, const RetrievalSettings& settings);
  ItemPtr BlendedRetrieval(TraceWriter& trace, const formula::VariableList& cue,
                           const RetrievalSettings& settings, RandomSource& random, EngineLog* log);

  std::vector<ItemPtr> items_;
  std::vector<ItemPtr> lastBlend_;
};

}  // namespace korvane::engine
