// TrialTableTest.cpp: the trial table and its CSV from hand-built MetaCue
// rows in a real experiment file.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "TestSupport.h"
#include "export/CellFormat.h"
#include "export/TrialTable.h"
#include "store/Database.h"
#include "store/Schema.h"
#include "util/Error.h"

namespace korvane::exporting {
namespace {

class TrialTableTest : public ::testing::Test {
 protected:
  test::TempDir dir;
  std::string path = dir.File("Model-1.mdb");
  std::unique_ptr<store::Database> db = store::Database::Create(path);

  void Cue(const std::string& type, int subject, int trial, int cue, const std::string& situation,
           const std::string& decision, bool executed, Variant feedback = Variant::Null(),
           Variant after = Variant::Null(), Variant instance = Variant::Null(), const char* path = "RETR") {
    store::GetOrCreateMetaCue(db.get());
    db->Execute(
        "INSERT INTO MetaCue (SubjectID, InstanceType, TrialNumber, TraceTrial, CueNumber, ModelTime, Path, "
        "Instance, Utility, Activation, RetrievalTime, Executed, Feedback, UtilityAfter, Situation, Decision) "
        "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
        {Variant(subject), Variant(type), Variant(trial), Variant(trial - 1), Variant(cue),
         Variant(100.0 * trial + cue), Variant(path), instance, Variant(0.5 * cue), Variant(-0.25),
         Variant(1283.0254), Variant(executed ? 1 : 0), feedback, after, Variant(situation), Variant(decision)});
  }
  static std::string ReadFile(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
};

TEST_F(TrialTableTest, RowsInOrderWithSlotsByNameAndCsvCells) {
  // Written out of order; read by subject, trial, cue.
  Cue("I1", 2, 1, 1, R"({"Deck":"A","Utility":1})", R"({"Choice":1,"Path":"x"})", true, Variant(-250.0),
      Variant(-250.0), Variant(17));
  Cue("I1", 1, 2, 2, R"({"Deck":"B, \"far\"","Utility":2})", R"({"Choice":2.5,"Path":null})", false);
  Cue("I1", 1, 2, 1, R"({"Deck":"C"})", R"({"Choice":3})", true, Variant(100.0), Variant(0.125), Variant(4),
      "HEUR");
  Cue("I1", 1, 1, 1, R"({"Deck":"D","Utility":4})", R"({"Choice":4,"Path":"y"})", true);
  TrialTable table = ReadTrialTable(path);
  EXPECT_EQ(table.instanceType, "I1");
  // Slot names that an earlier column or a fixed one has get their aspect.
  EXPECT_EQ(table.Columns(),
            (std::vector<std::string>{"SubjectID", "TrialNumber", "CueNumber", "ModelTime", "Deck",
                                      "Utility_Situation", "Path", "Utility", "Activation", "RetrievalTime",
                                      "Executed", "Choice", "Path_Decision", "Feedback", "UtilityAfter",
                                      "Instance"}));
  ASSERT_EQ(table.rows.size(), 4u);
  std::vector<std::string> order;
  for (const TrialRow& row : table.rows)
    order.push_back(std::to_string(row.subject) + "/" + std::to_string(row.trial) + "/" + std::to_string(row.cue));
  EXPECT_EQ(order, (std::vector<std::string>{"1/1/1", "1/2/1", "1/2/2", "2/1/1"}));
  // A slot a row lacks is null there.
  EXPECT_TRUE(table.rows[1].situation[1].IsNull());

