// FormulaPanel.h: one formula of a formula screen: the formula box, the
// message area under it (wrapping, so a long error is read whole) and the list of variables that can be inserted.
//
// Every change of the text is checked (at once, or when a one-shot timer
// runs out on screens that ask for a delay); a text the check allows to be
// stored is handed to the panel's store function. Loading a text shows its
// check message but stores nothing: looking at a model never changes it.
#pragma once

#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "editor/FormulaCheck.h"

class QListWidget;
class QListWidgetItem;
class QPlainTextEdit;

namespace korvane::editor {

class FormulaPanel : public QWidget {
  Q_OBJECT

 public:
  // Object names: prefix + "Formula", prefix + "Message", prefix + "Variables"
  // with the prefixes "tb", "tb" and "lst" ("tbFormula", "tbMessage",
  // "lstVariables" for an empty name; "tbFailFormula" ... for "Fail").
  // delayMs > 0 checks only when the text has rested that long.
  FormulaPanel(const QString& name, int delayMs, QWidget* parent = nullptr);

  void SetRequirement(FormulaRequirement requirement) { requirement_ = std::move(requirement); }
  // Called with a text the check allows to be stored; returns false when it
  // was not written.
  void SetStoreFunction(std::function<bool(const std::string&)> store) { store_ = std::move(store); }

  // Shows text (and its check message) without storing it.
  void LoadText(const QString& text);
  QString Text() const;
  QString Message() const;
  void SetVariables(const QStringList& variables);
  // Enables or disables the formula box, message line and variable list.
  void SetFormulaEnabled(bool enabled);

  // Runs a check the timer still holds back, so that nothing typed is lost
  // when the instance type or the screen changes.
  void Flush();

  QListWidget* VariableList() const { return variables_; }

  // Inserts " text " at the insertion point and gives the formula box the focus.
  void InsertVariable(const QString& text);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void OnTextChanged();
  void Check(bool store);

  FormulaRequirement requirement_;
  std::vector<std::string> known_;  // the variables a run gives the formula
  std::function<bool(const std::string&)> store_;
  QPlainTextEdit* formula_ = nullptr;
  QPlainTextEdit* message_ = nullptr;
  QListWidget* variables_ = nullptr;
  QTimer timer_;
  int delayMs_ = 0;
  bool loading_ = false;
};

}  // namespace korvane::editor
