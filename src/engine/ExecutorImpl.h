// ExecutorImpl.h: the state and steps of a ModelExecutor (private to the
// engine).
//
// The trial cycle is a small state machine: a step runs to its pause, posts
// its continuation to the scheduler and returns, leaving the executor Busy;
// the continuation checks the alive token first, so an abandoned executor's
// steps end at once. Each step's rows are written in one transaction that is
// committed before the step yields or replies.
#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/CueRecord.h"
#include "engine/EngineLog.h"
#include "engine/InstanceTable.h"
#include "engine/JudgmentCollection.h"
#include "engine/MetaInstance.h"
#include "engine/ModelExecutor.h"
#include "engine/ModelSettings.h"
#include "formula/FormulaProgram.h"
#include "store/Database.h"

namespace korvane::engine {

class ModelExecutor::Impl final : public EngineLog {
 public:
  Impl(store::Database& db, ExecutorOwner& owner, Scheduler& scheduler, ExecutorOptions options);
  ~Impl() override;

  // EngineLog
  bool Wants(int level) const override { return level >= owner_.LogDetailLevel(); }
  void Add(const std::string& text, int level) override;
  void AddFileOnly(const std::string& text, int level) override;

  // Preparation (Preparation.cpp).
  bool Prepare(const std::string& typeName);
  // Starts the run again as Prepare would, keeping what Prepare compiled
  // and read.
  void RestartRun();

  // Queues and cycle (TrialCycle.cpp).
  void AcceptCue(const formula::VariableList& cue);
  void AcceptFeedback(const formula::VariableList& feedback);
  void IncrementSubjectID(std::int32_t n);
  void Abandon();

  // Feedback (Feedback.cpp).
  void ApplyFeedback(const formula::VariableList& feedback);

  // The alternatives of a trial (Alternatives.cpp): the outcome of one the
  // model did not choose, the one the task chose for it, and priors of one
  // subject.
  void AcceptOutcome(const formula::VariableList& alternative, const Variant& outcome);
  void AcceptChoice(const formula::VariableList& alternative);
  std::string AddPrior(const formula::VariableList& slots);
  void ApplyOutcome(const formula::VariableList& alternative, const Variant& outcome);
  // The cue instance of trial cues that holds every value of alternative.
  static ItemPtr FindAlternative(const std::vector<ItemPtr>& cues, const formula::VariableList& alternative);
  // A refusal of the task's message: logged, replied, nothing changed.
  void Refuse(const std::string& text);
  // The DECISION-IDs waiting for feedback, as text ("none" for none).
  std::string WaitingDecisions() const;

  double AbsoluteNow() { return clock_->AbsoluteMilliseconds(); }
  double ModelTime(double absolute) const { return absolute - startTime_; }
  double ModelTimeNow() { return ModelTime(AbsoluteNow()); }

  // --- Wiring ------------------------------------------------------------------
  store::Database& db_;
  ExecutorOwner& owner_;
  Scheduler& scheduler_;
  ExecutorOptions options_;
  ModelSettings settings_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  std::unique_ptr<Clock> clock_;
  ClockKind clockKind_ = ClockKind::Real;
  RandomSource random_;

  // --- Prepared model ----------------------------------------------------------
  bool prepared_ = false;
  std::string preparedType_;
  std::unique_ptr<InstanceTable> table_;
  std::unique_ptr<TraceWriter> trace_;
  // What each cue came to (MetaCue); none when the trace level is 2 (none).
  std::unique_ptr<CueRecorder> cues_;
  formula::VariableList params_;
  std::vector<std::string> situationColumns_, situationSlots_;
  std::vector<std::string> decisionColumns_, decisionSlots_;
  std::string utilitySlot_;
  std::vector<formula::FormulaProgram> similarityPrograms_;
  std::vector<formula::FormulaProgram> decisionSucceed_, decisionFail_;
  formula::FormulaProgram feedbackProgram_, judgmentFail_, judgmentSucceed_, utilityUpdate_, constraint_;
  RetrievalSettings retrieval_;
  // Read once by Prepare, like every other setting of the run.
  std::string choiceOperator_;
  // The warnings the last Prepare logged.
  std::vector<std::string> warnings_;
  double choiceThreshold_ = 0;
  bool judgeOnSuccess_ = false, multiValueFeedback_ = false;
  // The utility of an alternative that matches no instance, instead of the
  // heuristic judgment formula; stored as an instance when it populates.
  std::optional<double> defaultUtility_;
  bool defaultUtilityPopulates_ = false;
  std::int32_t utilityUpdateType_ = 0;
  std::int32_t stopRuleKind_ = 0;
  double stopRuleMilliseconds_ = 1000;
  std::int32_t stopRuleCycles_ = 1;
  double goal_ = 1, LE_ = 1, LF_ = 1;
  // Model time (ms) after each cycle of a trial, and of one whole trial: with
  // the simulated clock a trial's first cue is judged trialTimeMs_ after the
  // previous trial's first cue (or later, if that trial ran longer).
  static constexpr double kDefaultCyclePauseMs = 50;
  static constexpr double kDefaultTrialTimeMs = 1000;
  double cyclePauseMs_ = kDefaultCyclePauseMs;
  double trialTimeMs_ = kDefaultTrialTimeMs;
  // Model time (ms) between the presentation of a subject's prepopulated
  // instances and its first cue; models without the setting present them at
  // the first cue (0).
  double priorTimeMs_ = 0;
  std::uint64_t runSeed_ = 0;
  bool reinforceRecognition_ = false, reinforceExecution_ = false, reinforceFeedback_ = false;
  bool createInstanceFeedback_ = false, mergeWithPrepopulated_ = false;

