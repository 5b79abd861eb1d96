// ModelExecutor.h: one simulated subject's run of a model against a task.
//
// The executor is prepared for one instance type (every formula compiled,
// every parameter read, every problem of the model logged in one pass), then
// driven by cues and feedback. Each cue runs one retrieval cycle; when the
// trial's stop rule is met the choice may execute the best cue instance and
// send a DECISION reply through the owner; feedback updates the utilities of
// what was executed.
//
// Threading: everything runs on the caller's one thread and nothing blocks it.
// A cycle's pauses are posted to the Scheduler; cues and feedback that arrive
// while the executor is busy are queued, and queued feedback is always applied
// before the next queued cue. Accept* never throw: a failure (a formula error,
// a database error, the executor's own errors) ends the work in hand, drops
// what was queued and is handed to ExecutorOwner::OnExecutorError.
//
// Replacement: destroying an executor, or calling Abandon, cancels its pending
// steps; a step posted before that never runs its body, so an executor that
// was replaced by a new START or RESET never logs or replies again. The owner
// must not destroy the executor from within one of its own callbacks
// (AddLog, SendData, ...): post the replacement to the event loop instead.
//
// Durability: trace and instance rows are written in transactions that are
// committed before every pause, before every reply and at the end of every
// trial, so a killed process loses at most the step in progress.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/Clock.h"
#include "engine/Scheduler.h"
#include "util/Error.h"
#include "util/Variant.h"

namespace korvane::store {
class Database;
}
namespace korvane::formula {
class VariableList;
}

namespace korvane::engine {

// Who drives an executor: the task connection's screen, a headless command or
// a test. All calls come on the executor's thread.
class ExecutorOwner {
 public:
  virtual ~ExecutorOwner() = default;
  // A log line for the screen log and, from the minimum level up, the log
  // file. Levels: 0 trace, 1 progress, 3 error, 4 internal error. The text
  // carries its indentation (two spaces per level of nesting).
  virtual void AddLog(const std::string& text, int level) = 0;
  // One reply line for the task, without the line end ("DECISION|...",
  // "ERROR|..."). Must not block.
  virtual void SendData(const std::string& text) = 0;
  // A line for the log file alone. The default passes it to the shared file
  // log routine (korvane::LogShared).
  virtual void AddFileLog(const std::string& text, int level);
  // A failure that ended the handling of a cue or feedback. The default logs
  // "Error #number (source): description" at level 3.
  virtual void OnExecutorError(const Error& error);
  // The lowest level of the lines the owner keeps. Lines below it are not
  // even built (trace lines at level 0 cost more than a retrieval over a
  // large memory). The default, 0, keeps every line.
  virtual int LogDetailLevel() const { return 0; }
};

// The name under which a feedback names the decision it answers (the
// DECISION reply's DECISION-ID pair).
inline constexpr const char* kDecisionIdName = "DECISION-ID";

// Caller overrides of model settings.
struct ExecutorOptions {
  std::optional<ClockKind> clock;      // instead of Params_Clock
  std::optional<std::uint64_t> seed;   // instead of Params_Seed
};

// Error numbers the executor raises (ErrorNumber::Base + n).
namespace EngineError {
constexpr std::int32_t NotPrepared = static_cast<std::int32_t>(0x80040349u);
constexpr std::int32_t WrongInstanceType = static_cast<std::int32_t>(0x8004034Au);
constexpr std::int32_t NoConstraint = static_cast<std::int32_t>(0x8004034Bu);
constexpr std::int32_t UnknownRetrievalMethod = static_cast<std::int32_t>(0x8004034Cu);
constexpr std::int32_t Internal = static_cast<std::int32_t>(0x8004034Du);
}  // namespace EngineError

class ModelExecutor {
 public:
  // db: the experiment database; owner and scheduler must outlive the
  // executor (or the executor must be abandoned before they go).
  ModelExecutor(store::Database& db, ExecutorOwner& owner, Scheduler& scheduler,
                ExecutorOptions options = {});
  ~ModelExecutor();
  ModelExecutor(const ModelExecutor&) = delete;
  ModelExecutor& operator=(const ModelExecutor&) = delete;

  // Checks and compiles everything the run of typeName needs and reads every
  // parameter, logging a summary and every problem found; true when the
  // model can run. May be called again: it rebuilds everything, drops memory
  // and queues, and restarts model time. Never throws.
  bool Prepare(const std::string& typeName);
  // Starts the run again as a new Prepare of the same type would (pending
  // steps cancelled, memory, queues, clock, random generator and subject as
  // after Prepare), without compiling and reading the model again. Throws
  // korvane::Error when not prepared.
  void RestartRun();
  // An entry of the parameter list ("HELO"); an empty value for others.
  Variant Param(const std::string& name) const;

  // Starts subject SubjectID() + n: copies the prepopulated rows to it and
  // starts its trial 0. Throws korvane::Error (database failures, not
  // prepared).
  void IncrementSubjectID(std::int32_t n);

  // Queue a cue (slot name to value) or a feedback; processed at once when
  // the executor is idle, else when the work in hand is done.
  void AcceptCue(const formula::VariableList& cue);
  // A feedback holding a kDecisionIdName entry rewards that decision alone.
  void AcceptFeedback(const formula::VariableList& feedback);
  // The outcome of an alternative of the last trial that was not executed
  // (full feedback): the alternative (its slot values, as its cue gave them)
  // becomes an instance holding outcome / goal, presented at that trial's
  // choice, or reinforces an equal one. Queued with feedback.
  void AcceptOutcome(const formula::VariableList& alternative, const Variant& outcome);
  // Model tracing: at the end of the current trial the alternative named
  // here is executed instead of the model's own choice, which the DECISION
  // reports as MODEL-<slot> pairs. Queued with feedback.
  void AcceptChoice(const formula::VariableList& alternative);
  // A prior instance (slot name to value, utility included) for the current
  // subject alone, presented as prepopulated instances are. Allowed after
  // the subject's start and before its first cue; otherwise, or for a slot
  // the type lacks, returns why it was refused (and changes nothing). Throws
  // korvane::Error for database failures.
  std::string AddPrior(const formula::VariableList& slots);

  // Cancels pending steps and drops the queues; the executor does nothing
  // more. Called by the destructor.
  void Abandon();

  static constexpr int ProtocolVersion() { return 2; }

  // --- State, for the screen and tests ----------------------------------------
  bool Prepared() const;
  const std::string& PreparedInstanceType() const;
  std::int32_t SubjectID() const;
  std::int32_t TrialNumber() const;
  std::int32_t RetrievalCount() const;
  std::int32_t FeedbackCount() const;
  // Number of situation slots of the prepared type (the CUESIZE reply).
  int SituationSlotCount() const;
  // A cycle or choice is under way (possibly paused).
  bool Busy() const;
  // Not busy and nothing queued.
  bool Idle() const;
  // Cues and feedback waiting for the work in hand.
  std::size_t Queued() const;
  // The seed of this run (logged by Prepare); each subject draws from a
  // stream derived from it and the subject's number.
  std::uint64_t Seed() const;
  // The warnings the last Prepare logged (settings that run, but most likely
  // not as meant; see ModelWarnings.h).
  const std::vector<std::string>& Warnings() const;
  // The clock of the current preparation: real, or simulated (which tests and
  // drivers may Advance between messages).
  Clock& GetClock();
  ClockKind GetClockKind() const;
  // Model time now: milliseconds since Prepare.
  double ModelTimeNow();

  // Passes a line to the owner (as the engine's own lines go).
  void AddLog(const std::string& text, int level);

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace korvane::engine
