// QtDialogs.cpp: message boxes for core code's requests.
#include "editor/QtDialogs.h"

#include <QMessageBox>

namespace korvane::editor {

namespace {

QMessageBox::Icon ToQtIcon(DialogIcon icon) {
  switch (icon) {
    case DialogIcon::Information: return QMessageBox::Information;
    case DialogIcon::Question: return QMessageBox::Question;
    case DialogIcon::Warning: return QMessageBox::Warning;
    case DialogIcon::Critical: return QMessageBox::Critical;
    case DialogIcon::None: break;
  }
  return QMessageBox::NoIcon;
}

QMessageBox::StandardButtons ToQtButtons(DialogButtons buttons) {
  switch (buttons) {
    case DialogButtons::OK: return QMessageBox::Ok;
    case DialogButtons::OKCancel: return QMessageBox::Ok | QMessageBox::Cancel;
    case DialogButtons::YesNo: return QMessageBox::Yes | QMessageBox::No;
    case DialogButtons::YesNoCancel: return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
  }
  return QMessageBox::Ok;
}

QMessageBox::StandardButton ToQtButton(DialogAnswer answer) {
  switch (answer) {
    case DialogAnswer::OK: return QMessageBox::Ok;
    case DialogAnswer::Cancel: return QMessageBox::Cancel;
    case DialogAnswer::Yes: return QMessageBox::Yes;
    case DialogAnswer::No: return QMessageBox::No;
  }
  return QMessageBox::NoButton;
}

}  // namespace

DialogAnswer QtDialogs::Show(const DialogRequest& request) {
  QMessageBox box(ToQtIcon(request.icon), QString::fromStdString(request.title.empty() ? "Korvane" : request.title),
                  QString::fromStdString(request.text), ToQtButtons(request.buttons), parent_.data());
  box.setObjectName("msgBox");
  box.setTextFormat(Qt::PlainText);
  QMessageBox::StandardButton preferred = ToQtButton(request.defaultAnswer);
  if (box.button(preferred)) box.setDefaultButton(preferred);
  switch (box.exec()) {
    case QMessageBox::Yes: return DialogAnswer::Yes;
    case QMessageBox::No: return DialogAnswer::No;
    case QMessageBox::Ok: return DialogAnswer::OK;
    case QMessageBox::Cancel: return DialogAnswer::Cancel;
    default: break;
  }
  // Closed with Escape or the window's close button: the safe answer.
  switch (request.buttons) {
    case DialogButtons::OK: return DialogAnswer::OK;
    case DialogButtons::YesNo: return DialogAnswer::No;
    default: return DialogAnswer::Cancel;
  }
}

}  // namespace korvane::editor
