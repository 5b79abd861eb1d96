// CommandLineTest.cpp: the korvane executable from a fresh process, as a
// researcher runs it: settings, new, set and check.
#include <gtest/gtest.h>

#include <QProcess>
#include <filesystem>

#include "TestSupport.h"
#include "store/SettingsCatalog.h"

namespace {

struct Outcome {
  int code = -1;
  std::string out, err;
};

Outcome Korvane(const QStringList& arguments, const std::string& folder) {
  QProcess process;
  process.setWorkingDirectory(QString::fromStdString(folder));
  process.start(QString::fromStdString(korvane::test::BinDir() + "/korvane"), arguments);
  Outcome run;
  if (!process.waitForFinished(60000)) return run;
  run.code = process.exitCode();
  run.out = process.readAllStandardOutput().toStdString();
  run.err = process.readAllStandardError().toStdString();
  return run;
}

class CommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(korvane::test::BinDir() + "/korvane")) GTEST_SKIP() << "korvane is not built";
  }
  Outcome K(const QStringList& arguments) { return Korvane(arguments, dir.Path()); }
  korvane::test::TempDir dir;
};

TEST_F(CommandLineTest, SettingsListsEveryKeyWithItsDefault) {
  Outcome listed = K({"settings"});
  ASSERT_EQ(listed.code, 0) << listed.err;
  for (const korvane::store::SettingInfo& s : korvane::store::SettingsCatalog())
    EXPECT_NE(listed.out.find(s.DisplayKey() + "  (" ), std::string::npos) << s.DisplayKey();
  EXPECT_NE(listed.out.find("Params_S_Value  (number, default 0.25"), std::string::npos);
  Outcome markdown = K({"settings", "--markdown"});
  ASSERT_EQ(markdown.code, 0);
  EXPECT_EQ(markdown.out, korvane::store::SettingsReferenceMarkdown());
}

TEST_F(CommandLineTest, SetRefusesWhatTheTableDoesNotAllowUnlessForced) {
  ASSERT_EQ(K({"new", "m.mdb"}).code, 0);
  EXPECT_EQ(K({"get", "m.mdb", "Params_S_Value"}).out, "0.25\n");
  EXPECT_EQ(K({"get", "m.mdb", "Params_CT_Cmp"}).out, "none\n");

  Outcome misspelt = K({"set", "m.mdb", "Params_S_Valeu", "0.3"});
  EXPECT_NE(misspelt.code, 0);
  EXPECT_NE(misspelt.err.find("Unknown setting Params_S_Valeu. Did you mean Params_S_Value"), std::string::npos)
      << misspelt.err;
  EXPECT_NE(K({"get", "m.mdb", "Params_S_Valeu"}).code, 0);  // nothing written

  Outcome option = K({"set", "m.mdb", "I1_FeedbackType", "7"});
  EXPECT_NE(option.code, 0);
  EXPECT_NE(option.err.find("I1_FeedbackType must be one of 0 (single value), 1 (set of values, FEEDBACK formula)"),
            std::string::npos)
      << option.err;
  EXPECT_EQ(K({"set", "m.mdb", "I1_FeedbackType", "1"}).code, 0);
  EXPECT_EQ(K({"set", "m.mdb", "Params_Delta_Cmp", ">="}).code, 0);
  EXPECT_NE(K({"set", "m.mdb", "Params_S_Value", "-1"}).code, 0);
  EXPECT_NE(K({"set", "m.mdb", "VERSION", "3"}).code, 0);
  EXPECT_EQ(K({"get", "m.mdb", "Params_S_Value"}).out, "0.25\n");

  // --force writes a key of a newer version, with a warning.
  Outcome forced = K({"set", "m.mdb", "Params_FromTheFuture", "2", "--force"});
  EXPECT_EQ(forced.code, 0) << forced.err;
  EXPECT_NE(forced.err.find("Written anyway (--force)"), std::string::npos) << forced.err;
  EXPECT_EQ(K({"get", "m.mdb", "Params_FromTheFuture"}).out, "2\n");
}

