// MainWindowTest.cpp: the main window's file commands, recent-file list,
// enabled states, help and screens, driven through its real menus and buttons.
#include <QAbstractItemView>
#include <QFileInfo>
#include <QLabel>
#include <QScrollArea>
#include <QScrollBar>
#include <QTextBrowser>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "EditorFixture.h"
#include "editor/Desktop.h"
#include "editor/HelpText.h"
#include "editor/Screen.h"
#include "model/ExampleModels.h"

namespace korvane::editor::test {
namespace {

bool Enabled(frmJumper& w, const char* action) { return w.findChild<QAction*>(action)->isEnabled(); }

int EnabledJumpers(frmJumper& w) {
  int count = 0;
  for (int i = 0; i < frmJumper::kJumperCount; ++i) {
    if (w.findChild<QPushButton*>(QStringLiteral("btnJumper%1").arg(i))->isEnabled()) ++count;
  }
  return count;
}

QStringList StoredRecent() {
  QSettings settings;
  QStringList paths;
  for (int i = 0; i < 5; ++i) paths << settings.value(QStringLiteral("MRU/File%1").arg(i)).toString();
  return paths;
}

TEST_F(EditorTest, WindowLayoutCaptionMenusAndAbout) {
  EXPECT_EQ(window->objectName(), "frmJumper");
  EXPECT_EQ(window->windowTitle(), QStringLiteral("Korvane v") + KORVANE_VERSION);
  const char* captions[] = {"Definition", "Population",       "Similarity", "Retrieval Method", "Retrieval Constraints",
                            "Judgment",   "Decision",         "Feedback",   "Utility",          "Model Parameters",
                            "Execute",    "Export",           "Graph"};
  for (int i = 0; i < frmJumper::kJumperCount; ++i) {
    QPushButton* b = Button(QStringLiteral("btnJumper%1").arg(i));
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->text(), captions[i]);
    EXPECT_EQ(ScreenIndexOf(ScreenFormName(i).toUpper()), i);
  }
  EXPECT_EQ(window->findChild<QLabel*>("lblDatabase")->text(), "No Model Open");
  EXPECT_EQ(window->findChild<QAction*>("mnuNew")->shortcut(), QKeySequence("Ctrl+N"));
  EXPECT_EQ(window->findChild<QAction*>("mnuOpen")->shortcut(), QKeySequence("Ctrl+O"));
  EXPECT_EQ(window->findChild<QAction*>("mnuSave")->shortcut(), QKeySequence("Ctrl+S"));
  EXPECT_EQ(window->findChild<QAction*>("mnuUserManual")->shortcut(), QKeySequence(Qt::Key_F1));
  EXPECT_EQ(window->findChild<QAction*>("mnuReportBug")->shortcut(), QKeySequence(Qt::Key_F12));
  EXPECT_EQ(window->findChild<QAction*>("mnuAbout")->text(), "About Korvane...");
  EXPECT_EQ(AboutVersionLine(), QStringLiteral("Korvane v") + KORVANE_VERSION +
                                    "  /  Protocol v2  /  Grammar v6  /  Database v7");

  // The screen-size check: 1024 by 768 is enough, 800 by 600 is not.
  EXPECT_FALSE(window->CheckScreenSize(QSize(1024, 768)));
  EXPECT_TRUE(TakeShown().empty());
  EXPECT_TRUE(window->CheckScreenSize(QSize(800, 600)));
  auto shown = TakeShown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0],
            "Your screen resolution might be set too low. We recommend\na minimum screen resolution of 1024 by 768 "
            "pixels.\n\nYou'll still be able to use Korvane, although some features\nmight not be easily accessible.");

  // Everything fits on a 1024 by 768 screen.
  EXPECT_LE(window->minimumSizeHint().width(), 1024);
  EXPECT_LE(window->minimumSizeHint().height(), 740);
}

