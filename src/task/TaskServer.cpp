// TaskServer.cpp: see TaskServer.h.
#include "task/TaskServer.h"

#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <filesystem>

#include "formula/VariableList.h"
#include "store/Database.h"
#include "store/MetaKeyValue.h"
#include "store/Schema.h"
#include "model/ModelFiles.h"
#include "task/Protocol.h"
#include "task/QtScheduler.h"
#include "task/TaskSocket.h"
#include "util/Dialogs.h"
#include "util/ErrorText.h"
#include "util/Files.h"
#include "util/Log.h"
#include "util/Logger.h"

namespace korvane::task {

namespace {

constexpr int kDefaultPort = 4258;
// Reading at the task's pace: what Qt may hold unread, what is read at a
// time, the unsent reply bytes at which reading stops and where it resumes,
// the cues and feedback an executor may hold queued, and how long lines are
// handled before the event loop gets a turn.
constexpr qint64 kSocketReadBuffer = 256 * 1024;
constexpr qint64 kReadChunk = 64 * 1024;
constexpr qint64 kUnsentRepliesHigh = 1024 * 1024;
constexpr qint64 kUnsentRepliesLow = 256 * 1024;
constexpr std::size_t kExecutorQueueLimit = 64;
constexpr qint64 kSliceMs = 20;
// What the log keeps of the task's text: a line's first bytes, a raw line in
// debug mode, a command echoed in a reply; unknown messages logged one by
// one, then counted.
constexpr std::size_t kLogExcerptBytes = 200;
constexpr std::size_t kLogRawBytes = 1024;
constexpr std::size_t kReplyExcerptBytes = 200;
constexpr long kUnknownLinesLogged = 20;
constexpr long kUnknownLinesCounted = 10000;
// The formula error that formula evaluation raises (Base + 10000).
constexpr std::int32_t kFormulaEvaluationError = ErrorNumber::Base + 10000;

QString Q(const std::string& s) { return QString::fromStdString(s); }

// A numeric setting as a whole number, or fallback when missing or not a number.
int WholeSetting(store::Database& db, const std::string& key, int fallback) {
  const Variant value = store::GetKeyValue(&db, key);
  if (value.IsEmpty() || value.IsNull() || !IsNumericValue(value)) return fallback;
  if (value.IsString() && value.AsString().empty()) return fallback;
  const double n = value.ToNumber();
  if (!(n >= -2147483648.0 && n <= 2147483647.0)) return fallback;
  return static_cast<int>(std::lround(n));
}

std::string Folder(const std::string& path) {
  std::filesystem::path p(path);
  std::string folder = p.parent_path().string();
  return folder.empty() ? std::string(".") : folder;
}

}  // namespace

namespace {

// Stands in for the person's Dialogs while a step runs: messages are kept to
// be shown when the step has returned; a question takes its default answer
// (and is logged), since nothing may wait for the person inside a step.
class HeldDialogs : public Dialogs {
 public:
  explicit HeldDialogs(std::vector<DialogRequest>& held) : held_(held) {}
  DialogAnswer Show(const DialogRequest& request) override {
    if (request.buttons == DialogButtons::OK) {
      held_.push_back(request);
    } else {
      LogShared("Question answered with its default during a simulation step: " + request.text, 2);
    }
    return request.defaultAnswer;
  }

 private:
  std::vector<DialogRequest>& held_;
};

}  // namespace

class TaskServer::StepScope {
 public:
  explicit StepScope(TaskServer& server) : server_(&server) { server.EnterStep(); }
  ~StepScope() {
    if (server_) server_->LeaveStep();
  }
  StepScope(const StepScope&) = delete;
  StepScope& operator=(const StepScope&) = delete;

