// ModelParametersScreen.cpp: frmModelParameters.
#include "editor/ModelParametersScreen.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFocusEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHostAddress>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkInterface>
#include <QRadioButton>
#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>
#include <array>
#include <set>

#include "editor/CodeFont.h"
#include "editor/NumberText.h"
#include "editor/ScreenSettings.h"
#include "engine/ModelWarnings.h"
#include "store/SettingsCatalog.h"
#include "util/Dialogs.h"
#include "util/Error.h"

namespace korvane::editor {

namespace {

QLabel* Caption(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setWordWrap(true);
  return label;
}

// Keys that edit text rather than carry a character: let them through.
bool IsEditingKey(const QKeyEvent* event) {
  if (event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) return true;
  const QString text = event->text();
  return text.isEmpty() || !text.at(0).isPrint();
}

}  // namespace

frmModelParameters::frmModelParameters(ScreenHost& host)
    : Screen(host, 9, "frmModelParameters", "RTF_MODEL_PARAMETERS", tr("Defining Model Parameters")) {
  setWindowTitle(tr("Model Parameters"));
  BuildControls();
}

QComboBox* frmModelParameters::AddComparison(const QString& name, const std::string& key, bool threshold) {
  auto* list = new QComboBox(this);
  list->setObjectName(name);
  list->addItems({">", "<", "=", ">=", "<="});
  if (threshold) {
    // The threshold's own "no threshold" entry, last so that the five keep
    // their places.
    list->addItem(store::kNoThreshold);
    list->setItemData(list->count() - 1, tr("No threshold: everything passes"), Qt::ToolTipRole);
  }
  list->setCurrentIndex(-1);
  list->setMinimumContentsLength(4);
  comparisons_.push_back({list, key});
  connect(list, &QComboBox::currentIndexChanged, this, [this, list, key](int index) {
    if (index >= 0) Write(key, Variant(list->itemText(index).toStdString()));
  });
  return list;
}

QLineEdit* frmModelParameters::AddNumberBox(const QString& name, const std::string& key,
                                            const QString& defaultText, NumberBox::Keys keys,
                                            NumberBox::Written written) {
  auto* box = new QLineEdit(this);
  box->setObjectName(name);
  box->setMaximumWidth(140);
  box->installEventFilter(this);
  numberBoxes_.push_back({box, key, defaultText, keys, written});
  connect(box, &QLineEdit::textChanged, box, &QWidget::setToolTip);
  connect(box, &QLineEdit::textChanged, this, [this, key, written](const QString& text) {
    if (written == NumberBox::Written::Text)
      Write(key, Variant(text.toStdString()));
    else
      Write(key, Variant(LeadingNumber(text.toStdString())));
  });
  return box;
}

namespace {

// Clicking a check box's caption label clicks the box, as clicking a check
// box's own text does.
class CaptionClicks : public QObject {
 public:
  CaptionClicks(QAbstractButton* box, QObject* parent) : QObject(parent), box_(box) {}
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() != QEvent::MouseButtonRelease) return false;
    if (box_->isEnabled()) box_->click();
    return true;
  }

 private:
  QAbstractButton* box_;
};

}  // namespace

QWidget* frmModelParameters::AddCheck(const QString& name, const QString& caption, const std::string& key) {
  // A check box draws its text on one line; the longest captions were wider
  // than a 1024 by 768 screen leaves this screen, so the caption is a label
  // that wraps, beside a box that carries it as its accessible name.
  auto* row = new QWidget(this);
  auto* layout = new QHBoxLayout(row);
  layout->setContentsMargins(0, 0, 0, 0);
  auto* box = new QCheckBox(row);
  box->setObjectName(name);
  box->setAccessibleName(caption);
  auto* label = new QLabel(caption, row);
  label->setObjectName(name + "Caption");
  label->setWordWrap(true);
  label->installEventFilter(new CaptionClicks(box, label));
  layout->addWidget(box, 0, Qt::AlignTop);
  layout->addWidget(label, 1);
  checks_.push_back({box, key});
  connect(box, &QCheckBox::clicked, this,
          [this, key](bool checked) { Write(key, Variant(static_cast<std::int32_t>(checked ? 1 : 0))); });
  return row;
}

