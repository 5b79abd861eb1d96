// MetaInstance.h: the trace of every step the engine takes with an instance.
//
// One row per candidate scored ("ACAL"), per retrieval ("RETR-NORM",
// "RETR-BLEN"), per instance loaded into memory and heuristic cue instance
// ("SCAL"), per heuristic judgment ("HEUR"), per cue instance after
// recognition ("RETR"), per execution ("EXEC") and per feedback ("FEED").
// Rows go through one prepared statement; the executor wraps them in its
// transactions. A row that cannot be written never stops the run: the first
// failure is logged, the rest are counted.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "engine/JudgmentItem.h"
#include "util/Variant.h"

namespace korvane::store {
class Database;
class Statement;
}  // namespace korvane::store

namespace korvane::engine {

class EngineLog;

struct TraceRow {
  std::int32_t SubjectID = 0;
  std::string_view InstanceType;
  std::int32_t Instance = 0;
  std::string_view Marker;
  std::int32_t TrialNumber = 0;
  double Similarity = 0;
  double Activation = 0;
  double BLL = 0;
  double Noise = 0;
  bool Selected = false;
  bool Executed = false;
  double Feedback = 0;
};

class TraceWriter {
 public:
  // Creates MetaInstance when the database lacks it.
  TraceWriter(store::Database& db, EngineLog* log);
  // Flushes what is buffered.
  ~TraceWriter();

  // How much of the trace a run keeps (the model setting Params_TraceLevel).
  enum class Level {
    Full = 0,       // every row
    Decisions = 1,  // no ACAL and SCAL rows (one per candidate and per instance loaded)
    None = 2,       // no trace rows and no merge rows: the instances only
  };
  void SetLevel(Level level) {
    level_ = level;
    timeDays_ = -1;  // the next SetTime formats its time
  }
  Level GetLevel() const { return level_; }

  // The Time column of the rows that follow (local date and time).
  void SetTime(DateValue time);
  // Buffers the row; rows reach the database in batches (one statement per
  // batch), at the latest at Flush.
  void Append(const TraceRow& row);
  // Writes the buffered rows. The executor flushes before it commits.
  void Flush();
  // Records that feedback merged the row `instance` into `mergedInto` and
  // deleted it (MetaMerge, created on first use). Failures are handled as
  // for trace rows.
  void RecordMerge(std::int32_t subjectID, std::string_view instanceType, std::int32_t trialNumber,
                   std::int32_t instance, std::int32_t mergedInto);
  // Records what entered a blend (MetaBlend, created on first use): each
  // member's ID and retrieval probability. Full trace only; failures are
  // handled as for trace rows.
  void RecordBlend(std::int32_t subjectID, std::string_view instanceType, std::int32_t trialNumber,
                   std::int32_t cueNumber, const std::vector<ItemPtr>& members);
  // Drops the buffered rows (of a step that failed and was rolled back).
  void Discard() { buffer_.clear(); }

  std::int64_t RowsWritten() const { return written_; }

 private:
  struct Buffered {
    TraceRow row;  // its text views are not used once buffered
    const std::string* instanceType;
    const std::string* marker;
  };
  void WriteBatch(std::size_t from, std::size_t count);
  void Failed(const std::exception& e, std::size_t rows);
  // The few instance-type names and markers a run uses, kept once each at
  // stable addresses so that rows can be bound without copying them.
  const std::string* Interned(std::string_view text);

  store::Database& db_;
  EngineLog* log_;
  std::unique_ptr<store::Statement> batchInsert_, singleInsert_, mergeInsert_, blendInsert_;
  std::string timeText_;
  double timeDays_ = -1;  // the time timeText_ was made from
  std::deque<std::string> names_;
  std::vector<Buffered> buffer_;
  std::int64_t written_ = 0;
  std::int64_t failed_ = 0;
  Level level_ = Level::Full;
};

// The local date and time of an absolute time in milliseconds since 1970 UTC.
DateValue LocalDateOf(double absoluteMilliseconds);

}  // namespace korvane::engine
