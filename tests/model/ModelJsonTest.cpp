// ModelJsonTest.cpp: models as JSON text and back, and the shipped example.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "TestSupport.h"
#include "model/ExampleModels.h"
#include "model/ModelJson.h"
#include "store/Database.h"
#include "model/ModelFiles.h"
#include "store/MetaKeyValue.h"
#include "store/MetaSimilarity.h"
#include "store/SettingsCatalog.h"
#include "util/Error.h"

using nlohmann::json;
using korvane::test::TempDir;

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The description of the error ImportModelJson raises for text, or "".
std::string ImportError(const std::string& text, const std::string& path) {
  try {
    korvane::model::ImportModelJson(text, path);
  } catch (const korvane::Error& e) {
    return e.Description();
  }
  return {};
}

}  // namespace

TEST(ModelJson, ExampleFileIsTheShippedExample) {
  const json file = json::parse(ReadFile(korvane::test::SourceDir() + "/examples/binary-choice.json"));
  EXPECT_EQ(file, json::parse(korvane::model::ExampleJson("binary-choice")));
  EXPECT_THROW(korvane::model::ExampleJson("no-such-example"), korvane::Error);
}

TEST(ModelJson, ImportBuildsTheModelAndExportGivesItBack) {
  TempDir temp;
  const std::string path = temp.File("Example.mdb");
  korvane::model::CreateExampleModel("binary-choice", path);

  auto db = korvane::model::OpenModelFile(path);
  auto table = db->FindTableDef("I1");
  ASSERT_TRUE(table);
  std::vector<std::string> names;
  for (const auto& f : table->fields) names.push_back(f.name);
  EXPECT_EQ(names, (std::vector<std::string>{"X_ID", "X_Subject", "X_Working_Memory", "X_Prepopulated", "X_Created",
                                             "S_Option_Integer", "D_Choice_Integer", "U_Value_Real"}));
  EXPECT_EQ(table->fields[5].type, korvane::store::FieldType::Integer);
  EXPECT_EQ(table->fields[7].type, korvane::store::FieldType::Double);
  EXPECT_TRUE(table->FindIndex("PrimaryKey"));
  EXPECT_TRUE(table->FindIndex("SubjectIdx"));
  auto rows = db->OpenTable("I1");
  EXPECT_EQ(rows->RecordCount(), 2);
  EXPECT_EQ(rows->Get("X_Subject").ToNumber(), 0);
  EXPECT_EQ(rows->Get("U_Value_Real").ToNumber(), 10);
  rows->Close();
  EXPECT_EQ(korvane::store::GetKeyValue(db.get(), "Params_S_Value").ToNumber(), 0.25);
  EXPECT_EQ(korvane::store::GetKeyValue(db.get(), "Params_CT_Cmp").ToText(), "none");
  EXPECT_EQ(korvane::store::GetSimilarityFormula(db.get(), "I1", "D_Choice_Integer"), "D = ROUND(Memory.Option)");
  db->Close();

  // Export, import the export, export again: the same text.
  const std::string once = korvane::model::ExportModelJson(path);
  json exported = json::parse(once);
  json original = json::parse(korvane::model::ExampleJson("binary-choice"));
  original.erase("description");
  // The import created a new model: the settings the text leaves out came
  // with their new-model defaults.
  for (const auto& [key, value] : exported["settings"].items()) {
    if (original["settings"].contains(key)) continue;
    const korvane::store::SettingInfo* info = korvane::store::FindSetting(key);
    ASSERT_TRUE(info && info->writtenOnNew) << key;
    original["settings"][key] = json::parse(exported["settings"][key].dump());
    EXPECT_EQ(value.is_string() ? value.get<std::string>() : korvane::FormatNumber(value.get<double>()),
              info->defaultText)
        << key;
  }
  EXPECT_EQ(exported, original);
  korvane::model::ImportModelJson(once, temp.File("Copy.mdb"));
  EXPECT_EQ(korvane::model::ExportModelJson(temp.File("Copy.mdb")), once);
}