void frmModelParameters::BuildControls() {
  auto* scroll = new QScrollArea(this);
  scroll->setObjectName("scrollParameters");
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  auto* page = new QWidget(scroll);
  // The groups stand in one column: side by side, the long check-box captions
  // (which cannot wrap) would not fit a 1024 by 768 screen beside the help.
  auto* stack = new QVBoxLayout(page);
  auto* left = new QVBoxLayout;
  auto* right = new QVBoxLayout;
  stack->addLayout(left);
  stack->addLayout(right);
  scroll->setWidget(page);
  Body()->addWidget(scroll);

  // Rows of caption, comparison and value; the name ("D") names both the
  // controls (cbCmpD, tbD) and the settings (Params_D_Cmp, Params_D_Value).
  // A threshold row (RT, U, CT) offers "none" and says beside its value
  // which threshold is in force.
  auto addRows = [this](QGroupBox* group, const std::vector<std::array<QString, 3>>& rows) {
    auto* grid = new QGridLayout(group);
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const auto& row = rows[i];
      const std::string key = "Params_" + row[1].toStdString();
      const QString which = row[1] == "Delta" ? "RT" : row[1];
      const bool threshold = which == "RT" || which == "U" || which == "CT";
      grid->addWidget(Caption(row[0], group), static_cast<int>(i), 0);
      grid->addWidget(AddComparison("cbCmp" + row[1], key + "_Cmp", threshold), static_cast<int>(i), 1);
      grid->addWidget(AddNumberBox("tb" + row[1], key + "_Value", row[2]), static_cast<int>(i), 2);
      if (threshold) {
        auto* inForce = new QLabel(group);
        inForce->setObjectName("lblInForce" + which);
        inForce->setWordWrap(true);
        grid->addWidget(inForce, static_cast<int>(i), 3);
        inForce_.push_back({inForce, which.toStdString(), key + "_Cmp", key + "_Value"});
      }
    }
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(3, 1);
    return grid;
  };

  // Warnings about the model's settings: the ones about this screen's
  // thresholds and stopping rule beside them, the others at the top.
  lblWarnings_ = WarningLabel("lblModelWarnings", page);
  left->addWidget(lblWarnings_);

  auto* activation = new QGroupBox(tr("Activation-calculation Parameters"), page);
  activation->setObjectName("fraActivation");
  addRows(activation,
          {{tr("BLL exponent (d)"), "D", "0.5"},
           {tr("Noise Factor (s)"), "S", "0.25"},
           {tr("Latency Exponent (LE)"), "LE", "1"},
           {tr("Latency Factor (LF)"), "LF", "1"},
           {tr("Alpha, weight of memory: A = alpha (BLL + PM + noise) + (1 - alpha) U"), "Alpha", "1"}});
  {
    // The temperature has no comparison of its own; empty means s times the
    // square root of 2.
    auto* grid = static_cast<QGridLayout*>(activation->layout());
    const int row = grid->rowCount();
    grid->addWidget(Caption(tr("Blending temperature T (empty: s times the square root of 2)"), activation), row, 0);
    grid->addWidget(AddNumberBox("tbTemperature", "Params_Temperature", QString(), NumberBox::Keys::Number,
                                 NumberBox::Written::Text),
                    row, 2);
  }
  left->addWidget(activation);

  auto* thresholds = new QGroupBox(tr("Thresholds"), page);
  thresholds->setObjectName("fraThresholds");
  QGridLayout* grid = addRows(thresholds,
                              {{tr("Retrieval Threshold (RT)"), "Delta", "0"},
                               {tr("Utility Threshold (U)"), "U", "0"},
                               {tr("Choice Threshold (CT)"), "CT", "0"},
                               {tr("Goal (G)"), "Goal", "1"}});
  auto* stopCaption = Caption(tr("Stop retrieving when:"), thresholds);
  grid->addWidget(stopCaption, 4, 0, 1, 3);
  stopRule_ = new QButtonGroup(this);
  obStopRuleTime_ = new QRadioButton(tr("Time"), thresholds);
  obStopRuleTime_->setObjectName("obStopRule0");
  obStopRuleNum_ = new QRadioButton(tr("Number"), thresholds);
  obStopRuleNum_->setObjectName("obStopRule1");
  stopRule_->addButton(obStopRuleTime_, 0);
  stopRule_->addButton(obStopRuleNum_, 1);
  auto* timeRow = new QHBoxLayout;
  timeRow->addWidget(AddNumberBox("tbStopRuleTime", "Params_StopRule_Value", "1000"));
  timeRow->addWidget(new QLabel(tr("ms"), thresholds));
  timeRow->addStretch(1);
  auto* numRow = new QHBoxLayout;
  numRow->addWidget(AddNumberBox("tbStopRuleNum", "Params_StopRule_Num", "1"));
  numRow->addWidget(new QLabel(tr("cycles"), thresholds));
  numRow->addStretch(1);
  grid->addWidget(obStopRuleTime_, 5, 0);
  grid->addLayout(timeRow, 5, 1, 1, 2);
  grid->addWidget(obStopRuleNum_, 6, 0);
  grid->addLayout(numRow, 6, 1, 1, 2);
  connect(stopRule_, &QButtonGroup::idClicked, this, [this](int id) { SetStopRule(id, true); });
  auto* stopHelp = Caption(tr("Time: the choice is made only when a cue arrives after this time, so the task "
                              "must keep sending cues. A task that sends its alternatives and waits for the "
                              "DECISION (such as the sample tasks) needs Number."),
                           thresholds);
  stopHelp->setObjectName("lblStopRuleHelp");
  grid->addWidget(stopHelp, 7, 0, 1, 4);
  lblThresholdWarnings_ = WarningLabel("lblThresholdWarnings", thresholds);
  grid->addWidget(lblThresholdWarnings_, 8, 0, 1, 4);
  left->addWidget(thresholds);

  auto* clockGroup = new QGroupBox(tr("Run Clock and Random Numbers"), page);
  clockGroup->setObjectName("fraClock");
  auto* clockGrid = new QGridLayout(clockGroup);
  clock_ = new QButtonGroup(this);
  obClockReal_ = new QRadioButton(tr("Real time (the task's pace)"), clockGroup);
  obClockReal_->setObjectName("obClock0");
  obClockSimulated_ = new QRadioButton(tr("Simulated time (as fast as possible, repeatable)"), clockGroup);
  obClockSimulated_->setObjectName("obClock1");
  clock_->addButton(obClockReal_, 0);
  clock_->addButton(obClockSimulated_, 1);
  connect(clock_, &QButtonGroup::idClicked, this, [this](int id) { SetClock(id, true); });
  clockGrid->addWidget(obClockReal_, 0, 0, 1, 2);
  clockGrid->addWidget(obClockSimulated_, 1, 0, 1, 2);
  clockGrid->addWidget(Caption(tr("Random seed (empty: a new seed every run)"), clockGroup), 2, 0);
  clockGrid->addWidget(AddNumberBox("tbSeed", "Params_Seed", QString(), NumberBox::Keys::Digits,
                                    NumberBox::Written::Text),
                       2, 1);
  clockGrid->addWidget(Caption(tr("Pause after each retrieval cycle (ms of model time)"), clockGroup), 3, 0);
  clockGrid->addWidget(AddNumberBox("tbCyclePause", "Params_CyclePause", "50"), 3, 1);
  clockGrid->addWidget(Caption(tr("Time of one trial, first cue to next first cue (ms; simulated clock)"), clockGroup),
                       4, 0);
  clockGrid->addWidget(AddNumberBox("tbTrialTime", "Params_TrialTime", "1000"), 4, 1);
  clockGrid->addWidget(Caption(tr("Priors presented before a subject's first cue (ms of model time)"), clockGroup),
                       6, 0);
  clockGrid->addWidget(AddNumberBox("tbPriorTime", "Params_PriorTime", "0"), 6, 1);
  // How much of the trace a run writes (Params_TraceLevel): 0 full, 1
  // decisions, 2 none. The sizes are those of the binary-choice example.
  clockGrid->addWidget(Caption(tr("Trace kept by a run"), clockGroup), 5, 0);
  cboTraceLevel_ = new QComboBox(clockGroup);
  cboTraceLevel_->setObjectName("cboTraceLevel");
  cboTraceLevel_->addItem(tr("Full: every step (about 27 MB per 10,000 decisions)"));
  cboTraceLevel_->addItem(tr("Decisions: no ACAL and SCAL rows (about 11 MB)"));
  cboTraceLevel_->addItem(tr("None: instances only (about 0.3 MB)"));
  connect(cboTraceLevel_, qOverload<int>(&QComboBox::activated), this,
          [this](int index) { Write("Params_TraceLevel", Variant(static_cast<std::int32_t>(index))); });
  clockGrid->addWidget(cboTraceLevel_, 5, 1);
  clockGrid->setColumnStretch(0, 1);
  left->addWidget(clockGroup);

  auto* socket = new QGroupBox(tr("Socket Parameters"), page);
  socket->setObjectName("fraSocket");
  auto* socketGrid = new QGridLayout(socket);
  socketGrid->addWidget(Caption(tr("Server IP and port"), socket), 0, 0);
  tbIPAddress_ = new QLineEdit(socket);
  tbIPAddress_->setObjectName("tbIPAddress");
  tbIPAddress_->setReadOnly(true);
  socketGrid->addWidget(tbIPAddress_, 0, 1);
  socketGrid->addWidget(AddNumberBox("tbPort", "Params_Port_Value", "4258", NumberBox::Keys::Digits), 0, 2);
  socketGrid->addWidget(Caption(tr("Listen on (empty: this computer only; 0.0.0.0: every network)"), socket),
                        1, 0);
  tbListen_ = new QLineEdit(socket);
  tbListen_->setObjectName("tbListen");
  tbListen_->installEventFilter(this);
  socketGrid->addWidget(tbListen_, 1, 1, 1, 2);
  connect(tbListen_, &QLineEdit::textChanged, this, [this](const QString& text) {
    Write("Params_Listen", Variant(text.trimmed().toStdString()));
    tbIPAddress_->setText(TaskAddress(text));
  });
  socketGrid->addWidget(Caption(tr("\"HELO\" string (optional)"), socket), 2, 0);
  tbHelo_ = new QLineEdit(socket);
  tbHelo_->setObjectName("tbHelo");
  tbHelo_->setFont(CodeFont());
  tbHelo_->installEventFilter(this);
  socketGrid->addWidget(tbHelo_, 2, 1, 1, 2);
  connect(tbHelo_, &QLineEdit::textChanged, this,
          [this](const QString& text) { Write("Params_HELO", Variant(text.toStdString())); });
  socketGrid->setColumnStretch(0, 1);
  right->addWidget(socket);

  auto* batch = new QGroupBox(tr("Batch Mode Settings"), page);
  batch->setObjectName("fraBatch");
  auto* batchGrid = new QGridLayout(batch);
  batchGrid->addWidget(Caption(tr("Number of Subjects"), batch), 0, 0);
  batchGrid->addWidget(AddNumberBox("tbNumberOfSimulations", "Params_Batch_Value", "1", NumberBox::Keys::Number,
                                    NumberBox::Written::Text),
                       0, 1);
  batchGrid->addWidget(Caption(tr("To run simulation for a single subject, enter 1. To run simulation of "
                                  "multiple subjects, one after the other, enter the number of subjects."),
                               batch),
                       1, 0, 1, 2);
  batchGrid->setColumnStretch(0, 1);
  right->addWidget(batch);

  auto* reinforce = new QGroupBox(tr("Reinforcement Options"), page);
  reinforce->setObjectName("fraReinforcement");
  auto* reinforceLayout = new QVBoxLayout(reinforce);
  reinforceLayout->addWidget(AddCheck("cbReinforceRecognition",
                                      tr("Reinforce the retrieved instances (Recognition Phase)"),
                                      "Reinforce_Recognition"));
  reinforceLayout->addWidget(AddCheck("cbReinforceExecution",
                                      tr("Reinforce the executed instance (Execution Phase)"),
                                      "Reinforce_Execution"));
  reinforceLayout->addWidget(AddCheck("cbReinforceFeedback",
                                      tr("Reinforce instances given feedback (Feedback Phase)"),
                                      "Reinforce_Feedback"));
  right->addWidget(reinforce);

  auto* creation = new QGroupBox(tr("Instance-creation Options"), page);
  creation->setObjectName("fraCreation");
  auto* creationLayout = new QVBoxLayout(creation);
  QWidget* create = AddCheck("cbFeedbackCreatesInstance",
                               tr("Create new instance(s) when applying feedback, instead of updating the "
                                  "executed instance(s)"),
                               "CreateInstance_Feedback");
  creationLayout->addWidget(create);
  right->addWidget(creation);

  auto* merging = new QGroupBox(tr("Instance-merging Options"), page);
  merging->setObjectName("fraMerging");
  auto* mergingLayout = new QVBoxLayout(merging);
  mergingLayout->addWidget(AddCheck("cbMergeWithPrepopulated",
                                    tr("Allow instances created during simulation to be merged with "
                                       "prepopulated instances when appropriate"),
                                    "Merge_WithPrepopulated"));
  right->addWidget(merging);
  right->addStretch(1);
}

