// NumberText.cpp: reading, writing and checking the numbers of parameter boxes.
#include "editor/NumberText.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace korvane::editor {

namespace {
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
}  // namespace

std::string Trimmed(std::string_view text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return std::string(text.substr(begin, end - begin));
}

double LeadingNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  std::string number;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
    if (text[i] == '-') number += '-';
    ++i;
  }
  bool digits = false;
  while (i < text.size() && IsDigit(text[i])) { number += text[i++]; digits = true; }
  if (i < text.size() && text[i] == '.') {
    std::string fraction;
    ++i;
    while (i < text.size() && IsDigit(text[i])) fraction += text[i++];
    if (!fraction.empty()) {
      if (!digits) number += '0';
      number += '.' + fraction;
      digits = true;
    }
  }
  if (!digits) return 0;
  double value = 0;
  auto result = std::from_chars(number.data(), number.data() + number.size(), value);
  if (result.ec == std::errc::result_out_of_range) return number[0] == '-' ? -HUGE_VAL : HUGE_VAL;
  return result.ec == std::errc() ? value : 0;
}

std::string PlainNumberText(double value) {
  if (std::isnan(value)) return "0";
  if (std::isinf(value)) return value < 0 ? "-1.79769313486232E+308" : "1.79769313486232E+308";
  if (value == 0) return "0";  // also for -0
  char buffer[400];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  if (result.ec != std::errc()) return "0";
  return std::string(buffer, result.ptr);
}

bool IsCanonicalNumberText(std::string_view text) {
  std::string trimmed = Trimmed(text);
  if (trimmed.empty()) return true;
  return trimmed == PlainNumberText(LeadingNumber(trimmed));
}

}  // namespace korvane::editor
