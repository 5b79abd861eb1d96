// Logger.h: the log file, and the shared file log routine every log line of
// the program passes through.
//
// One Logger writes one file, "yyyymmdd-hhmmss.txt" (its creation time) in the
// "logs" folder of the per-user data folder, one line per message:
// "[yyyyMMdd-HHnnss.zzz] message" ended by CR LF, flushed at once so that a
// killed process keeps its lines (inside a LogBatch: when the batch ends). The program keeps one shared logger,
// created on first use and replaced by StartNewLog, so that every simulation
// ends in a file of its own. Plain C++: used by the engine, the task
// connection and the headless commands alike.
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

namespace korvane {

class Logger {
 public:
  // Opens a new file in folder (created when missing); an empty folder means
  // DataFolder()/logs. A folder that cannot be created or a file that cannot
  // be opened leaves the logger closed and says so through the dialogs.
  explicit Logger(const std::string& folder = {});
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Writes one line, if the file is open; with flush unset it may wait in
  // the file's buffer until the next Flush.
  void AddString(const std::string& message, bool flush = true);
  void Flush();
  // The file name without folder; empty when no file could be opened.
  const std::string& GetFilename() const { return fileName_; }
  // The full path; empty when no file could be opened.
  const std::string& GetPath() const { return path_; }
  bool IsOpen() const { return file_ != nullptr; }

 private:
  std::string fileName_;
  std::string path_;
  std::FILE* file_ = nullptr;
  std::mutex mutex_;
};

// The shared file log routine: creates the shared logger if there is none,
// drops lines below the minimum level, writes the rest.
void LogToFile(const std::string& message, int level);
// The minimum level written to the file: 1 normally, 0 in debug mode.
void SetMinimumLogLevel(int level);
int MinimumLogLevel();
// Replaces the shared logger by a new one (closing the old file); returns the
// new file's path.
std::string StartNewLog();
// The shared logger's current file path (creating the logger when needed).
std::string CurrentLogPath();
// Where new shared loggers write; empty: DataFolder()/logs. Tests point this
// at a temporary folder.
void SetLogFolder(const std::string& folder);
// Makes LogToFile the sink of LogShared (util/Log.h).
void InstallSharedFileLog();

// While a LogBatch lives, lines of the shared log wait in the file's buffer
// and reach the file together when the outermost batch ends. The task server
// handles each arrival and each executor step inside one, so a decision costs
// one write instead of one per line, and a killed process loses at most the
// lines of the step it was in, like that step's database rows. Lines of
// level 2 and above are written at once. (A served run defers further; see
// DeferLogFlushes.)
class LogBatch {
 public:
  LogBatch();
  ~LogBatch();
  LogBatch(const LogBatch&) = delete;
  LogBatch& operator=(const LogBatch&) = delete;
};

// While flushes are deferred (calls nest), the end of a batch writes the file
// at most once per kDeferredLogFlush; lines it leaves in the buffer are
// pending until FlushPendingLog, the next batch end after that time, a line
// outside any batch or of level 2 or above, or the end of the deferral. A served run defers: its
// owner flushes the pending lines from a timer, so a busy run writes its log
// ten times a second instead of once per trial, and a killed process loses
// at most the last tenth of a second of log lines (never the trace).
constexpr std::chrono::milliseconds kDeferredLogFlush{100};
void DeferLogFlushes(bool on);
bool LogFlushPending();
void FlushPendingLog();

}  // namespace korvane