 private:
  QPointer<TaskServer> server_;
};

TaskServer::TaskServer(ServerOptions options, QObject* parent)
    : QObject(parent), options_(std::move(options)), framer_(options_.lineLimit) {
  scheduler_ = new QtScheduler(this);
  scheduler_->SetRunner([this](const std::function<void()>& step) {
    StepScope scope(*this);
    step();
    // A step that ran after a pause of the clock, outside the handling of
    // an arrival, makes what it committed durable itself.
    if (!pumping_) {
      MakeRunDurable();
      ScheduleLogFlush();
    }
  });
  // The log lines of a run wait in the file's buffer for a tenth of a second
  // at most (see DeferLogFlushes): one write per trial was a tenth of a
  // served decision.
  DeferLogFlushes(true);
  logFlush_ = new QTimer(this);
  logFlush_->setSingleShot(true);
  logFlush_->setInterval(kDeferredLogFlush + std::chrono::milliseconds(5));
  connect(logFlush_, &QTimer::timeout, this, [] { FlushPendingLog(); });
  // Lines that waited for the executor go on after each of its steps.
  connect(scheduler_, &QtScheduler::stepRan, this, [this] {
    if (!waiting_.empty()) {
      Pump();
    } else if (socket_ && socket_->ReadFinished()) {
      FinishIfHalfClosed();
    }
  });
  SetMinimumLogLevel(options_.debug ? 0 : 1);
}

TaskServer::~TaskServer() {
  Close();
  DeferLogFlushes(false);  // writes what waits
  // Destroyed within a step (its owner went away): the person's Dialogs
  // come back.
  if (stepDepth_ > 0) SetDialogs(outerDialogs_);
}

bool TaskServer::Start() {
  LogToFile("ENTERING EXECUTION FORM", 1);
  int port = kDefaultPort;
  std::string address = "127.0.0.1";
  try {
    if (!FileExists(options_.modelPath))
      throw Error(ErrorNumber::DatabaseFailure, "Model file", options_.modelPath + ": no such file");
    auto model = store::Database::OpenReadOnly(options_.modelPath);  // serving changes nothing in the model
    port = WholeSetting(*model, "Params_Port_Value", kDefaultPort);
    const Variant listen = store::GetKeyValue(model.get(), "Params_Listen");
    if (!listen.ToText().empty()) address = listen.ToText();
    model->Close();
  } catch (const Error& e) {
    AddLog("Cannot open model " + options_.modelPath + ": " + e.Description(), 3);  // also the last error
    return false;
  }
  if (options_.port) port = *options_.port;
  if (options_.listenAddress) address = *options_.listenAddress;

  QHostAddress host;
  if (!host.setAddress(Q(address))) {
    AddLog("Cannot listen: '" + address + "' is not an IP address", 3);
    return false;
  }
  if (port < 0 || port > 65535) {
    AddLog("Cannot listen: port " + std::to_string(port) + " is outside 0 to 65535", 3);
    return false;
  }
  server_ = new TaskListener(this);
  server_->setMaxPendingConnections(1);
  connect(server_, &TaskListener::newConnection, this, &TaskServer::OnNewConnection);
  if (!server_->listen(host, static_cast<quint16>(port))) {
    AddLog("Cannot listen at " + address + ":" + std::to_string(port) + ": " +
               server_->errorString().toStdString(),
           3);
    delete server_;
    server_ = nullptr;
    return false;
  }
  SetStatus("IDLE");
  AddLog("Listening at " + server_->serverAddress().toString().toStdString() + ":" +
             std::to_string(server_->serverPort()),
         1);
  AddLog("Awaiting connection from a task...", 1);
  WarnIfReachable(server_->serverAddress());
  simulationCount_ = 0;
  emit listening(server_->serverAddress(), server_->serverPort());
  return true;
}

void TaskServer::WarnIfReachable(const QHostAddress& address) {
  if (address.isLoopback()) return;
  AddLog("Warning: listening at " + address.toString().toStdString() +
             ", which other computers can reach; any of them can connect as the task. "
             "Use 127.0.0.1 unless the task runs on another computer.",
         2);
}

void TaskServer::Close() {
  executor_.reset();
  waiting_.clear();
  DropCandidate();
  if (socket_) {
    socket_->disconnect(this);
    socket_->abort();
    socket_->deleteLater();
    socket_.clear();
  }
  if (server_) {
    server_->close();
    delete server_;
    server_ = nullptr;
    LogToFile("LEAVING EXECUTION FORM", 1);
  }
  if (experiment_) {
    RestoreTraceIndexes();
    try {
      if (experiment_->IsOpen()) experiment_->Close();
    } catch (const Error& e) {
      LogShared("Closing the experiment database failed: " + e.Description(), 3);
    }
    experiment_.reset();
  }
}

bool TaskServer::IsListening() const { return server_ && server_->isListening(); }
QHostAddress TaskServer::ListenAddress() const { return server_ ? server_->serverAddress() : QHostAddress(); }
quint16 TaskServer::Port() const { return server_ ? server_->serverPort() : 0; }
bool TaskServer::IsConnected() const {
  return socket_ && socket_->state() == QAbstractSocket::ConnectedState;
}

void TaskServer::SetDebug(bool on) {
  if (on == options_.debug) return;
  options_.debug = on;
  if (on) {
    SetMinimumLogLevel(0);
    LogToFile("<<< Entering debug mode >>>", 1);
  } else {
    SetMinimumLogLevel(1);
    LogToFile("<<< Leaving debug mode >>>", 1);
  }
}

void TaskServer::WriteLog(bool showMessage) {
  if (showMessage) {
    const std::string path = CurrentLogPath();
    ShowMessage(DialogRequest{{}, "Log saved as " + GetFileBasename(path), DialogIcon::Information});
  }
  const std::string path = StartNewLog();
  emit logFileStarted(Q(path));
}

// --- Connections -------------------------------------------------------------

void TaskServer::OnNewConnection() {
  while (TaskSocket* incoming = server_->nextPendingTask()) {
    ++connectionCount_;
    AddLog("Accepted connection #" + std::to_string(connectionCount_) + " from " +
               incoming->peerAddress().toString().toStdString(),
           1);
    incoming->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // Qt stops reading from the system when this much waits unread, so a
    // task that sends faster than the model runs is held back by TCP itself.
    incoming->setReadBufferSize(kSocketReadBuffer);
    if (!socket_) {
      AdoptConnection(incoming, false);
      continue;
    }
    DropCandidate();  // the newest newcomer is the one that may take over
    candidate_ = incoming;
    candidateFramer_ = LineFramer(options_.lineLimit);
    connect(incoming, &TaskSocket::readyRead, this, &TaskServer::OnCandidateReadyRead);
    connect(incoming, &TaskSocket::readFinished, this, &TaskServer::DropCandidate);
    connect(incoming, &TaskSocket::disconnected, this, &TaskServer::DropCandidate);
    AddLog("A task is connected; connection #" + std::to_string(connectionCount_) +
               " replaces it when its first line is a task message.",
           1);
    SendBatch(incoming);
  }
}

void TaskServer::AdoptConnection(TaskSocket* socket, bool batchSent) {
  executor_.reset();
  framer_.Clear();
  waiting_.clear();
  holdingForReplies_ = false;
  firstLine_ = true;
  unknownLines_ = 0;
  // The previous task's experiment is finished; this task's starts with its
  // first START or RESET, so a connection that never starts costs no copy.
  CloseExperiment();
  socket_ = socket;
  connect(socket_, &TaskSocket::readyRead, this, &TaskServer::OnReadyRead);
  connect(socket_, &TaskSocket::readFinished, this, &TaskServer::OnReadyRead);
  connect(socket_, &TaskSocket::bytesWritten, this, &TaskServer::OnReadyRead);
  connect(socket_, &TaskSocket::disconnected, this, &TaskServer::OnDisconnected);
  connect(socket_, &TaskSocket::errorOccurred, this, &TaskServer::OnSocketError);
  emit connectionChanged(true);
  if (!batchSent) SendBatch(socket_);
}

void TaskServer::OnCandidateReadyRead() {
  if (!candidate_) return;
  std::vector<LineFramer::Piece> pieces;
  while (pieces.empty() && candidate_->bytesAvailable() > 0) {
    const QByteArray bytes = candidate_->read(kReadChunk);
    pieces = candidateFramer_.Feed(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
  }
  if (pieces.empty()) return;
  const LineFramer::Piece& first = pieces.front();
  if (first.overLong || !IsTaskCommand(first.line)) {
    AddLog("Closed connection #" + std::to_string(connectionCount_) +
               ": its first line is not a task message (" +
               (first.overLong ? std::to_string(first.length) + " bytes" : Excerpt(first.line, kLogExcerptBytes)) +
               "); the connected task goes on.",
           2);
    DropCandidate();
    return;
  }
  TaskSocket* newcomer = Release(candidate_);
  AddLog("Closing the previous connection for a new one.", 1);
  DropConnection();
  AdoptConnection(newcomer, true);
  framer_ = candidateFramer_;
  for (auto& piece : pieces) waiting_.push_back(std::move(piece));
  Pump();
}

TaskSocket* TaskServer::Release(QPointer<TaskSocket>& slot) {
  TaskSocket* socket = slot;
  slot.clear();
  if (socket) socket->disconnect(this);  // no longer heard here
  return socket;
}

void TaskServer::DropCandidate() {
  if (TaskSocket* old = Release(candidate_)) {
    old->abort();
    old->deleteLater();
  }
}

int TaskServer::BatchFromModel() {
  try {
    auto model = store::Database::OpenReadOnly(options_.modelPath);
    const int batch = WholeSetting(*model, "Params_Batch_Value", 1);
    model->Close();
    return batch;
  } catch (const Error& e) {
    AddLog("Cannot read the batch count of " + options_.modelPath + ": " + e.Description(), 2);
    return 1;
  }
}

bool TaskServer::ModelHasInstanceType(const std::string& type) {
  try {
    auto model = store::Database::OpenReadOnly(options_.modelPath);
    const auto def = model->FindTableDef(type);
    return def && !store::IsSystemTable(*def);
  } catch (const Error&) {
    // StartExperiment says what is wrong with the model.
    return true;
  }
}

void TaskServer::SendBatch(TaskSocket* socket) {
  const int batch = BatchFromModel();
  AddLog("Sending BATCH=" + std::to_string(batch), 1);
  const std::string text = "BATCH|" + std::to_string(batch);
  if (socket == socket_) {
    SendData(text);
  } else {
    emit replySent(Q(text));
    socket->write(QByteArray::fromStdString(text + "\r\n"));
  }
}

void TaskServer::CloseExperiment() {
  if (experiment_) {
    RestoreTraceIndexes();
    try {
      if (experiment_->IsOpen()) experiment_->Close();
    } catch (const Error&) {
    }
    experiment_.reset();
  }
  experimentPath_.clear();
}

bool TaskServer::StartExperiment() {
  CloseExperiment();
  const std::filesystem::path model(options_.modelPath);
  std::string extension = model.extension().string();
  if (!extension.empty()) extension.erase(0, 1);
  // The name is taken by creating the file, so a second server on the same
  // model never copies onto this one's experiment.
  std::string failure;
  const std::string copyPath =
      CreateUniqueDatedFile(Folder(options_.modelPath), model.stem().string(), extension, &failure);
  if (copyPath.empty()) {
    AddLog("Cannot create an experiment file beside " + options_.modelPath + ": " + failure, 3);
    return false;
  }
  try {
    store::Database::Copy(options_.modelPath, copyPath);
  } catch (const Error& e) {
    std::error_code ec;
    std::filesystem::remove(copyPath, ec);
    AddLog("Cannot copy " + options_.modelPath + " to " + copyPath + ": " + e.Description(), 3);
    ShowMessage(DialogRequest{{},
                              "Error: could not copy database " + options_.modelPath + " to " + copyPath +
                                  ". \r\nCheck to make sure you have permission, and the disk isn't full.",
                              DialogIcon::Critical});
    SetLastError(Q(e.Description()));
    return false;
  }
  try {
    experiment_ = model::OpenModelFile(copyPath);
  } catch (const Error& e) {
    ShowMessage(DialogRequest{{},
                              "Error: could not open the experiment database " + copyPath + ": " +
                                  WithoutErrorNumbers(e.Description()),
                              DialogIcon::Critical});
    SetLastError(Q(e.Description()));
    return false;
  }
  experimentPath_ = copyPath;
  AddLog("New experiment started using " + copyPath, 1);
  emit experimentStarted(Q(copyPath));
  return true;
}

void TaskServer::DropConnection() {
  if (!socket_) return;
  TaskSocket* old = Release(socket_);
  old->abort();
  old->deleteLater();
  framer_.Clear();
  waiting_.clear();
  // Nobody is left to answer: the executor's pending steps are dropped and
  // what it had written is committed, so the trace can get its indexes.
  if (executor_) executor_->Abandon();
  RestoreTraceIndexes();
  emit connectionChanged(false);
}

void TaskServer::OnReadyRead() {
  TaskSocket* socket = qobject_cast<TaskSocket*>(sender());
  if (!socket || socket != socket_) return;
  // While a message is shown or a step is under way the bytes stay in the
  // socket; they are read when the pause ends.
  Pump();
}

void TaskServer::FinishIfHalfClosed() {
  if (!socket_ || !socket_->ReadFinished() || socket_->state() != QAbstractSocket::ConnectedState) return;
  if (ReadingPaused() || pumping_ || pumpScheduled_) return;
  if (!waiting_.empty() || socket_->bytesAvailable() > 0) return;
  if (executor_ && !executor_->Idle()) return;
  AddLog("The task has finished sending; the connection closes once the replies are written.", 1);
  socket_->disconnectFromHost();  // disconnected follows
}

void TaskServer::OnDisconnected() {
  TaskSocket* socket = qobject_cast<TaskSocket*>(sender());
  if (!socket || socket != socket_) return;
  AddLog("Connection ended.", 1);
  DropConnection();
  // Nothing runs without a task; a failure's ERROR stays until the next run.
  if (status_ == "RUN") SetStatus("IDLE");
}

void TaskServer::OnSocketError() {
  TaskSocket* socket = qobject_cast<TaskSocket*>(sender());
  if (!socket || socket != socket_) return;
  if (socket->error() == QAbstractSocket::RemoteHostClosedError) return;  // a normal end
  const std::string text = socket->errorString().toStdString();
  AddLog("Socket error #" + std::to_string(static_cast<int>(socket->error())) + ": " + text, 3);
  SetLastError(Q("<sock_Error> " + text));
  DropConnection();
}

// --- Reading at the task's pace --------------------------------------------------

void TaskServer::ProcessIncoming(std::string_view bytes) {
  for (auto& piece : framer_.Feed(bytes)) waiting_.push_back(std::move(piece));
  Pump();
}

void TaskServer::SchedulePump() {
  if (pumpScheduled_) return;
  pumpScheduled_ = true;
  // A zero timer, not a posted call: the event loop first looks at the
  // sockets, the signals and the screen.
  QTimer::singleShot(0, this, [this] {
    pumpScheduled_ = false;
    Pump();
  });
}

void TaskServer::Pump() {
  // Inside a step, while a message is up or a failure waits for its report,
  // nothing more is handled; the end of that pause reads on (ResumeReading).
  if (ReadingPaused()) return;
  if (pumping_) {
    pumpAgain_ = true;
    return;
  }
  QPointer<TaskServer> self(this);
  {
    pumping_ = true;
    StepScope step(*this);
    LogBatch batch;
    QtScheduler::Hold hold(*scheduler_);
    QElapsedTimer slice;
    slice.start();
    bool more = true;
    while (more) {
      pumpAgain_ = false;
      more = PumpOne();
      // The steps a line set going without a real pause (the simulated clock)
      // run now, not after a round trip through the event loop, so the next
      // line need not wait for one.
      if (more) scheduler_->RunDue();
      if (more && slice.hasExpired(kSliceMs)) {
        SchedulePump();
        break;
      }
    }
    pumping_ = false;
    FinishArrival();
    if (pumpAgain_) SchedulePump();
  }
  if (self) FinishIfHalfClosed();
}

void TaskServer::FinishArrival() {
  // What the handled lines committed without a reply (a feedback) reaches
  // the run journal now, and the replies leave in one write instead of
  // waiting for the event loop's next look at the socket.
  MakeRunDurable();
  ScheduleLogFlush();
  // Lines held back while the replies waited can go on once these left
  // (queued: this runs inside the handling of the arrival).
  if (socket_ && socket_->flush() && (!waiting_.empty() || socket_->bytesAvailable() > 0)) ResumeReading();
}

void TaskServer::ScheduleLogFlush() {
  if (!logFlush_->isActive()) logFlush_->start();
}

void TaskServer::MakeRunDurable() {
  if (!experiment_) return;
  try {
    experiment_->MakeRunDurable();
  } catch (const Error& e) {
    // The next reply tries again, and fails the run if it still fails.
    AddLog("Cannot write the run journal: " + e.Description(), 3);
  }
}

bool TaskServer::PumpOne() {
  if (waiting_.empty()) return ReadSome();
  if (!MayHandle(waiting_.front())) return false;
  const LineFramer::Piece piece = std::move(waiting_.front());
  waiting_.pop_front();
  HandlePiece(piece);
  return true;
}

bool TaskServer::ReadSome() {
  if (!socket_ || RepliesBacklogged() || socket_->bytesAvailable() <= 0) return false;
  const QByteArray bytes = socket_->read(kReadChunk);
  if (bytes.isEmpty()) return false;
  for (auto& piece : framer_.Feed(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size()))))
    waiting_.push_back(std::move(piece));
  return true;
}

