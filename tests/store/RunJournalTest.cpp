// Tests of journaled runs: commits that append to the run journal instead of
// committing to SQLite, what a killed process leaves and how opening the file
// puts it back (exactly once, and only into its own file and run), rollbacks
// in the middle of a run, writes the journal cannot record, and journals
// that must not be applied. Real files in a temporary folder; the killed
// process is a real child process ended with SIGKILL.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <functional>

#include "TestSupport.h"
#include "store/Database.h"
#include "store/RunJournal.h"
#include "util/Dialogs.h"

using namespace korvane;
using namespace korvane::store;

namespace {

void MakeTable(const std::string& path) {
  auto db = Database::Create(path);
  db->Execute(
      "CREATE TABLE T (X_ID INTEGER PRIMARY KEY AUTOINCREMENT, N INTEGER, R DOUBLE, S VARCHAR, Stamp DATETIME)");
  db->Execute("CREATE TABLE MetaNotes (Name VARCHAR, Value VARCHAR)");  // a table a run never writes
  db->Execute("INSERT INTO MetaNotes (Name, Value) VALUES ('Listen', '127.0.0.1')");
  db->Execute("PRAGMA user_version = 7");
  db->Close();
}

// One group: a row through Execute (Variant values) and one through a
// prepared statement with typed binds, as the trace writes its rows. Made
// durable at once, as a run's owner does before every reply, unless told not.
void WriteGroup(Database& db, int n, bool durable = true) {
  db.BeginTransaction();
  db.Execute("INSERT INTO T (N, R, S, Stamp) VALUES (?, ?, ?, ?)",
             {Variant(n), Variant(n / 3.0), Variant("row " + std::to_string(n)), Variant(DateValue{45000.25})});
  static const std::string text = "typed";
  Statement s = db.Prepare("INSERT INTO T (N, R, S) VALUES (?, ?, ?)");
  s.BindInt(1, -n);
  s.BindDouble(2, std::nan(""));
  s.BindStaticText(3, text);
  s.Run();
  db.CommitTransaction();
  if (durable) db.MakeRunDurable();
}

long Count(Database& db, const std::string& where = "1") {
  auto rs = db.OpenRecordset("SELECT COUNT(*) FROM T WHERE " + where);
  return static_cast<long>(rs->Get(0).ToNumber());
}

std::string Integrity(Database& db) {
  auto rs = db.OpenRecordset("PRAGMA integrity_check");
  return rs->Get(0).ToText();
}

long UserVersion(Database& db) {
  auto rs = db.OpenRecordset("PRAGMA user_version");
  return static_cast<long>(rs->Get(0).ToNumber());
}

// A run of `groups` durable groups in a child process (then whatever `more`
// does), killed with SIGKILL while the file is open; the journal stays
// beside the file.
void RunAndKill(const std::string& path, int groups, int first = 1,
                const std::function<void(Database&)>& more = {}) {
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(pipeFds[0]);
    std::unique_ptr<Database> db;  // never closed: the process dies with it open
    try {
      db = Database::Open(path);
      db->BeginJournaledRun();
      for (int n = first; n < first + groups; ++n) WriteGroup(*db, n);
      if (more) more(*db);
      char done = 'x';
      if (write(pipeFds[1], &done, 1) != 1) _exit(2);
    } catch (...) {
      _exit(3);
    }
    pause();
    _exit(4);
  }
  close(pipeFds[1]);
  char done = 0;
  ASSERT_EQ(read(pipeFds[0], &done, 1), 1);
  close(pipeFds[0]);
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
  ASSERT_TRUE(std::filesystem::exists(path + "-run"));
}

// Records what opening a file tells, instead of printing it.
struct ScriptedOpen {
  std::shared_ptr<ScriptedDialogs> dialogs = std::make_shared<ScriptedDialogs>();
  std::shared_ptr<Dialogs> previous = SetDialogs(dialogs);
  ~ScriptedOpen() { SetDialogs(previous); }
  std::string Told() const { return dialogs->Shown().empty() ? "" : dialogs->Shown().back().text; }
};

}  // namespace

