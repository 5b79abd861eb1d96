// LalrParser.cpp: builds the LALR(1) tables of the grammar table (LR(0)
// automaton, then lookaheads by spontaneous generation and propagation) and
// runs them over the lexer's terminals.
//
// The grammar must be conflict-free: a conflict is reported as a load
// failure rather than resolved silently, so a mistake in the grammar file
// cannot change what a formula means.
#include "formula/LalrParser.h"

#include <algorithm>
#include <map>

namespace korvane::formula {

namespace {

// A small bit set over the terminals plus one extra bit (the propagation mark).
struct Bits {
  std::vector<std::uint64_t> w;
  explicit Bits(int n = 0) : w((n + 63) / 64, 0) {}
  bool Test(int i) const { return (w[i / 64] >> (i % 64)) & 1u; }
  void Set(int i) { w[i / 64] |= std::uint64_t{1} << (i % 64); }
  void Reset(int i) { w[i / 64] &= ~(std::uint64_t{1} << (i % 64)); }
  bool Merge(const Bits& o) {
    bool changed = false;
    for (std::size_t k = 0; k < w.size(); ++k) {
      std::uint64_t n = w[k] | o.w[k];
      changed |= n != w[k];
      w[k] = n;
    }
    return changed;
  }
};

struct Item {
  int rule;
  int dot;
  bool operator<(const Item& o) const { return rule != o.rule ? rule < o.rule : dot < o.dot; }
  bool operator==(const Item& o) const { return rule == o.rule && dot == o.dot; }
};

class TableBuilder {
 public:
  TableBuilder(const GrammarDefinition& g) : g_(g) {
    T_ = g.TerminalCount();
    N_ = static_cast<int>(g.symbols.size());
    augmented_ = static_cast<int>(g.rules.size());
    rules_ = g.rules;
    rules_.push_back(GrammarRule{N_, {g.startSymbol}});  // S' ::= Start
    byHead_.resize(N_ + 1);
    for (int r = 0; r < static_cast<int>(rules_.size()); ++r) byHead_[rules_[r].head].push_back(r);
    ComputeFirst();
  }

  bool Build(LalrTables& out, std::string& error) {
    BuildLr0();
    ComputeLookaheads();
    return FillTables(out, error);
  }

 private:
  bool IsTerminal(int s) const { return s < T_; }
  int Length(int r) const { return static_cast<int>(rules_[r].symbols.size()); }

  void ComputeFirst() {
    nullable_.assign(N_ + 1, false);
    first_.assign(N_ + 1, Bits(T_ + 1));
    for (int t = 0; t < T_; ++t) first_[t].Set(t);
    for (bool changed = true; changed;) {
      changed = false;
      for (const auto& r : rules_) {
        bool allNullable = true;
        for (int s : r.symbols) {
          changed |= first_[r.head].Merge(first_[s]);
          if (!nullable_[s]) { allNullable = false; break; }
        }
        if (allNullable && !nullable_[r.head]) { nullable_[r.head] = true; changed = true; }
      }
    }
  }

  std::vector<Item> Closure0(const std::vector<Item>& kernel) const {
    std::vector<Item> items = kernel;
    std::vector<char> added(N_ + 1, 0);
    for (std::size_t k = 0; k < items.size(); ++k) {
      const Item it = items[k];
      if (it.dot >= Length(it.rule)) continue;
      int x = rules_[it.rule].symbols[it.dot];
      if (IsTerminal(x) || added[x]) continue;
      added[x] = 1;
      for (int r : byHead_[x]) items.push_back(Item{r, 0});
    }
    return items;
  }

  void BuildLr0() {
    std::map<std::vector<Item>, int> ids;
    kernels_.push_back({Item{augmented_, 0}});
    ids[kernels_[0]] = 0;
    for (std::size_t s = 0; s < kernels_.size(); ++s) {
      gotos_.emplace_back(N_ + 1, -1);
      std::map<int, std::vector<Item>> next;
      for (const Item& it : Closure0(kernels_[s]))
        if (it.dot < Length(it.rule)) next[rules_[it.rule].symbols[it.dot]].push_back(Item{it.rule, it.dot + 1});
      for (auto& [symbol, kernel] : next) {
        std::sort(kernel.begin(), kernel.end());
        kernel.erase(std::unique(kernel.begin(), kernel.end()), kernel.end());
        auto [pos, inserted] = ids.emplace(kernel, static_cast<int>(kernels_.size()));
        if (inserted) kernels_.push_back(kernel);
        gotos_[s][symbol] = pos->second;
      }
    }
  }

