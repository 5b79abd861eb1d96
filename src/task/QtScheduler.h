// QtScheduler.h: the engine's pauses on the Qt event loop.
//
// A posted step runs from a single-shot timer on the thread that owns the
// scheduler, so socket events and screen events are handled while a
// retrieval cycle waits. A step due at once (the simulated clock's pauses)
// is never run from within Post: it waits in a queue of its own, FIFO, which
// RunDue empties (the task server calls it once it has handled every line of
// an arrival, so no event-loop round trip lies between two steps of a
// simulated run) or, failing that, a queued call on the event loop.
// Steps still pending when the scheduler is destroyed never run.
#pragma once

#include <QObject>
#include <deque>
#include <functional>

#include "engine/Scheduler.h"

namespace korvane::task {

class QtScheduler final : public QObject, public engine::Scheduler {
  Q_OBJECT
 public:
  explicit QtScheduler(QObject* parent = nullptr) : QObject(parent) {}
  void Post(double delayMs, std::function<void()> task) override;
  // Runs the steps due at once, and those they post, until none is left.
  void RunDue();
  // Every step runs through this (the task server marks its steps with it);
  // by default a step is simply called.
  using Runner = std::function<void(const std::function<void()>& step)>;
  void SetRunner(Runner runner) { runner_ = std::move(runner); }
  // Steps posted and not yet run.
  int Pending() const { return pending_; }

  // While a Hold lives, steps posted without a pause wait for the holder to
  // call RunDue, instead of each arrival posting a call to the event loop
  // (and waking it). What is still due when the last Hold ends is queued then.
  class Hold {
   public:
    explicit Hold(QtScheduler& scheduler) : scheduler_(scheduler) { ++scheduler_.held_; }
    ~Hold() {
      if (--scheduler_.held_ == 0 && !scheduler_.due_.empty()) scheduler_.QueueFlush();
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    QtScheduler& scheduler_;
  };

 signals:
  // A posted step has run (the task server then goes on with the lines
  // that waited for it).
  void stepRan();

 private:
  int pending_ = 0;
  std::deque<std::function<void()>> due_;
  void RunStep(const std::function<void()>& task);
  void QueueFlush();
  bool flushQueued_ = false;
  bool running_ = false;
  int held_ = 0;
  Runner runner_;
};

}  // namespace korvane::task
