// SettingsCatalogTest.cpp: the table of every model setting against the
// source that reads settings and against docs/settings.md; the checks of
// values; the defaults of a new model.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "TestSupport.h"
#include "store/Database.h"
#include "store/DatabaseManager.h"
#include "store/MetaKeyValue.h"
#include "store/SettingsCatalog.h"
#include "util/Dialogs.h"

using namespace korvane;
using namespace korvane::store;

namespace {

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

TEST(SettingsCatalog, CoversEveryKeyTheSourceReads) {
  namespace fs = std::filesystem;
  const fs::path src = fs::path(test::SourceDir()) / "src";
  ASSERT_TRUE(fs::is_directory(src)) << src;
  // Model-wide keys are written out whole; the keys of an instance type are
  // the type's name and a suffix literal, joined with + (type + "_X") or
  // handed to the screens' per-type readers and writers (ReadTypeOption("_X")).
  // Suffixes joined so that are not settings:
  // the failure formula's row, the start of the judgment keys, the
  // parameters screen's row parts (Params_ + D + _Cmp) and the type words
  // that end slot columns.
  const std::regex wide("\"((Params|Export|Reinforce|CreateInstance|Merge)_[A-Za-z_]*)\"");
  const std::regex suffix("(?:\\+\\s*|Type[A-Za-z]*\\()\"(_[A-Za-z][A-Za-z_]*)\"");
  const std::set<std::string> notSettings = {"_FAILURE", "_Judgment", "_Cmp", "_Value", "_Real", "_String", "_Integer"};
  std::set<std::string> seen, missing;
  for (const auto& entry : fs::recursive_directory_iterator(src)) {
    const std::string ext = entry.path().extension().string();
    if (ext != ".cpp" && ext != ".h") continue;
    if (entry.path().filename() == "SettingsCatalog.cpp") continue;  // the table itself
    const std::string text = ReadFile(entry.path());
    for (std::sregex_iterator it(text.begin(), text.end(), wide), end; it != end; ++it) {
      const std::string key = (*it)[1];
      if (key.back() == '_') continue;  // a prefix
      seen.insert(key);
      if (!FindSetting(key)) missing.insert(key + " (" + entry.path().filename().string() + ")");
    }
    for (std::sregex_iterator it(text.begin(), text.end(), suffix), end; it != end; ++it) {
      const std::string key = (*it)[1];
      if (notSettings.count(key)) continue;
      seen.insert("I1" + key);
      if (!FindSetting("I1" + key)) missing.insert(key + " (" + entry.path().filename().string() + ")");
    }
  }
  EXPECT_TRUE(missing.empty()) << [&] {
    std::string all;
    for (const auto& m : missing) all += m + "\n";
    return all;
  }();
  // The scan found the keys (a broken pattern would pass vacuously).
  for (const char* key : {"Params_D_Value", "Params_StopRule", "Export_Filters", "I1_RetrievalMethod",
                          "I1_JudgmentFailFormula", "Merge_WithPrepopulated"})
    EXPECT_TRUE(seen.count(key)) << key;
  // The settings another change reads are listed already.
  for (const char* key : {"Params_TrialTime", "Params_CyclePause", "Params_TraceLevel"})
    EXPECT_TRUE(FindSetting(key)) << key;
}

TEST(SettingsCatalog, DocsSettingsMdIsTheProgramsOwnTable) {
  const std::string path = test::SourceDir() + "/docs/settings.md";
  EXPECT_EQ(ReadFile(path), SettingsReferenceMarkdown())
      << "docs/settings.md is out of date: run korvane settings --markdown > docs/settings.md";
  // Every key with its default, in the plain listing too.
  const std::string text = SettingsReferenceText();
  for (const SettingInfo& s : SettingsCatalog()) {
    EXPECT_NE(text.find("  " + s.DisplayKey() + "  ("), std::string::npos) << s.DisplayKey();
    EXPECT_NE(SettingsReferenceMarkdown().find("`" + s.DisplayKey() + "`"), std::string::npos) << s.DisplayKey();
  }
  EXPECT_NE(text.find("Params_StopRule  (option index, default 0"), std::string::npos);
  EXPECT_NE(text.find("I<n>_RetrievalMethod"), std::string::npos);
}

TEST(SettingsCatalog, ChecksValuesAndNamesWhatIsAllowed) {
  // Known keys, whole and per instance type.
  EXPECT_EQ(CheckSettingText("Params_S_Value", "0.3"), "");
  EXPECT_EQ(CheckSettingText("I1_FeedbackType", "1"), "");
  EXPECT_EQ(CheckSettingText("I12_RetrievalMethod", "1"), "");
  EXPECT_EQ(CheckSettingText("Params_Delta_Cmp", "none"), "");
  EXPECT_EQ(CheckSettingText("Params_D_Cmp", ""), "");
  EXPECT_EQ(CheckSettingText("Params_Seed", ""), "");
  EXPECT_EQ(CheckSettingText("Params_Listen", "0.0.0.0"), "");
  EXPECT_EQ(CheckSettingText("Params_HELO", "HELO|%d"), "");
  EXPECT_EQ(CheckSettingText("I1_ConstraintFormula", "USES.X = 1"), "");
  EXPECT_EQ(CheckSetting("Reinforce_Feedback", Variant(true)), "");
  EXPECT_EQ(CheckSetting("Params_Port_Value", Variant(4258.0)), "");

  // A misspelt key names the key and what it probably was.
  std::string message = CheckSettingText("Params_S_Valeu", "0.3");
  EXPECT_EQ(message.rfind("Unknown setting Params_S_Valeu. Did you mean Params_S_Value", 0), 0u) << message;
  message = CheckSettingText("I1_FeedbakType", "0");
  EXPECT_NE(message.find("Did you mean I1_FeedbackType?"), std::string::npos) << message;
  EXPECT_NE(CheckSettingText("I0_FeedbackType", "0"), "");
  EXPECT_NE(CheckSettingText("X1_FeedbackType", "0"), "");
  EXPECT_NE(CheckSettingText("_FeedbackType", "0"), "");

  // Values outside what is allowed, named with what is.
  EXPECT_EQ(CheckSettingText("I1_FeedbackType", "7"),
            "I1_FeedbackType must be one of 0 (single value), 1 (set of values, FEEDBACK formula); not '7'.");
  EXPECT_EQ(CheckSettingText("Params_StopRule", "0.5"),
            "Params_StopRule must be one of 0 (time-based), 1 (number-based); not '0.5'.");
  EXPECT_EQ(CheckSettingText("Params_S_Value", "-1"), "Params_S_Value must be a number from 0; not '-1'.");
  EXPECT_EQ(CheckSettingText("Params_S_Value", "abc"), "Params_S_Value must be a number from 0; not 'abc'.");
  EXPECT_EQ(CheckSettingText("Params_D_Value", ""), "Params_D_Value must be a number from 0; it is empty.");
  EXPECT_EQ(CheckSettingText("Params_Port_Value", "70000"),
            "Params_Port_Value must be a whole number from 1 to 65535; not '70000'.");
  EXPECT_NE(CheckSettingText("Params_StopRule_Num", "1.5"), "");
  EXPECT_NE(CheckSettingText("Params_StopRule_Value", "0"), "");
  EXPECT_NE(CheckSettingText("Reinforce_Feedback", "2"), "");
  EXPECT_NE(CheckSettingText("Params_Delta_Cmp", "=>"), "");
  EXPECT_NE(CheckSettingText("Params_Delta_Cmp", ""), "");
  EXPECT_NE(CheckSettingText("Params_D_Cmp", "none"), "");  // not a threshold
  EXPECT_NE(CheckSettingText("Params_Listen", "localhost:80"), "");
  EXPECT_NE(CheckSettingText("Params_Seed", "-1"), "");
}

TEST(SettingsCatalog, NewModelsStartWithTheDefaults) {
  test::TempDir dir;
  auto previous = SetDialogs(std::make_shared<ScriptedDialogs>());
  DatabaseManager manager;
  const std::string path = dir.File("New.mdb");
  ASSERT_TRUE(manager.CreateModelDatabase(path));
  Database* db = manager.CurrentDatabase();
  int onNew = 0;
  for (const SettingInfo& s : SettingsCatalog()) {
    if (!s.writtenOnNew) {
      if (!s.perType && s.key != "VERSION") {
        EXPECT_FALSE(HasKeyValue(db, s.key)) << s.key;
      }
      continue;
    }
    ++onNew;
    ASSERT_TRUE(HasKeyValue(db, s.key)) << s.key;
    EXPECT_EQ(CheckSetting(s.key, GetKeyValue(db, s.key)), "") << s.key;
  }
  EXPECT_GE(onNew, 25);
  EXPECT_EQ(GetKeyValue(db, "Params_S_Value"), Variant(0.25));
  EXPECT_EQ(GetKeyValue(db, "Params_Port_Value"), Variant(4258.0));
  EXPECT_EQ(GetKeyValue(db, "Params_StopRule_Value"), Variant(1000.0));
  for (const char* key : {"Params_Delta_Cmp", "Params_U_Cmp", "Params_CT_Cmp"})
    EXPECT_EQ(GetKeyValue(db, key), Variant("none")) << key;
  EXPECT_FALSE(HasKeyValue(db, "Params_D_Cmp"));

  // Replacing a file gives the defaults too, not the old file's settings.
  SetKeyValue(db, "Params_S_Value", Variant(0.9));
  manager.CloseModelDatabase();
  auto agree = std::make_shared<ScriptedDialogs>();
  agree->QueueAnswer(DialogAnswer::Yes);
  SetDialogs(agree);
  ASSERT_TRUE(manager.CreateModelDatabase(path));
  EXPECT_EQ(GetKeyValue(manager.CurrentDatabase(), "Params_S_Value"), Variant(0.25));
  manager.CloseModelDatabase();

  // What is there already is kept.
  auto db2 = Database::Create(dir.File("Other.mdb"));
  SetKeyValue(db2.get(), "Params_CT_Cmp", Variant(">="));
  EXPECT_GT(WriteNewModelDefaults(db2.get()), 0);
  EXPECT_EQ(GetKeyValue(db2.get(), "Params_CT_Cmp"), Variant(">="));
  EXPECT_EQ(WriteNewModelDefaults(db2.get()), 0);
  SetDialogs(previous);
}
