// PopulationTest.cpp: the population screen against real model files: each
// cell written at once, the two warnings about what was stored, rows and the
// empty-cell check.
#include <QTabBar>

#include "EditorFixture.h"
#include "editor/frmPopulation.h"

namespace korvane::editor::test {
namespace {

using Strings = std::vector<std::string>;

class PopulationTest : public EditorTest {
 protected:
  void SetUp() override {
    EditorTest::SetUp();
    NewModel("m.mdb");
    Click("btnJumper0");
    EXPECT_TRUE(EditCell(0, 1, "Price, Real"));
    EXPECT_TRUE(EditCell(0, 2, "Count, Integer"));
    EXPECT_TRUE(EditCell(0, 3, "Payoff, Real"));
    Click("btnAddRow");
    EXPECT_TRUE(EditCell(1, 1, "Color, String"));
    Click("btnJumper1");
    TakeShown();
  }
  std::unique_ptr<store::Database> Db() const { return OpenDb(File("m.mdb")); }
  // Column of a slot in the grid: situation slots first, then decision, utility.
  static constexpr int kPrice = 0, kColor = 1, kCount = 2, kPayoff = 3;
};

TEST_F(PopulationTest, TabsColumnsAndRowsFromTheModel) {
  auto* tabs = window->CurrentScreen()->findChild<QTabBar*>("tabStrip");
  ASSERT_NE(tabs, nullptr);
  ASSERT_EQ(tabs->count(), 1);
  EXPECT_EQ(tabs->tabText(0), "I1");
  EXPECT_TRUE(tabs->tabData(0).toString().startsWith("Table"));
  ASSERT_EQ(Grid()->columnCount(), 4);
  EXPECT_EQ(Grid()->horizontalHeaderItem(kPrice)->text(), "Price");
  EXPECT_EQ(Grid()->horizontalHeaderItem(kColor)->text(), "Color");
  EXPECT_EQ(Grid()->horizontalHeaderItem(kCount)->text(), "Count");
  EXPECT_EQ(Grid()->horizontalHeaderItem(kPayoff)->text(), "Payoff");
  EXPECT_EQ(Grid()->rowCount(), 0);
  EXPECT_FALSE(Button("btnDeleteRow")->isEnabled());
}

TEST_F(PopulationTest, EachCellIsWrittenAtOnceWithItsWarnings) {
  Click("btnAddRow");
  // 5 into a Real slot: stored, no warning.
  ASSERT_TRUE(EditCell(0, kPrice, "5"));
  EXPECT_TRUE(TakeShown().empty());
  {
    auto db = Db();
    auto rs = db->OpenTable("I1");
    ASSERT_EQ(rs->RecordCount(), 1);
    rs->MoveFirst();
    EXPECT_EQ(rs->Get("S_Price_Real").ToNumber(), 5);
    EXPECT_EQ(rs->Get("X_Subject").ToNumber(), 0);
  }
  // A fraction into an Integer slot is stored whole; the cell shows it.
  ASSERT_TRUE(EditCell(0, kCount, "2.6"));
  EXPECT_EQ(TakeShown(), Strings{"Warning: The value '2.6' is not a valid value for slot D_Count_Integer, and has "
                                 "been automatically changed to '3'."});
  EXPECT_EQ(Grid()->CellText(0, kCount), "3");
  // Letters into a Real slot of an existing record keep the old value.
  ASSERT_TRUE(EditCell(0, kPrice, "abc"));
  EXPECT_EQ(TakeShown(), Strings{"Warning: The value 'abc' is not a valid value for slot S_Price_Real, and has "
                                 "been automatically changed to '5'."});
  EXPECT_EQ(Grid()->CellText(0, kPrice), "5");

  // Letters into a Real slot of a new row: the record is made, the field empty.
  Click("btnAddRow");
  ASSERT_TRUE(EditCell(1, kPayoff, "lots"));
  EXPECT_EQ(TakeShown(), Strings{"Warning: The value 'lots' is not a valid value for slot U_Payoff_Real"});
  {
    auto db = Db();
    auto rs = db->OpenTable("I1");
    ASSERT_EQ(rs->RecordCount(), 2);
    rs->MoveLast();
    EXPECT_TRUE(rs->Get("U_Payoff_Real").IsNull());
    EXPECT_EQ(rs->Get("X_Subject").ToNumber(), 0);
  }
  ASSERT_TRUE(EditCell(1, kColor, "red"));
  EXPECT_TRUE(TakeShown().empty());

  // Everything comes back when the screen is opened again.
  Click("btnJumper0");
  Click("btnJumper1");
  ASSERT_EQ(Grid()->rowCount(), 2);
  EXPECT_EQ(Grid()->CellText(0, kPrice), "5");
  EXPECT_EQ(Grid()->CellText(0, kCount), "3");
  EXPECT_EQ(Grid()->CellText(1, kColor), "red");
  EXPECT_EQ(Grid()->CellText(1, kPayoff), "");
}

TEST_F(PopulationTest, DeletingTheSecondRowDeletesTheSecondRecord) {
  for (int row = 0; row < 3; ++row) {
    Click("btnAddRow");
    ASSERT_TRUE(EditCell(row, kPrice, QString::number(row + 1)));
  }
  // Rows of simulated subjects are never shown nor touched.
  {
    auto db = Db();
    auto rs = db->OpenTable("I1");
    rs->AddNew();
    rs->Set("X_Subject", Variant(std::int32_t{1}));
    rs->Set("S_Price_Real", Variant(99.0));
    rs->Update();
  }
  Click("btnJumper0");
  Click("btnJumper1");
  ASSERT_EQ(Grid()->rowCount(), 3);
  Grid()->setCurrentCell(1, kPrice);
  Click("btnDeleteRow");
  EXPECT_EQ(Grid()->rowCount(), 2);
  auto db = Db();
  auto rs = db->OpenTable("I1");
  std::vector<double> prices;
  for (rs->MoveFirst(); !rs->IsEOF(); rs->MoveNext()) prices.push_back(rs->Get("S_Price_Real").ToNumber());
  EXPECT_EQ(prices, (std::vector<double>{1, 3, 99}));
}

TEST_F(PopulationTest, NextAsksOnceAboutEmptyCells) {
  Click("btnAddRow");
  ASSERT_TRUE(EditCell(0, kPrice, "1"));
  ASSERT_TRUE(EditCell(0, kColor, "red"));
  ASSERT_TRUE(EditCell(0, kPayoff, "2"));
  TakeShown();
  dialogs->QueueAnswer(DialogAnswer::No);
  Click("btnNext");
  ASSERT_EQ(dialogs->Shown().size(), 1u);
  EXPECT_EQ(dialogs->Shown()[0].title, "Warning");
  EXPECT_EQ(dialogs->Shown()[0].text,
            "You have some empty cells. This might cause issues during simulation. Ignore this warning?\n\n"
            "Click 'Yes' to continue with a different screen.\nClick 'No' to stay and fix these empty cells.");
  EXPECT_EQ(window->CurrentScreen()->objectName(), "frmPopulation");
  EXPECT_EQ(Grid()->currentRow(), 0);
  EXPECT_EQ(Grid()->currentColumn(), kCount);

  // Filled in, Next passes without a question.
  ASSERT_TRUE(EditCell(0, kCount, "4"));
  TakeShown();
  auto* population = qobject_cast<frmPopulation*>(window->CurrentScreen());
  ASSERT_NE(population, nullptr);
  EXPECT_TRUE(population->CheckEmptyCells());
  EXPECT_TRUE(TakeShown().empty());
  // Back goes without any check.
  Click("btnAddRow");
  Click("btnBack");
  EXPECT_TRUE(TakeShown().empty());
  EXPECT_EQ(window->CurrentScreen()->objectName(), "frmDefinition");
}

}  // namespace
}  // namespace korvane::editor::test
