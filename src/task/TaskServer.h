// TaskServer.h: the task connection, the server side of the line protocol.
//
// A TaskServer listens on the model's port for one task at a time. It
// answers every accepted connection "BATCH|n" (read from the model); the
// task's first START or RESET starts an experiment on a fresh copy of the
// model file ("<model>-yyyyMMdd-n.mdb" beside it), so a simulation never
// changes the model itself. It turns each message line into calls
// on a ModelExecutor, and sends the executor's replies back. It is the
// executor's owner: log lines go to the log file and to observers, replies to
// the socket.
//
// The server is a QObject so that a screen can watch it: every log line,
// status word, instance type, subject, trial, last error and connection
// change is a signal. The headless `korvane serve` and the tests drive the
// very same object on a QCoreApplication.
//
// Invariants:
//  - everything runs on the thread that owns the server; nothing blocks it:
//    replies are queued on the socket, the executor's pauses are timers;
//  - bytes are framed by LineFramer: a line split over two arrivals is
//    handled once, two lines in one arrival are both handled, and a line
//    past the limit gets an ERROR reply without disturbing the next one;
//  - a second connection replaces the first only with its first line, when
//    that is a task message; a closed connection, a socket error or a
//    failure while handling a line leaves the server listening;
//  - lines are handled in arrival order, at the pace the model runs and the
//    task reads its replies: memory per connection stays bounded;
//  - no event loop ever nests inside the handling of a task's line or of an
//    executor's step: a message that core code asks for meanwhile is shown
//    once the step has returned, and while any message of the server is up
//    nothing more of the task is read (its bytes wait in the socket) and no
//    new connection is accepted;
//  - a failure that ends a run is told to the task ("ERROR|" and the reason),
//    the task is disconnected and the person sees one message for it;
//  - the experiment copy is made at the connection's first START or RESET;
//    it stays open until the next task's connection or Close(), which closes
//    every database cleanly;
//  - while a task runs the model, the trace table has no indexes and the
//    experiment database is in a journaled run (each executor commit is one
//    append to the run journal, SQLite commits in batches); indexes and the
//    SQLite commit are back whenever no run is going on;
//  - a RESET of the type being run keeps the prepared executor and starts
//    its next subject (RestartRun): the model is compiled once per START.
#pragma once

#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/ModelExecutor.h"
#include "task/LineFramer.h"
#include "util/Dialogs.h"

class QTimer;

namespace korvane::store {
class Database;
}

namespace korvane::task {

class QtScheduler;
class TaskListener;
class TaskSocket;

struct ServerOptions {
  std::string modelPath;
  std::optional<int> port;                  // instead of Params_Port_Value; 0 picks a free port
  std::optional<std::string> listenAddress; // instead of Params_Listen
  engine::ExecutorOptions executor;         // clock and seed overrides
  bool debug = false;                       // minimum log level 0 instead of 1
  std::size_t lineLimit = LineFramer::kDefaultLimit;
};

class TaskServer : public QObject, public engine::ExecutorOwner {
  Q_OBJECT
 public:
  explicit TaskServer(ServerOptions options, QObject* parent = nullptr);
  ~TaskServer() override;

  // Reads the model's port and listen address and starts listening. False
  // (with the reason in LastError() and the log) when the model cannot be
  // read or the address cannot be bound.
  bool Start();
  // Drops the executor and the connection, stops listening and closes every
  // database. Called by the destructor.
  void Close();

  // --- What a screen shows -------------------------------------------------
  bool IsListening() const;
  QHostAddress ListenAddress() const;
  quint16 Port() const;
  bool IsConnected() const;
  const std::string& ModelPath() const { return options_.modelPath; }
  // The current experiment database's path; empty before the first
  // connection.
  const std::string& ExperimentPath() const { return experimentPath_; }
  // The current experiment database; null before the first START or RESET
  // (or StartExperiment) and after Close().
  store::Database* ExperimentDatabase() const { return experiment_.get(); }
  // The BATCH a connection is greeted with: the model's Params_Batch_Value,
  // 1 when it cannot be read.
  int BatchFromModel();
  const QString& Status() const { return status_; }            // "IDLE", "RUN", "ERROR"
  const QString& ExecutingInstance() const { return executing_; }  // "N/A" until START
  const QString& LastError() const { return lastError_; }      // "N/A", "None", or the text
  int SubjectID() const { return subject_; }
  int TrialNumber() const { return trial_; }
  int SimulationCount() const { return simulationCount_; }
  // Connections accepted since Start.
  int ConnectionCount() const { return connectionCount_; }
  engine::ModelExecutor* Executor() const { return executor_.get(); }

