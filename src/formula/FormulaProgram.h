// FormulaProgram.h: one formula of a model, the only door into the formula
// language for the rest of Korvane.
//
// Usage: SetSourceCode, ParseProgram; if HasError show ErrorMessage; otherwise
// look at Assignments (the names the text assigns) and Execute against a
// VariableList as often as needed. The syntax tree is immutable once parsed,
// so one parsed program serves any number of executions, and copies of a
// program share it.
//
// Parse errors are only texts in ErrorMessage. Evaluation failures are
// raised as korvane::Error with number ErrorNumber::Base + 10000 (a
// FormulaError), the inner failure's source and description kept; Execute
// shows nothing itself (a run may not wait for the person in the middle of a
// step), the caller reports the failure.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "formula/VariableList.h"
#include "util/Error.h"
#include "util/Random.h"

namespace korvane::formula {

// Codes of the formula errors; the raised number is ErrorNumber::Base + code.
namespace FormulaErrorCode {
constexpr std::int32_t Runtime = 1;           // any other failure, wrapped per operation
constexpr std::int32_t ExecuteFailed = 10000; // what Execute raises to its caller
constexpr std::int32_t Overflow = 10006;
constexpr std::int32_t DivisionByZero = 10011;
constexpr std::int32_t UndefinedVariable = 10200;
}  // namespace FormulaErrorCode

// What Execute raises: number ErrorNumber::Base + 10000, with the source and
// description of the failure that stopped the formula, whose own number
// InnerNumber keeps (a formula error's Base + code, or a run-time failure's
// small number).
class FormulaError : public Error {
 public:
  FormulaError(std::int32_t number, std::string source, std::string description, std::int32_t innerNumber)
      : Error(number, std::move(source), std::move(description)), innerNumber_(innerNumber) {}
  std::int32_t InnerNumber() const { return innerNumber_; }
  // The number as the formula error message shows it: a formula error's
  // code (10011), a run-time failure's own number (5).
  std::int32_t InnerCode() const;

 private:
  std::int32_t innerNumber_;
};

class Node;
struct SyntaxTree;
class LalrParser;
struct Reduction;

class FormulaProgram {
 public:
  FormulaProgram();
  explicit FormulaProgram(std::string sourceCode);
  ~FormulaProgram();
  FormulaProgram(const FormulaProgram&);
  FormulaProgram& operator=(const FormulaProgram&);
  FormulaProgram(FormulaProgram&&) noexcept;
  FormulaProgram& operator=(FormulaProgram&&) noexcept;

  static constexpr std::int16_t GrammarVersion() { return 6; }
  // "resources/Formula-v6.cgt" beside the program.
  static std::string GrammarFilePath();

  const std::string& SourceCode() const { return sourceCode_; }
  // Only changes the text; does not parse.
  void SetSourceCode(std::string sourceCode) { sourceCode_ = std::move(sourceCode); }

  // Parses SourceCode. On success the new tree replaces the old one; on a
  // parse error ErrorMessage says why and the previous tree stays. Every
  // assigned name is added to Assignments (which ParseProgram never clears).
  // A missing grammar file or one of another version is told through the
  // dialogs and leaves everything as it was.
  void ParseProgram();

  bool HasError() const { return !errorMessage_.empty(); }
  const std::string& ErrorMessage() const { return errorMessage_; }
  void SetErrorMessage(std::string text) { errorMessage_ = std::move(text); }

  // A warning a caller may leave with the program (a screen that accepts a
  // formula but has a doubt about it). Korvane's own parse and checks never
  // write one; ParseProgram and Reset empty it with the error message.
  bool HasWarning() const { return !warningMessage_.empty(); }
  const std::string& WarningMessage() const { return warningMessage_; }
  void SetWarningMessage(std::string text) { warningMessage_ = std::move(text); }

  // The names of the variables the parsed text reads (not those it only
  // assigns), once each, in order of appearance; empty with no tree.
  std::vector<std::string> ReadNames() const;

  // The names assigned anywhere in the parsed text, in order of appearance.
  const VariableList& Assignments() const { return assignments_; }
  VariableList& Assignments() { return assignments_; }

  // Runs the tree against variables (changed in place). False, variables
  // untouched, when there is no tree. Throws korvane::Error on a failure.
  bool Execute(VariableList& variables) const;
  // The same, drawing random built-ins from random for this call.
  bool Execute(VariableList& variables, RandomSource& random) const;

  // Draws of the random built-ins come from this source (not owned; it must
  // outlive the program's executions). nullptr: a per-thread source seeded
  // once from the clock.
  void SetRandomSource(RandomSource* random) { random_ = random; }

  // No tree, an empty Assignments list, no error and no warning.
  void Reset();

  // The tree's pretty-printed text, fully parenthesised; empty with no tree.
  std::string FormattedProgram() const;

  bool HasTree() const { return tree_ != nullptr; }

  // Readable form of expected symbol names joined by " or ".
  static std::string Humanize(std::string_view text);
  // "On line L char C: " for the parser's current position.
  static std::string Location(const LalrParser& engine);

  // Builds the node for one reduction of the parser; used by the parse loop.
  Node* CreateNewObject(const Reduction& reduction);

 private:
  bool Run(VariableList& variables, RandomSource& random) const;

  std::string sourceCode_;
  std::string errorMessage_;
  std::string warningMessage_;
  VariableList assignments_;
  std::shared_ptr<const SyntaxTree> tree_;
  SyntaxTree* building_ = nullptr;  // the tree under construction during ParseProgram
  RandomSource* random_ = nullptr;
};

}  // namespace korvane::formula
