// bench_engine.cpp: speed and memory of the decision engine.
//
//   BM_RetrievalCycle/N   one retrieval cycle over N instances: two situation
//                         slots with one similarity formula each, blended
//                         retrieval, and every trace row written and
//                         committed. Target: <= 2 us per candidate, linear.
//   BM_LongMergingRun     many trials of a model whose instances merge:
//                         instance rows and resident memory must stay flat.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "engine/ModelExecutor.h"
#include "engine/Scheduler.h"
#include "formula/VariableList.h"
#include "store/Database.h"
#include "store/MetaDecision.h"
#include "store/MetaKeyValue.h"
#include "store/MetaSimilarity.h"
#include "store/MetaUtility.h"
#include "store/Schema.h"

namespace {

using namespace korvane;

class QuietOwner : public engine::ExecutorOwner {
 public:
  void AddLog(const std::string&, int) override {}
  void SendData(const std::string&) override { ++replies; }
  void AddFileLog(const std::string&, int) override {}
  void OnExecutorError(const Error& e) override { error = e.Description(); }
  int LogDetailLevel() const override { return 1; }
  long replies = 0;
  std::string error;
};

std::string TempModel(const std::string& name) {
  auto path = std::filesystem::temp_directory_path() / ("korvane-bench-" + name + ".mdb");
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path.string() + suffix);
  return path.string();
}

std::unique_ptr<store::Database> MakeModel(const std::string& path, int instances, bool blending) {
  auto db = store::Database::Create(path);
  store::TableDef def;
  def.name = "I1";
  def.fields = {{"X_ID", store::FieldType::Long, true},          {"X_Subject", store::FieldType::Long},
                {"X_Working_Memory", store::FieldType::Boolean}, {"X_Prepopulated", store::FieldType::Boolean},
                {"X_Created", store::FieldType::DateTime},       {"S_A_Real", store::FieldType::Double},
                {"S_B_Real", store::FieldType::Double},          {"D_Choice_Real", store::FieldType::Double},
                {"U_Util_Real", store::FieldType::Double}};
  store::IndexInfo primary{"PrimaryKey", {"X_ID"}, true, true, true};
  store::IndexInfo subject{"SubjectIdx", {"X_Subject"}, false, false, false};
  def.indexes = {primary, subject};
  db->CreateTable(def);
  auto set = [&](const char* key, const Variant& v) { store::SetKeyValue(db.get(), key, v); };
  set("Params_Alpha_Value", 1.0);
  set("Params_CT_Value", 0.0);
  set("Params_CT_Cmp", ">=");
  set("Params_D_Value", 0.5);
  set("Params_Delta_Value", -1e9);
  set("Params_Delta_Cmp", ">");
  set("Params_U_Value", -1e9);
  set("Params_U_Cmp", ">");
  set("Params_Goal_Value", 10.0);
  set("Params_LE_Value", 1.0);
  set("Params_LF_Value", 1.0);
  set("Params_S_Value", 0.25);
  set("Params_StopRule", 1.0);
  set("Params_StopRule_Num", blending ? 1000000000.0 : 1.0);
  set("I1_SimilarityType", 1.0);
  set("I1_DecisionType", 1.0);
  set("I1_RetrievalMethod", blending ? 1.0 : 0.0);
  set("Reinforce_Feedback", 1.0);
  store::SetSimilarityFormula(db.get(), "I1", "A", "PM = -ABS(CUE - MEMORY)");
  store::SetSimilarityFormula(db.get(), "I1", "B", "PM = -ABS(CUE - MEMORY) / 2");
  store::SetDecisionFormula(db.get(), "I1", "D_Choice_Real", "D = Memory.Choice");
  store::SetDecisionFormula(db.get(), "I1", "D_Choice_Real_FAILURE", "D = 1");
  store::SetJudgmentFormula(db.get(), "I1", false, "U = 5");
  std::mt19937 gen(1);
  db->BeginTransaction();
  auto insert = db->Prepare(
      "INSERT INTO I1 (X_Subject, X_Working_Memory, X_Prepopulated, X_Created, S_A_Real, S_B_Real, D_Choice_Real, "
      "U_Util_Real) VALUES (1, 0, 0, '2026-01-01 00:00:00.000', ?, ?, ?, ?)");
  for (int i = 0; i < instances; ++i) {
    insert.Bind(1, Variant(static_cast<double>(gen() % 100)));
    insert.Bind(2, Variant(static_cast<double>(gen() % 100)));
    insert.Bind(3, Variant(static_cast<double>(gen() % 3)));
    insert.Bind(4, Variant(static_cast<double>(gen() % 10)));
    insert.Run();
  }
  db->CommitTransaction();
  return db;
}

