// RunJournal.cpp: see RunJournal.h.
#include "store/RunJournal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "util/Error.h"

namespace korvane::store {

namespace {

constexpr const char* kSource = "Korvane.RunJournal";
constexpr char kMagic[4] = {'K', 'V', 'R', 'J'};
constexpr std::uint8_t kFormat = 2;
constexpr std::size_t kHeaderBytes = 4 + 1 + RunJournal::kRunIdBytes;
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

[[noreturn]] void Refuse(const std::string& journalPath, const std::string& what) {
  throw Error(ErrorNumber::DatabaseFailure, kSource, "The run journal " + journalPath + " is refused: " + what + ".");
}

std::string ReadWhole(const std::string& path) {
  std::string data;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return data;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return data;
}

RunJournal::Header ParseHeader(std::string_view in) {
  RunJournal::Header header;
  if (in.size() < 5 || std::memcmp(in.data(), kMagic, 4) != 0) return header;
  const int format = static_cast<unsigned char>(in[4]);
  if (format == kFormat) {
    if (in.size() < kHeaderBytes) return header;
    header.runId.assign(in.substr(5, RunJournal::kRunIdBytes));
  }
  header.format = format;
  return header;
}

// Walks the complete groups after the header; `group` gets each one's number
// and body.
template <class Visit>
void ForEachGroup(std::string_view in, const Visit& visit) {
  in.remove_prefix(std::min(in.size(), kHeaderBytes));
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
    visit(number, body);
  }
}

}  // namespace

RunJournal::RunJournal(const std::string& databasePath) : path_(PathOf(databasePath)) {
  fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd_ < 0) Fail("cannot create the run journal " + path_);
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd_);
    fd_ = -1;
    throw Error(ErrorNumber::DatabaseFailure, kSource, "The run journal " + path_ + " is in use by another process.");
  }
}

RunJournal::~RunJournal() {
  try {
    if (fd_ >= 0 && !header_.empty()) Sync();
  } catch (...) {
    // Closing anyway: what waited is also in SQLite's open transaction or lost
    // with it, as a failed write would have lost it.
  }
  if (fd_ >= 0) ::close(fd_);
}

void RunJournal::Start(std::string_view runId) {
  header_.assign(kMagic, 4);
  Put(header_, kFormat);
  header_.append(runId.substr(0, kRunIdBytes));
  header_.resize(kHeaderBytes, '\0');
  fileBytes_ = 0;
  Truncate();
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
    // moment leaves the run's ID in the file.
    if (::ftruncate(fd_, static_cast<off_t>(kHeaderBytes)) != 0) Fail("cannot empty the run journal " + path_);
    fileBytes_ = kHeaderBytes;
    return;
  }
  if (::ftruncate(fd_, 0) != 0) Fail("cannot empty the run journal " + path_);
  fileBytes_ = 0;
  WriteAll(header_.data(), header_.size());
}

void RunJournal::BeginRow(char op, std::string_view table, std::int64_t rowId, std::uint32_t values) {
  auto at = std::find(tables_.begin(), tables_.end(), table);
  auto number = static_cast<std::uint32_t>(at - tables_.begin());
  if (at == tables_.end()) {
    tables_.emplace_back(table);
    defined_.push_back(false);
  }
  if (!defined_[number]) {
    body_ += 'T';
    Put(body_, number);
    Put(body_, static_cast<std::uint32_t>(table.size()));
    body_.append(table);
    defined_[number] = true;
    definedInGroup_.push_back(number);
  }
  body_ += op;
  Put(body_, number);
  Put(body_, rowId);
  if (op != 'X') Put(body_, values);
  ++changes_;
}

void RunJournal::IntValue(std::int64_t value) {
  body_ += 'i';
  Put(body_, value);
}

void RunJournal::RealValue(double value) {
  body_ += 'r';
  Put(body_, value);
}

void RunJournal::BytesValue(std::string_view bytes, bool blob) {
  body_ += blob ? 'b' : 't';
  Put(body_, static_cast<std::uint32_t>(bytes.size()));
  body_.append(bytes);
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
  // Tables first defined in the discarded group are defined again when used.
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

RunJournal::Header RunJournal::ReadHeader(const std::string& journalPath) {
  return ParseHeader(ReadWhole(journalPath));
}

std::uint64_t RunJournal::LastGroup(const std::string& journalPath) {
  std::string data = ReadWhole(journalPath);
  std::uint64_t last = 0;
  if (ParseHeader(data).format == kFormat) ForEachGroup(data, [&](std::uint64_t number, std::string_view) { last = number; });
  return last;
}

RunJournal::Replayed RunJournal::Read(const std::string& journalPath, std::uint64_t after, const Runner& run,
                                      std::string_view waiting) {
  Replayed result;
  // Groups not written yet follow those in the file (the rest of a write cut
  // short included).
  std::string data = ReadWhole(journalPath);
  data.append(waiting.data(), waiting.size());
  if (ParseHeader(data).format != kFormat) Refuse(journalPath, "it is not a run journal Korvane can replay");

  std::vector<std::string_view> tables;
  std::vector<JournalRow> rows;
  ForEachGroup(data, [&](std::uint64_t number, std::string_view body) {
    rows.clear();
    while (!body.empty()) {
      const char kind = body[0];
      body.remove_prefix(1);
      std::uint32_t table = 0;
      if (!Get(body, &table)) Refuse(journalPath, "group " + std::to_string(number) + " ends inside a record");
      if (kind == 'T') {
        std::uint32_t size = 0;
        if (!Get(body, &size) || body.size() < size)
          Refuse(journalPath, "group " + std::to_string(number) + " ends inside a table name");
        if (tables.size() <= table) tables.resize(table + 1);
        tables[table] = body.substr(0, size);
        body.remove_prefix(size);
        continue;
      }
      if ((kind != 'I' && kind != 'U' && kind != 'X') || table >= tables.size() || tables[table].empty())
        Refuse(journalPath, "group " + std::to_string(number) + " holds a record that is not a row write");
      JournalRow& row = rows.emplace_back();
      row.op = kind;
      row.table = tables[table];
      std::uint32_t count = 0;
      if (!Get(body, &row.rowId) || (kind != 'X' && !Get(body, &count)) || count > body.size())
        Refuse(journalPath, "group " + std::to_string(number) + " ends inside a row");
      row.values.resize(count);
      for (JournalValue& v : row.values) {
        const char tag = body.empty() ? '\0' : body[0];
        if (!body.empty()) body.remove_prefix(1);
        bool ok = true;
        if (tag == 'n') {
          v.kind = JournalValue::Null;
        } else if (tag == 'i') {
          v.kind = JournalValue::Int;
          ok = Get(body, &v.i);
        } else if (tag == 'r') {
          v.kind = JournalValue::Real;
          ok = Get(body, &v.d);
        } else if (tag == 't' || tag == 'b') {
          std::uint32_t size = 0;
          ok = Get(body, &size) && body.size() >= size;
          if (ok) {
            v.kind = tag == 't' ? JournalValue::Text : JournalValue::Blob;
            v.bytes = body.substr(0, size);
            body.remove_prefix(size);
          }
        } else {
          ok = false;
        }
        if (!ok) Refuse(journalPath, "group " + std::to_string(number) + " holds a value that is not one");
      }
    }
    if (number <= after) return;
    for (const JournalRow& row : rows) run(row);
    result.lastGroup = number;
    result.rows += rows.size();
    if (!rows.empty()) ++result.groups;
  });
  return result;
}

}  // namespace korvane::store
