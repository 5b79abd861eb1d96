// ServerTest.cpp: the task server over real TCP on 127.0.0.1, on real model
// files in a temporary folder.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <filesystem>
#include <memory>

#include "TaskTestSupport.h"
#include "store/Database.h"
#include "task/Protocol.h"
#include "task/TaskServer.h"
#include "util/Dialogs.h"
#include "util/Files.h"
#include "util/Logger.h"

using korvane::test::LineClient;
using korvane::test::MakeModel;
using korvane::test::Sql;
using korvane::task::TaskServer;

namespace {

class ServerTest : public korvane::test::ServedModelTest<> {};

}  // namespace

TEST_F(ServerTest, WholeExchangeFromBatchToStop) {
  Serve();
  EXPECT_EQ(server->ListenAddress().toString(), "127.0.0.1");
  QSignalSpy logFiles(server.get(), &TaskServer::logFileStarted);
  QSignalSpy stopped(server.get(), &TaskServer::simulationStopped);

  LineClient task(server->Port());
  EXPECT_EQ(task.Line(), "BATCH|100");
  EXPECT_TRUE(QTest::qWaitFor([&] { return server->IsConnected(); }, 2000));
  EXPECT_EQ(server->ExperimentPath(), "");  // made at the first START

  task.Send("START|I1");
  EXPECT_EQ(task.Line(), "HELO|Korvane binary choice, simulation 1");
  EXPECT_EQ(task.Line(), "CUESIZE|I1|1");
  const std::string experiment = server->ExperimentPath();
  EXPECT_EQ(experiment, temp.File("Example-" + korvane::TodayStamp() + "-1.mdb"));
  EXPECT_EQ(server->Status().toStdString(), "RUN");
  EXPECT_EQ(server->ExecutingInstance().toStdString(), "I1");
  EXPECT_EQ(server->LastError().toStdString(), "None");
  EXPECT_EQ(server->SubjectID(), 1);

  for (int trial = 0; trial < 5; ++trial) {
    task.Send("ALTERNATIVE|I1|Option|1");
    task.Send("ALTERNATIVE|I1|Option|2");
    const auto fields = korvane::task::SplitFields(task.Line());
    ASSERT_EQ(fields.size(), 7u) << "trial " << trial;
    EXPECT_EQ(fields[0], "DECISION");
    EXPECT_EQ(fields[1], "Choice");
    EXPECT_TRUE(fields[2] == "1" || fields[2] == "2") << fields[2];
    EXPECT_EQ(fields[3], "RETRIEVAL-TIME");
    EXPECT_EQ(fields[5], "DECISION-ID");
    EXPECT_EQ(fields[6], std::to_string(trial + 1));
    task.Send("FEEDBACK|I1|" + std::string(fields[2] == "1" ? "3" : "4"));
  }
  EXPECT_TRUE(QTest::qWaitFor([&] { return server->TrialNumber() == 5; }, 2000));

  // While the task runs the model the trace has no indexes (they are built
  // at the end, in one pass each).
  const std::string traceIndexes = "SELECT COUNT(*) FROM sqlite_master WHERE type = 'index' AND tbl_name = 'MetaInstance'";
  EXPECT_EQ(Sql(experiment, traceIndexes), "0");

  task.Send("RESET|I1");
  EXPECT_EQ(task.Line(), "HELO|Korvane binary choice, simulation 2");
  EXPECT_EQ(task.Line(), "CUESIZE|I1|1");
  EXPECT_EQ(server->SubjectID(), 2);
  task.Send("ALTERNATIVE|I1|Option|2");
  task.Send("ALTERNATIVE|I1|Option|1");
  EXPECT_EQ(task.Line().rfind("DECISION|Choice|", 0), 0u);
  task.Send("FEEDBACK|I1|0");
  task.Send("STOP|I1");
  EXPECT_TRUE(QTest::qWaitFor([&] { return stopped.count() == 1; }, 2000));
  EXPECT_EQ(Sql(experiment, traceIndexes), "5");
  EXPECT_EQ(server->Status().toStdString(), "IDLE");
  EXPECT_EQ(server->Executor(), nullptr);
  EXPECT_EQ(logFiles.count(), 1);  // STOP starts a new log file
  EXPECT_TRUE(task.Quiet());
  // The connection stays open after STOP until the task closes it.
  EXPECT_TRUE(task.Connected());
  task.socket.disconnectFromHost();
  EXPECT_TRUE(QTest::qWaitFor([&] { return !server->IsConnected(); }, 2000));
  EXPECT_TRUE(server->IsListening());

  // The run is in the experiment copy, not in the model.
  EXPECT_EQ(Sql(experiment, "SELECT COUNT(*) FROM MetaInstance WHERE Marker = 'EXEC'"), "6");
  EXPECT_EQ(Sql(experiment, "SELECT COUNT(DISTINCT X_Subject) FROM I1 WHERE X_Subject > 0"), "2");
  EXPECT_EQ(Sql(model, "SELECT COUNT(*) FROM I1"), "2");
  EXPECT_EQ(Sql(model, "SELECT COUNT(*) FROM MetaInstance"), "0");
}

