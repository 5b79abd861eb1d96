// InstanceTest.cpp: activation, blending, retrieval, duplicates and the
// evaluator's value rules.
#include <gtest/gtest.h>

#include <cmath>

#include "EngineFixture.h"
#include "engine/EngineLog.h"
#include "engine/Evaluator.h"
#include "engine/JudgmentCollection.h"
#include "engine/JudgmentItem.h"
#include "engine/MetaInstance.h"

namespace korvane::engine::test {
namespace {

ItemPtr MakeItem(std::int32_t id, std::initializer_list<std::pair<const char*, Variant>> values) {
  auto item = std::make_shared<JudgmentItem>();
  item->ID = id;
  item->Bookmark = id;
  item->InstanceType = "I1";
  item->Values = Vars(values);
  return item;
}

TEST(JudgmentItemTest, BaseLevelLearningMeetsTheWorkedValues) {
  const double expected[] = {-100,        0,           0.030771659, 0.03475424,  0.035697001, 0.036005732,
                             0.036129777, 0.036187163, 0.036216596, 0.036232929, 0.036242573};
  JudgmentItem item;
  item.Similarity = 5;
  RandomSource random(1);
  for (int step = 1; step <= 11; ++step) {
    if (step <= 10) item.AddTime(step);
    item.CalculateBaseLevelLearning(5, step);
    EXPECT_NEAR(item.BLL, expected[step - 1], 1e-6) << "now " << step;
    item.CalculateActivation(1, 5, 0, step, random);
    EXPECT_NEAR(item.Activation, expected[step - 1] + 5, 1e-6);
    EXPECT_DOUBLE_EQ(item.Noise, 0);
  }
  EXPECT_EQ(item.GetTimes().size(), 10u);  // growing past the first slots kept every time
  EXPECT_DOUBLE_EQ(item.GetTimes()[9], 10);

  JudgmentItem empty;
  empty.CalculateBaseLevelLearning(0.5, 1234);
  EXPECT_EQ(empty.BLL, -100);
  // At model time 0 a presentation at 0 adds nothing, but a prior presented
  // a trial before the first cue counts.
  JudgmentItem prior;
  prior.AddTime(0);
  prior.CalculateBaseLevelLearning(0.5, 0);
  EXPECT_EQ(prior.BLL, -100);
  prior.AddTime(-1000);
  prior.CalculateBaseLevelLearning(0.5, 0);
  EXPECT_DOUBLE_EQ(prior.BLL, std::log(std::pow(1000.0, -0.5)));

  // Noise stays within s * ln(9999); a time after now is an error.
  double bound = 0.25 * std::log(9999.0) + 1e-3;
  for (int i = 0; i < 1000; ++i) EXPECT_LE(std::abs(JudgmentItem::Epsilon(0.25, random)), bound);
  EXPECT_THROW(item.CalculateBaseLevelLearning(0.5, 5), Error);

  item.Activation = 0;
  item.CalculateRetrievalDelay(2, 1);
  EXPECT_DOUBLE_EQ(item.RetrievalDelay, 2000);
}

TEST(JudgmentItemTest, CopyEqualityAndMerging) {
  ItemPtr a = MakeItem(4, {{"ID", Variant(4)}, {"Subject", Variant(1)}, {"A", Variant(1.0)}, {"Choice", Variant("x")}});
  a->AddTime(10);
  a->Prepopulated = true;
  ItemPtr asNew = a->Copy(true);
  EXPECT_EQ(asNew->ID, 0);
  EXPECT_TRUE(asNew->IsNew());
  EXPECT_TRUE(asNew->GetTimes().empty());
  ItemPtr inMemory = a->Copy(false);
  EXPECT_EQ(inMemory->ID, 4);
  EXPECT_TRUE(inMemory->Prepopulated);
  EXPECT_TRUE(inMemory->IsNew());  // no bookmark

  // System slots are ignored in any case; the test is one-sided.
  ItemPtr b = MakeItem(9, {{"id", Variant(9)}, {"SUBJECT", Variant(2)}, {"a", Variant(std::int16_t{1})},
                           {"Choice", Variant("x")}, {"Extra", Variant(3.0)}});
  EXPECT_TRUE(a->IsEqual(*b));
  EXPECT_FALSE(b->IsEqual(*a));
  b->AddTime(20);
  b->AddTime(30);
  EXPECT_TRUE(a->MergeWith(*b));
  EXPECT_EQ(a->GetTimes(), (std::vector<double>{10, 20, 30}));
  ItemPtr c = MakeItem(5, {{"A", Variant(2.0)}});
  EXPECT_FALSE(a->MergeWith(*c));
  EXPECT_EQ(a->GetTimes().size(), 3u);
  EXPECT_EQ(MakeItem(0, {})->ToString(), "ID=0 ");
}

TEST(JudgmentCollectionTest, BlendingUnderTheRoundingRules) {
  auto blend = [](double x, double y, int rule) {
    JudgmentCollection c;
    for (double v : {x, y}) {
      ItemPtr item = MakeItem(1, {{"V", Variant(v)}, {"ID", Variant(1)}, {"Subject", Variant(1)}});
      c.Append(item);
    }
    ItemPtr blended = c.PerformBlending(rule, 1);
    EXPECT_FALSE(blended->Values.Has("ID"));
    EXPECT_FALSE(blended->Values.Has("Subject"));
    return blended->Values.Value("V");
  };
  EXPECT_EQ(blend(0, 2, 0), Variant(1.0));
  EXPECT_EQ(blend(2, 3.4, 3), Variant(std::int16_t{2}));
  EXPECT_EQ(blend(-2, -3, 3), Variant(std::int16_t{-3}));
  EXPECT_EQ(blend(2, 3, 6), Variant(std::int16_t{2}));
  EXPECT_EQ(blend(3, 4, 6), Variant(std::int16_t{4}));
  EXPECT_EQ(blend(-2, -3, 2), Variant(std::int16_t{-3}));
  EXPECT_EQ(blend(-2, -3, 1), Variant(std::int16_t{-2}));
  EXPECT_EQ(blend(2, 3, 4), Variant(std::int16_t{3}));
  EXPECT_EQ(blend(40000, 40001, 5), Variant(std::int32_t{40000}));  // beyond 16 bits still blends

  // A slot only some items have is blended over those, weights unchanged;
  // the blended activation is the log of the summed exponentials.
  JudgmentCollection c;
  ItemPtr p = MakeItem(1, {{"V", Variant(4.0)}, {"W", Variant(10.0)}});
  ItemPtr q = MakeItem(2, {{"V", Variant(8.0)}});
  p->Activation = q->Activation = 0;
  c.Append(p);
  c.Append(q);
  ItemPtr b = c.PerformBlending(0, 0.5);
  EXPECT_DOUBLE_EQ(b->Values.Value("W").ToNumber(), 5);
  EXPECT_DOUBLE_EQ(b->Values.Value("V").ToNumber(), 6);
  EXPECT_NEAR(b->Activation, std::log(2.0), 1e-12);
  EXPECT_EQ(JudgmentCollection().PerformBlending(0, 1), nullptr);

  JudgmentCollection texts;
  ItemPtr t = MakeItem(1, {{"V", Variant("red")}});
  texts.Append(t);
  EXPECT_THROW(texts.PerformBlending(0, 1), Error);
}

TEST(JudgmentCollectionTest, BlendingProbabilitiesAtAnyTemperature) {
  // Activations so low (or a temperature so small) that e^(A/T) is 0 in
  // double precision for every item still give the right probabilities.
  auto collection = [](double a1, double a2) {
    JudgmentCollection c;
    for (auto [a, v] : {std::pair{a1, 0.0}, std::pair{a2, 10.0}}) {
      ItemPtr item = MakeItem(1, {{"V", Variant(v)}});
      item->Activation = a;
      c.Append(item);
    }
    return c;
  };
  for (double T : {1.0, 0.0707, 1e-3}) {
    JudgmentCollection c = collection(-100.2, -100);
    ItemPtr b = c.PerformBlending(0, T);
    const double p2 = 1 / (1 + std::exp(-0.2 / T));
    EXPECT_NEAR(c.Item(1)->BlendingProbability, p2, 1e-12) << "T " << T;
    EXPECT_NEAR(c.Item(0)->BlendingProbability + c.Item(1)->BlendingProbability, 1, 1e-15);
    EXPECT_NEAR(b->Values.Value("V").ToNumber(), 10 * p2, 1e-9) << "T " << T;
    // log(e^-100.2 + e^-100), without underflow.
    EXPECT_NEAR(b->Activation, -100 + std::log1p(std::exp(-0.2)), 1e-12);
  }
  // Activations that would overflow e^(A/T) blend as well.
  JudgmentCollection high = collection(800, 800);
  EXPECT_DOUBLE_EQ(high.PerformBlending(0, 0.25)->Values.Value("V").ToNumber(), 5);
  // At temperature 0 the most active items share the whole probability.
  JudgmentCollection zero = collection(-3, -2);
  EXPECT_DOUBLE_EQ(zero.PerformBlending(0, 0)->Values.Value("V").ToNumber(), 10);
  EXPECT_DOUBLE_EQ(zero.Item(0)->BlendingProbability, 0);
}

class NullLog : public EngineLog {
 public:
  bool Wants(int) const override { return false; }
  void Add(const std::string&, int) override {}
  void AddFileOnly(const std::string&, int) override {}
};

TEST(JudgmentCollectionTest, NormalRetrievalTiesThresholdsAndTraceRows) {
  korvane::test::TempDir dir;
  ModelFile model(dir.File("m.mdb"));
  NullLog log;
  TraceWriter trace(model.Db(), &log);
  RandomSource random(3);
  JudgmentCollection memory;
  for (int id = 1; id <= 3; ++id) {
    ItemPtr item = MakeItem(id, {{"A", Variant(1.0 * id)}});
    item->AddTime(0);
    item->Subject = 1;
    memory.Append(item);
  }
  RetrievalSettings settings;
  settings.s = 0;
  settings.T = 1;
  settings.rtOperator = ">";
  settings.rt = -100;
  settings.uOperator = ">=";
  settings.u = 0;
  // Equal activations: the last one wins, and is the only one selected.
  ItemPtr got = memory.Retrieve(trace, 10, Cue(0, 0), settings, random, &log);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->ID, 3);
  EXPECT_TRUE(got->Selected);
  EXPECT_FALSE(memory.Item(0)->Selected);
  trace.Flush();
  EXPECT_EQ(model.Count("SELECT COUNT(*) FROM MetaInstance WHERE Marker = 'ACAL'"), 3);
  EXPECT_EQ(model.Count("SELECT COUNT(*) FROM MetaInstance WHERE Marker = 'RETR-NORM' AND Instance = 3"), 1);

