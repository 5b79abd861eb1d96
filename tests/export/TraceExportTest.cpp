// Tests of the export: columns, order, filters, refusals, file names, CSV
// quoting, cancellation, and the preview's paging.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "ExperimentFixture.h"
#include "export/CellFormat.h"
#include "export/ExportMessages.h"
#include "export/ExportPreview.h"
#include "export/FilterInput.h"
#include "export/TraceExport.h"
#include "util/Files.h"

using namespace korvane;
using namespace korvane::exporting;
using korvane::test::CrLfLines;
using korvane::test::ExperimentFile;
using korvane::test::ReadWholeFile;

namespace {

ExportRequest Request(const std::string& type, std::vector<std::int32_t> subjects) {
  ExportRequest request;
  request.instanceType = type;
  request.subjects = std::move(subjects);
  return request;
}

std::shared_ptr<DataFilter> Filter(const std::string& text, store::Database& db, const std::string& type) {
  auto made = ParseFilterText(text, FilterVariables(*db.FindTableDef(type)));
  EXPECT_TRUE(made.filter) << made.message;
  return made.filter;
}

// Exports into the fixture's folder and returns the file's lines.
std::vector<std::string> ExportLines(ExperimentFile& file, const ExportRequest& request,
                                     std::vector<std::string>* statuses = nullptr) {
  ExportCallbacks callbacks;
  if (statuses) callbacks.status = [statuses](const std::string& text) { statuses->push_back(text); };
  ExportTarget target;
  target.folder = file.dir.Path();
  ExportOutcome outcome = ExportTrace(file.db.get(), request, target, callbacks);
  EXPECT_EQ(outcome.result, ExportResult::Done) << outcome.message;
  if (!outcome.Ok()) return {};
  std::string text = ReadWholeFile(outcome.path);
  std::filesystem::remove(outcome.path);
  return CrLfLines(text);
}

// Two subjects, three trials; ACAL rows and rows of other markers.
void FillSmallRun(ExperimentFile& file) {
  file.AddInstanceType("I1", {"S_Price_Real", "D_Choice_String", "S_Count_Integer", "U_Value_Real"});
  int a = file.AddInstance("I1", 1, {{"S_Price_Real", Variant(1.5)}, {"D_Choice_String", Variant("buy")},
                                     {"S_Count_Integer", Variant(std::int16_t{3})}, {"U_Value_Real", Variant(10.0)}});
  int b = file.AddInstance("I1", 2, {{"S_Price_Real", Variant(7.25)}, {"D_Choice_String", Variant("sell")},
                                     {"S_Count_Integer", Variant(std::int16_t{4})}, {"U_Value_Real", Variant(-2.0)}});
  file.AddTrace("I1", 2, 1, b, "ACAL", 0.75, 0.5, 0.25, 0.125);
  file.AddTrace("I1", 1, 2, a, "ACAL", 2.5, -1, 1.5, 0);
  file.AddTrace("I1", 1, 1, b, "ACAL", 1.25, 0, 1, 0.25);
  file.AddTrace("I1", 1, 1, a, "ACAL", 3, 0, 2, 1);
  file.AddTrace("I1", 1, 1, a, "EXEC", 3, 0, 2, 1);
  file.AddTrace("I2", 1, 1, a, "ACAL", 9, 0, 2, 1);
  file.AddTrace("I1", 1, 3, 0, "ACAL", 0.5, 0, 0, 0);  // a blended instance
}

}  // namespace

