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

#include <QMessageBox>
#include <QTimer>

#include "ModelScreenFixture.h"
#include "editor/ExecuteScreen.h"
#include "editor/QtDialogs.h"
#include "store/MetaSimilarity.h"
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
  ASSERT_TRUE(WaitFor([&] { return Find<QPushButton>(&screen, "cbCopyDatabasePath")->isEnabled(); }));
  const QString experiment = Find<QLabel>(&screen, "lExperimentalDatabase")->text();
  EXPECT_TRUE(experiment.startsWith(QString::fromStdString(dir_.File("Choice-")))) << experiment.toStdString();
  Find<QPushButton>(&screen, "cbCopyDatabasePath")->click();
  EXPECT_EQ(QGuiApplication::clipboard()->text(), experiment);

  const QString helo = Exchange(task, "START|I1");
  EXPECT_FALSE(helo.startsWith("ERROR")) << helo.toStdString();
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

// Real message boxes during a failing run: a watcher presses OK on each box
// after a while, as a person would, and counts the boxes open at once. A
// nested event loop would handle the second pending line and open a second
// box over the first.
TEST_F(ExecuteScreenTest, FailingRunWithLinesPendingShowsOneRealMessage) {
  // One decision formula for both outcomes, and nothing is ever retrieved:
  // the formula meets a failed retrieval, where Memory.Option is undefined.
  SetSetting("I1_DecisionType", Variant(0));
  SetSetting("Params_Delta_Value", Variant(1000));
  SetSetting("Params_Delta_Cmp", Variant(">"));
  {
    auto db = Model();
    store::SetSimilarityFormula(db.get(), "I1", "GLOBAL_DECISION", "D = ROUND(Memory.Option)");
    db->Close();
  }
  auto real = std::make_shared<editor::QtDialogs>();
  auto scripted = SetDialogs(real);

  frmExecute screen(host_);
  ASSERT_TRUE(screen.OpenScreen());
  screen.show();
  QStringList texts;
  int openAtOnce = 0;
  QTimer watcher;
  watcher.setInterval(150);
  QObject::connect(&watcher, &QTimer::timeout, [&] {
    QList<QMessageBox*> open;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(widget);
      if (box && box->isVisible()) open << box;
    }
    openAtOnce = std::max(openAtOnce, static_cast<int>(open.size()));
    for (QMessageBox* box : open) {
      if (box->property("seen").toBool()) {
        box->button(QMessageBox::Ok)->click();  // seen on the last tick: read, now closed
      } else {
        box->setProperty("seen", true);
        texts << box->text();
      }
    }
  });
  watcher.start();

  QTcpSocket task;
  task.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port_));
  ASSERT_TRUE(WaitFor([&] { return task.state() == QAbstractSocket::ConnectedState; }));
  EXPECT_TRUE(ReadLine(task).startsWith("BATCH|"));
  task.write("START|I1\r\n");
  EXPECT_TRUE(ReadLine(task).startsWith("HELO|"));
  EXPECT_TRUE(ReadLine(task).startsWith("CUESIZE|"));
  // Both alternatives at once, as the sample task sends them.
  task.write("ALTERNATIVE|I1|Option|1\r\nALTERNATIVE|I1|Option|2\r\n");
  QStringList replies;
  ASSERT_TRUE(WaitFor([&] {
    while (task.canReadLine()) replies << QString::fromUtf8(task.readLine()).trimmed();
    return task.state() == QAbstractSocket::UnconnectedState;
  }));
  while (task.canReadLine()) replies << QString::fromUtf8(task.readLine()).trimmed();
  ASSERT_EQ(replies.size(), 1) << replies.join(" / ").toStdString();
  EXPECT_TRUE(replies[0].startsWith("ERROR|Simulation stopped: A formula failed")) << replies[0].toStdString();
  // Let the watcher close the box and any that would follow it.
  ASSERT_TRUE(WaitFor([&] { return !texts.isEmpty(); }));
  QTest::qWait(1000);
  watcher.stop();
  SetDialogs(scripted);

  ASSERT_EQ(texts.size(), 1) << texts.join(" / ").toStdString();
  EXPECT_EQ(openAtOnce, 1);
  EXPECT_TRUE(texts[0].startsWith("Simulation stopped because:")) << texts[0].toStdString();
  EXPECT_FALSE(texts[0].contains("(#")) << texts[0].toStdString();
  EXPECT_EQ(Find<QLineEdit>(&screen, "tbStatus")->text(), "ERROR");
  const QString lastError = Find<QLabel>(&screen, "lLastError")->text();
  EXPECT_FALSE(lastError.contains("#")) << lastError.toStdString();
  EXPECT_TRUE(lastError.contains("Memory.Option")) << lastError.toStdString();
  // The experiment is sound and the next task is taken.
  const QString experiment = Find<QLabel>(&screen, "lExperimentalDatabase")->text();
  {
    auto db = store::Database::Open(experiment.toStdString());
    auto check = db->OpenRecordset("PRAGMA integrity_check");
    EXPECT_EQ(check->Get(0).ToText(), "ok");
    check.reset();
    db->Close();
  }
  EXPECT_TRUE(screen.Server()->IsListening());
  QTcpSocket next;
  next.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port_));
  EXPECT_TRUE(ReadLine(next).startsWith("BATCH|"));
  screen.CloseScreen();
}

TEST_F(ExecuteScreenTest, BusyPortCanBeTriedAgain) {
  QTcpServer squatter;
  ASSERT_TRUE(squatter.listen(QHostAddress::LocalHost, static_cast<quint16>(port_)));
  frmExecute screen(host_);
  ASSERT_TRUE(screen.OpenScreen());
  screen.show();
  QPushButton* again = Find<QPushButton>(&screen, "btnListen");
  EXPECT_EQ(Find<QLineEdit>(&screen, "tbStatus")->text(), "ERROR");
  EXPECT_TRUE(again->isVisible());
  EXPECT_FALSE(screen.Server()->IsListening());
  squatter.close();
  again->click();
  EXPECT_TRUE(screen.Server()->IsListening());
  EXPECT_FALSE(again->isVisible());
  EXPECT_EQ(Find<QLineEdit>(&screen, "tbStatus")->text(), "IDLE");
  // A task that leaves mid-run leaves the status at IDLE, not RUN.
  QTcpSocket task;
  task.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port_));
  EXPECT_TRUE(ReadLine(task).startsWith("BATCH|"));
  task.write("START|I1\r\n");
  ASSERT_TRUE(WaitFor([&] { return Find<QLineEdit>(&screen, "tbStatus")->text() == "RUN"; }));
  task.disconnectFromHost();
  EXPECT_TRUE(WaitFor([&] { return Find<QLineEdit>(&screen, "tbStatus")->text() == "IDLE"; }));
  screen.CloseScreen();
}

}  // namespace
}  // namespace korvane::test
