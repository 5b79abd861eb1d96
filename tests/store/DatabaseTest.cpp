// Tests of the SQLite layer: files, schema, record sets, statements and the
// conversions on write, all on real files in a temporary folder.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "TestSupport.h"
#include "store/Database.h"

using namespace korvane;
using namespace korvane::store;

namespace korvane {
// Readable values in failure messages of every store test.
void PrintTo(const Variant& value, std::ostream* out) {
  static const char* const kinds[] = {"Empty", "Null", "Integer", "Long", "Double", "String", "Boolean", "Date", "Object"};
  *out << kinds[static_cast<int>(value.Type())] << "(" << value.ToText() << ")";
}
}  // namespace korvane

namespace {

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

template <typename F>
std::int32_t ErrorOf(F&& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.Number();
  }
  return 0;
}

// A table with one field of each type, as an instance-type table looks.
TableDef SampleTable(const std::string& name) {
  TableDef def;
  def.name = name;
  def.fields = {{"X_ID", FieldType::Long, true, false, 0},
                {"X_Subject", FieldType::Long, false, false, 0},
                {"X_Prepopulated", FieldType::Boolean, false, false, 0},
                {"X_Created", FieldType::DateTime, false, false, 0},
                {"S_Count_Integer", FieldType::Integer, false, false, 0},
                {"S_Price_Real", FieldType::Double, false, false, 0},
                {"S_Name_String", FieldType::Text, false, false, 0},
                {"Notes", FieldType::Memo, false, true, 0}};
  def.indexes = {{"PrimaryKey", {"X_ID"}, true, false, true}, {"SubjectIdx", {"X_Subject"}, false, false, false}};
  return def;
}

}  // namespace

TEST(DatabaseFiles, CreateOpenAndRefuseWhatIsNotAModelFile) {
  test::TempDir dir;
  std::string path = dir.File("m.mdb");
  {
    auto db = Database::Create(path);
    EXPECT_TRUE(db->IsOpen());
    EXPECT_EQ(db->Path(), path);
  }
  EXPECT_EQ(ErrorOf([&] { Database::Create(path); }), StoreError::FileAlreadyExists);
  EXPECT_TRUE(Database::Open(path)->IsOpen());

  // Access files, random bytes: refused, and left exactly as they were.
  std::string jet(2048, '\0');
  jet.replace(4, 15, "Standard Jet DB");
  std::string ace(2048, '\x11');
  ace.replace(0, 4, std::string("\0\1\0\0", 4));
  ace.replace(4, 15, "Standard ACE DB");
  std::string noise;
  for (int i = 0; i < 4096; ++i) noise += static_cast<char>((i * 7919 + 13) % 251);
  for (const auto& [name, bytes] : {std::pair{"jet.mdb", jet}, {"ace.accdb", ace}, {"noise.mdb", noise}}) {
    std::string file = dir.File(name);
    WriteBytes(file, bytes);
    try {
      Database::Open(file);
      ADD_FAILURE() << name << " was opened";
    } catch (const Error& e) {
      EXPECT_EQ(e.Number(), ErrorNumber::NotADatabase) << name;
      if (std::string(name) != "noise.mdb") {
        EXPECT_NE(e.Description().find("Access"), std::string::npos);
      }
    }
    EXPECT_EQ(ReadBytes(file), bytes) << name;
    EXPECT_FALSE(std::filesystem::exists(file + "-wal"));
  }
  // A damaged SQLite file (right signature, garbage after it) is refused too.
  std::string damaged = "SQLite format 3" + std::string(1, '\0') + noise;
  WriteBytes(dir.File("damaged.mdb"), damaged);
  EXPECT_NE(ErrorOf([&] { Database::Open(dir.File("damaged.mdb")); }), 0);
  EXPECT_EQ(ReadBytes(dir.File("damaged.mdb")), damaged);

  EXPECT_EQ(ErrorOf([&] { Database::Open(dir.File("missing.mdb")); }), StoreError::FileNotFound);
  EXPECT_EQ(ErrorOf([&] { Database::Open(dir.File("no/such/folder/m.mdb")); }), StoreError::InvalidPath);
  EXPECT_EQ(ErrorOf([&] { Database::Create(dir.File("no/such/folder/m.mdb")); }), StoreError::InvalidPath);
  EXPECT_EQ(ErrorOf([&] { Database::Open("   "); }), StoreError::InvalidPath);
  EXPECT_EQ(ErrorOf([&] { Database::Open(dir.Path()); }), StoreError::FileNotFound);

  std::string readOnly = dir.File("ro.mdb");
  Database::Create(readOnly)->Execute("CREATE TABLE t (a INTEGER)");
  std::string before = ReadBytes(readOnly);
  chmod(readOnly.c_str(), 0444);
  EXPECT_EQ(ErrorOf([&] { Database::Open(readOnly); }), ErrorNumber::ReadOnlyDatabase);
  EXPECT_EQ(ReadBytes(readOnly), before);
  chmod(readOnly.c_str(), 0644);
}

