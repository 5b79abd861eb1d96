// Clock.h: the clocks a model run reads.
//
// A run reads three things from its clock: absolute time (milliseconds since
// 1970-01-01 UTC, the origin of model time and the stamp of executions), a
// steady high-resolution counter (elapsed time of a trial), and pauses. The
// real clock reads the system; the simulated clock moves only when the run
// pauses or a caller advances it, so a whole batch runs as fast as the machine
// allows and replays identically.
#pragma once

namespace korvane::engine {

// The model setting Params_Clock: 0 real time (the default), 1 simulated.
enum class ClockKind { Real = 0, Simulated = 1 };

class Clock {
 public:
  virtual ~Clock() = default;
  virtual ClockKind Kind() const = 0;
  // Milliseconds since 1970-01-01 00:00:00 UTC, with the clock's milliseconds.
  virtual double AbsoluteMilliseconds() = 0;
  // Milliseconds on a steady counter with an arbitrary origin; only
  // differences between two readings mean anything.
  virtual double HighResolutionMilliseconds() = 0;
  // A pause of ms milliseconds begins. Returns the real time, in
  // milliseconds, the caller must let pass before it resumes: ms for the real
  // clock, 0 for the simulated one (which has already moved by ms).
  virtual double BeginPause(double ms) = 0;
};

class RealClock final : public Clock {
 public:
  ClockKind Kind() const override { return ClockKind::Real; }
  double AbsoluteMilliseconds() override;
  double HighResolutionMilliseconds() override;
  double BeginPause(double ms) override { return ms; }
};

// Absolute time and the counter move together, by pauses and by Advance.
class SimulatedClock final : public Clock {
 public:
  // Starts at the real absolute time now, with the counter at 0.
  SimulatedClock();
  explicit SimulatedClock(double startAbsoluteMilliseconds);

  ClockKind Kind() const override { return ClockKind::Simulated; }
  double AbsoluteMilliseconds() override { return absolute_; }
  double HighResolutionMilliseconds() override { return counter_; }
  double BeginPause(double ms) override;
  // Lets ms of model time pass (a task thinking between messages).
  void Advance(double ms);

 private:
  double absolute_;
  double counter_ = 0;
};

}  // namespace korvane::engine
