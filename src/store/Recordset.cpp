// Recordset.cpp: record sets over SELECT results, and the conversion of a
// value to the type of the field it is written to.
//
// A record set reads all its rows when it is opened. When its query reads one
// table row for row, it also reads each row's rowid (its bookmark) and can
// write changes back: Update() runs one UPDATE or INSERT for the row, then
// reads the row again so that the set shows what the file holds.
#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <unordered_map>

#include "store/DatabaseInternal.h"

namespace korvane::store {

namespace {

constexpr const char* kSource = "Korvane.Recordset";

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

[[noreturn]] void Refuse(const FieldInfo& field, const Variant& value) {
  throw Error(ErrorNumber::DataTypeConversion, kSource,
              "Data type conversion error: the " + std::string(FieldTypeName(field.type)) + " field '" + field.name +
                  "' cannot take the value '" + value.ToText() + "'.");
}

// The value read as a number for a numeric field; booleans count as -1 and 0.
double NumberFor(const FieldInfo& field, const Variant& value) {
  switch (value.Type()) {
    case VariantType::Integer:
    case VariantType::Long:
    case VariantType::Double: return value.ToNumber();
    case VariantType::Boolean: return value.AsBoolean() ? -1 : 0;
    case VariantType::Date: return value.AsDate().days;
    case VariantType::String:
      if (IsNumericText(value.AsString())) return ReadNumber(value.AsString());
      Refuse(field, value);
    default: Refuse(field, value);
  }
}

double RoundedInteger(const FieldInfo& field, const Variant& value, double low, double high) {
  double number = NumberFor(field, value);
  if (std::isnan(number)) Refuse(field, value);
  double rounded = std::nearbyint(number);  // the default rounding mode: half to even
  if (rounded < low || rounded > high)
    throw Error(ErrorNumber::Overflow, kSource,
                "Overflow: the " + std::string(FieldTypeName(field.type)) + " field '" + field.name +
                    "' cannot hold " + value.ToText() + ".");
  return rounded;
}

}  // namespace

Variant ConvertForField(const FieldInfo& field, const Variant& value) {
  if (value.IsObject()) Refuse(field, value);
  if (value.IsNull() || value.IsEmpty()) {
    if (field.type == FieldType::Boolean) return Variant(false);
    return Variant::Null();
  }
  switch (field.type) {
    case FieldType::Long:
      return Variant(static_cast<std::int32_t>(RoundedInteger(field, value, -2147483648.0, 2147483647.0)));
    case FieldType::Integer:
      return Variant(static_cast<std::int16_t>(RoundedInteger(field, value, -32768.0, 32767.0)));
    case FieldType::Double: return Variant(NumberFor(field, value));
    case FieldType::Boolean: {
      if (value.IsBoolean()) return value;
      if (value.IsString()) {
        std::string t = Upper(value.AsString());
        t.erase(0, t.find_first_not_of(" \t"));
        t.erase(t.find_last_not_of(" \t") + 1);
        if (t == "TRUE" || t == "YES" || t == "ON") return Variant(true);
        if (t == "FALSE" || t == "NO" || t == "OFF") return Variant(false);
      }
      return Variant(NumberFor(field, value) != 0);
    }
    case FieldType::DateTime: {
      if (value.Type() == VariantType::Date) return value;
      if (value.IsString()) {
        DateValue date;
        if (ParseDate(value.AsString(), date)) return Variant(date);
      }
      if (value.IsBoolean()) Refuse(field, value);
      return Variant(DateValue{NumberFor(field, value)});
    }
    case FieldType::Text:
    case FieldType::Memo: {
      std::string text = value.ToText();
      if (text.empty() && !field.allowZeroLength)
        throw Error(StoreError::ZeroLengthString, kSource,
                    "The field '" + field.name + "' cannot be a zero-length string.");
      return Variant(std::move(text));
    }
  }
  return value;
}

// ---- Recordset ----------------------------------------------------------------

struct Recordset::Impl {
  Database* db = nullptr;
  std::shared_ptr<bool> alive;
  std::string table;  // the table rows are written back to; empty when read-only
  std::vector<FieldInfo> fields;
  std::vector<std::string> columns;   // each field's column in the table
  std::vector<int> requiredColumns;   // fields that may not be null (required indexes)
  std::vector<std::vector<Variant>> rows;
  std::vector<Bookmark> bookmarks;
  long position = -1;        // -1 before the first row, rows.size() past the last
  bool currentDeleted = false;
  enum class Mode { None, Edit, Add } mode = Mode::None;
  std::vector<std::optional<Variant>> pending;
  Bookmark lastModified = 0;
  bool hasLastModified = false;
  std::unordered_map<Bookmark, std::size_t> byBookmark;
  bool byBookmarkStale = true;
  bool closed = false;

