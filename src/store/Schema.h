// Schema.h: the schema functions the rest of Korvane uses to look tables and
// columns of a model database up, and the get-or-create of the trace table.
//
// Column naming: a slot column is aspect letter ("S", "D", "U"), "_", slot
// name, "_", type word ("Real", "String", "Integer"); system columns begin
// with "X_". FieldName turns a column name into the display name used in
// slot lists, formulas and export headings.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "store/Database.h"

namespace korvane::store {

constexpr const char* kMetaInstanceTable = "MetaInstance";
constexpr const char* kMetaMergeTable = "MetaMerge";

// The display name of a column: "X_ID" gives "ID", "S_Price_Real" "Price",
// "S_ABC_XYZ_Real" "ABC_XYZ", "Q_ABC_XYZ_Real" "ABC", "TIME" "TIME".
std::string FieldName(const std::string& columnName);
std::string FieldName(const FieldInfo& field);

// Zero-based position of the first column matching name (case ignored), or
// -1. With exact set the full column name is compared, otherwise FieldName.
int FindFieldIndex(const TableDef& table, const std::string& name, bool exact);
// A column of exactly that name (case ignored) exists.
bool FieldExists(const TableDef& table, const std::string& name);

// The table named exactly name (case-sensitive); nothing with no database.
std::optional<TableDef> FindTableDef(Database* db, const std::string& name);

// The number of rows of a table (0 with no database).
long CountRows(Database* db, const std::string& table);

// The engine's own tables and every table whose name begins with "Meta"
// (case-sensitive) are not instance types.
bool IsSystemTable(const TableDef& table);

// Not empty, and only 0-9, A-Z, a-z and "_".
bool IsValidSlotName(const std::string& text);

// The trace table: returned unchanged when it exists, otherwise created with
// its 13 columns (SubjectID, Time, InstanceType, TrialNumber, Instance,
// Marker, Activation, Similarity, BLL, Noise, Selected, Executed, Feedback)
// and 5 indexes (TimeIdx, SubjectIdx, TrialNumberIdx, InstanceIdx required;
// Composite4Idx on InstanceType, SubjectID, TrialNumber, Instance, Marker).
// Nothing with no database; a refused creation raises the engine's Error.
std::optional<TableDef> GetOrCreateMetaInstance(Database* db);

// The trace table's five indexes, in the order they are created.
const std::vector<IndexInfo>& TraceIndexes();

// A run writes a trace row for every candidate it scores, and keeping five
// indexes up to date row by row costs three times the row itself. The task
// server therefore drops the trace's indexes when an experiment starts
// (SuspendTraceIndexes) and builds them again, in one sorted pass each, when
// it ends (RestoreTraceIndexes). A file left without them by a crash gets
// them back the next time it is opened as a model (OpenOrCreateModelDatabase)
// or exported from the command line. Queries are correct either way, only
// slower without the indexes.
void SuspendTraceIndexes(Database* db);
// Creates whichever of the five is missing; the number created.
int RestoreTraceIndexes(Database* db);

// Where merged instances went: one row per instance row that feedback deleted
// because it duplicated one in memory (SubjectID, InstanceType, TrialNumber,
// Instance, MergedInto). The trace keeps the deleted row's ID in its EXEC and
// FEED rows; this table leads from it to the row that now holds its slot
// values. Created when missing, like the trace table.
std::optional<TableDef> GetOrCreateMetaMerge(Database* db);

// What entered each blend: one row per instance of a blended retrieval that
// retrieved (SubjectID, InstanceType, TrialNumber as the trace counts it,
// CueNumber from 1 within the trial as the trial table counts it, Instance,
// Probability: its retrieval probability in that blend; the rows of one
// blend sum to 1). Written with the full trace; created when missing.
constexpr const char* kMetaBlendTable = "MetaBlend";
std::optional<TableDef> GetOrCreateMetaBlend(Database* db);

}  // namespace korvane::store

namespace korvane::store {

constexpr const char* kMetaCueTable = "MetaCue";

// What each cue of a trial came to: one row per cue judged (SubjectID,
// InstanceType, TrialNumber counting the subject's trials from 1,
// TraceTrial as the trace numbers that trial, CueNumber from 1 within it,
// ModelTime, Path "RETR" or "HEUR", Instance, Utility, Activation,
// RetrievalTime, Executed 1/0, Feedback and UtilityAfter once feedback
// reached the executed cue, Situation and Decision as JSON objects of slot
// display name to value). The trace alone cannot give this: a cue instance
// that is never executed is never stored, and the trace holds no utilities.
// Created when missing, like the trace table.
std::optional<TableDef> GetOrCreateMetaCue(Database* db);

}  // namespace korvane::store
