// Tests of the model parameters screen: defaults written on the first
// opening, the keyboard filters, the checks on leaving a box, immediate
// writes, and the run settings (clock, seed, listen address).
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include "ModelScreenFixture.h"
#include "editor/ModelParametersScreen.h"
#include "editor/NumberText.h"

namespace korvane::test {
namespace {

using editor::frmModelParameters;

TEST(NumberTextTest, LeadingNumberAndCanonicalForm) {
  EXPECT_DOUBLE_EQ(editor::LeadingNumber("-3abc"), -3);
  EXPECT_DOUBLE_EQ(editor::LeadingNumber(".5"), 0.5);
  EXPECT_DOUBLE_EQ(editor::LeadingNumber("1e3"), 1);
  EXPECT_DOUBLE_EQ(editor::LeadingNumber("  12.25x"), 12.25);
  EXPECT_DOUBLE_EQ(editor::LeadingNumber("x5"), 0);
  EXPECT_DOUBLE_EQ(editor::LeadingNumber("-"), 0);
  EXPECT_EQ(editor::PlainNumberText(0.1), "0.1");
  EXPECT_EQ(editor::PlainNumberText(1e6), "1000000");
  EXPECT_EQ(editor::PlainNumberText(-0.0), "0");
  for (const char* good : {"0.5", "12", "-3", "", "  ", "1000000", "0.001"})
    EXPECT_TRUE(editor::IsCanonicalNumberText(good)) << good;
  for (const char* bad : {".5", "1.0", "007", "1e3", "5x", "-", "5.", "+3", "-0"})
    EXPECT_FALSE(editor::IsCanonicalNumberText(bad)) << bad;
}

class ModelParametersTest : public ModelScreenTest {
 protected:
  std::unique_ptr<frmModelParameters> Open() {
    auto screen = std::make_unique<frmModelParameters>(host_);
    EXPECT_TRUE(screen->OpenScreen());
    screen->resize(1000, 740);
    screen->show();
    QApplication::setActiveWindow(screen.get());
    EXPECT_TRUE(QTest::qWaitForWindowActive(screen.get()));
    return screen;
  }
  QLineEdit* Box(QWidget* screen, const char* name) { return Find<QLineEdit>(screen, name); }