TEST_F(ServerTest, EveryErrorReplyAndItsLastError) {
  Serve();
  LineClient task(server->Port(), true);
  EXPECT_EQ(task.Ask("CUES|I1|Option|1"), "ERROR|Instance type I1 must be started before cues for it can be processed");
  EXPECT_EQ(server->LastError().toStdString(), "Instance type I1 must be started first");
  EXPECT_EQ(task.Ask("ALTERNATIVE|I1"), "ERROR|Instance type I1 must be started before cues for it can be processed");
  EXPECT_EQ(task.Ask("FEEDBACK|I1|3"),
            "ERROR|Instance type I1 must be started before feedback can be applied to it");
  EXPECT_EQ(task.Ask("STATE|I1|Option|1"), "ERROR|Instance type I1 must be started before it can accept a state.");
  for (const char* word : {"CUE", "HELO", "IDLE", "Hello there"}) {
    EXPECT_EQ(task.Ask(std::string(word) + "|I1"), std::string("ERROR|Korvane does not understand the command ") + word);
    EXPECT_EQ(server->LastError().toStdString(), std::string("Unknown command ") + word + " from task");
  }
  EXPECT_EQ(task.Ask(""), "ERROR|Korvane does not understand the command ");

  // An unknown type leaves no usable executor behind, and no copy of the
  // model: it is checked before the model is copied.
  const auto files = [&] {
    auto listing = std::filesystem::directory_iterator(std::filesystem::path(model).parent_path());
    return std::distance(begin(listing), end(listing));
  };
  const auto before = files();
  for (const char* type : {"nope", "MetaKeyValue"})
    EXPECT_EQ(task.Ask(std::string("START|") + type),
              std::string("ERROR|Instance type ") + type + " does not exist in the database.");
  EXPECT_EQ(files(), before);
  EXPECT_EQ(task.Ask("START|I9"), "ERROR|Instance type I9 does not exist in the database.");
  EXPECT_EQ(server->LastError().toStdString(), "Instance type I9 does not exist");
  EXPECT_EQ(task.Ask("CUES|I9|Option|1"), "ERROR|Instance type I9 must be started before cues for it can be processed");
  EXPECT_EQ(task.Ask("RESET|i1"), "ERROR|Instance type i1 does not exist in the database.");

  // Commands in any letter case; an odd field count is a protocol error.
  task.Send("start|I1");
  EXPECT_EQ(task.Line(), "HELO|Korvane binary choice, simulation 1");
  EXPECT_EQ(task.Line(), "CUESIZE|I1|1");
  EXPECT_EQ(task.Ask("CUES|I1|Option"),
            "ERROR|Protocol error: ALTERNATIVE or CUE message must have even number of elements");
  EXPECT_EQ(server->LastError().toStdString(), "Protocol error: ALTERNATIVE or CUE message must have even number of elements");
  task.Send("cues|I1|Option|1");
  EXPECT_TRUE(task.Quiet());  // first of two retrievals: no reply
  task.Send("Alternative|I1|Option|2");
  EXPECT_EQ(task.Line().rfind("DECISION|Choice|", 0), 0u);

  // The task's own ERROR: logged, status ERROR, no reply.
  task.Send("ERROR|the display broke");
  EXPECT_TRUE(task.Quiet());
  EXPECT_EQ(server->Status().toStdString(), "ERROR");
  EXPECT_TRUE(task.Connected());
  EXPECT_TRUE(dialogs->Shown().empty());
}

