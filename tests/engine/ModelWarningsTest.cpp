// ModelWarningsTest.cpp: the warnings about settings that run but not as
// meant, each on a model built to trigger it, and the "none" comparison that
// lets everything through.
#include <gtest/gtest.h>

#include "EngineFixture.h"
#include "engine/ModelWarnings.h"

namespace korvane::engine::test {
namespace {

class ModelWarningsTest : public ::testing::Test {
 protected:
  korvane::test::TempDir dir;
  ModelFile model{dir.File("model.mdb")};
  RecordingOwner owner;

  // The keys of the warnings that preparation logs (and keeps) for I1.
  std::vector<std::string> WarnedKeys() {
    std::vector<std::string> keys;
    for (const ModelWarning& w : ModelWarnings(model.Db(), "I1")) keys.push_back(w.key);
    return keys;
  }
  bool Warned(const std::string& key) {
    for (const std::string& k : WarnedKeys())
      if (k == key) return true;
    return false;
  }
};

TEST_F(ModelWarningsTest, EachTrapIsNamedByItsKeyAndPreparationStillSucceeds) {
  // The fixture (best match, feedback that sets the utility) has no trap:
  // feedback never rewrites a remembered instance.
  EXPECT_TRUE(WarnedKeys().empty());

  // A constraint without blending.
  model.Set("I1_ConstraintType", 1.0);
  EXPECT_TRUE(Warned("I1_ConstraintType"));
  model.Set("I1_RetrievalMethod", 1.0);
  EXPECT_FALSE(Warned("I1_ConstraintType"));
  model.Set("I1_ConstraintType", 0.0);

  // Blending over a text slot.
  EXPECT_FALSE(Warned("I1_RetrievalMethod"));
  model.Db().AppendField("I1", {"D_Label_String", store::FieldType::Text});
  store::SetDecisionFormula(&model.Db(), "I1", "D_Label_String", "D = 1");
  store::SetDecisionFormula(&model.Db(), "I1", "D_Label_String_FAILURE", "D = 1");
  ASSERT_TRUE(Warned("I1_RetrievalMethod"));
  for (const ModelWarning& w : ModelWarnings(model.Db(), "I1"))
    if (w.key == "I1_RetrievalMethod") {
      EXPECT_NE(w.text.find("D_Label_String"), std::string::npos) << w.text;
    }
  model.Set("I1_RetrievalMethod", 0.0);
  EXPECT_FALSE(Warned("I1_RetrievalMethod"));

  // The time-based stopping rule, a threshold without comparison, a goal of 0,
  // a misspelt key and a value out of range.
  model.Set("Params_StopRule", 0.0);
  model.Set("Params_U_Cmp", "");
  model.Set("Params_Goal_Value", 0.0);
  model.Set("Params_S_Valeu", 0.3);
  model.Set("I1_FeedbackType", 7.0);
  for (const char* key : {"Params_StopRule", "Params_U_Cmp", "Params_Goal_Value", "Params_S_Valeu", "I1_FeedbackType"})
    EXPECT_TRUE(Warned(key)) << key;
  model.Set("I1_FeedbackType", 0.0);  // preparation would refuse 7 itself

  ModelRun run(model.Db(), owner, false);
  EXPECT_TRUE(run.executor->Prepare("I1")) << owner.AllLines();
  EXPECT_EQ(run.executor->Warnings().size(), WarnedKeys().size());
  EXPECT_TRUE(owner.Logged("Warning: Params_U_Cmp (utility threshold) has no comparison, so no retrieval succeeds"));
  EXPECT_TRUE(owner.Logged("Warning: Params_StopRule is 0 (time-based)"));
  EXPECT_TRUE(owner.Logged("Warning: Unknown setting Params_S_Valeu. Did you mean Params_S_Value"));
  for (const auto& line : owner.lines)
    if (line.text.rfind("Warning: ", 0) == 0) {
      EXPECT_EQ(line.level, 2) << line.text;
    }
}

TEST_F(ModelWarningsTest, NoThresholdLetsEveryRetrievalAndChoiceThrough) {
  // Thresholds no activation or utility can pass...
  model.AddRow(1, 2, 3, -50);
  model.Set("Params_Delta_Value", 1000.0);
  model.Set("Params_CT_Value", 1000.0);
  {
    RecordingOwner blocked;
    ModelRun run(model.Db(), blocked);
    run.CueAndSettle(1, 2);
    EXPECT_TRUE(blocked.replies.empty());
    EXPECT_TRUE(blocked.Logged("Retrieved nothing this round"));
  }
  // ...are not in force with the comparison "none".
  model.Set("Params_Delta_Cmp", "none");
  model.Set("Params_U_Cmp", "none");
  model.Set("Params_CT_Cmp", "none");
  ModelRun run(model.Db(), owner);
  EXPECT_TRUE(owner.Logged("RT: none"));
  EXPECT_TRUE(owner.Logged("CT: none (no choice threshold: the model always acts)"));
  run.CueAndSettle(1, 2);
  EXPECT_FALSE(owner.Logged("Retrieved nothing this round"));
  ASSERT_EQ(owner.replies.size(), 1u);
  EXPECT_EQ(owner.replies[0].rfind("DECISION|Choice|3|", 0), 0u) << owner.replies[0];

  // A comparison left empty still lets nothing through, as before.
  model.Set("Params_CT_Cmp", "");
  RecordingOwner never;
  ModelRun silent(model.Db(), never);
  silent.CueAndSettle(1, 2);
  EXPECT_TRUE(never.replies.empty());
  EXPECT_TRUE(never.Logged("Warning: Params_CT_Cmp (choice threshold) has no comparison, so the model never acts"));
}

TEST_F(ModelWarningsTest, WithoutAChoiceThresholdTheGreaterUtilityBecomesTheCandidate) {
  // Two cycles per trial; the first cue recalls utility 2, the second 9:
  // the second wins whichever comes first.
  model.AddRow(1, 1, 1, 2);
  model.AddRow(5, 5, 2, 9);
  model.Set("Params_StopRule_Num", 2.0);
  model.Set("Params_CT_Cmp", "none");
  for (int order = 0; order < 2; ++order) {
    RecordingOwner each;
    ModelRun run(model.Db(), each);
    run.CueAndSettle(order ? 5 : 1, order ? 5 : 1);
    run.CueAndSettle(order ? 1 : 5, order ? 1 : 5);
    ASSERT_EQ(each.replies.size(), 1u) << each.AllLines();
    EXPECT_EQ(each.replies[0].rfind("DECISION|Choice|2|", 0), 0u) << each.replies[0];
  }
}

TEST(ThresholdInForceTest, SaysWhichThresholdHolds) {
  EXPECT_EQ(ThresholdInForce("RT", "none", "0"), "RT: none (no retrieval threshold: every activation passes)");
  EXPECT_EQ(ThresholdInForce("U", ">=", "-5"), "U: utility >= -5");
  EXPECT_EQ(ThresholdInForce("CT", "", "0"), "CT: no comparison chosen (the model never acts: no DECISION is ever sent)");
  EXPECT_EQ(ThresholdInForce("RT", "=>", "0").rfind("RT: no comparison chosen (no retrieval succeeds", 0), 0u);
}

}  // namespace
}  // namespace korvane::engine::test
