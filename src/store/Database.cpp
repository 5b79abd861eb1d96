// Database.cpp: connections, schema and statements of the SQLite layer.
//
// How the model files' notions map onto SQLite:
//  - field types are kept in the declared column types, chosen so that SQLite's
//    affinity keeps the values: Long "INTEGER" (the auto-increment identity is
//    "INTEGER PRIMARY KEY AUTOINCREMENT"), Integer "SMALLINT", Double "DOUBLE",
//    Text "VARCHAR", Memo "LONGTEXT", Boolean "BOOLEAN" (never null: a null
//    becomes false, as a yes/no field holds no null), Date/Time "DATETIME"
//    (stored as text "yyyy-mm-dd hh:nn:ss.zzz");
//  - a Text or Memo field that refuses zero-length strings carries the word
//    NONEMPTY in its declared type and a CHECK constraint, so the rule holds
//    for every writer and survives renames;
//  - an index "Name" of table "T" is the SQLite index "T.Name"; its primary
//    and required flags live in the system table MSysIndexes.
// Files are opened in WAL mode with a busy timeout, so that several
// connections to one file (one per screen) see each other's commits without
// blocking on readers.
#include "store/Database.h"

// The run journal records rows through SQLite's pre-update hook (Debian's
// SQLite is built with it).
#define SQLITE_ENABLE_PREUPDATE_HOOK 1
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string_view>

#include "store/DatabaseInternal.h"
#include "store/RunJournal.h"
#include "store/Schema.h"
#include "util/Dialogs.h"

