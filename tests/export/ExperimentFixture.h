// ExperimentFixture.h: experiment databases with a trace, for the export tests.
#pragma once

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "store/Database.h"
#include "store/Schema.h"

namespace korvane::test {

// A real experiment database file in a temporary folder: the trace table as
// runs leave it, and instance-type tables made on request.
class ExperimentFile {
 public:
  ExperimentFile() : db(store::Database::Create(dir.File("Model-1.mdb"))) {
    store::GetOrCreateMetaInstance(db.get());
  }

  // An instance-type table with the system columns and these slot columns.
  void AddInstanceType(const std::string& name, const std::vector<std::string>& slotColumns) {
    using store::FieldType;
    store::TableDef table;
    table.name = name;
    table.fields = {{"X_ID", FieldType::Long, true},
                    {"X_Subject", FieldType::Long},
                    {"X_Working_Memory", FieldType::Boolean},
                    {"X_Prepopulated", FieldType::Boolean},
                    {"X_Created", FieldType::DateTime}};
    for (const std::string& column : slotColumns) {
      std::string type = column.substr(column.rfind('_') + 1);
      FieldType ft = type == "Real" ? FieldType::Double : type == "Integer" ? FieldType::Integer : FieldType::Text;
      table.fields.push_back({column, ft, false, true});
    }
    table.indexes = {{"PrimaryKey", {"X_ID"}, true, false, true}, {"SubjectIdx", {"X_Subject"}}};
    db->CreateTable(table);
  }

  // Adds an instance row; returns its X_ID.
  int AddInstance(const std::string& table, int subject, const std::vector<std::pair<std::string, Variant>>& slots) {
    std::string columns = "X_Subject";
    std::string marks = "?";
    std::vector<Variant> params{Variant(subject)};
    for (const auto& [column, value] : slots) {
      columns += ", " + column;
      marks += ", ?";
      params.push_back(value);
    }
    db->Execute("INSERT INTO " + table + " (" + columns + ") VALUES (" + marks + ")", params);
    auto rs = db->OpenRecordset("SELECT MAX(X_ID) AS Last FROM " + table);
    return static_cast<int>(rs->Get("Last").ToNumber());
  }

  void AddTrace(const std::string& type, int subject, int trial, int instance, const std::string& marker,
                double activation, double similarity = 0, double bll = 0, double noise = 0,
                const std::string& time = "2026-12-07 10:11:12.345") {
    db->Execute(
        "INSERT INTO MetaInstance (SubjectID, Time, InstanceType, TrialNumber, Instance, Marker, Activation,"
        " Similarity, BLL, Noise, Selected, Executed, Feedback) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 0, 0, 0)",
        {Variant(subject), Variant(time), Variant(type), Variant(trial), Variant(instance), Variant(marker),
         Variant(activation), Variant(similarity), Variant(bll), Variant(noise)});
  }

  TempDir dir;
  std::unique_ptr<store::Database> db;
};

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The lines of a file cut at CR LF (the last, empty piece dropped).
inline std::vector<std::string> CrLfLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t at; (at = text.find("\r\n", start)) != std::string::npos; start = at + 2)
    lines.push_back(text.substr(start, at - start));
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

}  // namespace korvane::test