QString frmModelParameters::TaskAddress(const QString& listenSetting) {
  const QString listen = listenSetting.trimmed();
  QHostAddress address;
  if (listen.isEmpty() || !address.setAddress(listen) || address.isLoopback()) return "127.0.0.1";
  if (address == QHostAddress::AnyIPv4 || address == QHostAddress::Any || address == QHostAddress::AnyIPv6) {
    for (const QHostAddress& local : QNetworkInterface::allAddresses()) {
      if (local.protocol() == QAbstractSocket::IPv4Protocol && !local.isLoopback()) return local.toString();
    }
    return "127.0.0.1";
  }
  return address.toString();
}

void frmModelParameters::Load() {
  store::Database* db = Db();
  const std::string listen = ReadSettingText(db, "Params_Listen");
  tbIPAddress_->setText(TaskAddress(QString::fromStdString(listen)));

  for (const Comparison& comparison : comparisons_) {
    const QString stored = QString::fromStdString(ReadSettingText(db, comparison.key));
    comparison.list->setCurrentIndex(comparison.list->findText(stored, Qt::MatchExactly | Qt::MatchCaseSensitive));
  }
  for (const NumberBox& box : numberBoxes_) {
    const std::string text = box.written == NumberBox::Written::Text ? ReadSettingText(db, box.key)
                                                                     : SettingText(ReadSetting(db, box.key));
    box.box->setText(QString::fromStdString(text));
    // A number longer than its box (-1e300 written out) shows its start,
    // with the whole text in the tooltip.
    box.box->setCursorPosition(0);
  }
  tbHelo_->setText(QString::fromStdString(ReadSettingText(db, "Params_HELO")));
  tbListen_->setText(QString::fromStdString(listen));
  SetStopRule(SettingIndex(ReadSetting(db, "Params_StopRule"), 2), true);
  SetClock(SettingIndex(ReadSetting(db, "Params_Clock"), 2), true);
  cboTraceLevel_->setCurrentIndex(SettingIndex(ReadSetting(db, "Params_TraceLevel"), 3));
  for (const CheckSetting& check : checks_) {
    const bool set = SettingIndex(ReadSetting(db, check.key), 2) == 1;
    check.box->setChecked(set);
    Write(check.key, Variant(static_cast<std::int32_t>(set ? 1 : 0)));
  }
  // Defaults go into every box left blank; writing them happens as the
  // text changes, so a new model gets every default stored.
  for (const NumberBox& box : numberBoxes_) {
    if (box.box->text().trimmed().isEmpty()) {
      if (box.defaultText.isEmpty()) {
        box.box->clear();
      } else {
        box.box->setText(box.defaultText);
      }
    }
  }
  if (tbHelo_->text().trimmed().isEmpty()) tbHelo_->clear();
  Write("Params_HELO", Variant(tbHelo_->text().toStdString()));
  RefreshWarnings();
}