formula::VariableList Cue(double a, double b) {
  formula::VariableList cue;
  cue.Add("A", Variant(a));
  cue.Add("B", Variant(b));
  return cue;
}

engine::ExecutorOptions Simulated() {
  engine::ExecutorOptions options;
  options.clock = engine::ClockKind::Simulated;
  options.seed = 11;
  return options;
}

void BM_RetrievalCycle(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  std::string path = TempModel("cycle-" + std::to_string(n));
  auto db = MakeModel(path, n, true);
  QuietOwner owner;
  engine::QueueScheduler scheduler;
  engine::ModelExecutor executor(*db, owner, scheduler, Simulated());
  if (!executor.Prepare("I1")) {
    state.SkipWithError("model does not prepare");
    return;
  }
  // As in a run served to a task: the trace's indexes are built at its end
  // (BM_TraceIndexRebuild).
  store::SuspendTraceIndexes(db.get());
  // The subject's rows are loaded into memory once, by the first cycle.
  executor.AcceptCue(Cue(50, 50));
  scheduler.RunAll();
  int i = 0;
  for (auto _ : state) {
    executor.AcceptCue(Cue(i % 100, (i * 7) % 100));
    scheduler.RunAll();
    ++i;
  }
  if (!owner.error.empty()) state.SkipWithError(owner.error.c_str());
  state.SetItemsProcessed(state.iterations() * n);
  state.counters["us_per_candidate"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * n * 1e-6, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  db.reset();
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
}
BENCHMARK(BM_RetrievalCycle)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

long MaxResidentKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

void BM_LongMergingRun(benchmark::State& state) {
  const int trials = static_cast<int>(state.range(0));
  std::string path = TempModel("long");
  auto db = MakeModel(path, 0, false);
  QuietOwner owner;
  engine::QueueScheduler scheduler;
  engine::ModelExecutor executor(*db, owner, scheduler, Simulated());
  if (!executor.Prepare("I1")) {
    state.SkipWithError("model does not prepare");
    return;
  }
  executor.IncrementSubjectID(1);
  long rssAtHalf = 0;
  for (auto _ : state) {
    for (int t = 0; t < trials; ++t) {
      executor.AcceptCue(Cue(t % 5, t % 3));
      formula::VariableList feedback;
      feedback.Add("O", Variant(static_cast<double>(t % 7)));
      executor.AcceptFeedback(feedback);
      scheduler.RunAll();
      if (t == trials / 2) rssAtHalf = MaxResidentKb();
    }
  }
  auto rs = db->OpenRecordset("SELECT COUNT(*) FROM I1");
  state.counters["instance_rows"] = rs->Get(0).ToNumber();
  state.counters["rss_growth_second_half_kb"] = static_cast<double>(MaxResidentKb() - rssAtHalf);
  state.counters["replies"] = static_cast<double>(owner.replies);
  if (!owner.error.empty()) state.SkipWithError(owner.error.c_str());
  rs.reset();
  db.reset();
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
}
BENCHMARK(BM_LongMergingRun)->Arg(4000)->Iterations(1)->Unit(benchmark::kMillisecond);

// What the end of a run costs: building the trace's five indexes over N rows
// (100 subjects, 10,000 instances, trials of 100 candidates each).
void BM_TraceIndexRebuild(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0));
  std::string path = TempModel("rebuild");
  auto db = store::Database::Create(path);
  store::GetOrCreateMetaInstance(db.get());
  store::SuspendTraceIndexes(db.get());
  {
    std::mt19937 gen(3);
    db->BeginTransaction();
    auto insert = db->Prepare(
        "INSERT INTO MetaInstance (SubjectID, Time, InstanceType, TrialNumber, Instance, Marker, Activation, "
        "Similarity, BLL, Noise, Selected, Executed, Feedback) "
        "VALUES (?, '2026-12-07 10:00:00', 'I1', ?, ?, 'ACAL', ?, ?, ?, ?, 0, 0, 0)");
    for (int i = 0; i < rows; ++i) {
      insert.Bind(1, Variant(i / (rows / 100) + 1));
      insert.Bind(2, Variant((i / 100) % 100));
      insert.Bind(3, Variant(static_cast<std::int32_t>(gen() % 10000)));
      for (int c = 4; c <= 7; ++c) insert.Bind(c, Variant(static_cast<double>(gen() % 1000) / 7.0));
      insert.Run();
    }
    db->CommitTransaction();
  }
  for (auto _ : state) {
    store::RestoreTraceIndexes(db.get());
    state.PauseTiming();
    store::SuspendTraceIndexes(db.get());
    state.ResumeTiming();
  }
  state.counters["us_per_row"] = benchmark::Counter(static_cast<double>(state.iterations()) * rows * 1e-6,
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  db.reset();
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
}
BENCHMARK(BM_TraceIndexRebuild)->Arg(1000000)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
