// VariableList: order, case-insensitive names, namespaces and the text form.
#include <gtest/gtest.h>

#include "formula/VariableList.h"

namespace korvane::formula {
namespace {

TEST(VariableList, NamesAreUpperCaseUniqueAndOrdered) {
  VariableList vars;
  EXPECT_TRUE(vars.Add("x", Variant(1.0)));
  EXPECT_TRUE(vars.Has("X"));
  EXPECT_TRUE(vars.Has("x"));
  EXPECT_EQ(vars.Name(0), "X");
  EXPECT_FALSE(vars.Add("X", Variant(2.0)));  // the first value stays
  EXPECT_EQ(vars.Count(), 1);
  EXPECT_EQ(vars.Value("x").AsDouble(), 1.0);

  vars.SetValue("never", Variant(3.0));  // writing does not add
  EXPECT_EQ(vars.Count(), 1);
  EXPECT_FALSE(vars.Has("never"));
  EXPECT_TRUE(vars.Value("never").IsEmpty());

  EXPECT_TRUE(vars.Add("b", Variant("text")));
  EXPECT_TRUE(vars.Add("a", Variant(true)));
  EXPECT_EQ(vars.Name(1), "B");
  EXPECT_EQ(vars.Name(2), "A");
  EXPECT_EQ(vars.Name(3), "");
  EXPECT_EQ(vars.Name(-1), "");
  EXPECT_TRUE(vars.Has(2));
  EXPECT_FALSE(vars.Has(3));
  EXPECT_EQ(vars.Value(1).AsString(), "text");
  vars.SetValue(2, Variant(false));
  EXPECT_EQ(vars.ToString(), "X=1 B=text A=False");

  vars.Remove("B");
  EXPECT_EQ(vars.ToString(), "X=1 A=False");
  vars.Remove("nothing");
  vars.Remove(7);
  EXPECT_EQ(vars.Count(), 2);
  vars.Remove(0);
  vars.Remove("a");
  EXPECT_EQ(vars.Count(), 0);
  EXPECT_EQ(vars.ToString(), "");
}

TEST(VariableList, NamespacesCountOnlyLongerNames) {
  VariableList vars;
  vars.Add("USES", Variant(static_cast<std::int16_t>(0)));
  vars.Add("uses.1", Variant(static_cast<std::int16_t>(1)));
  vars.Add("Cue.Color", Variant("red"));
  vars.Add("USES.2", Variant(static_cast<std::int16_t>(2)));
  EXPECT_EQ(vars.CountByNamespace("USES.", false), 2);
  EXPECT_EQ(vars.CountByNamespace("uses.", true), 2);
  EXPECT_EQ(vars.CountByNamespace("USES", true), 3);
  EXPECT_EQ(vars.CountByNamespace("USES", false), 2);
  EXPECT_EQ(vars.NamesByNamespace("uses."), (std::vector<std::string>{"USES.1", "USES.2"}));
  EXPECT_TRUE(vars.NamesByNamespace("Memory.").empty());
}

TEST(VariableList, TextFormAndClearedValues) {
  VariableList vars;
  vars.Add("A", Variant(12.0));
  vars.Add("B", Variant(static_cast<std::int16_t>(25)));
  EXPECT_EQ(vars.ToString(), "A=12 B=25");
  vars.Add("C", Variant(0.1 + 0.2));
  vars.Add("D", Variant(1e20));
  EXPECT_EQ(vars.ToString(), "A=12 B=25 C=0.3 D=1E+20");
  vars.ClearValues();
  EXPECT_EQ(vars.Count(), 4);
  for (int i = 0; i < vars.Count(); ++i) EXPECT_EQ(vars.Value(i).AsString(), "");
  EXPECT_EQ(vars.ToString(), "A= B= C= D=");
}

}  // namespace
}  // namespace korvane::formula
