// Evaluator.cpp: similarity and decision formulas, variable-list text,
// threshold comparison.
#include "engine/Evaluator.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "engine/EngineLog.h"
#include "engine/JudgmentItem.h"
#include "store/Schema.h"
#include "store/SettingsCatalog.h"
#include "util/Dialogs.h"

namespace korvane::engine {

std::string Indented(int levels, const std::string& text) {
  return std::string(static_cast<std::size_t>(levels > 0 ? levels * 2 : 0), ' ') + text;
}

std::string SlotName(std::string_view name) { return store::FieldName(std::string(name)); }

double CalculateSimilarity(const std::vector<std::string>& situationSlotNames, const JudgmentItem& item,
                           const formula::VariableList& cue, const std::vector<formula::FormulaProgram>& programs,
                           RandomSource& random, SimilarityScratch* scratch) {
  SimilarityScratch local;
  SimilarityScratch& s = scratch ? *scratch : local;
  if (s.slotIndex.size() < situationSlotNames.size()) s.slotIndex.resize(situationSlotNames.size(), -1);
  double total = 0;
  for (std::size_t i = 0; i < situationSlotNames.size() && i < programs.size(); ++i) {
    const std::string& slot = situationSlotNames[i];
    int& at = s.slotIndex[i];
    at = item.Values.IndexOf(slot, at);
    // A fresh {CUE, MEMORY} list each time: whatever the last formula added
    // goes, the two values are replaced.
    formula::VariableList& variables = s.variables;
    while (variables.Count() > 2) variables.Remove(variables.Count() - 1);
    if (variables.Count() < 2) {
      variables = formula::VariableList(3);
      variables.Add("CUE", Variant());
      variables.Add("MEMORY", Variant());
    }
    variables.SetValue(0, cue.Value(slot));
    variables.SetValue(1, item.Values.Value(at));
    programs[i].Execute(variables, random);
    total += NumberResult(variables.Value("PM"), "the similarity formula of ", slot);
  }
  return total;
}

double NumberResult(const Variant& value, std::string_view what, std::string_view name) {
  if (value.IsNumber()) return value.ToNumber();  // the usual case, first
  if (value.IsBoolean()) return value.AsBoolean() ? -1.0 : 0.0;
  if (value.IsNull() || value.IsEmpty()) return 0;
  if (value.IsString()) {
    const std::string& text = value.AsString();
    if (text.empty()) return 0;
    if (!IsNumericText(text))
      throw Error(ErrorNumber::TypeMismatch, "Formula",
                  "Type mismatch: " + std::string(what) + std::string(name) + " gave '" + text +
                      "', which is not a number");
  }
  return value.ToNumber();
}

Variant DecisionResult(const std::string& column, const Variant* d) {
  const bool text = column.size() >= 7 && column.compare(column.size() - 7, 7, "_String") == 0;
  if (text) return Variant((d == nullptr || d->IsNull() || d->IsEmpty()) ? std::string() : d->ToText());
  if (d == nullptr) return Variant(0.0);
  return Variant(NumberResult(*d, "the decision formula of ", column));
}

std::vector<Variant> EvaluateDecisions(const std::vector<std::string>& decisionColumns,
                                       const std::vector<formula::FormulaProgram>& programs,
                                       const formula::VariableList& context, RandomSource& random, EngineLog* log) {
  std::vector<Variant> results(decisionColumns.size(), Variant(0.0));
  for (std::size_t i = 0; i < decisionColumns.size(); ++i) {
    formula::VariableList copy = CopyVariables(context);
    if (i < programs.size()) programs[i].Execute(copy, random);
    results[i] = DecisionResult(decisionColumns[i], copy.Find("D"));
    if (log && log->Wants(0))
      log->Add(Indented(2, "EXECUTE-DECISION-FORMULA(" + decisionColumns[i] + ") " + context.ToString()), 0);
  }
  return results;
}

double OutcomeNumber(const Variant& value) {
  if (value.IsBoolean()) return value.AsBoolean() ? -1.0 : 0.0;
  if (value.IsNumber()) return value.ToNumber();
  if (value.IsString() && IsNumericText(value.AsString())) return ReadNumber(value.AsString());
  throw Error(ErrorNumber::TypeMismatch, "ModelExecutor",
              "Type mismatch: the feedback value '" + value.ToText() + "' is not a number");
}

formula::VariableList CopyVariables(const formula::VariableList& source, std::string_view prefix) {
  formula::VariableList copy(source.Count());
  if (prefix.empty()) {
    for (const auto& entry : source) copy.Add(entry.name, entry.value);
  } else {
    std::string name(prefix);
    for (const auto& entry : source) {
      name.resize(prefix.size());
      name += entry.name;
      copy.Add(name, entry.value);
    }
  }
  return copy;
}

std::string VariablesToText(const formula::VariableList& variables) {
  std::string text;
  bool first = true;
  for (const auto& entry : variables) {
    if (!first) text += "\r\n";
    first = false;
    text += entry.name;
    text += '=';
    text += entry.value.IsNull() ? kUnsetMarker : entry.value.ToText();
  }
  return text;
}

Variant TypeTextValue(std::string_view value) {
  std::size_t a = value.find_first_not_of(' ');
  if (a == std::string_view::npos) return Variant(std::string());
  if (value == kUnsetMarker) return Variant::Null();
  bool hasDot = false;
  for (char c : value) {
    if (c == '.') hasDot = true;
    else if (c != '-' && (c < '0' || c > '9')) return Variant(std::string(value));
  }
  // Only digits, "-" and "." remain; texts such as "1-2" or "." are not
  // numbers and stay text rather than failing.
  std::string text(value);
  char* end = nullptr;
  if (!hasDot) {
    errno = 0;
    long long n = std::strtoll(text.c_str(), &end, 10);
    if (end != text.c_str() + text.size() || text == "-") return Variant(std::move(text));
    if (errno == 0 && n >= std::numeric_limits<std::int16_t>::min() && n <= std::numeric_limits<std::int16_t>::max())
      return Variant(static_cast<std::int16_t>(n));
    if (errno == 0 && n >= std::numeric_limits<std::int32_t>::min() && n <= std::numeric_limits<std::int32_t>::max())
      return Variant(static_cast<std::int32_t>(n));
  }
  double d = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || text.find_first_of("0123456789") == std::string::npos)
    return Variant(std::move(text));
  return Variant(d);
}

