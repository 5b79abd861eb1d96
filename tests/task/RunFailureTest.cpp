// RunFailureTest.cpp: failures that end a run while more of the task's lines
// are pending, with message "boxes" that run an event loop of their own for
// a while (as a real message box does), so that a line handled from inside
// one (a nested loop) would be seen.
#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <memory>

#include "TaskTestSupport.h"
#include "task/TaskServer.h"
#include "util/Dialogs.h"
#include "util/Logger.h"

using korvane::DialogAnswer;
using korvane::DialogRequest;
using korvane::test::LineClient;
using korvane::test::Sql;
using korvane::task::TaskServer;

namespace {

// Every message runs its own event loop for loopMs, like a box the person
// closes after a moment. whileShown runs inside that loop.
class LoopingDialogs : public korvane::Dialogs {
 public:
  DialogAnswer Show(const DialogRequest& request) override {
    shown.push_back(request);
    maxDepth = std::max(maxDepth, ++depth);
    QEventLoop loop;
    QTimer::singleShot(loopMs, &loop, &QEventLoop::quit);
    if (whileShown) QTimer::singleShot(0, &loop, whileShown);
    loop.exec();
    --depth;
    return request.defaultAnswer;
  }
  std::vector<DialogRequest> shown;
  int depth = 0;
  int maxDepth = 0;
  int loopMs = 300;
  std::function<void()> whileShown;
};

class RunFailureTest : public korvane::test::ServedModelTest<LoopingDialogs> {
 protected:
  // What a run leaves when it ended: a sound experiment file, the server
  // listening and taking the next task.
  void ExpectListeningWithIntactExperiment() {
    EXPECT_TRUE(server->IsListening());
    EXPECT_EQ(server->Executor(), nullptr);
    EXPECT_EQ(server->Status().toStdString(), "ERROR");
    EXPECT_EQ(Sql(server->ExperimentPath(), "PRAGMA integrity_check"), "ok");
    LineClient next(server->Port(), true);
    EXPECT_EQ(next.batch.value_or(""), "BATCH|100");
  }
};

TEST_F(RunFailureTest, FormulaFailureWithTwoLinesPendingGivesOneMessageAndOneErrorReply) {
  // One decision formula for both outcomes; nothing is ever retrieved, so the
  // formula meets a failed retrieval, where Memory.Option does not exist.
  Serve([](nlohmann::json& m) {
    m["settings"]["I1_DecisionType"] = 0;
    m["settings"]["Params_Delta_Value"] = 1000;
    m["settings"]["Params_Delta_Cmp"] = ">";
    m["instance_types"][0]["formulas"]["GLOBAL_DECISION"] = "D = ROUND(Memory.Option)";
  });
  auto task = Started();
  // Both alternatives in one arrival, as the sample task sends them.
  task->SendRaw("ALTERNATIVE|I1|Option|1\r\nALTERNATIVE|I1|Option|2\r\n");
  const std::string reply = task->Line();
  EXPECT_EQ(reply.rfind("ERROR|Simulation stopped: A formula failed", 0), 0u) << reply;
  EXPECT_NE(reply.find("Memory.Option"), std::string::npos) << reply;
  EXPECT_EQ(reply.find("(#"), std::string::npos) << reply;  // no internal numbers
  EXPECT_TRUE(task->WaitClosed());
  EXPECT_TRUE(task->Quiet(400));  // nothing after the ERROR
  ASSERT_EQ(dialogs->shown.size(), 1u);
  EXPECT_EQ(dialogs->maxDepth, 1);
  EXPECT_EQ(dialogs->shown[0].text.rfind("Simulation stopped because:\nA formula failed", 0), 0u)
      << dialogs->shown[0].text;
  EXPECT_EQ(dialogs->shown[0].text.find("(#"), std::string::npos) << dialogs->shown[0].text;
  EXPECT_EQ(server->LastError().indexOf("(#"), -1) << server->LastError().toStdString();
  ExpectListeningWithIntactExperiment();
  EXPECT_EQ(dialogs->shown.size(), 1u);
}

TEST_F(RunFailureTest, DivisionByZeroStopsTheRunWithLinesStillPending) {
  Serve([](nlohmann::json& m) {
    m["settings"]["I1_UtilityUpdateType"] = 2;
    m["settings"]["I1_UtilityUpdateFormula"] = "U = O / (G - G)";
  });
  auto task = Started();
  task->SendRaw("ALTERNATIVE|I1|Option|1\r\nALTERNATIVE|I1|Option|2\r\n");
  ASSERT_EQ(task->Line().rfind("DECISION|", 0), 0u);
  const std::string count = "SELECT COUNT(*) FROM I1";
  // Another connection sees a run's rows as of SQLite's last batch commit,
  // at most a second old (the run journal holds the newer ones).
  QTest::qWait(1300);
  const std::string rowsBefore = Sql(server->ExperimentPath(), count);
  // The failing feedback and the next trial's two alternatives together.
  task->SendRaw("FEEDBACK|I1|3\r\nALTERNATIVE|I1|Option|1\r\nALTERNATIVE|I1|Option|2\r\n");
  EXPECT_EQ(task->Line().rfind("ERROR|Simulation stopped: A formula failed while the model ran. Your formula divided "
                               "a value by zero.",
                               0),
            0u);
  EXPECT_TRUE(task->WaitClosed());
  EXPECT_TRUE(task->lines.empty()) << task->lines.front();  // no DECISION for the pending lines
  ASSERT_EQ(dialogs->shown.size(), 1u);
  EXPECT_EQ(dialogs->maxDepth, 1);
  EXPECT_EQ(dialogs->shown[0].text.find("(#"), std::string::npos) << dialogs->shown[0].text;
  // What the failed step wrote is undone; the decision before it is kept.
  EXPECT_EQ(Sql(server->ExperimentPath(), count), rowsBefore);
  ExpectListeningWithIntactExperiment();
}

TEST_F(RunFailureTest, NothingOfTheTaskIsReadWhileAMessageIsShown) {
  Serve({});
  auto task = Started();
  int repliesWhileShown = -1;
  int replies = 0;
  QObject::connect(server.get(), &TaskServer::replySent, [&] { ++replies; });
  dialogs->loopMs = 500;
  dialogs->whileShown = [&] {
    // The task goes on talking while the person reads the message.
    task->SendRaw("ALTERNATIVE|I1|Option|1\r\nALTERNATIVE|I1|Option|2\r\n");
    QTimer::singleShot(400, [&] { repliesWhileShown = replies; });
  };
  server->WriteLog(true);  // "Log saved as ..." with the loop above
  ASSERT_EQ(dialogs->shown.size(), 1u);
  EXPECT_EQ(dialogs->shown[0].text.rfind("Log saved as", 0), 0u);
  EXPECT_EQ(repliesWhileShown, 0);
  // Once the message is gone the waiting lines are handled, in order.
  EXPECT_EQ(task->Line().rfind("DECISION|", 0), 0u);
  EXPECT_TRUE(task->Connected());
}

}  // namespace
