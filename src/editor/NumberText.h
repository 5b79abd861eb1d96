// NumberText.h: how the parameter boxes read, show and check numbers.
//
// A parameter box writes, while it is typed, the number its text begins with
// (sign, digits, one decimal point); on leaving the box the text must be that
// number written back in its shortest plain form, so "0.5", "12" and "-3"
// pass while ".5", "1.0", "007", "1e3" and "5x" are refused. Plain C++, no Qt.
#pragma once

#include <string>
#include <string_view>

namespace korvane::editor {

// The number the text begins with (leading blanks skipped): an optional sign,
// digits, an optional "." and more digits. 0 when the text does not begin
// with a number.
double LeadingNumber(std::string_view text);

// The shortest plain text (no exponent) that reads back as exactly value:
// 0.5, 12, -3, 0.1, 1000000.
std::string PlainNumberText(double value);

// True when the trimmed text is empty or is exactly PlainNumberText of its
// leading number.
bool IsCanonicalNumberText(std::string_view text);

// Blanks (spaces, tabs, line breaks) removed at both ends.
std::string Trimmed(std::string_view text);

}  // namespace korvane::editor
