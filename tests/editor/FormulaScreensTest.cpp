// Tests of the formula screens: the check texts, what is stored where, the
// options and the lists they drive, and the constraints screen's delayed check.
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QTabBar>

#include "ModelScreenFixture.h"
#include "editor/FormulaCheck.h"
#include "editor/FormulaScreens.h"
#include "store/MetaDecision.h"
#include "store/MetaSimilarity.h"

namespace korvane::test {
namespace {

using namespace editor;

QStringList Items(QListWidget* list) {
  QStringList items;
  for (int i = 0; i < list->count(); ++i) items << list->item(i)->text();
  return items;
}

class FormulaScreensTest : public ModelScreenTest {
 protected:
  void SetUp() override {
    ModelScreenTest::SetUp();
    CreateInstanceType("I1", {{"S_Price_Real", store::FieldType::Double},
                              {"S_Color_String", store::FieldType::Text},
                              {"D_Choice_String", store::FieldType::Text},
                              {"D_Amount_Integer", store::FieldType::Integer},
                              {"U_Value_Real", store::FieldType::Double}});
  }

  template <class T>
  std::unique_ptr<T> Open() {
    auto screen = std::make_unique<T>(host_);
    EXPECT_TRUE(screen->OpenScreen());
    screen->resize(1000, 740);
    screen->show();
    return screen;
  }

