// FidelityTest.cpp: simulated subjects behave as the theory says: each draws
// noise of its own, model time passes between trials, presentations are never
// lost, and formula results that are not numbers stop the run.
#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "EngineFixture.h"

namespace korvane::engine::test {
namespace {

class FidelityTest : public ::testing::Test {
 protected:
  korvane::test::TempDir dir;
  ModelFile model{dir.File("model.mdb")};
  RecordingOwner owner;

  // Every trace column but the wall-clock stamp, row by row, for a subject.
  static std::string Trace(ModelFile& file, int subject) {
    std::string text;
    auto rs = file.Db().OpenRecordset(
        "SELECT InstanceType, TrialNumber, Instance, Marker, Activation, Similarity, BLL, Noise, Selected, "
        "Executed, Feedback FROM MetaInstance WHERE SubjectID = " +
        std::to_string(subject) + " ORDER BY rowid");
    for (; !rs->IsEOF(); rs->MoveNext())
      for (int c = 0; c < 11; ++c) text += rs->Get(c).ToText() + (c == 10 ? "\n" : "|");
    return text;
  }
  double BLL(int subject, int trial, int instance) {
    auto rs = model.Db().OpenRecordset("SELECT BLL FROM MetaInstance WHERE Marker = 'ACAL' AND SubjectID = " +
                                       std::to_string(subject) + " AND TrialNumber = " + std::to_string(trial) +
                                       " AND Instance = " + std::to_string(instance) + " ORDER BY rowid");
    return rs->IsEOF() ? NAN : rs->Get(0).ToNumber();
  }
};

// Two subjects of one run, fed the same cues and outcomes.
void PlaySubject(ModelRun& run, RecordingOwner& owner) {
  for (int trial = 0; trial < 4; ++trial) {
    run.CueAndSettle(1, 1);
    if (!owner.replies.empty()) run.executor->AcceptFeedback(Vars({{"O", Variant(std::int16_t{3})}}));
    run.scheduler.RunAll();
  }
}

TEST_F(FidelityTest, EachSubjectDrawsItsOwnNoiseAndOneSeedReplaysTheRun) {
  model.AddRow(1, 1, 1, 2);
  model.AddRow(1, 2, 2, 4);
  ModelRun run(model.Db(), owner);
  PlaySubject(run, owner);
  run.executor->IncrementSubjectID(1);
  PlaySubject(run, owner);
  ASSERT_TRUE(owner.errors.empty()) << owner.errors.front();
  EXPECT_TRUE(owner.Logged("Subject 2 draws from stream"));

  // Subjects 1 and 2 saw the same things but drew different noise.
  std::set<double> noise1, noise2;
  for (int subject : {1, 2}) {
    auto rs = model.Db().OpenRecordset("SELECT Noise FROM MetaInstance WHERE Marker = 'ACAL' AND SubjectID = " +
                                       std::to_string(subject));
    for (; !rs->IsEOF(); rs->MoveNext()) (subject == 1 ? noise1 : noise2).insert(rs->Get(0).ToNumber());
  }
  ASSERT_FALSE(noise1.empty());
  ASSERT_FALSE(noise2.empty());
  EXPECT_NE(noise1, noise2);

  // The same seed on another copy of the model replays both subjects exactly.
  ModelFile copy(dir.File("copy.mdb"));
  copy.AddRow(1, 1, 1, 2);
  copy.AddRow(1, 2, 2, 4);
  RecordingOwner again;
  ModelRun replay(copy.Db(), again);
  PlaySubject(replay, again);
  replay.executor->IncrementSubjectID(1);
  PlaySubject(replay, again);
  EXPECT_EQ(Trace(model, 1), Trace(copy, 1));
  EXPECT_EQ(Trace(model, 2), Trace(copy, 2));
  EXPECT_NE(Trace(model, 1), Trace(model, 2));
  EXPECT_EQ(owner.replies, again.replies);
}

TEST_F(FidelityTest, TrialTimeSpacesTrialsAndNoCyclePauseJudgesAlternativesTogether) {
  model.Set("Params_CyclePause", 0.0);
  model.Set("Params_TrialTime", 1000.0);
  model.Set("Params_StopRule_Num", 2.0);
  model.Set("Reinforce_Feedback", 1.0);
  model.AddRow(1, 0, 1, 5);
  model.AddRow(2, 0, 2, 5);
  ModelRun run(model.Db(), owner);
  ASSERT_TRUE(owner.Logged("Cycle pause = 0ms, trial time = 1000ms"));
  for (int trial = 0; trial < 3; ++trial) {
    run.executor->AcceptCue(Cue(1, 0));
    run.executor->AcceptCue(Cue(2, 0));
    run.scheduler.RunAll();
    // Every trial is judged at its own moment, T after the previous one.
    EXPECT_DOUBLE_EQ(run.executor->ModelTimeNow(), 1000.0 * trial);
    ASSERT_EQ(owner.replies.size(), static_cast<std::size_t>(trial + 1)) << owner.AllLines();
    run.executor->AcceptFeedback(Vars({{"O", Variant(std::int16_t{7})}}));
    run.scheduler.RunAll();
  }
  ASSERT_TRUE(owner.errors.empty()) << owner.errors.front();
  // Both alternatives of trial 2 see every instance at the same moment, and
  // the outcome rewarded at the end of trial 1 has aged exactly one trial.
  auto rs = model.Db().OpenRecordset(
      "SELECT Instance, COUNT(DISTINCT BLL), MIN(BLL) FROM MetaInstance WHERE Marker = 'ACAL' AND SubjectID = 1 "
      "AND TrialNumber = 2 GROUP BY Instance");
  int instances = 0;
  bool sawNewest = false;
  for (; !rs->IsEOF(); rs->MoveNext()) {
    ++instances;
    EXPECT_EQ(rs->Get(1).ToNumber(), 1) << "instance " << rs->Get(0).ToText();
    // The outcome 7 of trials 0 and 1 (one instance after merging): ages
    // 2000 and 1000.
    if (std::abs(rs->Get(2).ToNumber() - std::log(std::pow(2000.0, -0.5) + std::pow(1000.0, -0.5))) < 1e-9)
      sawNewest = true;
  }
  EXPECT_GE(instances, 2);
  EXPECT_TRUE(sawNewest);

  // A negative or non-numeric duration is refused when the run is prepared.
  model.Set("Params_TrialTime", -5.0);
  model.Set("Params_CyclePause", "soon");
  RecordingOwner refused;
  ModelRun bad(model.Db(), refused, false);
  EXPECT_FALSE(bad.executor->Prepare("I1"));
  EXPECT_TRUE(refused.Logged("Params_TrialTime must be 0 or more milliseconds"));
  EXPECT_TRUE(refused.Logged("Params_CyclePause must be a number of milliseconds; it is 'soon'"));

  // With the real clock a pause is waited out: one longer than a day would
  // stall the run with no ERROR. The simulated clock takes it.
  model.Set("Params_TrialTime", 1000.0);
  model.Set("Params_CyclePause", 2147483648.0);
  for (ClockKind clock : {ClockKind::Real, ClockKind::Simulated}) {
    RecordingOwner owner;
    QueueScheduler scheduler;
    ExecutorOptions options;
    options.clock = clock;
    ModelExecutor executor(model.Db(), owner, scheduler, options);
    EXPECT_EQ(executor.Prepare("I1"), clock == ClockKind::Simulated);
    EXPECT_EQ(owner.Logged("Params_CyclePause is 2147483648 milliseconds; with the real clock"),
              clock == ClockKind::Real);
  }
}

TEST_F(FidelityTest, ExecutedInstancesKeepEveryTimeTheyWereGiven) {
  // Executions and feedback both add a presentation; cycles take 50 ms, trials
  // start 1000 ms apart.
  model.Set("Reinforce_Execution", 1.0);
  model.Set("Reinforce_Feedback", 1.0);
  ModelRun run(model.Db(), owner);
  // Trial 0, empty memory: heuristic (two pauses), executed at 100 as ID 1.
  run.CueAndSettle(1, 1);
  ASSERT_EQ(owner.replies.size(), 1u);
  // Trial 1 starts at 1000 before trial 0's feedback: a cue between a
  // DECISION and its FEEDBACK. It recognises instance 1 (one pause); its new
  // instance is executed at 1050 as ID 2.
  run.CueAndSettle(2, 2);
  ASSERT_EQ(owner.replies.size(), 2u);
  EXPECT_DOUBLE_EQ(run.executor->ModelTimeNow(), 1050);
  // One FEEDBACK for both trials, at 1050.
  run.executor->AcceptFeedback(Vars({{"O", Variant(std::int16_t{3})}}));
  run.scheduler.RunAll();
  // Trial 2 at 2000: instance 1 holds its execution (100) and its feedback
  // (1050); instance 2 its execution and its feedback (both 1050).
  run.CueAndSettle(1, 1);
  ASSERT_TRUE(owner.errors.empty()) << owner.errors.front();
  EXPECT_NEAR(BLL(1, 2, 1), std::log(std::pow(1900.0, -0.5) + std::pow(950.0, -0.5)), 1e-9);
  EXPECT_NEAR(BLL(1, 2, 2), std::log(2 * std::pow(950.0, -0.5)), 1e-9);
  // Nothing was loaded again as a fresh copy.
  EXPECT_EQ(model.Count("SELECT COUNT(*) FROM MetaInstance WHERE Marker = 'SCAL' AND Instance IN (1, 2)"), 0);
}

TEST_F(FidelityTest, TextWhereANumberIsNeededStopsTheRunAndStringSlotsKeepText) {
  // A decision formula that gives a word for a number slot.
  store::SetDecisionFormula(&model.Db(), "I1", "D_Choice_Real_FAILURE", "D = \"left\"");
  {
    ModelRun run(model.Db(), owner);
    run.CueAndSettle(1, 1);
    EXPECT_TRUE(owner.replies.empty());
    ASSERT_EQ(owner.errors.size(), 1u);
    EXPECT_EQ(owner.errors[0], "Type mismatch: the decision formula of D_Choice_Real gave 'left', which is not a number");
    EXPECT_EQ(model.Count("SELECT COUNT(*) FROM I1 WHERE X_Subject = 1"), 0);
  }
  // A number written as text is still a number; a String slot keeps its text.
  store::SetDecisionFormula(&model.Db(), "I1", "D_Choice_Real_FAILURE", "D = \"2\"");
  model.Db().AppendField("I1", {"D_Side_String", store::FieldType::Text});
  store::SetDecisionFormula(&model.Db(), "I1", "D_Side_String", "D = Memory.Side");
  store::SetDecisionFormula(&model.Db(), "I1", "D_Side_String_FAILURE", "D = \"left\"");
  RecordingOwner second;
  {
    ModelRun run(model.Db(), second);
    run.CueAndSettle(1, 1);
    ASSERT_TRUE(second.errors.empty()) << second.errors.front();
    ASSERT_EQ(second.replies.size(), 1u);
    EXPECT_EQ(second.replies[0].rfind("DECISION|Choice|2|Side|left|RETRIEVAL-TIME|", 0), 0u) << second.replies[0];
  }
  // Similarity and utility-update results are held to the same rule.
  model.SetFormula("A", "PM = \"near\"");
  RecordingOwner third;
  {
    ModelRun run(model.Db(), third);
    run.CueAndSettle(1, 1);
    ASSERT_EQ(third.errors.size(), 1u);
    EXPECT_EQ(third.errors[0], "Type mismatch: the similarity formula of A gave 'near', which is not a number");
  }
  model.SetFormula("A", "PM = 0");
  model.Set("I1_UtilityUpdateType", 2.0);
  model.Set("I1_UtilityUpdateFormula", "U = \"more\"");
  RecordingOwner fourth;
  ModelRun run(model.Db(), fourth);
  run.CueAndSettle(1, 1);
  ASSERT_EQ(fourth.replies.size(), 1u);
  run.executor->AcceptFeedback(Vars({{"O", Variant(std::int16_t{3})}}));
  ASSERT_EQ(fourth.errors.size(), 1u);
  EXPECT_EQ(fourth.errors[0], "Type mismatch: the utility update formula gave 'more', which is not a number");
}

}  // namespace
}  // namespace korvane::engine::test
