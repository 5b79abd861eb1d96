// RunJournal.h: the append-only file that makes a run's writes durable
// between SQLite commits (private to the SQLite layer).
//
// During a journaled run (Database::BeginJournaledRun) every row a
// transaction inserts, changes or deletes is recorded as data: the table,
// the row ID and the row's values as SQLite stored them. The outermost
// commit appends the transaction's rows to "<database>-run" as one group
// with one write(2). Once write(2) returns the group survives the process
// being killed, so SQLite itself needs to commit only every few hundred
// groups. Replaying the groups that the database has not committed, in
// order, on the same database state, repeats exactly what was done (row IDs
// included). The journal holds no SQL: whoever replays it writes each row
// with statements of its own, into tables it checks first.
//
// File layout: a header ("KVRJ", format 2, the run's 16-byte ID), then
// groups: 'G', the group's number (u64), the body's length (u32) and a
// checksum of the body (u64), then the body: records 'T' (a table's number
// and name), 'I' (insert: table number, row ID, values), 'U' (update: table
// number, row ID, values) and 'X' (delete: table number, row ID). A value is
// null, an integer, a real, a text or a blob (bytes as stored). A group cut
// short or failing its checksum ends the file. The database records the run
// and the last group it committed in its table MetaRunJournal, in the same
// transaction as the rows, so a group is never applied twice and a journal
// of another run is recognised. Format 1 (statement texts) is never replayed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::store {

// One stored value; a text or blob points into the journal being read.
struct JournalValue {
  enum Kind : std::uint8_t { Null, Int, Real, Text, Blob };
  Kind kind = Null;
  std::int64_t i = 0;
  double d = 0;
  std::string_view bytes;
};

// One row write as the journal holds it.
struct JournalRow {
  char op = 'I';  // 'I' insert, 'U' update, 'X' delete
  std::string_view table;
  std::int64_t rowId = 0;
  std::vector<JournalValue> values;  // every column in table order (none for a delete)
};

class RunJournal {
 public:
  static std::string PathOf(const std::string& databasePath) { return databasePath + "-run"; }
  static constexpr std::size_t kRunIdBytes = 16;

  // Opens (creating it when missing) the journal of the database and locks
  // it for this process, so that no other process replays it while the run
  // goes on; nothing is written yet. Throws korvane::Error when the journal
  // cannot be made or another process holds it.
  explicit RunJournal(const std::string& databasePath);
  // Writes what waits, closes the file (and so its lock); the file stays.
  ~RunJournal();
  RunJournal(const RunJournal&) = delete;
  RunJournal& operator=(const RunJournal&) = delete;

  // Empties the file and writes the header of run `runId` (kRunIdBytes).
  void Start(std::string_view runId);

  // --- Recording a group ------------------------------------------------------
  // A row record: BeginRow, then exactly `values` values (none for 'X').
  void BeginRow(char op, std::string_view table, std::int64_t rowId, std::uint32_t values);
  void NullValue() { body_ += 'n'; }
  void IntValue(std::int64_t value);
  void RealValue(double value);
  void BytesValue(std::string_view bytes, bool blob);
  std::int64_t Changes() const { return changes_; }
  bool GroupEmpty() const { return body_.empty(); }
  std::size_t GroupBytes() const { return body_.size(); }
  // Closes the recorded rows as group `number`; it waits in memory with the
  // groups closed before it until Sync.
  void AppendGroup(std::uint64_t number);
  // Writes the waiting groups with one write(2). Once it returns they
  // survive the process being killed.
  void Sync();
  std::string_view Waiting() const { return frame_; }
  void DiscardGroup();
  // Empties the file (back to its header) after SQLite committed every group
  // in it, and those still waiting.
  void Truncate();
  std::size_t Bytes() const { return fileBytes_ + frame_.size(); }

  // --- Reading ------------------------------------------------------------------
  struct Header {
    int format = 0;     // 0: not a run journal (or too short to say)
    std::string runId;  // format 2
  };
  struct Replayed {
    std::uint64_t lastGroup = 0;  // of those handed over
    std::size_t groups = 0;
    std::size_t rows = 0;
  };
  // Hands every row of the complete groups numbered above `after` to run, in
  // order, and returns what was handed over. A group with a record that is
  // not one of the above raises korvane::Error before any of its rows is
  // handed over. `waiting` is read as if it followed the file's bytes: the
  // groups of a live journal not written yet (Waiting()).
  using Runner = std::function<void(const JournalRow& row)>;
  static Replayed Read(const std::string& journalPath, std::uint64_t after, const Runner& run,
                       std::string_view waiting = {});
  static Header ReadHeader(const std::string& journalPath);
  // The number of the last complete group in the journal (0 when none).
  static std::uint64_t LastGroup(const std::string& journalPath);
  // Tries to take the journal's lock: false when a live process holds it.
  // On success the returned descriptor (>= 0) holds the lock until closed.
  static int TryLock(const std::string& journalPath);

 private:
  void WriteAll(const char* data, std::size_t size);
  std::string path_;
  int fd_ = -1;
  std::string header_;
  std::string body_;
  std::string frame_;
  std::int64_t changes_ = 0;
  std::size_t fileBytes_ = 0;
  // Table names by number; those defined in the file as it is now.
  std::vector<std::string> tables_;
  std::vector<bool> defined_;
  std::vector<std::uint32_t> definedInGroup_;
};

}  // namespace korvane::store
