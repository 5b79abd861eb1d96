// ExportScreen.h: frmExport, which turns the trace of a run into a CSV file.
//
// The researcher picks one of the model's experiment databases, an instance
// type, subjects, the optional columns and filters; the preview shows the
// rows (paged, so a million rows stay quick) and Export writes them to a new
// file in the data folder. Every choice is remembered in the model
// (Export_... settings) so the screen comes back as it was left. The file is
// written on a worker thread with its own connection, so the screen stays
// responsive and Cancel works; leaving the screen cancels a running export.
#pragma once

#include <QPointer>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "editor/Screen.h"
#include "export/DataFilter.h"
#include "export/ExportRequest.h"
#include "export/ExportSettings.h"

class QCheckBox;
class QLabel;
class QListWidget;
class QListWidgetItem;
class QProgressBar;
class QPushButton;
class QTableView;
class QTimer;

namespace korvane::editor {

class ExportPreviewModel;

class frmExport : public Screen {
  Q_OBJECT

 public:
  explicit frmExport(ScreenHost& host);
  ~frmExport() override;

  // The Refresh Preview button: true when the preview holds rows.
  bool RefreshPreview();
  // The Export button: starts writing (loading the preview first when
  // needed); false when nothing was started.
  bool StartExport();
  // The "One row per cue" button: writes the trial table of the chosen
  // instance type (exporting/TrialTable.h) to a new trials-yyyyMMdd-n.csv
  // in the data folder; false when nothing was started.
  bool StartTrialExport();
  bool Exporting() const { return worker_.joinable(); }
  // The last export's outcome (valid once Exporting() is false again).
  const exporting::ExportOutcome& LastExport() const { return lastExport_; }
  // The choices as an export request.
  exporting::ExportRequest CurrentRequest() const;
  // The experiment database in use ("" when none).
  QString ExperimentPath() const;
  ExportPreviewModel* PreviewModel() const { return model_; }
  const exporting::DataFilterCollection& Filters() const { return filters_; }
  // Where exports are written (the per-user data folder).
  static std::string ExportFolder();

 protected:
  void Load() override;
  void Unload() override;
  bool HasNext() const override { return false; }

 private:
  struct Include {
    QCheckBox* box;
    std::string key;
    std::string slotKind;  // "situation", "decision", "utility"; empty for trace columns
    bool exporting::IncludeOptions::*option;  // the request's switch this box sets
  };

  void ChooseFile(int row);
  void ChooseInstanceType(int row);
  void OnSubjectsChanged();
  void OnIncludeClicked(const Include& include, bool checked);
  void AddFilter();
  void RemoveFilter();
  void EditFilter();
  void OnFilterItemChanged(QListWidgetItem* item);
  void StoreFilters();
  void ShowFilters();
  void InvalidatePreview();
  void SetBusy(bool busy);
  void SetStatus(const QString& text);
  using ExportJob = std::function<exporting::ExportOutcome(store::Database& db, const exporting::ExportCallbacks&)>;
  // Runs job on the worker thread with a connection of its own.
  void RunOnWorker(ExportJob job);
  void PollExport();
  void FinishExport();
  void CloseExperiment();
  void Refuse(const std::string& message);
  // Stores a choice in the model (not while the screen is being loaded).
  template <class Store>
  void Remember(const char* what, Store store);

  std::unique_ptr<store::Database> experiment_;
  std::string experimentPath_;
  exporting::DataFilterCollection filters_;
  std::vector<Include> includes_;
  bool loading_ = false;
  exporting::ExportSettings remembered_;  // as read when the screen was opened

  QLabel* lblFolder_ = nullptr;
  QListWidget* lstFiles_ = nullptr;
  QListWidget* lstInstanceTypes_ = nullptr;
  QListWidget* lstSubjects_ = nullptr;
  QPushButton* btnSelectAll_ = nullptr;
  QPushButton* btnDeselectAll_ = nullptr;
  QListWidget* lvFilters_ = nullptr;
  QLabel* lblFilterCount_ = nullptr;
  QPushButton* btnAddFilter_ = nullptr;
  QPushButton* btnRemoveFilter_ = nullptr;
  QPushButton* btnEditFilter_ = nullptr;
  QPushButton* btnRefreshPreview_ = nullptr;
  QPushButton* btnExport_ = nullptr;
  QPushButton* btnExportTrials_ = nullptr;
  QPushButton* btnCancel_ = nullptr;
  QProgressBar* pbProgress_ = nullptr;
  QLabel* lblStatus_ = nullptr;
  QTableView* grdPreview_ = nullptr;
  ExportPreviewModel* model_ = nullptr;

  // The running export.
  std::thread worker_;
  std::atomic<bool> cancel_{false};
  std::atomic<bool> finished_{false};
  std::atomic<std::int64_t> done_{0};
  std::atomic<std::int64_t> total_{0};
  std::mutex statusMutex_;
  std::string workerStatus_;
  exporting::ExportOutcome lastExport_;
  QTimer* poll_ = nullptr;
};

}  // namespace korvane::editor
