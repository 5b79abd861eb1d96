// Nodes.h: the syntax tree of a formula. Statement nodes run against a
// VariableList; expression nodes compute a Variant; every node prints itself.
//
// Trees are built only by FormulaProgram::CreateNewObject and never change
// afterwards. All nodes of one tree live in its SyntaxTree, which owns them;
// children are plain pointers into it. Property names follow the language's
// own vocabulary (CurrentStmt, AssignValue, ...). The parser caps the nesting
// depth of a tree (parentheses, operands, calls, blocks), so the recursive
// Value, Execute and Formatted stay shallow. What may be long without being
// deep is walked in loops: pass-through nodes, lists, a chain of binary
// operations down its left operands ("1 + 2 + ... + n") and an ELSE IF chain.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "formula/Values.h"
#include "formula/VariableList.h"
#include "util/Random.h"

namespace korvane::formula {

struct SyntaxTree;
struct BuiltinInfo;

struct EvalContext {
  VariableList& variables;
  RandomSource& random;
};

enum class NodeKind {
  StmtList, Assign, Branch, ComplexBranch, WhenClause, ElseClause, Pass, ExprList, Expr, ExprUnary, Negate,
  ExprTrim, Id, LiteralNumber, LiteralString, LiteralBoolean, FunctionCall
};

class Node {
 public:
  explicit Node(NodeKind kind) : kind_(kind) {}
  virtual ~Node() = default;
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;

  NodeKind Kind() const { return kind_; }
  // Statements: run against the variables. Others do nothing.
  virtual void Execute(EvalContext& context) const;
  // Expressions: the value. Others give empty.
  virtual Variant Value(EvalContext& context) const;
  virtual std::string Formatted(int level) const = 0;

  const SyntaxTree* FP = nullptr;  // the tree (and through it the program) this node belongs to
  int depth = 1;                   // nesting depth below and including this node

 private:
  NodeKind kind_;
};

// The value of an expression node, looking through pass-through nodes.
Variant Evaluate(const Node* node, EvalContext& context);
// The formatted text of a node, looking through pass-through nodes.
std::string Format(const Node* node, int level);
std::string Indent(int level);

class SimpleStmtList : public Node {
 public:
  SimpleStmtList() : Node(NodeKind::StmtList) {}
  void Execute(EvalContext& context) const override;
  std::string Formatted(int level) const override;
  Node* CurrentStmt = nullptr;
  SimpleStmtList* NextStmt = nullptr;
};

class SimpleAssign : public Node {
 public:
  SimpleAssign() : Node(NodeKind::Assign) {}
  void Execute(EvalContext& context) const override;
  std::string Formatted(int level) const override;
  std::string Name;
  Node* AssignValue = nullptr;

 private:
  mutable std::atomic<int> hint_{-1};  // where Name was found last time
};

class SimpleBranch : public Node {
 public:
  SimpleBranch() : Node(NodeKind::Branch) {}
  void Execute(EvalContext& context) const override;
  std::string Formatted(int level) const override;
  // Sets the else clause; when it holds nothing but another IF block (an
  // ELSE IF), that block is remembered, so that a chain of them is one level.
  void SetElse(Node* elseClause);
  const SimpleBranch* ElseIf() const { return elseIf_; }
  Node* IfClause = nullptr;
  Node* ThenClause = nullptr;
  Node* ElseClause = nullptr;

 private:
  const SimpleBranch* elseIf_ = nullptr;
};

class SimpleWhenClause : public Node {
 public:
  SimpleWhenClause() : Node(NodeKind::WhenClause) {}
  // Walks this clause and the ones after it; runs the first whose expression
  // equals caseValue. True when one ran.
  bool ChainExecute(const Variant& caseValue, EvalContext& context) const;
  std::string Formatted(int level) const override;
  // A list cell holds its clause in CurrentStatements and has no expression.
  bool IsListCell() const { return CurrentExpression == nullptr; }
  Node* CurrentExpression = nullptr;
  Node* CurrentStatements = nullptr;
  SimpleWhenClause* NextWhenClause = nullptr;
};

class SimpleElseClause : public Node {
 public:
  SimpleElseClause() : Node(NodeKind::ElseClause) {}
  void Execute(EvalContext& context) const override;
  std::string Formatted(int level) const override;
  Node* ElseClause = nullptr;
};

class ComplexBranch : public Node {
 public:
  ComplexBranch() : Node(NodeKind::ComplexBranch) {}
  void Execute(EvalContext& context) const override;
  std::string Formatted(int level) const override;
  Node* CaseExpression = nullptr;
  SimpleWhenClause* WhenClauses = nullptr;
  SimpleElseClause* ElseClause = nullptr;
};

class SimplePass : public Node {
 public:
  SimplePass() : Node(NodeKind::Pass) {}
  void Execute(EvalContext&) const override {}
  std::string Formatted(int) const override { return "PASS"; }
};

class SimpleExprList : public Node {
 public:
  SimpleExprList() : Node(NodeKind::ExprList) {}
  std::string Formatted(int level) const override;
  int Count() const;
  // The values of the expressions, left to right, into out[0 .. Count()-1].
  void Values(EvalContext& context, Variant* out) const;
  std::vector<Variant> Values(EvalContext& context) const;
  Node* CurrentExpr = nullptr;
  SimpleExprList* NextExpr = nullptr;
};

class SimpleExpr : public Node {
 public:
  SimpleExpr() : Node(NodeKind::Expr) {}
  Variant Value(EvalContext& context) const override;
  std::string Formatted(int level) const override;
  void SetOperator(std::string text);
  // Sets both operands. A left operand that is itself a binary operation
  // continues this one's chain.
  void SetOperands(Node* left, Node* right);
  // The binary operation this one's left operand is (looking through
  // pass-through nodes), or nullptr.
  const SimpleExpr* ChainBelow() const { return below_; }
  // The operations of the chain ending here, this one included.
  std::size_t ChainLength() const { return chainLength_; }
  Node* LeftOperand = nullptr;
  std::string Operator;
  Node* RightOperand = nullptr;