  // Gives the box the focus, puts text in, and moves on to tbHelo the way a
  // Tab would; returns the messages that leaving the box showed.
  std::vector<std::string> TypeAndLeave(QWidget* screen, const char* name, const QString& text) {
    QLineEdit* box = Box(screen, name);
    box->setFocus(Qt::TabFocusReason);
    QCoreApplication::processEvents();
    box->setText(text);
    Box(screen, "tbHelo")->setFocus(Qt::TabFocusReason);
    QCoreApplication::processEvents();
    return TakeShown();
  }
};

TEST_F(ModelParametersTest, FirstOpeningStoresEveryDefault) {
  auto screen = Open();
  EXPECT_EQ(screen->objectName(), "frmModelParameters");
  EXPECT_EQ(Setting("Params_Port_Value"), Variant(4258.0));
  EXPECT_EQ(Setting("Params_S_Value"), Variant(0.25));
  EXPECT_EQ(Setting("Params_D_Value"), Variant(0.5));
  EXPECT_EQ(Setting("Params_StopRule"), Variant(0.0));
  EXPECT_EQ(Setting("Params_StopRule_Value"), Variant(1000.0));
  EXPECT_EQ(Setting("Params_StopRule_Num"), Variant(1.0));
  EXPECT_EQ(Setting("Params_Batch_Value"), Variant(1.0));
  EXPECT_EQ(Setting("Params_Alpha_Value"), Variant(1.0));
  EXPECT_EQ(Setting("Params_Goal_Value"), Variant(1.0));
  EXPECT_EQ(Setting("Params_CT_Value"), Variant(0.0));
  EXPECT_EQ(Setting("Params_Clock"), Variant(0.0));
  EXPECT_TRUE(HasSetting("Params_HELO"));
  EXPECT_EQ(Setting("Reinforce_Recognition"), Variant(0.0));
  EXPECT_EQ(Setting("Merge_WithPrepopulated"), Variant(0.0));
  // A new model's thresholds have the comparison "none"; the other
  // comparisons stay unset until one is chosen.
  for (const char* key : {"Params_CT_Cmp", "Params_U_Cmp", "Params_Delta_Cmp"})
    EXPECT_EQ(Setting(key), Variant("none")) << key;
  EXPECT_FALSE(HasSetting("Params_D_Cmp"));
  EXPECT_EQ(Find<QComboBox>(screen.get(), "cbCmpCT")->currentText(), "none");
  EXPECT_EQ(Find<QComboBox>(screen.get(), "cbCmpD")->currentIndex(), -1);
  EXPECT_EQ(Box(screen.get(), "tbIPAddress")->text(), "127.0.0.1");
  EXPECT_TRUE(Box(screen.get(), "tbStopRuleTime")->isEnabled());
  EXPECT_FALSE(Box(screen.get(), "tbStopRuleNum")->isEnabled());
  EXPECT_TRUE(TakeShown().empty());
}

TEST_F(ModelParametersTest, ChangesAreWrittenAtOnceAndComeBack) {
  {
    auto screen = Open();
    QComboBox* cmp = Find<QComboBox>(screen.get(), "cbCmpCT");
    ASSERT_EQ(cmp->count(), 6);
    EXPECT_EQ(cmp->itemText(0), ">");
    EXPECT_EQ(cmp->itemText(4), "<=");
    EXPECT_EQ(cmp->itemText(5), "none");
    EXPECT_EQ(Find<QComboBox>(screen.get(), "cbCmpD")->count(), 5);  // not a threshold
    cmp->setCurrentIndex(3);
    EXPECT_EQ(Setting("Params_CT_Cmp"), Variant(">="));

    // The number the text begins with is written while typing.
    Box(screen.get(), "tbS")->setText("0.75abc");
    EXPECT_EQ(Setting("Params_S_Value"), Variant(0.75));
    Box(screen.get(), "tbD")->clear();
    EXPECT_EQ(Setting("Params_D_Value"), Variant(0.0));
    Box(screen.get(), "tbNumberOfSimulations")->clear();
    Box(screen.get(), "tbHelo")->setText("Hello %d");
    EXPECT_EQ(Setting("Params_HELO"), Variant("Hello %d"));

    Find<QCheckBox>(screen.get(), "cbReinforceFeedback")->click();
    EXPECT_EQ(Setting("Reinforce_Feedback"), Variant(1.0));
    // A click on a caption is a click on its box.
    auto* merge = Find<QLabel>(screen.get(), "cbMergeWithPrepopulatedCaption");
    EXPECT_EQ(merge->text(), "Allow instances created during simulation to be merged with prepopulated instances "
                             "when appropriate");
    QTest::mouseClick(merge, Qt::LeftButton);
    EXPECT_TRUE(Find<QCheckBox>(screen.get(), "cbMergeWithPrepopulated")->isChecked());
    EXPECT_EQ(Setting("Merge_WithPrepopulated"), Variant(1.0));
    Find<QRadioButton>(screen.get(), "obStopRule1")->click();
    EXPECT_EQ(Setting("Params_StopRule"), Variant(1.0));
    EXPECT_FALSE(Box(screen.get(), "tbStopRuleTime")->isEnabled());
    EXPECT_TRUE(Box(screen.get(), "tbStopRuleNum")->isEnabled());
    Find<QRadioButton>(screen.get(), "obClock1")->click();
    EXPECT_EQ(Setting("Params_Clock"), Variant(1.0));
    Box(screen.get(), "tbSeed")->setText("42");
    EXPECT_EQ(Setting("Params_Seed"), Variant(42.0));
    auto* trace = Find<QComboBox>(screen.get(), "cboTraceLevel");
    ASSERT_EQ(trace->count(), 3);
    EXPECT_EQ(trace->currentIndex(), 0);  // full, the default
    trace->setCurrentIndex(1);
    emit trace->activated(1);
    EXPECT_EQ(Setting("Params_TraceLevel"), Variant(1.0));
    Box(screen.get(), "tbListen")->setText("0.0.0.0");
    EXPECT_EQ(Setting("Params_Listen"), Variant("0.0.0.0"));
    EXPECT_NE(Box(screen.get(), "tbIPAddress")->text(), "");
    screen->CloseScreen();
  }
  SetSetting("Params_U_Cmp", Variant("=>"));  // not one of the five
  auto screen = Open();
  EXPECT_EQ(Find<QComboBox>(screen.get(), "cbCmpCT")->currentText(), ">=");
  EXPECT_EQ(Find<QComboBox>(screen.get(), "cbCmpU")->currentIndex(), -1);
  EXPECT_EQ(Box(screen.get(), "tbS")->text(), "0.75");
  EXPECT_EQ(Box(screen.get(), "tbD")->text(), "0");  // a cleared box keeps 0, not the default
  EXPECT_EQ(Box(screen.get(), "tbNumberOfSimulations")->text(), "1");  // cleared: the default again
  EXPECT_EQ(Setting("Params_Batch_Value"), Variant(1.0));
  EXPECT_EQ(Box(screen.get(), "tbHelo")->text(), "Hello %d");
  EXPECT_TRUE(Find<QCheckBox>(screen.get(), "cbReinforceFeedback")->isChecked());
  EXPECT_TRUE(Find<QRadioButton>(screen.get(), "obStopRule1")->isChecked());
  EXPECT_FALSE(Box(screen.get(), "tbStopRuleTime")->isEnabled());
  EXPECT_TRUE(Find<QRadioButton>(screen.get(), "obClock1")->isChecked());
  EXPECT_EQ(Box(screen.get(), "tbSeed")->text(), "42");
  EXPECT_EQ(Box(screen.get(), "tbListen")->text(), "0.0.0.0");
  EXPECT_EQ(Find<QComboBox>(screen.get(), "cboTraceLevel")->currentIndex(), 1);
}

TEST_F(ModelParametersTest, KeyboardFiltersDiscardOtherKeys) {
  auto screen = Open();
  QLineEdit* d = Box(screen.get(), "tbD");
  d->clear();
  d->setFocus();
  QTest::keyClicks(d, "1a.5-x");
  EXPECT_EQ(d->text(), "1.5-");
  QLineEdit* port = Box(screen.get(), "tbPort");
  port->clear();
  QTest::keyClicks(port, "42-5.8x");
  EXPECT_EQ(port->text(), "4258");
  QLineEdit* helo = Box(screen.get(), "tbHelo");
  QTest::keyClicks(helo, "Hi x-1.");
  EXPECT_EQ(helo->text(), "Hi x-1.");
}

TEST_F(ModelParametersTest, LeavingABoxChecksTheNumber) {
  auto screen = Open();
  for (const char* good : {"0.5", "12", "-3", ""}) {
    EXPECT_TRUE(TypeAndLeave(screen.get(), "tbD", good).empty()) << good;
    EXPECT_TRUE(Box(screen.get(), "tbHelo")->hasFocus()) << good;
  }
  for (const char* bad : {".5", "1.0", "007", "1e3", "5x"}) {
    auto shown = TypeAndLeave(screen.get(), "tbD", bad);
    ASSERT_EQ(shown.size(), 1u) << bad;
    EXPECT_EQ(shown[0], std::string("The value '") + bad + "' isn't a valid number. Please correct it.");
    QLineEdit* d = Box(screen.get(), "tbD");
    EXPECT_TRUE(d->hasFocus()) << bad;
    EXPECT_EQ(d->selectedText(), d->text()) << bad;
  }
  // Typing has already stored the number the text begins with.
  EXPECT_EQ(Setting("Params_D_Value"), Variant(5.0));
  EXPECT_TRUE(TypeAndLeave(screen.get(), "tbD", "5").empty());
  // The number of subjects and the port are checked the same way.
  EXPECT_EQ(TypeAndLeave(screen.get(), "tbNumberOfSimulations", "03").size(), 1u);
  EXPECT_TRUE(TypeAndLeave(screen.get(), "tbNumberOfSimulations", "3").empty());
  EXPECT_EQ(TypeAndLeave(screen.get(), "tbPort", "70000"),
            std::vector<std::string>{"The port '70000' must be a number from 1 to 65535."});
  EXPECT_TRUE(TypeAndLeave(screen.get(), "tbPort", "5000").empty());
  EXPECT_EQ(TypeAndLeave(screen.get(), "tbListen", "1.2.3.4.5").size(), 1u);
  EXPECT_TRUE(TypeAndLeave(screen.get(), "tbListen", "").empty());
}

TEST_F(ModelParametersTest, StopRuleChecks) {
  auto screen = Open();
  EXPECT_EQ(TypeAndLeave(screen.get(), "tbStopRuleTime", "0"),
            std::vector<std::string>{"Stopping time rule must at least 1 millisecond."});
  EXPECT_TRUE(TypeAndLeave(screen.get(), "tbStopRuleTime", "250").empty());
  Find<QRadioButton>(screen.get(), "obStopRule1")->click();
  EXPECT_TRUE(TypeAndLeave(screen.get(), "tbStopRuleNum", "1.5").empty());
  EXPECT_EQ(Setting("Params_StopRule_Num"), Variant(1.5));
  EXPECT_EQ(TypeAndLeave(screen.get(), "tbStopRuleNum", "0.5"),
            std::vector<std::string>{"Number of cycles must be greater than zero."});
  // Back in the box after the message, typing replaces the refused value.
  QLineEdit* cycles = Box(screen.get(), "tbStopRuleNum");
  EXPECT_TRUE(cycles->hasFocus());
  QCoreApplication::processEvents();
  EXPECT_EQ(cycles->selectedText(), "0.5");
  QTest::keyClicks(cycles, "2");
  EXPECT_EQ(cycles->text(), "2");
  // The number check comes first.
  EXPECT_EQ(TypeAndLeave(screen.get(), "tbStopRuleNum", ".5"),
            std::vector<std::string>{"The value '.5' isn't a valid number. Please correct it."});
}

TEST_F(ModelParametersTest, ALongNumberShowsItsStartAndAllOfItInTheTooltip) {
  SetSetting("Params_Delta_Value", Variant(-1e300));
  auto screen = Open();
  QLineEdit* rt = Box(screen.get(), "tbDelta");
  EXPECT_TRUE(rt->text().startsWith("-1000")) << rt->text().toStdString();
  EXPECT_EQ(rt->cursorPosition(), 0);
  EXPECT_EQ(rt->toolTip(), rt->text());
}

TEST_F(ModelParametersTest, BackAndNextShowTheNeighbours) {
  auto screen = Open();
  Find<QPushButton>(screen.get(), "btnBack")->click();
  Find<QPushButton>(screen.get(), "btnNext")->click();
  EXPECT_EQ(host_.shown, (std::vector<int>{8, 10}));
}

}  // namespace
}  // namespace korvane::test

