// ExportFilterDialog.h: frmExportFilter, the dialog in which a researcher
// makes one export filter: a variable and either "equal to", "not equal to"
// or rules with a lower and an upper bound, each strict or inclusive.
#pragma once

#include <QDialog>
#include <memory>
#include <vector>

#include "export/DataFilter.h"
#include "export/FilterInput.h"
#include "export/TraceQuery.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;

namespace korvane::editor {

class frmExportFilter : public QDialog {
  Q_OBJECT

 public:
  frmExportFilter(std::vector<exporting::FilterVariable> variables, QWidget* parent = nullptr);

  // The filter made by Save; null after Discard.
  std::shared_ptr<exporting::DataFilter> Filter() const { return filter_; }
  // What the controls hold, as the export core reads it.
  exporting::FilterDialogInput Input() const;

 public slots:
  // Builds the filter; refuses (message, dialog stays) when it cannot.
  void Save();

 private:
  void UpdateEnabled();

  std::vector<exporting::FilterVariable> variables_;
  std::shared_ptr<exporting::DataFilter> filter_;
  QListWidget* lstVariables_ = nullptr;
  QRadioButton* obEqual_ = nullptr;
  QRadioButton* obNotEqual_ = nullptr;
  QRadioButton* obRules_ = nullptr;
  QLineEdit* tbEqualValue_ = nullptr;
  QLineEdit* tbNotEqualValue_ = nullptr;
  QCheckBox* cbGreater_ = nullptr;
  QComboBox* cbGreaterOperator_ = nullptr;
  QLineEdit* tbGreaterValue_ = nullptr;
  QCheckBox* cbLess_ = nullptr;
  QComboBox* cbLessOperator_ = nullptr;
  QLineEdit* tbLessValue_ = nullptr;
  QPushButton* btnSave_ = nullptr;
  QPushButton* btnDiscard_ = nullptr;
};

}  // namespace korvane::editor
