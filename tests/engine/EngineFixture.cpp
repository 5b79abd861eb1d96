// EngineFixture.cpp: model files and a recording owner for the engine tests.
#include "EngineFixture.h"

namespace korvane::engine::test {

ModelFile::ModelFile(const std::string& path) : db_(store::Database::Create(path)) {
  store::TableDef def;
  def.name = "I1";
  def.fields = {{"X_ID", store::FieldType::Long, true},      {"X_Subject", store::FieldType::Long},
                {"X_Working_Memory", store::FieldType::Boolean}, {"X_Prepopulated", store::FieldType::Boolean},
                {"X_Created", store::FieldType::DateTime},     {"S_A_Real", store::FieldType::Double},
                {"S_B_Real", store::FieldType::Double},        {"D_Choice_Real", store::FieldType::Double},
                {"U_Util_Real", store::FieldType::Double}};
  store::IndexInfo primary;
  primary.name = "PrimaryKey";
  primary.fields = {"X_ID"};
  primary.primary = true;
  def.indexes = {primary};
  db_->CreateTable(def);
  Set("Params_Alpha_Value", 1.0);
  Set("Params_CT_Value", 0.0);
  Set("Params_CT_Cmp", ">=");
  Set("Params_D_Value", 0.5);
  Set("Params_Delta_Value", -1000.0);
  Set("Params_Delta_Cmp", ">");
  Set("Params_U_Value", -100.0);
  Set("Params_U_Cmp", ">");
  Set("Params_Goal_Value", 1.0);
  Set("Params_LE_Value", 1.0);
  Set("Params_LF_Value", 1.0);
  Set("Params_S_Value", 0.25);
  Set("Params_StopRule", 1.0);
  Set("Params_StopRule_Value", 1000.0);
  Set("Params_StopRule_Num", 1.0);
  Set("Params_HELO", "HELLO %d");
  Set("I1_SimilarityType", 1.0);
  Set("I1_DecisionType", 1.0);
  SetFormula("A", "PM = -ABS(CUE - MEMORY)");
  SetFormula("B", "PM = -ABS(CUE - MEMORY)");
  store::SetDecisionFormula(db_.get(), "I1", "D_Choice_Real", "D = Memory.Choice");
  store::SetDecisionFormula(db_.get(), "I1", "D_Choice_Real_FAILURE", "D = 1");
  store::SetJudgmentFormula(db_.get(), "I1", false, "U = 5");
}

void ModelFile::AddRow(double a, double b, double choice, double util, std::int32_t subject) {
  db_->Execute(
      "INSERT INTO I1 (X_Subject, X_Working_Memory, X_Prepopulated, X_Created, S_A_Real, S_B_Real, D_Choice_Real, "
      "U_Util_Real) VALUES (?, 0, ?, NOW(), ?, ?, ?, ?)",
      {Variant(subject), Variant(subject == 0), Variant(a), Variant(b), Variant(choice), Variant(util)});
}

long ModelFile::Count(const std::string& sql) {
  auto rs = db_->OpenRecordset(sql);
  return static_cast<long>(rs->Get(0).ToNumber());
}

bool RecordingOwner::Logged(const std::string& text) const {
  for (const auto& line : lines)
    if (line.text.find(text) != std::string::npos) return true;
  for (const auto& line : fileLines)
    if (line.text.find(text) != std::string::npos) return true;
  return false;
}

std::string RecordingOwner::AllLines() const {
  std::string all;
  for (const auto& line : lines) all += line.text + "\n";
  return all;
}

formula::VariableList Cue(double a, double b) { return Vars({{"A", Variant(a)}, {"B", Variant(b)}}); }

formula::VariableList Vars(std::initializer_list<std::pair<const char*, Variant>> entries) {
  formula::VariableList list;
  for (const auto& [name, value] : entries) list.Add(name, value);
  return list;
}

ModelRun::ModelRun(store::Database& db, RecordingOwner& owner, bool start) {
  ExecutorOptions options;
  options.clock = ClockKind::Simulated;
  options.seed = 7;
  executor = std::make_unique<ModelExecutor>(db, owner, scheduler, options);
  if (start && executor->Prepare("I1")) executor->IncrementSubjectID(1);
}

}  // namespace korvane::engine::test
