// Tests of filters: conditions, sentences, text forms, hash, the collection,
// and filters made from typed input.
#include <gtest/gtest.h>

#include "export/DataFilter.h"
#include "export/FilterInput.h"
#include "util/Error.h"
#include "util/Log.h"

using namespace korvane;
using namespace korvane::exporting;

namespace {

// Collects what reaches the shared log while alive.
struct LogCapture {
  std::vector<std::pair<std::string, int>> lines;
  LogSink previous;
  LogCapture() {
    previous = SetSharedLogSink([this](const std::string& text, int level) { lines.emplace_back(text, level); });
  }
  ~LogCapture() { SetSharedLogSink(previous); }
};

DataFilter Named(const std::string& column, const std::string& caption) {
  DataFilter filter;
  filter.SetColumn(column);
  filter.SetCaption(caption);
  return filter;
}

}  // namespace

TEST(DataFilter, ConditionsAndSentencesOfEveryMode) {
  DataFilter fresh = Named("Activation", "Activation");
  EXPECT_TRUE(fresh.Active());
  EXPECT_FALSE(fresh.IsValid());
  EXPECT_EQ(fresh.ToSQL(), "");
  EXPECT_EQ(fresh.ToString(), "Activation (INVALID FILTER)");

  DataFilter f = Named("Activation", "Activation");
  f.SetRange(1, 2.5, true, false);
  EXPECT_EQ(f.ToSQL(), "(Activation < 2.5 AND Activation >= 1)");
  EXPECT_EQ(f.ToString(), "(Activation >= 1) AND (Activation < 2.5)");
  FilterCondition c = f.ToCondition("T.\"Activation\"");
  EXPECT_EQ(c.text, "(T.\"Activation\" < ? AND T.\"Activation\" >= ?)");
  EXPECT_EQ(c.operands, (std::vector<double>{2.5, 1}));

  f.SetMin(2, true);  // the range's upper bound stays, but the mode is Min now
  EXPECT_EQ(f.ToSQL(), "Activation >= 2");
  EXPECT_EQ(f.ToString(), "Activation  >= 2");
  EXPECT_DOUBLE_EQ(f.MaxValue(), 2.5);
  f.SetMax(-0.125, false);
  EXPECT_EQ(f.ToSQL(), "Activation < -0.125");
  EXPECT_EQ(f.ToString(), "Activation  < -0.125");
  f.SetEqual(1e-5);
  EXPECT_EQ(f.ToSQL(), "Activation = 1E-05");
  EXPECT_EQ(f.ToString(), "Activation is equal to 1E-05");
  f.SetNotEqual(0);
  EXPECT_EQ(f.ToSQL(), "Activation <> 0");
  EXPECT_EQ(f.ToString(), "Activation is not equal to 0");
  f.AddDiscreteValue(3);
  f.AddDiscreteValue(-7);
  EXPECT_EQ(f.ToSQL(), "Activation IN (3, -7)");
  EXPECT_EQ(f.ToString(), "Activation is one of (3, -7)");
  EXPECT_EQ(f.ToCondition("A").text, "A IN (?, ?)");
}

TEST(DataFilter, TextFormsRoundTripWithTheirHash) {
  std::vector<DataFilter> filters(5, Named("S_Price_Real", "Price (Situation)"));
  filters[0].SetMin(1.5, true);
  filters[1].SetMax(123456789.125, false);
  filters[2].SetRange(-3, 7, false, true);
  filters[3].SetEqual(0.1 + 0.2);
  filters[4].SetNotEqual(-42);
  filters[4].SetActive(false);
  for (DataFilter& original : filters) {
    std::string packed = original.PackToString();
    DataFilter copy;
    copy.UnpackFromString(packed);
    EXPECT_EQ(copy.PackToString(), packed);
    EXPECT_EQ(copy.Active(), original.Active());
    EXPECT_EQ(copy.Column(), "S_Price_Real");
    EXPECT_EQ(copy.Caption(), "Price (Situation)");
    EXPECT_EQ(copy.Mode(), original.Mode());
    EXPECT_EQ(copy.ToSQL(), original.ToSQL());
    EXPECT_EQ(copy.Hashcode(), original.Hashcode());
    EXPECT_EQ(copy.Hashcode(), HashText(packed));
  }
  EXPECT_EQ(filters[2].PackToString(), "DATAFILTER,B,T,S_Price_Real,Price (Situation),3,0,T,7,F,-3");

  // Version "A" has no Active field and always reads as active.
  DataFilter old;
  old.SetActive(false);
  old.UnpackFromString("DATAFILTER,A,Noise,Noise,5,0.25,F,0,F,0");
  EXPECT_TRUE(old.Active());
  EXPECT_EQ(old.ToSQL(), "Noise <> 0.25");

  // Discrete values ride in an extra field.
  DataFilter discrete = Named("D_Choice_Integer", "Choice (Decision)");
  discrete.AddDiscreteValue(2);
  discrete.AddDiscreteValue(5);
  DataFilter back;
  back.UnpackFromString(discrete.PackToString());
  EXPECT_EQ(back.DiscreteValues(), (std::vector<std::int16_t>{2, 5}));
}

