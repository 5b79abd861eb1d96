// TraceExport.cpp: streaming the trace rows into a CSV file.
#include "export/TraceExport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "export/CellFormat.h"
#include "export/ExportMessages.h"
#include "export/TraceQuery.h"
#include "util/Error.h"
#include "util/Files.h"

namespace korvane::exporting {

namespace {

// The file being written: created exclusively (a dated name) or as a
// temporary beside an explicit path; removed unless Commit() succeeds.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile() { Discard(); }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Returns an error text, empty on success.
  std::string Open(const ExportTarget& target) {
    if (target.path.empty()) {
      std::string folder = target.folder.empty() ? DataFolder() : target.folder;
      // Another program may take a name between the test and the creation;
      // O_EXCL makes sure that never overwrites it.
      for (int attempt = 0; attempt < 1000; ++attempt) {
        std::string name = UniqueDatedFileName(folder, "exported", "csv");
        fd_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd_ >= 0) {
          writing_ = finalPath_ = name;
          return {};
        }
        if (errno != EEXIST) return "Could not create " + name + ": " + std::strerror(errno);
      }
      return "Could not find a free file name in " + folder;
    }
    finalPath_ = target.path;
    std::string pattern = target.path + ".partXXXXXX";
    fd_ = ::mkstemp(pattern.data());
    if (fd_ < 0) return "Could not create a file beside " + target.path + ": " + std::strerror(errno);
    ::fchmod(fd_, 0644);
    writing_ = pattern;
    replace_ = true;
    return {};
  }

  const std::string& FinalPath() const { return finalPath_; }

  // Writes and empties the buffer; an error text on failure.
  std::string Write(std::string& buffer) {
    const char* data = buffer.data();
    std::size_t left = buffer.size();
    while (left > 0) {
      ssize_t written = ::write(fd_, data, left);
      if (written < 0) {
        if (errno == EINTR) continue;
        return "Could not write " + finalPath_ + ": " + std::strerror(errno);
      }
      data += written;
      left -= static_cast<std::size_t>(written);
    }
    buffer.clear();
    return {};
  }

  std::string Commit() {
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) return "Could not write " + finalPath_ + ": " + std::strerror(errno);
    if (replace_ && ::rename(writing_.c_str(), finalPath_.c_str()) != 0)
      return "Could not write " + finalPath_ + ": " + std::strerror(errno);
    writing_.clear();
    return {};
  }

  void Discard() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!writing_.empty()) ::unlink(writing_.c_str());
    writing_.clear();
  }

 private:
  int fd_ = -1;
  std::string writing_;    // the file on disk while writing
  std::string finalPath_;  // the name it ends up with
  bool replace_ = false;
};

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
