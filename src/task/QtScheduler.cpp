// QtScheduler.cpp: see QtScheduler.h.
#include "task/QtScheduler.h"

#include <QTimer>
#include <cmath>

#include "util/Logger.h"

namespace korvane::task {

void QtScheduler::Post(double delayMs, std::function<void()> task) {
  ++pending_;
  if (!(delayMs > 0)) {
    due_.push_back(std::move(task));
    // While RunDue runs, its loop takes the new step as well; a holder runs
    // it itself.
    if (!running_ && held_ == 0) QueueFlush();
    return;
  }
  auto run = [this, task = std::move(task)]() {
    --pending_;
    {
      LogBatch batch;
      RunStep(task);
    }
    emit stepRan();
  };
  const int ms = static_cast<int>(std::min(std::ceil(delayMs), 2147483647.0));
  QTimer::singleShot(ms, Qt::PreciseTimer, this, std::move(run));
}

void QtScheduler::RunStep(const std::function<void()>& task) {
  if (runner_) runner_(task);
  else task();
}

void QtScheduler::QueueFlush() {
  if (flushQueued_) return;
  // Runs the due steps if nobody calls RunDue first.
  flushQueued_ = true;
  QMetaObject::invokeMethod(
      this,
      [this] {
        flushQueued_ = false;
        RunDue();
      },
      Qt::QueuedConnection);
}

void QtScheduler::RunDue() {
  if (running_) return;  // the loop below is already emptying the queue
  running_ = true;
  LogBatch batch;
  const bool ran = !due_.empty();
  while (!due_.empty()) {
    std::function<void()> task = std::move(due_.front());
    due_.pop_front();
    --pending_;
    try {
      RunStep(task);
    } catch (...) {
      running_ = false;
      if (!due_.empty()) QueueFlush();
      throw;
    }
  }
  running_ = false;
  if (ran) emit stepRan();
}

}  // namespace korvane::task
