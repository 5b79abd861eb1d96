// DatabaseInternal.h: helpers shared by the files of the SQLite layer only.
// Nothing outside src/store includes this.
#pragma once

#include <cstddef>
#include <string>

#include "store/Database.h"

namespace korvane::store {

// The model files' SQL dialect read as SQLite's: DISTINCTROW dropped (on one
// table it selects every row, so "UPDATE DISTINCTROW" is a plain UPDATE).
// Quoted strings, quoted names and comments are left as they are. TRUE,
// FALSE and NOW() need no rewriting (NOW is a function of each connection).
std::string TranslateDialect(const std::string& sql);

// Whether a SELECT reads the rows of one table one to one (no join, grouping,
// DISTINCT or compound), so that each row it returns can be written back.
struct SelectShape {
  bool singleTable = false;
  std::size_t fromOffset = 0;  // where the top-level FROM begins
};
SelectShape AnalyseSelect(const std::string& sql);

Variant ReadStatementValue(sqlite3_stmt* stmt, int column);
void BindStatementValue(sqlite3* db, sqlite3_stmt* stmt, int index, const Variant& value);
[[noreturn]] void RaiseEngineError(sqlite3* db, int rc, const std::string& context);

}  // namespace korvane::store
