// Tests of model file creation, opening, copying and the upgrade of files
// written by older versions of Korvane, with the messages the user sees.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "TestSupport.h"
#include "store/Database.h"
#include "store/DatabaseManager.h"
#include "store/DatabaseVersioning.h"
#include "store/MetaKeyValue.h"
#include "store/Schema.h"
#include "util/Dialogs.h"

using namespace korvane;
using namespace korvane::store;

namespace {

// Installs scripted dialogs for one test and puts the previous ones back.
class ScriptedDialogsScope {
 public:
  ScriptedDialogsScope() : dialogs_(std::make_shared<ScriptedDialogs>()), previous_(SetDialogs(dialogs_)) {}
  ~ScriptedDialogsScope() { SetDialogs(previous_); }
  ScriptedDialogs& operator*() { return *dialogs_; }
  ScriptedDialogs* operator->() { return dialogs_.get(); }
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const auto& r : dialogs_->Shown()) texts.push_back(r.text);
    return texts;
  }

 private:
  std::shared_ptr<ScriptedDialogs> dialogs_;
  std::shared_ptr<Dialogs> previous_;
};

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Upgraded(int from) {
  return "Your database was outdated, and therefore has been automatically upgraded from version " +
         std::to_string(from) + " to version 7.";
}

const char* const kOpenFailed =
    "An unspecified error occurred while attempting to open the\n"
    "database. Please make sure you have access to the folder.";
const char* const kCreateFailed =
    "An unspecified error occurred while attempting to create a new\n"
    "database. Please make sure you have access to the folder,\n"
    "and that the disk is not full.";

// An instance-type table as the definition screen of each version made it.
void CreateInstanceTable(Database& db, const std::string& name, bool withSubject, bool withPrepopulated) {
  TableDef def;
  def.name = name;
  def.fields.push_back({"X_ID", FieldType::Long, true});
  if (withSubject) def.fields.push_back({"X_Subject", FieldType::Long});
  def.fields.push_back({"X_Working_Memory", FieldType::Boolean});
  if (withPrepopulated) def.fields.push_back({"X_Prepopulated", FieldType::Boolean});
  def.fields.push_back({"X_Created", FieldType::DateTime});
  def.fields.push_back({"S_Price_Real", FieldType::Double});
  def.indexes.push_back({"PrimaryKey", {"X_ID"}, true, false, true});
  if (withSubject) def.indexes.push_back({"SubjectIdx", {"X_Subject"}});
  db.CreateTable(def);
}

// The trace table of a given version (from 2): SubjectID came with 3, Noise with 4,
// TrialNumber with 5 and the indexes with 6.
void CreateOldTrace(Database& db, int version) {
  TableDef def;
  def.name = "MetaInstance";
  if (version >= 3) def.fields.push_back({"SubjectID", FieldType::Long});
  for (FieldInfo f : std::vector<FieldInfo>{{"Time", FieldType::DateTime},
                                            {"InstanceType", FieldType::Text},
                                            {"Instance", FieldType::Long},
                                            {"Marker", FieldType::Text},
                                            {"Activation", FieldType::Double},
                                            {"Similarity", FieldType::Double},
                                            {"BLL", FieldType::Double}})
    def.fields.push_back(f);
  if (version >= 4) def.fields.push_back({"Noise", FieldType::Double});
  if (version >= 5) def.fields.push_back({"TrialNumber", FieldType::Long});
  for (FieldInfo f : std::vector<FieldInfo>{
           {"Selected", FieldType::Boolean}, {"Executed", FieldType::Boolean}, {"Feedback", FieldType::Double}})
    def.fields.push_back(f);
  if (version >= 3) def.indexes.push_back({"SubjectIdx", {"SubjectID"}});
  if (version >= 6) {
    def.indexes = {{"TimeIdx", {"Time"}, false, true, false},
                   {"SubjectIdx", {"SubjectID"}, false, true, false},
                   {"TrialNumberIdx", {"TrialNumber"}, false, true, false},
                   {"InstanceIdx", {"Instance"}, false, true, false},
                   {"Composite4Idx", {"InstanceType", "SubjectID", "TrialNumber", "Instance", "Marker"}}};
  }
  db.CreateTable(def);
  db.Execute("INSERT INTO MetaInstance (Time, InstanceType, Instance, Marker) VALUES (NOW(), 'I1', 1, 'ACAL')");
  db.Execute("INSERT INTO MetaInstance (Time, InstanceType, Instance, Marker) VALUES (NOW(), 'I1', 2, 'EXEC')");
}