bool TaskServer::RepliesBacklogged() {
  if (!socket_) return false;
  const qint64 unsent = socket_->bytesToWrite();
  if (unsent > kUnsentRepliesHigh) {
    if (!holdingForReplies_) AddLog("The task is not reading its replies; reading from it waits.", 0);
    holdingForReplies_ = true;
  } else if (unsent <= kUnsentRepliesLow) {
    holdingForReplies_ = false;
  }
  return holdingForReplies_;
}

bool TaskServer::MayHandle(const LineFramer::Piece& piece) {
  if (failureQueued_ || messagesShown_ > 0) return false;  // ResumeReading goes on
  if (RepliesBacklogged()) return false;  // bytesWritten goes on
  if (!executor_) return true;
  // The executor's next step goes on (QtScheduler::stepRan).
  if (!piece.overLong && IsExecutorCommand(piece.line) && executor_->Prepared())
    return executor_->Queued() < kExecutorQueueLimit;
  return executor_->Idle();
}

void TaskServer::HandlePiece(const LineFramer::Piece& piece) {
  const bool first = firstLine_;
  firstLine_ = false;
  if (piece.overLong) {
    AddLog("Received a line of " + std::to_string(piece.length) + " bytes; lines may hold at most " +
               std::to_string(options_.lineLimit) + " bytes. Line dropped.",
           3);
    SendData("ERROR|Protocol error: line longer than " + std::to_string(options_.lineLimit) +
             " bytes was dropped");
    SetLastError("Protocol error: line too long");
    return;
  }
  if (first && socket_ && LooksLikeHttpRequest(piece.line)) {
    AddLog("Closed a connection that sent an HTTP request (" + Excerpt(piece.line, kLogExcerptBytes) +
               "); it is not a task.",
           2);
    DropConnection();
    return;
  }
  // A failure disconnects the task: what else it sent is not read.
  try {
    HandleLine(piece.line);
  } catch (const Error& e) {
    waiting_.clear();
    ReportFailure(e);
  } catch (const std::exception& e) {
    waiting_.clear();
    // A library's own words are for the log, not for the task or the person.
    AddLog(std::string("Internal failure: ") + e.what(), 4);
    ReportFailure(Error(engine::EngineError::Internal, "TaskServer",
                        "Korvane met a failure it did not expect; the log has the details."));
  }
}

