// SweepRunner.cpp: see SweepRunner.h.
#include "sweep/SweepRunner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "export/TraceQuery.h"
#include "store/Database.h"
#include "store/MetaKeyValue.h"
#include "util/Error.h"
#include "util/Variant.h"

namespace korvane::sweep {

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The settings key that limits the trace to what a sweep reads (decisions
// and feedback), when the model knows it.
constexpr const char* kTraceLevelKey = "Params_TraceLevel";

std::string Describe(const SweepDefinition& d, const Point& p) {
  std::string text = p.Id() + " (";
  for (std::size_t i = 0; i < d.vary.size(); ++i) text += (i ? ", " : "") + d.vary[i].key + "=" + p.values[i];
  return text + ")";
}

std::string LastLines(const std::string& path, int lines = 3) {
  std::string text;
  try {
    text = ReadWholeFile(path);
  } catch (const std::exception&) {
    return "";
  }
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  std::size_t pos = text.size();
  for (int i = 0; i < lines && pos != std::string::npos && pos > 0; ++i) pos = text.rfind('\n', pos - 1);
  std::string tail = pos == std::string::npos ? text : text.substr(pos + 1);
  for (char& c : tail)
    if (c == '\n' || c == '\r') c = ' ';
  return tail;
}

std::map<std::string, std::string> ReadInfo(const std::string& path) {
  std::map<std::string, std::string> info;
  std::string text;
  try {
    text = ReadWholeFile(path);
  } catch (const std::exception&) {
    return info;
  }
  std::stringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    const auto equals = line.find('=');
    if (equals != std::string::npos) info[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return info;
}

// A supervised child's SIGTERM (the sweep ended it, or died): the whole
// process group, the command's own children included, gets it too.
void EndProcessGroup(int) {
  signal(SIGTERM, SIG_DFL);
  kill(0, SIGTERM);
}

// A child process: standard input from /dev/null, standard output and error
// appended to a log file. A supervised child (a user's task command, which
// may start processes of its own) runs in a process group of its own under a
// small supervisor that ends the whole group when the sweep ends it or dies.
class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { End(2000); }

  void Start(const std::vector<std::string>& argv, const std::string& logPath,
             const std::vector<std::string>& environment, bool supervised = false) {
    std::vector<char*> args, env;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (const auto& e : environment) env.push_back(const_cast<char*>(e.c_str()));
    env.push_back(nullptr);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) {
      const int error = errno;
      pid_ = -1;
      throw SweepError("cannot start " + argv[0] + ": " + std::strerror(error));
    }
    if (pid_ == 0) {
      // Only async-signal-safe calls from here on. The child ends with the
      // sweep (a killed sweep leaves no server listening), and takes none of
      // the sweep's open files with it.
      if (supervised) {
        setpgid(0, 0);
        signal(SIGTERM, EndProcessGroup);
      }
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != parent) _exit(127);
      const int in = open("/dev/null", O_RDONLY);
      const int out = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (in < 0 || out < 0) _exit(127);
      dup2(in, 0);
      dup2(out, 1);
      dup2(out, 2);
      close_range(3, ~0U, 0);
      if (supervised) {
        const pid_t worker = fork();
        if (worker < 0) _exit(127);
        if (worker == 0) {
          signal(SIGTERM, SIG_DFL);
          execve(args[0], args.data(), env.data());
          _exit(127);
        }
        int status = 0;
        while (waitpid(worker, &status, 0) < 0 && errno == EINTR) {
        }
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
      }
      execve(args[0], args.data(), env.data());
      _exit(127);
    }
  }

