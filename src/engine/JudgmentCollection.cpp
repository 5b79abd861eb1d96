// JudgmentCollection.cpp: retrieval, blending, constraint subsets, duplicates.
#include "engine/JudgmentCollection.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "engine/EngineLog.h"
#include "engine/Evaluator.h"
#include "engine/MetaInstance.h"
#include "engine/ModelExecutor.h"
#include "util/Error.h"

namespace korvane::engine {

namespace {

// Threshold at or below which nothing is retrieved by normal retrieval.
constexpr double kLowestActivation = -9999999;

double Round(double x, int rule) {
  switch (rule) {
    case 1:
    case 5: return std::trunc(x);
    case 2: return std::trunc(x + 0.5 * ((x > 0) - (x < 0)));
    case 3: return std::floor(x);
    case 4: return std::floor(x + 0.5);
    case 6: return std::nearbyint(x);  // the default rounding mode: halves to even
    default: return x;
  }
}

Variant RoundedValue(double x, int rule, const std::string& slot) {
  if (rule < 1 || rule > 6) return Variant(x);
  double r = Round(x, rule);
  if (r >= std::numeric_limits<std::int16_t>::min() && r <= std::numeric_limits<std::int16_t>::max())
    return Variant(static_cast<std::int16_t>(r));
  if (r >= std::numeric_limits<std::int32_t>::min() && r <= std::numeric_limits<std::int32_t>::max())
    return Variant(static_cast<std::int32_t>(r));
  throw Error(ErrorNumber::Overflow, "JudgmentCollection",
              "Overflow: the blended value " + FormatNumber(x) + " of slot " + slot + " does not fit an integer");
}

// A slot value as a number for blending; texts that are not numbers cannot
// be blended.
double BlendableNumber(const Variant& value, const std::string& slot) {
  if (value.IsBoolean()) return value.AsBoolean() ? -1.0 : 0.0;
  if (value.IsString() && !IsNumericText(value.AsString()))
    throw Error(ErrorNumber::TypeMismatch, "JudgmentCollection",
                "Type mismatch: cannot blend the text '" + value.AsString() + "' of slot " + slot);
  return value.ToNumber();
}

bool ToBoolean(const Variant& value) {
  if (value.IsBoolean()) return value.AsBoolean();
  if (value.IsNumber()) return value.ToNumber() != 0;
  if (value.IsEmpty()) return false;
  if (value.IsString()) {
    if (formula::EqualsIgnoreCase(value.AsString(), "True")) return true;
    if (formula::EqualsIgnoreCase(value.AsString(), "False")) return false;
    if (IsNumericText(value.AsString())) return ReadNumber(value.AsString()) != 0;
  }
  throw Error::Standard(ErrorNumber::TypeMismatch, "JudgmentCollection");
}

}  // namespace

ItemPtr JudgmentCollection::AppendUnique(ItemPtr item, EngineLog* log) {
  for (const auto& held : items_)
    if (held->IsEqual(*item, log)) return held;
  items_.push_back(item);
  return item;
}

JudgmentCollection JudgmentCollection::CreateSubset(const formula::VariableList& cue,
                                                    const formula::FormulaProgram& program, const std::string& name,
                                                    RandomSource& random, EngineLog* log) const {
  if (log && log->Wants(0)) log->Add("CREATE-SUBSET " + name, 0);
  JudgmentCollection subset;
  // One list serves every item whose slots have the names of the one it was
  // built for (the items of one table): the values are set again and what
  // the formula added is dropped, so each item still sees a fresh list.
  formula::VariableList variables;
  std::vector<std::string> builtFor;
  bool reusable = false;
  for (const auto& item : items_) {
    const formula::VariableList& values = item->Values;
    bool same = reusable && values.Count() == static_cast<int>(builtFor.size());
    if (same) {
      std::size_t i = 0;
      for (const auto& entry : values) {
        if (entry.name != builtFor[i++]) {
          same = false;
          break;
        }
      }
    }
    if (same) {
      int base = values.Count() + cue.Count();
      while (variables.Count() > base) variables.Remove(variables.Count() - 1);
      for (int i = 0; i < values.Count(); ++i) variables.SetValue(i, values.Value(i));
      for (int j = 0; j < cue.Count(); ++j) variables.SetValue(values.Count() + j, cue.Value(j));
    } else {
      variables = CopyVariables(values, "MEMORY.");
      for (const auto& entry : cue) variables.Add("CUE." + entry.name, entry.value);
      builtFor.clear();
      for (const auto& entry : values) builtFor.push_back(entry.name);
      reusable = variables.Count() == values.Count() + cue.Count();
    }
    program.Execute(variables, random);
    bool include = ToBoolean(variables.Value(name));
    if (log && log->Wants(0))
      log->Add(Indented(4, (include ? "SUBSET-INCLUDE " : "SUBSET-EXCLUDE ") + item->Values.ToString()), 0);
    if (include) subset.Append(item);
  }
  return subset;
}

bool JudgmentCollection::DeleteItem(const JudgmentItem& item) {
  for (auto it = items_.begin(); it != items_.end(); ++it) {
    if ((*it)->ID == item.ID) {
      items_.erase(it);
      return true;
    }
  }
  return false;
}

ItemPtr JudgmentCollection::GetDuplicate(const JudgmentItem& item, bool withPrepopulated, EngineLog* log) const {
  for (const auto& held : items_) {
    if (held->ID == item.ID) continue;
    if (held->Prepopulated && !withPrepopulated) continue;
    if (held->IsEqual(item, log)) return held;
  }
  return nullptr;
}

bool JudgmentCollection::HasItemByID(std::int32_t id) const {
  for (const auto& held : items_)
    if (held->ID == id) return true;
  return false;
}

void JudgmentCollection::RemoveByIndex(std::int32_t index) {
  if (index < 0 || index >= Count()) return;
  items_.erase(items_.begin() + index);
}

void JudgmentCollection::RemoveByItem(const JudgmentItem* item) {
  if (!item) return;
  for (auto it = items_.begin(); it != items_.end(); ++it) {
    if (it->get() == item) {
      items_.erase(it);
      return;
    }
  }
}

ItemPtr JudgmentCollection::PerformBlending(int roundingRule, double T) const {
  if (items_.empty()) return nullptr;
  // Retrieval probabilities e^(A/T) / sum e^(A/T), computed relative to the
  // most active item so that neither a low temperature nor very low
  // activations overflow or vanish into 0 / 0. At T = 0 (the limit of no
  // temperature) the most active items share the probability.
  double highest = -std::numeric_limits<double>::infinity();
  for (const auto& item : items_) highest = std::max(highest, item->Activation);
  double sum = 0;
  for (const auto& item : items_) {
    if (T > 0) item->BlendingWeight = std::exp((item->Activation - highest) / T);
    else item->BlendingWeight = item->Activation == highest ? 1 : 0;
    sum += item->BlendingWeight;
  }
  for (const auto& item : items_) item->CalculateBlendingProbability(sum);

  auto blended = std::make_shared<JudgmentItem>();
  blended->InstanceType = items_.front()->InstanceType;
  // Subject and trial too, so that the retrieval's trace row is found with
  // the subject's other rows.
  blended->Subject = items_.front()->Subject;
  blended->TrialNumber = items_.front()->TrialNumber;
  std::vector<bool> isNull;
  std::vector<double> sums;
  for (const auto& item : items_) {
    int position = 0;
    for (const auto& entry : item->Values) {
      // Items of one table list their slots in the same order.
      int index = blended->Values.IndexOf(entry.name, position++);
      if (index < 0) {
        blended->Values.Add(entry.name, Variant(0.0));
        index = blended->Values.Count() - 1;
        sums.push_back(0);
        isNull.push_back(false);
      }
      if (entry.value.IsNull()) {
        isNull[static_cast<std::size_t>(index)] = true;
        continue;
      }
      sums[static_cast<std::size_t>(index)] += item->BlendingProbability * BlendableNumber(entry.value, entry.name);
    }
  }
  for (int i = 0; i < blended->Values.Count(); ++i) {
    auto k = static_cast<std::size_t>(i);
    blended->Values.SetValue(i, isNull[k] ? Variant::Null() : RoundedValue(sums[k], roundingRule, blended->Values.Name(i)));
  }
  // The blend's activation: the log of the summed e^A (no temperature),
  // taken relative to the most active item for the same reason.
  double expSum = 0;
  for (const auto& item : items_) expSum += std::exp(item->Activation - highest);
  blended->Activation = highest + std::log(expSum);
  for (const char* name : {"Created", "ID", "Subject", "Working", "Working_Memory"}) blended->Values.Remove(name);
  return blended;
}

ItemPtr JudgmentCollection::Retrieve(TraceWriter& trace, double now, const formula::VariableList& cue,
                                     const RetrievalSettings& settings, RandomSource& random, EngineLog* log) {
  lastBlend_.clear();
  for (const auto& item : items_) {
    item->Selected = false;
    item->CalculateActivation(settings.alpha, settings.d, settings.s, now, random);
    item->AddToMetaInstance(trace, "ACAL");
  }
  if (settings.method == 0) return NormalRetrieval(trace, settings);
  if (settings.method == 1) return BlendedRetrieval(trace, cue, settings, random, log);
  throw Error(EngineError::UnknownRetrievalMethod, "JudgmentCollection",
              "<Retrieve> Unknown method of retrieval: " + std::to_string(settings.method));
}

ItemPtr JudgmentCollection::NormalRetrieval(TraceWriter& trace, const RetrievalSettings& settings) {
  ItemPtr best;
  double bestActivation = kLowestActivation;
  for (const auto& item : items_) {
    if (CompareByMode(item->Activation, settings.rtOperator, settings.rt) &&
        CompareByMode(item->Utility, settings.uOperator, settings.u) && item->Activation >= bestActivation) {
      best = item;
      bestActivation = item->Activation;
    }
  }
  if (best) {
    best->Selected = true;
    best->AddToMetaInstance(trace, "RETR-NORM");
  }
  return best;
}

ItemPtr JudgmentCollection::BlendedRetrieval(TraceWriter& trace, const formula::VariableList& cue,
                                             const RetrievalSettings& settings, RandomSource& random,
                                             EngineLog* log) {
  if (items_.empty()) return nullptr;
  bool trace0 = log && log->Wants(0);
  ItemPtr blended;
  std::vector<ItemPtr> members;  // of the blend kept
  if (settings.constraintType == 0) {
    blended = PerformBlending(settings.roundingRule, settings.T);
    if (settings.keepBlend) members = items_;
    if (blended && trace0) log->Add(Indented(2, "BLENDED-INSTANCE(ALL) " + blended->Values.ToString()), 0);
  } else {
    std::vector<std::string> constraints;
    if (settings.constraintProgram)
      constraints = settings.constraintProgram->Assignments().NamesByNamespace("USES.");
    if (constraints.empty())
      throw Error(EngineError::NoConstraint, "JudgmentCollection",
                  "<BlendedRetrieval> with blending requires at least one constraint (USES.X, where X is an "
                  "identifier)");
    if (constraints.size() == 1) {
      JudgmentCollection subset = CreateSubset(cue, *settings.constraintProgram, constraints[0], random, log);
      blended = subset.PerformBlending(settings.roundingRule, settings.T);
      if (settings.keepBlend) members = std::move(subset.items_);
      if (blended && trace0)
        log->Add(Indented(2, "BLENDED-INSTANCE(" + constraints[0] + ") " + blended->Values.ToString()), 0);
    } else {
      if (settings.selector != 0 && settings.selector != 1)
        throw Error(EngineError::NoConstraint, "JudgmentCollection",
                    "<BlendedRetrieval> with blending received an unknown selector function #" +
                        std::to_string(settings.selector) + ". Please check your match request.");
      // The greatest (Maximize) or least (Minimize) value of the selection
      // slot wins; only a strictly better value replaces, so an earlier
      // constraint keeps a tie.
      double bestValue = 0;
      for (const auto& name : constraints) {
        JudgmentCollection subset = CreateSubset(cue, *settings.constraintProgram, name, random, log);
        if (trace0)
          log->Add(Indented(2, "CONSTRAINT-SUBSET(" + name + ") COUNT=" + std::to_string(subset.Count())), 0);
        ItemPtr candidate = subset.PerformBlending(settings.roundingRule, settings.T);
        if (!candidate) continue;
        if (trace0) log->Add(Indented(2, "BLENDED-INSTANCE(" + name + ") " + candidate->Values.ToString()), 0);
        double value = candidate->Values.Value(settings.selectionSlot).ToNumber();
        bool better = !blended || (settings.selector == 0 ? value > bestValue : value < bestValue);
        if (better) {
          blended = candidate;
          bestValue = value;
          // Another subset's blend may have changed a shared member's
          // probability since: the kept blend's are taken now.
          members.clear();
          if (settings.keepBlend) {
            for (const auto& item : subset.items_) {
              members.push_back(std::make_shared<JudgmentItem>());
              members.back()->ID = item->ID;
              members.back()->BlendingProbability = item->BlendingProbability;
            }
          }
        }
      }
    }
  }
  if (!blended) return nullptr;
  blended->Utility = blended->Values.Value(settings.utilitySlot).ToNumber();
  if (!CompareByMode(blended->Activation, settings.rtOperator, settings.rt) ||
      !CompareByMode(blended->Utility, settings.uOperator, settings.u))
    return nullptr;
  blended->Selected = true;
  blended->AddToMetaInstance(trace, "RETR-BLEN");
  lastBlend_ = std::move(members);
  return blended;
}

}  // namespace korvane::engine
