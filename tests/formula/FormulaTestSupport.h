// FormulaTestSupport.h: small helpers for the formula language suites.
#pragma once

#include <memory>
#include <string>

#include "formula/FormulaProgram.h"
#include "util/Dialogs.h"

namespace korvane::formula::test {

// Installs a ScriptedDialogs for the life of the object and restores the
// previous Dialogs afterwards.
class RecordedDialogs {
 public:
  RecordedDialogs() : dialogs_(std::make_shared<ScriptedDialogs>()), previous_(SetDialogs(dialogs_)) {}
  ~RecordedDialogs() { SetDialogs(previous_); }
  const std::vector<DialogRequest>& Shown() const { return dialogs_->Shown(); }

 private:
  std::shared_ptr<ScriptedDialogs> dialogs_;
  std::shared_ptr<Dialogs> previous_;
};

// A program parsed from text.
inline FormulaProgram Parsed(const std::string& text) {
  FormulaProgram program(text);
  program.ParseProgram();
  return program;
}

}  // namespace korvane::formula::test
