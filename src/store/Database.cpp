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

#include "store/DatabaseInternal.h"
#include "store/RunJournal.h"

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

// A Variant as BindValue hands it to SQLite, for the run journal.
JournalValue ToJournal(const Variant& value) {
  JournalValue v;
  switch (value.Type()) {
    case VariantType::Empty:
    case VariantType::Null: v.kind = JournalValue::Null; break;
    case VariantType::Integer: v.kind = JournalValue::Int; v.i = value.AsInteger(); break;
    case VariantType::Long: v.kind = JournalValue::Int; v.i = value.AsLong(); break;
    case VariantType::Double: v.kind = JournalValue::Real; v.d = value.AsDouble(); break;
    case VariantType::Boolean: v.kind = JournalValue::Int; v.i = value.AsBoolean() ? 1 : 0; break;
    case VariantType::String: v.kind = JournalValue::Text; v.owned = value.AsString(); break;
    case VariantType::Date: v.kind = JournalValue::Text; v.owned = FormatDate(value.AsDate(), true); break;
    case VariantType::Object: v.kind = JournalValue::Unset; break;
  }
  if (v.kind == JournalValue::Text) v.ownsText = true;
  return v;
}

void BindJournalValue(sqlite3* db, sqlite3_stmt* stmt, int index, const JournalValue& v) {
  int rc = SQLITE_OK;
  switch (v.kind) {
    case JournalValue::Unset:
    case JournalValue::Null: rc = sqlite3_bind_null(stmt, index); break;
    case JournalValue::Int: rc = sqlite3_bind_int64(stmt, index, v.i); break;
    case JournalValue::Real: rc = sqlite3_bind_double(stmt, index, v.d); break;
    case JournalValue::Text: {
      std::string_view text = v.TextView();
      rc = sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
      break;
    }
  }
  if (rc != SQLITE_OK) Fail(db, rc, "binding parameter " + std::to_string(index));
}

std::int32_t UserVersion(sqlite3* db) {
  StmtGuard g{PrepareRaw(db, "PRAGMA user_version")};
  return sqlite3_step(g.stmt) == SQLITE_ROW ? sqlite3_column_int(g.stmt, 0) : 0;
}

double MonotonicSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Runs the journaled statements on db, in the transaction the caller holds.
void RunJournaled(sqlite3* db, const std::string& sql, const std::vector<JournalValue>& values) {
  StmtGuard g{PrepareRaw(db, TranslateDialect(sql))};
  if (sqlite3_bind_parameter_count(g.stmt) != static_cast<int>(values.size()))
    throw Error(ErrorNumber::DatabaseFailure, kSource, "The run journal does not match its statement: " + sql);
  for (std::size_t i = 0; i < values.size(); ++i) BindJournalValue(db, g.stmt, static_cast<int>(i + 1), values[i]);
  int rc;
  while ((rc = sqlite3_step(g.stmt)) == SQLITE_ROW) {
  }
  if (rc != SQLITE_DONE) Fail(db, rc, sql);
}