  // True once the process has ended (its exit code is then known).
  bool Ended() {
    if (pid_ <= 0) return true;
    int status = 0;
    const pid_t got = waitpid(pid_, &status, WNOHANG);
    if (got == 0) return false;
    if (got == pid_) exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    pid_ = -1;
    return true;
  }
  // Waits for the end; false when stopped or after timeoutMs (negative: no limit).
  bool Wait(int timeoutMs) {
    const auto start = Clock::now();
    while (!Ended()) {
      if (StopFlag()) return false;
      if (timeoutMs >= 0 && SecondsSince(start) * 1000 > timeoutMs) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }
  // SIGTERM, and SIGKILL after graceMs.
  void End(int graceMs) {
    if (Ended()) return;
    ::kill(pid_, SIGTERM);
    const auto start = Clock::now();
    while (!Ended()) {
      if (SecondsSince(start) * 1000 > graceMs) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        exitCode_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  int ExitCode() const { return exitCode_; }

 private:
  pid_t pid_ = -1;
  int exitCode_ = -1;
};

// The children's environment: this one's, with KORVANE_DATA_DIR replaced.
std::vector<std::string> ChildEnvironment(const std::string& dataFolder) {
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e)
    if (std::string_view(*e).rfind("KORVANE_DATA_DIR=", 0) != 0) env.emplace_back(*e);
  env.push_back("KORVANE_DATA_DIR=" + dataFolder);
  return env;
}

void RemoveQuietly(const fs::path& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
}

// Replaces {name} in a task command by the value as one shell word.
std::string Substitute(std::string text, const std::map<std::string, std::string>& values) {
  for (const auto& [name, raw] : values) {
    const std::string value = ShellQuote(raw);
    const std::string field = "{" + name + "}";
    for (std::size_t pos = text.find(field); pos != std::string::npos; pos = text.find(field, pos + value.size()))
      text.replace(pos, field.size(), value);
  }
  return text;
}

// Runs one point in its folder; throws SweepError on failure.
PointSummary RunPoint(const SweepDefinition& d, const Point& point, const fs::path& dir, const RunOptions& options) {
  const auto start = Clock::now();
  // Chunks of one sweep share the folder; a point is run by one at a time.
  const std::string lockPath = dir.string() + ".lock";
  struct PointLock {
    int fd;
    ~PointLock() {
      if (fd >= 0) ::close(fd);
    }
  } lock{::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)};
  if (lock.fd < 0 || ::flock(lock.fd, LOCK_EX | LOCK_NB) != 0)
    throw SweepError("another sweep is running this point (" + lockPath + ")");
  RemoveQuietly(dir);
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) throw SweepError("cannot create " + dir.string() + ": " + ec.message());

  // The point's own model: a copy with its settings.
  const fs::path model = dir / "model.mdb";
  try {
    store::Database::Copy(d.model, model.string());
    auto db = store::Database::Open(model.string());
    for (std::size_t i = 0; i < d.vary.size(); ++i) {
      const std::string& text = point.values[i];
      if (IsNumericText(text)) store::SetKeyValue(db.get(), d.vary[i].key, Variant(ReadNumber(text)));
      else store::SetKeyValue(db.get(), d.vary[i].key, Variant(text));
    }
    // The sweep reads only executions and feedback, so the point's copy
    // traces decisions only (an engine without trace levels ignores the
    // key), unless the user varies the level or keeps the whole trace.
    if (d.keep != Keep::All &&
        std::find_if(d.vary.begin(), d.vary.end(), [](const Variation& v) { return v.key == kTraceLevelKey; }) ==
            d.vary.end())
      store::SetKeyValue(db.get(), kTraceLevelKey, Variant(1.0));
    db->Close();
  } catch (const Error& e) {
    throw SweepError("cannot make the point's model: " + e.Description());
  }

  // The servers' log files stay with the point instead of the user's folder.
  const std::vector<std::string> environment = ChildEnvironment((dir / "data").string());
  const fs::path infoFile = dir / "serve.info";
  const std::string serveLog = (dir / "serve.log").string(), taskLog = (dir / "task.log").string();
  Child serve;
  serve.Start({options.program, "serve", model.string(), "--port", "0", "--listen", "127.0.0.1", "--clock",
               "simulated", "--seed", std::to_string(point.seed), "--quiet", "--info-file", infoFile.string()},
              serveLog, environment);

