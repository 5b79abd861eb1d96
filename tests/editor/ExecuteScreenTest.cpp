// Tests of the execution screen driven by a real task over 127.0.0.1: status,
// instance type, last error, the log view's trimming, debug mode, the
// experiment database's path, and the question when leaving with a task on.
#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>

#include "ModelScreenFixture.h"
#include "editor/ExecuteScreen.h"
#include "model/ExampleModels.h"
#include "task/TaskServer.h"

namespace korvane::test {
namespace {

using editor::frmExecute;

int FreePort() {
  QTcpServer probe;
  probe.listen(QHostAddress::LocalHost, 0);
  const int port = probe.serverPort();
  probe.close();
  return port;
}

class ExecuteScreenTest : public ModelScreenTest {
 protected:
  void SetUp() override {
    ModelScreenTest::SetUp();
    store::DatabaseManager::Instance().CloseModelDatabase();
    modelPath_ = dir_.File("Choice.mdb");
    model::CreateExampleModel("binary-choice", modelPath_);
    port_ = FreePort();
    SetSetting("Params_Port_Value", Variant(port_));
    ASSERT_TRUE(store::DatabaseManager::Instance().OpenModelDatabase(modelPath_));
    dialogs_->Clear();
  }

  // Sends one line and waits for the reply line.
  QString Exchange(QTcpSocket& socket, const QString& line) {
    socket.write((line + "\r\n").toUtf8());
    return ReadLine(socket);
  }
  QString ReadLine(QTcpSocket& socket) {
    WaitFor([&] { return socket.canReadLine(); }, 10000);
    return QString::fromUtf8(socket.readLine()).trimmed();
  }

  int port_ = 0;
};

TEST_F(ExecuteScreenTest, ShowsWhatTheTaskDoes) {
  frmExecute screen(host_);
  ASSERT_TRUE(screen.OpenScreen());
  screen.show();
  QLineEdit* status = Find<QLineEdit>(&screen, "tbStatus");
  EXPECT_EQ(status->text(), "IDLE");
  EXPECT_EQ(status->palette().color(QPalette::Base), QColor(Qt::white));
  EXPECT_EQ(Find<QLineEdit>(&screen, "tbExecutingInstance")->text(), "N/A");
  EXPECT_EQ(Find<QLabel>(&screen, "lExperimentalDatabase")->text(), "N/A");
  EXPECT_FALSE(Find<QPushButton>(&screen, "btnShowDatabase")->isEnabled());
  EXPECT_FALSE(Find<QPushButton>(&screen, "cbCopyDatabasePath")->isEnabled());
  ASSERT_NE(screen.Server(), nullptr);
  EXPECT_TRUE(screen.Server()->IsListening());
  QPlainTextEdit* log = Find<QPlainTextEdit>(&screen, "tbLog");
  EXPECT_TRUE(log->toPlainText().contains("Awaiting connection")) << log->toPlainText().toStdString();

  QTcpSocket task;
  task.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port_));
  ASSERT_TRUE(WaitFor([&] { return task.state() == QAbstractSocket::ConnectedState; }));
  EXPECT_TRUE(ReadLine(task).startsWith("BATCH|"));

  // The experiment copy is made at the task's first START.
  const QString helo = Exchange(task, "START|I1");
  EXPECT_FALSE(helo.startsWith("ERROR")) << helo.toStdString();
  ASSERT_TRUE(WaitFor([&] { return Find<QPushButton>(&screen, "cbCopyDatabasePath")->isEnabled(); }));
  const QString experiment = Find<QLabel>(&screen, "lExperimentalDatabase")->text();
  EXPECT_TRUE(experiment.startsWith(QString::fromStdString(dir_.File("Choice-")))) << experiment.toStdString();
  Find<QPushButton>(&screen, "cbCopyDatabasePath")->click();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), experiment);
  ASSERT_TRUE(WaitFor([&] { return status->text() == "RUN"; }));
  EXPECT_EQ(status->palette().color(QPalette::Base), QColor(0, 192, 0));
  EXPECT_EQ(Find<QLineEdit>(&screen, "tbExecutingInstance")->text(), "I1");

  // A message the protocol does not know is an error the screen shows.
  task.write("NONSENSE|1\r\n");
  bool error = false;
  WaitFor([&] {
    while (task.canReadLine()) error = error || QString::fromUtf8(task.readLine()).startsWith("ERROR|");
    return error;
  });
  EXPECT_TRUE(error);
  ASSERT_TRUE(WaitFor([&] { return Find<QLabel>(&screen, "lLastError")->text() != "N/A"; }));

  // Leaving while the task is connected asks first.
  dialogs_->QueueAnswer(DialogAnswer::No);
  Find<QPushButton>(&screen, "btnNext")->click();
  EXPECT_TRUE(host_.shown.empty());
  ASSERT_EQ(dialogs_->Shown().size(), 1u);
  EXPECT_EQ(dialogs_->Shown()[0].title, "Disconnect Current Connection?");
  dialogs_->QueueAnswer(DialogAnswer::Yes);
  Find<QPushButton>(&screen, "btnBack")->click();
  EXPECT_EQ(host_.shown, std::vector<int>{9});
  screen.CloseScreen();
  EXPECT_TRUE(WaitFor([&] { return task.state() == QAbstractSocket::UnconnectedState || task.atEnd(); }));
}

TEST_F(ExecuteScreenTest, LogViewIsTrimmedAndDebugModeAsks) {
  frmExecute screen(host_);
  ASSERT_TRUE(screen.OpenScreen());
  QPlainTextEdit* log = Find<QPlainTextEdit>(&screen, "tbLog");
  QPushButton* clear = Find<QPushButton>(&screen, "btnReset");
  clear->click();
  EXPECT_TRUE(log->toPlainText().isEmpty());
  EXPECT_FALSE(clear->isEnabled());
  const QString line = QString(99, 'x');
  for (int i = 0; i < 501; ++i) screen.AppendLog(line, 1);  // 501 x 100 characters
  EXPECT_TRUE(clear->isEnabled());
  EXPECT_EQ(log->toPlainText().size(), 50100);
  screen.AppendLog("last line", 1);
  EXPECT_EQ(log->toPlainText(), log->toPlainText().right(10000 + 10));
  EXPECT_EQ(log->toPlainText().size(), 10000 + 10);
  EXPECT_TRUE(log->toPlainText().endsWith("last line\n"));
  screen.AppendLog("Something broke", 3);
  EXPECT_EQ(Find<QLabel>(&screen, "lLastError")->text(), "Something broke");

  QCheckBox* debug = Find<QCheckBox>(&screen, "optDebug");
  dialogs_->QueueAnswer(DialogAnswer::No);
  debug->click();
  EXPECT_FALSE(debug->isChecked());
  EXPECT_FALSE(screen.Server()->Debug());
  ASSERT_EQ(dialogs_->Shown().size(), 1u);
  EXPECT_NE(dialogs_->Shown()[0].text.find("Are you sure you want to turn debug mode on?"), std::string::npos);
  dialogs_->QueueAnswer(DialogAnswer::Yes);
  debug->click();
  EXPECT_TRUE(debug->isChecked());
  EXPECT_TRUE(screen.Server()->Debug());
  debug->click();
  EXPECT_FALSE(screen.Server()->Debug());
  // Without a task, leaving does not ask.
  dialogs_->Clear();
  Find<QPushButton>(&screen, "btnNext")->click();
  EXPECT_EQ(host_.shown, std::vector<int>{11});
  EXPECT_TRUE(dialogs_->Shown().empty());
}

}  // namespace
}  // namespace korvane::test
