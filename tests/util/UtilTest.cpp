// Tests of the shared value rules, errors, dialogs and file helpers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <utility>
#include <vector>

#include "TestSupport.h"
#include "util/Dialogs.h"
#include "util/Error.h"
#include "util/ErrorText.h"
#include "util/Files.h"
#include "util/Variant.h"

using namespace korvane;

TEST(Variant, TextFormIsShortestWithFifteenDigits) {
  EXPECT_EQ(Variant(0.1 + 0.2).ToText(), "0.3");
  EXPECT_EQ(Variant(12.0).ToText(), "12");
  EXPECT_EQ(Variant(-2.5).ToText(), "-2.5");
  EXPECT_EQ(Variant(1e15).ToText(), "1E+15");
  EXPECT_EQ(Variant(123456789012345.0).ToText(), "123456789012345");
  EXPECT_EQ(Variant(0.0001).ToText(), "0.0001");
  EXPECT_EQ(Variant(0.00001).ToText(), "1E-05");
  EXPECT_EQ(Variant(1.0 / 3.0).ToText(), "0.333333333333333");
  EXPECT_EQ(Variant(true).ToText(), "True");
  EXPECT_EQ(Variant(false).ToText(), "False");
  EXPECT_EQ(Variant().ToText(), "");
  EXPECT_EQ(Variant::Null().ToText(), "");
}

TEST(Variant, NumberReaderIsLenient) {
  EXPECT_DOUBLE_EQ(ReadNumber("  12abc"), 12);
  EXPECT_DOUBLE_EQ(ReadNumber("1 2"), 12);
  EXPECT_DOUBLE_EQ(ReadNumber("-3.5e2x"), -350);
  EXPECT_DOUBLE_EQ(ReadNumber("2D3"), 2000);
  EXPECT_DOUBLE_EQ(ReadNumber("4E"), 4);
  EXPECT_DOUBLE_EQ(ReadNumber("abc"), 0);
  EXPECT_DOUBLE_EQ(ReadNumber("&HFF"), 255);
  EXPECT_DOUBLE_EQ(ReadNumber("&HFFFF"), -1);
  EXPECT_DOUBLE_EQ(ReadNumber("&O17"), 15);
  EXPECT_DOUBLE_EQ(ReadNumber(".5"), 0.5);
  EXPECT_DOUBLE_EQ(Variant(true).ToNumber(), 0);
}

TEST(Variant, NumericTest) {
  EXPECT_TRUE(IsNumericText("0.5"));
  EXPECT_TRUE(IsNumericText(" -12 "));
  EXPECT_TRUE(IsNumericText("1e3"));
  EXPECT_TRUE(IsNumericText("&H1F"));
  EXPECT_FALSE(IsNumericText("12abc"));
  EXPECT_FALSE(IsNumericText(""));
  EXPECT_FALSE(IsNumericText("."));
  EXPECT_TRUE(IsNumericValue(Variant()));
  EXPECT_TRUE(IsNumericValue(Variant(3)));
  EXPECT_FALSE(IsNumericValue(Variant("x")));
  EXPECT_FALSE(IsNumericValue(Variant::Null()));
}

TEST(Variant, DatesRoundTripThroughText) {
  DateValue d;
  ASSERT_TRUE(ParseDate("2008-03-05 14:25:01.250", d));
  EXPECT_EQ(FormatDate(d, true), "2008-03-05 14:25:01.250");
  EXPECT_EQ(FormatDate(d), "2008-03-05 14:25:01");
  ASSERT_TRUE(ParseDate("1899-12-30", d));
  EXPECT_DOUBLE_EQ(d.days, 0);
  EXPECT_FALSE(ParseDate("yesterday", d));
}

TEST(Error, StandardNumbersKeepTheirTexts) {
  EXPECT_EQ(Error::Standard(ErrorNumber::TypeMismatch).Description(), "Type mismatch");
  EXPECT_EQ(Error::Standard(ErrorNumber::DivisionByZero).Description(), "Division by zero");
  EXPECT_EQ(Error::Standard(ErrorNumber::InvalidUseOfNull).Description(), "Invalid use of Null");
  EXPECT_EQ(ErrorNumber::Base + 0x34B, static_cast<std::int32_t>(0x8004034Bu));
}

TEST(Error, UserTextLeavesOutNumbersAndRepeatedPrefixes) {
  // As nested formula failures describe themselves.
  EXPECT_EQ(WithoutErrorNumbers("Error: Error: The variable 'Missing' is not defined, but it is used in:\r\n\r\n"
                                "B = (Missing * 2) (#-2147211304)\r\nOccurred here (#-2147221503)\r\nx"),
            "Error: The variable 'Missing' is not defined, but it is used in:\r\n\r\nB = (Missing * 2)\r\n"
            "Occurred here\r\nx");
  EXPECT_EQ(WithoutErrorNumbers("Error: Type mismatch (#13)"), "Error: Type mismatch");
  EXPECT_EQ(WithoutErrorNumbers("Division by zero(#11)"), "Division by zero");
  // What only looks like a number stays.
  EXPECT_EQ(WithoutErrorNumbers("Slot (#1a) and (#) and (# 3) stay"), "Slot (#1a) and (#) and (# 3) stay");
  EXPECT_EQ(WithoutErrorNumbers(""), "");
}

