// SqlText.cpp: the little that the layer reads of SQL text itself: the
// dialect words SQLite does not know, and whether a SELECT can be written back.
#include <cctype>
#include <vector>

#include "store/DatabaseInternal.h"

namespace korvane::store {

namespace {

enum class TokenKind { Word, Quoted, Other };

struct Token {
  TokenKind kind;
  std::size_t begin;
  std::size_t end;
  int depth;  // parentheses around the token
  std::string upper;  // words only
};

// Splits SQL text into words, quoted strings and names, and single other
// characters; whitespace and comments are dropped.
std::vector<Token> Tokenize(const std::string& sql) {
  std::vector<Token> tokens;
  int depth = 0;
  std::size_t i = 0;
  const std::size_t n = sql.size();
  while (i < n) {
    unsigned char c = static_cast<unsigned char>(sql[i]);
    if (std::isspace(c)) { ++i; continue; }
    if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
      while (i < n && sql[i] != '\n') ++i;
      continue;
    }
    if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
      std::size_t close = sql.find("*/", i + 2);
      i = close == std::string::npos ? n : close + 2;
      continue;
    }
    if (c == '\'' || c == '"' || c == '`' || c == '[') {
      char closing = c == '[' ? ']' : static_cast<char>(c);
      std::size_t j = i + 1;
      while (j < n) {
        if (sql[j] == closing) {
          if (closing != ']' && j + 1 < n && sql[j + 1] == closing) { j += 2; continue; }
          break;
        }
        ++j;
      }
      std::size_t end = j < n ? j + 1 : n;
      tokens.push_back({TokenKind::Quoted, i, end, depth, {}});
      i = end;
      continue;
    }
    if (std::isalpha(c) || c == '_' || c >= 0x80) {
      std::size_t j = i;
      while (j < n && (std::isalnum(static_cast<unsigned char>(sql[j])) || sql[j] == '_' ||
                       static_cast<unsigned char>(sql[j]) >= 0x80))
        ++j;
      std::string upper;
      for (std::size_t k = i; k < j; ++k) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(sql[k])));
      tokens.push_back({TokenKind::Word, i, j, depth, upper});
      i = j;
      continue;
    }
    if (c == ')') --depth;
    tokens.push_back({TokenKind::Other, i, i + 1, depth, std::string(1, static_cast<char>(c))});
    if (c == '(') ++depth;
    ++i;
  }
  return tokens;
}

}  // namespace

std::string TranslateDialect(const std::string& sql) {
  std::vector<Token> tokens = Tokenize(sql);
  std::string out;
  std::size_t copied = 0;
  for (const auto& token : tokens) {
    if (token.kind != TokenKind::Word || token.upper != "DISTINCTROW") continue;
    out.append(sql, copied, token.begin - copied);
    copied = token.end;
  }
  if (copied == 0) return sql;
  out.append(sql, copied, std::string::npos);
  return out;
}

SelectShape AnalyseSelect(const std::string& sql) {
  SelectShape shape;
  std::vector<Token> tokens = Tokenize(sql);
  if (tokens.empty() || tokens[0].upper != "SELECT") return shape;
  int froms = 0;
  bool inFrom = false;
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    const Token& t = tokens[i];
    if (t.depth != 0) continue;
    if (t.kind == TokenKind::Word) {
      const std::string& w = t.upper;
      if (w == "DISTINCT" || w == "GROUP" || w == "UNION" || w == "JOIN" || w == "HAVING" || w == "INTERSECT" ||
          w == "EXCEPT" || w == "WINDOW" || w == "VALUES")
        return shape;
      if (w == "FROM") {
        if (++froms > 1) return shape;
        shape.fromOffset = t.begin;
        inFrom = true;
        continue;
      }
      if (w == "WHERE" || w == "ORDER" || w == "LIMIT") inFrom = false;
    } else if (t.kind == TokenKind::Other && inFrom && (t.upper == "," || t.upper == "(")) {
      return shape;  // several tables, or a table-valued function or subquery
    }
  }
  shape.singleTable = froms == 1;
  return shape;
}

}  // namespace korvane::store
