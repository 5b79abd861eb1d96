// Tests of the shared value rules, errors, dialogs and file helpers.
#include <gtest/gtest.h>

#include <fstream>

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