  long Count() const { return static_cast<long>(rows.size()); }

  void CheckUsable() const {
    if (closed) throw Error(ErrorNumber::DatabaseFailure, kSource, "The record set is closed.");
    if (!alive || !*alive) throw Error(StoreError::DatabaseClosed, kSource, "The record set's database is closed.");
  }

  void CheckCurrent() const {
    CheckUsable();
    if (currentDeleted) throw Error(StoreError::RecordDeleted, kSource, "Record is deleted.");
    if (position < 0 || position >= Count()) throw Error::Standard(ErrorNumber::NoCurrentRecord, kSource);
  }

  int FieldIndex(const std::string& name) const {
    std::string upper = Upper(name);
    for (std::size_t i = 0; i < fields.size(); ++i)
      if (Upper(fields[i].name) == upper) return static_cast<int>(i);
    return -1;
  }

  int RequireField(const std::string& name) const {
    int index = FieldIndex(name);
    if (index < 0) throw Error(ErrorNumber::ItemNotFound, kSource, "Item not found in this collection: '" + name + "'.");
    return index;
  }

  // Leaving a record drops an unfinished edit, as moving off it does.
  void LeaveRecord() {
    mode = Mode::None;
    pending.clear();
  }

  void MoveTo(long target) {
    LeaveRecord();
    currentDeleted = false;
    position = std::clamp(target, -1L, Count());
  }

  // Reads one row of the table again by its rowid.
  std::vector<Variant> ReadRow(Bookmark rowid) {
    sqlite3* handle = db->Handle();
    std::string sql = "SELECT ";
    for (std::size_t i = 0; i < columns.size(); ++i) sql += (i ? ", \"" : "\"") + columns[i] + "\"";
    sql += " FROM \"" + table + "\" WHERE _rowid_ = ?";
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v2(handle, sql.c_str(), -1, &stmt, nullptr);
    if (rc != SQLITE_OK) RaiseEngineError(handle, rc, sql);
    std::vector<Variant> row;
    sqlite3_bind_int64(stmt, 1, rowid);
    rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) {
      for (int i = 0; i < static_cast<int>(columns.size()); ++i) row.push_back(ReadStatementValue(stmt, i));
    }
    sqlite3_finalize(stmt);
    if (rc != SQLITE_ROW) throw Error(StoreError::RecordDeleted, kSource, "The record was deleted by another user.");
    return row;
  }
};

Recordset::Recordset() : impl_(std::make_unique<Impl>()) {}
Recordset::~Recordset() = default;

