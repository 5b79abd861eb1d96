// InProcessRun.h: a task's run of a model in the task's own process.
//
// An InProcessRun is a task connection without the connection: the task's
// lines go straight into a TaskServer's line handling (the very code a
// served run goes through: experiment copy, run journal, trace indexes
// suspended and rebuilt, START/RESET/STOP, every reply and every ERROR), and
// the server's replies wait in a queue for the task to take. A run with the
// same seed and clock as a served one writes the same experiment database.
//
// The Python extension module (korvane._korvane) is its user; the server
// never listens, so nothing here opens a port.
//
// Invariants:
//  - the experiment copy is made when the run is opened (its path is known
//    at once); the settings the caller overrides (trace level, subjects) are
//    written into the copy before any line is handled, never into the model;
//  - when Send returns, every line it carried has been handled as far as the
//    model can go without a real pause, and what the handling committed is
//    durable (the run journal): a process killed right after loses nothing
//    the task was answered;
//  - everything runs on the thread that opened the run; a QCoreApplication
//    is made for the process when there is none;
//  - Close (or the destructor) ends the run as a task leaving does: pending
//    steps are dropped, the trace indexes are built, the database is closed;
//  - a failure that stops the run (its "ERROR|Simulation stopped: ..."
//    reply) closes it, as it disconnects a served task: lines sent after the
//    failing one are not handled and their replies never come.
#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/ModelExecutor.h"

namespace korvane::task {

class TaskServer;

struct InProcessOptions {
  std::string modelPath;
  engine::ExecutorOptions executor;  // clock and seed overrides
  std::optional<int> traceLevel;     // instead of Params_TraceLevel (0, 1 or 2)
  std::optional<int> subjects;       // instead of Params_Batch_Value (from 1)
  bool debug = false;                // every line, trace level included, to the log file
};

class InProcessRun {
 public:
  // Copies the model into a new experiment database beside it. Throws
  // korvane::Error with the reason when the model cannot be read, an
  // override is out of range or no copy can be made.
  explicit InProcessRun(InProcessOptions options);
  ~InProcessRun();
  InProcessRun(const InProcessRun&) = delete;
  InProcessRun& operator=(const InProcessRun&) = delete;

  // Bytes from the task: whole lines, each ended by CR LF or LF (a last line
  // without its end waits for the rest). Throws korvane::Error once closed.
  void Send(std::string_view bytes);
  // The replies not yet taken, oldest first ("BATCH|n" is the first).
  std::vector<std::string> TakeReplies();
  bool HasReplies() const { return !replies_.empty(); }
  // Runs the model's pauses (the real clock's timers) until a reply waits or
  // timeoutMs has passed; true when a reply waits.
  bool WaitForReply(int timeoutMs);
  // Ends the run (see above). Safe to call again.
  void Close();
  bool Closed() const { return !server_; }

  const std::string& ExperimentPath() const { return experimentPath_; }
  int Batch() const { return batch_; }
  // The server's last error ("None" while all is well).
  std::string LastError() const;

 private:
  void RunDueEvents(bool force);

  std::unique_ptr<TaskServer> server_;
  std::deque<std::string> replies_;
  std::string experimentPath_;
  int batch_ = 1;
  long long lastEventsMs_ = 0;
  bool failed_ = false;
};

}  // namespace korvane::task
