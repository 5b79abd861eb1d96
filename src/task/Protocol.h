// Protocol.h: the words of the task protocol and the typing of its values.
//
// A message is one line of "|"-separated fields; field 0 is the command
// (any letter case), field 1 usually an instance type, then name and value
// pairs. Values are typed as a task would expect: an empty text stays empty,
// the unset marker (a field made of one NUL character) is a null value,
// a well-formed decimal integer becomes a 16-bit integer (a 32-bit one when
// it does not fit, a double beyond that), a number with a "." a double, and
// anything else stays text. Names stay text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "util/Variant.h"

namespace korvane::formula {
class VariableList;
}

namespace korvane::task {

// The program title used in protocol texts.
inline constexpr const char* kProgramTitle = "Korvane";

std::vector<std::string> SplitFields(std::string_view line);
Variant TypedValue(std::string_view text);
// Name and value pairs from fields[first] on, appended to list in order (a
// repeated name keeps its first value). False, and nothing added, when a
// name lacks its value.
bool AppendPairs(const std::vector<std::string>& fields, std::size_t first,
                 formula::VariableList& list);

}  // namespace korvane::task
