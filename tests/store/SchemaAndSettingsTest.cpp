// Tests of the schema functions, the trace table and the settings and
// formula tables, on real model files.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "store/Database.h"
#include "store/MetaDecision.h"
#include "store/MetaKeyValue.h"
#include "store/MetaSimilarity.h"
#include "store/MetaUtility.h"
#include "store/Schema.h"

using namespace korvane;
using namespace korvane::store;

namespace {

Variant StoredType(Database& db, const std::string& key) {
  return db.OpenRecordset("SELECT Type FROM MetaKeyValue WHERE Name = ?", {Variant(key)})->Get(0);
}

long RowCount(Database& db, const std::string& table) {
  return db.OpenRecordset("SELECT * FROM \"" + table + "\"")->RecordCount();
}

}  // namespace

TEST(SchemaFunctions, DisplayNamesLookupsAndSlotNames) {
  EXPECT_EQ(FieldName("X_ID"), "ID");
  EXPECT_EQ(FieldName("X_"), "");
  EXPECT_EQ(FieldName("TIME"), "TIME");
  EXPECT_EQ(FieldName("S_XYZ_Real"), "XYZ");
  EXPECT_EQ(FieldName("S_ABC_XYZ_Real"), "ABC_XYZ");
  EXPECT_EQ(FieldName("D_XYZ_Real"), "XYZ");
  EXPECT_EQ(FieldName("U_XYZ_Real"), "XYZ");
  EXPECT_EQ(FieldName("S_A_Real"), "A");
  EXPECT_EQ(FieldName("Q_XYZ_Real"), "XYZ");
  EXPECT_EQ(FieldName("QQQ_XYZ_Real"), "XYZ");
  EXPECT_EQ(FieldName("Q_ABC_XYZ_Real"), "ABC");
  EXPECT_EQ(FieldName("Q_XYZ"), "XYZ");
  EXPECT_EQ(FieldName("s_XYZ_Real"), "XYZ");  // prefixes are case-sensitive: rule 4
  EXPECT_EQ(FieldName("x_ID_Long"), "ID");
  EXPECT_EQ(FieldName("S_A"), "A");  // no type word: no failure

  TableDef notes;
  notes.name = "Notes";
  notes.fields = {{"X_ID", FieldType::Long}, {"Notes", FieldType::Memo}, {"S_Price_Real", FieldType::Double}};
  EXPECT_EQ(FindFieldIndex(notes, "NotField", true), -1);
  EXPECT_EQ(FindFieldIndex(notes, "X_ID", true), 0);
  EXPECT_EQ(FindFieldIndex(notes, "Notes", true), 1);
  EXPECT_EQ(FindFieldIndex(notes, "ID", false), 0);
  EXPECT_EQ(FindFieldIndex(notes, "X_ID", false), -1);
  for (const char* name : {"price", "PRICE", "Price"}) EXPECT_EQ(FindFieldIndex(notes, name, false), 2) << name;
  EXPECT_TRUE(FieldExists(notes, "x_id"));
  EXPECT_FALSE(FieldExists(notes, "ID"));

  TableDef table;
  table.name = "MetaNotes";
  EXPECT_TRUE(IsSystemTable(table));
  table.name = "metaNotes";
  EXPECT_FALSE(IsSystemTable(table));
  table.attributes = kSystemObjectAttribute;
  EXPECT_TRUE(IsSystemTable(table));

  EXPECT_FALSE(IsValidSlotName(""));
  EXPECT_TRUE(IsValidSlotName("Price_2"));
  EXPECT_TRUE(IsValidSlotName("_"));
  EXPECT_FALSE(IsValidSlotName("Price 2"));
  EXPECT_FALSE(IsValidSlotName("Pr\xc3\xa9is"));
  EXPECT_FALSE(IsValidSlotName("a-b"));

  EXPECT_FALSE(FindTableDef(nullptr, "I1"));
  EXPECT_FALSE(GetOrCreateMetaInstance(nullptr));
}