TEST_F(EditorTest, EnabledStateFollowsTheModel) {
  // No model: only New, Open, the recent items, Exit and Help.
  EXPECT_FALSE(Enabled(*window, "mnuClose"));
  EXPECT_FALSE(Enabled(*window, "mnuSave"));
  EXPECT_FALSE(Enabled(*window, "mnuSaveAs"));
  EXPECT_EQ(EnabledJumpers(*window), 0);

  // A model without instance types can only be defined.
  NewModel("m.mdb");
  EXPECT_EQ(window->findChild<QLabel*>("lblDatabase")->text(), "m.mdb");
  EXPECT_TRUE(Enabled(*window, "mnuClose"));
  EXPECT_TRUE(Enabled(*window, "mnuSave"));
  EXPECT_TRUE(Enabled(*window, "mnuSaveAs"));
  EXPECT_EQ(EnabledJumpers(*window), 1);
  EXPECT_TRUE(Button("btnJumper0")->isEnabled());

  // The first slot creates an instance type: every button is usable at once.
  Click("btnJumper0");
  ASSERT_TRUE(EditCell(0, 1, "Price, Real"));
  EXPECT_EQ(EnabledJumpers(*window), frmJumper::kJumperCount);

  // Close: screen gone, label reset, message, everything disabled again.
  TakeShown();
  Trigger("mnuClose");
  EXPECT_EQ(window->CurrentScreen(), nullptr);
  EXPECT_EQ(window->findChild<QLabel*>("lblDatabase")->text(), "No Model Open");
  EXPECT_EQ(TakeShown(), std::vector<std::string>{"Model saved and closed."});
  EXPECT_EQ(EnabledJumpers(*window), 0);
  EXPECT_FALSE(store::DatabaseManager::Instance().IsModelOpen());

  // Reopening a model with an instance type enables every button.
  Choose(QFile("m.mdb"));
  Trigger("mnuOpen");
  EXPECT_EQ(EnabledJumpers(*window), frmJumper::kJumperCount);
  EXPECT_EQ(QSettings().value("Workspace/CWD").toString(), QString::fromStdString(dir.Path()));
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.back().title, "Open Model");
  EXPECT_EQ(requests.back().folder, QString::fromStdString(dir.Path()));

  // A path given on the command line (or by the desktop) opens without a
  // dialog, and a file that is not a model is refused with a message.
  const std::size_t asked = requests.size();
  Trigger("mnuClose");
  TakeShown();
  const QString path = QString::fromStdString(dir.File("m.mdb"));
  window->OpenModelFile(path);
  EXPECT_EQ(requests.size(), asked);
  EXPECT_EQ(window->findChild<QLabel*>("lblDatabase")->text(), "m.mdb");
  EXPECT_EQ(EnabledJumpers(*window), frmJumper::kJumperCount);
  EXPECT_EQ(window->Recent().Paths().front(), path);
  { std::ofstream(dir.File("notes.mdb")) << "not a database"; }
  window->OpenModelFile(QString::fromStdString(dir.File("notes.mdb")));
  EXPECT_FALSE(TakeShown().empty());
  EXPECT_EQ(window->findChild<QLabel*>("lblDatabase")->text(), "No Model Open");
}

TEST_F(EditorTest, RecentFileListRules) {
  for (const char* name : {"a.mdb", "b.mdb", "c.mdb", "d.mdb", "e.mdb", "f.mdb"}) NewModel(name);
  // Six distinct files: the oldest fell off; the newest is first.
  QStringList expected = {QFile("f.mdb"), QFile("e.mdb"), QFile("d.mdb"), QFile("c.mdb"), QFile("b.mdb")};
  EXPECT_EQ(window->Recent().Paths(), expected);
  EXPECT_EQ(StoredRecent(), expected);
  QAction* first = window->findChild<QAction*>("mnuRecent0");
  EXPECT_TRUE(first->isVisible());
  EXPECT_EQ(first->text(), "&1 " + QFile("f.mdb"));
  EXPECT_TRUE(window->findChild<QAction*>("mnuRecentSeparator")->isVisible());

  // Opening one that is on the list moves it to the top, once.
  Choose(QFile("c.mdb"));
  Trigger("mnuOpen");
  Choose(QFile("c.mdb"));
  Trigger("mnuOpen");
  expected = {QFile("c.mdb"), QFile("f.mdb"), QFile("e.mdb"), QFile("d.mdb"), QFile("b.mdb")};
  EXPECT_EQ(window->Recent().Paths(), expected);

  // A path differing only in letter case is the same entry.
  window->findChild<QAction*>("mnuRecent3")->trigger();  // d.mdb, reopened from the list
  EXPECT_EQ(window->Recent().Paths().first(), QFile("d.mdb"));
  EXPECT_EQ(window->Recent().Count(), 5);
  QSettings().setValue("MRU/File1", QFile("D.MDB"));
  QSettings().setValue("MRU/File2", QString());  // a gap closes up when loaded
  frmJumper second;
  EXPECT_EQ(second.Recent().Count(), 4);
  EXPECT_EQ(second.Recent().Paths()[1], QFile("D.MDB"));

  // A recent file that no longer exists offers a new model under its name.
  std::filesystem::remove(File("e.mdb"));
  const int index = window->Recent().Paths().indexOf(QFile("e.mdb"));
  ASSERT_GE(index, 0);
  TakeShown();
  requests.clear();
  dialogs->QueueAnswer(DialogAnswer::Yes);
  Choose(QString());  // the user then cancels the New dialog
  window->findChild<QAction*>(QStringLiteral("mnuRecent%1").arg(index).toUtf8().constData())->trigger();
  Settle();
  auto shown = TakeShown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], "The file e.mdb no longer exist.\nWould you like to start a new model?");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].title, "New Model");
  EXPECT_EQ(requests[0].presetPath, QFile("e.mdb"));
  // Cancelling changed nothing but the open model's screens.
  EXPECT_FALSE(QFileInfo::exists(QFile("e.mdb")));
}

