// Screen.cpp: the frame every wizard screen shares.
#include "editor/Screen.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QSplitter>
#include <QTextBrowser>
#include <QVBoxLayout>
#include <algorithm>

#include "editor/HelpText.h"
#include "store/Database.h"
#include "store/DatabaseManager.h"

namespace korvane::editor {

namespace {

constexpr const char* kHelpWidthKey = "Screens/HelpWidth";

}  // namespace

int ScreenIndexOf(const QString& formName) {
  for (const ScreenEntry& entry : ScreenTable()) {
    if (formName.compare(QLatin1String(entry.formName), Qt::CaseInsensitive) == 0) return entry.index;
  }
  return -1;
}

QString ScreenFormName(int index) {
  for (const ScreenEntry& entry : ScreenTable()) {
    if (entry.index == index) return QLatin1String(entry.formName);
  }
  return {};
}

Screen::Screen(ScreenHost& host, int index, const QString& formName, const QString& helpResource,
               const QString& heading)
    : host_(host), index_(index), helpResource_(helpResource) {
  setObjectName(formName);
  setAttribute(Qt::WA_DeleteOnClose, false);

  auto* outer = new QHBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  auto* splitter = new QSplitter(Qt::Horizontal, this);
  splitter->setObjectName("splitter");
  splitter->setChildrenCollapsible(false);
  outer->addWidget(splitter);

  help_ = new QTextBrowser(splitter);
  help_->setObjectName("rtfHelp");
  help_->setOpenExternalLinks(true);
  help_->setMinimumWidth(180);
  splitter->addWidget(help_);

  auto* right = new QWidget(splitter);
  right->setObjectName("body");
  auto* rightLayout = new QVBoxLayout(right);
  rightLayout->setContentsMargins(6, 0, 0, 0);
  if (!heading.isEmpty()) {
    auto* title = new QLabel(heading, right);
    title->setObjectName("lblHeading");
    QFont font = title->font();
    font.setPointSizeF(font.pointSizeF() * 1.4);
    font.setBold(true);
    title->setFont(font);
    rightLayout->addWidget(title);
  }
  body_ = new QVBoxLayout;
  rightLayout->addLayout(body_, 1);
  buttonRow_ = new QHBoxLayout;
  rightLayout->addLayout(buttonRow_);
  splitter->addWidget(right);
  splitter->setStretchFactor(0, 1);
  splitter->setStretchFactor(1, 3);
  // The help pane is widened by dragging the handle beside it; every screen
  // then shows its help at that width, in this session and the next.
  splitter->setHandleWidth(7);
  const int helpWidth = QSettings().value(kHelpWidthKey, 240).toInt();
  splitter->setSizes({std::max(helpWidth, 180), 720});
  connect(splitter, &QSplitter::splitterMoved, this, [splitter] {
    QSettings().setValue(kHelpWidthKey, splitter->sizes().value(0));
  });

  buttonRow_->addStretch(1);
  btnBack_ = new QPushButton(tr("< &Back"), this);
  btnBack_->setObjectName("btnBack");
  btnNext_ = new QPushButton(tr("&Next >"), this);
  btnNext_->setObjectName("btnNext");
  buttonRow_->addWidget(btnBack_);
  buttonRow_->addWidget(btnNext_);
  connect(btnBack_, &QPushButton::clicked, this, &Screen::GoBack);
  connect(btnNext_, &QPushButton::clicked, this, &Screen::GoNext);
}

Screen::~Screen() { CloseScreen(); }

bool Screen::OpenScreen() {
  btnBack_->setVisible(HasBack());
  btnNext_->setVisible(HasNext());
  help_->setHtml(LoadHelpText(helpResource_));
  db_ = store::DatabaseManager::Instance().GetModelDatabase();
  if (!db_) return false;
  Load();
  return true;
}

void Screen::CloseScreen() {
  if (!db_) return;
  CommitPendingInput();
  Unload();
  try {
    db_->Close();
  } catch (const Error&) {
    // The file is gone or broken; the connection is released either way.
  }
  db_.reset();
}

void Screen::GoBack() {
  if (!HasBack() || !ConfirmLeaving()) return;
  CommitPendingInput();
  host_.ShowScreen(index_ - 1);
}

void Screen::GoNext() {
  if (!HasNext() || !ConfirmLeaving()) return;
  CommitPendingInput();
  if (!CheckBeforeNext()) return;
  host_.ShowScreen(index_ + 1);
}

}  // namespace korvane::editor
