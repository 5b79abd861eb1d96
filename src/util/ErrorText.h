// ErrorText.h: error descriptions as the person at the keyboard reads them.
#pragma once

#include <string>

namespace korvane {

// A description as the person reads it: the error numbers that nested
// failures quote (" (#-2147211493)", "(#13)") are left out, and the
// "Error: " that every level of nesting puts in front is said once. The log
// keeps the full text.
std::string WithoutErrorNumbers(const std::string& description);

}  // namespace korvane
