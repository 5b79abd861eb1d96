// ModelWarnings.cpp: see ModelWarnings.h.
#include "engine/ModelWarnings.h"

#include <cmath>

#include "engine/ModelSettings.h"
#include "store/Database.h"
#include "store/MetaKeyValue.h"
#include "store/SettingsCatalog.h"

namespace korvane::engine {

namespace {

struct Threshold {
  const char* which;
  const char* cmpKey;
  const char* valueKey;
  const char* what;     // what the comparison tests
  const char* blocked;  // what happens when nothing passes
};

const Threshold kThresholds[] = {
    {"RT", "Params_Delta_Cmp", "Params_Delta_Value", "activation",
     "no retrieval succeeds: every cue takes the heuristic path (the judgment-fail formula)"},
    {"U", "Params_U_Cmp", "Params_U_Value", "utility",
     "no retrieval succeeds: every cue takes the heuristic path (the judgment-fail formula)"},
    {"CT", "Params_CT_Cmp", "Params_CT_Value", "utility",
     "the model never acts: no DECISION is ever sent"},
};

bool IsComparison(const std::string& text) {
  for (const char* op : {">", ">=", "=", "<", "<=", store::kNoThreshold})
    if (text == op) return true;
  return false;
}

// The stored value as the catalog checks it: numbers as numbers, text as
// text, an empty numeric text as empty.
Variant StoredForCheck(const store::KeyValueRow& row) {
  if (row.value.IsNull() || row.value.IsEmpty()) return Variant();
  if (row.type == "NUMERIC") {
    const std::string text = row.value.ToText();
    if (text.find_first_not_of(" \t\r\n") == std::string::npos) return Variant();
    return Variant(ReadNumber(text));
  }
  return Variant(row.value.ToText());
}

}  // namespace

std::string ThresholdInForce(const std::string& which, const std::string& comparison, const std::string& value) {
  for (const Threshold& t : kThresholds) {
    if (which != t.which) continue;
    if (comparison == store::kNoThreshold) {
      if (which == "CT") return "CT: none (no choice threshold: the model always acts)";
      return which + ": none (no " + (which == "RT" ? "retrieval" : "utility") + " threshold: every " + t.what +
             " passes)";
    }
    if (!IsComparison(comparison))
      return which + ": no comparison chosen (" + t.blocked + ")";
    return which + ": " + t.what + " " + comparison + " " + (value.empty() ? "(no value)" : value);
  }
  return which;
}

std::vector<ModelWarning> ModelWideWarnings(store::Database& db) {
  std::vector<ModelWarning> out;
  ModelSettings settings(db);

  for (const Threshold& t : kThresholds) {
    const std::string op = settings.Text(t.cmpKey);
    if (IsComparison(op)) continue;
    std::string name = t.which == std::string("RT")  ? "retrieval threshold"
                       : t.which == std::string("U") ? "utility threshold"
                                                     : "choice threshold";
    out.push_back({t.cmpKey, std::string("Warning: ") + t.cmpKey + " (" + name + ") " +
                                 (op.empty() ? std::string("has no comparison") : "is '" + op + "', not a comparison") +
                                 ", so " + t.blocked + ". Choose >, <, =, >=, <= or none (no threshold)."});
  }

  if (settings.Option("Params_StopRule") == 0) {
    Variant ms = settings.Value("Params_StopRule_Value");
    std::string shown = ModelSettings::IsBlankValue(ms) ? std::string("the") : FormatNumber(ms.ToNumber()) + " ms";
    out.push_back({"Params_StopRule",
                   "Warning: Params_StopRule is 0 (time-based): a trial makes its choice only when a retrieval "
                   "cycle ends after " + shown +
                       " of the trial, so the task must keep sending cues until a DECISION comes. A task that sends "
                       "its alternatives and then waits for the DECISION (as the sample tasks do) waits for ever; "
                       "use the number-based rule for it (Params_StopRule 1, Params_StopRule_Num = cues per trial)."});
  }

  Variant goal = settings.Value("Params_Goal_Value");
  if (!ModelSettings::IsBlankValue(goal) && IsNumericValue(goal) && goal.ToNumber() == 0)
    out.push_back({"Params_Goal_Value",
                   "Warning: Params_Goal_Value (goal G) is 0: feedback outcomes are divided by it, so the first "
                   "FEEDBACK fails with a division by zero."});

  // Every stored setting against the catalog: misspelt keys and values that
  // `korvane set` would refuse (written with --force, or by an older tool).
  for (const store::KeyValueRow& row : store::ListKeyValues(&db)) {
    if (row.name == "VERSION") continue;
    const std::string problem = store::CheckSetting(row.name, StoredForCheck(row));
    if (problem.empty()) continue;
    // The thresholds' comparisons are reported above, with their effect.
    bool reported = false;
    for (const ModelWarning& w : out) reported = reported || w.key == row.name;
    if (!reported) out.push_back({row.name, "Warning: " + problem});
  }
  return out;
}

std::vector<ModelWarning> InstanceTypeWarnings(store::Database& db, const std::string& typeName) {
  std::vector<ModelWarning> out;
  ModelSettings settings(db);
  const int method = settings.Option(typeName + "_RetrievalMethod");
  const int constraint = settings.Option(typeName + "_ConstraintType");

  if (method == 0 && constraint != 0)
    out.push_back({typeName + "_ConstraintType",
                   "Warning: " + typeName + "_ConstraintType is " + std::to_string(constraint) +
                       " (constraint formula) but " + typeName +
                       "_RetrievalMethod is 0 (best match, no blending): the constraint formula applies to "
                       "blending only and has no effect."});

  if (method == 1) {
    if (auto def = db.FindTableDef(typeName)) {
      std::string texts;
      for (const store::FieldInfo& field : def->fields) {
        const std::string& c = field.name;
        if (c.size() < 3 || c[1] != '_' || (c[0] != 'S' && c[0] != 'D' && c[0] != 'U')) continue;
        if (field.type != store::FieldType::Text && field.type != store::FieldType::Memo) continue;
        texts += (texts.empty() ? "" : ", ") + c;
      }
      if (!texts.empty())
        out.push_back({typeName + "_RetrievalMethod",
                       "Warning: " + typeName + "_RetrievalMethod is 1 (blending), which averages every slot, but " +
                           texts +
                           " hold text: a run stops with a type mismatch at the first blend of a text that is not "
                           "a number. Use best-match retrieval (0), or make those slots numbers."});
    }
  }

  return out;
}

std::string ZeroTemperatureText(const std::string& typeName) {
  return typeName + " blends (" + typeName +
         "_RetrievalMethod 1), which needs a temperature above 0, but Params_S_Value is 0 and Params_Temperature "
         "is empty (the temperature is then s times the square root of 2, 0). Set Params_Temperature, or a noise "
         "above 0.";
}

std::string RunRefusal(store::Database& db, const std::string& key, const Variant& value) {
  // What stops every run of an instance type: blending at temperature 0.
  ModelSettings settings(db);
  auto read = [&](const std::string& name) {
    if (name != key) return settings.Value(name);
    if (value.IsString() && IsNumericText(value.AsString())) return Variant(ReadNumber(value.AsString()));
    return value;
  };
  auto isZero = [](const Variant& v) { return !ModelSettings::IsBlankValue(v) && IsNumericValue(v) && v.ToNumber() == 0; };
  auto blocked = [&](auto&& get, const std::string& typeName) {
    const Variant method = get(typeName + "_RetrievalMethod");
    return IsNumericValue(method) && method.ToNumber() == 1 && isZero(get("Params_S_Value")) &&
           ModelSettings::IsBlankValue(get("Params_Temperature"));
  };
  auto stored = [&](const std::string& name) { return settings.Value(name); };
  for (const store::TableDef& def : db.TableDefs()) {
    const std::string& table = def.name;
    if (table.size() < 2 || table[0] != 'I' || table.find_first_not_of("0123456789", 1) != std::string::npos)
      continue;
    if (blocked(read, table) && !blocked(stored, table)) return ZeroTemperatureText(table);
  }
  return {};
}

std::vector<ModelWarning> ModelWarnings(store::Database& db, const std::string& typeName) {
  std::vector<ModelWarning> out = ModelWideWarnings(db);
  std::vector<ModelWarning> typed = InstanceTypeWarnings(db, typeName);
  out.insert(out.end(), typed.begin(), typed.end());
  return out;
}

}  // namespace korvane::engine
