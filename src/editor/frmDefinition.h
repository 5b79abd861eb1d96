// frmDefinition.h: the instance-type definition screen.
//
// The researcher names the slots of the model's instance type here, one
// "Name, Type" per cell in the Situation, Decision and Utility columns. The
// screen edits the database schema at once: the first slot of an instance
// number creates its table (I1), and every accepted cell edit adds, renames,
// retypes or drops a slot column (S_Price_Real). There is no save step.
#pragma once

#include "editor/Screen.h"

class QLabel;
class QPushButton;

namespace korvane::editor {

class EditGrid;

class frmDefinition : public Screen {
  Q_OBJECT

 public:
  explicit frmDefinition(ScreenHost& host);

  // The completeness check Next runs: every instance type has at least one
  // Situation, Decision and Utility slot, and there is at least one.
  bool CheckComplete();

 public slots:
  void AddRow();
  void DeleteRow();

 protected:
  void Load() override;
  void CommitPendingInput() override;
  bool CheckBeforeNext() override { return CheckComplete(); }

 private:
  bool GuardEdit(int row, int column);
  void ApplyEdit(int row, int column, const QString& newText);
  // The checks a slot text must pass; the failing message, or "" when it passes.
  QString ValidateSlot(const QString& table, const QString& text, const QString& oldName, QString& name,
                       QString& typeWord);
  void EnsureTable(const QString& table);
  void ChangeSlot(const QString& table, const QString& oldColumn, const QString& newColumn,
                  const QString& newTypeWord, bool typeChanged);
  void DropSlotlessTables();
  void Recolour(int currentRow);
  void UpdateButtons();
  void UpdateLabels();
  void PlaceSlot(int instance, int column, const QString& text);
  QString InstanceCell(int row) const;

  EditGrid* grid_ = nullptr;
  QLabel* lblInstanceNumber_ = nullptr;
  QLabel* lbDBVersion_ = nullptr;
  QPushButton* btnAddRow_ = nullptr;
  QPushButton* btnDeleteRow_ = nullptr;
  int currentInstance_ = 1;
  int highestInstance_ = 1;
};

}  // namespace korvane::editor