bool TaskServer::ExecutorReady() const { return executor_ && executor_->Prepared(); }

bool TaskServer::RunsType(const std::string& type) {
  const std::string& running = executor_->PreparedInstanceType();
  if (type == running) return true;
  // A message for another type must not reach the running subject: it is
  // refused and changes nothing.
  const std::string shown = Excerpt(type, kReplyExcerptBytes);
  SendData("ERROR|Instance type " + shown + " is not the one being run (" + running + "); send START|" + shown +
           " to run it");
  SetLastError(Q("A message for instance type " + shown + " while " + running + " runs"));
  return false;
}

void TaskServer::HandleLine(const std::string& line) {
  const std::vector<std::string> fields = SplitFields(line);
  const std::string& command = fields[0];
  if (!IsTaskCommand(command)) {
    HandleUnknown(line, command);
    return;
  }
  const std::string upper = formula::ToUpper(command);
  if (LogDetailLevel() <= 0) {
    AddLog("Received " + command + " command, with payload of " + std::to_string(line.size()) + " bytes", 0);
    AddLog("\t-- Raw: " + Excerpt(line, kLogRawBytes), 0);
  }
  const std::string type = fields.size() > 1 ? fields[1] : std::string();

  if (upper == "CUES" || upper == "ALTERNATIVE") {
    HandleCues(fields);
  } else if (upper == "FEEDBACK") {
    HandleFeedback(fields);
  } else if (upper == "STATE") {
    HandleState(fields);
  } else if (upper == "OUTCOME" || upper == "CHOOSE" || upper == "PRIOR") {
    HandleAlternative(upper, fields);
  } else if (upper == "START" || upper == "RESET") {
    HandleStart(type, upper == "RESET");
  } else if (upper == "STOP") {
    HandleStop();
  } else if (upper == "ERROR") {
    AddLog(Excerpt(line, kLogRawBytes), 1);
    SetStatus("ERROR");
    emit alert();
  }
}

