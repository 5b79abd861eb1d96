// GraphScreen.h: frmGraphNew, where a researcher looks at a run.
//
// Pick one of the model's experiment databases, an instance type and some
// subjects; the screen plots, per trial (or block of trials) and averaged
// over those subjects, the share of each decision, the mean utility of the
// executed instances, the mean utility judged for each alternative and the
// mean activation of the retrieved ones, and saves the picture as PNG, SVG
// or PDF.
#pragma once

#include <memory>

#include "editor/RunSummary.h"
#include "editor/Screen.h"

class QComboBox;
class QLabel;
class QListWidget;
class QPushButton;
class QSpinBox;

namespace korvane::editor {

// The widget the plot is painted on.
class RunPlotView : public QWidget {
  Q_OBJECT
 public:
  explicit RunPlotView(QWidget* parent = nullptr);
  void SetSummary(RunSummary summary, QString title);
  const RunSummary& Summary() const { return summary_; }
  const QString& Title() const { return title_; }
  QSize sizeHint() const override { return {720, 540}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  RunSummary summary_;
  QString title_;
};

class frmGraphNew : public Screen {
  Q_OBJECT

 public:
  explicit frmGraphNew(ScreenHost& host);
  ~frmGraphNew() override;

  // Writes the current plot to path; false (after a message) on failure.
  bool SavePicture(const QString& path);
  const RunSummary& Summary() const;

 protected:
  void Load() override;
  void Unload() override;
  bool HasNext() const override { return false; }

 private:
  void ChooseDatabase(int index);
  void ChooseInstanceType(int index);
  void Redraw();
  void SaveWithDialog();

  std::unique_ptr<store::Database> experiment_;
  QString modelPath_;
  QComboBox* cbDatabase_ = nullptr;
  QComboBox* cbInstanceType_ = nullptr;
  QListWidget* lstSubjects_ = nullptr;
  QPushButton* btnSelectAll_ = nullptr;
  QPushButton* btnSelectNone_ = nullptr;
  QPushButton* btnSavePicture_ = nullptr;
  QSpinBox* sbBlock_ = nullptr;
  QLabel* lblStatus_ = nullptr;
  RunPlotView* plot_ = nullptr;
};

}  // namespace korvane::editor
