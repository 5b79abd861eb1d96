// Protocol.cpp: see Protocol.h.
#include "task/Protocol.h"

#include <charconv>
#include <cstdint>
#include <cstdlib>

#include "formula/VariableList.h"

namespace korvane::task {

std::vector<std::string> SplitFields(std::string_view line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  while (true) {
    const std::size_t bar = line.find('|', start);
    if (bar == std::string_view::npos) {
      fields.emplace_back(line.substr(start));
      return fields;
    }
    fields.emplace_back(line.substr(start, bar - start));
    start = bar + 1;
  }
}

Variant TypedValue(std::string_view text) {
  std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return Variant(std::string());
  // The unset marker, one NUL character, is a null value.
  if (text.size() == 1 && text[0] == '\0') return Variant::Null();
  for (char c : text)
    if (!(c >= '0' && c <= '9') && c != '-' && c != '.') return Variant(std::string(text));

  const bool hasDot = text.find('.') != std::string_view::npos;
  const char* begin = text.data();
  const char* end = text.data() + text.size();
  if (!hasDot) {
    std::int64_t n = 0;
    auto [ptr, ec] = std::from_chars(begin, end, n);
    if (ec == std::errc() && ptr == end) {
      if (n >= INT16_MIN && n <= INT16_MAX) return Variant(static_cast<std::int16_t>(n));
      if (n >= INT32_MIN && n <= INT32_MAX) return Variant(static_cast<std::int32_t>(n));
      return Variant(static_cast<double>(n));
    }
    if (ec == std::errc::result_out_of_range) {
      // Digits beyond 64 bits: still a number.
      return Variant(std::strtod(std::string(text).c_str(), nullptr));
    }
    return Variant(std::string(text));  // "-", "1-2": not a number
  }
  double d = 0;
  auto [ptr, ec] = std::from_chars(begin, end, d, std::chars_format::fixed);
  if (ec == std::errc() && ptr == end) return Variant(d);
  return Variant(std::string(text));  // "1.2.3", "-.": not a number
}

bool AppendPairs(const std::vector<std::string>& fields, std::size_t first,
                 formula::VariableList& list) {
  if (first > fields.size() || (fields.size() - first) % 2 != 0) return false;
  for (std::size_t i = first; i + 1 < fields.size(); i += 2) list.Add(fields[i], TypedValue(fields[i + 1]));
  return true;
}

}  // namespace korvane::task
