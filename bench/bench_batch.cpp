// bench_batch.cpp: the decision engine driven in-process, as a batch of
// simulated subjects runs it, without sockets or an event loop.
//
//   BM_BinaryChoiceInProcess/L   the binary-choice example (two options, blended
//                                retrieval, simulated clock), S subjects x T
//                                trials, trace level L (0 full, 1 decisions,
//                                2 none), every row made durable as a task
//                                run makes it (the run journal), the trace's
//                                indexes built at the end. Counter:
//                                decisions_per_second (wall), trace_rows.
//   BM_GrowingMemory/L           one subject, 1000 trials whose payoff is a
//                                normal draw (mean 3 or 4, sd 1), so nearly
//                                every feedback leaves a new instance and the
//                                memory grows with the trial number.
//                                Counters: us per decision around 100 and
//                                around 1000 instances, the whole run with the
//                                index build, instances at the end.
//
//   build/bin/bench_batch [--subjects=N] [--trials=M]   (defaults 1000 x 100)
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include "engine/ModelExecutor.h"
#include "engine/Scheduler.h"
#include "formula/VariableList.h"
#include "model/ExampleModels.h"
#include "model/ModelFiles.h"
#include "store/Database.h"
#include "store/MetaKeyValue.h"
#include "store/Schema.h"

namespace {

using namespace korvane;
using Clock = std::chrono::steady_clock;

int subjects = 1000;
int trials = 100;

class Owner : public engine::ExecutorOwner {
 public:
  void AddLog(const std::string&, int) override {}
  void SendData(const std::string& text) override {
    reply = text;
    ++replies;
  }
  void AddFileLog(const std::string&, int) override {}
  void OnExecutorError(const Error& e) override { error = e.Description(); }
  int LogDetailLevel() const override { return 1; }
  std::string reply;
  long replies = 0;
  std::string error;
};

std::string FreshModel(const std::string& name, int traceLevel) {
  auto path = (std::filesystem::temp_directory_path() / ("korvane-bench-batch-" + name + ".mdb")).string();
  for (const char* suffix : {"", "-wal", "-shm", "-run"}) std::filesystem::remove(path + suffix);
  model::CreateExampleModel("binary-choice", path);
  auto db = model::OpenModelFile(path);
  store::SetKeyValue(db.get(), "Params_TraceLevel", Variant(traceLevel));
  db->Close();
  return path;
}

long long Count(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  long long n = -1;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW)
      n = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return n;
}

formula::VariableList Option(int n) {
  formula::VariableList cue;
  cue.Add("Option", Variant(static_cast<std::int16_t>(n)));
  return cue;
}

formula::VariableList Payoff(const Variant& value) {
  formula::VariableList feedback;
  feedback.Add("O", value);
  return feedback;
}

int ChoiceOf(const std::string& reply) {
  // DECISION|Choice|n|RETRIEVAL-TIME|t
  std::size_t a = reply.find('|', 9);
  return a == std::string::npos ? 0 : std::atoi(reply.c_str() + a + 1);
}

// One run on an experiment copy, as the task server serves it.
struct Run {
  explicit Run(const std::string& model) {
    experimentPath = model + "-experiment.mdb";
    for (const char* suffix : {"", "-wal", "-shm", "-run"}) std::filesystem::remove(experimentPath + suffix);
    store::Database::Copy(model, experimentPath);
    db = model::OpenModelFile(experimentPath);
    store::SuspendTraceIndexes(db.get());
    db->BeginJournaledRun();
    engine::ExecutorOptions options;
    options.clock = engine::ClockKind::Simulated;
    options.seed = 1;
    executor = std::make_unique<engine::ModelExecutor>(*db, owner, scheduler, options);
  }
  void Finish() {
    executor.reset();
    db->EndJournaledRun();
    store::RestoreTraceIndexes(db.get());
    db->Close();
  }
  // One trial: two options in random order, the decision, a payoff.
  void Trial(std::mt19937_64& random, bool normalPayoffs) {
    int first = std::uniform_int_distribution<int>(0, 1)(random) ? 2 : 1;
    executor->AcceptCue(Option(first));
    executor->AcceptCue(Option(3 - first));
    scheduler.RunAll();
    int choice = ChoiceOf(owner.reply);
    Variant payoff;
    if (normalPayoffs) {
      payoff = Variant(std::normal_distribution<double>(choice == 1 ? 3.0 : 4.0, 1.0)(random));
    } else {
      std::int16_t p = choice == 1 ? 3 : (std::uniform_real_distribution<double>(0, 1)(random) < 0.8 ? 4 : 0);
      payoff = Variant(p);
    }
    executor->AcceptFeedback(Payoff(payoff));
    scheduler.RunAll();
  }
  std::string experimentPath;
  std::unique_ptr<store::Database> db;
  Owner owner;
  engine::QueueScheduler scheduler;
  std::unique_ptr<engine::ModelExecutor> executor;
};

