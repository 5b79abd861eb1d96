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

namespace {

std::string_view CommandOf(std::string_view line) { return line.substr(0, line.find('|')); }

}  // namespace

bool IsTaskCommand(std::string_view command) {
  command = CommandOf(command);
  for (std::string_view known : {"START", "RESET", "STOP", "ERROR", "PRIOR"})
    if (formula::EqualsIgnoreCase(command, known)) return true;
  return IsExecutorCommand(command);
}

bool IsExecutorCommand(std::string_view command) {
  command = CommandOf(command);
  for (std::string_view known : {"CUES", "ALTERNATIVE", "FEEDBACK", "STATE", "OUTCOME", "CHOOSE"})
    if (formula::EqualsIgnoreCase(command, known)) return true;
  return false;
}

bool LooksLikeHttpRequest(std::string_view line) {
  // A method in capitals, a space, then a target; or a version anywhere.
  for (std::string_view method : {"GET ", "POST ", "HEAD ", "PUT ", "DELETE ", "OPTIONS ", "CONNECT ", "PATCH ", "TRACE "})
    if (line.substr(0, method.size()) == method) return true;
  return line.find(" HTTP/1.") != std::string_view::npos || line.find(" HTTP/2") != std::string_view::npos;
}

std::string Excerpt(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  std::size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // inside a UTF-8 character
  return std::string(text.substr(0, cut)) + "... (" + std::to_string(text.size()) + " bytes)";
}

}  // namespace korvane::task