void TaskServer::HandleUnknown(const std::string& line, const std::string& command) {
  // One log line per unknown message, a short one, and only for the first
  // few: a task that floods junk must not fill the disk with the log.
  ++unknownLines_;
  if (unknownLines_ <= kUnknownLinesLogged) {
    AddLog("Unknown message from the task: " + Excerpt(line, kLogExcerptBytes), 1);
    if (unknownLines_ == kUnknownLinesLogged)
      AddLog("Further unknown messages from this task are counted, not logged.", 1);
  } else if (unknownLines_ % kUnknownLinesCounted == 0) {
    AddLog(std::to_string(unknownLines_) + " unknown messages from this task so far.", 1);
  }
  const std::string shown = Excerpt(command, kReplyExcerptBytes);
  SendData(std::string("ERROR|") + kProgramTitle + " does not understand the command " + shown);
  SetLastError(Q("Unknown command " + shown + " from task"));
}

void TaskServer::HandleStart(const std::string& type, bool reset) {
  const std::string peer = socket_ ? socket_->peerAddress().toString().toStdString() : std::string("The task");
  AddLog(peer + (reset ? " has reset the simulation for instance type " : " started a simulation for instance type ") +
             type,
         1);
  if (reset && executor_ && executor_->Prepared() && executor_->PreparedInstanceType() == type && experiment_) {
    // A RESET of the type being run starts a new subject: the model was
    // compiled and read at START and the experiment's settings have not
    // changed since.
    ++executorGeneration_;
    executor_->RestartRun();
    SetLastError("None");
    SetStatus("RUN");
    StartSubject(type);
    return;
  }
  executor_.reset();
  if (!experiment_ && !ModelHasInstanceType(type)) {
    // Checked in the model before it is copied: a START of a type the model
    // does not have costs no disk.
    SendData("ERROR|Instance type " + type + " does not exist in the database.");
    SetLastError(Q("Instance type " + type + " does not exist"));
    return;
  }
  if (!experiment_) StartExperiment();  // the first START or RESET of this task
  if (!experiment_) {
    SendData("ERROR|Instance type " + type + " cannot be executed. Please try again later.");
    SetLastError(Q("Instance type " + type + " cannot be executed: there is no experiment database"));
    return;
  }
  SuspendTraceIndexes();
  BeginJournaledRun();
  executor_ = std::make_unique<engine::ModelExecutor>(*experiment_, *this, *scheduler_, options_.executor);
  ++executorGeneration_;
  if (!experiment_->FindTableDef(type)) {
    SendData("ERROR|Instance type " + type + " does not exist in the database.");
    SetLastError(Q("Instance type " + type + " does not exist"));
    return;
  }
  SetExecuting(Q(type));
  SetLastError("None");
  SetStatus("RUN");
  if (!executor_->Prepare(type)) {
    // A model that cannot run must not be reported as started.
    SetStatus("ERROR");
    SetLastError(NotReadyText(type));
    SendData("ERROR|Instance type " + type + " cannot be executed. Please try again later.");
    emit alert();
    return;
  }
  // The experiment copy's settings do not change during a run: the feedback
  // type is read once here, not for every FEEDBACK line.
  singleValueFeedback_ = store::GetKeyValue(experiment_.get(), type + "_FeedbackType").ToNumber() == 0;
  StartSubject(type);
}