TEST(DatabaseSchema, DefinitionsRoundTripWithFlagsAndPerTableIndexNames) {
  test::TempDir dir;
  auto db = Database::Create(dir.File("m.mdb"));
  db->CreateTable(SampleTable("I1"));
  db->CreateTable(SampleTable("I2"));  // SubjectIdx again, on another table
  TableDef trace;
  trace.name = "MetaInstance";
  trace.fields = {{"SubjectID", FieldType::Long}, {"Time", FieldType::DateTime}, {"Marker", FieldType::Text}};
  trace.indexes = {{"TimeIdx", {"Time"}, false, true, false},
                   {"Composite", {"Marker", "SubjectID"}, false, false, false}};
  db->CreateTable(trace);

  auto i1 = db->FindTableDef("I1");
  ASSERT_TRUE(i1);
  ASSERT_EQ(i1->fields.size(), 8u);
  const FieldType expected[] = {FieldType::Long,     FieldType::Long,   FieldType::Boolean, FieldType::DateTime,
                                FieldType::Integer, FieldType::Double, FieldType::Text,    FieldType::Memo};
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(i1->fields[i].type, expected[i]) << i1->fields[i].name;
    EXPECT_EQ(i1->fields[i].ordinalPosition, i);
  }
  EXPECT_TRUE(i1->fields[0].autoIncrement);
  EXPECT_FALSE(i1->fields[1].autoIncrement);
  EXPECT_FALSE(i1->fields[6].allowZeroLength);
  EXPECT_TRUE(i1->fields[7].allowZeroLength);
  EXPECT_EQ(i1->attributes, 0u);
  ASSERT_NE(i1->FindIndex("PrimaryKey"), nullptr);
  EXPECT_TRUE(i1->FindIndex("PrimaryKey")->primary);
  EXPECT_EQ(i1->FindIndex("primarykey"), nullptr);
  EXPECT_EQ(i1->FieldPosition("s_price_real"), 5);
  ASSERT_NE(db->FindTableDef("I2")->FindIndex("SubjectIdx"), nullptr);

  auto meta = db->FindTableDef("MetaInstance");
  ASSERT_EQ(meta->indexes.size(), 2u);
  EXPECT_EQ(meta->indexes[0].name, "TimeIdx");
  EXPECT_TRUE(meta->indexes[0].required);
  EXPECT_FALSE(meta->indexes[0].unique);
  EXPECT_EQ(meta->indexes[1].fields, (std::vector<std::string>{"Marker", "SubjectID"}));
  EXPECT_FALSE(meta->indexes[1].required);

  // Lookups are exact; the engine's own tables are marked.
  EXPECT_FALSE(db->FindTableDef("i1"));
  EXPECT_FALSE(db->FindTableDef("Nothing"));
  bool sawSystem = false;
  for (const auto& t : db->TableDefs()) {
    if (t.name.rfind("sqlite_", 0) == 0 || t.name.rfind("MSys", 0) == 0) {
      EXPECT_EQ(t.attributes, kSystemObjectAttribute) << t.name;
      sawSystem = true;
    }
  }
  EXPECT_TRUE(sawSystem);
  EXPECT_NE(ErrorOf([&] { db->CreateTable(SampleTable("I1")); }), 0);
  EXPECT_NE(ErrorOf([&] { db->CreateTable(SampleTable("bad\"name")); }), 0);

  // Append, rename and delete fields; an index goes with its field.
  db->AppendField("I1", {"D_Choice_String", FieldType::Text, false, true, 0});
  db->AppendField("I1", {"X_Working_Memory", FieldType::Boolean});
  db->AppendIndex("I1", {"X_PrepopulatedIdx", {"X_Prepopulated"}, false, true, false});
  EXPECT_NE(ErrorOf([&] { db->AppendIndex("I1", {"X_PrepopulatedIdx", {"X_Subject"}}); }), 0);
  EXPECT_NE(ErrorOf([&] { db->AppendField("I1", {"x_subject", FieldType::Long}); }), 0);
  db->RenameField("I1", "S_Price_Real", "S_Cost_Real");
  db->DeleteField("I1", "X_Subject");
  i1 = db->FindTableDef("I1");
  EXPECT_EQ(i1->FieldPosition("S_Price_Real"), -1);
  EXPECT_EQ(i1->fields[i1->FieldPosition("S_Cost_Real")].type, FieldType::Double);
  EXPECT_TRUE(i1->fields[i1->FieldPosition("D_Choice_String")].allowZeroLength);
  EXPECT_EQ(i1->FindIndex("SubjectIdx"), nullptr);
  EXPECT_TRUE(i1->FindIndex("X_PrepopulatedIdx")->required);
  EXPECT_TRUE(db->FindTableDef("I2")->FindIndex("SubjectIdx"));
  EXPECT_EQ(ErrorOf([&] { db->DeleteField("I1", "Nope"); }), ErrorNumber::ItemNotFound);
  db->Execute("CREATE INDEX PlainSqlIdx ON I1 (S_Count_Integer, X_Created)");
  db->DeleteField("I1", "s_count_integer");
  EXPECT_EQ(db->FindTableDef("I1")->FieldPosition("S_Count_Integer"), -1);
  EXPECT_EQ(db->FindTableDef("I1")->FindIndex("PlainSqlIdx"), nullptr);

  db->DeleteTable("I2");
  EXPECT_FALSE(db->FindTableDef("I2"));
  db->CreateTable(SampleTable("I2"));  // its index names are free again
  EXPECT_TRUE(db->FindTableDef("I2")->FindIndex("PrimaryKey"));
}

