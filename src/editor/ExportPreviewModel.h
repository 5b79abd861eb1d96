// ExportPreviewModel.h: the export screen's preview grid as a table model
// over the export core's paged preview, so that a million rows cost only the
// rows on screen: the view asks for cells, the model reads the block they lie
// in, and nothing else is held.
#pragma once

#include <QAbstractTableModel>
#include <cstdint>
#include <string>
#include <vector>

#include "export/ExportPreview.h"

namespace korvane::editor {

class ExportPreviewModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit ExportPreviewModel(QObject* parent = nullptr);

  exporting::ExportPreview& Preview() { return preview_; }
  // Call after the preview was loaded or cleared.
  void Reload();
  void Clear();

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

 private:
  static constexpr std::int64_t kWindowRows = 128;
  exporting::ExportPreview preview_;
  // The rows last read from the preview: [windowFirst_, windowFirst_ + size).
  mutable std::int64_t windowFirst_ = -1;
  mutable std::vector<std::vector<std::string>> window_;
};

}  // namespace korvane::editor
