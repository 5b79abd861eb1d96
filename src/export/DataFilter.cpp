// DataFilter.cpp: filter conditions, their sentences, text forms and hash.
#include "export/DataFilter.h"

#include <cmath>

#include "util/Error.h"
#include "util/Log.h"
#include "util/Variant.h"

namespace korvane::exporting {

namespace {

constexpr std::int32_t kSubscriptOutOfRange = 9;
constexpr const char* kFilterTag = "DATAFILTER";
constexpr const char* kCollectionTag = "DATAFILTERCOLLECTION";

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = text.find(separator, start);
    if (end == std::string::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

std::string Join(const std::vector<std::string>& parts, const std::string& separator) {
  std::string text;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) text += separator;
    text += parts[i];
  }
  return text;
}

const char* Flag(bool value) { return value ? "T" : "F"; }
bool ReadFlag(const std::string& field) { return field == "T"; }

std::int32_t ReadMode(const std::string& field) {
  double value = ReadNumber(field);
  if (!std::isfinite(value) || value < INT32_MIN || value > INT32_MAX) return 0;
  return static_cast<std::int32_t>(std::lround(value));
}

Error SubscriptOutOfRange(const std::string& source) {
  return Error(kSubscriptOutOfRange, source, "Subscript out of range");
}

void LogUnreadable(const std::string& text, const std::string& reason) {
  LogShared("Cannot deserialize [" + text + "] because " + reason, 2);
}

std::string JoinDiscrete(const std::vector<std::int16_t>& values, const std::string& separator) {
  std::vector<std::string> parts;
  for (std::int16_t v : values) parts.push_back(std::to_string(v));
  return Join(parts, separator);
}

// Windows-1252 bytes of the characters U+0080..U+009F's stand-ins: the code
// points that code page places at 0x80..0x9F.
constexpr char32_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

int AnsiCode(char32_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<int>(c);
  for (int i = 0; i < 32; ++i)
    if (kCp1252High[i] == c && c != 0) return 0x80 + i;
  return '?';
}

// Decodes UTF-8; a byte that starts no valid sequence stands for itself
// (Latin-1), so that any text hashes.
template <typename Visit>
void ForEachCodePoint(const std::string& text, Visit visit) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char b = p[i];
    std::size_t extra = 0;
    char32_t c = b;
    if (b >= 0xC2 && b < 0xE0) { extra = 1; c = b & 0x1F; }
    else if (b >= 0xE0 && b < 0xF0) { extra = 2; c = b & 0x0F; }
    else if (b >= 0xF0 && b < 0xF5) { extra = 3; c = b & 0x07; }
    bool ok = b < 0x80 || (extra > 0 && i + extra < n);
    for (std::size_t k = 1; ok && k <= extra; ++k) {
      const unsigned char cont = p[i + k];
      if ((cont & 0xC0) != 0x80) ok = false;
      c = (c << 6) | (cont & 0x3F);
    }
    if (ok) {
      visit(c);
      i += 1 + extra;
    } else {
      visit(static_cast<char32_t>(b));
      ++i;
    }
  }
}

}  // namespace

std::int32_t HashText(const std::string& utf8Text) {
  constexpr std::int64_t kModulus = 16908799;
  std::int64_t h = 0;
  ForEachCodePoint(utf8Text, [&](char32_t c) { h = (h * 127 + AnsiCode(c)) % kModulus; });
  return static_cast<std::int32_t>(h);
}

// --- DataFilter -----------------------------------------------------------

void DataFilter::SetMin(double value, bool inclusive) {
  minValue_ = value;
  minInclusive_ = inclusive;
  mode_ = FilterMode::Min;
}

void DataFilter::SetMax(double value, bool inclusive) {
  maxValue_ = value;
  maxInclusive_ = inclusive;
  mode_ = FilterMode::Max;
}

void DataFilter::SetRange(double minValue, double maxValue, bool minInclusive, bool maxInclusive) {
  minValue_ = minValue;
  maxValue_ = maxValue;
  minInclusive_ = minInclusive;
  maxInclusive_ = maxInclusive;
  mode_ = FilterMode::Range;
}

