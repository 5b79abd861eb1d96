// FormulaProgram.cpp: one formula: the grammar checks, the parse loop that
// turns the parser's reductions into nodes, execution with its single point
// of error reporting, and the pretty-printed program.
#include "formula/FormulaProgram.h"

#include <algorithm>

#include "formula/LalrParser.h"
#include "formula/Nodes.h"
#include "util/Dialogs.h"
#include "util/Files.h"
#include "util/Log.h"

namespace korvane::formula {

namespace {

// Deeper nesting is refused at parse time so that evaluation, printing and
// error wrapping, which recurse once per level, stay far from the stack's end.
// Only real nesting counts: parentheses, function calls, NOT and minus signs,
// and blocks inside blocks. A chain of binary operations ("1 + 2 + ... + n") and
// an ELSE IF chain count as one level whatever their length; the tree walks
// go along them in loops.
constexpr int kMaxNesting = 200;

RandomSource& DefaultRandom() {
  thread_local RandomSource random;  // seeded once per thread from the clock
  return random;
}

void ReplaceAll(std::string& text, std::string_view from, std::string_view to) {
  for (std::size_t pos = 0; (pos = text.find(from, pos)) != std::string::npos; pos += to.size())
    text.replace(pos, from.size(), to);
}

int DepthOf(const Node* node) { return node ? node->depth : 0; }

}  // namespace

std::int32_t FormulaError::InnerCode() const {
  const std::int32_t n = InnerNumber();
  return n < 0 && n >= ErrorNumber::Base ? n - ErrorNumber::Base : n;
}

FormulaProgram::FormulaProgram() = default;
FormulaProgram::FormulaProgram(std::string sourceCode) : sourceCode_(std::move(sourceCode)) {}
FormulaProgram::~FormulaProgram() = default;
FormulaProgram::FormulaProgram(const FormulaProgram&) = default;
FormulaProgram& FormulaProgram::operator=(const FormulaProgram&) = default;
FormulaProgram::FormulaProgram(FormulaProgram&&) noexcept = default;
FormulaProgram& FormulaProgram::operator=(FormulaProgram&&) noexcept = default;

std::string FormulaProgram::GrammarFilePath() {
  return ResourceFile("Formula-v" + std::to_string(GrammarVersion()) + ".cgt");
}

std::string FormulaProgram::Humanize(std::string_view input) {
  std::string text(input);
  ReplaceAll(text, "Identifier", "a variable");
  ReplaceAll(text, "(", "a statement");
  ReplaceAll(text, "- ", "");
  ReplaceAll(text, "NOT", "the 'NOT' logical operator");
  ReplaceAll(text, "NumberLiteral", "a number");
  ReplaceAll(text, "StringLiteral", "a string");
  ReplaceAll(text, "FALSE ", "");
  ReplaceAll(text, "TRUE", "a boolean value (FALSE / TRUE)");
  std::size_t b = text.find_first_not_of(' ');
  text = b == std::string::npos ? std::string() : text.substr(b, text.find_last_not_of(' ') - b + 1);
  // A removed name leaves " or or " between its neighbours. Matched with its
  // blanks so that a word ending in "or" ("operator") is left alone.
  while (text.find(" or or ") != std::string::npos) ReplaceAll(text, " or or ", " or ");
  if (text.rfind("or or ", 0) == 0) text.erase(0, 3);
  if (text.rfind("or ", 0) == 0) text.erase(0, 3);
  if (text.size() >= 3 && text.compare(text.size() - 3, 3, " or") == 0) text.erase(text.size() - 3);
  return text;
}

std::string FormulaProgram::Location(const LalrParser& engine) {
  return "On line " + std::to_string(engine.CurrentLine()) + " char " + std::to_string(engine.CurrentColumn()) + ": ";
}

void FormulaProgram::ParseProgram() {
  const std::string version = std::to_string(GrammarVersion());
  std::string why;
  auto grammar = LoadGrammar(GrammarFilePath(), &why);
  if (!grammar) {
    LogShared("Formula grammar not loaded: " + why, 3);
    // The full path, so that a researcher sees where the file belongs.
    CurrentDialogs().Message("Cannot find the file " + GrammarFilePath() + ", which is required to execute formulas.",
                             DialogIcon::None);
    return;
  }
  LalrParser engine(grammar);
  const std::string fileVersion = engine.Parameter("Version");
  if (ReadNumber(fileVersion) != GrammarVersion()) {
    CurrentDialogs().Message("Compiled grammar file version (" + fileVersion + ") " + "does not match expected version (" +
                                 version + "). Cannot continue.",
                             DialogIcon::None);
    return;
  }

  errorMessage_.clear();
  warningMessage_.clear();
  auto tree = std::make_shared<SyntaxTree>();
  building_ = tree.get();
  engine.Open(sourceCode_);
  engine.SetTrimReductions(false);
  for (bool done = false; !done;) {
    switch (engine.Parse()) {
      case ParseMessage::Reduction:
        engine.SetReductionData(CreateNewObject(engine.CurrentReduction()));
        if (tree->tooDeep) {
          errorMessage_ = Location(engine) + "Formula is nested too deeply (more than " + std::to_string(kMaxNesting) +
                          " levels)";
          done = true;
        }
        break;
      case ParseMessage::Accept:
        tree->root = engine.ReductionData();
        tree_ = tree;
        done = true;
        break;
      case ParseMessage::NotLoaded:
        errorMessage_ = "Internal error: grammar file was not properly loaded";
        done = true;
        break;
      case ParseMessage::LexicalError:
        errorMessage_ = Location(engine) + "Invalid character '" + std::string(engine.CurrentToken().text) + "'";
        done = true;
        break;
      case ParseMessage::SyntaxError: {
        std::string names;
        bool comparison = false;
        for (int i = 0; i < engine.ExpectedCount(); ++i) {
          if (i > 0) names += " or ";
          names += engine.ExpectedName(i);
          comparison = comparison || engine.ExpectedName(i) == "==";
        }
        if (comparison && engine.CurrentToken().text == "=") {
          // The commonest slip: '=' where a comparison is meant.
          errorMessage_ = Location(engine) +
                          "'=' assigns a value; to compare two values write '==' (for example "
                          "IF Cue.Price == 3 THEN U = 1 ENDIF, or USES.Same = MEMORY.Option == CUE.Option)";
        } else {
          errorMessage_ = Location(engine) + "Syntax error, expected " + Humanize(names);
        }
        done = true;
        break;
      }
      case ParseMessage::CommentError:
        errorMessage_ = Location(engine) + "Unexpected end of file, expecting end of comment";
        done = true;
        break;
      case ParseMessage::InternalError:
        errorMessage_ = Location(engine) + "Unknown internal error; please file bug report";
        done = true;
        break;
      case ParseMessage::NestingTooDeep:
        errorMessage_ = Location(engine) + "Formula is nested too deeply (more than " +
                        std::to_string(LalrParser::kMaxStackDepth) + " open symbols)";
        done = true;
        break;
      case ParseMessage::TokenRead: break;
    }
  }
  building_ = nullptr;
}

Node* FormulaProgram::CreateNewObject(const Reduction& reduction) {
  SyntaxTree& tree = *building_;
  const auto& tokens = reduction.tokens;
  auto data = [&](std::size_t i) -> Node* { return i < tokens.size() ? tokens[i].data : nullptr; };
  auto text = [&](std::size_t i) -> std::string { return i < tokens.size() ? std::string(tokens[i].text) : std::string(); };
  auto binary = [&]() -> Node* {
    auto* n = tree.Make<SimpleExpr>();
    n->SetOperands(data(0), data(2));
    n->SetOperator(text(1));
    // An operation adds no level: its left operand continues its chain (a
    // loop walks it) and its right operand can nest without parentheses only
    // as far as the operators' precedences go.
    n->depth = std::max(DepthOf(n->LeftOperand), DepthOf(n->RightOperand));
    return n;
  };
  auto trim = [&]() -> Node* {
    auto* n = tree.Make<SimpleExprTrim>();
    n->SetChild(data(0));
    n->depth = DepthOf(n->ChildExpression);  // a pass-through adds no level
    return n;
  };

  Node* result = nullptr;
  switch (reduction.ruleIndex) {
    case 0:
    case 1: {
      auto* n = tree.Make<LiteralBoolean>();
      n->BooleanValue = reduction.ruleIndex == 0;
      result = n;
      break;
    }
    case 2:
    case 3: {
      auto* n = tree.Make<SimpleStmtList>();
      n->CurrentStmt = data(0);
      if (reduction.ruleIndex == 2 && data(1) && data(1)->Kind() == NodeKind::StmtList)
        n->NextStmt = static_cast<SimpleStmtList*>(data(1));
      n->depth = std::max(DepthOf(n->CurrentStmt), DepthOf(n->NextStmt));  // a list adds no level
      result = n;
      break;
    }
    case 4: {
      auto* n = tree.Make<SimpleAssign>();
      n->Name = text(0);
      n->AssignValue = data(2);
      n->depth = 1 + DepthOf(n->AssignValue);
      assignments_.Add(n->Name, Variant(n->Name));
      result = n;
      break;
    }
    case 5:
    case 6: {
      auto* n = tree.Make<SimpleBranch>();
      n->IfClause = data(1);
      n->ThenClause = data(3);
      if (reduction.ruleIndex == 5) n->SetElse(data(5));
      // An ELSE IF continues this block's chain at its level.
      const int elseDepth = n->ElseIf() ? n->ElseIf()->depth : 1 + DepthOf(n->ElseClause);
      n->depth = std::max(1 + std::max(DepthOf(n->IfClause), DepthOf(n->ThenClause)), elseDepth);
      result = n;
      break;
    }
    case 7:
    case 8: {
      auto* n = tree.Make<ComplexBranch>();
      n->CaseExpression = data(1);
      if (data(2) && data(2)->Kind() == NodeKind::WhenClause) n->WhenClauses = static_cast<SimpleWhenClause*>(data(2));
      if (reduction.ruleIndex == 7 && data(3) && data(3)->Kind() == NodeKind::ElseClause)
        n->ElseClause = static_cast<SimpleElseClause*>(data(3));
      n->depth = 1 + std::max({DepthOf(n->CaseExpression), DepthOf(n->WhenClauses), DepthOf(n->ElseClause)});
      result = n;
      break;
    }
    case 9: result = tree.Make<SimplePass>(); break;
    case 10:
    case 11: {
      auto* n = tree.Make<SimpleExprList>();
      n->CurrentExpr = data(0);
      if (reduction.ruleIndex == 10 && data(2) && data(2)->Kind() == NodeKind::ExprList)
        n->NextExpr = static_cast<SimpleExprList*>(data(2));
      n->depth = std::max(DepthOf(n->CurrentExpr), DepthOf(n->NextExpr));  // the call counts the level
      result = n;
      break;
    }
    case 12: case 13: case 17: case 18: case 19: case 20: case 21: case 22: case 23:
    case 25: case 26: case 28: case 29: case 30: case 32:
      result = binary();
      break;
    case 14: case 16: case 24: case 27: case 31: case 33: case 35: case 37: case 41:
      result = trim();
      break;
    case 15: {
      auto* n = tree.Make<SimpleExprUnary>();
      n->Operator = text(0);
      n->Operand = data(1);
      n->depth = 1 + DepthOf(n->Operand);
      result = n;
      break;
    }
    case 34: {
      auto* n = tree.Make<SimpleNegate>();
      n->OriginalValue = data(1);
      n->depth = 1 + DepthOf(n->OriginalValue);
      result = n;
      break;
    }
    case 36: {
      auto* n = tree.Make<SimpleFunctionCall>();
      n->Name = text(0);
      if (data(2) && data(2)->Kind() == NodeKind::ExprList) n->ExpressionList = static_cast<SimpleExprList*>(data(2));
      n->depth = 1 + DepthOf(n->ExpressionList);
      if (!n->IsValid())
        errorMessage_ = "On line " + std::to_string(tokens[0].line) + " char " + std::to_string(tokens[0].column) +
                        ": " + n->ErrorMessage;
      result = n;
      break;
    }
    case 38: {
      auto* n = tree.Make<SimpleId>();
      n->Name = text(0);
      result = n;
      break;
    }
    case 39: {
      auto* n = tree.Make<LiteralString>();
      std::string s = text(0);
      n->StringValue = s.size() >= 2 ? s.substr(1, s.size() - 2) : s;
      result = n;
      break;
    }
    case 40: {
      auto* n = tree.Make<LiteralNumber>();
      n->SetText(text(0));
      result = n;
      break;
    }
    case 42:
      // Parentheses build no node; they count as a level of nesting.
      result = data(1);
      if (result) ++result->depth;
      break;
    case 43:
    case 44: {
      auto* n = tree.Make<SimpleWhenClause>();
      n->CurrentStatements = data(0);
      if (reduction.ruleIndex == 43 && data(1) && data(1)->Kind() == NodeKind::WhenClause)
        n->NextWhenClause = static_cast<SimpleWhenClause*>(data(1));
      n->depth = std::max(DepthOf(n->CurrentStatements), DepthOf(n->NextWhenClause));
      result = n;
      break;
    }
    case 45: {
      auto* n = tree.Make<SimpleWhenClause>();
      n->CurrentExpression = data(1);
      n->CurrentStatements = data(3);
      n->depth = 1 + std::max(DepthOf(n->CurrentExpression), DepthOf(n->CurrentStatements));
      result = n;
      break;
    }
    case 46: {
      auto* n = tree.Make<SimpleElseClause>();
      n->ElseClause = data(1);
      n->depth = 1 + DepthOf(n->ElseClause);
      result = n;
      break;
    }
    default: {
      result = tree.Make<SimplePass>();
      ShowBugReport("Formula syntax is correct, but AST could not be reduced. \r\nPARENTRULE TABLEINDEX = " +
                    std::to_string(reduction.ruleIndex) + "\r\nPARENTRULE SYMBOL#CNT = " +
                    std::to_string(reduction.symbolCount) + "\r\nFalling through as NO-OP 'PASS' command.");
      break;
    }
  }
  if (!result) result = tree.Make<SimplePass>();
  if (result->depth > kMaxNesting) tree.tooDeep = true;
  result->FP = &tree;
  return result;
}

bool FormulaProgram::Execute(VariableList& variables) const {
  return Run(variables, random_ ? *random_ : DefaultRandom());
}

bool FormulaProgram::Execute(VariableList& variables, RandomSource& random) const { return Run(variables, random); }

bool FormulaProgram::Run(VariableList& variables, RandomSource& random) const {
  if (!tree_ || !tree_->root) return false;
  EvalContext context{variables, random};
  try {
    tree_->root->Execute(context);
  } catch (const Error& e) {
    if (e.Number() < ErrorNumber::Base) throw;  // a failure of another component passes unchanged
    // No message here: the caller (a run, a command) reports the failure once,
    // at the place that knows what it ends.
    throw FormulaError(ErrorNumber::Base + FormulaErrorCode::ExecuteFailed, e.Source(), e.Description(), e.Number());
  }
  return true;
}

void FormulaProgram::Reset() {
  tree_.reset();
  assignments_ = VariableList();
  errorMessage_.clear();
  warningMessage_.clear();
}

std::vector<std::string> FormulaProgram::ReadNames() const {
  std::vector<std::string> names;
  if (!tree_) return names;
  for (const auto& node : tree_->nodes) {
    if (node->Kind() != NodeKind::Id) continue;
    const std::string& name = static_cast<const SimpleId&>(*node).Name;
    const bool known = std::any_of(names.begin(), names.end(),
                                   [&](const std::string& seen) { return EqualsIgnoreCase(seen, name); });
    if (!known) names.push_back(name);
  }
  return names;
}

std::string FormulaProgram::FormattedProgram() const { return tree_ ? tree_->FormattedProgram() : std::string(); }

}  // namespace korvane::formula
