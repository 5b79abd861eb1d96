// Nodes.cpp: execution, values and pretty-printing of the syntax tree, and
// the formula errors raised while a tree runs.
//
// Only SimpleExpr and LiteralNumber catch failures. SimpleExpr turns the
// platform's overflow and division by zero into formula errors 10006 and
// 10011, and wraps anything else (formula errors from below included) into
// code 1, so a failure deep in an expression gains one layer per enclosing
// binary operation.
#include "formula/Nodes.h"

#include <algorithm>
#include <cmath>

#include "formula/FormulaProgram.h"
#include "util/Dialogs.h"

namespace korvane::formula {

namespace {
const char* const kCrLf = "\r\n";
const char* const kTooLarge =
    "Your formula resulted in a number that is too large for Korvane to\r\n"
    "understand. This may cause inaccuracies or incorrectness in further\r\n"
    "calculations. Please refer to the User Manual for an explanation on\r\n";

Error FormulaFailure(std::int32_t code, const char* source, std::string description) {
  return Error(ErrorNumber::Base + code, source, std::move(description));
}

const Node* Resolve(const Node* node) {
  return node && node->Kind() == NodeKind::ExprTrim ? static_cast<const SimpleExprTrim*>(node)->Target() : node;
}

// Printed indentation stops growing here, so that a long ELSE IF chain prints
// in linear size.
constexpr int kMaxIndentLevel = 32;
// A failure inside a chain of binary operations is wrapped by at most this
// many operations of the chain; every further one would repeat the text.
constexpr std::size_t kMaxWrappedOperations = 16;

// The operations of a chain, its first (lowest) one at index 0; kept on the
// stack for the usual short chains.
class ChainNodes {
 public:
  explicit ChainNodes(const SimpleExpr* top) : count_(top->ChainLength()) {
    if (count_ > kInline) heap_.resize(count_);
    const SimpleExpr** nodes = Data();
    std::size_t i = count_;
    for (const SimpleExpr* n = top; n && i > 0; n = n->ChainBelow()) nodes[--i] = n;
  }
  std::size_t Size() const { return count_; }
  const SimpleExpr* operator[](std::size_t i) const { return Data()[i]; }

