// TrialTable.cpp: the trial table from MetaCue, and its CSV.
#include "export/TrialTable.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <unordered_set>

#include "export/CellFormat.h"
#include "export/ExportMessages.h"
#include "export/OutputFile.h"
#include "store/Schema.h"
#include "util/Error.h"
#include "util/Files.h"
#include "util/Utf8.h"

namespace korvane::exporting {

namespace {

constexpr const char* kSource = "TrialTable";
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::size_t kFlushSize = 1 << 20;

// The fixed columns around the slots.
const char* const kLeading[] = {"SubjectID", "TrialNumber", "CueNumber", "ModelTime"};
const char* const kMiddle[] = {"Path", "Utility", "Activation", "RetrievalTime", "Executed"};
const char* const kTrailing[] = {"Feedback", "UtilityAfter", "Instance"};

using Json = nlohmann::ordered_json;

Json ParseObject(const Variant& text) {
  if (!text.IsString()) return Json::object();
  Json parsed = Json::parse(text.AsString(), nullptr, false);
  return parsed.is_object() ? parsed : Json::object();
}

Variant FromJson(const Json& value) {
  if (value.is_number_integer()) {
    const auto number = value.get<std::int64_t>();
    if (number >= INT32_MIN && number <= INT32_MAX) return Variant(static_cast<std::int32_t>(number));
    return Variant(static_cast<double>(number));
  }
  if (value.is_number()) return Variant(value.get<double>());
  if (value.is_string()) return Variant(value.get<std::string>());
  if (value.is_boolean()) return Variant(value.get<bool>());
  // A text that was not UTF-8, kept as its bytes (see util/Utf8.h).
  if (value.is_object() && value.size() == 1 && value.contains("$bytes") && value["$bytes"].is_string())
    if (auto bytes = BytesOfHex(value["$bytes"].get<std::string>())) return Variant(std::move(*bytes));
  return Variant::Null();
}

// Adds the keys of the object not yet in names, in their order.
void CollectKeys(const Variant& text, std::unordered_set<std::string>& seenTexts, std::vector<std::string>& names) {
  if (!text.IsString() || !seenTexts.insert(text.AsString()).second) return;
  const Json object = ParseObject(text);
  for (const auto& item : object.items()) {
    bool known = false;
    for (const std::string& name : names) known = known || name == item.key();
    if (!known) names.push_back(item.key());
  }
}

std::vector<Variant> ValuesOf(const Variant& text, const std::vector<std::string>& names) {
  Json object = ParseObject(text);
  std::vector<Variant> values;
  values.reserve(names.size());
  for (const std::string& name : names) {
    auto found = object.find(name);
    values.push_back(found == object.end() ? Variant::Null() : FromJson(*found));
  }
  return values;
}

double NumberOrNaN(const Variant& value) { return value.IsNumber() ? value.ToNumber() : kNaN; }

// Unknown values are empty cells; infinities are "inf" and "-inf", as
// statistics programs read them.
void AppendNumberCell(double value, std::string& out) {
  if (std::isnan(value)) return;
  if (std::isinf(value)) out += value > 0 ? "inf" : "-inf";
  else AppendNumber(value, out);
}

void AppendInteger(std::int64_t value, std::string& out) { out += std::to_string(value); }

}  // namespace

std::vector<std::string> TrialTable::Columns() const {
  std::vector<std::string> columns(std::begin(kLeading), std::end(kLeading));
  auto add = [&columns](const std::string& name, const char* suffix) {
    bool taken = false;
    for (const std::string& c : columns) taken = taken || c == name;
    for (const char* fixed : kMiddle) taken = taken || name == fixed;
    for (const char* fixed : kTrailing) taken = taken || name == fixed;
    columns.push_back(taken ? name + suffix : name);
  };
  for (const std::string& slot : situationSlots) add(slot, "_Situation");
  columns.insert(columns.end(), std::begin(kMiddle), std::end(kMiddle));
  for (const std::string& slot : decisionSlots) add(slot, "_Decision");
  columns.insert(columns.end(), std::begin(kTrailing), std::end(kTrailing));
  return columns;
}

std::vector<std::string> TrialInstanceTypes(store::Database& db) {
  std::vector<std::string> types;
  if (!db.FindTableDef(store::kMetaCueTable)) return types;
  store::Statement statement =
      db.Prepare("SELECT InstanceType FROM MetaCue GROUP BY InstanceType ORDER BY InstanceType");
  while (statement.Step()) types.push_back(statement.Column(0).ToText());
  return types;
}

void ForEachTrialRow(store::Database& db, const std::string& instanceType,
                     const std::function<void(const TrialTable& slots)>& header,
                     const std::function<bool(const TrialRow& row)>& row) {
  if (!db.FindTableDef(store::kMetaCueTable))
    throw Error(ErrorNumber::ItemNotFound, kSource, messages::kNoRecordedCues);
  const std::vector<std::string> types = TrialInstanceTypes(db);
  TrialTable table;
  if (instanceType.empty()) {
    if (types.empty()) throw Error(ErrorNumber::ItemNotFound, kSource, messages::kNoRecordedCues);
    if (types.size() > 1) throw Error(ErrorNumber::ItemNotFound, kSource, messages::SeveralCueTypes(types));
    table.instanceType = types.front();
  } else {
    bool found = false;
    for (const std::string& type : types) found = found || type == instanceType;
    if (!found) throw Error(ErrorNumber::ItemNotFound, kSource, messages::NoCuesOfType(instanceType, types));
    table.instanceType = instanceType;
  }

  // The slot names: the engine writes every slot in every row, but a row
  // may lack one, so they are gathered from each distinct text once.
  {
    std::unordered_set<std::string> seenSituations, seenDecisions;
    store::Statement statement =
        db.Prepare("SELECT Situation, Decision FROM MetaCue WHERE InstanceType = ?");
    statement.Bind(1, Variant(table.instanceType));
    while (statement.Step()) {
      CollectKeys(statement.Column(0), seenSituations, table.situationSlots);
      CollectKeys(statement.Column(1), seenDecisions, table.decisionSlots);
    }
  }
  if (header) header(table);

  store::Statement statement = db.Prepare(
      "SELECT SubjectID, TrialNumber, CueNumber, ModelTime, Situation, Path, Utility, Activation, RetrievalTime, "
      "Executed, Decision, Feedback, UtilityAfter, Instance FROM MetaCue WHERE InstanceType = ? "
      "ORDER BY SubjectID, TrialNumber, CueNumber");
  statement.Bind(1, Variant(table.instanceType));
  TrialRow r;
  while (statement.Step()) {
    r.subject = static_cast<std::int32_t>(statement.Column(0).ToNumber());
    r.trial = static_cast<std::int32_t>(statement.Column(1).ToNumber());
    r.cue = static_cast<std::int32_t>(statement.Column(2).ToNumber());
    r.modelTime = NumberOrNaN(statement.Column(3));
    r.situation = ValuesOf(statement.Column(4), table.situationSlots);
    r.path = statement.Column(5).ToText();
    r.utility = NumberOrNaN(statement.Column(6));
    r.activation = NumberOrNaN(statement.Column(7));
    r.retrievalTime = NumberOrNaN(statement.Column(8));
    r.executed = statement.Column(9).ToNumber() != 0;
    r.decision = ValuesOf(statement.Column(10), table.decisionSlots);
    const Variant feedback = statement.Column(11), after = statement.Column(12), instance = statement.Column(13);
    r.feedback = feedback.IsNumber() ? std::optional<double>(feedback.ToNumber()) : std::nullopt;
    r.utilityAfter = after.IsNumber() ? std::optional<double>(after.ToNumber()) : std::nullopt;
    r.instance = instance.IsNumber() ? std::optional<std::int32_t>(static_cast<std::int32_t>(instance.ToNumber()))
                                     : std::nullopt;
    if (!row(r)) return;
  }
}

TrialTable ReadTrialTable(store::Database& db, const std::string& instanceType) {
  TrialTable table;
  ForEachTrialRow(
      db, instanceType, [&table](const TrialTable& slots) { table = slots; },
      [&table](const TrialRow& row) {
        table.rows.push_back(row);
        return true;
      });
  return table;
}

TrialTable ReadTrialTable(const std::string& experimentPath, const std::string& instanceType) {
  if (!FileExists(experimentPath))
    throw Error(store::StoreError::FileNotFound, kSource, "Could not find file '" + experimentPath + "'.");
  auto db = store::Database::OpenReadOnly(experimentPath);  // reading changes nothing; read-only files too
  TrialTable table = ReadTrialTable(*db, instanceType);
  db->Close();
  return table;
}

std::string TrialCsvHeader(const TrialTable& table) {
  std::string line;
  bool first = true;
  for (const std::string& column : table.Columns()) {
    if (!first) line += ',';
    first = false;
    AppendCsvField(column, line);
  }
  return line + "\r\n";
}

void AppendTrialCsv(const TrialTable& table, const TrialRow& row, std::string& out) {
  (void)table;
  AppendInteger(row.subject, out);
  out += ',';
  AppendInteger(row.trial, out);
  out += ',';
  AppendInteger(row.cue, out);
  out += ',';
  AppendNumberCell(row.modelTime, out);
  for (const Variant& value : row.situation) {
    out += ',';
    AppendCsvCell(value, ColumnKind::Slot, out);
  }
  out += ',';
  AppendCsvField(row.path, out);
  for (double value : {row.utility, row.activation, row.retrievalTime}) {
    out += ',';
    AppendNumberCell(value, out);
  }
  out += row.executed ? ",1" : ",0";
  for (const Variant& value : row.decision) {
    out += ',';
    AppendCsvCell(value, ColumnKind::Slot, out);
  }
  out += ',';
  if (row.feedback) AppendNumberCell(*row.feedback, out);
  out += ',';
  if (row.utilityAfter) AppendNumberCell(*row.utilityAfter, out);
  out += ',';
  if (row.instance) AppendInteger(*row.instance, out);
  out += "\r\n";
}

std::string TrialTableCsv(const TrialTable& table) {
  std::string text = TrialCsvHeader(table);
  for (const TrialRow& row : table.rows) AppendTrialCsv(table, row, text);
  return text;
}

ExportOutcome ExportTrials(store::Database* db, const std::string& instanceType, const ExportTarget& target,
                           const ExportCallbacks& callbacks) {
  const ExportReport report(callbacks);
  if (!db || !db->IsOpen()) return report.Refuse(messages::kNoDatabase);

  OutputFile file;
  bool opened = false;
  try {
    std::int64_t total = 0;
    {
      // Checks the choice before anything is created.
      TrialTable probe;
      bool counted = false;
      ForEachTrialRow(
          *db, instanceType, [&probe](const TrialTable& slots) { probe.instanceType = slots.instanceType; },
          [&](const TrialRow&) {
            counted = true;
            return false;
          });
      if (!counted) return report.Refuse(messages::kNoRecords);
      store::Statement count = db->Prepare("SELECT COUNT(*) FROM MetaCue WHERE InstanceType = ?");
      count.Bind(1, Variant(probe.instanceType));
      if (count.Step()) total = static_cast<std::int64_t>(count.Column(0).ToNumber());
    }
    if (auto refused = report.Open(file, target, "trials")) return *refused;
    opened = true;

    std::string buffer;
    buffer.reserve(kFlushSize + 4096);
    TrialTable slots;
    std::string error;
    bool cancelled = false;
    std::int64_t done = 0;
    const std::int64_t interval = callbacks.progressInterval > 0 ? callbacks.progressInterval : 4096;
    ForEachTrialRow(
        *db, instanceType,
        [&](const TrialTable& header) {
          slots = header;
          buffer = TrialCsvHeader(slots);
        },
        [&](const TrialRow& row) {
          AppendTrialCsv(slots, row, buffer);
          ++done;
          if (buffer.size() >= kFlushSize) {
            error = file.Write(buffer);
            if (!error.empty()) return false;
          }
          if (done % interval == 0) cancelled = !report.KeepGoing(done, total);
          return !cancelled;
        });
    if (!error.empty()) return report.Fail(error);
    if (cancelled) return report.Cancel(file);
    return report.Finish(file, buffer, done);
  } catch (const Error& e) {
    file.Discard();
    // Before the file: the choice was refused; after it: reading failed.
    return opened ? report.Fail(e.Description()) : report.Refuse(e.Description());
  } catch (const std::exception& e) {
    file.Discard();
    return report.Fail(e.what());
  }
}

}  // namespace korvane::exporting
