// Lexer.h: splits formula text into the terminals of the grammar table.
//
// The longest match wins; on a tie a terminal written as plain literal text
// (a keyword or operator) wins over a class pattern (Identifier), then the
// earlier one in the file. Ignored text and comments are skipped here; the
// parser sees only terminals and the end of the text. Lines and columns count
// from 1; a column counts characters, not bytes.
#pragma once

#include <string_view>

#include "formula/Grammar.h"

namespace korvane::formula {

struct LexToken {
  int symbol = 0;         // 0 at the end of the text
  std::string_view text;  // the matched text (the offending character on an error)
  int line = 1;
  int column = 1;
};

enum class LexStatus { Token, End, InvalidCharacter, UnterminatedComment };

class Lexer {
 public:
  Lexer(const CompiledGrammar& grammar, std::string_view text) : grammar_(&grammar), text_(text) {}

  // The next terminal. On InvalidCharacter and UnterminatedComment, token holds
  // the offending character or the comment's start and where it stands.
  LexStatus Next(LexToken& token);

  int Line() const { return line_; }
  int Column() const { return column_; }

 private:
  // Length of the longest match at pos_ and the pattern it belongs to (-1: none).
  std::size_t Match(int& pattern) const;
  void Advance(std::size_t length);

  const CompiledGrammar* grammar_;
  std::string_view text_;
  std::size_t pos_ = 0;
  int line_ = 1;
  int column_ = 1;
};

}  // namespace korvane::formula