namespace {
bool IsInstanceTypeName(const std::string& name) {
  if (name.size() < 2 || name[0] != 'I' || name[1] == '0') return false;
  for (std::size_t i = 1; i < name.size(); ++i)
    if (name[i] < '0' || name[i] > '9') return false;
  return true;
}
}  // namespace

QLabel* frmModelParameters::WarningLabel(const QString& name, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setObjectName(name);
  label->setWordWrap(true);
  label->setTextFormat(Qt::PlainText);
  label->setStyleSheet("QLabel { color: #8a4b00; }");
  label->hide();
  return label;
}

void frmModelParameters::RefreshWarnings() {
  store::Database* db = Db();
  if (!db) return;
  for (const InForce& row : inForce_) {
    const std::string op = ReadSettingText(db, row.cmpKey);
    row.label->setText(QString::fromStdString(engine::ThresholdInForce(row.which, op, ReadSettingText(db, row.valueKey))));
  }
  // The keys this screen edits beside the thresholds; everything else is
  // listed at the top, per instance type where it concerns one.
  static const std::set<std::string> besideThresholds = {"Params_Delta_Cmp", "Params_U_Cmp", "Params_CT_Cmp",
                                                         "Params_StopRule", "Params_Goal_Value"};
  QStringList beside, top;
  try {
    for (const engine::ModelWarning& w : engine::ModelWideWarnings(*db))
      (besideThresholds.count(w.key) ? beside : top) << QString::fromStdString(w.text);
    for (const InstanceTypeTab& type : ListInstanceTypes(db))
      if (IsInstanceTypeName(type.name))
        for (const engine::ModelWarning& w : engine::InstanceTypeWarnings(*db, type.name))
        top << QString::fromStdString(w.text);
  } catch (const Error& e) {
    top << QString::fromStdString("The settings could not be checked: " + e.Description());
  }
  lblThresholdWarnings_->setText(beside.join("\n"));
  lblThresholdWarnings_->setVisible(!beside.isEmpty());
  lblWarnings_->setText(top.join("\n"));
  lblWarnings_->setVisible(!top.isEmpty());
}