std::unique_ptr<Recordset> Database::OpenRecordset(const std::string& sql, const std::vector<Variant>& params) {
  CheckOpen();
  std::string translated = TranslateDialect(sql);
  std::unique_ptr<Recordset> set(new Recordset());
  Recordset::Impl& r = *set->impl_;
  r.db = this;
  r.alive = alive_;

  auto prepare = [&](const std::string& text) {
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v2(db_, text.c_str(), -1, &stmt, nullptr);
    if (rc != SQLITE_OK) {
      sqlite3_finalize(stmt);
      return static_cast<sqlite3_stmt*>(nullptr);
    }
    return stmt;
  };

  // First the query as given, to learn where its columns come from.
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db_, translated.c_str(), -1, &stmt, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_finalize(stmt);
    RaiseEngineError(db_, rc, sql);
  }
  if (!stmt) throw Error(ErrorNumber::DatabaseFailure, kSource, "The statement is empty.");
  int columnCount = sqlite3_column_count(stmt);
  if (columnCount == 0) {
    sqlite3_finalize(stmt);
    throw Error(ErrorNumber::DatabaseFailure, kSource, "A record set needs a statement that returns rows: " + sql);
  }
  std::string table;
  bool oneTable = true;
  for (int i = 0; i < columnCount; ++i) {
    const char* origin = sqlite3_column_table_name(stmt, i);
    const char* column = sqlite3_column_origin_name(stmt, i);
    const char* schema = sqlite3_column_database_name(stmt, i);
    if (!origin || !column || !schema || std::string(schema) != "main") { oneTable = false; break; }
    if (table.empty()) table = origin;
    else if (table != origin) { oneTable = false; break; }
    r.columns.push_back(column);
  }
  SelectShape shape = AnalyseSelect(translated);
  bool updatable = oneTable && !table.empty() && shape.singleTable && sqlite3_stmt_readonly(stmt);
  if (updatable) {
    // Read each row's rowid as an extra, last column.
    std::string withRowid = translated.substr(0, shape.fromOffset) + ", _rowid_ " + translated.substr(shape.fromOffset);
    if (sqlite3_stmt* second = prepare(withRowid)) {
      sqlite3_finalize(stmt);
      stmt = second;
    } else {
      updatable = false;
    }
  }
  if (!updatable) r.columns.clear();

  struct Finalizer {
    sqlite3_stmt* s;
    ~Finalizer() { sqlite3_finalize(s); }
  } finalizer{stmt};

  int expected = sqlite3_bind_parameter_count(stmt);
  if (expected != static_cast<int>(params.size()))
    throw Error(ErrorNumber::DatabaseFailure, kSource,
                "The statement takes " + std::to_string(expected) + " parameters but " + std::to_string(params.size()) +
                    " were given.");
  for (std::size_t i = 0; i < params.size(); ++i) BindStatementValue(db_, stmt, static_cast<int>(i + 1), params[i]);

  std::optional<TableDef> def;
  if (updatable) {
    def = FindTableDef(table);
    if (!def) updatable = false;
  }
  for (int i = 0; i < columnCount; ++i) {
    FieldInfo field;
    field.name = sqlite3_column_name(stmt, i);
    field.ordinalPosition = i;
    const char* column = sqlite3_column_origin_name(stmt, i);
    int position = def && column ? def->FieldPosition(column) : -1;
    if (position >= 0) {
      const FieldInfo& source = def->fields[position];
      field.type = source.type;
      field.autoIncrement = source.autoIncrement;
      field.allowZeroLength = source.allowZeroLength;
    }  // a computed column is described as Text; its values keep their own type
    r.fields.push_back(field);
  }
  if (updatable) {
    r.table = table;
    for (const auto& index : def->indexes) {
      if (!index.required) continue;
      for (const auto& name : index.fields)
        for (std::size_t i = 0; i < r.columns.size(); ++i)
          if (Upper(r.columns[i]) == Upper(name)) r.requiredColumns.push_back(static_cast<int>(i));
    }
  }

  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    std::vector<Variant> row;
    row.reserve(columnCount);
    for (int i = 0; i < columnCount; ++i) row.push_back(ReadStatementValue(stmt, i));
    r.rows.push_back(std::move(row));
    r.bookmarks.push_back(updatable ? sqlite3_column_int64(stmt, columnCount)
                                    : static_cast<Bookmark>(r.rows.size()));
  }
  if (rc != SQLITE_DONE) RaiseEngineError(db_, rc, sql);
  r.position = 0;  // the first record; with none, both BOF and EOF
  return set;
}

std::unique_ptr<Recordset> Database::OpenTable(const std::string& table) {
  CheckOpen();
  if (!FindTableDef(table)) throw Error(ErrorNumber::ItemNotFound, kSource, "The table '" + table + "' does not exist.");
  return OpenRecordset("SELECT * FROM \"" + table + "\" ORDER BY _rowid_");
}

bool Recordset::IsEOF() const { return impl_->rows.empty() || impl_->position >= impl_->Count(); }
bool Recordset::IsBOF() const { return impl_->rows.empty() || impl_->position < 0; }
long Recordset::RecordCount() const { return impl_->Count(); }

void Recordset::MoveFirst() {
  impl_->CheckUsable();
  impl_->MoveTo(0);
}

void Recordset::MoveLast() {
  impl_->CheckUsable();
  impl_->MoveTo(impl_->rows.empty() ? 0 : impl_->Count() - 1);
}

void Recordset::MoveNext() {
  Impl& r = *impl_;
  r.CheckUsable();
  if (r.currentDeleted) return r.MoveTo(r.position);  // the next row has moved up into place
  if (IsEOF()) throw Error::Standard(ErrorNumber::NoCurrentRecord, kSource);
  r.MoveTo(r.position + 1);
}

void Recordset::MovePrevious() {
  Impl& r = *impl_;
  r.CheckUsable();
  if (r.currentDeleted) return r.MoveTo(r.position - 1);
  if (IsBOF()) throw Error::Standard(ErrorNumber::NoCurrentRecord, kSource);
  r.MoveTo(r.position - 1);
}

