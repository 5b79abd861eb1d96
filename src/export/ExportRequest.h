// ExportRequest.h: what an export is asked for, what it reports back, and
// how it tells its progress. Shared by the preview, the CSV writer, the
// export screen and the command line.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "export/DataFilter.h"
#include "store/Database.h"

namespace korvane::exporting {

// The optional columns: five trace values and three kinds of slot.
struct IncludeOptions {
  bool activation = false;    // "Activation"
  bool bll = false;           // "BLL"
  bool partialMatch = false;  // "Partial Match" (the Similarity column)
  bool noise = false;         // "Noise"
  bool time = false;          // "Time"
  bool situation = false;     // S_ slot columns
  bool decision = false;      // D_ slot columns
  bool utility = false;       // U_ slot columns

  bool AnySlotKind() const { return situation || decision || utility; }
  static IncludeOptions All() { return {true, true, true, true, true, true, true, true}; }
};

struct ExportRequest {
  std::string instanceType;             // the instance-type table, e.g. "I1"
  std::vector<std::int32_t> subjects;   // in the order the rows are wanted
  IncludeOptions include;
  DataFilterCollection filters;         // only active, valid filters apply
};

enum class ColumnKind { SubjectID, TrialNumber, Instance, Activation, BLL, PartialMatch, Noise, Time, Slot };

// One column of the preview grid and of the CSV file.
struct ExportColumn {
  ColumnKind kind = ColumnKind::SubjectID;
  std::string caption;  // the heading: "Subject ID", ..., or a slot's display name
  std::string field;    // the database column: a MetaInstance column or the slot column
  store::FieldType type = store::FieldType::Double;  // the column's type in the database
};

enum class ExportResult {
  Done,       // rows loaded or written
  Refused,    // nothing to do; message says why (a choice is missing, no rows, ...)
  Cancelled,  // stopped by the researcher; nothing is left behind
  Failed,     // the database or the file failed; message says how
};

struct ExportOutcome {
  ExportResult result = ExportResult::Done;
  std::string message;  // why it was refused or failed, or the final status
  std::string path;     // the file written (CSV export only)
  std::int64_t rows = 0;

  bool Ok() const { return result == ExportResult::Done; }
};

// How a long export reports to whoever drives it. Every member may be left
// empty. Cancellation is asked for through the flag (from any thread) or by
// returning false from progress.
struct ExportCallbacks {
  std::function<void(const std::string& text)> status;
  // done of total rows; called at the start, every progressInterval rows and
  // at the end.
  std::function<bool(std::int64_t done, std::int64_t total)> progress;
  const std::atomic<bool>* cancel = nullptr;
  std::int64_t progressInterval = 4096;
};

}  // namespace korvane::exporting
