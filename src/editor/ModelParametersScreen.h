// ModelParametersScreen.h: frmModelParameters, the screen of the model-wide
// parameters: activation parameters, thresholds and their comparisons, the
// retrieval stopping rule, the task connection, the run's clock and seed, the
// number of simulated subjects and the behaviour switches.
//
// Every control writes its setting (MetaKeyValue) as soon as it changes;
// opening the screen on a new model writes every default.
#pragma once

#include <QPointer>
#include <vector>

#include "editor/Screen.h"
#include "util/Variant.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QRadioButton;

namespace korvane::editor {

class frmModelParameters : public Screen {
  Q_OBJECT

 public:
  explicit frmModelParameters(ScreenHost& host);

  // The address a task should connect to, as tbIPAddress shows it: loopback
  // when the model listens on loopback, this machine's address when it
  // listens on every interface, else the chosen address.
  static QString TaskAddress(const QString& listenSetting);

 protected:
  void Load() override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // A numeric box: its setting key, its default and which keys it takes.
  struct NumberBox {
    QLineEdit* box;
    std::string key;
    QString defaultText;
    enum class Keys { Number, Digits } keys;
    enum class Written { Number, Text } written;
  };
  struct CheckSetting {
    QCheckBox* box;
    std::string key;
  };
  struct Comparison {
    QComboBox* list;
    std::string key;
  };
  struct InForce {
    QLabel* label;
    std::string which;  // RT, U, CT
    std::string cmpKey, valueKey;
  };

  void BuildControls();
  QComboBox* AddComparison(const QString& name, const std::string& key, bool threshold);
  QLineEdit* AddNumberBox(const QString& name, const std::string& key, const QString& defaultText,
                          NumberBox::Keys keys = NumberBox::Keys::Number,
                          NumberBox::Written written = NumberBox::Written::Number);
  // A check box with a wrapping caption, its setting written on every click;
  // returns the row that holds both.
  QWidget* AddCheck(const QString& name, const QString& caption, const std::string& key);
  const NumberBox* FindNumberBox(QObject* widget) const;
  // The check on leaving a box; false (focus kept, text selected) on failure.
  // Gives a refused box the focus back with its whole text selected.
  void ReturnTo(QLineEdit* edit);
  bool CheckOnLeaving(const NumberBox& box);
  bool FilterKey(const NumberBox& box, QKeyEvent* event);
  void SetStopRule(int index, bool write);
  void SetClock(int index, bool write);
  void Write(const std::string& key, const Variant& value);
  QLabel* WarningLabel(const QString& name, QWidget* parent);
  // The thresholds in force and the model's warnings, from the stored settings.
  void RefreshWarnings();

  std::vector<NumberBox> numberBoxes_;
  std::vector<CheckSetting> checks_;
  std::vector<Comparison> comparisons_;
  std::vector<InForce> inForce_;
  QLabel* lblWarnings_ = nullptr;
  QLabel* lblThresholdWarnings_ = nullptr;
  bool refreshPending_ = false;
  QLineEdit* tbIPAddress_ = nullptr;
  QLineEdit* tbHelo_ = nullptr;
  QLineEdit* tbListen_ = nullptr;
  QRadioButton* obStopRuleTime_ = nullptr;
  QRadioButton* obStopRuleNum_ = nullptr;
  QButtonGroup* stopRule_ = nullptr;
  QRadioButton* obClockReal_ = nullptr;
  QRadioButton* obClockSimulated_ = nullptr;
  QButtonGroup* clock_ = nullptr;
  QComboBox* cboTraceLevel_ = nullptr;
  bool checking_ = false;  // a leave-check message is up; ignore nested focus changes
};

}  // namespace korvane::editor
