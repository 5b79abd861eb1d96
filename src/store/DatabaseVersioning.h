// DatabaseVersioning.h: opening or creating a model database file, its schema
// version, and the step-by-step upgrade of older files.
//
// The schema version is the setting "VERSION" (NUMERIC) in MetaKeyValue; a
// file without it has version 0. Each upgrade step runs as one transaction
// and ends by writing its version, so a failed or interrupted upgrade resumes
// at the next step on the following open.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "store/Database.h"

namespace korvane::store {

constexpr int kCurrentSchemaVersion = 7;
int CurrentSchemaVersion();

// Opens the file, or creates it when there is none (saying so unless quiet).
// With checkVersion, brings it up to the current version; unless quiet, a
// file of version 1 or more that was upgraded is reported. Returns nothing
// when the file cannot be opened, created or upgraded; the reason (the
// engine's description) goes to *failure when given. A file created here is
// removed again when its creation fails.
std::unique_ptr<Database> OpenOrCreateModelDatabase(const std::string& path, bool checkVersion, bool quiet,
                                                    std::string* failure = nullptr);

// True when the file was at the current version or later when called. With
// upgrade set, also runs every step the file lacks. Raises the engine's Error
// when a step fails. False with no database.
bool UpgradeDatabase(Database* db, bool upgrade);

// The VERSION setting as an integer; 0 when missing (or with no database).
// Creates MetaKeyValue in a file that has none.
std::int16_t GetSchemaVersion(Database* db);
void SetSchemaVersion(Database* db, int version);

// Adds the column when the table has none of that exact name (case ignored);
// with withIndex also the required index column + "Idx" on it (unless the
// table has an index of that name already). True when the column was added.
bool AddFieldWithIndex(Database* db, const std::string& table, const std::string& column, FieldType type,
                       bool withIndex);
// Whether the table has an index of exactly that name (case-sensitive).
bool IndexExists(const TableDef& table, const std::string& indexName);
bool IndexExists(Database* db, const std::string& table, const std::string& indexName);

// Opens another model file as the export screen does: without upgrading it,
// then, if it is outdated, asks "Upgrade Outdated Database?" (Yes upgrades
// and reports the outcome, No goes on with the file unchanged, Cancel
// stops). Returns nothing when the user stopped or the file cannot be opened.
std::unique_ptr<Database> OpenDatabaseWithUpgradeOffer(const std::string& path);

}  // namespace korvane::store
