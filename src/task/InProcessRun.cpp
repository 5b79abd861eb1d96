// InProcessRun.cpp: see InProcessRun.h.
#include "task/InProcessRun.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <chrono>

#include "store/Database.h"
#include "store/MetaKeyValue.h"
#include "task/TaskServer.h"
#include "util/Files.h"
#include "util/Variant.h"

namespace korvane::task {

namespace {

// Timers of the server (the run's periodic SQLite commit, the log flush) get
// a turn at least this often while the task sends.
constexpr long long kEventTurnMs = 50;
// How the server's reply to a failure that stops the run begins.
constexpr std::string_view kRunFailure = "ERROR|Simulation stopped: ";

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void EnsureApplication() {
  if (QCoreApplication::instance()) return;
  // Lives as long as the process: Qt allows one, and a task may open many runs.
  static int argc = 1;
  static char name[] = "korvane";
  static char* argv[] = {name, nullptr};
  new QCoreApplication(argc, argv);
}

Error RunError(const std::string& text) { return Error(ErrorNumber::DatabaseFailure, "Korvane", text); }

}  // namespace

InProcessRun::InProcessRun(InProcessOptions options) {
  if (options.traceLevel && (*options.traceLevel < 0 || *options.traceLevel > 2))
    throw RunError("The trace level must be 0 (full), 1 (decisions) or 2 (none), not " +
                   std::to_string(*options.traceLevel));
  if (options.subjects && (*options.subjects < 1 || *options.subjects > 32767))
    throw RunError("The number of subjects must be 1 to 32767, not " + std::to_string(*options.subjects));
  if (!FileExists(options.modelPath)) throw RunError("Model file " + options.modelPath + ": no such file");
  // A file that is no model is refused before a copy of it is made.
  try {
    store::Database::OpenReadOnly(options.modelPath)->Close();
  } catch (const Error& e) {
    throw RunError("Cannot run " + options.modelPath + ": " + e.Description());
  }
  EnsureApplication();

  ServerOptions serverOptions;
  serverOptions.modelPath = options.modelPath;
  serverOptions.executor = options.executor;
  serverOptions.debug = options.debug;
  server_ = std::make_unique<TaskServer>(serverOptions);
  QObject::connect(server_.get(), &TaskServer::replySent, [this](const QString& line) {
    if (failed_) return;
    replies_.push_back(line.toStdString());
    // The server's reply to a failure that ends the run; a served task is
    // disconnected after it and nothing it sent later is handled.
    if (replies_.back().rfind(kRunFailure, 0) == 0) failed_ = true;
  });
  if (!server_->StartExperiment()) {
    const std::string reason = LastError();
    server_.reset();
    throw RunError("Cannot start an experiment on " + options.modelPath + ": " + reason);
  }
  experimentPath_ = server_->ExperimentPath();
  try {
    store::Database* db = server_->ExperimentDatabase();
    if (options.traceLevel)
      store::SetKeyValue(db, "Params_TraceLevel", Variant(static_cast<std::int32_t>(*options.traceLevel)));
    if (options.subjects)
      store::SetKeyValue(db, "Params_Batch_Value", Variant(static_cast<std::int32_t>(*options.subjects)));
  } catch (const Error& e) {
    server_.reset();
    throw RunError("Cannot write the settings of the experiment " + experimentPath_ + ": " + e.Description());
  }
  batch_ = options.subjects ? *options.subjects : server_->BatchFromModel();
  replies_.push_back("BATCH|" + std::to_string(batch_));
  lastEventsMs_ = NowMs();
}

InProcessRun::~InProcessRun() { Close(); }

void InProcessRun::Send(std::string_view bytes) {
  if (!server_) throw RunError("The run has ended: its experiment is " + experimentPath_);
  server_->ProcessIncoming(bytes);
  RunDueEvents(false);
  if (failed_) Close();  // as the task's disconnection ends a served run
}

void InProcessRun::RunDueEvents(bool force) {
  // Posted calls (a failure's report, a pump that gave the event loop a
  // turn) run at once; timers only now and then, as polling costs more
  // than a decision's share.
  QCoreApplication::sendPostedEvents();
  const long long now = NowMs();
  if (force || now - lastEventsMs_ >= kEventTurnMs) {
    lastEventsMs_ = now;
    QCoreApplication::processEvents();
  }
}

std::vector<std::string> InProcessRun::TakeReplies() {
  std::vector<std::string> taken(std::make_move_iterator(replies_.begin()), std::make_move_iterator(replies_.end()));
  replies_.clear();
  return taken;
}

bool InProcessRun::WaitForReply(int timeoutMs) {
  if (!replies_.empty()) return true;
  if (!server_) return false;
  QDeadlineTimer deadline(timeoutMs);
  RunDueEvents(true);
  while (replies_.empty() && server_ && !deadline.hasExpired()) {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, static_cast<int>(deadline.remainingTime()));
    QCoreApplication::sendPostedEvents();
  }
  const bool replied = !replies_.empty();
  if (failed_) Close();
  return replied;
}

void InProcessRun::Close() {
  if (!server_) return;
  server_->Close();
  server_.reset();
  // Whatever the server posted for itself dies with it.
  QCoreApplication::sendPostedEvents();
}

std::string InProcessRun::LastError() const { return server_ ? server_->LastError().toStdString() : std::string(); }

}  // namespace korvane::task
