// TraceExport.cpp: streaming the trace rows into a CSV file.
#include "export/TraceExport.h"

#include <algorithm>

#include "export/CellFormat.h"
#include "export/ExportMessages.h"
#include "export/OutputFile.h"
#include "export/TraceQuery.h"
#include "util/Error.h"
#include "util/Files.h"

namespace korvane::exporting {

namespace {

constexpr std::size_t kFlushSize = 1 << 20;
constexpr int kInstanceColumn = 2;  // Subject ID, Trial, Instance lead every export

}  // namespace

ExportOutcome ExportTrace(store::Database* db, const ExportRequest& request, const ExportTarget& target,
                          const ExportCallbacks& callbacks) {
  auto say = [&](const std::string& text) {
    if (callbacks.status) callbacks.status(text);
  };
  bool cancelled = false;
  auto keepGoing = [&](std::int64_t done, std::int64_t total) {
    if (callbacks.progress && !callbacks.progress(done, total)) cancelled = true;
    if (callbacks.cancel && callbacks.cancel->load()) cancelled = true;
    return !cancelled;
  };
  auto refuse = [&](const std::string& why) {
    say(why);
    say(messages::kCannotExport);
    return ExportOutcome{ExportResult::Refused, why, {}, 0};
  };
  auto fail = [&](const std::string& why) {
    say(why);
    return ExportOutcome{ExportResult::Failed, why, {}, 0};
  };
  auto cancel = [&]() {
    say(messages::kExportingCancelled);
    return ExportOutcome{ExportResult::Cancelled, messages::kExportingCancelled, {}, 0};
  };

  OutputFile file;
  try {
    std::string refusal;
    auto plan = TraceQuery::Plan(db, request, refusal, callbacks.status);
    if (!plan) return refuse(refusal);

    std::int64_t total = 0;
    for (std::size_t s = 0; s < plan->Subjects().size(); ++s) {
      total += plan->CountRows(s);
      if (!keepGoing(0, total)) return cancel();
    }
    if (total < 1) return refuse(plan->HasActiveFilters() ? messages::kNoMatchingRecords : messages::kNoRecords);

    if (!target.path.empty() && !target.overwrite && FileExists(target.path))
      return refuse("The file " + target.path + " already exists.");
    if (std::string error = file.Open(target); !error.empty())
      return fail(error);
    say(messages::kExporting);

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
          if (std::string error = file.Write(buffer); !error.empty())
            return fail(error);
        }
        if (done % interval == 0 && !keepGoing(done, std::max(total, done))) return cancel();
      }
    }
    if (std::string error = file.Write(buffer); !error.empty())
      return fail(error);
    if (std::string error = file.Commit(); !error.empty())
      return fail(error);
    if (callbacks.progress) callbacks.progress(done, done);
    std::string finished = messages::DataExportedInto(file.FinalPath());
    say(finished);
    return ExportOutcome{ExportResult::Done, finished, file.FinalPath(), done};
  } catch (const Error& e) {
    file.Discard();
    return fail(e.Description());
  } catch (const std::exception& e) {
    file.Discard();
    return fail(e.what());
  }
}

}  // namespace korvane::exporting
