// MetaInstance.cpp: appending trace rows.
#include "engine/MetaInstance.h"

#include <cmath>
#include <ctime>

#include "engine/EngineLog.h"
#include "store/Database.h"
#include "store/Schema.h"

namespace korvane::engine {

DateValue LocalDateOf(double absoluteMilliseconds) {
  // Days since 1899-12-30 in local time: the UTC day count shifted by the
  // local offset at that instant.
  std::time_t seconds = static_cast<std::time_t>(std::floor(absoluteMilliseconds / 1000.0));
  std::tm local{};
  localtime_r(&seconds, &local);
  double offsetSeconds = static_cast<double>(local.tm_gmtoff);
  double days = (absoluteMilliseconds / 1000.0 + offsetSeconds) / 86400.0 + 25569.0;
  return DateValue{days};
}

TraceWriter::TraceWriter(store::Database& db, EngineLog* log) : db_(db), log_(log) {
  store::GetOrCreateMetaInstance(&db_);
  insert_ = std::make_unique<store::Statement>(db_.Prepare(
      "INSERT INTO \"MetaInstance\" (\"SubjectID\", \"Time\", \"InstanceType\", \"Instance\", \"Marker\", "
      "\"TrialNumber\", \"Similarity\", \"Activation\", \"BLL\", \"Noise\", \"Selected\", \"Executed\", "
      "\"Feedback\") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
  time_ = DateNow();
}

TraceWriter::~TraceWriter() = default;

namespace {
// A value SQLite cannot take as a number (NaN) is stored as null.
Variant Number(double v) { return std::isnan(v) ? Variant::Null() : Variant(v); }
}  // namespace

void TraceWriter::Append(const TraceRow& row) {
  try {
    store::Statement& s = *insert_;
    s.Bind(1, Variant(row.SubjectID));
    s.Bind(2, Variant(time_));
    s.Bind(3, Variant(row.InstanceType));
    s.Bind(4, Variant(row.Instance));
    s.Bind(5, Variant(row.Marker));
    s.Bind(6, Variant(row.TrialNumber));
    s.Bind(7, Number(row.Similarity));
    s.Bind(8, Number(row.Activation));
    s.Bind(9, Number(row.BLL));
    s.Bind(10, Number(row.Noise));
    s.Bind(11, Variant(row.Selected));
    s.Bind(12, Variant(row.Executed));
    s.Bind(13, Number(row.Feedback));
    s.Run();
    ++written_;
  } catch (const std::exception& e) {
    // The trace never stops a run; say so once, count the rest.
    if (failed_++ == 0 && log_)
      log_->Add(std::string("Error: a trace row could not be written (") + e.what() +
                    "); further failures are counted, not logged",
                3);
  }
}

}  // namespace korvane::engine
