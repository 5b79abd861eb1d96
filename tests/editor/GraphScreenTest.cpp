// Tests of what the graph screen and `korvane plot` show: the per-trial
// summary of a run's trace, its picture, and the screen's choices.
#include <QComboBox>
#include <QImage>
#include <QListWidget>
#include <QPushButton>
#include <cmath>

#include "ModelScreenFixture.h"
#include "editor/GraphScreen.h"
#include "editor/RunPlot.h"
#include "editor/RunSummary.h"

namespace korvane::test {
namespace {

using editor::RunSummary;

class GraphTest : public ModelScreenTest {};

TEST_F(GraphTest, SummaryAveragesSubjectsPerTrial) {
  auto db = store::Database::Open(CreateExperiment());
  RunSummary all = editor::SummarizeRun(*db, "I1", {});
  EXPECT_EQ(all.trials, (std::vector<std::int64_t>{1, 2, 3}));
  EXPECT_EQ(all.decisionSlots, std::vector<std::string>{"Choice"});
  EXPECT_EQ(all.utilitySlot, "Value");
  ASSERT_EQ(all.decisionValues, (std::vector<std::string>{"A", "B"}));
  EXPECT_DOUBLE_EQ(all.share[0][0], 0.5);  // trial 1: subject 1 chose A, subject 2 B
  EXPECT_DOUBLE_EQ(all.share[1][0], 0.5);
  EXPECT_DOUBLE_EQ(all.share[0][2], 1.0);
  EXPECT_DOUBLE_EQ(all.share[1][2], 0.0);
  EXPECT_DOUBLE_EQ(all.meanUtility[1], 21.5);  // (21 + 22) / 2
  EXPECT_DOUBLE_EQ(all.meanActivation[2], 4.5);  // subjects 1 and 2 in trial 3: (4 + 5) / 2
  EXPECT_EQ(all.executions, 6);
  EXPECT_EQ(all.retrievals, 6);

  RunSummary second = editor::SummarizeRun(*db, "I1", {2});
  EXPECT_DOUBLE_EQ(second.share[1][0], 1.0);
  EXPECT_DOUBLE_EQ(second.meanActivation[0], 3.0);

  // An executed instance whose row is gone, with nothing saying where it
  // went, counts out of the shares.
  db->Execute("DELETE FROM I1 WHERE X_ID = 4");  // subject 2, trial 1, chose B
  RunSummary lost = editor::SummarizeRun(*db, "I1", {});
  EXPECT_EQ(lost.executionsWithoutRow, 1);
  EXPECT_DOUBLE_EQ(lost.share[0][0], 1.0);
  EXPECT_EQ(lost.decisionValues, std::vector<std::string>{"A"});

  // Merged by feedback: followed through MetaMerge, over a row that was
  // itself merged later, to the row that holds the instance now.
  db->Execute("INSERT INTO I1 (X_ID, X_Subject, S_Price_Real, D_Choice_String, U_Value_Real) "
              "VALUES (9, 2, 1.5, 'B', 30)");
  store::GetOrCreateMetaMerge(db.get());
  db->Execute("INSERT INTO MetaMerge (SubjectID, InstanceType, TrialNumber, Instance, MergedInto) "
              "VALUES (2, 'I1', 1, 4, 8), (2, 'I1', 2, 8, 9), (2, 'I2', 1, 4, 5)");
  RunSummary merged = editor::SummarizeRun(*db, "I1", {});
  EXPECT_EQ(merged.executionsWithoutRow, 0);
  EXPECT_EQ(merged.executions, 6);
  EXPECT_DOUBLE_EQ(merged.share[1][0], 0.5);
  EXPECT_DOUBLE_EQ(merged.meanUtility[0], (11.0 + 30.0) / 2);

  EXPECT_TRUE(editor::SummarizeRun(*db, "I7", {}).Empty());
  db->Close();

  // A model without a trace has nothing to show.
  auto model = Model();
  EXPECT_TRUE(editor::SummarizeRun(*model, "I1", {}).Empty());
  model->Close();
}

TEST_F(GraphTest, PictureIsWrittenAsPng) {
  auto db = store::Database::Open(CreateExperiment());
  const RunSummary summary = editor::SummarizeRun(*db, "I1", {});
  db->Close();
  const QString path = QString::fromStdString(dir_.File("run.png"));
  QString error;
  ASSERT_TRUE(editor::SaveRunSummaryPng(summary, "Run", path, &error, 800, 600)) << error.toStdString();
  QImage image(path);
  ASSERT_FALSE(image.isNull());
  EXPECT_EQ(image.size(), QSize(800, 600));
  // Something besides the white background was drawn in every panel.
  for (int panel = 0; panel < 3; ++panel) {
    int coloured = 0;
    for (int y = 60 + panel * 180; y < 60 + (panel + 1) * 180 && y < 600; ++y)
      for (int x = 0; x < 800; x += 2)
        if (QColor(image.pixel(x, y)).saturation() > 80) ++coloured;
    EXPECT_GT(coloured, 20) << "panel " << panel;
  }
  EXPECT_FALSE(editor::SaveRunSummaryPng(summary, "Run", QString::fromStdString(dir_.File("no/such/dir/x.png")),
                                         &error));
  EXPECT_FALSE(error.isEmpty());
  const std::vector<double> ticks = editor::NiceTicks(0, 1, 5);
  ASSERT_EQ(ticks.size(), 6u);
  for (std::size_t i = 0; i < ticks.size(); ++i) EXPECT_NEAR(ticks[i], 0.2 * static_cast<double>(i), 1e-9);
}

TEST_F(GraphTest, ScreenChoosesTheNewestRunAndItsSubjects) {
  CreateExperiment("Model-20990101-2.mdb");
  CreateExperiment("Model-20990101-10.mdb");
  editor::frmGraphNew screen(host_);
  ASSERT_TRUE(screen.OpenScreen());
  screen.resize(1000, 700);
  screen.show();
  QComboBox* files = Find<QComboBox>(&screen, "cbDatabase");
  ASSERT_EQ(files->count(), 2);
  EXPECT_EQ(files->currentText(), "Model-20990101-10.mdb");
  EXPECT_EQ(Find<QComboBox>(&screen, "cbInstanceType")->currentText(), "I1");
  QListWidget* subjects = Find<QListWidget>(&screen, "lstSubjects");
  ASSERT_EQ(subjects->count(), 2);
  EXPECT_EQ(subjects->selectedItems().size(), 2);
  EXPECT_EQ(screen.Summary().trials.size(), 3u);
  Find<QPushButton>(&screen, "btnSelectNone")->click();
  EXPECT_TRUE(screen.Summary().Empty());
  subjects->item(1)->setSelected(true);
  EXPECT_DOUBLE_EQ(screen.Summary().share[1][0], 1.0);
  EXPECT_TRUE(screen.SavePicture(QString::fromStdString(dir_.File("graph.png"))));
  EXPECT_FALSE(QImage(QString::fromStdString(dir_.File("graph.png"))).isNull());
  EXPECT_TRUE(TakeShown().empty());
}

}  // namespace
}  // namespace korvane::test
