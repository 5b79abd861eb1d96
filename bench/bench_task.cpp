// bench_task.cpp: decisions per second of the binary-choice task against the
// example model over loopback, with the simulated clock and the full trace
// written to the experiment database, as `korvane demo` runs it.
//
//   build-*/bin/bench_task [--subjects=N] [--trials=M]   (defaults 100 x 100)
//
// Counters: decisions, decisions_per_second, trace_rows, peak_rss_mb.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <sys/resource.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstring>
#include <filesystem>
#include <string>

#include "app/BinaryChoiceTask.h"
#include "model/ExampleModels.h"
#include "task/TaskServer.h"
#include "util/Dialogs.h"
#include "util/Logger.h"

namespace {

int subjects = 100;
int trials = 100;

long long CountTrace(const std::string& path) {
  sqlite3* db = nullptr;
  long long n = -1;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM MetaInstance", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW)
      n = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return n;
}

void BM_BinaryChoiceOverLoopback(benchmark::State& state) {
  const auto folder = std::filesystem::temp_directory_path() / ("korvane-bench-task-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  korvane::SetLogFolder((folder / "logs").string());
  korvane::SetDialogs(std::make_shared<korvane::HeadlessDialogs>(true));
  const std::string model = (folder / "binary-choice.mdb").string();
  korvane::model::CreateExampleModel("binary-choice", model);

  double decisions = 0, seconds = 0;
  long long traceRows = 0;
  for (auto _ : state) {
    korvane::task::ServerOptions options;
    options.modelPath = model;
    options.port = 0;
    options.executor.clock = korvane::engine::ClockKind::Simulated;
    options.executor.seed = 1;
    korvane::task::TaskServer server(options);
    if (!server.Start()) {
      state.SkipWithError("cannot serve the model");
      break;
    }
    korvane::app::BinaryChoiceOptions taskOptions;
    taskOptions.port = server.Port();
    taskOptions.subjects = subjects;
    taskOptions.trials = trials;
    korvane::app::BinaryChoiceTask task(taskOptions);
    bool done = false;
    QObject::connect(&task, &korvane::app::BinaryChoiceTask::finished, [&](bool) { done = true; });
    task.Run();
    while (!done) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    while (server.IsConnected()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    if (!task.Result().ok) {
      state.SkipWithError(task.Result().error.c_str());
      break;
    }
    decisions += task.Result().decisions;
    seconds += task.Result().seconds;
    const std::string experiment = server.ExperimentPath();
    server.Close();
    traceRows = CountTrace(experiment);
  }
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["decisions"] = decisions;
  state.counters["decisions_per_second"] = seconds > 0 ? decisions / seconds : 0;
  state.counters["trace_rows"] = static_cast<double>(traceRows);
  state.counters["peak_rss_mb"] = usage.ru_maxrss / 1024.0;
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
}
BENCHMARK(BM_BinaryChoiceOverLoopback)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--subjects=", 11) == 0) subjects = std::atoi(argv[i] + 11);
    if (std::strncmp(argv[i], "--trials=", 9) == 0) trials = std::atoi(argv[i] + 9);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
