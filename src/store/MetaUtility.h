// MetaUtility.h: the two judgment (utility) formulas of an instance type,
// kept as settings instanceType + "_JudgmentSucceedFormula" and
// instanceType + "_JudgmentFailFormula".
#pragma once

#include <string>

#include "store/Database.h"

namespace korvane::store {

// The formula text ("" when missing or with no database).
std::string GetJudgmentFormula(Database* db, const std::string& instanceType, bool succeed);
// Any non-zero flag means the succeed formula.
std::string GetJudgmentFormula(Database* db, const std::string& instanceType, int succeed);
// True when the setting was new.
bool SetJudgmentFormula(Database* db, const std::string& instanceType, bool succeed, const std::string& formula);

}  // namespace korvane::store