  // Debug mode: every line (level 0 up) reaches the log file.
  void SetDebug(bool on);
  bool Debug() const { return options_.debug; }
  // Starts a new log file; with showMessage, says where the old one is.
  void WriteLog(bool showMessage);

  // Starts an experiment on a new copy of the model (done at the first START
  // or RESET of a connection). False when no copy could be made or opened.
  bool StartExperiment();
  // Takes bytes as if they had arrived from the task and handles the lines
  // they complete, in order (the socket's data takes the same road; public
  // for the fuzz target).
  void ProcessIncoming(std::string_view bytes);
  // Lines read from the task and not yet handled.
  std::size_t WaitingLines() const { return waiting_.size(); }

  // --- engine::ExecutorOwner -------------------------------------------------
  void AddLog(const std::string& text, int level) override;
  void SendData(const std::string& text) override;
  void OnExecutorError(const Error& error) override;
  // Lines below this level are not built: 0 in debug mode, else 1.
  int LogDetailLevel() const override { return options_.debug ? 0 : 1; }

 signals:
  void logLine(const QString& text, int level);
  void statusChanged(const QString& status);
  void executingInstanceChanged(const QString& instanceType);
  void subjectChanged(int subjectId);
  void trialChanged(int trialNumber);
  void lastErrorChanged(const QString& text);
  void connectionChanged(bool connected);
  void listening(const QHostAddress& address, quint16 port);
  void experimentStarted(const QString& path);
  void logFileStarted(const QString& path);
  void replySent(const QString& line);
  // STOP received; the log of the simulation has been closed.
  void simulationStopped();
  // The task reported an ERROR, or a simulation failed: a screen may beep.
  void alert();

 private:
  // A listen address other than loopback is logged as a warning.
  void WarnIfReachable(const QHostAddress& address);
  void OnNewConnection();
  void OnReadyRead();
  void OnDisconnected();
  void OnSocketError();
  void DropConnection();
  // The task has shut its writing side: once every line it sent is handled
  // and the executor has nothing left to do, the replies go out and the
  // connection closes.
  void FinishIfHalfClosed();

  // --- Who the task is ---------------------------------------------------------
  // A connection accepted while another task is connected is a candidate: it
  // gets its BATCH, and it replaces the connected task only with its first
  // line, when that line is a task message. Anything else closes it.
  void AdoptConnection(TaskSocket* socket, bool batchSent);
  void OnCandidateReadyRead();
  void DropCandidate();
  // The model (not yet copied) has an instance type of that name.
  bool ModelHasInstanceType(const std::string& type);
  void SendBatch(TaskSocket* socket);
  void CloseExperiment();

  // --- Reading at the task's pace ----------------------------------------------
  // Lines are handled strictly in arrival order. A line waits while replies
  // pile up unsent (the task does not read), while the executor's queue is
  // full, and (unless it is a cue or feedback for a running executor) until
  // the executor is idle; the socket is read only when no line waits. Pump
  // handles lines for a slice of time, then lets the event loop run.
  void SchedulePump();
  void FinishArrival();
  // Takes the socket out of its slot and stops listening to it.
  TaskSocket* Release(QPointer<TaskSocket>& slot);
  void MakeRunDurable();
  void ScheduleLogFlush();
  void Pump();
  bool PumpOne();
  bool ReadSome();
  bool MayHandle(const LineFramer::Piece& piece);
  bool RepliesBacklogged();
  void HandlePiece(const LineFramer::Piece& piece);
  void HandleUnknown(const std::string& line, const std::string& command);

