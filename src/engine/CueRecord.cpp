// CueRecord.cpp: rows of MetaCue, one per cue judged.
#include "engine/CueRecord.h"

#include <cmath>
#include <nlohmann/json.hpp>

#include "engine/EngineLog.h"
#include "store/Database.h"
#include "store/Schema.h"
#include "util/Utf8.h"

namespace korvane::engine {

namespace {

// A slot value as JSON: whole numbers as integers (so that a reader gets 2,
// not 2.0), other numbers as numbers, text as text, nothing as null. A text
// that is not UTF-8 (a task may send any bytes) cannot be a JSON string: it
// is kept as {"$bytes": hex}, which the trial table's readers turn back into
// the bytes.
nlohmann::ordered_json JsonValue(const Variant& value) {
  if (value.IsEmpty() || value.IsNull()) return nullptr;
  if (value.IsBoolean()) return value.AsBoolean() ? -1 : 0;
  if (value.IsNumber()) {
    double number = value.ToNumber();
    if (!std::isfinite(number)) return nullptr;
    if (number == std::trunc(number) && std::abs(number) < 9.0e15) return static_cast<std::int64_t>(number);
    return number;
  }
  std::string text = value.ToText();
  if (!IsUtf8(text)) return nlohmann::ordered_json{{"$bytes", HexOfBytes(text)}};
  return text;
}

std::string JsonObject(const std::vector<std::string>& slots, const formula::VariableList& values) {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
  for (const std::string& slot : slots) object[slot] = JsonValue(values.Value(slot));
  return object.dump();
}

}  // namespace

CueRecorder::CueRecorder(store::Database& db, EngineLog* log, std::string instanceType,
                         std::vector<std::string> situationSlots, std::vector<std::string> decisionSlots)
    : db_(db),
      log_(log),
      instanceType_(std::move(instanceType)),
      situationSlots_(std::move(situationSlots)),
      decisionSlots_(std::move(decisionSlots)) {
  store::GetOrCreateMetaCue(&db_);
  insert_ = std::make_unique<store::Statement>(db_.Prepare(
      "INSERT INTO \"MetaCue\" (\"SubjectID\", \"InstanceType\", \"TrialNumber\", \"TraceTrial\", \"CueNumber\", "
      "\"ModelTime\", \"Path\", \"Instance\", \"Utility\", \"Activation\", \"RetrievalTime\", \"Executed\", "
      "\"Situation\", \"Decision\") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
  feedback_ = std::make_unique<store::Statement>(
      db_.Prepare("UPDATE \"MetaCue\" SET \"Feedback\" = ?, \"UtilityAfter\" = ? WHERE \"InstanceType\" = ? AND "
                  "\"SubjectID\" = ? AND \"TrialNumber\" = ? AND \"CueNumber\" = ?"));
}

CueRecorder::~CueRecorder() = default;

void CueRecorder::Judged(std::int32_t subject, std::int32_t traceTrial, double modelTime, const char* path,
                         const ItemPtr& instance, const formula::VariableList& cue, double retrievalTime) {
  if (subject != subject_) {
    subject_ = subject;
    trialOfSubject_ = 0;
    awaitingFeedback_.clear();
    Discard();
  }
  // Cues of a trial that never ended (its subject was restarted) are not
  // part of the next one.
  if (!cues_.empty() && cues_.back().traceTrial != traceTrial) Discard();
  Cue row;
  row.subject = subject;
  row.traceTrial = traceTrial;
  row.modelTime = modelTime;
  row.path = path;
  row.instance = instance;
  row.utility = instance->Utility;
  row.activation = instance->Activation;
  row.retrievalTime = retrievalTime;
  row.situation = JsonObject(situationSlots_, cue);
  row.decision = JsonObject(decisionSlots_, instance->Values);
  cues_.push_back(std::move(row));
}

void CueRecorder::Candidate() { candidate_ = static_cast<int>(cues_.size()) - 1; }

void CueRecorder::EndTrial(bool executed) {
  if (cues_.empty()) return;
  ++trialOfSubject_;
  try {
    for (std::size_t i = 0; i < cues_.size(); ++i) {
      const Cue& cue = cues_[i];
      const bool isExecuted = executed && static_cast<int>(i) == candidate_;
      store::Statement& s = *insert_;
      s.Reset();
      s.Bind(1, Variant(cue.subject));
      s.Bind(2, Variant(instanceType_));
      s.Bind(3, Variant(trialOfSubject_));
      s.Bind(4, Variant(cue.traceTrial));
      s.Bind(5, Variant(static_cast<std::int32_t>(i + 1)));
      // BindDouble stores NaN as null; an infinite retrieval time (the
      // heuristic's, with a retrieval threshold far below any activation) is
      // kept as it is.
      s.BindDouble(6, cue.modelTime);
      s.Bind(7, Variant(cue.path));
      // A cue instance that was never stored has no row to name.
      s.Bind(8, cue.instance->IsNew() ? Variant::Null() : Variant(cue.instance->ID));
      s.BindDouble(9, cue.utility);
      s.BindDouble(10, cue.activation);
      s.BindDouble(11, cue.retrievalTime);
      s.Bind(12, Variant(static_cast<std::int32_t>(isExecuted ? 1 : 0)));
      s.Bind(13, Variant(cue.situation));
      s.Bind(14, Variant(cue.decision));
      s.Run();
      if (isExecuted) awaitingFeedback_.push_back({cue.subject, trialOfSubject_, static_cast<std::int32_t>(i + 1)});
    }
  } catch (const std::exception& e) {
    Failed(e);
  }
  cues_.clear();
  candidate_ = -1;
}

void CueRecorder::Fed(std::size_t position, double outcome, double utilityAfter) {
  if (position >= awaitingFeedback_.size()) return;
  Key key = awaitingFeedback_[position];
  awaitingFeedback_.erase(awaitingFeedback_.begin() + static_cast<std::ptrdiff_t>(position));
  try {
    store::Statement& s = *feedback_;
    s.Reset();
    s.BindDouble(1, outcome);
    s.BindDouble(2, utilityAfter);
    s.Bind(3, Variant(instanceType_));
    s.Bind(4, Variant(key.subject));
    s.Bind(5, Variant(key.trial));
    s.Bind(6, Variant(key.cue));
    s.Run();
  } catch (const std::exception& e) {
    Failed(e);
  }
}

void CueRecorder::Failed(const std::exception& e) {
  // Like the trace, the record of cues never stops a run; it says so once.
  if (!failed_ && log_)
    log_->Add(std::string("Error: the cues of a trial could not be recorded (") + e.what() +
                  "); further failures are not logged",
              3);
  failed_ = true;
}

}  // namespace korvane::engine
