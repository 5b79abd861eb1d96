// Dialogs.h: how core code tells and asks the person at the keyboard.
//
// Core code never shows a window. It calls the current Dialogs: the desktop
// program installs one that shows Qt message boxes, the headless commands one
// that logs the text and takes the given default answer, and tests a scripted
// one that answers from a queue and records what was shown.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace korvane {

enum class DialogIcon { None, Information, Question, Warning, Critical };
enum class DialogButtons { OK, OKCancel, YesNo, YesNoCancel };
enum class DialogAnswer { OK, Cancel, Yes, No };

struct DialogRequest {
  std::string title;  // empty: the program title "Korvane"
  std::string text;
  DialogIcon icon = DialogIcon::None;
  DialogButtons buttons = DialogButtons::OK;
  DialogAnswer defaultAnswer = DialogAnswer::OK;  // what a headless run takes
};

class Dialogs {
 public:
  virtual ~Dialogs() = default;
  virtual DialogAnswer Show(const DialogRequest& request) = 0;

  // Shorthands: a message with an OK button, and a Yes/No question.
  void Message(const std::string& text, DialogIcon icon = DialogIcon::Information,
               const std::string& title = {});
  DialogAnswer Ask(const std::string& text, DialogButtons buttons = DialogButtons::YesNo,
                   DialogAnswer defaultAnswer = DialogAnswer::No, DialogIcon icon = DialogIcon::Question,
                   const std::string& title = {});
};

// Logs every text through the shared log entry (and standard error when asked)
// and answers with the request's default.
class HeadlessDialogs : public Dialogs {
 public:
  explicit HeadlessDialogs(bool echoToStderr = true) : echo_(echoToStderr) {}
  DialogAnswer Show(const DialogRequest& request) override;

 private:
  bool echo_;
};

// For tests: answers from a queue (the default once the queue is empty) and
// records every request in order.
class ScriptedDialogs : public Dialogs {
 public:
  DialogAnswer Show(const DialogRequest& request) override;
  void QueueAnswer(DialogAnswer answer) { answers_.push_back(answer); }
  const std::vector<DialogRequest>& Shown() const { return shown_; }
  void Clear() { shown_.clear(); answers_.clear(); }

 private:
  std::deque<DialogAnswer> answers_;
  std::vector<DialogRequest> shown_;
};

// The Dialogs that core code uses. Never null: a HeadlessDialogs until a front
// end installs its own. SetDialogs returns the previous one.
Dialogs& CurrentDialogs();
std::shared_ptr<Dialogs> SetDialogs(std::shared_ptr<Dialogs> dialogs);

// The bug-report box: critical icon, title "BUG - BUG - BUG", the address of
// the bug page and the details.
extern const char* const kBugReportUrl;
void ShowBugReport(const std::string& details);

}  // namespace korvane