// A model file as Korvane of that schema version left it: an instance type
// I1 with prepopulated rows (and, from version 2, a subject's row), a table
// Items, and the trace from version 3 on.
void WriteOldModel(const std::string& path, int version) {
  auto db = Database::Create(path);
  bool subjects = version >= 2;
  CreateInstanceTable(*db, "I1", subjects, version >= 7);
  db->Execute("INSERT INTO I1 (S_Price_Real) VALUES (1.5)");
  db->Execute("INSERT INTO I1 (S_Price_Real) VALUES (2.5)");
  if (subjects) {
    db->Execute("UPDATE I1 SET X_Subject = 0");
    db->Execute("INSERT INTO I1 (X_Subject, S_Price_Real) VALUES (3, 9)");
  }
  TableDef items;
  items.name = "Items";
  items.fields = {{"Name", FieldType::Text}};
  if (subjects) items.fields.push_back({"X_Subject", FieldType::Long});
  db->CreateTable(items);
  db->Execute(subjects ? "INSERT INTO Items (Name, X_Subject) VALUES ('a', 0)" : "INSERT INTO Items (Name) VALUES ('a')");
  if (version >= 2) CreateOldTrace(*db, version);
  if (version >= 1) SetSchemaVersion(db.get(), version);
}

void ExpectCurrentLayout(Database& db) {
  EXPECT_EQ(GetSchemaVersion(&db), 7);
  auto i1 = db.FindTableDef("I1");
  ASSERT_TRUE(i1);
  EXPECT_TRUE(FieldExists(*i1, "X_Subject"));
  EXPECT_TRUE(i1->FindIndex("SubjectIdx"));
  EXPECT_FALSE(i1->FindIndex("SubjectIdx")->required);
  ASSERT_TRUE(i1->FindIndex("X_PrepopulatedIdx"));
  EXPECT_TRUE(i1->FindIndex("X_PrepopulatedIdx")->required);
  EXPECT_TRUE(FieldExists(*db.FindTableDef("Items"), "X_Prepopulated"));
  auto trace = db.FindTableDef("MetaInstance");
  ASSERT_TRUE(trace);
  for (const char* column : {"SubjectID", "Noise", "TrialNumber", "Time", "Feedback"})
    EXPECT_TRUE(FieldExists(*trace, column)) << column;
  for (const char* index : {"TimeIdx", "SubjectIdx", "TrialNumberIdx", "InstanceIdx", "Composite4Idx"})
    EXPECT_TRUE(IndexExists(*trace, index)) << index;
  // Subject-0 rows are the prepopulated ones.
  auto rows = db.OpenRecordset("SELECT X_Subject, X_Prepopulated FROM I1 ORDER BY X_ID");
  for (; !rows->IsEOF(); rows->MoveNext())
    EXPECT_EQ(rows->Get(1), Variant(rows->Get(0) == Variant(std::int32_t{0})));
}

}  // namespace

