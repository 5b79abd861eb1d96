// TraceQuery.h: the plan of one export over the MetaInstance trace.
//
// A TraceQuery checks a request against an experiment database (refusing it
// with the researcher's message when a choice is missing), fixes the columns,
// and builds the queries that count and read the "ACAL" rows of each chosen
// subject, in trial and instance order, narrowed by the active filters. Both
// the preview and the CSV writer read through it, so the two always show the
// same rows in the same order.
//
// Invariants: every column name in a query comes from the database's own
// table definitions (the trace columns, or the chosen instance type's slot
// columns) and is quoted; every value (instance type, subject, marker,
// filter operands, positions) is a bound parameter. Rows are read with a
// prepared statement, one at a time: nothing here holds a whole result.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "export/ExportRequest.h"
#include "store/Database.h"

namespace korvane::exporting {

// The position of a row in the export order within one subject.
struct RowKey {
  std::int64_t trial = 0;
  std::int64_t instance = 0;
  std::int64_t rowid = 0;
};

// The rows of one query, read one at a time.
class TraceRows {
 public:
  bool Next() { return statement_.Step(); }
  // The row's value in export column `column`.
  Variant Value(int column) const {
    return statement_.ColumnAs(column, types_[static_cast<std::size_t>(column)]);
  }
  // The value as the preview shows it (numbers in their short text form,
  // dates as "yyyy-mm-dd hh:nn:ss", null as empty).
  std::string Text(int column) const;
  // Appends the value as one CSV cell (quoted only when it must be).
  void AppendCsv(int column, std::string& out) const;
  RowKey Key() const;

 private:
  friend class TraceQuery;
  TraceRows(store::Statement statement, std::vector<ColumnKind> kinds, std::vector<store::FieldType> types,
            int keyColumn)
      : statement_(std::move(statement)), kinds_(std::move(kinds)), types_(std::move(types)), keyColumn_(keyColumn) {}
  store::Statement statement_;
  std::vector<ColumnKind> kinds_;        // per export column; empty for a keys-only query
  std::vector<store::FieldType> types_;  // how each export column is read
  int keyColumn_;                        // the rowid's column (see Key())
};

class TraceQuery {
 public:
  // Checks the request and plans the export. On a refusal returns nothing and
  // sets refusal to the message. status receives the phase texts.
  static std::optional<TraceQuery> Plan(store::Database* db, const ExportRequest& request,
                                        std::string& refusal,
                                        const std::function<void(const std::string&)>& status = {});

  const std::vector<ExportColumn>& Columns() const { return columns_; }
  std::vector<std::string> Captions() const;
  bool HasActiveFilters() const { return hasActiveFilters_; }
  // The chosen subjects in order, each once.
  const std::vector<std::int32_t>& Subjects() const { return subjects_; }
  const std::string& InstanceType() const { return instanceType_; }
  store::Database& Connection() const { return *db_; }

  // The number of rows of the subject at this position of Subjects().
  std::int64_t CountRows(std::size_t subject) const;
  // The rows of that subject in export order: all of them, or those after
  // `after`, at most `limit` when limit >= 0.
  TraceRows OpenRows(std::size_t subject, const std::optional<RowKey>& after = {},
                     std::int64_t limit = -1) const;
  // The same rows with only the trace columns (the first TraceColumnCount()
  // export columns) and no slot values; SlotCells supplies those.
  TraceRows OpenTraceRows(std::size_t subject) const;
  int TraceColumnCount() const { return traceColumnCount_; }
  // The same rows with only their keys (no slot values), for skipping ahead.
  TraceRows OpenKeys(std::size_t subject, const std::optional<RowKey>& after = {},
                     std::int64_t limit = -1) const;

 private:
  TraceQuery() = default;
  TraceRows Open(const std::string& select, bool keysOnly, std::size_t subject,
                 const std::optional<RowKey>& after, std::int64_t limit, int columns, bool seekable) const;
  // Binds the parameters of where_ for that subject; returns the next index.
  int BindWhere(store::Statement& statement, std::size_t subject) const;

  store::Database* db_ = nullptr;
  std::string instanceType_;
  std::vector<std::int32_t> subjects_;
  std::vector<ExportColumn> columns_;
  bool keysNeedJoin_ = false;  // a filter tests a slot column
  bool hasActiveFilters_ = false;
  bool traceExists_ = false;
  int traceColumnCount_ = 0;    // export columns before the slot columns

  std::string fromRows_;        // FROM ... of the row queries
  std::string fromKeys_;        // FROM ... of the key queries
  std::string where_;           // WHERE ... without ORDER BY, subject as a parameter
  std::vector<Variant> filterOperands_;
  std::string selectRows_;      // SELECT list of the row queries
  std::string selectTrace_;     // SELECT list of the trace columns alone
};

// The slot cells of the instances an export meets, read once per instance
// instead of joining the instance table into every trace row. Holds at most
// a bounded number of instances, so memory does not grow with the trace.
class SlotCells {
 public:
  explicit SlotCells(const TraceQuery& plan);
  bool Any() const { return !kinds_.empty(); }
  // Every slot cell of the instance as CSV, each preceded by ","; empty
  // cells for an instance the table does not hold (a blended one, 0).
  const std::string& Csv(const Variant& instance);

 private:
  static constexpr std::size_t kMaxCached = 1 << 18;
  std::optional<store::Statement> lookup_;
  std::vector<ColumnKind> kinds_;
  std::vector<store::FieldType> types_;
  std::string empty_;
  std::unordered_map<std::int64_t, std::string> cache_;
};

// The trace columns a filter may test, and the instance type's slot columns:
// the variables of the filter dialog, as caption and query column.
struct FilterVariable {
  std::string caption;  // "Activation", ..., "Partial Match", "Price (Situation)"
  std::string column;   // "Activation", ..., "Similarity", "S_Price_Real"
};
std::vector<FilterVariable> FilterVariables(const store::TableDef& instanceTable);

// Instance-type tables of a database (every table that is not the engine's
// or Korvane's own), by name.
std::vector<std::string> InstanceTypes(store::Database& db);
// Subjects that created instances of a type: X_Subject above 0, ascending.
std::vector<std::int32_t> Subjects(store::Database& db, const std::string& instanceType);

// Quotes an identifier for a query ("I1" -> "\"I1\"").
std::string QuoteIdentifier(const std::string& name);

}  // namespace korvane::exporting
