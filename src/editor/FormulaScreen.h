// FormulaScreen.h: what the seven formula screens share: one tab per
// instance type, option buttons whose index is the stored setting, and
// formula panels that are checked as they are typed.
//
// The screen keeps nothing of its own between tabs: selecting a tab reloads
// that instance type's settings and formulas from the model, and a check the
// constraints screen's timer still holds back is run before the tab or the
// screen changes, so nothing typed is lost.
#pragma once

#include <QStringList>
#include <functional>
#include <string>
#include <vector>

#include "editor/Screen.h"
#include "editor/ScreenSettings.h"

class QButtonGroup;
class QGroupBox;
class QListWidget;
class QTabBar;

namespace korvane::editor {

class FormulaPanel;

class FormulaScreen : public Screen {
  Q_OBJECT

 public:
  FormulaScreen(ScreenHost& host, int index, const QString& formName, const QString& helpResource,
                const QString& heading);
  ~FormulaScreen() override;

  // The instance type of the selected tab ("" when the model has none).
  const std::string& InstanceType() const { return instanceType_; }

 protected:
  void Load() final;
  void Unload() override;
  // Fills the controls from the settings of InstanceType().
  virtual void LoadInstanceType() = 0;

  // A group of option buttons named name + index ("obSimilarityType0", ...)
  // in a box with the given title; clicking one calls onClick(index).
  QButtonGroup* AddOptions(const QString& title, const QString& name, const QStringList& captions,
                           std::function<void(int)> onClick, QGroupBox** box = nullptr);
  // Checks option index of the group (nothing when out of range).
  static void SelectOption(QButtonGroup* group, int index);
  FormulaPanel* AddPanel(const QString& name, int delayMs = 0);
  // The layout of the screens whose formula belongs to a slot: the slot list
  // (lstSlots) under its caption beside one formula panel, which stores its
  // text in this instance type's formula row that formulaSlot() names.
  FormulaPanel* AddSlotFormulaPanel(const QString& caption, std::function<std::string()> formulaSlot,
                                    QListWidget** slotList);

  // Settings of the selected instance type: key = type + suffix.
  Variant ReadTypeSetting(const std::string& suffix) const;
  // The stored text of a setting (formulas, names): empty stays empty.
  std::string ReadTypeText(const std::string& suffix) const;
  bool WriteTypeSetting(const std::string& suffix, const Variant& value);
  int ReadTypeOption(const std::string& suffix, int optionCount) const;

  std::vector<SlotColumn> Slots() const;
  // Display names of the slots of one aspect ('S', 'D', 'U'), in column order.
  QStringList SlotNames(char aspect) const;
  // Full column names of the slots of one aspect.
  QStringList SlotColumns(char aspect) const;

 private:
  void SelectTab(int index);
  void FlushPanels();

  QTabBar* tabs_ = nullptr;
  std::vector<FormulaPanel*> panels_;
  std::vector<InstanceTypeTab> types_;
  std::string instanceType_;
  bool loadingTabs_ = false;
};

}  // namespace korvane::editor
