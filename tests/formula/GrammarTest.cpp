// The grammar table file and the parser engine built from it: the checks of
// FormulaProgram on a missing, broken or other-version file, and the engine's
// conversation (reductions, trimming, expected terminals) on a small grammar
// of its own.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "FormulaTestSupport.h"
#include "TestSupport.h"
#include "formula/LalrParser.h"

namespace korvane::formula {
namespace {

using test::RecordedDialogs;

std::string ShippedGrammar() {
  std::ifstream in(FormulaProgram::GrammarFilePath(), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Points the program's resource folder at a temporary folder for the test.
class ResourceFolder {
 public:
  ResourceFolder() {
    if (const char* old = std::getenv("KORVANE_RESOURCE_DIR")) previous_ = old, hadPrevious_ = true;
    std::filesystem::create_directories(dir_.File("resources"));
    setenv("KORVANE_RESOURCE_DIR", dir_.Path().c_str(), 1);
  }
  ~ResourceFolder() {
    if (hadPrevious_) setenv("KORVANE_RESOURCE_DIR", previous_.c_str(), 1);
    else unsetenv("KORVANE_RESOURCE_DIR");
  }
  void WriteGrammar(const std::string& text) {
    std::ofstream(dir_.File("resources/Formula-v6.cgt"), std::ios::binary) << text;
  }

 private:
  korvane::test::TempDir dir_;
  std::string previous_;
  bool hadPrevious_ = false;
};

TEST(GrammarFile, MissingBrokenOrOtherVersionFilesAreToldAndChangeNothing) {
  const std::string shipped = ShippedGrammar();
  ASSERT_NE(shipped.find("Version        = 6"), std::string::npos);

  FormulaProgram program = test::Parsed("A = 1");
  ASSERT_TRUE(program.HasTree());
  program.SetSourceCode("B = 2 C = (");
  {
    ResourceFolder folder;  // empty: no grammar file
    // The message names the file with its full path, where it belongs.
    const std::string missing =
        "Cannot find the file " + FormulaProgram::GrammarFilePath() + ", which is required to execute formulas.";
    ASSERT_EQ(FormulaProgram::GrammarFilePath().find('/'), 0u);
    EXPECT_NE(FormulaProgram::GrammarFilePath().find("/resources/Formula-v6.cgt"), std::string::npos);
    RecordedDialogs dialogs;
    program.ParseProgram();
    ASSERT_EQ(dialogs.Shown().size(), 1u);
    EXPECT_EQ(dialogs.Shown()[0].text, missing);
    EXPECT_EQ(dialogs.Shown()[0].icon, DialogIcon::None);
    EXPECT_FALSE(program.HasError());
    EXPECT_EQ(program.FormattedProgram(), "A = 1");
    EXPECT_EQ(program.Assignments().Count(), 1);

    // A grammar whose rules conflict is refused as unreadable.
    std::string ambiguous = shipped;
    ambiguous += "47  <Value>          ::= Identifier\n";
    folder.WriteGrammar(ambiguous);
    program.ParseProgram();
    ASSERT_EQ(dialogs.Shown().size(), 2u);
    EXPECT_EQ(dialogs.Shown()[1].text, missing);
  }
  {
    ResourceFolder folder;
    std::string older = shipped;
    older.replace(older.find("Version        = 6"), 18, "Version        = 5");
    folder.WriteGrammar(older);
    RecordedDialogs dialogs;
    FormulaProgram fresh("A = 1");
    fresh.ParseProgram();
    ASSERT_EQ(dialogs.Shown().size(), 1u);
    EXPECT_EQ(dialogs.Shown()[0].text,
              "Compiled grammar file version (5) does not match expected version (6). Cannot continue.");
    EXPECT_FALSE(fresh.HasError());
    EXPECT_FALSE(fresh.HasTree());
    VariableList vars;
    EXPECT_FALSE(fresh.Execute(vars));
  }
}

// A small arithmetic grammar with a chain rule, to watch the engine talk.
const char* const kTinyGrammar = R"(! a test grammar
[Parameters]
Version = 1
Case Sensitive = True
Start Symbol = Sum

[Terminals]
Num   [0-9]+
'+'   '+'
'('   '('
')'   ')'
kw    'let'
Name  [a-z]+

[Ignore]
Blank [ \n]+

[Rules]
0 <Sum>  ::= <Sum> '+' <Atom>
1 <Sum>  ::= <Atom>
2 <Atom> ::= Num
3 <Atom> ::= '(' <Sum> ')'
4 <Atom> ::= Name
5 <Atom> ::= kw Name
)";

std::shared_ptr<const CompiledGrammar> TinyGrammar() {
  korvane::test::TempDir dir;
  std::ofstream(dir.File("tiny.cgt")) << kTinyGrammar;
  std::string error;
  auto grammar = LoadGrammar(dir.File("tiny.cgt"), &error);
  EXPECT_TRUE(grammar) << error;
  return grammar;
}

TEST(ParserEngine, ReportsEveryReductionInOrderWithTokenPositions) {
  auto grammar = TinyGrammar();
  ASSERT_TRUE(grammar);
  LalrParser engine(grammar);
  EXPECT_EQ(engine.Parameter("Version"), "1");
  std::string text = "12 +\n (let x)";
  engine.Open(text);
  std::vector<int> rules;
  std::vector<std::string> firstTokens;
  for (;;) {
    ParseMessage m = engine.Parse();
    if (m != ParseMessage::Reduction) {
      EXPECT_EQ(m, ParseMessage::Accept);
      break;
    }
    const Reduction& r = engine.CurrentReduction();
    rules.push_back(r.ruleIndex);
    const ParseToken& t = r.tokens[0];
    firstTokens.push_back(std::string(r.SymbolName(0)) + "@" + std::to_string(t.line) + ":" +
                          std::to_string(t.column) + (t.text.empty() ? "" : "=" + std::string(t.text)));
  }
  // Chain rules (1) are reported; the keyword wins over Name for "let".
  EXPECT_EQ(rules, (std::vector<int>{2, 1, 5, 1, 3, 0}));
  EXPECT_EQ(firstTokens, (std::vector<std::string>{"Num@1:1=12", "Atom@1:1", "kw@2:3=let", "Atom@2:3", "(@2:2=(",
                                                   "Sum@1:1"}));

  engine.Open(text);
  engine.SetTrimReductions(true);
  rules.clear();
  while (engine.Parse() == ParseMessage::Reduction) rules.push_back(engine.CurrentReduction().ruleIndex);
  EXPECT_EQ(rules, (std::vector<int>{2, 5, 3, 0}));
}

TEST(ParserEngine, ErrorsCarryPositionsAndExpectedTerminalsInTableOrder) {
  auto grammar = TinyGrammar();
  ASSERT_TRUE(grammar);
  LalrParser engine(grammar);
  engine.Open("1 +\n  + 2");
  while (engine.Parse() == ParseMessage::Reduction) {
  }
  EXPECT_EQ(engine.CurrentLine(), 2);
  EXPECT_EQ(engine.CurrentColumn(), 3);
  std::vector<std::string> expected;
  for (int i = 0; i < engine.ExpectedCount(); ++i) expected.emplace_back(engine.ExpectedName(i));
  EXPECT_EQ(expected, (std::vector<std::string>{"Num", "(", "kw", "Name"}));

  engine.Open("1 + é");
  ParseMessage m;
  while ((m = engine.Parse()) == ParseMessage::Reduction) {
  }
  EXPECT_EQ(m, ParseMessage::LexicalError);
  EXPECT_EQ(engine.CurrentToken().text, "é");  // the whole character
  EXPECT_EQ(engine.CurrentColumn(), 5);

  engine.Open("1 + LET");  // case-sensitive grammar: no such terminal
  while ((m = engine.Parse()) == ParseMessage::Reduction) {
  }
  EXPECT_EQ(m, ParseMessage::LexicalError);

  LalrParser unloaded;
  unloaded.Open("1");
  EXPECT_EQ(unloaded.Parse(), ParseMessage::NotLoaded);
}

TEST(ParserEngine, MalformedGrammarFilesAreRefusedWithAReason) {
  korvane::test::TempDir dir;
  auto refuse = [&](const std::string& text, const std::string& reason) {
    static int n = 0;
    std::string path = dir.File("g" + std::to_string(++n) + ".cgt");
    std::ofstream(path) << text;
    std::string error;
    EXPECT_FALSE(LoadGrammar(path, &error));
    EXPECT_NE(error.find(reason), std::string::npos) << error;
  };
  refuse("[Parameters]\nStart Symbol = S\n[Terminals]\nA 'a'\n[Rules]\n1 <S> ::= A\n", "out of order");
  refuse("[Parameters]\nStart Symbol = S\n[Terminals]\nA 'a'\n[Rules]\n0 <S> ::= B\n", "unknown terminal 'B'");
  refuse("[Parameters]\nStart Symbol = S\n[Terminals]\nA [a-\n[Rules]\n0 <S> ::= A\n", "unterminated class");
  refuse("[Parameters]\nStart Symbol = S\n[Terminals]\nA 'a'\n[Rules]\n0 <S> ::= A <T>\n", "<T> has no rule");
  refuse("[Parameters]\nStart Symbol = S\n[Terminals]\nA 'a'\n[Rules]\n0 <S> ::= <S> A <S>\n1 <S> ::= A\n",
         "conflict");
  EXPECT_FALSE(LoadGrammar(dir.File("absent.cgt")));
}

}  // namespace
}  // namespace korvane::formula