TEST_F(ServerTest, AnyBytesInACueValueAreKeptThroughToTheTrialTable) {
  // A task sending Windows-1252 text: "café" with the single byte E9.
  Serve([](nlohmann::json& m) {
    m["instance_types"][0]["slots"].push_back({{"aspect", "situation"}, {"name", "Label"}, {"type", "String"}});
    m["instance_types"][0]["formulas"]["Label"] = "PM = IIF(CUE == MEMORY, 0, -1)";
    m["settings"]["I1_RetrievalMethod"] = 0;  // best match: a text is not blended
    // A greeting with a line break in it still goes out as one line.
    m["settings"]["Params_HELO"] = "HELO|two\r\nERROR|lines";
  });
  LineClient client(server->Port(), true);
  client.Send("START|I1");
  EXPECT_EQ(client.Line(), "HELO|two  ERROR|lines");
  EXPECT_EQ(client.Line(), "CUESIZE|I1|2");
  const std::string latin1("caf\xE9", 4);
  for (int trial = 0; trial < 2; ++trial) {
    client.Send("ALTERNATIVE|I1|Option|1|Label|" + latin1);
    client.Send("ALTERNATIVE|I1|Option|2|Label|plain");
    const std::string reply = client.Line();
    ASSERT_EQ(reply.rfind("DECISION|Choice|", 0), 0u) << reply << " trial " << trial;
    client.Send("FEEDBACK|I1|3");
  }
  client.Send("STOP|I1");
  EXPECT_TRUE(client.Quiet());
  client.socket.disconnectFromHost();
  EXPECT_TRUE(QTest::qWaitFor([&] { return !server->IsConnected(); }, 2000));
  const std::string experiment = server->ExperimentPath();
  server.reset();

  // The bytes as they came in the instance table (an executed option 1);
  // in the trial table's JSON
  // as {"$bytes": hex}, which the trial table's readers turn back into them
  // (python/tests: read_trials and the CSV export).
  EXPECT_EQ(Sql(experiment, "SELECT COUNT(*) FROM I1 WHERE X_Subject = 1 AND S_Option_Integer = 1 AND "
                            "S_Label_String IS NOT NULL AND hex(S_Label_String) <> '636166E9'"),
            "0");

  EXPECT_EQ(Sql(experiment, "SELECT COUNT(*) FROM MetaCue WHERE Situation = '{\"Option\":1,\"Label\":{\"$bytes\":\"636166e9\"}}'"),
            "2");
}

TEST_F(ServerTest, ModelThatCannotRunIsRefusedNotStarted) {
  Serve([](nlohmann::json& m) { m["settings"]["I1_JudgmentFailFormula"] = ""; });
  LineClient task(server->Port(), true);
  EXPECT_EQ(task.Ask("START|I1"), "ERROR|Instance type I1 cannot be executed. Please try again later.");
  EXPECT_EQ(server->Status().toStdString(), "ERROR");
  EXPECT_EQ(task.Ask("STATE|I1|Option|1"), "ERROR|Instance type I1 cannot be executed. Please try again later.");
  const std::string notReady = "Instance type I1 cannot be executed: its preparation failed (see the log)";
  EXPECT_EQ(server->LastError().toStdString(), notReady);
  // The last error keeps saying why, not that a START is missing.
  EXPECT_EQ(task.Ask("CUES|I1|Option|1"), "ERROR|Instance type I1 must be started before cues for it can be processed");
  EXPECT_EQ(server->LastError().toStdString(), notReady);
  EXPECT_EQ(task.Ask("FEEDBACK|I1|1"), "ERROR|Instance type I1 must be started before feedback can be applied to it");
  EXPECT_EQ(server->LastError().toStdString(), notReady);
}