TEST(SchemaFunctions, TraceTableIsCreatedOnceWithItsLayout) {
  test::TempDir dir;
  auto db = Database::Create(dir.File("m.mdb"));
  auto trace = GetOrCreateMetaInstance(db.get());
  ASSERT_TRUE(trace);
  const char* columns[] = {"SubjectID", "Time",       "InstanceType", "TrialNumber", "Instance", "Marker",  "Activation",
                           "Similarity", "BLL",       "Noise",        "Selected",    "Executed", "Feedback"};
  const FieldType types[] = {FieldType::Long,   FieldType::DateTime, FieldType::Text,   FieldType::Long,
                             FieldType::Long,   FieldType::Text,     FieldType::Double, FieldType::Double,
                             FieldType::Double, FieldType::Double,   FieldType::Boolean, FieldType::Boolean,
                             FieldType::Double};
  ASSERT_EQ(trace->fields.size(), 13u);
  for (int i = 0; i < 13; ++i) {
    EXPECT_EQ(trace->fields[i].name, columns[i]);
    EXPECT_EQ(trace->fields[i].type, types[i]) << columns[i];
  }
  ASSERT_EQ(trace->indexes.size(), 5u);
  const char* indexes[] = {"TimeIdx", "SubjectIdx", "TrialNumberIdx", "InstanceIdx", "Composite4Idx"};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(trace->indexes[i].name, indexes[i]);
    EXPECT_EQ(trace->indexes[i].required, i < 4);
    EXPECT_FALSE(trace->indexes[i].unique);
    EXPECT_FALSE(trace->indexes[i].primary);
  }
  EXPECT_EQ(trace->indexes[4].fields,
            (std::vector<std::string>{"InstanceType", "SubjectID", "TrialNumber", "Instance", "Marker"}));
  EXPECT_TRUE(IsSystemTable(*trace));

  // An existing table is returned as it is, rows and all.
  db->Execute("INSERT INTO MetaInstance (SubjectID, Time, InstanceType, TrialNumber, Instance, Marker) "
              "VALUES (1, NOW(), 'I1', 1, 0, 'ACAL')");
  db->AppendField("MetaInstance", {"Extra", FieldType::Double});
  auto again = GetOrCreateMetaInstance(db.get());
  EXPECT_EQ(again->fields.size(), 14u);
  EXPECT_EQ(RowCount(*db, "MetaInstance"), 1);
}