TEST(RunJournal, AKilledRunLosesNoCommittedGroupAndOpeningPutsThemBack) {
  test::TempDir dir;
  const std::string path = dir.File("run.mdb");
  MakeTable(path);

  // 1,203 groups: two batches SQLite committed, 203 only in the journal.
  constexpr int kGroups = 1203;
  RunAndKill(path, kGroups, 1, [](Database& db) {
    // Groups committed after the last reply wait in memory, to reach the
    // file with the next one: a process killed before then loses them, as
    // it would lose lines it had not read yet.
    WriteGroup(db, 888888, false);
    WriteGroup(db, 888889, false);
    // A transaction in progress when the process dies is lost.
    db.BeginTransaction();
    db.Execute("INSERT INTO T (N) VALUES (999999)");
  });

  // A reading command's open (korvane info, export) puts them back too.
  auto db = Database::OpenReadOnly(path);
  EXPECT_EQ(Integrity(*db), "ok");
  EXPECT_EQ(Count(*db), 2 * kGroups);
  EXPECT_EQ(Count(*db, "N = 999999 OR N >= 888888"), 0);
  // Values come back exactly as they were bound, IDs in their order.
  EXPECT_EQ(Count(*db, "N > 0 AND R = N / 3.0 AND S = 'row ' || N AND Stamp IS NOT NULL"), kGroups);
  EXPECT_EQ(Count(*db, "N < 0 AND R IS NULL AND S = 'typed'"), kGroups);
  auto last = db->OpenRecordset("SELECT X_ID, N FROM T ORDER BY X_ID DESC LIMIT 1");
  EXPECT_EQ(last->Get(0).ToNumber(), 2 * kGroups);
  EXPECT_EQ(last->Get(1).ToNumber(), -kGroups);
  EXPECT_EQ(UserVersion(*db), 7);
  EXPECT_FALSE(std::filesystem::exists(path + "-run"));
  db->Close();
  // Opening again finds nothing more to do.
  auto again = Database::Open(path);
  EXPECT_EQ(Count(*again), 2 * kGroups);
}

TEST(RunJournal, RollbackUndoesOnlyTheTransactionInProgressAndEndCommitsEverything) {
  test::TempDir dir;
  const std::string path = dir.File("run.mdb");
  MakeTable(path);
  auto db = Database::Open(path);
  db->BeginJournaledRun();
  for (int n = 1; n <= 3; ++n) WriteGroup(*db, n);
  // Journaled groups are not yet committed to SQLite: another connection
  // does not see them (the run keeps them in its open transaction).
  {
    auto other = Database::Open(path);  // must leave the live journal alone
    EXPECT_EQ(Count(*other), 0);
    EXPECT_TRUE(std::filesystem::exists(path + "-run"));
  }
  db->BeginTransaction();
  db->Execute("INSERT INTO T (N) VALUES (100)");
  db->RollbackTransaction();
  EXPECT_EQ(Count(*db), 6);
  EXPECT_EQ(Count(*db, "N = 100"), 0);
  WriteGroup(*db, 4);
  EXPECT_EQ(Count(*db), 8);
  // IDs continue where the kept groups left off.
  auto last = db->OpenRecordset("SELECT MAX(X_ID) FROM T");
  EXPECT_EQ(last->Get(0).ToNumber(), 8);

  db->CommitJournaledRun();
  {
    auto other = Database::Open(path);
    EXPECT_EQ(Count(*other), 8);
  }
  WriteGroup(*db, 5);
  db->EndJournaledRun();
  EXPECT_FALSE(db->JournaledRun());
  EXPECT_FALSE(std::filesystem::exists(path + "-run"));
  EXPECT_EQ(UserVersion(*db), 7);
  auto other = Database::Open(path);
  EXPECT_EQ(Count(*other), 10);
  EXPECT_EQ(Integrity(*other), "ok");
}

