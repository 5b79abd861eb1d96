// FormulaCheck.cpp: the formula check shared by the formula screens.
#include "editor/FormulaCheck.h"


#include "editor/NumberText.h"
#include "formula/FormulaProgram.h"
#include "formula/UnknownNames.h"
#include "util/ErrorText.h"

namespace korvane::editor {

const char* const kFormulaEmptyText = "Formula must not be empty.";
const char* const kFormulaAcceptedText = "Formula Accepted.";

FormulaCheckResult CheckFormula(const std::string& text, const FormulaRequirement& requirement,
                                const std::vector<std::string>& known) {
  FormulaCheckResult result;
  if (Trimmed(text).empty()) {
    result.store = true;
    result.message = kFormulaEmptyText;
    return result;
  }
  formula::FormulaProgram program(text);
  program.ParseProgram();
  if (program.HasError()) {
    result.message = "Formula Error: " + WithoutErrorNumbers(program.ErrorMessage());
    return result;
  }
  if (!known.empty()) {
    const std::vector<formula::UnknownVariable> unknown = formula::UnknownVariables(program, known);
    if (!unknown.empty()) {
      result.message = "Formula Error: " + formula::UnknownVariableText(unknown.front());
      return result;
    }
  }
  const formula::VariableList& assigned = program.Assignments();
  if (!requirement.nameSpace.empty()) {
    int count = assigned.CountByNamespace(requirement.nameSpace, false);
    if (count < 1) {
      result.message = requirement.incompleteText;
      return result;
    }
    result.message = "Formula Accepted: Found " + std::to_string(count) + " constraints.";
  } else {
    if (!assigned.Has(requirement.variable)) {
      result.message = requirement.incompleteText;
      return result;
    }
    result.message = kFormulaAcceptedText;
  }
  result.store = true;
  result.accepted = true;
  return result;
}

FormulaRequirement SimilarityRequirement() {
  return {"PM", "", "Formula Incomplete: Expected formula to define variable PM (mismatch penality)"};
}

FormulaRequirement ConstraintRequirement(bool blending) {
  if (blending)
    return {"", "USES.",
            "Formula Incomplete: Blended instances expect formula to define at least one USES variable as "
            "TRUE or FALSE (e.g. USES.1, USES.2, USES.592)."};
  return {"USES", "",
          "Formula Incomplete: Regular retrieval expects formula to define a USES variable as TRUE or FALSE."};
}

FormulaRequirement JudgmentRequirement() {
  return {"U", "", "Formula Incomplete: Expected formula to define variable U (utility)"};
}

FormulaRequirement DecisionRequirement() {
  return {"D", "", "Formula Incomplete: Expected formula to define variable D (decision value)"};
}

FormulaRequirement FeedbackRequirement() {
  return {"O", "", "Formula Incomplete: Expected formula to define variable O (outcome)"};
}

FormulaRequirement UtilityRequirement() {
  return {"U", "", "Formula Incomplete: Expected formula to define variable U (utility)"};
}

}  // namespace korvane::editor