TEST_F(EditorTest, SaveAsCopiesAndContinuesWithTheCopy) {
  NewModel("old.mdb");
  Click("btnJumper0");
  ASSERT_TRUE(EditCell(0, 1, "Price, Real"));
  Choose(QFile("new.mdb"));
  Trigger("mnuSaveAs");
  EXPECT_EQ(window->CurrentScreen(), nullptr);
  EXPECT_EQ(window->findChild<QLabel*>("lblDatabase")->text(), "new.mdb");
  EXPECT_EQ(QString::fromStdString(store::DatabaseManager::Instance().GetModelFilename()), QFile("new.mdb"));
  EXPECT_EQ(window->Recent().Paths().first(), QFile("new.mdb"));
  auto copy = OpenDb(File("new.mdb"));
  EXPECT_TRUE(copy->FindTableDef("I1").has_value());

  // Saving onto the open file itself is a plain save, not a copy over itself.
  TakeShown();
  Choose(QFile("new.mdb"));
  Trigger("mnuSaveAs");
  EXPECT_TRUE(store::DatabaseManager::Instance().IsModelOpen());
  EXPECT_TRUE(OpenDb(File("new.mdb"))->FindTableDef("I1").has_value());

  // Save re-opens; the model stays open.
  Trigger("mnuSave");
  EXPECT_TRUE(store::DatabaseManager::Instance().IsModelOpen());
  EXPECT_EQ(window->findChild<QLabel*>("lblDatabase")->text(), "new.mdb");

  // A cancelled dialog changes nothing but closing the screens.
  Click("btnJumper1");
  ASSERT_NE(window->CurrentScreen(), nullptr);
  Choose(QString());
  Trigger("mnuSaveAs");
  EXPECT_EQ(window->CurrentScreen(), nullptr);
  EXPECT_EQ(window->findChild<QLabel*>("lblDatabase")->text(), "new.mdb");
}

TEST_F(EditorTest, ScreensOneAtATimeWithHelpAndTheirOwnConnection) {
  NewModel("m.mdb");
  Click("btnJumper0");
  Screen* definition = window->CurrentScreen();
  ASSERT_NE(definition, nullptr);
  EXPECT_EQ(definition->objectName(), "frmDefinition");
  EXPECT_TRUE(Button("btnJumper0")->isChecked());
  // The help pane shows the screen's help resource.
  auto* help = definition->findChild<QTextBrowser*>("rtfHelp");
  ASSERT_NE(help, nullptr);
  EXPECT_TRUE(help->toPlainText().contains("Defining instance types"));
  EXPECT_FALSE(definition->findChild<QPushButton*>("btnBack")->isVisible());
  ASSERT_NE(definition->Db(), nullptr);
  EXPECT_EQ(definition->Db()->Path(), File("m.mdb"));

  ASSERT_TRUE(EditCell(0, 1, "Price, Real"));
  ASSERT_TRUE(EditCell(0, 2, "Choice, String"));
  ASSERT_TRUE(EditCell(0, 3, "Payoff, Real"));
  QPointer<Screen> first = definition;
  Click("btnNext");
  // The definition screen closed and released its connection; the
  // population screen took its own.
  EXPECT_TRUE(first.isNull());
  ASSERT_NE(window->CurrentScreen(), nullptr);
  EXPECT_EQ(window->CurrentScreen()->objectName(), "frmPopulation");
  EXPECT_TRUE(window->CurrentScreen()->findChild<QTextBrowser*>("rtfHelp")->toPlainText().contains("Prepopulating"));
  EXPECT_EQ(window->findChildren<Screen*>().size(), 1);

  QPointer<Screen> population = window->CurrentScreen();
  Click("btnBack");
  EXPECT_TRUE(population.isNull());
  EXPECT_EQ(window->CurrentScreen()->objectName(), "frmDefinition");

  // A file command closes the screen first.
  QPointer<Screen> open = window->CurrentScreen();
  Trigger("mnuSave");
  EXPECT_TRUE(open.isNull());
  EXPECT_EQ(window->CurrentScreen(), nullptr);
}

