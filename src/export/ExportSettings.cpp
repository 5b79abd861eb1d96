// ExportSettings.cpp: the export's remembered choices and the experiment files.
#include "export/ExportSettings.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>

#include "store/MetaKeyValue.h"
#include "util/Error.h"
#include "util/Files.h"
#include "util/Log.h"

namespace korvane::exporting {

namespace {

bool ReadChecked(store::Database* model, const char* key) {
  Variant value = store::GetKeyValue(model, key);
  return value.IsNumber() ? value.ToNumber() != 0 : (value.IsBoolean() && value.AsBoolean());
}

// An empty text is stored as a NUMERIC setting and reads back as 0; no
// file name, instance type or filter text is "0", so 0 reads as empty.
std::string ReadText(store::Database* model, const char* key) {
  Variant value = store::GetKeyValue(model, key);
  if (value.IsEmpty() || value.IsNull() || (value.IsNumber() && value.ToNumber() == 0)) return {};
  return value.ToText();
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

ExportSettings LoadExportSettings(store::Database* model) {
  ExportSettings settings;
  IncludeOptions& in = settings.include;
  in.activation = ReadChecked(model, keys::kIncludeFull);
  in.bll = ReadChecked(model, keys::kIncludeBLL);
  in.partialMatch = ReadChecked(model, keys::kIncludePM);
  in.noise = ReadChecked(model, keys::kIncludeNoise);
  in.time = ReadChecked(model, keys::kIncludeTime);
  in.situation = ReadChecked(model, keys::kIncludeS);
  in.decision = ReadChecked(model, keys::kIncludeD);
  in.utility = ReadChecked(model, keys::kIncludeU);
  settings.lastMDB = ReadText(model, keys::kLastMDB);
  settings.lastInstanceType = ReadText(model, keys::kLastInstanceType);
  for (std::int32_t subject : ParseSubjects(ReadText(model, keys::kLastSubjects)))
    if (subject > 0) settings.lastSubjects.push_back(subject);
  std::string filters = ReadText(model, keys::kFilters);
  if (!filters.empty()) {
    // Read filter by filter, so that one damaged filter loses only itself
    // and those after it.
    std::size_t start = 0;
    int field = 0;
    for (;;) {
      std::size_t end = filters.find('|', start);
      std::string part = filters.substr(start, end == std::string::npos ? std::string::npos : end - start);
      if (field++ >= 2) {
        try {
          auto filter = std::make_shared<DataFilter>();
          filter->UnpackFromString(part);
          settings.filters.Append(filter);
        } catch (const Error& e) {
          LogShared("Cannot read the stored export filter [" + part + "]: " + e.Description(), 2);
          break;
        }
      }
      if (end == std::string::npos) break;
      start = end + 1;
    }
  }
  return settings;
}

void StoreInclude(store::Database* model, const char* key, bool checked) {
  store::SetKeyValue(model, key, Variant(static_cast<std::int32_t>(checked ? 1 : 0)));
}

void StoreIncludes(store::Database* model, const IncludeOptions& in) {
  StoreInclude(model, keys::kIncludeFull, in.activation);
  StoreInclude(model, keys::kIncludeBLL, in.bll);
  StoreInclude(model, keys::kIncludePM, in.partialMatch);
  StoreInclude(model, keys::kIncludeNoise, in.noise);
  StoreInclude(model, keys::kIncludeTime, in.time);
  StoreInclude(model, keys::kIncludeS, in.situation);
  StoreInclude(model, keys::kIncludeD, in.decision);
  StoreInclude(model, keys::kIncludeU, in.utility);
}

void StoreLastMDB(store::Database* model, const std::string& experimentPath) {
  store::SetKeyValue(model, keys::kLastMDB, Variant(GetFileBasename(experimentPath)));
}

void StoreLastInstanceType(store::Database* model, const std::string& instanceType) {
  store::SetKeyValue(model, keys::kLastInstanceType, Variant(instanceType));
}

void StoreLastSubjects(store::Database* model, const std::vector<std::int32_t>& subjects) {
  store::SetKeyValue(model, keys::kLastSubjects, Variant(SubjectsText(subjects)));
}

void StoreFilters(store::Database* model, const DataFilterCollection& filters) {
  store::SetKeyValue(model, keys::kFilters, Variant(filters.PackToString()));
}

std::string SubjectsText(const std::vector<std::int32_t>& subjects) {
  std::string text;
  for (std::size_t i = 0; i < subjects.size(); ++i) text += (i ? "," : "") + std::to_string(subjects[i]);
  return text;
}

std::vector<std::int32_t> ParseSubjects(const std::string& text) {
  std::vector<std::int32_t> subjects;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    std::string part = text.substr(start, end - start);
    part.erase(0, part.find_first_not_of(" \t"));
    part.erase(part.find_last_not_of(" \t") + 1);
    std::int32_t subject = 0;
    auto result = std::from_chars(part.data(), part.data() + part.size(), subject);
    if (!part.empty() && result.ec == std::errc() && result.ptr == part.data() + part.size())
      subjects.push_back(subject);
    start = end + 1;
  }
  return subjects;
}

std::vector<std::string> ExperimentDatabases(const std::string& modelPath) {
  namespace fs = std::filesystem;
  std::vector<std::string> found;
  fs::path model(modelPath);
  std::string stem = model.filename().string();
  if (Lower(stem).size() < 4 || Lower(stem).substr(stem.size() - 4) != ".mdb") return found;
  stem = stem.substr(0, stem.size() - 4) + "-";
  fs::path folder = model.has_parent_path() ? model.parent_path() : fs::path(".");
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (name.size() > stem.size() + 4 && name.compare(0, stem.size(), stem) == 0 &&
        Lower(name.substr(name.size() - 4)) == ".mdb" && it->is_regular_file(ec))
      found.push_back(it->path().string());
  }
  std::sort(found.begin(), found.end());
  return found;
}

}  // namespace korvane::exporting
