// SampleTaskTest.cpp: the binary-choice task, in C++ and in Python, against
// the example model served over loopback; and what the model learns.
#include <gtest/gtest.h>

#include <QProcess>
#include <QSignalSpy>
#include <memory>

#include "TaskTestSupport.h"
#include "app/BinaryChoiceTask.h"
#include "task/TaskServer.h"
#include "util/Dialogs.h"
#include "util/Logger.h"

using korvane::app::BinaryChoiceTask;
using korvane::task::TaskServer;
using korvane::test::TempDir;

namespace {

class SampleTaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    korvane::SetLogFolder(temp.File("logs"));
    dialogs = std::make_shared<korvane::ScriptedDialogs>();
    previous = korvane::SetDialogs(dialogs);
    model = korvane::test::MakeModel(temp.File("Choice.mdb"));
    korvane::task::ServerOptions options;
    options.modelPath = model;
    options.port = 0;
    options.executor.clock = korvane::engine::ClockKind::Simulated;
    options.executor.seed = 11;
    server = std::make_unique<TaskServer>(options);
    ASSERT_TRUE(server->Start());
  }
  void TearDown() override {
    server.reset();
    korvane::SetDialogs(previous);
    korvane::SetLogFolder({});
  }

  // A query on the current experiment database.
  std::string Sql(const std::string& query) { return korvane::test::Sql(server->ExperimentPath(), query); }

  TempDir temp;
  std::string model;
  std::unique_ptr<TaskServer> server;
  std::shared_ptr<korvane::ScriptedDialogs> dialogs;
  std::shared_ptr<korvane::Dialogs> previous;
};

}  // namespace

TEST_F(SampleTaskTest, ModelLearnsToPreferTheRiskyOptionAsInstanceBasedLearningPredicts) {
  korvane::app::BinaryChoiceOptions options;
  options.port = server->Port();
  options.subjects = 6;
  options.trials = 30;
  options.seed = 3;
  BinaryChoiceTask task(options);
  QSignalSpy finished(&task, &BinaryChoiceTask::finished);
  task.Run();
  ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() == 1; }, 120000));
  const auto& result = task.Result();
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(result.subjects, 6);
  EXPECT_EQ(result.decisions, 180);
  EXPECT_TRUE(QTest::qWaitFor([&] { return !server->IsConnected(); }, 5000));
  EXPECT_EQ(server->Status().toStdString(), "IDLE");

  // Every decision was executed, traced and rewarded.
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM MetaInstance WHERE Marker = 'EXEC'"), "180");
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM MetaInstance WHERE Marker = 'FEED'"), "180");
  EXPECT_EQ(Sql("SELECT COUNT(DISTINCT X_Subject) FROM I1 WHERE X_Subject > 0"), "6");
  // Experience is stored as one instance per subject and distinct outcome:
  // at most safe/3, risky/4 and risky/0 beside the two priors.
  EXPECT_EQ(Sql("SELECT MAX(n) FROM (SELECT COUNT(*) AS n FROM I1 WHERE X_Subject > 0 GROUP BY X_Subject)"), "5");
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM I1 WHERE X_Subject > 0 AND X_Prepopulated = 0 AND NOT "
                "((S_Option_Integer = 1 AND U_Value_Real = 3) OR (S_Option_Integer = 2 AND U_Value_Real IN (0, 4)))"),
            "0");

  // The optimistic priors make every subject try both options at first;
  // then the frequent 4 wins over the sure 3 most of the time, but not always.
  const auto blocks = result.RiskyByBlock(10);
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_GT(blocks[2], 0.55);
  EXPECT_LT(blocks[2], 1.0);
  EXPECT_NE(result.LearningCurve(10).find("21-30"), std::string::npos);
}

TEST_F(SampleTaskTest, PythonCopySpeaksTheSameProtocol) {
  if (QProcess::execute("python3", {"--version"}) != 0) GTEST_SKIP() << "python3 is not installed";
  QProcess python;
  python.setProcessChannelMode(QProcess::MergedChannels);
  python.start("python3", {QString::fromStdString(korvane::test::SourceDir() + "/examples/binary_choice_task.py"),
                           "--port", QString::number(server->Port()), "--subjects", "3", "--trials", "10"});
  ASSERT_TRUE(python.waitForStarted(5000));
  ASSERT_TRUE(QTest::qWaitFor([&] { return python.state() == QProcess::NotRunning; }, 60000));
  const std::string output = python.readAll().toStdString();
  EXPECT_EQ(python.exitCode(), 0) << output;
  EXPECT_NE(output.find("30 decisions"), std::string::npos) << output;
  EXPECT_NE(output.find("Model says: HELO|Korvane binary choice, simulation 1"), std::string::npos) << output;
  EXPECT_TRUE(QTest::qWaitFor([&] { return !server->IsConnected(); }, 5000));
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM MetaInstance WHERE Marker = 'EXEC'"), "30");
}

