// ScreenSettings.h: how the model screens read and write model settings.
//
// Every control of these screens writes its setting the moment it changes.
// A failed write (a locked or vanished file) must not be lost silently, nor
// flood the researcher with one box per keystroke: the first failure of a
// burst is shown, the rest go to the log.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "util/Variant.h"

namespace korvane::store {
class Database;
}

namespace korvane::editor {

// The setting's value; empty when it is missing, when db is null, or when it
// cannot be read.
Variant ReadSetting(store::Database* db, const std::string& key);
bool HasSetting(store::Database* db, const std::string& key);
// Writes the setting; false (after telling the researcher) when it failed.
bool WriteSetting(store::Database* db, const std::string& key, const Variant& value);

// The text the setting was stored as, whatever its type ("" when missing).
// Unlike ReadSetting, an empty text stays empty instead of reading as 0.
std::string ReadSettingText(store::Database* db, const std::string& key);

// The value as a box shows it: numbers in their plain form, texts as they are.
std::string SettingText(const Variant& value);
// An option index stored as a number (empty, text or out of range give 0).
int SettingIndex(const Variant& value, int optionCount);

// Tells the researcher about a failure the screens cannot recover from.
void ReportStoreFailure(const std::string& what, const std::string& description);

}  // namespace korvane::editor

namespace korvane::editor {

// Formula rows of MetaSimilarity (similarity, decision and feedback formulas).
std::string ReadFormulaRow(store::Database* db, const std::string& instanceType, const std::string& slot);
bool WriteFormulaRow(store::Database* db, const std::string& instanceType, const std::string& slot,
                     const std::string& formula);

// The instance types of a model: every table that is not a system table, in
// table order, with its position among all tables.
struct InstanceTypeTab {
  std::string name;
  int position = 0;
};
std::vector<InstanceTypeTab> ListInstanceTypes(store::Database* db);

// A slot column of an instance type.
struct SlotColumn {
  std::string column;       // S_Price_Real
  std::string displayName;  // Price
  char aspect = 'S';        // 'S', 'D' or 'U'
};
// The slot columns (S_, D_, U_) of the type's table in column order; empty
// when the table is missing.
std::vector<SlotColumn> ListSlots(store::Database* db, const std::string& instanceType);

// Opens an experiment database as the export screen does: offering to
// upgrade an outdated file. Nothing when the file cannot be opened or the
// researcher stopped.
std::unique_ptr<store::Database> OpenExperimentDatabase(const std::string& path);

}  // namespace korvane::editor