  std::string Formula(const std::string& slot, const std::string& type = "I1") {
    auto db = Model();
    std::string text = store::GetSimilarityFormula(db.get(), type, slot);
    db->Close();
    return text;
  }
  bool HasFormulaRow(const std::string& slot) {
    auto db = Model();
    if (!db->FindTableDef("MetaSimilarity")) return false;
    auto rows = db->OpenRecordset("SELECT Formula FROM MetaSimilarity WHERE Instance = 'I1' AND Slot = ?",
                                  {Variant(slot)});
    bool has = !rows->IsEOF();
    rows->Close();
    db->Close();
    return has;
  }
  static void Type(QWidget* screen, const char* box, const QString& text) {
    Find<QPlainTextEdit>(screen, box)->setPlainText(text);
  }
  static QString Message(QWidget* screen, const char* line = "tbMessage") {
    return Find<QPlainTextEdit>(screen, line)->toPlainText();
  }
};

TEST(FormulaCheckTest, TextsOfTheCheck) {
  EXPECT_EQ(CheckFormula("  \n ", SimilarityRequirement()).message, "Formula must not be empty.");
  EXPECT_TRUE(CheckFormula("", SimilarityRequirement()).store);
  FormulaCheckResult lower = CheckFormula("pm = -abs(cue - memory)", SimilarityRequirement());
  EXPECT_EQ(lower.message, "Formula Accepted.");
  EXPECT_TRUE(lower.store);
  FormulaCheckResult error = CheckFormula("PM = (1 +", SimilarityRequirement());
  EXPECT_EQ(error.message.rfind("Formula Error: ", 0), 0u) << error.message;
  EXPECT_FALSE(error.store);
  EXPECT_EQ(CheckFormula("X = 1", SimilarityRequirement()).message,
            "Formula Incomplete: Expected formula to define variable PM (mismatch penality)");
  EXPECT_EQ(CheckFormula("USES.1 = TRUE\nUSES.2 = FALSE", ConstraintRequirement(true)).message,
            "Formula Accepted: Found 2 constraints.");
  EXPECT_EQ(CheckFormula("USES = TRUE", ConstraintRequirement(true)).message,
            "Formula Incomplete: Blended instances expect formula to define at least one USES variable as TRUE "
            "or FALSE (e.g. USES.1, USES.2, USES.592).");
  EXPECT_EQ(CheckFormula("USES.1 = TRUE", ConstraintRequirement(false)).message,
            "Formula Incomplete: Regular retrieval expects formula to define a USES variable as TRUE or FALSE.");
  EXPECT_EQ(CheckFormula("uses = 1 > 0", ConstraintRequirement(false)).message, "Formula Accepted.");
  EXPECT_EQ(CheckFormula("x = Cue.Price * 2\nd = \"A\"", DecisionRequirement()).message, "Formula Accepted.");
  EXPECT_EQ(CheckFormula("U = 1", FeedbackRequirement()).message,
            "Formula Incomplete: Expected formula to define variable O (outcome)");
}

TEST_F(FormulaScreensTest, SimilarityScreenStoresGlobalAndPerSlotFormulas) {
  auto screen = Open<frmSimilarity>();
  QTabBar* tabs = Find<QTabBar>(screen.get(), "tsInstanceTypes");
  ASSERT_EQ(tabs->count(), 1);
  EXPECT_EQ(tabs->tabText(0), "I1");
  QListWidget* variables = Find<QListWidget>(screen.get(), "lstVariables");
  EXPECT_EQ(Items(variables), (QStringList{"PM =", "Cue", "Memory"}));
  QListWidget* slotList = Find<QListWidget>(screen.get(), "lstSlots");
  EXPECT_EQ(Items(slotList), (QStringList{"Price", "Color"}));
  EXPECT_FALSE(slotList->isEnabled());

  Type(screen.get(), "tbFormula", "pm = -ABS(Cue - Memory)");
  EXPECT_EQ(Message(screen.get()), "Formula Accepted.");
  EXPECT_EQ(Formula("GLOBAL"), "pm = -ABS(Cue - Memory)");
  Type(screen.get(), "tbFormula", "pm = -ABS(Cue - ");
  EXPECT_TRUE(Message(screen.get()).startsWith("Formula Error: ")) << Message(screen.get()).toStdString();
  Type(screen.get(), "tbFormula", "Q = 1");
  EXPECT_EQ(Message(screen.get()),
            "Formula Incomplete: Expected formula to define variable PM (mismatch penality)");
  EXPECT_EQ(Formula("GLOBAL"), "pm = -ABS(Cue - Memory)");  // the last accepted text stays
  Type(screen.get(), "tbFormula", "");
  EXPECT_EQ(Message(screen.get()), "Formula must not be empty.");
  EXPECT_TRUE(HasFormulaRow("GLOBAL"));
  EXPECT_EQ(Formula("GLOBAL"), "");

  // One formula per slot.
  Find<QRadioButton>(screen.get(), "obSimilarityType1")->click();
  EXPECT_EQ(Setting("I1_SimilarityType"), Variant(1.0));
  EXPECT_TRUE(slotList->isEnabled());
  EXPECT_EQ(slotList->currentItem()->text(), "Price");
  Type(screen.get(), "tbFormula", "PM = 0");
  EXPECT_EQ(Formula("Price"), "PM = 0");
  slotList->setCurrentRow(1);
  EXPECT_EQ(Find<QPlainTextEdit>(screen.get(), "tbFormula")->toPlainText(), "");
  Type(screen.get(), "tbFormula", "PM = -1");
  EXPECT_EQ(Formula("Color"), "PM = -1");
  slotList->setCurrentRow(0);
  EXPECT_EQ(Find<QPlainTextEdit>(screen.get(), "tbFormula")->toPlainText(), "PM = 0");

  // Clicking a variable inserts it, spaced, at the insertion point.
  QPlainTextEdit* box = Find<QPlainTextEdit>(screen.get(), "tbFormula");
  box->moveCursor(QTextCursor::End);
  variables->setCurrentRow(1);
  emit variables->itemClicked(variables->item(1));
  EXPECT_EQ(box->toPlainText(), "PM = 0 Cue ");

  Find<QRadioButton>(screen.get(), "obSimilarityType0")->click();
  EXPECT_FALSE(slotList->isEnabled());
  EXPECT_EQ(box->toPlainText(), "");  // the global formula again
  EXPECT_TRUE(TakeShown().empty());
}

TEST_F(FormulaScreensTest, LoadingAFormulaStoresNothing) {
  SetSetting("I1_JudgmentFailFormula", Variant("U = (1"));
  auto screen = Open<frmJudgment>();
  EXPECT_TRUE(Message(screen.get(), "tbFailMessage").startsWith("Formula Error: "));
  EXPECT_EQ(Find<QPlainTextEdit>(screen.get(), "tbFailFormula")->toPlainText(), "U = (1");
  EXPECT_FALSE(HasFormulaRow("GLOBAL"));
  auto similarity = Open<frmSimilarity>();
  EXPECT_EQ(Message(similarity.get()), "Formula must not be empty.");
  similarity->CloseScreen();
  EXPECT_FALSE(HasFormulaRow("GLOBAL"));
}

TEST_F(FormulaScreensTest, RetrievalWithoutBlendingResetsTheConstraintOption) {
  SetSetting("I1_ConstraintType", Variant(1));
  auto screen = Open<frmRetrievalMethod>();
  QGroupBox* rounding = Find<QGroupBox>(screen.get(), "fraRoundingRule");
  EXPECT_FALSE(rounding->isEnabled());
  Find<QRadioButton>(screen.get(), "obRetrievalMethod1")->click();
  EXPECT_EQ(Setting("I1_RetrievalMethod"), Variant(1.0));
  EXPECT_TRUE(rounding->isEnabled());
  Find<QRadioButton>(screen.get(), "obRoundingRule6")->click();
  EXPECT_EQ(Setting("I1_BlendingRoundingRule"), Variant(6.0));
  EXPECT_EQ(Setting("I1_ConstraintType"), Variant(1.0));
  Find<QRadioButton>(screen.get(), "obRetrievalMethod0")->click();
  EXPECT_EQ(Setting("I1_RetrievalMethod"), Variant(0.0));
  EXPECT_EQ(Setting("I1_ConstraintType"), Variant(0.0));
  EXPECT_FALSE(rounding->isEnabled());
  screen->CloseScreen();
  screen->OpenScreen();
  EXPECT_TRUE(Find<QRadioButton>(screen.get(), "obRoundingRule6")->isChecked());
  EXPECT_TRUE(Find<QRadioButton>(screen.get(), "obRetrievalMethod0")->isChecked());
}

TEST_F(FormulaScreensTest, ConstraintsAreCheckedWhenTypingRests) {
  SetSetting("I1_RetrievalMethod", Variant(1));
  SetSetting("I1_MR_SelectionVariable", Variant("Value"));
  auto screen = Open<frmConstraints>();
  QListWidget* variables = Find<QListWidget>(screen.get(), "lstVariables");
  EXPECT_EQ(Items(variables),
            (QStringList{"Cue.Price", "Memory.Price", "Cue.Color", "Memory.Color", "Memory.Choice", "Memory.Amount",
                         "Memory.Value", "USES.1 = ", "USES.2 = ", "USES.3 = ", "USES.4 = ", "USES.5 = "}));
  EXPECT_FALSE(Find<QGroupBox>(screen.get(), "fraSelection")->isHidden());
  QComboBox* variable = Find<QComboBox>(screen.get(), "cbSelectionVariable");
  EXPECT_EQ(variable->currentText(), "Value");
  EXPECT_EQ(Find<QComboBox>(screen.get(), "cbSelectionFunction")->currentIndex(), -1);
  QPlainTextEdit* box = Find<QPlainTextEdit>(screen.get(), "tbFormula");
  EXPECT_FALSE(box->isEnabled());
  Find<QRadioButton>(screen.get(), "obConstraintType1")->click();
  EXPECT_EQ(Setting("I1_ConstraintType"), Variant(1.0));
  EXPECT_TRUE(box->isEnabled());

  Type(screen.get(), "tbFormula", "USES.1 = Cue.Price > Memory.Price\nUSES.2 = TRUE");
  // Nothing is checked or stored until the text has rested for a second.
  EXPECT_EQ(Message(screen.get()), "Formula must not be empty.");
  EXPECT_FALSE(HasSetting("I1_ConstraintFormula"));
  ASSERT_TRUE(WaitFor([&] { return Message(screen.get()) != "Formula must not be empty."; }, 3000));
  EXPECT_EQ(Message(screen.get()), "Formula Accepted: Found 2 constraints.");
  EXPECT_EQ(Setting("I1_ConstraintFormula"), Variant("USES.1 = Cue.Price > Memory.Price\nUSES.2 = TRUE"));

  Type(screen.get(), "tbFormula", "USES = TRUE");
  ASSERT_TRUE(WaitFor([&] { return Message(screen.get()).startsWith("Formula Incomplete"); }, 3000));
  EXPECT_EQ(Message(screen.get()),
            "Formula Incomplete: Blended instances expect formula to define at least one USES variable as TRUE "
            "or FALSE (e.g. USES.1, USES.2, USES.592).");

  // A check still waiting when the screen closes is not lost.
  Type(screen.get(), "tbFormula", "USES.7 = FALSE");
  Find<QComboBox>(screen.get(), "cbSelectionFunction")->setCurrentIndex(1);
  emit Find<QComboBox>(screen.get(), "cbSelectionFunction")->activated(1);
  screen->CloseScreen();
  EXPECT_EQ(Setting("I1_ConstraintFormula"), Variant("USES.7 = FALSE"));
  EXPECT_EQ(Setting("I1_MR_SelectionFunction"), Variant(1.0));

  // Without blending: one USES variable, and no selection part.
  SetSetting("I1_RetrievalMethod", Variant(0));
  screen->OpenScreen();
  EXPECT_EQ(Items(variables).last(), "USES = ");
  EXPECT_TRUE(Find<QGroupBox>(screen.get(), "fraSelection")->isHidden());
  EXPECT_EQ(Message(screen.get()),
            "Formula Incomplete: Regular retrieval expects formula to define a USES variable as TRUE or FALSE.");
}

TEST_F(FormulaScreensTest, JudgmentFormulasAndTheSucceedMode) {
  auto screen = Open<frmJudgment>();
  EXPECT_EQ(Items(Find<QListWidget>(screen.get(), "lstFailVariables")),
            (QStringList{"Cue.Price", "Cue.Color", "U ="}));
  EXPECT_EQ(Items(Find<QListWidget>(screen.get(), "lstSucceedVariables")),
            (QStringList{"Cue.Price", "Memory.Price", "Cue.Color", "Memory.Color", "Memory.Choice", "Memory.Amount",
                         "Memory.Value", "U ="}));
  QPlainTextEdit* succeed = Find<QPlainTextEdit>(screen.get(), "tbSucceedFormula");
  EXPECT_FALSE(succeed->isEnabled());
  EXPECT_TRUE(Find<QPlainTextEdit>(screen.get(), "tbFailFormula")->isEnabled());
  // A misspelt or missing slot is refused as it is typed, with the nearest
  // name; the cue has no decision slots.
  Type(screen.get(), "tbFailFormula", "u = Cue.Prce * 2");
  EXPECT_EQ(Message(screen.get(), "tbFailMessage"),
            "Formula Error: Unknown variable Cue.Prce (did you mean Cue.Price?)");
  EXPECT_FALSE(HasSetting("I1_JudgmentFailFormula"));
  Type(screen.get(), "tbFailFormula", "u = Cue.Choice");
  EXPECT_EQ(Message(screen.get(), "tbFailMessage"),
            "Formula Error: Unknown variable Cue.Choice: the instance type has no slot of that name");
  Type(screen.get(), "tbFailFormula", "u = Cue.Price * 2");
  EXPECT_EQ(Message(screen.get(), "tbFailMessage"), "Formula Accepted.");
  EXPECT_EQ(Setting("I1_JudgmentFailFormula"), Variant("u = Cue.Price * 2"));
  Find<QRadioButton>(screen.get(), "obJudgmentSucceedMode1")->click();
  EXPECT_EQ(Setting("I1_JudgmentSucceedMode"), Variant(1.0));
  EXPECT_TRUE(succeed->isEnabled());
  Type(screen.get(), "tbSucceedFormula", "V = 1");
  EXPECT_EQ(Message(screen.get(), "tbSucceedMessage"),
            "Formula Incomplete: Expected formula to define variable U (utility)");
  EXPECT_FALSE(HasSetting("I1_JudgmentSucceedFormula"));
  // A cleared formula is stored empty and shown empty, not as 0.
  Type(screen.get(), "tbFailFormula", "");
  screen->CloseScreen();
  screen->OpenScreen();
  EXPECT_EQ(Find<QPlainTextEdit>(screen.get(), "tbFailFormula")->toPlainText(), "");
  EXPECT_EQ(Message(screen.get(), "tbFailMessage"), "Formula must not be empty.");
  // A default utility, stored as a number, and whether it populates; shown
  // again when the screen comes back.
  Find<QLineEdit>(screen.get(), "tbDefaultUtility")->setText("1001");
  Find<QCheckBox>(screen.get(), "cbDefaultUtilityPopulates")->click();
  EXPECT_EQ(Setting("I1_DefaultUtility"), Variant(1001.0));
  EXPECT_EQ(Setting("I1_DefaultUtilityPopulates"), Variant(1.0));
  screen->CloseScreen();
  screen->OpenScreen();
  EXPECT_EQ(Find<QLineEdit>(screen.get(), "tbDefaultUtility")->text(), "1001");
  EXPECT_TRUE(Find<QCheckBox>(screen.get(), "cbDefaultUtilityPopulates")->isChecked());
}

TEST_F(FormulaScreensTest, DecisionFormulasOfFailedRecognitionAreKeptApart) {
  auto screen = Open<frmDecision>();
  QTabBar* recognition = Find<QTabBar>(screen.get(), "tsRecognition");
  ASSERT_EQ(recognition->count(), 2);
  EXPECT_EQ(recognition->tabText(0), "Recognition Succeeds");
  QListWidget* variables = Find<QListWidget>(screen.get(), "lstVariables");
  EXPECT_EQ(Items(variables), (QStringList{"D =", "Memory.Price", "Memory.Color", "Memory.Choice", "Memory.Amount",
                                           "Memory.Value", "Cue.Price", "Cue.Color", "U"}));
  // One formula for all slots serves both outcomes: the screen says so and
  // offers no second formula box that a run would never use.
  QLabel* use = Find<QLabel>(screen.get(), "lblRecognitionUse");
  EXPECT_TRUE(use->text().contains("whether recognition succeeds or fails")) << use->text().toStdString();
  EXPECT_TRUE(recognition->isHidden());
  Type(screen.get(), "tbFormula", "D = \"safe\"");
  EXPECT_EQ(Formula("GLOBAL_DECISION"), "D = \"safe\"");
  recognition->setCurrentIndex(1);  // even so, the one formula is edited
  EXPECT_EQ(Find<QPlainTextEdit>(screen.get(), "tbFormula")->toPlainText(), "D = \"safe\"");
  Type(screen.get(), "tbFormula", "D = \"risky\"");
  EXPECT_EQ(Formula("GLOBAL_DECISION"), "D = \"risky\"");
  EXPECT_EQ(Formula("GLOBAL_DECISION_FAILURE"), "");

  Find<QRadioButton>(screen.get(), "obDecisionType1")->click();
  EXPECT_EQ(Setting("I1_DecisionType"), Variant(1.0));
  EXPECT_FALSE(recognition->isHidden());
  EXPECT_TRUE(use->text().contains("\"Recognition Fails\" is used when nothing was retrieved"));
  EXPECT_EQ(Items(variables), (QStringList{"D =", "Cue.Price", "Cue.Color", "U"}));  // the Fails tab: no Memory.*
  QListWidget* slotList = Find<QListWidget>(screen.get(), "lstSlots");
  EXPECT_EQ(Items(slotList), (QStringList{"D_Choice_String", "D_Amount_Integer"}));
  EXPECT_EQ(slotList->currentRow(), 0);
  Type(screen.get(), "tbFormula", "D = 1");
  EXPECT_EQ(Formula("D_Choice_String_FAILURE"), "D = 1");
  recognition->setCurrentIndex(0);
  Type(screen.get(), "tbFormula", "D = 2");
  EXPECT_EQ(Formula("D_Choice_String"), "D = 2");
  EXPECT_EQ(Formula("D_Choice_String_FAILURE"), "D = 1");
  Type(screen.get(), "tbFormula", "E = 2");
  EXPECT_EQ(Message(screen.get()), "Formula Incomplete: Expected formula to define variable D (decision value)");
  EXPECT_EQ(Formula("D_Choice_String"), "D = 2");
}

TEST_F(FormulaScreensTest, FeedbackFormulaOnlyWithTheFormulaOption) {
  auto screen = Open<frmFeedback>();
  QListWidget* slotList = Find<QListWidget>(screen.get(), "lstSlots");
  EXPECT_EQ(Items(slotList), (QStringList{"Price", "Color", "Choice", "Amount", "Value"}));
  QPlainTextEdit* box = Find<QPlainTextEdit>(screen.get(), "tbFormula");
  EXPECT_FALSE(box->isEnabled());
  EXPECT_FALSE(slotList->isEnabled());
  Find<QRadioButton>(screen.get(), "obFeedbackType1")->click();
  EXPECT_EQ(Setting("I1_FeedbackType"), Variant(1.0));
  EXPECT_TRUE(box->isEnabled());
  box->setFocus();
  emit slotList->itemClicked(slotList->item(4));
  EXPECT_EQ(box->toPlainText(), " Value ");
  Type(screen.get(), "tbFormula", "O = Payoff * 2");
  EXPECT_EQ(Formula("FEEDBACK"), "O = Payoff * 2");
  Find<QRadioButton>(screen.get(), "obFeedbackType0")->click();
  EXPECT_FALSE(box->isEnabled());
  EXPECT_EQ(Formula("FEEDBACK"), "O = Payoff * 2");
}

TEST_F(FormulaScreensTest, UtilityFormulaAndTabsOfSeveralTypes) {
  CreateInstanceType("I2", {{"S_Cue_Real", store::FieldType::Double}, {"U_U_Real", store::FieldType::Double}});
  SetSetting("I2_UtilityUpdateType", Variant(2));
  SetSetting("I2_UtilityUpdateFormula", Variant("U = O / G"));
  auto screen = Open<frmUtility>();
  QTabBar* tabs = Find<QTabBar>(screen.get(), "tsInstanceTypes");
  ASSERT_EQ(tabs->count(), 2);
  EXPECT_EQ(Items(Find<QListWidget>(screen.get(), "lstVariables")),
            (QStringList{"U =", "O", "G", "Memory.Value", "Memory.Price", "Memory.Color", "Memory.Choice",
                         "Memory.Amount"}));
  QGroupBox* formula = Find<QGroupBox>(screen.get(), "fraUtilityFormula");
  EXPECT_FALSE(formula->isEnabled());
  Find<QRadioButton>(screen.get(), "obUtilityUpdateType2")->click();
  EXPECT_TRUE(formula->isEnabled());
  Type(screen.get(), "tbFormula", "U = Memory.Value + O");
  EXPECT_EQ(Setting("I1_UtilityUpdateFormula"), Variant("U = Memory.Value + O"));
  tabs->setCurrentIndex(1);
  EXPECT_EQ(Find<QPlainTextEdit>(screen.get(), "tbFormula")->toPlainText(), "U = O / G");
  EXPECT_TRUE(Find<QRadioButton>(screen.get(), "obUtilityUpdateType2")->isChecked());
  EXPECT_EQ(Items(Find<QListWidget>(screen.get(), "lstVariables")), (QStringList{"U =", "O", "G", "Memory.U", "Memory.Cue"}));
  EXPECT_EQ(Setting("I1_UtilityUpdateFormula"), Variant("U = Memory.Value + O"));
}

}  // namespace
}  // namespace korvane::test
