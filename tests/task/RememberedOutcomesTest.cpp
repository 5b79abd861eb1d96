// RememberedOutcomesTest.cpp: served runs of the binary-choice model, each
// checked row by row against the timeline a trial-based instance-based model
// has: an outcome once remembered is never rewritten, every decision is a
// presentation, priors are presented before the first trial, any noise runs,
// the trial table carries the blend's activation, and a message for another
// instance type changes nothing.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "TaskTestSupport.h"

using korvane::test::LineClient;
using korvane::test::Sql;

namespace {

using nlohmann::json;

class RememberedOutcomesTest : public korvane::test::ServedRunTest {
 protected:
  // One cue per trial unless settings say otherwise.
  void ServeWith(const std::vector<std::pair<int, double>>& priors, json settings) {
    if (!settings.contains("Params_StopRule_Num")) settings["Params_StopRule_Num"] = 1;
    ServeChoice(priors, settings);
  }
  // One trial of single alternatives (Params_StopRule_Num 1): its DECISION.
  std::string Choose(int option) { return task->Ask("ALTERNATIVE|I1|Option|" + std::to_string(option)); }
  // The ID of subject 1's instance of an option holding a value.
  std::string Instance(int option, double value, bool prior) {
    return Sql(experiment, "SELECT X_ID FROM I1 WHERE X_Subject = 1 AND S_Option_Integer = " + std::to_string(option) +
                               " AND U_Value_Real = " + std::to_string(value) +
                               " AND X_Prepopulated = " + (prior ? "1" : "0"));
  }
  double BLL(int trial, const std::string& instance) {
    return Number("SELECT BLL FROM MetaInstance WHERE Marker = 'ACAL' AND SubjectID = 1 AND TrialNumber = " +
                  std::to_string(trial) + " AND Instance = " + instance);
  }
  // What the trial table says of a cue (trials and cues count from 1).
  double Cue(const char* column, int trial, int cue = 1) {
    return Number(std::string("SELECT ") + column + " FROM MetaCue WHERE SubjectID = 1 AND TrialNumber = " +
                  std::to_string(trial) + " AND CueNumber = " + std::to_string(cue));
  }
};

TEST_F(RememberedOutcomesTest, ABlendEqualToAPriorNeverOverwritesIt) {
  // Option 1's first blend is its prior's 10 exactly; the outcome 0 that
  // follows is a memory of its own, and the prior stays.
  ServeWith({{1, 10}, {2, 5}}, {{"Merge_WithPrepopulated", 1}, {"Params_StopRule_Num", 2}});
  task->Send("ALTERNATIVE|I1|Option|1");
  EXPECT_EQ(task->Ask("ALTERNATIVE|I1|Option|2").rfind("DECISION|Choice|1|RETRIEVAL-TIME|", 0), 0u);
  task->Send("FEEDBACK|I1|0");
  task->Send("ALTERNATIVE|I1|Option|1");
  EXPECT_EQ(task->Ask("ALTERNATIVE|I1|Option|2").rfind("DECISION|", 0), 0u);
  Finish();
  EXPECT_EQ(Cue("Utility", 1), 10);
  const double blend = Cue("Utility", 2);
  EXPECT_GT(blend, 0);
  EXPECT_LT(blend, 10);
  EXPECT_FALSE(Instance(1, 10, true).empty());
  EXPECT_FALSE(Instance(1, 0, false).empty());
  // The decision was an instance of its own, not the prior.
  EXPECT_EQ(Sql(experiment, "SELECT COUNT(*) FROM MetaInstance WHERE Marker = 'EXEC' AND Instance = " +
                                Instance(1, 10, true)),
            "0");
}

TEST_F(RememberedOutcomesTest, ARewardedDecisionNeitherTakesNorLendsPresentations) {
  // Priors one trial before the first cue, trials 1000 ms apart, outcomes
  // presented when they arrive: prior at -1000, outcome 0 at 0, outcome 5 at
  // 1000, the third trial at 2000.
  ServeWith({{1, 0}}, json::object());
  for (int outcome : {0, 5}) {
    EXPECT_EQ(Choose(1).rfind("DECISION|Choice|1|", 0), 0u);
    task->Send("FEEDBACK|I1|" + std::to_string(outcome));
  }
  EXPECT_EQ(Choose(1).rfind("DECISION|Choice|1|", 0), 0u);
  Finish();
  const std::string prior = Instance(1, 0, true), zero = Instance(1, 0, false), five = Instance(1, 5, false);
  ASSERT_FALSE(prior.empty());
  ASSERT_FALSE(zero.empty());
  ASSERT_FALSE(five.empty());
  EXPECT_NEAR(BLL(2, prior), std::log(Age(3000)), 1e-12);
  EXPECT_NEAR(BLL(2, zero), std::log(Age(2000)), 1e-12);
  EXPECT_NEAR(BLL(2, five), std::log(Age(1000)), 1e-12);  // -3.454
  const double blend = Cue("Utility", 3);
  EXPECT_GT(blend, 0);
  EXPECT_LT(blend, 5);
}

TEST_F(RememberedOutcomesTest, TwoDecisionsBeforeTheirFeedbackAreTwoPresentations) {
  ServeWith({{1, 10}}, json::object());
  EXPECT_EQ(Choose(1).rfind("DECISION|", 0), 0u);
  EXPECT_EQ(Choose(1).rfind("DECISION|", 0), 0u);
  // One outcome for both, at 1000: one experience, presented twice.
  task->Send("FEEDBACK|I1|3");
  EXPECT_EQ(Choose(1).rfind("DECISION|", 0), 0u);
  Finish();
  // The prior, the outcome 3, and the third decision (no feedback yet).
  EXPECT_EQ(Sql(experiment, "SELECT COUNT(*) FROM I1 WHERE X_Subject = 1"), "3");
  const std::string three = Instance(1, 3, false);
  ASSERT_FALSE(three.empty());
  EXPECT_NEAR(BLL(2, three), std::log(2 * Age(1000)), 1e-12);
  EXPECT_FALSE(Instance(1, 10, true).empty());
}

TEST_F(RememberedOutcomesTest, APriorEqualToAnOutcomeIsReinforcedOnlyWhenMergingIsOn) {
  for (int merge : {1, 0}) {
    ServeWith({{1, 10}}, {{"Merge_WithPrepopulated", merge}});
    EXPECT_EQ(Choose(1).rfind("DECISION|", 0), 0u);
    task->Send("FEEDBACK|I1|10");
    EXPECT_EQ(Choose(1).rfind("DECISION|", 0), 0u);
    Finish();
    const std::string prior = Instance(1, 10, true);
    ASSERT_FALSE(prior.empty());
    // Besides the prior: the second decision, and without merging the
    // outcome of the first.
    if (merge) {
      // The outcome (at 0) became a presentation of the prior (at -1000).
      EXPECT_EQ(Sql(experiment, "SELECT COUNT(*) FROM I1 WHERE X_Subject = 1"), "2");
      EXPECT_NEAR(BLL(1, prior), std::log(Age(2000) + Age(1000)), 1e-12);
    } else {
      EXPECT_EQ(Sql(experiment, "SELECT COUNT(*) FROM I1 WHERE X_Subject = 1"), "3");
      EXPECT_NEAR(BLL(1, prior), std::log(Age(2000)), 1e-12);
    }
  }
}

TEST_F(RememberedOutcomesTest, PriorsArePresentedPriorTimeBeforeTheFirstCue) {
  // The example presents them one trial before; a model without the key at
  // the first cue, where they add nothing yet.
  for (bool withKey : {true, false}) {
    ServeWith({{1, 10}, {2, 10}}, withKey ? json::object() : json{{"Params_PriorTime", nullptr}});
    task->Send("ALTERNATIVE|I1|Option|1");
    EXPECT_EQ(task->Ask("ALTERNATIVE|I1|Option|2").rfind("DECISION|", 0), 0u);
    Finish();
    for (int option : {1, 2})
      EXPECT_NEAR(BLL(0, Instance(option, 10, true)), withKey ? std::log(Age(1000)) : -100, 1e-12);
  }
}

TEST_F(RememberedOutcomesTest, TheTrialTableCarriesTheBlendsActivation) {
  ServeWith({{1, 10}, {2, 5}}, {{"Params_StopRule_Num", 2}});
  for (int trial = 0; trial < 3; ++trial) {
    task->Send("ALTERNATIVE|I1|Option|1");
    EXPECT_EQ(task->Ask("ALTERNATIVE|I1|Option|2").rfind("DECISION|", 0), 0u);
    task->Send("FEEDBACK|I1|3");
  }
  Finish();
  for (int trial = 1; trial <= 3; ++trial)
    for (int cue = 1; cue <= 2; ++cue) {
      // The cue's blend is the trace's RETR-BLEN row of the same retrieval.
      const double activation = Cue("Activation", trial, cue);
      const double traced = Number("SELECT Activation FROM MetaInstance WHERE Marker = 'RETR-BLEN' AND SubjectID = 1 "
                                   "AND TrialNumber = " + std::to_string(trial - 1) + " ORDER BY rowid LIMIT 1 OFFSET " +
                                   std::to_string(cue - 1));
      EXPECT_NE(activation, 0);
      EXPECT_NEAR(activation, traced, 1e-12 * std::abs(traced));
      EXPECT_NEAR(Cue("RetrievalTime", trial, cue), 1000 * std::exp(-activation), 1e-9 * 1000 * std::exp(-activation));
    }
}

TEST_F(RememberedOutcomesTest, AnyNoiseRuns) {
  // Without noise, best-match retrieval needs no temperature at all.
  ServeWith({{1, 10}}, {{"Params_S_Value", 0}, {"I1_RetrievalMethod", 0}, {"I1_ConstraintType", 0}});
  for (int trial = 0; trial < 3; ++trial) {
    EXPECT_EQ(Choose(1).rfind("DECISION|Choice|1|", 0), 0u);
    task->Send("FEEDBACK|I1|3");
  }
  Finish();
  EXPECT_EQ(Sql(experiment, "SELECT COUNT(*) FROM MetaInstance WHERE Noise <> 0"), "0");

  // Little noise: e^(A/T) of every instance is 0 in double precision, the
  // probabilities are not.
  ServeWith({{1, 10}, {2, 5}}, {{"Params_S_Value", 0.05}, {"Params_StopRule_Num", 2}});
  for (int trial = 0; trial < 5; ++trial) {
    task->Send("ALTERNATIVE|I1|Option|1");
    EXPECT_EQ(task->Ask("ALTERNATIVE|I1|Option|2").rfind("DECISION|", 0), 0u) << "trial " << trial;
    task->Send("FEEDBACK|I1|3");
  }
  Finish();

  // No noise, temperature 1: the noise-free blend. Prior 10 two trials ago,
  // outcome 0 one trial ago: 10 (2000^-0.5) / (2000^-0.5 + 1000^-0.5).
  ServeWith({{1, 10}}, {{"Params_S_Value", 0}, {"Params_Temperature", 1}});
  EXPECT_EQ(Choose(1).rfind("DECISION|", 0), 0u);
  task->Send("FEEDBACK|I1|0");
  EXPECT_EQ(Choose(1).rfind("DECISION|", 0), 0u);
  Finish();
  EXPECT_NEAR(Cue("Utility", 2), 10 / (1 + std::sqrt(2.0)), 1e-12);  // 4.1421

  // Blending with neither noise nor temperature cannot run: refused at
  // START, not at the first cue.
  Serve([](json& m) { m["settings"]["Params_S_Value"] = 0; });
  LineClient refused(server->Port(), true);
  refused.Send("START|I1");
  EXPECT_EQ(refused.Line(), "ERROR|Instance type I1 cannot be executed. Please try again later.");
}

TEST_F(RememberedOutcomesTest, MessagesForAnotherTypeChangeNothing) {
  Serve([](json& m) {
    json second = m["instance_types"][0];
    second["name"] = "I2";
    m["instance_types"].push_back(second);
    json copies = json::object();
    for (auto& [key, value] : m["settings"].items())
      if (key.rfind("I1_", 0) == 0) copies["I2_" + key.substr(3)] = value;
    m["settings"].update(copies);
  });
  task = Started();
  task->Send("ALTERNATIVE|I1|Option|1");
  EXPECT_EQ(task->Ask("ALTERNATIVE|I1|Option|2").rfind("DECISION|", 0), 0u);
  task->Send("FEEDBACK|I1|3");
  // START of the other type starts its first subject.
  task->Send("START|I2");
  EXPECT_EQ(task->Line(), "HELO|Korvane binary choice, simulation 2");
  EXPECT_EQ(task->Line(), "CUESIZE|I2|1");
  const std::string refusal = "ERROR|Instance type I1 is not the one being run (I2); send START|I1 to run it";
  EXPECT_EQ(task->Ask("ALTERNATIVE|I1|Option|1"), refusal);
  EXPECT_EQ(task->Ask("FEEDBACK|I1|3"), refusal);
  EXPECT_EQ(task->Ask("STATE|I1|Option|1"), refusal);
  task->Send("ALTERNATIVE|I2|Option|1");
  EXPECT_EQ(task->Ask("ALTERNATIVE|I2|Option|2").rfind("DECISION|", 0), 0u);
  task->Send("FEEDBACK|I2|4");
  Finish();
  EXPECT_EQ(Sql(experiment, "SELECT COUNT(*) FROM MetaInstance WHERE Marker = 'EXEC' AND InstanceType = 'I1'"), "1");
  EXPECT_EQ(Sql(experiment, "SELECT COUNT(*) FROM MetaInstance WHERE Marker = 'EXEC' AND InstanceType = 'I2'"), "1");
  EXPECT_EQ(Sql(experiment, "SELECT COUNT(*) FROM MetaInstance WHERE Marker = 'FEED' AND InstanceType = 'I2'"), "1");
  EXPECT_EQ(Sql(experiment, "SELECT COUNT(*) FROM I2 WHERE X_Subject = 1 AND U_Value_Real = 4"), "1");
  EXPECT_EQ(Sql(experiment, "SELECT COUNT(*) FROM MetaCue WHERE InstanceType = 'I1'"), "2");
}

}  // namespace
