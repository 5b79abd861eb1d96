// EngineFixture.h: model files and a recording owner for the engine tests.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "engine/ModelExecutor.h"
#include "engine/Scheduler.h"
#include "formula/VariableList.h"
#include "store/Database.h"
#include "store/MetaDecision.h"
#include "store/MetaKeyValue.h"
#include "store/MetaSimilarity.h"
#include "store/MetaUtility.h"

namespace korvane::engine::test {

// A model with instance type I1: situation slots A and B (Real), decision
// Choice (Real), utility Util (Real); per-slot similarity PM = -|CUE-MEMORY|;
// heuristics U = 5 and D = 1; decision on recognition D = Memory.Choice;
// NORMAL retrieval; number-based stop rule of 1 cycle; CT >= 0; noise 0.25.
class ModelFile {
 public:
  explicit ModelFile(const std::string& path);
  store::Database& Db() { return *db_; }
  void Set(const std::string& key, const Variant& value) { store::SetKeyValue(db_.get(), key, value); }
  void SetFormula(const std::string& slot, const std::string& text) {
    store::SetSimilarityFormula(db_.get(), "I1", slot, text);
  }
  // A prepopulated row (subject 0).
  void AddRow(double a, double b, double choice, double util, std::int32_t subject = 0);
  long Count(const std::string& sql);

 private:
  std::unique_ptr<store::Database> db_;
};

class RecordingOwner : public ExecutorOwner {
 public:
  void AddLog(const std::string& text, int level) override { lines.push_back({text, level}); }
  void SendData(const std::string& text) override { replies.push_back(text); }
  void AddFileLog(const std::string& text, int level) override { fileLines.push_back({text, level}); }
  void OnExecutorError(const Error& error) override { errors.push_back(error.Description()); }
  int LogDetailLevel() const override { return detail; }

  bool Logged(const std::string& text) const;
  std::string AllLines() const;

  struct Line {
    std::string text;
    int level;
  };
  std::vector<Line> lines, fileLines;
  std::vector<std::string> replies, errors;
  int detail = 0;
};

formula::VariableList Cue(double a, double b);
formula::VariableList Vars(std::initializer_list<std::pair<const char*, Variant>> entries);

// A prepared executor on a simulated clock with seed 7, subject 1 started.
struct ModelRun {
  ModelRun(store::Database& db, RecordingOwner& owner, bool start = true);
  QueueScheduler scheduler;
  std::unique_ptr<ModelExecutor> executor;
  // Queue a cue and run everything that follows.
  void CueAndSettle(double a, double b) {
    executor->AcceptCue(Cue(a, b));
    scheduler.RunAll();
  }
};

}  // namespace korvane::engine::test
