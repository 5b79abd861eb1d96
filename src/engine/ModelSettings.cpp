// ModelSettings.cpp: reading settings and formulas through the store.
#include "engine/ModelSettings.h"

#include <cmath>

#include "store/MetaKeyValue.h"
#include "store/MetaSimilarity.h"
#include "store/MetaUtility.h"

namespace korvane::engine {

Variant ModelSettings::Value(const std::string& key) const { return store::GetKeyValue(&db_, key); }

bool ModelSettings::IsBlankValue(const Variant& v) {
  if (v.IsEmpty() || v.IsNull()) return true;
  return v.IsString() && v.AsString().find_first_not_of(" \t\r\n") == std::string::npos;
}

std::int32_t ModelSettings::Option(const std::string& key) const {
  double n = Value(key).ToNumber();
  if (!std::isfinite(n)) return 0;
  return static_cast<std::int32_t>(std::nearbyint(n));
}

bool ModelSettings::Switch(const std::string& key) const {
  Variant v = Value(key);
  if (v.IsBoolean()) return v.AsBoolean();
  return v.ToNumber() != 0;
}

std::string ModelSettings::Formula(const std::string& instanceType, const std::string& slot) const {
  return store::GetSimilarityFormula(&db_, instanceType, slot);
}

std::string ModelSettings::JudgmentFormula(const std::string& instanceType, bool succeed) const {
  return store::GetJudgmentFormula(&db_, instanceType, succeed);
}

}  // namespace korvane::engine
