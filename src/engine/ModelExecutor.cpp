// ModelExecutor.cpp: the executor's public face, its owner defaults, and the
// machinery of steps: pauses, transactions, failures.
#include "engine/ModelExecutor.h"

#include "engine/ExecutorImpl.h"
#include "util/Log.h"

namespace korvane::engine {

// --- ExecutorOwner defaults ----------------------------------------------------

void ExecutorOwner::AddFileLog(const std::string& text, int level) { LogShared(text, level); }

void ExecutorOwner::OnExecutorError(const Error& error) {
  AddLog("Error #" + std::to_string(error.Number()) + " (" + error.Source() + "): " + error.Description(), 3);
}

// --- Impl machinery --------------------------------------------------------------

ModelExecutor::Impl::Impl(store::Database& db, ExecutorOwner& owner, Scheduler& scheduler, ExecutorOptions options)
    : db_(db), owner_(owner), scheduler_(scheduler), options_(options), settings_(db) {
  clock_ = std::make_unique<RealClock>();
}

ModelExecutor::Impl::~Impl() { *alive_ = false; }

void ModelExecutor::Impl::Add(const std::string& text, int level) {
  if (Wants(level)) owner_.AddLog(text, level);
}

void ModelExecutor::Impl::AddFileOnly(const std::string& text, int level) {
  if (Wants(level)) owner_.AddFileLog(text, level);
}

void ModelExecutor::Impl::BeginStep() {
  if (!db_.InTransaction()) db_.BeginTransaction();
  if (trace_) trace_->SetTime(LocalDateOf(AbsoluteNow()));
}

void ModelExecutor::Impl::EndStep() {
  if (trace_) trace_->Flush();
}

void ModelExecutor::Impl::CommitStep() {
  EndStep();
  while (db_.InTransaction()) db_.CommitTransaction();
}

void ModelExecutor::Impl::PauseThen(double ms, void (Impl::*next)()) {
  // The transaction stays open over the pause (see CommitStep). An executor
  // replaced during the pause commits what the cycle had written (Abandon).
  double wait = clock_->BeginPause(ms);
  scheduler_.Post(wait, [alive = alive_, this, next] {
    if (!*alive) return;
    Guarded([&] {
      if (trace_) trace_->SetTime(LocalDateOf(AbsoluteNow()));
      (this->*next)();
    });
  });
}

void ModelExecutor::Impl::Fail(const Error& error) {
  // What the failed step wrote is undone, so instance rows stay consistent;
  // what was queued belonged to the failed exchange and is dropped.
  if (trace_) trace_->Discard();
  if (cues_) cues_->Discard();
  try {
    while (db_.InTransaction()) db_.RollbackTransaction();
  } catch (const std::exception&) {
  }
  busy_ = false;
  draining_ = false;
  cueQueue_.clear();
  feedbackQueue_.clear();
  cycleInstance_.reset();
  owner_.OnExecutorError(error);
}

void ModelExecutor::Impl::MemoryAppend(const ItemPtr& item) {
  memory_.Append(item);
  ++memoryIds_[item->ID];
}

void ModelExecutor::Impl::MemoryRemoveID(std::int32_t id) {
  if (!memoryIds_.count(id)) return;
  JudgmentItem probe;
  probe.ID = id;
  while (memory_.DeleteItem(probe)) {
  }
  memoryIds_.erase(id);
}

JudgmentItem* ModelExecutor::Impl::MemoryFind(std::int32_t id) const {
  if (!memoryIds_.count(id)) return nullptr;
  for (const auto& held : memory_.Items())
    if (held->ID == id) return held.get();
  return nullptr;
}

void ModelExecutor::Impl::Abandon() {
  *alive_ = false;
  alive_ = std::make_shared<bool>(false);
  cueQueue_.clear();
  feedbackQueue_.clear();
  try {
    CommitStep();
  } catch (const std::exception&) {
  }
}

// --- Public face -------------------------------------------------------------------

ModelExecutor::ModelExecutor(store::Database& db, ExecutorOwner& owner, Scheduler& scheduler, ExecutorOptions options)
    : impl_(std::make_unique<Impl>(db, owner, scheduler, options)) {}

ModelExecutor::~ModelExecutor() { impl_->Abandon(); }

bool ModelExecutor::Prepare(const std::string& typeName) { return impl_->Prepare(typeName); }

void ModelExecutor::RestartRun() { impl_->RestartRun(); }

Variant ModelExecutor::Param(const std::string& name) const { return impl_->params_.Value(name); }

void ModelExecutor::IncrementSubjectID(std::int32_t n) { impl_->IncrementSubjectID(n); }

void ModelExecutor::AcceptCue(const formula::VariableList& cue) { impl_->AcceptCue(cue); }

void ModelExecutor::AcceptFeedback(const formula::VariableList& feedback) { impl_->AcceptFeedback(feedback); }

void ModelExecutor::AcceptOutcome(const formula::VariableList& alternative, const Variant& outcome) {
  impl_->AcceptOutcome(alternative, outcome);
}

void ModelExecutor::AcceptChoice(const formula::VariableList& alternative) { impl_->AcceptChoice(alternative); }

std::string ModelExecutor::AddPrior(const formula::VariableList& slots) { return impl_->AddPrior(slots); }

void ModelExecutor::Abandon() { impl_->Abandon(); }

bool ModelExecutor::Prepared() const { return impl_->prepared_; }
const std::string& ModelExecutor::PreparedInstanceType() const { return impl_->preparedType_; }
std::int32_t ModelExecutor::SubjectID() const { return impl_->subjectId_; }
std::int32_t ModelExecutor::TrialNumber() const { return impl_->trialNumber_; }
std::int32_t ModelExecutor::RetrievalCount() const { return impl_->retrievalCount_; }
std::int32_t ModelExecutor::FeedbackCount() const { return impl_->feedbackCount_; }
int ModelExecutor::SituationSlotCount() const { return static_cast<int>(impl_->situationColumns_.size()); }
bool ModelExecutor::Busy() const { return impl_->busy_; }
bool ModelExecutor::Idle() const {
  return !impl_->busy_ && impl_->cueQueue_.empty() && impl_->feedbackQueue_.empty();
}
std::size_t ModelExecutor::Queued() const { return impl_->cueQueue_.size() + impl_->feedbackQueue_.size(); }
std::uint64_t ModelExecutor::Seed() const { return impl_->runSeed_; }
const std::vector<std::string>& ModelExecutor::Warnings() const { return impl_->warnings_; }
Clock& ModelExecutor::GetClock() { return *impl_->clock_; }
ClockKind ModelExecutor::GetClockKind() const { return impl_->clock_->Kind(); }
double ModelExecutor::ModelTimeNow() { return impl_->ModelTimeNow(); }
void ModelExecutor::AddLog(const std::string& text, int level) { impl_->Add(text, level); }

}  // namespace korvane::engine
