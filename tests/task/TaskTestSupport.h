// TaskTestSupport.h: a line client over real TCP, models made from the
// example's JSON text with a few settings changed, a look into a model or
// experiment file, and a fixture that serves such a model.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <QTcpSocket>
#include <QtTest/QTest>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "TestSupport.h"
#include "model/ExampleModels.h"
#include "task/LineFramer.h"
#include "task/TaskServer.h"
#include "model/ModelJson.h"
#include "util/Dialogs.h"
#include "util/Logger.h"

namespace korvane::test {

// A task as a test drives it: raw bytes out, whole lines in. Waiting keeps
// the event loop (and so the server in the same thread) running.
class LineClient {
 public:
  explicit LineClient(quint16 port, bool waitForBatch = false) {
    socket.connectToHost("127.0.0.1", port);
    QObject::connect(&socket, &QTcpSocket::readyRead, [this] {
      const QByteArray bytes = socket.readAll();
      received.append(bytes.constData(), static_cast<std::size_t>(bytes.size()));
      for (auto& p : framer.Feed(std::string_view(bytes.constData(), bytes.size())))
        lines.push_back(p.overLong ? std::string("<overlong>") : p.line);
    });
    (void)QTest::qWaitFor([this] { return socket.state() == QAbstractSocket::ConnectedState; }, 5000);
    if (waitForBatch) batch = ReadLine();
  }
  bool Connected() const { return socket.state() == QAbstractSocket::ConnectedState; }
  void SendRaw(const QByteArray& bytes) {
    socket.write(bytes);
    socket.flush();
  }
  void Send(const std::string& line) { SendRaw(QByteArray::fromStdString(line + "\r\n")); }
  // The next line, or nothing within the time.
  std::optional<std::string> ReadLine(int timeoutMs = 5000) {
    (void)QTest::qWaitFor([this] { return !lines.empty(); }, timeoutMs);
    if (lines.empty()) return std::nullopt;
    std::string line = lines.front();
    lines.pop_front();
    return line;
  }
  std::string Line(int timeoutMs = 5000) { return ReadLine(timeoutMs).value_or("<nothing>"); }
  // Sends and reads the one reply.
  std::string Ask(const std::string& line) {
    Send(line);
    return Line();
  }
  // True when nothing arrives within the time.
  bool Quiet(int ms = 200) {
    QTest::qWait(ms);
    return lines.empty();
  }
  bool WaitClosed(int timeoutMs = 5000) {
    return QTest::qWaitFor([this] { return socket.state() == QAbstractSocket::UnconnectedState; }, timeoutMs);
  }

  QTcpSocket socket;
  task::LineFramer framer;
  std::deque<std::string> lines;
  std::string received;  // every byte that arrived, line ends included
  std::optional<std::string> batch;
};

// The example model's JSON, changed by edit, imported as path.
inline std::string MakeModel(const std::string& path, const std::function<void(nlohmann::json&)>& edit = {}) {
  nlohmann::json model = nlohmann::json::parse(model::ExampleJson("binary-choice"));
  if (edit) edit(model);
  model::ImportModelJson(model.dump(), path);
  return path;
}

// The first column of the first row of a query on the file, opened read-only
// on a connection of its own; "" for no row, a null value or a failure.
inline std::string Sql(const std::string& path, const std::string& query) {
  sqlite3* db = nullptr;
  std::string result;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, query.c_str(), -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW &&
        sqlite3_column_text(stmt, 0))
      result = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    sqlite3_finalize(stmt);
  }
  sqlite3_close(db);
  return result;
}

// A server (not yet started) for model on a free loopback port, with the
// simulated clock and seed 7, as the task tests run it.
inline std::unique_ptr<task::TaskServer> MakeTestServer(const std::string& model) {
  task::ServerOptions options;
  options.modelPath = model;
  options.port = 0;
  options.executor.clock = engine::ClockKind::Simulated;
  options.executor.seed = 7;
  return std::make_unique<task::TaskServer>(options);
}

// Connects and starts subject 1 of I1, skipping BATCH, HELO and CUESIZE.
inline std::unique_ptr<LineClient> StartedClient(quint16 port) {
  auto client = std::make_unique<LineClient>(port, true);
  client->Send("START|I1");
  while (true) {
    auto line = client->ReadLine();
    if (!line || line->rfind("CUESIZE", 0) == 0) break;
  }
  return client;
}

// A test that serves the example model from a temporary folder, with the log
// there too and message boxes answered by a DialogsT, which the test can look
// into as `dialogs`.
template <class DialogsT = ScriptedDialogs>
class ServedModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLogFolder(temp.File("logs"));
    StartNewLog();
    dialogs = std::make_shared<DialogsT>();
    previous = SetDialogs(dialogs);
  }
  void TearDown() override {
    server.reset();
    SetDialogs(previous);
    SetLogFolder({});
  }

  // Serves the example model (changed by edit) on a free loopback port.
  task::TaskServer& Serve(const std::function<void(nlohmann::json&)>& edit = {}) {
    std::filesystem::remove(temp.File("Example.mdb"));
    model = MakeModel(temp.File("Example.mdb"), edit);
    server = MakeTestServer(model);
    if (std::getenv("KORVANE_TEST_VERBOSE"))
      QObject::connect(server.get(), &task::TaskServer::logLine, [](const QString& text, int level) {
        std::fprintf(stderr, "[%d] %s\n", level, text.toStdString().c_str());
      });
    EXPECT_TRUE(server->Start()) << server->LastError().toStdString();
    return *server;
  }

  // Connects and starts subject 1, skipping BATCH, HELO and CUESIZE.
  std::unique_ptr<LineClient> Started() { return StartedClient(server->Port()); }

  TempDir temp;
  std::string model;
  std::unique_ptr<task::TaskServer> server;
  std::shared_ptr<DialogsT> dialogs;
  std::shared_ptr<Dialogs> previous;
};

// A served run whose results are read from the experiment file once it is
// over: Finish ends the run and closes the server, Number reads one value.
class ServedRunTest : public ServedModelTest<> {
 protected:
  // The example model with PM = 0, a heuristic that acts on the option
  // offered, these priors (Option -> Value) and settings (null: the key
  // removed); subject 1 started.
  void ServeChoice(const std::vector<std::pair<int, double>>& priors, const nlohmann::json& settings) {
    Serve([&](nlohmann::json& m) {
      nlohmann::json& type = m["instance_types"][0];
      type["formulas"]["Option"] = "PM = 0";
      type["formulas"]["D_Choice_Integer_FAILURE"] = "D = ROUND(Cue.Option)";
      type["rows"] = nlohmann::json::array();
      for (auto [option, value] : priors)
        type["rows"].push_back({{"Option", option}, {"Choice", option}, {"Value", value}});
      for (auto& [key, value] : settings.items()) {
        if (value.is_null()) m["settings"].erase(key);
        else m["settings"][key] = value;
      }
    });
    task = Started();
    ASSERT_TRUE(task->Connected());
  }
  void Finish() {
    experiment = server->ExperimentPath();
    task->Send("STOP");
    task->Quiet(200);
    task.reset();
    server.reset();
  }
  double Number(const std::string& query) {
    const std::string text = Sql(experiment, query);
    EXPECT_FALSE(text.empty()) << query;
    return text.empty() ? std::nan("") : std::stod(text);
  }
  static double Age(double ms) { return std::pow(ms, -0.5); }

  std::unique_ptr<LineClient> task;
  std::string experiment;
};

}  // namespace korvane::test
