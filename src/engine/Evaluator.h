// Evaluator.h: the bridge between the formula language and the instance
// engine.
//
// Runs a model's similarity formulas between a cue and a remembered instance,
// runs its decision formulas, copies variable lists, turns a variable list
// into text and back, and compares a value against a threshold written as an
// operator. Stateless.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "formula/FormulaProgram.h"
#include "formula/VariableList.h"

namespace korvane::engine {

class EngineLog;
class JudgmentItem;

// The marker of an unset value in variable-list text: the NUL character.
inline const std::string kUnsetMarker(1, '\0');

// The display name of a column: "X_ID" gives "ID", "S_Price_Real" gives
// "Price", a name without "_" itself, "Q_ABC_XYZ" the second part.
std::string SlotName(std::string_view columnName);

// What CalculateSimilarity keeps from one candidate to the next of a
// retrieval: where each situation slot stood in the last item's values (the
// items of one table list their slots in the same order) and the variable
// list the formulas run on. Results are the same with or without it.
struct SimilarityScratch {
  std::vector<int> slotIndex;
  formula::VariableList variables;
};

// The summed similarity term of item against cue: for each situation slot i,
// programs[i] runs on {CUE, MEMORY} and its PM is added.
double CalculateSimilarity(const std::vector<std::string>& situationSlotNames, const JudgmentItem& item,
                           const formula::VariableList& cue, const std::vector<formula::FormulaProgram>& programs,
                           RandomSource& random, SimilarityScratch* scratch = nullptr);

// The number a formula result stands for: numbers as they are, booleans as
// -1 and 0, Null and empty as 0, a text only when it reads as a number. Any
// other text is a type mismatch naming what gave it (`what`, e.g. "the
// decision formula of D_Choice_Integer", given as `what` and `name`, joined
// only for the error): a run must not go on with a silent 0 where the model
// computed a word.
double NumberResult(const Variant& value, std::string_view what, std::string_view name = {});
// A feedback's outcome as a number (a boolean true is -1); text that is not
// a number is a type mismatch.
double OutcomeNumber(const Variant& value);

// A decision slot's value from its formula's D: a String column keeps the
// text (Null or missing: ""), a number column takes NumberResult (Null or
// missing: 0).
Variant DecisionResult(const std::string& column, const Variant* d);

// One value per decision column: programs[i] runs on a copy of context and
// its D is read through DecisionResult. Logs one trace line per column.
std::vector<Variant> EvaluateDecisions(const std::vector<std::string>& decisionColumns,
                                      const std::vector<formula::FormulaProgram>& programs,
                                      const formula::VariableList& context, RandomSource& random, EngineLog* log);

// A copy of source; with a prefix every name gets it in front.
formula::VariableList CopyVariables(const formula::VariableList& source, std::string_view prefix = {});

// One "name=value" line per entry joined by CR LF; Null as the unset marker.
std::string VariablesToText(const formula::VariableList& variables);
// The reverse: lines without exactly one "=" are skipped; values typed by
// TypeTextValue.
formula::VariableList TextToVariables(std::string_view text);
// Typing of a value read from text: blank gives "", the unset marker Null, a
// number made of digits, "-" and "." an integer (16-bit when it fits, else
// 32-bit, else a double) or, with a ".", a double; anything else stays text.
Variant TypeTextValue(std::string_view text);

// value <op> threshold for op one of ">", ">=", "=", "<", "<="; "none" (no
// threshold) gives true; any other operator, the empty one included, gives
// false.
bool CompareByMode(double value, std::string_view op, double threshold);

// Two slot values differ: numbers (and booleans) compare as numbers, Null
// and empty match only each other, anything else compares as text.
bool ValuesDiffer(const Variant& a, const Variant& b);

// The "possible bug" box, through the current dialogs.
void ReportBug(const std::string& message);

}  // namespace korvane::engine