void DataFilter::SetEqual(double value) {
  equalValue_ = value;
  mode_ = FilterMode::Equal;
}

void DataFilter::SetNotEqual(double value) {
  equalValue_ = value;
  mode_ = FilterMode::NotEqual;
}

void DataFilter::AddDiscreteValue(std::int16_t value) {
  discreteValues_.push_back(value);
  mode_ = FilterMode::Discrete;
}

bool DataFilter::IsValid() const {
  // A mode read from a foreign text form outside the known ones would give
  // no condition at all, so it counts as invalid like mode 0.
  auto m = static_cast<std::int32_t>(mode_);
  return m >= 1 && m <= 6;
}

std::string DataFilter::ToSQL() const {
  const std::string& c = column_;
  const char* minOp = minInclusive_ ? " >= " : " > ";
  const char* maxOp = maxInclusive_ ? " <= " : " < ";
  switch (mode_) {
    case FilterMode::Min: return c + minOp + FormatNumber(minValue_);
    case FilterMode::Max: return c + maxOp + FormatNumber(maxValue_);
    case FilterMode::Range:
      return "(" + c + maxOp + FormatNumber(maxValue_) + " AND " + c + minOp + FormatNumber(minValue_) + ")";
    case FilterMode::Equal: return c + " = " + FormatNumber(equalValue_);
    case FilterMode::NotEqual: return c + " <> " + FormatNumber(equalValue_);
    case FilterMode::Discrete: return c + " IN (" + JoinDiscrete(discreteValues_, ", ") + ")";
    default: return {};
  }
}

FilterCondition DataFilter::ToCondition(const std::string& c) const {
  const char* minOp = minInclusive_ ? " >= ?" : " > ?";
  const char* maxOp = maxInclusive_ ? " <= ?" : " < ?";
  switch (mode_) {
    case FilterMode::Min: return {c + minOp, {minValue_}};
    case FilterMode::Max: return {c + maxOp, {maxValue_}};
    case FilterMode::Range:
      return {"(" + c + maxOp + " AND " + c + minOp + ")", {maxValue_, minValue_}};
    case FilterMode::Equal: return {c + " = ?", {equalValue_}};
    case FilterMode::NotEqual: return {c + " <> ?", {equalValue_}};
    case FilterMode::Discrete: {
      FilterCondition condition{c + " IN (", {}};
      for (std::size_t i = 0; i < discreteValues_.size(); ++i) {
        condition.text += i ? ", ?" : "?";
        condition.operands.push_back(discreteValues_[i]);
      }
      condition.text += ")";
      return condition;
    }
    default: return {};
  }
}

std::string DataFilter::ToString() const {
  std::string label = caption_ + " ";
  const char* minOp = minInclusive_ ? " >= " : " > ";
  const char* maxOp = maxInclusive_ ? " <= " : " < ";
  switch (mode_) {
    case FilterMode::Min: return label + minOp + FormatNumber(minValue_);
    case FilterMode::Max: return label + maxOp + FormatNumber(maxValue_);
    case FilterMode::Range:
      return "(" + column_ + minOp + FormatNumber(minValue_) + ") AND (" + column_ + maxOp +
             FormatNumber(maxValue_) + ")";
    case FilterMode::Equal: return label + "is equal to " + FormatNumber(equalValue_);
    case FilterMode::NotEqual: return label + "is not equal to " + FormatNumber(equalValue_);
    case FilterMode::Discrete: return label + "is one of (" + JoinDiscrete(discreteValues_, ", ") + ")";
    default: return label + "(INVALID FILTER)";
  }
}

std::string DataFilter::PackToString() const {
  std::vector<std::string> fields = {kFilterTag,
                                     "B",
                                     Flag(active_),
                                     column_,
                                     caption_,
                                     std::to_string(static_cast<std::int32_t>(mode_)),
                                     FormatNumber(equalValue_),
                                     Flag(maxInclusive_),
                                     FormatNumber(maxValue_),
                                     Flag(minInclusive_),
                                     FormatNumber(minValue_)};
  // Discrete values ride in an extra field that readers of the eleven-field
  // form simply do not look at.
  if (mode_ == FilterMode::Discrete) fields.push_back(JoinDiscrete(discreteValues_, ";"));
  return Join(fields, ",");
}