namespace korvane::test {
namespace {

TEST_F(ModelParametersTest, ThresholdsInForceAndWarningsStandBesideTheControls) {
  auto screen = Open();
  auto* rt = Find<QLabel>(screen.get(), "lblInForceRT");
  auto* ct = Find<QLabel>(screen.get(), "lblInForceCT");
  auto* beside = Find<QLabel>(screen.get(), "lblThresholdWarnings");
  auto* top = Find<QLabel>(screen.get(), "lblModelWarnings");
  QCoreApplication::processEvents();
  EXPECT_EQ(rt->text(), "RT: none (no retrieval threshold: every activation passes)");
  EXPECT_EQ(ct->text(), "CT: none (no choice threshold: the model always acts)");
  // A new model's time-based stopping rule is a trap for tasks that wait.
  EXPECT_TRUE(beside->isVisible());
  EXPECT_TRUE(beside->text().contains("Warning: Params_StopRule is 0 (time-based)")) << beside->text().toStdString();
  EXPECT_FALSE(top->isVisible());
  Find<QRadioButton>(screen.get(), "obStopRule1")->click();
  QCoreApplication::processEvents();
  EXPECT_FALSE(beside->isVisible());

  // Choosing a comparison puts the threshold in force at once.
  auto* cmpRT = Find<QComboBox>(screen.get(), "cbCmpDelta");
  cmpRT->setCurrentIndex(cmpRT->findText(">="));
  Box(screen.get(), "tbDelta")->setText("-2");
  QCoreApplication::processEvents();
  EXPECT_EQ(rt->text(), "RT: activation >= -2");
  screen->CloseScreen();

  // A comparison emptied elsewhere, and an instance type whose constraint
  // has no effect: both named when the screen opens.
  SetSetting("Params_CT_Cmp", Variant(""));
  CreateInstanceType("I1", {{"S_A_Real", store::FieldType::Double}, {"D_B_Real", store::FieldType::Double},
                            {"U_C_Real", store::FieldType::Double}});
  SetSetting("I1_ConstraintType", Variant(1.0));
  screen = Open();
  QCoreApplication::processEvents();
  ct = Find<QLabel>(screen.get(), "lblInForceCT");
  beside = Find<QLabel>(screen.get(), "lblThresholdWarnings");
  top = Find<QLabel>(screen.get(), "lblModelWarnings");
  EXPECT_TRUE(ct->text().startsWith("CT: no comparison chosen")) << ct->text().toStdString();
  EXPECT_EQ(Find<QComboBox>(screen.get(), "cbCmpCT")->currentIndex(), -1);
  EXPECT_TRUE(beside->text().contains("Warning: Params_CT_Cmp (choice threshold) has no comparison"))
      << beside->text().toStdString();
  EXPECT_TRUE(top->isVisible());
  EXPECT_TRUE(top->text().contains("Warning: I1_ConstraintType is 1")) << top->text().toStdString();
}

}  // namespace
}  // namespace korvane::test
