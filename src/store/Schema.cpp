// Schema.cpp: column display names, table and column look-ups, and the
// get-or-create of the trace table MetaInstance.
#include "store/Schema.h"

#include <cctype>

namespace korvane::store {

namespace {
std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}
}  // namespace

std::string FieldName(const std::string& name) {
  if (name.rfind("X_", 0) == 0) return name.substr(2);
  std::size_t first = name.find('_');
  if (first == std::string::npos) return name;
  if (name.rfind("S_", 0) == 0 || name.rfind("D_", 0) == 0 || name.rfind("U_", 0) == 0) {
    std::size_t last = name.rfind('_');
    // "S_A" has no type word: the rest after the aspect is the name.
    if (last < 2) return name.substr(2);
    return name.substr(2, last - 2);
  }
  std::size_t second = name.find('_', first + 1);
  return name.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
}

std::string FieldName(const FieldInfo& field) { return FieldName(field.name); }

int FindFieldIndex(const TableDef& table, const std::string& name, bool exact) {
  std::string wanted = Upper(name);
  for (std::size_t i = 0; i < table.fields.size(); ++i) {
    const std::string& column = table.fields[i].name;
    if (Upper(exact ? column : FieldName(column)) == wanted) return static_cast<int>(i);
  }
  return -1;
}

bool FieldExists(const TableDef& table, const std::string& name) { return FindFieldIndex(table, name, true) >= 0; }

std::optional<TableDef> FindTableDef(Database* db, const std::string& name) {
  if (!db) return std::nullopt;
  return db->FindTableDef(name);
}

long CountRows(Database* db, const std::string& table) {
  if (!db) return 0;
  if (!db->FindTableDef(table)) throw Error(ErrorNumber::ItemNotFound, "Korvane.Schema", "The table '" + table + "' does not exist.");
  return static_cast<long>(db->OpenRecordset("SELECT COUNT(*) FROM \"" + table + "\"")->Get(0).ToNumber());
}

bool IsSystemTable(const TableDef& table) {
  return (table.attributes & kSystemObjectAttribute) != 0 || table.name.rfind("Meta", 0) == 0;
}

bool IsValidSlotName(const std::string& text) {
  if (text.empty()) return false;
  for (unsigned char c : text)
    if (!std::isalnum(c) && c != '_') return false;
  return true;
}

namespace {
// The table def.name as it is, or made from def when it is missing (its
// columns and indexes are not checked when it exists).
std::optional<TableDef> GetOrCreate(Database* db, const TableDef& def) {
  if (!db) return std::nullopt;
  if (auto existing = db->FindTableDef(def.name)) return existing;
  db->CreateTable(def);
  return db->FindTableDef(def.name);
}
}  // namespace

std::optional<TableDef> GetOrCreateMetaInstance(Database* db) {
  TableDef def;
  def.name = kMetaInstanceTable;
  def.fields = {{"SubjectID", FieldType::Long},     {"Time", FieldType::DateTime},     {"InstanceType", FieldType::Text},
                {"TrialNumber", FieldType::Long},   {"Instance", FieldType::Long},     {"Marker", FieldType::Text},
                {"Activation", FieldType::Double},  {"Similarity", FieldType::Double}, {"BLL", FieldType::Double},
                {"Noise", FieldType::Double},       {"Selected", FieldType::Boolean},  {"Executed", FieldType::Boolean},
                {"Feedback", FieldType::Double}};
  def.indexes = TraceIndexes();
  return GetOrCreate(db, def);
}

const std::vector<IndexInfo>& TraceIndexes() {
  static const std::vector<IndexInfo> indexes = {
      {"TimeIdx", {"Time"}, false, true, false},
      {"SubjectIdx", {"SubjectID"}, false, true, false},
      {"TrialNumberIdx", {"TrialNumber"}, false, true, false},
      {"InstanceIdx", {"Instance"}, false, true, false},
      {"Composite4Idx", {"InstanceType", "SubjectID", "TrialNumber", "Instance", "Marker"}, false, false, false}};
  return indexes;
}

void SuspendTraceIndexes(Database* db) {
  if (!db || !db->FindTableDef(kMetaInstanceTable)) return;
  Transaction transaction(*db);
  for (const IndexInfo& index : TraceIndexes()) db->DeleteIndex(kMetaInstanceTable, index.name);
  transaction.Commit();
}

int RestoreTraceIndexes(Database* db) {
  if (!db) return 0;
  auto table = db->FindTableDef(kMetaInstanceTable);
  if (!table) return 0;
  int created = 0;
  Transaction transaction(*db);
  for (const IndexInfo& index : TraceIndexes()) {
    if (table->FindIndex(index.name)) continue;
    db->AppendIndex(kMetaInstanceTable, index);
    ++created;
  }
  transaction.Commit();
  return created;
}

std::optional<TableDef> GetOrCreateMetaMerge(Database* db) {
  TableDef def;
  def.name = kMetaMergeTable;
  def.fields = {{"SubjectID", FieldType::Long},
                {"InstanceType", FieldType::Text},
                {"TrialNumber", FieldType::Long},
                {"Instance", FieldType::Long},
                {"MergedInto", FieldType::Long}};
  def.indexes = {{"MergeInstanceIdx", {"InstanceType", "Instance"}, false, false, false}};
  return GetOrCreate(db, def);
}

std::optional<TableDef> GetOrCreateMetaBlend(Database* db) {
  TableDef def;
  def.name = kMetaBlendTable;
  def.fields = {{"SubjectID", FieldType::Long},  {"InstanceType", FieldType::Text}, {"TrialNumber", FieldType::Long},
                {"CueNumber", FieldType::Long},  {"Instance", FieldType::Long},     {"Probability", FieldType::Double}};
  def.indexes = {{"BlendTrialIdx", {"InstanceType", "SubjectID", "TrialNumber"}, false, false, false}};
  return GetOrCreate(db, def);
}

std::optional<TableDef> GetOrCreateMetaCue(Database* db) {
  TableDef def;
  def.name = kMetaCueTable;
  def.fields = {{"SubjectID", FieldType::Long},     {"InstanceType", FieldType::Text},
                {"TrialNumber", FieldType::Long},   {"TraceTrial", FieldType::Long},
                {"CueNumber", FieldType::Long},     {"ModelTime", FieldType::Double},
                {"Path", FieldType::Text},          {"Instance", FieldType::Long},
                {"Utility", FieldType::Double},     {"Activation", FieldType::Double},
                {"RetrievalTime", FieldType::Double}, {"Executed", FieldType::Long},
                {"Feedback", FieldType::Double},    {"UtilityAfter", FieldType::Double},
                {"Situation", FieldType::Memo},     {"Decision", FieldType::Memo}};
  def.fields[14].allowZeroLength = true;
  def.fields[15].allowZeroLength = true;
  def.indexes = {{"CueTrialIdx", {"InstanceType", "SubjectID", "TrialNumber", "CueNumber"}, false, false, false}};
  return GetOrCreate(db, def);
}

}  // namespace korvane::store