TEST(Upgrade, OlderFilesAreBroughtUpStepByStepWithTheirMessage) {
  test::TempDir dir;
  for (int version : {0, 2, 5, 6}) {
    SCOPED_TRACE("version " + std::to_string(version));
    std::string path = dir.File("v" + std::to_string(version) + ".mdb");
    WriteOldModel(path, version);
    {
      auto db = Database::Open(path);
      EXPECT_EQ(GetSchemaVersion(db.get()), version);
      EXPECT_FALSE(UpgradeDatabase(db.get(), false));
      EXPECT_EQ(GetSchemaVersion(db.get()), version);  // checking changes nothing
    }
    ScriptedDialogsScope dialogs;
    DatabaseManager manager;
    ASSERT_TRUE(manager.OpenModelDatabase(path));
    if (version == 0)
      EXPECT_TRUE(dialogs.Texts().empty());
    else
      EXPECT_EQ(dialogs.Texts(), std::vector<std::string>{Upgraded(version)});
    ExpectCurrentLayout(*manager.CurrentDatabase());
    Database& db = *manager.CurrentDatabase();
    if (version == 0) {
      // Every row of a version-0 file belongs to subject 0.
      EXPECT_EQ(db.OpenRecordset("SELECT COUNT(*) FROM I1 WHERE X_Subject = 0 AND X_Prepopulated")->Get(0),
                Variant(std::int32_t{2}));
      EXPECT_EQ(db.FindTableDef("MetaInstance")->fields.size(), 13u);
    }
    if (version == 2) {
      // The old trace rows are given to subject 1.
      EXPECT_EQ(db.OpenRecordset("SELECT COUNT(*) FROM MetaInstance WHERE SubjectID = 1")->Get(0),
                Variant(std::int32_t{2}));
      EXPECT_EQ(db.FindTableDef("I1")->fields.back().name, "X_Prepopulated");
    }
    // Opening again: current, so no message and no change.
    manager.CloseModelDatabase();
    dialogs->Clear();
    ASSERT_TRUE(manager.OpenModelDatabase(path));
    EXPECT_TRUE(dialogs.Texts().empty());
    EXPECT_TRUE(UpgradeDatabase(manager.CurrentDatabase(), true));
  }
}

TEST(Upgrade, TraceIndexesLeftOutByACutShortRunAreRebuiltOnOpening) {
  test::TempDir dir;
  ScriptedDialogsScope dialogs;
  const std::string path = dir.File("Model-20990101-1.mdb");
  auto names = [](Database& db) {
    std::vector<std::string> found;
    const TableDef trace = *db.FindTableDef(kMetaInstanceTable);
    for (const IndexInfo& index : trace.indexes) found.push_back(index.name);
    std::sort(found.begin(), found.end());
    return found;
  };
  const std::vector<std::string> all = {"Composite4Idx", "InstanceIdx", "SubjectIdx", "TimeIdx", "TrialNumberIdx"};
  {
    auto db = OpenOrCreateModelDatabase(path, true, true);
    ASSERT_TRUE(db);
    EXPECT_EQ(names(*db), all);
    db->Execute("INSERT INTO MetaInstance (SubjectID, Time, InstanceType, TrialNumber, Instance, Marker) "
                "VALUES (1, NOW(), 'I1', 0, 4, 'ACAL')");
    // A run drops them; the process dies before building them again.
    SuspendTraceIndexes(db.get());
    EXPECT_TRUE(names(*db).empty());
    SuspendTraceIndexes(db.get());  // twice is harmless
    db->Execute("INSERT INTO MetaInstance (SubjectID, Time, InstanceType, TrialNumber, Instance, Marker) "
                "VALUES (1, NOW(), 'I1', 0, 5, 'ACAL')");
  }
  {
    auto db = Database::Open(path);
    EXPECT_TRUE(names(*db).empty());
    EXPECT_EQ(CountRows(db.get(), kMetaInstanceTable), 2);
  }
  // Opened as a model: back, with their flags, rows intact, no message.
  auto db = OpenOrCreateModelDatabase(path, true, false);
  ASSERT_TRUE(db);
  EXPECT_EQ(names(*db), all);
  EXPECT_TRUE(db->FindTableDef(kMetaInstanceTable)->FindIndex("TimeIdx")->required);
  EXPECT_FALSE(db->FindTableDef(kMetaInstanceTable)->FindIndex("Composite4Idx")->required);
  EXPECT_EQ(CountRows(db.get(), kMetaInstanceTable), 2);
  EXPECT_EQ(RestoreTraceIndexes(db.get()), 0);
  EXPECT_TRUE(dialogs.Texts().empty());
}

