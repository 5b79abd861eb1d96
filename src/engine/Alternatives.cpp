// Alternatives.cpp: what a task says about a trial's alternatives besides
// its cues: the outcome of one the model did not choose (full feedback), the
// one a person chose, to be executed in the model's place (model tracing),
// and priors given to one subject before its first cue.
#include "engine/Evaluator.h"
#include "engine/ExecutorImpl.h"

namespace korvane::engine {

void ModelExecutor::Impl::AcceptOutcome(const formula::VariableList& alternative, const Variant& outcome) {
  if (!*alive_) return;
  feedbackQueue_.push_back({TrialNews::Kind::Outcome, alternative, outcome});
  if (!busy_) Drain();
}

void ModelExecutor::Impl::AcceptChoice(const formula::VariableList& alternative) {
  if (!*alive_) return;
  feedbackQueue_.push_back({TrialNews::Kind::Choice, alternative, Variant()});
  if (!busy_) Drain();
}

ItemPtr ModelExecutor::Impl::FindAlternative(const std::vector<ItemPtr>& cues,
                                             const formula::VariableList& alternative) {
  for (const ItemPtr& cue : cues) {
    bool all = alternative.Count() > 0;
    for (const auto& entry : alternative) {
      const Variant* held = cue->Values.Find(entry.name);
      if (!held || ValuesDiffer(*held, entry.value)) {
        all = false;
        break;
      }
    }
    if (all) return cue;
  }
  return nullptr;
}

void ModelExecutor::Impl::Refuse(const std::string& text) {
  Add("Error: " + text, 3);
  db_.MakeRunDurable();
  owner_.SendData("ERROR|" + text);
}

void ModelExecutor::Impl::ApplyOutcome(const formula::VariableList& alternative, const Variant& outcomeValue) {
  if (busy_) return;
  CheckPrepared(preparedType_);
  const double outcome = OutcomeNumber(outcomeValue);
  ItemPtr judged = FindAlternative(lastTrialCues_, alternative);
  std::string refusal;
  if (!judged)
    refusal = "OUTCOME names no alternative of the last trial (" + alternative.ToString() + ")";
  else if (judged == lastExecuted_)
    refusal = "OUTCOME names the alternative the model executed; its outcome is a FEEDBACK";
  if (!refusal.empty()) {
    Refuse(refusal);
    return;
  }
  if (goal_ == 0) throw Error::Standard(ErrorNumber::DivisionByZero, "ModelExecutor");
  busy_ = true;
  BeginStep();
  // The alternative as judged (its situation and decision), holding the
  // outcome it would have brought, experienced when the trial's choice was
  // made.
  ItemPtr item = judged->Copy(true, this);
  item->TrialNumber = lastTrialNumber_;
  item->Utility = outcome / goal_;
  if (!utilitySlot_.empty()) item->Values.Assign(utilitySlot_, Variant(item->Utility));
  item->AddTime(lastChoiceTime_);
  item->Feedback = item->Utility;
  if (Wants(0)) Add("Outcome " + FormatNumber(outcome) + " of an alternative not chosen: " + item->ToString(), 0);
  if (ItemPtr duplicate = memory_.GetDuplicate(*item, mergeWithPrepopulated_, this)) {
    // An experience remembered before: it is reinforced.
    duplicate->MergeWith(*item, this);
    const double feedback = duplicate->Feedback;
    duplicate->Feedback = item->Utility;
    duplicate->AddToMetaInstance(*trace_, "FORE");
    duplicate->Feedback = feedback;
  } else {
    item->DumpToTable(*table_, this);
    item->AddToMetaInstance(*trace_, "FORE");
    item->Feedback = 0;
    MemoryAppend(item);
  }
  table_->CommitWorkingMemory();
  CommitStep();
  busy_ = false;
}

std::string ModelExecutor::Impl::AddPrior(const formula::VariableList& slots) {
  CheckPrepared(preparedType_);
  if (subjectCueSeen_)
    return "PRIOR must come after START or RESET and before the subject's first cue (subject " +
           std::to_string(subjectId_) + " has judged cues already)";
  if (slots.Count() == 0) return "PRIOR must hold slot names and values";
  for (const auto& entry : slots) {
    const auto known = [&](const std::vector<std::string>& names) {
      for (const std::string& name : names)
        if (formula::EqualsIgnoreCase(name, entry.name)) return true;
      return false;
    };
    if (!known(situationSlots_) && !known(decisionSlots_) && !formula::EqualsIgnoreCase(entry.name, utilitySlot_))
      return "PRIOR names the slot " + entry.name + ", which instance type " + preparedType_ + " does not have";
  }
  if (!utilitySlot_.empty() && !slots.Has(utilitySlot_))
    return "PRIOR must give the utility slot " + utilitySlot_;
  BeginStep();
  try {
    table_->InsertRow(slots, DateNow(), true);
    CommitStep();
  } catch (...) {
    if (db_.InTransaction()) db_.RollbackTransaction();
    throw;
  }
  if (Wants(0)) Add("Prior of subject " + std::to_string(subjectId_) + ": " + slots.ToString(), 0);
  return {};
}

}  // namespace korvane::engine
