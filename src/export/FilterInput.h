// FilterInput.h: making filters from what a researcher typed, in the filter
// dialog or on the command line.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "export/DataFilter.h"
#include "export/TraceQuery.h"

namespace korvane::exporting {

// A filter made from input, or the message that says why none was made.
struct FilterOrMessage {
  std::shared_ptr<DataFilter> filter;
  std::string message;
};

// The filter dialog: a chosen variable and one of three modes. In the rules
// mode the "greater than" box gives the lower bound and the "less than" box
// the upper one; both give a range.
struct FilterDialogInput {
  std::optional<FilterVariable> variable;
  enum class Kind { Equal, NotEqual, Rules } kind = Kind::Equal;
  std::string valueText;  // Equal and NotEqual
  bool greater = false;
  std::string greaterText;
  bool greaterInclusive = false;
  bool less = false;
  std::string lessText;
  bool lessInclusive = false;
};

// Builds the dialog's filter, or refuses with "Please select a variable
// first.", "Please complete all fields." (a value box left empty) or "Please
// complete all fields with valid values." (a value that is not a number, or
// no rule box checked).
FilterOrMessage MakeDialogFilter(const FilterDialogInput& input);

// Reads "Activation >= 2", "Partial Match < 0.5", "S_Price_Real <> 3" or
// "Price (Situation) = 3": a caption or a column of `variables` (either case),
// an operator (=, <>, <, <=, >, >=) and a number. A Time filter also takes a
// date and time ("Time >= 2026-12-07 10:00:00").
FilterOrMessage ParseFilterText(const std::string& text, const std::vector<FilterVariable>& variables);

// Reads a whole number text (surrounding blanks allowed) or a number with a
// fraction and exponent; false when the text is anything else.
bool ReadStrictNumber(const std::string& text, double& value);

}  // namespace korvane::exporting
