// fuzz_task_lines.cpp: arbitrary bytes from a task, straight into the line
// handler of a served model.
//
// The server runs the example model on a real experiment copy in a temporary
// folder. Each input is handled as one arrival, then the event loop runs the
// executor's pending steps (bounded), and a STOP resets the simulation so
// that inputs do not pile up state. Every few thousand inputs the experiment
// starts afresh so the database does not grow without bound.
#include <QCoreApplication>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "model/ExampleModels.h"
#include "task/TaskServer.h"
#include "util/Dialogs.h"
#include "util/Logger.h"

namespace {

struct Fixture {
  Fixture() {
    static int argc = 1;
    static char name[] = "fuzz_task_lines";
    static char* argv[] = {name, nullptr};
    app = std::make_unique<QCoreApplication>(argc, argv);
    folder = std::filesystem::temp_directory_path() / ("korvane-fuzz-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    korvane::SetDialogs(std::make_shared<korvane::HeadlessDialogs>(false));
    korvane::SetLogFolder((folder / "logs").string());
    const std::string model = (folder / "Fuzz.mdb").string();
    korvane::model::CreateExampleModel("binary-choice", model);
    korvane::task::ServerOptions options;
    options.modelPath = model;
    options.port = 0;
    options.executor.clock = korvane::engine::ClockKind::Simulated;
    options.executor.seed = 1;
    options.lineLimit = 4096;
    server = std::make_unique<korvane::task::TaskServer>(options);
    if (!server->Start() || !server->StartExperiment()) std::abort();
  }
  ~Fixture() {
    server.reset();
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
  }
  void Renew() {
    const std::string old = server->ExperimentPath();
    if (!server->StartExperiment()) std::abort();
    std::error_code ec;
    std::filesystem::remove(old, ec);
  }

  std::unique_ptr<QCoreApplication> app;
  std::filesystem::path folder;
  std::unique_ptr<korvane::task::TaskServer> server;
  long inputs = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Fixture fixture;
  fixture.server->ProcessIncoming(std::string_view(reinterpret_cast<const char*>(data), size));
  for (int i = 0; i < 1000; ++i) QCoreApplication::processEvents();
  fixture.server->ProcessIncoming("\r\nSTOP\r\n");
  QCoreApplication::processEvents();
  if (++fixture.inputs % 5000 == 0) fixture.Renew();
  return 0;
}