  std::string port;
  const auto waitStart = Clock::now();
  for (;;) {
    auto info = ReadInfo(infoFile.string());
    if (!info["port"].empty()) {
      port = info["port"];
      break;
    }
    if (serve.Ended()) throw SweepError("the server ended before it listened: " + LastLines(serveLog));
    if (StopFlag()) throw SweepError("stopped");
    if (SecondsSince(waitStart) * 1000 > options.serveTimeoutMs)
      throw SweepError("the server did not listen within " + std::to_string(options.serveTimeoutMs / 1000) + " s");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  Child task;
  if (d.taskCommand.empty()) {
    task.Start({options.program, "task", d.task, "--host", "127.0.0.1", "--port", port, "--subjects",
                std::to_string(d.subjects), "--trials", std::to_string(d.trials), "--seed", std::to_string(point.seed)},
               taskLog, environment);
  } else {
    const std::string command =
        Substitute(d.taskCommand, {{"host", "127.0.0.1"},
                                   {"port", port},
                                   {"subjects", std::to_string(d.subjects)},
                                   {"trials", std::to_string(d.trials)},
                                   {"seed", std::to_string(point.seed)},
                                   {"dir", dir.string()}});
    task.Start({"/bin/sh", "-c", command}, taskLog, environment, true);
  }
  if (!task.Wait(-1)) throw SweepError("stopped");
  const bool taskOk = task.ExitCode() == 0;
  // The server closes its databases (and builds the trace's indexes) when
  // told to stop.
  serve.End(120000);
  if (!taskOk)
    throw SweepError("the task ended with exit code " + std::to_string(task.ExitCode()) + ": " + LastLines(taskLog));
  const std::string experiment = ReadInfo(infoFile.string())["experiment"];
  if (experiment.empty()) throw SweepError("the task never connected to the server");

  std::string trialTable;
  const std::vector<TrialRecord> trials =
      ReadTrials(experiment, d.instanceType, d.keep != Keep::None ? &trialTable : nullptr);
  PointSummary summary;
  summary.signature = PointSignature(d, point);
  summary.number = point.number;
  summary.values = point.values;
  summary.seed = point.seed;
  std::set<std::int32_t> subjects;
  for (const auto& t : trials) subjects.insert(t.subject);
  summary.subjects = static_cast<int>(subjects.size());
  summary.decisions = static_cast<std::int64_t>(trials.size());
  summary.blocks = SummarizeBlocks(trials, d.blockSize, d.Blocks());
  const std::int64_t asked = static_cast<std::int64_t>(d.subjects) * d.trials;
  if (summary.decisions != asked)
    throw SweepError("the run made " + std::to_string(summary.decisions) + " of the " + std::to_string(asked) +
                     " decisions asked for (" + std::to_string(d.subjects) + " subjects x " +
                     std::to_string(d.trials) + " trials; see " + (dir / "task.log").string() + ")");

  WriteFileAtomically((dir / "blocks.csv").string(), BlocksCsv(summary.blocks));
  if (d.keep != Keep::None) WriteFileAtomically((dir / "trials.csv").string(), trialTable);
  if (d.keep != Keep::All) {
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
      const std::string name = entry.path().filename().string();
      if (name == "blocks.csv" || name == "trials.csv" || name == "serve.log" || name == "task.log") continue;
      RemoveQuietly(entry.path());
    }
  }
  summary.seconds = SecondsSince(start);
  WriteFileAtomically((dir / "summary.json").string(), SummaryJson(summary));
  return summary;
}

