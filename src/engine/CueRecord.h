// CueRecord.h: what each cue of a trial came to, for the trial table.
//
// The trace tells which instances were scored, retrieved and executed, but
// not what the model judged each cue to be worth: a cue instance that is not
// executed is never stored, and no trace row carries a utility. The recorder
// keeps, for the trial in progress, one row per cue (its situation values,
// the path that judged it, the utility, activation and retrieval time, the
// decision values) and writes them to MetaCue when the trial ends, marking
// the cue whose instance the choice executed. Feedback later fills in the
// outcome and the executed instance's new utility on that row.
//
// A cue of another subject starts that subject's count of trials (and drops
// what waited for feedback, as the executor forgets its executed items). The
// executor calls it at five points: Judged (a cue's instance is known),
// Candidate (that cue is the best so far), EndTrial, Fed (per executed item
// that a feedback reached, in execution order) and FeedbackDone. Rows reach
// the database inside the executor's transaction; a failed step's rows are
// dropped with Discard. A row that cannot be written never stops the run.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/JudgmentItem.h"
#include "formula/VariableList.h"

namespace korvane::store {
class Database;
class Statement;
}  // namespace korvane::store

namespace korvane::engine {

class EngineLog;

class CueRecorder {
 public:
  CueRecorder(store::Database& db, EngineLog* log, std::string instanceType,
              std::vector<std::string> situationSlots, std::vector<std::string> decisionSlots);
  ~CueRecorder();

  // A cue was judged: instance is the cue instance the cycle settled on
  // (retrieved, blended, a duplicate held in memory, or heuristic).
  void Judged(std::int32_t subject, std::int32_t traceTrial, double modelTime, const char* path,
              const ItemPtr& instance, const formula::VariableList& cue, double retrievalTime);
  // The cue judged last became the trial's candidate.
  void Candidate();
  // The trial's cue at this index (from 0) is the one executed (a choice the
  // task made for the model).
  void ChooseCue(int index) { candidate_ = index; }
  // The trial ended; executed tells whether the candidate was executed.
  // Writes the trial's rows.
  void EndTrial(bool executed);
  // A feedback reached the executed cue at this position among those still
  // waiting for one (in the order executed).
  void Fed(std::size_t position, double outcome, double utilityAfter);
  // The feedback is done: executed cues it did not reach get none.
  void FeedbackDone() { awaitingFeedback_.clear(); }
  // The step that judged the trial's cues failed and was rolled back.
  void Discard() { cues_.clear(); candidate_ = -1; }

 private:
  struct Cue {
    std::int32_t subject = 0;
    std::int32_t traceTrial = 0;
    double modelTime = 0;
    const char* path = "";
    ItemPtr instance;
    double utility = 0, activation = 0, retrievalTime = 0;
    std::string situation, decision;  // JSON objects
  };
  struct Key {
    std::int32_t subject, trial, cue;
  };
  void Failed(const std::exception& e);

  store::Database& db_;
  EngineLog* log_;
  std::string instanceType_;
  std::vector<std::string> situationSlots_, decisionSlots_;
  std::vector<Cue> cues_;
  int candidate_ = -1;
  std::int32_t subject_ = 0;         // of the last trial; another begins counting afresh
  std::int32_t trialOfSubject_ = 0;
  std::deque<Key> awaitingFeedback_;
  std::unique_ptr<store::Statement> insert_, feedback_;
  bool failed_ = false;
};

}  // namespace korvane::engine
