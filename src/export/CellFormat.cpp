// CellFormat.cpp: cell texts and CSV quoting.
#include "export/CellFormat.h"

#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace korvane::exporting {

namespace {

using Wide = unsigned __int128;

Wide PowerOfTen(int n) {
  static const auto powers = [] {
    std::array<Wide, 23> p{};
    p[0] = 1;
    for (std::size_t i = 1; i < p.size(); ++i) p[i] = p[i - 1] * 10;
    return p;
  }();
  return powers[static_cast<std::size_t>(n)];
}

// q = round(numerator / denominator), ties to even, as printf rounds.
std::uint64_t RoundedQuotient(Wide numerator, Wide denominator) {
  Wide q = numerator / denominator;
  Wide twice = (numerator % denominator) * 2;
  if (twice > denominator || (twice == denominator && (q & 1))) ++q;
  return static_cast<std::uint64_t>(q);
}

// The 15 significant digits of |value| rounded exactly as "%.15G" rounds
// them, with integer arithmetic: |value| = m * 2^e, scaled by a power of ten
// that 128 bits hold. False outside the range that covers trace values.
bool FifteenDigits(double value, std::uint64_t& digits, int& exponent10) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  const int biased = static_cast<int>((bits >> 52) & 0x7FF);
  if (biased == 0) return false;  // subnormal
  const std::uint64_t m = (bits & ((1ULL << 52) - 1)) | (1ULL << 52);
  const int e = biased - 1075;  // |value| = m * 2^e, m of 53 bits
  // floor(log10(2) * (e + 52)), within one of the decimal exponent.
  int x = ((e + 52) * 78913) >> 18;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int shift = 14 - x;  // digits = |value| * 10^shift
    std::uint64_t q;
    if (shift >= 0) {
      if (shift > 22 || e >= 0 || -e > 120) return false;
      // Division by 2^-e is a shift; the bits shifted out decide the rounding.
      const Wide scaled = static_cast<Wide>(m) * PowerOfTen(shift);
      const int bits = -e;
      Wide whole = scaled >> bits;
      const Wide rest = scaled & ((static_cast<Wide>(1) << bits) - 1);
      const Wide half = static_cast<Wide>(1) << (bits - 1);
      if (rest > half || (rest == half && (whole & 1))) ++whole;
      q = static_cast<std::uint64_t>(whole);
    } else {
      if (-shift > 22 || e > 40 || e < -60) return false;
      q = e >= 0 ? RoundedQuotient(static_cast<Wide>(m) << e, PowerOfTen(-shift))
                 : RoundedQuotient(m, PowerOfTen(-shift) << -e);
    }
    if (q >= 1000000000000000ULL) { ++x; continue; }
    if (q < 100000000000000ULL) { --x; continue; }
    digits = q;
    exponent10 = x;
    return true;
  }
  return false;
}

// Writes 15 digits and an exponent in the layout "%G" uses: trailing zeros
// dropped, plain notation for exponents -4 to 14, else d.dddE+XX.
void AppendGeneral(bool negative, std::uint64_t mantissa, int x, std::string& out) {
  char digits[16];
  for (int i = 14; i >= 0; --i) {
    digits[i] = static_cast<char>('0' + mantissa % 10);
    mantissa /= 10;
  }
  int count = 15;
  while (count > 1 && digits[count - 1] == '0') --count;
  char text[40];
  char* p = text;
  if (negative) *p++ = '-';
  if (x < -4 || x >= 15) {
    *p++ = digits[0];
    if (count > 1) {
      *p++ = '.';
      for (int i = 1; i < count; ++i) *p++ = digits[i];
    }
    *p++ = 'E';
    *p++ = x < 0 ? '-' : '+';
    int magnitude = x < 0 ? -x : x;
    if (magnitude >= 100) *p++ = static_cast<char>('0' + magnitude / 100);
    *p++ = static_cast<char>('0' + magnitude / 10 % 10);
    *p++ = static_cast<char>('0' + magnitude % 10);
  } else if (x >= 0) {
    const int whole = x + 1;
    for (int i = 0; i < whole; ++i) *p++ = i < count ? digits[i] : '0';
    if (count > whole) {
      *p++ = '.';
      for (int i = whole; i < count; ++i) *p++ = digits[i];
    }
  } else {
    *p++ = '0';
    *p++ = '.';
    for (int i = 0; i < -x - 1; ++i) *p++ = '0';
    for (int i = 0; i < count; ++i) *p++ = digits[i];
  }
  out.append(text, p);
}

}  // namespace

