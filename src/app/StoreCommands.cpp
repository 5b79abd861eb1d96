// StoreCommands.cpp: `korvane new|info|get|set`, the model file without the
// main window.
//
//   korvane new FILE [--force]   create a model file (--force replaces one)
//   korvane info FILE            schema version, instance types, settings,
//                                formulas and the Meta tables, read only
//   korvane get FILE KEY         print a setting's value
//   korvane set FILE KEY VALUE   write a setting, typed as the model stores it;
//                                refuses unknown keys, values outside what
//                                the setting allows and values that would
//                                stop every run, unless --force
//   korvane settings [--markdown] every setting: key, type, allowed values,
//                                default, screen, meaning
//
// Messages of the store (an upgrade, a refusal) go to standard error.
#include <iostream>
#include <memory>
#include <optional>
#include <regex>

#include "app/Commands.h"
#include "engine/ModelWarnings.h"
#include "formula/FormulaProgram.h"
#include "store/Database.h"
#include "store/DatabaseManager.h"
#include "store/DatabaseVersioning.h"
#include "store/MetaKeyValue.h"
#include "store/MetaSimilarity.h"
#include "store/SettingsCatalog.h"
#include "store/Schema.h"
#include "util/Dialogs.h"
#include "util/Files.h"

namespace korvane::app {

namespace {

using store::Database;
using store::FieldInfo;
using store::FieldType;
using store::TableDef;

// Answers every question Yes: used only once the user asked for it (--force).
class AgreeingDialogs : public HeadlessDialogs {
 public:
  DialogAnswer Show(const DialogRequest& request) override {
    if (request.buttons == DialogButtons::OK) return HeadlessDialogs::Show(request);
    return DialogAnswer::Yes;
  }
};

// An existing model file opened as it is (no upgrade), for reading.
std::unique_ptr<Database> OpenExisting(const std::string& path) {
  if (!FileExists(path)) throw Error(store::StoreError::FileNotFound, "korvane", "Could not find file '" + path + "'.");
  return Database::OpenReadOnly(path);  // info and get only read
}

std::string Rows(long n) { return std::to_string(n) + (n == 1 ? " row" : " rows"); }

std::string OneLine(std::string text) {
  std::string out;
  for (char c : text) {
    if (c == '\r') continue;
    if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

std::string FieldText(const FieldInfo& field) {
  std::string text = field.name + " (" + store::FieldTypeName(field.type);
  if (field.autoIncrement) text += ", auto-increment";
  if ((field.type == FieldType::Text || field.type == FieldType::Memo) && field.allowZeroLength)
    text += ", zero-length allowed";
  return text + ")";
}

void PrintIndexes(const TableDef& table) {
  for (const auto& index : table.indexes) {
    std::string fields;
    for (const auto& f : index.fields) fields += (fields.empty() ? "" : ", ") + f;
    std::string flags;
    if (index.primary) flags += ", primary";
    else if (index.unique) flags += ", unique";
    if (index.required) flags += ", required";
    std::cout << "    index " << index.name << " on " << fields << flags << "\n";
  }
}

int Info(const std::string& path) {
  auto db = OpenExisting(path);
  auto tables = db->TableDefs();
  auto find = [&](const std::string& name) -> const TableDef* {
    for (const auto& t : tables)
      if (t.name == name) return &t;
    return nullptr;
  };
  const TableDef* settings = find(store::kKeyValueTable);
  // Read without writing: a file without settings has version 0.
  int version = settings ? store::GetSchemaVersion(db.get()) : 0;

  std::cout << "Model " << path << "\n";
  std::cout << "Schema version: " << version;
  if (version < store::CurrentSchemaVersion())
    std::cout << " (outdated; opening it in Korvane upgrades it to " << store::CurrentSchemaVersion() << ")";
  std::cout << "\n";

  static const std::regex instanceName("I[0-9]+");
  std::cout << "\nInstance types:\n";
  bool any = false;
  for (const auto& t : tables) {
    if (store::IsSystemTable(t) || !std::regex_match(t.name, instanceName)) continue;
    any = true;
    std::cout << "  " << t.name << " (" << Rows(store::CountRows(db.get(), t.name)) << ")\n";
    for (const auto& f : t.fields) {
      std::cout << "    " << FieldText(f);
      std::string display = store::FieldName(f);
      if (f.name.rfind("X_", 0) != 0 && display != f.name) std::cout << " slot " << display;
      std::cout << "\n";
    }
  }
  if (!any) std::cout << "  (none)\n";
  for (const auto& t : tables) {
    if (store::IsSystemTable(t) || std::regex_match(t.name, instanceName)) continue;
    std::cout << "  other table " << t.name << ": ";
    for (std::size_t i = 0; i < t.fields.size(); ++i) std::cout << (i ? ", " : "") << t.fields[i].name;
    std::cout << "\n";
  }

  std::cout << "\nSettings:\n";
  auto settingRows = store::ListKeyValues(db.get());
  if (settingRows.empty()) std::cout << "  (none)\n";
  for (const auto& row : settingRows)
    std::cout << "  " << row.name << " (" << row.type << ") = " << OneLine(row.value.ToText()) << "\n";

  std::cout << "\nFormulas:\n";
  auto formulaRows = store::ListFormulas(db.get());
  if (formulaRows.empty()) std::cout << "  (none)\n";
  for (const auto& row : formulaRows)
    std::cout << "  " << row.instanceType << " " << row.slot << ": " << OneLine(row.formula) << "\n";

  std::cout << "\nModel tables:\n";
  for (const auto& t : tables) {
    if (t.name.rfind("Meta", 0) != 0) continue;
    std::cout << "  " << t.name << " (" << Rows(store::CountRows(db.get(), t.name)) << ", " << t.fields.size() << " columns, "
              << t.indexes.size() << " indexes)\n";
    for (const auto& f : t.fields) std::cout << "    " << FieldText(f) << "\n";
    PrintIndexes(t);
  }
  return 0;
}

}  // namespace

void AddStoreCommands(CLI::App& app, CommandContext& context) {
  struct Options {
    std::string file;
    std::string key;
    std::string value;
    bool force = false;
  };
  auto options = std::make_shared<Options>();

  auto* create = app.add_subcommand("new", "Create a new model file with the default settings (`korvane settings`)");
  create->add_option("FILE", options->file, "The model file to create")->required();
  create->add_flag("--force", options->force, "Replace the file if it exists");
  create->callback([options, &context] {
    Guarded(context, [&] {
      if (FileExists(options->file) && !options->force) {
        std::cerr << "File " << options->file << " already exists (use --force to replace it).\n";
        return 1;
      }
      std::shared_ptr<Dialogs> previous;
      if (options->force) previous = SetDialogs(std::make_shared<AgreeingDialogs>());
      store::DatabaseManager manager;
      bool created = manager.CreateModelDatabase(options->file);
      if (previous) SetDialogs(previous);
      if (!created) return 1;
      std::cout << "Created " << options->file << " (schema version "
                << store::GetSchemaVersion(manager.CurrentDatabase()) << ")\n";
      manager.CloseModelDatabase();
      return 0;
    });
  });

  auto* info = app.add_subcommand("info", "Describe a model file: version, instance types, settings, formulas");
  info->add_option("FILE", options->file, "The model file")->required();
  info->callback([options, &context] { Guarded(context, [&] { return Info(options->file); }); });

  auto* get = app.add_subcommand("get", "Print the value of a model setting");
  get->add_option("FILE", options->file, "The model file")->required();
  get->add_option("KEY", options->key, "The setting's name (case-sensitive)")->required();
  get->callback([options, &context] {
    Guarded(context, [&] {
      auto db = OpenExisting(options->file);
      if (!store::HasKeyValue(db.get(), options->key)) {
        std::cerr << "The setting " << options->key << " is not set in " << options->file << ".\n";
        return 1;
      }
      std::cout << store::GetKeyValue(db.get(), options->key).ToText() << "\n";
      return 0;
    });
  });

  auto* set = app.add_subcommand(
      "set", "Write a model setting (numeric text is stored as a number); unknown keys, values outside what "
             "the setting allows (see `korvane settings`) and values that would stop every run of an instance "
             "type (blending without noise or temperature, a formula that does not parse) are refused");
  set->add_option("FILE", options->file, "The model file")->required();
  set->add_option("KEY", options->key, "The setting's name (case-sensitive)")->required();
  set->add_option("VALUE", options->value, "The value")->required();
  set->add_flag("--force", options->force,
                "Write the value even when the key is unknown or the value is not allowed (for keys of a newer "
                "version of Korvane)");
  set->callback([options, &context] {
    Guarded(context, [&] {
      if (!FileExists(options->file))
        throw Error(store::StoreError::FileNotFound, "korvane", "Could not find file '" + options->file + "'.");
      std::string refusal = store::CheckSettingText(options->key, options->value);
      if (refusal.empty()) {
        const store::SettingInfo* info = store::FindSetting(options->key);
        if (info && info->internal)
          refusal = options->key + " is written by Korvane itself; change it only if you know why.";
        // A formula that does not parse would stop every START of its type.
        if (refusal.empty() && info && info->kind == store::SettingKind::Formula &&
            options->value.find_first_not_of(" \t\r\n") != std::string::npos) {
          formula::FormulaProgram program(options->value);
          program.ParseProgram();
          if (program.HasError()) refusal = options->key + " does not parse: " + program.ErrorMessage() + ".";
        }
      }
      if (!refusal.empty()) {
        if (!options->force) {
          std::cerr << "Refused: " << refusal << " Nothing was written (--force writes it anyway).\n";
          return 1;
        }
        std::cerr << "Warning: " << refusal << " Written anyway (--force).\n";
      }
      std::string failure;
      auto db = store::OpenOrCreateModelDatabase(options->file, true, false, &failure);
      if (!db) throw Error(ErrorNumber::DatabaseFailure, "korvane", failure);
      // A value that would stop every run of an instance type is refused too.
      if (std::string stop = engine::RunRefusal(*db, options->key, Variant(options->value)); !stop.empty()) {
        if (!options->force) {
          std::cerr << "Refused: " << stop << " Nothing was written (--force writes it anyway).\n";
          return 1;
        }
        std::cerr << "Warning: " << stop << " Written anyway (--force).\n";
      }
      bool added = store::SetKeyValue(db.get(), options->key, Variant(options->value));
      std::cout << options->key << " (" << store::GetKeyValueType(db.get(), options->key) << ") = " << store::GetKeyValue(db.get(), options->key).ToText()
                << (added ? "" : " (replaced)") << "\n";
      return 0;
    });
  });

  auto markdown = std::make_shared<bool>(false);
  auto* settings = app.add_subcommand(
      "settings", "List every model setting: key, type, allowed values, default, screen and meaning");
  settings->add_flag("--markdown", *markdown,
                     "Print the list as Markdown (the text of docs/settings.md: korvane settings --markdown > "
                     "docs/settings.md)");
  settings->callback([markdown, &context] {
    Guarded(context, [&] {
      std::cout << (*markdown ? store::SettingsReferenceMarkdown() : store::SettingsReferenceText());
      return 0;
    });
  });
}

}  // namespace korvane::app
