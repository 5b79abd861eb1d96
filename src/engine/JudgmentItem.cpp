// JudgmentItem.cpp: activation, copying, equality and storage of one instance.
#include "engine/JudgmentItem.h"

#include <cmath>

#include "engine/EngineLog.h"
#include "engine/Evaluator.h"
#include "engine/InstanceTable.h"
#include "engine/MetaInstance.h"
#include "util/Error.h"

namespace korvane::engine {

bool IsSystemSlotName(std::string_view name) {
  using formula::EqualsIgnoreCase;
  // Asked for every slot of every instance compared: most names are ruled
  // out by their length alone.
  switch (name.size()) {
    case 2: case 7: case 12: case 14: break;
    default: return false;
  }
  return EqualsIgnoreCase(name, "ID") || EqualsIgnoreCase(name, "WORKING") ||
         EqualsIgnoreCase(name, "WORKING_MEMORY") || EqualsIgnoreCase(name, "SUBJECT") ||
         EqualsIgnoreCase(name, "CREATED") || EqualsIgnoreCase(name, "PREPOPULATED");
}

void JudgmentItem::CalculateBaseLevelLearning(double d, double now) {
  // Model time 0 needs no rule of its own: a presentation at 0 has age 0 and
  // adds nothing, while priors presented before the first cue (negative
  // times) count at any now.
  double sum = 0;
  for (double t : times_) {
    double age = now - t;
    if (age == 0) continue;
    if (age < 0)
      throw Error(ErrorNumber::InvalidProcedureCall, "JudgmentItem",
                  "Presentation time " + FormatNumber(t) + " lies after the time of retrieval " + FormatNumber(now));
    sum += std::pow(age, -d);
  }
  BLL = sum > 0 ? std::log(sum) : -100;
}

double JudgmentItem::Epsilon(double s, RandomSource& random) {
  // Bounded away from 0 and 1 so that the logarithm stays finite: a draw is
  // clipped to s * ln(9999) (about 9.21 s) either side of 0.
  const float low = 0.0001f, high = 0.9999f;
  float p = static_cast<float>(low + (high - low) * random.Uniform());
  return s * std::log((1.0 - p) / p);
}

void JudgmentItem::CalculateActivation(double alpha, double d, double s, double now, RandomSource& random) {
  CalculateBaseLevelLearning(d, now);
  Noise = Epsilon(s, random);
  Activation = alpha * ((Similarity + BLL) + Noise) + (1 - alpha) * Utility;
}

double JudgmentItem::RetrievalDelayFor(double LF, double LE) const { return LF * std::exp(-LE * Activation) * 1000; }

std::shared_ptr<JudgmentItem> JudgmentItem::Copy(bool asNew, EngineLog* log) const {
  auto copy = std::make_shared<JudgmentItem>();
  copy->InstanceType = InstanceType;
  copy->Subject = Subject;
  copy->TrialNumber = TrialNumber;
  if (asNew) {
    if (log && log->Wants(0)) log->Add("INSTANCE-COPY-AS-NEW FROM-ID=" + std::to_string(ID), 0);
    copy->ID = 0;
  } else {
    if (log && log->Wants(0)) log->Add("INSTANCE-COPY-IN-MEMORY FROM-ID=" + std::to_string(ID), 0);
    copy->ID = ID;
    copy->Prepopulated = Prepopulated;
  }
  copy->Similarity = Similarity;
  copy->Utility = Utility;
  copy->Values = CopyVariables(Values);
  return copy;
}

bool JudgmentItem::IsEqual(const JudgmentItem& other, EngineLog* log) const {
  bool trace = log && log->Wants(0);
  if (trace) {
    log->Add(Indented(4, "IS-EQUAL?"), 0);
    log->Add(Indented(6, "CANDIDATE-1 " + ToString()), 0);
    log->Add(Indented(6, "CANDIDATE-2 " + other.ToString()), 0);
  }
  bool equal = true;
  int position = -1;
  for (const auto& entry : Values) {
    ++position;
    if (IsSystemSlotName(entry.name)) continue;
    // Items of one table list their slots in the same order.
    int at = other.Values.IndexOf(entry.name, position);
    if (at < 0 || ValuesDiffer(entry.value, other.Values.Value(at))) {
      equal = false;
      break;
    }
  }
  if (trace) log->Add(Indented(5, std::string("IS-EQUAL=") + (equal ? "True" : "False")), 0);
  return equal;
}

bool JudgmentItem::MergeWith(const JudgmentItem& other, EngineLog* log) {
  if (!IsEqual(other, log)) return false;
  times_.insert(times_.end(), other.times_.begin(), other.times_.end());
  return true;
}

bool JudgmentItem::SeekOn(InstanceTable& table) const {
  if (IsNew() || ID < 1) return false;
  return table.HasRow(*Bookmark);
}

void JudgmentItem::DumpToTable(InstanceTable& table, EngineLog* log) {
  if (SeekOn(table)) {
    table.UpdateRow(*Bookmark, Values);
    if (log && log->Wants(0)) log->Add("DUMP-TO-RS MODE=UPDATE ID=" + std::to_string(ID), 0);
    return;
  }
  std::int64_t id = table.InsertRow(Values, DateNow());
  ID = static_cast<std::int32_t>(id);
  Bookmark = id;
  if (log && log->Wants(0)) log->Add("DUMP-TO-RS MODE=CREATE ID=" + std::to_string(ID), 0);
}

bool JudgmentItem::DeleteFromTable(InstanceTable& table) const {
  if (!SeekOn(table)) return false;
  return table.DeleteRow(*Bookmark);
}

void JudgmentItem::AddToMetaInstance(TraceWriter& trace, const char* marker) const {
  TraceRow row;
  row.SubjectID = Subject;
  row.InstanceType = InstanceType;
  row.Instance = ID;
  row.Marker = marker;
  row.TrialNumber = TrialNumber;
  row.Similarity = Similarity;
  row.Activation = Activation;
  row.BLL = BLL;
  row.Noise = Noise;
  row.Selected = Selected;
  row.Executed = Executed;
  row.Feedback = Feedback;
  trace.Append(row);
}

std::string JudgmentItem::ToString() const { return "ID=" + std::to_string(ID) + " " + Values.ToString(); }

}  // namespace korvane::engine