TEST(Upgrade, AFailingStepKeepsTheStepsBeforeIt) {
  test::TempDir dir;
  std::string path = dir.File("broken.mdb");
  {
    // A version-4 file whose trace lost its Time column: the index step fails.
    WriteOldModel(path, 4);
    auto db = Database::Open(path);
    db->DeleteField("MetaInstance", "Time");
  }
  ScriptedDialogsScope dialogs;
  DatabaseManager manager;
  EXPECT_FALSE(manager.OpenModelDatabase(path));
  ASSERT_EQ(dialogs->Shown().size(), 1u);
  EXPECT_EQ(dialogs.Texts()[0].rfind(kOpenFailed, 0), 0u);
  EXPECT_FALSE(manager.IsModelOpen());
  auto db = Database::Open(path);
  EXPECT_EQ(GetSchemaVersion(db.get()), 5);  // step 5 stayed, step 6 left nothing behind
  EXPECT_TRUE(FieldExists(*db->FindTableDef("MetaInstance"), "TrialNumber"));
  EXPECT_FALSE(IndexExists(db.get(), "MetaInstance", "TrialNumberIdx"));
  EXPECT_FALSE(FieldExists(*db->FindTableDef("I1"), "X_Prepopulated"));
}

TEST(Upgrade, TheExportScreensOfferToUpgrade) {
  test::TempDir dir;
  std::string path = dir.File("old.mdb");
  WriteOldModel(path, 5);
  ScriptedDialogsScope dialogs;

  dialogs->QueueAnswer(DialogAnswer::Cancel);
  EXPECT_FALSE(OpenDatabaseWithUpgradeOffer(path));
  ASSERT_EQ(dialogs->Shown().size(), 1u);
  const DialogRequest& question = dialogs->Shown()[0];
  EXPECT_EQ(question.title, "Upgrade Outdated Database?");
  EXPECT_EQ(question.buttons, DialogButtons::YesNoCancel);
  EXPECT_EQ(question.icon, DialogIcon::Question);
  EXPECT_EQ(question.text,
            "The database old.mdb appears to be outdated.\n"
            "This is most likely because the database was originally built using\n"
            "an older version of Korvane. Should Korvane try upgrading the\n"
            "database for you?\n\n"
            "Click 'Yes' to attempt an upgrade. Click 'No' to continue without\n"
            "upgrading. Click 'Cancel' to not continue.");

  dialogs->Clear();
  dialogs->QueueAnswer(DialogAnswer::No);
  auto unchanged = OpenDatabaseWithUpgradeOffer(path);
  ASSERT_TRUE(unchanged);
  EXPECT_EQ(GetSchemaVersion(unchanged.get()), 5);
  unchanged.reset();

  dialogs->Clear();
  dialogs->QueueAnswer(DialogAnswer::Yes);
  auto upgraded = OpenDatabaseWithUpgradeOffer(path);
  ASSERT_TRUE(upgraded);
  EXPECT_EQ(dialogs.Texts().back(), "Upgrade successful.");
  ExpectCurrentLayout(*upgraded);

  dialogs->Clear();
  EXPECT_TRUE(OpenDatabaseWithUpgradeOffer(path));
  EXPECT_TRUE(dialogs.Texts().empty());
}

