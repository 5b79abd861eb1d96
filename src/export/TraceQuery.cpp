// TraceQuery.cpp: planning and running the queries of an export.
#include "export/TraceQuery.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <unordered_set>

#include "export/CellFormat.h"
#include "export/ExportMessages.h"
#include "store/Schema.h"

namespace korvane::exporting {

namespace {

constexpr const char* kTraceTable = "MetaInstance";
constexpr const char* kRowMarker = "ACAL";

// The trace columns a filter may test, with their captions in the filter dialog.
struct TraceColumn {
  const char* caption;
  const char* column;
};
constexpr TraceColumn kFilterTraceColumns[] = {
    {"Activation", "Activation"}, {"BLL", "BLL"}, {"Noise", "Noise"},
    {"Partial Match", "Similarity"}, {"Time", "Time"}};

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// The aspect of a slot column by its prefix: 'S', 'D', 'U', or 0 for none.
char SlotAspect(const std::string& column) {
  if (StartsWith(column, "S_")) return 'S';
  if (StartsWith(column, "D_")) return 'D';
  if (StartsWith(column, "U_")) return 'U';
  return 0;
}

std::string TraceColumnSql(const std::string& column) {
  return std::string(kTraceTable) + "." + QuoteIdentifier(column);
}

// The export's order. Rows that share subject, trial and instance come in
// the order they were written: the composite index holds them so, and the
// export walks it without sorting. The preview, which seeks into the middle
// of a subject, names that order explicitly (the rowid), at the price of a
// small sort per group.
const char* kOrderBy =
    " ORDER BY MetaInstance.\"InstanceType\", MetaInstance.\"SubjectID\", MetaInstance.\"TrialNumber\","
    " MetaInstance.\"Instance\"";
const char* kThenRowid = ", MetaInstance.rowid";

// A whole number is bound as an integer, so that it compares as the same
// text ("3", not "3.0") against a String slot as well.
Variant OperandValue(double operand) {
  if (operand >= INT32_MIN && operand <= INT32_MAX && operand == std::trunc(operand))
    return Variant(static_cast<std::int32_t>(operand));
  return Variant(operand);
}

}  // namespace

std::string QuoteIdentifier(const std::string& name) {
  std::string quoted = "\"";
  for (char c : name) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

std::vector<FilterVariable> FilterVariables(const store::TableDef& instanceTable) {
  std::vector<FilterVariable> variables;
  for (const auto& trace : kFilterTraceColumns) variables.push_back({trace.caption, trace.column});
  for (const auto& field : instanceTable.fields) {
    const char* suffix = nullptr;
    switch (SlotAspect(field.name)) {
      case 'S': suffix = " (Situation)"; break;
      case 'D': suffix = " (Decision)"; break;
      case 'U': suffix = " (Utility)"; break;
      default: continue;
    }
    variables.push_back({store::FieldName(field.name) + suffix, field.name});
  }
  return variables;
}

std::vector<std::string> InstanceTypes(store::Database& db) {
  std::vector<std::string> types;
  for (const auto& table : db.TableDefs())
    if (!store::IsSystemTable(table)) types.push_back(table.name);
  return types;
}

std::vector<std::int32_t> Subjects(store::Database& db, const std::string& instanceType) {
  std::vector<std::int32_t> subjects;
  auto table = db.FindTableDef(instanceType);
  if (!table || store::IsSystemTable(*table)) return subjects;
  auto statement = db.Prepare("SELECT X_Subject FROM " + QuoteIdentifier(table->name) +
                              " WHERE X_Subject > 0 GROUP BY X_Subject ORDER BY X_Subject");
  while (statement.Step()) subjects.push_back(static_cast<std::int32_t>(statement.Column(0).ToNumber()));
  return subjects;
}

// --- TraceRows ---------------------------------------------------------------

std::string TraceRows::Text(int column) const {
  std::string text;
  AppendCellText(Value(column), kinds_[static_cast<std::size_t>(column)], text);
  return text;
}

void TraceRows::AppendCsv(int column, std::string& out) const {
  AppendCsvCell(Value(column), kinds_[static_cast<std::size_t>(column)], out);
}

RowKey TraceRows::Key() const {
  // Row queries carry TrialNumber and Instance as their second and third
  // columns and the rowid after the export columns; key queries carry just
  // the three.
  auto number = [this](int column) {
    return static_cast<std::int64_t>(statement_.ColumnAs(column, store::FieldType::Long).ToNumber());
  };
  if (kinds_.empty()) return {number(0), number(1), number(2)};
  return {number(1), number(2), number(keyColumn_)};
}

// --- TraceQuery --------------------------------------------------------------

std::optional<TraceQuery> TraceQuery::Plan(store::Database* db, const ExportRequest& request,
                                           std::string& refusal,
                                           const std::function<void(const std::string&)>& status) {
  auto say = [&](const std::string& text) {
    if (status) status(text);
  };
  if (!db || !db->IsOpen()) {
    refusal = messages::kNoDatabase;
    return std::nullopt;
  }
  if (InstanceTypes(*db).empty()) {
    refusal = messages::kNoInstanceTypes;
    return std::nullopt;
  }
  auto table = db->FindTableDef(request.instanceType);
  if (!table || store::IsSystemTable(*table)) {
    refusal = messages::InstanceTypeMissing(request.instanceType);
    return std::nullopt;
  }
  if (request.subjects.empty()) {
    refusal = messages::kNoSubjects;
    return std::nullopt;
  }

  TraceQuery plan;
  plan.db_ = db;
  plan.instanceType_ = table->name;
  // A subject chosen twice is exported once: the count covers it once.
  std::unordered_set<std::int32_t> seen;
  for (std::int32_t subject : request.subjects)
    if (seen.insert(subject).second) plan.subjects_.push_back(subject);
  auto trace = db->FindTableDef(kTraceTable);
  plan.traceExists_ = trace.has_value();

  say(messages::kCalculatingColumns);
  const IncludeOptions& in = request.include;
  // A trace column is read as the trace table declares it; Time is read as
  // its stored text, which already is the date's text form.
  auto traceColumn = [&](ColumnKind kind, const char* caption, const char* field, store::FieldType usual) {
    store::FieldType type = usual;
    if (trace) {
      int at = trace->FieldPosition(field);
      if (at >= 0 && kind != ColumnKind::Time) type = trace->fields[static_cast<std::size_t>(at)].type;
    }
    plan.columns_.push_back({kind, caption, field, type});
  };
  traceColumn(ColumnKind::SubjectID, "Subject ID", "SubjectID", store::FieldType::Long);
  traceColumn(ColumnKind::TrialNumber, "Trial", "TrialNumber", store::FieldType::Long);
  traceColumn(ColumnKind::Instance, "Instance", "Instance", store::FieldType::Long);
  if (in.activation) traceColumn(ColumnKind::Activation, "Activation", "Activation", store::FieldType::Double);
  if (in.bll) traceColumn(ColumnKind::BLL, "BLL", "BLL", store::FieldType::Double);
  if (in.partialMatch) traceColumn(ColumnKind::PartialMatch, "Partial Match", "Similarity", store::FieldType::Double);
  if (in.noise) traceColumn(ColumnKind::Noise, "Noise", "Noise", store::FieldType::Double);
  if (in.time) traceColumn(ColumnKind::Time, "Time", "Time", store::FieldType::Text);
  for (char aspect : {'S', 'D', 'U'}) {
    bool wanted = aspect == 'S' ? in.situation : aspect == 'D' ? in.decision : in.utility;
    if (!wanted) continue;
    for (const auto& field : table->fields)
      if (SlotAspect(field.name) == aspect)
        plan.columns_.push_back({ColumnKind::Slot, store::FieldName(field.name), field.name, field.type});
  }

  say(messages::kCalculatingRows);
  const std::string tableSql = QuoteIdentifier(table->name);
  std::string filterSql;
  for (int i = 0; i < request.filters.Count(); ++i) {
    const DataFilter& filter = *request.filters.Item(i);
    if (filter.Active()) plan.hasActiveFilters_ = true;
    if (!filter.Active() || !filter.IsValid()) continue;
    // The column must be one the filter dialog offers for this instance
    // type; its name is taken from the table definition, never from the filter.
    std::string columnSql;
    bool isTime = false;
    for (const auto& trace : kFilterTraceColumns) {
      if (Upper(filter.Column()) == Upper(trace.column)) {
        columnSql = TraceColumnSql(trace.column);
        isTime = std::string(trace.column) == "Time";
      }
    }
    if (columnSql.empty()) {
      for (const auto& field : table->fields) {
        if (SlotAspect(field.name) && Upper(field.name) == Upper(filter.Column())) {
          columnSql = tableSql + "." + QuoteIdentifier(field.name);
          plan.keysNeedJoin_ = true;
          break;
        }
      }
    }
    if (columnSql.empty()) {
      refusal = messages::FilterColumnUnknown(filter.ToString(), table->name);
      return std::nullopt;
    }
    FilterCondition condition = filter.ToCondition(columnSql);
    filterSql += " AND " + condition.text;
    // Time is kept as date text; its operands (day counts) compare as dates.
    for (double operand : condition.operands)
      plan.filterOperands_.push_back(isTime ? Variant(DateValue{operand}) : OperandValue(operand));
  }
  // A filter on a slot column needs the joined form even when no slot kind
  // is exported.
  const bool joined = in.AnySlotKind() || plan.keysNeedJoin_;

  const std::string join =
      " LEFT JOIN " + tableSql + " ON MetaInstance.\"Instance\" = " + tableSql + ".\"X_ID\"";
  plan.fromRows_ = std::string(" FROM ") + kTraceTable + (joined ? join : "");
  plan.fromKeys_ = std::string(" FROM ") + kTraceTable + (plan.keysNeedJoin_ ? join : "");
  plan.where_ =
      " WHERE MetaInstance.\"InstanceType\" = ? AND MetaInstance.\"Marker\" = ?"
      " AND MetaInstance.\"SubjectID\" = ?" +
      filterSql;

  plan.selectRows_ = "SELECT ";
  plan.selectTrace_ = "SELECT ";
  for (const auto& column : plan.columns_) {
    if (column.kind == ColumnKind::Slot) {
      plan.selectRows_ += tableSql + "." + QuoteIdentifier(column.field) + ", ";
    } else {
      plan.selectRows_ += TraceColumnSql(column.field) + ", ";
      plan.selectTrace_ += TraceColumnSql(column.field) + ", ";
      ++plan.traceColumnCount_;
    }
  }
  plan.selectRows_ += "MetaInstance.rowid";
  plan.selectTrace_ += "MetaInstance.rowid";
  return plan;
}

std::vector<std::string> TraceQuery::Captions() const {
  std::vector<std::string> captions;
  for (const auto& column : columns_) captions.push_back(column.caption);
  return captions;
}

std::int64_t TraceQuery::CountRows(std::size_t subject) const {
  if (!traceExists_) return 0;
  auto statement = db_->Prepare("SELECT COUNT(*) AS Counted" + fromKeys_ + where_);
  BindWhere(statement, subject);
  if (!statement.Step()) return 0;
  return static_cast<std::int64_t>(statement.Column(0).ToNumber());
}

int TraceQuery::BindWhere(store::Statement& statement, std::size_t subject) const {
  int index = 1;
  statement.Bind(index++, Variant(instanceType_));
  statement.Bind(index++, Variant(kRowMarker));
  statement.Bind(index++, Variant(subjects_.at(subject)));
  for (const Variant& operand : filterOperands_) statement.Bind(index++, operand);
  return index;
}

TraceRows TraceQuery::OpenRows(std::size_t subject, const std::optional<RowKey>& after,
                               std::int64_t limit) const {
  return Open(selectRows_ + fromRows_, false, subject, after, limit, static_cast<int>(columns_.size()), true);
}

TraceRows TraceQuery::OpenTraceRows(std::size_t subject) const {
  return Open(selectTrace_ + fromKeys_, false, subject, std::nullopt, -1, traceColumnCount_, false);
}

TraceRows TraceQuery::OpenKeys(std::size_t subject, const std::optional<RowKey>& after,
                               std::int64_t limit) const {
  return Open("SELECT MetaInstance.\"TrialNumber\", MetaInstance.\"Instance\", MetaInstance.rowid" + fromKeys_,
              true, subject, after, limit, 0, true);
}

TraceRows TraceQuery::Open(const std::string& select, bool keysOnly, std::size_t subject,
                           const std::optional<RowKey>& after, std::int64_t limit, int columns,
                           bool seekable) const {
  std::vector<ColumnKind> kinds;
  std::vector<store::FieldType> types;
  for (int c = 0; c < columns; ++c) {
    kinds.push_back(columns_[static_cast<std::size_t>(c)].kind);
    types.push_back(columns_[static_cast<std::size_t>(c)].type);
  }
  const int keyColumn = keysOnly ? 2 : columns;
  if (!traceExists_) {
    // No run has written a trace yet: a query that yields no rows.
    return TraceRows(db_->Prepare("SELECT 1 WHERE 0"), std::move(kinds), std::move(types), keyColumn);
  }
  std::string sql = select + where_;
  if (after) {
    // The trial bound lets the composite index seek; the row value keeps the
    // exact position within the trial.
    sql += " AND MetaInstance.\"TrialNumber\" >= ? AND (MetaInstance.\"TrialNumber\", MetaInstance.\"Instance\","
           " MetaInstance.rowid) > (?, ?, ?)";
  }
  sql += kOrderBy;
  if (seekable) sql += kThenRowid;
  if (limit >= 0) sql += " LIMIT ?";

  auto statement = db_->Prepare(sql);
  int index = BindWhere(statement, subject);
  if (after) {
    // Keys are 32-bit in the trace; a rowid may exceed that, so it goes as a double.
    statement.Bind(index++, Variant(static_cast<double>(after->trial)));
    statement.Bind(index++, Variant(static_cast<double>(after->trial)));
    statement.Bind(index++, Variant(static_cast<double>(after->instance)));
    statement.Bind(index++, Variant(static_cast<double>(after->rowid)));
  }
  if (limit >= 0) statement.Bind(index++, Variant(static_cast<double>(limit)));
  return TraceRows(std::move(statement), std::move(kinds), std::move(types), keyColumn);
}

}  // namespace korvane::exporting

namespace korvane::exporting {

// --- SlotCells ---------------------------------------------------------------

SlotCells::SlotCells(const TraceQuery& plan) {
  std::string select;
  for (const auto& column : plan.Columns()) {
    if (column.kind != ColumnKind::Slot) continue;
    select += (select.empty() ? "SELECT " : ", ") + QuoteIdentifier(column.field);
    kinds_.push_back(column.kind);
    types_.push_back(column.type);
    empty_ += ',';
  }
  if (kinds_.empty()) return;
  lookup_.emplace(plan.Connection().Prepare(select + " FROM " + QuoteIdentifier(plan.InstanceType()) +
                                          " WHERE \"X_ID\" = ?"));
}

const std::string& SlotCells::Csv(const Variant& instance) {
  if (!lookup_ || !instance.IsNumber()) return empty_;
  const auto id = static_cast<std::int64_t>(instance.ToNumber());
  if (auto found = cache_.find(id); found != cache_.end()) return found->second;
  if (cache_.size() >= kMaxCached) cache_.clear();
  std::string cells;
  lookup_->Reset();
  lookup_->Bind(1, instance);
  if (lookup_->Step()) {
    for (std::size_t c = 0; c < kinds_.size(); ++c) {
      cells += ',';
      AppendCsvCell(lookup_->ColumnAs(static_cast<int>(c), types_[c]), kinds_[c], cells);
    }
  } else {
    cells = empty_;
  }
  lookup_->Reset();
  return cache_.emplace(id, std::move(cells)).first->second;
}

}  // namespace korvane::exporting
