// BatchRunTest.cpp: what the batch path keeps the same while it does less:
// a restarted run against a fresh preparation, the trace levels, and the
// executor's own knowledge of the subject's rows against the table.
#include <gtest/gtest.h>

#include <functional>

#include "EngineFixture.h"

namespace korvane::engine::test {
namespace {

// The trace without its Time column, in row order.
std::vector<std::string> Trace(store::Database& db) {
  std::vector<std::string> rows;
  auto rs = db.OpenRecordset(
      "SELECT SubjectID, Instance, Marker, TrialNumber, Similarity, Activation, BLL, Noise, Selected, Executed, "
      "Feedback FROM MetaInstance ORDER BY rowid");
  for (; !rs->IsEOF(); rs->MoveNext()) {
    std::string row;
    for (int c = 0; c < rs->FieldCount(); ++c) row += rs->Get(c).ToText() + "|";
    rows.push_back(row);
  }
  return rows;
}

// Three subjects of five trials each, cues from two situations, feedback
// that differs by choice so that instances both merge and stay apart.
void RunSubjects(ModelExecutor& executor, QueueScheduler& scheduler, RecordingOwner& owner, bool restart,
                 const std::function<std::unique_ptr<ModelExecutor>()>& fresh = {}) {
  ModelExecutor* current = &executor;
  std::unique_ptr<ModelExecutor> replaced;
  for (int subject = 0; subject < 3; ++subject) {
    if (subject > 0) {
      if (restart) {
        current->RestartRun();
      } else {
        replaced = fresh();
        current = replaced.get();
        ASSERT_TRUE(current->Prepare("I1"));
      }
    }
    current->IncrementSubjectID(1);
    for (int trial = 0; trial < 5; ++trial) {
      current->AcceptCue(Cue(trial % 2, 1));
      scheduler.RunAll();
      current->AcceptFeedback(Vars({{"O", Variant(static_cast<std::int16_t>(trial % 3))}}));
      scheduler.RunAll();
    }
  }
  ASSERT_TRUE(owner.errors.empty()) << owner.errors.front();
}

TEST(BatchRun, ARestartedRunComputesWhatAFreshPreparationDoes) {
  korvane::test::TempDir dir;
  std::vector<std::string> traces[2];
  std::vector<std::string> replies[2];
  for (int restart = 0; restart < 2; ++restart) {
    ModelFile model(dir.File("model" + std::to_string(restart) + ".mdb"));
    model.AddRow(0, 1, 3, 1);
    model.AddRow(1, 1, 4, 0.5);
    RecordingOwner owner;
    ModelRun run(model.Db(), owner, false);
    ASSERT_TRUE(run.executor->Prepare("I1"));
    auto fresh = [&] {
      ExecutorOptions options;
      options.clock = ClockKind::Simulated;
      options.seed = 7;
      return std::make_unique<ModelExecutor>(model.Db(), owner, run.scheduler, options);
    };
    RunSubjects(*run.executor, run.scheduler, owner, restart == 1, fresh);
    traces[restart] = Trace(model.Db());
    replies[restart] = owner.replies;
    EXPECT_EQ(model.Count("SELECT COUNT(DISTINCT X_Subject) FROM I1 WHERE X_Subject > 0"), 3);
  }
  ASSERT_EQ(replies[0].size(), 15u);
  EXPECT_EQ(replies[1], replies[0]);
  ASSERT_GT(traces[0].size(), 60u);
  EXPECT_EQ(traces[1], traces[0]);
}

TEST(BatchRun, TraceLevelsKeepWhatTheySay) {
  korvane::test::TempDir dir;
  long rows[3] = {};
  long instances[3] = {};
  for (int level = 0; level < 3; ++level) {
    ModelFile model(dir.File("model" + std::to_string(level) + ".mdb"));
    model.AddRow(0, 1, 3, 1);
    if (level > 0) model.Set("Params_TraceLevel", level);
    RecordingOwner owner;
    ModelRun run(model.Db(), owner);
    ASSERT_TRUE(run.executor->Prepared());
    for (int trial = 0; trial < 4; ++trial) {
      run.CueAndSettle(trial % 2, 5);
      run.executor->AcceptFeedback(Vars({{"O", Variant(static_cast<std::int16_t>(trial))}}));
      run.scheduler.RunAll();
    }
    ASSERT_TRUE(owner.errors.empty());
    EXPECT_EQ(owner.replies.size(), 4u);
    rows[level] = model.Count("SELECT COUNT(*) FROM MetaInstance");
    instances[level] = model.Count("SELECT COUNT(*) FROM I1 WHERE X_Subject = 1");
    long acal = model.Count("SELECT COUNT(*) FROM MetaInstance WHERE Marker IN ('ACAL', 'SCAL')");
    long decisions = model.Count("SELECT COUNT(*) FROM MetaInstance WHERE Marker IN ('EXEC', 'FEED')");
    if (level == 0) {
      EXPECT_GT(acal, 0);
      EXPECT_EQ(decisions, 8);
    } else if (level == 1) {
      EXPECT_EQ(acal, 0);
      EXPECT_EQ(decisions, 8);
      EXPECT_GT(model.Count("SELECT COUNT(*) FROM MetaInstance WHERE Marker LIKE 'RETR%'"), 0);
      EXPECT_TRUE(owner.Logged("Trace: decisions (no ACAL and SCAL rows)"));
    } else {
      EXPECT_EQ(rows[level], 0);
      EXPECT_TRUE(owner.Logged("Trace: none (instances only)"));
    }
  }
  EXPECT_GT(rows[0], rows[1]);
  // What the run computes does not depend on what it writes down.
  EXPECT_EQ(instances[1], instances[0]);
  EXPECT_EQ(instances[2], instances[0]);

  // An unknown level keeps the full trace, and says so.
  ModelFile model(dir.File("unknown.mdb"));
  model.Set("Params_TraceLevel", 7);
  RecordingOwner owner;
  ModelRun run(model.Db(), owner);
  EXPECT_TRUE(owner.Logged("Trace level 7 is unknown; the full trace is kept"));
  EXPECT_TRUE(owner.Logged("Trace: full"));
}

TEST(BatchRun, RowsWrittenAroundTheExecutorBetweenSubjectsAreSeen) {
  // The executor learns the subject's rows once per subject and then follows
  // its own writes; a new subject (or a restarted run) looks again.
  korvane::test::TempDir dir;
  ModelFile model(dir.File("model.mdb"));
  model.AddRow(0, 1, 3, 1);
  RecordingOwner owner;
  ModelRun run(model.Db(), owner);
  run.CueAndSettle(0, 1);
  run.executor->AcceptFeedback(Vars({{"O", Variant(std::int16_t{2})}}));
  run.scheduler.RunAll();
  run.CueAndSettle(0, 1);
  EXPECT_TRUE(owner.Logged("Evaluating 2 of 2 instances available in I1"));
  run.executor->RestartRun();
  model.AddRow(5, 5, 4, 1, 2);  // a row of the next subject, written by someone else
  run.executor->IncrementSubjectID(1);
  EXPECT_EQ(run.executor->SubjectID(), 2);
  run.CueAndSettle(0, 1);
  // The prepopulated row copied for subject 2 and the row written for it.
  EXPECT_TRUE(owner.Logged("Evaluating 2 of 2 instances available in I1"));
  EXPECT_TRUE(owner.errors.empty());
}

}  // namespace
}  // namespace korvane::engine::test
