// Database.h: the thin layer over SQLite that every model and experiment
// database goes through.
//
// This is the only code in Korvane that speaks to SQLite. It offers what the
// rest of the program relies on: connections (several independent ones to
// one file, each seeing the others' committed changes), table definitions with
// typed fields and indexes, direct statements, record sets with move, read,
// edit, add, delete and bookmarks, prepared statements for the hot paths, and
// transactions. Values cross as Variants; a value a column cannot take raises
// a numbered Error (ErrorNumber::DataTypeConversion), as does every failure of
// the engine (ErrorNumber::DatabaseFailure and friends, see util/Error.h).
//
// Invariants:
//  - identifiers (table, field and index names) are validated and quoted;
//    values that come from users or tasks are bound, never pasted into SQL;
//  - a field's type round-trips: what CreateTable/AppendField was given is
//    what TableDefs() reports (declared types are chosen so that SQLite's
//    affinity keeps the values: Memo and Text get TEXT affinity, and so on);
//  - index names are per table, as the model files use them (SubjectIdx on
//    I1 and on MetaInstance), although SQLite's are per database;
//  - an Access/Jet file, a file that is not a database, or a file that cannot
//    be written is refused on Open with an Error that says so, and is left
//    untouched.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "util/Error.h"
#include "util/Variant.h"

struct sqlite3;
struct sqlite3_stmt;

namespace korvane::store {

class RunJournal;

enum class FieldType { Long, Integer, Double, Text, Memo, Boolean, DateTime };

// Name of a field type as the model files and messages write it
// ("Long", "Integer", "Double", "Text", "Memo", "Boolean", "Date/Time").
const char* FieldTypeName(FieldType type);

struct FieldInfo {
  std::string name;
  FieldType type = FieldType::Text;
  bool autoIncrement = false;    // Long only; the table's row identity
  bool allowZeroLength = false;  // Text and Memo: whether "" may be stored
  int ordinalPosition = 0;       // zero-based position; filled by TableDefs()
};

struct IndexInfo {
  std::string name;                 // unique within its table
  std::vector<std::string> fields;  // in order
  bool primary = false;
  bool required = false;            // the fields may not hold null
  bool unique = false;              // primary implies unique
};

// Numbers of the failures this layer raises besides those of util/Error.h.
namespace StoreError {
constexpr std::int32_t FileNotFound = 3024;       // no file at that path
constexpr std::int32_t InvalidPath = 3044;        // no such folder, or an empty path
constexpr std::int32_t FileAlreadyExists = 3204;  // Create on an existing file
constexpr std::int32_t RecordDeleted = 3167;      // the current record was deleted
constexpr std::int32_t FieldRequired = 3314;      // null in a field of a required index
constexpr std::int32_t ZeroLengthString = 3315;   // "" where zero-length strings are not allowed
constexpr std::int32_t DatabaseClosed = 3420;     // the connection was closed
}  // namespace StoreError

// Attribute bits of the engine's own tables.
constexpr std::uint32_t kSystemObjectAttribute = 0x80000002u;

// A snapshot of one table's definition (take a new one after changing it).
struct TableDef {
  std::string name;
  std::uint32_t attributes = 0;  // kSystemObjectAttribute for the engine's own tables
  std::vector<FieldInfo> fields;  // in ordinal order
  std::vector<IndexInfo> indexes;

  // Position of the field of exactly this name (case-insensitive, as the
  // engine compares names), or -1.
  int FieldPosition(const std::string& fieldName) const;
  const IndexInfo* FindIndex(const std::string& indexName) const;  // case-sensitive
};

// The value as a field of this type stores it, as record sets convert on
// Update: numbers rounded half to even into Integer and Long (Overflow past
// their range), numeric text read as a number, booleans as -1/0 in numeric
// fields, null and empty as null (false in a Boolean field), dates as dates.
// A value the field cannot take raises ErrorNumber::DataTypeConversion; ""
// where zero-length strings are not allowed StoreError::ZeroLengthString.
// For callers that write rows with their own statements.
Variant ConvertForField(const FieldInfo& field, const Variant& value);

class Recordset;
class Statement;

class Database {
 public:
  // Creates a new database file; fails when the file already exists.
  static std::unique_ptr<Database> Create(const std::string& path);
  // Opens an existing database file shared and read-write. A SQLite file
  // of another program (neither Korvane's application id nor its settings
  // table) is refused before anything is written.
  static std::unique_ptr<Database> Open(const std::string& path);
  // Opens an existing database only to read it: the file may be read-only,
  // nothing is written to it (no journal mode change, no tables added), and
  // a SQLite file of another program is refused as by Open. Writes fail.
  static std::unique_ptr<Database> OpenReadOnly(const std::string& path);
  // Copies the database at source to target (which is overwritten) with
  // SQLite's backup API, so that a copy never holds a half-written state.
  static void Copy(const std::string& source, const std::string& target);

  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  const std::string& Path() const { return path_; }
  bool IsOpen() const { return db_ != nullptr; }
  // Opened with OpenReadOnly.
  bool IsReadOnly() const { return readOnly_; }
  // Commits an open transaction, then closes. Further calls raise an Error.
  void Close();
  // What opening the file had to tell (a run journal kept aside, or one a
  // read-only file cannot take), also shown through CurrentDialogs(); "" when
  // nothing.
  const std::string& OpenNotice() const { return openNotice_; }