void Recordset::Move(long rows) {
  Impl& r = *impl_;
  r.CheckUsable();
  if (r.currentDeleted) {
    if (rows == 0) throw Error(StoreError::RecordDeleted, kSource, "Record is deleted.");
    return r.MoveTo(rows > 0 ? r.position + rows - 1 : r.position + rows);
  }
  if (rows == 0) {
    r.CheckCurrent();
    return;
  }
  if (r.rows.empty()) throw Error::Standard(ErrorNumber::NoCurrentRecord, kSource);
  r.MoveTo(r.position + rows);
}

int Recordset::FieldCount() const { return static_cast<int>(impl_->fields.size()); }

const FieldInfo& Recordset::Field(int position) const {
  if (position < 0 || position >= FieldCount())
    throw Error(ErrorNumber::ItemNotFound, kSource, "No field at position " + std::to_string(position) + ".");
  return impl_->fields[position];
}

int Recordset::FieldPosition(const std::string& name) const { return impl_->FieldIndex(name); }

Variant Recordset::Get(const std::string& name) const { return Get(impl_->RequireField(name)); }

Variant Recordset::Get(int position) const {
  const Impl& r = *impl_;
  if (position < 0 || position >= FieldCount())
    throw Error(ErrorNumber::ItemNotFound, kSource, "No field at position " + std::to_string(position) + ".");
  if (r.mode != Impl::Mode::None) {
    r.CheckUsable();
    if (r.pending[position]) return ConvertForField(r.fields[position], *r.pending[position]);
    if (r.mode == Impl::Mode::Add) return r.fields[position].type == FieldType::Boolean ? Variant(false) : Variant::Null();
  }
  r.CheckCurrent();
  return r.rows[r.position][position];
}

void Recordset::Edit() {
  Impl& r = *impl_;
  r.CheckCurrent();
  if (r.table.empty()) throw Error(ErrorNumber::DatabaseFailure, kSource, "The record set is not updatable.");
  r.mode = Impl::Mode::Edit;
  r.pending.assign(r.fields.size(), std::nullopt);
}

void Recordset::AddNew() {
  Impl& r = *impl_;
  r.CheckUsable();
  if (r.table.empty()) throw Error(ErrorNumber::DatabaseFailure, kSource, "The record set is not updatable.");
  r.mode = Impl::Mode::Add;
  r.pending.assign(r.fields.size(), std::nullopt);
}

void Recordset::Set(const std::string& name, const Variant& value) {
  Impl& r = *impl_;
  r.CheckUsable();
  if (r.mode == Impl::Mode::None)
    throw Error(ErrorNumber::DatabaseFailure, kSource, "Update or CancelUpdate without AddNew or Edit.");
  int index = r.RequireField(name);
  if (r.fields[index].autoIncrement)
    throw Error(ErrorNumber::DatabaseFailure, kSource, "The field '" + r.fields[index].name + "' cannot be updated.");
  ConvertForField(r.fields[index], value);  // refuse a bad value when it is set
  r.pending[index] = value;
}

