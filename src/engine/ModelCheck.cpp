// ModelCheck.cpp: see ModelCheck.h.
#include "engine/ModelCheck.h"

#include <unistd.h>

#include <filesystem>

#include "engine/ModelExecutor.h"
#include "engine/Scheduler.h"
#include "store/Database.h"
#include "util/Error.h"
#include "util/Files.h"

namespace korvane::engine {

namespace {

class CollectingOwner : public ExecutorOwner {
 public:
  explicit CollectingOwner(std::vector<std::string>& lines) : lines_(lines) {}
  void AddLog(const std::string& text, int level) override {
    if (level >= 1) lines_.push_back(text);
  }
  void SendData(const std::string&) override {}
  void AddFileLog(const std::string&, int) override {}
  int LogDetailLevel() const override { return 1; }

 private:
  std::vector<std::string>& lines_;
};

}  // namespace

ModelCheck CheckModel(const std::string& modelPath, const std::string& typeName) {
  if (!FileExists(modelPath))
    throw Error(ErrorNumber::DatabaseFailure, "Korvane", "Could not find file '" + modelPath + "'.");
  namespace fs = std::filesystem;
  static int checks = 0;
  const fs::path copy = fs::temp_directory_path() / ("korvane-check-" + std::to_string(getpid()) + "-" +
                                                     std::to_string(++checks) + "-" + GetFileBasename(modelPath));
  auto removeCopy = [&copy] {
    std::error_code ec;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) fs::remove(copy.string() + suffix, ec);
  };
  ModelCheck result;
  try {
    store::Database::Copy(modelPath, copy.string());
    {
      auto db = store::Database::Open(copy.string());
      CollectingOwner owner(result.lines);
      QueueScheduler scheduler;
      ModelExecutor executor(*db, owner, scheduler);
      result.ready = executor.Prepare(typeName);
      result.warnings = executor.Warnings();
    }
  } catch (...) {
    removeCopy();
    throw;
  }
  removeCopy();
  const std::size_t warnings = result.warnings.size();
  std::string counted;
  if (warnings) counted = " (" + std::to_string(warnings) + (warnings == 1 ? " warning" : " warnings") + ")";
  result.lines.push_back((result.ready ? "Model is ready to run instance type " : "Model cannot run instance type ") +
                         typeName + counted);
  return result;
}

}  // namespace korvane::engine
