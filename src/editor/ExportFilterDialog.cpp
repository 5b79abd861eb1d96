// ExportFilterDialog.cpp: frmExportFilter.
#include "editor/ExportFilterDialog.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "util/Dialogs.h"

namespace korvane::editor {

frmExportFilter::frmExportFilter(std::vector<exporting::FilterVariable> variables, QWidget* parent)
    : QDialog(parent), variables_(std::move(variables)) {
  setObjectName("frmExportFilter");
  setWindowTitle(tr("Export Filter"));
  setModal(true);
  auto* layout = new QHBoxLayout(this);
  auto* left = new QVBoxLayout;
  left->addWidget(new QLabel(tr("Variable:"), this));
  lstVariables_ = new QListWidget(this);
  lstVariables_->setObjectName("lstVariables");
  for (const exporting::FilterVariable& variable : variables_)
    lstVariables_->addItem(QString::fromStdString(variable.caption));
  left->addWidget(lstVariables_);
  layout->addLayout(left);

  auto* right = new QVBoxLayout;
  auto* modes = new QGroupBox(tr("Keep the rows whose value is"), this);
  auto* grid = new QGridLayout(modes);
  auto* group = new QButtonGroup(this);
  obEqual_ = new QRadioButton(tr("equal to"), modes);
  obEqual_->setObjectName("obEqual");
  obNotEqual_ = new QRadioButton(tr("not equal to"), modes);
  obNotEqual_->setObjectName("obNotEqual");
  obRules_ = new QRadioButton(tr("within these rules:"), modes);
  obRules_->setObjectName("obRules");
  group->addButton(obEqual_);
  group->addButton(obNotEqual_);
  group->addButton(obRules_);
  obEqual_->setChecked(true);
  tbEqualValue_ = new QLineEdit(modes);
  tbEqualValue_->setObjectName("tbEqualValue");
  tbNotEqualValue_ = new QLineEdit(modes);
  tbNotEqualValue_->setObjectName("tbNotEqualValue");
  grid->addWidget(obEqual_, 0, 0);
  grid->addWidget(tbEqualValue_, 0, 1, 1, 2);
  grid->addWidget(obNotEqual_, 1, 0);
  grid->addWidget(tbNotEqualValue_, 1, 1, 1, 2);
  grid->addWidget(obRules_, 2, 0, 1, 3);
  cbGreater_ = new QCheckBox(tr("greater than"), modes);
  cbGreater_->setObjectName("cbGreater");
  cbGreaterOperator_ = new QComboBox(modes);
  cbGreaterOperator_->setObjectName("cbGreaterOperator");
  cbGreaterOperator_->addItems({tr("> (strict)"), tr(">= (inclusive)")});
  tbGreaterValue_ = new QLineEdit(modes);
  tbGreaterValue_->setObjectName("tbGreaterValue");
  cbLess_ = new QCheckBox(tr("less than"), modes);
  cbLess_->setObjectName("cbLess");
  cbLessOperator_ = new QComboBox(modes);
  cbLessOperator_->setObjectName("cbLessOperator");
  cbLessOperator_->addItems({tr("< (strict)"), tr("<= (inclusive)")});
  tbLessValue_ = new QLineEdit(modes);
  tbLessValue_->setObjectName("tbLessValue");
  grid->addWidget(cbGreater_, 3, 0);
  grid->addWidget(cbGreaterOperator_, 3, 1);
  grid->addWidget(tbGreaterValue_, 3, 2);
  grid->addWidget(cbLess_, 4, 0);
  grid->addWidget(cbLessOperator_, 4, 1);
  grid->addWidget(tbLessValue_, 4, 2);
  right->addWidget(modes);
  right->addStretch(1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  btnSave_ = new QPushButton(tr("&Save"), this);
  btnSave_->setObjectName("btnSave");
  btnSave_->setDefault(true);
  btnDiscard_ = new QPushButton(tr("&Discard"), this);
  btnDiscard_->setObjectName("btnDiscard");
  buttons->addWidget(btnSave_);
  buttons->addWidget(btnDiscard_);
  right->addLayout(buttons);
  layout->addLayout(right, 1);

  connect(btnSave_, &QPushButton::clicked, this, &frmExportFilter::Save);
  connect(btnDiscard_, &QPushButton::clicked, this, &QDialog::reject);
  for (QAbstractButton* button : group->buttons())
    connect(button, &QAbstractButton::toggled, this, &frmExportFilter::UpdateEnabled);
  connect(cbGreater_, &QCheckBox::toggled, this, &frmExportFilter::UpdateEnabled);
  connect(cbLess_, &QCheckBox::toggled, this, &frmExportFilter::UpdateEnabled);
  UpdateEnabled();
}

void frmExportFilter::UpdateEnabled() {
  tbEqualValue_->setEnabled(obEqual_->isChecked());
  tbNotEqualValue_->setEnabled(obNotEqual_->isChecked());
  const bool rules = obRules_->isChecked();
  cbGreater_->setEnabled(rules);
  cbLess_->setEnabled(rules);
  cbGreaterOperator_->setEnabled(rules && cbGreater_->isChecked());
  tbGreaterValue_->setEnabled(rules && cbGreater_->isChecked());
  cbLessOperator_->setEnabled(rules && cbLess_->isChecked());
  tbLessValue_->setEnabled(rules && cbLess_->isChecked());
}

exporting::FilterDialogInput frmExportFilter::Input() const {
  exporting::FilterDialogInput input;
  const int row = lstVariables_->currentRow();
  if (row >= 0 && row < static_cast<int>(variables_.size()) && lstVariables_->currentItem()->isSelected())
    input.variable = variables_[static_cast<std::size_t>(row)];
  if (obEqual_->isChecked()) {
    input.kind = exporting::FilterDialogInput::Kind::Equal;
    input.valueText = tbEqualValue_->text().toStdString();
  } else if (obNotEqual_->isChecked()) {
    input.kind = exporting::FilterDialogInput::Kind::NotEqual;
    input.valueText = tbNotEqualValue_->text().toStdString();
  } else {
    input.kind = exporting::FilterDialogInput::Kind::Rules;
  }
  input.greater = cbGreater_->isChecked();
  input.greaterText = tbGreaterValue_->text().toStdString();
  input.greaterInclusive = cbGreaterOperator_->currentIndex() == 1;
  input.less = cbLess_->isChecked();
  input.lessText = tbLessValue_->text().toStdString();
  input.lessInclusive = cbLessOperator_->currentIndex() == 1;
  return input;
}

void frmExportFilter::Save() {
  exporting::FilterOrMessage made = exporting::MakeDialogFilter(Input());
  if (!made.filter) {
    CurrentDialogs().Message(made.message, DialogIcon::Warning);
    return;
  }
  filter_ = made.filter;
  accept();
}

}  // namespace korvane::editor
