// OutputFile.h: the CSV file an export writes, whole or not at all.
//
// A dated name ("exported-yyyyMMdd-n.csv") is created exclusively, so that
// nothing another program made meanwhile is overwritten; an explicit path is
// written as a temporary beside it and renamed over it only at Commit. Unless
// Commit succeeds the file is removed again.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "export/TraceExport.h"

namespace korvane::exporting {

class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile() { Discard(); }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Returns an error text, empty on success. prefix names the dated files.
  std::string Open(const ExportTarget& target, const std::string& prefix = "exported");
  const std::string& FinalPath() const { return finalPath_; }
  // Writes and empties the buffer; an error text on failure.
  std::string Write(std::string& buffer);
  std::string Commit();
  void Discard();

 private:
  int fd_ = -1;
  std::string writing_;    // the file on disk while writing
  std::string finalPath_;  // the name it ends up with
  bool replace_ = false;
};

// What a file export tells whoever drives it, and the outcome of each way it
// can end; shared by the trace and the trial-table export.
class ExportReport {
 public:
  explicit ExportReport(const ExportCallbacks& callbacks) : callbacks_(callbacks) {}

  void Say(const std::string& text) const;
  // False once the caller asked to stop (through progress or the flag).
  bool KeepGoing(std::int64_t done, std::int64_t total) const;
  // A refused choice: why, then "Cannot export. Please try again.".
  ExportOutcome Refuse(const std::string& why) const;
  ExportOutcome Fail(const std::string& why) const;
  // Removes the unfinished file.
  ExportOutcome Cancel(OutputFile& file) const;
  // Refuses an explicit path that exists and may not be overwritten, or
  // opens the file and says "Exporting  data..."; nothing when it opened.
  std::optional<ExportOutcome> Open(OutputFile& file, const ExportTarget& target, const std::string& prefix) const;
  // Writes what buffer still holds, commits the file and reports done rows.
  ExportOutcome Finish(OutputFile& file, std::string& buffer, std::int64_t done) const;

 private:
  const ExportCallbacks& callbacks_;
};

}  // namespace korvane::exporting
