// TrialTable.h: what a run produced, one row per cue judged.
//
// The trial table is the long form a researcher analyses: for every subject,
// trial and cue (alternative) of the trial, the cue's situation values, how
// the model judged it (Path "RETR" for a retrieved or blended instance,
// "HEUR" for the heuristic), its utility, activation and retrieval time,
// whether the choice executed it, its decision values, and on the executed
// row the outcome of that trial's feedback and the instance's utility after
// the update. It is read from MetaCue, which the engine writes as it runs
// (an experiment run before Korvane recorded cues has none and is refused
// with a message saying so).
//
// Columns, in order: SubjectID, TrialNumber (from 1 within the subject),
// CueNumber (from 1 within the trial), ModelTime (ms), each situation slot
// by its display name, Path, Utility, Activation, RetrievalTime (ms),
// Executed (1 or 0), each decision slot by its display name, Feedback,
// UtilityAfter, Instance (the ID of the instance row; empty for a cue
// instance that was never stored). A slot whose display name is taken by an
// earlier column gets "_Situation" or "_Decision" appended.
//
// The export screen, `korvane export --trials`, `korvane plot` and the graph
// screen all read through here, so they agree to the byte.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "export/ExportRequest.h"
#include "export/TraceExport.h"
#include "store/Database.h"
#include "util/Variant.h"

namespace korvane::exporting {

struct TrialRow {
  std::int32_t subject = 0;
  std::int32_t trial = 0;  // from 1 within the subject
  std::int32_t cue = 0;    // from 1 within the trial
  double modelTime = 0;
  std::vector<Variant> situation;  // per TrialTable::situationSlots; Null where the cue gave none
  std::string path;                // "RETR" or "HEUR"
  // NaN where unknown (stored as null).
  double utility = 0, activation = 0, retrievalTime = 0;
  bool executed = false;
  std::vector<Variant> decision;   // per TrialTable::decisionSlots
  std::optional<double> feedback, utilityAfter;  // executed rows that feedback reached
  std::optional<std::int32_t> instance;
};

struct TrialTable {
  std::string instanceType;
  std::vector<std::string> situationSlots;  // display names, in slot order
  std::vector<std::string> decisionSlots;
  std::vector<TrialRow> rows;               // by subject, trial, cue

  // The column names, as the CSV header writes them.
  std::vector<std::string> Columns() const;
};

// Instance types that have recorded cues, by name.
std::vector<std::string> TrialInstanceTypes(store::Database& db);

// Calls row() for every row of the instance type's table in order (subject,
// trial, cue); slots receives the slot names first. An empty instanceType
// means the only type with recorded cues. Raises korvane::Error with the
// researcher's message when the file holds no recorded cues, the type has
// none, or the type must be named because there are several.
void ForEachTrialRow(store::Database& db, const std::string& instanceType,
                     const std::function<void(const TrialTable& slots)>& header,
                     const std::function<bool(const TrialRow& row)>& row);

// The whole table in memory.
TrialTable ReadTrialTable(store::Database& db, const std::string& instanceType = {});
// The same from an experiment file, opened for this call and closed again.
TrialTable ReadTrialTable(const std::string& experimentPath, const std::string& instanceType = {});

// The header line and the lines of rows as CSV (RFC 4180, CR LF line ends,
// numbers with up to 15 significant digits, unknown values empty).
std::string TrialCsvHeader(const TrialTable& table);
void AppendTrialCsv(const TrialTable& table, const TrialRow& row, std::string& out);
std::string TrialTableCsv(const TrialTable& table);

// Writes the trial table of the instance type as CSV, streaming, whole or
// not at all (as ExportTrace does; dated names are "trials-yyyyMMdd-n.csv").
ExportOutcome ExportTrials(store::Database* db, const std::string& instanceType, const ExportTarget& target = {},
                           const ExportCallbacks& callbacks = {});

}  // namespace korvane::exporting