 private:
  // One operation on the value so far; a failure is wrapped as before.
  Variant Apply(const Variant& left, const Variant& right) const;
  // A failure of this operation or below it, as this operation reports it.
  Error Failure(const Error& error) const;
  Variant ChainValue(EvalContext& context) const;
  BinaryOperator op_ = BinaryOperator::Unknown;
  const SimpleExpr* below_ = nullptr;
  std::size_t chainLength_ = 1;
};

class SimpleExprUnary : public Node {
 public:
  SimpleExprUnary() : Node(NodeKind::ExprUnary) {}
  Variant Value(EvalContext& context) const override;
  std::string Formatted(int level) const override;
  std::string Operator;
  Node* Operand = nullptr;
};

class SimpleNegate : public Node {
 public:
  SimpleNegate() : Node(NodeKind::Negate) {}
  Variant Value(EvalContext& context) const override;
  std::string Formatted(int level) const override;
  Node* OriginalValue = nullptr;
};

class SimpleExprTrim : public Node {
 public:
  SimpleExprTrim() : Node(NodeKind::ExprTrim) {}
  Variant Value(EvalContext& context) const override { return Evaluate(ChildExpression, context); }
  std::string Formatted(int level) const override { return Format(ChildExpression, level); }
  // Sets the child and remembers the first node below it that is not a
  // pass-through, so that evaluation skips a chain of them in one step.
  void SetChild(Node* child);
  const Node* Target() const { return target_; }
  Node* ChildExpression = nullptr;

 private:
  const Node* target_ = nullptr;
};

class SimpleId : public Node {
 public:
  SimpleId() : Node(NodeKind::Id) {}
  Variant Value(EvalContext& context) const override;
  std::string Formatted(int) const override { return Name; }
  // The variable's value in vars, or null when it is not there. Looks first
  // where it was found last time: a formula run once per candidate meets its
  // variables at the same places every time.
  const Variant* Lookup(const VariableList& vars) const {
    const int hint = hint_.load(std::memory_order_relaxed);
    const int at = vars.IndexOf(Name, hint);
    if (at < 0) return nullptr;
    if (at != hint) hint_.store(at, std::memory_order_relaxed);
    return &vars.Value(at);
  }
  std::string Name;

 private:
  mutable std::atomic<int> hint_{-1};
};

class LiteralNumber : public Node {
 public:
  LiteralNumber() : Node(NodeKind::LiteralNumber) {}
  Variant Value(EvalContext& context) const override;
  std::string Formatted(int) const override { return DoubleValue; }
  void SetText(std::string text);
  std::string DoubleValue;  // the literal as written

 private:
  double number_ = 0;
};

class LiteralString : public Node {
 public:
  LiteralString() : Node(NodeKind::LiteralString) {}
  Variant Value(EvalContext&) const override { return Variant(StringValue); }
  std::string Formatted(int) const override { return "\"" + StringValue + "\""; }
  std::string StringValue;
};

class LiteralBoolean : public Node {
 public:
  LiteralBoolean() : Node(NodeKind::LiteralBoolean) {}
  Variant Value(EvalContext&) const override { return Variant(BooleanValue); }
  std::string Formatted(int) const override { return BooleanValue ? "TRUE" : "FALSE"; }
  bool BooleanValue = false;
};

// A call of a built-in function (Builtins.cpp).
class SimpleFunctionCall : public Node {
 public:
  SimpleFunctionCall() : Node(NodeKind::FunctionCall) {}
  // Checks the name and the argument count; sets ErrorMessage.
  bool IsValid();
  Variant Value(EvalContext& context) const override;
  std::string Formatted(int level) const override;
  std::string Name;
  SimpleExprList* ExpressionList = nullptr;
  std::string ErrorMessage;

 private:
  const BuiltinInfo* function_ = nullptr;
};

// Owns the nodes of one parsed formula.
struct SyntaxTree {
  std::vector<std::unique_ptr<Node>> nodes;
  Node* root = nullptr;
  bool tooDeep = false;

  template <class T>
  T* Make() {
    auto node = std::make_unique<T>();
    T* raw = node.get();
    raw->FP = this;
    nodes.push_back(std::move(node));
    return raw;
  }
  std::string FormattedProgram() const { return root ? Format(root, 0) : std::string(); }
};

}  // namespace korvane::formula