TEST(DatabaseValues, ConversionsOnWriteAndTypesOnRead) {
  test::TempDir dir;
  auto db = Database::Create(dir.File("m.mdb"));
  db->CreateTable(SampleTable("I1"));
  auto rs = db->OpenTable("I1");
  ASSERT_TRUE(rs->Updatable());

  rs->AddNew();
  rs->Set("X_Subject", "12");
  rs->Set("S_Count_Integer", 2.5);
  rs->Set("S_Price_Real", "0.25");
  rs->Set("S_Name_String", 3.5);
  rs->Set("X_Prepopulated", true);
  rs->Set("X_Created", DateValue{46000.5});
  rs->Update();
  rs->AddNew();
  rs->Set("S_Count_Integer", 3.5);
  rs->Set("X_Subject", -7.5);
  rs->Update();
  rs->MoveFirst();
  EXPECT_EQ(rs->Get("X_ID"), Variant(std::int32_t{1}));
  EXPECT_EQ(rs->Get("X_Subject"), Variant(std::int32_t{12}));
  EXPECT_EQ(rs->Get("S_Count_Integer"), Variant(std::int16_t{2}));  // half to even
  EXPECT_EQ(rs->Get("S_Price_Real"), Variant(0.25));
  EXPECT_EQ(rs->Get("S_Name_String"), Variant("3.5"));
  EXPECT_EQ(rs->Get("X_Prepopulated"), Variant(true));
  EXPECT_EQ(rs->Get("X_Created"), Variant(DateValue{46000.5}));
  EXPECT_TRUE(rs->Get("Notes").IsNull());
  EXPECT_TRUE(rs->Get(7).IsNull());
  rs->MoveNext();
  EXPECT_EQ(rs->Get("S_Count_Integer"), Variant(std::int16_t{4}));
  EXPECT_EQ(rs->Get("X_Subject"), Variant(std::int32_t{-8}));
  EXPECT_EQ(rs->Get("X_Prepopulated"), Variant(false));  // a yes/no field is never null

  // Refused values: the row keeps what it had.
  rs->Edit();
  EXPECT_EQ(ErrorOf([&] { rs->Set("S_Price_Real", "12abc"); }), ErrorNumber::DataTypeConversion);
  EXPECT_EQ(ErrorOf([&] { rs->Set("X_Subject", "abc"); }), ErrorNumber::DataTypeConversion);
  EXPECT_EQ(ErrorOf([&] { rs->Set("S_Count_Integer", 40000); }), ErrorNumber::Overflow);
  EXPECT_EQ(ErrorOf([&] { rs->Set("X_Subject", 3e9); }), ErrorNumber::Overflow);
  EXPECT_EQ(ErrorOf([&] { rs->Set("X_Created", "not a date"); }), ErrorNumber::DataTypeConversion);
  EXPECT_EQ(ErrorOf([&] { rs->Set("S_Name_String", ""); }), StoreError::ZeroLengthString);
  EXPECT_EQ(ErrorOf([&] { rs->Set("Nope", 1); }), ErrorNumber::ItemNotFound);
  rs->Set("Notes", "");  // this one allows ""
  rs->Set("X_Created", "2026-12-07 10:11:12.345");
  rs->Update();
  EXPECT_EQ(rs->Get("Notes"), Variant(""));
  EXPECT_EQ(FormatDate(rs->Get("X_Created").AsDate(), true), "2026-12-07 10:11:12.345");
  EXPECT_EQ(rs->Get("X_Subject"), Variant(std::int32_t{-8}));

  // The same conversion, for callers with their own statements.
  EXPECT_EQ(ConvertForField({"n", FieldType::Integer}, Variant("2.5")), Variant(std::int16_t{2}));
  EXPECT_EQ(ConvertForField({"n", FieldType::Long}, Variant(true)), Variant(std::int32_t{-1}));
  EXPECT_EQ(ConvertForField({"b", FieldType::Boolean}, Variant::Null()), Variant(false));
  EXPECT_EQ(ConvertForField({"b", FieldType::Boolean}, Variant("yes")), Variant(true));
  EXPECT_EQ(ConvertForField({"t", FieldType::Text}, Variant(0.5)), Variant("0.5"));
  EXPECT_TRUE(ConvertForField({"d", FieldType::Double}, Variant()).IsNull());
  EXPECT_EQ(ErrorOf([] { ConvertForField({"b", FieldType::Boolean}, Variant("maybe")); }),
            ErrorNumber::DataTypeConversion);

  // Plain SQL: NOW(), TRUE/FALSE, UPDATE DISTINCTROW; values bound, not pasted.
  db->Execute("INSERT INTO I1 (X_Subject, X_Created, X_Prepopulated, S_Name_String) VALUES (0, NOW(), TRUE, ?)",
              {Variant("it's DISTINCTROW")});
  EXPECT_EQ(db->Execute("UPDATE DISTINCTROW I1 SET X_Prepopulated = FALSE WHERE X_Subject = 0"), 1);
  auto last = db->OpenRecordset("SELECT X_Created, X_Prepopulated, S_Name_String FROM I1 WHERE X_Subject = 0");
  ASSERT_EQ(last->RecordCount(), 1);
  EXPECT_EQ(last->Get("X_Created").Type(), VariantType::Date);
  EXPECT_LT(std::abs(last->Get("X_Created").AsDate().days - DateNow().days), 1.0 / 24);
  EXPECT_EQ(last->Get("X_Prepopulated"), Variant(false));
  EXPECT_EQ(last->Get(2), Variant("it's DISTINCTROW"));
  EXPECT_NE(ErrorOf([&] { db->Execute("UPDATE I1 SET X_Subject = 1; DELETE FROM I1"); }), 0);

  // Computed columns keep their own type.
  auto count = db->OpenRecordset("SELECT COUNT(*) AS N, MAX(S_Price_Real) AS M FROM I1");
  EXPECT_FALSE(count->Updatable());
  EXPECT_EQ(count->Get("N"), Variant(std::int32_t{3}));
  EXPECT_EQ(count->Get("m"), Variant(0.25));
}