TEST(Manager, CreateOpenSaveCloseAndConnections) {
  test::TempDir dir;
  ScriptedDialogsScope dialogs;
  DatabaseManager manager;
  std::string path = dir.File("model.mdb");

  EXPECT_FALSE(manager.CreateModelDatabase("   "));
  EXPECT_FALSE(manager.OpenModelDatabase(""));
  EXPECT_EQ(dialogs.Texts(), (std::vector<std::string>(2, "Database filename must not be empty.")));
  dialogs->Clear();

  // A new file holds the version, the new model's settings and an empty trace
  // table, and nothing else.
  ASSERT_TRUE(manager.CreateModelDatabase(path));
  EXPECT_TRUE(dialogs.Texts().empty());
  EXPECT_TRUE(manager.IsModelOpen());
  EXPECT_EQ(manager.GetModelFilename(), path);
  std::vector<std::string> tables;
  for (const auto& t : manager.CurrentDatabase()->TableDefs())
    if (t.attributes == 0) tables.push_back(t.name);
  EXPECT_EQ(tables, (std::vector<std::string>{"MetaInstance", "MetaKeyValue"}));
  EXPECT_EQ(GetSchemaVersion(manager.CurrentDatabase()), 7);
  EXPECT_EQ(manager.CurrentDatabase()->OpenTable("MetaInstance")->RecordCount(), 0);

  // Each screen's connection is its own and sees the others' changes.
  auto screen = manager.GetModelDatabase();
  ASSERT_TRUE(screen);
  SetKeyValue(screen.get(), "Params_S_Value", Variant(0.3));
  EXPECT_EQ(GetKeyValue(manager.CurrentDatabase(), "Params_S_Value"), Variant(0.3));
  ASSERT_TRUE(manager.SaveModelDatabase());
  EXPECT_EQ(GetKeyValue(manager.CurrentDatabase(), "Params_S_Value"), Variant(0.3));
  manager.CloseModelDatabase();
  EXPECT_FALSE(manager.IsModelOpen());
  EXPECT_EQ(manager.GetModelFilename(), path);
  EXPECT_FALSE(manager.GetModelDatabase());
  EXPECT_TRUE(screen->IsOpen());  // closing the current database leaves the screens' alone
  screen.reset();

  // Create over an existing file: No leaves it, Yes replaces it.
  ASSERT_TRUE(manager.OpenModelDatabase(path));
  Database::Open(path)->Execute("CREATE TABLE I1 (X_ID INTEGER)");
  manager.CloseModelDatabase();
  std::string before = ReadBytes(path);
  dialogs->Clear();
  dialogs->QueueAnswer(DialogAnswer::No);
  EXPECT_FALSE(manager.CreateModelDatabase(path));
  EXPECT_EQ(dialogs.Texts(), std::vector<std::string>{"File model.mdb already exists.\n"
                                                      "Do you want to continue and overwrite it?"});
  EXPECT_EQ(ReadBytes(path), before);
  dialogs->QueueAnswer(DialogAnswer::Yes);
  ASSERT_TRUE(manager.CreateModelDatabase(path));
  EXPECT_FALSE(manager.CurrentDatabase()->FindTableDef("I1"));
  // The replacement has the new model's settings, not the old file's 0.3.
  EXPECT_EQ(GetKeyValue(manager.CurrentDatabase(), "Params_S_Value"), Variant(0.25));
  EXPECT_EQ(GetSchemaVersion(manager.CurrentDatabase()), 7);
  EXPECT_FALSE(std::filesystem::exists(path + ".korvane-new"));

  // Open of a missing file offers to create it.
  std::string other = dir.File("other.mdb");
  dialogs->Clear();
  dialogs->QueueAnswer(DialogAnswer::No);
  EXPECT_FALSE(manager.OpenModelDatabase(other));
  EXPECT_EQ(dialogs.Texts(), std::vector<std::string>{"Database other.mdb does not exist.\n"
                                                      "Do you want to create a new database?"});
  EXPECT_FALSE(std::filesystem::exists(other));
  EXPECT_EQ(manager.GetModelFilename(), path);  // a failed open changes nothing
  EXPECT_TRUE(manager.IsModelOpen());
  dialogs->QueueAnswer(DialogAnswer::Yes);
  ASSERT_TRUE(manager.OpenModelDatabase(other));
  EXPECT_EQ(manager.GetModelFilename(), other);
  EXPECT_EQ(GetSchemaVersion(manager.CurrentDatabase()), 7);

  // OpenOrCreate on a missing file says it created one.
  dialogs->Clear();
  std::string fresh = dir.File("fresh.mdb");
  EXPECT_TRUE(OpenOrCreateModelDatabase(fresh, true, false));
  EXPECT_EQ(dialogs.Texts(),
            std::vector<std::string>{"Could not find " + fresh + ".\nA new database has been created for you."});
}

