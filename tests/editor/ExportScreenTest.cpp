// Tests of the export screen and its filter dialog: the lists, the include
// questions, filters, the preview, and an export from the screen that equals
// the headless export of the same choices.
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QLineEdit>
#include <QTimer>

#include "ModelScreenFixture.h"
#include "editor/ExportFilterDialog.h"
#include "editor/ExportPreviewModel.h"
#include "editor/ExportScreen.h"
#include "editor/ExperimentFiles.h"
#include "export/TraceExport.h"
#include "export/TrialTable.h"
#include "store/Schema.h"
#include <QProcess>

namespace korvane::test {
namespace {

using editor::frmExport;

QByteArray ReadAll(const std::string& path) {
  QFile file(QString::fromStdString(path));
  EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path;
  return file.readAll();
}

class ExportScreenTest : public ModelScreenTest {
 protected:
  std::unique_ptr<frmExport> Open() {
    auto screen = std::make_unique<frmExport>(host_);
    EXPECT_TRUE(screen->OpenScreen());
    screen->resize(1000, 740);
    screen->show();
    return screen;
  }
  // Chooses the first file and type and every subject.
  void ChooseAll(frmExport* screen) {
    Find<QListWidget>(screen, "lstFiles")->setCurrentRow(0);
    Find<QListWidget>(screen, "lstInstanceTypes")->setCurrentRow(0);
    Find<QPushButton>(screen, "btnSelectAll")->click();
  }
};

TEST_F(ExportScreenTest, ChoicesAreRememberedAndTheExportMatchesTheHeadlessOne) {
  CreateExperiment();
  {
    auto screen = Open();
    QListWidget* files = Find<QListWidget>(screen.get(), "lstFiles");
    ASSERT_EQ(files->count(), 1);
    EXPECT_EQ(files->item(0)->text(), "Model-20990101-1.mdb");
    ChooseAll(screen.get());
    QListWidget* subjects = Find<QListWidget>(screen.get(), "lstSubjects");
    ASSERT_EQ(subjects->count(), 2);
    EXPECT_EQ(Setting("Export_LastMDB"), Variant("Model-20990101-1.mdb"));
    EXPECT_EQ(Setting("Export_LastInstanceType"), Variant("I1"));
    EXPECT_EQ(Setting("Export_LastSubjects"), Variant("1,2"));

    Find<QCheckBox>(screen.get(), "cbIncludeFull")->click();
    EXPECT_EQ(Setting("Export_Include_Full"), Variant(1.0));
    EXPECT_TRUE(TakeShown().empty());
    // A slot kind asks first; Cancel leaves it out.
    dialogs_->QueueAnswer(DialogAnswer::Cancel);
    QCheckBox* situation = Find<QCheckBox>(screen.get(), "cbIncludeS");
    situation->click();
    EXPECT_FALSE(situation->isChecked());
    EXPECT_FALSE(HasSetting("Export_Include_S"));
    EXPECT_EQ(TakeShown(), std::vector<std::string>{"Including situation slots in the export will take more time to\n"
                                                    "generate, and will produce a larger data set.\n"
                                                    "Would you like to continue?"});
    dialogs_->QueueAnswer(DialogAnswer::OK);
    Find<QCheckBox>(screen.get(), "cbIncludeD")->click();
    EXPECT_TRUE(Find<QCheckBox>(screen.get(), "cbIncludeD")->isChecked());
    EXPECT_EQ(Setting("Export_Include_D"), Variant(1.0));
    TakeShown();

    ASSERT_TRUE(screen->RefreshPreview());
    editor::ExportPreviewModel* model = screen->PreviewModel();
    EXPECT_EQ(model->rowCount(), 24);  // 2 subjects x 3 trials x 4 candidates
    ASSERT_EQ(model->columnCount(), 5);
    EXPECT_EQ(model->headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(), "Subject ID");
    EXPECT_EQ(model->headerData(3, Qt::Horizontal, Qt::DisplayRole).toString(), "Activation");
    EXPECT_EQ(model->headerData(4, Qt::Horizontal, Qt::DisplayRole).toString(), "Choice");
    EXPECT_EQ(model->data(model->index(23, 0), Qt::DisplayRole).toString(), "2");
    EXPECT_EQ(model->data(model->index(0, 4), Qt::DisplayRole).toString(), "A");

    ASSERT_TRUE(screen->StartExport());
    ASSERT_TRUE(WaitFor([&] { return !screen->Exporting(); }));
    const exporting::ExportOutcome outcome = screen->LastExport();
    ASSERT_TRUE(outcome.Ok()) << outcome.message;
    EXPECT_EQ(Find<QLabel>(screen.get(), "lblStatus")->text().toStdString(), "Data exported into " + outcome.path);
    EXPECT_EQ(QFileInfo(QString::fromStdString(outcome.path)).absolutePath(),
              QFileInfo(QString::fromStdString(dir_.File("data"))).absoluteFilePath());

    // The same choices, headless.
    auto experiment = store::Database::Open(dir_.File("Model-20990101-1.mdb"));
    exporting::ExportTarget target;
    target.path = dir_.File("headless.csv");
    const auto headless = exporting::ExportTrace(experiment.get(), screen->CurrentRequest(), target);
    experiment->Close();
    ASSERT_TRUE(headless.Ok()) << headless.message;
    const QByteArray written = ReadAll(outcome.path);
    EXPECT_EQ(written, ReadAll(target.path));
    EXPECT_TRUE(written.startsWith("\"Subject ID\",\"Trial\",\"Instance\",\"Activation\",\"Choice\"\r\n"));
    EXPECT_EQ(written.count("\r\n"), 25);

    // A second export the same day gets the next number.
    ASSERT_TRUE(screen->StartExport());
    ASSERT_TRUE(WaitFor([&] { return !screen->Exporting(); }));
    EXPECT_NE(screen->LastExport().path, outcome.path);
    EXPECT_TRUE(screen->LastExport().path.size() > 6 &&
                screen->LastExport().path.substr(screen->LastExport().path.size() - 6) == "-2.csv");

    // Only subject 2.
    Find<QListWidget>(screen.get(), "lstSubjects")->item(0)->setSelected(false);
    EXPECT_EQ(Setting("Export_LastSubjects"), Variant(2.0));
    ASSERT_TRUE(screen->RefreshPreview());
    EXPECT_EQ(screen->PreviewModel()->rowCount(), 12);
    screen->CloseScreen();
  }
  // The screen comes back as it was left.
  auto screen = Open();
  EXPECT_EQ(Find<QListWidget>(screen.get(), "lstFiles")->currentRow(), 0);
  EXPECT_EQ(Find<QListWidget>(screen.get(), "lstInstanceTypes")->currentItem()->text(), "I1");
  QListWidget* subjects = Find<QListWidget>(screen.get(), "lstSubjects");
  EXPECT_FALSE(subjects->item(0)->isSelected());
  EXPECT_TRUE(subjects->item(1)->isSelected());
  EXPECT_TRUE(Find<QCheckBox>(screen.get(), "cbIncludeFull")->isChecked());
  EXPECT_TRUE(Find<QCheckBox>(screen.get(), "cbIncludeD")->isChecked());
  EXPECT_FALSE(Find<QCheckBox>(screen.get(), "cbIncludeS")->isChecked());
  EXPECT_TRUE(TakeShown().empty());
}

TEST_F(ExportScreenTest, OneRowPerCueWritesTheTrialTableAsTheCommandLineDoes) {
  const std::string experimentPath = CreateExperiment();
  {
    auto db = store::Database::Open(experimentPath);
    store::GetOrCreateMetaCue(db.get());
    for (int trial = 1; trial <= 3; ++trial)
      for (int cue = 1; cue <= 2; ++cue)
        db->Execute("INSERT INTO MetaCue (SubjectID, InstanceType, TrialNumber, TraceTrial, CueNumber, ModelTime, "
                    "Path, Utility, Activation, RetrievalTime, Executed, Feedback, UtilityAfter, Situation, Decision) "
                    "VALUES (1, 'I1', ?, ?, ?, ?, 'RETR', ?, 0.5, 606.5, ?, ?, ?, ?, ?)",
                    {Variant(trial), Variant(trial - 1), Variant(cue), Variant(100.0 * trial + cue),
                     Variant(1.0 / 3 * cue), Variant(cue == 2 ? 1 : 0), cue == 2 ? Variant(4.0) : Variant::Null(),
                     cue == 2 ? Variant(4.0) : Variant::Null(), Variant("{\"Price\":" + std::to_string(cue) + "}"),
                     Variant(std::string("{\"Choice\":\"") + (cue == 1 ? "A" : "B, then C") + "\"}")});
    db->Close();
  }
  auto screen = Open();
  QPushButton* button = Find<QPushButton>(screen.get(), "btnExportTrials");
  EXPECT_EQ(button->text(), "One row per &cue");
  ChooseAll(screen.get());
  button->click();
  ASSERT_TRUE(WaitFor([&] { return !screen->Exporting(); }));
  const exporting::ExportOutcome outcome = screen->LastExport();
  ASSERT_TRUE(outcome.Ok()) << outcome.message;
  EXPECT_EQ(outcome.rows, 6);
  EXPECT_NE(outcome.path.find("/trials-"), std::string::npos) << outcome.path;
  EXPECT_EQ(Find<QLabel>(screen.get(), "lblStatus")->text().toStdString(), "Data exported into " + outcome.path);
  const QByteArray written = ReadAll(outcome.path);
  EXPECT_TRUE(written.startsWith("SubjectID,TrialNumber,CueNumber,ModelTime,Price,Path,Utility,Activation,"
                                 "RetrievalTime,Executed,Choice,Feedback,UtilityAfter,Instance\r\n"
                                 "1,1,1,101,1,RETR,0.333333333333333,0.5,606.5,0,A,,,\r\n"
                                 "1,1,2,102,2,RETR,0.666666666666667,0.5,606.5,1,\"B, then C\",4,4,\r\n"))
      << written.toStdString();

  // The command line writes the very same bytes.
  const QString program = QString::fromStdString(BinDir() + "/korvane");
  if (!QFileInfo(program).isExecutable()) GTEST_SKIP() << "the korvane program is not built";
  const std::string headless = dir_.File("headless-trials.csv");
  QProcess run;
  run.start(program, {"export", QString::fromStdString(experimentPath), "--trials", "-o",
                      QString::fromStdString(headless)});
  ASSERT_TRUE(run.waitForFinished(60000));
  EXPECT_EQ(run.exitCode(), 0) << run.readAllStandardError().toStdString();
  EXPECT_EQ(ReadAll(headless), written);
}

TEST_F(ExportScreenTest, FiltersAreAddedCheckedAndRemoved) {
  CreateExperiment();
  auto screen = Open();
  QPushButton* add = Find<QPushButton>(screen.get(), "btnAddFilter");
  add->click();
  EXPECT_EQ(TakeShown(), std::vector<std::string>{"Please select an instance type first."});
  ChooseAll(screen.get());

  // The dialog: refused without a variable, then a range on Activation.
  bool sawDialog = false;
  QTimer::singleShot(0, [&] {
    auto* dialog = qobject_cast<editor::frmExportFilter*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    sawDialog = true;
    EXPECT_EQ(Find<QPushButton>(dialog, "btnDiscard")->text(), "&Discard");
    Find<QPushButton>(dialog, "btnSave")->click();
    EXPECT_EQ(TakeShown(), std::vector<std::string>{"Please select a variable first."});
    QListWidget* variables = Find<QListWidget>(dialog, "lstVariables");
    EXPECT_EQ(variables->item(0)->text(), "Activation");
    EXPECT_EQ(variables->item(5)->text(), "Price (Situation)");
    variables->setCurrentRow(0);
    Find<QRadioButton>(dialog, "obRules")->click();
    Find<QCheckBox>(dialog, "cbGreater")->click();
    Find<QLineEdit>(dialog, "tbGreaterValue")->setText("2.5");
    Find<QPushButton>(dialog, "btnSave")->click();
  });
  add->click();
  ASSERT_TRUE(sawDialog);
  QListWidget* list = Find<QListWidget>(screen.get(), "lvFilters");
  ASSERT_EQ(list->count(), 1);
  EXPECT_EQ(list->item(0)->checkState(), Qt::Checked);
  EXPECT_EQ(Find<QLabel>(screen.get(), "lblFilterCount")->text(), "1 Filter");
  EXPECT_EQ(screen->Filters().Item(0)->Column(), "Activation");
  const std::string stored = Setting("Export_Filters").ToText();
  EXPECT_NE(stored.find("DATAFILTERCOLLECTION|A|DATAFILTER,B,T,Activation"), std::string::npos) << stored;
  ASSERT_TRUE(screen->RefreshPreview());
  EXPECT_EQ(screen->PreviewModel()->rowCount(), 8);  // activation 0.1 * c + t above 2.5: trial 3 only
  list->item(0)->setCheckState(Qt::Unchecked);
  EXPECT_FALSE(screen->Filters().Item(0)->Active());
  EXPECT_NE(Setting("Export_Filters").ToText().find("DATAFILTER,B,F,"), std::string::npos);
  ASSERT_TRUE(screen->RefreshPreview());
  EXPECT_EQ(screen->PreviewModel()->rowCount(), 24);  // a cleared filter changes nothing

  Find<QPushButton>(screen.get(), "btnEditFilter")->click();
  EXPECT_EQ(TakeShown(), std::vector<std::string>{"Edit filter is still under development."});
  list->setCurrentRow(0);
  dialogs_->QueueAnswer(DialogAnswer::No);
  Find<QPushButton>(screen.get(), "btnRemoveFilter")->click();
  EXPECT_EQ(list->count(), 1);
  ASSERT_EQ(dialogs_->Shown().size(), 1u);
  EXPECT_EQ(dialogs_->Shown()[0].title, "Permanently Remove Filter");
  dialogs_->QueueAnswer(DialogAnswer::Yes);
  Find<QPushButton>(screen.get(), "btnRemoveFilter")->click();
  EXPECT_EQ(list->count(), 0);
  EXPECT_EQ(Find<QLabel>(screen.get(), "lblFilterCount")->text(), "0 Filters");
  EXPECT_EQ(Setting("Export_Filters"), Variant("DATAFILTERCOLLECTION|A"));
}

TEST_F(ExportScreenTest, RefusalsWithoutChoices) {
  auto screen = Open();
  EXPECT_EQ(Find<QListWidget>(screen.get(), "lstFiles")->count(), 0);
  EXPECT_FALSE(screen->RefreshPreview());
  EXPECT_EQ(TakeShown(), std::vector<std::string>{"Please select a database first."});
  CreateExperiment();
  screen->CloseScreen();
  screen->OpenScreen();
  Find<QListWidget>(screen.get(), "lstFiles")->setCurrentRow(0);
  Find<QListWidget>(screen.get(), "lstInstanceTypes")->setCurrentRow(0);
  EXPECT_FALSE(screen->StartExport());
  EXPECT_EQ(TakeShown(), std::vector<std::string>{"Please select at least one subject from the list of subjects."});
  EXPECT_EQ(Find<QLabel>(screen.get(), "lblStatus")->text(), "Cannot export. Please try again.");
}

TEST_F(ExportScreenTest, OpensTheRunJustMadeThenTheLastChoiceThenTheNewest) {
  CreateExperiment("Model-20990101-1.mdb");
  CreateExperiment("Model-20990101-2.mdb");
  CreateExperiment("Model-20990102-1.mdb");
  auto chosen = [&] {
    auto screen = Open();
    QListWidget* files = Find<QListWidget>(screen.get(), "lstFiles");
    const QString name = files->currentItem() ? files->currentItem()->text() : QString();
    // Every name has its whole text in a tooltip, for when it is shortened.
    for (int i = 0; i < files->count(); ++i) EXPECT_EQ(files->item(i)->toolTip(), files->item(i)->text());
    screen->CloseScreen();
    return name.toStdString();
  };
  // Nothing chosen yet: the newest run, which is then remembered.
  EXPECT_EQ(chosen(), "Model-20990102-1.mdb");
  EXPECT_EQ(Setting("Export_LastMDB"), Variant("Model-20990102-1.mdb"));
  // A choice of the researcher's own is kept...
  SetSetting("Export_LastMDB", Variant("Model-20990101-1.mdb"));
  EXPECT_EQ(chosen(), "Model-20990101-1.mdb");
  EXPECT_EQ(chosen(), "Model-20990101-1.mdb");
  // ...until a run is made: then that run, once, and it becomes the choice.
  editor::NoteNewExperiment(QString::fromStdString(modelPath_), QString::fromStdString(dir_.File("Model-20990101-2.mdb")));
  EXPECT_EQ(chosen(), "Model-20990101-2.mdb");
  EXPECT_EQ(Setting("Export_LastMDB"), Variant("Model-20990101-2.mdb"));
  SetSetting("Export_LastMDB", Variant("Model-20990101-1.mdb"));
  EXPECT_EQ(chosen(), "Model-20990101-1.mdb");
}

}  // namespace
}  // namespace korvane::test
