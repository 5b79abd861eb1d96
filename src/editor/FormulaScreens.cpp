// FormulaScreens.cpp: the similarity, retrieval method, constraints,
// judgment, decision, feedback and utility screens.
#include "editor/FormulaScreens.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QTabBar>
#include <QVBoxLayout>

#include "editor/FormulaPanel.h"
#include "editor/NumberText.h"

namespace korvane::editor {

namespace {

QStringList Prefixed(const QString& prefix, const QStringList& names) {
  QStringList result;
  for (const QString& name : names) result << prefix + name;
  return result;
}

Variant OptionValue(int index) { return Variant(static_cast<std::int32_t>(index)); }

}  // namespace

// --- Similarity ---------------------------------------------------------------

frmSimilarity::frmSimilarity(ScreenHost& host)
    : FormulaScreen(host, 2, "frmSimilarity", "RTF_SIMILARITY", tr("Defining Similarity")) {
  setWindowTitle(tr("Similarity"));
  type_ = AddOptions(tr("Similarity formulas"), "SimilarityType",
                     {tr("One formula for all situation slots"), tr("One formula per situation slot")},
                     [this](int option) {
                       WriteTypeSetting("_SimilarityType", OptionValue(option));
                       ApplyOption(option);
                     });
  panel_ = AddSlotFormulaPanel(tr("Situation slots:"), [this] { return FormulaSlot(); }, &lstSlots_);
  panel_->SetRequirement(SimilarityRequirement());
  connect(lstSlots_, &QListWidget::currentRowChanged, this, [this] { LoadSelectedFormula(); });
}

std::string frmSimilarity::FormulaSlot() const {
  QListWidgetItem* item = lstSlots_->currentItem();
  if (!lstSlots_->isEnabled() || !item || !item->isSelected()) return "GLOBAL";
  return item->text().toStdString();
}

void frmSimilarity::LoadSelectedFormula() {
  if (InstanceType().empty()) return;
  panel_->LoadText(QString::fromStdString(ReadFormulaRow(Db(), InstanceType(), FormulaSlot())));
}

void frmSimilarity::ApplyOption(int option) {
  panel_->Flush();
  const QSignalBlocker block(lstSlots_);
  if (option == 1) {
    lstSlots_->setEnabled(true);
    if (lstSlots_->count() > 0) {
      lstSlots_->setCurrentRow(0);
      lstSlots_->item(0)->setSelected(true);
    }
  } else {
    lstSlots_->clearSelection();
    lstSlots_->setCurrentRow(-1);
    lstSlots_->setEnabled(false);
  }
  LoadSelectedFormula();
}

void frmSimilarity::LoadInstanceType() {
  {
    const QSignalBlocker block(lstSlots_);
    lstSlots_->clear();
    lstSlots_->addItems(SlotNames('S'));
  }
  panel_->SetVariables({"PM =", "Cue", "Memory"});
  const int option = ReadTypeOption("_SimilarityType", 2);
  SelectOption(type_, option);
  ApplyOption(option);
}

// --- Retrieval method -----------------------------------------------------------

frmRetrievalMethod::frmRetrievalMethod(ScreenHost& host)
    : FormulaScreen(host, 3, "frmRetrievalMethod", "RTF_RETRIEVAL_METHOD", tr("Defining the Retrieval Method")) {
  setWindowTitle(tr("Retrieval Method"));
  method_ = AddOptions(tr("Retrieval"), "RetrievalMethod",
                       {tr("Retrieve the most active instance (without blending)"),
                        tr("Retrieve a blended instance")},
                       [this](int option) {
                         WriteTypeSetting("_RetrievalMethod", OptionValue(option));
                         // Constraints on several blended instances make no
                         // sense for a single retrieval.
                         if (option == 0) WriteTypeSetting("_ConstraintType", OptionValue(0));
                         roundingBox_->setEnabled(option == 1);
                       });
  rounding_ = AddOptions(tr("Rounding of blended values"), "RoundingRule",
                         {tr("No rounding"), tr("Round halves toward zero"), tr("Round halves away from zero"),
                          tr("Round halves down"), tr("Round halves up"), tr("Truncate to an integer"),
                          tr("Round halves to even (banker's rounding)")},
                         [this](int option) { WriteTypeSetting("_BlendingRoundingRule", OptionValue(option)); },
                         &roundingBox_);
  Body()->addStretch(1);
}

void frmRetrievalMethod::LoadInstanceType() {
  const int method = ReadTypeOption("_RetrievalMethod", 2);
  SelectOption(method_, method);
  SelectOption(rounding_, ReadTypeOption("_BlendingRoundingRule", 7));
  roundingBox_->setEnabled(method == 1 && !InstanceType().empty());
}

// --- Constraints ------------------------------------------------------------------

frmConstraints::frmConstraints(ScreenHost& host)
    : FormulaScreen(host, 4, "frmConstraints", "RTF_CONSTRAINTS", tr("Defining Retrieval Constraints")) {
  setWindowTitle(tr("Retrieval Constraints"));
  type_ = AddOptions(tr("Instances considered for retrieval"), "ConstraintType",
                     {tr("Consider every instance in memory"),
                      tr("Consider only the instances that meet the constraint formula")},
                     [this](int option) {
                       WriteTypeSetting("_ConstraintType", OptionValue(option));
                       panel_->SetFormulaEnabled(option == 1);
                     });
  panel_ = AddPanel("", kCheckDelayMs);
  Body()->addWidget(panel_, 1);
  panel_->SetStoreFunction([this](const std::string& text) {
    return WriteTypeSetting("_ConstraintFormula", Variant(text));
  });

  selection_ = new QGroupBox(tr("When several instances meet the constraints"), this);
  selection_->setObjectName("fraSelection");
  auto* grid = new QGridLayout(selection_);
  grid->addWidget(new QLabel(tr("Selection function:"), selection_), 0, 0);
  cbSelectionFunction_ = new QComboBox(selection_);
  cbSelectionFunction_->setObjectName("cbSelectionFunction");
  cbSelectionFunction_->addItems({"Maximize", "Minimize"});
  grid->addWidget(cbSelectionFunction_, 0, 1);
  grid->addWidget(new QLabel(tr("Selection variable:"), selection_), 1, 0);
  cbSelectionVariable_ = new QComboBox(selection_);
  cbSelectionVariable_->setObjectName("cbSelectionVariable");
  grid->addWidget(cbSelectionVariable_, 1, 1);
  grid->setColumnStretch(2, 1);
  Body()->addWidget(selection_);
  connect(cbSelectionFunction_, &QComboBox::activated, this,
          [this](int index) { WriteTypeSetting("_MR_SelectionFunction", OptionValue(index)); });
  connect(cbSelectionVariable_, &QComboBox::activated, this, [this](int index) {
    WriteTypeSetting("_MR_SelectionVariable", Variant(cbSelectionVariable_->itemText(index).toStdString()));
  });
}

void frmConstraints::LoadInstanceType() {
  const bool blending = ReadTypeOption("_RetrievalMethod", 2) == 1;
  QStringList variables;
  const QStringList situation = SlotNames('S');
  for (const QString& name : situation) variables << "Cue." + name << "Memory." + name;
  variables << Prefixed("Memory.", SlotNames('D')) << Prefixed("Memory.", SlotNames('U'));
  if (blending) {
    for (int i = 1; i <= 5; ++i) variables << QString("USES.%1 = ").arg(i);
  } else {
    variables << "USES = ";
  }
  panel_->SetVariables(variables);
  panel_->SetRequirement(ConstraintRequirement(blending));
  selection_->setVisible(blending);

  const int option = ReadTypeOption("_ConstraintType", 2);
  SelectOption(type_, option);
  panel_->SetFormulaEnabled(option == 1);
  panel_->LoadText(QString::fromStdString(ReadTypeText("_ConstraintFormula")));

  cbSelectionFunction_->setCurrentIndex(-1);
  if (!InstanceType().empty() && HasSetting(Db(), InstanceType() + "_MR_SelectionFunction"))
    cbSelectionFunction_->setCurrentIndex(ReadTypeOption("_MR_SelectionFunction", 2));
  cbSelectionVariable_->clear();
  cbSelectionVariable_->addItems(situation + SlotNames('U'));
  const QString variable = QString::fromStdString(ReadTypeText("_MR_SelectionVariable"));
  cbSelectionVariable_->setCurrentIndex(cbSelectionVariable_->findText(variable, Qt::MatchFixedString));
}

// --- Judgment -----------------------------------------------------------------------

frmJudgment::frmJudgment(ScreenHost& host)
    : FormulaScreen(host, 5, "frmJudgment", "RTF_JUDGMENT", tr("Defining Judgment")) {
  setWindowTitle(tr("Judgment"));
  auto* failLabel = new QLabel(tr("Utility when recognition fails (no instance is retrieved):"), this);
  Body()->addWidget(failLabel);
  // A default utility stands in for the failure formula.
  auto* defaults = new QHBoxLayout;
  defaults->addWidget(new QLabel(tr("Default utility (empty: the formula below):"), this));
  tbDefaultUtility_ = new QLineEdit(this);
  tbDefaultUtility_->setObjectName("tbDefaultUtility");
  tbDefaultUtility_->setMaximumWidth(140);
  defaults->addWidget(tbDefaultUtility_);
  cbDefaultUtilityPopulates_ = new QCheckBox(tr("Store it as an instance when first used"), this);
  cbDefaultUtilityPopulates_->setObjectName("cbDefaultUtilityPopulates");
  defaults->addWidget(cbDefaultUtilityPopulates_);
  defaults->addStretch(1);
  Body()->addLayout(defaults);
  connect(tbDefaultUtility_, &QLineEdit::textChanged, this, [this](const QString& text) {
    if (loading_) return;
    const std::string value = text.trimmed().toStdString();
    WriteTypeSetting("_DefaultUtility", IsNumericText(value) ? Variant(ReadNumber(value)) : Variant(value));
  });
  connect(cbDefaultUtilityPopulates_, &QCheckBox::toggled, this, [this](bool checked) {
    if (!loading_) WriteTypeSetting("_DefaultUtilityPopulates", Variant(static_cast<std::int32_t>(checked ? 1 : 0)));
  });
  fail_ = AddPanel("Fail");
  Body()->addWidget(fail_, 1);
  mode_ = AddOptions(tr("Utility when recognition succeeds"), "JudgmentSucceedMode",
                     {tr("Take the utility of the retrieved instance"), tr("Compute it with the formula below")},
                     [this](int option) {
                       WriteTypeSetting("_JudgmentSucceedMode", OptionValue(option));
                       succeed_->SetFormulaEnabled(option == 1);
                     });
  succeed_ = AddPanel("Succeed");
  Body()->addWidget(succeed_, 1);
  fail_->SetRequirement(JudgmentRequirement());
  succeed_->SetRequirement(JudgmentRequirement());
  fail_->SetStoreFunction(
      [this](const std::string& text) { return WriteTypeSetting("_JudgmentFailFormula", Variant(text)); });
  succeed_->SetStoreFunction(
      [this](const std::string& text) { return WriteTypeSetting("_JudgmentSucceedFormula", Variant(text)); });
}

void frmJudgment::LoadInstanceType() {
  const int option = ReadTypeOption("_JudgmentSucceedMode", 2);
  SelectOption(mode_, option);
  succeed_->SetFormulaEnabled(option == 1);
  const QStringList situation = SlotNames('S');
  fail_->SetVariables(Prefixed("Cue.", situation) << "U =");
  loading_ = true;
  tbDefaultUtility_->setText(QString::fromStdString(ReadTypeText("_DefaultUtility")));
  cbDefaultUtilityPopulates_->setChecked(ReadTypeOption("_DefaultUtilityPopulates", 2) == 1);
  loading_ = false;
  QStringList both;
  for (const QString& name : situation) both << "Cue." + name << "Memory." + name;
  both << Prefixed("Memory.", SlotNames('D')) << Prefixed("Memory.", SlotNames('U'));
  succeed_->SetVariables(both << "U =");
  fail_->LoadText(QString::fromStdString(ReadTypeText("_JudgmentFailFormula")));
  succeed_->LoadText(QString::fromStdString(ReadTypeText("_JudgmentSucceedFormula")));
}

// --- Decision -----------------------------------------------------------------------

frmDecision::frmDecision(ScreenHost& host)
    : FormulaScreen(host, 6, "frmDecision", "RTF_DECISION", tr("Defining Decisions")) {
  setWindowTitle(tr("Decision"));
  tsRecognition_ = new QTabBar(this);
  tsRecognition_->setObjectName("tsRecognition");
  tsRecognition_->addTab(tr("Recognition Succeeds"));
  tsRecognition_->addTab(tr("Recognition Fails"));
  tsRecognition_->setExpanding(false);
  Body()->addWidget(tsRecognition_);
  type_ = AddOptions(tr("Decision formulas"), "DecisionType",
                     {tr("One formula for all decision slots"), tr("One formula per decision slot")},
                     [this](int option) {
                       WriteTypeSetting("_DecisionType", OptionValue(option));
                       ApplyOption(option);
                     });
  // Which formula the run takes for which recognition outcome, said plainly.
  lblRecognitionUse_ = new QLabel(this);
  lblRecognitionUse_->setObjectName("lblRecognitionUse");
  lblRecognitionUse_->setWordWrap(true);
  lblRecognitionUse_->setFrameShape(QFrame::StyledPanel);
  lblRecognitionUse_->setMargin(4);
  Body()->addWidget(lblRecognitionUse_);
  panel_ = AddSlotFormulaPanel(tr("Decision slots:"), [this] { return FormulaSlot(); }, &lstSlots_);
  panel_->SetRequirement(DecisionRequirement());
  connect(lstSlots_, &QListWidget::currentRowChanged, this, [this] { LoadSelectedFormula(); });
  connect(tsRecognition_, &QTabBar::currentChanged, this, [this] {
    panel_->Flush();
    LoadLists();
    LoadSelectedFormula();
  });
}

bool frmDecision::Failure() const {
  // One formula for all slots serves both outcomes: there is no formula of
  // its own for a failed recognition.
  return type_->checkedId() == 1 && tsRecognition_->currentIndex() == 1;
}

std::string frmDecision::FormulaSlot() const {
  QListWidgetItem* item = lstSlots_->currentItem();
  std::string slot = (!lstSlots_->isEnabled() || !item) ? "GLOBAL_DECISION" : item->text().toStdString();
  return Failure() ? slot + "_FAILURE" : slot;
}

void frmDecision::LoadSelectedFormula() {
  if (InstanceType().empty()) return;
  panel_->LoadText(QString::fromStdString(ReadFormulaRow(Db(), InstanceType(), FormulaSlot())));
}

void frmDecision::LoadLists() {
  // Every decision formula sees the cue judged and its utility; the
  // retrieved instance only when there is one.
  QStringList variables{"D ="};
  if (!Failure()) {
    variables << Prefixed("Memory.", SlotNames('S')) << Prefixed("Memory.", SlotNames('D'))
              << Prefixed("Memory.", SlotNames('U'));
  }
  variables << Prefixed("Cue.", SlotNames('S')) << "U";
  panel_->SetVariables(variables);
}

void frmDecision::ApplyOption(int option) {
  panel_->Flush();
  tsRecognition_->setVisible(option == 1);
  if (option == 1) {
    lblRecognitionUse_->setText(
        tr("Each decision slot has two formulas. \"Recognition Succeeds\" is used when an instance was "
           "retrieved (the Memory.* variables hold its slots); \"Recognition Fails\" is used when nothing was "
           "retrieved (only the cue and U, the heuristic utility, are known)."));
  } else {
    lblRecognitionUse_->setText(
        tr("This one formula gives every decision slot its value, whether recognition succeeds or fails. "
           "When nothing was retrieved there are no Memory.* variables (only Cue.* and U), so a formula that uses them "
           "stops the run. Choose \"One formula per decision slot\" to give failed recognition formulas of "
           "its own."));
  }
  LoadLists();
  const QSignalBlocker block(lstSlots_);
  if (option == 1) {
    lstSlots_->setEnabled(true);
    if (lstSlots_->count() > 0) lstSlots_->setCurrentRow(0);
  } else {
    lstSlots_->setCurrentRow(-1);
    lstSlots_->clearSelection();
    lstSlots_->setEnabled(false);
  }
  LoadSelectedFormula();
}

void frmDecision::LoadInstanceType() {
  {
    const QSignalBlocker block(lstSlots_);
    lstSlots_->clear();
    lstSlots_->addItems(SlotColumns('D'));
  }
  LoadLists();
  const int option = ReadTypeOption("_DecisionType", 2);
  SelectOption(type_, option);
  ApplyOption(option);
}

// --- Feedback -----------------------------------------------------------------------

frmFeedback::frmFeedback(ScreenHost& host)
    : FormulaScreen(host, 7, "frmFeedback", "RTF_FEEDBACK", tr("Defining Feedback")) {
  setWindowTitle(tr("Feedback"));
  type_ = AddOptions(tr("Feedback from the task"), "FeedbackType",
                     {tr("The task sends a single feedback value (the outcome)"),
                      tr("The task sends several values; a formula computes the outcome")},
                     [this](int option) {
                       WriteTypeSetting("_FeedbackType", OptionValue(option));
                       ApplyOption(option);
                     });
  panel_ = AddPanel("");
  panel_->VariableList()->setObjectName("lstSlots");
  Body()->addWidget(panel_, 1);
  panel_->SetRequirement(FeedbackRequirement());
  panel_->SetStoreFunction([this](const std::string& text) {
    // An empty formula only replaces the stored one while a formula is in use.
    if (Trimmed(text).empty() && type_->checkedId() != 1) return false;
    return WriteFormulaRow(Db(), InstanceType(), "FEEDBACK", text);
  });
}

void frmFeedback::ApplyOption(int option) {
  panel_->Flush();
  if (option == 1) {
    panel_->SetFormulaEnabled(true);
    panel_->LoadText(QString::fromStdString(ReadFormulaRow(Db(), InstanceType(), "FEEDBACK")));
  } else {
    panel_->VariableList()->clearSelection();
    panel_->SetFormulaEnabled(false);
  }
}

void frmFeedback::LoadInstanceType() {
  QStringList slotNames;
  for (const SlotColumn& slot : Slots()) slotNames << QString::fromStdString(slot.displayName);
  panel_->SetVariables(slotNames);
  const int option = ReadTypeOption("_FeedbackType", 2);
  SelectOption(type_, option);
  panel_->LoadText(QString::fromStdString(InstanceType().empty() ? std::string()
                                                                 : ReadFormulaRow(Db(), InstanceType(), "FEEDBACK")));
  ApplyOption(option);
}

// --- Utility ------------------------------------------------------------------------

frmUtility::frmUtility(ScreenHost& host)
    : FormulaScreen(host, 8, "frmUtility", "RTF_UTILITY", tr("Defining the Utility Update")) {
  setWindowTitle(tr("Utility"));
  type_ = AddOptions(tr("New utility of an instance after feedback"), "UtilityUpdateType",
                     {tr("Set it to the outcome divided by the goal (O / G)"),
                      tr("Add the time-weighted O / G to its old utility"),
                      tr("Compute it with a formula")},
                     [this](int option) {
                       WriteTypeSetting("_UtilityUpdateType", OptionValue(option));
                       formulaBox_->setEnabled(option == 2);
                     });
  formulaBox_ = new QGroupBox(tr("Utility update formula"), this);
  formulaBox_->setObjectName("fraUtilityFormula");
  auto* layout = new QVBoxLayout(formulaBox_);
  panel_ = AddPanel("");
  layout->addWidget(panel_);
  Body()->addWidget(formulaBox_, 1);
  panel_->SetRequirement(UtilityRequirement());
  panel_->SetStoreFunction(
      [this](const std::string& text) { return WriteTypeSetting("_UtilityUpdateFormula", Variant(text)); });
}

void frmUtility::LoadInstanceType() {
  // The rewarded instance's slots; Memory.<utility slot> is the old utility.
  panel_->SetVariables(QStringList{"U =", "O", "G"} << Prefixed("Memory.", SlotNames('U'))
                                                    << Prefixed("Memory.", SlotNames('S'))
                                                    << Prefixed("Memory.", SlotNames('D')));
  const int option = ReadTypeOption("_UtilityUpdateType", 3);
  SelectOption(type_, option);
  formulaBox_->setEnabled(option == 2 && !InstanceType().empty());
  panel_->LoadText(QString::fromStdString(ReadTypeText("_UtilityUpdateFormula")));
}

}  // namespace korvane::editor
