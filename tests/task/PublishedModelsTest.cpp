// PublishedModelsTest.cpp: the model forms instance-based learning studies
// use, served over real TCP and checked against values computed by hand:
// a choice among alternatives named under partial matching, a default
// utility, foregone outcomes, model tracing, delayed feedback per decision
// and priors of one subject.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "TaskTestSupport.h"

using korvane::test::LineClient;
using korvane::test::Sql;

namespace {

using nlohmann::json;

class PublishedModelsTest : public korvane::test::ServedRunTest {
 protected:
  // The binary-choice example without noise at temperature 1, one cue per
  // trial unless settings say otherwise.
  void ServeChoice(const std::vector<std::pair<int, double>>& priors, json settings = json::object()) {
    json defaults = {{"Params_S_Value", 0}, {"Params_Temperature", 1}, {"Params_StopRule_Num", 1}};
    defaults.update(settings);
    ServedRunTest::ServeChoice(priors, defaults);
  }
  double CueUtility(int subject, int trial, int cue) {
    return Number("SELECT Utility FROM MetaCue WHERE SubjectID = " + std::to_string(subject) +
                  " AND TrialNumber = " + std::to_string(trial) + " AND CueNumber = " + std::to_string(cue));
  }
  // The value of a field of a DECISION reply ("" when it has none).
  static std::string Field(const std::string& reply, const std::string& name) {
    std::vector<std::string> fields;
    for (std::size_t start = 0;;) {
      std::size_t bar = reply.find('|', start);
      fields.push_back(reply.substr(start, bar - start));
      if (bar == std::string::npos) break;
      start = bar + 1;
    }
    for (std::size_t i = 1; i + 1 < fields.size(); i += 2)
      if (fields[i] == name) return fields[i + 1];
    return "";
  }
};

TEST_F(PublishedModelsTest, APartiallyMatchedChoiceNamesTheAlternativeWithTheHighestBlend) {
  // All of memory is blended for each alternative (no constraint); the
  // similarity is -|cue - memory|, and the decision names the cue judged.
  Serve([](json& m) {
    m["instance_types"][0] = {
        {"name", "I1"},
        {"slots",
         {{{"aspect", "situation"}, {"name", "N"}, {"type", "Real"}},
          {{"aspect", "decision"}, {"name", "Pick"}, {"type", "Real"}},
          {{"aspect", "utility"}, {"name", "Value"}, {"type", "Real"}}}},
        {"formulas", {{"N", "PM = -ABS(CUE - MEMORY)"}, {"D_Pick_Real", "D = Cue.N"}, {"D_Pick_Real_FAILURE", "D = Cue.N"}}},
        {"rows", {{{"N", 0.1}, {"Pick", 0.1}, {"Value", 1}}, {{"N", 0.9}, {"Pick", 0.9}, {"Value", 10}}}}};
    m["settings"]["I1_ConstraintType"] = 0;
    m["settings"]["I1_SimilarityType"] = 1;
    m["settings"]["Params_S_Value"] = 0;
    m["settings"]["Params_Temperature"] = 1;
    m["settings"]["Params_StopRule_Num"] = 5;
  });
  task = Started();
  const std::vector<std::string> offered = {"0.066", "0.013", "0.837", "0.259", "0.234"};
  for (std::size_t i = 0; i + 1 < offered.size(); ++i) task->Send("ALTERNATIVE|I1|N|" + offered[i]);
  const std::string reply = task->Ask("ALTERNATIVE|I1|N|" + offered.back());
  EXPECT_EQ(Field(reply, "Pick"), "0.837") << reply;
  Finish();
  // Both priors are one trial old: the probabilities follow from the
  // mismatch alone.
  for (std::size_t i = 0; i < offered.size(); ++i) {
    const double n = std::stod(offered[i]);
    const double w1 = std::exp(-std::abs(n - 0.1)), w2 = std::exp(-std::abs(n - 0.9));
    EXPECT_NEAR(CueUtility(1, 1, static_cast<int>(i) + 1), (1 * w1 + 10 * w2) / (w1 + w2), 1e-12) << offered[i];
    // The trace's record of the blend: both priors, with these probabilities.
    const std::string blend = " FROM MetaBlend WHERE SubjectID = 1 AND TrialNumber = 0 AND CueNumber = " +
                              std::to_string(i + 1);
    EXPECT_EQ(Sql(experiment, "SELECT COUNT(*)" + blend), "2");
    EXPECT_NEAR(Number("SELECT SUM(Probability)" + blend), 1, 1e-15);
    EXPECT_NEAR(Number("SELECT Probability" + blend + " ORDER BY Instance LIMIT 1"), w1 / (w1 + w2), 1e-12);
  }
}

TEST_F(PublishedModelsTest, ADefaultUtilityMakesANewAlternativeWinOnceAndPopulatesWhenAsked) {
  for (bool populates : {false, true}) {
    ServeChoice({}, {{"I1_DefaultUtility", 1001}, {"I1_DefaultUtilityPopulates", populates ? 1 : 0},
                     {"Params_StopRule_Num", 2}, {"I1_JudgmentFailFormula", nullptr}});
    auto trial = [&](int outcome) {
      task->Send("ALTERNATIVE|I1|Option|1");
      const std::string reply = task->Ask("ALTERNATIVE|I1|Option|2");
      task->Send("FEEDBACK|I1|" + std::to_string(outcome));
      return Field(reply, "Choice");
    };
    // Trial 1: both alternatives are new, the first of equal utilities
    // wins; trial 2: the other one, still unknown, wins with 1001; then the
    // outcomes decide.
    EXPECT_EQ(trial(3), "1");
    EXPECT_EQ(trial(4), "2");
    // Populated, option 1 blends 1001 and 3 (502), option 2 1001 and the
    // newer 4 (about 417).
    EXPECT_EQ(trial(4), populates ? "1" : "2");
    Finish();
    EXPECT_EQ(CueUtility(1, 1, 1), 1001);
    EXPECT_EQ(CueUtility(1, 2, 2), 1001);
    EXPECT_EQ(Sql(experiment, "SELECT COUNT(*) FROM I1 WHERE X_Subject = 1 AND U_Value_Real = 1001"),
              populates ? "2" : "0");
    // Populated, option 1's second judgment blends its default instance and
    // its outcome, seen at the same moment: (1001 + 3) / 2.
    if (populates) EXPECT_NEAR(CueUtility(1, 2, 1), 502, 1e-9);
    else EXPECT_EQ(CueUtility(1, 2, 1), 3);
  }
}

TEST_F(PublishedModelsTest, AForegoneOutcomeBecomesAnInstanceAtTheTrialsTime) {
  ServeChoice({{1, 10}, {2, 10}}, {{"Params_StopRule_Num", 2}});
  task->Send("ALTERNATIVE|I1|Option|1");
  EXPECT_EQ(Field(task->Ask("ALTERNATIVE|I1|Option|2"), "Choice"), "1");
  task->Send("FEEDBACK|I1|3");
  EXPECT_EQ(task->Ask("OUTCOME|I1|0|Option|1"),
            "ERROR|OUTCOME names the alternative the model executed; its outcome is a FEEDBACK");
  EXPECT_EQ(task->Ask("OUTCOME|I1|0|Option|7").rfind("ERROR|OUTCOME names no alternative of the last trial", 0), 0u);
  task->Send("OUTCOME|I1|0|Option|2");
  task->Send("ALTERNATIVE|I1|Option|1");
  EXPECT_EQ(task->Ask("ALTERNATIVE|I1|Option|2").rfind("DECISION|", 0), 0u);
  Finish();
  // Option 2 at trial 2: its prior (at -1000) and the foregone 0 (at 0).
  EXPECT_NEAR(CueUtility(1, 2, 2), 10 * Age(2000) / (Age(2000) + Age(1000)), 1e-12);
  EXPECT_EQ(Sql(experiment, "SELECT COUNT(*) FROM MetaInstance WHERE Marker = 'FORE' AND Feedback = 0"), "1");
  EXPECT_EQ(Sql(experiment, "SELECT COUNT(*) FROM I1 WHERE X_Subject = 1 AND S_Option_Integer = 2 AND U_Value_Real = 0"),
            "1");
}

TEST_F(PublishedModelsTest, ModelTracingExecutesThePersonsChoiceAndReportsTheModels) {
  ServeChoice({{1, 10}, {2, 5}}, {{"Params_StopRule_Num", 2}});
  task->Send("CHOOSE|I1|Option|2");
  task->Send("ALTERNATIVE|I1|Option|1");
  const std::string reply = task->Ask("ALTERNATIVE|I1|Option|2");
  EXPECT_EQ(Field(reply, "Choice"), "2") << reply;
  EXPECT_EQ(Field(reply, "MODEL-Choice"), "1") << reply;
  EXPECT_EQ(Field(reply, "DECISION-ID"), "1") << reply;
  task->Send("FEEDBACK|I1|7");
  // The next trial is the model's own again.
  task->Send("ALTERNATIVE|I1|Option|1");
  const std::string own = task->Ask("ALTERNATIVE|I1|Option|2");
  EXPECT_EQ(Field(own, "MODEL-Choice"), "");
  EXPECT_EQ(Field(own, "DECISION-ID"), "2");
  // A choice of an alternative not offered executes nothing.
  task->Send("CHOOSE|I1|Option|9");
  task->Send("ALTERNATIVE|I1|Option|1");
  EXPECT_EQ(task->Ask("ALTERNATIVE|I1|Option|2").rfind("ERROR|CHOOSE names no alternative of trial", 0), 0u);
  Finish();
  EXPECT_EQ(Sql(experiment, "SELECT COUNT(*) FROM I1 WHERE X_Subject = 1 AND S_Option_Integer = 2 AND U_Value_Real = 7"),
            "1");
  EXPECT_EQ(Sql(experiment, "SELECT CueNumber FROM MetaCue WHERE TrialNumber = 1 AND Executed = 1"), "2");
  EXPECT_EQ(Sql(experiment, "SELECT COUNT(*) FROM MetaCue WHERE TrialNumber = 3 AND Executed = 1"), "0");
}

TEST_F(PublishedModelsTest, ADelayedFeedbackReachesTheDecisionItNames) {
  ServeChoice({{1, 10}}, {{"Reinforce_Execution", 1}});
  EXPECT_EQ(Field(task->Ask("ALTERNATIVE|I1|Option|1"), "DECISION-ID"), "1");  // at 0
  EXPECT_EQ(Field(task->Ask("ALTERNATIVE|I1|Option|1"), "DECISION-ID"), "2");  // at 1000
  EXPECT_EQ(task->Ask("FEEDBACK|I1|1|DECISION-ID|9"),
            "ERROR|FEEDBACK names decision 9, which is not waiting for its outcome (decisions waiting: 1, 2)");
  task->Send("FEEDBACK|I1|5|DECISION-ID|1");  // at 1000
  EXPECT_EQ(Field(task->Ask("ALTERNATIVE|I1|Option|1"), "DECISION-ID"), "3");  // at 2000
  task->Send("FEEDBACK|I1|7");  // decisions 2 and 3
  EXPECT_EQ(task->Ask("FEEDBACK|I1|1|DECISION-ID|1").rfind("ERROR|FEEDBACK names decision 1", 0), 0u);
  Finish();
  const std::string five =
      Sql(experiment, "SELECT X_ID FROM I1 WHERE X_Subject = 1 AND X_Prepopulated = 0 AND U_Value_Real = 5");
  ASSERT_FALSE(five.empty());
  // Decision 1's execution (0) and its feedback (1000), seen at 2000.
  EXPECT_NEAR(Number("SELECT BLL FROM MetaInstance WHERE Marker = 'ACAL' AND TrialNumber = 2 AND Instance = " + five),
              std::log(Age(2000) + Age(1000)), 1e-12);
  // Decision 2 waited with its blended value until then.
  EXPECT_EQ(Number("SELECT Feedback FROM MetaCue WHERE TrialNumber = 1"), 5);
  EXPECT_EQ(Number("SELECT Feedback FROM MetaCue WHERE TrialNumber = 2"), 7);
  EXPECT_EQ(Number("SELECT Feedback FROM MetaCue WHERE TrialNumber = 3"), 7);
}

TEST_F(PublishedModelsTest, APriorOfOneSubjectIsSeenByThatSubjectOnly) {
  ServeChoice({{1, 10}});
  task->Send("PRIOR|I1|Option|2|Choice|2|Value|50");
  EXPECT_EQ(task->Ask("PRIOR|I1|Option|2|Colour|2|Value|50"),
            "ERROR|PRIOR names the slot COLOUR, which instance type I1 does not have");
  EXPECT_EQ(task->Ask("PRIOR|I1|Option|2|Choice|2"), "ERROR|PRIOR must give the utility slot Value");
  EXPECT_EQ(Field(task->Ask("ALTERNATIVE|I1|Option|2"), "Choice"), "2");
  EXPECT_EQ(task->Ask("PRIOR|I1|Option|1|Choice|1|Value|1").rfind("ERROR|PRIOR must come after START or RESET", 0), 0u);
  task->Send("FEEDBACK|I1|3");
  task->Send("RESET|I1");
  while (task->Line().rfind("CUESIZE", 0) != 0) {
  }
  // Subject 2 has no instance of option 2: the heuristic judges it.
  const std::string second = task->Ask("ALTERNATIVE|I1|Option|2");
  EXPECT_EQ(Field(second, "Choice"), "2");
  Finish();
  EXPECT_EQ(CueUtility(1, 1, 1), 50);
  EXPECT_EQ(Sql(experiment, "SELECT Path FROM MetaCue WHERE SubjectID = 2"), "HEUR");
  const std::string prior =
      Sql(experiment, "SELECT X_ID FROM I1 WHERE X_Subject = 1 AND X_Prepopulated = 1 AND U_Value_Real = 50");
  ASSERT_FALSE(prior.empty());
  EXPECT_EQ(Sql(experiment, "SELECT COUNT(*) FROM I1 WHERE X_Subject <> 1 AND U_Value_Real = 50"), "0");
  // Presented one trial before the first cue, as the model's own priors.
  EXPECT_NEAR(Number("SELECT BLL FROM MetaInstance WHERE Marker = 'ACAL' AND SubjectID = 1 AND TrialNumber = 0 AND "
                     "Instance = " + prior),
              std::log(Age(1000)), 1e-12);
}

}  // namespace
