// Scheduler.h: where the engine's pauses yield.
//
// The engine never blocks its thread. When a retrieval cycle pauses, the
// executor posts the rest of its work to a Scheduler and returns; what arrives
// meanwhile (cues, feedback) is queued by the executor and taken in order when
// the posted step resumes. The task connection implements Scheduler with the
// Qt event loop's timers; QueueScheduler below is a plain queue run by its
// caller, for tests and headless runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <utility>

namespace korvane::engine {

class Scheduler {
 public:
  virtual ~Scheduler() = default;
  // Runs task once, when at least delayMs milliseconds of real time have
  // passed. Never runs it from within Post itself. Tasks with the same due
  // time run in the order they were posted.
  virtual void Post(double delayMs, std::function<void()> task) = 0;
};

// A queue of posted tasks, run by whoever owns it.
class QueueScheduler final : public Scheduler {
 public:
  void Post(double delayMs, std::function<void()> task) override;

  // Runs the earliest task, first waiting (sleeping) until it is due. False
  // when nothing is queued.
  bool RunOne();
  // Runs tasks (and the tasks they post) until the queue is empty; returns
  // how many ran.
  std::size_t RunAll();
  std::size_t Pending() const { return tasks_.size(); }

 private:
  // Key: due time on the steady clock (ns), then posting order.
  std::map<std::pair<std::int64_t, std::uint64_t>, std::function<void()>> tasks_;
  std::uint64_t sequence_ = 0;
};

}  // namespace korvane::engine