namespace korvane::store {

namespace {

constexpr const char* kSource = "Korvane.Database";
constexpr const char* kIndexTable = "MSysIndexes";
constexpr int kBusyTimeoutMs = 10000;

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

bool EqualsNoCase(const std::string& a, const std::string& b) { return Upper(a) == Upper(b); }

[[noreturn]] void Fail(sqlite3* db, int rc, const std::string& context) {
  int primary = rc & 0xff;
  std::int32_t number = ErrorNumber::DatabaseFailure;
  if (primary == SQLITE_NOTADB) number = ErrorNumber::NotADatabase;
  else if (primary == SQLITE_READONLY || primary == SQLITE_PERM || primary == SQLITE_CANTOPEN)
    number = ErrorNumber::ReadOnlyDatabase;
  std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  // SQLite reports a full disk met while writing its journal or shared
  // memory as an I/O error; the system's error number tells.
  if (primary == SQLITE_FULL || (db && sqlite3_system_errno(db) == ENOSPC))
    message = "the disk is full (" + message + ")";
  if (!context.empty()) message += " (" + context + ")";
  throw Error(number, kSource, message);
}

// Identifiers are quoted with double quotes; names that could break out of
// the quotes or that SQLite reserves are refused.
void ValidateName(const std::string& name, const char* what) {
  bool ok = !name.empty() && name.size() <= 64;
  for (unsigned char c : name)
    if (c < 0x20 || c == '"' || c == '[' || c == ']' || c == '`' || c == '.' || c == '!') ok = false;
  if (ok && name.front() == ' ') ok = false;
  if (ok && Upper(name).rfind("SQLITE_", 0) == 0) ok = false;
  if (!ok) throw Error(ErrorNumber::DatabaseFailure, kSource, std::string("'") + name + "' is not a valid " + what + " name.");
}

std::string Quote(const std::string& name) { return "\"" + name + "\""; }

std::string SqlIndexName(const std::string& table, const std::string& index) { return table + "." + index; }

// The declared SQLite type of a field.
std::string DeclaredType(const FieldInfo& field) {
  switch (field.type) {
    case FieldType::Long: return "INTEGER";
    case FieldType::Integer: return "SMALLINT";
    case FieldType::Double: return "DOUBLE";
    case FieldType::Text: return field.allowZeroLength ? "VARCHAR" : "VARCHAR NONEMPTY";
    case FieldType::Memo: return field.allowZeroLength ? "LONGTEXT" : "LONGTEXT NONEMPTY";
    case FieldType::Boolean: return "BOOLEAN";
    case FieldType::DateTime: return "DATETIME";
  }
  return "VARCHAR";
}

std::string ColumnDefinition(const FieldInfo& field) {
  ValidateName(field.name, "field");
  std::string sql = Quote(field.name) + " ";
  if (field.autoIncrement) {
    if (field.type != FieldType::Long)
      throw Error(ErrorNumber::DatabaseFailure, kSource, "Only a Long field can be auto-increment ('" + field.name + "').");
    return sql + "INTEGER PRIMARY KEY AUTOINCREMENT";
  }
  sql += DeclaredType(field);
  if (field.type == FieldType::Boolean) sql += " NOT NULL ON CONFLICT REPLACE DEFAULT 0";
  if ((field.type == FieldType::Text || field.type == FieldType::Memo) && !field.allowZeroLength)
    sql += " CHECK (" + Quote(field.name) + " <> '')";
  return sql;
}

// The field type of a declared type, for our own tables and for tables made
// by plain SQL alike.
FieldType TypeFromDeclared(const std::string& declared, bool* allowZeroLength) {
  std::string d = Upper(declared);
  std::string first = d.substr(0, d.find_first_of(" ("));
  if (allowZeroLength) *allowZeroLength = d.find("NONEMPTY") == std::string::npos;
  if (first == "SMALLINT" || first == "SHORT" || first == "INT16") return FieldType::Integer;
  if (first == "BOOLEAN" || first == "BOOL" || first == "BIT" || first == "YESNO") return FieldType::Boolean;
  if (first == "DATETIME" || first == "DATE" || first == "TIME" || first == "TIMESTAMP") return FieldType::DateTime;
  if (first == "LONGTEXT" || first == "MEMO" || first == "CLOB") return FieldType::Memo;
  if (d.find("INT") != std::string::npos || first == "LONG" || first == "COUNTER") return FieldType::Long;
  if (d.find("CHAR") != std::string::npos || d.find("TEXT") != std::string::npos) return FieldType::Text;
  if (d.find("REAL") != std::string::npos || d.find("FLOA") != std::string::npos ||
      d.find("DOUB") != std::string::npos || first == "NUMERIC" || first == "DECIMAL")
    return FieldType::Double;
  return FieldType::Text;
}

// ---- Values -----------------------------------------------------------------

Variant IntegerVariant(sqlite3_int64 v) {
  if (v >= INT32_MIN && v <= INT32_MAX) return Variant(static_cast<std::int32_t>(v));
  return Variant(static_cast<double>(v));
}

// Reads a column by the field type of the column it comes from (if any).
Variant ReadValue(sqlite3_stmt* stmt, int column, const std::optional<FieldType>& type) {
  int storage = sqlite3_column_type(stmt, column);
  if (storage == SQLITE_NULL) {
    if (type == FieldType::Boolean) return Variant(false);
    return Variant::Null();
  }
  auto text = [&] {
    const unsigned char* t = sqlite3_column_text(stmt, column);
    return std::string(t ? reinterpret_cast<const char*>(t) : "", sqlite3_column_bytes(stmt, column));
  };
  if (!type) {
    switch (storage) {
      case SQLITE_INTEGER: return IntegerVariant(sqlite3_column_int64(stmt, column));
      case SQLITE_FLOAT: return Variant(sqlite3_column_double(stmt, column));
      default: return Variant(text());
    }
  }
  switch (*type) {
    case FieldType::Integer:
      if (storage == SQLITE_INTEGER) {
        sqlite3_int64 v = sqlite3_column_int64(stmt, column);
        if (v >= INT16_MIN && v <= INT16_MAX) return Variant(static_cast<std::int16_t>(v));
        return IntegerVariant(v);
      }
      break;
    case FieldType::Long:
      if (storage == SQLITE_INTEGER) return IntegerVariant(sqlite3_column_int64(stmt, column));
      break;
    case FieldType::Double:
      if (storage == SQLITE_INTEGER || storage == SQLITE_FLOAT) return Variant(sqlite3_column_double(stmt, column));
      break;
    case FieldType::Boolean:
      if (storage == SQLITE_INTEGER || storage == SQLITE_FLOAT) return Variant(sqlite3_column_double(stmt, column) != 0);
      break;
    case FieldType::DateTime: {
      if (storage == SQLITE_INTEGER || storage == SQLITE_FLOAT) return Variant(DateValue{sqlite3_column_double(stmt, column)});
      DateValue date;
      std::string t = text();
      if (ParseDate(t, date)) return Variant(date);
      return Variant(t);
    }
    case FieldType::Text:
    case FieldType::Memo: return Variant(text());
  }
  // A value of another storage class than the column's (written by plain SQL).
  switch (storage) {
    case SQLITE_INTEGER: return IntegerVariant(sqlite3_column_int64(stmt, column));
    case SQLITE_FLOAT: return Variant(sqlite3_column_double(stmt, column));
    default: return Variant(text());
  }
}

std::optional<FieldType> ColumnType(sqlite3_stmt* stmt, int column) {
  const char* declared = sqlite3_column_decltype(stmt, column);
  if (!declared) return std::nullopt;
  return TypeFromDeclared(declared, nullptr);
}

// Binds a value as it is (no column is known): numbers as numbers, booleans
// as 1/0, dates as their text form.
void BindValue(sqlite3* db, sqlite3_stmt* stmt, int index, const Variant& value) {
  int rc = SQLITE_OK;
  switch (value.Type()) {
    case VariantType::Empty:
    case VariantType::Null: rc = sqlite3_bind_null(stmt, index); break;
    case VariantType::Integer: rc = sqlite3_bind_int(stmt, index, value.AsInteger()); break;
    case VariantType::Long: rc = sqlite3_bind_int(stmt, index, value.AsLong()); break;
    case VariantType::Double: rc = sqlite3_bind_double(stmt, index, value.AsDouble()); break;
    case VariantType::Boolean: rc = sqlite3_bind_int(stmt, index, value.AsBoolean() ? 1 : 0); break;
    case VariantType::String:
      rc = sqlite3_bind_text(stmt, index, value.AsString().data(), static_cast<int>(value.AsString().size()),
                             SQLITE_TRANSIENT);
      break;
    case VariantType::Date: {
      std::string t = FormatDate(value.AsDate(), true);
      rc = sqlite3_bind_text(stmt, index, t.data(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
      break;
    }
    case VariantType::Object:
      throw Error(ErrorNumber::DataTypeConversion, kSource, "An object reference cannot be stored in a database.");
  }
  if (rc != SQLITE_OK) Fail(db, rc, "binding parameter " + std::to_string(index));
}

// ---- Statement helpers ----------------------------------------------------

struct StmtGuard {
  sqlite3_stmt* stmt = nullptr;
  ~StmtGuard() { sqlite3_finalize(stmt); }
};

sqlite3_stmt* PrepareRaw(sqlite3* db, const std::string& sql, bool single = true) {
  sqlite3_stmt* stmt = nullptr;
  const char* tail = nullptr;
  int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt, &tail);
  if (rc != SQLITE_OK) Fail(db, rc, sql);
  if (!stmt) throw Error(ErrorNumber::DatabaseFailure, kSource, "The statement is empty.");
  if (single && tail) {
    std::string rest(tail);
    if (rest.find_first_not_of(" \t\r\n;") != std::string::npos) {
      sqlite3_finalize(stmt);
      throw Error(ErrorNumber::DatabaseFailure, kSource, "Only one statement may be run at a time: " + sql);
    }
  }
  return stmt;
}

void CheckParameterCount(sqlite3_stmt* stmt, std::size_t given) {
  int expected = sqlite3_bind_parameter_count(stmt);
  if (expected != static_cast<int>(given))
    throw Error(ErrorNumber::DatabaseFailure, kSource,
                "The statement takes " + std::to_string(expected) + " parameters but " + std::to_string(given) +
                    " were given.");
}

void BindAll(sqlite3* db, sqlite3_stmt* stmt, const std::vector<Variant>& params) {
  CheckParameterCount(stmt, params.size());
  for (std::size_t i = 0; i < params.size(); ++i) BindValue(db, stmt, static_cast<int>(i + 1), params[i]);
}

void Exec(sqlite3* db, const std::string& sql, const std::vector<Variant>& params = {}) {
  StmtGuard g{PrepareRaw(db, sql)};
  BindAll(db, g.stmt, params);
  int rc;
  while ((rc = sqlite3_step(g.stmt)) == SQLITE_ROW) {
  }
  if (rc != SQLITE_DONE) Fail(db, rc, sql);
}

// Runs a block of schema changes as one unit: a savepoint inside a
// transaction, an immediate transaction otherwise.
class SchemaChange {
 public:
  explicit SchemaChange(sqlite3* db) : db_(db), nested_(!sqlite3_get_autocommit(db)) {
    Exec(db_, nested_ ? "SAVEPOINT korvane_schema" : "BEGIN IMMEDIATE");
  }
  ~SchemaChange() {
    if (done_) return;
    if (nested_) {
      sqlite3_exec(db_, "ROLLBACK TO korvane_schema; RELEASE korvane_schema", nullptr, nullptr, nullptr);
    } else {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
  }
  void Commit() {
    Exec(db_, nested_ ? "RELEASE korvane_schema" : "COMMIT");
    done_ = true;
  }

 private:
  sqlite3* db_;
  bool nested_;
  bool done_ = false;
};

// NOW(): the local date and time in the text form of Date/Time fields.
void SqlNow(sqlite3_context* context, int, sqlite3_value**) {
  std::string now = FormatDate(DateNow(), true);
  sqlite3_result_text(context, now.c_str(), static_cast<int>(now.size()), SQLITE_TRANSIENT);
}

void Configure(sqlite3* db) {
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  sqlite3_create_function(db, "NOW", 0, SQLITE_UTF8, nullptr, SqlNow, nullptr, nullptr);
  // In WAL mode NORMAL never corrupts the file; it only lets the very last
  // commits before a power cut go, and saves a sync per transaction.
  sqlite3_exec(db, "PRAGMA synchronous = NORMAL", nullptr, nullptr, nullptr);
}

// ---- File checks ---------------------------------------------------------

bool IsBlank(const std::string& s) { return s.find_first_not_of(" \t\r\n") == std::string::npos; }

std::string FolderOf(const std::string& path) {
  std::filesystem::path p(path);
  std::filesystem::path parent = p.parent_path();
  return parent.empty() ? std::string(".") : parent.string();
}

bool Writable(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return false;
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return false;  // even for root
  return access(path.c_str(), W_OK) == 0;
}

void CheckFolder(const std::string& path) {
  if (IsBlank(path)) throw Error(StoreError::InvalidPath, kSource, "No database file name was given.");
  std::error_code ec;
  std::string folder = FolderOf(path);
  if (!std::filesystem::is_directory(folder, ec))
    throw Error(StoreError::InvalidPath, kSource, "The folder '" + folder + "' does not exist.");
}

// Refuses, before SQLite touches it, a file that is not one of ours. A
// file opened only to be read need not be writable.
void CheckExistingFile(const std::string& path, bool forWriting = true) {
  CheckFolder(path);
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec))
    throw Error(StoreError::FileNotFound, kSource, "'" + path + "' is a folder, not a database file.");
  if (!std::filesystem::exists(path, ec))
    throw Error(StoreError::FileNotFound, kSource, "Could not find file '" + path + "'.");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Error(ErrorNumber::ReadOnlyDatabase, kSource, "The file '" + path + "' cannot be read.");
  char header[100] = {};
  in.read(header, sizeof header);
  std::streamsize got = in.gcount();
  if (got > 0) {
    if (got >= 19 && (std::memcmp(header + 4, "Standard Jet DB", 15) == 0 ||
                      std::memcmp(header + 4, "Standard ACE DB", 15) == 0))
      throw Error(ErrorNumber::NotADatabase, kSource,
                  "'" + path + "' is a Microsoft Access (Jet) database. Korvane keeps its models in its own " +
                      "database format and cannot open Access files; create a new model with Korvane instead.");
    if (got < 100 || std::memcmp(header, "SQLite format 3", 16) != 0)
      throw Error(ErrorNumber::NotADatabase, kSource,
                  "'" + path + "' is not a Korvane model database (unrecognized database format).");
  }
  if (!forWriting) return;
  if (!Writable(path))
    throw Error(ErrorNumber::ReadOnlyDatabase, kSource,
                "The file '" + path + "' is read-only; Korvane needs to write to a model database.");
  if (!Writable(FolderOf(path)))
    throw Error(ErrorNumber::ReadOnlyDatabase, kSource,
                "The folder of '" + path + "' cannot be written; Korvane needs it for the database's journal.");
}

sqlite3* OpenHandle(const std::string& path, int flags) {
  sqlite3* db = nullptr;
  // A connection, its statements and its record sets belong to one thread at
  // a time (a worker that exports opens its own), so SQLite need not lock
  // around every call.
  int rc = sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close_v2(db);
    throw Error(ErrorNumber::DatabaseFailure, kSource, "Cannot open '" + path + "': " + message);
  }
  Configure(db);
  return db;
}

constexpr int kApplicationId = 1265594998;  // "Korv"

// A SQLite file another program made: neither Korvane's application id nor
// its settings table. Checked before anything is written to it.
void CheckKorvaneFile(sqlite3* db, const std::string& path) {
  int applicationId = 0;
  bool korvaneTables = false;
  bool empty = true;
  {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA application_id", -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW)
      applicationId = sqlite3_column_int(stmt, 0);
    sqlite3_finalize(stmt);
  }
  if (applicationId == kApplicationId) return;
  {
    sqlite3_stmt* stmt = nullptr;
    const int rc = sqlite3_prepare_v2(db, "SELECT name FROM sqlite_master WHERE type = 'table'", -1, &stmt, nullptr);
    if (rc != SQLITE_OK) {
      sqlite3_finalize(stmt);
      Fail(db, rc, "reading the schema");
    }
    int step = SQLITE_OK;
    while ((step = sqlite3_step(stmt)) == SQLITE_ROW) {
      empty = false;
      const unsigned char* name = sqlite3_column_text(stmt, 0);
      if (name && std::string(reinterpret_cast<const char*>(name)) == "MetaKeyValue") korvaneTables = true;
    }
    sqlite3_finalize(stmt);
    if (step != SQLITE_DONE) Fail(db, step, "reading the schema");
  }
  // Files made before Korvane wrote its id have its settings table; a file
  // with no page written yet (an empty file) becomes a model.
  if (korvaneTables) return;
  if (empty && applicationId == 0) {
    sqlite3_stmt* stmt = nullptr;
    int pages = 0;
    if (sqlite3_prepare_v2(db, "PRAGMA page_count", -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW)
      pages = sqlite3_column_int(stmt, 0);
    sqlite3_finalize(stmt);
    if (pages == 0) return;
  }
  throw Error(ErrorNumber::NotADatabase, kSource,
              "'" + path + "' is a SQLite database of another program, not a Korvane model; Korvane leaves it as it is.");
}

// Opens the file and refuses it, closed again, unless it is one of
// Korvane's. Reading the schema makes SQLite look at the whole header.
sqlite3* OpenKorvaneHandle(const std::string& path, int flags) {
  sqlite3* db = OpenHandle(path, flags);
  try {
    Exec(db, "SELECT count(*) FROM sqlite_master");
    CheckKorvaneFile(db, path);
  } catch (...) {
    sqlite3_close_v2(db);
    throw;
  }
  return db;
}

void RemoveSidecars(const std::string& path) {
  std::error_code ec;
  for (const char* suffix : {"-wal", "-shm", "-journal", "-run"}) std::filesystem::remove(path + suffix, ec);
}

void BindJournalValue(sqlite3* db, sqlite3_stmt* stmt, int index, const JournalValue& v) {
  int rc = SQLITE_OK;
  const int size = static_cast<int>(v.bytes.size());
  switch (v.kind) {
    case JournalValue::Null: rc = sqlite3_bind_null(stmt, index); break;
    case JournalValue::Int: rc = sqlite3_bind_int64(stmt, index, v.i); break;
    case JournalValue::Real: rc = sqlite3_bind_double(stmt, index, v.d); break;
    case JournalValue::Text: rc = sqlite3_bind_text(stmt, index, v.bytes.data(), size, SQLITE_TRANSIENT); break;
    case JournalValue::Blob: rc = sqlite3_bind_blob(stmt, index, v.bytes.data(), size, SQLITE_TRANSIENT); break;
  }
  if (rc != SQLITE_OK) Fail(db, rc, "binding parameter " + std::to_string(index));
}

double MonotonicSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The tables a run journal may write rows into: the instance tables and the
// trace, merge, blend and cue tables a run fills. Never Korvane's settings,
// formulas, definitions or bookkeeping (every other "Meta" table, MSysIndexes,
// MetaRunJournal itself) nor SQLite's own.
bool JournalableTable(std::string_view name) {
  if (name == kMetaInstanceTable || name == kMetaMergeTable || name == kMetaBlendTable || name == kMetaCueTable)
    return true;
  if (name.empty() || name.rfind("Meta", 0) == 0 || name.rfind("MSys", 0) == 0) return false;
  return Upper(std::string(name.substr(0, 7))) != "SQLITE_";
}

// Writes a run journal's rows with statements of its own, made from the
// file's schema, after checking each table. A journal therefore changes
// nothing a run could not have changed itself.
class JournalApplier {
 public:
  JournalApplier(sqlite3* db, std::string journal) : db_(db), journal_(std::move(journal)) {}
  ~JournalApplier() {
    for (Table& t : tables_)
      for (sqlite3_stmt* stmt : {t.insert, t.update, t.remove}) sqlite3_finalize(stmt);
  }
  JournalApplier(const JournalApplier&) = delete;
  JournalApplier& operator=(const JournalApplier&) = delete;

  // A failure that says nothing about the journal (a busy or full disk):
  // the journal stays where it is for the next open.
  bool Transient() const { return transient_; }

  void operator()(const JournalRow& row) {
    Table& table = Find(row.table);
    if (row.op != 'X' && row.values.size() != table.columns)
      Refuse("a row of " + table.name + " has " + std::to_string(row.values.size()) + " values, the table " +
             std::to_string(table.columns) + " columns");
    sqlite3_stmt* stmt = row.op == 'I' ? table.insert : row.op == 'U' ? table.update : table.remove;
    int index = 1;
    for (const JournalValue& v : row.values) BindJournalValue(db_, stmt, index++, v);
    sqlite3_bind_int64(stmt, index, row.rowId);
    const int rc = sqlite3_step(stmt);
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    if (rc != SQLITE_DONE) {
      const int primary = rc & 0xff;
      transient_ = primary == SQLITE_BUSY || primary == SQLITE_LOCKED || primary == SQLITE_FULL ||
                   primary == SQLITE_IOERR || primary == SQLITE_NOMEM || primary == SQLITE_READONLY ||
                   primary == SQLITE_CANTOPEN;
      if (transient_) Fail(db_, rc, "adding the rows of " + journal_);
      Refuse(std::string("row ") + std::to_string(row.rowId) + " of " + table.name + " cannot be written (" +
             sqlite3_errmsg(db_) + ")");
    }
    if (row.op != 'I' && sqlite3_changes(db_) != 1)
      Refuse("row " + std::to_string(row.rowId) + " of " + table.name + " that it changes is not in the file");
  }

 private:
  struct Table {
    std::string name;
    std::size_t columns = 0;
    sqlite3_stmt* insert = nullptr;
    sqlite3_stmt* update = nullptr;
    sqlite3_stmt* remove = nullptr;
  };

  [[noreturn]] void Refuse(const std::string& why) const {
    throw Error(ErrorNumber::DatabaseFailure, kSource, "The run journal " + journal_ + " is refused: " + why + ".");
  }

  Table& Find(std::string_view name) {
    for (Table& t : tables_)
      if (t.name == name) return t;
    if (!JournalableTable(name)) Refuse("it writes into " + std::string(name) + ", which a run never writes");
    std::vector<std::string> columns;
    {
      StmtGuard g{PrepareRaw(db_, "SELECT name FROM pragma_table_info(?) ORDER BY cid")};
      sqlite3_bind_text(g.stmt, 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
      while (sqlite3_step(g.stmt) == SQLITE_ROW)
        columns.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(g.stmt, 0)));
    }
    if (columns.empty()) Refuse("the file has no table " + std::string(name));
    Table& t = tables_.emplace_back();
    t.name.assign(name);
    t.columns = columns.size();
    // The row ID comes last, so that it wins over an INTEGER PRIMARY KEY
    // column (its alias) whatever that holds.
    std::string names, marks, sets;
    for (const std::string& column : columns) {
      ValidateName(column, "field");
      names += Quote(column) + ", ";
      marks += "?, ";
      sets += (sets.empty() ? "" : ", ") + Quote(column) + " = ?";
    }
    t.insert = PrepareRaw(db_, "INSERT INTO " + Quote(t.name) + " (" + names + "_rowid_) VALUES (" + marks + "?)");
    t.update = PrepareRaw(db_, "UPDATE " + Quote(t.name) + " SET " + sets + " WHERE _rowid_ = ?");
    t.remove = PrepareRaw(db_, "DELETE FROM " + Quote(t.name) + " WHERE _rowid_ = ?");
    return t;
  }

  sqlite3* db_;
  std::string journal_;
  std::vector<Table> tables_;
  bool transient_ = false;
};

// The run the file last journaled and the last of its groups the file holds
// ("" and 0 when it never had one).
struct AppliedRun {
  std::string runId;
  std::uint64_t group = 0;
};

AppliedRun ReadAppliedRun(sqlite3* db) {
  AppliedRun applied;
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT RunID, AppliedGroup FROM MetaRunJournal", -1, &raw, nullptr) != SQLITE_OK) {
    sqlite3_finalize(raw);
    return applied;  // no table: no run was ever journaled here
  }
  StmtGuard g{raw};
  if (sqlite3_step(g.stmt) == SQLITE_ROW) {
    const unsigned char* id = sqlite3_column_text(g.stmt, 0);
    applied.runId = id ? reinterpret_cast<const char*>(id) : "";
    applied.group = static_cast<std::uint64_t>(sqlite3_column_int64(g.stmt, 1));
  }
  return applied;
}

