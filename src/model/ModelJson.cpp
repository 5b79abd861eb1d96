// ModelJson.cpp: see ModelJson.h.
#include "model/ModelJson.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>
#include <optional>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "formula/FormulaProgram.h"
#include "formula/VariableList.h"
#include "store/Database.h"
#include "store/MetaKeyValue.h"
#include "store/MetaSimilarity.h"
#include "store/Schema.h"
#include "store/SettingsCatalog.h"
#include "model/ModelFiles.h"
#include "util/Files.h"

namespace korvane::model {

using nlohmann::json;

namespace {

constexpr int kFormatVersion = 1;

[[noreturn]] void Bad(const std::string& where, const std::string& what) {
  throw Error(ErrorNumber::InvalidProcedureCall, "Model JSON", where + ": " + what);
}

bool IsSlotName(const std::string& name) { return name.size() <= 32 && store::IsValidSlotName(name); }

bool IsInstanceTypeName(const std::string& name) {
  if (name.size() < 2 || name[0] != 'I' || name[1] == '0' || name.size() > 10) return false;
  for (std::size_t i = 1; i < name.size(); ++i)
    if (name[i] < '0' || name[i] > '9') return false;
  return true;
}

struct Slot {
  char aspect;       // 'S', 'D', 'U'
  std::string name;  // display name
  std::string type;  // "Real", "String", "Integer"
  std::string Column() const { return std::string(1, aspect) + "_" + name + "_" + type; }
};

store::FieldType ColumnType(const std::string& typeWord) {
  if (typeWord == "Real") return store::FieldType::Double;
  if (typeWord == "Integer") return store::FieldType::Integer;
  return store::FieldType::Text;
}

// A JSON scalar as the Variant a setting or a field takes.
Variant ToVariant(const json& value, const std::string& where) {
  switch (value.type()) {
    case json::value_t::null: return Variant::Null();
    case json::value_t::boolean: return Variant(static_cast<std::int16_t>(value.get<bool>() ? 1 : 0));
    case json::value_t::number_integer:
    case json::value_t::number_unsigned: {
      const double d = value.get<double>();
      if (d >= -2147483648.0 && d <= 2147483647.0) return Variant(static_cast<std::int32_t>(value.get<std::int64_t>()));
      return Variant(d);
    }
    case json::value_t::number_float: return Variant(value.get<double>());
    case json::value_t::string: return Variant(value.get<std::string>());
    default: Bad(where, "must be a number, a text, true, false or null");
  }
}

// Stored text that is exactly how a number is written back ("7", "0.25",
// "1e+20"): that number; otherwise nothing, and the text stays a text so
// that "007" or "1.0" come back as written.
std::optional<double> CanonicalNumber(const std::string& text) {
  if (text.empty()) return std::nullopt;
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
  char buffer[64];
  const auto written = std::to_chars(buffer, buffer + sizeof buffer, value);
  if (std::string(buffer, written.ptr) != text) return std::nullopt;
  return value;
}

// A whole number as a JSON integer (while a double holds it exactly), any
// other number (infinities and NaN included) as it is.
json NumberJson(double d) {
  if (d == std::floor(d) && std::fabs(d) < 9.0e15) return static_cast<std::int64_t>(d);
  return d;
}

// A setting as stored (its type and its text), so that importing the JSON
// stores the same type and text again.
json SettingJson(const store::KeyValueRow& row) {
  if (row.value.IsNull() || row.value.IsEmpty() || row.type == "NULL" || row.type == "OBJECT") return nullptr;
  const std::string text = row.value.ToText();
  if (row.type == "NUMERIC")
    if (const auto number = CanonicalNumber(text)) return NumberJson(*number);
  return text;
}

// Text for JSON: valid UTF-8 as it is; a byte that is not part of a UTF-8
// character (text written by older programs in Windows-1252) becomes the
// character it stands for there.
std::string Utf8Text(const std::string& text) {
  static const char16_t kWindows1252[32] = {
      0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    bool valid = length > 0 && i + length <= text.size();
    for (std::size_t k = 1; valid && k < length; ++k) valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    if (valid && length > 1) {
      // No overlong forms, surrogates or code points past U+10FFFF.
      std::uint32_t cp = c & (0x7F >> length);
      for (std::size_t k = 1; k < length; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
      const std::uint32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
      valid = cp >= least[length] && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
    }
    if (valid) {
      out.append(text, i, length);
      i += length;
      continue;
    }
    const std::uint32_t cp = c >= 0x80 && c < 0xA0 ? kWindows1252[c - 0x80] : c;
    if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
    ++i;
  }
  return out;
}

json FromVariant(const Variant& value) {
  switch (value.Type()) {
    case VariantType::Empty:
    case VariantType::Null: return nullptr;
    case VariantType::Integer: return value.AsInteger();
    case VariantType::Long: return value.AsLong();
    case VariantType::Boolean: return value.AsBoolean();
    case VariantType::Double: return NumberJson(value.AsDouble());
    case VariantType::Date: return FormatDate(value.AsDate(), true);
    default: return Utf8Text(value.ToText());
  }
}

std::vector<Slot> ReadSlots(const json& type, const std::string& where) {
  if (!type.contains("slots") || !type["slots"].is_array()) Bad(where, "\"slots\" must be a list");
  std::vector<Slot> slots;
  std::set<std::string> seen;
  int utilities = 0;
  for (std::size_t i = 0; i < type["slots"].size(); ++i) {
    const json& s = type["slots"][i];
    const std::string at = where + ", slot " + std::to_string(i + 1);
    if (!s.is_object() || !s.contains("name") || !s["name"].is_string() || !s.contains("aspect") ||
        !s["aspect"].is_string() || !s.contains("type") || !s["type"].is_string())
      Bad(at, "needs \"aspect\", \"name\" and \"type\" texts");
    Slot slot;
    const std::string aspect = s["aspect"].get<std::string>();
    if (aspect == "situation") slot.aspect = 'S';
    else if (aspect == "decision") slot.aspect = 'D';
    else if (aspect == "utility") slot.aspect = 'U';
    else Bad(at, "aspect \"" + aspect + "\" is not situation, decision or utility");
    slot.name = s["name"].get<std::string>();
    if (!IsSlotName(slot.name)) Bad(at, "name \"" + slot.name + "\" must be 1 to 32 letters, digits or _");
    slot.type = s["type"].get<std::string>();
    if (slot.type != "Real" && slot.type != "String" && slot.type != "Integer")
      Bad(at, "type \"" + slot.type + "\" is not Real, String or Integer");
    if (!seen.insert(formula::ToUpper(slot.name)).second) Bad(at, "the name \"" + slot.name + "\" is used twice");
    if (slot.aspect == 'U') ++utilities;
    slots.push_back(slot);
  }
  if (utilities > 1) Bad(where, "an instance type has one utility slot, not " + std::to_string(utilities));
  return slots;
}

// A setting of the text is checked as `korvane set` checks it: an unknown
// key or a value outside what the key allows is refused, naming both.
void CheckImportedSetting(const std::string& key, const Variant& value) {
  const std::string problem = store::CheckSetting(key, value);
  if (!problem.empty()) Bad("setting \"" + key + "\"", problem);
}

void CreateInstanceTable(store::Database& db, const std::string& name, const std::vector<Slot>& slots) {
  store::TableDef def;
  def.name = name;
  def.fields.push_back({"X_ID", store::FieldType::Long, true});
  def.fields.push_back({"X_Subject", store::FieldType::Long});
  def.fields.push_back({"X_Working_Memory", store::FieldType::Boolean});
  def.fields.push_back({"X_Prepopulated", store::FieldType::Boolean});
  def.fields.push_back({"X_Created", store::FieldType::DateTime});
  for (const Slot& slot : slots) {
    store::FieldInfo field{slot.Column(), ColumnType(slot.type)};
    field.allowZeroLength = slot.type == "String";
    def.fields.push_back(field);
  }
  def.indexes.push_back({"PrimaryKey", {"X_ID"}, true, true, true});
  def.indexes.push_back({"SubjectIdx", {"X_Subject"}, false, false, false});
  db.CreateTable(def);
}

// Each formula is parsed before it is stored: a text the formula language
// refuses stops the import with the parser's message.
void ImportFormulas(store::Database& db, const std::string& typeName, const json& formulas, const std::string& where) {
  if (!formulas.is_object()) Bad(where, "\"formulas\" must map formula keys to texts");
  for (const auto& [key, text] : formulas.items()) {
    if (!text.is_string()) Bad(where + ", formula " + key, "must be a text");
    if (key.empty()) Bad(where, "a formula key is empty");
    const std::string source = text.get<std::string>();
    if (!source.empty()) {
      formula::FormulaProgram program(source);
      program.ParseProgram();
      if (program.HasError()) Bad(where + ", formula " + key, program.ErrorMessage());
    }
    store::SetSimilarityFormula(&db, typeName, key, source);
  }
}

void ImportInstanceType(store::Database& db, const json& type, std::size_t index) {
  std::string where = "instance type " + std::to_string(index + 1);
  if (!type.is_object() || !type.contains("name") || !type["name"].is_string())
    Bad(where, "needs a \"name\" such as \"I1\"");
  const std::string name = type["name"].get<std::string>();
  where = "instance type " + name;
  if (!IsInstanceTypeName(name)) Bad(where, "the name must be I followed by a positive number, such as I1");
  if (db.FindTableDef(name)) Bad(where, "is defined twice");
  const std::vector<Slot> slots = ReadSlots(type, where);
  CreateInstanceTable(db, name, slots);

  if (type.contains("formulas")) ImportFormulas(db, name, type["formulas"], where);

  if (type.contains("rows")) {
    if (!type["rows"].is_array()) Bad(where, "\"rows\" must be a list");
    auto rs = db.OpenTable(name);
    for (std::size_t r = 0; r < type["rows"].size(); ++r) {
      const json& row = type["rows"][r];
      const std::string at = where + ", row " + std::to_string(r + 1);
      if (!row.is_object()) Bad(at, "must map slot names to values");
      rs->AddNew();
      for (const auto& [slotName, value] : row.items()) {
        const Slot* slot = nullptr;
        for (const Slot& s : slots)
          if (s.name == slotName) slot = &s;
        if (!slot) Bad(at, "\"" + slotName + "\" is not a slot of " + name);
        if (slot->type == "String" && !value.is_string() && !value.is_null())
          Bad(at + ", " + slotName, "a String slot takes a text");
        if (slot->type != "String" && !value.is_number() && !value.is_null())
          Bad(at + ", " + slotName, "a " + slot->type + " slot takes a number");
        if (slot->type == "Integer" && value.is_number() &&
            (value.get<double>() != std::floor(value.get<double>()) || value.get<double>() < -32768 ||
             value.get<double>() > 32767))
          Bad(at + ", " + slotName, "an Integer slot takes a whole number from -32768 to 32767");
        rs->Set(slot->Column(), ToVariant(value, at));
      }
      rs->Set("X_Subject", Variant(static_cast<std::int32_t>(0)));
      rs->Set("X_Working_Memory", Variant(false));
      rs->Set("X_Prepopulated", Variant(true));
      rs->Set("X_Created", Variant(DateNow()));
      rs->Update();
    }
    rs->Close();
  }
}

void ImportInto(store::Database& db, const json& model) {
  if (!model.is_object()) Bad("the model", "must be a JSON object");
  if (!model.contains("korvane_model") || !model["korvane_model"].is_number_integer() ||
      model["korvane_model"].get<int>() != kFormatVersion)
    Bad("the model", "\"korvane_model\": " + std::to_string(kFormatVersion) + " is missing (not a Korvane model text?)");
  for (const auto& [key, value] : model.items())
    if (key != "korvane_model" && key != "settings" && key != "instance_types" && key != "description" &&
        key != "formulas_without_table")
      Bad("the model", "unknown entry \"" + key + "\"");

  if (model.contains("instance_types")) {
    if (!model["instance_types"].is_array()) Bad("the model", "\"instance_types\" must be a list");
    for (std::size_t i = 0; i < model["instance_types"].size(); ++i)
      ImportInstanceType(db, model["instance_types"][i], i);
  }
  if (model.contains("formulas_without_table")) {
    const json& other = model["formulas_without_table"];
    if (!other.is_object()) Bad("the model", "\"formulas_without_table\" must map instance types to formulas");
    for (const auto& [typeName, texts] : other.items()) {
      if (typeName.empty()) Bad("\"formulas_without_table\"", "an instance type name is empty");
      ImportFormulas(db, typeName, texts, "formulas of " + typeName);
    }
  }
  if (model.contains("settings")) {
    if (!model["settings"].is_object()) Bad("the model", "\"settings\" must map keys to values");
    for (const auto& [key, value] : model["settings"].items()) {
      if (key.empty() || key.find('\'') != std::string::npos) Bad("setting \"" + key + "\"", "is not a valid key");
      if (key == "VERSION") continue;  // the file's own schema version
      const Variant setting = ToVariant(value, "setting " + key);
      CheckImportedSetting(key, setting);
      store::SetKeyValue(&db, key, setting);
    }
  }
  // The text creates a new model: what it leaves out, a new model has (as a
  // file without the key runs it, where that differs from `korvane new`).
  store::WriteNewModelDefaults(&db, true);
}

}  // namespace

void ImportModelJson(const std::string& jsonText, const std::string& modelPath) {
  json model;
  // A key given twice in one object would otherwise keep its last value in
  // silence (a second "instance_types": [] imports an empty model).
  std::vector<std::set<std::string>> keys;
  std::string repeated;
  const json::parser_callback_t noRepeatedKeys = [&](int, json::parse_event_t event, json& parsed) {
    if (event == json::parse_event_t::object_start) keys.emplace_back();
    else if (event == json::parse_event_t::object_end && !keys.empty()) keys.pop_back();
    else if (event == json::parse_event_t::key && !keys.empty() && !keys.back().insert(parsed.get<std::string>()).second &&
             repeated.empty())
      repeated = parsed.get<std::string>();
    return true;
  };
  try {
    model = json::parse(jsonText, noRepeatedKeys);
  } catch (const json::exception& e) {
    // Syntax errors, and numbers no double holds (1e400). The library's
    // "[json.exception.kind.n] " prefix says nothing to a researcher.
    std::string what = e.what();
    if (const std::size_t bracket = what.find("] "); what.rfind("[json.exception", 0) == 0 && bracket != std::string::npos)
      what.erase(0, bracket + 2);
    if (e.id == 406) what += " (a number larger than about 1.8e308 cannot be kept)";
    Bad("the JSON text", what);
  }
  if (!repeated.empty()) Bad("the JSON text", "the key \"" + repeated + "\" is given twice in one object");
  if (FileExists(modelPath)) Bad(modelPath, "exists already; import writes new model files only");
  bool created = false;
  try {
    auto db = CreateModelFile(modelPath);
    created = true;
    {
      store::Transaction transaction(*db);
      ImportInto(*db, model);
      transaction.Commit();
    }
    db->Close();
  } catch (...) {
    if (created) {
      std::error_code ec;
      std::filesystem::remove(modelPath, ec);
      std::filesystem::remove(modelPath + "-journal", ec);
      std::filesystem::remove(modelPath + "-wal", ec);
      std::filesystem::remove(modelPath + "-shm", ec);
    }
    throw;
  }
}

void ImportModelJsonFile(const std::string& jsonPath, const std::string& modelPath) {
  std::ifstream in(jsonPath, std::ios::binary);
  if (!in) Bad(jsonPath, "cannot be read");
  std::ostringstream text;
  text << in.rdbuf();
  ImportModelJson(text.str(), modelPath);
}

std::string ExportModelJson(const std::string& modelPath) {
  using ordered = nlohmann::ordered_json;
  if (!FileExists(modelPath)) Bad(modelPath, "does not exist");
  auto db = store::Database::OpenReadOnly(modelPath);  // exporting changes nothing in the file

  std::map<std::string, json> settings;  // sorted by key
  for (const store::KeyValueRow& row : store::ListKeyValues(db.get())) {
    if (row.name == "VERSION") continue;
    json value = SettingJson(row);
    if (value.is_string()) value = Utf8Text(value.get<std::string>());
    settings[Utf8Text(row.name)] = std::move(value);
  }
  std::map<std::string, std::map<std::string, std::string>> formulas;
  for (const store::FormulaRow& row : store::ListFormulas(db.get()))
    formulas[row.instanceType][Utf8Text(row.slot)] = Utf8Text(row.formula);

  ordered model = ordered::object();
  model["korvane_model"] = kFormatVersion;
  ordered types = ordered::array();
  for (const store::TableDef& def : db->TableDefs()) {
    if (store::IsSystemTable(def)) continue;
    if (!IsInstanceTypeName(def.name)) continue;
    ordered type = ordered::object();
    type["name"] = def.name;
    ordered slots = ordered::array();
    std::vector<std::pair<std::string, std::string>> columns;  // column, slot name
    for (const store::FieldInfo& field : def.fields) {
      const std::string& c = field.name;
      if (c.size() < 4 || c[1] != '_' || (c[0] != 'S' && c[0] != 'D' && c[0] != 'U')) continue;
      const std::size_t last = c.rfind('_');
      if (last <= 2) continue;
      const std::string name = c.substr(2, last - 2);
      const char* aspect = c[0] == 'S' ? "situation" : c[0] == 'D' ? "decision" : "utility";
      ordered slot = ordered::object();
      slot["aspect"] = aspect;
      slot["name"] = name;
      slot["type"] = c.substr(last + 1);
      slots.push_back(slot);
      columns.emplace_back(c, name);
    }
    type["slots"] = slots;
    ordered typeFormulas = ordered::object();
    for (const auto& [key, text] : formulas[def.name]) typeFormulas[key] = text;
    formulas.erase(def.name);
    type["formulas"] = typeFormulas;
    ordered rows = ordered::array();
    auto rs = db->OpenTable(def.name);
    for (; !rs->IsEOF(); rs->MoveNext()) {
      if (rs->Get("X_Subject").ToNumber() != 0) continue;  // a run's own instances
      ordered row = ordered::object();
      for (const auto& [column, name] : columns) row[name] = ordered::parse(FromVariant(rs->Get(column)).dump());
      rows.push_back(row);
    }
    type["rows"] = rows;
    types.push_back(type);
  }
  model["instance_types"] = types;
  // Formulas kept for an instance type that has no table (yet, or any
  // more) are part of the model too.
  if (!formulas.empty()) {
    ordered other = ordered::object();
    for (const auto& [typeName, byKey] : formulas) {
      ordered texts = ordered::object();
      for (const auto& [key, text] : byKey) texts[key] = text;
      other[Utf8Text(typeName)] = texts;
    }
    model["formulas_without_table"] = other;
  }
  ordered orderedSettings = ordered::object();
  for (const auto& [key, value] : settings) orderedSettings[key] = ordered::parse(value.dump());
  model["settings"] = orderedSettings;
  db->Close();
  return model.dump(2) + "\n";
}

}  // namespace korvane::model