formula::VariableList TextToVariables(std::string_view text) {
  formula::VariableList list;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find("\r\n", start);
    std::string_view line = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    std::size_t eq = line.find('=');
    if (eq != std::string_view::npos && line.find('=', eq + 1) == std::string_view::npos)
      list.Add(line.substr(0, eq), TypeTextValue(line.substr(eq + 1)));
    if (end == std::string_view::npos) break;
    start = end + 2;
  }
  return list;
}

bool CompareByMode(double value, std::string_view op, double threshold) {
  if (op == store::kNoThreshold) return true;
  if (op == ">") return value > threshold;
  if (op == ">=") return value >= threshold;
  if (op == "=") return value == threshold;
  if (op == "<") return value < threshold;
  if (op == "<=") return value <= threshold;
  return false;
}

namespace {
bool NumericLike(const Variant& v) { return v.IsNumber() || v.IsBoolean(); }
double AsNumber(const Variant& v) { return v.IsBoolean() ? (v.AsBoolean() ? -1.0 : 0.0) : v.ToNumber(); }
}  // namespace

bool ValuesDiffer(const Variant& a, const Variant& b) {
  if (NumericLike(a) && NumericLike(b)) return AsNumber(a) != AsNumber(b);
  bool aNone = a.IsNull() || a.IsEmpty();
  bool bNone = b.IsNull() || b.IsEmpty();
  if (aNone || bNone) return aNone != bNone;
  return a.ToText() != b.ToText();
}

void ReportBug(const std::string& message) { ShowBugReport(message); }

}  // namespace korvane::engine