// What a killed run had journaled but not committed goes into the file
// before anyone reads it. A journal that a live run holds is left alone.
void RecoverRun(sqlite3* db, const std::string& path) {
  const std::string journal = RunJournal::PathOf(path);
  std::error_code ec;
  if (!std::filesystem::exists(journal, ec)) return;
  int lock = RunJournal::TryLock(journal);
  if (lock < 0) return;
  try {
    Exec(db, "BEGIN IMMEDIATE");
    std::int32_t original = 0;
    auto applied = static_cast<std::uint64_t>(UserVersion(db));
    RunJournal::Read(
        journal, applied, [&](const std::string& sql, const std::vector<JournalValue>& values) { RunJournaled(db, sql, values); },
        &original);
    Exec(db, "PRAGMA user_version = " + std::to_string(original));
    Exec(db, "COMMIT");
  } catch (const Error& e) {
    if (!sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    ::close(lock);
    throw Error(e.Number(), kSource,
                "The rows of an interrupted run in '" + journal + "' could not be added to '" + path +
                    "': " + e.Description());
  }
  std::filesystem::remove(journal, ec);
  ::close(lock);
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
  try {
    db = OpenKorvaneHandle(path, SQLITE_OPEN_READWRITE);
    sqlite3_stmt* stmt = PrepareRaw(db, "PRAGMA journal_mode = WAL");
    sqlite3_step(stmt);  // another connection's lock may keep the mode; either works
    sqlite3_finalize(stmt);
    RecoverRun(db, path);
  } catch (const Error& e) {
    if (db) sqlite3_close_v2(db);
    if (e.Number() == ErrorNumber::NotADatabase)
      throw Error(ErrorNumber::NotADatabase, kSource, "'" + path + "' is not a Korvane model database (" + e.Description() + ").");
    throw;
  }
  return std::unique_ptr<Database>(new Database(db, path));
}

std::unique_ptr<Database> Database::OpenReadOnly(const std::string& path) {
  CheckExistingFile(path, false);
  // The run journal a killed run left is part of the file, as SQLite's own
  // hot journal is: its rows go in before anyone reads, also when the reader
  // only reads. A file that cannot be written is read as SQLite holds it.
  std::error_code ec;
  const std::string folder = std::filesystem::path(path).parent_path().string();
  if (std::filesystem::exists(RunJournal::PathOf(path), ec) && ::access(path.c_str(), W_OK) == 0 &&
      ::access(folder.empty() ? "." : folder.c_str(), W_OK) == 0) {
    sqlite3* writer = OpenKorvaneHandle(path, SQLITE_OPEN_READWRITE);
    try {
      RecoverRun(writer, path);
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
  auto opened = std::unique_ptr<Database>(new Database(db, path));
  opened->readOnly_ = true;
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
    // Whatever is open is committed with the file's own user_version back,
    // so the journal is no longer needed.
    const bool open = !sqlite3_get_autocommit(db);
    const int restored = sqlite3_exec(
        db, ("PRAGMA user_version = " + std::to_string(journalOriginalVersion_)).c_str(), nullptr, nullptr, nullptr);
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
// Group numbers live in the database's user_version, a 32-bit integer.
constexpr std::uint64_t kGroupNumberLimit = 1u << 30;
}  // namespace

void Database::BeginJournaledRun() {
  CheckOpen();
  if (journal_) return;
  if (transactionDepth_ > 0 || !sqlite3_get_autocommit(db_))
    throw Error(ErrorNumber::DatabaseFailure, kSource, "A journaled run cannot start inside a transaction.");
  std::int32_t original = UserVersion(db_);
  auto journal = std::make_unique<RunJournal>(path_, original);
  // From here on user_version counts the groups SQLite has committed.
  Exec(db_, "PRAGMA user_version = 0");
  journal_ = std::move(journal);
  journalOriginalVersion_ = original;
  groupNumber_ = committedGroup_ = 0;
  pendingGroups_ = 0;
  journalBypassed_ = false;
  accountedChanges_ = sqlite3_total_changes64(db_);
  lastRunCommit_ = MonotonicSeconds();
}

void Database::EndJournaledRun() {
  CheckOpen();
  if (!journal_) return;
  if (transactionDepth_ > 0)
    throw Error(ErrorNumber::DatabaseFailure, kSource, "A journaled run cannot end inside a transaction.");
  CommitRun();
  Exec(db_, "PRAGMA user_version = " + std::to_string(journalOriginalVersion_));
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

void Database::RecordStatement(const std::string& sql, const std::vector<JournalValue>& values, bool complete) {
  if (!complete || sql.empty()) {
    journalBypassed_ = true;
    return;
  }
  journal_->Statement(sql, values);
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
      Exec(db_, "PRAGMA user_version = " + std::to_string(groupNumber_));
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
  if (groupNumber_ >= kGroupNumberLimit) {
    // The journal is empty, so numbering may start again.
    Exec(db_, "PRAGMA user_version = 0");
    groupNumber_ = committedGroup_ = 0;
  }
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
  RunJournal::Read(
      RunJournal::PathOf(path_), after,
      [&](const std::string& sql, const std::vector<JournalValue>& values) { RunJournaled(db_, sql, values); }, nullptr,
      journal_->Waiting());
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
      writes_(other.writes_),
      recorded_(other.recorded_),
      captured_(std::move(other.captured_)) {
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
    recorded_ = other.recorded_;
    captured_ = std::move(other.captured_);
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

JournalValue* Statement::Captured(int index) {
  if (!writes_ || !db_->journal_) return nullptr;
  if (captured_.empty()) captured_.resize(static_cast<std::size_t>(sqlite3_bind_parameter_count(stmt_)));
  if (index < 1 || index > static_cast<int>(captured_.size())) return nullptr;
  return &captured_[static_cast<std::size_t>(index - 1)];
}

void Statement::Bind(int index, const Variant& value) {
  CheckOpen();
  BindValue(db_->db_, stmt_, index, value);
  if (JournalValue* c = Captured(index)) {
    *c = ToJournal(value);
  }
}

void Statement::BindInt(int index, std::int64_t value) {
  CheckOpen();
  int rc = sqlite3_bind_int64(stmt_, index, value);
  if (rc != SQLITE_OK) Fail(db_->db_, rc, "binding parameter " + std::to_string(index));
  if (JournalValue* c = Captured(index)) {
    c->kind = JournalValue::Int;
    c->i = value;
  }
}

void Statement::BindDouble(int index, double value) {
  CheckOpen();
  int rc = std::isnan(value) ? sqlite3_bind_null(stmt_, index) : sqlite3_bind_double(stmt_, index, value);
  if (rc != SQLITE_OK) Fail(db_->db_, rc, "binding parameter " + std::to_string(index));
  if (JournalValue* c = Captured(index)) {
    c->kind = std::isnan(value) ? JournalValue::Null : JournalValue::Real;
    c->d = value;
  }
}

void Statement::BindStaticText(int index, std::string_view text) {
  CheckOpen();
  int rc = sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
  if (rc != SQLITE_OK) Fail(db_->db_, rc, "binding parameter " + std::to_string(index));
  if (JournalValue* c = Captured(index)) {
    c->kind = JournalValue::Text;
    c->ownsText = false;
    c->text = text;  // valid until the statement has run, as SQLite's own
  }
}

void Statement::ClearBindings() {
  CheckOpen();
  sqlite3_clear_bindings(stmt_);
  captured_.clear();
}

bool Statement::Step() {
  CheckOpen();
  if (writes_ && db_->journal_ && !sqlite3_stmt_busy(stmt_)) {
    // A new execution of a writing statement: the journal records it with
    // its values (a value bound before the run began was not seen: then the
    // journal cannot replay it and the commit becomes a real one).
    recorded_ = false;
    if (db_->transactionDepth_ == 0) db_->NoteUnjournaledWrite();
    if (db_->transactionDepth_ > 0) {
      bool complete = true;
      if (captured_.empty() && sqlite3_bind_parameter_count(stmt_) > 0) complete = false;
      for (const JournalValue& v : captured_)
        if (v.kind == JournalValue::Unset) complete = false;
      db_->RecordStatement(sql_, captured_, complete);
      recorded_ = complete && !sql_.empty();
    }
  }
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
  if (recorded_ && db_->journal_) db_->journal_->AddChanges(changes);
  recorded_ = false;
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
