// DataFilter.h: conditions over the trace that narrow an export.
//
// A DataFilter is one condition on one column (Activation at least 2, a
// situation slot between 3 and 7, ...). It turns itself into a query
// condition, into a sentence for the filter list, and into a one-line text
// form; a DataFilterCollection keeps the filters of the export screen in order
// and packs them all into one settings value (Export_Filters).
//
// Filters know nothing of databases. The export's query plan (TraceQuery.h)
// decides which column names a filter may name and binds the operands as
// parameters; the text of ToSQL() is what a filter says about itself, for
// display and logs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace korvane::exporting {

// The kinds of condition a filter holds.
enum class FilterMode : std::int32_t {
  None = 0,         // no condition: the filter is invalid
  Min = 1,          // above (or at) the lower bound
  Max = 2,          // below (or at) the upper bound
  Range = 3,        // both bounds
  Equal = 4,        // equal to the value
  NotEqual = 5,     // different from the value
  Discrete = 6,     // equal to one of the values
};

// One parameterised piece of a query condition: the text holds "?" where the
// operands go, in order.
struct FilterCondition {
  std::string text;
  std::vector<double> operands;
};

class DataFilter {
 public:
  DataFilter() = default;

  bool Active() const { return active_; }
  void SetActive(bool active) { active_ = active; }
  // The query column the condition tests (Activation, BLL, Noise, Similarity,
  // Time, or a slot column such as S_Price_Real).
  const std::string& Column() const { return column_; }
  void SetColumn(std::string column) { column_ = std::move(column); }
  // The name shown to the researcher ("Partial Match", "Price (Situation)").
  const std::string& Caption() const { return caption_; }
  void SetCaption(std::string caption) { caption_ = std::move(caption); }

  FilterMode Mode() const { return mode_; }
  double EqualValue() const { return equalValue_; }
  const std::vector<std::int16_t>& DiscreteValues() const { return discreteValues_; }
  double MaxValue() const { return maxValue_; }
  bool MaxInclusive() const { return maxInclusive_; }
  double MinValue() const { return minValue_; }
  bool MinInclusive() const { return minInclusive_; }

  // Each setter stores its operands and sets the mode; the operands of the
  // other modes are kept.
  void SetMin(double value, bool inclusive);
  void SetMax(double value, bool inclusive);
  void SetRange(double minValue, double maxValue, bool minInclusive, bool maxInclusive);
  void SetEqual(double value);
  void SetNotEqual(double value);
  void AddDiscreteValue(std::int16_t value);

  // True for the six known modes; mode 0 (and any unknown mode read from a
  // foreign text form) has no condition.
  bool IsValid() const;

  // The condition with the column and the operands written out, e.g.
  // "(Activation < 2.5 AND Activation >= 1)"; empty for an invalid filter.
  std::string ToSQL() const;
  // The same condition on the given column text (already qualified and
  // quoted by the caller) with every operand left as a "?" parameter.
  FilterCondition ToCondition(const std::string& columnSql) const;
  // The sentence of the filter list, e.g. "Activation  >= 2".
  std::string ToString() const;

  // The one-line text form (version "B"): eleven ","-separated fields, and a
  // twelfth with the ";"-separated values of a Discrete filter.
  std::string PackToString() const;
  // Reads a text form of version "A" or "B". A text of another kind or
  // version is logged and leaves the filter as it was; a text with too few
  // fields raises Error 9 (Subscript out of range) and also leaves it as it was.
  void UnpackFromString(const std::string& text);

  // Hash of PackToString(), computed on first request and kept; recomputed by
  // every successful UnpackFromString. The filter list uses it as the tag of
  // an item, so it stays the same while the filter's box is checked or cleared.
  std::int32_t Hashcode();

 private:
  bool active_ = true;
  std::string column_;
  std::string caption_;
  FilterMode mode_ = FilterMode::None;
  double equalValue_ = 0;
  std::vector<std::int16_t> discreteValues_;
  double maxValue_ = 0;
  bool maxInclusive_ = false;
  double minValue_ = 0;
  bool minInclusive_ = false;
  std::int32_t hashValue_ = 0;
};

// The hash of a text: h = (h * 127 + code) mod 16908799 over its characters,
// code being the character's Windows-1252 byte ("?" for a character that
// code page lacks). Exposed for the filter list and for tests.
std::int32_t HashText(const std::string& utf8Text);

// The filters of the export screen, in order. Filters are shared: the screen
// changes a filter's Active flag through Item() and the collection sees it.
class DataFilterCollection {
 public:
  DataFilterCollection();

  void Append(std::shared_ptr<DataFilter> filter);
  int Count() const { return static_cast<int>(filters_.size()); }
  int CountActive() const;
  bool IsEmpty() const { return Count() < 1; }
  // Raises Error 9 (Subscript out of range) for a position outside 0..Count()-1.
  const std::shared_ptr<DataFilter>& Item(int index) const;

  // A position outside 0..Count()-1 is ignored.
  void RemoveByIndex(int index);
  // Removes the first position holding this very filter; nothing when absent.
  void RemoveByItem(const std::shared_ptr<DataFilter>& filter);
  void Clear() { filters_.clear(); }

  // "DATAFILTERCOLLECTION|A|" followed by each filter's text form, "|"-joined.
  std::string PackToString() const;
  // Appends one filter per field after the first two. A field with too few
  // fields raises Error 9 and leaves the collection as it was.
  void UnpackFromString(const std::string& text);

  // Storage reserved (starts with room for two, doubles when full).
  std::size_t Capacity() const { return filters_.capacity(); }

 private:
  std::vector<std::shared_ptr<DataFilter>> filters_;
};

}  // namespace korvane::exporting