TEST(RunJournal, WritesTheJournalCannotRecordAreCommittedAtOnce) {
  test::TempDir dir;
  const std::string path = dir.File("run.mdb");
  MakeTable(path);
  auto db = Database::Open(path);
  db->BeginJournaledRun();
  WriteGroup(*db, 1);
  // A record set's rows are journaled like any other.
  db->BeginTransaction();
  auto rs = db->OpenTable("T");
  rs->AddNew();
  rs->Set("N", Variant(50));
  rs->Update();
  rs->Close();
  db->CommitTransaction();
  {
    auto other = Database::Open(path);
    EXPECT_EQ(Count(*other), 0);
  }
  // A table a run never writes (settings, formulas) is written around the
  // journal: that commit is a real one, and takes the journaled groups with it.
  db->BeginTransaction();
  db->Execute("UPDATE MetaNotes SET Value = '0.0.0.0'");
  db->CommitTransaction();
  {
    auto other = Database::Open(path);
    EXPECT_EQ(Count(*other), 3);
  }
  // A table made through the schema layer inside a step, too (its index
  // bookkeeping is written around the journal).
  db->BeginTransaction();
  TableDef def;
  def.name = "U";
  def.fields.push_back(FieldInfo{"A", FieldType::Long, true});
  db->CreateTable(def);
  db->Execute("INSERT INTO U (A) VALUES (1)");
  db->CommitTransaction();
  {
    auto other = Database::Open(path);
    auto u = other->OpenRecordset("SELECT COUNT(*) FROM U");
    EXPECT_EQ(u->Get(0).ToNumber(), 1);
  }
  // Closing with groups still journaled commits them and removes the journal.
  WriteGroup(*db, 2);
  db->Close();
  EXPECT_FALSE(std::filesystem::exists(path + "-run"));
  auto other = Database::Open(path);
  EXPECT_EQ(Count(*other), 5);
  EXPECT_EQ(UserVersion(*other), 7);
}

TEST(RunJournal, ACutOffOrDamagedTailIsIgnored) {
  test::TempDir dir;
  const std::string path = dir.File("run.mdb");
  MakeTable(path);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::unique_ptr<Database> db;
    try {
      db = Database::Open(path);
      db->BeginJournaledRun();
      for (int n = 1; n <= 10; ++n) WriteGroup(*db, n);
    } catch (...) {
      _exit(3);
    }
    raise(SIGKILL);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
  // The last group cut in half, as a write cut short would leave it, and a
  // copy of the file with garbage in the middle of the 6th group.
  const std::string journal = path + "-run";
  auto size = std::filesystem::file_size(journal);
  for (const char* suffix : {"", "-wal", "-run"})
    if (std::filesystem::exists(path + suffix)) std::filesystem::copy_file(path + suffix, dir.File("copy.mdb") + suffix);
  std::filesystem::resize_file(journal, size - 20);
  auto db = Database::Open(path);
  EXPECT_EQ(Count(*db), 18);
  EXPECT_EQ(Integrity(*db), "ok");

  {
    FILE* f = fopen(dir.File("copy.mdb-run").c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    fseek(f, static_cast<long>(size * 6 / 10), SEEK_SET);
    fputs("garbage", f);
    fclose(f);
  }
  auto copy = Database::Open(dir.File("copy.mdb"));
  long rows = Count(*copy);
  EXPECT_GE(rows, 8);
  EXPECT_LT(rows, 20);
  EXPECT_EQ(rows % 2, 0);  // whole groups only
  EXPECT_EQ(Integrity(*copy), "ok");
}

TEST(RunJournal, AJournalWriteThatFailsLosesNothing) {
  // A file-size limit makes write(2) fail as a full disk would.
  test::TempDir dir;
  const std::string path = dir.File("run.mdb");
  MakeTable(path);
  auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  rlimit unlimited{};
  getrlimit(RLIMIT_FSIZE, &unlimited);
  auto db = Database::Open(path);
  db->BeginJournaledRun();
  WriteGroup(*db, 1);         // in the file
  WriteGroup(*db, 2, false);  // waiting in memory
  rlimit capped = unlimited;
  capped.rlim_cur = std::filesystem::file_size(path + "-run") + 30;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &capped), 0);
  // The write stops after 30 bytes of group 2: an error, and the rest waits.
  EXPECT_THROW(db->MakeRunDurable(), Error);
  // A step that fails now is rolled back; the groups before it go in again
  // from the file and from memory, though the journal still takes nothing.
  db->BeginTransaction();
  db->Execute("INSERT INTO T (N) VALUES (999999)");
  db->RollbackTransaction();
  EXPECT_EQ(Count(*db), 4);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &unlimited), 0);
  signal(SIGXFSZ, oldHandler);

  // The disk has room again: the next write carries the rest of group 2 and
  // group 3. A copy of the files as they are now is what a killed process
  // would leave.
  WriteGroup(*db, 3);
  for (const char* suffix : {"", "-wal", "-run"})
    if (std::filesystem::exists(path + suffix)) std::filesystem::copy_file(path + suffix, dir.File("copy.mdb") + suffix);
  {
    auto copy = Database::Open(dir.File("copy.mdb"));
    EXPECT_EQ(Integrity(*copy), "ok");
    EXPECT_EQ(Count(*copy), 6);
    EXPECT_EQ(Count(*copy, "N = 999999"), 0);
  }
  db->EndJournaledRun();
  db->Close();
  auto again = Database::OpenReadOnly(path);
  EXPECT_EQ(Count(*again), 6);
  EXPECT_EQ(Count(*again, "N = 2 OR N = -2"), 2);  // group 2 once, not twice
}

