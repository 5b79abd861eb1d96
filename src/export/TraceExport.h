// TraceExport.h: writing the chosen trace rows of an experiment database to
// a CSV file.
//
// The rows stream from the database to the file one at a time, so an export
// of ten million rows needs no more memory than one of ten. The file is the
// captions line ("Subject ID","Trial","Instance",...) and one line per row,
// every line ending in CR LF. A file is either written whole or not at all:
// a refused, cancelled or failed export leaves no file behind and never
// touches an existing one.
#pragma once

#include <string>

#include "export/ExportRequest.h"
#include "store/Database.h"

namespace korvane::exporting {

struct ExportTarget {
  // Empty: a new file "exported-yyyyMMdd-n.csv" in the folder below, with n
  // the smallest number whose file does not exist yet.
  std::string path;
  // The folder of the dated names; empty means korvane::DataFolder().
  std::string folder;
  // An explicit path that already exists is refused unless this is set; it
  // is then replaced only once the new file is complete.
  bool overwrite = false;
};

// Plans, counts and writes. The outcome's path is the file written; its
// message the refusal or failure, or the final status on success. Status
// texts, in order: "Calculating column list...", "Calculating column and rows
// to load...", "Exporting  data...", "Data exported into " + path; or the
// refusal followed by "Cannot export. Please try again.", or "Exporting
// cancelled.".
ExportOutcome ExportTrace(store::Database* db, const ExportRequest& request, const ExportTarget& target = {},
                          const ExportCallbacks& callbacks = {});

}  // namespace korvane::exporting