  // --- Run state ---------------------------------------------------------------
  std::int32_t subjectId_ = 0;
  std::int32_t trialNumber_ = 0;
  std::int32_t retrievalCount_ = 0;
  std::int32_t feedbackCount_ = 0;
  JudgmentCollection memory_;
  std::unordered_map<std::int32_t, int> memoryIds_;  // ID -> items holding it
  JudgmentCollection executed_;
  // What the task says about a trial besides its cues, taken in order and
  // always before the next queued cue: a feedback, the outcome of an
  // alternative the model did not choose, or the alternative to execute.
  struct TrialNews {
    enum class Kind { Feedback, Outcome, Choice } kind = Kind::Feedback;
    formula::VariableList values;
    Variant outcome;
  };
  std::deque<formula::VariableList> cueQueue_;
  std::deque<TrialNews> feedbackQueue_;
  // The cue instances of the trial in progress, in the order judged, and of
  // the trial that ended last, with the instance it executed (or none) and
  // the model time of its choice.
  std::vector<ItemPtr> trialCues_, lastTrialCues_;
  ItemPtr lastExecuted_;
  double lastChoiceTime_ = 0;
  std::int32_t lastTrialNumber_ = 0;
  // The alternative the task chose for the model in this trial (CHOOSE).
  std::optional<formula::VariableList> chosenForModel_;
  // The subject's decisions so far (each DECISION's DECISION-ID).
  std::int32_t decisionCount_ = 0;
  // A cue of the subject has been judged: priors can no longer be added.
  bool subjectCueSeen_ = false;
  bool busy_ = false;
  bool draining_ = false;
  double startTime_ = 0;
  double trialStartTime_ = 0;
  // Model time of the current subject's previous trial's first cue (none yet:
  // negative).
  double lastTrialFirstCue_ = -1;
  ItemPtr candidate_;
  double retrievalTime_ = 0;
  // The instance of the cycle in progress, across its pauses.
  ItemPtr cycleInstance_;

 private:
  // Queue processing and the cycle's steps.
  void Drain();
  void RunRetrievalCycle(const std::string& typeName, const formula::VariableList& cue);
  void AfterHeuristicPause();
  void UpdateCandidate();
  void AfterCyclePause();
  void ExecuteChoice(const std::string& typeName);
  void StartTrial();
  // With the simulated clock, lets model time pass up to this trial's time.
  void AdvanceToTrialTime();
  bool StopRuleReached();
  void SyncFromDatabase(std::size_t* recordCount);
  void CheckPrepared(const std::string& typeName) const;
  void ResetRunState();

  void MemoryAppend(const ItemPtr& item);
  // Removes every held item with this ID.
  void MemoryRemoveID(std::int32_t id);
  JudgmentItem* MemoryFind(std::int32_t id) const;

  // Runs the member step after a pause of ms, unless abandoned meanwhile.
  void PauseThen(double ms, void (Impl::*next)());
  // Runs work, turning a failure into the owner's error report.
  template <class Work>
  void Guarded(Work&& work);
  void Fail(const Error& error);

  // The executor's transaction. A step begins one unless one is open
  // already; EndStep writes the step's buffered trace rows into it; CommitStep
  // commits it. It is committed before every reply, after every feedback,
  // and whenever the executor has nothing left to do, so it is never left
  // open while the executor waits for the task; the cycles of one trial
  // share it, and a failure undoes the trial in progress.
  void BeginStep();
  void EndStep();
  void CommitStep();

  friend class ModelExecutor;
};

template <class Work>
void ModelExecutor::Impl::Guarded(Work&& work) {
  try {
    work();
  } catch (const Error& error) {
    Fail(error);
  } catch (const std::exception& e) {
    Fail(Error(EngineError::Internal, "ModelExecutor", e.what()));
  }
}

}  // namespace korvane::engine
