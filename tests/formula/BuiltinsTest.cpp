// The built-in functions and the call check, through FormulaProgram.
#include <gtest/gtest.h>

#include <set>

#include "FormulaTestSupport.h"

namespace korvane::formula {
namespace {

using test::Parsed;
using test::RecordedDialogs;

// The value a one-line formula "R = expression" assigns.
Variant Eval(const std::string& expression, RandomSource* random = nullptr) {
  FormulaProgram program = Parsed("R = " + expression);
  EXPECT_FALSE(program.HasError()) << expression << ": " << program.ErrorMessage();
  program.SetRandomSource(random);
  VariableList vars;
  program.Execute(vars);
  return vars.Value("R");
}

double Number(const std::string& expression) { return Eval(expression).ToNumber(); }

// The inner code of the failure that running expression raises.
std::int32_t FailureCode(const std::string& expression) {
  RecordedDialogs dialogs;
  FormulaProgram program = Parsed("R = " + expression);
  VariableList vars;
  try {
    program.Execute(vars);
  } catch (const FormulaError& e) {
    return e.InnerCode();
  }
  return 0;
}

TEST(Builtins, ArithmeticFunctions) {
  EXPECT_EQ(Eval("max(1, 2, -1.5)").ToText(), "2");
  EXPECT_EQ(Eval("MIN(1, 2, -1.5)").ToText(), "-1.5");
  EXPECT_NEAR(Number("LOG(10, 2)"), 3.3219, 1e-4);
  EXPECT_NEAR(Number("Ln(2)"), 0.6931, 1e-4);
  EXPECT_EQ(Number("POWER(2, 3)"), 8);
  EXPECT_NEAR(Number("SQRT(2)"), 1.4142, 1e-4);
  EXPECT_EQ(Eval("ABS(-50.23)").ToText(), "50.23");
  EXPECT_EQ(Number("ROUND(2.5)"), 2);
  EXPECT_EQ(Number("ROUND(3.5)"), 4);
  EXPECT_EQ(Number("ROUNDDOWN(-3.5)"), -4);
  EXPECT_EQ(Number("ROUNDDOWN(3.5)"), 3);
  EXPECT_EQ(Number("ROUNDUP(-3.5)"), -3);
  EXPECT_EQ(Number("ROUNDUP(3.5)"), 4);
  EXPECT_EQ(Number("ROUNDUP(4.23)"), 4);
  EXPECT_EQ(Number("ROUNDTRUNCATE(-3.5)"), -3);
  EXPECT_EQ(Number("AVG(1, 2, 3, 4, 5)"), 3);
  EXPECT_EQ(Number("mean(7)"), 7);
  EXPECT_EQ(Number("SUM(1, 2, 3)"), 6);
  EXPECT_EQ(Eval("SUM(\"ab\", \"cd\")").AsString(), "abcd");
  EXPECT_EQ(Number("SUM(TRUE, 1)"), 0);  // a boolean adds as -1 here
  EXPECT_EQ(Eval("IIF(1 > 2, \"yes\", \"no\")").AsString(), "no");
  EXPECT_EQ(Eval("IIF(3, \"yes\", \"no\")").AsString(), "yes");
  EXPECT_EQ(Eval("MAX(\"b\", \"a\", 5)").AsString(), "b");
}

TEST(Builtins, WholeNumbersReachBeyondSixteenBits) {
  EXPECT_EQ(Eval("ROUNDDOWN(40000.5)").ToText(), "40000");
  EXPECT_EQ(Eval("ROUNDUP(-70000.2)").ToText(), "-70000");
  EXPECT_EQ(Eval("ROUNDTRUNCATE(2147483647.9)").ToText(), "2147483647");
  EXPECT_EQ(FailureCode("ROUNDDOWN(3000000000)"), 6);  // past 32 bits: overflow, not wrapped
  EXPECT_EQ(FailureCode("1 + ROUNDDOWN(3000000000)"), 10006);
  RandomSource random(7);
  bool above16 = false;
  for (int i = 0; i < 200; ++i) {
    double v = Eval("RANDINT(0, 50000)", &random).ToNumber();
    ASSERT_GE(v, 0);
    ASSERT_LT(v, 50000);
    above16 = above16 || v > 32767;
  }
  EXPECT_TRUE(above16);
}

TEST(Builtins, ComputationFailuresAreRunTimeFailures) {
  EXPECT_EQ(FailureCode("LN(0)"), 5);
  EXPECT_EQ(FailureCode("LOG(8, 1)"), 5);
  EXPECT_EQ(FailureCode("SQRT(-1)"), 5);
  EXPECT_EQ(FailureCode("LN(\"abc\")"), 13);
  EXPECT_EQ(FailureCode("2 * LN(-1)"), 1);  // wrapped once by the product
  EXPECT_EQ(Number("LN(\"1\")"), 0);        // a numeric text converts whole
  EXPECT_EQ(Number("ROUNDDOWN(TRUE)"), -1);
}

TEST(Builtins, RandomDrawsComeFromTheGivenSource) {
  RandomSource a(42), b(42);
  std::vector<double> first, second;
  for (int i = 0; i < 20; ++i) {
    first.push_back(Number("RAND(5, 10)") * 0 + Eval("RAND(5, 10)", &a).ToNumber());
    second.push_back(Eval("RAND(5, 10)", &b).ToNumber());
  }
  EXPECT_EQ(first, second);  // one seed, one sequence
  std::set<double> distinct(first.begin(), first.end());
  EXPECT_GT(distinct.size(), 15u);  // successive draws differ (no re-seeding per draw)
  for (double v : first) {
    EXPECT_GE(v, 5);
    EXPECT_LT(v, 10);
  }
  RandomSource r(1);
  std::set<std::string> items, ints;
  for (int i = 0; i < 300; ++i) {
    double x = Eval("RAND(3)", &r).ToNumber();  // from 0 up to 3
    EXPECT_GE(x, 0);
    EXPECT_LT(x, 3);
    double y = Eval("RAND(0.25)", &r).ToNumber();  // from 0.25 up to 1
    EXPECT_GE(y, 0.25);
    EXPECT_LT(y, 1);
    double z = Eval("RAND(10, 2)", &r).ToNumber();  // high below low: 0 up to low
    EXPECT_GE(z, 0);
    EXPECT_LT(z, 10);
    ints.insert(Eval("RANDINT(5, 10)", &r).ToText());
    items.insert(Eval("RANDITEM(\"a\", \"b\", \"c\")", &r).ToText());
  }
  EXPECT_EQ(ints, (std::set<std::string>{"5", "6", "7", "8", "9"}));
  EXPECT_EQ(items, (std::set<std::string>{"a", "b", "c"}));  // every item can be chosen
  EXPECT_EQ(Eval("RANDITEM(4)", &r).ToText(), "4");
  FormulaProgram program = Parsed("R = RANDINT(3)");
  EXPECT_EQ(program.ErrorMessage(), "");
  VariableList vars;
  program.Execute(vars);  // the default source
  EXPECT_GE(vars.Value("R").ToNumber(), 0);
  EXPECT_LT(vars.Value("R").ToNumber(), 3);
}

TEST(Builtins, CallCheckMessages) {
  EXPECT_EQ(Parsed("X = IIF(1, 2)").ErrorMessage(),
            "On line 1 char 5: Function IIF() was given 2 argument(s), but expects 3 argument(s).Format: IIF(comparison, "
            "when-true, when-false): if comparison is true, returns when-true; otherwise, when-false");
  EXPECT_EQ(Parsed("X = 1\n  Y = frob(2)").ErrorMessage(),
            "On line 2 char 7: Unknown function 'FROB'. Refer to user manual for available functions.");
  EXPECT_EQ(Parsed("X = max(1, 2)").ErrorMessage(), "");
  EXPECT_EQ(Parsed("X = rand(1, 2, 3)").ErrorMessage(),
            "On line 1 char 5: Function RAND() was given 3 argument(s), but expects 2 argument(s).Format: "
            "RAND(min, max): random between min and max\r\nRAND(max): random between 0 and max\r\n"
            "RAND(): random between 0 and 1");
  EXPECT_NE(Parsed("X = Round(1, 2)").ErrorMessage().find("Function ROUND() was given 2"), std::string::npos);
  // A later invalid call replaces the earlier message; parsing goes on.
  FormulaProgram two = Parsed("X = foo(1) Y = LN(1, 2)");
  EXPECT_NE(two.ErrorMessage().find("Function LN()"), std::string::npos);
  EXPECT_TRUE(two.HasTree());

  // Such a program still runs: an unknown function tells and gives empty,
  // a wrong count fails.
  RecordedDialogs dialogs;
  FormulaProgram unknown = Parsed("X = foo(1)");
  VariableList vars;
  EXPECT_TRUE(unknown.Execute(vars));
  EXPECT_TRUE(vars.Value("X").IsEmpty());
  ASSERT_EQ(dialogs.Shown().size(), 1u);
  EXPECT_EQ(dialogs.Shown()[0].text, "The function FOO is not defined");
  EXPECT_EQ(FailureCode("IIF(1, 2)"), 5);
}

}  // namespace
}  // namespace korvane::formula
