// Log.h: the shared logging entry.
//
// Code outside the engine reports through LogShared. It writes through the one
// log file object once the task connection has installed it (see
// task/Logger); until then lines go nowhere but to an optional hook. This is
// the only global mutable state of the core besides the current Dialogs.
#pragma once

#include <functional>
#include <string>

namespace korvane {

// Levels of a log line: 0 trace, 1 progress, 2 notice, 3 error, 4 internal error.
using LogSink = std::function<void(const std::string& text, int level)>;

void LogShared(const std::string& text, int level = 1);
// Installs the sink; returns the previous one. An empty sink drops lines.
LogSink SetSharedLogSink(LogSink sink);

}  // namespace korvane
