// EditGrid.cpp: the editable grid.
#include "editor/EditGrid.h"

#include <QHeaderView>
#include <QPalette>
#include <QPersistentModelIndex>
#include <QStyledItemDelegate>
#include <QTimer>

#include "util/Dialogs.h"

namespace korvane::editor {

namespace {
constexpr int kValueRole = Qt::UserRole;
constexpr int kGreyRole = Qt::UserRole + 1;
constexpr int kErrorRole = Qt::UserRole + 2;
}  // namespace

// Catches the moment an edit is written into the cell and hands it to the
// grid, with the text the cell had before.
class EditGridDelegate : public QStyledItemDelegate {
 public:
  explicit EditGridDelegate(EditGrid* grid) : QStyledItemDelegate(grid), grid_(grid) {}

  void setModelData(QWidget* editor, QAbstractItemModel* model, const QModelIndex& index) const override {
    const QString oldText = index.data(Qt::EditRole).toString();
    QStyledItemDelegate::setModelData(editor, model, index);
    const QString newText = index.data(Qt::EditRole).toString();
    grid_->ReportEdit(index.row(), index.column(), oldText, newText);
  }

 private:
  EditGrid* grid_;
};

EditGrid::EditGrid(QWidget* parent) : QTableWidget(parent) {
  setItemDelegate(new EditGridDelegate(this));
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                  QAbstractItemView::AnyKeyPressed);
  verticalHeader()->setVisible(false);
  setAlternatingRowColors(false);
}

QTableWidgetItem* EditGrid::Item(int row, int column) {
  QTableWidgetItem* it = item(row, column);
  if (!it) {
    it = new QTableWidgetItem;
    setItem(row, column, it);
  }
  return it;
}

void EditGrid::SetCellText(int row, int column, const QString& text) {
  QSignalBlocker block(this);
  Item(row, column)->setText(text);
}

QString EditGrid::CellText(int row, int column) const {
  const QTableWidgetItem* it = item(row, column);
  return it ? it->text() : QString();
}

void EditGrid::SetCellValue(int row, int column, const QVariant& value) {
  QSignalBlocker block(this);
  Item(row, column)->setData(kValueRole, value);
}

QVariant EditGrid::CellValue(int row, int column) const {
  const QTableWidgetItem* it = item(row, column);
  return it ? it->data(kValueRole) : QVariant();
}

void EditGrid::Recolour(int row, int column) {
  QSignalBlocker block(this);
  QTableWidgetItem* it = Item(row, column);
  if (it->data(kErrorRole).toBool()) {
    it->setBackground(QColor(Qt::yellow));
  } else if (it->data(kGreyRole).toBool()) {
    it->setBackground(palette().brush(QPalette::Button));
  } else {
    it->setBackground(QBrush());
  }
}

void EditGrid::MarkError(int row, int column, const QString& message) {
  {
    QSignalBlocker block(this);
    Item(row, column)->setData(kErrorRole, true);
  }
  Recolour(row, column);
  CurrentDialogs().Message(message.toStdString(), DialogIcon::Critical, "Error in Field");
}

void EditGrid::ClearError(int row, int column) {
  {
    QSignalBlocker block(this);
    Item(row, column)->setData(kErrorRole, false);
  }
  Recolour(row, column);
}

bool EditGrid::HasError(int row, int column) const {
  const QTableWidgetItem* it = item(row, column);
  return it && it->data(kErrorRole).toBool();
}

void EditGrid::SetGreyed(int row, int column, bool greyed) {
  {
    QSignalBlocker block(this);
    Item(row, column)->setData(kGreyRole, greyed);
  }
  Recolour(row, column);
}

bool EditGrid::IsGreyed(int row, int column) const {
  const QTableWidgetItem* it = item(row, column);
  return it && it->data(kGreyRole).toBool();
}

int EditGrid::AppendRow() {
  const int row = rowCount();
  insertRow(row);
  for (int c = 0; c < columnCount(); ++c) Item(row, c);
  return row;
}

bool EditGrid::edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) {
  // Only a real start of editing is guarded: item views also call edit() on
  // every click to look for persistent editors.
  const bool starts = trigger == QAbstractItemView::AllEditTriggers || (trigger & editTriggers());
  if (starts && index.isValid() && state() != QAbstractItemView::EditingState && guard_ &&
      !guard_(index.row(), index.column())) {
    return false;
  }
  return QTableWidget::edit(index, trigger, event);
}

void EditGrid::ReportEdit(int row, int column, const QString& oldText, const QString& newText) {
  // Delivered once the editor has closed: the handler may show boxes and
  // change the grid, which must not happen inside the editor's own commit.
  pending_.append(PendingEdit{row, column, oldText, newText});
  QTimer::singleShot(0, this, &EditGrid::FlushEdits);
}

void EditGrid::FlushEdits() {
  if (flushing_) return;
  flushing_ = true;
  if (state() == QAbstractItemView::EditingState) {
    for (QWidget* editor : viewport()->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
      if (editor->isVisible()) {
        commitData(editor);
        closeEditor(editor, QAbstractItemDelegate::NoHint);
        break;
      }
    }
  }
  while (!pending_.isEmpty()) {
    const PendingEdit edit = pending_.takeFirst();
    if (edit.row < rowCount() && edit.column < columnCount()) {
      emit CellEdited(edit.row, edit.column, edit.oldText, edit.newText);
    }
  }
  flushing_ = false;
}

}  // namespace korvane::editor