void AppendNumber(double value, std::string& out) {
  if (!std::isfinite(value) || value == 0) {
    out += FormatNumber(value);
    return;
  }
  std::uint64_t digits = 0;
  int exponent10 = 0;
  if (FifteenDigits(value, digits, exponent10)) {
    AppendGeneral(value < 0, digits, exponent10, out);
    return;
  }
  // Same digits as "%.15G", without the locale and format parsing of printf.
  char buffer[40];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 15);
  for (char* p = buffer; p != result.ptr; ++p)
    if (*p == 'e') *p = 'E';
  out.append(buffer, result.ptr);
}

namespace {

void AppendInteger(long long value, std::string& out) {
  char buffer[24];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

bool NeedsQuotes(std::string_view text) {
  return text.find_first_of(",\"\r\n") != std::string_view::npos;
}

// The text in double quotes, a quote inside it doubled.
void AppendQuoted(std::string_view text, std::string& out) {
  out += '"';
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

// The trace keeps Time as "yyyy-mm-dd hh:nn:ss.zzz"; its text form is the
// part before the milliseconds. Anything else goes through the date reader.
void AppendTimeText(const std::string& stored, std::string& out) {
  static constexpr char kPattern[] = "dddd-dd-dd dd:dd:dd";
  bool plain = stored.size() >= 19 && (stored.size() == 19 || stored[19] == '.');
  for (std::size_t i = 0; plain && i < 19; ++i)
    plain = kPattern[i] == 'd' ? std::isdigit(static_cast<unsigned char>(stored[i])) != 0 : stored[i] == kPattern[i];
  if (plain) {
    out.append(stored, 0, 19);
    return;
  }
  DateValue date;
  if (ParseDate(stored, date)) out += FormatDate(date);
  else out += stored;
}

}  // namespace

void AppendCellText(const Variant& value, ColumnKind kind, std::string& out) {
  switch (value.Type()) {
    case VariantType::Integer: AppendInteger(value.AsInteger(), out); return;
    case VariantType::Long: AppendInteger(value.AsLong(), out); return;
    case VariantType::Double:
      // The trace keeps Time as a day count; it reads as a date.
      if (kind == ColumnKind::Time) out += FormatDate(DateValue{value.AsDouble()});
      else AppendNumber(value.AsDouble(), out);
      return;
    case VariantType::String:
      if (kind == ColumnKind::Time) AppendTimeText(value.AsString(), out);
      else out += value.AsString();
      return;
    default: out += value.ToText(); return;
  }
}

void AppendCsvField(std::string_view text, std::string& out) {
  if (NeedsQuotes(text)) AppendQuoted(text, out);
  else out += text;
}

void AppendCsvCell(const Variant& value, ColumnKind kind, std::string& out) {
  if (!value.IsString()) {
    AppendCellText(value, kind, out);
  } else if (kind != ColumnKind::Time) {
    AppendCsvField(value.AsString(), out);
  } else {
    // A stored time that is not a date stays as it is, quoted if need be.
    std::size_t start = out.size();
    AppendTimeText(value.AsString(), out);
    if (NeedsQuotes(std::string_view(out).substr(start))) {
      std::string cell = out.substr(start);
      out.resize(start);
      AppendCsvField(cell, out);
    }
  }
}

std::string CaptionsLine(const std::vector<std::string>& captions) {
  std::string line;
  for (std::size_t i = 0; i < captions.size(); ++i) {
    if (i) line += ',';
    AppendQuoted(captions[i], line);
  }
  line += "\r\n";
  return line;
}

std::vector<std::string> ReadCsvRecord(std::string_view text, std::size_t& pos) {
  std::vector<std::string> cells;
  std::string cell;
  bool quoted = false;
  while (pos < text.size()) {
    char c = text[pos++];
    if (quoted) {
      if (c != '"') {
        cell += c;
      } else if (pos < text.size() && text[pos] == '"') {
        cell += '"';
        ++pos;
      } else {
        quoted = false;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      cells.push_back(std::move(cell));
      cell.clear();
    } else if (c == '\r' || c == '\n') {
      if (c == '\r' && pos < text.size() && text[pos] == '\n') ++pos;
      cells.push_back(std::move(cell));
      return cells;
    } else {
      cell += c;
    }
  }
  cells.push_back(std::move(cell));
  return cells;
}

}  // namespace korvane::exporting
