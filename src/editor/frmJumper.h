// frmJumper.h: the main window.
//
// The one window that lives as long as the program runs. It owns the File
// and Help menus, the column of thirteen jumper buttons that open the model's
// screens, the label naming the open model (lblDatabase) and the recent-file
// list, and drives DatabaseManager for New, Open, Recent, Save, Save As and
// Close. Screens are shown one at a time in the area beside the buttons (see
// Screen.h); every file command closes the open screen first.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QSize>
#include <QUrl>
#include <functional>
#include <vector>

#include "editor/RecentFiles.h"
#include "editor/Screen.h"

class QAction;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace korvane::editor {

// What a file dialog is asked for, so that tests can answer it.
struct FileRequest {
  enum class Kind { Open, Save };
  Kind kind = Kind::Open;
  QString title;       // "New Model", "Open Model", "Save Model As"
  QString folder;      // where the dialog starts
  QString presetPath;  // a file name the dialog starts with ("" for none)
};
// Returns the chosen path, or "" when the dialog was cancelled.
using FileChooser = std::function<QString(const FileRequest&)>;
// Opens a document or web address with the desktop's default application.
using UrlOpener = std::function<bool(const QUrl&)>;

class frmJumper : public QMainWindow, public ScreenHost {
  Q_OBJECT

 public:
  static constexpr int kJumperCount = 13;

  explicit frmJumper(QWidget* parent = nullptr);
  ~frmJumper() override;

  // Replaces the file dialog (tests answer it themselves).
  void SetFileChooser(FileChooser chooser) { chooseFile_ = std::move(chooser); }
  void SetUrlOpener(UrlOpener opener) { openUrl_ = std::move(opener); }

  // Warns, with an information box, when a screen of that size is smaller
  // than the screens are laid out for. True when it warned.
  bool CheckScreenSize(const QSize& screen);

  // ScreenHost
  void ShowScreen(int index) override;
  void EvaluateDatabaseState() override;
  QWidget* DialogParent() override { return this; }

  // Closes every open screen except the one of that form name (compared
  // without regard to case); with end set, then closes the main window.
  void UnloadAllFormsExcept(const QString& formName, bool end = false);
  void UnloadAllForms(bool end = false) { UnloadAllFormsExcept(QString(), end); }

  // The screen now shown, or null.
  Screen* CurrentScreen() const { return current_; }
  const RecentFiles& Recent() const { return recent_; }
  // The text after "v" in the caption: major.minor.revision.
  static QString VersionText();

 public slots:
  void NewModel();
  void OpenModel();
  // Opens the model file at path, as File > Open does once a file is chosen
  // (`korvane FILE.mdb`, a file opened from the desktop).
  void OpenModelFile(const QString& path);
  void OpenRecent(int index);
  void SaveModel();
  void SaveModelAs();
  void CloseModel();
  void ShowUserManual();
  void ReportBug();
  void ShowAbout();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildMenus();
  void BuildCentral();
  void SyncRecentFilesMenu();
  void UpdateRecentFiles(const QString& path);
  void ShowWelcome(bool open, int instanceTypes);
  void SetDatabaseLabel(const QString& path);  // "" for "No Model Open"
  void CloseCurrentModel();
  QString ChooseFile(FileRequest::Kind kind, const QString& title, const QString& folder);
  QString StartFolder() const;

  FileChooser chooseFile_;
  UrlOpener openUrl_;
  RecentFiles recent_;
  QString presetPath_;  // preset for the next file dialog (Recent -> New)

  QAction* mnuClose_ = nullptr;
  QAction* mnuSave_ = nullptr;
  QAction* mnuSaveAs_ = nullptr;
  QAction* mnuRecentSeparator_ = nullptr;
  std::vector<QAction*> mnuRecent_;
  std::vector<QPushButton*> jumpers_;
  QLabel* lblDatabase_ = nullptr;
  QWidget* screenArea_ = nullptr;
  QVBoxLayout* screenLayout_ = nullptr;
  QLabel* lblWelcome_ = nullptr;
  QPointer<Screen> current_;
};

// The About box: program title, version, and the versions of the protocol,
// the formula grammar and the database schema.
QString AboutVersionLine();

}  // namespace korvane::editor