TEST(DatabaseRecordsets, NavigationEditingAndBookmarks) {
  test::TempDir dir;
  auto db = Database::Create(dir.File("m.mdb"));
  db->CreateTable(SampleTable("I1"));
  for (int i = 1; i <= 5; ++i) db->Execute("INSERT INTO I1 (X_Subject) VALUES (?)", {Variant(std::int32_t{i})});

  auto empty = db->OpenRecordset("SELECT * FROM I1 WHERE X_Subject > 99");
  EXPECT_TRUE(empty->IsEOF());
  EXPECT_TRUE(empty->IsBOF());
  EXPECT_EQ(empty->RecordCount(), 0);
  empty->MoveFirst();
  EXPECT_EQ(ErrorOf([&] { empty->Get("X_ID"); }), ErrorNumber::NoCurrentRecord);
  EXPECT_EQ(ErrorOf([&] { empty->MoveNext(); }), ErrorNumber::NoCurrentRecord);

  auto rs = db->OpenRecordset("SELECT X_ID, X_Subject FROM I1 WHERE X_Subject >= ? ORDER BY X_Subject DESC",
                              {Variant(std::int32_t{2})});
  ASSERT_TRUE(rs->Updatable());
  EXPECT_EQ(rs->RecordCount(), 4);
  EXPECT_EQ(rs->Get("x_subject"), Variant(std::int32_t{5}));
  rs->Move(2);
  EXPECT_EQ(rs->Get(1), Variant(std::int32_t{3}));
  Bookmark three = rs->GetBookmark();
  rs->MoveLast();
  EXPECT_EQ(rs->Get(1), Variant(std::int32_t{2}));
  rs->MoveNext();
  EXPECT_TRUE(rs->IsEOF());
  rs->Move(-10);
  EXPECT_TRUE(rs->IsBOF());
  rs->SetBookmark(three);
  EXPECT_EQ(rs->Get(1), Variant(std::int32_t{3}));

  rs->Edit();
  rs->Set("X_Subject", 30);
  EXPECT_EQ(rs->Get("X_Subject"), Variant(std::int32_t{30}));
  rs->Update();
  rs->Edit();
  rs->Set("X_Subject", 31);
  rs->MoveFirst();  // leaving the record drops the edit
  rs->SetBookmark(three);
  EXPECT_EQ(rs->Get("X_Subject"), Variant(std::int32_t{30}));

  // AddNew: the current record stays, the new one comes last.
  rs->AddNew();
  rs->Set("X_Subject", 9);
  rs->Update();
  EXPECT_EQ(rs->Get("X_Subject"), Variant(std::int32_t{30}));
  EXPECT_EQ(rs->RecordCount(), 5);
  rs->MoveLast();
  EXPECT_EQ(rs->GetBookmark(), rs->LastModified());
  EXPECT_EQ(rs->Get("X_ID"), Variant(std::int32_t{6}));

  // Delete: the position stays on the deleted row until the next move.
  rs->SetBookmark(three);
  rs->Delete();
  EXPECT_EQ(ErrorOf([&] { rs->Get(0); }), StoreError::RecordDeleted);
  rs->MoveNext();
  EXPECT_EQ(rs->Get(1), Variant(std::int32_t{2}));
  EXPECT_NE(ErrorOf([&] { rs->SetBookmark(three); }), 0);
  EXPECT_EQ(db->OpenRecordset("SELECT COUNT(*) FROM I1")->Get(0), Variant(std::int32_t{5}));

  // Joins and groups are read-only snapshots.
  EXPECT_FALSE(db->OpenRecordset("SELECT a.X_ID FROM I1 a LEFT JOIN I1 b ON a.X_ID = b.X_Subject")->Updatable());
  EXPECT_FALSE(db->OpenRecordset("SELECT X_Subject FROM I1 GROUP BY X_Subject")->Updatable());
  EXPECT_FALSE(db->OpenRecordset("SELECT DISTINCT X_Subject FROM I1")->Updatable());
  auto ro = db->OpenRecordset("SELECT X_Subject FROM I1 GROUP BY X_Subject");
  EXPECT_NE(ErrorOf([&] { ro->Edit(); }), 0);

  // A required index refuses null through a record set.
  db->AppendIndex("I1", {"SubjectRequired", {"X_Subject"}, false, true, false});
  auto table = db->OpenTable("I1");
  table->AddNew();
  table->Set("S_Price_Real", 1);
  EXPECT_EQ(ErrorOf([&] { table->Update(); }), StoreError::FieldRequired);
  table->CancelUpdate();
  table->Close();
  EXPECT_NE(ErrorOf([&] { table->MoveFirst(); }), 0);
}