  // --- Schema ------------------------------------------------------------
  // Every table, the engine's own included (with kSystemObjectAttribute),
  // ordered by name.
  std::vector<TableDef> TableDefs();
  // The table whose name equals name exactly (case-sensitive), or nothing.
  std::optional<TableDef> FindTableDef(const std::string& name);
  // Creates a table with its fields (in order) and then its indexes.
  void CreateTable(const TableDef& def);
  void DeleteTable(const std::string& table);
  void AppendField(const std::string& table, const FieldInfo& field);
  void DeleteField(const std::string& table, const std::string& field);
  void RenameField(const std::string& table, const std::string& from, const std::string& to);
  void AppendIndex(const std::string& table, const IndexInfo& index);
  // Drops the table's index of that name (as AppendIndex names it); false,
  // and no change, when the table has no such index.
  bool DeleteIndex(const std::string& table, const std::string& index);

  // --- Statements ----------------------------------------------------------
  // Runs one statement in the dialect the model files use (TRUE/FALSE
  // literals, NOW(), "UPDATE DISTINCTROW" read as UPDATE), with "?" parameters
  // bound in order. Returns the number of rows changed.
  int Execute(const std::string& sql, const std::vector<Variant>& params = {});
  // A record set over the rows of a SELECT. Over a single table (no join,
  // no GROUP BY) it is updatable; otherwise it is a read-only snapshot.
  std::unique_ptr<Recordset> OpenRecordset(const std::string& sql, const std::vector<Variant>& params = {});
  // An updatable record set over every row of a table, in X_ID (rowid) order.
  std::unique_ptr<Recordset> OpenTable(const std::string& table);
  // A prepared statement for statements run many times (trace rows, exports).
  // A statement whose owner is done with it waits, reset and unbound, for the
  // next Prepare of the same text: a run reads settings and writes rows with
  // the same few statements thousands of times, and compiling SQL costs more
  // than running most of them.
  Statement Prepare(const std::string& sql);

  // --- Transactions ----------------------------------------------------------
  // Nestable: only the outermost Commit commits. Rollback undoes the whole
  // outermost transaction.
  void BeginTransaction();
  void CommitTransaction();
  void RollbackTransaction();
  bool InTransaction() const { return transactionDepth_ > 0; }

  // --- Journaled runs ----------------------------------------------------------
  // A run commits after every step so that a killed process loses nothing a
  // task was told; a SQLite commit per step is most of a step's cost. In a
  // journaled run the outermost CommitTransaction instead appends the rows
  // the transaction wrote, as data, to "<file>-run" in one write(2), which a
  // killed process cannot undo, and SQLite commits every few hundred such
  // groups (and at EndJournaledRun, Close, CommitJournaledRun), recording in
  // MetaRunJournal the run and the last group it holds. Opening the file
  // applies, exactly once, what a killed process had journaled but not
  // committed; a journal of another run or file is kept aside and never
  // applied. RollbackTransaction undoes the transaction in progress only:
  // the groups journaled before it are applied again. A write the journal
  // cannot record (a schema change, a table a run never writes) makes that
  // commit a real one. Throws when the journal cannot be made (the caller
  // then simply keeps committing every transaction).
  void BeginJournaledRun();
  // Commits everything, removes the journal, ends the mode. No transaction
  // may be open.
  void EndJournaledRun();
  bool JournaledRun() const { return journal_ != nullptr; }
  // Commits the journaled groups to SQLite now (when no transaction is open),
  // so that other connections see them.
  void CommitJournaledRun();
  // A group is written to the journal when something leaves the process that
  // depends on it, not at its commit: the owner of a run calls this before a
  // reply goes out and when it has handled what arrived, so that the groups
  // of a feedback and of the decision after it reach the file in one write(2).
  // Until then a committed group lives in memory only. Does nothing outside a
  // journaled run. Throws korvane::Error when the journal cannot be written.
  void MakeRunDurable();

  // The row ID of the last row this connection inserted.
  std::int64_t LastInsertRowId() const;

  // The raw handle, for this layer's own classes only.
  sqlite3* Handle() const { return db_; }

