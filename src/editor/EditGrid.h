// EditGrid.h: the editable grid of the definition and population screens.
//
// A table of text cells. An edit is reported once the user leaves the cell
// (CellEdited, delivered from the event loop, after the editor has closed, so
// that the handler may show message boxes). A handler may refuse an edit
// before it starts (CanEdit), mark a cell that failed validation (yellow, with
// a critical box titled "Error in Field") and grey cells that cannot take a
// value.
#pragma once

#include <QColor>
#include <QList>
#include <QTableWidget>
#include <functional>

namespace korvane::editor {

class EditGrid : public QTableWidget {
  Q_OBJECT

 public:
  explicit EditGrid(QWidget* parent = nullptr);

  // Asked before an edit of (row, column) starts; false refuses it. The
  // callback shows its own message.
  void SetEditGuard(std::function<bool(int row, int column)> guard) { guard_ = std::move(guard); }

  // Cell text, without reporting an edit. Creates the cell when needed.
  void SetCellText(int row, int column, const QString& text);
  QString CellText(int row, int column) const;
  // A value kept with the cell that the user does not see (for example the
  // slot a definition cell last stood for).
  void SetCellValue(int row, int column, const QVariant& value);
  QVariant CellValue(int row, int column) const;

  // The error marker: yellow, and the message in a critical box.
  void MarkError(int row, int column, const QString& message);
  void ClearError(int row, int column);
  bool HasError(int row, int column) const;

  // A greyed cell shows the button-face colour.
  void SetGreyed(int row, int column, bool greyed);
  bool IsGreyed(int row, int column) const;

  // Appends an empty row; returns its index.
  int AppendRow();

  using QTableWidget::edit;

  // Finishes an edit still in progress and reports every edit not reported
  // yet, now. Screens call it before they act on the grid's contents (Next,
  // Delete Row) and before they close.
  void FlushEdits();

 signals:
  void CellEdited(int row, int column, const QString& oldText, const QString& newText);

 protected:
  bool edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) override;

 private:
  friend class EditGridDelegate;
  QTableWidgetItem* Item(int row, int column);
  void Recolour(int row, int column);
  void ReportEdit(int row, int column, const QString& oldText, const QString& newText);

  struct PendingEdit {
    int row, column;
    QString oldText, newText;
  };
  std::function<bool(int, int)> guard_;
  QList<PendingEdit> pending_;
  bool flushing_ = false;
};

}  // namespace korvane::editor
