// Dialogs.cpp: the headless and scripted dialogs, and the current one.
#include "util/Dialogs.h"

#include <iostream>

#include "util/Log.h"

namespace korvane {

const char* const kBugReportUrl = "https://github.com/korvane/korvane/issues";

void Dialogs::Message(const std::string& text, DialogIcon icon, const std::string& title) {
  Show(DialogRequest{title, text, icon, DialogButtons::OK, DialogAnswer::OK});
}

DialogAnswer Dialogs::Ask(const std::string& text, DialogButtons buttons, DialogAnswer defaultAnswer,
                          DialogIcon icon, const std::string& title) {
  return Show(DialogRequest{title, text, icon, buttons, defaultAnswer});
}

DialogAnswer HeadlessDialogs::Show(const DialogRequest& request) {
  int level = request.icon == DialogIcon::Critical ? 3 : 1;
  LogShared(request.text, level);
  if (echo_) std::cerr << request.text << "\n";
  return request.defaultAnswer;
}

DialogAnswer ScriptedDialogs::Show(const DialogRequest& request) {
  shown_.push_back(request);
  if (answers_.empty()) return request.defaultAnswer;
  DialogAnswer answer = answers_.front();
  answers_.pop_front();
  return answer;
}

namespace {
std::shared_ptr<Dialogs>& Slot() {
  static std::shared_ptr<Dialogs> current = std::make_shared<HeadlessDialogs>();
  return current;
}
}  // namespace

Dialogs& CurrentDialogs() { return *Slot(); }

std::shared_ptr<Dialogs> SetDialogs(std::shared_ptr<Dialogs> dialogs) {
  auto previous = Slot();
  Slot() = dialogs ? std::move(dialogs) : std::make_shared<HeadlessDialogs>();
  return previous;
}

void ShowBugReport(const std::string& details) {
  CurrentDialogs().Show(DialogRequest{
      "BUG - BUG - BUG",
      std::string("This is a possible bug. Go to ") + kBugReportUrl + " and report this:\n\n" + details,
      DialogIcon::Critical, DialogButtons::OK, DialogAnswer::OK});
}

}  // namespace korvane
