// MetaUtility.cpp: the judgment formulas, kept as settings.
#include "store/MetaUtility.h"

#include "store/MetaKeyValue.h"

namespace korvane::store {

namespace {
std::string JudgmentKey(const std::string& instanceType, bool succeed) {
  return instanceType + "_Judgment" + (succeed ? "Succeed" : "Fail") + "Formula";
}
}  // namespace

std::string GetJudgmentFormula(Database* db, const std::string& instanceType, bool succeed) {
  if (!db) return {};
  return GetKeyValue(db, JudgmentKey(instanceType, succeed)).ToText();
}

std::string GetJudgmentFormula(Database* db, const std::string& instanceType, int succeed) {
  return GetJudgmentFormula(db, instanceType, succeed != 0);
}

bool SetJudgmentFormula(Database* db, const std::string& instanceType, bool succeed, const std::string& formula) {
  return SetKeyValue(db, JudgmentKey(instanceType, succeed), Variant(formula));
}

}  // namespace korvane::store