 private:
  Database(sqlite3* db, std::string path);
  void CheckOpen() const;
  sqlite3* db_ = nullptr;
  std::string path_;
  bool readOnly_ = false;
  int transactionDepth_ = 0;
  // Shared with the record sets and statements made from this connection:
  // false once it is closed, so that they raise an Error instead of using it.
  std::shared_ptr<bool> alive_;
  // Statements that Prepare made and their owners gave back, by SQL text.
  std::unordered_multimap<std::string, sqlite3_stmt*> idle_;
  void Recycle(std::string sql, sqlite3_stmt* stmt) noexcept;
  // Journaled runs.
  std::unique_ptr<RunJournal> journal_;
  std::uint64_t groupNumber_ = 0;     // of the last group journaled
  std::uint64_t committedGroup_ = 0;  // of the last group SQLite committed
  int pendingGroups_ = 0;
  std::int64_t accountedChanges_ = 0;  // SQLite's change count the journal accounts for
  bool journalBypassed_ = false;       // this transaction wrote around the journal
  double lastRunCommit_ = 0;           // monotonic seconds
  void FinishJournalGroup();
  // A write the journal cannot record (a schema change) or, outside a
  // transaction, one that must not wait in the run's open SQLite transaction.
  void NoteUnjournaledWrite();
  void CommitRun();
  void ReplayJournal(std::uint64_t after);
  // SQLite's pre-update hook during a journaled run: each row a step
  // inserts, changes or deletes goes to the journal as data.
  static void RecordRow(void* self, sqlite3* db, int op, const char* database, const char* table, long long key,
                        long long newKey);
  std::string openNotice_;
  friend class Recordset;
  friend class Statement;
};

// Scope guard: begins a transaction, rolls it back unless Commit() was called.
class Transaction {
 public:
  explicit Transaction(Database& db) : db_(db) { db_.BeginTransaction(); }
  ~Transaction();
  void Commit();

 private:
  Database& db_;
  bool done_ = false;
};

// A bookmark: the identity of a row within its table (its rowid).
using Bookmark = std::int64_t;

// A record set: the rows of a query, with a current position. Rows are read
// when it is opened; changes through it are written to the file at Update()
// and Delete(). Reading or writing with no current record raises
// ErrorNumber::NoCurrentRecord; an unknown field name ErrorNumber::ItemNotFound.
class Recordset {
 public:
  ~Recordset();

  bool IsEOF() const;  // past the last record (also true when empty)
  bool IsBOF() const;  // before the first record (also true when empty)
  long RecordCount() const;
  void MoveFirst();
  void MoveLast();
  void MoveNext();
  void MovePrevious();
  void Move(long rows);  // relative to the current record

  int FieldCount() const;
  // Field descriptions; types are known for columns of a table, and are
  // Text for computed columns.
  const FieldInfo& Field(int position) const;
  int FieldPosition(const std::string& name) const;  // case-insensitive, -1 if none

  Variant Get(const std::string& name) const;
  Variant Get(int position) const;

  // Editing: Edit() the current record or AddNew() a blank one, Set fields,
  // then Update() writes it (converting each value to its column's type and
  // raising DataTypeConversion for one it cannot take) or CancelUpdate().
  // After AddNew+Update the new record is part of the set (MoveLast reaches it)
  // and the current record does not change.
  void Edit();
  void AddNew();
  void Set(const std::string& name, const Variant& value);
  void Update();
  void CancelUpdate();
  // Deletes the current record; the position stays on the deleted row
  // until the next move.
  void Delete();
  // The bookmark of the last record added by AddNew+Update.
  Bookmark LastModified() const;

  Bookmark GetBookmark() const;
  // Moves to the record with that bookmark; raises an Error when the set
  // holds no such record.
  void SetBookmark(Bookmark bookmark);
  bool Updatable() const;
  void Close();

 private:
  friend class Database;
  Recordset();
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A prepared statement. Parameters are numbered from 1.
class Statement {
 public:
  Statement(Statement&&) noexcept;
  Statement& operator=(Statement&&) noexcept;
  ~Statement();

  void Bind(int index, const Variant& value);
  // Typed binds for rows written by the thousand (the trace): no Variant on
  // the way. A NaN is bound as null. BindStaticText does not copy the text,
  // which must stay unchanged until the statement has run.
  void BindInt(int index, std::int64_t value);
  void BindDouble(int index, double value);
  void BindStaticText(int index, std::string_view text);
  void ClearBindings();
  // Steps once; true when a row is available.
  bool Step();
  // Steps to the end and resets; returns the rows changed.
  int Run();
  void Reset();
  int ColumnCount() const;
  std::string ColumnName(int column) const;  // zero-based
  Variant Column(int column) const;          // zero-based
  // The column read as a field of the given type, for loops over many rows
  // whose column types the caller already knows (no declared-type lookup).
  Variant ColumnAs(int column, FieldType type) const;

 private:
  friend class Database;
  Statement(Database& db, sqlite3_stmt* stmt, std::string sql);
  void CheckOpen() const;
  // Gives the statement back to its database, or finalises it when the
  // database is closed.
  void Release() noexcept;
  Database* db_ = nullptr;
  sqlite3_stmt* stmt_ = nullptr;
  std::shared_ptr<bool> alive_;
  std::string sql_;  // the text it was prepared from
  bool writes_ = false;
};

}  // namespace korvane::store
