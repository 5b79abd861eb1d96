// ExportMessages.h: every text the export shows, in one place, so that the
// export screen, the command line and the tests use the very same words.
#pragma once

#include <string>
#include <vector>

namespace korvane::exporting::messages {

// Refusals of loading a preview or writing a file.
inline constexpr const char* kNoDatabase = "Please select a database first.";
inline constexpr const char* kNoInstanceTypes =
    "Cannot export data from a database that has no instance types. Please select another database.";
inline std::string InstanceTypeMissing(const std::string& name) {
  return "Could not find instance " + name + ". Please select another database.";
}
inline constexpr const char* kNoSubjects = "Please select at least one subject from the list of subjects.";
inline constexpr const char* kNoMatchingRecords =
    "There are no records that match your filters. Deactivate some filters and try again.";
inline constexpr const char* kNoRecords =
    "There are no records to preview. Please select a different database, instance type, or subject.";
inline std::string UnknownColumnData(const std::string& code, int column) {
  return "Error: unknown coldata " + code + " at data grid column " + std::to_string(column);
}
// A filter that names a column the chosen instance type does not have (a
// filter kept from another instance type, or an edited settings value).
inline std::string FilterColumnUnknown(const std::string& description, const std::string& type) {
  return "The filter " + description + " tests a column that instance type " + type +
         " does not have. Remove or deactivate it and try again.";
}

// Status line while loading and writing.
inline constexpr const char* kCalculatingColumns = "Calculating column list...";
inline constexpr const char* kCalculatingRows = "Calculating column and rows to load...";
inline std::string LoadingItems(long long count) {
  return "Loading " + std::to_string(count) + " items for preview...";
}
inline constexpr const char* kLoadingCancelled = "Loading cancelled.";
inline constexpr const char* kDone = "Done.";
inline constexpr const char* kCannotExport = "Cannot export. Please try again.";
inline constexpr const char* kExportingCancelled = "Exporting cancelled.";
inline constexpr const char* kExporting = "Exporting  data...";
inline std::string DataExportedInto(const std::string& file) { return "Data exported into " + file; }

// The export screen's questions and notes.
inline constexpr const char* kSelectInstanceTypeFirst = "Please select an instance type first.";
inline constexpr const char* kRemoveFilterTitle = "Permanently Remove Filter";
inline constexpr const char* kRemoveFilterQuestion =
    "Are you sure you would like to remove this filter?\n"
    "If you only want to temporarily disable a filter, you can uncheck the box next to the filter.";
inline constexpr const char* kEditFilterUnderDevelopment = "Edit filter is still under development.";
// The question asked before a slot kind ("situation", "decision" or
// "utility") is included.
inline std::string IncludeSlotsQuestion(const std::string& kind) {
  return "Including " + kind + " slots in the export will take more time to\n"
         "generate, and will produce a larger data set.\n"
         "Would you like to continue?";
}
// The filter count label: "1 Filter", "0 Filters", "3 Filters".
inline std::string FilterCountLabel(int count) {
  return std::to_string(count) + (count == 1 ? " Filter" : " Filters");
}

// The filter dialog's refusals.
inline constexpr const char* kSelectVariableFirst = "Please select a variable first.";
inline constexpr const char* kCompleteAllFields = "Please complete all fields.";
inline constexpr const char* kCompleteAllFieldsValid = "Please complete all fields with valid values.";

// The trial table (MetaCue).
inline constexpr const char* kNoRecordedCues =
    "This experiment file holds no record of cues: it was run before Korvane recorded them, or with trace "
    "level 2 (none). Run the model again to get its trial table.";
inline std::string CueTypesList(const std::vector<std::string>& types) {
  std::string list;
  for (const std::string& type : types) list += (list.empty() ? "" : ", ") + type;
  return list;
}
inline std::string SeveralCueTypes(const std::vector<std::string>& types) {
  return "This experiment file holds cues of several instance types (" + CueTypesList(types) +
         "); name the one to read.";
}
inline std::string NoCuesOfType(const std::string& type, const std::vector<std::string>& types) {
  return "This experiment file holds no cues of instance type " + type + " (it has: " + CueTypesList(types) + ").";
}

}  // namespace korvane::exporting::messages
