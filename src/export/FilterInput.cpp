// FilterInput.cpp: filters from the filter dialog and from filter texts.
#include "export/FilterInput.h"

#include <cctype>
#include <cmath>
#include <cstdlib>

#include "export/ExportMessages.h"
#include "util/Variant.h"

namespace korvane::exporting {

namespace {

std::string Trim(const std::string& text) {
  std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  std::size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

bool SameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

std::shared_ptr<DataFilter> NewFilter(const FilterVariable& variable) {
  auto filter = std::make_shared<DataFilter>();
  filter->SetColumn(variable.column);
  filter->SetCaption(variable.caption);
  return filter;
}

}  // namespace

bool ReadStrictNumber(const std::string& text, double& value) {
  std::string t = Trim(text);
  if (t.empty()) return false;
  // Digits, one optional sign, fraction and exponent; no hex, no "inf", no "nan".
  for (char c : t)
    if (!std::isdigit(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '+' && c != 'e' && c != 'E')
      return false;
  char* end = nullptr;
  value = std::strtod(t.c_str(), &end);
  return end == t.c_str() + t.size() && std::isfinite(value);
}

FilterOrMessage MakeDialogFilter(const FilterDialogInput& input) {
  if (!input.variable) return {nullptr, messages::kSelectVariableFirst};
  auto filter = NewFilter(*input.variable);
  auto read = [](const std::string& text, double& value) -> const char* {
    if (Trim(text).empty()) return messages::kCompleteAllFields;
    if (!ReadStrictNumber(text, value)) return messages::kCompleteAllFieldsValid;
    return nullptr;
  };
  double value = 0;
  switch (input.kind) {
    case FilterDialogInput::Kind::Equal:
    case FilterDialogInput::Kind::NotEqual:
      if (const char* why = read(input.valueText, value)) return {nullptr, why};
      if (input.kind == FilterDialogInput::Kind::Equal) filter->SetEqual(value);
      else filter->SetNotEqual(value);
      break;
    case FilterDialogInput::Kind::Rules: {
      double low = 0;
      double high = 0;
      if (input.greater)
        if (const char* why = read(input.greaterText, low)) return {nullptr, why};
      if (input.less)
        if (const char* why = read(input.lessText, high)) return {nullptr, why};
      if (input.greater && input.less) filter->SetRange(low, high, input.greaterInclusive, input.lessInclusive);
      else if (input.greater) filter->SetMin(low, input.greaterInclusive);
      else if (input.less) filter->SetMax(high, input.lessInclusive);
      break;
    }
  }
  if (!filter->IsValid()) return {nullptr, messages::kCompleteAllFieldsValid};
  return {filter, {}};
}

FilterOrMessage ParseFilterText(const std::string& text, const std::vector<FilterVariable>& variables) {
  auto refuse = [&](const std::string& why) {
    return FilterOrMessage{nullptr, "Cannot read the filter \"" + text + "\": " + why};
  };
  std::size_t at = text.find_first_of("<>=");
  if (at == std::string::npos) return refuse("it has no operator (=, <>, <, <=, >, >=).");
  std::string op(1, text[at]);
  if (at + 1 < text.size() && (text[at + 1] == '=' || text[at + 1] == '>') && op != "=" &&
      !(op == ">" && text[at + 1] == '>'))
    op += text[at + 1];
  std::string name = Trim(text.substr(0, at));
  std::string operand = Trim(text.substr(at + op.size()));
  if (name.empty()) return refuse("it names no column.");

  const FilterVariable* variable = nullptr;
  for (const auto& v : variables)
    if (SameText(v.caption, name) || SameText(v.column, name)) {
      variable = &v;
      break;
    }
  if (!variable) {
    std::string known;
    for (const auto& v : variables) known += (known.empty() ? "" : ", ") + v.caption;
    return refuse("there is no column " + name + " (known: " + known + ").");
  }

  double value = 0;
  if (!ReadStrictNumber(operand, value)) {
    DateValue date;
    if (!(SameText(variable->column, "Time") && ParseDate(operand, date)))
      return refuse(operand.empty() ? "the value is missing." : operand + " is not a number.");
    value = date.days;
  }
  auto filter = NewFilter(*variable);
  if (op == "=") filter->SetEqual(value);
  else if (op == "<>") filter->SetNotEqual(value);
  else if (op == ">") filter->SetMin(value, false);
  else if (op == ">=") filter->SetMin(value, true);
  else if (op == "<") filter->SetMax(value, false);
  else if (op == "<=") filter->SetMax(value, true);
  else return refuse(op + " is not an operator (=, <>, <, <=, >, >=).");
  return {filter, {}};
}

}  // namespace korvane::exporting
