// SettingsCatalog.cpp: see SettingsCatalog.h.
#include "store/SettingsCatalog.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cmath>
#include <sstream>

#include "store/Database.h"
#include "store/MetaKeyValue.h"
#include "util/EditDistance.h"

namespace korvane::store {

namespace {

constexpr double kHuge = 1e308;

const std::vector<std::string> kComparisons = {">", "<", "=", ">=", "<="};
const std::vector<std::string> kThresholdComparisons = {">", "<", "=", ">=", "<=", kNoThreshold};

SettingInfo Number(std::string key, double min, double max, std::string def, std::string screen, std::string meaning,
                   bool onNew = true) {
  SettingInfo s;
  s.key = std::move(key);
  s.kind = SettingKind::Number;
  s.min = min;
  s.max = max;
  s.defaultText = std::move(def);
  s.writtenOnNew = onNew;
  s.screen = std::move(screen);
  s.meaning = std::move(meaning);
  return s;
}

SettingInfo Whole(std::string key, double min, double max, std::string def, std::string screen, std::string meaning,
                  bool onNew = true) {
  SettingInfo s = Number(std::move(key), min, max, std::move(def), std::move(screen), std::move(meaning), onNew);
  s.kind = SettingKind::WholeNumber;
  return s;
}

SettingInfo Option(std::string key, std::vector<std::string> choices, std::string screen, std::string meaning,
                   bool onNew = true, std::string def = "0") {
  SettingInfo s;
  s.key = std::move(key);
  s.kind = SettingKind::Option;
  s.choices = std::move(choices);
  s.defaultText = std::move(def);
  s.writtenOnNew = onNew;
  s.screen = std::move(screen);
  s.meaning = std::move(meaning);
  return s;
}

SettingInfo Switch(std::string key, std::string screen, std::string meaning, bool onNew = true) {
  SettingInfo s;
  s.key = std::move(key);
  s.kind = SettingKind::Switch;
  s.defaultText = "0";
  s.writtenOnNew = onNew;
  s.screen = std::move(screen);
  s.meaning = std::move(meaning);
  return s;
}

SettingInfo Comparison(std::string key, bool threshold, std::string meaning) {
  SettingInfo s;
  s.key = std::move(key);
  s.kind = SettingKind::Comparison;
  s.choices = threshold ? kThresholdComparisons : kComparisons;
  s.emptyAllowed = !threshold;
  s.defaultText = threshold ? kNoThreshold : "";
  s.writtenOnNew = threshold;
  s.screen = "Model Parameters";
  s.meaning = std::move(meaning);
  return s;
}

SettingInfo Text(std::string key, SettingKind kind, std::string screen, std::string meaning) {
  SettingInfo s;
  s.key = std::move(key);
  s.kind = kind;
  s.emptyAllowed = true;
  s.screen = std::move(screen);
  s.meaning = std::move(meaning);
  return s;
}

SettingInfo PerType(SettingInfo s) {
  s.perType = true;
  s.writtenOnNew = false;  // a new model has no instance types yet
  return s;
}

std::vector<SettingInfo> BuildCatalog() {
  const std::string params = "Model Parameters";
  std::vector<SettingInfo> c;
  // Activation.
  c.push_back(Number("Params_D_Value", 0, kHuge, "0.5", params,
                     "Decay d of base-level learning: the exponent applied to the age of each presentation."));
  c.push_back(Number("Params_S_Value", 0, kHuge, "0.25", params,
                     "Activation noise s: the scale of the logistic noise added to every activation (each draw is "
                     "clipped to s ln 9999, about 9.2 s, either side of 0); 0: no noise. Unless Params_Temperature "
                     "is set, the blending temperature T is s times the square root of 2, so blending with s 0 "
                     "needs a temperature."));
  {
    SettingInfo temperature = Number("Params_Temperature", 0, kHuge, "", params,
                                     "Blending temperature T of the retrieval probabilities e^(A/T); empty: s "
                                     "times the square root of 2.",
                                     false);
    temperature.zeroAllowed = false;
    temperature.emptyAllowed = true;
    c.push_back(temperature);
  }
  c.push_back(Number("Params_LE_Value", -kHuge, kHuge, "1", params,
                     "Latency exponent LE of the retrieval time reported in DECISION."));
  c.push_back(Number("Params_LF_Value", 0, kHuge, "1", params,
                     "Latency factor LF of the retrieval time reported in DECISION."));
  c.push_back(Number("Params_Alpha_Value", -kHuge, kHuge, "1", params,
                     "Weight alpha of memory in the activation: A = alpha (BLL + PM + noise) + (1 - alpha) U, so "
                     "1 (the usual value) leaves the instance's utility U out and 0 scores instances by utility "
                     "alone."));
  // Thresholds.
  c.push_back(Number("Params_Delta_Value", -kHuge, kHuge, "0", params,
                     "Retrieval threshold RT: an instance (or blend) is retrieved only when its activation passes "
                     "Params_Delta_Cmp against it. Activations of recent instances are usually well below 0."));
  c.push_back(Comparison("Params_Delta_Cmp", true,
                         "Comparison of the retrieval threshold; none: no retrieval threshold (every activation "
                         "passes). Left empty, no retrieval ever succeeds."));
  c.push_back(Number("Params_U_Value", -kHuge, kHuge, "0", params,
                     "Utility threshold U: an instance is retrieved only when its utility passes Params_U_Cmp "
                     "against it."));
  c.push_back(Comparison("Params_U_Cmp", true,
                         "Comparison of the utility threshold; none: no utility threshold. Left empty, no retrieval "
                         "ever succeeds."));
  c.push_back(Number("Params_CT_Value", -kHuge, kHuge, "0", params,
                     "Choice threshold CT: the trial's best instance is executed (a DECISION is sent) only when its "
                     "utility passes Params_CT_Cmp against it."));
  c.push_back(Comparison("Params_CT_Cmp", true,
                         "Comparison of the choice threshold, also the test by which a later cycle's instance "
                         "replaces the trial's candidate; none: always act, the greater utility wins. Left empty, "
                         "the model never acts."));
  {
    SettingInfo goal = Number("Params_Goal_Value", -kHuge, kHuge, "1", params,
                              "Goal G: feedback outcomes are divided by it, so it must not be 0.");
    goal.zeroAllowed = false;
    c.push_back(goal);
  }
  for (const char* name : {"D", "S", "LE", "LF", "Alpha", "Goal"})
    c.push_back(Comparison(std::string("Params_") + name + "_Cmp", false,
                           std::string("A comparison stored beside ") + name + "; a run does not use it."));
  // Stopping rule and the trial's time.
  c.push_back(Option("Params_StopRule", {"time-based", "number-based"}, params,
                     "When a trial's retrieval cycles stop and the choice is made. Time-based: only when a cue "
                     "arrives after Params_StopRule_Value ms of the trial, so the task must keep sending cues; a "
                     "task that sends its alternatives and waits for a DECISION needs the number-based rule."));
  c.push_back(Number("Params_StopRule_Value", 1, kHuge, "1000", params,
                     "Time-based rule: the milliseconds after which the trial's next finished cycle makes the "
                     "choice."));
  c.push_back(Whole("Params_StopRule_Num", 1, 2147483647, "1", params,
                    "Number-based rule: the retrieval cycles (cues) after which the choice is made."));
  c.push_back(Number("Params_TrialTime", 0, kHuge, "1000", params,
                     "Milliseconds of model time one trial takes (with the simulated clock, from one trial's first "
                     "cue to the next trial's first cue)."));
  {
    SettingInfo prior = Number("Params_PriorTime", 0, kHuge, "0", params,
                               "Milliseconds of model time between the presentation of a subject's prepopulated "
                               "instances and its first cue. One Params_TrialTime (as new models have) gives the "
                               "timeline of a trial-based model: priors one trial before trial 1. 0 (a model "
                               "without the key): priors presented at the first cue.");
    prior.newModelText = "1000";
    c.push_back(prior);
  }
  c.push_back(Number("Params_CyclePause", 0, kHuge, "50", params,
                     "Milliseconds of model time between two retrieval cycles of a trial; 0 judges every "
                     "alternative of a trial at the same moment. With the real clock a run refuses more than "
                     "86400000 (a day)."));
  c.push_back(Option("Params_TraceLevel", {"full", "decisions", "none"}, params,
                     "How much of a run the trace (MetaInstance) keeps: every row, the decisions only, or nothing."));
  // Run, task connection, batch.
  c.push_back(Option("Params_Clock", {"real time", "simulated"}, params,
                     "The run's clock: real time (the task's pace) or simulated (as fast as possible, repeatable)."));
  {
    SettingInfo seed = Whole("Params_Seed", 0, 1.8e19, "", params,
                             "The run's random seed; empty: a new seed from the clock every run (the log names it).",
                             false);
    seed.emptyAllowed = true;
    c.push_back(seed);
  }
  c.push_back(Whole("Params_Port_Value", 1, 65535, "4258", params, "TCP port on which tasks connect."));
  c.push_back(Text("Params_Listen", SettingKind::Address, params,
                   "Address to listen on; empty: this computer only (127.0.0.1); 0.0.0.0: every network."));
  c.push_back(Text("Params_HELO", SettingKind::Text, params,
                   "Line sent to the task after START and RESET (%d: the simulation's number); empty: none."));
  c.push_back(Whole("Params_Batch_Value", 1, 2147483647, "1", params,
                    "Number of simulated subjects, sent to the task as BATCH."));
  // Switches.
  c.push_back(Switch("Reinforce_Recognition", params, "1: a retrieved instance gets a presentation (recognition)."));
  c.push_back(Switch("Reinforce_Execution", params, "1: the executed instance gets a presentation."));
  c.push_back(Switch("Reinforce_Feedback", params, "1: an instance given feedback gets a presentation."));
  c.push_back(Switch("CreateInstance_Feedback", params,
                     "1: feedback creates a new instance from each executed one; 0: it updates the executed "
                     "instance itself (with best-match retrieval, the retrieved instance in memory)."));
  c.push_back(Switch("Merge_WithPrepopulated", params,
                     "1: an instance made during a run may be merged into an equal prepopulated one."));

  // Settings of one instance type.
  c.push_back(PerType(Option("_SimilarityType", {"one formula for all situation slots", "one formula per slot"},
                             "Similarity", "How similarity formulas are given (row GLOBAL, or one per slot).")));
  c.push_back(PerType(Option("_RetrievalMethod", {"best match (no blending)", "blending"}, "Retrieval Method",
                             "Retrieve the most active instance, or blend instances weighted by their retrieval "
                             "probability (every slot must then hold numbers).")));
  c.push_back(PerType(Option("_BlendingRoundingRule",
                             {"no rounding", "halves toward zero", "halves away from zero", "halves down",
                              "halves up", "truncate", "Gaussian (bankers')"},
                             "Retrieval Method", "How blended slot values are rounded (blending only).")));
  c.push_back(PerType(Option("_ConstraintType", {"all instances", "instances meeting the constraint formula"},
                             "Retrieval Constraints",
                             "Which instances are blended; the constraint applies to blending only.")));
  c.push_back(PerType(Text("_ConstraintFormula", SettingKind::Formula, "Retrieval Constraints",
                           "Constraint formula: each USES.X assignment names one subset of memory to blend.")));
  c.push_back(PerType(Option("_MR_SelectionFunction", {"Maximize", "Minimize"}, "Retrieval Constraints",
                             "Of several constraints' blends, keep the one with the greatest or least selection "
                             "slot.")));
  c.push_back(PerType(Text("_MR_SelectionVariable", SettingKind::Text, "Retrieval Constraints",
                           "The slot that the selection function compares.")));
  c.push_back(PerType(Option("_JudgmentSucceedMode", {"copy the retrieved utility", "succeed formula"}, "Judgment",
                             "Utility of the cue instance when retrieval succeeds.")));
  c.push_back(PerType(Text("_JudgmentSucceedFormula", SettingKind::Formula, "Judgment",
                           "Utility formula (U = ...) when retrieval succeeds and the mode is 1: it sees "
                           "Cue.<slot> and Memory.<slot> of the retrieved instance (Memory.<utility slot> is its "
                           "utility).")));
  c.push_back(PerType(Text("_JudgmentFailFormula", SettingKind::Formula, "Judgment",
                           "Utility formula (U = ...) when retrieval fails: it sees Cue.<slot>; required "
                           "unless the type has a default utility.")));
  {
    SettingInfo def = Number("_DefaultUtility", -kHuge, kHuge, "", "Judgment",
                             "Utility of an alternative that matches no instance (nothing retrieved), instead of "
                             "the judgment formula of a failed retrieval; empty: that formula.",
                             false);
    def.emptyAllowed = true;
    c.push_back(PerType(def));
  }
  c.push_back(PerType(Switch("_DefaultUtilityPopulates", "Judgment",
                             "1: an alternative judged by the default utility is stored as an instance with it, "
                             "seen at that moment; 0: the default utility is used until the alternative has an "
                             "instance of its own.")));
  c.push_back(PerType(Option("_DecisionType", {"one formula for all decision slots", "one formula per slot"},
                             "Decision", "How decision formulas are given (row GLOBAL_DECISION, or per slot).")));
  c.push_back(PerType(Option("_FeedbackType", {"single value", "set of values, FEEDBACK formula"}, "Feedback",
                             "What FEEDBACK carries: one outcome, or name/value pairs the FEEDBACK formula turns "
                             "into the outcome O.")));
  c.push_back(PerType(Option("_UtilityUpdateType", {"set: U = O / G", "increase: U = old U + w O / G", "custom formula"},
                             "Utility",
                             "How feedback changes the utility of the executed instances; increase adds O / G "
                             "weighted by w = execution time / feedback time (model time).")));
  c.push_back(PerType(Text("_UtilityUpdateFormula", SettingKind::Formula, "Utility",
                           "Custom utility update formula (U = ...), update type 2: it sees O, G, the "
                           "feedback's values and Memory.<slot> of the rewarded instance (Memory.<utility slot> "
                           "is its old utility).")));

  // Export screen.
  const std::string exportScreen = "Export";
  const std::vector<std::pair<const char*, const char*>> includes = {
      {"Export_Include_Full", "activation"},        {"Export_Include_BLL", "base-level activation"},
      {"Export_Include_PM", "partial match"},       {"Export_Include_Noise", "noise"},
      {"Export_Include_Time", "presentation times"}, {"Export_Include_S", "situation slots"},
      {"Export_Include_D", "decision slots"},       {"Export_Include_U", "utility slot"}};
  for (const auto& [key, what] : includes)
    c.push_back(Switch(key, exportScreen, std::string("1: the export includes the ") + what + " columns.", false));
  c.push_back(Text("Export_Filters", SettingKind::Text, exportScreen, "The export's last filters, packed."));
  c.push_back(Text("Export_LastInstanceType", SettingKind::Text, exportScreen, "The last exported instance type."));
  c.push_back(Text("Export_LastMDB", SettingKind::Text, exportScreen, "The last exported experiment file."));
  c.push_back(Text("Export_LastSubjects", SettingKind::Text, exportScreen, "The last exported subjects."));

  {
    SettingInfo version = Whole("VERSION", 0, 32767, "", "(the file itself)",
                                "Schema version of the file; Korvane writes it when it creates or upgrades a file.",
                                false);
    version.internal = true;
    c.push_back(version);
  }
  return c;
}

bool IsInstanceTypePrefix(const std::string& key, std::size_t length) {
  if (length < 2 || key[0] != 'I' || key[1] == '0') return false;
  for (std::size_t i = 1; i < length; ++i)
    if (key[i] < '0' || key[i] > '9') return false;
  return true;
}

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::string NumberShown(double value) {
  if (value >= 1e300) return "any";
  return FormatNumber(value);
}

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

bool IsAddress(const std::string& text) {
  unsigned char buffer[16];
  return inet_pton(AF_INET, text.c_str(), buffer) == 1 || inet_pton(AF_INET6, text.c_str(), buffer) == 1;
}

}  // namespace

std::string SettingInfo::DisplayKey() const { return perType ? "I<n>" + key : key; }

std::string SettingInfo::Allowed() const {
  switch (kind) {
    case SettingKind::Number:
    case SettingKind::WholeNumber: {
      std::string what = kind == SettingKind::Number ? "a number" : "a whole number";
      const std::string empty = emptyAllowed ? ", or empty" : "";
      if (!zeroAllowed && min == 0 && max >= 1e300) return what + " above 0" + empty;
      if (!zeroAllowed && min <= -1e300 && max >= 1e300) return what + " other than 0" + empty;
      if (min <= -1e300 && max >= 1e300) return what;
      if (max >= 1e300) return what + " from " + NumberShown(min);
      if (min <= -1e300) return what + " up to " + NumberShown(max);
      return what + " from " + NumberShown(min) + " to " + NumberShown(max) + (emptyAllowed ? ", or empty" : "");
    }
    case SettingKind::Option: {
      std::string text;
      for (std::size_t i = 0; i < choices.size(); ++i)
        text += (i ? ", " : "") + std::to_string(i) + " (" + choices[i] + ")";
      return text;
    }
    case SettingKind::Switch: return "0 (clear), 1 (set)";
    case SettingKind::Comparison: {
      std::string text;
      for (std::size_t i = 0; i < choices.size(); ++i) text += (i ? " " : "") + choices[i];
      return text + (emptyAllowed ? ", or empty" : "");
    }
    case SettingKind::Address: return "an IP address, or empty";
    case SettingKind::Formula: return "a formula";
    case SettingKind::Text: return "any text";
  }
  return {};
}

std::string SettingInfo::DefaultShown() const {
  if (!defaultText.empty()) return defaultText;
  return "(empty)";
}

namespace {

Variant SettingValue(const SettingInfo& s, const std::string& text) {
  if (text.empty()) return Variant(std::string());
  if (s.kind == SettingKind::Comparison || s.kind == SettingKind::Text || s.kind == SettingKind::Address ||
      s.kind == SettingKind::Formula)
    return Variant(text);
  return Variant(ReadNumber(text));
}

}  // namespace

Variant SettingInfo::DefaultValue() const { return SettingValue(*this, defaultText); }

Variant SettingInfo::NewModelValue() const {
  return newModelText.empty() ? DefaultValue() : SettingValue(*this, newModelText);
}

const std::vector<SettingInfo>& SettingsCatalog() {
  static const std::vector<SettingInfo> catalog = BuildCatalog();
  return catalog;
}

const SettingInfo* FindSetting(const std::string& key) {
  for (const SettingInfo& s : SettingsCatalog()) {
    if (!s.perType) {
      if (s.key == key) return &s;
      continue;
    }
    if (key.size() > s.key.size() && key.compare(key.size() - s.key.size(), s.key.size(), s.key) == 0 &&
        IsInstanceTypePrefix(key, key.size() - s.key.size()))
      return &s;
  }
  return nullptr;
}

std::vector<std::string> SimilarKeys(const std::string& key, std::size_t most) {
  std::string prefix;
  std::string rest = key;
  // A per-type key is compared by its suffix, and suggested with the same type.
  const auto underscore = key.find('_');
  if (underscore != std::string::npos && IsInstanceTypePrefix(key, underscore)) {
    prefix = key.substr(0, underscore);
    rest = key.substr(underscore);
  }
  std::vector<std::pair<std::size_t, std::string>> scored;
  for (const SettingInfo& s : SettingsCatalog()) {
    if (s.perType != !prefix.empty()) continue;
    const std::size_t distance = EditDistance(rest, s.key);
    const std::size_t limit = std::max<std::size_t>(2, s.key.size() / 3);
    if (distance <= limit) scored.emplace_back(distance, prefix + s.key);
  }
  std::stable_sort(scored.begin(), scored.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> keys;
  for (const auto& [distance, name] : scored) {
    if (keys.size() >= most) break;
    keys.push_back(name);
  }
  return keys;
}

std::string CheckSetting(const std::string& key, const Variant& value) {
  const SettingInfo* info = FindSetting(key);
  if (!info) {
    std::string message = "Unknown setting " + key + ".";
    const auto similar = SimilarKeys(key);
    if (!similar.empty()) {
      message += " Did you mean ";
      for (std::size_t i = 0; i < similar.size(); ++i)
        message += (i ? (i + 1 == similar.size() ? " or " : ", ") : "") + similar[i];
      message += "?";
    }
    return message + " (`korvane settings` lists every key.)";
  }
  const std::string allowed = info->Allowed();
  const bool empty = value.IsEmpty() || value.IsNull() ||
                     (value.IsString() && Trim(value.AsString()).empty());
  const std::string shown = value.IsString() ? Quoted(value.AsString()) : value.ToText();
  const bool listed = info->kind == SettingKind::Option || info->kind == SettingKind::Switch ||
                      info->kind == SettingKind::Comparison;
  auto refuse = [&] {
    return key + " must be " + (listed ? "one of " : "") + allowed + "; " +
           (empty ? std::string("it is empty") : "not " + shown) + ".";
  };
  if (empty) return info->emptyAllowed ? std::string() : refuse();
  switch (info->kind) {
    case SettingKind::Number:
    case SettingKind::WholeNumber:
    case SettingKind::Option:
    case SettingKind::Switch: {
      if (value.IsString() && !IsNumericText(value.AsString())) return refuse();
      if (!value.IsString() && !value.IsNumber() && !value.IsBoolean()) return refuse();
      const double n = value.IsBoolean() ? (value.AsBoolean() ? 1 : 0)
                                         : (value.IsString() ? ReadNumber(value.AsString()) : value.ToNumber());
      if (!std::isfinite(n)) return refuse();
      if (info->kind == SettingKind::Number)
        return n >= info->min && n <= info->max && (info->zeroAllowed || n != 0) ? std::string() : refuse();
      if (n != std::floor(n)) return refuse();
      if (info->kind == SettingKind::WholeNumber) return n >= info->min && n <= info->max ? std::string() : refuse();
      const double count = info->kind == SettingKind::Switch ? 2 : static_cast<double>(info->choices.size());
      return n >= 0 && n < count ? std::string() : refuse();
    }
    case SettingKind::Comparison: {
      const std::string text = value.ToText();
      return std::find(info->choices.begin(), info->choices.end(), text) != info->choices.end() ? std::string()
                                                                                                 : refuse();
    }
    case SettingKind::Address:
      return IsAddress(Trim(value.ToText())) ? std::string() : refuse();
    case SettingKind::Text:
    case SettingKind::Formula: return {};
  }
  return {};
}

std::string CheckSettingText(const std::string& key, const std::string& text) { return CheckSetting(key, Variant(text)); }

int WriteNewModelDefaults(Database* db, bool imported) {
  if (!db) return 0;
  int written = 0;
  Transaction transaction(*db);
  for (const SettingInfo& s : SettingsCatalog()) {
    if (!s.writtenOnNew || s.perType || HasKeyValue(db, s.key)) continue;
    SetKeyValue(db, s.key, imported ? s.DefaultValue() : s.NewModelValue());
    ++written;
  }
  transaction.Commit();
  return written;
}

namespace {

std::string KindName(const SettingInfo& s) {
  switch (s.kind) {
    case SettingKind::Number: return "number";
    case SettingKind::WholeNumber: return "whole number";
    case SettingKind::Option: return "option index";
    case SettingKind::Switch: return "switch";
    case SettingKind::Comparison: return "comparison";
    case SettingKind::Text: return "text";
    case SettingKind::Address: return "address";
    case SettingKind::Formula: return "formula";
  }
  return {};
}

std::string Group(const SettingInfo& s) {
  if (s.perType) return "Settings of one instance type (I<n> is the type's name, such as I1)";
  if (s.key.rfind("Export_", 0) == 0) return "Export screen";
  if (s.internal) return "Written by Korvane itself";
  return "Model-wide settings";
}

std::string MarkdownCell(std::string text) {
  std::string out;
  for (char c : text) {
    if (c == '|') out += "\\|";
    else if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else out += c;
  }
  return out;
}

}  // namespace

std::string SettingsReferenceText() {
  std::ostringstream out;
  std::string group;
  for (const SettingInfo& s : SettingsCatalog()) {
    if (Group(s) != group) {
      group = Group(s);
      out << (out.tellp() > 0 ? "\n" : "") << group << ":\n";
    }
    out << "  " << s.DisplayKey() << "  (" << KindName(s) << ", default " << s.DefaultShown()
        << (s.writtenOnNew ? ", written on new models" : "")
        << (s.newModelText.empty() ? "" : " as " + s.newModelText) << ", screen " << s.screen << ")\n";
    out << "      allowed: " << s.Allowed() << "\n";
    out << "      " << s.meaning << "\n";
  }
  return out.str();
}

std::string SettingsReferenceMarkdown() {
  std::ostringstream out;
  out << "# Model settings\n\n"
         "<!-- Generated by `korvane settings --markdown > docs/settings.md`; a test keeps it equal to the\n"
         "     program's own table. Edit src/store/SettingsCatalog.cpp, not this file. -->\n\n"
         "Every setting of a model is a row of the model file's `MetaKeyValue` table. `korvane set` refuses\n"
         "a key that is not listed here or a value outside what is allowed (`--force` writes it anyway);\n"
         "`korvane model import` checks the same way. \"New\" marks the settings that `korvane new`, File >\n"
         "New and `korvane model import` (for keys the JSON text lacks) write with their default; any other\n"
         "setting that is missing is taken as its default.\n\n"
         "The retrieval, utility and choice thresholds of a new model use the comparison `none`: no\n"
         "threshold, so a new model runs as plain instance-based learning until you choose a comparison.\n"
         "A threshold whose comparison is left empty lets nothing pass; `korvane check` warns about it.\n";
  std::string group;
  for (const SettingInfo& s : SettingsCatalog()) {
    if (Group(s) != group) {
      group = Group(s);
      out << "\n## " << MarkdownCell(group) << "\n\n"
          << "| Key | Type | Allowed | Default | New | Screen | Meaning |\n"
          << "|---|---|---|---|---|---|---|\n";
    }
    out << "| `" << s.DisplayKey() << "` | " << KindName(s) << " | " << MarkdownCell(s.Allowed()) << " | "
        << (s.defaultText.empty() ? "(empty)" : "`" + s.defaultText + "`") << " | "
        << (s.writtenOnNew ? "yes" : "") << (s.newModelText.empty() ? "" : ": `" + s.newModelText + "`") << " | "
        << s.screen << " | " << MarkdownCell(s.meaning) << " |\n";
  }
  return out.str();
}

}  // namespace korvane::store