TEST_F(EditorTest, EveryScreenFitsTheSmallestSupportedScreenWithoutSideScrolling) {
  const std::string model = File("example.mdb");
  model::CreateExampleModel("binary-choice", model);
  Choose(QString::fromStdString(model));
  Trigger("mnuOpen");
  window->resize(1024, 768);
  Settle();
  TakeShown();
  for (const ScreenEntry& entry : ScreenTable()) {
    if (!entry.create) continue;
    window->ShowScreen(entry.index);
    Settle();
    Screen* screen = window->CurrentScreen();
    ASSERT_NE(screen, nullptr) << entry.formName;
    for (QScrollArea* area : screen->findChildren<QScrollArea*>()) {
      if (!area->isVisible() || !area->widget() || qobject_cast<QAbstractItemView*>(area)) continue;
      // Name the widest control, should this ever fail.
      std::string widest;
      int widestWidth = 0;
      for (QWidget* child : area->widget()->findChildren<QWidget*>()) {
        if (child->isVisible() && child->minimumSizeHint().width() > widestWidth) {
          widestWidth = child->minimumSizeHint().width();
          widest = child->objectName().toStdString() + " (" + child->metaObject()->className() + ")";
        }
      }
      EXPECT_EQ(area->horizontalScrollBar()->maximum(), 0)
          << entry.formName << ": " << area->objectName().toStdString() << " needs "
          << area->widget()->minimumSizeHint().width() << " of " << area->viewport()->width()
          << "; widest: " << widest << " " << widestWidth;
    }
  }
  TakeShown();
}

TEST_F(EditorTest, HelpTextsManualAndBugPage) {
  for (const char* name : {"RTF_WELCOME", "RTF_POPULATION", "RTF_SIMILARITY", "RTF_RETRIEVAL_METHOD", "RTF_CONSTRAINTS",
                           "RTF_JUDGMENT", "RTF_DECISION", "RTF_FEEDBACK", "RTF_UTILITY", "RTF_MODEL_PARAMETERS",
                           "RTF_EXECUTE", "RTF_EXPORT", "RTF_GRAPH"}) {
    EXPECT_TRUE(QFileInfo::exists(HelpTextPath(name))) << name;
    EXPECT_FALSE(LoadHelpText(name).contains("could not be read")) << name;
  }
  EXPECT_TRUE(LoadHelpText("RTF_NO_SUCH").contains("could not be read"));

  Trigger("mnuUserManual");
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_TRUE(opened[0].isLocalFile());
  EXPECT_TRUE(QFileInfo::exists(opened[0].toLocalFile()));

  dialogs->QueueAnswer(DialogAnswer::No);
  Trigger("mnuReportBug");
  EXPECT_EQ(opened.size(), 1u);
  ASSERT_EQ(dialogs->Shown().size(), 1u);
  EXPECT_EQ(dialogs->Shown()[0].title, "Report A Bug");
  dialogs->QueueAnswer(DialogAnswer::Yes);
  Trigger("mnuReportBug");
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_EQ(opened[1].toString(), QString(kBugReportUrl) + "?version=" + KORVANE_VERSION);
}

TEST_F(EditorTest, ExitAsksAndClosesTheModel) {
  NewModel("m.mdb");
  TakeShown();
  dialogs->QueueAnswer(DialogAnswer::No);
  EXPECT_FALSE(window->close());
  ASSERT_EQ(dialogs->Shown().size(), 1u);
  EXPECT_EQ(dialogs->Shown()[0].text, "Are you sure you want to exit Korvane?");
  EXPECT_EQ(dialogs->Shown()[0].title, "Exit Korvane");
  EXPECT_TRUE(store::DatabaseManager::Instance().IsModelOpen());
  dialogs->QueueAnswer(DialogAnswer::Yes);
  EXPECT_TRUE(window->close());
  EXPECT_FALSE(store::DatabaseManager::Instance().IsModelOpen());
}

TEST(DesktopTest, WithoutADisplayPointsToTheHeadlessCommands) {
  std::vector<std::pair<const char*, std::string>> saved;
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    if (const char* value = std::getenv(name)) saved.emplace_back(name, value);
    unsetenv(name);
  }
  char program[] = "korvane";
  char* argv[] = {program, nullptr};
  testing::internal::CaptureStderr();
  const int code = RunDesktop(1, argv);
  const std::string err = testing::internal::GetCapturedStderr();
  for (auto& [name, value] : saved) setenv(name, value.c_str(), 1);
  EXPECT_NE(code, 0);
  EXPECT_NE(err.find("korvane --help"), std::string::npos);
}

}  // namespace
}  // namespace korvane::editor::test
