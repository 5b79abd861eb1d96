// BinaryChoiceTask.cpp: see BinaryChoiceTask.h.
#include "app/BinaryChoiceTask.h"

#include <QTcpSocket>
#include <cstdio>

#include "task/Protocol.h"

namespace korvane::app {

using namespace korvane::task;

std::vector<double> BinaryChoiceResult::RiskyByBlock(int blockSize) const {
  std::vector<double> out;
  if (blockSize < 1 || trials < 1) return out;
  for (int start = 0; start < trials; start += blockSize) {
    const int end = std::min(trials, start + blockSize);
    long chosen = 0, count = 0;
    for (const auto& subject : risky)
      for (int t = start; t < end && t < static_cast<int>(subject.size()); ++t) {
        chosen += subject[t] ? 1 : 0;
        ++count;
      }
    out.push_back(count ? static_cast<double>(chosen) / count : 0.0);
  }
  return out;
}

std::string BinaryChoiceResult::LearningCurve(int blockSize) const {
  std::string text = "trials      P(risky)\n";
  const auto blocks = RiskyByBlock(blockSize);
  char line[128];
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    const int first = static_cast<int>(b) * blockSize + 1;
    const int last = std::min(trials, first + blockSize - 1);
    const int bar = static_cast<int>(blocks[b] * 40 + 0.5);
    std::snprintf(line, sizeof line, "%4d-%-4d   %.3f  %s\n", first, last, blocks[b], std::string(bar, '#').c_str());
    text += line;
  }
  return text;
}

BinaryChoiceTask::BinaryChoiceTask(BinaryChoiceOptions options, QObject* parent)
    : QObject(parent), options_(std::move(options)), random_(options_.seed) {
  timeout_.setSingleShot(true);
  connect(&timeout_, &QTimer::timeout, this, &BinaryChoiceTask::OnTimeout);
  slowDecision_.setSingleShot(true);
  connect(&slowDecision_, &QTimer::timeout, this, &BinaryChoiceTask::OnSlowDecision);
}

BinaryChoiceTask::~BinaryChoiceTask() {
  if (socket_) socket_->abort();
}

void BinaryChoiceTask::Run() {
  result_ = BinaryChoiceResult{};
  toldSlow_ = false;
  result_.trials = options_.trials;
  if (options_.trials < 1) return Fail("the number of trials must be at least 1");
  socket_ = new QTcpSocket(this);
  socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
  connect(socket_, &QTcpSocket::connected, this, &BinaryChoiceTask::OnConnected);
  connect(socket_, &QTcpSocket::readyRead, this, &BinaryChoiceTask::OnReadyRead);
  connect(socket_, &QTcpSocket::errorOccurred, this, &BinaryChoiceTask::OnSocketError);
  connect(socket_, &QTcpSocket::disconnected, this, [this]() {
    if (phase_ == Phase::Stopping) Finish();
    else if (phase_ != Phase::Done) Fail("the model closed the connection");
  });
  phase_ = Phase::Connecting;
  timeout_.start(options_.replyTimeoutMs);
  socket_->connectToHost(options_.host, options_.port);
}

void BinaryChoiceTask::OnConnected() {
  clock_.start();
  phase_ = Phase::Batch;
  timeout_.start(options_.replyTimeoutMs);
}

void BinaryChoiceTask::OnSocketError() {
  if (phase_ == Phase::Done) return;
  if (phase_ == Phase::Stopping && socket_ && socket_->error() == QAbstractSocket::RemoteHostClosedError)
    return Finish();
  Fail("connection to " + options_.host.toStdString() + ":" + std::to_string(options_.port) + ": " +
       (socket_ ? socket_->errorString().toStdString() : std::string("closed")));
}

void BinaryChoiceTask::OnTimeout() {
  if (phase_ == Phase::Done) return;
  if (phase_ == Phase::Trial)
    return Fail("no DECISION within " + std::to_string(options_.replyTimeoutMs) +
                " ms; the model must end a trial after its two alternatives (the number-based stop rule, "
                "Params_StopRule 1, with Params_StopRule_Num 2) and meet its choice threshold");
  Fail("no reply within " + std::to_string(options_.replyTimeoutMs) + " ms");
}

void BinaryChoiceTask::OnSlowDecision() {
  if (phase_ != Phase::Trial || toldSlow_) return;
  toldSlow_ = true;
  const double seconds = options_.slowDecisionMs / 1000.0;
  char waited[32];
  std::snprintf(waited, sizeof waited, "%g", seconds);
  emit progress(QString::fromStdString(
      std::string("Still waiting for a DECISION after ") + waited + " s (subject " + std::to_string(subject_ + 1) +
      ", trial " + std::to_string(trial_ + 1) +
      "). This task sends both options and then waits; a model with the time-based stop rule "
      "(Params_StopRule 0, the default) makes its choice only when a cue arrives after its stopping time, so it "
      "never answers. Give the model the number-based rule: korvane set MODEL Params_StopRule 1 and korvane set "
      "MODEL Params_StopRule_Num 2. Also check that its choice threshold lets it act (korvane check MODEL --type " +
      options_.instanceType + ")."));
}

