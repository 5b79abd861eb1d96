// TraceWriterTest.cpp: trace rows written in full batches and singly keep
// every value in its own column, and the step's time in every row.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>

#include "EngineFixture.h"
#include "engine/EngineLog.h"
#include "engine/MetaInstance.h"

namespace korvane::engine::test {
namespace {

class LineLog : public EngineLog {
 public:
  bool Wants(int) const override { return true; }
  void Add(const std::string& text, int) override { lines += text + "\n"; }
  void AddFileOnly(const std::string& text, int) override { lines += text + "\n"; }
  std::string lines;
};

TEST(TraceWriterTest, BatchedAndSingleRowsKeepTheirValuesAndTheStepTime) {
  korvane::test::TempDir dir;
  ModelFile model(dir.File("m.mdb"));
  LineLog log;
  const DateValue first{46000.25}, second{46001.5};
  const std::string firstText = FormatDate(first, true), secondText = FormatDate(second, true);
  {
    TraceWriter trace(model.Db(), &log);
    // 133 rows: two full batches and five written one by one.
    trace.SetTime(first);
    for (int i = 1; i <= 133; ++i) {
      std::string type = "T" + std::to_string(i % 3);  // the views die with the loop body
      TraceRow row;
      row.SubjectID = 7;
      row.InstanceType = type;
      row.Instance = i;
      row.Marker = i % 2 ? "ACAL" : "SCAL";
      row.TrialNumber = 1000 + i;
      row.Similarity = -i;
      row.Activation = i == 50 ? std::nan("") : i * 0.5;
      row.Selected = i == 133;
      trace.Append(row);
    }
    EXPECT_LT(trace.RowsWritten(), 133);  // five still buffered
    // The next step's rows carry the next time; the earlier rows keep theirs,
    // buffered or not.
    trace.SetTime(second);
    EXPECT_EQ(trace.RowsWritten(), 133);
    TraceRow feed;
    feed.SubjectID = 7;
    feed.InstanceType = "I1";
    feed.Instance = 500;
    feed.Marker = "FEED";
    feed.Feedback = 2.5;
    trace.Append(feed);
  }  // the destructor writes what is still buffered
  EXPECT_EQ(log.lines, "");
  auto count = [&](const std::string& where) { return model.Count("SELECT COUNT(*) FROM MetaInstance WHERE " + where); };
  EXPECT_EQ(count("1"), 134);
  EXPECT_EQ(count("Time = '" + firstText + "'"), 133);
  EXPECT_EQ(count("Time = '" + secondText + "' AND Marker = 'FEED' AND Instance = 500 AND Feedback = 2.5"), 1);
  // Each row's columns belong together, in the batches and in the single rows.
  EXPECT_EQ(count("Marker <> 'FEED' AND (TrialNumber <> 1000 + Instance OR Similarity <> -Instance "
                  "OR InstanceType <> 'T' || (Instance % 3) OR Marker <> CASE Instance % 2 WHEN 1 THEN 'ACAL' "
                  "ELSE 'SCAL' END OR SubjectID <> 7)"),
            0);
  EXPECT_EQ(count("Activation IS NULL"), 1);
  EXPECT_EQ(count("Activation IS NULL AND Instance = 50"), 1);
  EXPECT_EQ(count("Selected <> 0"), 1);
  EXPECT_EQ(count("Selected <> 0 AND Instance = 133"), 1);
  EXPECT_EQ(model.Count("SELECT SUM(Instance) FROM MetaInstance WHERE Marker <> 'FEED'"), 133 * 134 / 2);
}

}  // namespace
}  // namespace korvane::engine::test

TEST(TraceWriterTest, TraceTimesFollowTheLocalOffsetAcrossItsChanges) {
  // The offset is kept per quarter hour; it must still change at the second
  // the zone changes it: a daylight saving switch on the hour, and an old
  // change at an odd second (Monrovia, 1972-01-07 00:44:30 UTC).
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  struct Case {
    const char* zone;
    std::time_t change;
  };
  const Case cases[] = {{"Europe/Berlin", 1711846800}, {"America/St_Johns", 1710048600}, {"Africa/Monrovia", 63593070}};
  for (const Case& c : cases) {
    if (!std::filesystem::exists(std::string("/usr/share/zoneinfo/") + c.zone)) continue;
    setenv("TZ", c.zone, 1);
    tzset();
    for (std::time_t t = c.change - 1000; t <= c.change + 1000; t += 7) {
      std::tm local{};
      localtime_r(&t, &local);
      const double expected = (static_cast<double>(t) + static_cast<double>(local.tm_gmtoff)) / 86400.0 + 25569.0;
      ASSERT_NEAR(korvane::engine::LocalDateOf(static_cast<double>(t) * 1000.0).days, expected, 1e-9) << c.zone << " at " << t;
    }
  }
  if (old) setenv("TZ", saved.c_str(), 1);
  else unsetenv("TZ");
  tzset();
}
