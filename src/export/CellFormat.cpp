// CellFormat.cpp: cell texts and CSV quoting.
#include "export/CellFormat.h"

#include <cctype>
#include <charconv>
#include <cmath>

namespace korvane::exporting {

void AppendNumber(double value, std::string& out) {
  if (!std::isfinite(value) || value == 0) {
    out += FormatNumber(value);
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

}  // namespace

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
  if (!NeedsQuotes(text)) {
    out += text;
    return;
  }
  out += '"';
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
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
    line += '"';
    // A quote inside a caption is doubled so the line stays one field each.
    for (char c : captions[i]) {
      if (c == '"') line += '"';
      line += c;
    }
    line += '"';
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
