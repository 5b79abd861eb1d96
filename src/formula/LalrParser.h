// LalrParser.h: the table-driven LALR(1) parser engine of the formula
// language.
//
// The caller opens a text and calls Parse repeatedly; each call returns one
// message. After a Reduction the caller reads CurrentReduction (the rule and
// its right-hand-side tokens) and replaces its data with the node it built;
// later reductions see that node as the token's data. After Accept the
// current reduction's data is the root. On a syntax error the expected
// terminals are those with an action in the current state, in symbol order.
//
// The parse stack is an explicit vector; its depth is capped so that hostile
// input ends with NestingTooDeep instead of exhausting memory.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "formula/Grammar.h"
#include "formula/Lexer.h"

namespace korvane::formula {

class Node;

enum class ParseMessage {
  TokenRead = 1,
  Reduction = 2,
  Accept = 3,
  NotLoaded = 4,
  LexicalError = 5,
  SyntaxError = 6,
  CommentError = 7,
  InternalError = 8,
  NestingTooDeep = 9,
};

struct ParseToken {
  int symbol = 0;
  std::string_view text;  // a terminal's matched text
  int line = 1;
  int column = 1;
  Node* data = nullptr;   // a nonterminal's node
};

struct Reduction {
  int ruleIndex = 0;
  int symbolCount = 0;
  std::span<const ParseToken> tokens;
  std::string_view SymbolName(int token) const;
  const CompiledGrammar* grammar = nullptr;
};

class LalrParser {
 public:
  // Open symbols at most: an ELSE IF chain keeps five per branch open.
  static constexpr std::size_t kMaxStackDepth = 100000;

  explicit LalrParser(std::shared_ptr<const CompiledGrammar> grammar = nullptr) : grammar_(std::move(grammar)) {}
  bool IsLoaded() const { return grammar_ != nullptr; }
  const CompiledGrammar* Grammar() const { return grammar_.get(); }

  // The value of a [Parameters] entry ("Version"); empty when absent.
  std::string Parameter(const std::string& name) const;

  // The text must outlive the parse.
  void Open(std::string_view text);
  // When set, reductions by a rule with one nonterminal on the right are not
  // reported: the child's data passes up. Off by default.
  void SetTrimReductions(bool trim) { trim_ = trim; }
  void Reset();

  ParseMessage Parse();

  const Reduction& CurrentReduction() const { return reduction_; }
  void SetReductionData(Node* node) { reductionData_ = node; }
  Node* ReductionData() const { return reductionData_; }
  const LexToken& CurrentToken() const { return lookahead_; }

  // After a syntax error: the terminals that would have been accepted.
  int ExpectedCount() const { return static_cast<int>(expected_.size()); }
  std::string_view ExpectedName(int index) const;

  int CurrentLine() const { return line_; }
  int CurrentColumn() const { return column_; }

 private:
  struct StackEntry {
    int state;
    ParseToken token;
  };

  std::shared_ptr<const CompiledGrammar> grammar_;
  std::string_view text_;
  std::unique_ptr<Lexer> lexer_;
  std::vector<StackEntry> stack_;
  std::vector<ParseToken> reductionTokens_;
  Reduction reduction_;
  Node* reductionData_ = nullptr;
  bool pendingReduction_ = false;
  bool haveLookahead_ = false;
  bool trim_ = false;
  bool done_ = false;
  LexToken lookahead_;
  std::vector<int> expected_;
  int line_ = 1;
  int column_ = 1;
};

}  // namespace korvane::formula
