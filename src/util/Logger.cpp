// Logger.cpp: the log file and the shared file log routine.
#include "util/Logger.h"

#include <chrono>
#include <cmath>
#include <ctime>
#include <filesystem>

#include "util/Dialogs.h"
#include "util/Files.h"
#include "util/Log.h"

namespace korvane {

namespace {

std::tm LocalTime(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm;
}

std::string Format(const char* pattern, const std::tm& tm) {
  char buffer[64];
  std::size_t n = std::strftime(buffer, sizeof buffer, pattern, &tm);
  return std::string(buffer, n);
}

}  // namespace

Logger::Logger(const std::string& folder) {
  namespace fs = std::filesystem;
  auto now = std::chrono::system_clock::now();
  std::string stamp = Format("%Y%m%d-%H%M%S", LocalTime(std::chrono::system_clock::to_time_t(now)));
  std::string dir;
  std::error_code ec;
  try {
    dir = folder.empty() ? LogFolder() : folder;
    fs::create_directories(dir, ec);
  } catch (const std::exception&) {
    ec = std::make_error_code(std::errc::permission_denied);
  }
  if (ec || !fs::is_directory(dir)) {
    CurrentDialogs().Message("Cannot start the log file '" + stamp + ".txt' " +
                                 "because the following directory could not be written to: \r\n\r\n" + dir,
                             DialogIcon::Critical);
    return;
  }
  // Two loggers started within one second get "-2", "-3", ... rather than
  // overwriting each other's file.
  std::string name = stamp + ".txt";
  for (int n = 2; fs::exists(dir + "/" + name) && n < 1000; ++n) name = stamp + "-" + std::to_string(n) + ".txt";
  std::string path = dir + "/" + name;
  file_ = std::fopen(path.c_str(), "wb");
  if (!file_) {
    CurrentDialogs().Message("Cannot start the log file '" + name + "' " +
                                 "because the following directory could not be written to: \r\n\r\n" + dir,
                             DialogIcon::Critical);
    return;
  }
  fileName_ = name;
  path_ = path;
}

Logger::~Logger() {
  if (file_) std::fclose(file_);
}

void Logger::Flush() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_) std::fflush(file_);
}

void Logger::AddString(const std::string& message, bool flush) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!file_) return;
  auto now = std::chrono::system_clock::now();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::string stamp = Format("%Y%m%d-%H%M%S", LocalTime(std::chrono::system_clock::to_time_t(now)));
  char millis[8];
  std::snprintf(millis, sizeof millis, ".%03d", static_cast<int>(ms));
  std::string line = "[" + stamp + millis + "] " + message + "\r\n";
  std::fwrite(line.data(), 1, line.size(), file_);
  if (flush) std::fflush(file_);
}

namespace {

// The dialog a failing logger shows may itself log (headless dialogs do):
// the mutex is recursive and lines arriving while a logger is being created
// are dropped rather than starting another one.
struct SharedLog {
  std::recursive_mutex mutex;
  bool creating = false;
  std::unique_ptr<Logger> logger;
  int minimumLevel = 1;
  int batchDepth = 0;
  std::string folder;
  // Deferred flushes (DeferLogFlushes): lines wait in the file's buffer.
  int deferrals = 0;
  bool pending = false;
  std::chrono::steady_clock::time_point lastFlush;
};

SharedLog& Shared() {
  static SharedLog shared;
  return shared;
}

Logger* SharedLogger(SharedLog& s) {
  if (!s.logger) {
    if (s.creating) return nullptr;
    s.creating = true;
    auto logger = std::make_unique<Logger>(s.folder);
    s.creating = false;
    s.logger = std::move(logger);
  }
  return s.logger.get();
}

}  // namespace

void LogToFile(const std::string& message, int level) {
  SharedLog& s = Shared();
  std::lock_guard<std::recursive_mutex> lock(s.mutex);
  if (level < s.minimumLevel) return;
  // Outside a batch a line is written at once, deferral or not: only batch
  // ends are held back (nothing else would write a lone line soon).
  const bool flush = s.batchDepth == 0 || level >= 2;
  if (Logger* logger = SharedLogger(s)) {
    logger->AddString(message, flush);
    if (flush) {
      s.pending = false;
      s.lastFlush = std::chrono::steady_clock::now();
    }
  }
}

LogBatch::LogBatch() {
  SharedLog& s = Shared();
  std::lock_guard<std::recursive_mutex> lock(s.mutex);
  ++s.batchDepth;
}

LogBatch::~LogBatch() {
  SharedLog& s = Shared();
  std::lock_guard<std::recursive_mutex> lock(s.mutex);
  if (--s.batchDepth > 0 || !s.logger) return;
  const auto now = std::chrono::steady_clock::now();
  if (s.deferrals > 0 && now - s.lastFlush < kDeferredLogFlush) {
    s.pending = true;
    return;
  }
  s.logger->Flush();
  s.pending = false;
  s.lastFlush = now;
}

void DeferLogFlushes(bool on) {
  SharedLog& s = Shared();
  std::lock_guard<std::recursive_mutex> lock(s.mutex);
  s.deferrals += on ? 1 : -1;
  if (s.deferrals < 0) s.deferrals = 0;
  if (s.deferrals == 0 && s.pending && s.logger) {
    s.logger->Flush();
    s.pending = false;
  }
}

bool LogFlushPending() {
  SharedLog& s = Shared();
  std::lock_guard<std::recursive_mutex> lock(s.mutex);
  return s.pending;
}

void FlushPendingLog() {
  SharedLog& s = Shared();
  std::lock_guard<std::recursive_mutex> lock(s.mutex);
  if (!s.pending || s.batchDepth > 0) return;
  if (s.logger) s.logger->Flush();
  s.pending = false;
  s.lastFlush = std::chrono::steady_clock::now();
}

void SetMinimumLogLevel(int level) {
  std::lock_guard<std::recursive_mutex> lock(Shared().mutex);
  Shared().minimumLevel = level;
}

int MinimumLogLevel() {
  std::lock_guard<std::recursive_mutex> lock(Shared().mutex);
  return Shared().minimumLevel;
}

std::string StartNewLog() {
  SharedLog& s = Shared();
  std::lock_guard<std::recursive_mutex> lock(s.mutex);
  s.logger.reset();  // close the old file before a new one may take its name
  Logger* logger = SharedLogger(s);
  return logger ? logger->GetPath() : std::string();
}

std::string CurrentLogPath() {
  SharedLog& s = Shared();
  std::lock_guard<std::recursive_mutex> lock(s.mutex);
  Logger* logger = SharedLogger(s);
  return logger ? logger->GetPath() : std::string();
}

void SetLogFolder(const std::string& folder) {
  SharedLog& s = Shared();
  std::lock_guard<std::recursive_mutex> lock(s.mutex);
  s.folder = folder;
}

void InstallSharedFileLog() { SetSharedLogSink(&LogToFile); }

}  // namespace korvane
