// The formula program end to end: parsing, the formatted program, execution
// and the formula errors, through FormulaProgram and VariableList only.
#include <gtest/gtest.h>

#include "FormulaTestSupport.h"

namespace korvane::formula {
namespace {

using test::Parsed;
using test::RecordedDialogs;

// Runs text against vars and returns them; fails the test on a parse error.
VariableList RunText(const std::string& text, VariableList vars = {}) {
  FormulaProgram program = Parsed(text);
  EXPECT_FALSE(program.HasError()) << program.ErrorMessage();
  EXPECT_TRUE(program.Execute(vars));
  return vars;
}

// Runs text and returns the FormulaError it raises.
FormulaError Failure(const std::string& text, VariableList vars = {}) {
  RecordedDialogs dialogs;
  FormulaProgram program = Parsed(text);
  EXPECT_TRUE(program.HasTree()) << program.ErrorMessage();
  try {
    program.Execute(vars);
  } catch (const FormulaError& e) {
    return e;
  }
  ADD_FAILURE() << "no error from " << text;
  return FormulaError(0, "", "", 0);
}

TEST(FormulaProgram, AssignmentsAreKnownBeforeExecution) {
  FormulaProgram program;
  EXPECT_EQ(program.Assignments().Count(), 0);
  program.SetSourceCode("A = 12\r\nB = 25\r\nC = A + B");
  EXPECT_EQ(program.Assignments().Count(), 0);
  program.ParseProgram();
  EXPECT_FALSE(program.HasError()) << program.ErrorMessage();
  ASSERT_EQ(program.Assignments().Count(), 3);
  EXPECT_EQ(program.Assignments().Name(0), "A");
  EXPECT_EQ(program.Assignments().Name(1), "B");
  EXPECT_EQ(program.Assignments().Name(2), "C");
  VariableList vars;
  EXPECT_TRUE(program.Execute(vars));
  EXPECT_EQ(program.Assignments().Count(), 3);
  EXPECT_EQ(vars.ToString(), "A=12 B=25 C=37");
  EXPECT_EQ(program.FormattedProgram(), "A = 12\r\nB = 25\r\nC = (A + B)");

  // Assignments in branches that never run are recorded too, and a second
  // parse without Reset adds to the same list; Reset empties it.
  program.SetSourceCode("IF FALSE THEN D = 1 ENDIF");
  program.ParseProgram();
  EXPECT_EQ(program.Assignments().Count(), 4);
  program.Reset();
  EXPECT_EQ(program.Assignments().Count(), 0);
  EXPECT_FALSE(program.HasTree());
  EXPECT_FALSE(program.Execute(vars));
}

TEST(FormulaProgram, WarningsAreTheCallersAndParsingOrResetEmptiesThem) {
  FormulaProgram program("A = 1");
  EXPECT_FALSE(program.HasWarning());
  program.ParseProgram();
  EXPECT_FALSE(program.HasWarning());  // nothing in the parse writes one
  program.SetWarningMessage("A is never read");
  EXPECT_TRUE(program.HasWarning());
  EXPECT_EQ(program.WarningMessage(), "A is never read");
  VariableList vars;
  EXPECT_TRUE(program.Execute(vars));
  EXPECT_TRUE(program.HasWarning());  // running leaves it

  program.SetSourceCode("B = 2");
  program.ParseProgram();
  EXPECT_FALSE(program.HasWarning());
  program.SetWarningMessage("again");
  program.SetErrorMessage("set by a caller");
  EXPECT_TRUE(program.HasError());
  program.Reset();
  EXPECT_FALSE(program.HasWarning());
  EXPECT_FALSE(program.HasError());
}

TEST(FormulaProgram, ParseErrorsAreTextsAndKeepThePreviousTree) {
  RecordedDialogs dialogs;
  FormulaProgram bad = Parsed("A = 1_2");
  EXPECT_TRUE(bad.HasError());
  EXPECT_EQ(bad.ErrorMessage(), "On line 1 char 6: Invalid character '_'");
  EXPECT_EQ(bad.FormattedProgram(), "");
  VariableList vars;
  EXPECT_FALSE(bad.Execute(vars));
  EXPECT_EQ(vars.Count(), 0);

  FormulaProgram good = Parsed("A = 12");
  EXPECT_FALSE(good.HasError());
  EXPECT_EQ(good.ErrorMessage(), "");

  // A failed second parse leaves the first tree in place.
  good.SetSourceCode("A = (1");
  good.ParseProgram();
  EXPECT_TRUE(good.HasError());
  EXPECT_EQ(good.FormattedProgram(), "A = 12");

  EXPECT_EQ(Parsed("A = ").ErrorMessage(),
            "On line 1 char 5: Syntax error, expected a variable or a number or a string or a boolean value "
            "(FALSE / TRUE) or the 'NOT' logical operator or a statement");
  EXPECT_EQ(Parsed("A = 1\n/* open").ErrorMessage(),
            "On line 2 char 1: Unexpected end of file, expecting end of comment");
  // An empty argument list is a syntax error at the closing parenthesis.
  EXPECT_EQ(Parsed("A = MAX()").ErrorMessage(),
            "On line 1 char 9: Syntax error, expected a variable or a number or a string or a boolean value "
            "(FALSE / TRUE) or the 'NOT' logical operator or a statement");
  // '=' where a comparison is meant gets a sentence, not the list of tokens.
  for (const char* slip : {"IF Cue.X = 1 THEN U = 1 ENDIF", "USES.A = MEMORY.Option = CUE.Option"}) {
    const std::string message = Parsed(slip).ErrorMessage();
    EXPECT_NE(message.find("'=' assigns a value; to compare two values write '=='"), std::string::npos) << message;
    EXPECT_EQ(message.find("expected"), std::string::npos) << message;
  }
  // The names a formula reads, once each in order, without those it only
  // assigns.
  EXPECT_EQ(Parsed("U = Cue.A + MAX(Memory.B, Cue.A) * V\nIF Memory.B > 0 THEN W = U ENDIF").ReadNames(),
            (std::vector<std::string>{"Cue.A", "Memory.B", "V", "U"}));
  EXPECT_TRUE(dialogs.Shown().empty());
}

TEST(FormulaProgram, CommentsWhitespaceAndKeywordCase) {
  VariableList vars = RunText("// the first line\n a = 1 /* inside\n a comment */ if a == 1 then b = 2 endif");
  EXPECT_EQ(vars.ToString(), "A=1 B=2");
  // Keywords are not variables, but names that begin with one are.
  EXPECT_EQ(RunText("IFFY = 3 NOTE = IFFY").ToString(), "IFFY=3 NOTE=3");
  EXPECT_EQ(RunText("USES.1 = 4").ToString(), "USES.1=4");
}

TEST(FormulaProgram, GroupingAndPrecedenceShowInTheFormattedText) {
  EXPECT_EQ(Parsed("X = (1 + 2) * 3").FormattedProgram(), "X = ((1 + 2) * 3)");
  EXPECT_EQ(Parsed("X = a + b > c AND NOT d == e").FormattedProgram(), "X = (((a + b) > c) AND NOT (d == e))");
  EXPECT_EQ(Parsed("X = 1 - 2 - 3").FormattedProgram(), "X = ((1 - 2) - 3)");
  EXPECT_EQ(Parsed("X = 2 ** 3 ** 2").FormattedProgram(), "X = ((2 ** 3) ** 2)");
  EXPECT_EQ(Parsed("X = -a * b").FormattedProgram(), "X = (-a * b)");
  EXPECT_EQ(Parsed("X = 1 or 2 and 3").FormattedProgram(), "X = ((1 OR 2) AND 3)");
  EXPECT_EQ(Parsed("X = \"\" Y = max(1, \"a\")").FormattedProgram(), "X = \"\"\r\nY = max(1, \"a\")");
  EXPECT_DOUBLE_EQ(RunText("X = (1 + 2) * 3").Value("X").AsDouble(), 9);
  EXPECT_DOUBLE_EQ(RunText("X = 2 + 3 * 4 ** 2").Value("X").AsDouble(), 50);
  EXPECT_DOUBLE_EQ(RunText("X = 2 ** -1").Value("X").AsDouble(), 0.5);
  EXPECT_DOUBLE_EQ(RunText("X = 5 - -3").Value("X").AsDouble(), 8);
}

TEST(FormulaProgram, FormattedStatementsIndentPerLevel) {
  FormulaProgram program = Parsed(
      "IF a > 1 THEN IF b THEN c = 1 ELSE PASS ENDIF ELSE d = 2 ENDIF "
      "CASE x WHEN 1 THEN y = 1 WHEN 2 THEN PASS ELSE y = 3 ENDCASE");
  ASSERT_FALSE(program.HasError()) << program.ErrorMessage();
  EXPECT_EQ(program.FormattedProgram(),
            "IF (a > 1) THEN \r\n"
            "  IF b THEN \r\n"
            "    c = 1\r\n"
            "  ELSE\r\n"
            "PASS\r\n"
            "  ENDIF\r\n"
            "ELSE\r\n"
            "  d = 2\r\n"
            "ENDIF\r\n"
            "CASE x\r\n"
            "WHEN 1 THEN\r\n"
            "  y = 1\r\n"
            "WHEN 2 THEN\r\n"
            "PASS\r\n"
            "ELSE\r\n"
            "  y = 3\r\n"
            "ENDCASE");
}

TEST(FormulaProgram, BranchesTakeOnlyTrueOrMinusOneAsTrue) {
  EXPECT_EQ(RunText("IF 1 THEN r = \"then\" ELSE r = \"else\" ENDIF").Value("R").AsString(), "else");
  EXPECT_EQ(RunText("IF -1 THEN r = \"then\" ELSE r = \"else\" ENDIF").Value("R").AsString(), "then");
  EXPECT_EQ(RunText("IF TRUE THEN r = \"then\" ENDIF").Value("R").AsString(), "then");
  EXPECT_FALSE(RunText("IF 0 THEN r = 1 ENDIF").Has("R"));

  const char* cases = "CASE k WHEN 1 THEN r = \"one\" WHEN \"b\" THEN r = \"bee\" ELSE r = \"other\" ENDCASE";
  VariableList vars;
  vars.Add("k", Variant(static_cast<std::int16_t>(1)));
  EXPECT_EQ(RunText(cases, vars).Value("R").AsString(), "one");
  vars.SetValue("k", Variant("b"));
  EXPECT_EQ(RunText(cases, vars).Value("R").AsString(), "bee");
  vars.SetValue("k", Variant("B"));  // CASE compares texts exactly
  EXPECT_EQ(RunText(cases, vars).Value("R").AsString(), "other");
  // Without ELSE nothing runs; the first matching WHEN wins.
  EXPECT_FALSE(RunText("CASE 3 WHEN 1 THEN r = 1 ENDCASE").Has("R"));
  EXPECT_EQ(RunText("CASE 2 WHEN 2 THEN r = 1 WHEN 2 THEN r = 2 ENDCASE").Value("R").ToText(), "1");
}

TEST(FormulaProgram, ValueRulesOfTheOperators) {
  VariableList vars;
  vars.Add("s", Variant("12abc"));
  vars.Add("t", Variant("Hello"));
  vars.Add("n", Variant::Null());
  vars.Add("yes", Variant(true));
  vars.Add("no", Variant(false));
  VariableList out = RunText(
      "a = TRUE + 1 "
      "b = s == 12 "
      "c = t == \"hello\" "
      "d = t != \"hello\" "
      "e = t <> \"HELLO\" "
      "f = yes == no "
      "g = yes == 0 "
      "h = n + 5 "
      "i = 7 \\ 2 "
      "j = 5 \\ 2 "
      "k = 6 AND 3 "
      "l = yes OR no "
      "m = yes AND 6 "
      "o = NOT yes "
      "p = NOT 0 "
      "q = -yes "
      "r = \"2\" + \"3\" "
      "u = 10 / 4",
      vars);
  EXPECT_EQ(out.Value("A").ToText(), "1");
  EXPECT_EQ(out.Value("B").ToText(), "True");
  EXPECT_EQ(out.Value("C").ToText(), "True");
  EXPECT_EQ(out.Value("D").ToText(), "False");
  EXPECT_EQ(out.Value("E").ToText(), "False");
  EXPECT_EQ(out.Value("F").ToText(), "False");
  EXPECT_EQ(out.Value("G").ToText(), "True");  // a boolean reads as 0 against a number
  EXPECT_EQ(out.Value("H").ToText(), "5");
  EXPECT_EQ(out.Value("I").ToText(), "4");
  EXPECT_EQ(out.Value("J").ToText(), "2");
  EXPECT_EQ(out.Value("K").ToText(), "2");
  EXPECT_EQ(out.Value("L").ToText(), "True");
  EXPECT_EQ(out.Value("M").ToText(), "6");
  EXPECT_EQ(out.Value("O").ToText(), "False");
  EXPECT_EQ(out.Value("P").ToText(), "-1");
  EXPECT_EQ(out.Value("Q").ToText(), "1");
  EXPECT_EQ(out.Value("R").ToText(), "5");  // no concatenation
  EXPECT_EQ(out.Value("U").ToText(), "2.5");
}

TEST(FormulaProgram, DivisionByZeroQuotesTheOperandAndTheProgram) {
  FormulaError e = Failure("PI = 22 / 0");
  EXPECT_EQ(e.Number(), ErrorNumber::Base + 10000);
  EXPECT_EQ(e.InnerCode(), 10011);
  EXPECT_EQ(e.Source(), "SimpleExpr.Value");
  EXPECT_EQ(e.Description(),
            "Your formula divided a value by zero. The value of '0' was 0 in the formula: \r\n\r\nPI = (22 / 0)");

  VariableList vars;
  vars.Add("z", Variant(0.0));
  FormulaError integer = Failure("X = 1 + 9 \\ z", vars);
  EXPECT_EQ(integer.InnerCode(), 1);  // wrapped once by the enclosing +
  EXPECT_EQ(integer.Description(),
            "Error: Your formula divided a value by zero. The value of 'z' was 0 in the formula: \r\n\r\n"
            "X = (1 + (9 \\ z)) (#-2147211493)\r\n"
            "Occurred while processing this part of the formula: (1 + (9 \\ z))");
}

TEST(FormulaProgram, UndefinedVariablesAndTheWrappingPerOperation) {
  FormulaError direct = Failure("A = 1\r\nB = Missing");
  EXPECT_EQ(direct.InnerCode(), 10200);
  EXPECT_EQ(direct.Source(), "SimpleID.Value");
  EXPECT_EQ(direct.Description(),
            "The variable 'Missing' is not defined, but it is used in:\r\n\r\nA = 1\r\nB = Missing");

  FormulaError once = Failure("B = Missing * 2");
  EXPECT_EQ(once.InnerCode(), 1);
  EXPECT_EQ(once.Source(), "SimpleExpr.Value");
  EXPECT_EQ(once.Description(),
            "Error: The variable 'Missing' is not defined, but it is used in:\r\n\r\nB = (Missing * 2) (#-2147211304)\r\n"
            "Occurred while processing this part of the formula: (Missing * 2)");

  FormulaError twice = Failure("B = 1 + Missing * 2");
  const std::string& text = twice.Description();
  EXPECT_EQ(text.rfind("Error: Error: The variable 'Missing'", 0), 0u) << text;
  EXPECT_NE(text.find(" (#-2147221503)\r\nOccurred while processing this part of the formula: (1 + (Missing * 2))"),
            std::string::npos)
      << text;

  // A variable used in its own first assignment exists (as an empty object),
  // so the failure is a run-time failure, not an undefined variable.
  FormulaError self = Failure("X = X + 1");
  EXPECT_EQ(self.InnerCode(), 1);
  EXPECT_EQ(self.Description(),
            "Error: Type mismatch (#13)\r\nOccurred while processing this part of the formula: (X + 1)");
}

TEST(FormulaProgram, ExecuteRaisesWithoutShowingAMessage) {
  RecordedDialogs dialogs;
  FormulaProgram program = Parsed("Y = LN(0)");
  VariableList vars;
  try {
    program.Execute(vars);
    ADD_FAILURE() << "LN(0) ran";
  } catch (const FormulaError& e) {
    EXPECT_EQ(e.InnerNumber(), ErrorNumber::InvalidProcedureCall);
    EXPECT_EQ(e.Number(), ErrorNumber::Base + 10000);
  }
  // A message box here would run its own event loop in the middle of a
  // simulation step; the caller reports the failure instead.
  EXPECT_TRUE(dialogs.Shown().empty());

  FormulaProgram overflow = Parsed("Y = 1E300 * 1E300 + 0");
  EXPECT_TRUE(overflow.HasError());  // no exponents in number literals
  FormulaError big = Failure("Y = 10 ** 300 * 10 ** 300");
  EXPECT_EQ(big.InnerCode(), 10006);
  EXPECT_EQ(big.Description(),
            "Your formula resulted in a number that is too large for Korvane to\r\n"
            "understand. This may cause inaccuracies or incorrectness in further\r\n"
            "calculations. Please refer to the User Manual for an explanation on\r\n"
            "these limitations.");
  FormulaError literal = Failure("Y = " + std::string(400, '9'));
  EXPECT_EQ(literal.InnerCode(), 10006);
  EXPECT_EQ(literal.Source(), "LiteralNumber.Value");
  EXPECT_EQ(literal.Description().substr(literal.Description().size() - 10), std::string(10, '9'));
}

TEST(FormulaProgram, DeepNestingIsRefusedNotOverflowed) {
  for (int depth : {300, 5000, 50000}) {
    FormulaProgram parens = Parsed("X = " + std::string(depth, '(') + "1" + std::string(depth, ')'));
    EXPECT_TRUE(parens.HasError()) << depth;
    EXPECT_NE(parens.ErrorMessage().find("nested too deeply"), std::string::npos) << parens.ErrorMessage();
    std::string chain = "X = ";
    for (int i = 0; i < depth; ++i) chain += "-(";
    EXPECT_TRUE(Parsed(chain + "1" + std::string(depth, ')')).HasError());
    std::string ifs;
    for (int i = 0; i < depth; ++i) ifs += "IF 1 THEN ";
    EXPECT_TRUE(Parsed(ifs).HasError());
  }
  // Moderate nesting and long flat programs are fine.
  std::string flat;
  for (int i = 0; i < 2000; ++i) flat += "X" + std::to_string(i) + " = " + std::to_string(i) + "\n";
  FormulaProgram many = Parsed(flat);
  EXPECT_FALSE(many.HasError()) << many.ErrorMessage();
  VariableList vars;
  EXPECT_TRUE(many.Execute(vars));
  EXPECT_EQ(vars.Count(), 2000);
  EXPECT_DOUBLE_EQ(RunText("X = " + std::string(150, '(') + "2" + std::string(150, ')')).Value("X").AsDouble(), 2);
}

// "Y = 1 * 2 + 2 * 2 + ... + terms * 2" and "IF K == 1 THEN R = 1 ELSE IF ...
// ELSE R = -1 ENDIF ... ENDIF".
std::string LongSum(int terms) {
  std::string text = "Y = ";
  for (int i = 1; i <= terms; ++i) text += (i > 1 ? " + " : "") + std::to_string(i) + " * 2";
  return text;
}
std::string ElseIfChain(int branches) {
  std::string text;
  for (int i = 1; i <= branches; ++i)
    text += (i > 1 ? " ELSE " : "") + std::string("IF K == ") + std::to_string(i) + " THEN R = " + std::to_string(i);
  text += " ELSE R = -1";
  for (int i = 0; i < branches; ++i) text += " ENDIF";
  return text;
}

TEST(FormulaProgram, LongFlatChainsAreNotNesting) {
  // A sum of 5,000 ones, and one whose terms are products (a chain whose
  // right operands are one level down).
  std::string ones = "X = 1";
  for (int i = 1; i < 5000; ++i) ones += "+1";
  EXPECT_DOUBLE_EQ(RunText(ones).Value("X").ToNumber(), 5000);
  EXPECT_DOUBLE_EQ(RunText(LongSum(3000)).Value("Y").ToNumber(), 3000.0 * 3001.0);
  // Operators of several precedences in one chain, and a chain inside
  // parentheses inside a chain.
  std::string mixed = "Z = 0";
  for (int i = 0; i < 2000; ++i) mixed += " + 3 - 1 * 2 / 2 - (1 + 1 - 1 + 0)";
  EXPECT_DOUBLE_EQ(RunText(mixed).Value("Z").ToNumber(), 2000);

  // Every operator makes a flat chain (none groups from the right, which
  // would nest without parentheses).
  for (const char* op : {"+", "-", "*", "/", "\\", "**", ">", ">=", "<", "<=", "==", "!=", "<>", "AND", "OR"}) {
    std::string text = "X = 1";
    for (int i = 0; i < 5000; ++i) text += std::string(" ") + op + " 1";
    FormulaProgram program = Parsed(text);
    ASSERT_FALSE(program.HasError()) << op << ": " << program.ErrorMessage();
    VariableList vars;
    try {
      program.Execute(vars);  // "1 > 1 > 1" may fail on its types; it must not crash
    } catch (const FormulaError&) {
    }
    EXPECT_EQ(program.FormattedProgram().size(), text.size() + 2 * 5000) << op;
  }

  // The ELSE IF chain of 1,000 branches takes the first true one.
  FormulaProgram chain = Parsed(ElseIfChain(1000));
  ASSERT_FALSE(chain.HasError()) << chain.ErrorMessage();
  for (int k : {1, 2, 500, 1000, 1001, 0}) {
    VariableList vars;
    vars.Add("K", Variant(static_cast<double>(k)));
    ASSERT_TRUE(chain.Execute(vars));
    EXPECT_DOUBLE_EQ(vars.Value("R").ToNumber(), k >= 1 && k <= 1000 ? k : -1) << k;
  }
  // Printed as written (nested blocks), in linear size.
  const std::string printed = chain.FormattedProgram();
  EXPECT_EQ(printed.rfind("IF (K == 1) THEN \r\n  R = 1\r\nELSE\r\n  IF (K == 2) THEN", 0), 0u) << printed.substr(0, 80);
  EXPECT_LT(printed.size(), 500000u);  // indentation stops growing: 1,000 times 32 levels would be 4 MB
  EXPECT_EQ(printed.substr(printed.size() - 7), "\r\nENDIF");
  EXPECT_EQ(Parsed("X = 1 + 2 - 3 * 4").FormattedProgram(), "X = ((1 + 2) - (3 * 4))");

  // A failure deep in a long chain is reported, with a bounded text.
  std::string missing = "X = 1";
  for (int i = 1; i < 5000; ++i) missing += i == 10 ? " + Missing" : " + 1";
  const FormulaError failure = Failure(missing);
  EXPECT_NE(failure.Description().find("The variable 'Missing' is not defined"), std::string::npos);
  EXPECT_LT(failure.Description().size(), 2000000u);
}

TEST(FormulaProgram, RealNestingStillCounts) {
  // Nesting in the right operands, in calls and in THEN blocks.
  std::string right = "X = 1";
  for (int i = 0; i < 10000; ++i) right += " + (1";
  right += std::string(10000, ')');
  std::string calls = "X = ";
  for (int i = 0; i < 10000; ++i) calls += "ABS(";
  calls += "1" + std::string(10000, ')');
  std::string thens;
  for (int i = 0; i < 10000; ++i) thens += "IF 1 THEN ";
  thens += "X = 1";
  for (int i = 0; i < 10000; ++i) thens += " ENDIF";
  std::string parens = "X = " + std::string(10000, '(') + "1" + std::string(10000, ')');
  for (const std::string& text : {right, calls, thens, parens}) {
    FormulaProgram program = Parsed(text);
    EXPECT_TRUE(program.HasError()) << text.substr(0, 40);
    EXPECT_NE(program.ErrorMessage().find("Formula is nested too deeply (more than 200 levels)"), std::string::npos)
        << program.ErrorMessage();
  }
  // Up to the limit it runs, a long chain at every level included.
  std::string deep = "X = ";
  for (int i = 0; i < 190; ++i) deep += "1 + 1 + (";
  deep += "1" + std::string(190, ')');
  EXPECT_DOUBLE_EQ(RunText(deep).Value("X").ToNumber(), 381);
}

TEST(FormulaProgram, CopiesShareTheParsedTree) {
  FormulaProgram original = Parsed("PM = -ABS(CUE - MEMORY)");
  FormulaProgram copy = original;
  FormulaProgram moved = std::move(original);
  VariableList vars;
  vars.Add("Cue", Variant(3.0));
  vars.Add("Memory", Variant(static_cast<std::int16_t>(5)));
  EXPECT_TRUE(copy.Execute(vars));
  EXPECT_EQ(vars.ToString(), "CUE=3 MEMORY=5 PM=-2");
  EXPECT_TRUE(moved.Execute(vars));
  EXPECT_EQ(moved.FormattedProgram(), "PM = -ABS((CUE - MEMORY))");
}

TEST(FormulaProgram, HumanizeAndGrammarFile) {
  EXPECT_EQ(FormulaProgram::Humanize("Identifier or NumberLiteral or StringLiteral or FALSE or TRUE or - or NOT or ("),
            "a variable or a number or a string or a boolean value (FALSE / TRUE) or the 'NOT' logical operator or a "
            "statement");
  EXPECT_EQ(FormulaProgram::Humanize("ENDIF or -"), "ENDIF or -");
  EXPECT_EQ(FormulaProgram::GrammarVersion(), 6);
  EXPECT_NE(FormulaProgram::GrammarFilePath().find("resources/Formula-v6.cgt"), std::string::npos);
}

}  // namespace
}  // namespace korvane::formula
