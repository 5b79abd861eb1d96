// ExecuteScreen.cpp: frmExecute.
#include "editor/ExecuteScreen.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDesktopServices>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextCursor>
#include <QUrl>
#include <QVBoxLayout>

#include "editor/CodeFont.h"
#include "editor/ExperimentFiles.h"
#include "store/Database.h"
#include "task/TaskServer.h"
#include "util/Dialogs.h"
#include "util/Log.h"

namespace korvane::editor {

namespace {

QLineEdit* ReadOnlyBox(const QString& name, QWidget* parent) {
  auto* box = new QLineEdit(parent);
  box->setObjectName(name);
  box->setReadOnly(true);
  box->setFocusPolicy(Qt::ClickFocus);
  return box;
}

}  // namespace

frmExecute::frmExecute(ScreenHost& host) : Screen(host, 10, "frmExecute", "RTF_EXECUTE", tr("Execute")) {
  setWindowTitle(tr("Execute"));
  auto* state = new QGroupBox(tr("Simulation"), this);
  state->setObjectName("fraSimulation");
  auto* grid = new QGridLayout(state);
  grid->addWidget(new QLabel(tr("Status:"), state), 0, 0);
  tbStatus_ = ReadOnlyBox("tbStatus", state);
  tbStatus_->setAlignment(Qt::AlignCenter);
  tbStatus_->setAutoFillBackground(true);
  QFont statusFont = tbStatus_->font();
  statusFont.setBold(true);
  tbStatus_->setFont(statusFont);
  grid->addWidget(tbStatus_, 0, 1);
  grid->addWidget(new QLabel(tr("Instance type:"), state), 0, 2);
  tbExecutingInstance_ = ReadOnlyBox("tbExecutingInstance", state);
  grid->addWidget(tbExecutingInstance_, 0, 3);
  grid->addWidget(new QLabel(tr("Subject:"), state), 1, 0);
  tbSimulatingSubjectID_ = ReadOnlyBox("tbSimulatingSubjectID", state);
  grid->addWidget(tbSimulatingSubjectID_, 1, 1);
  grid->addWidget(new QLabel(tr("Trial:"), state), 1, 2);
  tbTrialNumber_ = ReadOnlyBox("tbTrialNumber", state);
  grid->addWidget(tbTrialNumber_, 1, 3);
  grid->addWidget(new QLabel(tr("Last error:"), state), 2, 0);
  lLastError_ = new QLabel(state);
  lLastError_->setObjectName("lLastError");
  lLastError_->setWordWrap(true);
  lLastError_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  grid->addWidget(lLastError_, 2, 1, 1, 3);
  grid->addWidget(new QLabel(tr("Experiment database:"), state), 3, 0);
  lExperimentalDatabase_ = new QLabel(state);
  lExperimentalDatabase_->setObjectName("lExperimentalDatabase");
  lExperimentalDatabase_->setWordWrap(true);
  lExperimentalDatabase_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  grid->addWidget(lExperimentalDatabase_, 3, 1, 1, 3);
  auto* databaseButtons = new QHBoxLayout;
  btnShowDatabase_ = new QPushButton(tr("&Show in Folder"), state);
  btnShowDatabase_->setObjectName("btnShowDatabase");
  cbCopyDatabasePath_ = new QPushButton(tr("&Copy Path"), state);
  cbCopyDatabasePath_->setObjectName("cbCopyDatabasePath");
  databaseButtons->addWidget(btnShowDatabase_);
  databaseButtons->addWidget(cbCopyDatabasePath_);
  databaseButtons->addStretch(1);
  grid->addLayout(databaseButtons, 4, 1, 1, 3);
  grid->setColumnStretch(1, 1);
  grid->setColumnStretch(3, 1);
  Body()->addWidget(state);

  tbLog_ = new QPlainTextEdit(this);
  tbLog_->setObjectName("tbLog");
  tbLog_->setReadOnly(true);
  tbLog_->setLineWrapMode(QPlainTextEdit::NoWrap);
  tbLog_->setFont(CodeFont());
  tbLog_->setUndoRedoEnabled(false);
  Body()->addWidget(tbLog_, 1);

  auto* logButtons = new QHBoxLayout;
  // A port that was busy when the screen opened can be tried again.
  btnListen_ = new QPushButton(tr("Listen &Again"), this);
  btnListen_->setObjectName("btnListen");
  btnListen_->setVisible(false);
  logButtons->addWidget(btnListen_);
  optDebug_ = new QCheckBox(tr("&Debug mode (log everything to the log file)"), this);
  optDebug_->setObjectName("optDebug");
  btnReset_ = new QPushButton(tr("C&lear Log"), this);
  btnReset_->setObjectName("btnReset");
  btnSaveLog_ = new QPushButton(tr("Sa&ve Log"), this);
  btnSaveLog_->setObjectName("btnSaveLog");
  logButtons->addWidget(optDebug_);
  logButtons->addStretch(1);
  logButtons->addWidget(btnReset_);
  logButtons->addWidget(btnSaveLog_);
  Body()->addLayout(logButtons);

  connect(btnReset_, &QPushButton::clicked, this, [this] {
    tbLog_->clear();
    btnReset_->setEnabled(false);
  });
  connect(btnSaveLog_, &QPushButton::clicked, this, [this] {
    if (server_) server_->WriteLog(true);
  });
  connect(optDebug_, &QCheckBox::toggled, this, &frmExecute::OnDebugToggled);
  connect(btnListen_, &QPushButton::clicked, this, &frmExecute::Listen);
  connect(btnShowDatabase_, &QPushButton::clicked, this, &frmExecute::ShowDatabase);
  connect(cbCopyDatabasePath_, &QPushButton::clicked, this, &frmExecute::CopyDatabasePath);
}

frmExecute::~frmExecute() { CloseScreen(); }

void frmExecute::Load() {
  LogShared("ENTERING EXECUTION FORM", 1);
  btnShowDatabase_->setEnabled(false);
  cbCopyDatabasePath_->setEnabled(false);
  btnReset_->setEnabled(!tbLog_->document()->isEmpty());
  tbExecutingInstance_->setText("N/A");
  lExperimentalDatabase_->setText("N/A");
  lLastError_->setText("N/A");
  tbSimulatingSubjectID_->clear();
  tbTrialNumber_->clear();
  SetStatus("IDLE");
  {
    const QSignalBlocker block(optDebug_);
    optDebug_->setChecked(false);
  }

  task::ServerOptions options;
  options.modelPath = Db()->Path();
  server_ = std::make_unique<task::TaskServer>(std::move(options));
  task::TaskServer* server = server_.get();
  connect(server, &task::TaskServer::logLine, this, &frmExecute::AppendLog);
  connect(server, &task::TaskServer::statusChanged, this, &frmExecute::SetStatus);
  connect(server, &task::TaskServer::executingInstanceChanged, tbExecutingInstance_, &QLineEdit::setText);
  connect(server, &task::TaskServer::subjectChanged, this,
          [this](int subject) { tbSimulatingSubjectID_->setText(QString::number(subject)); });
  connect(server, &task::TaskServer::trialChanged, this,
          [this](int trial) { tbTrialNumber_->setText(QString::number(trial)); });
  connect(server, &task::TaskServer::lastErrorChanged, lLastError_, &QLabel::setText);
  connect(server, &task::TaskServer::experimentStarted, this, &frmExecute::OnExperimentStarted);
  connect(server, &task::TaskServer::alert, this, [] { QApplication::beep(); });
  Listen();
}

void frmExecute::Listen() {
  if (!server_) return;
  const bool listening = server_->IsListening() || server_->Start();
  if (!listening) {
    lLastError_->setText(server_->LastError());
    SetStatus("ERROR");
  } else if (server_->Status() == "IDLE") {
    SetStatus("IDLE");
  }
  btnListen_->setVisible(!listening);
}

void frmExecute::Unload() {
  if (server_) {
    server_->disconnect(this);
    server_->Close();
    server_.reset();
  }
  LogShared("LEAVING EXECUTION FORM", 1);
}

void frmExecute::AddLog(const QString& text, int level) {
  if (server_) {
    server_->AddLog(text.toStdString(), level);  // comes back through logLine
  } else {
    LogShared(text.toStdString(), level);
    AppendLog(text, level);
  }
}

void frmExecute::AppendLog(const QString& text, int level) {
  QTextDocument* document = tbLog_->document();
  // characterCount() counts the final paragraph separator as well.
  if (document->characterCount() - 1 > kLogLimit) {
    const QString kept = tbLog_->toPlainText().right(kLogKeep);
    tbLog_->setPlainText(kept);
  }
  QTextCursor cursor(document);
  cursor.movePosition(QTextCursor::End);
  cursor.insertText(text + "\n");
  tbLog_->verticalScrollBar()->setValue(tbLog_->verticalScrollBar()->maximum());
  btnReset_->setEnabled(true);
  if (level >= 3) lLastError_->setText(text.trimmed());
}

void frmExecute::SetStatus(const QString& status) {
  tbStatus_->setText(status);
  QColor colour = Qt::white;
  if (status == "RUN") colour = QColor(0, 192, 0);
  if (status == "ERROR") colour = QColor(230, 0, 0);
  QPalette palette = tbStatus_->palette();
  palette.setColor(QPalette::Base, colour);
  palette.setColor(QPalette::Text, status == "IDLE" ? QColor(Qt::black) : QColor(Qt::white));
  tbStatus_->setPalette(palette);
}

void frmExecute::OnExperimentStarted(const QString& path) {
  experimentPath_ = path;
  if (server_) NoteNewExperiment(QString::fromStdString(server_->ModelPath()), path);
  lExperimentalDatabase_->setText(path);
  btnShowDatabase_->setEnabled(true);
  cbCopyDatabasePath_->setEnabled(true);
}

void frmExecute::OnDebugToggled(bool on) {
  if (!server_) return;
  if (on) {
    const DialogAnswer answer = CurrentDialogs().Ask(
        "Debug mode will log everything to the log file, and \r\nmay produce *very* large logs. This option "
        "is not \r\nrecommended for slow computers.\r\n\r\nAre you sure you want to turn debug mode on?",
        DialogButtons::YesNo, DialogAnswer::No);
    if (answer != DialogAnswer::Yes) {
      const QSignalBlocker block(optDebug_);
      optDebug_->setChecked(false);
      return;
    }
  }
  server_->SetDebug(on);
}

void frmExecute::ShowDatabase() {
  if (experimentPath_.isEmpty()) return;
  btnShowDatabase_->setEnabled(false);
  const QFileInfo file(experimentPath_);
  if (!QDesktopServices::openUrl(QUrl::fromLocalFile(file.absolutePath()))) {
    CurrentDialogs().Message("Could not open the folder " + file.absolutePath().toStdString() +
                                 " in the file browser. The experiment database is " +
                                 file.absoluteFilePath().toStdString(),
                             DialogIcon::Warning);
  }
  btnShowDatabase_->setEnabled(true);
}

void frmExecute::CopyDatabasePath() {
  if (experimentPath_.isEmpty()) return;
  QGuiApplication::clipboard()->setText(QFileInfo(experimentPath_).absoluteFilePath());
}

bool frmExecute::ConfirmLeaving() {
  if (!server_ || !server_->IsConnected()) return true;
  const DialogAnswer answer = CurrentDialogs().Ask(
      "A task is currently connected to Korvane. If you move away from this form, that connection will be "
      "severed, and any ongoing simulation will be stopped.\r\nAre you sure you would like to disconnect "
      "and continue?",
      DialogButtons::YesNo, DialogAnswer::No, DialogIcon::Question, "Disconnect Current Connection?");
  return answer == DialogAnswer::Yes;
}

}  // namespace korvane::editor
