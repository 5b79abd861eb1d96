// DefinitionTest.cpp: the definition screen against real model files: what
// each cell edit does to the schema, the checks and their messages, row
// deletion and the completeness check on Next.
#include <QLabel>

#include "EditorFixture.h"
#include "editor/frmDefinition.h"

namespace korvane::editor::test {
namespace {

using Strings = std::vector<std::string>;

class DefinitionTest : public EditorTest {
 protected:
  void SetUp() override {
    EditorTest::SetUp();
    NewModel("m.mdb");
    Click("btnJumper0");
    TakeShown();
  }
  frmDefinition* Screen() const { return qobject_cast<frmDefinition*>(window->CurrentScreen()); }
  std::unique_ptr<store::Database> Db() const { return OpenDb(File("m.mdb")); }
  void Reopen() {
    Click("btnJumper1");
    Click("btnJumper0");
    TakeShown();
  }
};

TEST_F(DefinitionTest, FirstSlotCreatesTheTableAndLabelsShowState) {
  ASSERT_NE(Screen(), nullptr);
  EXPECT_EQ(Screen()->findChild<QLabel*>("lblInstanceNumber")->text(), "Current instance number: 1");
  EXPECT_EQ(Screen()->findChild<QLabel*>("lbDBVersion")->text(), "Database version: 7");
  EXPECT_EQ(Grid()->horizontalHeaderItem(0)->text(), "Instance No.");
  EXPECT_EQ(Grid()->horizontalHeaderItem(3)->text(), "Utility");

  ASSERT_TRUE(EditCell(0, 1, "Price, Real"));
  EXPECT_TRUE(TakeShown().empty());
  auto db = Db();
  EXPECT_EQ(Columns(*db, "I1"),
            (Strings{"X_ID", "X_Subject", "X_Working_Memory", "X_Prepopulated", "X_Created", "S_Price_Real"}));
  auto def = db->FindTableDef("I1");
  EXPECT_NE(def->FindIndex("PrimaryKey"), nullptr);
  EXPECT_NE(def->FindIndex("SubjectIdx"), nullptr);
  EXPECT_EQ(def->fields[5].type, store::FieldType::Double);

  // Name as typed, type word normalised.
  Click("btnAddRow");
  ASSERT_TRUE(EditCell(1, 1, " price2 , real "));
  EXPECT_EQ(Columns(*Db(), "I1").back(), "S_price2_Real");
  EXPECT_EQ(Grid()->CellText(1, 1), "price2, Real");

  // Reloading shows the slots where they were.
  Reopen();
  EXPECT_EQ(Grid()->rowCount(), 2);
  EXPECT_EQ(Grid()->CellText(0, 0), "1");
  EXPECT_EQ(Grid()->CellText(0, 1), "Price, Real");
  EXPECT_EQ(Grid()->CellText(1, 1), "price2, Real");
}

TEST_F(DefinitionTest, EveryCheckHasItsMessageAndTheYellowMarker) {
  struct Case {
    QString text;
    std::string message;
  };
  const QString name32(32, 'a');
  const QString name33(33, 'a');
  const std::vector<Case> refused = {
      {"Price Real", "Missing a comma. Expected field to be: Name, Type"},
      {"Price, Real, x", "Too many commas. Expected field to be: Name, Type"},
      {" , Real", "Slot name missing. Expected field to be: Name,Type"},
      {name33 + ", Real", "Slot name must be at most 32 characters long. It is currently 33 characters."},
      {"A B, Real", "Slot name ('A B') must NOT contain spaces."},
      {"Price, Float", "Invalid slot type: Float. Expected type to be one of: String, Real, Integer"},
      {"A-B, Real", "Slot name 'A-B' is not valid.\nSlot names can only contain A-Z, a-z, 0-9."},
  };
  for (const Case& c : refused) {
    ASSERT_TRUE(EditCell(0, 1, c.text));
    ASSERT_EQ(dialogs->Shown().size(), 1u) << c.text.toStdString();
    EXPECT_EQ(dialogs->Shown()[0].text, c.message);
    EXPECT_EQ(dialogs->Shown()[0].title, "Error in Field");
    EXPECT_EQ(dialogs->Shown()[0].icon, DialogIcon::Critical);
    EXPECT_TRUE(Grid()->HasError(0, 1));
    EXPECT_EQ(Grid()->item(0, 1)->background().color(), QColor(Qt::yellow));
    TakeShown();
  }
  // A refused first entry still leaves the table with its system columns only.
  EXPECT_EQ(Columns(*Db(), "I1").size(), 5u);

  ASSERT_TRUE(EditCell(0, 1, name32 + ", Real"));
  EXPECT_TRUE(TakeShown().empty());
  EXPECT_FALSE(Grid()->HasError(0, 1));
  EXPECT_EQ(Columns(*Db(), "I1").back(), "S_" + name32.toStdString() + "_Real");
  ASSERT_TRUE(EditCell(0, 1, "A_B, Real"));
  EXPECT_TRUE(TakeShown().empty());
  EXPECT_EQ(Columns(*Db(), "I1").back(), "S_A_B_Real");
}

TEST_F(DefinitionTest, DuplicateAndSystemNamesAreRefused) {
  ASSERT_TRUE(EditCell(0, 1, "Price, Real"));
  ASSERT_TRUE(EditCell(0, 2, "price, String"));
  Strings shown = TakeShown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], "Instance type I1 already has a slot named 'price'.\nPlease choose another name.");
  for (const char* name : {"ID", "Subject", "Working_Memory", "Prepopulated", "Created"}) {
    ASSERT_TRUE(EditCell(0, 3, QString(name) + ", Real"));
    shown = TakeShown();
    ASSERT_EQ(shown.size(), 1u) << name;
    EXPECT_EQ(shown[0], "Instance type I1 already has a slot named '" + std::string(name) +
                            "'.\nPlease choose another name.");
  }
  // Keeping its own name while changing the type is no duplicate.
  ASSERT_TRUE(EditCell(0, 1, "Price, Integer"));
  EXPECT_TRUE(TakeShown().empty());
  EXPECT_EQ(Columns(*Db(), "I1").back(), "S_Price_Integer");
}