TEST(DatabaseConnections, SeveralConnectionsTransactionsStatementsAndCopies) {
  test::TempDir dir;
  std::string path = dir.File("m.mdb");
  auto a = Database::Create(path);
  a->CreateTable(SampleTable("I1"));
  auto b = Database::Open(path);
  auto c = Database::Open(path);

  // A record set open on one connection does not block another's writes.
  auto open = b->OpenTable("I1");
  a->Execute("INSERT INTO I1 (X_Subject) VALUES (1)");
  EXPECT_EQ(c->OpenTable("I1")->RecordCount(), 1);
  auto bs = b->OpenTable("I1");
  bs->MoveFirst();
  bs->Edit();
  bs->Set("X_Subject", 2);
  bs->Update();
  EXPECT_EQ(a->OpenRecordset("SELECT X_Subject FROM I1")->Get(0), Variant(std::int32_t{2}));
  EXPECT_TRUE(b->FindTableDef("I1"));
  c->AppendField("I1", {"S_New_Real", FieldType::Double});
  EXPECT_GE(a->FindTableDef("I1")->FieldPosition("S_New_Real"), 0);

  // Nested transactions: only the outermost commit counts; a rollback undoes all.
  a->BeginTransaction();
  a->BeginTransaction();
  a->Execute("INSERT INTO I1 (X_Subject) VALUES (10)");
  a->CommitTransaction();
  EXPECT_EQ(b->OpenRecordset("SELECT COUNT(*) FROM I1")->Get(0), Variant(std::int32_t{1}));
  a->CommitTransaction();
  EXPECT_EQ(b->OpenRecordset("SELECT COUNT(*) FROM I1")->Get(0), Variant(std::int32_t{2}));
  {
    Transaction t(*a);
    a->Execute("INSERT INTO I1 (X_Subject) VALUES (11)");
  }
  EXPECT_FALSE(a->InTransaction());
  EXPECT_EQ(b->OpenRecordset("SELECT COUNT(*) FROM I1")->Get(0), Variant(std::int32_t{2}));
  {
    Transaction t(*a);
    a->CreateTable(SampleTable("I9"));  // schema changes join the transaction
    a->Execute("INSERT INTO I9 (X_Subject) VALUES (1)");
  }
  EXPECT_FALSE(a->FindTableDef("I9"));

  // Prepared statements for the hot paths.
  {
    Transaction t(*a);
    Statement insert = a->Prepare("INSERT INTO I1 (X_Subject, S_Price_Real, X_Created) VALUES (?, ?, ?)");
    for (int i = 0; i < 100; ++i) {
      insert.Bind(1, Variant(std::int32_t{100 + i}));
      insert.Bind(2, Variant(i / 4.0));
      insert.Bind(3, Variant(DateValue{46000.25}));
      EXPECT_EQ(insert.Run(), 1);
    }
    t.Commit();
  }
  Statement select = c->Prepare("SELECT X_Subject, S_Price_Real, X_Created, COUNT(*) FROM I1 WHERE X_Subject = ?");
  select.Bind(1, Variant(std::int32_t{102}));
  ASSERT_TRUE(select.Step());
  EXPECT_EQ(select.ColumnName(1), "S_Price_Real");
  EXPECT_EQ(select.Column(0), Variant(std::int32_t{102}));
  EXPECT_EQ(select.Column(1), Variant(0.5));
  EXPECT_EQ(select.Column(2), Variant(DateValue{46000.25}));
  EXPECT_EQ(select.Column(3), Variant(std::int32_t{1}));
  EXPECT_FALSE(select.Step());

  // A copy holds every committed change, even while connections are open.
  std::string copy = dir.File("copy.mdb");
  WriteBytes(copy, "old");
  Database::Copy(path, copy);
  EXPECT_EQ(Database::Open(copy)->OpenRecordset("SELECT COUNT(*) FROM I1")->Get(0), Variant(std::int32_t{102}));
  EXPECT_NE(ErrorOf([&] { Database::Copy(path, path); }), 0);

  // After Close, the connection and what it made refuse to work.
  c->Close();
  EXPECT_FALSE(c->IsOpen());
  EXPECT_EQ(ErrorOf([&] { select.Step(); }), StoreError::DatabaseClosed);
  EXPECT_EQ(ErrorOf([&] { c->TableDefs(); }), StoreError::DatabaseClosed);
  c->Close();
}

