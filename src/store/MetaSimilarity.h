// MetaSimilarity.h: similarity formulas (MetaSimilarity rows keyed by
// instance type and slot) and the similarity option of an instance type.
//
// Slot "GLOBAL" holds the global formula, a situation slot's display name
// that slot's own formula. Decision and feedback formulas share the table
// (MetaDecision.h) under slot values of their own.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "store/Database.h"
#include "util/Variant.h"

namespace korvane::store {

constexpr const char* kSimilarityTable = "MetaSimilarity";

// Finds MetaSimilarity, creating it (Instance, Slot, Formula; primary index
// "Instance" on Instance then Slot) when missing.
std::optional<TableDef> EnsureSimilarityTable(Database* db);
// The formula text, or "" when there is no such row (or no database).
std::string GetSimilarityFormula(Database* db, const std::string& instanceType, const std::string& slot);
// True when a new row was added, false when an existing one was changed.
bool SetSimilarityFormula(Database* db, const std::string& instanceType, const std::string& slot,
                          const std::string& formula);

// The setting instanceType + "_SimilarityType" (0 one global formula,
// 1 one formula per situation slot); empty when missing.
Variant GetSimilarityType(Database* db, const std::string& instanceType);
// Every formula row, by instance type and slot. Does not create the table.
struct FormulaRow {
  std::string instanceType;
  std::string slot;
  std::string formula;
};
std::vector<FormulaRow> ListFormulas(Database* db);

bool SetSimilarityType(Database* db, const std::string& instanceType, const Variant& value);

}  // namespace korvane::store
