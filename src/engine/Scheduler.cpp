// Scheduler.cpp: the plain task queue run by its owner.
#include "engine/Scheduler.h"

#include <chrono>
#include <thread>

namespace korvane::engine {

namespace {
std::int64_t NowNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

void QueueScheduler::Post(double delayMs, std::function<void()> task) {
  std::int64_t due = NowNanoseconds();
  if (delayMs > 0) due += static_cast<std::int64_t>(delayMs * 1e6);
  tasks_.emplace(std::make_pair(due, sequence_++), std::move(task));
}

bool QueueScheduler::RunOne() {
  if (tasks_.empty()) return false;
  auto first = tasks_.begin();
  std::int64_t wait = first->first.first - NowNanoseconds();
  if (wait > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(wait));
  std::function<void()> task = std::move(first->second);
  tasks_.erase(first);
  task();
  return true;
}

std::size_t QueueScheduler::RunAll() {
  std::size_t n = 0;
  while (RunOne()) ++n;
  return n;
}

}  // namespace korvane::engine
