// frmPopulation.h: the population screen.
//
// The researcher enters the prepopulated instances of each instance type:
// rows of slot values every simulated subject starts with. One tab per
// instance type; one grid row per stored row with X_Subject 0. Each cell is
// written to the database as soon as the user leaves it, and the database
// decides what is stored: a text the column's type cannot take, or takes as
// a different value, is reported with what was stored instead.
#pragma once

#include <QList>
#include <QStringList>

#include "editor/Screen.h"
#include "store/Database.h"

class QPushButton;
class QTabBar;

namespace korvane::editor {

class EditGrid;

class frmPopulation : public Screen {
  Q_OBJECT

 public:
  explicit frmPopulation(ScreenHost& host);

  // The empty-cell check Next runs. True when there is no empty cell or the
  // researcher chose to go on anyway.
  bool CheckEmptyCells();

 public slots:
  void AddRow();
  void DeleteRow();

 protected:
  void Load() override;
  void CommitPendingInput() override;
  bool CheckBeforeNext() override { return CheckEmptyCells(); }

 private:
  void LoadGrid(int tab);
  void WriteCell(int row, int column, const QString& text);
  void UpdateButtons();

  QTabBar* tabStrip_ = nullptr;
  EditGrid* grid_ = nullptr;
  QPushButton* btnAddRow_ = nullptr;
  QPushButton* btnDeleteRow_ = nullptr;
  QString table_;
  QStringList columns_;                      // full column name of each grid column
  QList<std::optional<store::Bookmark>> rows_;  // the record of each grid row, once it has one
};

}  // namespace korvane::editor
