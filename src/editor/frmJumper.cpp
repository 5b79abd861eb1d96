// frmJumper.cpp: the main window, its file commands and its screens.
#include "editor/frmJumper.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include "editor/ExperimentFiles.h"
#include "engine/ModelExecutor.h"
#include "formula/FormulaProgram.h"
#include "store/Database.h"
#include "store/DatabaseManager.h"
#include "store/DatabaseVersioning.h"
#include "store/Schema.h"
#include "util/Dialogs.h"
#include "util/Files.h"

namespace korvane::editor {

namespace {

const char* const kTitle = "Korvane";
const char* const kNoModel = "No Model Open";
const char* const kFilter = "Korvane Models (*.mdb)";

std::string Std(const QString& text) { return text.toStdString(); }
QString FileNameOf(const QString& path) { return QFileInfo(path).fileName(); }

void Tell(const QString& text, DialogIcon icon = DialogIcon::Information, const QString& title = {}) {
  CurrentDialogs().Message(Std(text), icon, Std(title));
}

store::DatabaseManager& Manager() { return store::DatabaseManager::Instance(); }

}  // namespace

QString frmJumper::VersionText() { return QStringLiteral(KORVANE_VERSION); }

QString AboutVersionLine() {
  return QStringLiteral("%1 v%2  /  Protocol v%3  /  Grammar v%4  /  Database v%5")
      .arg(kTitle, frmJumper::VersionText())
      .arg(engine::ModelExecutor::ProtocolVersion())
      .arg(formula::FormulaProgram::GrammarVersion())
      .arg(store::CurrentSchemaVersion());
}

frmJumper::frmJumper(QWidget* parent) : QMainWindow(parent) {
  setObjectName("frmJumper");
  setWindowTitle(QStringLiteral("%1 v%2").arg(kTitle, VersionText()));
  chooseFile_ = [this](const FileRequest& request) {
    QString start = request.presetPath.isEmpty() ? request.folder : request.presetPath;
    if (request.kind == FileRequest::Kind::Open) {
      return QFileDialog::getOpenFileName(this, request.title, start, kFilter);
    }
    QFileDialog dialog(this, request.title, start, kFilter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix("mdb");
    // DatabaseManager asks before a file is overwritten, with its own words.
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    if (!request.presetPath.isEmpty()) dialog.selectFile(request.presetPath);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
    return dialog.selectedFiles().first();
  };
  openUrl_ = [](const QUrl& url) { return QDesktopServices::openUrl(url); };

  BuildMenus();
  BuildCentral();
  setMinimumSize(760, 560);
  resize(1000, 720);

  recent_.Load();
  SyncRecentFilesMenu();
  SetDatabaseLabel(Manager().IsModelOpen() ? QString::fromStdString(Manager().GetModelFilename()) : QString());
  EvaluateDatabaseState();
}

frmJumper::~frmJumper() {
  if (current_) {
    current_->CloseScreen();
    delete current_.data();
  }
}

void frmJumper::BuildMenus() {
  QMenu* file = menuBar()->addMenu(tr("&File"));
  file->setObjectName("mnuFile");
  auto add = [this](QMenu* menu, const QString& caption, const char* name, const QKeySequence& key,
                    auto slot) {
    QAction* action = menu->addAction(caption);
    action->setObjectName(name);
    if (!key.isEmpty()) action->setShortcut(key);
    connect(action, &QAction::triggered, this, slot);
    return action;
  };
  add(file, tr("&New..."), "mnuNew", QKeySequence("Ctrl+N"), &frmJumper::NewModel);
  add(file, tr("&Open..."), "mnuOpen", QKeySequence("Ctrl+O"), &frmJumper::OpenModel);
  mnuClose_ = add(file, tr("&Close"), "mnuClose", QKeySequence(), &frmJumper::CloseModel);
  file->addSeparator();
  mnuSave_ = add(file, tr("&Save"), "mnuSave", QKeySequence("Ctrl+S"), &frmJumper::SaveModel);
  mnuSaveAs_ = add(file, tr("Save &As..."), "mnuSaveAs", QKeySequence(), &frmJumper::SaveModelAs);
  file->addSeparator();
  for (int i = 0; i < RecentFiles::kCapacity; ++i) {
    QAction* action = file->addAction(QString());
    action->setObjectName(QStringLiteral("mnuRecent%1").arg(i));
    action->setVisible(false);
    connect(action, &QAction::triggered, this, [this, i] { OpenRecent(i); });
    mnuRecent_.push_back(action);
  }
  mnuRecentSeparator_ = file->addSeparator();
  mnuRecentSeparator_->setObjectName("mnuRecentSeparator");
  mnuRecentSeparator_->setVisible(false);
  QAction* exitAction = file->addAction(tr("E&xit..."));
  exitAction->setObjectName("mnuExit");
  connect(exitAction, &QAction::triggered, this, &QWidget::close);

  QMenu* help = menuBar()->addMenu(tr("&Help"));
  help->setObjectName("mnuHelp");
  add(help, tr("&User Manual..."), "mnuUserManual", QKeySequence(Qt::Key_F1), &frmJumper::ShowUserManual);
  add(help, tr("&Report A Bug..."), "mnuReportBug", QKeySequence(Qt::Key_F12), &frmJumper::ReportBug);
  help->addSeparator();
  add(help, QStringLiteral("About %1...").arg(kTitle), "mnuAbout", QKeySequence(), &frmJumper::ShowAbout);
}

void frmJumper::BuildCentral() {
  auto* central = new QWidget(this);
  central->setObjectName("central");
  auto* layout = new QHBoxLayout(central);

  auto* column = new QFrame(central);
  column->setObjectName("jumperColumn");
  column->setFrameShape(QFrame::StyledPanel);
  auto* columnLayout = new QVBoxLayout(column);
  lblDatabase_ = new QLabel(kNoModel, column);
  lblDatabase_->setObjectName("lblDatabase");
  lblDatabase_->setWordWrap(true);
  lblDatabase_->setAlignment(Qt::AlignCenter);
  QFont bold = lblDatabase_->font();
  bold.setBold(true);
  lblDatabase_->setFont(bold);
  columnLayout->addWidget(lblDatabase_);
  columnLayout->addSpacing(6);
  for (const ScreenEntry& entry : ScreenTable()) {
    auto* button = new QPushButton(QString::fromUtf8(entry.caption), column);
    button->setObjectName(QStringLiteral("btnJumper%1").arg(entry.index));
    button->setCheckable(true);
    button->setMinimumWidth(150);
    int index = entry.index;
    connect(button, &QPushButton::clicked, this, [this, index] { ShowScreen(index); });
    columnLayout->addWidget(button);
    jumpers_.push_back(button);
    // The model-definition screens, then running, then looking at results.
    if (entry.index == 9 || entry.index == 10) columnLayout->addSpacing(8);
  }
  columnLayout->addStretch(1);
  layout->addWidget(column);

  screenArea_ = new QWidget(central);
  screenArea_->setObjectName("screenArea");
  screenLayout_ = new QVBoxLayout(screenArea_);
  screenLayout_->setContentsMargins(0, 0, 0, 0);
  lblWelcome_ = new QLabel(screenArea_);
  lblWelcome_->setObjectName("lblWelcome");
  lblWelcome_->setWordWrap(true);
  lblWelcome_->setAlignment(Qt::AlignCenter);
  screenLayout_->addWidget(lblWelcome_);
  layout->addWidget(screenArea_, 1);
  setCentralWidget(central);
}

// --- Screens -------------------------------------------------------------

void frmJumper::UnloadAllFormsExcept(const QString& formName, bool end) {
  if (current_ && (formName.isEmpty() || current_->objectName().compare(formName, Qt::CaseInsensitive) != 0)) {
    Screen* screen = current_;
    current_ = nullptr;
    screen->CloseScreen();
    screen->hide();
    screenLayout_->removeWidget(screen);
    // The screen may be running the slot that brought us here (Back, Next).
    screen->deleteLater();
  }
  if (!current_) {
    lblWelcome_->show();
    for (QPushButton* button : jumpers_) button->setChecked(false);
  }
  // Windows that screens open of their own (dialogs left open) go too.
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (window == this || !window->isVisible()) continue;
    const QString name = window->objectName();
    if (name.startsWith("frm") && (formName.isEmpty() || name.compare(formName, Qt::CaseInsensitive) != 0)) {
      window->close();
    }
  }
  if (end) {
    hide();
    QMainWindow::close();
  }
}

void frmJumper::ShowScreen(int index) {
  UnloadAllForms();
  const auto& table = ScreenTable();
  if (index < 0 || index >= static_cast<int>(table.size())) return;
  const ScreenEntry& entry = table[index];
  if (!entry.create) {
    Tell(QStringLiteral("The %1 screen is not part of this build of Korvane.").arg(entry.caption));
    return;
  }
  Screen* screen = entry.create(*this);
  screen->setParent(screenArea_);
  lblWelcome_->hide();
  screenLayout_->addWidget(screen);
  current_ = screen;
  screen->show();
  if (!screen->OpenScreen()) {
    // No model, or its file could not be opened: the layer has said why.
    UnloadAllForms();
    EvaluateDatabaseState();
    return;
  }
  for (int i = 0; i < static_cast<int>(jumpers_.size()); ++i) jumpers_[i]->setChecked(i == index);
}

void frmJumper::EvaluateDatabaseState() {
  const bool open = Manager().IsModelOpen();
  mnuClose_->setEnabled(open);
  mnuSave_->setEnabled(open);
  mnuSaveAs_->setEnabled(open);
  int instanceTypes = 0;
  if (open) {
    if (auto db = Manager().GetModelDatabase()) {
      try {
        for (const store::TableDef& def : db->TableDefs()) {
          if (!store::IsSystemTable(def)) ++instanceTypes;
        }
      } catch (const Error& e) {
        Tell(QString::fromStdString(e.Description()), DialogIcon::Critical);
      }
      try {
        db->Close();
      } catch (const Error&) {
      }
    }
  }
  for (QPushButton* button : jumpers_) button->setEnabled(open && instanceTypes >= 1);
  if (open) jumpers_[0]->setEnabled(true);
  ShowWelcome(open, instanceTypes);
}

void frmJumper::ShowWelcome(bool open, int instanceTypes) {
  QString text = tr("<h2>Korvane</h2>");
  if (!open) {
    text += tr("<p>Create a model with <b>File &gt; New</b> or open one with <b>File &gt; Open</b>.</p>");
  } else if (instanceTypes == 0) {
    text += tr("<p>This model has no instance type yet. Start with <b>Definition</b>: name the "
               "situation, decision and utility slots of its instances.</p>");
  } else {
    text += tr("<p>Choose a screen on the left.</p>");
  }
  text += tr("<p>The screens on the left build a model from top to bottom: define the instance type "
             "and its slots, enter the prepopulated instances, write the formulas, set the "
             "parameters, run the model against a task and export what it did.</p>"
             "<p>Press F1 for the user manual.</p>");
  lblWelcome_->setText(text);
}

// --- Recent files ----------------------------------------------------------

void frmJumper::SyncRecentFilesMenu() {
  const QStringList& paths = recent_.Paths();
  mnuRecentSeparator_->setVisible(!paths.isEmpty());
  for (int i = 0; i < RecentFiles::kCapacity; ++i) {
    QAction* action = mnuRecent_[i];
    if (i < paths.size() && !paths[i].trimmed().isEmpty()) {
      // "&&" keeps an ampersand in a path from becoming an access key.
      QString shown = paths[i];
      shown.replace("&", "&&");
      action->setText(QStringLiteral("&%1 %2").arg(i + 1).arg(shown));
      action->setData(paths[i]);
      action->setVisible(true);
    } else {
      action->setVisible(false);
    }
  }
}

void frmJumper::UpdateRecentFiles(const QString& path) {
  recent_.Update(path);
  SyncRecentFilesMenu();
}

// --- File commands ---------------------------------------------------------

void frmJumper::SetDatabaseLabel(const QString& path) {
  lblDatabase_->setText(path.isEmpty() ? QString(kNoModel) : FileNameOf(path));
  lblDatabase_->setToolTip(path);
}

void frmJumper::CloseCurrentModel() {
  Manager().CloseModelDatabase();
  SetDatabaseLabel(QString());
}

QString frmJumper::StartFolder() const {
  QString folder = WorkspaceFolder();
  if (folder.isEmpty() || !QFileInfo(folder).isDir()) folder = QString::fromStdString(ProgramFolder());
  return folder;
}

QString frmJumper::ChooseFile(FileRequest::Kind kind, const QString& title, const QString& folder) {
  FileRequest request{kind, title, folder, presetPath_};
  presetPath_.clear();
  return chooseFile_ ? chooseFile_(request) : QString();
}

void frmJumper::NewModel() {
  UnloadAllForms();
  QString path = ChooseFile(FileRequest::Kind::Save, tr("New Model"), StartFolder());
  if (!path.isEmpty()) {
    // The new file replaces the open model only when it was created.
    if (Manager().CreateModelDatabase(Std(path))) {
      UpdateRecentFiles(path);
      SetDatabaseLabel(path);
      SetWorkspaceFolder(FolderOf(path));
    } else {
      Tell("Error: cannot create new model " + path, DialogIcon::Critical);
      if (!Manager().IsModelOpen()) SetDatabaseLabel(QString());
    }
  }
  EvaluateDatabaseState();
}

void frmJumper::OpenModel() {
  UnloadAllForms();
  QString path = ChooseFile(FileRequest::Kind::Open, tr("Open Model"), StartFolder());
  if (!path.isEmpty()) {
    OpenModelFile(path);
    return;
  }
  EvaluateDatabaseState();
}

void frmJumper::OpenModelFile(const QString& path) {
  UnloadAllForms();
  CloseCurrentModel();
  if (Manager().OpenModelDatabase(Std(path))) {
    UpdateRecentFiles(path);
    SetDatabaseLabel(path);
    SetWorkspaceFolder(FolderOf(path));
  } else {
    Tell("Error: cannot open model " + path, DialogIcon::Critical);
  }
  EvaluateDatabaseState();
}

void frmJumper::OpenRecent(int index) {
  UnloadAllForms();
  if (index < 0 || index >= recent_.Count()) return;
  const QString path = recent_.Paths()[index];
  if (!QFileInfo::exists(path)) {
    DialogAnswer answer = CurrentDialogs().Ask(
        Std("The file " + FileNameOf(path) + " no longer exist.\nWould you like to start a new model?"),
        DialogButtons::YesNo, DialogAnswer::No);
    if (answer == DialogAnswer::Yes) {
      presetPath_ = path;
      NewModel();
      return;
    }
  } else {
    CloseCurrentModel();
    if (Manager().OpenModelDatabase(Std(path))) {
      SetDatabaseLabel(path);
      UpdateRecentFiles(path);
    } else {
      Tell("Error: cannot open model " + path, DialogIcon::Critical);
    }
  }
  EvaluateDatabaseState();
}

void frmJumper::SaveModel() {
  UnloadAllForms();
  if (!Manager().SaveModelDatabase()) {
    Tell("Error: Cannot save model. Please try again.", DialogIcon::Critical);
    SetDatabaseLabel(Manager().IsModelOpen() ? QString::fromStdString(Manager().GetModelFilename()) : QString());
  }
  EvaluateDatabaseState();
}

void frmJumper::SaveModelAs() {
  UnloadAllForms();
  if (!Manager().IsModelOpen()) {
    EvaluateDatabaseState();
    return;
  }
  QString target = ChooseFile(FileRequest::Kind::Save, tr("Save Model As"), StartFolder());
  if (!target.isEmpty()) {
    const QString old = QString::fromStdString(Manager().GetModelFilename());
    if (QFileInfo(target).absoluteFilePath() == QFileInfo(old).absoluteFilePath()) {
      // Saving a file onto itself is a plain Save; copying it over itself
      // would destroy it.
      SaveModel();
      return;
    }
    CloseCurrentModel();
    if (Manager().CopyModelDatabase(Std(old), Std(target))) {
      if (Manager().OpenModelDatabase(Std(target))) {
        UpdateRecentFiles(target);
        SetDatabaseLabel(target);
        SetWorkspaceFolder(FolderOf(target));
      } else if (Manager().OpenModelDatabase(Std(old))) {
        UpdateRecentFiles(old);
        SetDatabaseLabel(old);
        SetWorkspaceFolder(FolderOf(old));
        Tell("Error: Model saved as " + FileNameOf(target) + " successfully, but could not be opened.\n" +
                 "The old model (" + FileNameOf(old) + ") has been reopened instead.",
             DialogIcon::Critical);
      } else {
        Tell("Error: Model saved as " + FileNameOf(target) + " successfully, but neither the old nor\n" +
                 "new model could be opened.",
             DialogIcon::Critical);
      }
    } else {
      Tell("Error: Model " + FileNameOf(old) + " could not be saved as " + FileNameOf(target),
           DialogIcon::Critical);
    }
  }
  EvaluateDatabaseState();
}

void frmJumper::CloseModel() {
  UnloadAllForms();
  CloseCurrentModel();
  Tell("Model saved and closed.");
  EvaluateDatabaseState();
}

void frmJumper::closeEvent(QCloseEvent* event) {
  DialogAnswer answer = CurrentDialogs().Ask(QStringLiteral("Are you sure you want to exit %1?").arg(kTitle).toStdString(),
                                             DialogButtons::YesNo, DialogAnswer::No, DialogIcon::Question,
                                             QStringLiteral("Exit %1").arg(kTitle).toStdString());
  if (answer != DialogAnswer::Yes) {
    event->ignore();
    return;
  }
  // Screens release their connections before the model is closed.
  UnloadAllForms();
  CloseCurrentModel();
  EvaluateDatabaseState();
  event->accept();
}

// --- Help ------------------------------------------------------------------

bool frmJumper::CheckScreenSize(const QSize& screen) {
  if (screen.width() >= 809 && screen.height() >= 766) return false;
  Tell(QStringLiteral("Your screen resolution might be set too low. We recommend\n"
                      "a minimum screen resolution of 1024 by 768 pixels.\n\n"
                      "You'll still be able to use %1, although some features\n"
                      "might not be easily accessible.")
           .arg(kTitle));
  return true;
}

void frmJumper::ShowUserManual() {
  const QString found = QString::fromStdString(DocFile("user-manual.html"));
  if (!QFileInfo::exists(found)) {
    Tell(QStringLiteral("Could not locate user-manual.html. Please reinstall %1").arg(kTitle), DialogIcon::Critical);
    return;
  }
  if (!openUrl_(QUrl::fromLocalFile(found))) {
    Tell("Could not open the user manual. Please open it in your web browser instead:\n    " + found,
         DialogIcon::Critical, "Cannot Open User Manual");
  }
}

void frmJumper::ReportBug() {
  DialogAnswer answer = CurrentDialogs().Ask("Reporting a bug requires an internet connection. Continue?",
                                             DialogButtons::YesNo, DialogAnswer::No, DialogIcon::Question,
                                             "Report A Bug");
  if (answer != DialogAnswer::Yes) return;
  const QString address = QString::fromUtf8(kBugReportUrl) + "?version=" + VersionText();
  if (!openUrl_(QUrl(address))) {
    Tell("Could not open the browser for you. Please open it and go to:\n" + address, DialogIcon::Critical);
  }
}

void frmJumper::ShowAbout() {
  QDialog about(this);
  about.setObjectName("frmAbout");
  about.setWindowTitle(QStringLiteral("About %1").arg(kTitle));
  auto* layout = new QVBoxLayout(&about);
  auto* title = new QLabel(kTitle, &about);
  title->setObjectName("lblTitle");
  QFont big = title->font();
  big.setPointSizeF(big.pointSizeF() * 2);
  big.setBold(true);
  title->setFont(big);
  auto* version = new QLabel("Version " + VersionText(), &about);
  version->setObjectName("lblVersion");
  auto* line = new QLabel(AboutVersionLine(), &about);
  line->setObjectName("lblVersions");
  auto* purpose = new QLabel(tr("Defines, runs and analyses instance-based models of repeated decision making."),
                             &about);
  purpose->setWordWrap(true);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, &about);
  buttons->setObjectName("btnOK");
  connect(buttons, &QDialogButtonBox::accepted, &about, &QDialog::accept);
  layout->addWidget(title);
  layout->addWidget(version);
  layout->addWidget(purpose);
  layout->addWidget(line);
  layout->addWidget(buttons);
  about.exec();
}

}  // namespace korvane::editor