TEST(RunJournal, RecoveryAppliesEachGroupExactlyOnce) {
  test::TempDir dir;
  const std::string path = dir.File("run.mdb");
  MakeTable(path);
  RunAndKill(path, 40);
  const std::string journal = path + "-run";
  std::filesystem::copy_file(journal, dir.File("saved-run"));
  ScriptedOpen open;
  {
    auto db = Database::Open(path);
    EXPECT_EQ(Count(*db), 80);
    EXPECT_EQ(db->OpenNotice(), "");
  }
  // The journal back beside the file: what a kill between the recovery's
  // COMMIT and the journal's removal leaves, and what putting an applied
  // journal back does. Nothing goes in twice, and nothing is said.
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::filesystem::copy_file(dir.File("saved-run"), journal, std::filesystem::copy_options::overwrite_existing);
    auto db = attempt == 0 ? Database::Open(path) : Database::OpenReadOnly(path);
    EXPECT_EQ(Count(*db), 80);
    EXPECT_EQ(Count(*db, "N = 40") + Count(*db, "N = -40"), 2);
    EXPECT_EQ(db->OpenNotice(), "");
    EXPECT_FALSE(std::filesystem::exists(journal));
  }
  EXPECT_TRUE(open.dialogs->Shown().empty());

  // A run killed again goes on from there; the first run's journal put back
  // afterwards is another run's and is kept aside, not applied.
  RunAndKill(path, 5, 41);
  {
    auto db = Database::Open(path);
    EXPECT_EQ(Count(*db), 90);
  }
  std::filesystem::copy_file(dir.File("saved-run"), journal);
  auto db = Database::Open(path);
  EXPECT_EQ(Count(*db), 90);
  EXPECT_NE(db->OpenNotice().find("another run"), std::string::npos) << db->OpenNotice();
  EXPECT_EQ(open.Told(), db->OpenNotice());
  EXPECT_FALSE(std::filesystem::exists(journal));
  EXPECT_TRUE(std::filesystem::exists(journal + ".refused"));
  EXPECT_EQ(Integrity(*db), "ok");
}

TEST(RunJournal, AJournalOfAnotherFileOrACopyIsKeptAside) {
  test::TempDir dir;
  const std::string a = dir.File("a.mdb"), b = dir.File("b.mdb");
  MakeTable(a);
  MakeTable(b);
  RunAndKill(a, 10);
  {
    auto db = Database::Open(b);
    db->BeginJournaledRun();
    WriteGroup(*db, 1);
    db->EndJournaledRun();
  }
  // a's journal beside b (which has had a run of its own), and beside a copy
  // of a made with Database::Copy: neither is a's file.
  std::filesystem::copy_file(a + "-run", b + "-run");
  Database::Copy(a, dir.File("c.mdb"));
  std::filesystem::copy_file(a + "-run", dir.File("c.mdb") + "-run");
  ScriptedOpen open;
  for (const std::string& other : {b, dir.File("c.mdb")}) {
    auto db = Database::Open(other);
    EXPECT_NE(db->OpenNotice().find("another run or another file"), std::string::npos) << db->OpenNotice();
    EXPECT_EQ(Count(*db), other == b ? 2 : 0);
    EXPECT_TRUE(std::filesystem::exists(other + "-run.refused"));
  }
  auto own = Database::Open(a);
  EXPECT_EQ(Count(*own), 20);
  EXPECT_EQ(own->OpenNotice(), "");
}