void TaskServer::StartSubject(const std::string& type) {
  executor_->IncrementSubjectID(1);
  SetSubject(executor_->SubjectID());
  SetTrial(executor_->TrialNumber());
  const std::string helo = executor_->Param("HELO").ToText();
  if (!helo.empty()) {
    ++simulationCount_;
    std::string text = helo;
    const std::string count = std::to_string(simulationCount_);
    for (std::size_t at = text.find("%d"); at != std::string::npos; at = text.find("%d", at + count.size()))
      text.replace(at, 2, count);
    // One protocol line: a line break in the model's text would send the
    // task lines it never asked for.
    std::replace_if(text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    AddLog("Sending HELO string (" + std::to_string(text.size()) + " bytes)", 0);
    SendData(text);
  }
  const int slotCount = executor_->SituationSlotCount();
  AddLog("Sending CUESIZE for " + type + ", which is " + std::to_string(slotCount), 0);
  SendData("CUESIZE|" + type + "|" + std::to_string(slotCount));
}

void TaskServer::HandleCues(const std::vector<std::string>& fields) {
  const std::string type = fields.size() > 1 ? fields[1] : std::string();
  if (!ExecutorReady()) {
    SendData("ERROR|Instance type " + type + " must be started before cues for it can be processed");
    SetLastError(NotReadyText(type));
    return;
  }
  if (!RunsType(type)) return;
  formula::VariableList cue;
  if (!AppendPairs(fields, 2, cue)) {  // also refuses a line without a type
    SendData("ERROR|Protocol error: ALTERNATIVE or CUE message must have even number of elements");
    SetLastError("Protocol error: ALTERNATIVE or CUE message must have even number of elements");
    return;
  }
  executor_->AcceptCue(cue);
  ShowTrial();
}

void TaskServer::HandleFeedback(const std::vector<std::string>& fields) {
  const std::string type = fields.size() > 1 ? fields[1] : std::string();
  if (!ExecutorReady()) {
    AddLog("ERROR instance type " + type + " must be started before feedback can be applied to it", 1);
    SendData("ERROR|Instance type " + type + " must be started before feedback can be applied to it");
    SetLastError(NotReadyText(type));
    return;
  }
  if (!RunsType(type)) return;
  formula::VariableList feedback;
  // A trailing DECISION-ID pair names the decision the feedback answers.
  std::vector<std::string> values = fields;
  std::optional<std::string> decision;
  if (singleValueFeedback_ && values.size() >= 5 &&
      formula::EqualsIgnoreCase(values[values.size() - 2], engine::kDecisionIdName)) {
    decision = values.back();
    values.resize(values.size() - 2);
  }
  if (singleValueFeedback_ && values.size() <= 2) {
    // Nothing to learn from: refused, and nothing changes.
    SendData("ERROR|Protocol error: FEEDBACK message must hold a value");
    SetLastError("Protocol error: FEEDBACK message must hold a value");
    return;
  }
  if (singleValueFeedback_) {
    // Single value: every value after the type, so that the executor can
    // refuse more than one with its own reply.
    if (values.size() > 2) feedback.Add("O", TypedValue(values[2]));
    for (std::size_t i = 3; i < values.size(); ++i) feedback.Add("O" + std::to_string(i - 2), TypedValue(values[i]));
    if (decision) feedback.Add(engine::kDecisionIdName, TypedValue(*decision));
  } else if (!AppendPairs(values, 2, feedback)) {
    SendData("ERROR|Protocol error: FEEDBACK message must hold name and value pairs");
    SetLastError("Protocol error: FEEDBACK message must hold name and value pairs");
    return;
  }
  executor_->AcceptFeedback(feedback);
  ShowTrial();
}

void TaskServer::HandleAlternative(const std::string& command, const std::vector<std::string>& fields) {
  const std::string type = fields.size() > 1 ? fields[1] : std::string();
  if (!ExecutorReady()) {
    SendData("ERROR|Instance type " + type + " must be started before " + command + " can be applied to it");
    SetLastError(NotReadyText(type));
    return;
  }
  if (!RunsType(type)) return;
  // OUTCOME|type|outcome|name|value...; CHOOSE and PRIOR|type|name|value...
  const bool outcome = command == "OUTCOME";
  formula::VariableList pairs;
  if (fields.size() < (outcome ? 5u : 4u) || !AppendPairs(fields, outcome ? 3 : 2, pairs)) {
    const std::string text = "Protocol error: " + command + " message must hold " +
                             (outcome ? "the outcome, then " : "") + "name and value pairs";
    SendData("ERROR|" + text);
    SetLastError(Q(text));
    return;
  }
  if (command == "OUTCOME") {
    executor_->AcceptOutcome(pairs, TypedValue(fields[2]));
  } else if (command == "CHOOSE") {
    executor_->AcceptChoice(pairs);
  } else if (std::string refusal = executor_->AddPrior(pairs); !refusal.empty()) {
    SendData("ERROR|" + refusal);
    SetLastError(Q(refusal));
  }
  ShowTrial();
}

void TaskServer::HandleState(const std::vector<std::string>& fields) {
  const std::string type = fields.size() > 1 ? fields[1] : std::string();
  if (!executor_) {
    SendData("ERROR|Instance type " + type + " must be started before it can accept a state.");
    SetLastError(Q("Instance type " + type + " must be started first"));
    return;
  }
  if (!executor_->Prepared()) {
    SendData("ERROR|Instance type " + type + " cannot be executed. Please try again later.");
    SetLastError(NotReadyText(type));
    return;
  }
  if (!RunsType(type)) return;
  formula::VariableList state;
  if (!AppendPairs(fields, 2, state)) {
    SendData("ERROR|Protocol error: STATE message must hold name and value pairs");
    SetLastError("Protocol error: STATE message must hold name and value pairs");
    return;
  }
  AddLog("STATE contains " + std::to_string(state.Count()) + " slots: " + state.ToString(), 1);
  executor_->AcceptFeedback(state);
  if (executor_) executor_->AcceptCue(state);
  ShowTrial();
}

void TaskServer::HandleStop() {
  AddLog("Simulation stopped.", 1);
  emit alert();
  WriteLog(false);
  if (executor_) SetTrial(executor_->TrialNumber());
  SetStatus("IDLE");
  executor_.reset();
  RestoreTraceIndexes();
  emit simulationStopped();
}

void TaskServer::SuspendTraceIndexes() {
  if (!experiment_ || traceIndexesSuspended_) return;
  try {
    store::SuspendTraceIndexes(experiment_.get());
    traceIndexesSuspended_ = true;
  } catch (const Error& e) {
    LogShared("The trace keeps its indexes during this run: " + e.Description(), 2);
  }
}

void TaskServer::BeginJournaledRun() {
  if (!experiment_ || experiment_->JournaledRun()) return;
  try {
    experiment_->BeginJournaledRun();
    if (!runCommitTimer_) {
      // SQLite commits a journaled run's groups at least this often, also
      // while the task is silent, so that other connections see them.
      runCommitTimer_ = new QTimer(this);
      runCommitTimer_->setInterval(1000);
      connect(runCommitTimer_, &QTimer::timeout, this, [this] {
        if (!experiment_ || !experiment_->JournaledRun() || experiment_->InTransaction()) return;
        try {
          experiment_->CommitJournaledRun();
        } catch (const Error& e) {
          LogShared("The run's rows could not be committed yet: " + e.Description(), 3);
        }
      });
    }
    runCommitTimer_->start();
  } catch (const Error& e) {
    LogShared("This run commits every step (no run journal): " + e.Description(), 2);
  }
}

void TaskServer::EndJournaledRun() {
  if (runCommitTimer_) runCommitTimer_->stop();
  if (!experiment_ || !experiment_->IsOpen() || !experiment_->JournaledRun() || experiment_->InTransaction()) return;
  try {
    experiment_->EndJournaledRun();
  } catch (const Error& e) {
    LogShared("The run's rows could not be committed: " + e.Description() +
                  " (they are added when the experiment database is next opened)",
              3);
  }
}

void TaskServer::RestoreTraceIndexes() {
  EndJournaledRun();
  // Inside a step's transaction the indexes would share its fate; the next
  // end of a run builds them instead.
  if (!experiment_ || !traceIndexesSuspended_ || experiment_->InTransaction()) return;
  QElapsedTimer timer;
  timer.start();
  try {
    store::RestoreTraceIndexes(experiment_.get());
    traceIndexesSuspended_ = false;
    LogToFile("Trace indexes built in " + std::to_string(timer.elapsed()) + " ms", 0);
  } catch (const Error& e) {
    LogShared("The trace indexes could not be built: " + e.Description() +
                  " (they are built when the experiment database is next opened as a model)",
              3);
  }
}

QString TaskServer::NotReadyText(const std::string& type) const {
  // After a failed preparation the reason is that one, not a missing START.
  if (executor_ && !executor_->Prepared())
    return Q("Instance type " + type + " cannot be executed: its preparation failed (see the log)");
  return Q("Instance type " + type + " must be started first");
}

void TaskServer::ShowTrial() {
  if (executor_) SetTrial(executor_->TrialNumber());
}

// --- Failures -------------------------------------------------------------------

void TaskServer::ReportFailure(const Error& error) {
  // The log keeps the number; the task and the person get the reason alone.
  AddLog("Error #" + std::to_string(error.Number()) + " (" + error.Source() + "): " + error.Description(), 3);
  std::string reason = WithoutErrorNumbers(error.Description());
  if (error.Number() == kFormulaEvaluationError) reason = "A formula failed while the model ran. " + reason;
  if (reason.empty()) reason = "an unexpected failure (see the log)";
  // One protocol line: line breaks and the blanks around them become one space.
  std::string line;
  for (char c : reason) {
    const bool blank = c == '\r' || c == '\n' || c == ' ' || c == '\t';
    if (!blank) {
      line += c;
    } else if (!line.empty() && line.back() != ' ') {
      line += ' ';
    }
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  SendData("ERROR|Simulation stopped: " + line);
  SetStatus("ERROR");
  SetLastError(Q(line));
  emit alert();
  executor_.reset();
  RestoreTraceIndexes();
  if (socket_) {
    AddLog("Disconnecting the task; awaiting a new connection.", 1);
    DisconnectAfterFailure();
  }
  ShowMessage(DialogRequest{"Simulation Stopped",
                            "Simulation stopped because:\n" + reason +
                                "\n\nThe task was disconnected; Korvane is waiting for a new connection.",
                            DialogIcon::Critical, DialogButtons::OK, DialogAnswer::OK});
}

void TaskServer::DisconnectAfterFailure() {
  TaskSocket* old = Release(socket_);
  framer_.Clear();
  // Lines the failed task sent after the failing one belong to the run that
  // ended: they are not handled.
  waiting_.clear();
  // disconnectFromHost writes what is queued (the ERROR reply) before it
  // closes; a task that never reads cannot hold the socket for long.
  connect(old, &TaskSocket::disconnected, old, &QObject::deleteLater);
  QPointer<TaskSocket> guard(old);
  QTimer::singleShot(5000, this, [guard] {
    if (guard) guard->abort();
  });
  old->disconnectFromHost();
  if (old->state() == QAbstractSocket::UnconnectedState) old->deleteLater();
  emit connectionChanged(false);
}

// --- Steps and messages ---------------------------------------------------------

void TaskServer::EnterStep() {
  if (stepDepth_++ == 0) outerDialogs_ = SetDialogs(std::make_shared<HeldDialogs>(heldMessages_));
}

void TaskServer::LeaveStep() {
  if (--stepDepth_ > 0) return;
  SetDialogs(outerDialogs_);
  outerDialogs_.reset();
  std::vector<DialogRequest> held;
  held.swap(heldMessages_);
  QPointer<TaskServer> self(this);
  for (const DialogRequest& request : held) {
    ShowMessage(request);
    if (!self) return;
  }
  if (socket_ && socket_->bytesAvailable() > 0) ResumeReading();
}

void TaskServer::ShowMessage(const DialogRequest& request) {
  if (stepDepth_ > 0) {
    heldMessages_.push_back(request);
    return;
  }
  // The message box runs an event loop of its own: the task's next lines
  // stay in the socket and a new task waits until the person has read it.
  ++messagesShown_;
  if (server_) server_->pauseAccepting();
  QPointer<TaskServer> self(this);
  CurrentDialogs().Show(request);
  if (!self) return;
  if (--messagesShown_ > 0) return;
  if (server_) server_->resumeAccepting();
  ResumeReading();
}

void TaskServer::ResumeReading() {
  // Queued, so that the lines are handled from the event loop and never from
  // within whoever ended the pause.
  QMetaObject::invokeMethod(this, &TaskServer::Pump, Qt::QueuedConnection);
}


void TaskServer::OnExecutorError(const Error& error) {
  // Called from inside the executor, which may not be destroyed here. By the
  // time the queued report runs, a START may have replaced the executor or a
  // new task the connection: then only the report remains.
  // Until the report has run, nothing more of the task is read: its next
  // lines belong to the run that failed.
  failureQueued_ = true;
  const int generation = executorGeneration_;
  QMetaObject::invokeMethod(
      this,
      [this, error, generation]() {
        failureQueued_ = false;
        ResumeReading();
        if (generation == executorGeneration_ && executor_) {
          ReportFailure(error);
        } else {
          // Logged only: the failure that ended the run has been reported.
          AddLog("Error #" + std::to_string(error.Number()) + " (" + error.Source() + ") in a simulation already ended: " +
                     error.Description(),
                 2);
        }
      },
      Qt::QueuedConnection);
}

// --- Owner interface -------------------------------------------------------------

void TaskServer::AddLog(const std::string& text, int level) {
  LogToFile(text, level);
  if (level >= 3) SetLastError(Q(text));
  emit logLine(Q(text), level);
}

void TaskServer::SendData(const std::string& text) {
  emit replySent(Q(text));
  if (!socket_ || socket_->state() != QAbstractSocket::ConnectedState) return;
  QByteArray bytes = QByteArray::fromStdString(text);
  bytes.append("\r\n", 2);
  if (socket_->write(bytes) != bytes.size()) AddLog("Aborting simulation.", 1);
  if (executor_) SetTrial(executor_->TrialNumber());
}

// --- Display state ------------------------------------------------------------------

void TaskServer::SetStatus(const QString& status) {
  if (status_ == status) return;
  status_ = status;
  emit statusChanged(status);
}
void TaskServer::SetExecuting(const QString& type) {
  executing_ = type;
  emit executingInstanceChanged(type);
}
void TaskServer::SetLastError(const QString& text) {
  lastError_ = text;
  emit lastErrorChanged(text);
}
void TaskServer::SetSubject(int subject) {
  if (subject_ == subject) return;
  subject_ = subject;
  emit subjectChanged(subject);
}
void TaskServer::SetTrial(int trial) {
  if (trial_ == trial) return;
  trial_ = trial;
  emit trialChanged(trial);
}

}  // namespace korvane::task