TEST_F(ServerTest, SingleAndMultiValueFeedbackAndState) {
  Serve();
  auto task = Started();
  task->Send("ALTERNATIVE|I1|Option|1");
  task->Send("ALTERNATIVE|I1|Option|2");
  const auto decision = korvane::task::SplitFields(task->Line());
  ASSERT_EQ(decision[0], "DECISION");
  // Single-value feedback without a value is refused and changes nothing.
  EXPECT_EQ(task->Ask("FEEDBACK|I1"), "ERROR|Protocol error: FEEDBACK message must hold a value");
  EXPECT_EQ(Sql(server->ExperimentPath(), "SELECT COUNT(*) FROM MetaInstance WHERE Marker = 'FEED'"), "0");
  // Single-value feedback with two values is refused by the model, which
  // stays usable.
  EXPECT_EQ(task->Ask("FEEDBACK|I1|4|5"),
            "ERROR|Model is expecting one feedback value, but received 2. If this is not the case, change the "
            "feedback type in the model.");
  task->Send("FEEDBACK|I1|7");
  // The executed instance now holds the outcome 7 as its utility.
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return Sql(server->ExperimentPath(), "SELECT COUNT(*) FROM I1 WHERE X_Subject = 1 AND U_Value_Real = 7") == "1"; },
      2000));
  // STATE: feedback for the last decision and the next trial's first cue.
  task->Send("STATE|I1|Option|1");
  EXPECT_TRUE(task->Quiet());
  task->Send("CUES|I1|Option|2");
  EXPECT_EQ(task->Line().rfind("DECISION|", 0), 0u);
  EXPECT_EQ(task->Ask("STATE|I1|Option"), "ERROR|Protocol error: STATE message must hold name and value pairs");

  // Multi-value feedback: the model's FEEDBACK formula computes the outcome.
  server.reset();
  Serve([](nlohmann::json& m) {
    m["settings"]["I1_FeedbackType"] = 1;
    m["instance_types"][0]["formulas"]["FEEDBACK"] = "O = Points * 2";
  });
  task = Started();
  task->Send("ALTERNATIVE|I1|Option|1");
  task->Send("ALTERNATIVE|I1|Option|2");
  ASSERT_EQ(task->Line().rfind("DECISION|", 0), 0u);
  task->Send("FEEDBACK|I1|Points|6");
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return Sql(server->ExperimentPath(), "SELECT COUNT(*) FROM I1 WHERE X_Subject = 1 AND U_Value_Real = 12") == "1"; },
      2000));
  EXPECT_EQ(task->Ask("FEEDBACK|I1|Points"), "ERROR|Protocol error: FEEDBACK message must hold name and value pairs");

  // A field made of the unset marker (one NUL character) is a null value:
  // the feedback formula takes it as no number and falls back.
  server.reset();
  Serve([](nlohmann::json& m) {
    m["settings"]["I1_FeedbackType"] = 1;
    m["instance_types"][0]["formulas"]["FEEDBACK"] = "O = IIF(Points > 0, Points, 9)";
  });
  task = Started();
  task->Send("ALTERNATIVE|I1|Option|1");
  task->Send("ALTERNATIVE|I1|Option|2");
  ASSERT_EQ(task->Line().rfind("DECISION|", 0), 0u);
  task->SendRaw(QByteArray("FEEDBACK|I1|Points|\0\r\n", 22));
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return Sql(server->ExperimentPath(), "SELECT COUNT(*) FROM I1 WHERE X_Subject = 1 AND U_Value_Real = 9") == "1"; },
      2000));
}

TEST_F(ServerTest, FramingOverTheSocket) {
  Serve();
  LineClient task(server->Port(), true);
  // Two messages in one arrival, both answered in order.
  task.SendRaw("CUE|I1\r\nIDLE|I1\r\n");
  EXPECT_EQ(task.Line(), "ERROR|Korvane does not understand the command CUE");
  EXPECT_EQ(task.Line(), "ERROR|Korvane does not understand the command IDLE");
  // One message in two arrivals, handled once and whole.
  task.SendRaw("HE");
  EXPECT_TRUE(task.Quiet());
  task.SendRaw("LO|I1\r\n");
  EXPECT_EQ(task.Line(), "ERROR|Korvane does not understand the command HELO");
  EXPECT_TRUE(task.Quiet());
  // A line past 64 KiB is refused and the next line is read as usual.
  task.SendRaw(QByteArray(70 * 1024, 'x') + "\r\nCUE|I1\r\n");
  EXPECT_EQ(task.Line(), "ERROR|Protocol error: line longer than 65536 bytes was dropped");
  EXPECT_EQ(task.Line(), "ERROR|Korvane does not understand the command CUE");
  EXPECT_EQ(server->LastError().toStdString(), "Unknown command CUE from task");
}

