// BinaryChoiceTask.h: the sample task, a protocol client of its own.
//
// Repeated choice between a safe option (3 points for sure) and a risky one
// (4 points with probability 0.8, else 0). It knows only the wire format:
// it connects, reads "BATCH|n", and for every simulated subject sends START
// (then RESET), waits for CUESIZE, and plays its trials: one ALTERNATIVE per
// option (in random order, "Option" 1 safe, 2 risky), then, when the model
// answers DECISION, a FEEDBACK with the payoff of the chosen option. STOP
// ends the run. It records every choice so that the proportion of risky
// choices can be shown per block of trials. When a DECISION is a few seconds
// late it says (once) that a model with the time-based stop rule never
// answers a task that waits, and how to set the number-based rule.
//
// Any model of that shape can be driven: an instance type with a situation
// slot "Option" whose trials end after two retrievals and whose first
// decision slot names the chosen option.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "task/LineFramer.h"

class QTcpSocket;

namespace korvane::app {

struct BinaryChoiceOptions {
  QString host = "127.0.0.1";
  quint16 port = 4258;
  int subjects = 0;  // 0: as many as the model's BATCH says
  int trials = 100;
  std::uint64_t seed = 1;
  std::string instanceType = "I1";
  int replyTimeoutMs = 30000;  // longest wait for one reply
  // After this long without a DECISION the task says once why a model may
  // never answer (a time-based stop rule); it goes on waiting.
  int slowDecisionMs = 5000;
};

struct BinaryChoiceResult {
  bool ok = false;
  std::string error;
  int subjects = 0;
  int trials = 0;
  // risky[s][t]: subject s chose the risky option in trial t.
  std::vector<std::vector<bool>> risky;
  std::int64_t decisions = 0;
  double seconds = 0;
  std::int64_t points = 0;

  // Proportion of risky choices in each block of blockSize trials, over all
  // subjects.
  std::vector<double> RiskyByBlock(int blockSize) const;
  // A printable table of RiskyByBlock.
  std::string LearningCurve(int blockSize) const;
};

class BinaryChoiceTask : public QObject {
  Q_OBJECT
 public:
  static constexpr int kSafe = 1;
  static constexpr int kRisky = 2;

  explicit BinaryChoiceTask(BinaryChoiceOptions options, QObject* parent = nullptr);
  ~BinaryChoiceTask() override;

  // Connects and plays; finished() tells the end.
  void Run();
  const BinaryChoiceResult& Result() const { return result_; }

 signals:
  void finished(bool ok);
  // A line for the person watching (progress, errors).
  void progress(const QString& text);

 private:
  enum class Phase { Connecting, Batch, Started, Trial, Stopping, Done };

  void OnConnected();
  void OnReadyRead();
  void OnLine(const std::string& line);
  void OnTimeout();
  void OnSlowDecision();
  void OnSocketError();
  void StartSubject();
  void StartTrial();
  void Send(const std::string& line);
  void Fail(const std::string& why);
  void Finish();

  BinaryChoiceOptions options_;
  BinaryChoiceResult result_;
  QPointer<QTcpSocket> socket_;
  QTimer timeout_;
  QTimer slowDecision_;
  bool toldSlow_ = false;
  QElapsedTimer clock_;
  task::LineFramer framer_;
  std::mt19937_64 random_;
  Phase phase_ = Phase::Connecting;
  int subject_ = 0;  // 0-based
  int trial_ = 0;    // 0-based
};

}  // namespace korvane::app