TEST_F(DefinitionTest, RenameKeepsValuesAndRetypeConvertsThroughTemporaryColumn) {
  ASSERT_TRUE(EditCell(0, 1, "Price, Real"));
  ASSERT_TRUE(EditCell(0, 2, "Choice, String"));
  {
    auto db = Db();
    auto rs = db->OpenTable("I1");
    for (double price : {3.7, 1.2, -2.5}) {
      rs->AddNew();
      rs->Set("X_Subject", Variant(std::int32_t{0}));
      rs->Set("S_Price_Real", Variant(price));
      rs->Set("D_Choice_String", Variant("A"));
      rs->Update();
    }
  }
  ASSERT_TRUE(EditCell(0, 1, "Cost, Real"));
  {
    auto db = Db();
    EXPECT_EQ(Columns(*db, "I1")[5], "S_Cost_Real");
    auto rs = db->OpenTable("I1");
    rs->MoveFirst();
    EXPECT_EQ(rs->Get("S_Cost_Real").ToNumber(), 3.7);
  }
  ASSERT_TRUE(EditCell(0, 1, "Cost, Integer"));
  EXPECT_TRUE(TakeShown().empty());
  {
    auto db = Db();
    auto def = db->FindTableDef("I1");
    ASSERT_TRUE(def);
    EXPECT_LT(def->FieldPosition("TS_Cost_Integer"), 0);
    const int position = def->FieldPosition("S_Cost_Integer");
    ASSERT_GE(position, 0);
    EXPECT_EQ(def->fields[position].type, store::FieldType::Integer);
    auto rs = db->OpenTable("I1");
    std::vector<double> values;
    for (rs->MoveFirst(); !rs->IsEOF(); rs->MoveNext()) values.push_back(rs->Get("S_Cost_Integer").ToNumber());
    EXPECT_EQ(values, (std::vector<double>{4, 1, -2}));  // rounded, halves to even
  }
  // A text that is no number becomes empty when the slot turns numeric.
  ASSERT_TRUE(EditCell(0, 2, "Choice, Real"));
  {
    auto db = Db();
    auto rs = db->OpenTable("I1");
    rs->MoveFirst();
    EXPECT_TRUE(rs->Get("D_Choice_Real").IsNull());
  }
  // A leftover temporary column from an interrupted change is not a slot.
  store::FieldInfo leftover;
  leftover.name = "TS_Old_Real";
  leftover.type = store::FieldType::Double;
  Db()->AppendField("I1", leftover);
  Reopen();
  for (int row = 0; row < Grid()->rowCount(); ++row) {
    for (int column = 1; column < 4; ++column) EXPECT_FALSE(Grid()->CellText(row, column).contains("Old"));
  }
}

TEST_F(DefinitionTest, EmptyingACellDropsItsColumnAndAnInvalidTextNeverDid) {
  ASSERT_TRUE(EditCell(0, 1, "Price, Real"));
  // A refused text leaves the slot as it was ...
  ASSERT_TRUE(EditCell(0, 1, "Price Real"));
  TakeShown();
  EXPECT_EQ(Columns(*Db(), "I1").back(), "S_Price_Real");
  // ... and the next valid text renames that slot rather than adding one.
  ASSERT_TRUE(EditCell(0, 1, "Cost, Real"));
  EXPECT_FALSE(Grid()->HasError(0, 1));
  EXPECT_EQ(Columns(*Db(), "I1"),
            (Strings{"X_ID", "X_Subject", "X_Working_Memory", "X_Prepopulated", "X_Created", "S_Cost_Real"}));
  ASSERT_TRUE(EditCell(0, 1, ""));
  EXPECT_TRUE(TakeShown().empty());  // no question
  EXPECT_EQ(Columns(*Db(), "I1").size(), 5u);
}