// The journal moves aside, under a name no open reads, so that nothing is
// lost and nothing is applied.
std::string SetJournalAside(const std::string& journal) {
  std::error_code ec;
  std::string aside = journal + ".refused";
  for (int n = 2; std::filesystem::exists(aside, ec); ++n) aside = journal + ".refused-" + std::to_string(n);
  std::filesystem::rename(journal, aside, ec);
  return ec ? journal : aside;
}

// What a killed run had journaled but the file had not committed goes into
// the file before anyone reads it, exactly once: the file records the run
// and its last applied group in the same transaction as the rows. A journal
// that a live run holds is left alone; one of another run or file, of an
// earlier format, or with a row the file cannot take is kept aside and
// never applied. Returns what the person opening the file should be told
// ("" when nothing).
std::string RecoverRun(sqlite3* db, const std::string& path) {
  const std::string journal = RunJournal::PathOf(path);
  std::error_code ec;
  if (!std::filesystem::exists(journal, ec)) return {};
  int lock = RunJournal::TryLock(journal);
  if (lock < 0) return {};
  struct Unlock {
    int fd;
    ~Unlock() { ::close(fd); }
  } unlock{lock};

  const RunJournal::Header header = RunJournal::ReadHeader(journal);
  const std::uint64_t last = RunJournal::LastGroup(journal);
  if (std::filesystem::file_size(journal, ec) == 0 || (header.format == 2 && last == 0)) {
    std::filesystem::remove(journal, ec);  // a run that journaled nothing
    return {};
  }
  auto setAside = [&](const std::string& why) {
    const std::string aside = SetJournalAside(journal);
    return "The run journal '" + journal + "' was not applied to '" + path + "': " + why + ". It was kept as '" +
           aside + "'; the file holds what its run last committed.";
  };
  if (header.format == 1) return setAside("it was written by an earlier version of Korvane, whose journals are not replayed");
  if (header.format != 2) return setAside("it is not a Korvane run journal");
  if (ReadAppliedRun(db).runId != header.runId) return setAside("it belongs to another run or another file");

  Exec(db, "BEGIN IMMEDIATE");
  JournalApplier apply(db, journal);
  try {
    const AppliedRun applied = ReadAppliedRun(db);  // now that no one else writes
    RunJournal::Replayed replayed = RunJournal::Read(journal, applied.group, std::ref(apply));
    if (replayed.lastGroup > applied.group)
      Exec(db, "UPDATE MetaRunJournal SET AppliedGroup = " + std::to_string(replayed.lastGroup));
    Exec(db, "COMMIT");
  } catch (const Error& e) {
    if (!sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    if (apply.Transient())
      throw Error(e.Number(), kSource,
                  "The rows of an interrupted run in '" + journal + "' could not be added to '" + path +
                      "': " + e.Description() + " Open the file again once that is mended.");
    return setAside(e.Description());
  }
  std::filesystem::remove(journal, ec);
  return {};
}

// What a reader of a file that cannot be written is told about the journal
// beside it ("" when there is nothing the file lacks).
std::string UnappliedJournalNotice(sqlite3* db, const std::string& path) {
  const std::string journal = RunJournal::PathOf(path);
  std::error_code ec;
  if (!std::filesystem::exists(journal, ec)) return {};
  const RunJournal::Header header = RunJournal::ReadHeader(journal);
  const AppliedRun applied = ReadAppliedRun(db);
  const std::uint64_t last = RunJournal::LastGroup(journal);
  if (header.format != 2 || header.runId != applied.runId || last <= applied.group) return {};
  return "'" + path + "' cannot be written, so the last " + std::to_string(last - applied.group) +
         " step(s) of its interrupted run, kept in '" + journal +
         "', are not shown: what is shown is the file as the run last committed it. Open it where it can be "
         "written (or copy it with its '-run' file) to add them.";
}

void TellOpenNotice(const std::string& notice) {
  if (!notice.empty()) CurrentDialogs().Message(notice, DialogIcon::Warning);
}

}  // namespace