void frmModelParameters::SetStopRule(int index, bool write) {
  (index == 1 ? obStopRuleNum_ : obStopRuleTime_)->setChecked(true);
  for (const NumberBox& box : numberBoxes_) {
    if (box.key == "Params_StopRule_Value") box.box->setEnabled(index == 0);
    if (box.key == "Params_StopRule_Num") box.box->setEnabled(index == 1);
  }
  if (write) Write("Params_StopRule", Variant(static_cast<std::int32_t>(index)));
}

void frmModelParameters::SetClock(int index, bool write) {
  (index == 1 ? obClockSimulated_ : obClockReal_)->setChecked(true);
  if (write) Write("Params_Clock", Variant(static_cast<std::int32_t>(index)));
}

void frmModelParameters::Write(const std::string& key, const Variant& value) {
  if (!Db()) return;
  WriteSetting(Db(), key, value);
  // One check after a burst of writes (loading writes every control).
  if (!refreshPending_) {
    refreshPending_ = true;
    QTimer::singleShot(0, this, [this] {
      refreshPending_ = false;
      RefreshWarnings();
    });
  }
}

const frmModelParameters::NumberBox* frmModelParameters::FindNumberBox(QObject* widget) const {
  for (const NumberBox& box : numberBoxes_) {
    if (box.box == widget) return &box;
  }
  return nullptr;
}