TEST_F(CommandLineTest, CheckWarnsAndStrictRefusesWarnings) {
  const std::string example = korvane::test::SourceDir() + "/examples/binary-choice.json";
  ASSERT_EQ(K({"model", "import", QString::fromStdString(example), "bc.mdb"}).code, 0);
  Outcome clean = K({"check", "bc.mdb", "--type", "I1", "--strict"});
  EXPECT_EQ(clean.code, 0) << clean.out;
  EXPECT_EQ(clean.out.find("Warning"), std::string::npos) << clean.out;

  ASSERT_EQ(K({"set", "bc.mdb", "Params_StopRule", "0"}).code, 0);
  Outcome warned = K({"check", "bc.mdb", "--type", "I1"});
  EXPECT_EQ(warned.code, 0);
  EXPECT_NE(warned.out.find("Warning: Params_StopRule is 0 (time-based)"), std::string::npos) << warned.out;
  EXPECT_NE(warned.out.find("Model is ready to run instance type I1 (1 warning)"), std::string::npos) << warned.out;
  Outcome strict = K({"check", "bc.mdb", "--type", "I1", "--strict"});
  EXPECT_EQ(strict.code, 3) << strict.out;
  EXPECT_NE(strict.out.find("Refused by --strict"), std::string::npos);

  // A slot the type does not have, read by a formula, is named with the
  // nearest one.
  ASSERT_EQ(K({"set", "bc.mdb", "I1_JudgmentFailFormula", "U = Cue.Opton"}).code, 0);
  Outcome typo = K({"check", "bc.mdb", "--type", "I1"});
  EXPECT_NE(typo.out.find("Warning: the judgment formula of a failed retrieval reads Cue.Opton, which a run does "
                          "not give it (did you mean Cue.Option?)"),
            std::string::npos)
      << typo.out;

  // An error still fails, warnings or not.
  ASSERT_EQ(K({"set", "bc.mdb", "I1_JudgmentFailFormula", "U = (", "--force"}).code, 0);
  EXPECT_EQ(K({"check", "bc.mdb", "--type", "I1"}).code, 2);
}

TEST_F(CommandLineTest, ValuesThatWouldStopEveryRunAreRefusedBeforeARun) {
  ASSERT_EQ(K({"example", "binary-choice", "bc.mdb"}).code, 0);
  EXPECT_EQ(K({"get", "bc.mdb", "Params_PriorTime"}).out, "1000\n");
  ASSERT_EQ(K({"new", "m.mdb"}).code, 0);
  EXPECT_EQ(K({"get", "m.mdb", "Params_PriorTime"}).out, "1000\n");

  // The example blends: without noise it needs a temperature.
  const std::string reason = "I1 blends (I1_RetrievalMethod 1), which needs a temperature above 0";
  Outcome noNoise = K({"set", "bc.mdb", "Params_S_Value", "0"});
  EXPECT_EQ(noNoise.code, 1);
  EXPECT_NE(noNoise.err.find("Refused: " + reason), std::string::npos) << noNoise.err;
  EXPECT_EQ(K({"get", "bc.mdb", "Params_S_Value"}).out, "0.25\n");
  EXPECT_NE(K({"set", "bc.mdb", "Params_Temperature", "0"}).code, 0);
  ASSERT_EQ(K({"set", "bc.mdb", "Params_Temperature", "1"}).code, 0);
  ASSERT_EQ(K({"set", "bc.mdb", "Params_S_Value", "0"}).code, 0);
  Outcome ready = K({"check", "bc.mdb", "--type", "I1"});
  EXPECT_EQ(ready.code, 0) << ready.out;
  EXPECT_NE(ready.out.find("T = 1"), std::string::npos) << ready.out;
  // Taking the temperature away again is refused; forced, check says why
  // the model cannot run.
  EXPECT_EQ(K({"set", "bc.mdb", "Params_Temperature", ""}).code, 1);
  ASSERT_EQ(K({"set", "bc.mdb", "Params_Temperature", "", "--force"}).code, 0);
  Outcome refused = K({"check", "bc.mdb", "--type", "I1"});
  EXPECT_EQ(refused.code, 2);
  EXPECT_NE(refused.out.find("Error: " + reason), std::string::npos) << refused.out;
  // Best match needs no temperature.
  ASSERT_EQ(K({"set", "bc.mdb", "I1_RetrievalMethod", "0"}).code, 0);
  EXPECT_EQ(K({"check", "bc.mdb", "--type", "I1"}).code, 0);
  EXPECT_EQ(K({"set", "bc.mdb", "I1_RetrievalMethod", "1"}).code, 1);

  // A formula that does not parse would fail every START.
  Outcome unparsed = K({"set", "bc.mdb", "I1_ConstraintFormula", "USES.X = (("});
  EXPECT_EQ(unparsed.code, 1);
  EXPECT_NE(unparsed.err.find("Refused: I1_ConstraintFormula does not parse: "), std::string::npos) << unparsed.err;
  EXPECT_EQ(K({"get", "bc.mdb", "I1_ConstraintFormula"}).out, "USES.SameOption = MEMORY.Option == CUE.Option\n");

  // Every feedback divides by the goal.
  Outcome goal = K({"set", "bc.mdb", "Params_Goal_Value", "0"});
  EXPECT_EQ(goal.code, 1);
  EXPECT_NE(goal.err.find("Params_Goal_Value must be a number other than 0"), std::string::npos) << goal.err;
}

}  // namespace