TEST_F(ServerTest, LinesEndedByLineFeedAloneAreAnsweredWithCarriageReturnLineFeed) {
  Serve();
  LineClient task(server->Port(), true);
  // A whole subject's exchange from a script that ends its lines with LF,
  // one line split over two arrivals and one with CR LF among them.
  task.SendRaw("START|I1\n");
  std::string line;
  do line = task.Line(); while (line.rfind("CUESIZE", 0) != 0 && line != "<nothing>");
  EXPECT_EQ(line, "CUESIZE|I1|1");
  task.SendRaw("ALTERNATIVE|I1|Option|1\nALTERN");
  task.SendRaw("ATIVE|I1|Option|2\r\n");
  const std::string decision = task.Line();
  EXPECT_EQ(decision.rfind("DECISION|Choice|", 0), 0u) << decision;
  task.SendRaw("FEEDBACK|I1|3\nSTOP|I1\n");
  EXPECT_TRUE(task.Quiet());
  EXPECT_EQ(Sql(server->ExperimentPath(), "SELECT COUNT(*) FROM MetaInstance WHERE Marker = 'FEED'"), "1");
  // Every reply ended with CR LF: no LF arrived without its CR.
  ASSERT_FALSE(task.received.empty());
  for (std::size_t i = 0; i < task.received.size(); ++i)
    if (task.received[i] == '\n') {
      EXPECT_TRUE(i > 0 && task.received[i - 1] == '\r') << "bare LF at " << i;
    }
  EXPECT_EQ(task.received.substr(task.received.size() - 2), "\r\n");
  // A line past the limit ended by LF alone is dropped, the next one read.
  task.SendRaw(QByteArray(70 * 1024, 'x') + "\nCUE|I1\n");
  EXPECT_EQ(task.Line(), "ERROR|Protocol error: line longer than 65536 bytes was dropped");
  EXPECT_EQ(task.Line(), "ERROR|Korvane does not understand the command CUE");
}

TEST_F(ServerTest, TaskLeavingMidTrialLeavesAnIntactExperiment) {
  Serve();
  {
    auto task = Started();
    task->Send("ALTERNATIVE|I1|Option|1");
    task->Send("ALTERNATIVE|I1|Option|2");
    ASSERT_EQ(task->Line().rfind("DECISION|", 0), 0u);
    task->Send("FEEDBACK|I1|3");
    task->Send("ALTERNATIVE|I1|Option|2");  // a trial left half done
    QTest::qWait(50);
    task->socket.abort();
  }
  EXPECT_TRUE(QTest::qWaitFor([&] { return !server->IsConnected(); }, 2000));
  EXPECT_TRUE(server->IsListening());
  const std::string first = server->ExperimentPath();

  // Listening again: the next task gets a new experiment.
  LineClient next(server->Port(), true);
  EXPECT_EQ(next.batch.value_or(""), "BATCH|100");
  EXPECT_NE(server->ExperimentPath(), first);
  EXPECT_EQ(Sql(first, "PRAGMA integrity_check"), "ok");
  // The task left without STOP: the trace got its indexes all the same.
  EXPECT_EQ(Sql(first, "SELECT COUNT(*) FROM sqlite_master WHERE type = 'index' AND tbl_name = 'MetaInstance'"),
            "5");
  EXPECT_EQ(Sql(first, "SELECT COUNT(*) FROM MetaInstance WHERE Marker = 'EXEC'"), "1");
  EXPECT_EQ(Sql(first, "SELECT COUNT(*) FROM MetaInstance WHERE Marker = 'FEED'"), "1");
  EXPECT_TRUE(dialogs->Shown().empty());
}