bool frmModelParameters::FilterKey(const NumberBox& box, QKeyEvent* event) {
  if (IsEditingKey(event)) return false;
  const QChar c = event->text().at(0);
  const bool digit = c >= '0' && c <= '9';
  const bool allowed = box.keys == NumberBox::Keys::Digits ? digit : (digit || c == '-' || c == '.');
  if (allowed) return false;
  QApplication::beep();
  return true;
}

bool frmModelParameters::CheckOnLeaving(const NumberBox& box) {
  const std::string text = box.box->text().toStdString();
  std::string message;
  if (!IsCanonicalNumberText(text)) {
    message = "The value '" + text + "' isn't a valid number. Please correct it.";
  } else if (box.key == "Params_StopRule_Num" && LeadingNumber(text) < 1) {
    message = "Number of cycles must be greater than zero.";
  } else if (box.key == "Params_StopRule_Value" && LeadingNumber(text) < 1) {
    message = "Stopping time rule must at least 1 millisecond.";
  } else if ((box.key == "Params_CyclePause" || box.key == "Params_TrialTime") && LeadingNumber(text) < 0) {
    message = "A time in the model must be 0 or more milliseconds.";
  } else if (box.key == "Params_Port_Value" && !Trimmed(text).empty() &&
             (LeadingNumber(text) < 1 || LeadingNumber(text) > 65535)) {
    message = "The port '" + text + "' must be a number from 1 to 65535.";
  }
  if (message.empty()) return true;
  checking_ = true;
  CurrentDialogs().Message(message, DialogIcon::Warning);
  checking_ = false;
  ReturnTo(box.box);
  return false;
}

