// FormulaFuzzBody.h: what the formula fuzzer does with one input, shared
// with the test suite that replays the corpus.
//
// Parse arbitrary text, print it, run it on a few variables, and, when the
// printed program parses again, check that it prints the same. Failures of
// the formula are expected and caught; anything else (a crash, a leak, an
// uncaught exception, a printed program that changes) is a finding.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "formula/FormulaProgram.h"
#include "util/Dialogs.h"
#include "util/Random.h"

namespace korvane::formula::fuzz {

// Returns false when the printed program re-parses to a different text.
inline bool RunOneInput(const std::string& text) {
  static const bool quiet = [] {
    SetDialogs(std::make_shared<HeadlessDialogs>(false));
    return true;
  }();
  (void)quiet;

  FormulaProgram program(text);
  program.ParseProgram();
  const std::string formatted = program.FormattedProgram();
  if (!program.HasTree()) return true;

  VariableList vars;
  vars.Add("CUE", Variant(3.5));
  vars.Add("MEMORY", Variant(static_cast<std::int16_t>(-2)));
  vars.Add("NAME", Variant("Text"));
  vars.Add("FLAG", Variant(true));
  vars.Add("NOTHING", Variant::Null());
  RandomSource random(12345);
  try {
    program.Execute(vars, random);
    program.Execute(vars, random);  // a second run sees the first one's results
  } catch (const Error&) {
  }
  (void)vars.ToString();

  FormulaProgram again(formatted);
  again.ParseProgram();
  if (again.HasTree() && again.ErrorMessage() == program.ErrorMessage() && again.FormattedProgram() != formatted)
    return false;
  return true;
}

}  // namespace korvane::formula::fuzz
