// SettingsCatalog.h: the one table of every model setting Korvane knows.
//
// Each entry gives a key (or, for the settings of one instance type, the
// suffix that follows the type's name, shown as I<n>_RetrievalMethod), the
// kind of value, what is allowed, the default, the screen that edits it and
// one line of meaning. From it come `korvane settings` (and docs/settings.md),
// the checks of `korvane set` and of the JSON import, and the values a new
// model is created with. A key that the program reads and that is missing
// here is a fault: a test compares the keys the source reads with this table.
#pragma once

#include <string>
#include <vector>

#include "util/Variant.h"

namespace korvane::store {

class Database;

// The comparison entry that means "no threshold": every value passes. New
// models use it for the retrieval, utility and choice thresholds.
inline constexpr const char* kNoThreshold = "none";

enum class SettingKind {
  Number,       // any number within [min, max]
  WholeNumber,  // a whole number within [min, max]
  Option,       // the index of one of `choices`
  Switch,       // 0 clear, 1 set
  Comparison,   // one of the texts in `choices`
  Text,         // any text
  Address,      // an IP address (or empty)
  Formula,      // a formula text
};

struct SettingInfo {
  std::string key;       // the key, or the suffix after the instance type's name ("_RetrievalMethod")
  bool perType = false;  // the key is I<n> followed by `key`
  SettingKind kind = SettingKind::Text;
  double min = -1e308;
  double max = 1e308;
  bool emptyAllowed = false;          // an empty value is allowed (and means `emptyMeans`)
  std::vector<std::string> choices;   // Option: the options by index; Comparison: the texts allowed
  std::string defaultText;            // what a missing setting is taken as ("" for none)
  bool writtenOnNew = false;          // a new model stores the default
  std::string newModelText;           // what a new model stores instead, when not the default
  bool zeroAllowed = true;            // Number: false when 0 is refused (a divisor, a temperature)
  bool internal = false;              // written by Korvane itself; `set` needs --force
  std::string screen;                 // the screen (or command) that edits it
  std::string meaning;                // one line

  // The key as shown: "Params_D_Value", or "I<n>_RetrievalMethod".
  std::string DisplayKey() const;
  // What is allowed, in words: "a number from 0", "0 (time-based), 1 (number-based)", ...
  std::string Allowed() const;
  // The default as shown ("1000", "none", "(empty)").
  std::string DefaultShown() const;
  // The default as the value a missing setting is taken as.
  Variant DefaultValue() const;
  // What `korvane new` and File > New store.
  Variant NewModelValue() const;
};

// Every setting, model-wide first, in the order of the reference.
const std::vector<SettingInfo>& SettingsCatalog();

// The entry of a key ("I12_FeedbackType" finds the per-type entry), or null.
const SettingInfo* FindSetting(const std::string& key);

// "" when the value is allowed for the key; else a message that names the key
// and what is allowed. An unknown key gets a message naming the nearest known
// keys.
std::string CheckSetting(const std::string& key, const Variant& value);
// The same for a value given as text, as `korvane set` takes it (numeric
// text is a number).
std::string CheckSettingText(const std::string& key, const std::string& text);

// Known keys that look like the given one (a misspelling), nearest first.
std::vector<std::string> SimilarKeys(const std::string& key, std::size_t most = 3);

// Writes the default of every setting a new model starts with, leaving keys
// already present as they are. Returns how many were written. An imported
// model text that lacks a key gets the key's default (what a file without
// it runs with), not the value that `korvane new` gives.
int WriteNewModelDefaults(Database* db, bool imported = false);

// The reference: a plain-text listing and the Markdown of docs/settings.md.
std::string SettingsReferenceText();
std::string SettingsReferenceMarkdown();

}  // namespace korvane::store