// ---- Names and table definitions -------------------------------------------

const char* FieldTypeName(FieldType type) {
  switch (type) {
    case FieldType::Long: return "Long";
    case FieldType::Integer: return "Integer";
    case FieldType::Double: return "Double";
    case FieldType::Text: return "Text";
    case FieldType::Memo: return "Memo";
    case FieldType::Boolean: return "Boolean";
    case FieldType::DateTime: return "Date/Time";
  }
  return "Text";
}

int TableDef::FieldPosition(const std::string& fieldName) const {
  for (std::size_t i = 0; i < fields.size(); ++i)
    if (EqualsNoCase(fields[i].name, fieldName)) return static_cast<int>(i);
  return -1;
}

const IndexInfo* TableDef::FindIndex(const std::string& indexName) const {
  for (const auto& index : indexes)
    if (index.name == indexName) return &index;
  return nullptr;
}

// ---- Database ---------------------------------------------------------------

Database::Database(sqlite3* db, std::string path)
    : db_(db), path_(std::move(path)), alive_(std::make_shared<bool>(true)) {}

Database::~Database() {
  try {
    Close();
  } catch (...) {
    // A failing final commit has been rolled back by SQLite; nothing to add.
  }
}

void Database::CheckOpen() const {
  if (!db_) throw Error(StoreError::DatabaseClosed, kSource, "The database '" + path_ + "' is closed.");
}