TEST(DataFilter, UnreadableTextsLeaveTheFilterAsItWas) {
  LogCapture log;
  DataFilter f = Named("BLL", "BLL");
  f.SetMin(1, false);
  const std::string before = f.PackToString();

  f.UnpackFromString("NOTAFILTER,B,T,Noise,Noise,4,1,F,0,F,0");
  f.UnpackFromString("DATAFILTER,C,T,Noise,Noise,4,1,F,0,F,0");
  EXPECT_EQ(f.PackToString(), before);
  ASSERT_EQ(log.lines.size(), 2u);
  EXPECT_EQ(log.lines[0].first,
            "Cannot deserialize [NOTAFILTER,B,T,Noise,Noise,4,1,F,0,F,0] because it is not a compatible "
            "DataFilter stream.");
  EXPECT_EQ(log.lines[1].first,
            "Cannot deserialize [DATAFILTER,C,T,Noise,Noise,4,1,F,0,F,0] because it is not an understood "
            "version of the DataFilter stream.");
  EXPECT_EQ(log.lines[1].second, 2);

  for (const char* shortText : {"DATAFILTER", "DATAFILTER,B,T,Noise", "DATAFILTER,A,Noise,Noise,4,1,F,0,F"}) {
    try {
      f.UnpackFromString(shortText);
      ADD_FAILURE() << shortText;
    } catch (const Error& e) {
      EXPECT_EQ(e.Number(), 9);
    }
    EXPECT_EQ(f.PackToString(), before);
  }
}

TEST(DataFilter, HashFollowsTheSingleByteCodePage) {
  EXPECT_EQ(HashText(""), 0);
  EXPECT_EQ(HashText("AB"), 65 * 127 + 66);
  EXPECT_EQ(HashText("\xC3\xA9"), 0xE9);           // é is one byte, 233
  EXPECT_EQ(HashText("\xE2\x82\xAC"), 0x80);       // the euro sign is 128
  EXPECT_EQ(HashText("\xE4\xB8\xAD"), '?');        // a character the code page lacks
  // The modulus keeps every step in range.
  std::string longText(5000, '\xFF');
  std::int64_t h = 0;
  for (unsigned char c : longText) h = (h * 127 + c) % 16908799;
  EXPECT_EQ(HashText(longText), static_cast<std::int32_t>(h));

  // Kept once computed: a checked or cleared box keeps the filter's tag.
  DataFilter f = Named("Noise", "Noise");
  f.SetEqual(1);
  std::int32_t tag = f.Hashcode();
  f.SetActive(false);
  EXPECT_EQ(f.Hashcode(), tag);
}

