// QtDialogs.h: the desktop program's answer to core code's messages and
// questions: a modal QMessageBox over the main window.
#pragma once

#include <QPointer>
#include <QWidget>

#include "util/Dialogs.h"

namespace korvane::editor {

class QtDialogs : public Dialogs {
 public:
  // Boxes are centred over parent while it lives; over no window otherwise.
  explicit QtDialogs(QWidget* parent = nullptr) : parent_(parent) {}
  void SetParent(QWidget* parent) { parent_ = parent; }
  DialogAnswer Show(const DialogRequest& request) override;

 private:
  QPointer<QWidget> parent_;
};

}  // namespace korvane::editor