TEST(Settings, ValuesAreTypedAsTheyAreWritten) {
  test::TempDir dir;
  auto db = Database::Create(dir.File("m.mdb"));
  Database* d = db.get();
  EXPECT_TRUE(ListKeyValues(d).empty());
  EXPECT_TRUE(ListFormulas(d).empty());
  EXPECT_FALSE(db->FindTableDef("MetaKeyValue"));  // listing creates nothing

  // Reading a key never written: empty, and the table is there afterwards.
  EXPECT_TRUE(GetKeyValue(d, "Params_S_Value").IsEmpty());
  EXPECT_TRUE(db->FindTableDef("MetaKeyValue"));
  EXPECT_FALSE(HasKeyValue(d, "Params_S_Value"));

  EXPECT_TRUE(SetKeyValue(d, "A", Variant("0.5")));
  EXPECT_EQ(StoredType(*db, "A"), Variant("NUMERIC"));
  EXPECT_EQ(GetKeyValue(d, "A"), Variant(0.5));
  EXPECT_TRUE(SetKeyValue(d, "B", Variant("12abc")));
  EXPECT_EQ(StoredType(*db, "B"), Variant("STRING"));
  EXPECT_EQ(GetKeyValue(d, "B"), Variant("12abc"));
  EXPECT_TRUE(SetKeyValue(d, "C", Variant(std::int32_t{12})));
  EXPECT_EQ(StoredType(*db, "C"), Variant("NUMERIC"));
  EXPECT_EQ(GetKeyValue(d, "C"), Variant(12.0));
  SetKeyValue(d, "D", Variant(0.1 + 0.2));  // kept exactly
  EXPECT_EQ(GetKeyValue(d, "D"), Variant(0.1 + 0.2));
  SetKeyValue(d, "E", Variant());  // an empty value counts as numeric
  EXPECT_EQ(StoredType(*db, "E"), Variant("NUMERIC"));
  EXPECT_EQ(GetKeyValue(d, "E"), Variant(0.0));
  SetKeyValue(d, "F", Variant(true));
  EXPECT_EQ(GetKeyValue(d, "F"), Variant(1.0));
  SetKeyValue(d, "G", Variant::Object(nullptr));
  EXPECT_EQ(StoredType(*db, "G"), Variant("NULL"));
  EXPECT_TRUE(GetKeyValue(d, "G").IsEmpty());
  SetKeyValue(d, "H", Variant(""));
  EXPECT_EQ(StoredType(*db, "H"), Variant("STRING"));
  EXPECT_EQ(GetKeyValue(d, "H"), Variant(""));
  SetKeyValue(d, "Params_CT_Cmp", Variant(">="));
  EXPECT_EQ(GetKeyValue(d, "Params_CT_Cmp"), Variant(">="));

  // A second write changes the one row and says so; keys are case-sensitive
  // and any text, an apostrophe too, is a key.
  EXPECT_FALSE(SetKeyValue(d, "A", Variant("abc")));
  EXPECT_EQ(GetKeyValue(d, "A"), Variant("abc"));
  EXPECT_EQ(db->OpenRecordset("SELECT * FROM MetaKeyValue WHERE Name = 'A'")->RecordCount(), 1);
  EXPECT_TRUE(GetKeyValue(d, "a").IsEmpty());
  EXPECT_TRUE(SetKeyValue(d, "it's", Variant("x' OR '1'='1")));
  EXPECT_EQ(GetKeyValue(d, "it's"), Variant("x' OR '1'='1"));
  EXPECT_TRUE(HasKeyValue(d, "it's"));
  EXPECT_FALSE(HasKeyValue(d, "it"));
  EXPECT_NE(GetKeyValue(d, "A"), Variant("x' OR '1'='1"));

  // With no database nothing happens.
  EXPECT_TRUE(GetKeyValue(nullptr, "A").IsEmpty());
  EXPECT_FALSE(SetKeyValue(nullptr, "A", Variant(1.0)));
  EXPECT_FALSE(HasKeyValue(nullptr, "A"));
  EXPECT_FALSE(EnsureKeyValueTable(nullptr));

  // Listing reads what is stored, in key order.
  EXPECT_EQ(GetKeyValueType(d, "B"), "STRING");
  EXPECT_EQ(GetKeyValueType(d, "nothing"), "");
  auto rows = ListKeyValues(d);
  ASSERT_EQ(rows.size(), 10u);
  EXPECT_EQ(rows[0].name, "A");
  EXPECT_EQ(rows[2].type, "NUMERIC");
  EXPECT_EQ(rows[2].value, Variant("12"));
  EXPECT_EQ(CountRows(d, "MetaKeyValue"), 10);

  auto def = EnsureKeyValueTable(d);
  ASSERT_TRUE(def && def->FindIndex("Name"));
  EXPECT_TRUE(def->FindIndex("Name")->primary);
  EXPECT_TRUE(def->fields[2].allowZeroLength);
}

