// Variant.cpp: the shared value rules (text form, number reader, dates).
#include "util/Variant.h"

#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace korvane {

bool Variant::IsNumber() const {
  auto t = Type();
  return t == VariantType::Integer || t == VariantType::Long || t == VariantType::Double;
}

std::string Variant::ToText() const {
  switch (Type()) {
    case VariantType::Empty:
    case VariantType::Null:
    case VariantType::Object: return {};
    case VariantType::Integer: return std::to_string(AsInteger());
    case VariantType::Long: return std::to_string(AsLong());
    case VariantType::Double: return FormatNumber(AsDouble());
    case VariantType::String: return AsString();
    case VariantType::Boolean: return AsBoolean() ? "True" : "False";
    case VariantType::Date: return FormatDate(AsDate());
  }
  return {};
}

double Variant::ToNumber() const {
  switch (Type()) {
    case VariantType::Integer: return AsInteger();
    case VariantType::Long: return AsLong();
    case VariantType::Double: return AsDouble();
    case VariantType::String: return ReadNumber(AsString());
    case VariantType::Date: return AsDate().days;
    default: return 0;
  }
}

bool Variant::operator==(const Variant& other) const { return value_ == other.value_; }

namespace {

bool IsSkippable(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// Reads digits of a radix after an "&H" or "&O" prefix; the value is taken as
// a signed 32-bit pattern when it fits in 32 bits, as the platform does.
double ReadRadix(std::string_view text, std::size_t pos, int radix, std::size_t* end) {
  std::uint64_t value = 0;
  std::size_t digits = 0;
  for (; pos < text.size(); ++pos) {
    char c = static_cast<char>(std::toupper(static_cast<unsigned char>(text[pos])));
    int d = -1;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (radix == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    if (d < 0 || d >= radix) break;
    value = value * radix + d;
    if (value > 0xFFFFFFFFull) value = 0xFFFFFFFFull;
    ++digits;
  }
  if (end) *end = pos;
  if (digits == 0) return 0;
  if (value <= 0xFFFFull && digits <= (radix == 16 ? 4u : 6u))
    return static_cast<double>(static_cast<std::int16_t>(value));
  return static_cast<double>(static_cast<std::int32_t>(static_cast<std::uint32_t>(value)));
}

// The reader shared by ReadNumber and IsNumericText. Returns the value and sets
// *end to the position after the number (0 digits read: *end == start).
double ScanNumber(std::string_view text, bool skipInside, std::size_t* end, bool* any) {
  std::size_t i = 0;
  auto skip = [&] {
    while (skipInside && i < text.size() && IsSkippable(text[i])) ++i;
  };
  while (i < text.size() && IsSkippable(text[i])) ++i;
  *any = false;
  if (i + 1 < text.size() && text[i] == '&') {
    char p = static_cast<char>(std::toupper(static_cast<unsigned char>(text[i + 1])));
    if (p == 'H' || p == 'O') {
      std::size_t stop = i + 2;
      double v = ReadRadix(text, i + 2, p == 'H' ? 16 : 8, &stop);
      *any = stop > i + 2;
      *end = stop;
      return v;
    }
  }
  std::string digits;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    if (text[i] == '-') digits += '-';
    ++i;
    skip();
  }
  bool mantissa = false;
  while (i < text.size()) {
    if (std::isdigit(static_cast<unsigned char>(text[i]))) { digits += text[i++]; mantissa = true; }
    else if (skipInside && IsSkippable(text[i])) ++i;
    else break;
  }
  if (i < text.size() && text[i] == '.') {
    digits += '.';
    ++i;
    while (i < text.size()) {
      if (std::isdigit(static_cast<unsigned char>(text[i]))) { digits += text[i++]; mantissa = true; }
      else if (skipInside && IsSkippable(text[i])) ++i;
      else break;
    }
  }
  if (!mantissa) { *end = 0; return 0; }
  std::size_t beforeExponent = i;
  if (i < text.size() && (text[i] == 'E' || text[i] == 'e' || text[i] == 'D' || text[i] == 'd')) {
    std::size_t j = i + 1;
    std::string exponent = "e";
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) exponent += text[j++];
    bool expDigits = false;
    while (j < text.size() && std::isdigit(static_cast<unsigned char>(text[j]))) {
      exponent += text[j++];
      expDigits = true;
    }
    if (expDigits) { digits += exponent; i = j; }
    else i = beforeExponent;
  }
  *any = true;
  *end = i;
  double v = std::strtod(digits.c_str(), nullptr);
  return v;
}

}  // namespace

