// TraceExport.cpp: streaming the trace rows into a CSV file.
#include "export/TraceExport.h"

#include <algorithm>

#include "export/CellFormat.h"
#include "export/ExportMessages.h"
#include "export/OutputFile.h"
#include "export/TraceQuery.h"
#include "util/Error.h"

namespace korvane::exporting {

namespace {

constexpr std::size_t kFlushSize = 1 << 20;
constexpr int kInstanceColumn = 2;  // Subject ID, Trial, Instance lead every export

}  // namespace

ExportOutcome ExportTrace(store::Database* db, const ExportRequest& request, const ExportTarget& target,
                          const ExportCallbacks& callbacks) {
  const ExportReport report(callbacks);
  OutputFile file;
  try {
    std::string refusal;
    auto plan = TraceQuery::Plan(db, request, refusal, callbacks.status);
    if (!plan) return report.Refuse(refusal);

    std::int64_t total = 0;
    for (std::size_t s = 0; s < plan->Subjects().size(); ++s) {
      total += plan->CountRows(s);
      if (!report.KeepGoing(0, total)) return report.Cancel(file);
    }
    if (total < 1) return report.Refuse(plan->HasActiveFilters() ? messages::kNoMatchingRecords : messages::kNoRecords);

    if (auto refused = report.Open(file, target, "exported")) return *refused;

    std::string buffer = CaptionsLine(plan->Captions());
    buffer.reserve(kFlushSize + 4096);
    // Trace values come from the trace query, slot values from the instance
    // each row names, read once per instance.
    const int traceColumns = plan->TraceColumnCount();
    SlotCells slots(*plan);
    const std::int64_t interval = callbacks.progressInterval > 0 ? callbacks.progressInterval : 4096;
    std::int64_t done = 0;
    for (std::size_t s = 0; s < plan->Subjects().size(); ++s) {
      TraceRows rows = plan->OpenTraceRows(s);
      while (rows.Next()) {
        for (int c = 0; c < traceColumns; ++c) {
          if (c) buffer += ',';
          rows.AppendCsv(c, buffer);
        }
        if (slots.Any()) buffer += slots.Csv(rows.Value(kInstanceColumn));
        buffer += "\r\n";
        ++done;
        if (buffer.size() >= kFlushSize) {
          if (std::string error = file.Write(buffer); !error.empty()) return report.Fail(error);
        }
        if (done % interval == 0 && !report.KeepGoing(done, std::max(total, done))) return report.Cancel(file);
      }
    }
    return report.Finish(file, buffer, done);
  } catch (const Error& e) {
    file.Discard();
    return report.Fail(e.Description());
  } catch (const std::exception& e) {
    file.Discard();
    return report.Fail(e.what());
  }
}

}  // namespace korvane::exporting