TEST(RunJournal, AJournalHoldsOnlyRowsAndAnythingElseIsRefused) {
  test::TempDir dir;
  const std::string path = dir.File("run.mdb");
  MakeTable(path);
  RunAndKill(path, 3);
  const std::string journal = path + "-run";
  const std::string runId = RunJournal::ReadHeader(journal).runId;
  ASSERT_EQ(runId.size(), RunJournal::kRunIdBytes);
  std::filesystem::remove(journal);
  ScriptedOpen open;

  // Valid checksums, the file's own run: a settings row, then a row of a
  // table the file does not have, then a row with a value too few. Each is
  // refused whole (its good first row included) and kept aside.
  auto hostile = [&](const std::function<void(RunJournal&)>& rows) {
    {
      RunJournal j(path);
      j.Start(runId);
      j.BeginRow('I', "T", 1000, 5);
      j.IntValue(1000);
      j.IntValue(7);
      j.RealValue(1.5);
      j.BytesValue("planted", false);
      j.NullValue();
      rows(j);
      j.AppendGroup(1000);
      j.Sync();
    }
    auto db = Database::Open(path);
    EXPECT_NE(db->OpenNotice().find("refused"), std::string::npos) << db->OpenNotice();
    EXPECT_EQ(Count(*db, "N = 7"), 0);
    auto notes = db->OpenRecordset("SELECT Value FROM MetaNotes");
    EXPECT_EQ(notes->Get(0).ToText(), "127.0.0.1");
    EXPECT_FALSE(std::filesystem::exists(journal));
  };
  hostile([](RunJournal& j) {
    j.BeginRow('U', "MetaNotes", 1, 2);
    j.BytesValue("Listen", false);
    j.BytesValue("0.0.0.0", false);
  });
  hostile([](RunJournal& j) { j.BeginRow('X', "sqlite_master", 1, 0); });
  hostile([](RunJournal& j) {
    j.BeginRow('I', "T", 1001, 1);
    j.IntValue(1001);
  });
  EXPECT_TRUE(std::filesystem::exists(journal + ".refused-3"));

  // A journal in the earlier format held statement texts: never run.
  {
    std::string old("KVRJ\x01\x07\0\0\0G", 10);
    old += std::string(20, '\0') + "D\0\0\0\0\x15\0\0\0DROP TABLE MetaNotes;";
    FILE* f = fopen(journal.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(old.data(), 1, old.size(), f);
    fclose(f);
  }
  auto db = Database::OpenReadOnly(path);
  EXPECT_NE(db->OpenNotice().find("earlier version"), std::string::npos) << db->OpenNotice();
  EXPECT_EQ(Count(*db), 0);  // its journal was taken away above
  EXPECT_TRUE(db->FindTableDef("MetaNotes").has_value());
}

TEST(RunJournal, AnyBytesComeBackAsTheyWereAndAReadOnlyFileSaysWhatItLacks) {
  test::TempDir dir;
  const std::string path = dir.File("run.mdb");
  MakeTable(path);
  const std::string latin1("caf\xE9", 4);
  RunAndKill(path, 0, 1, [&](Database& db) {
    db.BeginTransaction();
    db.Execute("INSERT INTO T (N, S) VALUES (1, ?)", {Variant(latin1)});
    db.Execute("INSERT INTO T (N, S) VALUES (2, x'00ff10')");
    db.CommitTransaction();
    db.MakeRunDurable();
  });

  // Read-only media: the file is shown as committed, and the reader is told.
  std::filesystem::permissions(path, std::filesystem::perms::owner_write | std::filesystem::perms::group_write |
                                         std::filesystem::perms::others_write,
                               std::filesystem::perm_options::remove);
  ScriptedOpen open;
  {
    auto db = Database::OpenReadOnly(path);
    EXPECT_EQ(Count(*db), 0);
    EXPECT_NE(db->OpenNotice().find("1 step(s)"), std::string::npos) << db->OpenNotice();
    EXPECT_EQ(open.Told(), db->OpenNotice());
  }
  std::filesystem::permissions(path, std::filesystem::perms::owner_write, std::filesystem::perm_options::add);
  auto db = Database::OpenReadOnly(path);
  EXPECT_EQ(db->OpenNotice(), "");
  auto rs = db->OpenRecordset("SELECT S, typeof(S) FROM T ORDER BY N");
  EXPECT_EQ(rs->Get(0).ToText(), latin1);
  rs->MoveNext();
  EXPECT_EQ(rs->Get(1).ToText(), "blob");
  EXPECT_EQ(Count(*db, "S = x'00ff10'"), 1);
}
