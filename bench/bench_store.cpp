// bench_store.cpp: speed of the model store's hot paths: trace rows through a
// prepared statement, instance rows through a record set, reading settings,
// opening a record set over a subject's rows, and creating a model file; and
// the floor of a trace row in SQLite (BM_TraceRowFloor).
#include <benchmark/benchmark.h>

#include <sqlite3.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "store/Database.h"
#include "store/DatabaseVersioning.h"
#include "store/MetaKeyValue.h"
#include "store/Schema.h"

using namespace korvane;
using namespace korvane::store;

namespace {

class BenchFolder {
 public:
  BenchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "korvane-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    path_ = pattern;
  }
  ~BenchFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::unique_ptr<Database> NewModel(const BenchFolder& folder, const std::string& name) {
  auto db = OpenOrCreateModelDatabase(folder.File(name), true, true);
  if (!db) std::abort();
  TableDef def;
  def.name = "I1";
  def.fields = {{"X_ID", FieldType::Long, true},          {"X_Subject", FieldType::Long},
                {"X_Working_Memory", FieldType::Boolean}, {"X_Prepopulated", FieldType::Boolean},
                {"X_Created", FieldType::DateTime},       {"S_Price_Real", FieldType::Double},
                {"D_Choice_String", FieldType::Text},     {"U_Utility_Real", FieldType::Double}};
  def.indexes = {{"PrimaryKey", {"X_ID"}, true, false, true}, {"SubjectIdx", {"X_Subject"}}};
  db->CreateTable(def);
  return db;
}

// One trace row per iteration, 1000 rows per transaction, as a run writes them.
void BM_TraceRowsPrepared(benchmark::State& state) {
  BenchFolder folder;
  auto db = NewModel(folder, "trace.mdb");
  Statement insert = db->Prepare(
      "INSERT INTO MetaInstance (SubjectID, Time, InstanceType, TrialNumber, Instance, Marker, Activation, "
      "Similarity, BLL, Noise, Selected, Executed, Feedback) VALUES (?, NOW(), ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  std::int32_t n = 0;
  db->BeginTransaction();
  for (auto _ : state) {
    insert.Bind(1, Variant(std::int32_t{1}));
    insert.Bind(2, Variant("I1"));
    insert.Bind(3, Variant(n / 10));
    insert.Bind(4, Variant(n % 50));
    insert.Bind(5, Variant("ACAL"));
    insert.Bind(6, Variant(0.25));
    insert.Bind(7, Variant(-0.5));
    insert.Bind(8, Variant(1.5));
    insert.Bind(9, Variant(0.01));
    insert.Bind(10, Variant(false));
    insert.Bind(11, Variant(false));
    insert.Bind(12, Variant::Null());
    insert.Run();
    if (++n % 1000 == 0) {
      db->CommitTransaction();
      db->BeginTransaction();
    }
  }
  db->CommitTransaction();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TraceRowsPrepared);

// What one MetaInstance row costs SQLite itself, with nothing of Korvane on
// the way: rows of the binary-choice trace's shape bound with sqlite3_bind_*
// into the trace table of a model file (WAL, synchronous NORMAL, its indexes
// dropped), 8,000 rows per commit, then the five indexes built once, as a run
// ends. Counters: us per row to insert and to index. A run's full trace can
// cost no less than their sum per row.
void BM_TraceRowFloor(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  const int rows = static_cast<int>(state.range(0));
  double insertUs = 0, indexUs = 0;
  for (auto _ : state) {
    BenchFolder folder;
    {
      auto db = NewModel(folder, "floor.mdb");
      SuspendTraceIndexes(db.get());
      db->Close();
    }
    sqlite3* raw = nullptr;
    if (sqlite3_open(folder.File("floor.mdb").c_str(), &raw) != SQLITE_OK) std::abort();
    sqlite3_exec(raw, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(raw,
                       "INSERT INTO MetaInstance (SubjectID, Time, InstanceType, TrialNumber, Instance, Marker, "
                       "Activation, Similarity, BLL, Noise, Selected, Executed, Feedback) "
                       "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                       -1, &insert, nullptr);
    auto start = Clock::now();
    sqlite3_exec(raw, "BEGIN", nullptr, nullptr, nullptr);
    for (int i = 0; i < rows; ++i) {
      sqlite3_bind_int(insert, 1, i / 1780 + 1);
      sqlite3_bind_text(insert, 2, "2026-12-07 20:17:36.032", -1, SQLITE_STATIC);
      sqlite3_bind_text(insert, 3, "I1", -1, SQLITE_STATIC);
      sqlite3_bind_int(insert, 4, i / 18);
      sqlite3_bind_int(insert, 5, 400 + i % 5);
      sqlite3_bind_text(insert, 6, "ACAL", -1, SQLITE_STATIC);
      sqlite3_bind_double(insert, 7, -2.5 + 1e-6 * i);
      sqlite3_bind_double(insert, 8, -1.0);
      sqlite3_bind_double(insert, 9, -1.6 - 1e-6 * i);
      sqlite3_bind_double(insert, 10, 0.1 + 1e-6 * i);
      sqlite3_bind_int(insert, 11, 0);
      sqlite3_bind_int(insert, 12, 1);
      sqlite3_bind_double(insert, 13, 0.0);
      if (sqlite3_step(insert) != SQLITE_DONE) std::abort();
      sqlite3_reset(insert);
      if (i % 8000 == 7999) sqlite3_exec(raw, "COMMIT; BEGIN", nullptr, nullptr, nullptr);
    }
    sqlite3_exec(raw, "COMMIT", nullptr, nullptr, nullptr);
    auto inserted = Clock::now();
    sqlite3_finalize(insert);
    sqlite3_close(raw);
    {
      auto db = Database::Open(folder.File("floor.mdb"));
      RestoreTraceIndexes(db.get());
      db->Close();
    }
    auto indexed = Clock::now();
    insertUs += std::chrono::duration<double, std::micro>(inserted - start).count() / rows;
    indexUs += std::chrono::duration<double, std::micro>(indexed - inserted).count() / rows;
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["us_per_row_insert"] = insertUs / n;
  state.counters["us_per_row_index"] = indexUs / n;
  state.counters["us_per_row"] = (insertUs + indexUs) / n;
}
BENCHMARK(BM_TraceRowFloor)->Arg(178000)->Iterations(3)->Unit(benchmark::kMillisecond);

// One instance row per iteration through AddNew/Update, each committed.
void BM_InstanceRowsRecordset(benchmark::State& state) {
  BenchFolder folder;
  auto db = NewModel(folder, "rows.mdb");
  auto rs = db->OpenTable("I1");
  for (auto _ : state) {
    rs->AddNew();
    rs->Set("X_Subject", Variant(std::int32_t{1}));
    rs->Set("X_Created", Variant(DateNow()));
    rs->Set("S_Price_Real", Variant(2.5));
    rs->Set("D_Choice_String", Variant("A"));
    rs->Set("U_Utility_Real", Variant(1.0));
    rs->Update();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InstanceRowsRecordset);

void BM_GetKeyValue(benchmark::State& state) {
  BenchFolder folder;
  auto db = NewModel(folder, "settings.mdb");
  SetKeyValue(db.get(), "Params_D_Value", Variant(0.5));
  for (auto _ : state) benchmark::DoNotOptimize(GetKeyValue(db.get(), "Params_D_Value"));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetKeyValue);

// A subject's stored rows, as each retrieval cycle loads them.
void BM_OpenSubjectRows(benchmark::State& state) {
  BenchFolder folder;
  auto db = NewModel(folder, "subject.mdb");
  {
    Transaction t(*db);
    Statement insert = db->Prepare("INSERT INTO I1 (X_Subject, S_Price_Real, D_Choice_String, U_Utility_Real) "
                                   "VALUES (?, ?, 'A', 1)");
    for (std::int32_t i = 0; i < 10 * static_cast<std::int32_t>(state.range(0)); ++i) {
      insert.Bind(1, Variant(i % 10));
      insert.Bind(2, Variant(i * 0.5));
      insert.Run();
    }
    t.Commit();
  }
  for (auto _ : state) {
    auto rs = db->OpenRecordset("SELECT * FROM I1 WHERE X_Subject = ? ORDER BY X_ID", {Variant(std::int32_t{3})});
    benchmark::DoNotOptimize(rs->RecordCount());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_OpenSubjectRows)->Arg(100)->Arg(1000);

// A new model file taken through every upgrade step.
void BM_CreateModelFile(benchmark::State& state) {
  BenchFolder folder;
  int n = 0;
  for (auto _ : state) {
    auto db = OpenOrCreateModelDatabase(folder.File("m" + std::to_string(n++) + ".mdb"), true, true);
    benchmark::DoNotOptimize(db.get());
  }
}
BENCHMARK(BM_CreateModelFile)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
