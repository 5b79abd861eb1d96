// TrialCycle.cpp: the queues, the start of a subject and of a trial, one
// retrieval cycle with its pauses, and the choice at the end of a trial.
#include <algorithm>
#include <cmath>

#include "engine/Evaluator.h"
#include "engine/ExecutorImpl.h"
#include "store/SettingsCatalog.h"

namespace korvane::engine {

// --- Queues ------------------------------------------------------------------------

void ModelExecutor::Impl::AcceptCue(const formula::VariableList& cue) {
  if (!*alive_) return;
  cueQueue_.push_back(cue);
  if (!busy_) Drain();
}

void ModelExecutor::Impl::AcceptFeedback(const formula::VariableList& feedback) {
  if (!*alive_) return;
  feedbackQueue_.push_back({TrialNews::Kind::Feedback, feedback, Variant()});
  if (!busy_) Drain();
}

// Every queued feedback is applied before the next queued cue runs; feedback
// left when the cues run out is applied at once rather than waiting for the
// next message.
void ModelExecutor::Impl::Drain() {
  if (draining_) return;
  draining_ = true;
  std::shared_ptr<bool> alive = alive_;
  Guarded([&] {
    while (*alive && !busy_) {
      if (!feedbackQueue_.empty()) {
        TrialNews news = std::move(feedbackQueue_.front());
        feedbackQueue_.pop_front();
        switch (news.kind) {
          case TrialNews::Kind::Feedback: ApplyFeedback(news.values); break;
          case TrialNews::Kind::Outcome: ApplyOutcome(news.values, news.outcome); break;
          case TrialNews::Kind::Choice: chosenForModel_ = std::move(news.values); break;
        }
      } else if (!cueQueue_.empty()) {
        formula::VariableList cue = std::move(cueQueue_.front());
        cueQueue_.pop_front();
        RunRetrievalCycle(preparedType_, cue);
      } else {
        break;
      }
    }
    // Nothing left but to wait for the task: what the steps wrote is kept.
    if (*alive && !busy_) CommitStep();
  });
  if (*alive) draining_ = false;
}

// --- Subjects and trials -------------------------------------------------------------

void ModelExecutor::Impl::IncrementSubjectID(std::int32_t n) {
  CheckPrepared(preparedType_);
  subjectId_ += n;
  table_->SetSubject(subjectId_);
  random_.Reseed(RandomSource::StreamSeed(runSeed_, static_cast<std::uint64_t>(subjectId_)));
  Add("Subject " + std::to_string(subjectId_) + " draws from stream " + std::to_string(random_.Seed()) +
          " (seed " + std::to_string(runSeed_) + ")",
      1);
  lastTrialFirstCue_ = -1;
  BeginStep();
  try {
    table_->CopyPrepopulated(subjectId_);
    CommitStep();
  } catch (...) {
    if (db_.InTransaction()) db_.RollbackTransaction();
    throw;
  }
  // The memory belongs to the subject.
  memory_.Clear();
  memoryIds_.clear();
  executed_.Clear();
  trialNumber_ = -1;
  decisionCount_ = 0;
  subjectCueSeen_ = false;
  trialCues_.clear();
  StartTrial();
  lastTrialCues_.clear();
  lastExecuted_.reset();
}

void ModelExecutor::Impl::StartTrial() {
  lastTrialCues_ = std::move(trialCues_);
  trialCues_.clear();
  lastTrialNumber_ = trialNumber_;
  chosenForModel_.reset();
  retrievalCount_ = 0;
  trialStartTime_ = clock_->HighResolutionMilliseconds();
  ++trialNumber_;
  AddFileOnly("Starting trial #" + std::to_string(trialNumber_), 0);
  candidate_.reset();
}

void ModelExecutor::Impl::AdvanceToTrialTime() {
  double now = ModelTimeNow();
  if (auto* simulated = dynamic_cast<SimulatedClock*>(clock_.get())) {
    double due = lastTrialFirstCue_ < 0 ? now : lastTrialFirstCue_ + trialTimeMs_;
    if (due > now) {
      simulated->Advance(due - now);
      // The trial's own elapsed time starts at its first cue.
      trialStartTime_ = clock_->HighResolutionMilliseconds();
      now = due;
    }
  }
  lastTrialFirstCue_ = now;
}

bool ModelExecutor::Impl::StopRuleReached() {
  switch (stopRuleKind_) {
    case 0: return std::abs(clock_->HighResolutionMilliseconds() - trialStartTime_) >= stopRuleMilliseconds_;
    case 1: return retrievalCount_ >= stopRuleCycles_;
    default: return retrievalCount_ >= 2;
  }
}

void ModelExecutor::Impl::CheckPrepared(const std::string& typeName) const {
  if (!prepared_) throw Error(EngineError::NotPrepared, "ModelExecutor", "<Prepare> must be called first");
  if (typeName != preparedType_)
    throw Error(EngineError::WrongInstanceType, "ModelExecutor",
                "Cannot execute " + typeName + " because model was prepared for " + preparedType_);
}

// --- The retrieval cycle ----------------------------------------------------------------

void ModelExecutor::Impl::SyncFromDatabase(std::size_t* recordCount) {
  // Rows stored since the last cycle: what the previous trials executed (and
  // every stored row at a subject's first cycle).
  std::vector<std::int64_t> ids = table_->TakeNewlyStoredIds();
  *recordCount = table_->StoredCount();
  double now = ModelTimeNow();
  for (std::int64_t id : ids) {
    auto id32 = static_cast<std::int32_t>(id);
    if (memoryIds_.count(id32)) continue;
    bool prepopulated = false;
    auto row = table_->ReadRow(id, &prepopulated);
    if (!row) continue;
    if (Wants(0)) Add("SYNC-FROM-DB ID=" + std::to_string(id), 0);
    auto item = std::make_shared<JudgmentItem>();
    item->InstanceType = table_->Name();
    item->ID = id32;
    item->Subject = subjectId_;
    item->Prepopulated = prepopulated;
    item->TrialNumber = trialNumber_;
    if (!utilitySlot_.empty()) {
      const Variant* u = row->Find(utilitySlot_);
      if (u && !u->IsNull() && !u->IsEmpty()) item->Utility = u->ToNumber();
    }
    item->Bookmark = id;
    item->AddToMetaInstance(*trace_, "SCAL");
    // Priors are loaded at the subject's first cue and were presented
    // Params_PriorTime before it; any other row is presented now.
    item->AddTime(prepopulated ? now - priorTimeMs_ : now);
    item->Values = std::move(*row);
    MemoryAppend(item);
  }
}

void ModelExecutor::Impl::RunRetrievalCycle(const std::string& typeName, const formula::VariableList& cue) {
  CheckPrepared(typeName);
  if (busy_) return;
  busy_ = true;
  if (retrievalCount_ == 0) AdvanceToTrialTime();
  subjectCueSeen_ = true;
  BeginStep();

  std::size_t recordCount = 0;
  SyncFromDatabase(&recordCount);
  SimilarityScratch scratch;
  for (const auto& item : memory_.Items()) {
    item->Similarity = CalculateSimilarity(situationSlots_, *item, cue, similarityPrograms_, random_, &scratch);
    item->TrialNumber = trialNumber_;
  }
  // The step-by-step lines are for the debug level (0); by default the log
  // gets one line per trial, the DECISION sent.
  if (Wants(0)) {
    Add("Evaluating " + std::to_string(memory_.Count()) + " of " + std::to_string(recordCount) +
            " instances available in " + table_->Name(),
        0);
  }
  ++retrievalCount_;
  if (Wants(0)) Add("Retrieval attempt #" + std::to_string(retrievalCount_), 0);

  double now = ModelTimeNow();
  ItemPtr retrieved = memory_.Retrieve(*trace_, now, cue, retrieval_, random_, this);
  trace_->RecordBlend(subjectId_, preparedType_, trialNumber_, retrievalCount_, memory_.LastBlend());

  auto instance = std::make_shared<JudgmentItem>();
  instance->InstanceType = preparedType_;
  instance->Subject = subjectId_;
  instance->TrialNumber = trialNumber_;
  for (const auto& slot : situationSlots_) {
    const Variant& value = cue.Value(slot);
    if (!value.ToText().empty()) instance->Values.Add(slot, value);
  }

  if (!retrieved) {
    // Heuristic judgment.
    Add("-- Retrieved nothing this round. Firing heuristics-based judgment.", 0);
    // The default utility, when the type has one, else the heuristic, which
    // sees the cue (Cue.<slot>) as the judgment screen says.
    const formula::VariableList cueVariables = CopyVariables(cue, "Cue.");
    if (defaultUtility_) {
      instance->Utility = *defaultUtility_;
    } else {
      formula::VariableList judgment = CopyVariables(cueVariables);
      judgmentFail_.Execute(judgment, random_);
      instance->Utility = NumberResult(judgment.Value("U"), "the judgment formula of a failed retrieval");
    }
    instance->Values.Add(utilitySlot_, Variant(instance->Utility));
    for (std::size_t i = 0; i < decisionSlots_.size(); ++i) {
      formula::VariableList decision = CopyVariables(cueVariables);
      decision.Add("U", Variant(instance->Utility));
      decisionFail_[i].Execute(decision, random_);
      instance->Values.Assign(decisionSlots_[i], DecisionResult(decisionColumns_[i], decision.Find("D")));
    }
    if (defaultUtility_ && defaultUtilityPopulates_) {
      // The alternative is remembered from now on with the default utility,
      // as an instance seen at this moment.
      ItemPtr populated = instance->Copy(true, this);
      populated->DumpToTable(*table_, this);
      populated->AddTime(now);
      populated->AddToMetaInstance(*trace_, "SCAL");
      MemoryAppend(populated);
    }
    instance->Similarity = CalculateSimilarity(situationSlots_, *instance, cue, similarityPrograms_, random_);
    instance->AddToMetaInstance(*trace_, "SCAL");
    instance->AddToMetaInstance(*trace_, "HEUR");
    instance->Activation = retrieval_.rt;
    instance->CalculateRetrievalDelay(LF_, LE_);
    if (Wants(0)) Add("-- Waiting " + FormatNumber(instance->RetrievalDelay) + "ms", 0);
    if (cues_) cues_->Judged(subjectId_, trialNumber_, now, "HEUR", instance, cue, instance->RetrievalDelay);
    cycleInstance_ = instance;
    PauseThen(cyclePauseMs_, &Impl::AfterHeuristicPause);
    return;
  }

  // Recognition.
  if (Wants(0)) {
    AddFileOnly(Indented(2, retrieved->IsNew() ? std::string("Retrieved a new instance")
                                               : "Retrieved instance whose ID = " + std::to_string(retrieved->ID)),
                0);
    AddFileOnly(Indented(4, retrieved->Values.ToString()), 0);
  }
  if (reinforceRecognition_) {
    Add(Indented(2, "REINFORCE-RECOGNITION"), 0);
    retrieved->AddTime(ModelTimeNow());
  }
  if (judgeOnSuccess_) {
    Add("EXECUTE-UTILITY-FORMULA", 0);
    // The cue's values and the retrieved instance's (every slot it holds,
    // its utility slot included: Memory.<utility slot> is the retrieved
    // utility).
    formula::VariableList judgment;
    for (const auto& entry : cue) {
      judgment.Add("Cue." + entry.name, entry.value);
      judgment.Add("Memory." + entry.name, retrieved->Values.Value(entry.name));
    }
    for (const auto& entry : retrieved->Values)
      if (!cue.Has(entry.name)) judgment.Add("Memory." + entry.name, entry.value);
    judgmentSucceed_.Execute(judgment, random_);
    instance->Utility = NumberResult(judgment.Value("U"), "the judgment formula of a successful retrieval");
    instance->Values.Add(utilitySlot_, Variant(instance->Utility));
    if (Wants(0)) Add(Indented(2, judgment.ToString()), 0);
  } else {
    Add("COPY-RETRIEVED-UTILITY", 0);
    instance->Values.Add(utilitySlot_, Variant(retrieved->Utility));
    instance->Utility = retrieved->Utility;
  }
  // The decision formulas see the retrieved instance, its utility and the
  // cue (so that a blend over all of memory can name the alternative judged).
  formula::VariableList context = CopyVariables(retrieved->Values, "Memory.");
  context.Add("U", Variant(instance->Utility));
  for (const auto& entry : cue) context.Add("Cue." + entry.name, entry.value);
  std::vector<Variant> decisions = EvaluateDecisions(decisionColumns_, decisionSucceed_, context, random_, this);
  for (std::size_t i = 0; i < decisionSlots_.size(); ++i) {
    if (Wants(0)) AddFileOnly(Indented(6, "SET " + decisionSlots_[i] + "=" + decisions[i].ToText()), 0);
    instance->Values.Assign(decisionSlots_[i], std::move(decisions[i]));
  }
  // The cue instance stays a new instance even when it equals a stored one:
  // executed, it is a presentation of its own, and the feedback that gives
  // it an outcome must not rewrite a remembered one. Once rewarded, it is
  // merged into a stored instance of the same situation, decision and
  // outcome (ApplyFeedback). Its activation is the retrieval's (for a blend,
  // the log of the summed e^A), which gives its retrieval time.
  instance->Activation = retrieved->Activation;
  instance->AddToMetaInstance(*trace_, "RETR");
  if (cues_)
    cues_->Judged(subjectId_, trialNumber_, now, "RETR", instance, cue, instance->RetrievalDelayFor(LF_, LE_));
  cycleInstance_ = instance;
  UpdateCandidate();
  PauseThen(cyclePauseMs_, &Impl::AfterCyclePause);
}

void ModelExecutor::Impl::AfterHeuristicPause() {
  UpdateCandidate();
  PauseThen(cyclePauseMs_, &Impl::AfterCyclePause);
}

void ModelExecutor::Impl::UpdateCandidate() {
  ItemPtr instance = std::move(cycleInstance_);
  trialCues_.push_back(instance);
  bool replace = !candidate_;
  // A later instance replaces the candidate when its utility compares true
  // with the choice comparison; with no choice threshold the greater utility
  // wins (an earlier candidate keeps a tie).
  if (!replace) {
    const std::string_view op =
        choiceOperator_ == store::kNoThreshold ? std::string_view(">") : std::string_view(choiceOperator_);
    replace = CompareByMode(instance->Utility, op, candidate_->Utility);
  }
  if (replace) {
    candidate_ = instance;
    candidate_->CalculateRetrievalDelay(LF_, LE_);
    retrievalTime_ = candidate_->RetrievalDelay;
    if (cues_) cues_->Candidate();
  }
  if (Wants(0)) Add(Indented(2, "RETRIEVAL-DELAY " + FormatNumber(retrievalTime_) + "ms"), 0);
}

void ModelExecutor::Impl::AfterCyclePause() {
  busy_ = false;
  if (StopRuleReached()) {
    double elapsed = std::abs(clock_->HighResolutionMilliseconds() - trialStartTime_);
    if (Wants(0))
      Add("Completed " + std::to_string(retrievalCount_) + " cycle(s) in " + FormatNumber(std::round(elapsed)) + "ms.",
          0);
    ExecuteChoice(preparedType_);
    StartTrial();
  }
  EndStep();
  Drain();
}

// --- The choice ---------------------------------------------------------------------------

void ModelExecutor::Impl::ExecuteChoice(const std::string& typeName) {
  CheckPrepared(typeName);
  if (!candidate_ || busy_) return;
  busy_ = true;
  std::string reply;
  // Model tracing: the alternative the task chose is executed, whatever the
  // model preferred; the DECISION also says what that was.
  ItemPtr preferred;
  std::string refusal;
  if (chosenForModel_) {
    if (ItemPtr chosen = FindAlternative(trialCues_, *chosenForModel_)) {
      preferred = candidate_;
      candidate_ = chosen;
      candidate_->CalculateRetrievalDelay(LF_, LE_);
      retrievalTime_ = candidate_->RetrievalDelay;
      if (cues_)
        cues_->ChooseCue(static_cast<int>(std::find(trialCues_.begin(), trialCues_.end(), chosen) - trialCues_.begin()));
    } else {
      refusal = "CHOOSE names no alternative of trial " + std::to_string(trialNumber_) + " (" +
                chosenForModel_->ToString() + "); nothing was executed";
    }
  }
  lastExecuted_.reset();
  lastChoiceTime_ = ModelTimeNow();
  if (!refusal.empty()) {
    Add("Error: " + refusal, 3);
  } else if (preferred || CompareByMode(candidate_->Utility, choiceOperator_, choiceThreshold_)) {
    if (Wants(0)) Add("Executing instance with utility = " + FormatNumber(candidate_->Utility), 0);
    if (reinforceExecution_) {
      Add(Indented(2, "REINFORCE-EXECUTION"), 0);
      candidate_->AddTime(ModelTimeNow());
    }
    candidate_->DumpToTable(*table_, this);
    // The executed instance is held from now on, with every time it was
    // given; a cue that comes before its feedback must not load its row
    // again as a fresh item (which would lose those times).
    if (!MemoryFind(candidate_->ID)) MemoryAppend(candidate_);
    candidate_->Executed = true;
    candidate_->ExecutionTime = AbsoluteNow();
    candidate_->DecisionID = ++decisionCount_;
    executed_.Append(candidate_);
    lastExecuted_ = candidate_;
    candidate_->AddToMetaInstance(*trace_, "EXEC");
    std::string spaced, piped;
    auto field = [&](const std::string& name, const std::string& value) {
      spaced += (spaced.empty() ? "" : " ") + name + " " + value;
      piped += "|" + name + "|" + value;
    };
    for (const auto& slot : decisionSlots_) field(slot, candidate_->Values.Value(slot).ToText());
    field("RETRIEVAL-TIME", FormatNumber(retrievalTime_));
    // Trailing pairs that older tasks ignore: the decision's number, by
    // which a FEEDBACK may name it, and under model tracing the model's own
    // choice.
    field("DECISION-ID", std::to_string(candidate_->DecisionID));
    if (preferred)
      for (const auto& slot : decisionSlots_) field("MODEL-" + slot, preferred->Values.Value(slot).ToText());
    if (Wants(1)) Add("Trial #" + std::to_string(trialNumber_) + ": sending back DECISION: " + spaced, 1);
    reply = "DECISION" + piped;
  } else {
    Add("Not executing any instance because it does not meet choice threshold.", 1);
  }
  table_->CommitWorkingMemory();
  if (cues_) cues_->EndTrial(!reply.empty());
  // The reply leaves only once what it reports is on disk.
  CommitStep();
  // Still busy while the reply goes out: what the task sends back meanwhile
  // is only queued.
  std::shared_ptr<bool> alive = alive_;
  if (!refusal.empty()) reply = "ERROR|" + refusal;
  if (!reply.empty()) {
    db_.MakeRunDurable();
    owner_.SendData(reply);
  }
  if (!*alive) return;
  busy_ = false;
  BeginStep();
}

}  // namespace korvane::engine