  // A higher activation earlier in the list wins over later ones.
  memory.Item(0)->Similarity = 1;
  EXPECT_EQ(memory.Retrieve(trace, 10, Cue(0, 0), settings, random, &log)->ID, 1);
  // Below the lowest activation, or an unknown operator: nothing.
  for (const auto& item : memory.Items()) item->Similarity = -2e7;
  settings.rt = -1e9;
  EXPECT_EQ(memory.Retrieve(trace, 10, Cue(0, 0), settings, random, &log), nullptr);
  for (const auto& item : memory.Items()) item->Similarity = 0;
  settings.rtOperator = "=>";
  EXPECT_EQ(memory.Retrieve(trace, 10, Cue(0, 0), settings, random, &log), nullptr);
  trace.Flush();
  EXPECT_EQ(model.Count("SELECT COUNT(*) FROM MetaInstance WHERE Marker = 'ACAL'"), 12);
  EXPECT_EQ(model.Count("SELECT COUNT(*) FROM MetaInstance WHERE Marker LIKE 'RETR%'"), 2);

  settings.method = 7;
  EXPECT_THROW(memory.Retrieve(trace, 10, Cue(0, 0), settings, random, &log), Error);

  // Blending: one RETR-BLEN row for instance 0.
  settings.method = 1;
  settings.rtOperator = ">";
  settings.utilitySlot = "A";
  ItemPtr blended = memory.Retrieve(trace, 10, Cue(0, 0), settings, random, &log);
  ASSERT_TRUE(blended);
  EXPECT_DOUBLE_EQ(blended->Values.Value("A").ToNumber(), 2);
  EXPECT_DOUBLE_EQ(blended->Utility, 2);
  trace.Flush();
  EXPECT_EQ(model.Count("SELECT COUNT(*) FROM MetaInstance WHERE Marker = 'RETR-BLEN' AND Instance = 0 "
                        "AND SubjectID = 1"),
            1);
}

TEST(JudgmentCollectionTest, ConstraintsDuplicatesAndRemoval) {
  korvane::test::TempDir dir;
  ModelFile model(dir.File("m.mdb"));
  RandomSource random(3);
  NullLog log;
  TraceWriter trace(model.Db(), &log);
  JudgmentCollection memory;
  ItemPtr a = MakeItem(1, {{"A", Variant(1.0)}, {"U", Variant(10.0)}});
  ItemPtr b = MakeItem(2, {{"A", Variant(2.0)}, {"U", Variant(20.0)}});
  ItemPtr c = MakeItem(3, {{"A", Variant(3.0)}, {"U", Variant(30.0)}});
  for (const auto& item : {a, b, c}) {
    item->AddTime(0);
    memory.Append(item);
  }
  formula::FormulaProgram program("USES.LOW = MEMORY.A < 3\r\nUSES.HIGH = MEMORY.A > 1");
  program.ParseProgram();
  ASSERT_FALSE(program.HasError()) << program.ErrorMessage();
  JudgmentCollection low = memory.CreateSubset(Cue(0, 0), program, "USES.LOW", random, &log);
  ASSERT_EQ(low.Count(), 2);
  EXPECT_EQ(low.Item(0).get(), a.get());  // the same objects, not copies

  // Two constraints: Maximize keeps the greater blend (U 25 of {2,3}),
  // Minimize the lesser (U 15 of {1,2}).
  RetrievalSettings settings;
  settings.method = 1;
  settings.constraintType = 1;
  settings.constraintProgram = &program;
  settings.selectionSlot = "U";
  settings.utilitySlot = "U";
  settings.s = 0;
  settings.T = 1;
  settings.rtOperator = ">";
  settings.rt = -1e9;
  settings.uOperator = ">";
  settings.u = -1e9;
  settings.selector = 0;
  EXPECT_DOUBLE_EQ(memory.Retrieve(trace, 10, Cue(0, 0), settings, random, &log)->Utility, 25);
  settings.selector = 1;
  EXPECT_DOUBLE_EQ(memory.Retrieve(trace, 10, Cue(0, 0), settings, random, &log)->Utility, 15);
  // A tie stays with the earlier constraint.
  formula::FormulaProgram tie("USES.FIRST = MEMORY.A == 1\r\nUSES.SECOND = MEMORY.A == 1\r\nUSES.THIRD = MEMORY.A == 3");
  tie.ParseProgram();
  settings.constraintProgram = &tie;
  settings.selector = 1;
  ItemPtr first = memory.Retrieve(trace, 10, Cue(0, 0), settings, random, &log);
  EXPECT_DOUBLE_EQ(first->Utility, 10);
  settings.selector = 5;
  EXPECT_THROW(memory.Retrieve(trace, 10, Cue(0, 0), settings, random, &log), Error);
  formula::FormulaProgram noUses("X = 1");
  noUses.ParseProgram();
  settings.constraintProgram = &noUses;
  try {
    memory.Retrieve(trace, 10, Cue(0, 0), settings, random, &log);
    ADD_FAILURE() << "no constraint accepted";
  } catch (const Error& e) {
    EXPECT_EQ(e.Number(), static_cast<std::int32_t>(0x8004034Bu));
    EXPECT_NE(e.Description().find("requires at least one constraint"), std::string::npos);
  }

  // Duplicates: never the item itself, prepopulated ones only when asked.
  ItemPtr probe = MakeItem(1, {{"A", Variant(1.0)}, {"U", Variant(10.0)}});
  EXPECT_EQ(memory.GetDuplicate(*probe, false), nullptr);
  probe->ID = 0;
  EXPECT_EQ(memory.GetDuplicate(*probe, false).get(), a.get());
  a->Prepopulated = true;
  EXPECT_EQ(memory.GetDuplicate(*probe, false), nullptr);
  EXPECT_EQ(memory.GetDuplicate(*probe, true).get(), a.get());
  EXPECT_EQ(memory.AppendUnique(probe).get(), a.get());
  EXPECT_EQ(memory.Count(), 3);
  EXPECT_TRUE(memory.DeleteItem(*b));
  EXPECT_FALSE(memory.HasItemByID(2));
  memory.RemoveByItem(c.get());
  EXPECT_EQ(memory.Count(), 1);
}

TEST(EvaluatorTest, TextFormTypingAndComparisons) {
  formula::VariableList list = TextToVariables("a=1\r\nb=2.5\r\nc=x1\r\nd\r\ne=40000\r\nf=\r\ng=1-2\r\nh=" +
                                               kUnsetMarker + "\r\ni=a=b");
  EXPECT_EQ(list.Value("a"), Variant(std::int16_t{1}));
  EXPECT_EQ(list.Value("b"), Variant(2.5));
  EXPECT_EQ(list.Value("c"), Variant("x1"));
  EXPECT_FALSE(list.Has("d"));
  EXPECT_EQ(list.Value("e"), Variant(std::int32_t{40000}));
  EXPECT_EQ(list.Value("f"), Variant(""));
  EXPECT_EQ(list.Value("g"), Variant("1-2"));
  EXPECT_TRUE(list.Value("h").IsNull());
  EXPECT_FALSE(list.Has("i"));
  formula::VariableList back = TextToVariables(VariablesToText(list));
  EXPECT_EQ(VariablesToText(back), VariablesToText(list));
  EXPECT_EQ(CopyVariables(Vars({{"x", Variant(1.0)}}), "Memory.").Name(0), "MEMORY.X");

  EXPECT_TRUE(CompareByMode(0, ">=", 0));
  EXPECT_FALSE(CompareByMode(0, ">", 0));
  EXPECT_TRUE(CompareByMode(1, "=", 1));
  EXPECT_TRUE(CompareByMode(-1, "<", 0));
  EXPECT_TRUE(CompareByMode(0, "<=", 0));
  EXPECT_FALSE(CompareByMode(5, "=>", 0));
  EXPECT_FALSE(CompareByMode(5, "=<", 10));
  EXPECT_FALSE(CompareByMode(5, "", 0));

  EXPECT_FALSE(ValuesDiffer(Variant(std::int16_t{3}), Variant(3.0)));
  EXPECT_TRUE(ValuesDiffer(Variant("a"), Variant("b")));
  EXPECT_TRUE(ValuesDiffer(Variant::Null(), Variant(0.0)));

  // Similarity: cue 3 against memory 5 under PM = -|CUE - MEMORY| is -2;
  // decisions run on copies and a missing D is 0.
  formula::FormulaProgram pm("PM = -ABS(CUE - MEMORY)");
  pm.ParseProgram();
  ASSERT_FALSE(pm.HasError()) << pm.ErrorMessage();
  JudgmentItem memory;
  memory.Values = Vars({{"A", Variant(5.0)}});
  RandomSource random(1);
  EXPECT_DOUBLE_EQ(CalculateSimilarity({"A"}, memory, Vars({{"A", Variant(3.0)}}), {pm}, random), -2);
  formula::FormulaProgram d1("D = U * 2"), none("X = 1");
  d1.ParseProgram();
  none.ParseProgram();
  formula::VariableList context = Vars({{"U", Variant(4.0)}});
  auto decisions = EvaluateDecisions({"D_One_Real", "D_Two_Real"}, {d1, none}, context, random, nullptr);
  ASSERT_EQ(decisions.size(), 2u);
  EXPECT_EQ(decisions[0].ToNumber(), 8);
  EXPECT_EQ(decisions[1].ToNumber(), 0);
  EXPECT_EQ(context.Count(), 1);
}

}  // namespace
}  // namespace korvane::engine::test