void DataFilter::UnpackFromString(const std::string& text) {
  std::vector<std::string> f = Split(text, ',');
  if (f[0] != kFilterTag) {
    LogUnreadable(text, "it is not a compatible DataFilter stream.");
    return;
  }
  if (f.size() < 2 || (f[1] != "A" && f[1] != "B")) {
    if (f.size() < 2) throw SubscriptOutOfRange("DataFilter");
    LogUnreadable(text, "it is not an understood version of the DataFilter stream.");
    return;
  }
  // Read into a copy so that a short text leaves this filter untouched.
  DataFilter read = *this;
  std::size_t base;  // position of Column
  if (f[1] == "A") {
    if (f.size() < 10) throw SubscriptOutOfRange("DataFilter");
    read.active_ = true;
    base = 2;
  } else {
    if (f.size() < 11) throw SubscriptOutOfRange("DataFilter");
    read.active_ = ReadFlag(f[2]);
    base = 3;
  }
  read.column_ = f[base];
  read.caption_ = f[base + 1];
  read.mode_ = static_cast<FilterMode>(ReadMode(f[base + 2]));
  read.equalValue_ = ReadNumber(f[base + 3]);
  read.maxInclusive_ = ReadFlag(f[base + 4]);
  read.maxValue_ = ReadNumber(f[base + 5]);
  read.minInclusive_ = ReadFlag(f[base + 6]);
  read.minValue_ = ReadNumber(f[base + 7]);
  if (f[1] == "B" && f.size() > 11 && read.mode_ == FilterMode::Discrete) {
    read.discreteValues_.clear();
    for (const std::string& v : f[11].empty() ? std::vector<std::string>{} : Split(f[11], ';')) {
      double number = ReadNumber(v);
      if (number >= INT16_MIN && number <= INT16_MAX)
        read.discreteValues_.push_back(static_cast<std::int16_t>(std::lround(number)));
    }
  }
  read.hashValue_ = HashText(read.PackToString());
  *this = std::move(read);
}

std::int32_t DataFilter::Hashcode() {
  if (hashValue_ == 0) hashValue_ = HashText(PackToString());
  return hashValue_;
}

// --- DataFilterCollection ----------------------------------------------------

DataFilterCollection::DataFilterCollection() { filters_.reserve(2); }

void DataFilterCollection::Append(std::shared_ptr<DataFilter> filter) {
  if (filters_.size() == filters_.capacity()) filters_.reserve(filters_.capacity() * 2);
  filters_.push_back(std::move(filter));
}

int DataFilterCollection::CountActive() const {
  int active = 0;
  for (const auto& filter : filters_)
    if (filter && filter->Active()) ++active;
  return active;
}

const std::shared_ptr<DataFilter>& DataFilterCollection::Item(int index) const {
  if (index < 0 || index >= Count()) throw SubscriptOutOfRange("DataFilterCollection");
  return filters_[static_cast<std::size_t>(index)];
}

void DataFilterCollection::RemoveByIndex(int index) {
  if (index < 0 || index >= Count()) return;
  filters_.erase(filters_.begin() + index);
}

void DataFilterCollection::RemoveByItem(const std::shared_ptr<DataFilter>& filter) {
  for (int i = 0; i < Count(); ++i) {
    if (filters_[static_cast<std::size_t>(i)] == filter) {
      RemoveByIndex(i);
      return;
    }
  }
}

std::string DataFilterCollection::PackToString() const {
  std::vector<std::string> fields = {kCollectionTag, "A"};
  for (const auto& filter : filters_) fields.push_back(filter ? filter->PackToString() : std::string());
  return Join(fields, "|");
}

void DataFilterCollection::UnpackFromString(const std::string& text) {
  std::vector<std::string> fields = Split(text, '|');
  std::vector<std::shared_ptr<DataFilter>> read;
  for (std::size_t i = 2; i < fields.size(); ++i) {
    auto filter = std::make_shared<DataFilter>();
    filter->UnpackFromString(fields[i]);
    read.push_back(std::move(filter));
  }
  for (auto& filter : read) Append(std::move(filter));
}

}  // namespace korvane::exporting
