// EngineLog.h: how the engine's classes write log lines.
//
// Lines carry their indentation (two spaces per level) and a level (0 trace,
// 1 progress, 3 error, 4 internal error). Wants() lets hot loops skip building
// trace text nobody reads: the equality test of every candidate, for one,
// would otherwise build thousands of lines per cycle.
#pragma once

#include <string>

namespace korvane::engine {

class EngineLog {
 public:
  virtual ~EngineLog() = default;
  virtual bool Wants(int level) const = 0;
  // A line for the screen log and the log file.
  virtual void Add(const std::string& text, int level) = 0;
  // A line for the log file alone.
  virtual void AddFileOnly(const std::string& text, int level) = 0;
};

// levels * two spaces, then text.
std::string Indented(int levels, const std::string& text);

}  // namespace korvane::engine