double ReadNumber(std::string_view text) {
  std::size_t end = 0;
  bool any = false;
  double v = ScanNumber(text, true, &end, &any);
  return any ? v : 0.0;
}

bool IsNumericText(std::string_view text) {
  std::size_t end = 0;
  bool any = false;
  ScanNumber(text, false, &end, &any);
  if (!any) return false;
  while (end < text.size() && IsSkippable(text[end])) ++end;
  return end == text.size();
}

bool IsNumericValue(const Variant& value) {
  switch (value.Type()) {
    case VariantType::Empty:
    case VariantType::Integer:
    case VariantType::Long:
    case VariantType::Double:
    case VariantType::Boolean:
    case VariantType::Date: return true;
    case VariantType::String: return IsNumericText(value.AsString());
    default: return false;
  }
}

std::string FormatNumber(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
  if (value == 0) return "0";
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%.15G", value);
  std::string text = buffer;
  // "%G" drops trailing zeros of the fraction already; the exponent keeps at
  // least two digits ("1E-05"), as the platform writes it.
  return text;
}

namespace {
// Days from 1899-12-30 to 1970-01-01.
constexpr double kEpochOffsetDays = 25569.0;

std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t yy = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp + (mp < 10 ? 3 : -9);
  y = static_cast<int>(yy + (m <= 2));
}
}  // namespace

DateValue DateNow() {
  using namespace std::chrono;
  auto now = system_clock::now();
  std::time_t seconds = system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&seconds, &local);
  auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::int64_t days = DaysFromCivil(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  double fraction = (local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + ms / 1000.0) / 86400.0;
  return DateValue{static_cast<double>(days) + kEpochOffsetDays + fraction};
}

std::string FormatDate(DateValue date, bool withMilliseconds) {
  double whole = std::floor(date.days);
  std::int64_t totalMs = std::llround((date.days - whole) * 86400000.0);
  std::int64_t day = static_cast<std::int64_t>(whole) - static_cast<std::int64_t>(kEpochOffsetDays);
  if (totalMs >= 86400000) { totalMs -= 86400000; ++day; }
  int y; unsigned m, d;
  CivilFromDays(day, y, m, d);
  int hh = static_cast<int>(totalMs / 3600000);
  int nn = static_cast<int>(totalMs / 60000 % 60);
  int ss = static_cast<int>(totalMs / 1000 % 60);
  int zzz = static_cast<int>(totalMs % 1000);
  char buffer[48];
  if (withMilliseconds)
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02u %02d:%02d:%02d.%03d", y, m, d, hh, nn, ss, zzz);
  else
    std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02u %02d:%02d:%02d", y, m, d, hh, nn, ss);
  return buffer;
}

bool ParseDate(std::string_view text, DateValue& out) {
  int y = 0, mo = 0, d = 0, hh = 0, nn = 0, ss = 0, ms = 0;
  std::string s(text);
  int n = std::sscanf(s.c_str(), "%d-%d-%d %d:%d:%d.%d", &y, &mo, &d, &hh, &nn, &ss, &ms);
  if (n != 3 && n < 6) return false;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || hh < 0 || hh > 23 || nn < 0 || nn > 59 || ss < 0 || ss > 59)
    return false;
  std::int64_t days = DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d));
  out.days = static_cast<double>(days) + kEpochOffsetDays +
             (hh * 3600.0 + nn * 60.0 + ss + ms / 1000.0) / 86400.0;
  return true;
}

}  // namespace korvane
