// Tests of what the graph screen and `korvane plot` show: the per-trial
// summary of a run's trace, its picture, and the screen's choices.
#include <QComboBox>
#include <QImage>
#include <QListWidget>
#include <QFile>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <cmath>

#include "ModelScreenFixture.h"
#include "editor/GraphScreen.h"
#include "editor/RunPlot.h"
#include "editor/RunSummary.h"
#include "store/Schema.h"

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

// Adds a trial table to the experiment: 2 subjects x 4 trials x 2 cues
// (Price 1 and 2). Subject 1 executes Price 2 ("B") from trial 3 on, subject
// 2 always Price 1 ("A"); a cue's utility is 10 x Price + trial.
void AddTrialTable(const std::string& path) {
  auto db = store::Database::Open(path);
  store::GetOrCreateMetaCue(db.get());
  for (int subject = 1; subject <= 2; ++subject)
    for (int trial = 1; trial <= 4; ++trial)
      for (int cue = 1; cue <= 2; ++cue) {
        const bool executed = (subject == 1 && trial >= 3) ? cue == 2 : cue == 1;
        db->Execute("INSERT INTO MetaCue (SubjectID, InstanceType, TrialNumber, TraceTrial, CueNumber, ModelTime, "
                    "Path, Utility, Activation, RetrievalTime, Executed, Situation, Decision) "
                    "VALUES (?, 'I1', ?, ?, ?, 0, ?, ?, ?, 1, ?, ?, ?)",
                    {Variant(subject), Variant(trial), Variant(trial - 1), Variant(cue),
                     Variant(cue == 2 && trial == 1 ? "HEUR" : "RETR"), Variant(10.0 * cue + trial),
                     Variant(0.5 * trial), Variant(executed ? 1 : 0),
                     Variant("{\"Price\":" + std::to_string(cue) + "}"),
                     Variant(std::string("{\"Choice\":\"") + (cue == 1 ? "A" : "B") + "\"}")});
      }
  db->Close();
}

TEST_F(GraphTest, BlendsGiveTheProbabilityOfEachOutcomeAndTheBaseLevelOfEachInstance) {
  const std::string path = CreateExperiment();
  AddTrialTable(path);
  {
    auto db = store::Database::Open(path);
    // Subject 1's first trial: the blend of Price 1 weighs instance 1
    // (Price 1.5, value 11) 0.25 and instance 2 (Price 3, value 21) 0.75;
    // that of Price 2 instance 1 alone. Subject 2's: Price 1 blends
    // instance 4 (value 12) alone.
    store::GetOrCreateMetaBlend(db.get());
    db->Execute("INSERT INTO MetaBlend (SubjectID, InstanceType, TrialNumber, CueNumber, Instance, Probability) "
                "VALUES (1, 'I1', 0, 1, 1, 0.25), (1, 'I1', 0, 1, 2, 0.75), (1, 'I1', 0, 2, 1, 1), "
                "(2, 'I1', 0, 1, 4, 1)");
    db->Close();
  }
  auto db = store::Database::Open(path);
  const RunSummary summary = editor::SummarizeRun(*db, "I1", {});
  ASSERT_EQ(summary.outcomeLabels,
            (std::vector<std::string>{"Price 1: 11", "Price 1: 12", "Price 1: 21", "Price 2: 11"}));
  EXPECT_DOUBLE_EQ(summary.outcomeProbability[0][0], 0.25);
  EXPECT_DOUBLE_EQ(summary.outcomeProbability[1][0], 1);
  EXPECT_DOUBLE_EQ(summary.outcomeProbability[2][0], 0.75);
  EXPECT_DOUBLE_EQ(summary.outcomeProbability[3][0], 1);
  EXPECT_TRUE(std::isnan(summary.outcomeProbability[0][1]));
  // The trace's ACAL rows of traced trial 1 belong to trial 2 of the trial
  // table; every candidate there has BLL 0.25.
  ASSERT_FALSE(summary.instanceLabels.empty());
  EXPECT_EQ(summary.instanceLabels[0], "Price 1.5: 11");
  EXPECT_DOUBLE_EQ(summary.instanceBLL[0][1], 0.25);
  // Both panels are drawn.
  const QImage image = editor::RenderRunSummary(summary, "Run", 800, 1100);
  EXPECT_FALSE(image.isNull());
  // Subjects filter the blends too.
  EXPECT_EQ(editor::SummarizeRun(*db, "I1", {2}).outcomeLabels, std::vector<std::string>{"Price 1: 12"});
  db->Close();
}