TEST_F(DefinitionTest, DeletingRowsAsksAndDropsTablesLeftWithoutSlots) {
  ASSERT_TRUE(EditCell(0, 1, "Price, Real"));
  ASSERT_TRUE(EditCell(0, 2, "Choice, String"));
  Click("btnAddRow");
  ASSERT_TRUE(EditCell(1, 1, "Color, String"));
  TakeShown();

  // No keeps everything.
  Grid()->setCurrentCell(0, 1);
  dialogs->QueueAnswer(DialogAnswer::No);
  Click("btnDeleteRow");
  ASSERT_EQ(dialogs->Shown().size(), 1u);
  EXPECT_EQ(dialogs->Shown()[0].text,
            "Are you sure you would like to delete the following 2 slot(s)?\n\n*  Price, Real\n*  Choice, String");
  EXPECT_EQ(Grid()->rowCount(), 2);
  EXPECT_EQ(Columns(*Db(), "I1").size(), 8u);
  TakeShown();

  dialogs->QueueAnswer(DialogAnswer::Yes);
  Click("btnDeleteRow");
  EXPECT_EQ(Grid()->rowCount(), 1);
  EXPECT_EQ(Columns(*Db(), "I1").back(), "S_Color_String");
  EXPECT_EQ(Columns(*Db(), "I1").size(), 6u);

  // Deleting the last row with slots drops the slots and then the table.
  Grid()->setCurrentCell(0, 1);
  dialogs->QueueAnswer(DialogAnswer::Yes);
  Click("btnDeleteRow");
  EXPECT_EQ(Grid()->rowCount(), 0);
  EXPECT_FALSE(Db()->FindTableDef("I1").has_value());
  EXPECT_FALSE(Button("btnDeleteRow")->isEnabled());
  // The main window knows the model has no instance type any more.
  EXPECT_FALSE(Button("btnJumper1")->isEnabled());
  EXPECT_TRUE(Button("btnJumper0")->isEnabled());
}

TEST_F(DefinitionTest, InstanceNumbersAndSecondDecisionSlotsAreRefused) {
  ASSERT_FALSE(EditCell(0, 0, "2"));
  Strings shown = TakeShown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], "Korvane currently only supports one instance type.");
  ASSERT_TRUE(EditCell(0, 1, "Price, Real"));
  ASSERT_FALSE(EditCell(0, 0, "2"));
  shown = TakeShown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0],
            "You cannot edit the instance number of existing slots. \nTo create a new instance type, add a new row "
            "first.");

  // With two rows, one Decision and one Utility cell stay open; once filled
  // the rest are greyed.
  ASSERT_TRUE(EditCell(0, 2, "Choice, String"));
  Click("btnAddRow");
  EXPECT_TRUE(Grid()->IsGreyed(1, 2));
  EXPECT_FALSE(Grid()->IsGreyed(1, 3));  // no Utility slot yet: the last row's stays white
  EXPECT_TRUE(Grid()->IsGreyed(0, 3));
  TakeShown();
  ASSERT_FALSE(EditCell(1, 2, "Other, String"));
  shown = TakeShown();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], "Korvane currently only supports one Decision slot per instance type.");
  ASSERT_TRUE(EditCell(1, 3, "Payoff, Real"));
  EXPECT_TRUE(TakeShown().empty());
  EXPECT_EQ(Columns(*Db(), "I1").back(), "U_Payoff_Real");
}

TEST_F(DefinitionTest, NextChecksCompleteness) {
  // No instance type at all.
  Click("btnNext");
  EXPECT_EQ(TakeShown(), Strings{"You must define at least one instance type!"});
  EXPECT_EQ(window->CurrentScreen()->objectName(), "frmDefinition");

  ASSERT_TRUE(EditCell(0, 1, "Price, Real"));
  ASSERT_TRUE(EditCell(0, 2, "Choice, String"));
  TakeShown();
  Click("btnNext");
  EXPECT_EQ(TakeShown(), Strings{"Warning: Instance type 1 requires at least one Utility slot"});
  EXPECT_EQ(window->CurrentScreen()->objectName(), "frmDefinition");

  // Typed but not yet left: Next applies the cell before it checks.
  ASSERT_TRUE(EditCell(0, 3, "Payoff, Real", false));
  Click("btnNext");
  EXPECT_TRUE(TakeShown().empty());
  EXPECT_EQ(Columns(*Db(), "I1").back(), "U_Payoff_Real");
  EXPECT_EQ(window->CurrentScreen()->objectName(), "frmPopulation");
}

}  // namespace
}  // namespace korvane::editor::test
