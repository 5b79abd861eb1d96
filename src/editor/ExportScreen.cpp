// ExportScreen.cpp: frmExport.
#include "editor/ExportScreen.h"

#include <QCheckBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <set>
#include <sstream>

#include "editor/ExperimentFiles.h"
#include "editor/ExportFilterDialog.h"
#include "editor/ExportPreviewModel.h"
#include "editor/ScreenSettings.h"
#include "export/ExportMessages.h"
#include "export/ExportPreview.h"
#include "export/ExportSettings.h"
#include "export/TraceExport.h"
#include "export/TrialTable.h"
#include "export/TraceQuery.h"
#include "store/Database.h"
#include "util/Dialogs.h"
#include "util/Files.h"
#include "util/Log.h"

namespace korvane::editor {

namespace msg = exporting::messages;

namespace {

constexpr int kHashRole = Qt::UserRole;

QListWidget* NewList(const QString& name, QWidget* parent) {
  auto* list = new QListWidget(parent);
  list->setObjectName(name);
  // Long file names and filters lose their middle, not their end; the whole
  // text is in each item's tooltip.
  list->setTextElideMode(Qt::ElideMiddle);
  list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  list->setMinimumHeight(list->fontMetrics().height() * 3);
  return list;
}

void AddToolTips(QListWidget* list) {
  for (int i = 0; i < list->count(); ++i) list->item(i)->setToolTip(list->item(i)->text());
}

// The preview shows at least this many rows at any window size.
constexpr int kPreviewRows = 10;

}  // namespace

frmExport::frmExport(ScreenHost& host) : Screen(host, 11, "frmExport", "RTF_EXPORT", tr("Exporting Data")) {
  setWindowTitle(tr("Export"));
  auto* top = new QHBoxLayout;

  auto* source = new QGroupBox(tr("Experiment database"), this);
  auto* sourceLayout = new QVBoxLayout(source);
  lblFolder_ = new QLabel(source);
  lblFolder_->setObjectName("lblFolder");
  lblFolder_->setWordWrap(true);
  sourceLayout->addWidget(lblFolder_);
  lstFiles_ = NewList("lstFiles", source);
  sourceLayout->addWidget(lstFiles_, 2);
  sourceLayout->addWidget(new QLabel(tr("Instance type:"), source));
  lstInstanceTypes_ = NewList("lstInstanceTypes", source);
  sourceLayout->addWidget(lstInstanceTypes_, 1);
  top->addWidget(source, 2);

  auto* subjects = new QGroupBox(tr("Subjects"), this);
  auto* subjectsLayout = new QVBoxLayout(subjects);
  lstSubjects_ = NewList("lstSubjects", subjects);
  lstSubjects_->setSelectionMode(QAbstractItemView::MultiSelection);
  subjectsLayout->addWidget(lstSubjects_, 1);
  btnSelectAll_ = new QPushButton(tr("Select &All"), subjects);
  btnSelectAll_->setObjectName("btnSelectAll");
  btnDeselectAll_ = new QPushButton(tr("Deselect A&ll"), subjects);
  btnDeselectAll_->setObjectName("btnDeselectAll");
  subjectsLayout->addWidget(btnSelectAll_);
  subjectsLayout->addWidget(btnDeselectAll_);
  top->addWidget(subjects, 1);

  auto* columns = new QGroupBox(tr("Include"), this);
  // Two rows of four under the lists, so that the lists keep their width
  // and the preview its height.
  auto* columnsLayout = new QGridLayout(columns);
  using Options = exporting::IncludeOptions;
  auto addInclude = [&](const QString& name, const QString& caption, const std::string& key,
                        const std::string& slotKind, bool Options::*option) {
    auto* box = new QCheckBox(caption, columns);
    box->setObjectName(name);
    const int at = static_cast<int>(includes_.size());
    columnsLayout->addWidget(box, at / 4, at % 4);
    includes_.push_back({box, key, slotKind, option});
  };
  addInclude("cbIncludeFull", tr("Activation"), "Export_Include_Full", "", &Options::activation);
  addInclude("cbIncludeBLL", tr("BLL"), "Export_Include_BLL", "", &Options::bll);
  addInclude("cbIncludePM", tr("Partial Match"), "Export_Include_PM", "", &Options::partialMatch);
  addInclude("cbIncludeNoise", tr("Noise"), "Export_Include_Noise", "", &Options::noise);
  addInclude("cbIncludeTime", tr("Time"), "Export_Include_Time", "", &Options::time);
  addInclude("cbIncludeS", tr("Situation slots"), "Export_Include_S", "situation", &Options::situation);
  addInclude("cbIncludeD", tr("Decision slots"), "Export_Include_D", "decision", &Options::decision);
  addInclude("cbIncludeU", tr("Utility slots"), "Export_Include_U", "utility", &Options::utility);
  columnsLayout->setColumnStretch(4, 1);
  for (std::size_t i = 0; i < includes_.size(); ++i) {
    connect(includes_[i].box, &QCheckBox::clicked, this,
            [this, i](bool checked) { OnIncludeClicked(includes_[i], checked); });
  }

  auto* filters = new QGroupBox(tr("Filters"), this);
  auto* filtersLayout = new QVBoxLayout(filters);
  lblFilterCount_ = new QLabel(filters);
  lblFilterCount_->setObjectName("lblFilterCount");
  filtersLayout->addWidget(lblFilterCount_);
  lvFilters_ = NewList("lvFilters", filters);
  // The buttons stand beside the list: three in a row would not fit the
  // width the group gets at the default window size.
  auto* filterRow = new QHBoxLayout;
  auto* filterButtons = new QVBoxLayout;
  btnAddFilter_ = new QPushButton(tr("A&dd..."), filters);
  btnAddFilter_->setObjectName("btnAddFilter");
  btnEditFilter_ = new QPushButton(tr("&Edit..."), filters);
  btnEditFilter_->setObjectName("btnEditFilter");
  btnRemoveFilter_ = new QPushButton(tr("&Remove"), filters);
  btnRemoveFilter_->setObjectName("btnRemoveFilter");
  filterButtons->addWidget(btnAddFilter_);
  filterButtons->addWidget(btnEditFilter_);
  filterButtons->addWidget(btnRemoveFilter_);
  filterButtons->addStretch(1);
  filterRow->addWidget(lvFilters_, 1);
  filterRow->addLayout(filterButtons);
  filtersLayout->addLayout(filterRow, 1);
  top->addWidget(filters, 2);
  Body()->addLayout(top, 1);
  Body()->addWidget(columns);

  auto* actions = new QHBoxLayout;
  btnRefreshPreview_ = new QPushButton(tr("Refresh &Preview"), this);
  btnRefreshPreview_->setObjectName("btnRefreshPreview");
  btnExport_ = new QPushButton(tr("E&xport to CSV"), this);
  btnExport_->setObjectName("btnExport");
  // The trial table beside the trace export: one row per cue judged, with
  // the chosen decision, its outcome and the blended values.
  btnExportTrials_ = new QPushButton(tr("One row per &cue"), this);
  btnExportTrials_->setObjectName("btnExportTrials");
  btnExportTrials_->setToolTip(
      tr("Export the trial table of the instance type: per subject, trial and cue its situation, path, utility, "
         "activation, retrieval time, whether it was executed, its decision, the feedback and the utility after"));
  btnCancel_ = new QPushButton(tr("&Cancel"), this);
  btnCancel_->setObjectName("btnCancel");
  btnCancel_->setEnabled(false);
  pbProgress_ = new QProgressBar(this);
  pbProgress_->setObjectName("pbProgress");
  pbProgress_->setRange(0, 1000);
  pbProgress_->setValue(0);
  pbProgress_->setTextVisible(false);
  actions->addWidget(btnRefreshPreview_);
  actions->addWidget(btnExport_);
  actions->addWidget(btnExportTrials_);
  actions->addWidget(btnCancel_);
  actions->addWidget(pbProgress_, 1);
  Body()->addLayout(actions);
  lblStatus_ = new QLabel(this);
  lblStatus_->setObjectName("lblStatus");
  lblStatus_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  Body()->addWidget(lblStatus_);

  model_ = new ExportPreviewModel(this);
  grdPreview_ = new QTableView(this);
  grdPreview_->setObjectName("grdPreview");
  grdPreview_->setModel(model_);
  grdPreview_->setWordWrap(false);
  grdPreview_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  const int rowHeight = grdPreview_->fontMetrics().height() + 6;
  grdPreview_->verticalHeader()->setDefaultSectionSize(rowHeight);
  grdPreview_->verticalHeader()->setMinimumSectionSize(rowHeight);
  grdPreview_->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  grdPreview_->setMinimumHeight(rowHeight * (kPreviewRows + 1) + 2 * grdPreview_->frameWidth() +
                                grdPreview_->horizontalScrollBar()->sizeHint().height() + 4);
  Body()->addWidget(grdPreview_, 3);

  poll_ = new QTimer(this);
  poll_->setInterval(50);
  connect(poll_, &QTimer::timeout, this, &frmExport::PollExport);

  connect(lstFiles_, &QListWidget::currentRowChanged, this, &frmExport::ChooseFile);
  connect(lstInstanceTypes_, &QListWidget::currentRowChanged, this, &frmExport::ChooseInstanceType);
  connect(lstSubjects_, &QListWidget::itemSelectionChanged, this, &frmExport::OnSubjectsChanged);
  connect(btnSelectAll_, &QPushButton::clicked, lstSubjects_, &QListWidget::selectAll);
  connect(btnDeselectAll_, &QPushButton::clicked, lstSubjects_, &QListWidget::clearSelection);
  connect(btnAddFilter_, &QPushButton::clicked, this, &frmExport::AddFilter);
  connect(btnRemoveFilter_, &QPushButton::clicked, this, &frmExport::RemoveFilter);
  connect(btnEditFilter_, &QPushButton::clicked, this, &frmExport::EditFilter);
  connect(lvFilters_, &QListWidget::itemChanged, this, &frmExport::OnFilterItemChanged);
  connect(btnRefreshPreview_, &QPushButton::clicked, this, &frmExport::RefreshPreview);
  connect(btnExport_, &QPushButton::clicked, this, &frmExport::StartExport);
  connect(btnExportTrials_, &QPushButton::clicked, this, &frmExport::StartTrialExport);
  connect(btnCancel_, &QPushButton::clicked, this, [this] { cancel_ = true; });
}

frmExport::~frmExport() { CloseScreen(); }

std::string frmExport::ExportFolder() { return DataFolder(); }

QString frmExport::ExperimentPath() const { return QString::fromStdString(experimentPath_); }

void frmExport::Load() {
  loading_ = true;
  store::Database* db = Db();
  const QString modelPath = QString::fromStdString(db->Path());
  lblFolder_->setText(FolderOf(modelPath));
  try {
    remembered_ = exporting::LoadExportSettings(db);
  } catch (const Error& error) {
    remembered_ = {};
    ReportStoreFailure("Could not read the export choices remembered in the model.", error.Description());
  }
  for (const Include& include : includes_) {
    const QSignalBlocker block(include.box);
    include.box->setChecked(remembered_.include.*include.option);
  }
  filters_ = remembered_.filters;
  ShowFilters();

  const QStringList files = ExperimentDatabases(modelPath);
  {
    const QSignalBlocker block(lstFiles_);
    lstFiles_->clear();
    lstFiles_->addItems(files);
    AddToolTips(lstFiles_);
  }
  // The run just made comes first, then the file chosen last time, then the
  // newest run.
  const QString fresh = TakeNewExperiment(modelPath);
  int row = fresh.isEmpty() ? -1 : static_cast<int>(files.indexOf(fresh));
  const QString last = QString::fromStdString(remembered_.lastMDB);
  if (row < 0 && !last.isEmpty()) row = static_cast<int>(files.indexOf(last));
  if (row < 0 && !last.isEmpty()) row = static_cast<int>(files.indexOf(QFileInfo(last).fileName()));
  const bool rememberChoice = row < 0 || (!fresh.isEmpty() && files.value(row) == fresh);
  if (row < 0) row = static_cast<int>(files.size()) - 1;
  if (row >= 0) {
    lstFiles_->setCurrentRow(row);  // opens it, then the type and subjects follow
  } else {
    ChooseFile(-1);
  }
  SetStatus(files.isEmpty() ? tr("This model has no experiment databases yet: run it against a task on the "
                                 "Execute screen first.")
                            : QString());
  loading_ = false;
  if (rememberChoice && !experimentPath_.empty()) {
    const std::string path = experimentPath_;
    Remember("experiment database", [&](store::Database* model) { exporting::StoreLastMDB(model, path); });
  }
}

template <class Store>
void frmExport::Remember(const char* what, Store store) {
  if (loading_ || !Db()) return;
  try {
    store(Db());
  } catch (const Error& error) {
    ReportStoreFailure(std::string("Could not remember the ") + what + " in the model.", error.Description());
  }
}

void frmExport::Unload() {
  if (worker_.joinable()) {
    cancel_ = true;
    worker_.join();
    poll_->stop();
  }
  CloseExperiment();
}

void frmExport::CloseExperiment() {
  model_->Clear();  // the preview reads through the experiment database
  if (experiment_) {
    try {
      experiment_->Close();
    } catch (const Error&) {
    }
    experiment_.reset();
  }
  experimentPath_.clear();
}

void frmExport::ChooseFile(int row) {
  CloseExperiment();
  {
    const QSignalBlocker typesBlock(lstInstanceTypes_);
    const QSignalBlocker subjectsBlock(lstSubjects_);
    lstInstanceTypes_->clear();
    lstSubjects_->clear();
  }
  if (row < 0 || row >= lstFiles_->count()) return;
  const QString name = lstFiles_->item(row)->text();
  const std::string path = (lblFolder_->text() + "/" + name).toStdString();
  experiment_ = OpenExperimentDatabase(path);
  if (!experiment_) {
    SetStatus(tr("Could not open %1.").arg(name));
    return;
  }
  experimentPath_ = path;
  Remember("experiment database", [&](store::Database* model) { exporting::StoreLastMDB(model, path); });
  std::vector<std::string> types;
  try {
    types = exporting::InstanceTypes(*experiment_);
  } catch (const Error& error) {
    Refuse(error.Description());
    return;
  }
  {
    const QSignalBlocker block(lstInstanceTypes_);
    for (const std::string& type : types) lstInstanceTypes_->addItem(QString::fromStdString(type));
  }
  if (loading_) {
    const QString last = QString::fromStdString(remembered_.lastInstanceType);
    const auto found = lstInstanceTypes_->findItems(last, Qt::MatchExactly);
    if (!last.isEmpty() && !found.isEmpty()) lstInstanceTypes_->setCurrentItem(found.front());
  }
}

void frmExport::ChooseInstanceType(int row) {
  InvalidatePreview();
  {
    const QSignalBlocker block(lstSubjects_);
    lstSubjects_->clear();
  }
  if (!experiment_ || row < 0 || row >= lstInstanceTypes_->count()) return;
  const std::string type = lstInstanceTypes_->item(row)->text().toStdString();
  std::vector<std::int32_t> subjects;
  try {
    subjects = exporting::Subjects(*experiment_, type);
  } catch (const Error& error) {
    Refuse(error.Description());
    return;
  }
  Remember("instance type", [&](store::Database* model) { exporting::StoreLastInstanceType(model, type); });
  const QSignalBlocker block(lstSubjects_);
  for (std::int32_t subject : subjects) lstSubjects_->addItem(QString::number(subject));
  if (loading_) {
    const std::set<std::int32_t> chosen(remembered_.lastSubjects.begin(), remembered_.lastSubjects.end());
    for (int i = 0; i < lstSubjects_->count(); ++i) {
      QListWidgetItem* item = lstSubjects_->item(i);
      item->setSelected(chosen.count(item->text().toInt()) > 0);
    }
  }
}

void frmExport::OnSubjectsChanged() {
  InvalidatePreview();
  const std::vector<std::int32_t> subjects = CurrentRequest().subjects;
  Remember("subjects", [&](store::Database* model) { exporting::StoreLastSubjects(model, subjects); });
}

void frmExport::OnIncludeClicked(const Include& include, bool checked) {
  if (checked && !include.slotKind.empty()) {
    const DialogAnswer answer = CurrentDialogs().Ask(msg::IncludeSlotsQuestion(include.slotKind),
                                                     DialogButtons::OKCancel, DialogAnswer::OK, DialogIcon::Question);
    if (answer != DialogAnswer::OK) {
      const QSignalBlocker block(include.box);
      include.box->setChecked(false);
      return;
    }
  }
  Remember("included columns",
           [&](store::Database* model) { exporting::StoreInclude(model, include.key.c_str(), checked); });
  InvalidatePreview();
}

exporting::ExportRequest frmExport::CurrentRequest() const {
  exporting::ExportRequest request;
  if (QListWidgetItem* type = lstInstanceTypes_->currentItem(); type && lstInstanceTypes_->currentRow() >= 0)
    request.instanceType = type->text().toStdString();
  for (int i = 0; i < lstSubjects_->count(); ++i) {
    if (lstSubjects_->item(i)->isSelected()) request.subjects.push_back(lstSubjects_->item(i)->text().toInt());
  }
  for (const Include& include : includes_) request.include.*include.option = include.box->isChecked();
  request.filters = filters_;
  return request;
}

// --- Filters --------------------------------------------------------------------

void frmExport::ShowFilters() {
  const QSignalBlocker block(lvFilters_);
  lvFilters_->clear();
  for (int i = 0; i < filters_.Count(); ++i) {
    const auto& filter = filters_.Item(i);
    auto* item = new QListWidgetItem(QString::fromStdString(filter->ToString()), lvFilters_);
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    item->setCheckState(filter->Active() ? Qt::Checked : Qt::Unchecked);
    item->setData(kHashRole, filter->Hashcode());
    item->setToolTip(item->text());
  }
  lblFilterCount_->setText(QString::fromStdString(msg::FilterCountLabel(filters_.Count())));
}

void frmExport::StoreFilters() {
  Remember("filters", [this](store::Database* model) { exporting::StoreFilters(model, filters_); });
}

void frmExport::AddFilter() {
  QListWidgetItem* type = lstInstanceTypes_->currentItem();
  if (!experiment_ || !type || lstInstanceTypes_->currentRow() < 0) {
    CurrentDialogs().Message(msg::kSelectInstanceTypeFirst, DialogIcon::Information);
    return;
  }
  std::optional<store::TableDef> table;
  try {
    table = experiment_->FindTableDef(type->text().toStdString());
  } catch (const Error& error) {
    Refuse(error.Description());
    return;
  }
  if (!table) {
    Refuse(msg::InstanceTypeMissing(type->text().toStdString()));
    return;
  }
  frmExportFilter dialog(exporting::FilterVariables(*table), Host().DialogParent());
  if (dialog.exec() != QDialog::Accepted || !dialog.Filter()) return;
  filters_.Append(dialog.Filter());
  ShowFilters();
  StoreFilters();
  InvalidatePreview();
}

void frmExport::RemoveFilter() {
  const int row = lvFilters_->currentRow();
  if (row < 0 || row >= filters_.Count()) return;
  const DialogAnswer answer = CurrentDialogs().Ask(msg::kRemoveFilterQuestion, DialogButtons::YesNo,
                                                   DialogAnswer::No, DialogIcon::Question, msg::kRemoveFilterTitle);
  if (answer != DialogAnswer::Yes) return;
  filters_.RemoveByIndex(row);
  ShowFilters();
  StoreFilters();
  InvalidatePreview();
}

void frmExport::EditFilter() { CurrentDialogs().Message(msg::kEditFilterUnderDevelopment, DialogIcon::Information); }

void frmExport::OnFilterItemChanged(QListWidgetItem* item) {
  const int row = lvFilters_->row(item);
  if (row < 0 || row >= filters_.Count()) return;
  const bool active = item->checkState() == Qt::Checked;
  if (filters_.Item(row)->Active() == active) return;
  filters_.Item(row)->SetActive(active);
  StoreFilters();
  InvalidatePreview();
}

// --- Preview and export ------------------------------------------------------------

void frmExport::InvalidatePreview() {
  if (model_->Preview().IsLoaded()) model_->Clear();
}

void frmExport::SetStatus(const QString& text) { lblStatus_->setText(text); }

void frmExport::Refuse(const std::string& message) {
  SetStatus(QString::fromStdString(message));
  CurrentDialogs().Message(message, DialogIcon::Information);
}

void frmExport::SetBusy(bool busy) {
  for (QWidget* widget : std::initializer_list<QWidget*>{lstFiles_, lstInstanceTypes_, lstSubjects_, btnSelectAll_,
                                                         btnDeselectAll_, lvFilters_, btnAddFilter_, btnEditFilter_,
                                                         btnRemoveFilter_, btnRefreshPreview_, btnExport_,
                                                         btnExportTrials_})
    widget->setEnabled(!busy);
  for (const Include& include : includes_) include.box->setEnabled(!busy);
  btnCancel_->setEnabled(busy);
}

bool frmExport::RefreshPreview() {
  if (Exporting()) return false;
  const exporting::ExportRequest request = CurrentRequest();
  model_->Clear();
  exporting::ExportCallbacks callbacks;
  callbacks.status = [this](const std::string& text) { SetStatus(QString::fromStdString(text)); };
  callbacks.progress = [this](std::int64_t done, std::int64_t total) {
    pbProgress_->setValue(total > 0 ? static_cast<int>(done * 1000 / total) : 0);
    return true;
  };
  exporting::ExportOutcome outcome;
  try {
    outcome = model_->Preview().Load(experiment_.get(), request, callbacks);
  } catch (const Error& error) {
    outcome.result = exporting::ExportResult::Failed;
    outcome.message = error.Description();
  }
  model_->Reload();
  pbProgress_->setValue(0);
  if (outcome.result == exporting::ExportResult::Cancelled) {
    SetStatus(msg::kLoadingCancelled);
    return false;
  }
  if (!outcome.Ok()) {
    Refuse(outcome.message);
    return false;
  }
  SetStatus(QString::fromStdString(msg::kDone) + " " +
            tr("%1 rows.").arg(QLocale().toString(static_cast<qlonglong>(model_->Preview().RowCount()))));
  grdPreview_->resizeColumnsToContents();
  return true;
}

bool frmExport::StartExport() {
  if (Exporting()) return false;
  if (!model_->Preview().IsLoaded() && !RefreshPreview()) {
    SetStatus(msg::kCannotExport);
    return false;
  }
  const exporting::ExportRequest request = CurrentRequest();
  const std::string folder = ExportFolder();
  total_ = model_->Preview().RowCount();
  RunOnWorker([request, folder](store::Database& db, const exporting::ExportCallbacks& callbacks) {
    exporting::ExportTarget target;
    target.folder = folder;
    return exporting::ExportTrace(&db, request, target, callbacks);
  });
  return true;
}

bool frmExport::StartTrialExport() {
  if (Exporting()) return false;
  const std::string type = CurrentRequest().instanceType;
  if (!experiment_) {
    Refuse(msg::kNoDatabase);
    return false;
  }
  if (type.empty()) {
    Refuse(msg::InstanceTypeMissing(type));
    return false;
  }
  const std::string folder = ExportFolder();
  total_ = 0;
  RunOnWorker([type, folder](store::Database& db, const exporting::ExportCallbacks& callbacks) {
    exporting::ExportTarget target;
    target.folder = folder;
    return exporting::ExportTrials(&db, type, target, callbacks);
  });
  return true;
}

void frmExport::RunOnWorker(ExportJob job) {
  const std::string path = experimentPath_;
  cancel_ = false;
  finished_ = false;
  done_ = 0;
  lastExport_ = {};
  SetBusy(true);
  SetStatus(msg::kExporting);
  worker_ = std::thread([this, job = std::move(job), path] {
    exporting::ExportOutcome outcome;
    try {
      // A connection of the worker's own: SQLite connections stay on one thread.
      auto db = store::Database::Open(path);
      exporting::ExportCallbacks callbacks;
      callbacks.cancel = &cancel_;
      callbacks.status = [this](const std::string& text) {
        std::lock_guard<std::mutex> lock(statusMutex_);
        workerStatus_ = text;
      };
      callbacks.progress = [this](std::int64_t done, std::int64_t total) {
        done_ = done;
        total_ = total;
        return !cancel_.load();
      };
      outcome = job(*db, callbacks);
      db->Close();
    } catch (const std::exception& error) {
      outcome.result = exporting::ExportResult::Failed;
      outcome.message = error.what();
    }
    lastExport_ = outcome;
    finished_ = true;
  });
  poll_->start();
}

void frmExport::PollExport() {
  const std::int64_t total = total_.load();
  pbProgress_->setValue(total > 0 ? static_cast<int>(done_.load() * 1000 / total) : 0);
  {
    std::lock_guard<std::mutex> lock(statusMutex_);
    if (!workerStatus_.empty()) SetStatus(QString::fromStdString(workerStatus_));
  }
  if (finished_) FinishExport();
}

void frmExport::FinishExport() {
  poll_->stop();
  if (worker_.joinable()) worker_.join();
  SetBusy(false);
  switch (lastExport_.result) {
    case exporting::ExportResult::Done:
      pbProgress_->setValue(1000);
      SetStatus(QString::fromStdString(msg::DataExportedInto(lastExport_.path)));
      break;
    case exporting::ExportResult::Cancelled:
      SetStatus(msg::kExportingCancelled);
      break;
    case exporting::ExportResult::Refused:
      SetStatus(msg::kCannotExport);
      CurrentDialogs().Message(lastExport_.message + "\n" + msg::kCannotExport, DialogIcon::Information);
      break;
    case exporting::ExportResult::Failed:
      SetStatus(QString::fromStdString(lastExport_.message));
      CurrentDialogs().Message(lastExport_.message, DialogIcon::Critical);
      break;
  }
  QTimer::singleShot(1000, this, [this] {
    if (!Exporting()) pbProgress_->setValue(0);
  });
}

}  // namespace korvane::editor