  const std::string csv = TrialTableCsv(table);
  EXPECT_EQ(csv,
            "SubjectID,TrialNumber,CueNumber,ModelTime,Deck,Utility_Situation,Path,Utility,Activation,"
            "RetrievalTime,Executed,Choice,Path_Decision,Feedback,UtilityAfter,Instance\r\n"
            "1,1,1,101,D,4,RETR,0.5,-0.25,1283.0254,1,4,y,,,\r\n"
            "1,2,1,201,C,,HEUR,0.5,-0.25,1283.0254,1,3,,100,0.125,4\r\n"
            "1,2,2,202,\"B, \"\"far\"\"\",2,RETR,1,-0.25,1283.0254,0,2.5,,,,\r\n"
            "2,1,1,101,A,1,RETR,0.5,-0.25,1283.0254,1,1,x,-250,-250,17\r\n");
  // Every line reads back as RFC 4180 with as many cells as the header.
  std::size_t pos = 0;
  const std::size_t columns = table.Columns().size();
  for (int line = 0; line < 5; ++line) EXPECT_EQ(ReadCsvRecord(csv, pos).size(), columns) << line;
  EXPECT_EQ(pos, csv.size());
}

TEST_F(TrialTableTest, FileExportMatchesTheTableAndRefusesWhatItCannotDo) {
  // No record of cues at all: refused with the reason, no file.
  ExportTarget target;
  target.path = dir.File("t.csv");
  ExportOutcome none = ExportTrials(db.get(), "", target);
  EXPECT_EQ(none.result, ExportResult::Refused);
  EXPECT_NE(none.message.find("no record of cues"), std::string::npos) << none.message;
  EXPECT_FALSE(std::ifstream(target.path).good());
  EXPECT_THROW(ReadTrialTable(path), Error);

  Cue("I1", 1, 1, 1, R"({"Option":1})", R"({"Choice":1})", true, Variant(3.0), Variant(3.0), Variant(3));
  Cue("I1", 1, 1, 2, R"({"Option":2})", R"({"Choice":2})", false);
  ExportOutcome done = ExportTrials(db.get(), "", target);
  ASSERT_TRUE(done.Ok()) << done.message;
  EXPECT_EQ(done.rows, 2);
  EXPECT_EQ(ReadFile(target.path), TrialTableCsv(ReadTrialTable(*db)));
  // An existing file is kept unless replacing is asked for.
  EXPECT_EQ(ExportTrials(db.get(), "I1", target).result, ExportResult::Refused);
  target.overwrite = true;
  EXPECT_TRUE(ExportTrials(db.get(), "I1", target).Ok());
  // A dated name in the folder when no path is given.
  ExportTarget dated;
  dated.folder = dir.Path();
  ExportOutcome named = ExportTrials(db.get(), "I1", dated);
  ASSERT_TRUE(named.Ok()) << named.message;
  EXPECT_NE(named.path.find("/trials-"), std::string::npos) << named.path;

  // A second instance type: it must be named, and an unknown one is refused.
  Cue("I2", 1, 1, 1, R"({"X":1})", R"({"Y":1})", true);
  EXPECT_EQ(ExportTrials(db.get(), "", dated).result, ExportResult::Refused);
  try {
    ReadTrialTable(path);
    ADD_FAILURE() << "several types read without a name";
  } catch (const Error& e) {
    EXPECT_NE(e.Description().find("several instance types (I1, I2)"), std::string::npos) << e.Description();
  }
  EXPECT_EQ(ReadTrialTable(path, "I2").rows.size(), 1u);
  ExportOutcome unknown = ExportTrials(db.get(), "I3", dated);
  EXPECT_EQ(unknown.result, ExportResult::Refused);
  EXPECT_NE(unknown.message.find("no cues of instance type I3 (it has: I1, I2)"), std::string::npos);

  // Cancelled: no file left behind.
  std::atomic<bool> cancel{true};
  ExportCallbacks callbacks;
  callbacks.cancel = &cancel;
  callbacks.progressInterval = 1;
  ExportTarget other;
  other.path = dir.File("cancelled.csv");
  EXPECT_EQ(ExportTrials(db.get(), "I1", other, callbacks).result, ExportResult::Cancelled);
  EXPECT_FALSE(std::ifstream(other.path).good());
}

}  // namespace
}  // namespace korvane::exporting
