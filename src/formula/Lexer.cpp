// Lexer.cpp: compiles the terminal patterns of the grammar table into one
// deterministic automaton (pattern -> NFA -> DFA by subset construction), and
// scans formula text with it.
#include "formula/Lexer.h"

#include <algorithm>
#include <bitset>
#include <map>

namespace korvane::formula {

namespace {

using CharSet = std::bitset<256>;

struct NfaState {
  std::vector<int> epsilon;
  CharSet chars;
  int onChars = -1;  // target of the chars edge
  int accept = -1;   // pattern index
};

struct Fragment {
  int start;
  int end;  // a state with no outgoing edges yet
};

// Recursive-descent reader of one pattern; builds Thompson fragments.
class PatternCompiler {
 public:
  PatternCompiler(std::vector<NfaState>& nfa, const std::string& pattern, bool caseSensitive)
      : nfa_(nfa), p_(pattern), caseSensitive_(caseSensitive) {}

  bool Compile(Fragment& out, std::string& error) {
    depth_ = 0;
    if (!Alternation(out)) { error = error_; return false; }
    Skip();
    if (i_ != p_.size()) { error = "unexpected '" + std::string(1, p_[i_]) + "' in pattern"; return false; }
    return true;
  }

  // True when the whole pattern is literal text only.
  static bool IsLiteral(const std::string& pattern) {
    std::size_t i = 0;
    bool any = false;
    while (i < pattern.size()) {
      if (pattern[i] == ' ' || pattern[i] == '\t') { ++i; continue; }
      if (pattern[i] != '\'') return false;
      ++i;
      for (;;) {
        if (i >= pattern.size()) return false;
        if (pattern[i] == '\'') {
          if (i + 1 < pattern.size() && pattern[i + 1] == '\'') { i += 2; continue; }
          ++i;
          break;
        }
        ++i;
      }
      any = true;
    }
    return any;
  }

 private:
  int NewState() {
    nfa_.push_back(NfaState{});
    return static_cast<int>(nfa_.size()) - 1;
  }
  void Skip() {
    while (i_ < p_.size() && (p_[i_] == ' ' || p_[i_] == '\t')) ++i_;
  }
  bool Fail(const std::string& why) {
    error_ = why;
    return false;
  }
  CharSet Fold(CharSet set) const {
    if (caseSensitive_) return set;
    for (int c = 'a'; c <= 'z'; ++c) {
      if (set[c]) set.set(c - 'a' + 'A');
      if (set[c - 'a' + 'A']) set.set(c);
    }
    return set;
  }
  Fragment Single(const CharSet& set) {
    int a = NewState(), b = NewState();
    nfa_[a].chars = set;
    nfa_[a].onChars = b;
    return {a, b};
  }
  Fragment Empty() {
    int a = NewState(), b = NewState();
    nfa_[a].epsilon.push_back(b);
    return {a, b};
  }
  Fragment Join(Fragment x, Fragment y) {
    nfa_[x.end].epsilon.push_back(y.start);
    return {x.start, y.end};
  }

  bool Alternation(Fragment& out) {
    if (++depth_ > 50) return Fail("pattern nested too deeply");
    Fragment first;
    if (!Sequence(first)) return false;
    Skip();
    if (i_ >= p_.size() || p_[i_] != '|') { out = first; --depth_; return true; }
    int s = NewState(), e = NewState();
    nfa_[s].epsilon.push_back(first.start);
    nfa_[first.end].epsilon.push_back(e);
    while (i_ < p_.size() && p_[i_] == '|') {
      ++i_;
      Fragment next;
      if (!Sequence(next)) return false;
      nfa_[s].epsilon.push_back(next.start);
      nfa_[next.end].epsilon.push_back(e);
      Skip();
    }
    out = {s, e};
    --depth_;
    return true;
  }

  bool Sequence(Fragment& out) {
    out = Empty();
    for (;;) {
      Skip();
      if (i_ >= p_.size() || p_[i_] == '|' || p_[i_] == ')') return true;
      Fragment atom;
      if (!Postfix(atom)) return false;
      out = Join(out, atom);
    }
  }

