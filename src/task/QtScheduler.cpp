// QtScheduler.cpp: see QtScheduler.h.
#include "task/QtScheduler.h"

#include <QTimer>
#include <cmath>

#include "util/Logger.h"

namespace korvane::task {

void QtScheduler::Post(double delayMs, std::function<void()> task) {
  ++pending_;
  auto run = [this, task = std::move(task)]() {
    --pending_;
    {
      LogBatch batch;
      if (runner_) {
        runner_(task);
      } else {
        task();
      }
    }
    emit stepRan();
  };
  if (!(delayMs > 0)) {
    // Queued behind what is already pending; FIFO among zero-delay steps.
    QMetaObject::invokeMethod(this, std::move(run), Qt::QueuedConnection);
    return;
  }
  const int ms = static_cast<int>(std::min(std::ceil(delayMs), 2147483647.0));
  QTimer::singleShot(ms, Qt::PreciseTimer, this, std::move(run));
}

}  // namespace korvane::task