std::string Duration(double seconds) {
  char text[32];
  const long s = static_cast<long>(seconds + 0.5);
  if (s >= 3600) std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

void WriteAndReport(const std::string& folder, const SweepDefinition& d, RunReport& report, std::ostream& out) {
  std::optional<Target> target;
  if (!d.target.empty()) target = ReadTarget(d.target, d.Blocks());
  const auto outcomes = LoadOutcomes(folder, d, target);
  report.best = WriteResults(folder, d, outcomes);
  int missing = 0;
  for (const auto& o : outcomes) missing += o.summary ? 0 : 1;
  out << "Results: " << (fs::path(folder) / "results.csv").string() << " (" << outcomes.size() - missing << " of "
      << outcomes.size() << " points complete)\n";
  if (report.best) {
    char fit[96];
    std::snprintf(fit, sizeof fit, ", RMSE %.4g", report.best->fit->rmse);
    out << "Best fit: " << Describe(d, report.best->point) << fit;
    if (report.best->fit->r) {
      std::snprintf(fit, sizeof fit, ", r %.4g", *report.best->fit->r);
      out << fit;
    }
    out << " (" << (fs::path(folder) / "best.json").string() << ")\n";
  }
}

}  // namespace

std::atomic<bool>& StopFlag() {
  static std::atomic<bool> flag{false};
  return flag;
}