TEST(TraceExport, ColumnsRowsAndOrder) {
  ExperimentFile file;
  FillSmallRun(file);

  std::vector<std::string> statuses;
  auto lines = ExportLines(file, Request("I1", {2, 1}), &statuses);
  EXPECT_EQ(lines, (std::vector<std::string>{"\"Subject ID\",\"Trial\",\"Instance\"", "2,1,2", "1,1,1", "1,1,2",
                                             "1,2,1", "1,3,0"}));
  EXPECT_EQ(statuses.front(), "Calculating column list...");
  EXPECT_EQ(statuses[1], "Calculating column and rows to load...");
  EXPECT_EQ(statuses[2], "Exporting  data...");
  EXPECT_EQ(statuses.back().rfind("Data exported into " + file.dir.Path() + "/exported-", 0), 0u);

  // Every optional column; slot columns by kind, each kind in table order,
  // headed by display names; a blended row has empty slot cells.
  ExportRequest all = Request("I1", {1});
  all.include = IncludeOptions::All();
  lines = ExportLines(file, all);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0],
            "\"Subject ID\",\"Trial\",\"Instance\",\"Activation\",\"BLL\",\"Partial Match\",\"Noise\",\"Time\","
            "\"Price\",\"Count\",\"Choice\",\"Value\"");
  EXPECT_EQ(lines[1], "1,1,1,3,2,0,1,2026-12-07 10:11:12,1.5,3,buy,10");
  EXPECT_EQ(lines[3], "1,2,1,2.5,1.5,-1,0,2026-12-07 10:11:12,1.5,3,buy,10");
  EXPECT_EQ(lines[4], "1,3,0,0.5,0,0,0,2026-12-07 10:11:12,,,,");

  ExportRequest decisions = Request("I1", {1});
  decisions.include.decision = true;
  decisions.include.noise = true;
  lines = ExportLines(file, decisions);
  EXPECT_EQ(lines[0], "\"Subject ID\",\"Trial\",\"Instance\",\"Noise\",\"Choice\"");
  EXPECT_EQ(lines[2], "1,1,2,0.25,sell");

  // A subject chosen twice is written once.
  EXPECT_EQ(ExportLines(file, Request("I1", {1, 1})).size(), 5u);
}

TEST(TraceExport, FiltersNarrowOnlyWhenActiveAndValid) {
  ExperimentFile file;
  FillSmallRun(file);
  ExportRequest request = Request("I1", {1, 2});
  const auto unfiltered = ExportLines(file, request);

  auto activation = Filter("Activation >= 1.25", *file.db, "I1");
  activation->SetActive(false);
  request.filters.Append(activation);
  request.filters.Append(std::make_shared<DataFilter>());  // invalid: takes no part
  EXPECT_EQ(ExportLines(file, request), unfiltered);

  activation->SetActive(true);
  EXPECT_EQ(ExportLines(file, request), (std::vector<std::string>{unfiltered[0], "1,1,1", "1,1,2", "1,2,1"}));

  // A slot filter with no slot column included joins the instance table.
  request.filters.Append(Filter("Price (Situation) > 2", *file.db, "I1"));
  EXPECT_EQ(ExportLines(file, request), (std::vector<std::string>{unfiltered[0], "1,1,2"}));
  request.filters.Clear();
  request.filters.Append(Filter("D_Choice_String = 3", *file.db, "I1"));
  request.include.time = true;
  ExportTarget target;
  target.folder = file.dir.Path();
  EXPECT_EQ(ExportTrace(file.db.get(), request, target).message, messages::kNoMatchingRecords);

  // Time filters compare as dates.
  file.AddTrace("I1", 2, 9, 0, "ACAL", 1, 0, 0, 0, "2027-01-01 00:00:00.000");
  request.filters.Clear();
  request.filters.Append(Filter("Time > 2026-12-31 23:59:59", *file.db, "I1"));
  auto lines = ExportLines(file, request);
  EXPECT_EQ(lines, (std::vector<std::string>{"\"Subject ID\",\"Trial\",\"Instance\",\"Time\"",
                                             "2,9,0,2027-01-01 00:00:00"}));

  // A filter value is a bound number, whatever text sat in the column name's place.
  auto hostile = std::make_shared<DataFilter>();
  hostile->SetColumn("Activation; DROP TABLE I1; --");
  hostile->SetCaption("x");
  hostile->SetMin(0, true);
  request.filters.Clear();
  request.filters.Append(hostile);
  ExportOutcome refused = ExportTrace(file.db.get(), request, target);
  EXPECT_EQ(refused.result, ExportResult::Refused);
  EXPECT_EQ(refused.message, messages::FilterColumnUnknown("x  >= 0", "I1"));
  EXPECT_TRUE(file.db->FindTableDef("I1").has_value());
}

