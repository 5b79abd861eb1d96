// FormulaPanel.cpp: formula box, message line and variable list.
#include "editor/FormulaPanel.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QVBoxLayout>

#include "editor/CodeFont.h"

namespace korvane::editor {

FormulaPanel::FormulaPanel(const QString& name, int delayMs, QWidget* parent)
    : QWidget(parent), delayMs_(delayMs) {
  setObjectName("fra" + (name.isEmpty() ? QString("Formula") : name + "Formula"));
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  auto* left = new QVBoxLayout;
  formula_ = new QPlainTextEdit(this);
  formula_->setObjectName("tb" + name + "Formula");
  formula_->setFont(CodeFont());
  formula_->setTabChangesFocus(true);
  formula_->setLineWrapMode(QPlainTextEdit::NoWrap);
  // The message wraps and scrolls: a parse error quoting a long formula is
  // readable whole at any window size.
  message_ = new QPlainTextEdit(this);
  message_->setObjectName("tb" + name + "Message");
  message_->setReadOnly(true);
  message_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  message_->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  message_->setTabChangesFocus(true);
  message_->setFrameShape(QFrame::StyledPanel);
  const int lineHeight = message_->fontMetrics().lineSpacing();
  message_->setFixedHeight(lineHeight * 3 + 2 * message_->frameWidth() + 8);
  message_->installEventFilter(this);
  left->addWidget(formula_, 1);
  left->addWidget(message_);
  variables_ = new QListWidget(this);
  variables_->setObjectName("lst" + name + "Variables");
  // Wide enough for "Memory." and a slot name; longer names show whole in
  // their tooltip.
  variables_->setMinimumWidth(150);
  variables_->setMaximumWidth(260);
  row->addLayout(left, 3);
  row->addWidget(variables_, 1);

  timer_.setSingleShot(true);
  timer_.setInterval(delayMs_);
  connect(&timer_, &QTimer::timeout, this, [this] { Check(true); });
  connect(formula_, &QPlainTextEdit::textChanged, this, &FormulaPanel::OnTextChanged);
  connect(variables_, &QListWidget::itemClicked, this,
          [this](QListWidgetItem* item) { InsertVariable(item->text()); });
}

void FormulaPanel::LoadText(const QString& text) {
  timer_.stop();
  loading_ = true;
  formula_->setPlainText(text);
  loading_ = false;
  Check(false);
}

QString FormulaPanel::Text() const { return formula_->toPlainText(); }
QString FormulaPanel::Message() const { return message_->toPlainText(); }

void FormulaPanel::SetVariables(const QStringList& variables) {
  variables_->clear();
  variables_->addItems(variables);
  // What a run gives the formula: the list without the assignments it
  // offers to insert ("U =").
  known_.clear();
  for (const QString& name : variables)
    if (!name.endsWith("=")) known_.push_back(name.trimmed().toStdString());
  for (int i = 0; i < variables_->count(); ++i) variables_->item(i)->setToolTip(variables_->item(i)->text());
}

void FormulaPanel::SetFormulaEnabled(bool enabled) {
  formula_->setEnabled(enabled);
  message_->setEnabled(enabled);
  variables_->setEnabled(enabled);
}

void FormulaPanel::Flush() {
  if (!timer_.isActive()) return;
  timer_.stop();
  Check(true);
}

void FormulaPanel::InsertVariable(const QString& text) {
  if (!formula_->isEnabled()) return;
  formula_->insertPlainText(" " + text + " ");
  formula_->setFocus(Qt::OtherFocusReason);
}

void FormulaPanel::OnTextChanged() {
  if (loading_) return;
  if (delayMs_ > 0) {
    timer_.start();
  } else {
    Check(true);
  }
}

void FormulaPanel::Check(bool store) {
  const std::string text = formula_->toPlainText().toStdString();
  FormulaCheckResult result = CheckFormula(text, requirement_, known_);
  message_->setPlainText(QString::fromStdString(result.message));
  message_->setToolTip(message_->toPlainText());
  if (store && result.store && store_) store_(text);
}

bool FormulaPanel::eventFilter(QObject* watched, QEvent* event) {
  if (watched == message_ && event->type() == QEvent::FocusIn && formula_->isEnabled()) {
    formula_->setFocus(Qt::OtherFocusReason);
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace korvane::editor