FolderLock::FolderLock(const std::string& folder, bool shared) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) throw SweepError("cannot create " + folder + ": " + ec.message());
  const std::string path = (fs::path(folder) / "sweep.lock").string();
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) throw SweepError("cannot create " + path + ": " + std::strerror(errno));
  if (::flock(fd_, (shared ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
    std::string holder;
    try {
      holder = ReadWholeFile(path);
    } catch (const std::exception&) {
    }
    while (!holder.empty() && (holder.back() == '\n' || holder.back() == ' ')) holder.pop_back();
    if (const auto line = holder.rfind('\n'); line != std::string::npos) holder.erase(0, line + 1);
    ::close(fd_);
    fd_ = -1;
    throw SweepError("the folder " + folder + " is in use by another sweep" + (holder.empty() ? "" : " (" + holder + ")") +
                     "; wait for it to end or use another folder");
  }
  // Who holds it, for the message above: one line per holder.
  char when[32];
  const std::time_t now = std::time(nullptr);
  std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", std::gmtime(&now));
  char host[256] = "";
  ::gethostname(host, sizeof host - 1);
  const std::string line = std::string(shared ? "a chunk" : "a sweep") + " by process " + std::to_string(::getpid()) +
                           " on " + host + " since " + when + "\n";
  if (!shared && ::ftruncate(fd_, 0) != 0) {
    // The line is appended to the old ones instead; only the last is read.
  }
  if (::lseek(fd_, 0, SEEK_END) >= 0 && ::write(fd_, line.data(), line.size()) < 0) {
    // The lock holds without its description.
  }
}

FolderLock::~FolderLock() {
  if (fd_ >= 0) ::close(fd_);
}

SweepDefinition PrepareSweep(SweepDefinition d, const std::string& folder) {
  std::error_code ec;
  if (!fs::is_regular_file(d.model, ec)) throw SweepError("no model file " + d.model);
  d.model = fs::absolute(d.model).string();
  if (!d.target.empty()) {
    if (!fs::is_regular_file(d.target, ec)) throw SweepError("no target file " + d.target);
    d.target = fs::absolute(d.target).string();
  }
  if (d.subjects < 1 || d.trials < 1 || d.blockSize < 1) throw SweepError("subjects, trials and block size must be at least 1");
  std::set<std::string> keys;
  for (const auto& v : d.vary)
    if (!keys.insert(v.key).second) throw SweepError("the key " + v.key + " is varied twice");
  try {
    auto db = store::Database::Open(d.model);
    for (const auto& v : d.vary)
      if (!store::HasKeyValue(db.get(), v.key))
        throw SweepError("the model has no setting " + v.key + " (`korvane get " + d.model +
                         "` lists them; add it first with `korvane set`)");
    const auto types = exporting::InstanceTypes(*db);
    if (d.instanceType.empty()) {
      if (types.size() != 1)
        throw SweepError("the model has " + std::to_string(types.size()) + " instance types; name one with --type");
      d.instanceType = types[0];
    } else if (std::find(types.begin(), types.end(), d.instanceType) == types.end()) {
      throw SweepError("the model has no instance type " + d.instanceType);
    }
    db->Close();
  } catch (const Error& e) {
    throw SweepError("cannot read the model " + d.model + ": " + e.Description());
  }
  d.modelHash = FileHash(d.model);
  if (!d.target.empty()) ReadTarget(d.target, d.Blocks());  // refuse a bad target before any point runs
  fs::create_directories(fs::path(folder) / "points", ec);
  if (ec) throw SweepError("cannot create " + folder + ": " + ec.message());
  WriteFileAtomically((fs::path(folder) / "sweep.json").string(), DefinitionJson(d));
  return d;
}

RunReport RunSweep(const SweepDefinition& d, const std::string& folder, const RunOptions& options,
                   std::ostream& out) {
  RunReport report;
  const auto start = Clock::now();
  std::vector<Point> todo;
  const std::vector<Point> all = MakePoints(d);
  std::set<int> only(options.only.begin(), options.only.end());
  for (const Point& point : all) {
    if (!options.only.empty() && !only.count(point.number)) continue;
    ++report.points;
    const fs::path summary = fs::path(folder) / "points" / point.Id() / "summary.json";
    std::error_code ec;
    if (fs::exists(summary, ec)) {
      try {
        if (SummaryComplete(SummaryFromJson(ReadWholeFile(summary.string())), d, point)) {
          ++report.skipped;
          continue;
        }
      } catch (const std::exception&) {
        // run it again
      }
    }
    todo.push_back(point);
  }
  out << report.points << " points";
  if (report.skipped) out << " (" << report.skipped << " already complete)";
  out << ", " << d.subjects << " subjects x " << d.trials << " trials each, " << std::max(1, options.jobs)
      << " at a time\n"
      << std::flush;

  std::mutex mutex;
  std::size_t next = 0;
  int running = 0;
  std::vector<std::string> lines;  // finished-point lines for the progress printer
  std::map<int, fs::path> active;  // running points' folders
  auto worker = [&] {
    for (;;) {
      Point point;
      {
        std::lock_guard lock(mutex);
        if (next >= todo.size() || StopFlag()) return;
        point = todo[next++];
        ++running;
      }
      const fs::path dir = fs::path(folder) / "points" / point.Id();
      {
        std::lock_guard lock(mutex);
        active[point.number] = dir;
      }
      std::string line;
      try {
        PointSummary summary = RunPoint(d, point, dir, options);
        std::lock_guard lock(mutex);
        ++report.completed;
        report.decisions += summary.decisions;
        char text[160];
        std::snprintf(text, sizeof text, ": %lld decisions in %.1f s", static_cast<long long>(summary.decisions),
                      summary.seconds);
        line = Describe(d, point) + text;
      } catch (const std::exception& e) {
        const std::string why = e.what();
        std::lock_guard lock(mutex);
        if (StopFlag()) {
          report.interrupted = true;
        } else {
          ++report.failed;
          report.failures.push_back(Describe(d, point) + ": " + why);
          line = Describe(d, point) + " FAILED: " + why;
          try {
            WriteFileAtomically((dir / "error.txt").string(), why + "\n");
          } catch (const std::exception&) {
          }
        }
      }
      std::lock_guard lock(mutex);
      --running;
      active.erase(point.number);
      if (!line.empty()) lines.push_back(line);
    }
  };

  const int jobs = std::max(1, std::min<int>(options.jobs, static_cast<int>(todo.size())));
  std::vector<std::thread> threads;
  for (int j = 0; j < jobs && !todo.empty(); ++j) threads.emplace_back(worker);

  // Progress: points done, decisions per second, time left. The decisions of
  // running points are estimated from where their servers say they are.
  const double perPoint = static_cast<double>(d.subjects) * d.trials;
  std::map<int, double> runningDecisions;
  auto progressLine = [&] {
    const int done = report.completed + report.failed;
    const double elapsed = SecondsSince(start);
    double decisions = static_cast<double>(report.decisions), work = done;
    for (const auto& [number, made] : runningDecisions)
      if (active.count(number)) {
        decisions += made;
        work += std::min(1.0, made / perPoint);
      }
    const int width = 24;
    const int filled = todo.empty() ? width : static_cast<int>(width * work / static_cast<double>(todo.size()));
    std::string bar = "[" + std::string(filled, '#') + std::string(width - filled, '.') + "]";
    char text[200];
    const double rate = elapsed > 0 ? decisions / elapsed : 0;
    std::string left = work > 0.02 ? Duration(elapsed / work * (todo.size() - work)) : "?";
    std::snprintf(text, sizeof text, "%s %d/%zu points, %.0f decisions/s, %s left", bar.c_str(), done, todo.size(),
                  rate, left.c_str());
    return std::string(text);
  };
  bool finished = todo.empty();
  while (!finished) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::vector<std::string> ready;
    std::string progress;
    std::map<int, fs::path> watched;
    {
      std::lock_guard lock(mutex);
      watched = active;
    }
    for (const auto& [number, dir] : watched) {
      auto info = ReadInfo((dir / "serve.info").string());
      if (info["subject"].empty()) continue;
      const double subject = std::atof(info["subject"].c_str()), trial = std::atof(info["trial"].c_str());
      runningDecisions[number] = std::clamp((subject - 1) * d.trials + trial, 0.0, perPoint);
    }
    {
      std::lock_guard lock(mutex);
      ready.swap(lines);
      finished = next >= todo.size() && running == 0;
      if (StopFlag() && running == 0) finished = true;
      progress = progressLine();
    }
    for (const auto& line : ready) {
      if (options.interactive) out << "\r\033[K";
      out << line << "\n";
    }
    if (!options.interactive && !ready.empty()) out << progress << "\n";
    if (options.interactive) out << "\r\033[K" << progress;
    out << std::flush;
  }
  for (auto& t : threads) t.join();
  if (options.interactive && !todo.empty()) out << "\n";
  report.seconds = SecondsSince(start);
  if (StopFlag()) report.interrupted = true;

  out << report.completed << " points run";
  if (report.skipped) out << ", " << report.skipped << " skipped (already complete)";
  if (report.failed) out << ", " << report.failed << " FAILED";
  char text[120];
  std::snprintf(text, sizeof text, "; %lld decisions in %.1f s", static_cast<long long>(report.decisions),
                report.seconds);
  out << text << "\n";
  for (const auto& f : report.failures) out << "  failed: " << f << "\n";
  if (report.interrupted) out << "Interrupted: run the same command again to go on where it stopped.\n";
  if (options.writeResults) WriteAndReport(folder, d, report, out);
  return report;
}