TEST_F(GraphTest, TrialTableGivesNamedDecisionsBlocksAndJudgedValues) {
  const std::string path = CreateExperiment();
  AddTrialTable(path);
  auto db = store::Database::Open(path);
  const RunSummary trials = editor::SummarizeRun(*db, "I1", {});
  EXPECT_TRUE(trials.fromTrialTable);
  EXPECT_EQ(trials.trials, (std::vector<std::int64_t>{1, 2, 3, 4}));
  ASSERT_EQ(trials.decisionValues, (std::vector<std::string>{"Choice = A", "Choice = B"}));
  EXPECT_DOUBLE_EQ(trials.share[1][0], 0.0);
  EXPECT_DOUBLE_EQ(trials.share[1][3], 0.5);
  EXPECT_EQ(trials.executions, 8);
  EXPECT_EQ(trials.retrievals, 14);  // the two heuristic cues are not retrievals
  ASSERT_EQ(trials.alternatives, (std::vector<std::string>{"Price = 1", "Price = 2"}));
  EXPECT_DOUBLE_EQ(trials.alternativeUtility[1][2], 23.0);
  EXPECT_DOUBLE_EQ(trials.meanUtility[3], (24.0 + 14.0) / 2);
  EXPECT_DOUBLE_EQ(trials.meanActivation[0], 0.5);

  // Blocks of 2 trials: points 1 and 2.
  const RunSummary blocks = editor::SummarizeRun(*db, "I1", {1}, 2);
  EXPECT_EQ(blocks.trials, (std::vector<std::int64_t>{1, 2}));
  EXPECT_EQ(blocks.blockSize, 2);
  EXPECT_DOUBLE_EQ(blocks.share[1][0], 0.0);
  EXPECT_DOUBLE_EQ(blocks.share[1][1], 1.0);
  EXPECT_DOUBLE_EQ(blocks.alternativeUtility[0][1], 13.5);
  db->Close();

  // PNG, SVG and PDF by the name, each of the size asked for.
  QString error;
  const QString png = QString::fromStdString(dir_.File("run.png"));
  ASSERT_TRUE(editor::SaveRunSummary(trials, "Run", png, &error, 900, 700)) << error.toStdString();
  EXPECT_EQ(QImage(png).size(), QSize(900, 700));
  const QString svg = QString::fromStdString(dir_.File("run.svg"));
  ASSERT_TRUE(editor::SaveRunSummary(trials, "Run", svg, &error, 900, 700)) << error.toStdString();
  QFile svgFile(svg);
  ASSERT_TRUE(svgFile.open(QIODevice::ReadOnly));
  const QString svgText = QString::fromUtf8(svgFile.readAll());
  EXPECT_TRUE(svgText.startsWith("<?xml")) << svgText.left(80).toStdString();
  EXPECT_TRUE(svgText.contains("viewBox=\"0 0 900 700\"")) << svgText.left(400).toStdString();
  EXPECT_TRUE(svgText.contains("Price = 2"));
  EXPECT_TRUE(svgText.contains("Choice = B"));
  const QString pdf = QString::fromStdString(dir_.File("run.pdf"));
  ASSERT_TRUE(editor::SaveRunSummary(trials, "Run", pdf, &error, 900, 700)) << error.toStdString();
  QFile pdfFile(pdf);
  ASSERT_TRUE(pdfFile.open(QIODevice::ReadOnly));
  const QByteArray pdfBytes = pdfFile.readAll();
  EXPECT_TRUE(pdfBytes.startsWith("%PDF-"));
  const QRegularExpressionMatch box =
      QRegularExpression(R"(/MediaBox \[0 0 ([0-9.]+) ([0-9.]+)\])").match(QString::fromLatin1(pdfBytes));
  ASSERT_TRUE(box.hasMatch());
  EXPECT_NEAR(box.captured(1).toDouble(), 900, 1);
  EXPECT_NEAR(box.captured(2).toDouble(), 700, 1);
  EXPECT_FALSE(editor::SaveRunSummary(trials, "Run", QString::fromStdString(dir_.File("no/such/x.svg")), &error));
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
  // Blocks of trials.
  Find<QSpinBox>(&screen, "sbBlock")->setValue(2);
  EXPECT_EQ(screen.Summary().blockSize, 2);
  EXPECT_EQ(screen.Summary().trials.size(), 2u);
  EXPECT_TRUE(TakeShown().empty());
}

}  // namespace
}  // namespace korvane::test
