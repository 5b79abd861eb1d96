// RunJournal.h: the append-only file that makes a run's writes durable
// between SQLite commits (private to the SQLite layer).
//
// During a journaled run (Database::BeginJournaledRun) every writing
// statement of a transaction is recorded with the values SQLite was given,
// and the outermost commit appends the transaction's records to
// "<database>-run" as one group with one write(2). Once write(2) returns the
// group survives the process being killed, so SQLite itself needs to commit
// only every few hundred groups. Replaying the groups that the database has
// not committed, in order, on the same database state, repeats exactly what
// was done (row IDs included).
//
// File layout: a header ("KVRJ" 1, the file's original user_version), then
// groups: 'G', the group's number (u64), the body's length (u32) and a
// checksum of the body (u64), then the body: records 'D' (a statement text
// and its number) and 'S' (a statement number and its parameters: null, an
// integer, a real or a text). A group cut short or failing its checksum ends
// the file. The database keeps the number of the last group it committed in
// its user_version.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace korvane::store {

// One bound value as SQLite received it.
struct JournalValue {
  enum Kind : std::uint8_t { Unset, Null, Int, Real, Text };
  Kind kind = Unset;
  std::int64_t i = 0;
  double d = 0;
  std::string owned;      // a text SQLite copied
  std::string_view text;  // static text that stays valid until the statement has run
  bool ownsText = false;  // the text is owned (the view would not survive a copy)
  std::string_view TextView() const { return ownsText ? std::string_view(owned) : text; }
};

class RunJournal {
 public:
  static std::string PathOf(const std::string& databasePath) { return databasePath + "-run"; }

  // Creates (or empties) the journal of the database and locks it for this
  // process, so that no other process replays it while the run goes on.
  // originalVersion is the database's user_version before the run. Throws
  // korvane::Error when the journal cannot be made or another process holds it.
  RunJournal(const std::string& databasePath, std::int32_t originalVersion);
  // Writes what waits, closes the file (and so its lock); the file stays.
  ~RunJournal();
  RunJournal(const RunJournal&) = delete;
  RunJournal& operator=(const RunJournal&) = delete;

  // --- Recording a group ------------------------------------------------------
  void Statement(const std::string& sql, const std::vector<JournalValue>& values);
  // Rows changed by the recorded statements (compared with SQLite's own
  // count, to notice a write that went around the recording).
  void AddChanges(std::int64_t rows) { changes_ += rows; }
  std::int64_t Changes() const { return changes_; }
  bool GroupEmpty() const { return body_.empty(); }
  std::size_t GroupBytes() const { return body_.size(); }
  // Closes the recorded statements as group `number`; it waits in memory
  // with the groups closed before it until Sync.
  void AppendGroup(std::uint64_t number);
  // Writes the waiting groups with one write(2). Once it returns they
  // survive the process being killed.
  void Sync();
  std::string_view Waiting() const { return frame_; }
  void DiscardGroup();
  // Empties the file after SQLite committed every group in it, and those
  // still waiting.
  void Truncate();
  std::size_t Bytes() const { return fileBytes_ + frame_.size(); }

  // --- Reading ------------------------------------------------------------------
  struct Replayed {
    std::uint64_t lastGroup = 0;  // of those handed over
    std::size_t groups = 0;
    std::size_t statements = 0;
  };
  // Hands every statement of the complete groups numbered above `after` to
  // run, in order. Returns what was handed over.
  // `waiting` is read as if it followed the file's bytes: the groups of a
  // live journal not written yet (Waiting()).
  using Runner = std::function<void(const std::string& sql, const std::vector<JournalValue>& values)>;
  static Replayed Read(const std::string& journalPath, std::uint64_t after, const Runner& run,
                       std::int32_t* originalVersion = nullptr, std::string_view waiting = {});
  // Tries to take the journal's lock: false when a live process holds it.
  // On success the returned descriptor (>= 0) holds the lock until closed.
  static int TryLock(const std::string& journalPath);

 private:
  void WriteAll(const char* data, std::size_t size);
  std::string path_;
  int fd_ = -1;
  std::int32_t originalVersion_ = 0;
  std::string body_;
  std::string frame_;
  std::int64_t changes_ = 0;
  std::size_t fileBytes_ = 0;
  // Statement texts by number; those defined in the file as it is now.
  std::unordered_map<std::string, std::uint32_t> numbers_;
  std::vector<bool> defined_;
  std::vector<std::uint32_t> definedInGroup_;
};

}  // namespace korvane::store
