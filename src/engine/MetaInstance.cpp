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
  // The local offset is asked once per quarter hour of UTC (localtime_r
  // reads the time zone every time), and kept only when the quarter's first
  // and last second have the same one: today's zones change on quarter
  // hours, some old ones at odd seconds.
  thread_local std::time_t cachedQuarter = -1;
  thread_local long cachedOffset = 0;
  const std::time_t quarter = seconds - ((seconds % 900) + 900) % 900;
  long offset = cachedOffset;
  if (quarter != cachedQuarter) {
    std::tm local{};
    localtime_r(&seconds, &local);
    offset = local.tm_gmtoff;
    std::tm first{}, last{};
    const std::time_t end = quarter + 899;
    localtime_r(&quarter, &first);
    localtime_r(&end, &last);
    if (first.tm_gmtoff == last.tm_gmtoff && first.tm_gmtoff == offset) {
      cachedOffset = offset;
      cachedQuarter = quarter;
    }
  }
  double offsetSeconds = static_cast<double>(offset);
  double days = (absoluteMilliseconds / 1000.0 + offsetSeconds) / 86400.0 + 25569.0;
  return DateValue{days};
}

namespace {

constexpr std::size_t kBatchRows = 64;
// Per row every column but Time has its own parameter; Time, the same for
// every row of a batch, is the one parameter ?1 that all rows share, bound once.
constexpr int kRowParameters = 12;

std::string InsertSql(std::size_t rows) {
  std::string sql =
      "INSERT INTO \"MetaInstance\" (\"SubjectID\", \"Time\", \"InstanceType\", \"Instance\", \"Marker\", "
      "\"TrialNumber\", \"Similarity\", \"Activation\", \"BLL\", \"Noise\", \"Selected\", \"Executed\", "
      "\"Feedback\") VALUES ";
  for (std::size_t r = 0; r < rows; ++r) {
    int base = 1 + static_cast<int>(r) * kRowParameters;
    sql += r == 0 ? "(" : ",(";
    for (int c = 1; c <= kRowParameters; ++c) {
      sql += '?';
      sql += std::to_string(base + c);
      if (c == 1) sql += ",?1";
      sql += c == kRowParameters ? ")" : ",";
    }
  }
  return sql;
}

}  // namespace

TraceWriter::TraceWriter(store::Database& db, EngineLog* log) : db_(db), log_(log) {
  store::GetOrCreateMetaInstance(&db_);
  batchInsert_ = std::make_unique<store::Statement>(db_.Prepare(InsertSql(kBatchRows)));
  singleInsert_ = std::make_unique<store::Statement>(db_.Prepare(InsertSql(1)));
  buffer_.reserve(kBatchRows);
  SetTime(DateNow());
}

TraceWriter::~TraceWriter() {
  try {
    Flush();
  } catch (...) {
  }
}

void TraceWriter::SetTime(DateValue time) {
  // Formatted once for all the rows that share it; rows buffered before keep
  // the time they were made at. Steps of one trial on the simulated clock
  // share their time, so most calls end at the first test.
  if (time.days == timeDays_ || level_ == Level::None) return;
  timeDays_ = time.days;
  std::string text = FormatDate(time, true);
  if (text == timeText_) return;
  Flush();
  timeText_ = std::move(text);
}

const std::string* TraceWriter::Interned(std::string_view text) {
  for (const std::string& name : names_)
    if (name == text) return &name;
  return &names_.emplace_back(text);
}

void TraceWriter::Append(const TraceRow& row) {
  if (level_ != Level::Full) {
    if (level_ == Level::None) return;
    if (row.Marker == "ACAL" || row.Marker == "SCAL") return;
  }
  buffer_.push_back(Buffered{row, Interned(row.InstanceType), Interned(row.Marker)});
  if (buffer_.size() >= kBatchRows) Flush();
}

void TraceWriter::Flush() {
  std::size_t done = 0;
  while (buffer_.size() - done >= kBatchRows) {
    WriteBatch(done, kBatchRows);
    done += kBatchRows;
  }
  while (done < buffer_.size()) {
    WriteBatch(done, 1);
    ++done;
  }
  buffer_.clear();
}