TEST(ModelJson, BadTextIsRefusedWithWhereAndLeavesNoFile) {
  TempDir temp;
  const std::string path = temp.File("Bad.mdb");
  const json good = json::parse(korvane::model::ExampleJson("binary-choice"));
  auto with = [&](const std::function<void(json&)>& edit) {
    json m = good;
    edit(m);
    return m.dump();
  };
  struct Case {
    std::string text;
    std::string expected;  // part of the error text
  };
  const std::vector<Case> cases = {
      {"{ not json", "the JSON text"},
      {"[]", "must be a JSON object"},
      {"{}", "\"korvane_model\": 1 is missing"},
      // A key given twice: the last would win in silence (an empty model).
      {good.dump().insert(good.dump().size() - 1, ",\"instance_types\":[]"),
       "the key \"instance_types\" is given twice in one object"},
      {with([](json& m) { m["extra"] = 1; }), "unknown entry \"extra\""},
      {with([](json& m) { m["instance_types"][0]["name"] = "Table1"; }), "I followed by a positive number"},
      {with([](json& m) { m["instance_types"].push_back(m["instance_types"][0]); }), "defined twice"},
      {with([](json& m) { m["instance_types"][0]["slots"][0]["aspect"] = "memory"; }), "aspect \"memory\""},
      {with([](json& m) { m["instance_types"][0]["slots"][0]["type"] = "Float"; }), "type \"Float\""},
      {with([](json& m) { m["instance_types"][0]["slots"][0]["name"] = "Op tion"; }), "1 to 32 letters"},
      {with([](json& m) { m["instance_types"][0]["slots"][1]["name"] = "option"; }), "used twice"},
      {with([](json& m) { m["instance_types"][0]["slots"][1]["aspect"] = "utility"; }), "one utility slot"},
      {with([](json& m) { m["instance_types"][0]["rows"][1]["Colour"] = 1; }), "row 2: \"Colour\" is not a slot"},
      {with([](json& m) { m["instance_types"][0]["rows"][0]["Option"] = "one"; }), "takes a number"},
      {with([](json& m) { m["instance_types"][0]["rows"][0]["Option"] = 1.5; }), "whole number"},
      {with([](json& m) { m["instance_types"][0]["rows"][0]["Option"] = 40000; }), "whole number"},
      {with([](json& m) { m["instance_types"][0]["formulas"]["Option"] = 3; }), "must be a text"},
      {with([](json& m) { m["settings"]["Params_D_Value"] = json::array(); }), "setting Params_D_Value"},
      {with([](json& m) { m["settings"]["It's"] = 1; }), "not a valid key"},
      // Settings are checked as `korvane set` checks them.
      {with([](json& m) { m["settings"]["Params_S_Valeu"] = 0.3; }),
       "setting \"Params_S_Valeu\": Unknown setting Params_S_Valeu. Did you mean Params_S_Value"},
      {with([](json& m) { m["settings"]["I1_FeedbackType"] = 7; }),
       "I1_FeedbackType must be one of 0 (single value), 1 (set of values, FEEDBACK formula); not 7."},
      {with([](json& m) { m["settings"]["Params_CT_Cmp"] = "=>"; }), "Params_CT_Cmp must be one of"},
      {with([](json& m) { m["settings"]["Params_Port_Value"] = 0; }), "Params_Port_Value must be a whole number"},
  };
  for (const Case& c : cases) {
    const std::string error = ImportError(c.text, path);
    EXPECT_NE(error.find(c.expected), std::string::npos) << "expected '" << c.expected << "' in '" << error << "'";
    EXPECT_FALSE(std::filesystem::exists(path)) << c.expected;
  }

  // An existing file is never overwritten.
  { std::ofstream(path) << "precious"; }
  EXPECT_NE(ImportError(good.dump(), path).find("exists already"), std::string::npos);
  EXPECT_EQ(ReadFile(path), "precious");
  // Exporting something that is not a model says so.
  EXPECT_THROW(korvane::model::ExportModelJson(path), korvane::Error);
  EXPECT_THROW(korvane::model::ExportModelJson(temp.File("none.mdb")), korvane::Error);
}

