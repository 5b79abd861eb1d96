// FramingTest.cpp: cutting the byte stream into lines, and typing values.
#include <gtest/gtest.h>

#include <string>

#include "formula/VariableList.h"
#include "task/LineFramer.h"
#include "task/Protocol.h"

using korvane::Variant;
using korvane::VariantType;
using korvane::task::LineFramer;

namespace {

std::vector<std::string> Lines(const std::vector<LineFramer::Piece>& pieces) {
  std::vector<std::string> out;
  for (const auto& p : pieces) out.push_back(p.overLong ? "<overlong>" : p.line);
  return out;
}

}  // namespace

TEST(LineFramer, SplitsJoinsAndKeepsTheTail) {
  LineFramer framer;
  // Two lines in one arrival, in order.
  EXPECT_EQ(Lines(framer.Feed("START|I1\r\nCUES|I1|A|1\r\n")),
            (std::vector<std::string>{"START|I1", "CUES|I1|A|1"}));
  // One line over three arrivals, the CR and LF themselves apart.
  EXPECT_TRUE(framer.Feed("FEEDBACK|I").empty());
  EXPECT_TRUE(framer.Feed("1|4\r").empty());
  EXPECT_EQ(Lines(framer.Feed("\nSTO")), (std::vector<std::string>{"FEEDBACK|I1|4"}));
  EXPECT_EQ(framer.Pending(), 3u);
  EXPECT_EQ(Lines(framer.Feed("P\r\n")), (std::vector<std::string>{"STOP"}));
  // LF alone ends a line as CR LF does; a lone CR is part of the line; an
  // empty line is a line.
  EXPECT_EQ(Lines(framer.Feed("a\nb\rc\r\n\r\n\n")), (std::vector<std::string>{"a", "b\rc", "", ""}));
  // An LF line split anywhere, and a CR LF whose LF comes in the next arrival.
  EXPECT_TRUE(framer.Feed("CUES|I1").empty());
  EXPECT_EQ(Lines(framer.Feed("|A|1\nSTOP\r")), (std::vector<std::string>{"CUES|I1|A|1"}));
  EXPECT_EQ(Lines(framer.Feed("\n")), (std::vector<std::string>{"STOP"}));
  framer.Feed("half");
  framer.Clear();
  EXPECT_EQ(Lines(framer.Feed("x\r\n")), (std::vector<std::string>{"x"}));
}

TEST(LineFramer, OverLongLineIsReportedOnceAndTheNextLineSurvives) {
  LineFramer framer(16);
  // Exactly at the limit is fine.
  EXPECT_EQ(Lines(framer.Feed(std::string(16, 'a') + "\r\n")), (std::vector<std::string>{std::string(16, 'a')}));
  // Past the limit within one arrival.
  auto pieces = framer.Feed(std::string(17, 'b') + "\r\nnext\r\n");
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_TRUE(pieces[0].overLong);
  EXPECT_EQ(pieces[0].length, 17u);
  EXPECT_EQ(pieces[1].line, "next");
  // Past the limit over many arrivals: memory stays bounded, one report.
  std::size_t reports = 0;
  for (int i = 0; i < 1000; ++i) {
    reports += framer.Feed(std::string(1000, 'c')).size();
    EXPECT_LE(framer.Pending(), 18u);
  }
  EXPECT_EQ(reports, 0u);
  // The CR LF that ends it may itself be split.
  EXPECT_TRUE(framer.Feed("c\r").empty());
  pieces = framer.Feed("\nSTOP\r\n");
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_TRUE(pieces[0].overLong);
  EXPECT_EQ(pieces[0].length, 1000u * 1000u + 1u);
  EXPECT_EQ(pieces[1].line, "STOP");
  // An over-long line ended by LF alone, the LF in an arrival of its own.
  framer.Feed(std::string(20, 'd'));
  pieces = framer.Feed("\n");
  ASSERT_EQ(pieces.size(), 1u);
  EXPECT_TRUE(pieces[0].overLong);
  EXPECT_EQ(pieces[0].length, 20u);
  EXPECT_EQ(Lines(framer.Feed(std::string(16, 'e') + "\n")), (std::vector<std::string>{std::string(16, 'e')}));
}

TEST(Protocol, FieldsAndTypedValues) {
  using korvane::task::SplitFields;
  using korvane::task::TypedValue;
  EXPECT_EQ(SplitFields("cues|I1|Price|10"), (std::vector<std::string>{"cues", "I1", "Price", "10"}));
  EXPECT_EQ(SplitFields("STOP"), (std::vector<std::string>{"STOP"}));
  EXPECT_EQ(SplitFields("A||"), (std::vector<std::string>{"A", "", ""}));

  // The unset marker, one NUL character, is a null value; a longer text with
  // a NUL in it stays text.
  EXPECT_TRUE(TypedValue(std::string_view("\0", 1)).IsNull());
  EXPECT_EQ(TypedValue(std::string_view("a\0", 2)).Type(), VariantType::String);
  EXPECT_EQ(TypedValue("10").Type(), VariantType::Integer);
  EXPECT_EQ(TypedValue("10").AsInteger(), 10);
  EXPECT_EQ(TypedValue("-32768").Type(), VariantType::Integer);
  EXPECT_EQ(TypedValue("10.5").Type(), VariantType::Double);
  EXPECT_DOUBLE_EQ(TypedValue("-0.25").AsDouble(), -0.25);
  EXPECT_EQ(TypedValue("red").Type(), VariantType::String);
  EXPECT_EQ(TypedValue("").Type(), VariantType::String);
  EXPECT_EQ(TypedValue("  ").AsString(), "");
  // Past 16 bits the value widens instead of failing.
  EXPECT_EQ(TypedValue("40000").Type(), VariantType::Long);
  EXPECT_EQ(TypedValue("40000").AsLong(), 40000);
  EXPECT_EQ(TypedValue("99999999999").Type(), VariantType::Double);
  EXPECT_EQ(TypedValue("123456789012345678901234567890").Type(), VariantType::Double);
  // Only digits, "-" and "." but not a number: stays text.
  EXPECT_EQ(TypedValue("-").Type(), VariantType::String);
  EXPECT_EQ(TypedValue("1-2").Type(), VariantType::String);
  EXPECT_EQ(TypedValue("1.2.3").Type(), VariantType::String);
  EXPECT_EQ(TypedValue(".").Type(), VariantType::String);

  korvane::formula::VariableList list;
  EXPECT_TRUE(korvane::task::AppendPairs({"CUES", "I1", "A", "1", "b", "x", "A", "2"}, 2, list));
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Value("a").AsInteger(), 1);  // a repeated name keeps its first value
  EXPECT_EQ(list.Value("B").AsString(), "x");
  korvane::formula::VariableList odd;
  EXPECT_FALSE(korvane::task::AppendPairs({"STATE", "I1", "A"}, 2, odd));
  EXPECT_EQ(odd.Count(), 0);
  EXPECT_TRUE(korvane::task::AppendPairs({"CUES", "I1"}, 2, odd));
}
