// MetaKeyValue.cpp: reading and writing settings with their value types.
#include "store/MetaKeyValue.h"

#include <charconv>

namespace korvane::store {

namespace {

constexpr const char* kSource = "Korvane.MetaKeyValue";

// A cheap check first: settings are read often, the table is created once.
void EnsureTable(Database* db) {
  Statement exists = db->Prepare("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
  exists.Bind(1, Variant(kKeyValueTable));
  if (!exists.Step()) EnsureKeyValueTable(db);
}

// A statement on the settings table. Runs read settings thousands of times
// and the table nearly always exists: only a statement that cannot be
// prepared leads to the check (which creates a missing table) and a retry.
Statement OnTable(Database* db, const std::string& sql) {
  try {
    return db->Prepare(sql);
  } catch (const Error&) {
    EnsureTable(db);
    return db->Prepare(sql);
  }
}

// The text a number is kept as: the shortest that reads back to the same
// double, with a period as decimal separator.
std::string NumberText(double value) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

}  // namespace

std::optional<TableDef> EnsureKeyValueTable(Database* db) {
  if (!db) return std::nullopt;
  if (auto existing = db->FindTableDef(kKeyValueTable)) return existing;
  TableDef def;
  def.name = kKeyValueTable;
  def.fields = {{"Name", FieldType::Text}, {"Type", FieldType::Text}, {"Value", FieldType::Text, false, true, 0}};
  def.indexes = {{"Name", {"Name"}, true, false, true}};
  db->CreateTable(def);
  return db->FindTableDef(kKeyValueTable);
}

Variant GetKeyValue(Database* db, const std::string& key) {
  if (!db) return Variant();
  Statement select = OnTable(db, "SELECT Type, Value FROM MetaKeyValue WHERE Name = ?");
  select.Bind(1, Variant(key));
  if (!select.Step()) return Variant();
  Variant type = select.Column(0);
  Variant value = select.Column(1);
  std::string kind = type.IsString() ? type.AsString() : std::string();
  if (kind == "NUMERIC") return Variant(ReadNumber(value.ToText()));
  if (kind == "NULL") return Variant();
  return value;
}

bool HasKeyValue(Database* db, const std::string& key) {
  if (!db) return false;
  Statement select = OnTable(db, "SELECT 1 FROM MetaKeyValue WHERE Name = ?");
  select.Bind(1, Variant(key));
  return select.Step();
}

bool SetKeyValue(Database* db, const std::string& key, const Variant& value) {
  if (!db) return false;
  if (key.empty()) throw Error(ErrorNumber::InvalidProcedureCall, kSource, "A setting needs a name.");
  EnsureTable(db);
  std::string type;
  Variant stored;
  if (IsNumericValue(value)) {
    type = "NUMERIC";
    switch (value.Type()) {
      case VariantType::String: stored = value; break;  // numeric text is kept as written
      case VariantType::Empty: stored = Variant(""); break;
      case VariantType::Boolean: stored = Variant(value.AsBoolean() ? "1" : "0"); break;
      case VariantType::Date: stored = Variant(NumberText(value.AsDate().days)); break;
      default: stored = Variant(NumberText(value.ToNumber())); break;
    }
  } else if (value.IsObject()) {
    type = value.AsObject() ? "OBJECT" : "NULL";
    stored = Variant::Null();
  } else {
    type = "STRING";
    stored = value.IsNull() ? Variant::Null() : Variant(value.ToText());
  }
  Transaction transaction(*db);
  bool added = false;
  if (db->Execute("UPDATE MetaKeyValue SET Type = ?, Value = ? WHERE Name = ?", {Variant(type), stored, Variant(key)}) ==
      0) {
    db->Execute("INSERT INTO MetaKeyValue (Name, Type, Value) VALUES (?, ?, ?)", {Variant(key), Variant(type), stored});
    added = true;
  }
  transaction.Commit();
  return added;
}

std::string GetKeyValueType(Database* db, const std::string& key) {
  if (!db) return {};
  Statement select = OnTable(db, "SELECT Type FROM MetaKeyValue WHERE Name = ?");
  select.Bind(1, Variant(key));
  return select.Step() ? select.Column(0).ToText() : std::string();
}

std::vector<KeyValueRow> ListKeyValues(Database* db) {
  std::vector<KeyValueRow> rows;
  if (!db || !db->FindTableDef(kKeyValueTable)) return rows;
  auto rs = db->OpenRecordset("SELECT Name, Type, Value FROM MetaKeyValue ORDER BY Name");
  for (; !rs->IsEOF(); rs->MoveNext()) rows.push_back({rs->Get(0).ToText(), rs->Get(1).ToText(), rs->Get(2)});
  return rows;
}

}  // namespace korvane::store
