// ExportPreviewModel.cpp: a QAbstractTableModel over ExportPreview.
#include "editor/ExportPreviewModel.h"

#include <algorithm>
#include <limits>

namespace korvane::editor {

ExportPreviewModel::ExportPreviewModel(QObject* parent) : QAbstractTableModel(parent) {}

void ExportPreviewModel::Reload() {
  beginResetModel();
  windowFirst_ = -1;
  window_.clear();
  endResetModel();
}

void ExportPreviewModel::Clear() {
  beginResetModel();
  preview_.Clear();
  windowFirst_ = -1;
  window_.clear();
  endResetModel();
}

int ExportPreviewModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid() || !preview_.IsLoaded()) return 0;
  // A view counts rows in int; more than that is not shown (the CSV has them all).
  return static_cast<int>(std::min<std::int64_t>(preview_.RowCount(), std::numeric_limits<int>::max()));
}

int ExportPreviewModel::columnCount(const QModelIndex& parent) const {
  if (parent.isValid() || !preview_.IsLoaded()) return 0;
  return preview_.ColumnCount();
}

QVariant ExportPreviewModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::ToolTipRole)) return {};
  const std::int64_t row = index.row();
  if (windowFirst_ < 0 || row < windowFirst_ || row >= windowFirst_ + static_cast<std::int64_t>(window_.size())) {
    windowFirst_ = row - row % kWindowRows;
    try {
      window_ = const_cast<exporting::ExportPreview&>(preview_).FetchRows(windowFirst_, windowFirst_ + kWindowRows);
    } catch (const std::exception&) {
      window_.clear();  // the database went away; the cell shows empty
    }
  }
  const std::size_t offset = static_cast<std::size_t>(row - windowFirst_);
  if (offset >= window_.size()) return {};
  const auto& cells = window_[offset];
  if (index.column() < 0 || index.column() >= static_cast<int>(cells.size())) return {};
  return QString::fromStdString(cells[static_cast<std::size_t>(index.column())]);
}

QVariant ExportPreviewModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole) return QAbstractTableModel::headerData(section, orientation, role);
  if (orientation == Qt::Horizontal) {
    const auto& captions = preview_.Captions();
    if (section >= 0 && section < static_cast<int>(captions.size()))
      return QString::fromStdString(captions[static_cast<std::size_t>(section)]);
    return {};
  }
  return section + 1;
}

}  // namespace korvane::editor