void BinaryChoiceTask::OnReadyRead() {
  if (!socket_) return;
  const QByteArray bytes = socket_->readAll();
  for (auto& piece : framer_.Feed(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())))) {
    if (phase_ == Phase::Done) return;
    if (piece.overLong) return Fail("the model sent an over-long line");
    OnLine(piece.line);
  }
  // What the lines made us send leaves now, in one write, not when the
  // event loop next looks at the socket.
  if (socket_) socket_->flush();
}

void BinaryChoiceTask::OnLine(const std::string& line) {
  timeout_.start(options_.replyTimeoutMs);
  const std::vector<std::string> fields = SplitFields(line);
  const std::string& word = fields[0];
  if (word == "ERROR") return Fail("the model replied " + line);

  switch (phase_) {
    case Phase::Batch: {
      if (word != "BATCH" || fields.size() < 2) return Fail("expected BATCH, got " + line);
      const int batch = std::atoi(fields[1].c_str());
      result_.subjects = options_.subjects > 0 ? options_.subjects : batch;
      if (result_.subjects < 1) return Fail("the model asks for " + fields[1] + " subjects");
      result_.risky.assign(result_.subjects, std::vector<bool>());
      emit progress(QString::fromStdString("Connected; " + std::to_string(result_.subjects) + " subjects of " +
                                           std::to_string(options_.trials) + " trials"));
      subject_ = 0;
      return StartSubject();
    }
    case Phase::Started:
      if (word == "CUESIZE") return StartTrial();
      emit progress(QString::fromStdString("Model says: " + line));  // the HELO string
      return;
    case Phase::Trial: {
      if (word != "DECISION") {
        emit progress(QString::fromStdString("Ignored: " + line));
        return;
      }
      slowDecision_.stop();
      const double value = fields.size() > 2 ? TypedValue(fields[2]).ToNumber() : 0;
      const int option = static_cast<int>(value + (value < 0 ? -0.5 : 0.5));
      int payoff = 0;
      if (option == kSafe) {
        payoff = 3;
      } else if (option == kRisky) {
        payoff = std::uniform_real_distribution<double>(0, 1)(random_) < 0.8 ? 4 : 0;
      } else {
        return Fail("the model chose " + (fields.size() > 2 ? fields[2] : std::string("nothing")) +
                    ", which is neither option 1 nor 2: " + line);
      }
      result_.risky[subject_].push_back(option == kRisky);
      ++result_.decisions;
      result_.points += payoff;
      Send("FEEDBACK|" + options_.instanceType + "|" + std::to_string(payoff));
      if (++trial_ < options_.trials) return StartTrial();
      if (++subject_ < result_.subjects) return StartSubject();
      phase_ = Phase::Stopping;
      Send("STOP|" + options_.instanceType);
      socket_->disconnectFromHost();
      return;
    }
    default:
      return;
  }
}

void BinaryChoiceTask::StartSubject() {
  trial_ = 0;
  phase_ = Phase::Started;
  Send((subject_ == 0 ? "START|" : "RESET|") + options_.instanceType);
}

void BinaryChoiceTask::StartTrial() {
  phase_ = Phase::Trial;
  int first = std::uniform_int_distribution<int>(0, 1)(random_) ? kRisky : kSafe;
  int second = first == kSafe ? kRisky : kSafe;
  Send("ALTERNATIVE|" + options_.instanceType + "|Option|" + std::to_string(first));
  Send("ALTERNATIVE|" + options_.instanceType + "|Option|" + std::to_string(second));
  if (options_.slowDecisionMs > 0) slowDecision_.start(options_.slowDecisionMs);
}

void BinaryChoiceTask::Send(const std::string& line) {
  if (!socket_) return;
  QByteArray bytes = QByteArray::fromStdString(line);
  bytes.append("\r\n", 2);
  socket_->write(bytes);
}

void BinaryChoiceTask::Fail(const std::string& why) {
  if (phase_ == Phase::Done) return;
  phase_ = Phase::Done;
  timeout_.stop();
  slowDecision_.stop();
  result_.ok = false;
  result_.error = why;
  result_.seconds = clock_.isValid() ? clock_.elapsed() / 1000.0 : 0;
  if (socket_) socket_->abort();
  emit finished(false);
}

void BinaryChoiceTask::Finish() {
  if (phase_ == Phase::Done) return;
  phase_ = Phase::Done;
  timeout_.stop();
  slowDecision_.stop();
  result_.ok = true;
  result_.seconds = clock_.isValid() ? clock_.elapsed() / 1000.0 : 0;
  emit finished(true);
}

}  // namespace korvane::app
