// bench_export: speed and memory of the trace export.
//
// Builds an experiment database once per row count (ten subjects, an
// instance type with situation, decision and utility slots of every type,
// "ACAL" rows plus rows of other markers), then exports every optional
// column and every slot column. Reports rows per second and the resident
// memory the export added, sampled while it runs: that figure must not grow
// with the row count.
//
//   build-export/bin/bench_export --benchmark_filter=Export
//   KORVANE_BENCH_DIR=/some/folder keeps the databases between runs.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "export/ExportPreview.h"
#include "export/TraceExport.h"
#include "store/Database.h"
#include "store/Schema.h"

using namespace korvane;
using namespace korvane::exporting;

namespace {

constexpr int kSubjects = 10;
constexpr int kInstances = 200;

std::string BenchFolder() {
  const char* env = std::getenv("KORVANE_BENCH_DIR");
  std::filesystem::path folder = env && *env ? env : std::filesystem::temp_directory_path() / "korvane-bench-export";
  std::filesystem::create_directories(folder);
  return folder.string();
}

double ResidentMegabytes() {
  long pages = 0;
  long resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// The database with `rows` ACAL rows, made on first use.
std::string Database(std::int64_t rows) {
  std::string path = BenchFolder() + "/Bench-" + std::to_string(rows) + ".mdb";
  if (std::filesystem::exists(path)) return path;
  std::string building = path + ".building";
  std::filesystem::remove(building);
  auto db = store::Database::Create(building);
  store::GetOrCreateMetaInstance(db.get());
  using store::FieldType;
  store::TableDef table;
  table.name = "I1";
  table.fields = {{"X_ID", FieldType::Long, true},          {"X_Subject", FieldType::Long},
                  {"X_Working_Memory", FieldType::Boolean},  {"X_Prepopulated", FieldType::Boolean},
                  {"X_Created", FieldType::DateTime},        {"S_Price_Real", FieldType::Double},
                  {"S_Count_Integer", FieldType::Integer},   {"S_Shop_String", FieldType::Text, false, true},
                  {"D_Choice_String", FieldType::Text, false, true}, {"D_Amount_Real", FieldType::Double},
                  {"U_Value_Real", FieldType::Double}};
  table.indexes = {{"PrimaryKey", {"X_ID"}, true, false, true}, {"SubjectIdx", {"X_Subject"}}};
  db->CreateTable(table);

  db->BeginTransaction();
  auto instance = db->Prepare(
      "INSERT INTO I1 (X_Subject, S_Price_Real, S_Count_Integer, S_Shop_String, D_Choice_String, D_Amount_Real,"
      " U_Value_Real) VALUES (?, ?, ?, ?, ?, ?, ?)");
  for (int i = 1; i <= kInstances; ++i) {
    instance.Bind(1, Variant(i % kSubjects + 1));
    instance.Bind(2, Variant(i * 0.37));
    instance.Bind(3, Variant(static_cast<std::int16_t>(i % 50)));
    instance.Bind(4, Variant(i % 7 == 0 ? std::string("corner, \"north\"") : "shop " + std::to_string(i)));
    instance.Bind(5, Variant(i % 2 ? "buy" : "sell"));
    instance.Bind(6, Variant(i * 1.25));
    instance.Bind(7, Variant(1.0 / i));
    instance.Run();
  }
  auto trace = db->Prepare(
      "INSERT INTO MetaInstance (SubjectID, Time, InstanceType, TrialNumber, Instance, Marker, Activation,"
      " Similarity, BLL, Noise, Selected, Executed, Feedback) VALUES (?, ?, 'I1', ?, ?, ?, ?, ?, ?, ?, 0, 0, 0)");
  const std::int64_t perSubject = rows / kSubjects;
  for (int subject = 1; subject <= kSubjects; ++subject) {
    for (std::int64_t r = 0; r < perSubject; ++r) {
      for (int extra = 0; extra < (r % 20 == 0 ? 2 : 1); ++extra) {
        trace.Bind(1, Variant(subject));
        trace.Bind(2, Variant("2026-12-07 10:11:12.345"));
        trace.Bind(3, Variant(static_cast<std::int32_t>(r / 20)));
        trace.Bind(4, Variant(static_cast<std::int32_t>(r % kInstances + 1)));
        trace.Bind(5, Variant(extra ? "RETR-NORM" : "ACAL"));
        trace.Bind(6, Variant(r * 0.001 - 3));
        trace.Bind(7, Variant(-0.25 * static_cast<double>(r % 9)));
        trace.Bind(8, Variant(1.0 / static_cast<double>(r + 1)));
        trace.Bind(9, Variant(0.1 * static_cast<double>(r % 13)));
        trace.Run();
      }
    }
  }
  db->CommitTransaction();
  db->Close();
  std::filesystem::rename(building, path);
  return path;
}

ExportRequest EveryColumn() {
  ExportRequest request;
  request.instanceType = "I1";
  for (int s = 1; s <= kSubjects; ++s) request.subjects.push_back(s);
  request.include = IncludeOptions::All();
  return request;
}

void BM_ExportEveryColumn(benchmark::State& state) {
  const std::int64_t rows = state.range(0);
  auto db = store::Database::Open(Database(rows));
  ExportRequest request = EveryColumn();
  ExportTarget target;
  target.folder = BenchFolder();
  double before = ResidentMegabytes();
  double peak = before;
  ExportCallbacks callbacks;
  callbacks.progressInterval = 16384;
  callbacks.progress = [&](std::int64_t, std::int64_t) {
    peak = std::max(peak, ResidentMegabytes());
    return true;
  };
  std::int64_t written = 0;
  for (auto _ : state) {
    ExportOutcome outcome = ExportTrace(db.get(), request, target, callbacks);
    if (!outcome.Ok()) {
      state.SkipWithError(outcome.message.c_str());
      return;
    }
    written += outcome.rows;
    state.PauseTiming();
    std::filesystem::remove(outcome.path);
    state.ResumeTiming();
  }
  state.counters["rows/s"] = benchmark::Counter(static_cast<double>(written), benchmark::Counter::kIsRate);
  state.counters["rss_growth_MB"] = peak - before;
}
BENCHMARK(BM_ExportEveryColumn)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(3);

// Loading the preview of every row and jumping to its last page, then back
// to the middle.
void BM_PreviewJumpToEnd(benchmark::State& state) {
  const std::int64_t rows = state.range(0);
  auto db = store::Database::Open(Database(rows));
  ExportRequest request = EveryColumn();
  for (auto _ : state) {
    ExportPreview preview;
    ExportOutcome loaded = preview.Load(db.get(), request);
    if (!loaded.Ok()) {
      state.SkipWithError(loaded.message.c_str());
      return;
    }
    auto last = preview.FetchRows(preview.RowCount() - 50, preview.RowCount());
    auto middle = preview.FetchRows(preview.RowCount() / 2, preview.RowCount() / 2 + 50);
    benchmark::DoNotOptimize(last.data());
    benchmark::DoNotOptimize(middle.data());
  }
}
BENCHMARK(BM_PreviewJumpToEnd)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
