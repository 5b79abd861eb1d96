// CellFormat.h: how a trace value becomes the text of a grid cell and of a
// CSV cell.
//
// The text is the value's ordinary text form (numbers with up to 15
// significant digits, dates as "yyyy-mm-dd hh:nn:ss", null as nothing). In a
// CSV line a cell whose text holds a comma, a double quote, a carriage
// return or a line feed is wrapped in double quotes with its quotes doubled;
// every other cell is written bare. These run once per cell of a possibly
// ten-million-row export, so they append into a caller's buffer.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "export/ExportRequest.h"
#include "util/Variant.h"

namespace korvane::exporting {

// Appends the text of a number exactly as FormatNumber writes it.
void AppendNumber(double value, std::string& out);
// Appends the text of a cell's value (kind tells a Time value from a number).
void AppendCellText(const Variant& value, ColumnKind kind, std::string& out);
// Appends one CSV cell: bare, or quoted when its text needs it.
void AppendCsvField(std::string_view text, std::string& out);
void AppendCsvCell(const Variant& value, ColumnKind kind, std::string& out);
// The captions line: every caption in double quotes, joined by ",", ending
// with CR LF.
std::string CaptionsLine(const std::vector<std::string>& captions);

// Reads the cells of one CSV line as RFC 4180 writes them (quoted cells may
// hold commas, doubled quotes and line breaks). pos moves past the line's
// end. For round-trip checks and for tools that read exports back.
std::vector<std::string> ReadCsvRecord(std::string_view text, std::size_t& pos);

}  // namespace korvane::exporting