TEST(Manager, BadFilesAreRefusedWithAClearMessageAndLeftAlone) {
  test::TempDir dir;
  ScriptedDialogsScope dialogs;
  DatabaseManager manager;
  std::string good = dir.File("good.mdb");
  ASSERT_TRUE(manager.CreateModelDatabase(good));

  std::string jet(4096, '\0');
  jet.replace(4, 15, "Standard Jet DB");
  std::string noise;
  for (int i = 0; i < 4096; ++i) noise += static_cast<char>((i * 31 + 7) % 256);
  std::string readOnly = dir.File("readonly.mdb");
  {
    auto db = Database::Create(readOnly);
    SetSchemaVersion(db.get(), 3);  // outdated: opening it would write to it
  }
  chmod(readOnly.c_str(), 0444);
  struct Case {
    std::string file;
    std::string reasonWord;
  };
  std::vector<Case> cases = {{dir.File("access.mdb"), "Access"}, {dir.File("noise.mdb"), "not a Korvane model"},
                             {readOnly, "read-only"}};
  {
    std::ofstream(cases[0].file, std::ios::binary) << jet;
    std::ofstream(cases[1].file, std::ios::binary) << noise;
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    std::string before = ReadBytes(c.file);
    dialogs->Clear();
    EXPECT_FALSE(manager.OpenModelDatabase(c.file));
    ASSERT_EQ(dialogs->Shown().size(), 1u);
    EXPECT_EQ(dialogs.Texts()[0].rfind(kOpenFailed, 0), 0u);
    EXPECT_NE(dialogs.Texts()[0].find(c.reasonWord), std::string::npos) << dialogs.Texts()[0];
    EXPECT_EQ(dialogs->Shown()[0].icon, DialogIcon::Critical);
    EXPECT_EQ(ReadBytes(c.file), before);
    EXPECT_FALSE(std::filesystem::exists(c.file + "-wal"));
    EXPECT_EQ(manager.GetModelFilename(), good);
    EXPECT_TRUE(manager.IsModelOpen());
  }
  chmod(readOnly.c_str(), 0644);

  // A missing folder: the offer to create is accepted, creation fails.
  std::string nowhere = dir.File("no/such/folder/m.mdb");
  dialogs->Clear();
  dialogs->QueueAnswer(DialogAnswer::Yes);
  EXPECT_FALSE(manager.OpenModelDatabase(nowhere));
  ASSERT_EQ(dialogs->Shown().size(), 2u);
  EXPECT_EQ(dialogs.Texts()[1].rfind(kCreateFailed, 0), 0u);
  EXPECT_NE(dialogs.Texts()[1].find("does not exist"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir.File("no")));
  EXPECT_EQ(manager.GetModelFilename(), good);
}

TEST(Manager, CopiesAskBeforeOverwriting) {
  test::TempDir dir;
  ScriptedDialogsScope dialogs;
  DatabaseManager manager;
  std::string model = dir.File("model.mdb");
  ASSERT_TRUE(manager.CreateModelDatabase(model));
  SetKeyValue(manager.CurrentDatabase(), "Params_Batch_Value", Variant(std::int32_t{5}));

  std::string target = dir.File("experiment.mdb");
  EXPECT_TRUE(manager.CopyModelDatabase(model, target));
  EXPECT_TRUE(dialogs.Texts().empty());
  EXPECT_EQ(GetKeyValue(Database::Open(target).get(), "Params_Batch_Value"), Variant(5.0));

  SetKeyValue(manager.CurrentDatabase(), "Params_Batch_Value", Variant(std::int32_t{6}));
  dialogs->QueueAnswer(DialogAnswer::No);
  EXPECT_FALSE(manager.CopyModelDatabase(model, target));
  EXPECT_EQ(dialogs.Texts(), std::vector<std::string>{"File experiment.mdb already exists.\nContinue and overwrite it?"});
  EXPECT_EQ(GetKeyValue(Database::Open(target).get(), "Params_Batch_Value"), Variant(5.0));
  dialogs->QueueAnswer(DialogAnswer::Yes);
  EXPECT_TRUE(manager.CopyModelDatabase(model, target));
  EXPECT_EQ(GetKeyValue(Database::Open(target).get(), "Params_Batch_Value"), Variant(6.0));

  // A failed copy is reported as one, even when the target exists.
  dialogs->QueueAnswer(DialogAnswer::Yes);
  EXPECT_FALSE(manager.CopyModelDatabase(dir.File("missing.mdb"), target));
  EXPECT_FALSE(manager.LastFailure().empty());
  EXPECT_EQ(GetKeyValue(Database::Open(target).get(), "Params_Batch_Value"), Variant(6.0));
}
