// OutputFile.cpp: writing an export's file whole or not at all.
#include "export/OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

}  // namespace korvane::exporting
