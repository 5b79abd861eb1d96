// UnknownNames.h: the Cue.<name> and Memory.<name> variables a formula reads
// that a run would not give it: typos and slots that do not exist, found
// before a run (the formula screens as a formula is typed, and model
// preparation, so `korvane check`).
#pragma once

#include <string>
#include <vector>

namespace korvane::formula {

class FormulaProgram;

struct UnknownVariable {
  std::string name;
  std::string nearest;  // the nearest known name of the same namespace; "" when none is near
};

// The Cue.<name> and Memory.<name> variables the parsed program reads that
// are neither in known (case-insensitive) nor assigned by the program itself,
// in order of appearance.
std::vector<UnknownVariable> UnknownVariables(const FormulaProgram& program, const std::vector<std::string>& known);

// "Unknown variable Cue.Dek (did you mean Cue.Deck?)".
std::string UnknownVariableText(const UnknownVariable& unknown);

}  // namespace korvane::formula