TEST(TraceExport, RefusalsLeaveNoFile) {
  ExperimentFile file;
  auto refusal = [&](store::Database* db, const ExportRequest& request) {
    std::vector<std::string> statuses;
    ExportCallbacks callbacks;
    callbacks.status = [&](const std::string& text) { statuses.push_back(text); };
    ExportTarget target;
    target.folder = file.dir.Path();
    ExportOutcome outcome = ExportTrace(db, request, target, callbacks);
    EXPECT_EQ(outcome.result, ExportResult::Refused);
    EXPECT_TRUE(outcome.path.empty());
    EXPECT_EQ(statuses.back(), "Cannot export. Please try again.");
    return outcome.message;
  };
  EXPECT_EQ(refusal(nullptr, Request("I1", {1})), "Please select a database first.");
  EXPECT_EQ(refusal(file.db.get(), Request("I1", {1})),
            "Cannot export data from a database that has no instance types. Please select another database.");
  file.AddInstanceType("I1", {"S_Price_Real"});
  EXPECT_EQ(refusal(file.db.get(), Request("I7", {1})), "Could not find instance I7. Please select another database.");
  EXPECT_EQ(refusal(file.db.get(), Request("MetaInstance", {1})),
            "Could not find instance MetaInstance. Please select another database.");
  EXPECT_EQ(refusal(file.db.get(), Request("I1", {})), "Please select at least one subject from the list of subjects.");
  EXPECT_EQ(refusal(file.db.get(), Request("I1", {1})),
            "There are no records to preview. Please select a different database, instance type, or subject.");
  file.AddTrace("I1", 1, 1, 0, "ACAL", 0.5);
  ExportRequest filtered = Request("I1", {1});
  filtered.filters.Append(Filter("Activation > 1", *file.db, "I1"));
  EXPECT_EQ(refusal(file.db.get(), filtered),
            "There are no records that match your filters. Deactivate some filters and try again.");
  // Filters kept from another instance type name columns this one lacks.
  filtered.filters.Clear();
  auto foreign = std::make_shared<DataFilter>();
  foreign->SetColumn("S_Other_Real");
  foreign->SetCaption("Other (Situation)");
  foreign->SetEqual(1);
  filtered.filters.Append(foreign);
  EXPECT_EQ(refusal(file.db.get(), filtered),
            "The filter Other (Situation) is equal to 1 tests a column that instance type I1 does not have. "
            "Remove or deactivate it and try again.");
  EXPECT_TRUE(std::filesystem::is_empty(file.dir.Path()) ||
              !std::filesystem::exists(file.dir.File("exported-" + TodayStamp() + "-1.csv")));
}

TEST(TraceExport, DatedNamesNeverOverwrite) {
  ExperimentFile file;
  FillSmallRun(file);
  ExportTarget target;
  target.folder = file.dir.Path();
  ExportOutcome first = ExportTrace(file.db.get(), Request("I1", {1}), target);
  ExportOutcome second = ExportTrace(file.db.get(), Request("I1", {2}), target);
  EXPECT_EQ(first.path, file.dir.File("exported-" + TodayStamp() + "-1.csv"));
  EXPECT_EQ(second.path, file.dir.File("exported-" + TodayStamp() + "-2.csv"));
  EXPECT_EQ(first.rows, 4);
  EXPECT_EQ(CrLfLines(ReadWholeFile(first.path)).size(), 5u);
  EXPECT_EQ(CrLfLines(ReadWholeFile(second.path)).size(), 2u);

  // An explicit path is replaced only when asked to, and only when complete.
  ExportTarget explicitTarget;
  explicitTarget.path = first.path;
  ExportOutcome refused = ExportTrace(file.db.get(), Request("I1", {2}), explicitTarget);
  EXPECT_EQ(refused.result, ExportResult::Refused);
  EXPECT_EQ(CrLfLines(ReadWholeFile(first.path)).size(), 5u);
  explicitTarget.overwrite = true;
  EXPECT_TRUE(ExportTrace(file.db.get(), Request("I1", {2}), explicitTarget).Ok());
  EXPECT_EQ(CrLfLines(ReadWholeFile(first.path)).size(), 2u);

  // Cancelled midway: no file is left, the replaced one keeps its content.
  file.db->BeginTransaction();
  for (int i = 0; i < 5000; ++i) file.AddTrace("I1", 2, 10 + i, 0, "ACAL", 1);
  file.db->CommitTransaction();
  ExportCallbacks callbacks;
  callbacks.progressInterval = 100;
  callbacks.progress = [](std::int64_t done, std::int64_t) { return done < 1000; };
  std::vector<std::string> statuses;
  callbacks.status = [&](const std::string& text) { statuses.push_back(text); };
  EXPECT_EQ(ExportTrace(file.db.get(), Request("I1", {2}), explicitTarget, callbacks).result,
            ExportResult::Cancelled);
  EXPECT_EQ(statuses.back(), "Exporting cancelled.");
  EXPECT_EQ(CrLfLines(ReadWholeFile(first.path)).size(), 2u);
  std::atomic<bool> stop{true};
  ExportCallbacks stopped;
  stopped.cancel = &stop;
  EXPECT_EQ(ExportTrace(file.db.get(), Request("I1", {2}), target, stopped).result, ExportResult::Cancelled);
  for (const auto& entry : std::filesystem::directory_iterator(file.dir.Path())) {
    std::string name = entry.path().filename().string();
    EXPECT_TRUE(name.rfind("Model-1.mdb", 0) == 0 || name == GetFileBasename(first.path) ||
                name == GetFileBasename(second.path))
        << name;
  }
}

