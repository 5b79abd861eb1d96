// Grammar.h: the grammar table of the formula language as loaded from
// resources/Formula-v6.cgt, and the automata built from it.
//
// Layering inside src/formula: GrammarLoader reads the file into a
// GrammarDefinition; Lexer compiles the terminal patterns into one
// deterministic automaton; LalrParser builds the LALR(1) tables and runs them.
// A CompiledGrammar is immutable once built and shared by every parse of the
// process.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace korvane::formula {

// Symbol 0 is the end of the text ("EOF"); the terminals of the file follow in
// their order, then the nonterminals in order of first appearance.
enum class SymbolKind { End, Terminal, Nonterminal };

struct Symbol {
  std::string name;
  SymbolKind kind = SymbolKind::Terminal;
};

struct GrammarRule {
  int head = 0;              // a nonterminal symbol
  std::vector<int> symbols;  // right-hand side
};

// What the lexer may match besides the terminals.
enum class PatternRole { Token, Ignore, LineComment, BlockComment };

struct TerminalPattern {
  int symbol = -1;  // the terminal, or -1 for ignored text and comments
  PatternRole role = PatternRole::Token;
  std::string name;
  std::string pattern;  // in the file's pattern notation
  std::string blockEnd; // the closing text of a block comment
};

struct GrammarDefinition {
  std::map<std::string, std::string> parameters;
  std::vector<Symbol> symbols;
  std::vector<GrammarRule> rules;
  std::vector<TerminalPattern> patterns;
  int startSymbol = -1;
  bool caseSensitive = false;

  int TerminalCount() const;  // including EOF
};

// A deterministic automaton over bytes; state 0 is the start.
struct LexerAutomaton {
  static constexpr int kNoState = -1;
  std::vector<std::int32_t> next;    // state * 256 + byte
  std::vector<std::int32_t> accept;  // index into the definition's patterns, or -1
};

// LALR(1) tables. An action is encoded as: 0 error, s + 1 shift to state s,
// -(r + 1) reduce by rule r, kAccept accept.
struct LalrTables {
  static constexpr std::int32_t kAccept = INT32_MIN;
  int terminalCount = 0;
  int stateCount = 0;
  std::vector<std::int32_t> action;  // state * terminalCount + terminal
  std::vector<std::int32_t> gotoTo;  // state * symbolCount + symbol (nonterminals), -1 none
  int symbolCount = 0;
};

struct CompiledGrammar {
  GrammarDefinition definition;
  LexerAutomaton lexer;
  LalrTables tables;
};

// Reads and checks the grammar file text; on failure returns false with a
// reason in error.
bool ParseGrammarDefinition(const std::string& text, GrammarDefinition& out, std::string& error);

// Compiles the patterns (Lexer.cpp) and the tables (LalrParser.cpp).
bool BuildLexerAutomaton(const GrammarDefinition& grammar, LexerAutomaton& out, std::string& error);
bool BuildLalrTables(const GrammarDefinition& grammar, LalrTables& out, std::string& error);

// The grammar of that file, built once per process and path. nullptr when the
// file cannot be read or is not a valid grammar (error says why).
std::shared_ptr<const CompiledGrammar> LoadGrammar(const std::string& path, std::string* error = nullptr);

}  // namespace korvane::formula