TEST_F(ServerTest, SecondConnectionReplacesTheFirstAndNumbersTheCopies) {
  Serve();
  QSignalSpy experiments(server.get(), &TaskServer::experimentStarted);
  LineClient first(server->Port(), true);
  EXPECT_EQ(first.batch.value_or(""), "BATCH|100");
  first.Send("START|I1");
  EXPECT_EQ(first.Line(), "HELO|Korvane binary choice, simulation 1");

  LineClient second(server->Port(), true);
  EXPECT_EQ(second.batch.value_or(""), "BATCH|100");
  // It takes over with its first message; it starts without an executor.
  EXPECT_EQ(second.Ask("CUES|I1|Option|1"), "ERROR|Instance type I1 must be started before cues for it can be processed");
  EXPECT_TRUE(first.WaitClosed());
  EXPECT_EQ(server->ConnectionCount(), 2);
  // The count of HELO strings goes on.
  second.Send("START|I1");
  EXPECT_EQ(second.Line(), "HELO|Korvane binary choice, simulation 2");
  ASSERT_EQ(experiments.count(), 2);
  const std::string day = korvane::TodayStamp();
  EXPECT_EQ(experiments[0][0].toString().toStdString(), temp.File("Example-" + day + "-1.mdb"));
  EXPECT_EQ(experiments[1][0].toString().toStdString(), temp.File("Example-" + day + "-2.mdb"));
  // A copy file that exists is never reused.
  server.reset();
  Serve();
  LineClient third(server->Port(), true);
  third.Send("START|I1");
  EXPECT_EQ(third.Line(), "HELO|Korvane binary choice, simulation 1");
  EXPECT_EQ(server->ExperimentPath(), temp.File("Example-" + day + "-3.mdb"));
}

TEST_F(ServerTest, FailureWhileHandlingDisconnectsAndListensAgain) {
  // A utility update that divides by 0 fails at the first feedback.
  Serve([](nlohmann::json& m) {
    m["settings"]["I1_UtilityUpdateType"] = 2;
    m["settings"]["I1_UtilityUpdateFormula"] = "U = O / (G - G)";
  });
  auto task = Started();
  task->Send("ALTERNATIVE|I1|Option|1");
  task->Send("ALTERNATIVE|I1|Option|2");
  ASSERT_EQ(task->Line().rfind("DECISION|", 0), 0u);
  task->Send("FEEDBACK|I1|3");
  EXPECT_TRUE(task->WaitClosed());
  ASSERT_EQ(dialogs->Shown().size(), 1u);
  EXPECT_EQ(dialogs->Shown()[0].text.rfind("Simulation stopped because", 0), 0u) << dialogs->Shown()[0].text;
  EXPECT_EQ(server->Status().toStdString(), "ERROR");
  EXPECT_EQ(server->Executor(), nullptr);
  LineClient next(server->Port(), true);
  EXPECT_EQ(next.batch.value_or(""), "BATCH|100");
}

TEST_F(ServerTest, ListenAddressComesFromTheModelOrTheCaller) {
  model = MakeModel(temp.File("Any.mdb"), [](nlohmann::json& m) { m["settings"]["Params_Listen"] = "0.0.0.0"; });
  korvane::task::ServerOptions options;
  options.modelPath = model;
  options.port = 0;
  {
    TaskServer any(options);
    QSignalSpy lines(&any, &TaskServer::logLine);
    ASSERT_TRUE(any.Start());
    EXPECT_EQ(any.ListenAddress(), QHostAddress(QHostAddress::AnyIPv4));
    EXPECT_EQ(lines[0][0].toString().toStdString(), "Listening at 0.0.0.0:" + std::to_string(any.Port()));
    EXPECT_EQ(lines[1][0].toString(), "Awaiting connection from a task...");
    LineClient task(any.Port(), true);
    EXPECT_EQ(task.batch.value_or(""), "BATCH|100");
  }
  options.listenAddress = "not an address";
  TaskServer bad(options);
  EXPECT_FALSE(bad.Start());
  EXPECT_FALSE(bad.IsListening());
  options.modelPath = temp.File("missing.mdb");
  options.listenAddress.reset();
  TaskServer missing(options);
  EXPECT_FALSE(missing.Start());
}