TEST(TraceExport, TextCellsSurviveACsvReader) {
  ExperimentFile file;
  file.AddInstanceType("I1", {"S_Note_String", "D_Choice_String"});
  const std::vector<std::string> notes = {"plain", "a, b", "say \"hi\"", "two\r\nlines", "", "\"", ",", "tab\there"};
  for (std::size_t i = 0; i < notes.size(); ++i) {
    int id = file.AddInstance("I1", 1, {{"S_Note_String", Variant(notes[i])}, {"D_Choice_String", Variant("x")}});
    file.AddTrace("I1", 1, static_cast<int>(i), id, "ACAL", 1);
  }
  ExportRequest request = Request("I1", {1});
  request.include.situation = true;
  request.include.decision = true;
  ExportTarget target;
  target.folder = file.dir.Path();
  ExportOutcome outcome = ExportTrace(file.db.get(), request, target);
  ASSERT_TRUE(outcome.Ok()) << outcome.message;
  std::string text = ReadWholeFile(outcome.path);
  std::size_t pos = 0;
  EXPECT_EQ(ReadCsvRecord(text, pos), (std::vector<std::string>{"Subject ID", "Trial", "Instance", "Note", "Choice"}));
  for (std::size_t i = 0; i < notes.size(); ++i) {
    auto cells = ReadCsvRecord(text, pos);
    ASSERT_EQ(cells.size(), 5u) << i;
    EXPECT_EQ(cells[3], notes[i]);
    EXPECT_EQ(cells[4], "x");
  }
  EXPECT_EQ(pos, text.size());
  EXPECT_NE(text.find("\r\n1,1,2,\"a, b\",x\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\n1,2,3,\"say \"\"hi\"\"\",x\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\n1,7,8,tab\there,x\r\n"), std::string::npos);
}