TEST(ModelJson, EverySettingAndFormulaComesBackExactly) {
  TempDir temp;
  const std::string path = temp.File("Model.mdb");
  korvane::model::CreateExampleModel("binary-choice", path);
  {
    auto db = korvane::model::OpenModelFile(path);
    using korvane::Variant;
    // Real keys: import checks them against the settings catalog.
    korvane::store::SetKeyValue(db.get(), "Params_HELO", Variant("007"));  // numeric text, kept as written
    korvane::store::SetKeyValue(db.get(), "I1_MR_SelectionVariable", Variant::Null());
    korvane::store::SetKeyValue(db.get(), "Params_D_Value", Variant(0.1));
    korvane::store::SetKeyValue(db.get(), "Params_Batch_Value", Variant(static_cast<std::int32_t>(7)));
    // A formula kept for an instance type that has no table.
    korvane::store::SetSimilarityFormula(db.get(), "I7", "GLOBAL", "X = 1");
    db->Close();
  }
  auto stored = [](const std::string& file) {
    auto db = korvane::model::OpenModelFile(file);
    std::vector<std::string> rows;
    for (const auto& row : korvane::store::ListKeyValues(db.get()))
      rows.push_back(row.name + "|" + row.type + "|" + (row.value.IsNull() ? "<null>" : row.value.ToText()));
    for (const auto& row : korvane::store::ListFormulas(db.get()))
      rows.push_back(row.instanceType + "|" + row.slot + "|" + row.formula);
    db->Close();
    return rows;
  };
  const std::string text = korvane::model::ExportModelJson(path);
  const json exported = json::parse(text);
  EXPECT_EQ(exported["settings"]["Params_HELO"], "007");
  EXPECT_EQ(exported["settings"]["Params_Batch_Value"], 7);
  EXPECT_EQ(exported["settings"]["I1_MR_SelectionVariable"], nullptr);
  EXPECT_EQ(exported["formulas_without_table"]["I7"]["GLOBAL"], "X = 1");
  korvane::model::ImportModelJson(text, temp.File("Copy.mdb"));
  EXPECT_EQ(stored(temp.File("Copy.mdb")), stored(path));
  EXPECT_EQ(korvane::model::ExportModelJson(temp.File("Copy.mdb")), text);
}

TEST(ModelJson, FormulasAreCheckedAndOddTextIsHandled) {
  TempDir temp;
  json model = json::parse(korvane::model::ExampleJson("binary-choice"));
  model["instance_types"][0]["formulas"]["GLOBAL"] = "X = (1 +";
  const std::string error = ImportError(model.dump(), temp.File("Bad.mdb"));
  EXPECT_NE(error.find("instance type I1, formula GLOBAL: "), std::string::npos) << error;
  EXPECT_FALSE(std::filesystem::exists(temp.File("Bad.mdb")));

  // A number no double holds is refused with a message, not a crash.
  std::string huge = korvane::model::ExampleJson("binary-choice");
  huge.replace(huge.find("\"Params_D_Value\": ") + 18, 3, "1e400");
  EXPECT_NE(ImportError(huge, temp.File("Huge.mdb")).find("number overflow parsing '1e400'"), std::string::npos)
      << ImportError(huge, temp.File("Huge.mdb"));

  // Text that is not UTF-8 (an older program's Windows-1252) exports as the
  // characters it stands for.
  const std::string path = temp.File("Old.mdb");
  korvane::model::CreateExampleModel("binary-choice", path);
  {
    auto db = korvane::model::OpenModelFile(path);
    korvane::store::SetKeyValue(db.get(), "Note", korvane::Variant(std::string("caf\xe9 \x80 ok")));
    db->Close();
  }
  const json exported = json::parse(korvane::model::ExportModelJson(path));
  EXPECT_EQ(exported["settings"]["Note"], "caf\xc3\xa9 \xe2\x82\xac ok");
}

TEST(ModelJson, SettingsTheTextLeavesOutGetTheNewModelDefaults) {
  TempDir temp;
  json m = json::parse(korvane::model::ExampleJson("binary-choice"));
  for (const char* key : {"Params_Delta_Cmp", "Params_Delta_Value", "Params_U_Cmp", "Params_U_Value", "Params_CT_Cmp",
                          "Params_CT_Value", "Params_S_Value", "Reinforce_Execution"})
    m["settings"].erase(key);
  const std::string path = temp.File("Plain.mdb");
  korvane::model::ImportModelJson(m.dump(), path);
  auto db = korvane::model::OpenModelFile(path);
  for (const char* key : {"Params_Delta_Cmp", "Params_U_Cmp", "Params_CT_Cmp"})
    EXPECT_EQ(korvane::store::GetKeyValue(db.get(), key), korvane::Variant("none")) << key;
  EXPECT_EQ(korvane::store::GetKeyValue(db.get(), "Params_Delta_Value"), korvane::Variant(0.0));
  EXPECT_EQ(korvane::store::GetKeyValue(db.get(), "Params_S_Value"), korvane::Variant(0.25));
  EXPECT_EQ(korvane::store::GetKeyValue(db.get(), "Reinforce_Execution"), korvane::Variant(0.0));
  // What the text says is kept.
  EXPECT_EQ(korvane::store::GetKeyValue(db.get(), "Params_StopRule"), korvane::Variant(1.0));
  EXPECT_EQ(korvane::store::GetKeyValue(db.get(), "Params_Batch_Value"), korvane::Variant(100.0));
  // Settings of an instance type are not invented.
  EXPECT_FALSE(korvane::store::HasKeyValue(db.get(), "I1_UtilityUpdateFormula"));
  db->Close();
}
