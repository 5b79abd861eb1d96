// Screen.h: the wizard screens of the main window and how they are shown.
//
// Every screen of a model (definition, population, the formula screens,
// parameters, execution, export, graph) is a Screen: a widget whose object
// name is its form name ("frmDefinition"), with a help pane on the left that
// shows its help resource (RTF_WELCOME, ...; see HelpText.h), a body on the
// right for its own controls, and a button row with Back and Next.
//
// The main window (frmJumper) is the ScreenHost. It shows one screen at a
// time inside itself, beside its column of jumper buttons; every jumper
// button and every file command first closes whatever screen is open. A
// screen takes its own connection to the current model database when it is
// opened (DatabaseManager::GetModelDatabase) and releases it when it is
// closed, so no screen ever holds a file that a file command closes, copies
// or replaces.
//
// Adding a screen:
//   1. Write one class derived from Screen. Its constructor passes the
//      ScreenHost, its wizard index (the table in Screens.cpp), its form name
//      and its help resource name to Screen, then builds its controls into
//      Body() (and extra buttons into ButtonRow()). Give every control an
//      object name, so tests can find it.
//   2. Override Load() to fill the controls from Db() (the screen's own
//      connection; never null inside Load()). Override CheckBeforeNext() when
//      Next must check something first, ConfirmLeaving() when Back and Next
//      must ask before leaving, CommitPendingInput() when typed input
//      is applied later than it is typed (grids), and Unload() to write
//      anything still pending before the connection is released.
//   3. Replace the screen's nullptr in the table in Screens.cpp with
//      MakeScreen<YourClass> (one line) and include its header there.
// Back shows the screen one index lower, Next the one one index higher; the
// first screen has no Back and the export screen's Next opens nothing
// (override HasBack()/HasNext() for others). Call Host().EvaluateDatabaseState()
// after a change that creates or removes an instance type.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

class QHBoxLayout;
class QLabel;
class QPushButton;
class QTextBrowser;
class QVBoxLayout;

namespace korvane::store {
class Database;
}

namespace korvane::editor {

class Screen;

// What a screen may ask of the window that shows it.
class ScreenHost {
 public:
  virtual ~ScreenHost() = default;
  // Closes the open screen and shows the screen of that wizard index.
  virtual void ShowScreen(int index) = 0;
  // Re-evaluates which commands and jumper buttons are usable.
  virtual void EvaluateDatabaseState() = 0;
  // The widget message boxes and modal dialogs should be centred over.
  virtual QWidget* DialogParent() = 0;
};

// One row of the screen table: wizard index = jumper button index.
struct ScreenEntry {
  int index;
  const char* caption;   // the jumper button's caption
  const char* formName;  // the screen's object name
  std::function<Screen*(ScreenHost&)> create;  // null: not part of this build
};

template <class T>
Screen* MakeScreen(ScreenHost& host) {
  return new T(host);
}

// Every screen in button order (defined in Screens.cpp).
const std::vector<ScreenEntry>& ScreenTable();
// The index of a form name (compared without regard to case), or -1.
int ScreenIndexOf(const QString& formName);
// The form name of an index ("" when out of range).
QString ScreenFormName(int index);
// The wizard index of the last screen Next leads to (the export screen).
constexpr int kLastWizardScreen = 11;

class Screen : public QWidget {
  Q_OBJECT

 public:
  Screen(ScreenHost& host, int index, const QString& formName, const QString& helpResource,
         const QString& heading = {});
  ~Screen() override;

  // Takes the screen's own connection and loads it. False (after a message
  // from the database layer) when no model is open or the file cannot be
  // opened; the screen then shows nothing and should be closed.
  bool OpenScreen();
  // Writes what is pending and releases the connection. Safe to call twice.
  void CloseScreen();
  bool IsOpen() const { return db_ != nullptr; }

  // The screen's own connection; null before OpenScreen and after CloseScreen.
  store::Database* Db() const { return db_.get(); }

 public slots:
  void GoBack();
  void GoNext();

 protected:
  virtual void Load() = 0;
  virtual bool CheckBeforeNext() { return true; }
  // Asked before Back or Next leave the screen; false stays on it.
  virtual bool ConfirmLeaving() { return true; }
  virtual void Unload() {}
  // Applies input the user has typed but not yet left (a grid cell being
  // edited); runs before Back, Next and closing.
  virtual void CommitPendingInput() {}
  virtual bool HasBack() const { return index_ > 0; }
  virtual bool HasNext() const { return index_ < kLastWizardScreen; }

  ScreenHost& Host() { return host_; }
  // Where the screen puts its own controls.
  QVBoxLayout* Body() { return body_; }
  // The button row below the body; Back and Next sit at its right end.
  QHBoxLayout* ButtonRow() { return buttonRow_; }

 private:
  ScreenHost& host_;
  int index_;
  QString helpResource_;
  std::unique_ptr<store::Database> db_;
  QTextBrowser* help_ = nullptr;
  QVBoxLayout* body_ = nullptr;
  QHBoxLayout* buttonRow_ = nullptr;
  QPushButton* btnBack_ = nullptr;
  QPushButton* btnNext_ = nullptr;
};

}  // namespace korvane::editor
