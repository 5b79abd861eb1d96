// Log.cpp: the shared logging entry.
#include "util/Log.h"

namespace korvane {

namespace {
LogSink& Sink() {
  static LogSink sink;
  return sink;
}
}  // namespace

void LogShared(const std::string& text, int level) {
  if (Sink()) Sink()(text, level);
}

LogSink SetSharedLogSink(LogSink sink) {
  LogSink previous = std::move(Sink());
  Sink() = std::move(sink);
  return previous;
}

}  // namespace korvane
