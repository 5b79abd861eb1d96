// Feedback.cpp: turning a feedback into an outcome and updating the
// utilities of what was executed since the previous feedback.
#include <algorithm>
#include <cmath>
#include <optional>
#include <set>

#include "engine/Evaluator.h"
#include "engine/ExecutorImpl.h"

namespace korvane::engine {

namespace {

std::string OneLine(std::string text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      out += ' ';
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

std::string ModelExecutor::Impl::WaitingDecisions() const {
  std::string text;
  for (const ItemPtr& item : executed_.Items()) text += (text.empty() ? "" : ", ") + std::to_string(item->DecisionID);
  return text.empty() ? "none" : text;
}

void ModelExecutor::Impl::ApplyFeedback(const formula::VariableList& input) {
  if (busy_ || input.Count() == 0) return;
  CheckPrepared(preparedType_);
  busy_ = true;
  BeginStep();
  formula::VariableList feedback = input;
  // A feedback that names its decision (DECISION-ID, delayed feedback)
  // rewards that decision alone; the others go on waiting for theirs.
  std::optional<std::int32_t> decisionId;
  if (const Variant* named = feedback.Find(kDecisionIdName)) {
    const Variant id = *named;
    feedback.Remove(kDecisionIdName);
    const bool whole = IsNumericValue(id) && id.ToNumber() == std::floor(id.ToNumber());
    const auto waiting = std::find_if(executed_.Items().begin(), executed_.Items().end(), [&](const ItemPtr& item) {
      return whole && item->DecisionID == static_cast<std::int32_t>(id.ToNumber());
    });
    if (waiting == executed_.Items().end()) {
      CommitStep();
      busy_ = false;
      Refuse("FEEDBACK names decision " + id.ToText() +
             ", which is not waiting for its outcome (decisions waiting: " + WaitingDecisions() + ")");
      return;
    }
    decisionId = (*waiting)->DecisionID;
  }

  ++feedbackCount_;
  if (Wants(0)) Add("Feedback #" + std::to_string(feedbackCount_) + ": " + OneLine(VariablesToText(feedback)), 0);

  double outcome = 0;
  if (!multiValueFeedback_) {
    if (feedback.Count() > 1) {
      std::string n = std::to_string(feedback.Count());
      Add("ERROR: Model expects one feedback value, but received " + n, 3);
      CommitStep();
      db_.MakeRunDurable();
      std::shared_ptr<bool> alive = alive_;
      owner_.SendData("ERROR|Model is expecting one feedback value, but received " + n +
                      ". If this is not the case, change the feedback type in the model.");
      if (*alive) busy_ = false;
      return;
    }
    outcome = OutcomeNumber(feedback.Value(0));
    if (Wants(0)) Add("Outcome from single-value feedback = " + FormatNumber(outcome), 0);
  } else {
    feedbackProgram_.Execute(feedback, random_);
    outcome = OutcomeNumber(feedback.Value("O"));
    if (Wants(0)) Add("Outcome from multivalue feedback = " + FormatNumber(outcome), 0);
  }
  if (goal_ == 0) throw Error::Standard(ErrorNumber::DivisionByZero, "ModelExecutor");
  double goodness = outcome / goal_;
  if (Wants(0)) Add(Indented(2, "GOODNESS=" + FormatNumber(goodness)), 0);

  std::set<std::int32_t> rewarded;
  if (Wants(0)) Add("Applying feedback to " + std::to_string(decisionId ? 1 : executed_.Count()) + " executed items", 0);

  std::size_t position = 0;  // among the decisions still waiting (the trial table's order)
  std::vector<ItemPtr> waiting;
  for (const ItemPtr& executedItem : executed_.Items()) {
    if (decisionId && executedItem->DecisionID != *decisionId) {
      waiting.push_back(executedItem);
      ++position;
      continue;
    }
    ItemPtr item;
    if (createInstanceFeedback_) {
      item = executedItem->Copy(true, this);
      item->DumpToTable(*table_, this);
      if (Wants(0)) Add(Indented(2, "CREATE-INSTANCE-FEEDBACK " + item->ToString()), 0);
    } else {
      item = executedItem;
      if (Wants(0)) Add(Indented(2, "REUSE-INSTANCE-FEEDBACK " + item->ToString()), 0);
    }
    // The step lines are built only for the debug level.
    const bool debug = Wants(0);
    const std::string id = debug ? std::to_string(item->ID) : std::string();
    if (!rewarded.insert(item->ID).second) {
      if (cues_) cues_->Fed(position, outcome, item->Utility);
      if (debug) Add(Indented(2, "Record " + id + ": utility already rewarded during this cycle; not rewarding again"), 0);
      continue;
    }
    if (debug) Add(Indented(2, "Record " + id + ": "), 0);

    // A new instance made for the feedback carries the time at which the
    // instance it copies was executed.
    double executionModelTime = ModelTime(executedItem->ExecutionTime);
    double feedbackModelTime = ModelTimeNow();
    double change = 0;
    if (utilityUpdateType_ == 0) {
      change = goodness;
      if (debug) Add(Indented(4, "UTILITY-SET VALUE=" + FormatNumber(change)), 0);
      item->Utility = change;
    } else if (utilityUpdateType_ == 1) {
      change = feedbackModelTime == 0
                   ? goodness
                   : goodness * (1 - (feedbackModelTime - executionModelTime) / feedbackModelTime);
      if (debug) Add(Indented(4, "UTILITY-INCREASE VALUE=" + FormatNumber(change)), 0);
      item->Utility += change;
    } else {
      if (item->SeekOn(*table_)) {
        if (auto row = table_->ReadRow(*item->Bookmark))
          for (const auto& entry : *row) feedback.Add("Memory." + entry.name, entry.value);
      }
      feedback.Add("G", Variant(goal_));
      feedback.Add("O", Variant(outcome));
      utilityUpdate_.Execute(feedback, random_);
      change = NumberResult(feedback.Value("U"), "the utility update formula");
      if (debug) Add(Indented(4, "UTILITY-SET VALUE=" + FormatNumber(change)), 0);
      item->Utility = change;
    }

    if (!utilitySlot_.empty()) item->Values.Assign(utilitySlot_, Variant(item->Utility));
    item->Feedback = change;
    if (cues_) cues_->Fed(position, outcome, item->Utility);
    item->AddToMetaInstance(*trace_, "FEED");
    item->Feedback = 0;

    if (reinforceFeedback_) {
      if (debug) Add(Indented(2, "REINFORCE-FEEDBACK"), 0);
      item->AddTime(ModelTimeNow());
    }

    if (ItemPtr duplicate = memory_.GetDuplicate(*item, mergeWithPrepopulated_, this)) {
      duplicate->MergeWith(*item, this);
      if (!item->IsNew()) trace_->RecordMerge(item->Subject, item->InstanceType, item->TrialNumber, item->ID, duplicate->ID);
      MemoryRemoveID(item->ID);
      item->DeleteFromTable(*table_);
      continue;
    }
    if (item->SeekOn(*table_)) {
      if (debug) {
        Add("\t-- Record " + id + ": update utility ", 0);
        Add("\t\t-- Current utility = " + table_->StoredUtility(*item->Bookmark).ToText(), 0);
        if (utilityUpdateType_ == 1) Add("\t\t-- Utility increase = " + FormatNumber(change), 0);
        else Add("\t\t-- New utility = " + FormatNumber(item->Utility), 0);
      }
      table_->SetUtility(*item->Bookmark, Variant(item->Utility));
      // An instance already held (a duplicate that was executed, or its row
      // loaded again since) is not held twice; the held one takes the new
      // utility.
      if (JudgmentItem* held = MemoryFind(item->ID)) {
        if (held != item.get()) {
          held->Utility = item->Utility;
          if (!utilitySlot_.empty()) held->Values.SetValue(utilitySlot_, Variant(item->Utility));
        }
      } else {
        MemoryAppend(item);
      }
    } else {
      Add("Feedback was applied to an unsaved instance. This is a bug in the code.", 4);
    }
  }

  executed_.Clear();
  for (const ItemPtr& item : waiting) executed_.Append(item);
  if (cues_ && waiting.empty()) cues_->FeedbackDone();
  table_->CommitWorkingMemory();
  CommitStep();
  busy_ = false;
}

}  // namespace korvane::engine
