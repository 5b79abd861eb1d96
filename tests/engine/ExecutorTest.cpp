// ExecutorTest.cpp: executors driven by scripted cues and feedback on real
// model files, a simulated clock and a fixed seed.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "EngineFixture.h"

namespace korvane::engine::test {
namespace {

class ExecutorTest : public ::testing::Test {
 protected:
  korvane::test::TempDir dir;
  ModelFile model{dir.File("model.mdb")};
  RecordingOwner owner;

  long Rows(const std::string& where) { return model.Count("SELECT COUNT(*) FROM MetaInstance WHERE " + where); }
};

TEST_F(ExecutorTest, PrepareSummarisesAndStartsSubjects) {
  model.AddRow(1, 2, 3, 4);
  model.Set("Params_S_Value", 0.25);
  ModelRun run(model.Db(), owner, false);
  ASSERT_TRUE(run.executor->Prepare("I1")) << owner.AllLines();
  EXPECT_EQ(run.executor->TrialNumber(), 1);
  EXPECT_EQ(run.executor->SubjectID(), 0);
  EXPECT_EQ(run.executor->SituationSlotCount(), 2);
  EXPECT_EQ(run.executor->Param("HELO"), Variant("HELLO %d"));
  EXPECT_EQ(run.executor->Seed(), 7u);
  EXPECT_TRUE(owner.Logged("Random seed = 7"));
  EXPECT_TRUE(owner.Logged("Situation slots:"));
  EXPECT_TRUE(owner.Logged("Column #5 is S_A_Real"));
  EXPECT_TRUE(owner.Logged("Retrieval method: NORMAL"));
  EXPECT_TRUE(owner.Logged("Constraint type: ALL"));
  EXPECT_TRUE(owner.Logged("RT > -1000"));
  EXPECT_TRUE(owner.Logged("T = 0.353553390593274"));
  EXPECT_TRUE(owner.Logged("Recognition stop rule (number of retrievals) = 1 cycles"));

  run.executor->IncrementSubjectID(1);
  EXPECT_EQ(run.executor->SubjectID(), 1);
  EXPECT_EQ(run.executor->TrialNumber(), 0);
  EXPECT_EQ(model.Count("SELECT COUNT(*) FROM I1 WHERE X_Subject = 1 AND X_Prepopulated = 1"), 1);
  // A second executor continues after the largest subject.
  RecordingOwner other;
  ModelRun again(model.Db(), other, false);
  ASSERT_TRUE(again.executor->Prepare("I1"));
  EXPECT_EQ(again.executor->SubjectID(), 1);

  // The stop rules are mended rather than refused.
  model.Set("Params_StopRule_Num", 0.0);
  RecordingOwner third;
  ModelRun mended(model.Db(), third, false);
  EXPECT_TRUE(mended.executor->Prepare("I1"));
  EXPECT_TRUE(third.Logged("Original stop rule (number of retrievals) of 0 cycles was invalid. Using 1 cycle instead."));
  model.Set("Params_StopRule", 0.0);
  model.Set("Params_StopRule_Value", 0.5);
  RecordingOwner fourth;
  ModelRun timed(model.Db(), fourth, false);
  EXPECT_TRUE(timed.executor->Prepare("I1"));
  EXPECT_TRUE(fourth.Logged("Original stop rule (time-based) of 0.5ms was invalid. Using 1ms instead."));
}

TEST_F(ExecutorTest, PrepareListsEveryProblemInOnePass) {
  model.Db().AppendField("I1", {"U_Other_Real", store::FieldType::Double});
  model.SetFormula("A", "PM = (");
  model.SetFormula("B", "");
  store::SetDecisionFormula(&model.Db(), "I1", "D_Choice_Real_FAILURE", "");
  store::SetJudgmentFormula(&model.Db(), "I1", false, "");
  model.Set("I1_RetrievalMethod", 1.0);
  model.Set("I1_ConstraintType", 1.0);
  model.Set("I1_ConstraintFormula", "USES.X = ");
  model.Set("Params_Goal_Value", "");
  model.Set("Params_LF_Value", "abc");
  ModelRun run(model.Db(), owner, false);
  EXPECT_FALSE(run.executor->Prepare("I1"));
  for (const char* expected :
       {"Error: Instance type I1 must have one utility slot; it has 2", "-- Error: similarity function for A contains errors; see below",
        "-- Error: Slot B has no similarity function",
        "Error: Decision slot D_Choice_Real has no decision function for when recognition fails",
        "Error: Utility formula for when judgment fails may not be empty",
        "Error: Constraint formula contains errors; see below", "Error: Constraint selection function is empty.",
        "Error: Constraint selection slot is empty.", "Error: Goal parameter must not be empty",
        "Error: Parameter Params_LF_Value must be a number", "alpha = 1"})
    EXPECT_TRUE(owner.Logged(expected)) << expected << "\n" << owner.AllLines();
  EXPECT_FALSE(run.executor->Prepared());
  // Cues to an unprepared executor are reported, not run.
  run.executor->AcceptCue(Cue(1, 1));
  ASSERT_EQ(owner.errors.size(), 1u);
  EXPECT_EQ(owner.errors[0], "<Prepare> must be called first");

  RecordingOwner missing;
  ModelRun none(model.Db(), missing, false);
  EXPECT_FALSE(none.executor->Prepare("I9"));
  EXPECT_TRUE(missing.Logged("Error: Instance type I9 doesn't exist"));
}

TEST_F(ExecutorTest, HeuristicThenRecognitionWithTraceRowsPerMarker) {
  ModelRun run(model.Db(), owner);
  // Empty memory: heuristic judgment, U = 5 and D = 1, one decision.
  run.CueAndSettle(1, 2);
  ASSERT_EQ(owner.replies.size(), 1u);
  EXPECT_EQ(owner.replies[0],
            "DECISION|Choice|1|RETRIEVAL-TIME|" + FormatNumber(1000 * std::exp(1000.0)) + "|DECISION-ID|1");
  EXPECT_TRUE(owner.Logged("-- Retrieved nothing this round. Firing heuristics-based judgment."));
  EXPECT_EQ(Rows("Marker = 'SCAL'"), 1);
  EXPECT_EQ(Rows("Marker = 'HEUR'"), 1);
  EXPECT_EQ(Rows("Marker = 'EXEC' AND Executed = 1 AND SubjectID = 1 AND TrialNumber = 0"), 1);
  EXPECT_EQ(model.Count("SELECT COUNT(*) FROM I1 WHERE X_Subject = 1 AND X_Working_Memory = 0"), 1);
  EXPECT_EQ(run.executor->TrialNumber(), 1);

  // The executed instance is held from its execution on (no second SCAL),
  // scored (ACAL) and recognised.
  run.CueAndSettle(1, 2);
  ASSERT_EQ(owner.replies.size(), 2u);
  EXPECT_EQ(owner.replies[1].rfind("DECISION|Choice|1|RETRIEVAL-TIME|", 0), 0u);
  EXPECT_EQ(Rows("Marker = 'SCAL'"), 1);
  EXPECT_EQ(Rows("Marker = 'ACAL'"), 1);
  EXPECT_EQ(Rows("Marker = 'RETR-NORM'"), 1);
  EXPECT_EQ(Rows("Marker = 'RETR' AND TrialNumber = 1"), 1);
  EXPECT_FALSE(owner.Logged("SYNC-FROM-DB ID=1"));
  EXPECT_TRUE(owner.Logged("COPY-RETRIEVED-UTILITY"));
  // The recognised cue equals the stored instance, yet is executed as an
  // instance of its own (no feedback came to merge it), and the stored one
  // is left as it was.
  EXPECT_EQ(model.Count("SELECT COUNT(*) FROM I1 WHERE X_Subject = 1"), 2);
  EXPECT_EQ(Rows("Marker = 'EXEC' AND Instance = 2 AND TrialNumber = 1"), 1);
  // Later cycles load only new rows (both are held since their execution).
  run.CueAndSettle(1, 2);
  EXPECT_EQ(Rows("Marker = 'SCAL'"), 1);
  EXPECT_EQ(Rows("Marker = 'ACAL'"), 3);
}

TEST_F(ExecutorTest, StopRulesDecideWhichCuesGetAReply) {
  model.AddRow(1, 1, 7, 1);
  model.Set("Params_StopRule_Num", 3.0);
  ModelRun run(model.Db(), owner);
  for (int i = 1; i <= 7; ++i) run.CueAndSettle(1, 1);
  EXPECT_EQ(owner.replies.size(), 2u);  // after cues 3 and 6
  EXPECT_EQ(owner.replies[0].rfind("DECISION|Choice|7|", 0), 0u);
  EXPECT_TRUE(owner.Logged("Completed 3 cycle(s) in 150ms."));

  // Time-based: 50 ms per recognising cycle; at 120 ms the third cycle ends
  // the trial.
  model.Set("Params_StopRule", 0.0);
  model.Set("Params_StopRule_Value", 120.0);
  RecordingOwner timed;
  ModelRun clocked(model.Db(), timed);
  for (int i = 1; i <= 3; ++i) {
    clocked.CueAndSettle(1, 1);
    EXPECT_EQ(timed.replies.size(), i == 3 ? 1u : 0u) << "cue " << i;
  }
}

TEST_F(ExecutorTest, ChoiceThresholdOperators) {
  model.AddRow(1, 1, 3, 0);
  struct Case {
    const char* op;
    bool executes;
  };
  for (Case c : {Case{">=", true}, Case{">", false}, Case{"=", true}, Case{"<", false}, Case{"=>", false}}) {
    model.Set("Params_CT_Cmp", c.op);
    RecordingOwner o;
    ModelRun run(model.Db(), o);
    run.CueAndSettle(1, 1);
    EXPECT_EQ(o.replies.size(), c.executes ? 1u : 0u) << c.op;
    if (!c.executes) {
      EXPECT_TRUE(o.Logged("Not executing any instance because it does not meet choice threshold.")) << c.op;
    }
    // The working-memory commit runs either way, and nothing is left
    // uncommitted while the executor waits for the task.
    EXPECT_EQ(model.Count("SELECT COUNT(*) FROM I1 WHERE X_Working_Memory = 1"), 0);
    EXPECT_FALSE(model.Db().InTransaction()) << c.op;
  }
}

TEST_F(ExecutorTest, QueuedFeedbackIsAppliedBeforeTheNextQueuedCue) {
  model.AddRow(1, 1, 3, 1);
  ModelRun run(model.Db(), owner);
  run.executor->AcceptCue(Cue(1, 1));  // pauses: busy
  EXPECT_TRUE(run.executor->Busy());
  run.executor->AcceptCue(Cue(1, 1));
  run.executor->AcceptFeedback(Vars({{"O", Variant(std::int16_t{10})}}));
  run.executor->AcceptCue(Cue(1, 1));
  EXPECT_EQ(owner.replies.size(), 0u);
  run.scheduler.RunAll();
  EXPECT_EQ(owner.replies.size(), 3u);
  EXPECT_TRUE(run.executor->Idle());
  // Order of events in the log: cycle 1, feedback, cycle 2, cycle 3.
  std::vector<std::string> order;
  for (const auto& line : owner.lines) {
    if (line.text.rfind("Retrieval attempt #", 0) == 0) order.push_back("cue");
    if (line.text.rfind("Feedback #", 0) == 0) order.push_back("feedback");
  }
  EXPECT_EQ(order, (std::vector<std::string>{"cue", "feedback", "cue", "cue"}));
  EXPECT_EQ(run.executor->FeedbackCount(), 1);

  // Feedback arriving during the last cycle's pause is applied when it ends.
  run.executor->AcceptCue(Cue(1, 1));
  run.executor->AcceptFeedback(Vars({{"O", Variant(std::int16_t{1})}}));
  run.scheduler.RunAll();
  EXPECT_EQ(run.executor->FeedbackCount(), 2);
}

TEST_F(ExecutorTest, FeedbackRules) {
  model.AddRow(1, 1, 3, 0);
  model.Set("Params_Goal_Value", 20.0);
  // Set: outcome 10 with goal 20 gives utility 0.5.
  {
    RecordingOwner o;
    ModelRun run(model.Db(), o);
    run.CueAndSettle(1, 1);
    run.executor->AcceptFeedback(Vars({{"Anything", Variant(std::int16_t{10})}}));
    run.scheduler.RunAll();
    EXPECT_TRUE(o.Logged("UTILITY-SET VALUE=0.5"));
    EXPECT_EQ(model.Count("SELECT COUNT(*) FROM I1 WHERE X_Subject = 1 AND U_Util_Real = 0.5"), 1);
    EXPECT_EQ(model.Count("SELECT COUNT(*) FROM MetaInstance WHERE Marker = 'FEED' AND Feedback = 0.5"), 1);
    // Two values under single-value feedback: an ERROR reply, nothing changed,
    // and the executor goes on.
    run.executor->AcceptFeedback(Vars({{"A", Variant(std::int16_t{1})}, {"B", Variant(std::int16_t{2})}}));
    ASSERT_EQ(o.replies.back(),
              "ERROR|Model is expecting one feedback value, but received 2. If this is not the case, change the "
              "feedback type in the model.");
    run.CueAndSettle(1, 1);
    EXPECT_EQ(o.replies.back().rfind("DECISION|", 0), 0u);
  }
  // Increase: executed at model time 9000, rewarded at 10000: + 0.9 x goodness.
  model.Set("I1_UtilityUpdateType", 1.0);
  {
    RecordingOwner o;
    ModelRun run(model.Db(), o);
    auto& clock = static_cast<SimulatedClock&>(run.executor->GetClock());
    clock.Advance(9000 - 50 - run.executor->ModelTimeNow());
    run.CueAndSettle(1, 1);
    ASSERT_EQ(o.replies.size(), 1u);
    clock.Advance(1000);
    EXPECT_DOUBLE_EQ(run.executor->ModelTimeNow(), 10000);
    run.executor->AcceptFeedback(Vars({{"O", Variant(std::int16_t{10})}}));
    EXPECT_TRUE(o.Logged("UTILITY-INCREASE VALUE=0.45")) << o.AllLines();
    EXPECT_TRUE(o.Logged("-- Utility increase = 0.45"));
  }
  // Formula: U = Memory.Choice + O / G.
  model.Set("I1_UtilityUpdateType", 2.0);
  model.Set("I1_UtilityUpdateFormula", "U = Memory.Choice + O / G");
  {
    RecordingOwner o;
    ModelRun run(model.Db(), o);
    run.CueAndSettle(1, 1);
    run.executor->AcceptFeedback(Vars({{"O", Variant(std::int16_t{10})}}));
    EXPECT_TRUE(o.Logged("UTILITY-SET VALUE=3.5")) << o.AllLines();
  }
  // CreateInstance_Feedback: a new row per executed item takes the reward.
  model.Set("I1_UtilityUpdateType", 0.0);
  model.Set("CreateInstance_Feedback", 1.0);
  {
    RecordingOwner o;
    ModelRun run(model.Db(), o);
    std::int32_t subject = run.executor->SubjectID();
    run.CueAndSettle(1, 1);
    long before = model.Count("SELECT COUNT(*) FROM I1 WHERE X_Subject = " + std::to_string(subject));
    run.executor->AcceptFeedback(Vars({{"O", Variant(std::int16_t{30})}}));
    EXPECT_EQ(model.Count("SELECT COUNT(*) FROM I1 WHERE X_Subject = " + std::to_string(subject)), before + 1);
    EXPECT_TRUE(o.Logged("CREATE-INSTANCE-FEEDBACK"));
  }
}

TEST_F(ExecutorTest, TwoDecisionsBeforeOneFeedbackAreTwoPresentations) {
  // Best match over one prior: both trials retrieve it and decide the same.
  model.AddRow(1, 1, 3, 1);
  model.Set("Reinforce_Execution", 1.0);
  ModelRun run(model.Db(), owner);
  run.CueAndSettle(1, 1);
  run.CueAndSettle(1, 1);
  ASSERT_EQ(owner.replies.size(), 2u);
  // Two decisions, two instances, the prior untouched.
  EXPECT_EQ(model.Count("SELECT COUNT(*) FROM I1 WHERE X_Subject = 1"), 3);
  run.executor->AcceptFeedback(Vars({{"O", Variant(std::int16_t{2})}}));
  run.scheduler.RunAll();
  ASSERT_TRUE(owner.errors.empty()) << owner.errors.front();
  // Both got the outcome 2: equal experiences, merged into one instance that
  // keeps both executions as presentations; the prior keeps its utility 1.
  EXPECT_EQ(model.Count("SELECT COUNT(*) FROM I1 WHERE X_Subject = 1"), 2);
  EXPECT_EQ(model.Count("SELECT COUNT(*) FROM I1 WHERE X_Subject = 1 AND X_Prepopulated = 1 AND U_Util_Real = 1"), 1);
  // (ID 1 is the model's row, 2 the subject's copy of it.)
  EXPECT_EQ(model.Count("SELECT COUNT(*) FROM MetaMerge WHERE Instance = 4 AND MergedInto = 3"), 1);
  EXPECT_EQ(model.Count("SELECT COUNT(*) FROM I1 WHERE X_Working_Memory = 1"), 0);
  // Trial 2 at 2000: the merged instance holds the executions at 50 and 1050.
  run.CueAndSettle(1, 1);
  auto rs = model.Db().OpenRecordset(
      "SELECT BLL FROM MetaInstance WHERE Marker = 'ACAL' AND TrialNumber = 2 AND Instance = 3");
  ASSERT_FALSE(rs->IsEOF());
  EXPECT_NEAR(rs->Get(0).ToNumber(), std::log(std::pow(1950.0, -0.5) + std::pow(950.0, -0.5)), 1e-9);
}

TEST_F(ExecutorTest, RewardedCopiesMergeIntoTheirDuplicates) {
  model.AddRow(1, 1, 3, 0);
  model.Set("Merge_WithPrepopulated", 1.0);
  model.Set("CreateInstance_Feedback", 1.0);
  model.Set("Reinforce_Feedback", 1.0);
  ModelRun run(model.Db(), owner);
  run.CueAndSettle(1, 1);
  ASSERT_EQ(owner.replies.size(), 1u);
  // The decision is an instance of its own (ID 3), though it equals the
  // subject's prior (ID 2).
  EXPECT_EQ(Rows("Marker = 'EXEC' AND Instance = 3"), 1);
  // The reward goes to a new copy (ID 4) whose utility (0) equals the
  // prior's: the copy merges into the prior and its row is deleted again.
  run.executor->AcceptFeedback(Vars({{"O", Variant(std::int16_t{0})}}));
  EXPECT_TRUE(owner.Logged("CREATE-INSTANCE-FEEDBACK ID=4"));
  EXPECT_TRUE(owner.Logged("REINFORCE-FEEDBACK"));
  EXPECT_EQ(model.Count("SELECT COUNT(*) FROM I1 WHERE X_Subject = 1"), 2);
  EXPECT_EQ(Rows("Marker = 'FEED' AND Instance = 4"), 1);
  EXPECT_EQ(model.Count("SELECT COUNT(*) FROM I1 WHERE X_Working_Memory = 1"), 0);
  // Where the deleted row went is recorded (trials count from 0), so its
  // trace rows can be followed.
  EXPECT_EQ(model.Count("SELECT COUNT(*) FROM MetaMerge WHERE SubjectID = 1 AND InstanceType = 'I1' "
                        "AND TrialNumber = 0 AND Instance = 4 AND MergedInto = 2"),
            1);
  // A different reward keeps the copy as an instance of its own, beside the
  // second decision.
  run.CueAndSettle(1, 1);
  run.executor->AcceptFeedback(Vars({{"O", Variant(std::int16_t{4})}}));
  EXPECT_EQ(model.Count("SELECT COUNT(*) FROM I1 WHERE X_Subject = 1"), 4);
  EXPECT_EQ(model.Count("SELECT COUNT(*) FROM I1 WHERE X_Subject = 1 AND U_Util_Real = 4"), 1);
  EXPECT_EQ(model.Count("SELECT COUNT(*) FROM MetaMerge"), 1);
  EXPECT_TRUE(owner.errors.empty());
}

TEST_F(ExecutorTest, ReplacedExecutorNeverRepliesAgain) {
  model.AddRow(1, 1, 3, 1);
  ModelRun run(model.Db(), owner);
  run.executor->AcceptCue(Cue(1, 1));
  ASSERT_EQ(run.scheduler.Pending(), 1u);
  run.executor.reset();  // a new START replaces it mid-pause
  RecordingOwner next;
  ExecutorOptions options;
  options.clock = ClockKind::Simulated;
  ModelExecutor replacement(model.Db(), next, run.scheduler, options);
  ASSERT_TRUE(replacement.Prepare("I1"));
  std::size_t linesBefore = owner.lines.size();
  run.scheduler.RunAll();
  EXPECT_TRUE(owner.replies.empty());
  EXPECT_EQ(owner.lines.size(), linesBefore);
}

TEST_F(ExecutorTest, SameSeedAndMessagesGiveTheSameRun) {
  // Two copies of one model, run with the same seed and messages.
  auto trace = [&](ModelFile& file, RecordingOwner& o) {
    file.AddRow(1, 1, 3, 1);
    file.AddRow(2, 5, 4, 2);
    file.Set("Params_StopRule_Num", 2.0);
    ModelRun run(file.Db(), o);
    for (int i = 0; i < 6; ++i) {
      run.CueAndSettle(i % 3, 1 + i % 2);
      if (!o.replies.empty() && o.replies.back().rfind("DECISION", 0) == 0)
        run.executor->AcceptFeedback(Vars({{"O", Variant(static_cast<std::int16_t>(i))}}));
    }
    std::string text;
    auto rs = file.Db().OpenRecordset(
        "SELECT Marker, Instance, TrialNumber, Activation, Noise FROM MetaInstance WHERE SubjectID = " +
        std::to_string(run.executor->SubjectID()) + " ORDER BY rowid");
    for (; !rs->IsEOF(); rs->MoveNext())
      for (int c = 0; c < 5; ++c) text += rs->Get(c).ToText() + (c == 4 ? "\n" : " ");
    return text;
  };
  RecordingOwner first, second;
  ModelFile copy(dir.File("copy.mdb"));
  std::string a = trace(model, first);
  std::string b = trace(copy, second);
  EXPECT_FALSE(a.empty());
  EXPECT_EQ(a, b);
  EXPECT_EQ(first.replies, second.replies);
}

TEST_F(ExecutorTest, CountsAndValuesBeyondSixteenBits) {
  model.AddRow(40000, 1, 70000, 1);
  ModelRun run(model.Db(), owner);
  formula::VariableList cue = Vars({{"A", Variant(std::int32_t{40000})}, {"B", Variant(std::int16_t{1})}});
  run.executor->AcceptCue(cue);
  run.scheduler.RunAll();
  ASSERT_EQ(owner.replies.size(), 1u);
  EXPECT_EQ(owner.replies[0].rfind("DECISION|Choice|70000|", 0), 0u);
  run.executor->IncrementSubjectID(40000);
  EXPECT_EQ(run.executor->SubjectID(), 40001);
  run.CueAndSettle(40000, 1);
  EXPECT_EQ(Rows("SubjectID = 40001"), 5);  // SCAL, ACAL, RETR-NORM, RETR, EXEC
}

}  // namespace
}  // namespace korvane::engine::test
