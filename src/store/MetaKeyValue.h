// MetaKeyValue.h: the model's settings, one MetaKeyValue row (Name, Type,
// Value) per key.
//
// SetKeyValue types a value as it writes it: "NUMERIC" for a number or any
// value the numeric test accepts (numeric text, an empty value, a boolean,
// a date), "OBJECT"/"NULL" for a set/empty object reference, "STRING" for
// anything else. GetKeyValue gives a NUMERIC setting back as a double (the
// stored text read with a period as decimal separator, leading number only),
// a STRING setting as its text, NULL as an empty value, and a key never
// written as an empty value. Keys are case-sensitive and bound as statement
// parameters, so any text (an apostrophe too) is a valid key. Every function
// does nothing with a null database (reads give an empty value).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "store/Database.h"
#include "util/Variant.h"

namespace korvane::store {

constexpr const char* kKeyValueTable = "MetaKeyValue";

// Finds MetaKeyValue, creating it (Name, Type, Value; primary index "Name")
// when missing.
std::optional<TableDef> EnsureKeyValueTable(Database* db);
Variant GetKeyValue(Database* db, const std::string& key);
bool HasKeyValue(Database* db, const std::string& key);
// True when a new row was added, false when an existing one was changed
// (and with no database).
bool SetKeyValue(Database* db, const std::string& key, const Variant& value);

// The stored Type of a key ("NUMERIC", "STRING", ...), "" when missing.
std::string GetKeyValueType(Database* db, const std::string& key);

// Every setting in key order, as stored (Value as text or null). Does not
// create the table.
struct KeyValueRow {
  std::string name;
  std::string type;
  Variant value;
};
std::vector<KeyValueRow> ListKeyValues(Database* db);

}  // namespace korvane::store
