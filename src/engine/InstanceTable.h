// InstanceTable.h: the engine's access to one instance-type table during a
// run.
//
// A run reads and writes the rows of one subject many times per trial, so
// every statement is prepared once. Rows cross as slot-name to value lists,
// typed by the column types (Integer slots as 16-bit integers, Real as
// doubles, String as text).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "formula/VariableList.h"
#include "store/Database.h"

namespace korvane::engine {

class InstanceTable {
 public:
  // table must exist in db.
  InstanceTable(store::Database& db, const store::TableDef& table);
  ~InstanceTable();

  const std::string& Name() const { return def_.name; }
  // Column names by aspect, in table order.
  const std::vector<std::string>& SituationColumns() const { return situation_; }
  const std::vector<std::string>& DecisionColumns() const { return decision_; }
  const std::vector<std::string>& UtilityColumns() const { return utility_; }

  // The subject whose rows the run uses.
  void SetSubject(std::int32_t subject) {
    subject_ = subject;
    loaded_ = false;
  }
  std::int32_t Subject() const { return subject_; }

  // The run writes the subject's rows only through this table, so after one
  // query it knows which rows the subject has: the IDs of its stored rows
  // (not in working memory), and those stored since the last look.
  std::size_t StoredCount();
  // IDs that became stored rows of the subject since the last call (every
  // stored row on the first call for a subject), ascending.
  std::vector<std::int64_t> TakeNewlyStoredIds();
  // IDs of the subject's stored rows (not in working memory), ascending.
  std::vector<std::int64_t> StoredIds();
  // One row by ID: every column by slot name (in column order), or nothing.
  std::optional<formula::VariableList> ReadRow(std::int64_t id, bool* prepopulated = nullptr);
  // The row exists among the subject's rows (in working memory or not).
  bool HasRow(std::int64_t id);
  // Sets the slot columns (system columns untouched) of the row.
  void UpdateRow(std::int64_t id, const formula::VariableList& values);
  // Adds a row for the subject in working memory, not prepopulated, created
  // at created; returns its ID. A prepopulated row (a prior of this subject)
  // is stored at once instead.
  std::int64_t InsertRow(const formula::VariableList& values, DateValue created, bool prepopulated = false);
  bool DeleteRow(std::int64_t id);
  // The stored value of the utility column.
  Variant StoredUtility(std::int64_t id);
  void SetUtility(std::int64_t id, const Variant& utility);
  // Releases the subject's working-memory rows.
  void CommitWorkingMemory();
  // The largest X_Subject (0 for an empty table).
  std::int32_t LastSubject();
  // Copies the prepopulated rows (subject 0, not in working memory) to subject.
  void CopyPrepopulated(std::int32_t subject);

  // A column value converted to the type the column's slot carries.
  static Variant Typed(store::FieldType type, const Variant& value);

 private:
  store::Statement& Prepared(std::unique_ptr<store::Statement>& slot, const std::string& sql);
  std::string Quoted(const std::string& name) const;

  store::Database& db_;
  store::TableDef def_;
  std::vector<std::string> situation_, decision_, utility_;
  std::vector<std::string> slotNames_;  // per column
  void Load();
  std::int32_t subject_ = 0;
  // What the table knows of the subject's rows (valid while loaded_).
  bool loaded_ = false;
  std::unordered_set<std::int64_t> stored_, working_;
  std::vector<std::int64_t> newlyStored_;
  std::unique_ptr<store::Statement> ids_, row_, has_, delete_, utilityGet_, utilitySet_, commit_, commitById_, insert_;
  std::vector<std::size_t> insertColumns_;  // the columns insert_ fills
};

}  // namespace korvane::engine
