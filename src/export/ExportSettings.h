// ExportSettings.h: the export screen's remembered choices, kept in the open
// model's MetaKeyValue table, and the experiment databases a model has.
//
// Every choice is written as soon as it changes, so the screen comes back as
// it was left: the eight include boxes (0 or 1), the last experiment file
// (its name without the folder), instance type and subjects, and the filter
// collection in its text form.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "export/ExportRequest.h"
#include "store/Database.h"

namespace korvane::exporting {

namespace keys {
inline constexpr const char* kIncludeFull = "Export_Include_Full";  // Activation
inline constexpr const char* kIncludeBLL = "Export_Include_BLL";
inline constexpr const char* kIncludePM = "Export_Include_PM";  // Partial Match
inline constexpr const char* kIncludeNoise = "Export_Include_Noise";
inline constexpr const char* kIncludeTime = "Export_Include_Time";
inline constexpr const char* kIncludeS = "Export_Include_S";
inline constexpr const char* kIncludeD = "Export_Include_D";
inline constexpr const char* kIncludeU = "Export_Include_U";
inline constexpr const char* kLastMDB = "Export_LastMDB";
inline constexpr const char* kLastInstanceType = "Export_LastInstanceType";
inline constexpr const char* kLastSubjects = "Export_LastSubjects";
inline constexpr const char* kFilters = "Export_Filters";
}  // namespace keys

struct ExportSettings {
  IncludeOptions include;
  std::string lastMDB;
  std::string lastInstanceType;
  std::vector<std::int32_t> lastSubjects;
  DataFilterCollection filters;
};

// Reads every remembered choice; a key never written reads as unchecked or
// empty. A stored filter text that cannot be read is logged and gives the
// filters that could be read before it.
ExportSettings LoadExportSettings(store::Database* model);

// Each stores one choice at once. Nothing happens with no model database.
void StoreInclude(store::Database* model, const char* key, bool checked);
void StoreIncludes(store::Database* model, const IncludeOptions& include);
void StoreLastMDB(store::Database* model, const std::string& experimentPath);
void StoreLastInstanceType(store::Database* model, const std::string& instanceType);
void StoreLastSubjects(store::Database* model, const std::vector<std::int32_t>& subjects);
void StoreFilters(store::Database* model, const DataFilterCollection& filters);

// "1,2,5" and back; a part that is not a whole number is skipped.
std::string SubjectsText(const std::vector<std::int32_t>& subjects);
std::vector<std::int32_t> ParseSubjects(const std::string& text);

// The experiment databases of a model file: the files beside it named as the
// model with ".mdb" replaced by "-*.mdb" (Model.mdb gives Model-1.mdb,
// Model-20261207.mdb, ...), full paths, by name.
std::vector<std::string> ExperimentDatabases(const std::string& modelPath);

}  // namespace korvane::exporting
