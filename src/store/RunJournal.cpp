// RunJournal.cpp: see RunJournal.h.
#include "store/RunJournal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "util/Error.h"

namespace korvane::store {

namespace {

constexpr const char* kSource = "Korvane.RunJournal";
constexpr char kMagic[4] = {'K', 'V', 'R', 'J'};
constexpr std::uint8_t kFormat = 1;
constexpr std::size_t kHeaderBytes = 4 + 1 + 4;
constexpr std::size_t kGroupHeaderBytes = 1 + 8 + 4 + 8;

template <class T>
void Put(std::string& out, T value) {
  char bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));
  out.append(bytes, sizeof(T));
}

template <class T>
bool Get(std::string_view& in, T* value) {
  if (in.size() < sizeof(T)) return false;
  std::memcpy(value, in.data(), sizeof(T));
  in.remove_prefix(sizeof(T));
  return true;
}

// A checksum that reads eight bytes at a time: enough to tell a group cut
// short or overwritten by garbage from a whole one.
std::uint64_t Checksum(std::string_view data) {
  std::uint64_t h = 0x9E3779B97F4A7C15ull ^ data.size();
  std::size_t i = 0;
  for (; i + 8 <= data.size(); i += 8) {
    std::uint64_t w;
    std::memcpy(&w, data.data() + i, 8);
    h = (h ^ w) * 0x100000001B3ull;
    h ^= h >> 29;
  }
  for (; i < data.size(); ++i) h = (h ^ static_cast<unsigned char>(data[i])) * 0x100000001B3ull;
  return h ^ (h >> 32);
}

[[noreturn]] void Fail(const std::string& what) {
  throw Error(ErrorNumber::DatabaseFailure, kSource, what + ": " + std::strerror(errno));
}

}  // namespace

RunJournal::RunJournal(const std::string& databasePath, std::int32_t originalVersion)
    : path_(PathOf(databasePath)), originalVersion_(originalVersion) {
  fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd_ < 0) Fail("cannot create the run journal " + path_);
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd_);
    fd_ = -1;
    throw Error(ErrorNumber::DatabaseFailure, kSource, "The run journal " + path_ + " is in use by another process.");
  }
  try {
    Truncate();
  } catch (...) {
    ::close(fd_);  // and with it the lock: the next try may take it
    fd_ = -1;
    throw;
  }
}

RunJournal::~RunJournal() {
  try {
    if (fd_ >= 0) Sync();
  } catch (...) {
    // Closing anyway: what waited is also in SQLite's open transaction or lost
    // with it, as a failed write would have lost it.
  }
  if (fd_ >= 0) ::close(fd_);
}

void RunJournal::WriteAll(const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd_, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail("cannot write the run journal " + path_);
    }
    data += n;
    size -= static_cast<std::size_t>(n);
    fileBytes_ += static_cast<std::size_t>(n);
  }
}

void RunJournal::Sync() {
  std::size_t written = 0;
  while (written < frame_.size()) {
    ssize_t n = ::write(fd_, frame_.data() + written, frame_.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      // A later Sync goes on after the bytes that did reach the file.
      const int error = errno;
      frame_.erase(0, written);
      errno = error;
      Fail("cannot write the run journal " + path_);
    }
    written += static_cast<std::size_t>(n);
    fileBytes_ += static_cast<std::size_t>(n);
  }
  frame_.clear();
}

void RunJournal::Truncate() {
  frame_.clear();
  std::fill(defined_.begin(), defined_.end(), false);
  if (fileBytes_ >= kHeaderBytes) {
    // Cut back to the header, which never changes: a process killed at any
    // moment leaves the original user_version in the file.
    if (::ftruncate(fd_, static_cast<off_t>(kHeaderBytes)) != 0) Fail("cannot empty the run journal " + path_);
    fileBytes_ = kHeaderBytes;
    return;
  }
  if (::ftruncate(fd_, 0) != 0) Fail("cannot empty the run journal " + path_);
  fileBytes_ = 0;
  std::string header(kMagic, 4);
  Put(header, kFormat);
  Put(header, originalVersion_);
  WriteAll(header.data(), header.size());
}