TEST(DatabaseStatements, ReusedStatementsStartCleanAndFollowTheSchema) {
  test::TempDir dir;
  auto db = Database::Create(dir.File("m.mdb"));
  db->CreateTable(SampleTable("I1"));
  const std::string insert = "INSERT INTO I1 (X_Subject, S_Price_Real) VALUES (?, ?)";
  {
    Statement s = db->Prepare(insert);
    s.Bind(1, Variant(std::int32_t{1}));
    s.Bind(2, Variant(2.5));
    s.Run();
  }
  {
    // The same text again: no value of the earlier use is left bound.
    Statement s = db->Prepare(insert);
    s.Bind(1, Variant(std::int32_t{2}));
    s.Run();
    // Two live statements of one text are two statements.
    Statement other = db->Prepare(insert);
    other.Bind(1, Variant(std::int32_t{3}));
    other.Bind(2, Variant(7.0));
    other.Run();
  }
  auto rows = db->OpenRecordset("SELECT X_Subject, S_Price_Real FROM I1 ORDER BY X_Subject");
  rows->MoveNext();
  EXPECT_EQ(rows->Get(0), Variant(std::int32_t{2}));
  EXPECT_TRUE(rows->Get(1).IsNull());
  rows.reset();

  // A statement given back before a column was added sees the new column.
  const std::string select = "SELECT * FROM I1 WHERE X_Subject = 3";
  int columns = db->Prepare(select).ColumnCount();
  db->AppendField("I1", {"S_New_Real", FieldType::Double});
  {
    Statement s = db->Prepare(select);
    ASSERT_TRUE(s.Step());
    EXPECT_EQ(s.ColumnCount(), columns + 1);
  }
  // A statement held past Close refuses to work and is released safely.
  Statement held = db->Prepare(select);
  db->Close();
  EXPECT_NE(ErrorOf([&] { held.Step(); }), 0);
  EXPECT_NE(ErrorOf([&] { db->Prepare(select); }), 0);
}

TEST(DatabaseSchema, IndexesCanBeDroppedByName) {
  test::TempDir dir;
  auto db = Database::Create(dir.File("m.mdb"));
  db->CreateTable(SampleTable("I1"));
  db->AppendIndex("I1", {"PriceIdx", {"S_Price_Real"}, false, true, false});
  EXPECT_TRUE(db->DeleteIndex("I1", "PriceIdx"));
  EXPECT_FALSE(db->FindTableDef("I1")->FindIndex("PriceIdx"));
  EXPECT_FALSE(db->DeleteIndex("I1", "PriceIdx"));
  EXPECT_FALSE(db->DeleteIndex("I7", "PriceIdx"));
  // The name is free again, with its flags.
  db->AppendIndex("I1", {"PriceIdx", {"S_Price_Real"}, false, false, false});
  EXPECT_FALSE(db->FindTableDef("I1")->FindIndex("PriceIdx")->required);
}
