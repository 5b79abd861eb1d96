// ModelJson.h: a model as a readable JSON text, and back.
//
// A model file holds instance types (tables of slots), prepopulated rows,
// formulas and settings. The JSON form holds exactly those, so that a model
// can live in version control, be reviewed as text and be changed by
// scripts:
//
//   { "korvane_model": 1,
//     "settings": { "Params_D_Value": 0.5, "I1_RetrievalMethod": 1, ... },
//     "instance_types": [
//       { "name": "I1",
//         "slots": [ { "aspect": "situation", "name": "Option", "type": "Integer" }, ... ],
//         "formulas": { "Option": "PM = ...", "D_Choice_Integer": "D = ...", ... },
//         "rows": [ { "Option": 1, "Choice": 1, "Value": 10 }, ... ] } ] }
//
// Aspects are "situation", "decision" and "utility"; types "Real", "String"
// and "Integer". Formula keys are those of the formula table ("GLOBAL", a
// situation slot's name, a decision column's full name, optionally followed
// by "_FAILURE", "GLOBAL_DECISION", "FEEDBACK"). Rows are the prepopulated
// instances (subject 0). A "description" text at the top is allowed and
// ignored. "formulas_without_table" maps an instance type that has no table
// to its formulas (a model may keep them).
//
// The round trip is exact: a setting keeps its stored type and text (a
// numeric text such as "007" stays a text, a number written the shortest
// way a number, a null null); every formula is exported, and each is parsed
// on import, a text the formula language refuses stopping the import with
// its message. Text that is not UTF-8 is exported as the Windows-1252
// characters its bytes stand for.
//
// Import never overwrites a file and leaves no half-made model behind: any
// problem in the text is reported with where it is, and the new file is
// removed.
#pragma once

#include <string>

namespace korvane::model {

// Creates the model file modelPath from the JSON text. Throws korvane::Error
// (with a description that names the offending part) on bad input or when
// modelPath exists.
void ImportModelJson(const std::string& jsonText, const std::string& modelPath);
void ImportModelJsonFile(const std::string& jsonPath, const std::string& modelPath);

// The JSON text of the model at modelPath (pretty-printed, settings sorted by
// key). Throws korvane::Error when the file cannot be read as a model.
std::string ExportModelJson(const std::string& modelPath);

}  // namespace korvane::model
