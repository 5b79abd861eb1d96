// OutputFile.cpp: writing an export's file whole or not at all.
#include "export/OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "export/ExportMessages.h"
#include "util/Files.h"

namespace korvane::exporting {

std::string OutputFile::Open(const ExportTarget& target, const std::string& prefix) {
  if (target.path.empty()) {
    std::string folder = target.folder.empty() ? DataFolder() : target.folder;
    // Another program may take a name between the test and the creation;
    // O_EXCL makes sure that never overwrites it.
    for (int attempt = 0; attempt < 1000; ++attempt) {
      std::string name = UniqueDatedFileName(folder, prefix, "csv");
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

std::string OutputFile::Write(std::string& buffer) {
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

std::string OutputFile::Commit() {
  int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) return "Could not write " + finalPath_ + ": " + std::strerror(errno);
  if (replace_ && ::rename(writing_.c_str(), finalPath_.c_str()) != 0)
    return "Could not write " + finalPath_ + ": " + std::strerror(errno);
  writing_.clear();
  return {};
}

void OutputFile::Discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!writing_.empty()) ::unlink(writing_.c_str());
  writing_.clear();
}

void ExportReport::Say(const std::string& text) const {
  if (callbacks_.status) callbacks_.status(text);
}

bool ExportReport::KeepGoing(std::int64_t done, std::int64_t total) const {
  bool cancelled = false;
  if (callbacks_.progress && !callbacks_.progress(done, total)) cancelled = true;
  if (callbacks_.cancel && callbacks_.cancel->load()) cancelled = true;
  return !cancelled;
}

ExportOutcome ExportReport::Refuse(const std::string& why) const {
  Say(why);
  Say(messages::kCannotExport);
  return ExportOutcome{ExportResult::Refused, why, {}, 0};
}

ExportOutcome ExportReport::Fail(const std::string& why) const {
  Say(why);
  return ExportOutcome{ExportResult::Failed, why, {}, 0};
}

ExportOutcome ExportReport::Cancel(OutputFile& file) const {
  file.Discard();
  Say(messages::kExportingCancelled);
  return ExportOutcome{ExportResult::Cancelled, messages::kExportingCancelled, {}, 0};
}

std::optional<ExportOutcome> ExportReport::Open(OutputFile& file, const ExportTarget& target,
                                                const std::string& prefix) const {
  if (!target.path.empty() && !target.overwrite && FileExists(target.path))
    return Refuse("The file " + target.path + " already exists.");
  if (std::string error = file.Open(target, prefix); !error.empty()) return Fail(error);
  Say(messages::kExporting);
  return std::nullopt;
}

ExportOutcome ExportReport::Finish(OutputFile& file, std::string& buffer, std::int64_t done) const {
  if (std::string error = file.Write(buffer); !error.empty()) return Fail(error);
  if (std::string error = file.Commit(); !error.empty()) return Fail(error);
  if (callbacks_.progress) callbacks_.progress(done, done);
  std::string finished = messages::DataExportedInto(file.FinalPath());
  Say(finished);
  return ExportOutcome{ExportResult::Done, finished, file.FinalPath(), done};
}

}  // namespace korvane::exporting