TEST(Dialogs, ScriptedAnswersAndRecordsAndHeadlessTakesDefault) {
  auto scripted = std::make_shared<ScriptedDialogs>();
  auto previous = SetDialogs(scripted);
  scripted->QueueAnswer(DialogAnswer::Yes);
  EXPECT_EQ(CurrentDialogs().Ask("Continue?"), DialogAnswer::Yes);
  EXPECT_EQ(CurrentDialogs().Ask("Again?"), DialogAnswer::No);  // default once the queue is empty
  ShowBugReport("details");
  ASSERT_EQ(scripted->Shown().size(), 3u);
  EXPECT_EQ(scripted->Shown()[2].title, "BUG - BUG - BUG");
  EXPECT_NE(scripted->Shown()[2].text.find(" and report this:\n\ndetails"), std::string::npos);
  SetDialogs(previous);
  HeadlessDialogs headless(false);
  EXPECT_EQ(headless.Ask("Overwrite?", DialogButtons::YesNoCancel, DialogAnswer::Cancel), DialogAnswer::Cancel);
}

TEST(Files, ExistenceBasenameAndUniqueNames) {
  test::TempDir dir;
  EXPECT_FALSE(FileExists(""));
  EXPECT_TRUE(FileExists(dir.Path() + "/", true));
  EXPECT_FALSE(FileExists(dir.Path() + "/", false));
  EXPECT_FALSE(FileExists(dir.File("a.mdb")));
  std::ofstream(dir.File("a.mdb")) << "x";
  EXPECT_TRUE(FileExists(dir.File("a.mdb")));
  EXPECT_EQ(GetFileBasename(dir.File("a.mdb")), "a.mdb");
  EXPECT_EQ(GetFileBasename("C:\\models\\Example.mdb"), "Example.mdb");

  std::string first = UniqueDatedFileName(dir.Path(), "exported", "csv");
  EXPECT_EQ(first, dir.Path() + "/exported-" + TodayStamp() + "-1.csv");
  std::ofstream(first) << "x";
  EXPECT_EQ(UniqueDatedFileName(dir.Path(), "exported", "csv"),
            dir.Path() + "/exported-" + TodayStamp() + "-2.csv");
}

// Sets environment variables for one scope and puts the old values back.
class Environment {
 public:
  void Set(const char* name, const std::string& value) {
    Save(name);
    setenv(name, value.c_str(), 1);
  }
  void Unset(const char* name) {
    Save(name);
    unsetenv(name);
  }
  ~Environment() {
    for (auto& [name, value] : saved_) {
      if (value) setenv(name.c_str(), value->c_str(), 1);
      else unsetenv(name.c_str());
    }
  }

 private:
  void Save(const char* name) {
    const char* old = std::getenv(name);
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(Files, LogsGoToTheStateFolderUnlessTheDataFolderIsNamed) {
  test::TempDir dir;
  Environment env;
  env.Unset("KORVANE_DATA_DIR");
  env.Set("HOME", dir.File("home"));
  env.Unset("XDG_STATE_HOME");
  env.Unset("XDG_DATA_HOME");
  EXPECT_EQ(LogFolder(), dir.File("home") + "/.local/state/korvane/logs");
  EXPECT_EQ(DataFolder(), dir.File("home") + "/.local/share/Korvane");
  env.Set("XDG_STATE_HOME", dir.File("state"));
  env.Set("XDG_DATA_HOME", dir.File("data"));
  EXPECT_EQ(LogFolder(), dir.File("state") + "/korvane/logs");
  EXPECT_EQ(DataFolder(), dir.File("data") + "/Korvane");
  EXPECT_TRUE(FileExists(LogFolder() + "/", true));  // created on first use
  // One variable keeps everything of a script or a test in its folder.
  env.Set("KORVANE_DATA_DIR", dir.File("all"));
  EXPECT_EQ(LogFolder(), dir.File("all") + "/logs");
  EXPECT_EQ(DataFolder(), dir.File("all"));
}

TEST(Files, ShippedFilesAreFoundInTheBuildTreeOrTheNamedFolder) {
  Environment env;
  env.Unset("KORVANE_RESOURCE_DIR");
  // The test runs from the build tree: the files are laid out beside it.
  EXPECT_TRUE(FileExists(ResourceFile("Formula-v6.cgt"))) << ResourceFile("Formula-v6.cgt");
  EXPECT_TRUE(FileExists(ResourceFile("help/RTF_WELCOME.html")));
  EXPECT_TRUE(FileExists(DocFile("user-manual.html"))) << DocFile("user-manual.html");
  EXPECT_EQ(ResourceFile("Formula-v6.cgt"), ProgramFolder() + "/resources/Formula-v6.cgt");

  test::TempDir dir;
  env.Set("KORVANE_RESOURCE_DIR", dir.Path());
  EXPECT_EQ(ResourceFile("Formula-v6.cgt"), dir.Path() + "/resources/Formula-v6.cgt");
  EXPECT_EQ(DocFile("user-manual.html"), dir.Path() + "/docs/user-manual.html");
}
