// FormulaCheck.h: the check every formula screen runs while a formula is typed.
//
// An empty (blank) formula is stored as it is; a formula that parses and
// assigns what its screen requires is stored; anything else is only
// reported. The caller stores the text when the result says so and shows the
// message under the formula box. Plain C++, no Qt.
#pragma once

#include <string>
#include <vector>

namespace korvane::editor {

struct FormulaRequirement {
  // The variable the formula must assign (case-insensitive), e.g. "PM".
  std::string variable;
  // When set, the formula must assign at least one name in this namespace
  // ("USES.") instead, and the acceptance text counts them.
  std::string nameSpace;
  std::string incompleteText;  // "Formula Incomplete: ..."
};

struct FormulaCheckResult {
  bool store = false;     // the text may be written to the model
  bool accepted = false;  // it parsed and assigns what is required
  std::string message;    // for the message line
};

// known, when given, holds the variables a run gives the formula (the
// screen's list): a Cue.<name> or Memory.<name> the formula reads that is
// neither known nor assigned by the formula itself is a typo or a slot that
// does not exist, and the formula is refused with the nearest known name.
FormulaCheckResult CheckFormula(const std::string& text, const FormulaRequirement& requirement,
                                const std::vector<std::string>& known = {});



// The texts of the screens.
extern const char* const kFormulaEmptyText;     // "Formula must not be empty."
extern const char* const kFormulaAcceptedText;  // "Formula Accepted."

FormulaRequirement SimilarityRequirement();
FormulaRequirement ConstraintRequirement(bool blending);
FormulaRequirement JudgmentRequirement();
FormulaRequirement DecisionRequirement();
FormulaRequirement FeedbackRequirement();
FormulaRequirement UtilityRequirement();

}  // namespace korvane::editor