TEST(DataFilterCollection, KeepsOrderPacksAndRemoves) {
  DataFilterCollection empty;
  EXPECT_TRUE(empty.IsEmpty());
  EXPECT_EQ(empty.PackToString(), "DATAFILTERCOLLECTION|A");
  empty.UnpackFromString("DATAFILTERCOLLECTION|A");
  EXPECT_EQ(empty.Count(), 0);

  DataFilterCollection filters;
  EXPECT_EQ(filters.Capacity(), 2u);
  std::vector<std::shared_ptr<DataFilter>> made;
  for (const char* column : {"Activation", "BLL", "Noise"}) {
    auto f = std::make_shared<DataFilter>(Named(column, column));
    f->SetMin(1, true);
    made.push_back(f);
    filters.Append(f);
  }
  EXPECT_EQ(filters.Capacity(), 4u);
  EXPECT_EQ(filters.Item(2)->Column(), "Noise");
  made[1]->SetActive(false);
  EXPECT_EQ(filters.CountActive(), 2);

  std::string packed = filters.PackToString();
  EXPECT_EQ(std::count(packed.begin(), packed.end(), '|'), 4);
  DataFilterCollection back;
  back.UnpackFromString(packed);
  ASSERT_EQ(back.Count(), 3);
  EXPECT_EQ(back.PackToString(), packed);
  EXPECT_FALSE(back.Item(1)->Active());

  filters.RemoveByIndex(-1);
  filters.RemoveByIndex(filters.Count());
  EXPECT_EQ(filters.Count(), 3);
  filters.RemoveByItem(std::make_shared<DataFilter>(*made[0]));  // equal text, another filter
  EXPECT_EQ(filters.Count(), 3);
  filters.RemoveByItem(made[0]);
  ASSERT_EQ(filters.Count(), 2);
  EXPECT_EQ(filters.Item(0)->Column(), "BLL");
  filters.RemoveByIndex(1);
  EXPECT_EQ(filters.Item(0)->Column(), "BLL");
  EXPECT_THROW(filters.Item(1), Error);

  // A short filter text stops reading and adds nothing.
  EXPECT_THROW(back.UnpackFromString("DATAFILTERCOLLECTION|A|DATAFILTER,B,T|DATAFILTER,B"), Error);
  EXPECT_EQ(back.Count(), 3);
}

TEST(FilterInput, DialogAndTextMakeTheSameFilters) {
  FilterVariable activation{"Activation", "Activation"};
  FilterDialogInput input;
  EXPECT_EQ(MakeDialogFilter(input).message, "Please select a variable first.");
  input.variable = activation;
  EXPECT_EQ(MakeDialogFilter(input).message, "Please complete all fields.");
  input.valueText = "abc";
  EXPECT_EQ(MakeDialogFilter(input).message, "Please complete all fields with valid values.");
  input.valueText = " 2.5 ";
  EXPECT_EQ(MakeDialogFilter(input).filter->ToSQL(), "Activation = 2.5");
  input.kind = FilterDialogInput::Kind::Rules;
  EXPECT_EQ(MakeDialogFilter(input).message, "Please complete all fields with valid values.");
  input.greater = true;
  input.greaterText = "1";
  input.greaterInclusive = true;
  EXPECT_EQ(MakeDialogFilter(input).filter->ToSQL(), "Activation >= 1");
  input.less = true;
  input.lessText = "2";
  EXPECT_EQ(MakeDialogFilter(input).filter->ToSQL(), "(Activation < 2 AND Activation >= 1)");

  std::vector<FilterVariable> variables = {activation, {"Partial Match", "Similarity"},
                                           {"Price (Situation)", "S_Price_Real"}, {"Time", "Time"}};
  EXPECT_EQ(ParseFilterText("Activation >= 2", variables).filter->ToSQL(), "Activation >= 2");
  EXPECT_EQ(ParseFilterText("partial match<0.5", variables).filter->ToSQL(), "Similarity < 0.5");
  EXPECT_EQ(ParseFilterText("S_PRICE_REAL <> -3", variables).filter->ToSQL(), "S_Price_Real <> -3");
  EXPECT_EQ(ParseFilterText("Price (Situation)<=7", variables).filter->Caption(), "Price (Situation)");
  EXPECT_EQ(ParseFilterText("Activation > 1e2", variables).filter->ToSQL(), "Activation > 100");
  auto time = ParseFilterText("Time >= 2026-12-07 10:00:00", variables);
  ASSERT_TRUE(time.filter);
  EXPECT_GT(time.filter->MinValue(), 46000);
  for (const char* bad : {"Activation 2", "Nothing = 1", "Activation >= x", "Activation >= ", ">= 3",
                          "Activation => 2", "Activation >= 1; DROP TABLE I1", "Activation = inf"}) {
    auto made = ParseFilterText(bad, variables);
    EXPECT_FALSE(made.filter) << bad;
    EXPECT_EQ(made.message.rfind("Cannot read the filter", 0), 0u) << bad;
  }
}