TEST(ExportPreview, PagesThroughTheRowsTheExportWrites) {
  ExperimentFile file;
  file.AddInstanceType("I1", {"S_Price_Real"});
  std::vector<int> ids;
  for (int i = 0; i < 4; ++i) ids.push_back(file.AddInstance("I1", 1, {{"S_Price_Real", Variant(i * 1.5)}}));
  file.db->BeginTransaction();
  // Subject 1 spans several blocks; many rows share a trial and an instance.
  for (int i = 0; i < 1300; ++i) file.AddTrace("I1", 1, i / 10, ids[static_cast<std::size_t>(i % 4)], "ACAL", i);
  for (int i = 0; i < 300; ++i) file.AddTrace("I1", 3, i / 7, ids[0], "ACAL", -i);
  file.db->CommitTransaction();

  ExportRequest request = Request("I1", {3, 1});
  request.include.activation = true;
  request.include.situation = true;
  std::vector<std::string> statuses;
  ExportCallbacks callbacks;
  callbacks.status = [&](const std::string& text) { statuses.push_back(text); };
  ExportPreview preview;
  ExportOutcome loaded = preview.Load(file.db.get(), request, callbacks);
  ASSERT_TRUE(loaded.Ok()) << loaded.message;
  EXPECT_EQ(statuses, (std::vector<std::string>{"Calculating column list...", "Calculating column and rows to load...",
                                                "Loading 1600 items for preview...", "Done."}));
  EXPECT_EQ(preview.RowCount(), 1600);
  EXPECT_EQ(preview.Captions(), (std::vector<std::string>{"Subject ID", "Trial", "Instance", "Activation", "Price"}));

  auto lines = ExportLines(file, request);
  ASSERT_EQ(lines.size(), 1601u);
  auto joined = [](const std::vector<std::string>& cells) {
    std::string line;
    for (std::size_t i = 0; i < cells.size(); ++i) line += (i ? "," : "") + cells[i];
    return line;
  };
  // Jump to the end first, then read backwards and across the subject border.
  for (auto [first, last] : std::vector<std::pair<int, int>>{
           {1590, 1700}, {1000, 1030}, {250, 320}, {0, 5}, {295, 305}, {555, 556}, {-3, 2}}) {
    auto rows = preview.FetchRows(first, last);
    int from = std::max(first, 0);
    ASSERT_EQ(rows.size(), static_cast<std::size_t>(std::min(last, 1600) - from));
    for (std::size_t i = 0; i < rows.size(); ++i)
      EXPECT_EQ(joined(rows[i]), lines[static_cast<std::size_t>(from) + i + 1]) << from + static_cast<int>(i);
  }
  EXPECT_TRUE(preview.FetchRows(1600, 1700).empty());

  // A slot filter with no slot column shown: keys and rows both join.
  ExportRequest narrowed = Request("I1", {1});
  narrowed.filters.Append(Filter("Price (Situation) >= 1.5", *file.db, "I1"));
  ASSERT_TRUE(preview.Load(file.db.get(), narrowed).Ok());
  auto narrowedLines = ExportLines(file, narrowed);
  ASSERT_EQ(preview.RowCount(), 975);
  ASSERT_EQ(narrowedLines.size(), 976u);
  auto tail = preview.FetchRows(900, 975);
  auto head = preview.FetchRows(0, 300);
  for (std::size_t i = 0; i < tail.size(); ++i) EXPECT_EQ(joined(tail[i]), narrowedLines[901 + i]);
  for (std::size_t i = 0; i < head.size(); ++i) EXPECT_EQ(joined(head[i]), narrowedLines[1 + i]);

  ExportRequest none = Request("I1", {2});
  EXPECT_EQ(preview.Load(file.db.get(), none).message, messages::kNoRecords);
  EXPECT_FALSE(preview.IsLoaded());
  EXPECT_EQ(preview.RowCount(), 0);
  ExportCallbacks cancelling;
  cancelling.progress = [](std::int64_t, std::int64_t) { return false; };
  EXPECT_EQ(preview.Load(file.db.get(), request, cancelling).message, "Loading cancelled.");
}

TEST(CellFormat, NumbersMatchTheSharedTextForm) {
  std::vector<double> values = {0, 1, -1, 0.1, 1.0 / 3, 2.0 / 3, 1e15, 1e14, 123456789012345.0, 1e-5, 1e-4,
                                -2.5e-300, 1.7976931348623157e308, 5e-324, 0.30000000000000004, 100, 1e16};
  for (int i = 1; i < 2000; ++i) values.push_back(std::ldexp(static_cast<double>(i * 7919 % 1000003), i % 200 - 100));
  // Exact halves in the sixteenth digit round to even, as the shared form does.
  for (double tie : {123456789012345.5, 123456789012346.5, 1000000000000005.0, 1000000000000015.0, 0.5, 2.5})
    for (double sign : {1.0, -1.0}) values.push_back(sign * tie);
  for (int i = 1; i < 3000; ++i) {
    values.push_back(1.0 / i);
    values.push_back(i * 0.001 - 3);
    values.push_back(-std::log(i * 0.37));
    values.push_back(std::exp(i * 0.05 - 60));
  }
  for (double v : values) {
    std::string text;
    AppendNumber(v, text);
    EXPECT_EQ(text, FormatNumber(v)) << v;
  }
}
