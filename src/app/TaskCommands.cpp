// TaskCommands.cpp: the headless commands of the task connection: serve a
// model to tasks, write the example model, turn models into JSON and back,
// run the sample task, and the demo that does all of it in one process.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>

#include "app/Commands.h"
#include "engine/Clock.h"
#include "export/TraceExport.h"
#include "app/BinaryChoiceTask.h"
#include "model/ExampleModels.h"
#include "store/MetaKeyValue.h"
#include "sweep/Sweep.h"
#include "model/ModelFiles.h"
#include "model/ModelJson.h"
#include "task/TaskServer.h"
#include "util/Dialogs.h"
#include "util/Error.h"
#include "util/Files.h"
#include "util/Logger.h"

namespace korvane::app {

namespace {

std::atomic<bool> stopRequested{false};
extern "C" void OnStopSignal(int) { stopRequested = true; }

// One QCoreApplication per command run (the desktop program makes its own).
std::unique_ptr<QCoreApplication> MakeApplication() {
  if (QCoreApplication::instance()) return nullptr;
  static int argc = 1;
  static char name[] = "korvane";
  static char* argv[] = {name, nullptr};
  // The commands without a window wait on sockets, timers and signals only:
  // Qt's own event dispatcher does that with fewer system calls per message
  // than the GLib one (no wake-up write for every socket notifier switched
  // on or off), which is a tenth of a served decision.
  if (qEnvironmentVariableIsEmpty("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");
  return std::make_unique<QCoreApplication>(argc, argv);
}

// Runs the event loop until done() is true or timeoutMs passes. It sleeps
// while nothing happens: processEvents with a time limit drops
// WaitForMoreEvents and would spin, so a 50 ms timer wakes the loop instead.
bool RunUntil(const std::function<bool()>& done, int timeoutMs) {
  QElapsedTimer timer;
  timer.start();
  QTimer wake;
  wake.start(50);
  while (!done()) {
    if (timer.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

std::string ExperimentPattern(const std::string& modelPath) {
  const std::filesystem::path p = std::filesystem::absolute(modelPath);
  return (p.parent_path() / (p.stem().string() + "-yyyyMMdd-n" + p.extension().string())).string();
}

int Fail(const std::string& text) {
  std::cerr << "korvane: " << text << "\n";
  return 1;
}

// What `serve` prints without --verbose: a line for each subject when it
// ends, and a summary for each run (from the task's connection to its STOP or
// its leaving).
class RunReport {
 public:
  void RunStarted(const QString& experiment) {
    experiment_ = experiment.toStdString();
    subjects_ = 0;
    decisions_ = 0;
  }
  void SubjectStarted(const QString& type, int subject) {
    SubjectEnded();
    if (subjects_ == 0) timer_.start();  // a run's first subject (also after a STOP on the same connection)
    type_ = type.toStdString();
    subject_ = subject;
    subjectDecisions_ = 0;
    ++subjects_;
  }
  void ReplySent(const QString& line) {
    if (!line.startsWith(QStringLiteral("DECISION|"), Qt::CaseInsensitive)) return;
    ++subjectDecisions_;
    ++decisions_;
  }
  void LogStarted(const QString& path) {
    runLog_ = currentLog_;
    currentLog_ = path.toStdString();
  }
  void SetCurrentLog(const std::string& path) { currentLog_ = path; }
  // how: "stopped" for a STOP, "ended ..." when the task left without one.
  // A run without subjects (a STOP and then the task leaving) says nothing.
  void RunEnded(const std::string& how) {
    SubjectEnded();
    if (subjects_ == 0) return;
    const double seconds = timer_.isValid() ? timer_.elapsed() / 1000.0 : 0.0;
    std::cout << "Run " << how << ": " << subjects_ << (subjects_ == 1 ? " subject, " : " subjects, ") << decisions_
              << " decisions in " << seconds << " s\n"
              << "  experiment database " << experiment_ << "\n"
              << "  log " << (how == "stopped" ? runLog_ : currentLog_) << std::endl;
    subjects_ = 0;
    decisions_ = 0;
  }

 private:
  void SubjectEnded() {
    if (subject_ == 0) return;
    std::cout << "Subject " << subject_ << " (" << type_ << "): " << subjectDecisions_ << " decisions" << std::endl;
    subject_ = 0;
  }

  std::string experiment_, type_, currentLog_, runLog_;
  int subject_ = 0, subjects_ = 0;
  long subjectDecisions_ = 0, decisions_ = 0;
  QElapsedTimer timer_;
};

enum class Verbosity { Quiet, Normal, Verbose };

// The --info-file of serve: "key=value" lines for programs that start a
// server (port, address, the current experiment database, where the run is),
// replaced whole through a renamed temporary file so a reader never sees
// half of it.
bool WriteServeInfo(const std::string& path, const std::string& text) {
  try {
    sweep::WriteFileAtomically(path, text);
    return true;
  } catch (const sweep::SweepError&) {
    return false;
  }
}

int Serve(const std::string& model, const CLI::App& cmd, int port, const std::string& listen,
          const std::string& clock, std::uint64_t seed, bool debug, Verbosity verbosity,
          const std::string& infoFile) {
  if (!FileExists(model)) return Fail("no model file " + model);
  auto app = MakeApplication();
  InstallSharedFileLog();
  task::ServerOptions options;
  options.modelPath = std::filesystem::absolute(model).string();
  if (cmd.count("--port")) options.port = port;
  if (cmd.count("--listen")) options.listenAddress = listen;
  if (cmd.count("--clock"))
    options.executor.clock = clock == "simulated" ? engine::ClockKind::Simulated : engine::ClockKind::Real;
  if (cmd.count("--seed")) options.executor.seed = seed;
  options.debug = debug;

  task::TaskServer server(options);
  // Errors always reach standard error; the steps only with --verbose.
  QObject::connect(&server, &task::TaskServer::logLine, [verbosity](const QString& text, int level) {
    if (level >= 3) std::cerr << text.toStdString() << "\n";
    else if (verbosity == Verbosity::Verbose && level >= MinimumLogLevel()) std::cout << text.toStdString() << "\n";
  });
  RunReport report;
  report.SetCurrentLog(CurrentLogPath());
  QObject::connect(&server, &task::TaskServer::logFileStarted, [&report, verbosity](const QString& path) {
    report.LogStarted(path);
    if (verbosity == Verbosity::Verbose) std::cout << "New log file: " << path.toStdString() << std::endl;
  });
  // Scripts read the experiment's path from this line, --quiet or not.
  std::string info, experimentLine;  // the lines of --info-file
  QObject::connect(&server, &task::TaskServer::experimentStarted,
                   [&report, &info, &infoFile, &experimentLine](const QString& path) {
                     report.RunStarted(path);
                     std::cout << "Experiment database: " << path.toStdString() << std::endl;
                     experimentLine = "experiment=" + path.toStdString() + "\n";
                     if (!infoFile.empty() && !WriteServeInfo(infoFile, info + experimentLine))
                       std::cerr << "korvane: cannot write " << infoFile << "\n";
                   });
  // Where the run is, at most once a second, for a watching program.
  QTimer progress;
  std::string lastProgress;
  QObject::connect(&progress, &QTimer::timeout, [&] {
    if (experimentLine.empty()) return;
    const std::string now = "subject=" + std::to_string(server.SubjectID()) +
                            "\ntrial=" + std::to_string(server.TrialNumber()) + "\n";
    if (now != lastProgress && WriteServeInfo(infoFile, info + experimentLine + now)) lastProgress = now;
  });
  if (verbosity != Verbosity::Quiet) {
    QObject::connect(&server, &task::TaskServer::subjectChanged, [&report, &server](int subject) {
      report.SubjectStarted(server.ExecutingInstance(), subject);
    });
    QObject::connect(&server, &task::TaskServer::replySent,
                     [&report](const QString& line) { report.ReplySent(line); });
    QObject::connect(&server, &task::TaskServer::simulationStopped, [&report] { report.RunEnded("stopped"); });
    QObject::connect(&server, &task::TaskServer::connectionChanged, [&report](bool connected) {
      if (!connected) report.RunEnded("ended (the task left without STOP)");
    });
  }
  if (!server.Start()) return Fail("cannot serve " + model + ": " + server.LastError().toStdString());
  if (!infoFile.empty()) {
    info = "port=" + std::to_string(server.Port()) + "\naddress=" + server.ListenAddress().toString().toStdString() +
           "\npid=" + std::to_string(QCoreApplication::applicationPid()) + "\n";
    if (!WriteServeInfo(infoFile, info)) {
      server.Close();
      return Fail("cannot write " + infoFile);
    }
    progress.start(1000);
  }

  std::cout << "Serving " << options.modelPath << " at " << server.ListenAddress().toString().toStdString() << ":"
            << server.Port() << "\n"
            << "Experiment databases go to " << ExperimentPattern(model) << "\n"
            << "Log files go to " << LogFolder() << " (now " << CurrentLogPath() << ")\n"
            << "Stop with Ctrl+C." << std::endl;

  stopRequested = false;
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [] {
    if (stopRequested) QCoreApplication::quit();
  });
  poll.start(100);
  QCoreApplication::exec();
  server.Close();
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  std::cout << "Stopped; every database closed." << std::endl;
  return 0;
}

int RunTask(const app::BinaryChoiceOptions& options, int blockSize) {
  auto app = MakeApplication();
  app::BinaryChoiceTask task(options);
  bool done = false;
  QObject::connect(&task, &app::BinaryChoiceTask::finished, [&](bool) { done = true; });
  QObject::connect(&task, &app::BinaryChoiceTask::progress,
                   [](const QString& text) { std::cout << text.toStdString() << std::endl; });
  task.Run();
  RunUntil([&] { return done; }, INT32_MAX);
  const auto& result = task.Result();
  if (!result.ok) return Fail("task failed: " + result.error);
  std::cout << result.LearningCurve(blockSize);
  std::cout << result.decisions << " decisions in " << result.seconds << " s\n";
  return 0;
}

int Demo(int subjects, int trials, std::uint64_t seed, int port, int traceLevel) {
  auto app = MakeApplication();
  InstallSharedFileLog();
  const std::string folder = DataSubfolder("demo");
  const std::string model = folder + "/binary-choice.mdb";
  try {
    std::error_code ec;
    std::filesystem::remove(model, ec);  // the demo's own model, made afresh from the example
    model::CreateExampleModel("binary-choice", model);
    if (traceLevel != 0) {
      auto db = model::OpenModelFile(model);
      store::SetKeyValue(db.get(), "Params_TraceLevel", Variant(static_cast<std::int32_t>(traceLevel)));
      db->Close();
    }
  } catch (const Error& e) {
    return Fail("cannot create the example model: " + e.Description());
  }
  std::cout << "Model: " << model << " (the binary-choice example)\n";

  task::ServerOptions options;
  options.modelPath = model;
  options.port = port;  // 0: a free port
  options.listenAddress = "127.0.0.1";
  options.executor.clock = engine::ClockKind::Simulated;
  options.executor.seed = seed;
  task::TaskServer server(options);
  if (!server.Start()) return Fail("cannot serve the model: " + server.LastError().toStdString());
  std::cout << "Serving it at 127.0.0.1:" << server.Port() << " with the simulated clock\n";
  std::string lastError;
  QObject::connect(&server, &task::TaskServer::logLine, [&](const QString& text, int level) {
    if (level >= 3) lastError = text.toStdString();
  });

  app::BinaryChoiceOptions taskOptions;
  taskOptions.port = server.Port();
  taskOptions.subjects = subjects;
  taskOptions.trials = trials;
  taskOptions.seed = seed;
  app::BinaryChoiceTask task(taskOptions);
  bool done = false;
  QObject::connect(&task, &app::BinaryChoiceTask::finished, [&](bool) { done = true; });
  std::cout << "Running the binary-choice task: " << subjects << " subjects x " << trials << " trials..."
            << std::endl;
  task.Run();
  RunUntil([&] { return done; }, INT32_MAX);
  // Let the server read STOP and the end of the connection.
  RunUntil([&] { return !server.IsConnected(); }, 5000);
  const auto& result = task.Result();
  const std::string experiment = server.ExperimentPath();
  const std::string logPath = CurrentLogPath();
  if (!result.ok) {
    std::cerr << "korvane: the task failed: " << result.error << "\n";
    if (!lastError.empty()) std::cerr << "korvane: the model's last error: " << lastError << "\n";
    std::cerr << "Experiment database: " << experiment << "\n";
    return 1;
  }
  std::cout << "\nLearning curve: proportion of risky choices (4 points with p 0.8, else 0;\n"
            << "the safe option pays 3), over " << result.subjects << " simulated subjects\n"
            << result.LearningCurve(trials >= 10 ? trials / 10 : 1) << "\n"
            << result.decisions << " decisions in " << result.seconds << " s ("
            << static_cast<long>(result.seconds > 0 ? result.decisions / result.seconds : 0) << " per second)\n";
  server.Close();

  std::string csv;
  // The CSV export is of the candidates' rows (ACAL), which only the full
  // trace keeps.
  if (traceLevel == 0) try {
    auto db = model::OpenModelFile(experiment);
    exporting::ExportRequest request;
    request.instanceType = "I1";
    for (int s = 1; s <= result.subjects; ++s) request.subjects.push_back(s);
    request.include = exporting::IncludeOptions::All();
    exporting::ExportTarget target;
    target.folder = folder;
    const auto outcome = exporting::ExportTrace(db.get(), request, target);
    db->Close();
    if (outcome.Ok()) csv = outcome.path;
    else std::cerr << "korvane: the trace was not exported: " << outcome.message << "\n";
  } catch (const Error& e) {
    std::cerr << "korvane: the trace was not exported: " << e.Description() << "\n";
  }
  std::cout << "Model:               " << model << "\n"
            << "Experiment database: " << experiment << "\n"
            << "Log:                 " << logPath << "\n";
  if (!csv.empty()) std::cout << "Trace as CSV:        " << csv << "\n";
  else if (traceLevel == 2) std::cout << "Trace:               none kept (trace level 2: the instances only)\n";
  else std::cout << "Trace:               in the experiment database (table MetaInstance)\n";
  std::cout << "Trial table:         korvane export " << experiment << " --trials -o trials.csv\n";
  return 0;
}

}  // namespace

void AddTaskCommands(CLI::App& app, CommandContext& context) {
  // serve
  auto* serve = app.add_subcommand("serve", "Serve a model to tasks over TCP until Ctrl+C or SIGTERM");
  static std::string serveModel, serveListen, serveClock = "real", serveInfo;
  static int servePort = 4258;
  static std::uint64_t serveSeed = 0;
  static bool serveDebug = false, serveQuiet = false, serveVerbose = false;
  serve->add_option("MODEL", serveModel, "Model file (.mdb)")->required();
  serve->add_option("--port", servePort, "Port instead of the model's Params_Port_Value (0: any free port)")
      ->check(CLI::Range(0, 65535));
  serve->add_option("--listen", serveListen, "Address instead of the model's Params_Listen (default 127.0.0.1)");
  serve->add_option("--clock", serveClock, "real (default) or simulated")
      ->check(CLI::IsMember({"real", "simulated"}));
  serve->add_option("--seed", serveSeed, "Seed of the model's random numbers");
  serve->add_flag("--debug", serveDebug, "Write every line, trace level included, to the log file");
  auto* quiet = serve->add_flag("-q,--quiet", serveQuiet, "Print only errors and the path of each experiment database");
  serve->add_flag("-v,--verbose", serveVerbose,
                  "Print every step of the model and the task, as the log file has them "
                  "(default: a line per subject and a summary per run)")
      ->excludes(quiet);
  serve->footer(
      "A failure that stops a simulation (a formula error, an unknown slot, text in a number slot, a division "
      "by zero...) is sent to the task as \"ERROR|Simulation stopped: <reason>\"; the task is disconnected and "
      "the model is served to the next one.");
  serve->add_option("--info-file", serveInfo,
                    "Keep FILE up to date with key=value lines for programs that start the server: port, address, "
                    "pid once listening; experiment (the current experiment database) once a task connects; "
                    "subject and trial, where the run is, every second");
  serve->callback([&context, serve] {
    const Verbosity verbosity = serveQuiet ? Verbosity::Quiet : serveVerbose ? Verbosity::Verbose : Verbosity::Normal;
    context.exitCode =
        Serve(serveModel, *serve, servePort, serveListen, serveClock, serveSeed, serveDebug, verbosity, serveInfo);
  });

  // example
  auto* example = app.add_subcommand("example", "Write an example model file");
  static std::string exampleName, exampleFile;
  example->add_option("NAME", exampleName, "Example name: binary-choice")->required()
      ->check(CLI::IsMember(model::ExampleNames()));
  example->add_option("FILE", exampleFile, "Model file to create (.mdb)")->required();
  example->callback([&context] {
    try {
      model::CreateExampleModel(exampleName, exampleFile);
      std::cout << "Created " << exampleFile << " (example " << exampleName << ")\n";
    } catch (const Error& e) {
      context.exitCode = Fail(e.Description());
    }
  });

  // model import / export
  auto* model = app.add_subcommand("model", "Models as JSON text");
  model->require_subcommand(1);
  auto* import = model->add_subcommand("import", "Create a model file from its JSON text");
  static std::string importJson, importModel;
  import->add_option("FILE", importJson, "JSON file")->required();
  import->add_option("MODEL", importModel, "Model file to create (.mdb)")->required();
  import->callback([&context] {
    try {
      model::ImportModelJsonFile(importJson, importModel);
      std::cout << "Created " << importModel << " from " << importJson << "\n";
    } catch (const Error& e) {
      context.exitCode = Fail(e.Description());
    }
  });
  auto* exportCmd = model->add_subcommand("export", "Write a model as JSON text");
  static std::string exportModel, exportOut;
  exportCmd->add_option("MODEL", exportModel, "Model file (.mdb)")->required();
  exportCmd->add_option("-o,--output", exportOut, "JSON file to write (default: standard output)");
  exportCmd->callback([&context] {
    try {
      const std::string text = model::ExportModelJson(exportModel);
      if (exportOut.empty()) {
        std::cout << text;
      } else {
        std::ofstream out(exportOut, std::ios::binary);
        out << text;
        if (!out) context.exitCode = Fail("cannot write " + exportOut);
      }
    } catch (const Error& e) {
      context.exitCode = Fail(e.Description());
    }
  });

  // task
  auto* taskCmd = app.add_subcommand("task", "Run a sample task against a served model");
  taskCmd->require_subcommand(1);
  auto* binary = taskCmd->add_subcommand("binary-choice", "Safe 3 points or risky 4 points with p 0.8");
  static std::string taskHost = "127.0.0.1";
  static int taskPort = 4258, taskSubjects = 0, taskTrials = 100;
  static std::uint64_t taskSeed = 1;
  binary->add_option("--host", taskHost, "Host of the model (default 127.0.0.1)");
  binary->add_option("--port", taskPort, "Port (default 4258)")->check(CLI::Range(1, 65535));
  binary->add_option("--subjects", taskSubjects, "Simulated subjects (default: the model's BATCH)")
      ->check(CLI::Range(1, 32767));
  binary->add_option("--trials", taskTrials, "Trials per subject (default 100)")->check(CLI::Range(1, 32767));
  binary->add_option("--seed", taskSeed, "Seed of the payoffs and of the order of the options");
  binary->callback([&context] {
    app::BinaryChoiceOptions options;
    options.host = QString::fromStdString(taskHost);
    options.port = static_cast<quint16>(taskPort);
    options.subjects = taskSubjects;
    options.trials = taskTrials;
    options.seed = taskSeed;
    context.exitCode = RunTask(options, taskTrials >= 10 ? taskTrials / 10 : 1);
  });

  // demo
  auto* demo = app.add_subcommand("demo", "Create the example model, serve it and run the sample task against it");
  static int demoSubjects = 100, demoTrials = 100, demoPort = 0;
  static std::uint64_t demoSeed = 1;
  demo->add_option("--subjects", demoSubjects, "Simulated subjects (default 100)")->check(CLI::Range(1, 32767));
  demo->add_option("--trials", demoTrials, "Trials per subject (default 100)")->check(CLI::Range(1, 32767));
  demo->add_option("--seed", demoSeed, "Seed of the model and the task (default 1)");
  demo->add_option("--port", demoPort, "Port to serve the model at on 127.0.0.1 (default 0: any free port)")
      ->check(CLI::Range(0, 65535));
  static int demoTraceLevel = 0;
  demo->add_option("--trace-level", demoTraceLevel,
                   "Trace kept: 0 full (default), 1 decisions (no ACAL/SCAL rows), 2 none (instances only)")
      ->check(CLI::Range(0, 2));
  demo->callback([&context] {
    context.exitCode = Demo(demoSubjects, demoTrials, demoSeed, demoPort, demoTraceLevel);
  });
}

}  // namespace korvane::app
