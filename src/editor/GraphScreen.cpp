// GraphScreen.cpp: frmGraphNew.
#include "editor/GraphScreen.h"

#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QSpinBox>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "editor/ExperimentFiles.h"
#include "editor/RunPlot.h"
#include "export/TraceQuery.h"
#include "store/Database.h"
#include "util/Dialogs.h"

namespace korvane::editor {

RunPlotView::RunPlotView(QWidget* parent) : QWidget(parent) {
  setObjectName("plotRun");
  setMinimumSize(360, 300);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

void RunPlotView::SetSummary(RunSummary summary, QString title) {
  summary_ = std::move(summary);
  title_ = std::move(title);
  update();
}

void RunPlotView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  PaintRunSummary(painter, QRectF(rect()), summary_, title_);
}

frmGraphNew::frmGraphNew(ScreenHost& host)
    : Screen(host, 12, "frmGraphNew", "RTF_GRAPH", tr("Looking at a Run")) {
  setWindowTitle(tr("Graph"));
  auto* row = new QHBoxLayout;
  auto* choices = new QGridLayout;
  choices->addWidget(new QLabel(tr("Experiment database:"), this), 0, 0, 1, 2);
  cbDatabase_ = new QComboBox(this);
  cbDatabase_->setObjectName("cbDatabase");
  cbDatabase_->setMinimumContentsLength(18);
  choices->addWidget(cbDatabase_, 1, 0, 1, 2);
  choices->addWidget(new QLabel(tr("Instance type:"), this), 2, 0, 1, 2);
  cbInstanceType_ = new QComboBox(this);
  cbInstanceType_->setObjectName("cbInstanceType");
  choices->addWidget(cbInstanceType_, 3, 0, 1, 2);
  choices->addWidget(new QLabel(tr("Subjects (averaged):"), this), 4, 0, 1, 2);
  lstSubjects_ = new QListWidget(this);
  lstSubjects_->setObjectName("lstSubjects");
  lstSubjects_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  choices->addWidget(lstSubjects_, 5, 0, 1, 2);
  btnSelectAll_ = new QPushButton(tr("Select &All"), this);
  btnSelectAll_->setObjectName("btnSelectAll");
  btnSelectNone_ = new QPushButton(tr("Select N&one"), this);
  btnSelectNone_->setObjectName("btnSelectNone");
  choices->addWidget(btnSelectAll_, 6, 0);
  choices->addWidget(btnSelectNone_, 6, 1);
  auto* blockLabel = new QLabel(tr("Trials per &point:"), this);
  choices->addWidget(blockLabel, 7, 0);
  sbBlock_ = new QSpinBox(this);
  blockLabel->setBuddy(sbBlock_);
  sbBlock_->setObjectName("sbBlock");
  sbBlock_->setRange(1, 10000);
  sbBlock_->setToolTip(tr("Average over blocks of this many trials (1: every trial)"));
  choices->addWidget(sbBlock_, 7, 1);
  btnSavePicture_ = new QPushButton(tr("&Save Picture..."), this);
  btnSavePicture_->setObjectName("btnSavePicture");
  choices->addWidget(btnSavePicture_, 8, 0, 1, 2);
  choices->setRowStretch(5, 1);
  row->addLayout(choices);
  plot_ = new RunPlotView(this);
  row->addWidget(plot_, 1);
  Body()->addLayout(row, 1);
  lblStatus_ = new QLabel(this);
  lblStatus_->setObjectName("lblStatus");
  lblStatus_->setWordWrap(true);
  Body()->addWidget(lblStatus_);

  connect(cbDatabase_, &QComboBox::currentIndexChanged, this, &frmGraphNew::ChooseDatabase);
  connect(cbInstanceType_, &QComboBox::currentIndexChanged, this, &frmGraphNew::ChooseInstanceType);
  connect(lstSubjects_, &QListWidget::itemSelectionChanged, this, &frmGraphNew::Redraw);
  connect(btnSelectAll_, &QPushButton::clicked, lstSubjects_, &QListWidget::selectAll);
  connect(btnSelectNone_, &QPushButton::clicked, lstSubjects_, &QListWidget::clearSelection);
  connect(btnSavePicture_, &QPushButton::clicked, this, &frmGraphNew::SaveWithDialog);
  connect(sbBlock_, &QSpinBox::valueChanged, this, &frmGraphNew::Redraw);
}

frmGraphNew::~frmGraphNew() { CloseScreen(); }

const RunSummary& frmGraphNew::Summary() const { return plot_->Summary(); }

void frmGraphNew::Load() {
  modelPath_ = QString::fromStdString(Db()->Path());
  const QStringList files = ExperimentDatabases(modelPath_);
  {
    const QSignalBlocker block(cbDatabase_);
    cbDatabase_->clear();
    cbDatabase_->addItems(files);
    cbDatabase_->setCurrentIndex(-1);
  }
  if (files.isEmpty()) {
    ChooseDatabase(-1);
    lblStatus_->setText(tr("This model has no experiment databases yet: run it against a task on the "
                           "Execute screen first."));
    return;
  }
  // The newest run.
  cbDatabase_->setCurrentIndex(static_cast<int>(files.size()) - 1);
}

void frmGraphNew::Unload() {
  if (experiment_) {
    try {
      experiment_->Close();
    } catch (const Error&) {
    }
    experiment_.reset();
  }
}

void frmGraphNew::ChooseDatabase(int index) {
  Unload();
  {
    const QSignalBlocker block(cbInstanceType_);
    cbInstanceType_->clear();
  }
  lstSubjects_->clear();
  if (index < 0) {
    Redraw();
    return;
  }
  const QString path = FolderOf(modelPath_) + "/" + cbDatabase_->itemText(index);
  QStringList types;
  try {
    experiment_ = store::Database::Open(path.toStdString());
    for (const std::string& type : exporting::InstanceTypes(*experiment_)) types << QString::fromStdString(type);
  } catch (const Error& error) {
    experiment_.reset();
    lblStatus_->setText(tr("Cannot read %1: %2").arg(cbDatabase_->itemText(index), QString::fromStdString(error.Description())));
    plot_->SetSummary({}, cbDatabase_->itemText(index));
    return;
  }
  {
    const QSignalBlocker block(cbInstanceType_);
    cbInstanceType_->addItems(types);
    cbInstanceType_->setCurrentIndex(types.isEmpty() ? -1 : 0);
  }
  ChooseInstanceType(cbInstanceType_->currentIndex());
}

void frmGraphNew::ChooseInstanceType(int index) {
  const QSignalBlocker block(lstSubjects_);
  lstSubjects_->clear();
  if (experiment_ && index >= 0) {
    try {
      for (std::int32_t subject : exporting::Subjects(*experiment_, cbInstanceType_->itemText(index).toStdString()))
        lstSubjects_->addItem(QString::number(subject));
    } catch (const Error& error) {
      lblStatus_->setText(QString::fromStdString(error.Description()));
    }
    lstSubjects_->selectAll();
  }
  Redraw();
}

void frmGraphNew::Redraw() {
  const QString file = cbDatabase_->currentText();
  const QString type = cbInstanceType_->currentText();
  if (!experiment_ || type.isEmpty()) {
    plot_->SetSummary({}, file);
    if (experiment_) lblStatus_->setText(tr("%1 has no instance types.").arg(file));
    return;
  }
  std::vector<std::int32_t> subjects;
  for (QListWidgetItem* item : lstSubjects_->selectedItems()) subjects.push_back(item->text().toInt());
  std::sort(subjects.begin(), subjects.end());
  const QString title = tr("%1, instance type %2, %n subject(s)", "", static_cast<int>(subjects.size()))
                            .arg(QFileInfo(file).completeBaseName(), type);
  if (subjects.empty()) {
    plot_->SetSummary({}, title);
    lblStatus_->setText(tr("Select at least one subject."));
    return;
  }
  try {
    RunSummary summary = SummarizeRun(*experiment_, type.toStdString(), subjects, sbBlock_->value());
    QString status = (summary.blockSize > 1 ? tr("%1 blocks, %2 executions, %3 retrievals.")
                                            : tr("%1 trials, %2 executions, %3 retrievals."))
                         .arg(summary.trials.size())
                         .arg(summary.executions)
                         .arg(summary.retrievals);
    if (summary.executionsWithoutRow > 0)
      status += " " + tr("%1 executed instances are no longer in the instance table and are left out of the "
                         "decisions and utilities.")
                          .arg(summary.executionsWithoutRow);
    lblStatus_->setText(status);
    plot_->SetSummary(std::move(summary), title);
  } catch (const Error& error) {
    lblStatus_->setText(tr("Cannot read the trace: %1").arg(QString::fromStdString(error.Description())));
    plot_->SetSummary({}, title);
  }
}

bool frmGraphNew::SavePicture(const QString& path) {
  QString error;
  if (SaveRunSummary(plot_->Summary(), plot_->Title(), path, &error)) {
    lblStatus_->setText(tr("Picture saved as %1").arg(path));
    return true;
  }
  CurrentDialogs().Message(error.toStdString(), DialogIcon::Critical);
  return false;
}

void frmGraphNew::SaveWithDialog() {
  QString suggested = QFileInfo(cbDatabase_->currentText()).completeBaseName();
  if (suggested.isEmpty()) suggested = "run";
  suggested = FolderOf(modelPath_) + "/" + suggested + "-" + cbInstanceType_->currentText() + ".png";
  QString filter;
  const QString path = QFileDialog::getSaveFileName(
      this, tr("Save Graph"), suggested, tr("PNG pictures (*.png);;SVG drawings (*.svg);;PDF documents (*.pdf)"),
      &filter);
  if (path.isEmpty()) return;
  const QString suffix = QFileInfo(path).suffix().toLower();
  if (suffix == "png" || suffix == "svg" || suffix == "pdf") SavePicture(path);
  else SavePicture(path + (filter.contains("*.svg") ? ".svg" : filter.contains("*.pdf") ? ".pdf" : ".png"));
}

}  // namespace korvane::editor