  void HandleLine(const std::string& line);
  void HandleStart(const std::string& type, bool reset);
  // The prepared executor starts its next subject; HELO and CUESIZE go out.
  void StartSubject(const std::string& type);
  void HandleCues(const std::vector<std::string>& fields);
  void HandleFeedback(const std::vector<std::string>& fields);
  void HandleState(const std::vector<std::string>& fields);
  // OUTCOME (an alternative not chosen), CHOOSE (model tracing), PRIOR.
  void HandleAlternative(const std::string& command, const std::vector<std::string>& fields);
  void HandleStop();
  // Ends the run after a failure: the task gets "ERROR|" with the reason and
  // is disconnected, the executor goes, and one message says why.
  void ReportFailure(const Error& error);
  bool ExecutorReady() const;
  // True when type is the prepared executor's instance type; else replies
  // ERROR and returns false.
  bool RunsType(const std::string& type);
  // The last error for a cue or feedback that no prepared executor can take.
  QString NotReadyText(const std::string& type) const;
  void ShowTrial();

  void SetStatus(const QString& status);
  void SetExecuting(const QString& type);
  void SetLastError(const QString& text);
  // A run writes its trace without the trace's indexes, which are built again
  // in one pass when the run ends: at STOP, when the task leaves and before
  // the experiment database closes. Failures are logged; queries stay
  // correct without the indexes, only slower.
  void SuspendTraceIndexes();
  void RestoreTraceIndexes();
  // A run's steps are made durable by the experiment database's run journal
  // (one append per step, SQLite commits in batches); ended before the
  // indexes are built.
  void BeginJournaledRun();
  void EndJournaledRun();
  void SetSubject(int subject);
  void SetTrial(int trial);

  // --- Steps, messages and failures that end a run --------------------------
  // While one lives, a task line or an executor step is being handled: core
  // code's messages are held back and reading waits.
  class StepScope;
  void EnterStep();
  void LeaveStep();
  // Shows a message without letting the task's next line in meanwhile; during
  // a step it is held back until the step returns.
  void ShowMessage(const DialogRequest& request);
  bool ReadingPaused() const { return stepDepth_ > 0 || messagesShown_ > 0 || failureQueued_; }
  // Reads what the task sent while reading was paused.
  void ResumeReading();
  // Closes the task's connection once what was written to it (the ERROR
  // reply) has gone out.
  void DisconnectAfterFailure();

  ServerOptions options_;
  TaskListener* server_ = nullptr;
  QPointer<TaskSocket> socket_;
  QtScheduler* scheduler_ = nullptr;
  LineFramer framer_;
  std::deque<LineFramer::Piece> waiting_;  // read, not yet handled
  bool pumping_ = false;
  bool pumpAgain_ = false;
  bool pumpScheduled_ = false;
  bool holdingForReplies_ = false;
  bool firstLine_ = true;       // the connection has sent no line yet
  long unknownLines_ = 0;       // of this connection, for the log's cap
  QPointer<TaskSocket> candidate_;
  LineFramer candidateFramer_;
  std::unique_ptr<store::Database> experiment_;
  std::string experimentPath_;
  bool traceIndexesSuspended_ = false;
  QTimer* runCommitTimer_ = nullptr;
  QTimer* logFlush_ = nullptr;
  std::unique_ptr<engine::ModelExecutor> executor_;
  bool singleValueFeedback_ = true;  // the prepared type's FeedbackType is 0

  QString status_ = "IDLE";
  QString executing_ = "N/A";
  QString lastError_ = "N/A";
  int subject_ = 0;
  int trial_ = 0;
  int simulationCount_ = 0;
  int connectionCount_ = 0;
  int executorGeneration_ = 0;  // which executor a queued failure belongs to
  int stepDepth_ = 0;
  int messagesShown_ = 0;
  bool failureQueued_ = false;  // an executor failure waits for its report
  std::shared_ptr<Dialogs> outerDialogs_;     // the Dialogs replaced during a step
  std::vector<DialogRequest> heldMessages_;   // asked for during a step
};

}  // namespace korvane::task
