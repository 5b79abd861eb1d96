// DatabaseVersioning.cpp: open-or-create of model files and the upgrade of
// older files to the current schema, one step per version.
#include "store/DatabaseVersioning.h"

#include <cmath>
#include <filesystem>

#include "store/MetaKeyValue.h"
#include "store/Schema.h"
#include "util/Dialogs.h"
#include "util/Files.h"
#include "util/Log.h"

namespace korvane::store {

namespace {

std::string Quote(const std::string& name) { return "\"" + name + "\""; }

// Step 2: every table that is not a system table gets the subject column.
void AddSubjectColumns(Database* db) {
  for (const auto& table : db->TableDefs()) {
    if (IsSystemTable(table) || FieldExists(table, "X_Subject")) continue;
    db->AppendField(table.name, {"X_Subject", FieldType::Long});
    if (!IndexExists(table, "SubjectIdx")) db->AppendIndex(table.name, {"SubjectIdx", {"X_Subject"}});
    db->Execute("UPDATE " + Quote(table.name) + " SET X_Subject = 0");
  }
}

// Step 3: the trace table, with the subject column of older traces.
void AddTraceSubjects(Database* db) {
  auto trace = GetOrCreateMetaInstance(db);
  if (FieldExists(*trace, "SubjectID")) return;
  db->AppendField(kMetaInstanceTable, {"SubjectID", FieldType::Long});
  if (!IndexExists(*trace, "SubjectIdx")) db->AppendIndex(kMetaInstanceTable, {"SubjectIdx", {"SubjectID"}});
  db->Execute(std::string("UPDATE ") + kMetaInstanceTable + " SET SubjectID = 1");
}

// Step 6: the trace's indexes.
void AddTraceIndexes(Database* db) {
  for (const auto& index : TraceIndexes())
    if (!IndexExists(db, kMetaInstanceTable, index.name)) db->AppendIndex(kMetaInstanceTable, index);
}

// Step 7: every table whose name begins with "I" marks its subject-0 rows
// as prepopulated.
void AddPrepopulatedFlags(Database* db) {
  for (const auto& table : db->TableDefs()) {
    if (table.name.empty() || table.name[0] != 'I') continue;
    AddFieldWithIndex(db, table.name, "X_Prepopulated", FieldType::Boolean, true);
    db->Execute("UPDATE " + Quote(table.name) + " SET X_Prepopulated = TRUE WHERE X_Subject = 0");
  }
}

// Runs one step as a unit and records its version.
template <typename Step>
void RunStep(Database* db, int version, Step&& step) {
  Transaction transaction(*db);
  step();
  SetSchemaVersion(db, version);
  transaction.Commit();
}

}  // namespace

int CurrentSchemaVersion() { return kCurrentSchemaVersion; }

std::int16_t GetSchemaVersion(Database* db) {
  if (!db) return 0;
  Variant value = GetKeyValue(db, "VERSION");
  if (value.IsEmpty() || value.IsNull()) return 0;
  double number = std::nearbyint(value.ToNumber());
  if (!(number >= 0)) return 0;
  return static_cast<std::int16_t>(std::min(number, 32767.0));
}

void SetSchemaVersion(Database* db, int version) {
  if (!db) return;
  SetKeyValue(db, "VERSION", Variant(static_cast<std::int32_t>(version)));
}

bool IndexExists(const TableDef& table, const std::string& indexName) { return table.FindIndex(indexName) != nullptr; }

bool IndexExists(Database* db, const std::string& table, const std::string& indexName) {
  if (!db) return false;
  auto def = db->FindTableDef(table);
  return def && IndexExists(*def, indexName);
}

bool AddFieldWithIndex(Database* db, const std::string& table, const std::string& column, FieldType type,
                       bool withIndex) {
  if (!db) return false;
  auto def = db->FindTableDef(table);
  if (!def) throw Error(ErrorNumber::ItemNotFound, "Korvane.DatabaseVersioning", "The table '" + table + "' does not exist.");
  if (FieldExists(*def, column)) return false;
  Transaction transaction(*db);
  db->AppendField(table, {column, type});
  if (withIndex && !IndexExists(*def, column + "Idx")) db->AppendIndex(table, {column + "Idx", {column}, false, true, false});
  transaction.Commit();
  return true;
}

bool UpgradeDatabase(Database* db, bool upgrade) {
  if (!db) return false;
  int version = GetSchemaVersion(db);
  bool current = version >= kCurrentSchemaVersion;
  if (!upgrade) return current;
  if (version < 1) RunStep(db, 1, [] {});
  if (version < 2) RunStep(db, 2, [&] { AddSubjectColumns(db); });
  if (version < 3) RunStep(db, 3, [&] { AddTraceSubjects(db); });
  if (version < 4) RunStep(db, 4, [&] { AddFieldWithIndex(db, kMetaInstanceTable, "Noise", FieldType::Double, false); });
  if (version < 5)
    RunStep(db, 5, [&] { AddFieldWithIndex(db, kMetaInstanceTable, "TrialNumber", FieldType::Long, false); });
  if (version < 6) RunStep(db, 6, [&] { AddTraceIndexes(db); });
  if (version < 7) RunStep(db, 7, [&] { AddPrepopulatedFlags(db); });
  return current;
}

std::unique_ptr<Database> OpenOrCreateModelDatabase(const std::string& path, bool checkVersion, bool quiet,
                                                    std::string* failure) {
  bool created = false;
  std::unique_ptr<Database> db;
  try {
    if (FileExists(path)) {
      db = Database::Open(path);
    } else {
      db = Database::Create(path);
      created = true;
      if (!quiet)
        CurrentDialogs().Message("Could not find " + path + ".\nA new database has been created for you.",
                                 DialogIcon::Information);
    }
    if (checkVersion) {
      int oldVersion = GetSchemaVersion(db.get());
      if (!UpgradeDatabase(db.get(), true)) {
        int newVersion = GetSchemaVersion(db.get());
        LogShared("Upgraded " + path + " from schema version " + std::to_string(oldVersion) + " to " +
                  std::to_string(newVersion));
        if (!quiet && oldVersion >= 1)
          CurrentDialogs().Message("Your database was outdated, and therefore has been automatically upgraded from version " +
                                       std::to_string(oldVersion) + " to version " + std::to_string(newVersion) + ".",
                                   DialogIcon::Information);
      }
      // A run that was cut short leaves its trace without indexes.
      if (int rebuilt = RestoreTraceIndexes(db.get()))
        LogShared("Rebuilt " + std::to_string(rebuilt) + " trace indexes of " + path);
    }
    return db;
  } catch (const Error& e) {
    LogShared("Cannot open or create " + path + ": " + e.Description(), 3);
    if (failure) *failure = e.Description();
    if (db) db->Close();
    if (created) {
      // A file this call made and could not finish is not left behind.
      std::error_code ec;
      std::filesystem::remove(path, ec);
      for (const char* suffix : {"-wal", "-shm", "-journal"}) std::filesystem::remove(path + suffix, ec);
    }
    return nullptr;
  }
}

std::unique_ptr<Database> OpenDatabaseWithUpgradeOffer(const std::string& path) {
  std::string failure;
  auto db = OpenOrCreateModelDatabase(path, false, false, &failure);
  if (!db) {
    CurrentDialogs().Message("The database " + GetFileBasename(path) + " could not be opened.\n" + failure,
                             DialogIcon::Critical);
    return nullptr;
  }
  try {
    if (UpgradeDatabase(db.get(), false)) return db;
    DialogAnswer answer = CurrentDialogs().Ask(
        "The database " + GetFileBasename(path) + " " + "appears to be outdated." + "\n" +
            "This is most likely because the database was originally built using" + "\n" + "an older version of " +
            "Korvane" + ". Should " + "Korvane" + " try upgrading the" + "\n" + "database for you?" + "\n" + "\n" +
            "Click 'Yes' to attempt an upgrade. Click 'No' to continue without" + "\n" +
            "upgrading. Click 'Cancel' to not continue.",
        DialogButtons::YesNoCancel, DialogAnswer::No, DialogIcon::Question, "Upgrade Outdated Database?");
    if (answer == DialogAnswer::Cancel) return nullptr;
    if (answer != DialogAnswer::Yes) return db;
    bool upgraded = false;
    try {
      UpgradeDatabase(db.get(), true);
      upgraded = UpgradeDatabase(db.get(), false);
    } catch (const Error& e) {
      LogShared("Upgrade of " + path + " failed: " + e.Description(), 3);
    }
    if (upgraded) {
      CurrentDialogs().Message("Upgrade successful.", DialogIcon::Information);
      return db;
    }
    if (CurrentDialogs().Ask("Upgrade failed. Continue anyway?", DialogButtons::YesNo, DialogAnswer::No,
                             DialogIcon::Warning) != DialogAnswer::Yes)
      return nullptr;
    return db;
  } catch (const Error& e) {
    CurrentDialogs().Message("The database " + GetFileBasename(path) + " could not be read.\n" + e.Description(),
                             DialogIcon::Critical);
    return nullptr;
  }
}

}  // namespace korvane::store
