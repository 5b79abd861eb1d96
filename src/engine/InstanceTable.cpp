// InstanceTable.cpp: prepared statements over one instance-type table.
#include "engine/InstanceTable.h"

#include <algorithm>
#include <cmath>

#include "engine/Evaluator.h"
#include "engine/JudgmentItem.h"
#include "util/Error.h"

namespace korvane::engine {

namespace {

constexpr const char* kSource = "InstanceTable";

double NumberOf(const Variant& value, const std::string& column) {
  if (value.IsBoolean()) return value.AsBoolean() ? -1.0 : 0.0;
  if (value.IsString() && !IsNumericText(value.AsString()))
    throw Error(ErrorNumber::DataTypeConversion, kSource,
                "Data type conversion error: the text '" + value.AsString() + "' cannot be stored in the number column " +
                    column);
  return value.ToNumber();
}

// A value as the column stores it: fractions in integer columns rounded
// half to even, numeric texts in number columns read as numbers.
Variant ColumnValue(const store::FieldInfo& field, const Variant& value) {
  if (value.IsNull() || value.IsEmpty()) return Variant::Null();
  switch (field.type) {
    case store::FieldType::Integer:
    case store::FieldType::Long: {
      double n = std::nearbyint(NumberOf(value, field.name));
      if (n < -2147483648.0 || n > 2147483647.0)
        throw Error(ErrorNumber::Overflow, kSource, "Overflow: " + FormatNumber(n) + " does not fit column " + field.name);
      return Variant(static_cast<std::int32_t>(n));
    }
    case store::FieldType::Double: return Variant(NumberOf(value, field.name));
    case store::FieldType::Boolean: return Variant(NumberOf(value, field.name) != 0);
    case store::FieldType::Text:
    case store::FieldType::Memo: return Variant(value.ToText());
    case store::FieldType::DateTime: return value;
  }
  return value;
}

}  // namespace

Variant InstanceTable::Typed(store::FieldType type, const Variant& value) {
  if (type == store::FieldType::Integer && value.Type() == VariantType::Long) {
    std::int32_t v = value.AsLong();
    if (v >= -32768 && v <= 32767) return Variant(static_cast<std::int16_t>(v));
  }
  return value;
}

InstanceTable::InstanceTable(store::Database& db, const store::TableDef& table) : db_(db), def_(table) {
  for (const auto& field : def_.fields) {
    slotNames_.push_back(SlotName(field.name));
    if (field.name.rfind("S_", 0) == 0) situation_.push_back(field.name);
    else if (field.name.rfind("D_", 0) == 0) decision_.push_back(field.name);
    else if (field.name.rfind("U_", 0) == 0) utility_.push_back(field.name);
  }
}

InstanceTable::~InstanceTable() = default;

std::string InstanceTable::Quoted(const std::string& name) const {
  std::string q = "\"";
  for (char c : name) {
    if (c == '"') q += '"';
    q += c;
  }
  return q + "\"";
}

store::Statement& InstanceTable::Prepared(std::unique_ptr<store::Statement>& slot, const std::string& sql) {
  if (!slot) slot = std::make_unique<store::Statement>(db_.Prepare(sql));
  return *slot;
}

std::vector<std::int64_t> InstanceTable::StoredIds() {
  store::Statement& s = Prepared(ids_, "SELECT \"X_ID\" FROM " + Quoted(def_.name) +
                                           " WHERE \"X_Working_Memory\" = 0 AND \"X_Subject\" = ? ORDER BY \"X_ID\"");
  s.Bind(1, Variant(subject_));
  std::vector<std::int64_t> ids;
  while (s.Step()) ids.push_back(static_cast<std::int64_t>(s.Column(0).ToNumber()));
  s.Reset();
  return ids;
}

void InstanceTable::Load() {
  if (loaded_) return;
  std::vector<std::int64_t> ids = StoredIds();
  stored_.clear();
  stored_.insert(ids.begin(), ids.end());
  working_.clear();
  {
    store::Statement s = db_.Prepare("SELECT \"X_ID\" FROM " + Quoted(def_.name) +
                                     " WHERE \"X_Subject\" = ? AND (\"X_Working_Memory\" IS NULL OR "
                                     "\"X_Working_Memory\" <> 0)");
    s.Bind(1, Variant(subject_));
    while (s.Step()) working_.insert(static_cast<std::int64_t>(s.Column(0).ToNumber()));
  }
  newlyStored_ = std::move(ids);
  loaded_ = true;
}

std::size_t InstanceTable::StoredCount() {
  Load();
  return stored_.size();
}

std::vector<std::int64_t> InstanceTable::TakeNewlyStoredIds() {
  Load();
  std::vector<std::int64_t> ids = std::move(newlyStored_);
  newlyStored_.clear();
  std::sort(ids.begin(), ids.end());
  return ids;
}

std::optional<formula::VariableList> InstanceTable::ReadRow(std::int64_t id, bool* prepopulated) {
  store::Statement& s = Prepared(row_, "SELECT * FROM " + Quoted(def_.name) + " WHERE \"X_ID\" = ?");
  s.Bind(1, Variant(static_cast<std::int32_t>(id)));
  if (!s.Step()) {
    s.Reset();
    return std::nullopt;
  }
  formula::VariableList values(s.ColumnCount());
  for (int c = 0; c < s.ColumnCount(); ++c) {
    std::string column = s.ColumnName(c);
    int position = def_.FieldPosition(column);
    Variant value = s.Column(c);
    if (position >= 0) value = Typed(def_.fields[static_cast<std::size_t>(position)].type, value);
    if (prepopulated && column == "X_Prepopulated") *prepopulated = value.IsBoolean() && value.AsBoolean();
    values.Add(SlotName(column), std::move(value));
  }
  s.Reset();
  return values;
}

bool InstanceTable::HasRow(std::int64_t id) {
  if (loaded_) return stored_.count(id) > 0 || working_.count(id) > 0;
  store::Statement& s =
      Prepared(has_, "SELECT 1 FROM " + Quoted(def_.name) + " WHERE \"X_ID\" = ? AND \"X_Subject\" = ?");
  s.Bind(1, Variant(static_cast<std::int32_t>(id)));
  s.Bind(2, Variant(subject_));
  bool found = s.Step();
  s.Reset();
  return found;
}

void InstanceTable::UpdateRow(std::int64_t id, const formula::VariableList& values) {
  std::string sql;
  std::vector<Variant> params;
  for (std::size_t i = 0; i < def_.fields.size(); ++i) {
    const std::string& slot = slotNames_[i];
    if (IsSystemSlotName(slot) || def_.fields[i].name.rfind("X_", 0) == 0) continue;
    const Variant* value = values.Find(slot);
    if (!value) continue;
    sql += (sql.empty() ? "" : ", ") + Quoted(def_.fields[i].name) + " = ?";
    params.push_back(ColumnValue(def_.fields[i], *value));
  }
  if (sql.empty()) return;
  params.emplace_back(static_cast<std::int32_t>(id));
  db_.Execute("UPDATE " + Quoted(def_.name) + " SET " + sql + " WHERE \"X_ID\" = ?", params);
}

std::int64_t InstanceTable::InsertRow(const formula::VariableList& values, DateValue created, bool prepopulated) {
  // Which columns the values fill; the statement is made again only when
  // that changes (in a run it never does).
  std::vector<std::size_t> filled;
  std::vector<const Variant*> given;
  for (std::size_t i = 0; i < def_.fields.size(); ++i) {
    const store::FieldInfo& field = def_.fields[i];
    if (field.autoIncrement || field.name.rfind("X_", 0) == 0) continue;  // set below, or the identity
    const Variant* value = values.Find(slotNames_[i]);
    if (!value) continue;
    filled.push_back(i);
    given.push_back(value);
  }
  if (!insert_ || filled != insertColumns_) {
    std::string columns, marks;
    for (std::size_t i : filled) {
      columns += ", " + Quoted(def_.fields[i].name);
      marks += ", ?";
    }
    insert_ = std::make_unique<store::Statement>(
        db_.Prepare("INSERT INTO " + Quoted(def_.name) +
                    " (\"X_Subject\", \"X_Created\", \"X_Working_Memory\", \"X_Prepopulated\"" + columns +
                    ") VALUES (?, ?, ?, ?" + marks + ")"));
    insertColumns_ = filled;
  }
  store::Statement& s = *insert_;
  s.Bind(1, Variant(subject_));
  s.Bind(2, Variant(created));
  s.Bind(3, Variant(!prepopulated));
  s.Bind(4, Variant(prepopulated));
  for (std::size_t k = 0; k < filled.size(); ++k)
    s.Bind(static_cast<int>(k) + 5, ColumnValue(def_.fields[filled[k]], *given[k]));
  s.Run();
  auto newId = db_.LastInsertRowId();
  if (loaded_) {
    if (!prepopulated) {
      working_.insert(newId);
    } else {
      stored_.insert(newId);
      newlyStored_.push_back(newId);
    }
  }
  return newId;
}

bool InstanceTable::DeleteRow(std::int64_t id) {
  store::Statement& s = Prepared(delete_, "DELETE FROM " + Quoted(def_.name) + " WHERE \"X_ID\" = ?");
  s.Bind(1, Variant(static_cast<std::int32_t>(id)));
  bool deleted = s.Run() > 0;
  if (loaded_ && deleted) {
    stored_.erase(id);
    working_.erase(id);
    newlyStored_.erase(std::remove(newlyStored_.begin(), newlyStored_.end(), id), newlyStored_.end());
  }
  return deleted;
}

Variant InstanceTable::StoredUtility(std::int64_t id) {
  if (utility_.empty()) return Variant::Null();
  store::Statement& s = Prepared(utilityGet_, "SELECT " + Quoted(utility_.front()) + " FROM " + Quoted(def_.name) +
                                                  " WHERE \"X_ID\" = ?");
  s.Bind(1, Variant(static_cast<std::int32_t>(id)));
  Variant value = s.Step() ? s.Column(0) : Variant::Null();
  s.Reset();
  return value;
}

void InstanceTable::SetUtility(std::int64_t id, const Variant& utility) {
  if (utility_.empty()) return;
  int position = def_.FieldPosition(utility_.front());
  store::Statement& s = Prepared(utilitySet_, "UPDATE " + Quoted(def_.name) + " SET " + Quoted(utility_.front()) +
                                                  " = ? WHERE \"X_ID\" = ?");
  s.Bind(1, ColumnValue(def_.fields[static_cast<std::size_t>(position)], utility));
  s.Bind(2, Variant(static_cast<std::int32_t>(id)));
  s.Run();
}

void InstanceTable::CommitWorkingMemory() {
  // Only the rows still marked are written: rewriting every row of the
  // subject would make each commit carry the subject's whole memory. While
  // the table knows the subject's rows, it releases those it marked by their
  // IDs (a look-up each) instead of searching the subject's rows, which grow
  // with the memory.
  if (loaded_) {
    std::size_t changed = 0;
    if (!working_.empty()) {
      store::Statement& byId = Prepared(commitById_, "UPDATE " + Quoted(def_.name) +
                                                         " SET \"X_Working_Memory\" = 0 WHERE \"X_ID\" = ? AND "
                                                         "(\"X_Working_Memory\" IS NULL OR \"X_Working_Memory\" <> 0)");
      for (std::int64_t id : working_) {
        byId.Bind(1, Variant(static_cast<std::int32_t>(id)));
        changed += static_cast<std::size_t>(byId.Run());
      }
    }
    if (changed == working_.size()) {
      for (std::int64_t id : working_) {
        stored_.insert(id);
        newlyStored_.push_back(id);
      }
      working_.clear();
      return;
    }
    loaded_ = false;  // rows this table did not write: search them all below
  }
  store::Statement& s = Prepared(commit_, "UPDATE " + Quoted(def_.name) +
                                              " SET \"X_Working_Memory\" = 0 WHERE \"X_Subject\" = ? AND "
                                              "(\"X_Working_Memory\" IS NULL OR \"X_Working_Memory\" <> 0)");
  s.Bind(1, Variant(subject_));
  s.Run();
}

std::int32_t InstanceTable::LastSubject() {
  auto rs = db_.OpenRecordset("SELECT MAX(\"X_Subject\") AS LastSubject FROM " + Quoted(def_.name));
  if (rs->IsEOF()) return 0;
  Variant v = rs->Get(0);
  return v.IsNull() ? 0 : static_cast<std::int32_t>(v.ToNumber());
}

void InstanceTable::CopyPrepopulated(std::int32_t subject) {
  std::string slots;
  for (const auto* list : {&situation_, &decision_, &utility_})
    for (const auto& column : *list) slots += ", " + Quoted(column);
  db_.Execute("INSERT INTO " + Quoted(def_.name) +
                  " (\"X_Subject\", \"X_Working_Memory\", \"X_Created\", \"X_Prepopulated\"" + slots + ")" +
                  " SELECT ?, \"X_Working_Memory\", ?, ?" + slots + " FROM " + Quoted(def_.name) +
                  " WHERE \"X_Working_Memory\" = 0 AND \"X_Subject\" = 0",
              {Variant(subject), Variant(DateNow()), Variant(true)});
  if (subject == subject_) loaded_ = false;
}

}  // namespace korvane::engine