void frmModelParameters::ReturnTo(QLineEdit* edit) {
  edit->setFocus(Qt::OtherFocusReason);
  edit->selectAll();
  // The focus-out that led here is still being delivered, and the line edit
  // clears its selection at its end: select again once it is over, so that
  // what is typed next replaces the refused value.
  QTimer::singleShot(0, edit, [edit] {
    if (edit->hasFocus()) edit->selectAll();
  });
}

bool frmModelParameters::eventFilter(QObject* watched, QEvent* event) {
  auto* edit = qobject_cast<QLineEdit*>(watched);
  if (!edit) return Screen::eventFilter(watched, event);
  const NumberBox* box = FindNumberBox(watched);
  switch (event->type()) {
    case QEvent::KeyPress:
      if (box && FilterKey(*box, static_cast<QKeyEvent*>(event))) return true;
      break;
    case QEvent::FocusIn:
      if (!box || box->key != "Params_StopRule_Num") {
        // After the click that gave the focus has placed the cursor.
        QTimer::singleShot(0, edit, [edit] {
          if (edit->hasFocus()) edit->selectAll();
        });
      }
      break;
    case QEvent::FocusOut: {
      const auto reason = static_cast<QFocusEvent*>(event)->reason();
      // Only a move to another control of this screen counts as leaving.
      if (checking_ || reason == Qt::ActiveWindowFocusReason || reason == Qt::PopupFocusReason) break;
      if (box) {
        CheckOnLeaving(*box);
      } else if (edit == tbListen_) {
        QHostAddress address;
        const QString text = tbListen_->text().trimmed();
        if (!text.isEmpty() && !address.setAddress(text)) {
          checking_ = true;
          CurrentDialogs().Message("The address '" + text.toStdString() +
                                       "' isn't a valid IP address. Please correct it, or leave it empty to "
                                       "accept tasks from this computer only.",
                                   DialogIcon::Warning);
          checking_ = false;
          ReturnTo(tbListen_);
        }
      }
      break;
    }
    default:
      break;
  }
  return Screen::eventFilter(watched, event);
}

}  // namespace korvane::editor
