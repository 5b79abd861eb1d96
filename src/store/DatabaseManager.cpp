// DatabaseManager.cpp: create, open, close, save and copy of the current
// model file, with the questions and messages the main window relies on.
#include "store/DatabaseManager.h"

#include <filesystem>

#include "store/DatabaseVersioning.h"
#include "store/SettingsCatalog.h"
#include "util/Dialogs.h"
#include "util/Files.h"
#include "util/Log.h"

namespace korvane::store {

namespace {

bool IsBlank(const std::string& s) { return s.find_first_not_of(" \t\r\n") == std::string::npos; }

void RemoveDatabaseFile(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove(path, ec);
  for (const char* suffix : {"-wal", "-shm", "-journal"}) std::filesystem::remove(path + suffix, ec);
}

// The reason of a failure, shown below the fixed text so that the user sees
// what was wrong (an Access file, a read-only file, a missing folder ...).
std::string WithReason(const std::string& text, const std::string& reason) {
  return reason.empty() ? text : text + "\n\n" + reason;
}

const char* const kCreateFailed =
    "An unspecified error occurred while attempting to create a new\n"
    "database. Please make sure you have access to the folder,\n"
    "and that the disk is not full.";
const char* const kOpenFailed =
    "An unspecified error occurred while attempting to open the\n"
    "database. Please make sure you have access to the folder.";

}  // namespace

DatabaseManager& DatabaseManager::Instance() {
  static DatabaseManager manager;
  return manager;
}

void DatabaseManager::MakeCurrent(std::unique_ptr<Database> db, const std::string& path) {
  if (current_) current_->Close();
  current_ = std::move(db);
  fileName_ = path;
  open_ = true;
}

bool DatabaseManager::CreateModelDatabase(const std::string& path) {
  lastFailure_.clear();
  if (IsBlank(path)) {
    CurrentDialogs().Message("Database filename must not be empty.", DialogIcon::Warning);
    return false;
  }
  bool replacing = FileExists(path);
  if (replacing &&
      CurrentDialogs().Ask("File " + GetFileBasename(path) + " already exists.\nDo you want to continue and overwrite it?",
                           DialogButtons::YesNo, DialogAnswer::No, DialogIcon::Question) != DialogAnswer::Yes)
    return false;

  std::unique_ptr<Database> db;
  if (!replacing) {
    db = OpenOrCreateModelDatabase(path, true, true, &lastFailure_);
    if (db) {
      try {
        WriteNewModelDefaults(db.get());
      } catch (const Error& e) {
        lastFailure_ = e.Description();
        db->Close();
        db.reset();
        RemoveDatabaseFile(path);
      }
    }
  } else {
    // The new file is built beside the old one and takes its place only when
    // complete: a failure leaves the old file as it was.
    std::string building = path + ".korvane-new";
    RemoveDatabaseFile(building);
    if (auto fresh = OpenOrCreateModelDatabase(building, true, true, &lastFailure_)) {
      try {
        WriteNewModelDefaults(fresh.get());
        fresh->Close();
        if (current_ && current_->Path() == path) CloseModelDatabase();
        std::error_code ec;
        for (const char* suffix : {"-wal", "-shm", "-journal"}) std::filesystem::remove(path + suffix, ec);
        std::filesystem::rename(building, path);
        db = Database::Open(path);
      } catch (const std::exception& e) {
        lastFailure_ = e.what();
      }
    }
    RemoveDatabaseFile(building);
  }
  if (!db) {
    CurrentDialogs().Message(WithReason(kCreateFailed, lastFailure_), DialogIcon::Critical);
    return false;
  }
  MakeCurrent(std::move(db), path);
  return true;
}

bool DatabaseManager::OpenModelDatabase(const std::string& path) {
  lastFailure_.clear();
  if (IsBlank(path)) {
    CurrentDialogs().Message("Database filename must not be empty.", DialogIcon::Warning);
    return false;
  }
  if (!FileExists(path)) {
    if (CurrentDialogs().Ask("Database " + GetFileBasename(path) + " does not exist.\nDo you want to create a new database?",
                             DialogButtons::YesNo, DialogAnswer::No, DialogIcon::Question) != DialogAnswer::Yes)
      return false;
    return CreateModelDatabase(path);
  }
  auto db = OpenOrCreateModelDatabase(path, true, false, &lastFailure_);
  if (!db) {
    CurrentDialogs().Message(WithReason(kOpenFailed, lastFailure_), DialogIcon::Critical);
    return false;
  }
  MakeCurrent(std::move(db), path);
  return true;
}

bool DatabaseManager::CloseModelDatabase() {
  if (current_) {
    try {
      current_->Close();
    } catch (const Error& e) {
      LogShared("Closing " + fileName_ + ": " + e.Description(), 3);
    }
  }
  current_.reset();
  open_ = false;
  return true;
}

bool DatabaseManager::SaveModelDatabase() {
  std::string path = fileName_;
  CloseModelDatabase();
  return OpenModelDatabase(path);
}

bool DatabaseManager::CopyModelDatabase(const std::string& source, const std::string& target) {
  lastFailure_.clear();
  if (FileExists(target) &&
      CurrentDialogs().Ask("File " + GetFileBasename(target) + " already exists.\nContinue and overwrite it?",
                           DialogButtons::YesNo, DialogAnswer::No, DialogIcon::Question) != DialogAnswer::Yes)
    return false;
  try {
    Database::Copy(source, target);
  } catch (const Error& e) {
    lastFailure_ = e.Description();
    LogShared("Copying " + source + " to " + target + " failed: " + e.Description(), 3);
    return false;
  }
  return FileExists(target);
}

std::unique_ptr<Database> DatabaseManager::GetModelDatabase() {
  if (!open_) return nullptr;
  return OpenOrCreateModelDatabase(fileName_, true, false, &lastFailure_);
}

}  // namespace korvane::store
