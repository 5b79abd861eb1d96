// FormulaCommands.cpp: `korvane formula check|run`, for trying a formula
// without a model.
//
//   korvane formula check TEXT            parse and show the formatted program
//   korvane formula run TEXT [NAME=VALUE] run it and list every variable
//
// TEXT "-" reads the formula from standard input. Values are typed as the
// task protocol types them: empty stays empty; a text of digits, "-" and "."
// only is an integer without "." and a double with one; anything else is text.
#include <cstdint>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>

#include "app/Commands.h"
#include "formula/FormulaProgram.h"
#include "util/Dialogs.h"
#include "util/Random.h"

namespace korvane::app {

namespace {

std::string FormulaText(const std::string& argument) {
  if (argument != "-") return argument;
  return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
}

// A value typed the way the task protocol types the values it receives.
Variant TypedValue(const std::string& text) {
  if (text.empty()) return Variant();
  if (text.find_first_not_of("0123456789-.") != std::string::npos || !IsNumericText(text)) return Variant(text);
  double number = ReadNumber(text);
  if (text.find('.') != std::string::npos) return Variant(number);
  if (number >= -32768 && number <= 32767) return Variant(static_cast<std::int16_t>(number));
  // Wider than 16 bits: kept whole where it fits, rather than refused.
  if (number >= -2147483648.0 && number <= 2147483647.0) return Variant(static_cast<std::int32_t>(number));
  return Variant(number);
}

// Parses the program; prints the parse error and returns false when it fails.
bool ParseOrReport(formula::FormulaProgram& program) {
  program.ParseProgram();
  if (program.HasError()) {
    std::cerr << "Formula Error: " << program.ErrorMessage() << "\n";
    return false;
  }
  if (!program.HasTree()) {  // the grammar file was missing; the dialogs said so
    std::cerr << "Formula Error: the formula could not be parsed\n";
    return false;
  }
  return true;
}

}  // namespace

void AddFormulaCommands(CLI::App& app, CommandContext& context) {
  auto* formula = app.add_subcommand("formula", "Check or run a formula of the formula language");
  formula->require_subcommand(1);

  struct Options {
    std::string text;
    std::vector<std::string> assignments;
    std::optional<std::uint64_t> seed;
  };
  auto options = std::make_shared<Options>();

  auto* check = formula->add_subcommand("check", "Parse a formula and print its formatted program");
  check->add_option("TEXT", options->text, "The formula, or - to read it from standard input")->required();
  check->callback([options, &context] {
    formula::FormulaProgram program(FormulaText(options->text));
    if (!ParseOrReport(program)) {
      context.exitCode = 1;
      return;
    }
    std::cout << "Formula Accepted.\n" << program.FormattedProgram() << "\n";
  });

  auto* run = formula->add_subcommand("run", "Run a formula on the given variables and print them all");
  run->add_option("TEXT", options->text, "The formula, or - to read it from standard input")->required();
  run->add_option("VARIABLES", options->assignments, "NAME=VALUE pairs, in order");
  run->add_option("--seed", options->seed, "Seed of the random built-ins (default: from the clock)");
  run->callback([options, &context] {
    formula::FormulaProgram program(FormulaText(options->text));
    if (!ParseOrReport(program)) {
      context.exitCode = 1;
      return;
    }
    formula::VariableList variables;
    for (const std::string& pair : options->assignments) {
      auto eq = pair.find('=');
      if (eq == std::string::npos || eq == 0)  // a usage error: exit code 2
        throw CLI::ValidationError("VARIABLES", "expected NAME=VALUE, got '" + pair + "'");
      std::string name = pair.substr(0, eq);
      Variant value = TypedValue(pair.substr(eq + 1));
      variables.Assign(name, value);
    }
    RandomSource random = options->seed ? RandomSource(*options->seed) : RandomSource();
    try {
      program.Execute(variables, random);
    } catch (const formula::FormulaError& e) {
      std::cerr << "Error #" << e.InnerCode() << ": " << e.Description() << "\n";
      context.exitCode = 1;
      return;
    } catch (const Error& e) {
      std::cerr << "Error #" << e.Number() << ": " << e.Description() << "\n";
      context.exitCode = 1;
      return;
    }
    std::cout << program.FormattedProgram() << "\n--\n";
    for (const auto& entry : variables) std::cout << entry.name << "=" << entry.value.ToText() << "\n";
  });
}

}  // namespace korvane::app
