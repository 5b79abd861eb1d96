// FormulaScreen.cpp: tabs, options and panels of the formula screens.
#include "editor/FormulaScreen.h"

#include <QButtonGroup>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QRadioButton>
#include <QTabBar>
#include <QVBoxLayout>

#include "editor/FormulaPanel.h"

namespace korvane::editor {

FormulaScreen::FormulaScreen(ScreenHost& host, int index, const QString& formName, const QString& helpResource,
                             const QString& heading)
    : Screen(host, index, formName, helpResource, heading) {
  tabs_ = new QTabBar(this);
  tabs_->setObjectName("tsInstanceTypes");
  tabs_->setExpanding(false);
  Body()->addWidget(tabs_);
  connect(tabs_, &QTabBar::currentChanged, this, [this](int index) {
    if (!loadingTabs_) SelectTab(index);
  });
}

// A check still waiting must run while the screen's connection is open.
FormulaScreen::~FormulaScreen() { CloseScreen(); }

void FormulaScreen::Load() {
  loadingTabs_ = true;
  while (tabs_->count() > 0) tabs_->removeTab(0);
  types_ = ListInstanceTypes(Db());
  for (const InstanceTypeTab& type : types_) {
    int tab = tabs_->addTab(QString::fromStdString(type.name));
    tabs_->setTabData(tab, QString("Table%1").arg(type.position));
  }
  loadingTabs_ = false;
  tabs_->setCurrentIndex(types_.empty() ? -1 : 0);
  SelectTab(types_.empty() ? -1 : 0);
}

void FormulaScreen::Unload() { FlushPanels(); }

void FormulaScreen::SelectTab(int index) {
  FlushPanels();
  instanceType_ = index >= 0 && index < static_cast<int>(types_.size()) ? types_[index].name : std::string();
  setEnabled(true);
  for (FormulaPanel* panel : panels_) panel->setEnabled(!instanceType_.empty());
  LoadInstanceType();
}

void FormulaScreen::FlushPanels() {
  for (FormulaPanel* panel : panels_) panel->Flush();
}

QButtonGroup* FormulaScreen::AddOptions(const QString& title, const QString& name, const QStringList& captions,
                                        std::function<void(int)> onClick, QGroupBox** box) {
  auto* group = new QGroupBox(title, this);
  group->setObjectName("fra" + name);
  auto* layout = new QVBoxLayout(group);
  auto* buttons = new QButtonGroup(this);
  for (int i = 0; i < captions.size(); ++i) {
    auto* option = new QRadioButton(captions[i], group);
    option->setObjectName(name.startsWith("ob") ? name + QString::number(i) : "ob" + name + QString::number(i));
    buttons->addButton(option, i);
    layout->addWidget(option);
  }
  connect(buttons, &QButtonGroup::idClicked, this, [this, onClick](int id) {
    if (!instanceType_.empty()) onClick(id);
  });
  Body()->addWidget(group);
  if (box) *box = group;
  return buttons;
}

void FormulaScreen::SelectOption(QButtonGroup* group, int index) {
  if (QAbstractButton* button = group->button(index)) {
    button->setChecked(true);
  } else {
    // No valid stored option: show none chosen.
    group->setExclusive(false);
    for (QAbstractButton* b : group->buttons()) b->setChecked(false);
    group->setExclusive(true);
  }
}

FormulaPanel* FormulaScreen::AddPanel(const QString& name, int delayMs) {
  auto* panel = new FormulaPanel(name, delayMs, this);
  panels_.push_back(panel);
  return panel;
}

Variant FormulaScreen::ReadTypeSetting(const std::string& suffix) const {
  if (instanceType_.empty()) return {};
  return ReadSetting(Db(), instanceType_ + suffix);
}

std::string FormulaScreen::ReadTypeText(const std::string& suffix) const {
  if (instanceType_.empty()) return {};
  return ReadSettingText(Db(), instanceType_ + suffix);
}

bool FormulaScreen::WriteTypeSetting(const std::string& suffix, const Variant& value) {
  if (instanceType_.empty()) return false;
  return WriteSetting(Db(), instanceType_ + suffix, value);
}

int FormulaScreen::ReadTypeOption(const std::string& suffix, int optionCount) const {
  return SettingIndex(ReadTypeSetting(suffix), optionCount);
}

std::vector<SlotColumn> FormulaScreen::Slots() const {
  if (instanceType_.empty()) return {};
  return ListSlots(Db(), instanceType_);
}

QStringList FormulaScreen::SlotNames(char aspect) const {
  QStringList names;
  for (const SlotColumn& slot : Slots()) {
    if (slot.aspect == aspect) names << QString::fromStdString(slot.displayName);
  }
  return names;
}

QStringList FormulaScreen::SlotColumns(char aspect) const {
  QStringList names;
  for (const SlotColumn& slot : Slots()) {
    if (slot.aspect == aspect) names << QString::fromStdString(slot.column);
  }
  return names;
}

FormulaPanel* FormulaScreen::AddSlotFormulaPanel(const QString& caption,
                                                 std::function<std::string()> formulaSlot,
                                                 QListWidget** slotList) {
  auto* row = new QHBoxLayout;
  auto* slotColumn = new QVBoxLayout;
  slotColumn->addWidget(new QLabel(caption, this));
  auto* list = new QListWidget(this);
  list->setObjectName("lstSlots");
  // Narrower than the formula: a long slot name loses its middle.
  list->setMaximumWidth(180);
  list->setTextElideMode(Qt::ElideMiddle);
  slotColumn->addWidget(list, 1);
  row->addLayout(slotColumn);
  FormulaPanel* panel = AddPanel("");
  row->addWidget(panel, 1);
  Body()->addLayout(row, 1);
  panel->SetStoreFunction([this, formulaSlot = std::move(formulaSlot)](const std::string& text) {
    return WriteFormulaRow(Db(), InstanceType(), formulaSlot(), text);
  });
  *slotList = list;
  return panel;
}

}  // namespace korvane::editor
