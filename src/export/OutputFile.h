// OutputFile.h: the CSV file an export writes, whole or not at all.
//
// A dated name ("exported-yyyyMMdd-n.csv") is created exclusively, so that
// nothing another program made meanwhile is overwritten; an explicit path is
// written as a temporary beside it and renamed over it only at Commit. Unless
// Commit succeeds the file is removed again.
#pragma once

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

}  // namespace korvane::exporting