  // LR(1) closure of kernel items with their lookahead sets.
  std::vector<std::pair<Item, Bits>> Closure1(const std::vector<std::pair<Item, Bits>>& kernel) const {
    std::vector<std::pair<Item, Bits>> items = kernel;
    std::map<Item, std::size_t> where;
    for (std::size_t k = 0; k < items.size(); ++k) where[items[k].first] = k;
    std::vector<std::size_t> work;
    for (std::size_t k = 0; k < items.size(); ++k) work.push_back(k);
    while (!work.empty()) {
      std::size_t k = work.back();
      work.pop_back();
      const Item it = items[k].first;
      if (it.dot >= Length(it.rule)) continue;
      int x = rules_[it.rule].symbols[it.dot];
      if (IsTerminal(x)) continue;
      Bits la(T_ + 1);
      bool restNullable = true;
      for (int d = it.dot + 1; d < Length(it.rule); ++d) {
        int s = rules_[it.rule].symbols[d];
        la.Merge(first_[s]);
        if (!nullable_[s]) { restNullable = false; break; }
      }
      if (restNullable) la.Merge(items[k].second);
      for (int r : byHead_[x]) {
        Item child{r, 0};
        auto found = where.find(child);
        if (found == where.end()) {
          where[child] = items.size();
          items.emplace_back(child, la);
          work.push_back(items.size() - 1);
        } else if (items[found->second].second.Merge(la)) {
          work.push_back(found->second);
        }
      }
    }
    return items;
  }

  int KernelIndex(int state, Item it) const {
    const auto& k = kernels_[state];
    auto pos = std::lower_bound(k.begin(), k.end(), it);
    return (pos != k.end() && *pos == it) ? static_cast<int>(pos - k.begin()) : -1;
  }

  void ComputeLookaheads() {
    const int mark = T_;
    lookaheads_.resize(kernels_.size());
    for (std::size_t s = 0; s < kernels_.size(); ++s) lookaheads_[s].assign(kernels_[s].size(), Bits(T_ + 1));
    lookaheads_[0][0].Set(0);  // EOF after the start symbol
    struct Link { int fromState, fromItem, toState, toItem; };
    std::vector<Link> links;
    for (int s = 0; s < static_cast<int>(kernels_.size()); ++s) {
      for (int ki = 0; ki < static_cast<int>(kernels_[s].size()); ++ki) {
        Bits probe(T_ + 1);
        probe.Set(mark);
        for (const auto& [it, la] : Closure1({{kernels_[s][ki], probe}})) {
          if (it.dot >= Length(it.rule)) continue;
          int target = gotos_[s][rules_[it.rule].symbols[it.dot]];
          int ti = KernelIndex(target, Item{it.rule, it.dot + 1});
          Bits spontaneous = la;
          spontaneous.Reset(mark);
          lookaheads_[target][ti].Merge(spontaneous);
          if (la.Test(mark)) links.push_back({s, ki, target, ti});
        }
      }
    }
    for (bool changed = true; changed;) {
      changed = false;
      for (const Link& l : links) changed |= lookaheads_[l.toState][l.toItem].Merge(lookaheads_[l.fromState][l.fromItem]);
    }
  }

  bool FillTables(LalrTables& out, std::string& error) {
    const int states = static_cast<int>(kernels_.size());
    out = LalrTables{};
    out.terminalCount = T_;
    out.symbolCount = N_;
    out.stateCount = states;
    out.action.assign(static_cast<std::size_t>(states) * T_, 0);
    out.gotoTo.assign(static_cast<std::size_t>(states) * N_, -1);
    for (int s = 0; s < states; ++s) {
      for (int x = 0; x < N_; ++x) {
        int target = gotos_[s][x];
        if (target < 0) continue;
        if (IsTerminal(x)) out.action[s * T_ + x] = target + 1;
        else out.gotoTo[s * N_ + x] = target;
      }
      std::vector<std::pair<Item, Bits>> kernel;
      for (std::size_t ki = 0; ki < kernels_[s].size(); ++ki) kernel.emplace_back(kernels_[s][ki], lookaheads_[s][ki]);
      for (const auto& [it, la] : Closure1(kernel)) {
        if (it.dot < Length(it.rule)) continue;
        for (int a = 0; a < T_; ++a) {
          if (!la.Test(a)) continue;
          std::int32_t act = it.rule == augmented_ ? LalrTables::kAccept : -(it.rule + 1);
          std::int32_t& cell = out.action[s * T_ + a];
          if (cell != 0 && cell != act) {
            error = "grammar conflict in state " + std::to_string(s) + " on '" + g_.symbols[a].name +
                    "' (rule " + std::to_string(it.rule) + ")";
            return false;
          }
          cell = act;
        }
      }
    }
    return true;
  }

