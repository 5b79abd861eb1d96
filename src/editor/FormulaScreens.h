// FormulaScreens.h: the seven screens on which a researcher writes the
// model's formulas and chooses the options that decide which are used:
// similarity, retrieval method, retrieval constraints, judgment, decision,
// feedback and utility update. Each stores every choice at once, per
// instance type (keys of the form I1_RetrievalMethod), and every formula the
// moment its check accepts it.
#pragma once

#include "editor/FormulaScreen.h"

class QComboBox;
class QLabel;
class QListWidget;

class QLineEdit;
class QCheckBox;

namespace korvane::editor {

class frmSimilarity : public FormulaScreen {
  Q_OBJECT
 public:
  explicit frmSimilarity(ScreenHost& host);

 protected:
  void LoadInstanceType() override;

 private:
  void ApplyOption(int option);
  void LoadSelectedFormula();
  std::string FormulaSlot() const;

  QButtonGroup* type_ = nullptr;
  QListWidget* lstSlots_ = nullptr;
  FormulaPanel* panel_ = nullptr;
};

class frmRetrievalMethod : public FormulaScreen {
  Q_OBJECT
 public:
  explicit frmRetrievalMethod(ScreenHost& host);

 protected:
  void LoadInstanceType() override;

 private:
  QButtonGroup* method_ = nullptr;
  QButtonGroup* rounding_ = nullptr;
  QGroupBox* roundingBox_ = nullptr;
};

class frmConstraints : public FormulaScreen {
  Q_OBJECT
 public:
  explicit frmConstraints(ScreenHost& host);
  static constexpr int kCheckDelayMs = 1000;

 protected:
  void LoadInstanceType() override;

 private:
  QButtonGroup* type_ = nullptr;
  FormulaPanel* panel_ = nullptr;
  QGroupBox* selection_ = nullptr;
  QComboBox* cbSelectionFunction_ = nullptr;
  QComboBox* cbSelectionVariable_ = nullptr;
};

class frmJudgment : public FormulaScreen {
  Q_OBJECT
 public:
  explicit frmJudgment(ScreenHost& host);

 protected:
  void LoadInstanceType() override;

 private:
  QButtonGroup* mode_ = nullptr;
  FormulaPanel* fail_ = nullptr;
  FormulaPanel* succeed_ = nullptr;
  // The type's default utility (empty: the failure formula judges) and
  // whether it is stored as an instance.
  QLineEdit* tbDefaultUtility_ = nullptr;
  QCheckBox* cbDefaultUtilityPopulates_ = nullptr;
  bool loading_ = false;
};

class frmDecision : public FormulaScreen {
  Q_OBJECT
 public:
  explicit frmDecision(ScreenHost& host);

 protected:
  void LoadInstanceType() override;

 private:
  bool Failure() const;
  void ApplyOption(int option);
  void LoadLists();
  void LoadSelectedFormula();
  std::string FormulaSlot() const;

  QTabBar* tsRecognition_ = nullptr;
  QLabel* lblRecognitionUse_ = nullptr;
  QButtonGroup* type_ = nullptr;
  QListWidget* lstSlots_ = nullptr;
  FormulaPanel* panel_ = nullptr;
};

class frmFeedback : public FormulaScreen {
  Q_OBJECT
 public:
  explicit frmFeedback(ScreenHost& host);

 protected:
  void LoadInstanceType() override;

 private:
  void ApplyOption(int option);

  QButtonGroup* type_ = nullptr;
  FormulaPanel* panel_ = nullptr;
};

class frmUtility : public FormulaScreen {
  Q_OBJECT
 public:
  explicit frmUtility(ScreenHost& host);

 protected:
  void LoadInstanceType() override;

 private:
  QButtonGroup* type_ = nullptr;
  QGroupBox* formulaBox_ = nullptr;
  FormulaPanel* panel_ = nullptr;
};

}  // namespace korvane::editor
