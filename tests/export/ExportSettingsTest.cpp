// Tests of the remembered export choices and the listing of experiment files.
#include <gtest/gtest.h>

#include <fstream>

#include "ExperimentFixture.h"
#include "export/ExportSettings.h"
#include "store/MetaKeyValue.h"

using namespace korvane;
using namespace korvane::exporting;

TEST(ExportSettings, ChoicesComeBackAsTheyWereLeft) {
  test::TempDir dir;
  auto model = store::Database::Create(dir.File("Model.mdb"));
  ExportSettings fresh = LoadExportSettings(model.get());
  EXPECT_FALSE(fresh.include.activation || fresh.include.utility);
  EXPECT_TRUE(fresh.lastMDB.empty() && fresh.lastSubjects.empty() && fresh.filters.IsEmpty());

  IncludeOptions in;
  in.activation = in.noise = in.decision = true;
  StoreIncludes(model.get(), in);
  StoreLastMDB(model.get(), dir.File("Model-3.mdb"));
  StoreLastInstanceType(model.get(), "I2");
  StoreLastSubjects(model.get(), {5, 1, 12});
  DataFilterCollection filters;
  auto f = std::make_shared<DataFilter>();
  f->SetColumn("Activation");
  f->SetCaption("Activation");
  f->SetMin(2, true);
  filters.Append(f);
  StoreFilters(model.get(), filters);

  ExportSettings back = LoadExportSettings(model.get());
  EXPECT_TRUE(back.include.activation && back.include.noise && back.include.decision);
  EXPECT_FALSE(back.include.bll || back.include.situation || back.include.time);
  EXPECT_EQ(store::GetKeyValue(model.get(), keys::kIncludeFull).ToNumber(), 1);
  EXPECT_EQ(back.lastMDB, "Model-3.mdb");
  EXPECT_EQ(back.lastInstanceType, "I2");
  EXPECT_EQ(back.lastSubjects, (std::vector<std::int32_t>{5, 1, 12}));
  ASSERT_EQ(back.filters.Count(), 1);
  EXPECT_EQ(back.filters.Item(0)->ToSQL(), "Activation >= 2");

  // One subject alone, and none; a damaged filter text keeps what came before it.
  StoreLastSubjects(model.get(), {7});
  EXPECT_EQ(LoadExportSettings(model.get()).lastSubjects, (std::vector<std::int32_t>{7}));
  StoreLastSubjects(model.get(), {});
  EXPECT_TRUE(LoadExportSettings(model.get()).lastSubjects.empty());
  store::SetKeyValue(model.get(), keys::kFilters,
                     Variant(filters.PackToString() + "|DATAFILTER,B,T,Noise|" + f->PackToString()));
  EXPECT_EQ(LoadExportSettings(model.get()).filters.Count(), 1);
  EXPECT_EQ(ParseSubjects(" 3, x,4 ,,-2"), (std::vector<std::int32_t>{3, 4, -2}));
}

TEST(ExportSettings, ExperimentFilesBesideTheModel) {
  test::TempDir dir;
  for (const char* name : {"Model.mdb", "Model-2.mdb", "Model-1.mdb", "Model-x.MDB", "Model-3.csv", "Other-1.mdb",
                           "Modelx-1.mdb"})
    std::ofstream(dir.File(name)) << "x";
  EXPECT_EQ(ExperimentDatabases(dir.File("Model.mdb")),
            (std::vector<std::string>{dir.File("Model-1.mdb"), dir.File("Model-2.mdb"), dir.File("Model-x.MDB")}));
  EXPECT_TRUE(ExperimentDatabases(dir.File("Model.txt")).empty());
  EXPECT_TRUE(ExperimentDatabases(dir.File("missing/Model.mdb")).empty());
}