void TraceWriter::WriteBatch(std::size_t from, std::size_t count) {
  store::Statement& s = count == 1 ? *singleInsert_ : *batchInsert_;
  try {
    s.BindStaticText(1, timeText_);
    for (std::size_t r = 0; r < count; ++r) {
      const Buffered& b = buffer_[from + r];
      int base = 1 + static_cast<int>(r) * kRowParameters;
      s.BindInt(base + 1, b.row.SubjectID);
      s.BindStaticText(base + 2, *b.instanceType);
      s.BindInt(base + 3, b.row.Instance);
      s.BindStaticText(base + 4, *b.marker);
      s.BindInt(base + 5, b.row.TrialNumber);
      s.BindDouble(base + 6, b.row.Similarity);  // NaN is stored as null
      s.BindDouble(base + 7, b.row.Activation);
      s.BindDouble(base + 8, b.row.BLL);
      s.BindDouble(base + 9, b.row.Noise);
      s.BindInt(base + 10, b.row.Selected ? 1 : 0);
      s.BindInt(base + 11, b.row.Executed ? 1 : 0);
      s.BindDouble(base + 12, b.row.Feedback);
    }
    s.Run();
    written_ += static_cast<std::int64_t>(count);
  } catch (const std::exception& e) {
    try {
      s.Reset();
    } catch (...) {
    }
    Failed(e, count);
  }
}

void TraceWriter::RecordMerge(std::int32_t subjectID, std::string_view instanceType, std::int32_t trialNumber,
                              std::int32_t instance, std::int32_t mergedInto) {
  if (level_ == Level::None) return;
  try {
    if (!mergeInsert_) {
      store::GetOrCreateMetaMerge(&db_);
      mergeInsert_ = std::make_unique<store::Statement>(
          db_.Prepare("INSERT INTO \"MetaMerge\" (\"SubjectID\", \"InstanceType\", \"TrialNumber\", \"Instance\", "
                      "\"MergedInto\") VALUES (?, ?, ?, ?, ?)"));
    }
    store::Statement& s = *mergeInsert_;
    s.Bind(1, Variant(subjectID));
    s.Bind(2, Variant(std::string(instanceType)));
    s.Bind(3, Variant(trialNumber));
    s.Bind(4, Variant(instance));
    s.Bind(5, Variant(mergedInto));
    s.Run();
  } catch (const std::exception& e) {
    if (mergeInsert_) {
      try {
        mergeInsert_->Reset();
      } catch (...) {
      }
    }
    Failed(e, 1);
  }
}

void TraceWriter::RecordBlend(std::int32_t subjectID, std::string_view instanceType, std::int32_t trialNumber,
                              std::int32_t cueNumber, const std::vector<ItemPtr>& members) {
  if (level_ != Level::Full || members.empty()) return;
  try {
    if (!blendInsert_) {
      store::GetOrCreateMetaBlend(&db_);
      blendInsert_ = std::make_unique<store::Statement>(
          db_.Prepare("INSERT INTO \"MetaBlend\" (\"SubjectID\", \"InstanceType\", \"TrialNumber\", \"CueNumber\", "
                      "\"Instance\", \"Probability\") VALUES (?, ?, ?, ?, ?, ?)"));
    }
    store::Statement& s = *blendInsert_;
    const Variant type{std::string(instanceType)};
    for (const ItemPtr& member : members) {
      s.Bind(1, Variant(subjectID));
      s.Bind(2, type);
      s.Bind(3, Variant(trialNumber));
      s.Bind(4, Variant(cueNumber));
      s.Bind(5, Variant(member->ID));
      s.BindDouble(6, member->BlendingProbability);
      s.Run();
    }
  } catch (const std::exception& e) {
    if (blendInsert_) {
      try {
        blendInsert_->Reset();
      } catch (...) {
      }
    }
    Failed(e, members.size());
  }
}

void TraceWriter::Failed(const std::exception& e, std::size_t rows) {
  // The trace never stops a run; say so once, count the rest.
  if (failed_ == 0 && log_)
    log_->Add(std::string("Error: trace rows could not be written (") + e.what() +
                  "); further failures are counted, not logged",
              3);
  failed_ += static_cast<std::int64_t>(rows);
}

}  // namespace korvane::engine