void Recordset::Update() {
  Impl& r = *impl_;
  r.CheckUsable();
  if (r.mode == Impl::Mode::None)
    throw Error(ErrorNumber::DatabaseFailure, kSource, "Update or CancelUpdate without AddNew or Edit.");
  std::vector<int> changed;
  std::vector<Variant> values;
  for (std::size_t i = 0; i < r.fields.size(); ++i) {
    if (!r.pending[i]) continue;
    // The same column may be read twice by a query; write it once.
    bool seen = false;
    for (int c : changed)
      if (Upper(r.columns[c]) == Upper(r.columns[i])) seen = true;
    if (seen) continue;
    changed.push_back(static_cast<int>(i));
    values.push_back(ConvertForField(r.fields[i], *r.pending[i]));
  }
  for (int column : r.requiredColumns) {
    const FieldInfo& field = r.fields[column];
    if (field.autoIncrement || field.type == FieldType::Boolean) continue;
    auto it = std::find(changed.begin(), changed.end(), column);
    bool isNull = it != changed.end() ? values[it - changed.begin()].IsNull() : r.mode == Impl::Mode::Add;
    if (isNull)
      throw Error(StoreError::FieldRequired, kSource,
                  "The field '" + r.table + "." + field.name + "' cannot contain a Null value because it is required.");
  }

  sqlite3* handle = r.db->Handle();
  std::string sql;
  if (r.mode == Impl::Mode::Edit) {
    if (changed.empty()) return r.LeaveRecord();
    sql = "UPDATE \"" + r.table + "\" SET ";
    for (std::size_t i = 0; i < changed.size(); ++i) sql += (i ? ", \"" : "\"") + r.columns[changed[i]] + "\" = ?";
    sql += " WHERE _rowid_ = ?";
  } else if (changed.empty()) {
    sql = "INSERT INTO \"" + r.table + "\" DEFAULT VALUES";
  } else {
    sql = "INSERT INTO \"" + r.table + "\" (";
    for (std::size_t i = 0; i < changed.size(); ++i) sql += (i ? ", \"" : "\"") + r.columns[changed[i]] + "\"";
    sql += ") VALUES (";
    for (std::size_t i = 0; i < changed.size(); ++i) sql += i ? ", ?" : "?";
    sql += ")";
  }
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(handle, sql.c_str(), -1, &stmt, nullptr);
  if (rc != SQLITE_OK) RaiseEngineError(handle, rc, sql);
  struct Finalizer {
    sqlite3_stmt* s;
    ~Finalizer() { sqlite3_finalize(s); }
  } finalizer{stmt};
  for (std::size_t i = 0; i < values.size(); ++i) BindStatementValue(handle, stmt, static_cast<int>(i + 1), values[i]);
  if (r.mode == Impl::Mode::Edit) sqlite3_bind_int64(stmt, static_cast<int>(values.size() + 1), r.bookmarks[r.position]);
  rc = sqlite3_step(stmt);
  if (rc != SQLITE_DONE) RaiseEngineError(handle, rc, "writing a record of " + r.table);

  if (r.mode == Impl::Mode::Edit) {
    r.rows[r.position] = r.ReadRow(r.bookmarks[r.position]);
  } else {
    Bookmark rowid = sqlite3_last_insert_rowid(handle);
    bool atEnd = r.position >= r.Count();
    r.rows.push_back(r.ReadRow(rowid));
    r.bookmarks.push_back(rowid);
    r.byBookmark[rowid] = r.rows.size() - 1;
    if (atEnd) r.position = r.Count();  // stays past the end
    r.lastModified = rowid;
    r.hasLastModified = true;
  }
  r.LeaveRecord();
}

void Recordset::CancelUpdate() {
  impl_->CheckUsable();
  impl_->LeaveRecord();
}

void Recordset::Delete() {
  Impl& r = *impl_;
  r.CheckCurrent();
  if (r.table.empty()) throw Error(ErrorNumber::DatabaseFailure, kSource, "The record set is not updatable.");
  r.LeaveRecord();
  sqlite3* handle = r.db->Handle();
  std::string sql = "DELETE FROM \"" + r.table + "\" WHERE _rowid_ = ?";
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(handle, sql.c_str(), -1, &stmt, nullptr);
  if (rc != SQLITE_OK) RaiseEngineError(handle, rc, sql);
  sqlite3_bind_int64(stmt, 1, r.bookmarks[r.position]);
  rc = sqlite3_step(stmt);
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) RaiseEngineError(handle, rc, sql);
  r.rows.erase(r.rows.begin() + r.position);
  r.bookmarks.erase(r.bookmarks.begin() + r.position);
  r.byBookmarkStale = true;
  r.currentDeleted = true;
}

Bookmark Recordset::LastModified() const {
  if (!impl_->hasLastModified) throw Error::Standard(ErrorNumber::NoCurrentRecord, kSource);
  return impl_->lastModified;
}

Bookmark Recordset::GetBookmark() const {
  impl_->CheckCurrent();
  return impl_->bookmarks[impl_->position];
}

void Recordset::SetBookmark(Bookmark bookmark) {
  Impl& r = *impl_;
  r.CheckUsable();
  if (r.byBookmarkStale) {
    r.byBookmark.clear();
    for (std::size_t i = 0; i < r.bookmarks.size(); ++i) r.byBookmark[r.bookmarks[i]] = i;
    r.byBookmarkStale = false;
  }
  auto it = r.byBookmark.find(bookmark);
  if (it == r.byBookmark.end())
    throw Error(ErrorNumber::DatabaseFailure, kSource, "Not a valid bookmark: " + std::to_string(bookmark) + ".");
  r.MoveTo(static_cast<long>(it->second));
}

bool Recordset::Updatable() const { return !impl_->table.empty(); }

void Recordset::Close() {
  impl_->closed = true;
  impl_->rows.clear();
  impl_->bookmarks.clear();
  impl_->LeaveRecord();
}

}  // namespace korvane::store
