// ScreenSettings.cpp: settings and formula rows as the model screens use them.
#include "editor/ScreenSettings.h"

#include <chrono>

#include "editor/NumberText.h"
#include "store/DatabaseVersioning.h"
#include "store/MetaKeyValue.h"
#include "store/MetaSimilarity.h"
#include "store/Schema.h"
#include "util/Dialogs.h"
#include "util/Log.h"

namespace korvane::editor {

void ReportStoreFailure(const std::string& what, const std::string& description) {
  using Clock = std::chrono::steady_clock;
  static Clock::time_point lastShown{};
  static bool shown = false;
  const std::string text = what + "\n\n" + description;
  LogShared(what + ": " + description, 3);
  // One box per burst: a failing disk must not bury the researcher in boxes.
  const auto now = Clock::now();
  if (shown && now - lastShown < std::chrono::seconds(5)) return;
  shown = true;
  lastShown = now;
  CurrentDialogs().Message(text, DialogIcon::Critical);
}

Variant ReadSetting(store::Database* db, const std::string& key) {
  if (!db) return {};
  try {
    return store::GetKeyValue(db, key);
  } catch (const Error& error) {
    ReportStoreFailure("Could not read the setting " + key + ".", error.Description());
    return {};
  }
}

std::string ReadSettingText(store::Database* db, const std::string& key) {
  if (!db) return {};
  try {
    // GetKeyValue reads an empty numeric text as 0; a box must show it empty.
    auto rows = db->OpenRecordset("SELECT Value FROM MetaKeyValue WHERE Name = ?", {Variant(key)});
    if (rows->IsEOF()) return {};
    return rows->Get(0).ToText();
  } catch (const Error&) {
    // No settings table yet, or an unreadable one: show the typed reading.
    return SettingText(ReadSetting(db, key));
  }
}

bool HasSetting(store::Database* db, const std::string& key) {
  if (!db) return false;
  try {
    return store::HasKeyValue(db, key);
  } catch (const Error& error) {
    ReportStoreFailure("Could not read the setting " + key + ".", error.Description());
    return false;
  }
}

bool WriteSetting(store::Database* db, const std::string& key, const Variant& value) {
  if (!db) return false;
  try {
    store::SetKeyValue(db, key, value);
    return true;
  } catch (const Error& error) {
    ReportStoreFailure("Could not store the setting " + key + ".", error.Description());
    return false;
  }
}

std::string SettingText(const Variant& value) {
  if (value.IsNumber()) return PlainNumberText(value.ToNumber());
  return value.ToText();
}

int SettingIndex(const Variant& value, int optionCount) {
  if (!value.IsNumber()) {
    if (!value.IsString()) return 0;
    const std::string text = Trimmed(value.AsString());
    if (text.empty()) return 0;
  }
  const double number = value.IsNumber() ? value.ToNumber() : LeadingNumber(value.AsString());
  const int index = static_cast<int>(number);
  return index >= 0 && index < optionCount && index == number ? index : 0;
}

std::string ReadFormulaRow(store::Database* db, const std::string& instanceType, const std::string& slot) {
  if (!db || instanceType.empty()) return {};
  try {
    return store::GetSimilarityFormula(db, instanceType, slot);
  } catch (const Error& error) {
    ReportStoreFailure("Could not read the formula " + instanceType + "/" + slot + ".", error.Description());
    return {};
  }
}

bool WriteFormulaRow(store::Database* db, const std::string& instanceType, const std::string& slot,
                     const std::string& formula) {
  if (!db || instanceType.empty()) return false;
  try {
    store::SetSimilarityFormula(db, instanceType, slot, formula);
    return true;
  } catch (const Error& error) {
    ReportStoreFailure("Could not store the formula " + instanceType + "/" + slot + ".", error.Description());
    return false;
  }
}

std::vector<InstanceTypeTab> ListInstanceTypes(store::Database* db) {
  std::vector<InstanceTypeTab> types;
  if (!db) return types;
  try {
    const std::vector<store::TableDef> tables = db->TableDefs();
    for (std::size_t i = 0; i < tables.size(); ++i) {
      if (!store::IsSystemTable(tables[i])) types.push_back({tables[i].name, static_cast<int>(i)});
    }
  } catch (const Error& error) {
    ReportStoreFailure("Could not list the instance types.", error.Description());
  }
  return types;
}

std::vector<SlotColumn> ListSlots(store::Database* db, const std::string& instanceType) {
  std::vector<SlotColumn> slots;
  if (!db || instanceType.empty()) return slots;
  try {
    const auto table = store::FindTableDef(db, instanceType);
    if (!table) return slots;
    for (const store::FieldInfo& field : table->fields) {
      const std::string& name = field.name;
      if (name.size() < 2 || name[1] != '_') continue;
      if (name[0] != 'S' && name[0] != 'D' && name[0] != 'U') continue;
      slots.push_back({name, store::FieldName(name), name[0]});
    }
  } catch (const Error& error) {
    ReportStoreFailure("Could not read the slots of " + instanceType + ".", error.Description());
  }
  return slots;
}

std::unique_ptr<store::Database> OpenExperimentDatabase(const std::string& path) {
  try {
    return store::OpenDatabaseWithUpgradeOffer(path);
  } catch (const Error& error) {
    CurrentDialogs().Message("Could not open " + path + ":\n" + error.Description(), DialogIcon::Critical);
    return nullptr;
  }
}

}  // namespace korvane::editor