RunReport CollectSweep(const std::string& folder, std::ostream& out) {
  const fs::path definitionPath = fs::path(folder) / "sweep.json";
  std::error_code ec;
  if (!fs::exists(definitionPath, ec)) throw SweepError(folder + " holds no sweep (no sweep.json)");
  const SweepDefinition d = DefinitionFromJson(ReadWholeFile(definitionPath.string()));
  RunReport report;
  std::optional<Target> target;
  if (!d.target.empty()) target = ReadTarget(d.target, d.Blocks());
  for (const auto& o : LoadOutcomes(folder, d, target)) {
    ++report.points;
    if (o.summary) {
      ++report.completed;
      report.decisions += o.summary->decisions;
    } else {
      ++report.failed;
      report.failures.push_back(Describe(d, o.point) + ": " + (o.error.empty() ? "not run" : o.error));
    }
  }
  for (const auto& f : report.failures) out << "  incomplete: " << f << "\n";
  WriteAndReport(folder, d, report, out);
  return report;
}

std::string ShellQuote(const std::string& word) {
  if (!word.empty() && word.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-./=:,+@%") ==
                           std::string::npos)
    return word;
  std::string out = "'";
  for (char c : word) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

void WriteSlurmScripts(const std::string& folder, const SweepDefinition& d, const SlurmOptions& options,
                       const std::string& program) {
  const int points = static_cast<int>(MakePoints(d).size());
  const int chunks = std::max(1, std::min(points, options.chunks > 0 ? options.chunks : std::min(points, 100)));
  const std::string dir = fs::absolute(folder).string();
  const std::string header = "#!/bin/bash\n";
  // The array: chunk I of N on each array task.
  std::string script = header;
  script += "#SBATCH --job-name=korvane-sweep\n";
  script += "#SBATCH --array=1-" + std::to_string(chunks) + "\n";
  script += "#SBATCH --cpus-per-task=" + std::to_string(options.cpusPerTask) + "\n";
  script += "#SBATCH --output=" + ShellQuote(dir + "/slurm/sweep-%A_%a.out") + "\n";
  if (!options.partition.empty()) script += "#SBATCH --partition=" + ShellQuote(options.partition) + "\n";
  if (!options.time.empty()) script += "#SBATCH --time=" + ShellQuote(options.time) + "\n";
  script += "# Written by korvane sweep: chunk $SLURM_ARRAY_TASK_ID of " + std::to_string(chunks) + " of " +
            std::to_string(points) +
            " points. A chunk skips its points that are already complete,\n"
            "# so a requeued or resubmitted task goes on where it stopped.\n"
            "set -euo pipefail\n";
  std::vector<std::string> args = {d.model, "-o", dir};
  for (const auto& v : d.vary) {
    std::string values;
    for (const auto& value : v.values) values += (values.empty() ? "" : ",") + value;
    args.push_back("--vary");
    args.push_back(v.key + "=" + values);
  }
  for (const auto& [name, value] :
       std::vector<std::pair<std::string, std::string>>{{"--subjects", std::to_string(d.subjects)},
                                                        {"--trials", std::to_string(d.trials)},
                                                        {"--block-size", std::to_string(d.blockSize)},
                                                        {"--type", d.instanceType},
                                                        {"--seed", std::to_string(d.seed)},
                                                        {"--keep", KeepName(d.keep)}}) {
    args.push_back(name);
    args.push_back(value);
  }
  if (d.taskCommand.empty()) {
    args.push_back("--task");
    args.push_back(d.task);
  } else {
    args.push_back("--task-command");
    args.push_back(d.taskCommand);
  }
  if (!d.target.empty()) {
    args.push_back("--target");
    args.push_back(d.target);
  }
  std::string command = ShellQuote(program) + " sweep";
  for (const auto& a : args) command += " " + ShellQuote(a);
  script += "exec " + command + " --jobs \"${SLURM_CPUS_PER_TASK:-1}\" --only \"${SLURM_ARRAY_TASK_ID}/" +
            std::to_string(chunks) + "\"\n";
  WriteFileAtomically(dir + "/sweep.sbatch", script);

  std::string collect = header;
  collect += "#SBATCH --job-name=korvane-collect\n";
  collect += "#SBATCH --output=" + ShellQuote(dir + "/slurm/collect-%j.out") + "\n";
  if (!options.partition.empty()) collect += "#SBATCH --partition=" + ShellQuote(options.partition) + "\n";
  collect += "#SBATCH --time=00:10:00\n";
  collect += "# Written by korvane sweep: merges the points' results into results.csv.\n";
  collect += "exec " + ShellQuote(program) + " sweep collect " + ShellQuote(dir) + "\n";
  WriteFileAtomically(dir + "/collect.sbatch", collect);
  std::error_code ec;
  fs::create_directories(dir + "/slurm", ec);
  fs::permissions(dir + "/sweep.sbatch", fs::perms::owner_exec | fs::perms::group_exec, fs::perm_options::add, ec);
  fs::permissions(dir + "/collect.sbatch", fs::perms::owner_exec | fs::perms::group_exec, fs::perm_options::add, ec);
}

}  // namespace korvane::sweep
