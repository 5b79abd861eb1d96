// MetaSimilarity.cpp: the formula table shared by similarity, decision and
// feedback formulas, and the similarity option.
#include "store/MetaSimilarity.h"

#include "store/MetaKeyValue.h"

namespace korvane::store {

std::optional<TableDef> EnsureSimilarityTable(Database* db) {
  if (!db) return std::nullopt;
  if (auto existing = db->FindTableDef(kSimilarityTable)) return existing;
  TableDef def;
  def.name = kSimilarityTable;
  def.fields = {{"Instance", FieldType::Text}, {"Slot", FieldType::Text}, {"Formula", FieldType::Memo, false, true, 0}};
  def.indexes = {{"Instance", {"Instance", "Slot"}, true, false, true}};
  db->CreateTable(def);
  return db->FindTableDef(kSimilarityTable);
}

std::string GetSimilarityFormula(Database* db, const std::string& instanceType, const std::string& slot) {
  if (!db) return {};
  EnsureSimilarityTable(db);
  Statement select = db->Prepare("SELECT Formula FROM MetaSimilarity WHERE Instance = ? AND Slot = ?");
  select.Bind(1, Variant(instanceType));
  select.Bind(2, Variant(slot));
  if (!select.Step()) return {};
  return select.Column(0).ToText();
}

bool SetSimilarityFormula(Database* db, const std::string& instanceType, const std::string& slot,
                          const std::string& formula) {
  if (!db) return false;
  EnsureSimilarityTable(db);
  Transaction transaction(*db);
  bool added = false;
  if (db->Execute("UPDATE MetaSimilarity SET Formula = ? WHERE Instance = ? AND Slot = ?",
                  {Variant(formula), Variant(instanceType), Variant(slot)}) == 0) {
    db->Execute("INSERT INTO MetaSimilarity (Instance, Slot, Formula) VALUES (?, ?, ?)",
                {Variant(instanceType), Variant(slot), Variant(formula)});
    added = true;
  }
  transaction.Commit();
  return added;
}

std::vector<FormulaRow> ListFormulas(Database* db) {
  std::vector<FormulaRow> rows;
  if (!db || !db->FindTableDef(kSimilarityTable)) return rows;
  auto rs = db->OpenRecordset("SELECT Instance, Slot, Formula FROM MetaSimilarity ORDER BY Instance, Slot");
  for (; !rs->IsEOF(); rs->MoveNext()) rows.push_back({rs->Get(0).ToText(), rs->Get(1).ToText(), rs->Get(2).ToText()});
  return rows;
}

Variant GetSimilarityType(Database* db, const std::string& instanceType) {
  return GetKeyValue(db, instanceType + "_SimilarityType");
}

bool SetSimilarityType(Database* db, const std::string& instanceType, const Variant& value) {
  return SetKeyValue(db, instanceType + "_SimilarityType", value);
}

}  // namespace korvane::store
