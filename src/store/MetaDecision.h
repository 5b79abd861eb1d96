// MetaDecision.h: decision and feedback formulas, kept in MetaSimilarity
// under slot values of their own ("GLOBAL_DECISION", a decision column's full
// name, either followed by "_FAILURE", and "FEEDBACK"), and the decision
// option of an instance type.
#pragma once

#include <string>

#include "store/Database.h"
#include "util/Variant.h"

namespace korvane::store {

constexpr const char* kGlobalDecisionSlot = "GLOBAL_DECISION";
constexpr const char* kFailureSuffix = "_FAILURE";
constexpr const char* kFeedbackSlot = "FEEDBACK";

// The formula text, or "" when there is no such row (or no database).
std::string GetDecisionFormula(Database* db, const std::string& instanceType, const std::string& slot);
// True when a new row was added, false when an existing one was changed.
bool SetDecisionFormula(Database* db, const std::string& instanceType, const std::string& slot,
                        const std::string& formula);

// The setting instanceType + "_DecisionType"; empty when missing.
Variant GetDecisionType(Database* db, const std::string& instanceType);
bool SetDecisionType(Database* db, const std::string& instanceType, const Variant& value);

}  // namespace korvane::store
