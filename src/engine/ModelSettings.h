// ModelSettings.h: the model settings and formula texts a run reads, by key.
//
// A thin door onto the store's settings and formula tables, so that the
// engine reads them in one way everywhere: a setting as a value (a number, a
// text, or empty when missing), an option index as an integer (missing: 0), a
// switch as a boolean, a formula as its text (missing: empty).
#pragma once

#include <cstdint>
#include <string>

#include "util/Variant.h"

namespace korvane::store {
class Database;
}

namespace korvane::engine {

class ModelSettings {
 public:
  explicit ModelSettings(store::Database& db) : db_(db) {}

  Variant Value(const std::string& key) const;
  // A value that is missing or blank.
  bool IsBlank(const std::string& key) const { return IsBlankValue(Value(key)); }
  static bool IsBlankValue(const Variant& value);
  std::int32_t Option(const std::string& key) const;
  bool Switch(const std::string& key) const;
  std::string Text(const std::string& key) const { return Value(key).ToText(); }
  // A formula of MetaSimilarity (similarity, decision and feedback formulas).
  std::string Formula(const std::string& instanceType, const std::string& slot) const;
  // The judgment (utility) formula for when recognition succeeds or fails.
  std::string JudgmentFormula(const std::string& instanceType, bool succeed) const;

 private:
  store::Database& db_;
};

}  // namespace korvane::engine