  bool Postfix(Fragment& out) {
    if (!Atom(out)) return false;
    for (;;) {
      if (i_ >= p_.size()) return true;
      char op = p_[i_];
      if (op != '*' && op != '+' && op != '?') return true;
      ++i_;
      int s = NewState(), e = NewState();
      nfa_[s].epsilon.push_back(out.start);
      nfa_[out.end].epsilon.push_back(e);
      if (op != '+') nfa_[s].epsilon.push_back(e);
      if (op != '?') nfa_[out.end].epsilon.push_back(out.start);
      out = {s, e};
    }
  }

  bool Atom(Fragment& out) {
    char c = p_[i_];
    if (c == '\'') {
      ++i_;
      out = Empty();
      bool closed = false;
      while (i_ < p_.size()) {
        if (p_[i_] == '\'') {
          if (i_ + 1 < p_.size() && p_[i_ + 1] == '\'') {
            i_ += 2;
            CharSet set;
            set.set('\'');
            out = Join(out, Single(Fold(set)));
            continue;
          }
          ++i_;
          closed = true;
          break;
        }
        CharSet set;
        set.set(static_cast<unsigned char>(p_[i_++]));
        out = Join(out, Single(Fold(set)));
      }
      return closed ? true : Fail("unterminated literal in pattern");
    }
    if (c == '[') return Class(out);
    if (c == '(') {
      ++i_;
      if (!Alternation(out)) return false;
      Skip();
      if (i_ >= p_.size() || p_[i_] != ')') return Fail("missing ')' in pattern");
      ++i_;
      return true;
    }
    return Fail("unexpected '" + std::string(1, c) + "' in pattern");
  }

  bool ClassChar(unsigned char& out) {
    if (i_ >= p_.size()) return Fail("unterminated class in pattern");
    char c = p_[i_++];
    if (c != '\\') { out = static_cast<unsigned char>(c); return true; }
    if (i_ >= p_.size()) return Fail("unterminated class in pattern");
    char e = p_[i_++];
    switch (e) {
      case 't': out = '\t'; break;
      case 'n': out = '\n'; break;
      case 'r': out = '\r'; break;
      case 'f': out = '\f'; break;
      case 'v': out = '\v'; break;
      default: out = static_cast<unsigned char>(e); break;
    }
    return true;
  }

  bool Class(Fragment& out) {
    ++i_;  // '['
    bool negate = false;
    if (i_ < p_.size() && p_[i_] == '^') { negate = true; ++i_; }
    CharSet set;
    for (;;) {
      if (i_ >= p_.size()) return Fail("unterminated class in pattern");
      if (p_[i_] == ']') { ++i_; break; }
      unsigned char lo, hi;
      if (!ClassChar(lo)) return false;
      hi = lo;
      if (i_ + 1 < p_.size() && p_[i_] == '-' && p_[i_ + 1] != ']') {
        ++i_;
        if (!ClassChar(hi)) return false;
      }
      if (hi < lo) return Fail("empty range in pattern");
      for (int ch = lo; ch <= hi; ++ch) set.set(ch);
    }
    set = Fold(set);
    if (negate) set.flip();
    out = Single(set);
    return true;
  }

