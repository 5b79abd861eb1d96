// QtScheduler.h: the engine's pauses on the Qt event loop.
//
// A posted step runs from a single-shot timer on the thread that owns the
// scheduler, so socket events and screen events are handled while a
// retrieval cycle waits. A step due at once (the simulated clock's pauses)
// is queued behind the events already pending, never run from within Post.
// Steps still pending when the scheduler is destroyed never run.
#pragma once

#include <QObject>
#include <functional>

#include "engine/Scheduler.h"

namespace korvane::task {

class QtScheduler final : public QObject, public engine::Scheduler {
  Q_OBJECT
 public:
  explicit QtScheduler(QObject* parent = nullptr) : QObject(parent) {}
  void Post(double delayMs, std::function<void()> task) override;
  // Every step runs through this (the task server marks its steps with it);
  // by default a step is simply called.
  using Runner = std::function<void(const std::function<void()>& step)>;
  void SetRunner(Runner runner) { runner_ = std::move(runner); }
  // Steps posted and not yet run.
  int Pending() const { return pending_; }

 signals:
  // A posted step has run (the task server then goes on with the lines
  // that waited for it).
  void stepRan();

 private:
  int pending_ = 0;
  Runner runner_;
};

}  // namespace korvane::task
