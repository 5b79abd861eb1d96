// ExecuteScreen.h: frmExecute, where the model meets a task.
//
// Opening the screen starts a TaskServer on the model (listening on the
// model's port); the screen shows what the server reports: the log (the last
// lines only, so a long run does not swamp the window), the status word on
// its colour, the instance type, subject and trial being simulated, the last
// error and the experiment database of the current run. The server does the
// work; the screen never touches the socket or the executor itself.
#pragma once

#include <QPointer>
#include <memory>

#include "editor/Screen.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace korvane::task {
class TaskServer;
}

namespace korvane::editor {

class frmExecute : public Screen {
  Q_OBJECT

 public:
  explicit frmExecute(ScreenHost& host);
  ~frmExecute() override;

  // The on-screen log holds at most this many characters before a new line
  // cuts it to the last kLogKeep.
  static constexpr int kLogLimit = 50000;
  static constexpr int kLogKeep = 10000;

  // A line from the screen itself: to the log file (through the server) and
  // the on-screen log.
  void AddLog(const QString& text, int level);
  // Appends a line to the on-screen log only (trimming it first).
  void AppendLog(const QString& text, int level);

  task::TaskServer* Server() const { return server_.get(); }

 protected:
  void Load() override;
  void Unload() override;
  // True when the screen may be left (no task connected, or the researcher
  // agreed to cut it off).
  bool ConfirmLeaving() override;

 private:
  void SetStatus(const QString& status);
  void OnExperimentStarted(const QString& path);
  void OnDebugToggled(bool on);
  // Starts listening (again); on failure the reason is the last error and
  // Listen Again is offered.
  void Listen();
  void ShowDatabase();
  void CopyDatabasePath();

  std::unique_ptr<task::TaskServer> server_;
  QString experimentPath_;
  QPlainTextEdit* tbLog_ = nullptr;
  QLineEdit* tbStatus_ = nullptr;
  QLineEdit* tbExecutingInstance_ = nullptr;
  QLineEdit* tbSimulatingSubjectID_ = nullptr;
  QLineEdit* tbTrialNumber_ = nullptr;
  QLabel* lLastError_ = nullptr;
  QLabel* lExperimentalDatabase_ = nullptr;
  QPushButton* btnShowDatabase_ = nullptr;
  QPushButton* cbCopyDatabasePath_ = nullptr;
  QPushButton* btnReset_ = nullptr;
  QPushButton* btnListen_ = nullptr;
  QPushButton* btnSaveLog_ = nullptr;
  QCheckBox* optDebug_ = nullptr;
};

}  // namespace korvane::editor