std::unique_ptr<Database> Database::Create(const std::string& path) {
  CheckFolder(path);
  std::error_code ec;
  if (std::filesystem::exists(path, ec))
    throw Error(StoreError::FileAlreadyExists, kSource, "The file '" + path + "' already exists.");
  if (!Writable(FolderOf(path)))
    throw Error(ErrorNumber::ReadOnlyDatabase, kSource, "The folder of '" + path + "' cannot be written.");
  RemoveSidecars(path);  // a stale journal must never be replayed into a new file
  sqlite3* db = OpenHandle(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  try {
    // 16 KiB pages. A run's trace is a stream of appended rows: larger pages
    // mean fewer page writes and reads (WAL, checkpoint) and cheaper index
    // builds (a plain SQLite loop over the trace table: 3.2-4.3 us per row,
    // inserted and indexed, with 4 KiB, 2.4-3.3 with 16 KiB). 4 KiB used to be the better choice when a run
    // committed every step, because each commit writes every dirty page
    // whole; the run journal now makes SQLite commit every few hundred
    // steps. bench_batch, three alternating rounds: full trace in-process
    // 10.5-11.7 -> 12.3-12.8 thousand decisions per second, memory growing
    // to 1,000 instances 3.6-3.7 -> 2.9-3.0 ms per decision; the demo with no
    // trace unchanged. 64 KiB was no faster and slowed the no-trace runs.
    // Must come before the first write; files made earlier keep theirs.
    Exec(db, "PRAGMA page_size = 16384");
    // Korvane's files carry an application id ("Korv"); writing it also
    // gives the file its header at once.
    Exec(db, "PRAGMA application_id = " + std::to_string(kApplicationId));
    Exec(db, "PRAGMA journal_mode = WAL");
  } catch (...) {
    sqlite3_close_v2(db);
    std::filesystem::remove(path, ec);
    RemoveSidecars(path);
    throw;
  }
  return std::unique_ptr<Database>(new Database(db, path));
}

std::unique_ptr<Database> Database::Open(const std::string& path) {
  CheckExistingFile(path);
  sqlite3* db = nullptr;
  std::string notice;
  try {
    db = OpenKorvaneHandle(path, SQLITE_OPEN_READWRITE);
    sqlite3_stmt* stmt = PrepareRaw(db, "PRAGMA journal_mode = WAL");
    sqlite3_step(stmt);  // another connection's lock may keep the mode; either works
    sqlite3_finalize(stmt);
    notice = RecoverRun(db, path);
  } catch (const Error& e) {
    if (db) sqlite3_close_v2(db);
    if (e.Number() == ErrorNumber::NotADatabase)
      throw Error(ErrorNumber::NotADatabase, kSource, "'" + path + "' is not a Korvane model database (" + e.Description() + ").");
    throw;
  }
  auto opened = std::unique_ptr<Database>(new Database(db, path));
  opened->openNotice_ = notice;
  TellOpenNotice(notice);
  return opened;
}

std::unique_ptr<Database> Database::OpenReadOnly(const std::string& path) {
  CheckExistingFile(path, false);
  // The run journal a killed run left is part of the file, as SQLite's own
  // hot journal is: its rows go in before anyone reads, also when the reader
  // only reads. A file that cannot be written is read as SQLite holds it,
  // and the reader is told what it lacks.
  std::error_code ec;
  const bool journal = std::filesystem::exists(RunJournal::PathOf(path), ec);
  const bool writable = Writable(path) && Writable(FolderOf(path)) && ::access(path.c_str(), W_OK) == 0;
  std::string notice;
  if (journal && writable) {
    sqlite3* writer = OpenKorvaneHandle(path, SQLITE_OPEN_READWRITE);
    try {
      notice = RecoverRun(writer, path);
    } catch (...) {
      sqlite3_close_v2(writer);
      throw;
    }
    sqlite3_close_v2(writer);
  }
  sqlite3* db = nullptr;
  try {
    db = OpenKorvaneHandle(path, SQLITE_OPEN_READONLY);
  } catch (const Error& e) {
    if (e.Number() == ErrorNumber::NotADatabase && e.Description().find("another program") == std::string::npos)
      throw Error(ErrorNumber::NotADatabase, kSource, "'" + path + "' is not a Korvane model database (" + e.Description() + ").");
    throw;
  }
  if (journal && !writable) notice = UnappliedJournalNotice(db, path);
  auto opened = std::unique_ptr<Database>(new Database(db, path));
  opened->readOnly_ = true;
  opened->openNotice_ = notice;
  TellOpenNotice(notice);
  return opened;
}

void Database::Copy(const std::string& source, const std::string& target) {
  CheckExistingFile(source, false);
  CheckFolder(target);
  std::error_code ec;
  if (std::filesystem::exists(target, ec) && std::filesystem::equivalent(source, target, ec))
    throw Error(ErrorNumber::DatabaseFailure, kSource, "A database cannot be copied onto itself.");
  // The copy is written beside the target and renamed over it only when
  // complete, so the target never holds a half-written database.
  std::string temporary = target + ".korvane-copy";
  std::filesystem::remove(temporary, ec);
  RemoveSidecars(temporary);
  // The source is only read: a read-only model can be served.
  sqlite3* from = OpenHandle(source, SQLITE_OPEN_READONLY);
  sqlite3* to = nullptr;
  try {
    CheckKorvaneFile(from, source);
    to = OpenHandle(temporary, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    sqlite3_backup* backup = sqlite3_backup_init(to, "main", from, "main");
    if (!backup) Fail(to, sqlite3_errcode(to), "copying " + source);
    int rc = sqlite3_backup_step(backup, -1);
    sqlite3_backup_finish(backup);
    if (rc != SQLITE_DONE) Fail(to, rc, "copying " + source);
    // The copy is a file of its own: no journal of the source's runs may be
    // applied to it. (No such table: the source never journaled a run.)
    sqlite3_exec(to, "DELETE FROM MetaRunJournal", nullptr, nullptr, nullptr);
    sqlite3_close_v2(to);
    to = nullptr;
    sqlite3_close_v2(from);
    from = nullptr;
    RemoveSidecars(target);
    std::filesystem::rename(temporary, target);
    RemoveSidecars(temporary);
  } catch (const std::filesystem::filesystem_error& e) {
    std::filesystem::remove(temporary, ec);
    RemoveSidecars(temporary);
    if (e.code() == std::errc::no_space_on_device)
      throw Error(ErrorNumber::DatabaseFailure, kSource, "Cannot copy the database: the disk is full.");
    throw Error(ErrorNumber::DatabaseFailure, kSource, std::string("Cannot copy the database: ") + e.what());
  } catch (...) {
    if (to) sqlite3_close_v2(to);
    if (from) sqlite3_close_v2(from);
    std::filesystem::remove(temporary, ec);
    RemoveSidecars(temporary);
    throw;
  }
}

void Database::Close() {
  if (!db_) return;
  sqlite3* db = db_;
  db_ = nullptr;
  *alive_ = false;
  for (auto& [sql, stmt] : idle_) sqlite3_finalize(stmt);
  idle_.clear();
  int rc = SQLITE_OK;
  if (journal_) {
    // Whatever is open is committed with the last group recorded as applied,
    // so the journal is no longer needed.
    sqlite3_preupdate_hook(db, nullptr, nullptr);
    const bool open = !sqlite3_get_autocommit(db);
    const int restored =
        open ? sqlite3_exec(db, ("UPDATE MetaRunJournal SET AppliedGroup = " + std::to_string(groupNumber_)).c_str(),
                            nullptr, nullptr, nullptr)
             : SQLITE_OK;
    if (open) {
      rc = restored == SQLITE_OK ? sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) : restored;
      if (rc != SQLITE_OK) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    transactionDepth_ = 0;
    if (restored == SQLITE_OK && rc == SQLITE_OK) {
      std::error_code ec;
      std::filesystem::remove(RunJournal::PathOf(path_), ec);
    }
    journal_.reset();  // a journal not committed stays for the next Open
  }
  if (transactionDepth_ > 0) {
    transactionDepth_ = 0;
    rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  std::string message = rc != SQLITE_OK ? sqlite3_errmsg(db) : "";
  sqlite3_close_v2(db);  // statements still held elsewhere keep it until they are finalised
  if (rc != SQLITE_OK)
    throw Error(ErrorNumber::DatabaseFailure, kSource, "The open transaction could not be committed: " + message);
}

// ---- Schema -----------------------------------------------------------------

namespace {

struct IndexFlags {
  bool primary = false;
  bool required = false;
};

bool HasIndexTable(sqlite3* db) {
  StmtGuard g{PrepareRaw(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?")};
  BindValue(db, g.stmt, 1, Variant(kIndexTable));
  return sqlite3_step(g.stmt) == SQLITE_ROW;
}

void EnsureIndexTable(sqlite3* db) {
  Exec(db, std::string("CREATE TABLE IF NOT EXISTS ") + kIndexTable +
               " (TableName VARCHAR NOT NULL, IndexName VARCHAR NOT NULL, IsPrimary BOOLEAN NOT NULL DEFAULT 0, "
               "IsRequired BOOLEAN NOT NULL DEFAULT 0, PRIMARY KEY (TableName, IndexName))");
}

TableDef LoadTableDef(sqlite3* db, const std::string& name, const std::string& createSql) {
  TableDef def;
  def.name = name;
  bool system = name.rfind("sqlite_", 0) == 0 || name.rfind("MSys", 0) == 0;
  if (system) def.attributes = kSystemObjectAttribute;
  bool autoIncrementTable = Upper(createSql).find("AUTOINCREMENT") != std::string::npos;

  {
    StmtGuard g{PrepareRaw(db, "SELECT name, type, pk FROM pragma_table_info(?) ORDER BY cid")};
    BindValue(db, g.stmt, 1, Variant(name));
    int rc;
    int pkCount = 0;
    while ((rc = sqlite3_step(g.stmt)) == SQLITE_ROW) {
      FieldInfo field;
      field.name = reinterpret_cast<const char*>(sqlite3_column_text(g.stmt, 0));
      const unsigned char* declared = sqlite3_column_text(g.stmt, 1);
      field.type = TypeFromDeclared(declared ? reinterpret_cast<const char*>(declared) : "", &field.allowZeroLength);
      if (field.type != FieldType::Text && field.type != FieldType::Memo) field.allowZeroLength = false;
      int pk = sqlite3_column_int(g.stmt, 2);
      if (pk > 0) ++pkCount;
      field.autoIncrement = pk == 1 && autoIncrementTable && field.type == FieldType::Long;
      field.ordinalPosition = static_cast<int>(def.fields.size());
      def.fields.push_back(field);
    }
    if (rc != SQLITE_DONE) Fail(db, rc, "reading the fields of " + name);
    if (pkCount != 1)
      for (auto& f : def.fields) f.autoIncrement = false;
  }

  std::vector<std::pair<std::string, IndexFlags>> flags;
  if (HasIndexTable(db)) {
    StmtGuard g{PrepareRaw(db, std::string("SELECT IndexName, IsPrimary, IsRequired FROM ") + kIndexTable +
                                   " WHERE TableName = ?")};
    BindValue(db, g.stmt, 1, Variant(name));
    while (sqlite3_step(g.stmt) == SQLITE_ROW)
      flags.push_back({reinterpret_cast<const char*>(sqlite3_column_text(g.stmt, 0)),
                       IndexFlags{sqlite3_column_int(g.stmt, 1) != 0, sqlite3_column_int(g.stmt, 2) != 0}});
  }

  StmtGuard list{PrepareRaw(db,
                            "SELECT m.name, l.\"unique\", l.origin FROM sqlite_master m "
                            "JOIN pragma_index_list(?) l ON l.name = m.name "
                            "WHERE m.type = 'index' AND m.tbl_name = ? ORDER BY m.rowid")};
  BindValue(db, list.stmt, 1, Variant(name));
  BindValue(db, list.stmt, 2, Variant(name));
  while (sqlite3_step(list.stmt) == SQLITE_ROW) {
    IndexInfo index;
    std::string sqlName = reinterpret_cast<const char*>(sqlite3_column_text(list.stmt, 0));
    std::string prefix = name + ".";
    index.name = sqlName.rfind(prefix, 0) == 0 ? sqlName.substr(prefix.size()) : sqlName;
    index.unique = sqlite3_column_int(list.stmt, 1) != 0;
    const unsigned char* origin = sqlite3_column_text(list.stmt, 2);
    index.primary = origin && std::string(reinterpret_cast<const char*>(origin)) == "pk";
    for (const auto& [indexName, f] : flags)
      if (indexName == index.name) {
        index.primary = index.primary || f.primary;
        index.required = f.required;
      }
    StmtGuard info{PrepareRaw(db, "SELECT name FROM pragma_index_info(?) ORDER BY seqno")};
    BindValue(db, info.stmt, 1, Variant(sqlName));
    while (sqlite3_step(info.stmt) == SQLITE_ROW) {
      const unsigned char* column = sqlite3_column_text(info.stmt, 0);
      if (column) index.fields.push_back(reinterpret_cast<const char*>(column));
    }
    def.indexes.push_back(index);
  }
  return def;
}

void CreateIndex(sqlite3* db, const std::string& table, const IndexInfo& index) {
  ValidateName(table, "table");
  ValidateName(index.name, "index");
  if (index.fields.empty())
    throw Error(ErrorNumber::DatabaseFailure, kSource, "The index '" + index.name + "' has no fields.");
  std::string columns;
  for (const auto& field : index.fields) {
    ValidateName(field, "field");
    if (!columns.empty()) columns += ", ";
    columns += Quote(field);
  }
  bool unique = index.unique || index.primary;
  EnsureIndexTable(db);
  if (index.primary) {
    StmtGuard g{PrepareRaw(db, std::string("SELECT 1 FROM ") + kIndexTable +
                                   " i JOIN sqlite_master m ON m.type = 'index' AND m.name = i.TableName || '.' || i.IndexName"
                                   " WHERE i.TableName = ? AND i.IsPrimary <> 0")};
    BindValue(db, g.stmt, 1, Variant(table));
    if (sqlite3_step(g.stmt) == SQLITE_ROW)
      throw Error(ErrorNumber::DatabaseFailure, kSource, "The table '" + table + "' already has a primary index.");
  }
  Exec(db, std::string("CREATE ") + (unique ? "UNIQUE " : "") + "INDEX " + Quote(SqlIndexName(table, index.name)) +
               " ON " + Quote(table) + " (" + columns + ")");
  Exec(db, std::string("INSERT OR REPLACE INTO ") + kIndexTable +
               " (TableName, IndexName, IsPrimary, IsRequired) VALUES (?, ?, ?, ?)",
       {Variant(table), Variant(index.name), Variant(index.primary), Variant(index.required)});
}

}  // namespace

std::vector<TableDef> Database::TableDefs() {
  CheckOpen();
  std::vector<std::pair<std::string, std::string>> tables;
  {
    StmtGuard g{PrepareRaw(db_, "SELECT name, sql FROM sqlite_master WHERE type = 'table' ORDER BY name")};
    while (sqlite3_step(g.stmt) == SQLITE_ROW) {
      const unsigned char* sql = sqlite3_column_text(g.stmt, 1);
      tables.push_back({reinterpret_cast<const char*>(sqlite3_column_text(g.stmt, 0)),
                        sql ? reinterpret_cast<const char*>(sql) : ""});
    }
  }
  std::vector<TableDef> defs;
  for (const auto& [name, sql] : tables) defs.push_back(LoadTableDef(db_, name, sql));
  return defs;
}

std::optional<TableDef> Database::FindTableDef(const std::string& name) {
  CheckOpen();
  std::string sql;
  {
    StmtGuard g{PrepareRaw(db_, "SELECT sql FROM sqlite_master WHERE type = 'table' AND name = ?")};
    BindValue(db_, g.stmt, 1, Variant(name));
    if (sqlite3_step(g.stmt) != SQLITE_ROW) return std::nullopt;
    const unsigned char* text = sqlite3_column_text(g.stmt, 0);
    sql = text ? reinterpret_cast<const char*>(text) : "";
  }
  return LoadTableDef(db_, name, sql);
}

void Database::CreateTable(const TableDef& def) {
  CheckOpen();
  NoteUnjournaledWrite();
  ValidateName(def.name, "table");
  if (def.fields.empty())
    throw Error(ErrorNumber::DatabaseFailure, kSource, "The table '" + def.name + "' has no fields.");
  // One look-up, not a definition of every table: importing many instance
  // types stays linear. SQLite compares table names without regard to ASCII
  // case, as EqualsNoCase does.
  if ([&] {
        StmtGuard g{PrepareRaw(db_, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ? COLLATE NOCASE")};
        BindValue(db_, g.stmt, 1, Variant(def.name));
        return sqlite3_step(g.stmt) == SQLITE_ROW;
      }())
    throw Error(ErrorNumber::DatabaseFailure, kSource, "The table '" + def.name + "' already exists.");
  std::string sql = "CREATE TABLE " + Quote(def.name) + " (";
  for (std::size_t i = 0; i < def.fields.size(); ++i) {
    if (i) sql += ", ";
    sql += ColumnDefinition(def.fields[i]);
  }
  sql += ")";
  SchemaChange change(db_);
  Exec(db_, sql);
  for (const auto& index : def.indexes) CreateIndex(db_, def.name, index);
  change.Commit();
}

void Database::DeleteTable(const std::string& table) {
  CheckOpen();
  NoteUnjournaledWrite();
  ValidateName(table, "table");
  if (!FindTableDef(table))
    throw Error(ErrorNumber::ItemNotFound, kSource, "The table '" + table + "' does not exist.");
  SchemaChange change(db_);
  Exec(db_, "DROP TABLE " + Quote(table));
  if (HasIndexTable(db_)) Exec(db_, std::string("DELETE FROM ") + kIndexTable + " WHERE TableName = ?", {Variant(table)});
  change.Commit();
}

void Database::AppendField(const std::string& table, const FieldInfo& field) {
  CheckOpen();
  NoteUnjournaledWrite();
  ValidateName(table, "table");
  auto def = FindTableDef(table);
  if (!def) throw Error(ErrorNumber::ItemNotFound, kSource, "The table '" + table + "' does not exist.");
  if (field.autoIncrement)
    throw Error(ErrorNumber::DatabaseFailure, kSource,
                "An auto-increment field cannot be added to the existing table '" + table + "'.");
  if (def->FieldPosition(field.name) >= 0)
    throw Error(ErrorNumber::DatabaseFailure, kSource,
                "The table '" + table + "' already has a field named '" + field.name + "'.");
  Exec(db_, "ALTER TABLE " + Quote(table) + " ADD COLUMN " + ColumnDefinition(field));
}

void Database::DeleteField(const std::string& table, const std::string& field) {
  CheckOpen();
  NoteUnjournaledWrite();
  auto def = FindTableDef(table);
  if (!def) throw Error(ErrorNumber::ItemNotFound, kSource, "The table '" + table + "' does not exist.");
  int position = def->FieldPosition(field);
  if (position < 0)
    throw Error(ErrorNumber::ItemNotFound, kSource, "The table '" + table + "' has no field named '" + field + "'.");
  if (def->fields[position].autoIncrement)
    throw Error(ErrorNumber::DatabaseFailure, kSource, "The identity field '" + field + "' cannot be deleted.");
  const std::string& actual = def->fields[position].name;
  SchemaChange change(db_);
  // An index over the field goes with it, ours or one made by plain SQL.
  std::vector<std::string> doomed;
  {
    StmtGuard g{PrepareRaw(db_,
                           "SELECT DISTINCT l.name FROM pragma_index_list(?) l, pragma_index_info(l.name) i "
                           "WHERE i.name = ? COLLATE NOCASE AND l.origin = 'c'")};
    BindValue(db_, g.stmt, 1, Variant(table));
    BindValue(db_, g.stmt, 2, Variant(actual));
    while (sqlite3_step(g.stmt) == SQLITE_ROW) doomed.push_back(reinterpret_cast<const char*>(sqlite3_column_text(g.stmt, 0)));
  }
  for (const auto& sqlName : doomed) {
    Exec(db_, "DROP INDEX " + Quote(sqlName));
    std::string prefix = table + ".";
    if (HasIndexTable(db_) && sqlName.rfind(prefix, 0) == 0)
      Exec(db_, std::string("DELETE FROM ") + kIndexTable + " WHERE TableName = ? AND IndexName = ?",
           {Variant(table), Variant(sqlName.substr(prefix.size()))});
  }
  Exec(db_, "ALTER TABLE " + Quote(table) + " DROP COLUMN " + Quote(actual));
  change.Commit();
}

void Database::RenameField(const std::string& table, const std::string& from, const std::string& to) {
  CheckOpen();
  NoteUnjournaledWrite();
  ValidateName(to, "field");
  auto def = FindTableDef(table);
  if (!def) throw Error(ErrorNumber::ItemNotFound, kSource, "The table '" + table + "' does not exist.");
  int position = def->FieldPosition(from);
  if (position < 0)
    throw Error(ErrorNumber::ItemNotFound, kSource, "The table '" + table + "' has no field named '" + from + "'.");
  int existing = def->FieldPosition(to);
  if (existing >= 0 && existing != position)
    throw Error(ErrorNumber::DatabaseFailure, kSource, "The table '" + table + "' already has a field named '" + to + "'.");
  Exec(db_, "ALTER TABLE " + Quote(table) + " RENAME COLUMN " + Quote(def->fields[position].name) + " TO " + Quote(to));
}

void Database::AppendIndex(const std::string& table, const IndexInfo& index) {
  CheckOpen();
  NoteUnjournaledWrite();
  auto def = FindTableDef(table);
  if (!def) throw Error(ErrorNumber::ItemNotFound, kSource, "The table '" + table + "' does not exist.");
  if (def->FindIndex(index.name))
    throw Error(ErrorNumber::DatabaseFailure, kSource, "The table '" + table + "' already has an index named '" + index.name + "'.");
  for (const auto& field : index.fields)
    if (def->FieldPosition(field) < 0)
      throw Error(ErrorNumber::ItemNotFound, kSource, "The table '" + table + "' has no field named '" + field + "'.");
  SchemaChange change(db_);
  CreateIndex(db_, table, index);
  change.Commit();
}

bool Database::DeleteIndex(const std::string& table, const std::string& index) {
  CheckOpen();
  NoteUnjournaledWrite();
  auto def = FindTableDef(table);
  if (!def || !def->FindIndex(index)) return false;
  SchemaChange change(db_);
  Exec(db_, "DROP INDEX " + Quote(SqlIndexName(table, index)));
  if (HasIndexTable(db_))
    Exec(db_, std::string("DELETE FROM ") + kIndexTable + " WHERE TableName = ? AND IndexName = ?",
         {Variant(table), Variant(index)});
  change.Commit();
  return true;
}

// ---- Statements and transactions -------------------------------------------

int Database::Execute(const std::string& sql, const std::vector<Variant>& params) {
  CheckOpen();
  Statement statement = Prepare(sql);  // reused when the same text comes again
  CheckParameterCount(statement.stmt_, params.size());
  // Bound and run as a Statement, which records it in a journaled run.
  for (std::size_t i = 0; i < params.size(); ++i) statement.Bind(static_cast<int>(i + 1), params[i]);
  return statement.Run();
}

Statement Database::Prepare(const std::string& sql) {
  CheckOpen();
  auto idle = idle_.find(sql);
  if (idle != idle_.end()) {
    sqlite3_stmt* stmt = idle->second;
    idle_.erase(idle);
    return Statement(*this, stmt, sql);
  }
  return Statement(*this, PrepareRaw(db_, TranslateDialect(sql)), sql);
}

void Database::Recycle(std::string sql, sqlite3_stmt* stmt) noexcept {
  // Enough for every statement a run repeats; one-off texts (a filter, a
  // query with values written in) are finalised once the cache is full.
  constexpr std::size_t kIdleLimit = 64;
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
  if (idle_.size() >= kIdleLimit) {
    sqlite3_finalize(stmt);
    return;
  }
  try {
    idle_.emplace(std::move(sql), stmt);
  } catch (...) {
    sqlite3_finalize(stmt);
  }
}

void Database::BeginTransaction() {
  CheckOpen();
  if (transactionDepth_ == 0) {
    if (!journal_) {
      Prepare("BEGIN IMMEDIATE").Run();
    } else {
      // A write the journal did not see since its last group (made outside
      // any transaction) is committed before the next group is recorded.
      if (journalBypassed_ || sqlite3_total_changes64(db_) != accountedChanges_) CommitRun();
      if (sqlite3_get_autocommit(db_)) Prepare("BEGIN IMMEDIATE").Run();
      accountedChanges_ = sqlite3_total_changes64(db_);
    }
  }
  ++transactionDepth_;
}

void Database::CommitTransaction() {
  CheckOpen();
  if (transactionDepth_ == 0)
    throw Error(ErrorNumber::DatabaseFailure, kSource, "No transaction is open (it may have been rolled back).");
  if (--transactionDepth_ == 0) {
    if (journal_) {
      FinishJournalGroup();
      return;
    }
    Statement commit = Prepare("COMMIT");
    int rc = sqlite3_step(commit.stmt_);
    sqlite3_reset(commit.stmt_);
    if (rc != SQLITE_DONE) {
      std::string message = sqlite3_errmsg(db_);
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      throw Error(ErrorNumber::DatabaseFailure, kSource, "The transaction could not be committed: " + message);
    }
  }
}

void Database::RollbackTransaction() {
  CheckOpen();
  if (transactionDepth_ == 0) return;
  transactionDepth_ = 0;
  if (journal_) {
    journal_->DiscardGroup();
    journalBypassed_ = false;
  }
  if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  if (journal_) {
    // The groups journaled since SQLite's last commit were undone with the
    // transaction in progress; they are kept, so they go in again.
    if (pendingGroups_ > 0) {
      Exec(db_, "BEGIN IMMEDIATE");
      ReplayJournal(committedGroup_);
    }
    accountedChanges_ = sqlite3_total_changes64(db_);
  }
}

// ---- Journaled runs -----------------------------------------------------------

namespace {
// SQLite commits a journaled run's groups every so many groups, bytes or
// seconds. Larger batches cost less per group; these keep the uncommitted
// part small enough to replay in a moment.
constexpr int kGroupsPerCommit = 500;
constexpr std::size_t kJournalBytesPerCommit = 8u << 20;
constexpr double kSecondsPerCommit = 1.0;
constexpr std::size_t kJournalGroupBytesForCommit = 256u << 10;

// A run's identity, as the journal's header and MetaRunJournal hold it.
std::string NewRunId() {
  std::random_device device;
  std::mt19937_64 random((static_cast<std::uint64_t>(device()) << 32) ^ device() ^
                         static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()));
  static const char kDigits[] = "0123456789abcdef";
  std::string id(RunJournal::kRunIdBytes, '0');
  std::uint64_t bits = random();
  for (char& c : id) {
    c = kDigits[bits & 15];
    bits >>= 4;
  }
  return id;
}
}  // namespace

void Database::RecordRow(void* self, sqlite3* db, int op, const char* database, const char* table, long long key,
                         long long newKey) {
  auto* d = static_cast<Database*>(self);
  // Outside a step the write is accounted for by SQLite's change count (see
  // BeginTransaction); after a write the journal cannot hold, the group is
  // committed by SQLite anyway.
  if (!d->journal_ || d->transactionDepth_ == 0 || d->journalBypassed_) return;
  if (std::strcmp(database, "main") != 0 || !JournalableTable(table) || (op == SQLITE_UPDATE && key != newKey)) {
    d->journalBypassed_ = true;
    return;
  }
  RunJournal& journal = *d->journal_;
  if (op == SQLITE_DELETE) {
    journal.BeginRow('X', table, key, 0);
    return;
  }
  const int count = sqlite3_preupdate_count(db);
  journal.BeginRow(op == SQLITE_INSERT ? 'I' : 'U', table, newKey, static_cast<std::uint32_t>(count));
  for (int i = 0; i < count; ++i) {
    sqlite3_value* value = nullptr;
    if (sqlite3_preupdate_new(db, i, &value) != SQLITE_OK || !value) {
      d->journalBypassed_ = true;  // the row recorded so far is discarded with its group
      return;
    }
    switch (sqlite3_value_type(value)) {
      case SQLITE_INTEGER: journal.IntValue(sqlite3_value_int64(value)); break;
      case SQLITE_FLOAT: journal.RealValue(sqlite3_value_double(value)); break;
      case SQLITE_TEXT: {
        const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(value));
        journal.BytesValue(std::string_view(text, static_cast<std::size_t>(sqlite3_value_bytes(value))), false);
        break;
      }
      case SQLITE_BLOB: {
        const auto* bytes = static_cast<const char*>(sqlite3_value_blob(value));
        journal.BytesValue(std::string_view(bytes, static_cast<std::size_t>(sqlite3_value_bytes(value))), true);
        break;
      }
      default: journal.NullValue(); break;
    }
  }
}

void Database::BeginJournaledRun() {
  CheckOpen();
  if (journal_) return;
  if (transactionDepth_ > 0 || !sqlite3_get_autocommit(db_))
    throw Error(ErrorNumber::DatabaseFailure, kSource, "A journaled run cannot start inside a transaction.");
  // The journal is locked before the file records a new run, so that a run
  // another process journals into this file keeps its identity.
  auto journal = std::make_unique<RunJournal>(path_);
  const std::string runId = NewRunId();
  Exec(db_, "BEGIN IMMEDIATE");
  try {
    Exec(db_, "CREATE TABLE IF NOT EXISTS MetaRunJournal (RunID VARCHAR NOT NULL, AppliedGroup INTEGER NOT NULL)");
    Exec(db_, "DELETE FROM MetaRunJournal");
    Exec(db_, "INSERT INTO MetaRunJournal (RunID, AppliedGroup) VALUES (?, 0)", {Variant(runId)});
    Exec(db_, "COMMIT");
  } catch (...) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
  journal->Start(runId);
  journal_ = std::move(journal);
  groupNumber_ = committedGroup_ = 0;
  pendingGroups_ = 0;
  journalBypassed_ = false;
  accountedChanges_ = sqlite3_total_changes64(db_);
  lastRunCommit_ = MonotonicSeconds();
  sqlite3_preupdate_hook(db_, &Database::RecordRow, this);
}

void Database::EndJournaledRun() {
  CheckOpen();
  if (!journal_) return;
  if (transactionDepth_ > 0)
    throw Error(ErrorNumber::DatabaseFailure, kSource, "A journaled run cannot end inside a transaction.");
  CommitRun();
  sqlite3_preupdate_hook(db_, nullptr, nullptr);
  journal_.reset();
  std::error_code ec;
  std::filesystem::remove(RunJournal::PathOf(path_), ec);
}

void Database::CommitJournaledRun() {
  CheckOpen();
  if (journal_ && transactionDepth_ == 0) CommitRun();
}

void Database::NoteUnjournaledWrite() {
  if (!journal_) return;
  // In a transaction the commit becomes a real one; outside, the write is
  // committed on its own, as without a journal.
  if (transactionDepth_ > 0) journalBypassed_ = true;
  else if (!sqlite3_get_autocommit(db_)) CommitRun();
}

void Database::FinishJournalGroup() {
  std::int64_t total = sqlite3_total_changes64(db_);
  if (journalBypassed_ || total - accountedChanges_ != journal_->Changes()) {
    // Something the journal could not replay: SQLite commits it all now.
    journal_->DiscardGroup();
    CommitRun();
    return;
  }
  if (journal_->GroupBytes() >= kJournalGroupBytesForCommit) {
    // A transaction this large (a full trace over a large memory) costs less
    // to commit to SQLite than to copy into the journal.
    journal_->DiscardGroup();
    accountedChanges_ = total;
    CommitRun();
    return;
  }
  if (journal_->GroupEmpty()) {
    // Nothing written: an open SQLite transaction with nothing pending is
    // not kept waiting.
    if (pendingGroups_ == 0 && !sqlite3_get_autocommit(db_)) CommitRun();
    return;
  }
  journal_->AppendGroup(++groupNumber_);
  ++pendingGroups_;
  accountedChanges_ = total;
  if (pendingGroups_ >= kGroupsPerCommit || journal_->Bytes() >= kJournalBytesPerCommit ||
      MonotonicSeconds() - lastRunCommit_ >= kSecondsPerCommit)
    CommitRun();
}

void Database::CommitRun() {
  journal_->DiscardGroup();
  journalBypassed_ = false;
  if (!sqlite3_get_autocommit(db_)) {
    try {
      // The groups and the record that they are in go in together.
      Exec(db_, "UPDATE MetaRunJournal SET AppliedGroup = " + std::to_string(groupNumber_));
      Exec(db_, "COMMIT");
    } catch (const Error& e) {
      // The journal still holds every group: they go in again.
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      if (pendingGroups_ > 0) {
        Exec(db_, "BEGIN IMMEDIATE");
        ReplayJournal(committedGroup_);
      }
      throw Error(e.Number(), kSource, "The run's rows could not be committed: " + e.Description());
    }
  }
  // Committed: a later rollback replays nothing before this point, even if
  // emptying the journal fails (its groups are then skipped by number).
  committedGroup_ = groupNumber_;
  pendingGroups_ = 0;
  lastRunCommit_ = MonotonicSeconds();
  journal_->Truncate();
  accountedChanges_ = sqlite3_total_changes64(db_);
}

std::int64_t Database::LastInsertRowId() const { return sqlite3_last_insert_rowid(db_); }

void Database::MakeRunDurable() {
  if (journal_) journal_->Sync();
}

void Database::ReplayJournal(std::uint64_t after) {
  // The groups still waiting in memory go in too, straight from memory: a
  // rollback must not depend on the journal accepting a write (a full disk
  // is a likely cause of both).
  try {
    journal_->Sync();
  } catch (const Error&) {
    // Tried again at the next reply, which fails the run if it still fails.
  }
  JournalApplier apply(db_, RunJournal::PathOf(path_));
  RunJournal::Read(RunJournal::PathOf(path_), after, std::ref(apply), journal_->Waiting());
}

Transaction::~Transaction() {
  if (done_) return;
  try {
    if (db_.IsOpen()) db_.RollbackTransaction();
  } catch (...) {
  }
}

void Transaction::Commit() {
  done_ = true;
  db_.CommitTransaction();
}

// ---- Statement --------------------------------------------------------------

Statement::Statement(Database& db, sqlite3_stmt* stmt, std::string sql)
    : db_(&db), stmt_(stmt), alive_(db.alive_), sql_(std::move(sql)), writes_(!sqlite3_stmt_readonly(stmt)) {}

Statement::Statement(Statement&& other) noexcept
    : db_(other.db_),
      stmt_(other.stmt_),
      alive_(std::move(other.alive_)),
      sql_(std::move(other.sql_)),
      writes_(other.writes_) {
  other.stmt_ = nullptr;
  other.db_ = nullptr;
}

Statement& Statement::operator=(Statement&& other) noexcept {
  if (this != &other) {
    Release();
    db_ = other.db_;
    stmt_ = other.stmt_;
    alive_ = std::move(other.alive_);
    sql_ = std::move(other.sql_);
    writes_ = other.writes_;
    other.stmt_ = nullptr;
    other.db_ = nullptr;
  }
  return *this;
}

Statement::~Statement() { Release(); }

void Statement::Release() noexcept {
  if (!stmt_) return;
  if (!sql_.empty() && db_ && alive_ && *alive_) db_->Recycle(std::move(sql_), stmt_);
  else sqlite3_finalize(stmt_);
  stmt_ = nullptr;
}

void Statement::CheckOpen() const {
  if (!stmt_ || !alive_ || !*alive_)
    throw Error(StoreError::DatabaseClosed, kSource, "The statement's database is closed.");
}

void Statement::Bind(int index, const Variant& value) {
  CheckOpen();
  BindValue(db_->db_, stmt_, index, value);
}

void Statement::BindInt(int index, std::int64_t value) {
  CheckOpen();
  int rc = sqlite3_bind_int64(stmt_, index, value);
  if (rc != SQLITE_OK) Fail(db_->db_, rc, "binding parameter " + std::to_string(index));
}

void Statement::BindDouble(int index, double value) {
  CheckOpen();
  int rc = std::isnan(value) ? sqlite3_bind_null(stmt_, index) : sqlite3_bind_double(stmt_, index, value);
  if (rc != SQLITE_OK) Fail(db_->db_, rc, "binding parameter " + std::to_string(index));
}

void Statement::BindStaticText(int index, std::string_view text) {
  CheckOpen();
  int rc = sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
  if (rc != SQLITE_OK) Fail(db_->db_, rc, "binding parameter " + std::to_string(index));
}

void Statement::ClearBindings() {
  CheckOpen();
  sqlite3_clear_bindings(stmt_);
}

bool Statement::Step() {
  CheckOpen();
  // A write outside a step is committed on its own, as without a journal;
  // the rows a step writes are recorded as SQLite makes them (RecordRow).
  if (writes_ && db_->journal_ && db_->transactionDepth_ == 0 && !sqlite3_stmt_busy(stmt_)) db_->NoteUnjournaledWrite();
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  std::string sql = sqlite3_sql(stmt_) ? sqlite3_sql(stmt_) : "";
  sqlite3_reset(stmt_);
  Fail(db_->db_, rc, sql);
}

int Statement::Run() {
  while (Step()) {
  }
  int changes = sqlite3_changes(db_->db_);
  sqlite3_reset(stmt_);
  return changes;
}

void Statement::Reset() {
  CheckOpen();
  sqlite3_reset(stmt_);
}

int Statement::ColumnCount() const {
  CheckOpen();
  return sqlite3_column_count(stmt_);
}

std::string Statement::ColumnName(int column) const {
  CheckOpen();
  const char* name = sqlite3_column_name(stmt_, column);
  if (!name) throw Error(ErrorNumber::ItemNotFound, kSource, "No column " + std::to_string(column) + ".");
  return name;
}

Variant Statement::Column(int column) const {
  CheckOpen();
  if (column < 0 || column >= sqlite3_data_count(stmt_))
    throw Error(ErrorNumber::NoCurrentRecord, kSource, "No row or no column " + std::to_string(column) + ".");
  return ReadValue(stmt_, column, ColumnType(stmt_, column));
}

Variant Statement::ColumnAs(int column, FieldType type) const {
  CheckOpen();
  if (column < 0 || column >= sqlite3_data_count(stmt_))
    throw Error(ErrorNumber::NoCurrentRecord, kSource, "No row or no column " + std::to_string(column) + ".");
  return ReadValue(stmt_, column, type);
}

// Shared with Recordset.cpp.
Variant ReadStatementValue(sqlite3_stmt* stmt, int column) { return ReadValue(stmt, column, ColumnType(stmt, column)); }
void BindStatementValue(sqlite3* db, sqlite3_stmt* stmt, int index, const Variant& value) {
  BindValue(db, stmt, index, value);
}
[[noreturn]] void RaiseEngineError(sqlite3* db, int rc, const std::string& context) { Fail(db, rc, context); }

}  // namespace korvane::store
