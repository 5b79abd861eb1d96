// Clock.cpp: the real and the simulated clock.
#include "engine/Clock.h"

#include <chrono>

namespace korvane::engine {

double RealClock::AbsoluteMilliseconds() {
  auto now = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<double>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

double RealClock::HighResolutionMilliseconds() {
  auto now = std::chrono::steady_clock::now().time_since_epoch();
  return std::chrono::duration<double, std::milli>(now).count();
}

SimulatedClock::SimulatedClock() : absolute_(RealClock().AbsoluteMilliseconds()) {}

SimulatedClock::SimulatedClock(double startAbsoluteMilliseconds) : absolute_(startAbsoluteMilliseconds) {}

double SimulatedClock::BeginPause(double ms) {
  Advance(ms);
  return 0;
}

void SimulatedClock::Advance(double ms) {
  if (ms <= 0) return;
  absolute_ += ms;
  counter_ += ms;
}

}  // namespace korvane::engine