void BM_BinaryChoiceInProcess(benchmark::State& state) {
  const int level = static_cast<int>(state.range(0));
  const std::string model = FreshModel("binary-" + std::to_string(level), level);
  double decisions = 0, seconds = 0;
  long long traceRows = 0;
  for (auto _ : state) {
    Run run(model);
    std::mt19937_64 random(1);
    auto start = Clock::now();
    if (!run.executor->Prepare("I1")) {
      state.SkipWithError("the example model cannot run");
      break;
    }
    for (int s = 0; s < subjects; ++s) {
      if (s > 0) run.executor->RestartRun();
      run.executor->IncrementSubjectID(1);
      for (int t = 0; t < trials; ++t) run.Trial(random, false);
    }
    run.Finish();
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
    if (!run.owner.error.empty()) {
      state.SkipWithError(run.owner.error.c_str());
      break;
    }
    decisions += static_cast<double>(run.owner.replies);
    traceRows = Count(run.experimentPath, "SELECT COUNT(*) FROM MetaInstance");
    state.counters["db_mb_per_10k"] =
        static_cast<double>(std::filesystem::file_size(run.experimentPath)) / 1e6 * 10000.0 / run.owner.replies;
  }
  state.counters["decisions"] = decisions;
  state.counters["decisions_per_second"] = seconds > 0 ? decisions / seconds : 0;
  state.counters["trace_rows"] = static_cast<double>(traceRows);
}
BENCHMARK(BM_BinaryChoiceInProcess)->Arg(0)->Arg(1)->Arg(2)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_GrowingMemory(benchmark::State& state) {
  const int level = static_cast<int>(state.range(0));
  const std::string model = FreshModel("growing-" + std::to_string(level), level);
  constexpr int kTrials = 1000;
  for (auto _ : state) {
    Run run(model);
    std::mt19937_64 random(1);
    auto start = Clock::now();
    if (!run.executor->Prepare("I1")) {
      state.SkipWithError("the example model cannot run");
      break;
    }
    run.executor->IncrementSubjectID(1);
    double around100 = 0, around1000 = 0;
    for (int t = 0; t < kTrials; ++t) {
      auto before = Clock::now();
      run.Trial(random, true);
      double us = std::chrono::duration<double, std::micro>(Clock::now() - before).count();
      if (t >= 50 && t < 150) around100 += us / 100;
      if (t >= kTrials - 100) around1000 += us / 100;
    }
    run.Finish();
    double total = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    state.counters["us_per_decision_at_100"] = around100;
    state.counters["us_per_decision_last_100"] = around1000;
    state.counters["us_per_decision_with_index_build"] = total / kTrials;
    state.counters["instances"] =
        static_cast<double>(Count(run.experimentPath, "SELECT COUNT(*) FROM I1 WHERE X_Subject = 1"));
    state.counters["trace_rows"] = static_cast<double>(Count(run.experimentPath, "SELECT COUNT(*) FROM MetaInstance"));
    if (!run.owner.error.empty()) state.SkipWithError(run.owner.error.c_str());
  }
}
BENCHMARK(BM_GrowingMemory)->Arg(0)->Arg(1)->Arg(2)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--subjects=", 11) == 0) subjects = std::atoi(argv[i] + 11);
    if (std::strncmp(argv[i], "--trials=", 9) == 0) trials = std::atoi(argv[i] + 9);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