TEST_F(SampleTaskTest, TaskReportsWhatGoesWrong) {
  // Nobody listening.
  korvane::app::BinaryChoiceOptions options;
  options.port = 1;
  options.subjects = 1;
  options.trials = 1;
  BinaryChoiceTask nobody(options);
  QSignalSpy failed(&nobody, &BinaryChoiceTask::finished);
  nobody.Run();
  ASSERT_TRUE(QTest::qWaitFor([&] { return failed.count() == 1; }, 10000));
  EXPECT_FALSE(nobody.Result().ok);
  EXPECT_NE(nobody.Result().error.find("connection to 127.0.0.1:1"), std::string::npos) << nobody.Result().error;

  // A type the model does not have: the model's ERROR reply is the reason.
  options.port = server->Port();
  options.instanceType = "I7";
  BinaryChoiceTask wrongType(options);
  QSignalSpy done(&wrongType, &BinaryChoiceTask::finished);
  wrongType.Run();
  ASSERT_TRUE(QTest::qWaitFor([&] { return done.count() == 1; }, 10000));
  EXPECT_EQ(wrongType.Result().error, "the model replied ERROR|Instance type I7 does not exist in the database.");
}

namespace {

// Serves a model made from the example's JSON text, changed by edit.
std::unique_ptr<TaskServer> ServeExample(const std::string& path, const std::function<void(nlohmann::json&)>& edit) {
  korvane::test::MakeModel(path, edit);
  korvane::task::ServerOptions options;
  options.modelPath = path;
  options.port = 0;
  options.executor.clock = korvane::engine::ClockKind::Simulated;
  options.executor.seed = 5;
  auto server = std::make_unique<TaskServer>(options);
  EXPECT_TRUE(server->Start());
  return server;
}

}  // namespace

TEST_F(SampleTaskTest, ExampleWithoutItsThresholdsRunsAsPlainInstanceBasedLearning) {
  // The six threshold settings left out: the import gives the thresholds the
  // comparison "none", and the model still chooses option 1 or 2 every trial.
  auto plain = ServeExample(temp.File("Plain.mdb"), [](nlohmann::json& m) {
    for (const char* key : {"Params_Delta_Cmp", "Params_Delta_Value", "Params_U_Cmp", "Params_U_Value",
                            "Params_CT_Cmp", "Params_CT_Value"})
      m["settings"].erase(key);
  });
  korvane::app::BinaryChoiceOptions options;
  options.port = plain->Port();
  options.subjects = 3;
  options.trials = 20;
  BinaryChoiceTask task(options);
  QSignalSpy finished(&task, &BinaryChoiceTask::finished);
  task.Run();
  ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() == 1; }, 60000));
  ASSERT_TRUE(task.Result().ok) << task.Result().error;  // a choice other than 1 or 2 fails the task
  EXPECT_EQ(task.Result().decisions, 60);
  EXPECT_TRUE(QTest::qWaitFor([&] { return !plain->IsConnected(); }, 5000));
  const std::string experiment = plain->ExperimentPath();
  EXPECT_EQ(korvane::test::Sql(experiment, "SELECT COUNT(*) FROM MetaInstance WHERE Marker = 'EXEC'"), "60");
  EXPECT_EQ(korvane::test::Sql(experiment, "SELECT COUNT(*) FROM MetaInstance WHERE Marker = 'HEUR'"), "0");
}

TEST_F(SampleTaskTest, TaskSaysWhyATimeBasedModelNeverAnswers) {
  auto timed = ServeExample(temp.File("Timed.mdb"), [](nlohmann::json& m) {
    m["settings"]["Params_StopRule"] = 0;
    m["settings"]["Params_StopRule_Value"] = 1000000;
  });
  korvane::app::BinaryChoiceOptions options;
  options.port = timed->Port();
  options.subjects = 1;
  options.trials = 1;
  options.slowDecisionMs = 300;
  options.replyTimeoutMs = 1500;
  BinaryChoiceTask task(options);
  QSignalSpy finished(&task, &BinaryChoiceTask::finished);
  QStringList said;
  QObject::connect(&task, &BinaryChoiceTask::progress, [&](const QString& text) { said << text; });
  task.Run();
  ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() == 1; }, 10000));
  EXPECT_FALSE(task.Result().ok);
  EXPECT_NE(task.Result().error.find("no DECISION within 1500 ms"), std::string::npos) << task.Result().error;
  const QStringList slow = said.filter("Still waiting for a DECISION");
  ASSERT_EQ(slow.size(), 1) << said.join("\n").toStdString();
  EXPECT_TRUE(slow[0].contains("Params_StopRule 0")) << slow[0].toStdString();
  EXPECT_TRUE(slow[0].contains("korvane set MODEL Params_StopRule 1")) << slow[0].toStdString();
}
