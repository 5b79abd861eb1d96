// Sweep.cpp: see Sweep.h.
#include "sweep/Sweep.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <unistd.h>

#include "export/CellFormat.h"
#include "export/TraceQuery.h"
#include "export/TrialTable.h"
#include "store/Database.h"
#include "util/Error.h"
#include "util/Variant.h"

namespace korvane::sweep {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// A whole text as a finite number, or nothing.
std::optional<double> NumberOf(const std::string& text) {
  const std::string t = Trim(text);
  if (t.empty()) return std::nullopt;
  try {
    std::size_t used = 0;
    const double value = std::stod(t, &used);
    if (used != t.size() || !std::isfinite(value)) return std::nullopt;
    return value;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// Numbers of a range in their shortest form: 0.1 + 0.2 shows as 0.3.
std::string RangeNumber(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.12g", value);
  std::string out = text;
  return out == "-0" ? "0" : out;
}

std::uint64_t Mix(std::uint64_t x) {  // splitmix64's finaliser
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

std::uint64_t Fnv(const std::string& text, std::uint64_t hash = 0xcbf29ce484222325ULL) {
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

// Decision labels sort as numbers when both are numbers.
bool LabelLess(const std::string& a, const std::string& b) {
  const auto x = NumberOf(a), y = NumberOf(b);
  if (x && y && *x != *y) return *x < *y;
  if (x.has_value() != y.has_value()) return x.has_value();
  return a < b;
}

void AppendCsvLine(const std::vector<std::string>& cells, std::string& out) {
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (i) out += ',';
    exporting::AppendCsvField(cells[i], out);
  }
  out += "\r\n";
}

std::string Num(double value) {
  std::string out;
  exporting::AppendNumber(value, out);
  return out;
}

}  // namespace

Variation ParseVariation(const std::string& text) {
  const auto equals = text.find('=');
  if (equals == std::string::npos || equals == 0)
    throw SweepError("--vary '" + text + "': expected KEY=V1,V2,... or KEY=FROM:TO:STEP");
  Variation variation;
  variation.key = Trim(text.substr(0, equals));
  const std::string rest = Trim(text.substr(equals + 1));
  if (variation.key.empty() || rest.empty())
    throw SweepError("--vary '" + text + "': expected KEY=V1,V2,... or KEY=FROM:TO:STEP");
  if (rest.find(':') != std::string::npos && rest.find(',') == std::string::npos) {
    std::vector<std::string> parts;
    std::stringstream stream(rest);
    for (std::string part; std::getline(stream, part, ':');) parts.push_back(part);
    if (parts.size() != 3) throw SweepError("--vary '" + text + "': a range is FROM:TO:STEP");
    const auto from = NumberOf(parts[0]), to = NumberOf(parts[1]), step = NumberOf(parts[2]);
    if (!from || !to || !step) throw SweepError("--vary '" + text + "': FROM, TO and STEP must be numbers");
    if (*step == 0 || (*to - *from) / *step < 0)
      throw SweepError("--vary '" + text + "': STEP must lead from FROM to TO");
    const double count = std::floor((*to - *from) / *step + 1e-9) + 1;
    if (count > 10000) throw SweepError("--vary '" + text + "': more than 10000 values");
    for (int i = 0; i < static_cast<int>(count); ++i) variation.values.push_back(RangeNumber(*from + i * *step));
  } else {
    std::stringstream stream(rest);
    for (std::string part; std::getline(stream, part, ',');) {
      part = Trim(part);
      if (part.empty()) throw SweepError("--vary '" + text + "': an empty value");
      if (auto number = NumberOf(part)) part = RangeNumber(*number);
      if (std::find(variation.values.begin(), variation.values.end(), part) != variation.values.end())
        throw SweepError("--vary '" + text + "': the value " + part + " is given twice");
      variation.values.push_back(part);
    }
  }
  return variation;
}

Keep ParseKeep(const std::string& text) {
  if (text == "none") return Keep::None;
  if (text == "trials") return Keep::Trials;
  if (text == "all") return Keep::All;
  throw SweepError("--keep must be none, trials or all, not '" + text + "'");
}

std::string KeepName(Keep keep) {
  switch (keep) {
    case Keep::None: return "none";
    case Keep::All: return "all";
    default: return "trials";
  }
}

std::string DefinitionJson(const SweepDefinition& d) {
  json vary = json::array();
  for (const auto& v : d.vary) vary.push_back({{"key", v.key}, {"values", v.values}});
  json j = {{"korvane_sweep", 1},
            {"model", d.model},
            {"model_hash", d.modelHash},
            {"vary", vary},
            {"subjects", d.subjects},
            {"trials", d.trials},
            {"block_size", d.blockSize},
            {"instance_type", d.instanceType},
            {"task", d.task},
            {"task_command", d.taskCommand},
            {"seed", d.seed},
            {"target", d.target},
            {"keep", KeepName(d.keep)}};
  return j.dump(2) + "\n";
}

SweepDefinition DefinitionFromJson(const std::string& text) {
  try {
    const json j = json::parse(text);
    SweepDefinition d;
    d.model = j.at("model").get<std::string>();
    d.modelHash = j.value("model_hash", std::string());
    for (const auto& v : j.at("vary")) d.vary.push_back({v.at("key"), v.at("values").get<std::vector<std::string>>()});
    d.subjects = j.at("subjects");
    d.trials = j.at("trials");
    d.blockSize = j.at("block_size");
    d.instanceType = j.at("instance_type");
    d.task = j.value("task", std::string());
    d.taskCommand = j.value("task_command", std::string());
    d.seed = j.at("seed");
    d.target = j.value("target", std::string());
    d.keep = ParseKeep(j.value("keep", std::string("trials")));
    if (d.blockSize < 1 || d.trials < 1 || d.subjects < 1) throw SweepError("bad numbers");
    return d;
  } catch (const SweepError& e) {
    throw SweepError(std::string("the sweep's definition (sweep.json) is damaged: ") + e.what());
  } catch (const std::exception& e) {
    throw SweepError(std::string("the sweep's definition (sweep.json) is damaged: ") + e.what());
  }
}

std::string Point::Id() const {
  char text[32];
  std::snprintf(text, sizeof text, "p%04d", number);
  return text;
}

std::uint64_t PointSeed(std::uint64_t sweepSeed, const std::vector<Variation>& vary,
                        const std::vector<std::string>& values) {
  std::uint64_t hash = Fnv(std::to_string(sweepSeed));
  for (std::size_t i = 0; i < vary.size() && i < values.size(); ++i)
    hash = Fnv(vary[i].key + "=" + values[i] + "\n", hash);
  // A positive 31-bit number: every task written in any language takes it.
  return Mix(hash) % 2147483646ULL + 1;
}

std::vector<Point> MakePoints(const SweepDefinition& definition) {
  std::vector<Point> points;
  std::size_t count = 1;
  for (const auto& v : definition.vary) count *= v.values.size();
  if (definition.vary.empty()) count = 1;
  for (std::size_t n = 0; n < count; ++n) {
    Point point;
    point.number = static_cast<int>(n) + 1;
    std::size_t rest = n;
    std::vector<std::string> values(definition.vary.size());
    for (std::size_t k = definition.vary.size(); k-- > 0;) {
      const auto& v = definition.vary[k].values;
      values[k] = v[rest % v.size()];
      rest /= v.size();
    }
    point.values = values;
    point.seed = PointSeed(definition.seed, definition.vary, values);
    points.push_back(point);
  }
  return points;
}

std::string PointSignature(const SweepDefinition& d, const Point& point) {
  std::string text = "model " + d.modelHash + "; type " + d.instanceType + "; subjects " + std::to_string(d.subjects) +
                     "; trials " + std::to_string(d.trials) + "; seed " + std::to_string(point.seed) + "; task " +
                     (d.taskCommand.empty() ? d.task : "command " + d.taskCommand);
  for (std::size_t i = 0; i < d.vary.size() && i < point.values.size(); ++i)
    text += "; " + d.vary[i].key + "=" + point.values[i];
  return text;
}

bool SummaryComplete(const PointSummary& summary, const SweepDefinition& d, const Point& point) {
  return summary.signature == PointSignature(d, point) &&
         summary.decisions == static_cast<std::int64_t>(d.subjects) * d.trials;
}

std::vector<int> ChunkPoints(const std::string& only, int pointCount) {
  const auto slash = only.find('/');
  int index = 0, chunks = 0;
  try {
    std::size_t used = 0;
    if (slash == std::string::npos) throw std::invalid_argument(only);
    index = std::stoi(only.substr(0, slash), &used);
    if (used != slash) throw std::invalid_argument(only);
    chunks = std::stoi(only.substr(slash + 1), &used);
    if (used != only.size() - slash - 1) throw std::invalid_argument(only);
  } catch (const std::exception&) {
    throw SweepError("--only '" + only + "': expected I/N, the I-th of N chunks (e.g. 3/8)");
  }
  if (chunks < 1 || index < 1 || index > chunks)
    throw SweepError("--only '" + only + "': I must lie between 1 and N");
  std::vector<int> numbers;
  // Chunk i holds points floor((i-1)*P/N)+1 .. floor(i*P/N).
  const long long first = static_cast<long long>(index - 1) * pointCount / chunks;
  const long long last = static_cast<long long>(index) * pointCount / chunks;
  for (long long n = first; n < last; ++n) numbers.push_back(static_cast<int>(n) + 1);
  return numbers;
}

std::string FileHash(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw SweepError("cannot read " + path);
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  char buffer[65536];
  while (in) {
    in.read(buffer, sizeof buffer);
    for (std::streamsize i = 0; i < in.gcount(); ++i) {
      hash ^= static_cast<unsigned char>(buffer[i]);
      hash *= 0x100000001b3ULL;
    }
  }
  char text[24];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

// ---- Trials -------------------------------------------------------------------

// The trial data of a point: the executed rows of the run's trial table.
std::vector<TrialRecord> ReadTrials(const std::string& experimentPath, const std::string& instanceType,
                                    std::string* csv) {
  exporting::TrialTable table;
  try {
    table = exporting::ReadTrialTable(experimentPath, instanceType);
  } catch (const Error& e) {
    throw SweepError("cannot read the trial table of " + experimentPath + ": " + e.Description());
  }
  std::vector<TrialRecord> records;
  for (const auto& row : table.rows) {
    if (!row.executed) continue;
    TrialRecord record;
    record.subject = row.subject;
    record.trial = row.trial;
    record.ordinal = row.trial;  // the trial table counts from 1 within the subject
    for (std::size_t i = 0; i < row.decision.size(); ++i) {
      if (i) record.decision += " / ";
      record.decision += row.decision[i].ToText();
    }
    record.feedback = row.feedback;
    records.push_back(std::move(record));
  }
  if (csv) *csv = exporting::TrialTableCsv(table);
  return records;
}

std::vector<BlockSummary> SummarizeBlocks(const std::vector<TrialRecord>& trials, int blockSize, int blocks) {
  std::vector<BlockSummary> out(static_cast<std::size_t>(std::max(0, blocks)));
  std::vector<std::map<std::string, std::int64_t>> counts(out.size());
  std::vector<std::pair<double, std::int64_t>> outcome(out.size());
  for (std::size_t b = 0; b < out.size(); ++b) out[b].block = static_cast<int>(b) + 1;
  for (const auto& t : trials) {
    if (t.ordinal < 1 || blockSize < 1) continue;
    const std::int64_t b = (t.ordinal - 1) / blockSize;
    if (b >= static_cast<std::int64_t>(out.size())) continue;
    ++out[b].decisions;
    ++counts[b][t.decision];
    if (t.feedback) {
      outcome[b].first += *t.feedback;
      ++outcome[b].second;
    }
  }
  for (std::size_t b = 0; b < out.size(); ++b) {
    for (const auto& [label, count] : counts[b])
      out[b].proportion[label] = static_cast<double>(count) / static_cast<double>(out[b].decisions);
    if (outcome[b].second > 0) out[b].meanOutcome = outcome[b].first / static_cast<double>(outcome[b].second);
  }
  return out;
}

std::string SummaryJson(const PointSummary& s) {
  json blocks = json::array();
  for (const auto& b : s.blocks) {
    json block = {{"block", b.block}, {"decisions", b.decisions}, {"proportion", b.proportion}};
    block["mean_outcome"] = b.meanOutcome ? json(*b.meanOutcome) : json(nullptr);
    blocks.push_back(block);
  }
  json j = {{"signature", s.signature}, {"point", s.number},   {"values", s.values},
            {"seed", s.seed},           {"subjects", s.subjects}, {"decisions", s.decisions},
            {"seconds", s.seconds},     {"blocks", blocks}};
  return j.dump(1) + "\n";
}

PointSummary SummaryFromJson(const std::string& text) {
  const json j = json::parse(text);
  PointSummary s;
  s.signature = j.at("signature");
  s.number = j.at("point");
  s.values = j.at("values").get<std::vector<std::string>>();
  s.seed = j.at("seed");
  s.subjects = j.at("subjects");
  s.decisions = j.at("decisions");
  s.seconds = j.at("seconds");
  for (const auto& b : j.at("blocks")) {
    BlockSummary block;
    block.block = b.at("block");
    block.decisions = b.at("decisions");
    block.proportion = b.at("proportion").get<std::map<std::string, double>>();
    if (!b.at("mean_outcome").is_null()) block.meanOutcome = b.at("mean_outcome").get<double>();
    s.blocks.push_back(block);
  }
  return s;
}

std::string BlocksCsv(const std::vector<BlockSummary>& blocks) {
  std::string out = "block,decision,proportion\r\n";
  for (const auto& b : blocks) {
    std::vector<std::string> labels;
    for (const auto& [label, p] : b.proportion) labels.push_back(label);
    std::sort(labels.begin(), labels.end(), LabelLess);
    for (const auto& label : labels) AppendCsvLine({std::to_string(b.block), label, Num(b.proportion.at(label))}, out);
  }
  return out;
}

// ---- Fit ----------------------------------------------------------------------

Target ReadTarget(const std::string& path, int blocks) {
  std::string text;
  try {
    text = ReadWholeFile(path);
  } catch (const SweepError&) {
    throw SweepError("cannot read the target " + path);
  }
  if (text.size() >= 3 && text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  std::size_t pos = 0;
  const auto header = exporting::ReadCsvRecord(text, pos);
  int blockColumn = -1, decisionColumn = -1, proportionColumn = -1;
  for (std::size_t i = 0; i < header.size(); ++i) {
    const std::string name = Lower(Trim(header[i]));
    if (name == "block") blockColumn = static_cast<int>(i);
    else if (name == "decision") decisionColumn = static_cast<int>(i);
    else if (name == "proportion") proportionColumn = static_cast<int>(i);
  }
  if (blockColumn < 0 || decisionColumn < 0 || proportionColumn < 0)
    throw SweepError("the target " + path + " needs the columns block, decision and proportion in its first line");
  const std::size_t needed = static_cast<std::size_t>(std::max({blockColumn, decisionColumn, proportionColumn})) + 1;
  Target target;
  int line = 1;
  while (pos < text.size()) {
    const auto cells = exporting::ReadCsvRecord(text, pos);
    ++line;
    if (cells.empty() || (cells.size() == 1 && Trim(cells[0]).empty())) continue;
    const std::string where = "the target " + path + ", line " + std::to_string(line) + ": ";
    if (cells.size() < needed) throw SweepError(where + "too few cells");
    const auto block = NumberOf(cells[blockColumn]);
    if (!block || *block != std::floor(*block) || *block < 1 || *block > blocks)
      throw SweepError(where + "block '" + cells[blockColumn] + "' is not a block of this sweep (1 to " +
                       std::to_string(blocks) + ")");
    const auto proportion = NumberOf(cells[proportionColumn]);
    if (!proportion || *proportion < 0 || *proportion > 1)
      throw SweepError(where + "proportion '" + cells[proportionColumn] + "' is not a number from 0 to 1");
    std::string decision = Trim(cells[decisionColumn]);
    if (auto number = NumberOf(decision)) decision = FormatNumber(*number);
    if (decision.empty()) throw SweepError(where + "the decision is empty");
    if (!target.proportion.emplace(std::make_pair(static_cast<int>(*block), decision), *proportion).second)
      throw SweepError(where + "block " + cells[blockColumn] + ", decision " + decision + " is given twice");
  }
  if (target.proportion.empty()) throw SweepError("the target " + path + " holds no rows");
  return target;
}

Fit FitToTarget(const PointSummary& point, const Target& target) {
  std::vector<double> model, human;
  for (const auto& [key, p] : target.proportion) {
    double value = 0;
    if (key.first >= 1 && key.first <= static_cast<int>(point.blocks.size())) {
      const auto& proportions = point.blocks[key.first - 1].proportion;
      auto found = proportions.find(key.second);
      if (found == proportions.end()) {
        // "2" in the target matches "2" however the model's text wrote it.
        for (const auto& [label, q] : proportions) {
          const auto a = NumberOf(label), b = NumberOf(key.second);
          if (a && b && *a == *b) {
            value = q;
            break;
          }
        }
      } else {
        value = found->second;
      }
    }
    model.push_back(value);
    human.push_back(p);
  }
  Fit fit;
  const double n = static_cast<double>(model.size());
  double sum = 0, mx = 0, my = 0;
  for (std::size_t i = 0; i < model.size(); ++i) {
    sum += (model[i] - human[i]) * (model[i] - human[i]);
    mx += model[i];
    my += human[i];
  }
  fit.msd = sum / n;
  fit.rmse = std::sqrt(fit.msd);
  mx /= n;
  my /= n;
  double sxy = 0, sxx = 0, syy = 0;
  for (std::size_t i = 0; i < model.size(); ++i) {
    sxy += (model[i] - mx) * (human[i] - my);
    sxx += (model[i] - mx) * (model[i] - mx);
    syy += (human[i] - my) * (human[i] - my);
  }
  if (sxx > 1e-15 && syy > 1e-15) fit.r = sxy / std::sqrt(sxx * syy);
  return fit;
}

// ---- Results --------------------------------------------------------------------

std::vector<PointOutcome> LoadOutcomes(const std::string& folder, const SweepDefinition& definition,
                                       const std::optional<Target>& target) {
  std::vector<PointOutcome> outcomes;
  for (const Point& point : MakePoints(definition)) {
    PointOutcome outcome;
    outcome.point = point;
    const fs::path dir = fs::path(folder) / "points" / point.Id();
    std::error_code ec;
    if (fs::exists(dir / "summary.json", ec)) {
      try {
        PointSummary summary = SummaryFromJson(ReadWholeFile((dir / "summary.json").string()));
        if (SummaryComplete(summary, definition, point)) outcome.summary = std::move(summary);
      } catch (const std::exception&) {
        // A damaged summary counts as not run.
      }
    }
    if (!outcome.summary && fs::exists(dir / "error.txt", ec)) {
      try {
        outcome.error = Trim(ReadWholeFile((dir / "error.txt").string()));
      } catch (const std::exception&) {
        outcome.error = "failed";
      }
      if (outcome.error.empty()) outcome.error = "failed";
    }
    if (outcome.summary && target) outcome.fit = FitToTarget(*outcome.summary, *target);
    outcomes.push_back(std::move(outcome));
  }
  return outcomes;
}

std::optional<PointOutcome> WriteResults(const std::string& folder, const SweepDefinition& definition,
                                         const std::vector<PointOutcome>& outcomes) {
  std::set<std::string> seen;
  for (const auto& o : outcomes)
    if (o.summary)
      for (const auto& b : o.summary->blocks)
        for (const auto& [label, p] : b.proportion) seen.insert(label);
  std::vector<std::string> labels(seen.begin(), seen.end());
  std::sort(labels.begin(), labels.end(), LabelLess);
  const bool withFit = !definition.target.empty();

  std::vector<std::string> header = {"point"};
  for (const auto& v : definition.vary) header.push_back(v.key);
  for (const char* name : {"seed", "status", "subjects", "decisions"}) header.push_back(name);
  // b1_p_1, b1_p_2, b1_outcome, b2_p_1, ...
  auto blockColumn = [](int block, const std::string& what) { return "b" + std::to_string(block) + '_' + what; };
  for (int b = 1; b <= definition.Blocks(); ++b) {
    for (const auto& label : labels) header.push_back(blockColumn(b, "p_" + label));
    header.push_back(blockColumn(b, "outcome"));
  }
  if (withFit)
    for (const char* name : {"msd", "rmse", "r"}) header.push_back(name);
  header.push_back("seconds");

  std::string out;
  AppendCsvLine(header, out);
  std::optional<PointOutcome> best;
  for (const auto& o : outcomes) {
    std::vector<std::string> row = {o.point.Id()};
    for (const auto& value : o.point.values) row.push_back(value);
    row.push_back(std::to_string(o.point.seed));
    if (!o.summary) {
      row.push_back(o.error.empty() ? "missing" : "failed: " + o.error);
      row.resize(header.size());
      AppendCsvLine(row, out);
      continue;
    }
    const auto& s = *o.summary;
    row.push_back("ok");
    row.push_back(std::to_string(s.subjects));
    row.push_back(std::to_string(s.decisions));
    for (int b = 1; b <= definition.Blocks(); ++b) {
      const BlockSummary* block = b <= static_cast<int>(s.blocks.size()) ? &s.blocks[b - 1] : nullptr;
      for (const auto& label : labels) {
        if (!block || block->decisions == 0) {
          row.push_back("");
          continue;
        }
        auto found = block->proportion.find(label);
        row.push_back(Num(found == block->proportion.end() ? 0.0 : found->second));
      }
      row.push_back(block && block->meanOutcome ? Num(*block->meanOutcome) : "");
    }
    if (withFit) {
      row.push_back(o.fit ? Num(o.fit->msd) : "");
      row.push_back(o.fit ? Num(o.fit->rmse) : "");
      row.push_back(o.fit && o.fit->r ? Num(*o.fit->r) : "");
      if (o.fit && (!best || o.fit->msd < best->fit->msd)) best = o;
    }
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", s.seconds);
    row.push_back(seconds);
    AppendCsvLine(row, out);
  }
  WriteFileAtomically((fs::path(folder) / "results.csv").string(), out);

  const fs::path bestPath = fs::path(folder) / "best.json";
  std::error_code ec;
  if (best) {
    json values = json::object();
    for (std::size_t i = 0; i < definition.vary.size(); ++i) {
      const auto number = NumberOf(best->point.values[i]);
      values[definition.vary[i].key] = number ? json(*number) : json(best->point.values[i]);
    }
    json j = {{"point", best->point.Id()},  {"values", values},          {"seed", best->point.seed},
              {"msd", best->fit->msd},      {"rmse", best->fit->rmse},   {"target", definition.target}};
    j["r"] = best->fit->r ? json(*best->fit->r) : json(nullptr);
    WriteFileAtomically(bestPath.string(), j.dump(2) + "\n");
  } else {
    fs::remove(bestPath, ec);
  }
  return best;
}

void WriteFileAtomically(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".tmp" + std::to_string(::getpid());
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) {
      std::error_code ec;
      fs::remove(temporary, ec);
      throw SweepError("cannot write " + path);
    }
  }
  std::error_code ec;
  fs::rename(temporary, path, ec);
  if (ec) {
    fs::remove(temporary, ec);
    throw SweepError("cannot write " + path + ": " + ec.message());
  }
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw SweepError("cannot read " + path);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

}  // namespace korvane::sweep
