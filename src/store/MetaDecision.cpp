// MetaDecision.cpp: decision and feedback formulas (in MetaSimilarity) and
// the decision option.
#include "store/MetaDecision.h"

#include "store/MetaKeyValue.h"
#include "store/MetaSimilarity.h"

namespace korvane::store {

std::string GetDecisionFormula(Database* db, const std::string& instanceType, const std::string& slot) {
  return GetSimilarityFormula(db, instanceType, slot);
}

bool SetDecisionFormula(Database* db, const std::string& instanceType, const std::string& slot,
                        const std::string& formula) {
  return SetSimilarityFormula(db, instanceType, slot, formula);
}

Variant GetDecisionType(Database* db, const std::string& instanceType) {
  return GetKeyValue(db, instanceType + "_DecisionType");
}

bool SetDecisionType(Database* db, const std::string& instanceType, const Variant& value) {
  return SetKeyValue(db, instanceType + "_DecisionType", value);
}

}  // namespace korvane::store