 private:
  static constexpr std::size_t kInline = 16;
  const SimpleExpr** Data() { return count_ > kInline ? heap_.data() : inline_; }
  const SimpleExpr* const* Data() const { return count_ > kInline ? heap_.data() : inline_; }
  std::size_t count_;
  const SimpleExpr* inline_[kInline];
  std::vector<const SimpleExpr*> heap_;
};
}  // namespace

std::string Indent(int level) {
  return std::string(static_cast<std::size_t>(std::clamp(level, 0, kMaxIndentLevel)) * 2, ' ');
}

Variant Evaluate(const Node* node, EvalContext& context) {
  node = Resolve(node);
  return node ? node->Value(context) : Variant();
}

std::string Format(const Node* node, int level) {
  node = Resolve(node);
  return node ? node->Formatted(level) : std::string();
}

void SimpleExprTrim::SetChild(Node* child) {
  ChildExpression = child;
  target_ = child;
  while (target_ && target_->Kind() == NodeKind::ExprTrim) target_ = static_cast<const SimpleExprTrim*>(target_)->Target();
}

void Node::Execute(EvalContext&) const {}
Variant Node::Value(EvalContext&) const { return Variant(); }

// ---- statements

void SimpleStmtList::Execute(EvalContext& context) const {
  for (const SimpleStmtList* list = this; list; list = list->NextStmt)
    if (list->CurrentStmt) list->CurrentStmt->Execute(context);
}

std::string SimpleStmtList::Formatted(int level) const {
  std::string text;
  for (const SimpleStmtList* list = this; list; list = list->NextStmt) {
    if (list != this) text += kCrLf;
    text += Format(list->CurrentStmt, level);
  }
  return text;
}

void SimpleAssign::Execute(EvalContext& context) const {
  VariableList& vars = context.variables;
  // The name exists, holding an empty object, while its own value is worked out.
  int index = vars.IndexOf(Name, hint_.load(std::memory_order_relaxed));
  if (index < 0) {
    index = vars.Count();
    vars.Add(Name, Variant::Object(nullptr));
  }
  hint_.store(index, std::memory_order_relaxed);
  Variant value = Evaluate(AssignValue, context);
  vars.SetValue(index, std::move(value));
}

std::string SimpleAssign::Formatted(int level) const { return Indent(level) + Name + " = " + Format(AssignValue, 0); }

void SimpleBranch::SetElse(Node* elseClause) {
  ElseClause = elseClause;
  elseIf_ = nullptr;
  if (!elseClause || elseClause->Kind() != NodeKind::StmtList) return;
  const auto* list = static_cast<const SimpleStmtList*>(elseClause);
  if (!list->NextStmt && list->CurrentStmt && list->CurrentStmt->Kind() == NodeKind::Branch)
    elseIf_ = static_cast<const SimpleBranch*>(list->CurrentStmt);
}

void SimpleBranch::Execute(EvalContext& context) const {
  // An ELSE IF chain is walked in a loop.
  for (const SimpleBranch* branch = this; branch;) {
    if (IsTrueCondition(Evaluate(branch->IfClause, context))) {
      if (branch->ThenClause) branch->ThenClause->Execute(context);
      return;
    }
    if (!branch->elseIf_) {
      if (branch->ElseClause) branch->ElseClause->Execute(context);
      return;
    }
    branch = branch->elseIf_;
  }
}

std::string SimpleBranch::Formatted(int level) const {
  // Printed as nested blocks, as written; the ENDIFs of an ELSE IF chain are
  // added at the end.
  std::string text;
  std::vector<int> openLevels;
  const SimpleBranch* branch = this;
  for (int at = level;; ++at) {
    text += Indent(at) + "IF " + Format(branch->IfClause, 0) + " THEN " + kCrLf + Format(branch->ThenClause, at + 1) + kCrLf;
    if (branch->elseIf_) {
      text += Indent(at) + "ELSE" + kCrLf;
      openLevels.push_back(at);
      branch = branch->elseIf_;
      continue;
    }
    if (branch->ElseClause) text += Indent(at) + "ELSE" + kCrLf + Format(branch->ElseClause, at + 1) + kCrLf;
    text += Indent(at) + "ENDIF";
    break;
  }
  for (auto it = openLevels.rbegin(); it != openLevels.rend(); ++it) text += kCrLf + Indent(*it) + "ENDIF";
  return text;
}

bool SimpleWhenClause::ChainExecute(const Variant& caseValue, EvalContext& context) const {
  for (const SimpleWhenClause* cell = this; cell; cell = cell->NextWhenClause) {
    const SimpleWhenClause* clause = cell;
    if (cell->IsListCell()) {
      if (!cell->CurrentStatements || cell->CurrentStatements->Kind() != NodeKind::WhenClause) continue;
      clause = static_cast<const SimpleWhenClause*>(cell->CurrentStatements);
    }
    if (ValuesEqual(Evaluate(clause->CurrentExpression, context), caseValue)) {
      if (clause->CurrentStatements) clause->CurrentStatements->Execute(context);
      return true;
    }
  }
  return false;
}

std::string SimpleWhenClause::Formatted(int level) const {
  std::string text;
  for (const SimpleWhenClause* cell = this; cell; cell = cell->NextWhenClause) {
    const SimpleWhenClause* clause = cell;
    if (cell->IsListCell()) {
      if (!cell->CurrentStatements || cell->CurrentStatements->Kind() != NodeKind::WhenClause) continue;
      clause = static_cast<const SimpleWhenClause*>(cell->CurrentStatements);
    }
    text += Indent(level) + "WHEN " + Format(clause->CurrentExpression, 0) + " THEN" + kCrLf +
            Format(clause->CurrentStatements, level + 1) + kCrLf;
  }
  return text;
}

void SimpleElseClause::Execute(EvalContext& context) const {
  if (ElseClause) ElseClause->Execute(context);
}

std::string SimpleElseClause::Formatted(int level) const {
  return Indent(level) + "ELSE" + kCrLf + Format(ElseClause, level + 1) + kCrLf;
}

void ComplexBranch::Execute(EvalContext& context) const {
  Variant caseValue = Evaluate(CaseExpression, context);
  if (WhenClauses && WhenClauses->ChainExecute(caseValue, context)) return;
  if (ElseClause) ElseClause->Execute(context);
}

std::string ComplexBranch::Formatted(int level) const {
  std::string text = Indent(level) + "CASE " + Format(CaseExpression, 0) + kCrLf;
  if (WhenClauses) text += WhenClauses->Formatted(level);
  if (ElseClause) text += ElseClause->Formatted(level);
  return text + Indent(level) + "ENDCASE";
}

// ---- expressions

std::string SimpleExprList::Formatted(int level) const {
  std::string text;
  for (const SimpleExprList* list = this; list; list = list->NextExpr) {
    if (list != this) text += ", ";
    text += Format(list->CurrentExpr, level);
  }
  return text;
}

int SimpleExprList::Count() const {
  int n = 0;
  for (const SimpleExprList* list = this; list; list = list->NextExpr) ++n;
  return n;
}

void SimpleExprList::Values(EvalContext& context, Variant* out) const {
  for (const SimpleExprList* list = this; list; list = list->NextExpr) *out++ = Evaluate(list->CurrentExpr, context);
}

std::vector<Variant> SimpleExprList::Values(EvalContext& context) const {
  std::vector<Variant> values(static_cast<std::size_t>(Count()));
  Values(context, values.data());
  return values;
}

void SimpleExpr::SetOperator(std::string text) {
  Operator = std::move(text);
  op_ = ParseBinaryOperator(Operator);
}

void SimpleExpr::SetOperands(Node* left, Node* right) {
  LeftOperand = left;
  RightOperand = right;
  const Node* below = Resolve(left);
  below_ = below && below->Kind() == NodeKind::Expr ? static_cast<const SimpleExpr*>(below) : nullptr;
  chainLength_ = below_ ? below_->chainLength_ + 1 : 1;
}

namespace {
// An operand's value; a variable is read in place instead of copied.
const Variant& Operand(const Node* node, EvalContext& context, Variant& holder) {
  node = Resolve(node);
  if (node && node->Kind() == NodeKind::Id)
    if (const Variant* value = static_cast<const SimpleId*>(node)->Lookup(context.variables)) return *value;
  holder = node ? node->Value(context) : Variant();
  return holder;
}
}  // namespace

Variant SimpleExpr::Apply(const Variant& left, const Variant& right) const {
  if (op_ == BinaryOperator::Unknown) {
    CurrentDialogs().Message("Unknown operator " + Operator, DialogIcon::None);
    return Variant();
  }
  return ApplyBinary(op_, left, right);
}

Error SimpleExpr::Failure(const Error& e) const {
  if (e.Number() == ErrorNumber::Overflow)
    return FormulaFailure(FormulaErrorCode::Overflow, "SimpleExpr.Value", std::string(kTooLarge) + "these limitations.");
  if (e.Number() == ErrorNumber::DivisionByZero)
    return FormulaFailure(FormulaErrorCode::DivisionByZero, "SimpleExpr.Value",
                          "Your formula divided a value by zero. The value of '" + Format(RightOperand, 0) +
                              "' was 0 in the formula: " + kCrLf + kCrLf + FP->FormattedProgram());
  return FormulaFailure(FormulaErrorCode::Runtime, "SimpleExpr.Value",
                        "Error: " + e.Description() + " (#" + std::to_string(e.Number()) + ")" + kCrLf +
                            "Occurred while processing this part of the formula: " + Formatted(0));
}

Variant SimpleExpr::Value(EvalContext& context) const {
  if (below_) return ChainValue(context);
  try {
    Variant leftHolder, rightHolder;
    const Variant& left = Operand(LeftOperand, context, leftHolder);
    const Variant& right = Operand(RightOperand, context, rightHolder);
    return Apply(left, right);
  } catch (const Error& e) {
    throw Failure(e);
  }
}

Variant SimpleExpr::ChainValue(EvalContext& context) const {
  // "a + b - c" is a chain of operations down the left operands; it is
  // worked out from its first operation up, in the order a recursion would
  // take (left operand, right operand, operation), with a failure wrapped
  // by the operations above it as a recursion would wrap it.
  const ChainNodes chain(this);
  std::size_t at = 0;
  try {
    Variant value;
    {
      Variant leftHolder, rightHolder;
      const Variant& left = Operand(chain[0]->LeftOperand, context, leftHolder);
      const Variant& right = Operand(chain[0]->RightOperand, context, rightHolder);
      value = chain[0]->Apply(left, right);
    }
    for (at = 1; at < chain.Size(); ++at) {
      Variant rightHolder;
      const Variant& right = Operand(chain[at]->RightOperand, context, rightHolder);
      value = chain[at]->Apply(value, right);
    }
    return value;
  } catch (const Error& e) {
    Error failure = chain[at]->Failure(e);
    const std::size_t last = std::min(chain.Size() - 1, at + kMaxWrappedOperations);
    for (std::size_t up = at + 1; up <= last; ++up) failure = chain[up]->Failure(failure);
    throw failure;
  }
}

std::string SimpleExpr::Formatted(int level) const {
  const ChainNodes chain(this);
  std::string text(chain.Size(), '(');
  text += Format(chain[0]->LeftOperand, level);
  for (std::size_t i = 0; i < chain.Size(); ++i)
    text += " " + ToUpper(chain[i]->Operator) + " " + Format(chain[i]->RightOperand, level) + ")";
  return text;
}

Variant SimpleExprUnary::Value(EvalContext& context) const {
  Variant operand = Evaluate(Operand, context);
  if (!EqualsIgnoreCase(Operator, "NOT")) {
    CurrentDialogs().Message("Unknown unary operator " + Operator, DialogIcon::None);
    return Variant();
  }
  return LogicalNot(operand);
}

std::string SimpleExprUnary::Formatted(int level) const { return ToUpper(Operator) + " " + Format(Operand, level); }

Variant SimpleNegate::Value(EvalContext& context) const { return Negate(Evaluate(OriginalValue, context)); }

std::string SimpleNegate::Formatted(int level) const { return "-" + Format(OriginalValue, level); }

Variant SimpleId::Value(EvalContext& context) const {
  if (const Variant* value = Lookup(context.variables)) return *value;
  throw FormulaFailure(FormulaErrorCode::UndefinedVariable, "SimpleID.Value",
                       "The variable '" + Name + "' is not defined, but it is used in:" + kCrLf + kCrLf +
                           FP->FormattedProgram());
}

void LiteralNumber::SetText(std::string text) {
  DoubleValue = std::move(text);
  number_ = ReadNumber(DoubleValue);
}

Variant LiteralNumber::Value(EvalContext&) const {
  if (std::isinf(number_) || std::isnan(number_))
    throw FormulaFailure(FormulaErrorCode::Overflow, "LiteralNumber.Value",
                         std::string(kTooLarge) + "these limitations. The approximate number that cause the error was:" +
                             kCrLf + kCrLf + DoubleValue);
  return Variant(number_);
}

}  // namespace korvane::formula
