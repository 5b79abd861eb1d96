// Values.cpp: the language's operators and conversions over Variant.
#include "formula/Values.h"

#include <cmath>
#include <limits>
#include <string>

#include "formula/VariableList.h"

namespace korvane::formula {

void RaiseFailure(std::int32_t number) { throw Error::Standard(number, "Korvane"); }

namespace {

bool IsBooleanWord(std::string_view text, bool& value) {
  std::size_t b = text.find_first_not_of(" \t");
  std::size_t e = text.find_last_not_of(" \t");
  if (b == std::string_view::npos) return false;
  text = text.substr(b, e - b + 1);
  if (EqualsIgnoreCase(text, "True")) { value = true; return true; }
  if (EqualsIgnoreCase(text, "False")) { value = false; return true; }
  return false;
}

// A logical operand: a boolean, or a whole number as 32 bits.
struct Logical {
  bool isBoolean = false;
  bool boolean = false;
  std::int32_t number = 0;
  std::int32_t Bits() const { return isBoolean ? (boolean ? -1 : 0) : number; }
};

Logical ToLogical(const Variant& v) {
  Logical l;
  switch (v.Type()) {
    case VariantType::Boolean: l.isBoolean = true; l.boolean = v.AsBoolean(); return l;
    case VariantType::Empty:
    case VariantType::Null: return l;
    case VariantType::String: {
      bool b;
      if (IsNumericText(v.AsString())) { l.number = ToInt32Checked(std::nearbyint(ReadNumber(v.AsString()))); return l; }
      if (IsBooleanWord(v.AsString(), b)) { l.isBoolean = true; l.boolean = b; return l; }
      RaiseFailure(ErrorNumber::TypeMismatch);
    }
    case VariantType::Object: RaiseFailure(ErrorNumber::TypeMismatch);
    default: l.number = ToInt32Checked(std::nearbyint(v.ToNumber())); return l;
  }
}

}  // namespace

std::int32_t ToInt32Checked(double value) {
  if (!(value >= -2147483648.0 && value <= 2147483647.0)) RaiseFailure(ErrorNumber::Overflow);
  return static_cast<std::int32_t>(value);
}

Variant CheckedNumber(double value) {
  if (std::isinf(value)) RaiseFailure(ErrorNumber::Overflow);
  if (std::isnan(value)) RaiseFailure(ErrorNumber::InvalidProcedureCall);
  return Variant(value);
}

double ToOperandNumber(const Variant& value) {
  if (value.IsObject()) RaiseFailure(ErrorNumber::TypeMismatch);
  return value.ToNumber();
}

double ToWholeNumber(const Variant& value) {
  switch (value.Type()) {
    case VariantType::Boolean: return value.AsBoolean() ? -1.0 : 0.0;
    case VariantType::Empty: return 0.0;
    case VariantType::Null: RaiseFailure(ErrorNumber::InvalidUseOfNull);
    case VariantType::Object: RaiseFailure(ErrorNumber::TypeMismatch);
    case VariantType::String:
      if (!IsNumericText(value.AsString())) RaiseFailure(ErrorNumber::TypeMismatch);
      return ReadNumber(value.AsString());
    default: return value.ToNumber();
  }
}

BinaryOperator ParseBinaryOperator(std::string_view text) {
  struct Entry { std::string_view text; BinaryOperator op; };
  static constexpr Entry kTable[] = {
      {"+", BinaryOperator::Add},        {"-", BinaryOperator::Subtract},
      {"*", BinaryOperator::Multiply},   {"/", BinaryOperator::Divide},
      {"\\", BinaryOperator::IntegerDivide}, {"**", BinaryOperator::Power},
      {">", BinaryOperator::Greater},    {">=", BinaryOperator::GreaterEqual},
      {"<", BinaryOperator::Less},       {"<=", BinaryOperator::LessEqual},
      {"==", BinaryOperator::Equal},     {"!=", BinaryOperator::NotEqual},
      {"<>", BinaryOperator::NotEqual},  {"AND", BinaryOperator::And},
      {"OR", BinaryOperator::Or}};
  for (const auto& e : kTable)
    if (EqualsIgnoreCase(e.text, text)) return e.op;
  return BinaryOperator::Unknown;
}

namespace {
bool Equal(const Variant& l, const Variant& r) {
  if (l.IsString() && r.IsString()) return EqualsIgnoreCase(l.AsString(), r.AsString());
  if (l.IsBoolean() && r.IsBoolean()) return l.AsBoolean() == r.AsBoolean();
  return ToOperandNumber(l) == ToOperandNumber(r);
}
}  // namespace

Variant ApplyBinary(BinaryOperator op, const Variant& leftIn, const Variant& rightIn) {
  static const Variant kZero(static_cast<std::int16_t>(0));
  const Variant& left = leftIn.IsNull() ? kZero : leftIn;
  const Variant& right = rightIn.IsNull() ? kZero : rightIn;
  switch (op) {
    case BinaryOperator::Add: return CheckedNumber(ToOperandNumber(left) + ToOperandNumber(right));
    case BinaryOperator::Subtract: return CheckedNumber(ToOperandNumber(left) - ToOperandNumber(right));
    case BinaryOperator::Multiply: return CheckedNumber(ToOperandNumber(left) * ToOperandNumber(right));
    case BinaryOperator::Divide: {
      double l = ToOperandNumber(left), r = ToOperandNumber(right);
      if (r == 0) RaiseFailure(ErrorNumber::DivisionByZero);
      return CheckedNumber(l / r);
    }
    case BinaryOperator::IntegerDivide: {
      double l = ToOperandNumber(left), r = ToOperandNumber(right);
      if (r == 0) RaiseFailure(ErrorNumber::DivisionByZero);
      double q = l / r;
      if (std::isinf(q)) RaiseFailure(ErrorNumber::Overflow);
      return Variant(ToInt32Checked(std::nearbyint(q)));  // ties to even
    }
    case BinaryOperator::Power: {
      double l = ToOperandNumber(left), r = ToOperandNumber(right);
      if (l == 0 && r < 0) RaiseFailure(ErrorNumber::InvalidProcedureCall);
      return CheckedNumber(std::pow(l, r));
    }
    case BinaryOperator::Greater: return Variant(ToOperandNumber(left) > ToOperandNumber(right));
    case BinaryOperator::GreaterEqual: return Variant(ToOperandNumber(left) >= ToOperandNumber(right));
    case BinaryOperator::Less: return Variant(ToOperandNumber(left) < ToOperandNumber(right));
    case BinaryOperator::LessEqual: return Variant(ToOperandNumber(left) <= ToOperandNumber(right));
    case BinaryOperator::Equal: return Variant(Equal(left, right));
    case BinaryOperator::NotEqual: return Variant(!Equal(left, right));
    case BinaryOperator::And:
    case BinaryOperator::Or: {
      Logical l = ToLogical(left), r = ToLogical(right);
      if (l.isBoolean && r.isBoolean)
        return Variant(op == BinaryOperator::And ? (l.boolean && r.boolean) : (l.boolean || r.boolean));
      return Variant(op == BinaryOperator::And ? (l.Bits() & r.Bits()) : (l.Bits() | r.Bits()));
    }
    case BinaryOperator::Unknown: break;
  }
  return Variant();
}

Variant Negate(const Variant& value) {
  switch (value.Type()) {
    case VariantType::Empty: return Variant(static_cast<std::int16_t>(0));
    case VariantType::Null: return value;
    case VariantType::Integer: return Variant(static_cast<std::int32_t>(-static_cast<std::int32_t>(value.AsInteger())));
    case VariantType::Long:
      if (value.AsLong() == std::numeric_limits<std::int32_t>::min()) return Variant(-static_cast<double>(value.AsLong()));
      return Variant(static_cast<std::int32_t>(-value.AsLong()));
    case VariantType::Double: return Variant(-value.AsDouble());
    case VariantType::Boolean: return Variant(static_cast<std::int16_t>(value.AsBoolean() ? 1 : 0));
    case VariantType::Date: return Variant(-value.AsDate().days);
    case VariantType::String:
      if (!IsNumericText(value.AsString())) RaiseFailure(ErrorNumber::TypeMismatch);
      return CheckedNumber(-ReadNumber(value.AsString()));
    case VariantType::Object: break;
  }
  RaiseFailure(ErrorNumber::TypeMismatch);
}

Variant LogicalNot(const Variant& value) {
  if (value.IsNull()) return value;
  Logical l = ToLogical(value);
  if (l.isBoolean) return Variant(!l.boolean);
  return Variant(static_cast<std::int32_t>(~l.number));
}

bool IsTrueCondition(const Variant& value) {
  switch (value.Type()) {
    case VariantType::Boolean: return value.AsBoolean();
    case VariantType::Empty:
    case VariantType::Null: return false;
    case VariantType::String: {
      bool b;
      if (IsNumericText(value.AsString())) return ReadNumber(value.AsString()) == -1.0;
      if (IsBooleanWord(value.AsString(), b)) return b;
      RaiseFailure(ErrorNumber::TypeMismatch);
    }
    case VariantType::Object: RaiseFailure(ErrorNumber::TypeMismatch);
    default: return value.ToNumber() == -1.0;
  }
}

bool IsTruthy(const Variant& value) {
  switch (value.Type()) {
    case VariantType::Boolean: return value.AsBoolean();
    case VariantType::Empty:
    case VariantType::Null: return false;
    case VariantType::String: {
      bool b;
      if (IsNumericText(value.AsString())) return ReadNumber(value.AsString()) != 0.0;
      if (IsBooleanWord(value.AsString(), b)) return b;
      RaiseFailure(ErrorNumber::TypeMismatch);
    }
    case VariantType::Object: RaiseFailure(ErrorNumber::TypeMismatch);
    default: return value.ToNumber() != 0.0;
  }
}

namespace {
bool IsNumericKind(const Variant& v) {
  return v.IsNumber() || v.Type() == VariantType::Date || v.IsBoolean() || v.IsEmpty();
}
double NumericKindValue(const Variant& v) {
  if (v.IsBoolean()) return v.AsBoolean() ? -1.0 : 0.0;
  return v.ToNumber();
}
}  // namespace

bool ValuesEqual(const Variant& a, const Variant& b) {
  if (a.IsObject() || b.IsObject()) RaiseFailure(ErrorNumber::TypeMismatch);
  if (a.IsNull() || b.IsNull()) return false;
  if (a.IsString() && b.IsString()) return a.AsString() == b.AsString();
  if (a.IsBoolean() && b.IsBoolean()) return a.AsBoolean() == b.AsBoolean();
  if (a.IsString() || b.IsString()) {
    const Variant& text = a.IsString() ? a : b;
    const Variant& other = a.IsString() ? b : a;
    if (!IsNumericText(text.AsString())) return false;
    return ReadNumber(text.AsString()) == NumericKindValue(other);
  }
  return NumericKindValue(a) == NumericKindValue(b);
}

bool IsGreater(const Variant& a, const Variant& b) {
  if (a.IsObject() || b.IsObject()) RaiseFailure(ErrorNumber::TypeMismatch);
  if (a.IsNull() || b.IsNull()) return false;
  if (a.IsString() && b.IsString()) return a.AsString() > b.AsString();
  if (a.IsString()) return IsNumericKind(b);   // a text sorts after any number
  if (b.IsString()) return false;
  return NumericKindValue(a) > NumericKindValue(b);
}

Variant GeneralAdd(const Variant& a, const Variant& b) {
  if (a.IsObject() || b.IsObject()) RaiseFailure(ErrorNumber::TypeMismatch);
  if (a.IsNull() || b.IsNull()) return Variant::Null();
  if (a.IsEmpty()) return b.IsEmpty() ? Variant(static_cast<std::int16_t>(0)) : b;
  if (b.IsEmpty()) return a;
  if (a.IsString() && b.IsString()) return Variant(a.AsString() + b.AsString());
  return CheckedNumber(ToWholeNumber(a) + ToWholeNumber(b));
}

}  // namespace korvane::formula