  std::vector<NfaState>& nfa_;
  const std::string& p_;
  bool caseSensitive_;
  std::size_t i_ = 0;
  int depth_ = 0;
  std::string error_;
};

void Closure(const std::vector<NfaState>& nfa, std::vector<int>& set) {
  std::vector<char> seen(nfa.size(), 0);
  for (int s : set) seen[s] = 1;
  for (std::size_t k = 0; k < set.size(); ++k)
    for (int t : nfa[set[k]].epsilon)
      if (!seen[t]) { seen[t] = 1; set.push_back(t); }
  std::sort(set.begin(), set.end());
}

}  // namespace

bool BuildLexerAutomaton(const GrammarDefinition& grammar, LexerAutomaton& out, std::string& error) {
  std::vector<NfaState> nfa;
  nfa.push_back(NfaState{});  // 0: the common start
  std::vector<int> rank(grammar.patterns.size());
  for (std::size_t k = 0; k < grammar.patterns.size(); ++k) {
    const auto& p = grammar.patterns[k];
    Fragment f;
    PatternCompiler compiler(nfa, p.pattern, grammar.caseSensitive);
    if (!compiler.Compile(f, error)) {
      error = "terminal '" + p.name + "': " + error;
      return false;
    }
    nfa[0].epsilon.push_back(f.start);
    nfa[f.end].accept = static_cast<int>(k);
    // Literal text first, then the file's order.
    rank[k] = (PatternCompiler::IsLiteral(p.pattern) ? 0 : 1) * 100000 + static_cast<int>(k);
  }

  out = LexerAutomaton{};
  std::map<std::vector<int>, int> ids;
  std::vector<std::vector<int>> sets;
  std::vector<int> start{0};
  Closure(nfa, start);
  ids[start] = 0;
  sets.push_back(start);
  for (std::size_t d = 0; d < sets.size(); ++d) {
    if (sets.size() > 5000) {
      error = "lexical automaton too large";
      return false;
    }
    const std::vector<int> current = sets[d];
    int best = -1;
    for (int s : current) {
      int a = nfa[s].accept;
      if (a >= 0 && (best < 0 || rank[a] < rank[best])) best = a;
    }
    out.accept.push_back(best);
    out.next.resize(out.accept.size() * 256, LexerAutomaton::kNoState);
    for (int c = 0; c < 256; ++c) {
      std::vector<int> target;
      for (int s : current)
        if (nfa[s].onChars >= 0 && nfa[s].chars[c]) target.push_back(nfa[s].onChars);
      if (target.empty()) continue;
      Closure(nfa, target);
      target.erase(std::unique(target.begin(), target.end()), target.end());
      auto [it, inserted] = ids.emplace(target, static_cast<int>(sets.size()));
      if (inserted) sets.push_back(target);
      out.next[d * 256 + c] = it->second;
    }
  }
  return true;
}

std::size_t Lexer::Match(int& pattern) const {
  const LexerAutomaton& dfa = grammar_->lexer;
  int state = 0;
  std::size_t best = 0;
  pattern = -1;
  for (std::size_t i = pos_; i < text_.size(); ++i) {
    state = dfa.next[static_cast<std::size_t>(state) * 256 + static_cast<unsigned char>(text_[i])];
    if (state < 0) break;
    if (dfa.accept[state] >= 0) {
      best = i + 1 - pos_;
      pattern = dfa.accept[state];
    }
  }
  return best;
}

void Lexer::Advance(std::size_t length) {
  for (std::size_t end = pos_ + length; pos_ < end; ++pos_) {
    unsigned char c = static_cast<unsigned char>(text_[pos_]);
    if (c == '\n') {
      ++line_;
      column_ = 1;
    } else if ((c & 0xC0) != 0x80) {
      ++column_;  // continuation bytes of a UTF-8 character do not count
    }
  }
}

LexStatus Lexer::Next(LexToken& token) {
  const auto& patterns = grammar_->definition.patterns;
  for (;;) {
    token.line = line_;
    token.column = column_;
    if (pos_ >= text_.size()) {
      token.symbol = 0;
      token.text = {};
      return LexStatus::End;
    }
    int pattern = -1;
    std::size_t length = Match(pattern);
    if (length == 0) {
      // The whole UTF-8 character, so that the message shows it intact.
      unsigned char lead = static_cast<unsigned char>(text_[pos_]);
      std::size_t n = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
      n = std::min(n, text_.size() - pos_);
      token.text = text_.substr(pos_, n);
      return LexStatus::InvalidCharacter;
    }
    const TerminalPattern& p = patterns[pattern];
    switch (p.role) {
      case PatternRole::Token:
        token.symbol = p.symbol;
        token.text = text_.substr(pos_, length);
        Advance(length);
        return LexStatus::Token;
      case PatternRole::Ignore:
        Advance(length);
        break;
      case PatternRole::LineComment: {
        std::size_t eol = text_.find('\n', pos_);
        Advance((eol == std::string_view::npos ? text_.size() : eol) - pos_);
        break;
      }
      case PatternRole::BlockComment: {
        std::size_t close = text_.find(p.blockEnd, pos_ + length);
        if (close == std::string_view::npos) {
          token.text = text_.substr(pos_, length);
          return LexStatus::UnterminatedComment;
        }
        Advance(close + p.blockEnd.size() - pos_);
        break;
      }
    }
  }
}

}  // namespace korvane::formula
