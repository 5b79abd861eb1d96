// GrammarLoader.cpp: reads the grammar table file and keeps one compiled
// grammar per path for the life of the process.
//
// The file is small and text; reading it is cheap, building the automata is
// the part worth caching. A file that cannot be read is not cached, so a
// program that is told about a missing file can retry once it is in place.
#include <cctype>
#include <fstream>
#include <mutex>
#include <sstream>

#include "formula/Grammar.h"

namespace korvane::formula {

int GrammarDefinition::TerminalCount() const {
  int n = 0;
  for (const auto& s : symbols)
    if (s.kind != SymbolKind::Nonterminal) ++n;
  return n;
}

namespace {

std::string Trim(const std::string& s) {
  std::size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  std::size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

// Splits the first field off a line: a quoted 'name' (quote doubled inside)
// or a run of non-blank characters.
bool TakeField(const std::string& line, std::size_t& pos, std::string& field) {
  while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
  if (pos >= line.size()) return false;
  field.clear();
  if (line[pos] == '\'') {
    ++pos;
    while (pos < line.size()) {
      if (line[pos] == '\'') {
        if (pos + 1 < line.size() && line[pos + 1] == '\'') { field += '\''; pos += 2; continue; }
        ++pos;
        return true;
      }
      field += line[pos++];
    }
    return false;  // unterminated
  }
  while (pos < line.size() && line[pos] != ' ' && line[pos] != '\t') field += line[pos++];
  return true;
}

int FindSymbol(const GrammarDefinition& g, const std::string& name, SymbolKind kind) {
  for (std::size_t i = 0; i < g.symbols.size(); ++i)
    if (g.symbols[i].name == name && g.symbols[i].kind == kind) return static_cast<int>(i);
  return -1;
}

struct PendingRule {
  int index;
  std::string head;
  std::vector<std::string> body;  // "<X>" nonterminal, otherwise a terminal name
  int line;
};

}  // namespace

bool ParseGrammarDefinition(const std::string& text, GrammarDefinition& g, std::string& error) {
  g = GrammarDefinition{};
  g.symbols.push_back(Symbol{"EOF", SymbolKind::End});
  std::istringstream in(text);
  std::string raw, section;
  int lineNo = 0;
  std::vector<PendingRule> pending;
  auto fail = [&](const std::string& why) {
    error = "line " + std::to_string(lineNo) + ": " + why;
    return false;
  };
  while (std::getline(in, raw)) {
    ++lineNo;
    std::string line = Trim(raw);
    if (line.empty() || line[0] == '!') continue;
    if (line.front() == '[' && line.back() == ']') {
      section = line.substr(1, line.size() - 2);
      continue;
    }
    if (section == "Parameters") {
      auto eq = line.find('=');
      if (eq == std::string::npos) return fail("expected Name = value");
      g.parameters[Trim(line.substr(0, eq))] = Trim(line.substr(eq + 1));
    } else if (section == "Terminals" || section == "Ignore") {
      std::size_t pos = 0;
      std::string name;
      if (!TakeField(line, pos, name) || name.empty()) return fail("expected a terminal name");
      std::string pattern = Trim(line.substr(pos));
      if (pattern.empty()) return fail("terminal '" + name + "' has no pattern");
      TerminalPattern p;
      p.name = name;
      p.pattern = pattern;
      if (section == "Terminals") {
        if (FindSymbol(g, name, SymbolKind::Terminal) >= 0) return fail("terminal '" + name + "' twice");
        p.symbol = static_cast<int>(g.symbols.size());
        g.symbols.push_back(Symbol{name, SymbolKind::Terminal});
        p.role = PatternRole::Token;
      } else {
        p.role = PatternRole::Ignore;
      }
      g.patterns.push_back(p);
    } else if (section == "Comments") {
      auto eq = line.find('=');
      if (eq == std::string::npos) return fail("expected Line = start or Block = start end");
      std::string kind = Trim(line.substr(0, eq));
      std::istringstream parts(Trim(line.substr(eq + 1)));
      std::string start, end;
      parts >> start >> end;
      TerminalPattern p;
      p.name = kind + "Comment";
      // The delimiters become literal patterns, doubling any quote.
      std::string literal = "'";
      for (char c : start) literal += (c == '\'') ? std::string("''") : std::string(1, c);
      p.pattern = literal + "'";
      if (kind == "Line" && !start.empty()) {
        p.role = PatternRole::LineComment;
      } else if (kind == "Block" && !start.empty() && !end.empty()) {
        p.role = PatternRole::BlockComment;
        p.blockEnd = end;
      } else {
        return fail("unknown comment kind '" + kind + "'");
      }
      g.patterns.push_back(p);
    } else if (section == "Rules") {
      std::istringstream parts(line);
      PendingRule r{-1, {}, {}, lineNo};
      std::string index, arrow;
      parts >> index >> r.head >> arrow;
      try {
        r.index = std::stoi(index);
      } catch (...) {
        return fail("a rule starts with its index");
      }
      if (arrow != "::=" || r.head.size() < 3 || r.head.front() != '<' || r.head.back() != '>')
        return fail("expected <Head> ::= symbols");
      std::string rest;
      std::getline(parts, rest);
      std::size_t pos = 0;
      std::string field;
      while (TakeField(rest, pos, field)) r.body.push_back(field);
      pending.push_back(std::move(r));
    } else {
      return fail("text outside a known section");
    }
  }

  // Nonterminals in order of first appearance, heads first.
  auto nonterminal = [&](const std::string& bracketed) {
    std::string name = bracketed.substr(1, bracketed.size() - 2);
    int s = FindSymbol(g, name, SymbolKind::Nonterminal);
    if (s < 0) {
      s = static_cast<int>(g.symbols.size());
      g.symbols.push_back(Symbol{name, SymbolKind::Nonterminal});
    }
    return s;
  };
  for (std::size_t i = 0; i < pending.size(); ++i) {
    const PendingRule& r = pending[i];
    lineNo = r.line;
    if (r.index != static_cast<int>(i)) return fail("rule index " + std::to_string(r.index) + " out of order");
    GrammarRule rule;
    rule.head = nonterminal(r.head);
    for (const auto& s : r.body) {
      if (s.size() >= 3 && s.front() == '<' && s.back() == '>') {
        rule.symbols.push_back(nonterminal(s));
      } else {
        int t = FindSymbol(g, s, SymbolKind::Terminal);
        if (t < 0) return fail("unknown terminal '" + s + "'");
        rule.symbols.push_back(t);
      }
    }
    g.rules.push_back(std::move(rule));
  }
  lineNo = 0;
  if (g.rules.empty()) return fail("no rules");
  for (std::size_t s = 0; s < g.symbols.size(); ++s) {
    if (g.symbols[s].kind != SymbolKind::Nonterminal) continue;
    bool defined = false;
    for (const auto& r : g.rules) defined = defined || r.head == static_cast<int>(s);
    if (!defined) return fail("nonterminal <" + g.symbols[s].name + "> has no rule");
  }
  auto start = g.parameters.find("Start Symbol");
  if (start == g.parameters.end()) return fail("no Start Symbol parameter");
  g.startSymbol = FindSymbol(g, start->second, SymbolKind::Nonterminal);
  if (g.startSymbol < 0) return fail("start symbol <" + start->second + "> has no rule");
  auto cs = g.parameters.find("Case Sensitive");
  g.caseSensitive = cs != g.parameters.end() && (cs->second == "True" || cs->second == "true");
  return true;
}

std::shared_ptr<const CompiledGrammar> LoadGrammar(const std::string& path, std::string* error) {
  static std::mutex mutex;
  static std::map<std::string, std::shared_ptr<const CompiledGrammar>> cache;
  std::lock_guard<std::mutex> lock(mutex);
  auto found = cache.find(path);
  if (found != cache.end()) return found->second;

  std::string why;
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    if (error) *error = "cannot open " + path;
    return nullptr;
  }
  std::ostringstream text;
  text << file.rdbuf();
  auto compiled = std::make_shared<CompiledGrammar>();
  if (!ParseGrammarDefinition(text.str(), compiled->definition, why) ||
      !BuildLexerAutomaton(compiled->definition, compiled->lexer, why) ||
      !BuildLalrTables(compiled->definition, compiled->tables, why)) {
    if (error) *error = path + ": " + why;
    return nullptr;
  }
  cache[path] = compiled;
  return compiled;
}

}  // namespace korvane::formula