void RunJournal::Statement(const std::string& sql, const std::vector<JournalValue>& values) {
  auto [at, added] = numbers_.try_emplace(sql, static_cast<std::uint32_t>(numbers_.size()));
  std::uint32_t number = at->second;
  if (added) defined_.push_back(false);
  if (!defined_[number]) {
    body_ += 'D';
    Put(body_, number);
    Put(body_, static_cast<std::uint32_t>(sql.size()));
    body_ += sql;
    defined_[number] = true;
    definedInGroup_.push_back(number);
  }
  body_ += 'S';
  Put(body_, number);
  Put(body_, static_cast<std::uint32_t>(values.size()));
  for (const JournalValue& v : values) {
    switch (v.kind) {
      case JournalValue::Unset:
      case JournalValue::Null: body_ += 'n'; break;
      case JournalValue::Int:
        body_ += 'i';
        Put(body_, v.i);
        break;
      case JournalValue::Real:
        body_ += 'r';
        Put(body_, v.d);
        break;
      case JournalValue::Text: {
        body_ += 't';
        std::string_view text = v.TextView();
        Put(body_, static_cast<std::uint32_t>(text.size()));
        body_.append(text.data(), text.size());
        break;
      }
    }
  }
}

void RunJournal::AppendGroup(std::uint64_t number) {
  frame_ += 'G';
  Put(frame_, number);
  Put(frame_, static_cast<std::uint32_t>(body_.size()));
  Put(frame_, Checksum(body_));
  frame_ += body_;
  body_.clear();
  definedInGroup_.clear();
  changes_ = 0;
}

void RunJournal::DiscardGroup() {
  // Texts first defined in the discarded group are defined again when used.
  for (std::uint32_t number : definedInGroup_) defined_[number] = false;
  definedInGroup_.clear();
  body_.clear();
  changes_ = 0;
}

int RunJournal::TryLock(const std::string& journalPath) {
  int fd = ::open(journalPath.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return -1;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

RunJournal::Replayed RunJournal::Read(const std::string& journalPath, std::uint64_t after, const Runner& run,
                                      std::int32_t* originalVersion, std::string_view waiting) {
  Replayed result;
  std::string data;
  {
    int fd = ::open(journalPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return result;
    char buffer[65536];
    for (;;) {
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      data.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
  }
  // Groups not written yet follow those in the file (the rest of a write cut
  // short included).
  data.append(waiting.data(), waiting.size());
  std::string_view in(data);
  if (in.size() < kHeaderBytes || std::memcmp(in.data(), kMagic, 4) != 0 || in[4] != static_cast<char>(kFormat))
    return result;
  in.remove_prefix(5);
  std::int32_t version = 0;
  Get(in, &version);
  if (originalVersion) *originalVersion = version;

  std::vector<std::string> texts;
  std::vector<JournalValue> values;
  while (in.size() >= kGroupHeaderBytes && in[0] == 'G') {
    std::string_view header = in.substr(1);
    std::uint64_t number = 0, checksum = 0;
    std::uint32_t length = 0;
    Get(header, &number);
    Get(header, &length);
    Get(header, &checksum);
    if (header.size() < length) break;
    std::string_view body = header.substr(0, length);
    if (Checksum(body) != checksum) break;
    in = header.substr(length);
    bool apply = number > after;
    bool handed = false;
    while (!body.empty()) {
      char kind = body[0];
      body.remove_prefix(1);
      std::uint32_t id = 0, count = 0;
      if (!Get(body, &id)) return result;
      if (kind == 'D') {
        if (!Get(body, &count) || body.size() < count) return result;
        if (texts.size() <= id) texts.resize(id + 1);
        texts[id].assign(body.substr(0, count));
        body.remove_prefix(count);
        continue;
      }
      if (kind != 'S' || !Get(body, &count) || id >= texts.size()) return result;
      values.assign(count, JournalValue());
      for (auto& v : values) {
        if (body.empty()) return result;
        char tag = body[0];
        body.remove_prefix(1);
        if (tag == 'n') {
          v.kind = JournalValue::Null;
        } else if (tag == 'i') {
          v.kind = JournalValue::Int;
          if (!Get(body, &v.i)) return result;
        } else if (tag == 'r') {
          v.kind = JournalValue::Real;
          if (!Get(body, &v.d)) return result;
        } else if (tag == 't') {
          std::uint32_t size = 0;
          if (!Get(body, &size) || body.size() < size) return result;
          v.kind = JournalValue::Text;
          v.text = body.substr(0, size);
          body.remove_prefix(size);
        } else {
          return result;
        }
      }
      if (apply) {
        run(texts[id], values);
        ++result.statements;
        handed = true;
      }
    }
    if (apply) {
      result.lastGroup = number;
      if (handed) ++result.groups;
    }
  }
  return result;
}

}  // namespace korvane::store
