// Variant.h: the one value type that crosses Korvane's layers.
//
// Database fields, formula variables, cue values and settings are all
// Variants: empty (nothing assigned), null (an empty database field), a 16-bit
// or 32-bit integer, a double, a text, a boolean, a date, or an object
// reference (the placeholder some formula statements enter; no operator takes
// one). The conversions here are the shared value rules; the formula language
// adds its operators on top of them in formula/.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

namespace korvane {

enum class VariantType { Empty, Null, Integer, Long, Double, String, Boolean, Date, Object };

// A date as the number of days since 1899-12-30 00:00 local time, the
// fraction being the time of day.
struct DateValue {
  double days = 0;
  bool operator==(const DateValue&) const = default;
};

class Variant {
 public:
  Variant() = default;  // empty
  Variant(std::int16_t v) : value_(v) {}
  Variant(std::int32_t v) : value_(v) {}
  Variant(double v) : value_(v) {}
  Variant(bool v) : value_(v) {}
  Variant(std::string v) : value_(std::move(v)) {}
  Variant(std::string_view v) : value_(std::string(v)) {}
  Variant(const char* v) : value_(std::string(v)) {}
  Variant(DateValue v) : value_(v) {}

  static Variant Null() { Variant v; v.value_ = NullTag{}; return v; }
  // An object reference; a null pointer is the empty reference ("Nothing").
  static Variant Object(std::shared_ptr<const void> object) {
    Variant v; v.value_ = ObjectRef{std::move(object)}; return v;
  }

  VariantType Type() const { return static_cast<VariantType>(value_.index()); }
  bool IsEmpty() const { return Type() == VariantType::Empty; }
  bool IsNull() const { return Type() == VariantType::Null; }
  bool IsString() const { return Type() == VariantType::String; }
  bool IsObject() const { return Type() == VariantType::Object; }
  bool IsBoolean() const { return Type() == VariantType::Boolean; }
  // Integer, Long or Double.
  bool IsNumber() const;

  // Direct access; the caller has checked the type.
  std::int16_t AsInteger() const { return std::get<std::int16_t>(value_); }
  std::int32_t AsLong() const { return std::get<std::int32_t>(value_); }
  double AsDouble() const { return std::get<double>(value_); }
  bool AsBoolean() const { return std::get<bool>(value_); }
  const std::string& AsString() const { return std::get<std::string>(value_); }
  DateValue AsDate() const { return std::get<DateValue>(value_); }
  const std::shared_ptr<const void>& AsObject() const { return std::get<ObjectRef>(value_).object; }

  // The default text form: a number in its shortest text with up to 15
  // significant digits (1E+15, 1E-05 past the plain range), True or False,
  // a text itself, a date as "yyyy-mm-dd hh:nn:ss", empty and null as "".
  std::string ToText() const;

  // The value read as a number: numbers as they are, booleans as 0 (their text
  // form is not numeric), dates as their day count, texts through ReadNumber,
  // empty and null as 0.
  double ToNumber() const;

  // Same type and same value (texts compared exactly).
  bool operator==(const Variant& other) const;

 private:
  struct NullTag { bool operator==(const NullTag&) const = default; };
  struct ObjectRef {
    std::shared_ptr<const void> object;
    bool operator==(const ObjectRef& o) const { return object == o.object; }
  };
  std::variant<std::monostate, NullTag, std::int16_t, std::int32_t, double, std::string, bool,
               DateValue, ObjectRef>
      value_;
};

// The lenient number reader: spaces, tabs and line feeds are skipped; then an
// optional sign, digits, an optional "." and fraction and an optional exponent
// ("E" or "D", optional sign, digits); reading stops at the first other
// character. "&H" and "&O" prefixes read hexadecimal and octal. A text with no
// leading number gives 0.
double ReadNumber(std::string_view text);

// True when the whole text (surrounding blanks aside) is one number in the
// form ReadNumber reads, or a "&H"/"&O" number.
bool IsNumericText(std::string_view text);

// The numeric test of settings: numbers, booleans, empty and numeric texts.
bool IsNumericValue(const Variant& value);

// Shortest text of a double with up to 15 significant digits.
std::string FormatNumber(double value);

// Dates: now in local time, and the text form "yyyy-mm-dd hh:nn:ss" (with
// ".zzz" milliseconds when asked) and back. ParseDate accepts that form,
// with or without the time and the milliseconds; false when the text is not one.
DateValue DateNow();
std::string FormatDate(DateValue date, bool withMilliseconds = false);
bool ParseDate(std::string_view text, DateValue& out);

}  // namespace korvane
