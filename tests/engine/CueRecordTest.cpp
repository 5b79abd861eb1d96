// CueRecordTest.cpp: the trial table of real runs (an executor on a model
// file, scripted cues and feedback), read back through the export's reader.
#include <gtest/gtest.h>

#include <cmath>

#include "EngineFixture.h"
#include "export/TrialTable.h"
#include "store/Schema.h"

namespace korvane::engine::test {
namespace {

using exporting::ReadTrialTable;
using exporting::TrialRow;
using exporting::TrialTable;

class CueRecordTest : public ::testing::Test {
 protected:
  korvane::test::TempDir dir;
  ModelFile model{dir.File("model.mdb")};
  RecordingOwner owner;

  TrialTable Table() { return ReadTrialTable(model.Db(), "I1"); }
  // The RETRIEVAL-TIME a DECISION reply reports.
  static double ReplyTime(const std::string& reply) {
    const std::size_t at = reply.find("|RETRIEVAL-TIME|") + 16;
    return std::stod(reply.substr(at, reply.find('|', at) - at));
  }
  static double Number(const Variant& value) { return value.ToNumber(); }
};

TEST_F(CueRecordTest, TwoRetrievedCuesPerTrialAndTheirFeedback) {
  model.AddRow(1, 1, 3, 1);
  model.AddRow(2, 2, 4, 9);
  model.Set("Params_StopRule_Num", 2.0);
  ModelRun run(model.Db(), owner);
  run.CueAndSettle(1, 1);
  run.CueAndSettle(2, 2);
  ASSERT_EQ(owner.replies.size(), 1u);
  ASSERT_EQ(owner.replies[0].rfind("DECISION|Choice|4|", 0), 0u) << owner.replies[0];
  run.executor->AcceptFeedback(Vars({{"O", Variant(std::int16_t{5})}}));
  run.scheduler.RunAll();

  TrialTable table = Table();
  EXPECT_EQ(table.situationSlots, (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(table.decisionSlots, (std::vector<std::string>{"Choice"}));
  EXPECT_EQ(table.Columns(),
            (std::vector<std::string>{"SubjectID", "TrialNumber", "CueNumber", "ModelTime", "A", "B", "Path",
                                      "Utility", "Activation", "RetrievalTime", "Executed", "Choice", "Feedback",
                                      "UtilityAfter", "Instance"}));
  ASSERT_EQ(table.rows.size(), 2u);
  const TrialRow& first = table.rows[0];
  const TrialRow& second = table.rows[1];
  EXPECT_EQ(first.subject, 1);
  EXPECT_EQ(first.trial, 1);
  EXPECT_EQ(first.cue, 1);
  EXPECT_EQ(second.trial, 1);
  EXPECT_EQ(second.cue, 2);
  EXPECT_EQ(Number(first.situation[0]), 1);
  EXPECT_EQ(Number(second.situation[1]), 2);
  EXPECT_EQ(first.path, "RETR");
  EXPECT_EQ(first.utility, 1);
  EXPECT_EQ(second.utility, 9);
  EXPECT_FALSE(first.executed);
  EXPECT_TRUE(second.executed);
  EXPECT_EQ(Number(first.decision[0]), 3);
  EXPECT_EQ(Number(second.decision[0]), 4);
  EXPECT_LT(first.modelTime, second.modelTime);
  // The retrieval time follows from the activation, and the executed cue's
  // is the one the reply reported.
  EXPECT_NEAR(second.retrievalTime, 1000 * std::exp(-second.activation), 1e-9);
  EXPECT_NEAR(second.retrievalTime, ReplyTime(owner.replies[0]), 1e-6 * second.retrievalTime);
  // Outcome and new utility only on the executed row (update rule: set).
  EXPECT_FALSE(first.feedback.has_value());
  EXPECT_EQ(second.feedback.value_or(-1), 5);
  EXPECT_EQ(second.utilityAfter.value_or(-1), 5);
  // Each cue made a new instance; only the executed one was stored, and it
  // holds the new utility.
  EXPECT_FALSE(first.instance.has_value());
  ASSERT_TRUE(second.instance.has_value());
  EXPECT_EQ(model.Count("SELECT U_Util_Real FROM I1 WHERE X_ID = " + std::to_string(*second.instance)), 5);
  EXPECT_EQ(model.Count("SELECT X_Subject FROM I1 WHERE X_ID = " + std::to_string(*second.instance)), 1);
}

TEST_F(CueRecordTest, HeuristicTrialsAndSubjectsCountTheirOwnTrials) {
  // Nothing in memory: the heuristic judges (U = 5, D = 1).
  ModelRun run(model.Db(), owner);
  run.CueAndSettle(1, 2);
  run.executor->AcceptFeedback(Vars({{"O", Variant(std::int16_t{2})}}));
  run.executor->IncrementSubjectID(1);
  run.CueAndSettle(3, 4);
  run.CueAndSettle(3, 4);
  ASSERT_EQ(owner.replies.size(), 3u);

  TrialTable table = Table();
  ASSERT_EQ(table.rows.size(), 3u);
  const TrialRow& heuristic = table.rows[0];
  EXPECT_EQ(heuristic.subject, 1);
  EXPECT_EQ(heuristic.trial, 1);
  EXPECT_EQ(heuristic.path, "HEUR");
  EXPECT_EQ(heuristic.utility, 5);
  EXPECT_EQ(heuristic.activation, -1000);  // the retrieval threshold stands in
  EXPECT_TRUE(heuristic.executed);
  EXPECT_EQ(Number(heuristic.decision[0]), 1);
  EXPECT_EQ(heuristic.feedback.value_or(-1), 2);
  EXPECT_EQ(heuristic.utilityAfter.value_or(-1), 2);
  EXPECT_TRUE(heuristic.instance.has_value());  // stored when executed
  // With the threshold at -1000 the heuristic's retrieval time is infinite,
  // as the reply says.
  EXPECT_TRUE(std::isinf(heuristic.retrievalTime));
  EXPECT_TRUE(std::isinf(ReplyTime(owner.replies[0])));
  EXPECT_NE(exporting::TrialTableCsv(table).find(",HEUR,5,-1000,inf,1,1,2,2,"), std::string::npos);
  // The second subject starts again at trial 1; its second trial recognises
  // what its first stored.
  EXPECT_EQ(table.rows[1].subject, 2);
  EXPECT_EQ(table.rows[1].trial, 1);
  EXPECT_EQ(table.rows[1].path, "HEUR");
  EXPECT_EQ(table.rows[2].trial, 2);
  EXPECT_EQ(table.rows[2].path, "RETR");
  EXPECT_FALSE(table.rows[1].feedback.has_value());  // no feedback came
}

TEST_F(CueRecordTest, BlendedCuesWithSeveralDecisionSlotsAndUnstoredCueInstances) {
  model.Db().AppendField("I1", {"D_Side_Real", store::FieldType::Double});
  store::SetDecisionFormula(&model.Db(), "I1", "D_Side_Real", "D = Memory.Choice * 10");
  store::SetDecisionFormula(&model.Db(), "I1", "D_Side_Real_FAILURE", "D = 0");
  model.Set("I1_RetrievalMethod", 1.0);
  model.Set("I1_ConstraintType", 0.0);
  model.Set("Params_StopRule_Num", 2.0);
  model.Set("Params_CT_Cmp", ">=");
  model.AddRow(1, 1, 3, 2);
  model.AddRow(1, 1, 5, 4);
  ModelRun run(model.Db(), owner);
  ASSERT_TRUE(run.executor->Prepared()) << owner.AllLines();
  run.CueAndSettle(1, 1);
  run.CueAndSettle(1, 1);
  ASSERT_EQ(owner.replies.size(), 1u) << owner.AllLines();

  TrialTable table = Table();
  EXPECT_EQ(table.decisionSlots, (std::vector<std::string>{"Choice", "Side"}));
  ASSERT_EQ(table.rows.size(), 2u);
  for (const TrialRow& row : table.rows) {
    EXPECT_EQ(row.path, "RETR");
    // The blend of utilities 2 and 4, and of choices 3 and 5.
    EXPECT_GT(row.utility, 2);
    EXPECT_LT(row.utility, 4);
    EXPECT_GT(Number(row.decision[0]), 3);
    EXPECT_LT(Number(row.decision[0]), 5);
    EXPECT_DOUBLE_EQ(Number(row.decision[1]), 10 * Number(row.decision[0]));
  }
  // Exactly one cue was executed: the one whose blend was worth more (the
  // first on a tie); the other blended instance was never stored.
  const int executed = table.rows[0].executed ? 0 : 1;
  EXPECT_TRUE(table.rows[executed].executed);
  EXPECT_FALSE(table.rows[1 - executed].executed);
  EXPECT_GE(table.rows[executed].utility, table.rows[1 - executed].utility);
  EXPECT_TRUE(table.rows[executed].instance.has_value());
  EXPECT_FALSE(table.rows[1 - executed].instance.has_value());
  // The reply names both decisions of the executed cue.
  const double side = Number(table.rows[executed].decision[1]);
  const std::size_t at = owner.replies[0].find("|Side|");
  ASSERT_NE(at, std::string::npos) << owner.replies[0];
  EXPECT_NEAR(std::stod(owner.replies[0].substr(at + 6)), side, 1e-9 * side);
  std::string csv = exporting::TrialTableCsv(table);
  EXPECT_EQ(csv.rfind("SubjectID,TrialNumber,CueNumber,ModelTime,A,B,Path,Utility,Activation,RetrievalTime,"
                      "Executed,Choice,Side,Feedback,UtilityAfter,Instance\r\n",
                      0),
            0u)
      << csv;
}

TEST_F(CueRecordTest, OneFeedbackForSeveralTrialsReachesEachExecutedCue) {
  model.AddRow(1, 1, 3, 1);
  model.AddRow(5, 5, 4, 2);
  ModelRun run(model.Db(), owner);
  run.CueAndSettle(1, 1);  // trial 1: instance (1,1)
  run.CueAndSettle(5, 5);  // trial 2: instance (5,5)
  run.CueAndSettle(1, 1);  // trial 3: (1,1) again
  ASSERT_EQ(owner.replies.size(), 3u);
  run.executor->AcceptFeedback(Vars({{"O", Variant(std::int16_t{7})}}));
  run.scheduler.RunAll();
  // Each decision is an instance of its own, and each trial shows the
  // outcome and the new utility.
  run.CueAndSettle(5, 5);  // trial 4, after the feedback: none yet
  TrialTable table = Table();
  ASSERT_EQ(table.rows.size(), 4u);
  for (int t = 0; t < 3; ++t) {
    EXPECT_EQ(table.rows[t].trial, t + 1);
    EXPECT_TRUE(table.rows[t].executed);
    EXPECT_EQ(table.rows[t].feedback.value_or(-1), 7) << t;
    EXPECT_EQ(table.rows[t].utilityAfter.value_or(-1), 7) << t;
  }
  EXPECT_EQ(Number(table.rows[1].decision[0]), 4);
  EXPECT_FALSE(table.rows[3].feedback.has_value());
}

TEST_F(CueRecordTest, MergedCopiesKeepTheExecutedCuesOutcome) {
  model.AddRow(1, 1, 3, 0);
  model.Set("Merge_WithPrepopulated", 1.0);
  model.Set("CreateInstance_Feedback", 1.0);
  ModelRun run(model.Db(), owner);
  run.CueAndSettle(1, 1);
  run.executor->AcceptFeedback(Vars({{"O", Variant(std::int16_t{0})}}));
  run.scheduler.RunAll();
  ASSERT_EQ(model.Count("SELECT COUNT(*) FROM MetaMerge"), 1);  // the rewarded copy merged away
  run.CueAndSettle(1, 1);
  run.executor->AcceptFeedback(Vars({{"O", Variant(std::int16_t{4})}}));
  run.scheduler.RunAll();

  TrialTable table = Table();
  ASSERT_EQ(table.rows.size(), 2u);
  // The executed cue is the instance its decision made, whichever copy took
  // the reward.
  EXPECT_EQ(table.rows[0].instance.value_or(-1), 3);
  EXPECT_EQ(table.rows[0].feedback.value_or(-1), 0);
  EXPECT_EQ(table.rows[0].utilityAfter.value_or(-1), 0);
  EXPECT_EQ(table.rows[1].feedback.value_or(-1), 4);
  EXPECT_EQ(table.rows[1].utilityAfter.value_or(-1), 4);
}

TEST_F(CueRecordTest, NoRecordAtTraceLevelNoneAndRolledBackTrialsLeaveNone) {
  model.Set("Params_TraceLevel", 2.0);
  {
    ModelRun run(model.Db(), owner);
    run.CueAndSettle(1, 1);
    ASSERT_EQ(owner.replies.size(), 1u);
  }
  EXPECT_FALSE(model.Db().FindTableDef(store::kMetaCueTable).has_value());
  EXPECT_THROW(Table(), Error);

  // A trial whose step fails is rolled back with its cues.
  model.Set("Params_TraceLevel", 1.0);
  store::SetJudgmentFormula(&model.Db(), "I1", false, "U = 1 / 0");
  RecordingOwner failing;
  ModelRun run(model.Db(), failing);
  run.CueAndSettle(1, 1);
  ASSERT_EQ(failing.errors.size(), 1u);
  EXPECT_EQ(model.Count("SELECT COUNT(*) FROM MetaCue"), 0);
}

}  // namespace
}  // namespace korvane::engine::test