TEST(Settings, FormulaTablesAndOptions) {
  test::TempDir dir;
  auto db = Database::Create(dir.File("m.mdb"));
  Database* d = db.get();

  EXPECT_EQ(GetSimilarityFormula(d, "I1", "GLOBAL"), "");
  EXPECT_TRUE(SetSimilarityFormula(d, "I1", "GLOBAL", "SIM = 1"));
  EXPECT_FALSE(SetSimilarityFormula(d, "I1", "GLOBAL", "SIM = 0.5"));
  EXPECT_TRUE(SetSimilarityFormula(d, "I1", "Price", "SIM = 'it''s'"));
  EXPECT_TRUE(SetDecisionFormula(d, "I1", "GLOBAL_DECISION", "D = 1"));
  EXPECT_TRUE(SetDecisionFormula(d, "I1", "D_Choice_String", "D = 2"));
  EXPECT_TRUE(SetDecisionFormula(d, "I1", std::string("D_Choice_String") + kFailureSuffix, "D = 3"));
  EXPECT_TRUE(SetDecisionFormula(d, "I1", kFeedbackSlot, ""));
  EXPECT_TRUE(SetSimilarityFormula(d, "I2", "GLOBAL", "SIM = 2"));
  EXPECT_EQ(GetSimilarityFormula(d, "I1", "GLOBAL"), "SIM = 0.5");
  EXPECT_EQ(GetSimilarityFormula(d, "I1", "Price"), "SIM = 'it''s'");
  EXPECT_EQ(GetDecisionFormula(d, "I1", "GLOBAL_DECISION"), "D = 1");
  EXPECT_EQ(GetDecisionFormula(d, "I1", "D_Choice_String_FAILURE"), "D = 3");
  EXPECT_EQ(GetDecisionFormula(d, "I1", "FEEDBACK"), "");
  EXPECT_EQ(GetSimilarityFormula(d, "I2", "GLOBAL"), "SIM = 2");
  EXPECT_EQ(RowCount(*db, "MetaSimilarity"), 7);
  auto formulas = ListFormulas(d);
  ASSERT_EQ(formulas.size(), 7u);
  EXPECT_EQ(formulas[0].instanceType, "I1");
  EXPECT_EQ(formulas[0].slot, "D_Choice_String");
  EXPECT_EQ(formulas.back().formula, "SIM = 2");
  auto def = EnsureSimilarityTable(d);
  EXPECT_TRUE(def->FindIndex("Instance")->primary);
  EXPECT_EQ(def->FindIndex("Instance")->fields, (std::vector<std::string>{"Instance", "Slot"}));

  EXPECT_TRUE(GetSimilarityType(d, "I1").IsEmpty());
  SetSimilarityType(d, "I1", Variant(std::int32_t{1}));
  SetDecisionType(d, "I1", Variant(std::int16_t{0}));
  EXPECT_EQ(GetSimilarityType(d, "I1"), Variant(1.0));
  EXPECT_EQ(GetDecisionType(d, "I1"), Variant(0.0));
  EXPECT_EQ(GetKeyValue(d, "I1_SimilarityType"), Variant(1.0));

  EXPECT_EQ(GetJudgmentFormula(d, "I1", true), "");
  EXPECT_TRUE(SetJudgmentFormula(d, "I1", true, "U = Memory.U"));
  EXPECT_TRUE(SetJudgmentFormula(d, "I1", false, "U = 0"));
  EXPECT_EQ(GetJudgmentFormula(d, "I1", 2), "U = Memory.U");
  EXPECT_EQ(GetJudgmentFormula(d, "I1", 0), "U = 0");
  EXPECT_EQ(GetKeyValue(d, "I1_JudgmentSucceedFormula"), Variant("U = Memory.U"));
  SetJudgmentFormula(d, "I1", false, "1");  // a formula that is only a number
  EXPECT_EQ(GetJudgmentFormula(d, "I1", false), "1");

  EXPECT_EQ(GetSimilarityFormula(nullptr, "I1", "GLOBAL"), "");
  EXPECT_FALSE(SetDecisionFormula(nullptr, "I1", "GLOBAL", "x"));
  EXPECT_EQ(GetJudgmentFormula(nullptr, "I1", true), "");
}