  const GrammarDefinition& g_;
  int T_ = 0, N_ = 0, augmented_ = 0;
  std::vector<GrammarRule> rules_;
  std::vector<std::vector<int>> byHead_;
  std::vector<bool> nullable_;
  std::vector<Bits> first_;
  std::vector<std::vector<Item>> kernels_;
  std::vector<std::vector<int>> gotos_;
  std::vector<std::vector<Bits>> lookaheads_;
};

}  // namespace

bool BuildLalrTables(const GrammarDefinition& grammar, LalrTables& out, std::string& error) {
  return TableBuilder(grammar).Build(out, error);
}

std::string_view Reduction::SymbolName(int token) const {
  if (!grammar || token < 0 || token >= static_cast<int>(tokens.size())) return {};
  return grammar->definition.symbols[tokens[token].symbol].name;
}

std::string LalrParser::Parameter(const std::string& name) const {
  if (!grammar_) return {};
  auto it = grammar_->definition.parameters.find(name);
  return it == grammar_->definition.parameters.end() ? std::string() : it->second;
}

void LalrParser::Reset() {
  lexer_.reset();
  stack_.clear();
  reductionTokens_.clear();
  reduction_ = Reduction{};
  reductionData_ = nullptr;
  pendingReduction_ = false;
  haveLookahead_ = false;
  done_ = false;
  expected_.clear();
  line_ = column_ = 1;
}

void LalrParser::Open(std::string_view text) {
  Reset();
  text_ = text;
  if (!grammar_) return;
  lexer_ = std::make_unique<Lexer>(*grammar_, text_);
  stack_.push_back(StackEntry{0, ParseToken{}});
}

std::string_view LalrParser::ExpectedName(int index) const {
  if (!grammar_ || index < 0 || index >= ExpectedCount()) return {};
  return grammar_->definition.symbols[expected_[index]].name;
}

ParseMessage LalrParser::Parse() {
  if (!grammar_ || !lexer_) return ParseMessage::NotLoaded;
  if (done_) return ParseMessage::InternalError;
  const LalrTables& t = grammar_->tables;
  const auto& rules = grammar_->definition.rules;

  if (pendingReduction_) {
    pendingReduction_ = false;
    const GrammarRule& rule = rules[reduction_.ruleIndex];
    ParseToken head{rule.head, {}, reductionTokens_.empty() ? lookahead_.line : reductionTokens_[0].line,
                    reductionTokens_.empty() ? lookahead_.column : reductionTokens_[0].column, reductionData_};
    stack_.resize(stack_.size() - rule.symbols.size());
    int target = t.gotoTo[static_cast<std::size_t>(stack_.back().state) * t.symbolCount + rule.head];
    if (target < 0) { done_ = true; return ParseMessage::InternalError; }
    stack_.push_back(StackEntry{target, head});
  }

  for (;;) {
    if (!haveLookahead_) {
      LexStatus status = lexer_->Next(lookahead_);
      line_ = lookahead_.line;
      column_ = lookahead_.column;
      if (status == LexStatus::InvalidCharacter) { done_ = true; return ParseMessage::LexicalError; }
      if (status == LexStatus::UnterminatedComment) { done_ = true; return ParseMessage::CommentError; }
      haveLookahead_ = true;
    }
    const int state = stack_.back().state;
    const std::int32_t act = t.action[static_cast<std::size_t>(state) * t.terminalCount + lookahead_.symbol];
    if (act == 0) {
      expected_.clear();
      for (int a = 0; a < t.terminalCount; ++a)
        if (t.action[static_cast<std::size_t>(state) * t.terminalCount + a] != 0) expected_.push_back(a);
      done_ = true;
      return ParseMessage::SyntaxError;
    }
    if (act == LalrTables::kAccept) {
      done_ = true;
      reductionData_ = stack_.back().token.data;
      return ParseMessage::Accept;
    }
    if (act > 0) {
      if (stack_.size() >= kMaxStackDepth) { done_ = true; return ParseMessage::NestingTooDeep; }
      stack_.push_back(StackEntry{act - 1, ParseToken{lookahead_.symbol, lookahead_.text, lookahead_.line,
                                                      lookahead_.column, nullptr}});
      haveLookahead_ = false;
      continue;
    }
    const int ruleIndex = -act - 1;
    const GrammarRule& rule = rules[ruleIndex];
    const std::size_t k = rule.symbols.size();
    reductionTokens_.clear();
    for (std::size_t i = stack_.size() - k; i < stack_.size(); ++i) reductionTokens_.push_back(stack_[i].token);
    reduction_.ruleIndex = ruleIndex;
    reduction_.symbolCount = static_cast<int>(k);
    reduction_.tokens = std::span<const ParseToken>(reductionTokens_.data(), reductionTokens_.size());
    reduction_.grammar = grammar_.get();
    if (trim_ && k == 1 && grammar_->definition.symbols[rule.symbols[0]].kind == SymbolKind::Nonterminal) {
      reductionData_ = reductionTokens_[0].data;
      pendingReduction_ = true;
      return Parse();
    }
    reductionData_ = nullptr;
    pendingReduction_ = true;
    return ParseMessage::Reduction;
  }
}

}  // namespace korvane::formula
